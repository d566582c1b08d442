// The database goes away between batches and comes back: the host's resends deliver everything.
#include <algorithm>
#include <chrono>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "host/log_capture.h"
#include "tests/e2e/plugin_e2e_test.h"

namespace varnholt {
namespace test {
namespace {

// Brings the server back however the test ends, so that later tests find it running.
class ServerRestorer {
public:
    explicit ServerRestorer(Emulator& emulator) : emulator(emulator) {}
    ~ServerRestorer() {
        if (!emulator.isServerRunning()) {
            try {
                emulator.startServer();
            } catch (const std::exception& error) {
                std::cerr << "restarting the emulator failed: " << error.what() << std::endl;
            }
        }
    }
    ServerRestorer(const ServerRestorer&) = delete;
    ServerRestorer& operator=(const ServerRestorer&) = delete;

private:
    Emulator& emulator;
};

class OutageTest : public PluginE2ETest {
protected:
    static Batch sequence(int64_t from, int64_t count) {
        Batch batch;
        for (int64_t seq = from; seq < from + count; ++seq) {
            batch.add(ReadingBuilder("e2e_outage").integer("seq", seq).build());
        }
        return batch;
    }
};

TEST_F(OutageTest, BatchesHeldDuringOutageArriveAfterRestart) {
    PLUGIN_HANDLE plugin = startInstance();
    const Batch before = sequence(0, 10);
    ASSERT_EQ(send(plugin, before), 10u);

    ServerRestorer restorer(emulator);
    LogCapture capture;
    emulator.stopServer();
    // The first batch finds the open connection dead, the second cannot connect.
    const Batch lost = sequence(10, 10);
    const Batch refused = sequence(20, 10);
    EXPECT_EQ(send(plugin, lost), 0u);
    EXPECT_EQ(send(plugin, refused), 0u);
    EXPECT_TRUE(capture.anyLineContains("Failed to execute database query for table 'e2e_outage'"));
    EXPECT_TRUE(capture.contains(Logger::Level::ERROR,
                                 "Database connection not available - cannot send readings"));
    emulator.startServer();

    // The host keeps failed batches and offers them again, oldest first; each refusal counts.
    size_t refusals = 2;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    uint32_t sent = 0;
    while ((sent = send(plugin, lost)) == 0 && std::chrono::steady_clock::now() < deadline) {
        ++refusals;
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    EXPECT_EQ(sent, 10u);
    EXPECT_EQ(send(plugin, refused), 10u);

    // However many batches failed: one warning when the database was lost, one line when it is
    // back with the outage's length and the batches it cost.
    const std::vector<std::string> warnings = capture.texts(Logger::Level::WARN);
    const std::string lostLine = "Database connection lost at ";
    ASSERT_EQ(std::count_if(warnings.begin(), warnings.end(),
                            [&](const std::string& line) { return line.rfind(lostLine, 0) == 0; }),
              1)
        << ::testing::PrintToString(warnings);
    const std::vector<std::string> infos = capture.texts(Logger::Level::INFO);
    std::vector<std::string> back;
    for (const std::string& line : infos) {
        if (line.rfind("Database connection back after ", 0) == 0) {
            back.push_back(line);
        }
    }
    ASSERT_EQ(back.size(), 1u) << ::testing::PrintToString(infos);
    const std::string tail = " s: " + std::to_string(refusals) + " batches refused meanwhile";
    EXPECT_GE(back[0].size(), tail.size());
    EXPECT_EQ(back[0].substr(back[0].size() - std::min(back[0].size(), tail.size())), tail)
        << back[0];
    const Batch after = sequence(30, 10);
    EXPECT_EQ(send(plugin, after), 10u);

    EXPECT_EQ(query("SELECT count(*)::text, count(DISTINCT seq)::text, min(seq)::text,"
                    " max(seq)::text FROM " +
                    tableRef("e2e_outage")),
              (Rows{{text("40"), text("40"), text("0"), text("39")}}));
}

}  // namespace
}  // namespace test
}  // namespace varnholt
