#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "config/default_config.h"
#include "host/config_category.h"
#include "host/log_capture.h"
#include "sql/snowflake_sql_builder.h"
#include "tests/odbc/scripted_connector.h"
#include "tests/support/scripted_driver.h"
#include "tests/support/test_readings.h"

namespace {

using varnholt::test::Batch;
using varnholt::test::ReadingBuilder;
using varnholt::test::StatementScript;
using Strings = std::vector<std::string>;

const char* const TIME = "2024-05-06 07:08:09.123456";

// The values of datapoint "v" in batch order, the "integerType" setting, and the type of the
// column made for them.
struct TypeCase {
    const char* name;
    std::vector<std::optional<DatapointValue>> values;  // none: the reading lacks "v"
    const char* integerType;
    const char* columnType;
};

DatapointValue floats(std::vector<double> numbers) {
    return DatapointValue(numbers);
}

class ColumnType
    : public varnholt::test::ScriptedConnectorTest<::testing::TestWithParam<TypeCase>> {
protected:
    void configureIntegerType(const std::string& value) {
        ConfigCategory category("varnholt", defaultConfiguration());
        category.setValue("integerType", value);
        ASSERT_TRUE(connector->configure(&category));
    }

    // Table "known" exists with the four columns every row has.
    static void scriptKnownTable() {
        StatementScript script;
        script.match = SnowflakeSQLBuilder().buildInformationSchemaQuery("", "known");
        script.prefix = false;
        script.columns = {"COLUMN_NAME", "DATA_TYPE"};
        script.rows = {{"asset_code", "TEXT"},
                       {"user_ts", "TIMESTAMP_TZ"},
                       {"ts", "TIMESTAMP_TZ"},
                       {"tolvane", "TEXT"}};
        driver().addStatement(script);
    }
};

// A column is made for every value of its datapoint in the batch, in a new table and in one
// that exists, and every reading lands.
TEST_P(ColumnType, IsTheWidestKindOfTheBatch) {
    const TypeCase& testCase = GetParam();
    configureIntegerType(testCase.integerType);
    scriptKnownTable();
    Batch batch;
    for (const char* asset : {"fresh", "known"}) {
        for (const auto& value : testCase.values) {
            ReadingBuilder reading(asset);
            reading.integer("n", 1);
            if (value) {
                reading.value("v", *value);
            }
            batch.add(reading.at(TIME).build());
        }
    }
    LogCapture capture;

    ASSERT_TRUE(connector->send(batch.pointers()));

    const Strings journal = driver().journal();
    const std::string type = testCase.columnType;
    const std::string whole = std::string(testCase.integerType) == "REAL" ? "REAL" : "BIGINT";
    auto has = [&journal](const std::string& statement) {
        return std::find(journal.begin(), journal.end(), statement) != journal.end();
    };
    EXPECT_TRUE(
        has("CREATE TABLE \"fresh\" (\"asset_code\" VARCHAR(256) NOT NULL, \"user_ts\" "
            "TIMESTAMP_TZ, \"ts\" TIMESTAMP_TZ, \"tolvane\" VARCHAR(256), \"n\" " +
            whole + " NULL, \"v\" " + type + " NULL)"))
        << ::testing::PrintToString(journal);
    EXPECT_TRUE(has("ALTER TABLE \"known\" ADD COLUMN \"v\" " + type + " NULL"))
        << ::testing::PrintToString(journal);
    for (const std::string& statement : journal) {
        EXPECT_NE(statement.rfind("INSERT INTO \"_varnholt_rejects\"", 0), 0u) << statement;
    }
    EXPECT_TRUE(capture.texts(Logger::Level::WARN).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Batches, ColumnType,
    ::testing::Values(
        TypeCase{"WholeNumbers", {DatapointValue(21), DatapointValue(22)}, "BIGINT", "BIGINT"},
        TypeCase{"WholeNumbersAsReal", {DatapointValue(21), DatapointValue(22)}, "REAL", "REAL"},
        TypeCase{"FractionAfterWholeNumbers",
                 {DatapointValue(21), DatapointValue(21.5), DatapointValue(22)},
                 "BIGINT",
                 "REAL"},
        TypeCase{"WholeNumberAfterFraction",
                 {DatapointValue(21.5), DatapointValue(21)},
                 "BIGINT",
                 "REAL"},
        TypeCase{"FractionsAsReal", {DatapointValue(21.5)}, "REAL", "REAL"},
        TypeCase{"ReadingsWithoutTheDatapointBetween",
                 {DatapointValue(21), std::nullopt, DatapointValue(21.5), std::nullopt},
                 "BIGINT",
                 "REAL"},
        TypeCase{"WordAmongWholeNumbers",
                 {DatapointValue(1), DatapointValue(2), DatapointValue("N/A"), DatapointValue(3)},
                 "BIGINT",
                 "VARCHAR(256)"},
        TypeCase{"WordAmongWholeNumbersAsReal",
                 {DatapointValue(1), DatapointValue("N/A")},
                 "REAL",
                 "VARCHAR(256)"},
        TypeCase{"WordAfterFraction",
                 {DatapointValue(1.5), DatapointValue("x")},
                 "BIGINT",
                 "VARCHAR(256)"},
        TypeCase{"Words", {DatapointValue("on"), DatapointValue("off")}, "BIGINT", "VARCHAR(256)"},
        TypeCase{"FloatArrays", {floats({1.5, 2.0}), floats({})}, "BIGINT", "VARCHAR(256)"},
        TypeCase{
            "FloatArrayAmongNumbers", {DatapointValue(1), floats({1.5})}, "REAL", "VARCHAR(256)"}),
    [](const ::testing::TestParamInfo<TypeCase>& info) { return std::string(info.param.name); });

using ColumnTypeMoves = varnholt::test::ScriptedConnectorTest<>;

// The kinds follow each datapoint by its name when the datapoints change places, and by its
// place while they keep it.
TEST_F(ColumnTypeMoves, KindsFollowTheDatapointsName) {
    Batch batch;
    batch.add(ReadingBuilder("pumps").integer("a", 1).integer("b", 2).at(TIME).build());
    batch.add(ReadingBuilder("pumps").real("b", 2.5).integer("a", 3).at(TIME).build());
    batch.add(ReadingBuilder("pumps").integer("b", 7).text("a", "w").at(TIME).build());

    ASSERT_TRUE(connector->send(batch.pointers()));

    const Strings journal = driver().journal();
    EXPECT_NE(std::find(journal.begin(), journal.end(),
                        "CREATE TABLE \"pumps\" (\"asset_code\" VARCHAR(256) NOT NULL, \"user_ts\" "
                        "TIMESTAMP_TZ, \"ts\" TIMESTAMP_TZ, \"tolvane\" VARCHAR(256), \"a\" "
                        "VARCHAR(256) NULL, \"b\" REAL NULL)"),
              journal.end())
        << ::testing::PrintToString(journal);
}

}  // namespace
