#include <cstddef>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/log_capture.h"
#include "host/logger.h"
#include "tools/reject_counter.h"

using varnholt::runner::RejectCounter;
using Level = Logger::Level;

namespace {

void logAt(Level level, const std::string& text) {
    Logger* logger = Logger::getLogger();
    switch (level) {
        case Level::DEBUG:
            logger->debug("%s", text.c_str());
            break;
        case Level::INFO:
            logger->info("%s", text.c_str());
            break;
        case Level::WARN:
            logger->warn("%s", text.c_str());
            break;
        case Level::ERROR:
            logger->error("%s", text.c_str());
            break;
    }
}

// Lines on stderr are not needed for counting: the runner may be asked to show errors only.
class RunnerRejectCounterTest : public ::testing::Test {
protected:
    void SetUp() override {
        shownBefore = Logger::getLogger()->getMinLevel();
        Logger::getLogger()->setMinLevel(Level::ERROR);
    }
    void TearDown() override { Logger::getLogger()->setMinLevel(shownBefore); }

    Level shownBefore = Level::INFO;
};

TEST_F(RunnerRejectCounterTest, CountsThePluginsRejectWarningsOnly) {
    struct Line {
        Level level;
        std::string text;
        size_t counted;
    };
    const std::vector<Line> lines = {
        {Level::WARN, "1 reading rejected from table 'pump', the first from asset 'pump': x", 1},
        {Level::WARN, "1014 readings rejected from table 'room', the first from asset 'r': x",
         1014},
        {Level::WARN, "1 reading rejected from table '', the first from asset '' at : ", 1},
        {Level::INFO, "3 readings rejected from table 'pump', the first from asset 'p': x", 0},
        {Level::ERROR, "3 readings rejected from table 'pump', the first from asset 'p': x", 0},
        {Level::DEBUG, "Reading rejected from table 'pump' (asset 'pump'): x", 0},
        {Level::WARN, "Failed to execute database query for table 'pump' (3 rows)", 0},
        {Level::WARN, "note: 3 readings rejected from table 'pump'", 0},
        {Level::WARN, "3 readings rejected", 0},
        {Level::WARN, "3 reading rejected from table 'pump'", 0},
    };
    RejectCounter counter;
    for (const Line& line : lines) {
        const size_t before = counter.count();
        logAt(line.level, line.text);
        EXPECT_EQ(counter.count() - before, line.counted) << line.text;
    }
}

TEST_F(RunnerRejectCounterTest, CountsReplayedReadingsThatLanded) {
    struct Line {
        Level level;
        std::string text;
        size_t counted;
    };
    const std::vector<Line> lines = {
        {Level::INFO,
         "Replayed 12 rejected readings: 10 delivered to their tables, 2 refused again", 10},
        {Level::INFO,
         "Replayed 1000 rejected readings: 1000 delivered to their tables, 0 refused "
         "again",
         1000},
        {Level::INFO, "Replayed 3 rejected readings: 0 delivered to their tables, 3 refused again",
         0},
        {Level::WARN, "Replayed 5 rejected readings: 5 delivered to their tables, 0 refused again",
         0},
        {Level::INFO, "Replay of rejected readings done: 7 delivered to their tables", 0},
        {Level::INFO, "Replayed 5 rejected readings, 5 delivered", 0},
    };
    RejectCounter counter;
    for (const Line& line : lines) {
        const size_t before = counter.replayed();
        logAt(line.level, line.text);
        EXPECT_EQ(counter.replayed() - before, line.counted) << line.text;
    }
    EXPECT_EQ(counter.count(), 0u);
}

// The warnings count every reading a batch kept in the reject table; those a replay took from
// it and kept there again were not sent by the runner.
TEST_F(RunnerRejectCounterTest, ReplayedReadingsRefusedAgainAreNotCountedAsRejectsOfTheSent) {
    RejectCounter counter;
    logAt(Level::WARN, "4 readings rejected from table 'pump', the first from asset 'pump': x");
    logAt(Level::WARN, "1 reading rejected from table 'room', the first from asset 'room': x");
    logAt(Level::INFO,
          "Replayed 12 rejected readings: 10 delivered to their tables, 2 refused again");
    EXPECT_EQ(counter.count(), 3u);
    EXPECT_EQ(counter.replayed(), 10u);
    logAt(Level::INFO,
          "Replayed 3 rejected readings: 0 delivered to their tables, 3 refused again");
    EXPECT_EQ(counter.count(), 0u);
}

TEST_F(RunnerRejectCounterTest, EarlierSinkKeepsGettingEveryLine) {
    const std::string reject = "1 reading rejected from table 'a', the first from asset 'a': x";
    LogCapture capture;
    {
        RejectCounter counter;
        logAt(Level::DEBUG, "debug");
        logAt(Level::WARN, reject);
        EXPECT_EQ(counter.count(), 1u);
    }
    logAt(Level::INFO, reject);
    EXPECT_EQ(capture.lines(),
              (std::vector<LogCapture::Line>{
                  {Level::DEBUG, "debug"}, {Level::WARN, reject}, {Level::INFO, reject}}));
}

}  // namespace
