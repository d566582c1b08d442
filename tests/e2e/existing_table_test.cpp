// Instances that find their tables already in place learn the columns from the information
// schema and still write each value in the form its column needs.
#include <string>

#include "host/log_capture.h"
#include "tests/e2e/plugin_e2e_test.h"

namespace varnholt {
namespace test {
namespace {

class ExistingTableTest : public PluginE2ETest {
protected:
    // The INSERT statements the plugin ran for a table, as its client logged them.
    static std::vector<std::string> inserts(const LogCapture& capture, const std::string& table) {
        const std::string prefix = "INSERT INTO " + quoteIdentifier(table) + " ";
        std::vector<std::string> statements;
        for (const std::string& statement : statementsSent(capture)) {
            if (statement.compare(0, prefix.size(), prefix) == 0) {
                statements.push_back(statement);
            }
        }
        return statements;
    }
};

TEST_F(ExistingTableTest, SecondInstanceReadsColumnsBackAndFormatsValues) {
    PLUGIN_HANDLE first = startInstance("e2e-first");
    Batch created;
    created.add(ReadingBuilder("e2e_reopened")
                    .text("label", "first")
                    .integer("count", 1)
                    .real("value", 2.5)
                    .at("2024-05-01 10:00:00")
                    .build());
    ASSERT_EQ(send(first, created), 1u);
    stopInstance(first);

    PLUGIN_HANDLE second = startInstance("e2e-second");
    Batch reused;
    // Numeric-looking text stays text only when the column is known to be text.
    reused.add(ReadingBuilder("e2e_reopened")
                   .text("label", "007")
                   .integer("count", 42)
                   .real("value", 0.5)
                   .text("extra", "added")
                   .at("2024-05-02 11:00:00")
                   .build());
    reused.add(
        ReadingBuilder("e2e_reopened").integer("count", 43).at("2024-05-02 11:00:01").build());
    LogCapture capture;
    ASSERT_EQ(send(second, reused), 2u);

    EXPECT_EQ(reportedColumns("e2e_reopened"), (Columns{{"asset_code", "TEXT"},
                                                        {"user_ts", "TIMESTAMP_TZ"},
                                                        {"ts", "TIMESTAMP_TZ"},
                                                        {"tolvane", "TEXT"},
                                                        {"label", "TEXT"},
                                                        {"count", "NUMBER"},
                                                        {"value", "FLOAT"},
                                                        {"extra", "TEXT"}}));
    EXPECT_EQ(query("SELECT " + utcInstant("ts") + ", tolvane, label, count::text, value::text," +
                    " extra FROM " + tableRef("e2e_reopened") + " ORDER BY ts"),
              (Rows{{text("2024-05-01 10:00:00.000000"), text("e2e-first"), text("first"),
                     text("1"), text("2.5"), null()},
                    {text("2024-05-02 11:00:00.000000"), text("e2e-second"), text("007"),
                     text("42"), text("0.5"), text("added")},
                    {text("2024-05-02 11:00:01.000000"), text("e2e-second"), null(), text("43"),
                     null(), null()}}));

    // Texts and timestamps quoted, numbers bare.
    const std::vector<std::string> statements = inserts(capture, "e2e_reopened");
    ASSERT_EQ(statements.size(), 1u);
    EXPECT_NE(statements[0].find("('e2e_reopened', '2024-05-02 11:00:00"), std::string::npos)
        << statements[0];
    EXPECT_NE(statements[0].find("'e2e-second', '007', 42, "), std::string::npos) << statements[0];
    EXPECT_NE(statements[0].find("'e2e-second', NULL, 43, NULL, NULL)"), std::string::npos)
        << statements[0];
}

// A table made by someone else, with PostgreSQL's own types behind the Snowflake names.
TEST_F(ExistingTableTest, ForeignTableTakesReadingsInItsOwnTypes) {
    emulator.execute("CREATE TABLE " + tableRef("e2e_foreign") +
                     " (asset_code text NOT NULL, user_ts timestamptz, ts timestamptz,"
                     " tolvane text, reading numeric(10,2), note varchar(40), ratio double"
                     " precision, flag boolean)");
    PLUGIN_HANDLE plugin = startInstance();
    Batch batch;
    batch.add(ReadingBuilder("e2e_foreign")
                  .integer("reading", 5)
                  .text("note", "0042")
                  .real("ratio", 0.125)
                  .at("2024-06-01 08:00:00.25")
                  .build());
    ASSERT_EQ(send(plugin, batch), 1u);

    EXPECT_EQ(query("SELECT asset_code, " + utcInstant("user_ts") + ", reading::text, note," +
                    " ratio::text, flag::text FROM " + tableRef("e2e_foreign")),
              (Rows{{text("e2e_foreign"), text("2024-06-01 08:00:00.250000"), text("5.00"),
                     text("0042"), text("0.125"), null()}}));
    // Nothing added: every datapoint had its column.
    EXPECT_EQ(reportedColumns("e2e_foreign").size(), 8u);
}

}  // namespace
}  // namespace test
}  // namespace varnholt
