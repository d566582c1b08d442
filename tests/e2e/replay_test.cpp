// Rejected readings go home: once their cause is fixed by hand, an instance with replayRejects
// on delivers each of its rejects once, with its values and both timestamps, in the batches it
// sends anyway, and removes it from the reject table in the same transaction. A reading refused
// again stays there once; other instances' rejects are never touched; a reject table of the
// previous version is brought up to date in place.
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/plugin_e2e_test.h"

namespace varnholt {
namespace test {
namespace {

const std::string DONE = "Replay of rejected readings done: ";

class ReplayTest : public PluginE2ETest {
protected:
    PLUGIN_HANDLE startReplaying(const std::string& instance) {
        ConfigCategory category = emulatorCategory(instance);
        category.setValue("replayRejects", "true");
        return startInstance(category);
    }

    // Reading `seq` of the fixed table: every value follows from seq, the system time a day
    // after the user time.
    static std::unique_ptr<Reading> fixReading(int64_t seq, bool integerTemp = false) {
        ReadingBuilder builder("rp_fix");
        builder.integer("seq", seq);
        if (integerTemp) {
            builder.integer("temp", 21);
        } else {
            builder.real("temp", static_cast<double>(seq) + 0.5);
        }
        builder.integer("count", seq * 3)
            .real("flow", 3.0)
            .text("note", "O'Brien \\ " + std::to_string(seq));
        std::unique_ptr<Reading> reading = builder.build();
        struct timeval user = {1714521600 + seq, static_cast<suseconds_t>(seq)};
        struct timeval system = user;
        system.tv_sec += 86400;
        reading->setUserTimestamp(user);
        reading->setTimestamp(system);
        return reading;
    }

    // New readings sent while the rejects are replayed, one per batch.
    void sendNew(PLUGIN_HANDLE plugin, const std::string& table, int64_t seq) {
        Batch batch;
        batch.add(ReadingBuilder(table).integer("seq", seq).build());
        ASSERT_EQ(send(plugin, batch), 1u);
    }

    Rows rejectsOf(const std::string& instance, const std::string& table) const {
        return query("SELECT reject_id, " + utcInstant("rejected_at") +
                     ", sqlstate, message, reading FROM " + tableRef("_varnholt_rejects") +
                     " WHERE instance = " + quoteLiteral(instance) +
                     " AND target_table = " + quoteLiteral(table) + " ORDER BY reject_id");
    }

    Value count(const std::string& table, const std::string& condition = "TRUE") const {
        return scalar("SELECT count(*)::text FROM " + tableRef(table) + " WHERE " + condition);
    }
};

TEST_F(ReplayTest, EveryRejectLandsOnceAfterTheFixAndOnlyTheStillRefusedOneStays) {
    constexpr int64_t REJECTED = 2500;
    // The columns: temp an integer, so that fractions are type conflicts, and level an integer,
    // which a word is refused for before writing.
    PLUGIN_HANDLE first = startInstance("replay-a");
    {
        Batch batch;
        batch.add(fixReading(0, true));
        batch.add(ReadingBuilder("rp_still").integer("seq", 0).integer("level", 3).build());
        ASSERT_EQ(send(first, batch), batch.size());
    }
    {
        Batch batch;
        for (int64_t seq = 1; seq <= REJECTED; ++seq) {
            batch.add(fixReading(seq));
        }
        batch.add(ReadingBuilder("rp_still").integer("seq", 1).text("level", "high").build());
        ASSERT_EQ(send(first, batch), batch.size());
    }
    stopInstance(first);
    // Another gateway's rejects in the same table.
    PLUGIN_HANDLE other = startInstance("replay-b");
    {
        Batch batch;
        for (int64_t seq = 9001; seq <= 9003; ++seq) {
            batch.add(fixReading(seq));
        }
        ASSERT_EQ(send(other, batch), batch.size());
    }
    stopInstance(other);
    ASSERT_EQ(rejectsOf("replay-a", "rp_fix").size(), static_cast<size_t>(REJECTED));
    const Rows stillRefused = rejectsOf("replay-a", "rp_still");
    ASSERT_EQ(stillRefused.size(), 1u);
    const Rows othersBefore = rejectsOf("replay-b", "rp_fix");
    ASSERT_EQ(othersBefore.size(), 3u);

    // The fix, by hand.
    emulator.execute("ALTER TABLE " + tableRef("rp_fix") + " ALTER COLUMN temp TYPE REAL");

    LogCapture capture;
    PLUGIN_HANDLE replaying = startReplaying("replay-a");
    int64_t sends = 0;
    while (sends < 10 && !capture.anyLineContains(DONE)) {
        sendNew(replaying, "rp_new", 100 + sends);
        ++sends;
    }
    // 2,501 rejects take three batches; the fourth finds none left.
    EXPECT_EQ(sends, 4);
    EXPECT_EQ(capture.count(Logger::Level::INFO,
                            DONE + "2500 delivered to their tables; 1 refused again and 0 that "
                                   "could not be replayed are left in the reject table"),
              1u);

    // Each reading once, with its values and both timestamps.
    EXPECT_EQ(count("rp_fix"), text(std::to_string(REJECTED + 1)));
    EXPECT_EQ(scalar("SELECT count(DISTINCT seq)::text FROM " + tableRef("rp_fix")),
              text(std::to_string(REJECTED + 1)));
    EXPECT_EQ(count("rp_fix",
                    "seq BETWEEN 1 AND " + std::to_string(REJECTED) +
                        " AND temp = seq + 0.5 AND count = seq * 3 AND flow = 3 AND note = " +
                        quoteLiteral("O'Brien \\ ") +
                        " || seq AND user_ts = TIMESTAMPTZ '2024-05-01 00:00:00+00' + seq * "
                        "INTERVAL '1 second' + seq * INTERVAL '1 microsecond' AND ts = user_ts + "
                        "INTERVAL '1 day' AND tolvane = 'replay-a' AND asset_code = 'rp_fix'"),
              text(std::to_string(REJECTED)));
    EXPECT_EQ(count("rp_new"), text(std::to_string(sends)));

    // The reject table holds none of them; the still refused one once, under its id; the other
    // instance's rows as they were.
    EXPECT_TRUE(rejectsOf("replay-a", "rp_fix").empty());
    const Rows stillAfter = rejectsOf("replay-a", "rp_still");
    ASSERT_EQ(stillAfter.size(), 1u);
    EXPECT_EQ(stillAfter[0][0], stillRefused[0][0]);
    EXPECT_EQ(stillAfter[0][2], null());
    EXPECT_EQ(stillAfter[0][3], text("Numeric value 'high' is not recognized"));
    EXPECT_EQ(stillAfter[0][4], stillRefused[0][4]);
    EXPECT_EQ(rejectsOf("replay-b", "rp_fix"), othersBefore);
    EXPECT_EQ(count("rp_still"), text("1"));

    // Done: the reject table is not looked at again, so the refused reading is not tried again.
    const Rows stillBefore = rejectsOf("replay-a", "rp_still");
    capture.clear();
    sendNew(replaying, "rp_new", 200);
    for (const std::string& statement : statementsSent(capture)) {
        EXPECT_EQ(statement.find("_varnholt_rejects"), std::string::npos) << statement;
    }
    EXPECT_EQ(rejectsOf("replay-a", "rp_still"), stillBefore);
    stopInstance(replaying);

    // A new start tries it once more; it stays, once.
    capture.clear();
    PLUGIN_HANDLE restarted = startReplaying("replay-a");
    sendNew(restarted, "rp_new", 300);
    EXPECT_EQ(capture.count(Logger::Level::INFO,
                            "Replayed 1 rejected readings: 0 delivered to their tables, 1 refused "
                            "again"),
              1u);
    EXPECT_EQ(rejectsOf("replay-a", "rp_still").size(), 1u);
    EXPECT_EQ(count("rp_still"), text("1"));
}

TEST_F(ReplayTest, PreviousVersionsRejectTableIsUpgradedInPlaceAndReplayed) {
    // The shared reject table steps aside for one in the previous version's shape.
    const std::string rejects = tableRef("_varnholt_rejects");
    emulator.execute("ALTER TABLE " + rejects + " RENAME TO _varnholt_rejects_aside");
    struct Restore {
        const Emulator& emulator;
        std::string rejects;
        ~Restore() {
            try {
                emulator.execute("DROP TABLE IF EXISTS " + rejects + "; ALTER TABLE " +
                                 rejects.substr(0, rejects.find('.')) +
                                 ".\"_varnholt_rejects_aside\" RENAME TO _varnholt_rejects");
            } catch (const std::exception& error) {
                ADD_FAILURE() << "the reject table was not put back: " << error.what();
            }
        }
    } restore{emulator, rejects};
    emulator.execute(
        "CREATE TABLE " + rejects +
        " (rejected_at TIMESTAMP_TZ NOT NULL, instance VARCHAR, target_table VARCHAR, "
        "asset_code VARCHAR, user_ts TIMESTAMP_TZ, reading VARCHAR, sqlstate VARCHAR(5), "
        "native_code BIGINT, message VARCHAR)");
    auto row = [](const std::string& instance, int seq) {
        const std::string stamp =
            "2024-05-02 10:00:0" + std::to_string(seq) + ".00000" + std::to_string(seq);
        return "(CURRENT_TIMESTAMP - INTERVAL '" + std::to_string(10 - seq) + " minutes', '" +
               instance + "', 'rp_old', 'rp_old', '" + stamp + "+00', '{\"asset\":\"rp_old\"," +
               "\"user_ts\":\"" + stamp + "\",\"ts\":\"2024-05-03 10:00:00.000000\"," +
               "\"readings\":{\"seq\":" + std::to_string(seq) + ",\"temp\":" + std::to_string(seq) +
               ".5}}', NULL, 0, 'type conflict')";
    };
    emulator.execute("INSERT INTO " + rejects + " VALUES " + row("replay-old", 1) + ", " +
                     row("replay-old", 2) + ", " + row("replay-old", 3) + ", " +
                     row("someone-else", 4) + ", " + row("someone-else", 5));
    const std::string others = "SELECT " + utcInstant("rejected_at") +
                               ", reading, reject_id FROM " + rejects +
                               " WHERE instance = 'someone-else' ORDER BY reading";

    LogCapture capture;
    PLUGIN_HANDLE plugin = startReplaying("replay-old");
    sendNew(plugin, "rp_new_old", 1);
    sendNew(plugin, "rp_new_old", 2);

    EXPECT_TRUE(capture.anyLineContains(DONE + "3 delivered to their tables")) << DONE;
    EXPECT_EQ(query("SELECT seq::text, temp::text, " + utcInstant("user_ts") + ", " +
                    utcInstant("ts") + " FROM " + tableRef("rp_old") + " ORDER BY seq"),
              (Rows{{text("1"), text("1.5"), text("2024-05-02 10:00:01.000001"),
                     text("2024-05-03 10:00:00.000000")},
                    {text("2"), text("2.5"), text("2024-05-02 10:00:02.000002"),
                     text("2024-05-03 10:00:00.000000")},
                    {text("3"), text("3.5"), text("2024-05-02 10:00:03.000003"),
                     text("2024-05-03 10:00:00.000000")}}));
    // The other instance's rows: all there, and not even given an id.
    const Rows kept = query(others);
    ASSERT_EQ(kept.size(), 2u);
    for (const auto& other : kept) {
        EXPECT_EQ(other[2], null());
    }
    EXPECT_EQ(scalar("SELECT count(*)::text FROM " + rejects), text("2"));
    const Columns columns = reportedColumns("_varnholt_rejects");
    ASSERT_GE(columns.size(), 2u);
    EXPECT_EQ(columns[columns.size() - 2].first, "reject_id");
    EXPECT_EQ(columns.back().first, "replay_pass");
}

}  // namespace
}  // namespace test
}  // namespace varnholt
