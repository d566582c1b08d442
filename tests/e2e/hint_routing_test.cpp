// Readings whose hint datapoint names another table than their asset.
#include "tests/e2e/plugin_e2e_test.h"

namespace varnholt {
namespace test {
namespace {

class HintRoutingTest : public PluginE2ETest {};

DatapointValue hintObject(const std::string& table) {
    return DatapointValue({new Datapoint("tablename", DatapointValue(table))}, true);
}

TEST_F(HintRoutingTest, HintedReadingsGoToTheNamedTable) {
    Batch batch;
    // A text datapoint: the host renders it as a quoted JSON string with escaped quotes.
    batch.add(ReadingBuilder("e2e_hint_source")
                  .text("snowflakeHint", R"({"tablename": "e2e_pressure_log"})")
                  .integer("pressure", 101)
                  .build());
    // An object datapoint: the host renders it as a bare JSON object.
    batch.add(ReadingBuilder("e2e_hint_source")
                  .integer("pressure", 102)
                  .value("snowflakeHint", hintObject("e2e_pressure_log"))
                  .build());
    batch.add(ReadingBuilder("e2e_hint_source").integer("pressure", 103).build());
    // An unusable hint leaves the reading with its asset.
    batch.add(ReadingBuilder("e2e_hint_source")
                  .text("snowflakeHint", "sensors")
                  .integer("pressure", 104)
                  .build());
    // Table names are taken verbatim, letter case included.
    batch.add(ReadingBuilder("e2e_hint_source")
                  .text("snowflakeHint", R"({"tablename": "E2E_Pressure_Log"})")
                  .integer("pressure", 105)
                  .build());

    PLUGIN_HANDLE plugin = startInstance();
    ASSERT_EQ(send(plugin, batch), batch.size());

    const Columns routedColumns{{"asset_code", "TEXT"},
                                {"user_ts", "TIMESTAMP_TZ"},
                                {"ts", "TIMESTAMP_TZ"},
                                {"tolvane", "TEXT"},
                                {"pressure", "NUMBER"}};
    // The hint itself is never a column.
    EXPECT_EQ(reportedColumns("e2e_pressure_log"), routedColumns);
    EXPECT_EQ(reportedColumns("E2E_Pressure_Log"), routedColumns);
    EXPECT_EQ(reportedColumns("e2e_hint_source"), routedColumns);

    const auto rowsOf = [this](const std::string& table) {
        return query("SELECT asset_code, pressure::text FROM " + tableRef(table) +
                     " AS r ORDER BY r.pressure");
    };
    EXPECT_EQ(rowsOf("e2e_pressure_log"), (Rows{{text("e2e_hint_source"), text("101")},
                                                {text("e2e_hint_source"), text("102")}}));
    EXPECT_EQ(rowsOf("E2E_Pressure_Log"), (Rows{{text("e2e_hint_source"), text("105")}}));
    EXPECT_EQ(rowsOf("e2e_hint_source"), (Rows{{text("e2e_hint_source"), text("103")},
                                               {text("e2e_hint_source"), text("104")}}));
}

TEST_F(HintRoutingTest, HintToAnExistingTableAddsItsColumns) {
    PLUGIN_HANDLE plugin = startInstance();
    Batch first;
    first.add(ReadingBuilder("e2e_hint_target").integer("level", 1).build());
    ASSERT_EQ(send(plugin, first), 1u);

    Batch second;
    second.add(ReadingBuilder("e2e_hint_other")
                   .value("snowflakeHint", hintObject("e2e_hint_target"))
                   .text("unit", "bar")
                   .build());
    ASSERT_EQ(send(plugin, second), 1u);

    EXPECT_FALSE(tableExists(emulator.schema(), "e2e_hint_other"));
    EXPECT_EQ(query("SELECT asset_code, level::text, unit FROM " + tableRef("e2e_hint_target") +
                    " ORDER BY asset_code"),
              (Rows{{text("e2e_hint_other"), null(), text("bar")},
                    {text("e2e_hint_target"), text("1"), null()}}));
}

}  // namespace
}  // namespace test
}  // namespace varnholt
