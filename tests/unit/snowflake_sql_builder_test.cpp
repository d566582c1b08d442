#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "sql/snowflake_sql_builder.h"
#include "tests/support/case_names.h"

namespace {

using varnholt::test::caseName;
using varnholt::test::caseNames;

using Strings = std::vector<std::string>;
using Rows = std::vector<Strings>;
using Definitions = std::vector<std::pair<std::string, std::string>>;

const std::string COLUMN_QUERY_HEAD =
    "SELECT column_name,data_type FROM information_schema.columns WHERE table_name = ";
const std::string COLUMN_QUERY_TAIL =
    " AND table_schema = CURRENT_SCHEMA() ORDER BY ordinal_position";

TEST(SnowflakeSQLBuilderTest, Hooks) {
    SnowflakeSQLBuilder builder;
    EXPECT_EQ(builder.getIdentifierQuote(), "\"");
    EXPECT_EQ(builder.getIdentifierCloseQuote(), builder.getIdentifierQuote());
    EXPECT_EQ(builder.getStringQuote(), "'");
    EXPECT_EQ(builder.getTimestampType(), "TIMESTAMP_TZ");
    EXPECT_EQ(builder.getStringType(), "VARCHAR(256)");
    EXPECT_EQ(builder.getHintName(), "snowflakeHint");
}

TEST(SnowflakeSQLBuilderTest, CreatesAnotherSnowflakeBuilder) {
    SnowflakeSQLBuilder builder;
    std::unique_ptr<SQLBuilder> created(builder.createSQLBuilder());
    ASSERT_NE(created, nullptr);
    EXPECT_NE(created.get(), &builder);
    EXPECT_NE(dynamic_cast<SnowflakeSQLBuilder*>(created.get()), nullptr);
}

struct TypeCodeCase {
    int code;
    std::string type;
};

class SnowflakeTypeCodeTest : public ::testing::TestWithParam<TypeCodeCase> {};

TEST_P(SnowflakeTypeCodeTest, MapsTypeCode) {
    SnowflakeSQLBuilder builder;
    EXPECT_EQ(builder.toSQLTypeString(GetParam().code), GetParam().type);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, SnowflakeTypeCodeTest,
    ::testing::Values(TypeCodeCase{0, "VARCHAR(256)"}, TypeCodeCase{1, "BIGINT"},
                      TypeCodeCase{2, "REAL"}, TypeCodeCase{3, "VARCHAR(256)"},
                      TypeCodeCase{4, "VARCHAR(256)"}, TypeCodeCase{5, "VARCHAR(256)"},
                      TypeCodeCase{6, "VARCHAR(256)"}, TypeCodeCase{7, "VARCHAR(256)"},
                      TypeCodeCase{8, "VARCHAR(256)"}, TypeCodeCase{-1, "VARCHAR(256)"},
                      TypeCodeCase{INT_MIN, "VARCHAR(256)"}),
    caseNames([](const TypeCodeCase& c) { return "Code " + std::to_string(c.code); }));

struct ConstraintCase {
    uint32_t constraint;
    std::string clauses;
};

class SnowflakeConstraintTest : public ::testing::TestWithParam<ConstraintCase> {};

TEST_P(SnowflakeConstraintTest, Decodes) {
    SnowflakeSQLBuilder builder;
    EXPECT_EQ(builder.decodeConstraints(static_cast<ColumnConstraint>(GetParam().constraint)),
              GetParam().clauses);
}

INSTANTIATE_TEST_SUITE_P(
    Flags, SnowflakeConstraintTest,
    ::testing::Values(ConstraintCase{0, ""}, ConstraintCase{1, " NOT NULL"},
                      ConstraintCase{2, " NULL"}, ConstraintCase{3, " NOT NULL"},
                      ConstraintCase{4, " PRIMARY KEY"}, ConstraintCase{6, " NULL PRIMARY KEY"},
                      ConstraintCase{8, " UNIQUE"}, ConstraintCase{10, " NULL UNIQUE"},
                      ConstraintCase{13, " NOT NULL PRIMARY KEY UNIQUE"},
                      ConstraintCase{15, " NOT NULL PRIMARY KEY UNIQUE"}, ConstraintCase{16, ""},
                      ConstraintCase{0xFFFFFFF0u | 2u, " NULL"}),
    caseNames([](const ConstraintCase& c) {
        return "Constraint " + std::to_string(c.constraint);
    }));

struct NormalizeCase {
    std::string reported;
    std::string type;
};

class SnowflakeNormalizeTest : public ::testing::TestWithParam<NormalizeCase> {};

TEST_P(SnowflakeNormalizeTest, Normalizes) {
    SnowflakeSQLBuilder builder;
    EXPECT_EQ(builder.normalizeColumnType(GetParam().reported), GetParam().type)
        << GetParam().reported;
}

INSTANTIATE_TEST_SUITE_P(
    Types, SnowflakeNormalizeTest,
    ::testing::Values(
        NormalizeCase{"FLOAT", "REAL"}, NormalizeCase{"float", "REAL"},
        NormalizeCase{"FLOAT8", "REAL"}, NormalizeCase{"NUMBER(38,0)", "BIGINT"},
        NormalizeCase{"NUMBER(10,2)", "BIGINT"}, NormalizeCase{"number", "BIGINT"},
        NormalizeCase{"INTEGER", "BIGINT"}, NormalizeCase{"BIGINT", "BIGINT"},
        NormalizeCase{"bigint", "BIGINT"}, NormalizeCase{"TIMESTAMP_TZ", "TIMESTAMP_TZ"},
        NormalizeCase{"timestamp_tz(9)", "TIMESTAMP_TZ"}, NormalizeCase{"TEXT", "VARCHAR(256)"},
        NormalizeCase{"VARCHAR(100)", "VARCHAR(256)"}, NormalizeCase{"String", "VARCHAR(256)"},
        // A FLOAT rule comes before the TEXT rule, a NUMBER rule before the INT rule.
        NormalizeCase{"FLOAT_TEXT", "REAL"}, NormalizeCase{"NUMBER_INT", "BIGINT"},
        NormalizeCase{"TIMESTAMP_NTZ", ""}, NormalizeCase{"TIMESTAMP_LTZ", ""},
        NormalizeCase{"DATE", ""}, NormalizeCase{"BOOLEAN", ""}, NormalizeCase{"DOUBLE", ""},
        NormalizeCase{"VARIANT", "VARIANT"}, NormalizeCase{"variant", "VARIANT"},
        NormalizeCase{"OBJECT", ""}, NormalizeCase{"", ""}),
    caseNames([](const NormalizeCase& c) { return c.reported; }));

// What a column is, from its type's text as the cache holds it: declared by the plugin, or
// normalised from what Snowflake reported. The type it makes for such a column is held by the
// table above.
struct ShapeCase {
    std::string type;
    SQLBuilder::ColumnKind kind;
    SQLBuilder::ValueStyle style;
    size_t length;
    int scale;
};

class SnowflakeShapeTest : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(SnowflakeShapeTest, DecidesTheColumn) {
    const ShapeCase& c = GetParam();
    const SQLBuilder::ColumnShape shape = SnowflakeSQLBuilder().columnShape(c.type);
    EXPECT_EQ(shape.kind, c.kind);
    EXPECT_EQ(shape.style, c.style);
    EXPECT_EQ(shape.length, c.length);
    EXPECT_EQ(shape.scale, c.scale);
}

using Kind = SQLBuilder::ColumnKind;
using Style = SQLBuilder::ValueStyle;

INSTANTIATE_TEST_SUITE_P(
    Types, SnowflakeShapeTest,
    ::testing::Values(ShapeCase{"VARCHAR(256) NOT NULL", Kind::Text, Style::Literal, 256, -1},
                      ShapeCase{"VARCHAR(1024) NULL", Kind::Text, Style::Literal, 1024, -1},
                      ShapeCase{"BIGINT NULL", Kind::Integer, Style::Number, 0, 0},
                      // Read from the database: its scale is asked for.
                      ShapeCase{"NUMBER(10,2)", Kind::Integer, Style::Number, 0, -1},
                      ShapeCase{"REAL NULL", Kind::Float, Style::Number, 0, -1},
                      ShapeCase{"TIMESTAMP_TZ", Kind::Timestamp, Style::Literal, 0, -1},
                      // A type the plugin does not make: a value is quoted unless it is a number.
                      ShapeCase{"TIMESTAMP_NTZ", Kind::Timestamp, Style::Number, 0, -1},
                      ShapeCase{"VARIANT NULL", Kind::Variant, Style::Literal, 0, -1},
                      ShapeCase{"BOOLEAN", Kind::Other, Style::Number, 0, -1},
                      ShapeCase{"", Kind::Other, Style::Number, 0, -1}),
    caseNames([](const ShapeCase& c) { return c.type; }));

TEST(SnowflakeSQLBuilderTest, StatementsWithDoubleQuotedIdentifiers) {
    SnowflakeSQLBuilder builder;
    EXPECT_EQ(
        builder.buildCreateTable("readings", Definitions{{"asset_code", "VARCHAR(256) NOT NULL"},
                                                         {"user_ts", "TIMESTAMP_TZ"},
                                                         {"temperature", "REAL NULL"}}),
        "CREATE TABLE \"readings\" (\"asset_code\" VARCHAR(256) NOT NULL, \"user_ts\" "
        "TIMESTAMP_TZ, \"temperature\" REAL NULL)");
    EXPECT_EQ(builder.buildAlterTable("readings", "humidity", "BIGINT NULL"),
              "ALTER TABLE \"readings\" ADD COLUMN \"humidity\" BIGINT NULL");
    builder.setTableName("readings");
    builder.setColumns({"asset_code", "temperature"});
    builder.setValues(Rows{{"'pump1'", "21.5"}, {"'pump2'", "NULL"}});
    EXPECT_EQ(builder.buildBulkInsert(),
              "INSERT INTO \"readings\" (\"asset_code\", \"temperature\") VALUES ('pump1', 21.5), "
              "('pump2', NULL)");
    EXPECT_EQ(builder.buildInsert(),
              "INSERT INTO \"readings\" (\"asset_code\", \"temperature\") VALUES ('pump1', 21.5)");
}

TEST(SnowflakeSQLBuilderTest, DoubleQuotesInsideNamesAreDoubled) {
    SnowflakeSQLBuilder builder;
    EXPECT_EQ(builder.quoteIdentifier("a\"b"), "\"a\"\"b\"");
    EXPECT_EQ(builder.quoteIdentifier("Mixed Case`x"), "\"Mixed Case`x\"");
    EXPECT_EQ(
        builder.buildCreateTable("x\" (a INT); DROP TABLE y; --", Definitions{{"c\"", "REAL"}}),
        "CREATE TABLE \"x\"\" (a INT); DROP TABLE y; --\" (\"c\"\"\" REAL)");
    EXPECT_EQ(builder.buildAlterTable("t\"", "\"c", "BIGINT NULL"),
              "ALTER TABLE \"t\"\"\" ADD COLUMN \"\"\"c\" BIGINT NULL");
    builder.setTableName("p\"q");
    builder.setColumns({"v\""});
    builder.setValues(Rows{{"1"}});
    EXPECT_EQ(builder.buildBulkInsert(), "INSERT INTO \"p\"\"q\" (\"v\"\"\") VALUES (1)");
}

struct ColumnQueryCase {
    std::string table;
    std::string literal;
};

class SnowflakeColumnQueryTest : public ::testing::TestWithParam<ColumnQueryCase> {};

TEST_P(SnowflakeColumnQueryTest, QueriesTheConnectionSchema) {
    SnowflakeSQLBuilder builder;
    EXPECT_EQ(builder.buildInformationSchemaQuery("ignored", GetParam().table),
              COLUMN_QUERY_HEAD + GetParam().literal + COLUMN_QUERY_TAIL);
}

INSTANTIATE_TEST_SUITE_P(
    Tables, SnowflakeColumnQueryTest,
    ::testing::Values(ColumnQueryCase{"readings", "$$readings$$"},
                      ColumnQueryCase{"Pressure_Log", "$$Pressure_Log$$"},
                      ColumnQueryCase{"it's", "$$it's$$"}, ColumnQueryCase{"$a$b", "$$$a$b$$"},
                      ColumnQueryCase{"", "$$$$"},
                      // A "$$" would end the dollar constant, and so would a trailing "$".
                      ColumnQueryCase{"a$$b", "'a$$b'"},
                      ColumnQueryCase{"x$$ OR 1=1 --", "'x$$ OR 1=1 --'"},
                      ColumnQueryCase{"it's$$\\", "'it''s$$\\\\'"},
                      ColumnQueryCase{"pump$", "'pump$'"}, ColumnQueryCase{"$", "'$'"}),
    caseNames([](const ColumnQueryCase& c) { return c.table; }));

TEST(SnowflakeSQLBuilderTest, ColumnQueryExampleAndSchemaIgnored) {
    SnowflakeSQLBuilder builder;
    EXPECT_EQ(builder.buildInformationSchemaQuery("EDGE", "pumps"),
              "SELECT column_name,data_type FROM information_schema.columns WHERE table_name = "
              "$$pumps$$ AND table_schema = CURRENT_SCHEMA() ORDER BY ordinal_position");
    EXPECT_EQ(builder.buildInformationSchemaQuery("a", "Readings"),
              builder.buildInformationSchemaQuery("other' schema", "Readings"));
}

class SnowflakeEscapeTest : public ::testing::TestWithParam<std::pair<std::string, std::string>> {};

TEST_P(SnowflakeEscapeTest, LiteralReachesSnowflakeUnchanged) {
    SnowflakeSQLBuilder builder;
    EXPECT_EQ(builder.escapeString(GetParam().first), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(
    Literals, SnowflakeEscapeTest,
    ::testing::Values(std::make_pair(std::string(""), std::string("''")),
                      std::make_pair(std::string("pump1"), std::string("'pump1'")),
                      std::make_pair(std::string("it's"), std::string("'it''s'")),
                      std::make_pair(std::string("'"), std::string("''''")),
                      std::make_pair(std::string("\\"), std::string("'\\\\'")),
                      std::make_pair(std::string("ends\\"), std::string("'ends\\\\'")),
                      std::make_pair(std::string("\\'"), std::string("'\\\\'''")),
                      std::make_pair(std::string("a\\nb"), std::string("'a\\\\nb'")),
                      std::make_pair(std::string("a\0b\0", 4), std::string("'ab'")),
                      std::make_pair(std::string("$$x$$"), std::string("'$$x$$'")),
                      std::make_pair(std::string("line\nbreak"), std::string("'line\nbreak'")),
                      std::make_pair(std::string("'); DROP TABLE x; --"),
                                     std::string("'''); DROP TABLE x; --'"))),
    caseNames([](const std::pair<std::string, std::string>& c) { return c.first; }));

struct FormatCase {
    std::string value;
    std::string type;
    std::string literal;
};

class SnowflakeFormatTest : public ::testing::TestWithParam<FormatCase> {};

// Named by column type, then value: BIGINT_Minus_42.
std::string formatName(const FormatCase& c) {
    return caseName({c.type.empty() ? "NoType" : c.type, c.value});
}

TEST_P(SnowflakeFormatTest, Formats) {
    SnowflakeSQLBuilder builder;
    const FormatCase& c = GetParam();
    EXPECT_EQ(builder.formatValue(c.value, c.type), c.literal)
        << "value [" << c.value << "] type [" << c.type << "]";
    EXPECT_EQ(builder.formatValueForSnowflake(c.value, c.type), c.literal);
    // Rows are rendered in place with the column's style worked out beforehand: same text.
    std::string row = "(1, ";
    builder.appendValue(row, c.value.data(), c.value.size(), builder.valueStyle(c.type));
    EXPECT_EQ(row, "(1, " + c.literal);
}

INSTANTIATE_TEST_SUITE_P(
    QuotedColumns, SnowflakeFormatTest,
    ::testing::Values(FormatCase{"pump1", "VARCHAR(256) NOT NULL", "'pump1'"},
                      FormatCase{"O'Brien", "VARCHAR(256) NULL", "'O''Brien'"},
                      FormatCase{"2024-03-01 12:00:00.000000+00:00", "TIMESTAMP_TZ",
                                 "'2024-03-01 12:00:00.000000+00:00'"},
                      FormatCase{"2024-03-01 12:00:00.000000+00:00", "TIMESTAMP_TZ NULL",
                                 "'2024-03-01 12:00:00.000000+00:00'"},
                      FormatCase{"null", "VARCHAR(256)", "'null'"},
                      FormatCase{"", "VARCHAR(256)", "''"}, FormatCase{"x", "varchar(256)", "'x'"},
                      FormatCase{"x", "String", "'x'"}, FormatCase{"x", "text", "'x'"},
                      FormatCase{"42", "VARCHAR(256)", "'42'"},
                      FormatCase{"ends\\", "VARCHAR(256) NULL", "'ends\\\\'"},
                      FormatCase{std::string("a\0b", 3), "VARCHAR(256)", "'ab'"},
                      FormatCase{"'); DROP TABLE x; --", "VARCHAR(256)", "'''); DROP TABLE x; --'"},
                      // JSON text for PARSE_JSON, numbers and null included.
                      FormatCase{"{\"a\": \"O'B\\n\"}", "VARIANT NULL", "'{\"a\": \"O''B\\\\n\"}'"},
                      FormatCase{"42", "variant", "'42'"}, FormatCase{"null", "VARIANT", "'null'"}),
    caseNames(formatName));

INSTANTIATE_TEST_SUITE_P(
    NumericColumns, SnowflakeFormatTest,
    ::testing::Values(FormatCase{"21.5", "REAL NULL", "21.5"}, FormatCase{"-42", "BIGINT", "-42"},
                      FormatCase{"21.500000", "REAL", "21.500000"}, FormatCase{"1.", "REAL", "1."},
                      FormatCase{".5", "REAL", ".5"}, FormatCase{"1e5", "REAL", "1e5"},
                      FormatCase{"-0.0", "REAL", "-0.0"}, FormatCase{"1e-07", "REAL", "1e-07"},
                      FormatCase{"+3", "BIGINT", "+3"}, FormatCase{"2.5E+10", "REAL", "2.5E+10"},
                      FormatCase{"007", "BIGINT", "007"}, FormatCase{"5", "", "5"},
                      FormatCase{"5", "BOOLEAN", "5"}),
    caseNames(formatName));

INSTANTIATE_TEST_SUITE_P(
    NullWord, SnowflakeFormatTest,
    ::testing::Values(FormatCase{"null", "REAL NULL", "null"}, FormatCase{"NULL", "BIGINT", "NULL"},
                      FormatCase{"Null", "", "Null"}, FormatCase{"nULl", "BIGINT", "nULl"},
                      FormatCase{"nulls", "BIGINT", "'nulls'"},
                      FormatCase{"nul", "BIGINT", "'nul'"}, FormatCase{"", "BIGINT", "NULL"},
                      FormatCase{"", "REAL NULL", "NULL"}, FormatCase{"", "", "NULL"}),
    caseNames(formatName));

INSTANTIATE_TEST_SUITE_P(
    TextInNumericColumns, SnowflakeFormatTest,
    ::testing::Values(FormatCase{"0x10", "BIGINT", "'0x10'"}, FormatCase{"1e", "REAL", "'1e'"},
                      FormatCase{"1e+", "REAL", "'1e+'"}, FormatCase{"e5", "REAL", "'e5'"},
                      FormatCase{"--1", "BIGINT", "'--1'"}, FormatCase{"1 2", "BIGINT", "'1 2'"},
                      FormatCase{" 1", "BIGINT", "' 1'"}, FormatCase{"1 ", "BIGINT", "'1 '"},
                      FormatCase{"inf", "REAL", "'inf'"}, FormatCase{"nan", "REAL", "'nan'"},
                      FormatCase{".", "REAL", "'.'"}, FormatCase{"-", "BIGINT", "'-'"},
                      FormatCase{"1.2.3", "REAL", "'1.2.3'"},
                      FormatCase{"1e5.5", "REAL", "'1e5.5'"},
                      FormatCase{"true", "BOOLEAN", "'true'"}, FormatCase{"abc", "", "'abc'"},
                      FormatCase{"1; DROP TABLE x", "REAL", "'1; DROP TABLE x'"},
                      FormatCase{"1), (2", "BIGINT", "'1), (2'"},
                      FormatCase{"'); DROP TABLE x; --", "BIGINT", "'''); DROP TABLE x; --'"},
                      FormatCase{"a\\", "", "'a\\\\'"},
                      FormatCase{"2024-03-01", "TIMESTAMP_NTZ", "'2024-03-01'"}),
    caseNames(formatName));

// A dialect that marks its literals, to see that formatting goes through the virtual hook.
class MarkedLiterals : public SnowflakeSQLBuilder {
public:
    std::string escapeString(const std::string& text) const override { return "<" + text + ">"; }
};

TEST(SnowflakeSQLBuilderTest, FormattingUsesTheVirtualEscape) {
    MarkedLiterals builder;
    EXPECT_EQ(builder.formatValue("x", "VARCHAR(256)"), "<x>");
    EXPECT_EQ(builder.formatValue("x", "BIGINT"), "<x>");
    EXPECT_EQ(builder.formatValue("1", "BIGINT"), "1");
    const SQLBuilder& base = builder;
    EXPECT_EQ(base.formatValue("t", "TIMESTAMP_TZ"), "<t>");
}

TEST(SnowflakeSQLBuilderTest, FormattedRowsMakeAnInsert) {
    SnowflakeSQLBuilder builder;
    const Strings columns{"asset_code", "temperature", "note"};
    const Strings types{"VARCHAR(256) NOT NULL", "REAL NULL", "VARCHAR(256) NULL"};
    const Rows records{{"pump1", "21.5", "it's"}, {"pump2", "null", "c:\\temp\\"}};
    Rows rows;
    for (const Strings& record : records) {
        Strings row;
        for (size_t i = 0; i < columns.size(); ++i) {
            row.push_back(builder.formatValue(record[i], types[i]));
        }
        rows.push_back(std::move(row));
    }
    builder.setTableName("readings");
    builder.setColumns(columns);
    builder.setValues(std::move(rows));
    EXPECT_EQ(builder.buildBulkInsert(),
              "INSERT INTO \"readings\" (\"asset_code\", \"temperature\", \"note\") VALUES "
              "('pump1', 21.5, 'it''s'), ('pump2', null, 'c:\\\\temp\\\\')");
}

}  // namespace
