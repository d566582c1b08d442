#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "sql/sql_builder.h"
#include "tests/support/case_names.h"

namespace {

using varnholt::test::caseNames;
using Strings = std::vector<std::string>;
using Rows = std::vector<Strings>;
using Definitions = std::vector<std::pair<std::string, std::string>>;

// The base dialect as it stands: only the two operations every dialect must supply.
class BaseDialect : public SQLBuilder {
public:
    SQLBuilder* createSQLBuilder() const override { return new BaseDialect(); }
    std::string getHintName() const override { return "hint"; }
    const Rows& rows() const { return values; }
};

// A dialect with distinct opening and closing identifier quotes.
class BracketDialect : public BaseDialect {
public:
    std::string getIdentifierQuote() const override { return "["; }
    std::string getIdentifierCloseQuote() const override { return "]"; }
};

class SQLBuilderTest : public ::testing::Test {
protected:
    void prepare(const std::string& table, const Strings& columns, const Rows& rows) {
        builder.setTableName(table);
        builder.setColumns(columns);
        builder.setValues(rows);
    }

    BaseDialect builder;
};

TEST_F(SQLBuilderTest, HookDefaults) {
    EXPECT_EQ(builder.getIdentifierQuote(), "`");
    EXPECT_EQ(builder.getIdentifierCloseQuote(), "`");
    EXPECT_EQ(builder.getStringQuote(), "'");
    EXPECT_EQ(builder.getTimestampType(), "TIMESTAMP");
    EXPECT_EQ(builder.getStringType(), "VARCHAR(256)");
}

TEST_F(SQLBuilderTest, EveryTypeCodeIsText) {
    for (int code : {0, 1, 2, 3, 6, 7, -1, INT_MAX, INT_MIN}) {
        EXPECT_EQ(builder.toSQLTypeString(code), "VARCHAR(256)") << code;
    }
}

TEST_F(SQLBuilderTest, NormalizeAndFormatAreNeutral) {
    EXPECT_EQ(builder.normalizeColumnType("VARCHAR(256)"), "");
    EXPECT_EQ(builder.normalizeColumnType("NUMBER(38,0)"), "");
    EXPECT_EQ(builder.formatValue("it's", "VARCHAR(256)"), "it's");
    EXPECT_EQ(builder.formatValue("", "BIGINT"), "");
}

// What a column is, from its type's text: the base dialect knows the common type names, makes
// no type of its own, writes values as they are and has no VARIANT.
struct BaseShapeCase {
    std::string type;
    SQLBuilder::ColumnKind kind;
    size_t length;
    int scale;
};

class BaseShapeTest : public ::testing::TestWithParam<BaseShapeCase> {};

TEST_P(BaseShapeTest, DecidesTheColumn) {
    const BaseShapeCase& c = GetParam();
    const SQLBuilder::ColumnShape shape = BaseDialect().columnShape(c.type);
    EXPECT_EQ(shape.kind, c.kind);
    EXPECT_EQ(shape.style, SQLBuilder::ValueStyle::Verbatim);
    EXPECT_EQ(shape.ownType, "");
    EXPECT_EQ(shape.length, c.length);
    EXPECT_EQ(shape.scale, c.scale);
}

using Kind = SQLBuilder::ColumnKind;

INSTANTIATE_TEST_SUITE_P(Types, BaseShapeTest,
                         ::testing::Values(BaseShapeCase{"VARCHAR(256) NOT NULL", Kind::Text, 256,
                                                         -1},
                                           BaseShapeCase{"varchar(12)", Kind::Text, 12, -1},
                                           BaseShapeCase{"CHAR(5)", Kind::Text, 0, -1},
                                           BaseShapeCase{"BIGINT NULL", Kind::Integer, 0, 0},
                                           BaseShapeCase{"NUMBER(10,2)", Kind::Integer, 0, -1},
                                           BaseShapeCase{"DOUBLE", Kind::Float, 0, -1},
                                           BaseShapeCase{"TIMESTAMP", Kind::Timestamp, 0, -1},
                                           BaseShapeCase{"VARIANT", Kind::Other, 0, -1},
                                           BaseShapeCase{"", Kind::Other, 0, -1}),
                         caseNames([](const BaseShapeCase& c) { return c.type; }));

TEST_F(SQLBuilderTest, CreateTable) {
    EXPECT_EQ(
        builder.buildCreateTable("readings", Definitions{{"asset_code", "VARCHAR(256) NOT NULL"},
                                                         {"temperature", "VARCHAR(256)"}}),
        "CREATE TABLE `readings` (`asset_code` VARCHAR(256) NOT NULL, `temperature` "
        "VARCHAR(256))");
    EXPECT_EQ(builder.buildCreateTable("Readings", Definitions{{"Temp", "REAL"}}),
              "CREATE TABLE `Readings` (`Temp` REAL)");
}

TEST_F(SQLBuilderTest, CreateTableWithoutColumns) {
    EXPECT_EQ(builder.buildCreateTable("t", Definitions{}), "CREATE TABLE `t` ()");
}

TEST_F(SQLBuilderTest, AlterTable) {
    EXPECT_EQ(builder.buildAlterTable("readings", "humidity", "VARCHAR(256)"),
              "ALTER TABLE `readings` ADD COLUMN `humidity` VARCHAR(256)");
}

TEST_F(SQLBuilderTest, InsertWritesTheFirstRowOnly) {
    prepare("readings", {"asset_code", "temperature"}, {{"'pump1'", "21.5"}});
    EXPECT_EQ(builder.buildInsert(),
              "INSERT INTO `readings` (`asset_code`, `temperature`) VALUES ('pump1', 21.5)");
    prepare("readings", {"a"}, {{"1"}, {"2"}, {"3"}});
    EXPECT_EQ(builder.buildInsert(), "INSERT INTO `readings` (`a`) VALUES (1)");
}

TEST_F(SQLBuilderTest, BulkInsertWritesEveryRow) {
    prepare("readings", {"asset_code", "temperature"}, {{"'pump1'", "21.5"}, {"'pump2'", "NULL"}});
    EXPECT_EQ(builder.buildBulkInsert(),
              "INSERT INTO `readings` (`asset_code`, `temperature`) VALUES ('pump1', 21.5), "
              "('pump2', NULL)");
}

TEST_F(SQLBuilderTest, SingleRowInsertsAgree) {
    prepare("t", {"a", "b", "c"}, {{"1", "'x'", "NULL"}});
    EXPECT_EQ(builder.buildInsert(), builder.buildBulkInsert());
    EXPECT_EQ(builder.buildBulkInsert(), "INSERT INTO `t` (`a`, `b`, `c`) VALUES (1, 'x', NULL)");
}

TEST_F(SQLBuilderTest, RowsAreWrittenAsGiven) {
    prepare("t", {"a", "b"}, {{}, {"1"}, {"1", "2", "3"}});
    EXPECT_EQ(builder.buildBulkInsert(), "INSERT INTO `t` (`a`, `b`) VALUES (), (1), (1, 2, 3)");
    EXPECT_EQ(builder.buildInsert(), "INSERT INTO `t` (`a`, `b`) VALUES ()");
}

struct EmptyInsertCase {
    const char* name;
    std::string table;
    Strings columns;
    Rows rows;
};

class EmptyInsertTest : public ::testing::TestWithParam<EmptyInsertCase> {};

TEST_P(EmptyInsertTest, NothingToInsertGivesNoStatement) {
    BaseDialect builder;
    builder.setTableName(GetParam().table);
    builder.setColumns(GetParam().columns);
    builder.setValues(GetParam().rows);
    EXPECT_EQ(builder.buildInsert(), "");
    EXPECT_EQ(builder.buildBulkInsert(), "");
}

INSTANTIATE_TEST_SUITE_P(Guards, EmptyInsertTest,
                         ::testing::Values(EmptyInsertCase{"NoTable", "", {"a"}, {{"1"}}},
                                           EmptyInsertCase{"NoColumns", "t", {}, {{"1"}}},
                                           EmptyInsertCase{"NoRows", "t", {"a"}, {}},
                                           EmptyInsertCase{"NothingSet", "", {}, {}}),
                         [](const ::testing::TestParamInfo<EmptyInsertCase>& info) {
                             return info.param.name;
                         });

TEST_F(SQLBuilderTest, FreshBuilderHasNothingToInsert) {
    EXPECT_EQ(builder.buildBulkInsert(), "");
}

TEST_F(SQLBuilderTest, StateIsReplacedNotMerged) {
    prepare("first", {"a", "b"}, {{"1", "2"}, {"3", "4"}});
    prepare("second", {"c"}, {{"5"}});
    EXPECT_EQ(builder.buildBulkInsert(), "INSERT INTO `second` (`c`) VALUES (5)");
}

TEST_F(SQLBuilderTest, SetValuesCopiesOrTakesOver) {
    Rows rows{{"'a'", "1"}, {"'b'", "2"}};
    builder.setValues(rows);
    EXPECT_EQ(rows.size(), 2u);
    EXPECT_EQ(builder.rows(), rows);

    const std::string* firstText = &rows[0][0];
    builder.setValues(std::move(rows));
    ASSERT_EQ(builder.rows().size(), 2u);
    // The rows changed hands: the same string objects, not copies.
    EXPECT_EQ(&builder.rows()[0][0], firstText);
}

TEST_F(SQLBuilderTest, BulkInsertOfManyRowsIsSizedExactly) {
    Rows rows;
    std::string expected = "INSERT INTO `t` (`id`, `name`) VALUES ";
    for (int i = 0; i < 20000; ++i) {
        rows.push_back({std::to_string(i), "'row" + std::to_string(i) + "'"});
        expected += (i ? ", (" : "(") + std::to_string(i) + ", 'row" + std::to_string(i) + "')";
    }
    prepare("t", {"id", "name"}, rows);
    const std::string sql = builder.buildBulkInsert();
    EXPECT_EQ(sql, expected);
    // The length is computed up front and reserved once: no growth, no slack.
    EXPECT_EQ(sql.capacity(), sql.size());
}

TEST_F(SQLBuilderTest, IdentifierQuotesInsideNamesAreDoubled) {
    EXPECT_EQ(builder.quoteIdentifier("plain"), "`plain`");
    EXPECT_EQ(builder.quoteIdentifier("a`b"), "`a``b`");
    EXPECT_EQ(builder.quoteIdentifier("``"), "``````");
    EXPECT_EQ(builder.quoteIdentifier(""), "``");
    EXPECT_EQ(builder.buildCreateTable("x` (a INT); DROP TABLE y; --", Definitions{{"c`", "INT"}}),
              "CREATE TABLE `x`` (a INT); DROP TABLE y; --` (`c``` INT)");
    EXPECT_EQ(builder.buildAlterTable("t`", "`c", "INT"), "ALTER TABLE `t``` ADD COLUMN ```c` INT");
    prepare("t`t", {"a`"}, {{"1"}});
    EXPECT_EQ(builder.buildBulkInsert(), "INSERT INTO `t``t` (`a```) VALUES (1)");
    EXPECT_EQ(builder.buildInsert(), "INSERT INTO `t``t` (`a```) VALUES (1)");
}

TEST(SQLBuilderDialectTest, StatementsUseTheDialectQuotes) {
    BracketDialect builder;
    EXPECT_EQ(builder.quoteIdentifier("a]b[c"), "[a]]b[c]");
    EXPECT_EQ(builder.buildCreateTable("t", Definitions{{"c", "INT"}}),
              "CREATE TABLE [t] ([c] INT)");
    EXPECT_EQ(builder.buildAlterTable("t", "c", "INT"), "ALTER TABLE [t] ADD COLUMN [c] INT");
    builder.setTableName("t");
    builder.setColumns({"a", "b"});
    builder.setValues(Rows{{"1", "2"}});
    EXPECT_EQ(builder.buildInsert(), "INSERT INTO [t] ([a], [b]) VALUES (1, 2)");
    EXPECT_EQ(builder.buildBulkInsert(), "INSERT INTO [t] ([a], [b]) VALUES (1, 2)");
}

struct EscapeCase {
    std::string text;
    std::string literal;
};

class BaseEscapeTest : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(BaseEscapeTest, OnlySingleQuotesAreDoubled) {
    BaseDialect builder;
    EXPECT_EQ(builder.escapeString(GetParam().text), GetParam().literal);
}

INSTANTIATE_TEST_SUITE_P(
    Literals, BaseEscapeTest,
    ::testing::Values(EscapeCase{"it's", "'it''s'"}, EscapeCase{"", "''"},
                      EscapeCase{"plain", "'plain'"}, EscapeCase{"'", "''''"},
                      EscapeCase{"'''", "''''''''"}, EscapeCase{"\\", "'\\'"},
                      EscapeCase{"a\\'b", "'a\\''b'"},
                      EscapeCase{std::string("a\0b", 3), std::string("'a\0b'", 5)},
                      EscapeCase{"line\nbreak", "'line\nbreak'"},
                      EscapeCase{"caf\xc3\xa9", "'caf\xc3\xa9'"},
                      EscapeCase{"'); DROP TABLE x; --", "'''); DROP TABLE x; --'"}),
    caseNames([](const EscapeCase& c) { return c.text; }));

struct ConstraintCase {
    uint32_t constraint;
    std::string clauses;
};

class BaseConstraintTest : public ::testing::TestWithParam<ConstraintCase> {};

TEST_P(BaseConstraintTest, Decodes) {
    BaseDialect builder;
    EXPECT_EQ(builder.decodeConstraints(static_cast<ColumnConstraint>(GetParam().constraint)),
              GetParam().clauses);
}

INSTANTIATE_TEST_SUITE_P(
    Flags, BaseConstraintTest,
    ::testing::Values(ConstraintCase{0, ""}, ConstraintCase{1, " NOT NULL"}, ConstraintCase{2, ""},
                      ConstraintCase{3, " NOT NULL"}, ConstraintCase{4, " PRIMARY KEY"},
                      ConstraintCase{6, " PRIMARY KEY"}, ConstraintCase{8, " UNIQUE"},
                      ConstraintCase{13, " NOT NULL PRIMARY KEY UNIQUE"}, ConstraintCase{16, ""},
                      ConstraintCase{0xFFFFFFF0u | 8u, " UNIQUE"}),
    caseNames([](const ConstraintCase& c) {
        return "Constraint " + std::to_string(c.constraint);
    }));

TEST_F(SQLBuilderTest, InformationSchemaQueryLowerCasesBothNames) {
    EXPECT_EQ(builder.buildInformationSchemaQuery("Edge", "Readings"),
              "SELECT column_name,data_type FROM information_schema.columns WHERE table_schema = "
              "'edge' AND table_name = 'readings' ORDER BY ordinal_position");
    EXPECT_EQ(builder.buildInformationSchemaQuery("edge_1", "pump_2"),
              "SELECT column_name,data_type FROM information_schema.columns WHERE table_schema = "
              "'edge_1' AND table_name = 'pump_2' ORDER BY ordinal_position");
}

TEST_F(SQLBuilderTest, InformationSchemaQueryKeepsQuotesInsideItsLiterals) {
    EXPECT_EQ(builder.buildInformationSchemaQuery("O'Hare", "x' OR '1'='1"),
              "SELECT column_name,data_type FROM information_schema.columns WHERE table_schema = "
              "'o''hare' AND table_name = 'x'' or ''1''=''1' ORDER BY ordinal_position");
}

TEST_F(SQLBuilderTest, CreatesADialectBuilder) {
    std::unique_ptr<SQLBuilder> copy(builder.createSQLBuilder());
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy.get(), &builder);
    EXPECT_EQ(copy->getHintName(), "hint");
}

}  // namespace
