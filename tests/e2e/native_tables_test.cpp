// Tables a Snowflake user queries like any other: with identifierCase UPPER the names are upper
// case, which unquoted names find, and a later instance writes on into them; with nestedValues
// VARIANT nested values and float arrays land in VARIANT columns as the same JSON, through an
// INSERT ... SELECT that rejects, replay and the statement limits work with as with any other.
#include <rapidjson/document.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/plugin_e2e_test.h"

namespace varnholt {
namespace test {
namespace {

const size_t MAX_ROWS = 16384;
const size_t MAX_BYTES = 1024 * 1024;

// A nested datapoint value: an object of the given children.
DatapointValue object(std::vector<Datapoint*> children) {
    return DatapointValue(std::move(children), true);
}

DatapointValue list(std::vector<Datapoint*> children) {
    return DatapointValue(std::move(children), false);
}

Datapoint* member(const std::string& name, const DatapointValue& value) {
    return new Datapoint(name, value);
}

class NativeTablesTest : public PluginE2ETest {
protected:
    PLUGIN_HANDLE startWith(const std::string& instance, const std::string& item,
                            const std::string& value) {
        return startInstance(instance, {{item, value}});
    }

    // The statements into the table the plugin sent, as its client logged them.
    static std::vector<std::string> insertsInto(const LogCapture& capture,
                                                const std::string& table) {
        const std::string prefix = "INSERT INTO " + quoteIdentifier(table) + " ";
        std::vector<std::string> inserts;
        for (const std::string& statement : statementsSent(capture)) {
            if (statement.compare(0, prefix.size(), prefix) == 0) {
                inserts.push_back(statement);
            }
        }
        return inserts;
    }

    Value count(const std::string& table, const std::string& condition = "TRUE") const {
        return scalar("SELECT count(*)::text FROM " + tableRef(table) + " WHERE " + condition);
    }

    // Whether the stored text and the expected text are the same JSON value (a number compared
    // as the double it reads as).
    static ::testing::AssertionResult sameJSON(const Value& stored, const std::string& expected) {
        if (!stored) {
            return ::testing::AssertionFailure() << "NULL instead of " << expected;
        }
        rapidjson::Document got;
        rapidjson::Document want;
        got.Parse<rapidjson::kParseFullPrecisionFlag>(stored->c_str());
        want.Parse<rapidjson::kParseFullPrecisionFlag>(expected.c_str());
        if (got.HasParseError() || want.HasParseError() || got != want) {
            return ::testing::AssertionFailure() << *stored << " is not " << expected;
        }
        return ::testing::AssertionSuccess();
    }
};

TEST_F(NativeTablesTest, UpperCaseNamesAreListedAndALaterInstanceWritesOnIntoThem) {
    PLUGIN_HANDLE first = startWith("e2e-upper-a", "identifierCase", "UPPER");
    Batch batch;
    // Assets and datapoints that differ only in case share one table and one column, made for
    // the values of both.
    batch.add(ReadingBuilder("e2e_Pump1")
                  .integer("Temperature", 21)
                  .integer("flow", 7)
                  .at("2024-05-01 10:00:00")
                  .build());
    batch.add(
        ReadingBuilder("E2E_PUMP1").real("temperature", 22.5).at("2024-05-01 10:00:01").build());
    ASSERT_EQ(send(first, batch), 2u);
    stopInstance(first);

    EXPECT_EQ(reportedColumns("E2E_PUMP1"), (Columns{{"ASSET_CODE", "TEXT"},
                                                     {"USER_TS", "TIMESTAMP_TZ"},
                                                     {"TS", "TIMESTAMP_TZ"},
                                                     {"TOLVANE", "TEXT"},
                                                     {"TEMPERATURE", "FLOAT"},
                                                     {"FLOW", "NUMBER"}}));
    EXPECT_FALSE(tableExists(emulator.schema(), "e2e_Pump1"));
    EXPECT_FALSE(tableExists(emulator.schema(), "e2e_pump1"));

    // A new instance knows nothing of the table: it finds it under the same name and adds only
    // the column it lacks.
    LogCapture capture;
    PLUGIN_HANDLE second = startWith("e2e-upper-b", "identifierCase", "UPPER");
    Batch more;
    more.add(ReadingBuilder("e2e_pump1")
                 .real("TEMPERATURE", 23.5)
                 .integer("Humidity", 40)
                 .at("2024-05-01 10:00:02")
                 .build());
    ASSERT_EQ(send(second, more), 1u);

    for (const std::string& statement : statementsSent(capture)) {
        EXPECT_EQ(statement.find("CREATE TABLE \"E2E_PUMP1\""), std::string::npos) << statement;
    }
    EXPECT_EQ(reportedColumns("E2E_PUMP1").back(),
              (std::pair<std::string, std::string>{"HUMIDITY", "NUMBER"}));
    // Values are not names: the asset keeps its case.
    EXPECT_EQ(query("SELECT \"ASSET_CODE\", \"TEMPERATURE\"::text, \"FLOW\"::text, "
                    "\"HUMIDITY\"::text, \"TOLVANE\" FROM " +
                    tableRef("E2E_PUMP1") + " ORDER BY \"USER_TS\""),
              (Rows{{text("e2e_Pump1"), text("21"), text("7"), null(), text("e2e-upper-a")},
                    {text("E2E_PUMP1"), text("22.5"), null(), null(), text("e2e-upper-a")},
                    {text("e2e_pump1"), text("23.5"), null(), text("40"), text("e2e-upper-b")}}));
    EXPECT_EQ(scalar("SELECT count(*)::text FROM " + tableRef("_varnholt_rejects") +
                     " WHERE target_table = 'E2E_PUMP1'"),
              text("0"));
}

TEST_F(NativeTablesTest, NestedValuesAndFloatArraysReadBackAsTheSameJSONFromVariantColumns) {
    PLUGIN_HANDLE plugin = startWith("e2e-variant", "nestedValues", "VARIANT");
    Batch batch;
    batch.add(
        ReadingBuilder("e2e_variant")
            .integer("seq", 1)
            .value("pos", object({member("x", DatapointValue(1.5)), member("y", DatapointValue(-2)),
                                  member("label", DatapointValue("say \"hi\" \\ O'Brien")),
                                  member("tags", list({member("", DatapointValue("t1")),
                                                       member("", DatapointValue(2))}))}))
            .value("spectrum", DatapointValue(std::vector<double>{0.1, -21.25, 1e300, NAN, 1e-7}))
            .text("note", "plain")
            .build());
    // A text for the VARIANT column lands as a JSON string.
    batch.add(ReadingBuilder("e2e_variant")
                  .integer("seq", 2)
                  .text("pos", "N/A")
                  .value("spectrum", DatapointValue(std::vector<double>{}))
                  .build());
    LogCapture capture;
    ASSERT_EQ(send(plugin, batch), 2u);

    EXPECT_EQ(reportedColumns("e2e_variant"), (Columns{{"asset_code", "TEXT"},
                                                       {"user_ts", "TIMESTAMP_TZ"},
                                                       {"ts", "TIMESTAMP_TZ"},
                                                       {"tolvane", "TEXT"},
                                                       {"seq", "NUMBER"},
                                                       {"pos", "VARIANT"},
                                                       {"spectrum", "VARIANT"},
                                                       {"note", "TEXT"}}));
    const Rows stored = query("SELECT pos::text, spectrum::text, note FROM " +
                              tableRef("e2e_variant") + " ORDER BY seq");
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_TRUE(sameJSON(stored[0][0], R"({"x": 1.5, "y": -2, "label": "say \"hi\" \\ O'Brien",
                                            "tags": ["t1", 2]})"));
    EXPECT_TRUE(sameJSON(stored[0][1], "[0.1, -21.25, 1e300, null, 1e-7]"));
    EXPECT_EQ(stored[0][2], text("plain"));
    EXPECT_TRUE(sameJSON(stored[1][0], R"("N/A")"));
    EXPECT_TRUE(sameJSON(stored[1][1], "[]"));
    EXPECT_EQ(stored[1][2], null());

    const std::vector<std::string> inserts = insertsInto(capture, "e2e_variant");
    ASSERT_EQ(inserts.size(), 1u);
    EXPECT_NE(inserts[0].find(") SELECT c1, c2, c3, c4, c5, PARSE_JSON(c6), PARSE_JSON(c7), c8 "
                              "FROM (VALUES ("),
              std::string::npos)
        << inserts[0];
    const std::string end = ") AS v(c1, c2, c3, c4, c5, c6, c7, c8)";
    EXPECT_EQ(inserts[0].substr(inserts[0].size() - end.size()), end);
}

// A table of a VARIANT column is cut at the row and byte limits like any other, a value the
// database refuses in it becomes a reject, and the reject lands with its nested value once the
// column is fixed.
TEST_F(NativeTablesTest, VariantTablesKeepTheLimitsAndTheirRejectsAreReplayed) {
    const size_t readings = MAX_ROWS + 3616;
    const int64_t before = std::stoll(
        scalar("SELECT coalesce(max(id), 0)::text FROM emulator.insert_log").value_or("0"));
    PLUGIN_HANDLE plugin = startWith("e2e-variant-limits", "nestedValues", "VARIANT");
    Batch batch;
    for (size_t i = 0; i < readings; ++i) {
        batch.add(ReadingBuilder("e2e_variant_many")
                      .integer("seq", static_cast<int64_t>(i))
                      .value("pos", object({member("i", DatapointValue(static_cast<int64_t>(i))),
                                            member("pad", DatapointValue(std::string(40, 'p')))}))
                      .integer("level", 1)
                      .build());
    }
    ASSERT_EQ(send(plugin, batch), readings);
    const Rows inserts = query(
        "SELECT row_count::text, request_bytes::text FROM emulator.insert_log WHERE table_name = "
        "'e2e_variant_many' AND id > " +
        std::to_string(before) + " ORDER BY id");
    ASSERT_GE(inserts.size(), 2u);
    size_t rows = 0;
    for (const auto& insert : inserts) {
        EXPECT_LE(std::stoul(*insert[0]), MAX_ROWS);
        EXPECT_LE(std::stoul(*insert[1]), MAX_BYTES);
        rows += std::stoul(*insert[0]);
    }
    EXPECT_EQ(rows, readings);
    EXPECT_EQ(count("e2e_variant_many", "(pos->>'i')::bigint = seq"),
              text(std::to_string(readings)));

    // A word for the integer column: a reject before the write, in the database's words.
    Batch refused;
    refused.add(ReadingBuilder("e2e_variant_many")
                    .integer("seq", -1)
                    .value("pos", object({member("i", DatapointValue(-1))}))
                    .text("level", "high")
                    .build());
    refused.add(ReadingBuilder("e2e_variant_many")
                    .integer("seq", -2)
                    .value("pos", object({member("i", DatapointValue(-2))}))
                    .integer("level", 2)
                    .build());
    ASSERT_EQ(send(plugin, refused), 2u);
    stopInstance(plugin);
    EXPECT_EQ(count("e2e_variant_many", "seq < 0"), text("1"));
    EXPECT_EQ(scalar("SELECT message FROM " + tableRef("_varnholt_rejects") +
                     " WHERE instance = 'e2e-variant-limits'"),
              text("Numeric value 'high' is not recognized"));

    emulator.execute("ALTER TABLE " + tableRef("e2e_variant_many") +
                     " ALTER COLUMN level TYPE VARCHAR");
    ConfigCategory category = emulatorCategory("e2e-variant-limits");
    category.setValue("nestedValues", "VARIANT");
    category.setValue("replayRejects", "true");
    PLUGIN_HANDLE replaying = startInstance(category);
    Batch next;
    next.add(ReadingBuilder("e2e_variant_next").integer("seq", 0).build());
    ASSERT_EQ(send(replaying, next), 1u);

    EXPECT_EQ(
        query("SELECT level, pos::text FROM " + tableRef("e2e_variant_many") + " WHERE seq = -1"),
        (Rows{{text("high"), text("{\"i\": -1}")}}));
    EXPECT_EQ(scalar("SELECT count(*)::text FROM " + tableRef("_varnholt_rejects") +
                     " WHERE instance = 'e2e-variant-limits'"),
              text("0"));
}

// Neither item set: the names as sent, nested values as JSON text, written with VALUES.
TEST_F(NativeTablesTest, WithoutTheItemsNamesAndNestedValuesStayAsBefore) {
    PLUGIN_HANDLE plugin = startInstance("e2e-native-default");
    Batch batch;
    batch.add(ReadingBuilder("e2e_Native_Default")
                  .value("Pos", object({member("x", DatapointValue(1.5))}))
                  .build());
    LogCapture capture;
    ASSERT_EQ(send(plugin, batch), 1u);

    EXPECT_EQ(reportedColumns("e2e_Native_Default"), (Columns{{"asset_code", "TEXT"},
                                                              {"user_ts", "TIMESTAMP_TZ"},
                                                              {"ts", "TIMESTAMP_TZ"},
                                                              {"tolvane", "TEXT"},
                                                              {"Pos", "TEXT"}}));
    EXPECT_TRUE(
        sameJSON(scalar("SELECT \"Pos\" FROM " + tableRef("e2e_Native_Default")), R"({"x": 1.5})"));
    const std::vector<std::string> inserts = insertsInto(capture, "e2e_Native_Default");
    ASSERT_EQ(inserts.size(), 1u);
    EXPECT_NE(inserts[0].find(") VALUES ("), std::string::npos) << inserts[0];
    EXPECT_EQ(inserts[0].find("PARSE_JSON"), std::string::npos) << inserts[0];
}

}  // namespace
}  // namespace test
}  // namespace varnholt
