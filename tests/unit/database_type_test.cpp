#include "client/database_type.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "host/log_capture.h"
#include "tests/support/case_names.h"

namespace {

using varnholt::test::caseName;
using varnholt::test::caseNames;
using varnholt::test::textNames;

struct ProductNameCase {
    std::string text;
    DatabaseType expected;
};

void PrintTo(const ProductNameCase& c, std::ostream* os) {
    *os << '"' << c.text << '"';
}

class KnownProductName : public ::testing::TestWithParam<ProductNameCase> {};

TEST_P(KnownProductName, MapsWithoutWarning) {
    LogCapture capture;
    EXPECT_EQ(stringToDatabaseType(GetParam().text), GetParam().expected);
    EXPECT_TRUE(capture.lines().empty());
}

INSTANTIATE_TEST_SUITE_P(
    DatabaseType, KnownProductName,
    ::testing::Values(ProductNameCase{"db2", DatabaseType::DB2},
                      ProductNameCase{"DB2", DatabaseType::DB2},
                      ProductNameCase{"mysql", DatabaseType::MySQL},
                      ProductNameCase{"MySQL", DatabaseType::MySQL},
                      ProductNameCase{"oracle", DatabaseType::Oracle},
                      ProductNameCase{"Oracle", DatabaseType::Oracle},
                      ProductNameCase{"sqlite", DatabaseType::SQLite},
                      ProductNameCase{"SQLite", DatabaseType::SQLite},
                      ProductNameCase{"sybase", DatabaseType::Sybase},
                      ProductNameCase{"mariadb", DatabaseType::MariaDB},
                      ProductNameCase{"MariaDB", DatabaseType::MariaDB},
                      ProductNameCase{"postgres", DatabaseType::PostgreSQL},
                      ProductNameCase{"Postgres", DatabaseType::PostgreSQL},
                      ProductNameCase{"informix", DatabaseType::Informix},
                      ProductNameCase{"INFORMIX", DatabaseType::Informix},
                      ProductNameCase{"Snowflake", DatabaseType::Snowflake},
                      ProductNameCase{"sqlserver", DatabaseType::SQLServer},
                      ProductNameCase{"sql server", DatabaseType::SQLServer},
                      ProductNameCase{"SQL Server", DatabaseType::SQLServer},
                      ProductNameCase{"postgresql", DatabaseType::PostgreSQL},
                      ProductNameCase{"PostgreSQL", DatabaseType::PostgreSQL},
                      ProductNameCase{"adaptive server", DatabaseType::Sybase},
                      ProductNameCase{"Adaptive Server", DatabaseType::Sybase},
                      ProductNameCase{"microsoft sql server", DatabaseType::SQLServer},
                      ProductNameCase{"MICROSOFT SQL SERVER", DatabaseType::SQLServer},
                      ProductNameCase{"mIcRoSoFt SqL sErVeR", DatabaseType::SQLServer}),
    caseNames([](const ProductNameCase& c) { return c.text; }));

class UnknownProductName : public ::testing::TestWithParam<std::string> {};

// Whole-text matches only, and the warning shows the text as given, not folded.
TEST_P(UnknownProductName, WarnsAndGivesUnknown) {
    LogCapture capture;
    EXPECT_EQ(stringToDatabaseType(GetParam()), DatabaseType::Unknown);
    const std::vector<LogCapture::Line> expected = {
        {Logger::Level::WARN, "Unknown database type string: " + GetParam()}};
    EXPECT_EQ(capture.lines(), expected);
}

INSTANTIATE_TEST_SUITE_P(DatabaseType, UnknownProductName,
                         ::testing::Values("", " mysql", "mysql ", "MySQL 8.0", "PostgreSQL 15.4",
                                           "Microsoft SQL Server 2019", "sql  server", "sql_server",
                                           "Snowflake 8.0", "Unknown", "my sql", "postgre",
                                           "MYSQL\xC3\x89"),
                         textNames());

struct TypeTextCase {
    int32_t value;
    const char* displayName;
    const char* pagination;
};

class TypeTexts : public ::testing::TestWithParam<TypeTextCase> {};

TEST_P(TypeTexts, DisplayNameAndPagination) {
    const auto type = static_cast<DatabaseType>(GetParam().value);
    EXPECT_EQ(databaseTypeToString(type), GetParam().displayName);
    EXPECT_EQ(getPaginationSyntax(type), GetParam().pagination);
}

INSTANTIATE_TEST_SUITE_P(
    DatabaseType, TypeTexts,
    ::testing::Values(TypeTextCase{0, "Unknown", "LIMIT"}, TypeTextCase{1, "SQLServer", "TOP"},
                      TypeTextCase{2, "MySQL", "LIMIT"}, TypeTextCase{3, "PostgreSQL", "LIMIT"},
                      TypeTextCase{4, "Oracle", "ROWNUM"}, TypeTextCase{5, "DB2", "FETCH FIRST"},
                      TypeTextCase{6, "SQLite", "LIMIT"}, TypeTextCase{7, "MariaDB", "LIMIT"},
                      TypeTextCase{8, "Sybase", "TOP"}, TypeTextCase{9, "Informix", "FIRST"},
                      TypeTextCase{10, "Snowflake", "LIMIT"}, TypeTextCase{11, "Unknown", "LIMIT"},
                      TypeTextCase{42, "Unknown", "LIMIT"}, TypeTextCase{-1, "Unknown", "LIMIT"}),
    caseNames([](const TypeTextCase& c) {
        return caseName({std::to_string(c.value), c.displayName});
    }));

// Every named type's display name is also a product name that maps back to it.
TEST(DatabaseType, DisplayNamesMapBack) {
    for (int32_t value = 1; value <= 10; ++value) {
        const auto type = static_cast<DatabaseType>(value);
        EXPECT_EQ(stringToDatabaseType(databaseTypeToString(type)), type) << value;
    }
}

}  // namespace
