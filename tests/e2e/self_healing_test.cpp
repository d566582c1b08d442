// Tables changed by someone else and a session cut on the server: a running instance finds out,
// heals and delivers everything, with no restart.
#include <chrono>
#include <functional>
#include <ostream>
#include <string>

#include "tests/e2e/plugin_e2e_test.h"

namespace varnholt {
namespace test {
namespace {

struct ChangeCase {
    std::string name;
    // Done by hand between the first and the second batch to the table (given quoted).
    std::function<void(const Emulator&, const std::string& table)> change;
    // Columns read back, and the rows expected of the table after the third batch.
    std::string selected;
    Emulator::Rows rows;
    bool refreshed;
    bool reconnects;
};

void PrintTo(const ChangeCase& testCase, std::ostream* out) {
    *out << testCase.name;
}

const std::vector<ChangeCase>& changeCases() {
    static const std::vector<ChangeCase> cases = {
        // The second batch brings column b, which another connection has just added.
        {"ColumnAddedByAnotherConnection",
         [](const Emulator& emulator, const std::string& table) {
             emulator.execute("ALTER TABLE " + table + " ADD COLUMN b BIGINT");
         },
         "seq::text, a::text, b::text",
         {{text("1"), text("10"), null()},
          {text("2"), text("11"), text("5")},
          {text("3"), text("12"), text("6")}},
         true,
         false},
        {"TableCreatedAgainWithOtherColumns",
         [](const Emulator& emulator, const std::string& table) {
             emulator.execute("DROP TABLE " + table + "; CREATE TABLE " + table +
                              " (asset_code VARCHAR(256), user_ts TIMESTAMP_TZ, ts TIMESTAMP_TZ,"
                              " tolvane VARCHAR(256), seq BIGINT, note VARCHAR(256))");
         },
         "seq::text, a::text, b::text, note",
         {{text("2"), text("11"), text("5"), null()}, {text("3"), text("12"), text("6"), null()}},
         true,
         false},
        {"TableDropped",
         [](const Emulator& emulator, const std::string& table) {
             emulator.execute("DROP TABLE " + table);
         },
         "seq::text, a::text, b::text",
         {{text("2"), text("11"), text("5")}, {text("3"), text("12"), text("6")}},
         true,
         false},
        {"SessionTerminatedOnTheServer",
         [](const Emulator& emulator, const std::string&) {
             // The instance's session is the only other one of this role.
             EXPECT_EQ(emulator.query("SELECT pg_terminate_backend(pid)::text FROM "
                                      "pg_stat_activity WHERE usename = current_user AND pid <> "
                                      "pg_backend_pid() AND backend_type = 'client backend'"),
                       (Emulator::Rows{{text("true")}}));
         },
         "seq::text, a::text, b::text",
         {{text("1"), text("10"), null()},
          {text("2"), text("11"), text("5")},
          {text("3"), text("12"), text("6")}},
         false,
         true},
    };
    return cases;
}

class SelfHealingTest : public PluginE2ETest, public ::testing::WithParamInterface<ChangeCase> {};

TEST_P(SelfHealingTest, RunningInstanceDeliversEverything) {
    const ChangeCase& testCase = GetParam();
    const std::string table = "heal_" + testCase.name;
    const std::string other = table + "_other";
    PLUGIN_HANDLE plugin = startInstance();

    Batch first;
    first.add(ReadingBuilder(table).integer("seq", 1).integer("a", 10).build());
    first.add(ReadingBuilder(other).integer("seq", 1).build());
    ASSERT_EQ(send(plugin, first), first.size());

    testCase.change(emulator, tableRef(table));

    LogCapture capture;
    Batch second;
    second.add(ReadingBuilder(other).integer("seq", 2).build());
    second.add(ReadingBuilder(table).integer("seq", 2).integer("a", 11).integer("b", 5).build());
    if (testCase.reconnects) {
        EXPECT_EQ(resendUntilDelivered(plugin, second, std::chrono::seconds(30)), second.size());
    } else {
        EXPECT_EQ(send(plugin, second), second.size());
    }
    const std::string refreshLine = "Cached columns of table '" + table + "' refreshed";
    EXPECT_EQ(capture.contains(Logger::Level::INFO, refreshLine), testCase.refreshed);
    EXPECT_EQ(
        capture.contains(Logger::Level::INFO, "Database connection status: TOLVANE_ODBC_SUCCESS"),
        testCase.reconnects);

    // Healed: the next batch goes through as any other.
    capture.clear();
    Batch third;
    third.add(ReadingBuilder(table).integer("seq", 3).integer("a", 12).integer("b", 6).build());
    third.add(ReadingBuilder(other).integer("seq", 3).build());
    EXPECT_EQ(send(plugin, third), third.size());
    EXPECT_FALSE(capture.contains(Logger::Level::INFO, refreshLine));

    EXPECT_EQ(
        query("SELECT " + testCase.selected + " FROM " + tableRef(table) + " AS r ORDER BY r.seq"),
        testCase.rows);
    EXPECT_EQ(query("SELECT seq::text FROM " + tableRef(other) + " AS r ORDER BY r.seq"),
              (Rows{{text("1")}, {text("2")}, {text("3")}}));
}

INSTANTIATE_TEST_SUITE_P(Changes, SelfHealingTest, ::testing::ValuesIn(changeCases()),
                         [](const ::testing::TestParamInfo<ChangeCase>& info) {
                             return info.param.name;
                         });

}  // namespace
}  // namespace test
}  // namespace varnholt
