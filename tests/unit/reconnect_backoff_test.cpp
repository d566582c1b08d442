#include "connector/reconnect_backoff.h"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

namespace {

using namespace std::chrono_literals;
using TimePoint = ReconnectBackoff::TimePoint;

// The wait after the first, second, ... failure in a row.
const std::vector<std::chrono::seconds> WAITS = {5s, 10s, 20s, 40s, 80s, 160s, 300s, 300s, 300s};

// Fails one attempt after another, each started as soon as the back-off allows, from `start`;
// checks each wait to the nanosecond and returns the start of the attempt after the last one.
TimePoint failThroughTheTable(ReconnectBackoff& backoff, TimePoint start) {
    TimePoint attempt = start;
    for (size_t i = 0; i < WAITS.size(); ++i) {
        backoff.failed();
        EXPECT_EQ(backoff.wait(), WAITS[i]) << "after failure " << i + 1;
        EXPECT_FALSE(backoff.allows(attempt, attempt + WAITS[i] - 1ns)) << "failure " << i + 1;
        EXPECT_TRUE(backoff.allows(attempt, attempt + WAITS[i])) << "failure " << i + 1;
        attempt += WAITS[i];
    }
    return attempt;
}

TEST(ReconnectBackoff, DoublesFromFiveSecondsToFiveMinutesWhileAttemptsFail) {
    ReconnectBackoff backoff;
    failThroughTheTable(backoff, std::chrono::steady_clock::now());
}

TEST(ReconnectBackoff, StartsOverAfterASuccess) {
    ReconnectBackoff backoff;
    const TimePoint resumed = failThroughTheTable(backoff, std::chrono::steady_clock::now());
    backoff.reset();
    EXPECT_TRUE(backoff.allows(resumed, resumed + 5s));
    EXPECT_FALSE(backoff.allows(resumed, resumed + 5s - 1ns));
    failThroughTheTable(backoff, resumed);
}

}  // namespace
