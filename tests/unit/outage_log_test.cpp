// An outage costs two lines of its own, however many batches it refuses.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "connector/outage_log.h"
#include "host/log_capture.h"

namespace {

using Level = Logger::Level;
using namespace std::chrono_literals;

TEST(OutageLog, OneWarningWhenLostAndOneLineWhenBackWithLengthAndRefusedBatches) {
    const OutageLog::TimePoint start{std::chrono::hours(1)};
    // 2026-12-11 13:04:11 UTC
    const std::chrono::system_clock::time_point wallClock{std::chrono::seconds(1796994251)};
    OutageLog outage;
    LogCapture capture;

    outage.refused();  // not during an outage: not counted
    outage.back(start);
    EXPECT_TRUE(capture.lines().empty());

    outage.lost(start, wallClock);
    outage.refused();
    outage.lost(start + 5s, wallClock + 5s);
    outage.refused();
    outage.refused();
    EXPECT_TRUE(outage.ongoing());
    outage.back(start + 12500ms);
    outage.back(start + 20s);
    outage.refused();

    EXPECT_EQ(capture.lines(), (std::vector<LogCapture::Line>{
                                   {Level::WARN,
                                    "Database connection lost at 2026-12-11 13:04:11 UTC: batches "
                                    "are refused until it is back"},
                                   {Level::INFO,
                                    "Database connection back after 12.5 s: 3 batches refused "
                                    "meanwhile"}}));
    EXPECT_FALSE(outage.ongoing());

    // The next outage counts from zero.
    capture.clear();
    outage.lost(start + 60s, wallClock + 60s);
    outage.back(start + 61s);
    EXPECT_TRUE(capture.contains(
        Level::INFO, "Database connection back after 1.0 s: 0 batches refused meanwhile"));
}

}  // namespace
