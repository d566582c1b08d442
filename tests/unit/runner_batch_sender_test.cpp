#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "tools/batch_sender.h"
#include "tools/reading_list.h"
#include "tools/streamed_readings.h"

using varnholt::runner::BatchSender;
using varnholt::runner::ReadingList;
using varnholt::runner::SendSettings;
using varnholt::runner::SendStatistics;
using varnholt::runner::StreamedReadings;

namespace {

std::unique_ptr<ReadingList> readings(size_t count) {
    std::vector<std::unique_ptr<Reading>> list;
    for (size_t i = 0; i < count; ++i) {
        list.push_back(std::make_unique<Reading>(
            "asset", new Datapoint("seq", DatapointValue(static_cast<int64_t>(i)))));
    }
    return std::make_unique<ReadingList>(std::move(list));
}

SendSettings settings(size_t batchSize, unsigned maxRetries, double retryInterval = 0.5) {
    SendSettings result;
    result.batchSize = batchSize;
    result.maxRetries = maxRetries;
    result.retryInterval = retryInterval;
    return result;
}

// Stands in for plugin_send: answers from a script (the batch size when the script runs out)
// and records what it was given.
struct ScriptedPlugin {
    std::vector<int64_t> answers;             // -1: the whole batch
    std::vector<std::vector<int64_t>> calls;  // seq values of each call
    std::vector<std::vector<Reading*>> pointers;

    uint32_t operator()(const std::vector<Reading*>& batch) {
        std::vector<int64_t> seqs;
        for (const Reading* reading : batch) {
            seqs.push_back(reading->getDatapoint("seq")->getData().toInt());
        }
        size_t call = calls.size();
        calls.push_back(seqs);
        pointers.push_back(batch);
        int64_t answer = call < answers.size() ? answers[call] : -1;
        return answer < 0 ? static_cast<uint32_t>(batch.size()) : static_cast<uint32_t>(answer);
    }
};

BatchSender sender(ScriptedPlugin& plugin, const SendSettings& sendSettings,
                   std::vector<double>& waits) {
    BatchSender result([&plugin](const std::vector<Reading*>& batch) { return plugin(batch); },
                       sendSettings);
    result.setWait([&waits](double seconds) {
        waits.push_back(seconds);
        return true;
    });
    return result;
}

TEST(RunnerBatchSender, DeliversEverythingInBatchesOfTheConfiguredSize) {
    ScriptedPlugin plugin;
    std::vector<double> waits;
    auto source = readings(10);
    SendStatistics statistics = sender(plugin, settings(4, 10), waits).run(*source);
    EXPECT_EQ(plugin.calls,
              (std::vector<std::vector<int64_t>>{{0, 1, 2, 3}, {4, 5, 6, 7}, {8, 9}}));
    EXPECT_TRUE(waits.empty());
    EXPECT_EQ(statistics.total, 10u);
    EXPECT_EQ(statistics.delivered, 10u);
    EXPECT_EQ(statistics.undelivered, 0u);
    EXPECT_EQ(statistics.notSent, 0u);
    EXPECT_EQ(statistics.batches, 3u);
    EXPECT_EQ(statistics.failedBatches, 0u);
    EXPECT_EQ(statistics.failedAttempts, 0u);
    EXPECT_EQ(statistics.retries, 0u);
    EXPECT_FALSE(statistics.interrupted);
    EXPECT_TRUE(statistics.error.empty());
}

TEST(RunnerBatchSender, EmptySourceSendsNothing) {
    ScriptedPlugin plugin;
    std::vector<double> waits;
    auto source = readings(0);
    SendStatistics statistics = sender(plugin, settings(4, 10), waits).run(*source);
    EXPECT_TRUE(plugin.calls.empty());
    EXPECT_EQ(statistics.batches, 0u);
    EXPECT_EQ(statistics.delivered, 0u);
}

TEST(RunnerBatchSender, ResendsTheSameBatchAfterTheIntervalUntilItIsAccepted) {
    ScriptedPlugin plugin;
    plugin.answers = {-1, 0, 0, -1, -1};
    std::vector<double> waits;
    auto source = readings(6);
    SendStatistics statistics = sender(plugin, settings(2, 10, 0.25), waits).run(*source);
    EXPECT_EQ(plugin.calls,
              (std::vector<std::vector<int64_t>>{{0, 1}, {2, 3}, {2, 3}, {2, 3}, {4, 5}}));
    // The host keeps the readings themselves, not copies.
    EXPECT_EQ(plugin.pointers[1], plugin.pointers[3]);
    EXPECT_EQ(waits, (std::vector<double>{0.25, 0.25}));
    EXPECT_EQ(statistics.delivered, 6u);
    EXPECT_EQ(statistics.undelivered, 0u);
    EXPECT_EQ(statistics.batches, 3u);
    EXPECT_EQ(statistics.failedBatches, 0u);
    EXPECT_EQ(statistics.failedAttempts, 2u);
    EXPECT_EQ(statistics.retries, 2u);
}

TEST(RunnerBatchSender, GivesUpOnABatchAfterTheRetryLimitAndGoesOn) {
    ScriptedPlugin plugin;
    plugin.answers = {0, 0, 0, -1};
    std::vector<double> waits;
    auto source = readings(5);
    SendStatistics statistics = sender(plugin, settings(3, 2), waits).run(*source);
    EXPECT_EQ(plugin.calls,
              (std::vector<std::vector<int64_t>>{{0, 1, 2}, {0, 1, 2}, {0, 1, 2}, {3, 4}}));
    EXPECT_EQ(waits.size(), 2u);
    EXPECT_EQ(statistics.delivered, 2u);
    EXPECT_EQ(statistics.undelivered, 3u);
    EXPECT_EQ(statistics.notSent, 0u);
    EXPECT_EQ(statistics.batches, 2u);
    EXPECT_EQ(statistics.failedBatches, 1u);
    EXPECT_EQ(statistics.failedAttempts, 3u);
    EXPECT_EQ(statistics.retries, 2u);
    EXPECT_FALSE(statistics.interrupted);
}

TEST(RunnerBatchSender, NoRetriesMeansOneAttemptPerBatch) {
    ScriptedPlugin plugin;
    plugin.answers = {0, 0};
    std::vector<double> waits;
    auto source = readings(4);
    SendStatistics statistics = sender(plugin, settings(2, 0), waits).run(*source);
    EXPECT_EQ(plugin.calls.size(), 2u);
    EXPECT_TRUE(waits.empty());
    EXPECT_EQ(statistics.undelivered, 4u);
    EXPECT_EQ(statistics.failedBatches, 2u);
    EXPECT_EQ(statistics.retries, 0u);
}

struct ResultCase {
    const char* name;
    int64_t answer;
    bool delivered;
};

class RunnerBatchSenderResult : public ::testing::TestWithParam<ResultCase> {};

TEST_P(RunnerBatchSenderResult, OnlyTheWholeBatchCountsAsDelivered) {
    ScriptedPlugin plugin;
    plugin.answers = {GetParam().answer};
    std::vector<double> waits;
    auto source = readings(3);
    SendStatistics statistics = sender(plugin, settings(3, 0), waits).run(*source);
    EXPECT_EQ(statistics.delivered, GetParam().delivered ? 3u : 0u);
    EXPECT_EQ(statistics.undelivered, GetParam().delivered ? 0u : 3u);
}

const ResultCase RESULTS[] = {
    {"Nothing", 0, false}, {"Part", 1, false},         {"AllButOne", 2, false},
    {"Whole", 3, true},    {"MoreThanGiven", 4, true},
};

std::string resultName(const ::testing::TestParamInfo<ResultCase>& info) {
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Table, RunnerBatchSenderResult, ::testing::ValuesIn(RESULTS), resultName);

TEST(RunnerBatchSender, StopRequestEndsTheRunAfterTheCurrentBatch) {
    ScriptedPlugin plugin;
    std::vector<double> waits;
    auto source = readings(10);
    BatchSender batchSender = sender(plugin, settings(3, 10), waits);
    batchSender.setStopRequest([&plugin] { return plugin.calls.size() >= 2; });
    SendStatistics statistics = batchSender.run(*source);
    EXPECT_EQ(plugin.calls.size(), 2u);
    EXPECT_TRUE(statistics.interrupted);
    EXPECT_EQ(statistics.delivered, 6u);
    EXPECT_EQ(statistics.undelivered, 0u);
    EXPECT_EQ(statistics.notSent, 4u);
}

// A stream's total is unknown when the run starts: it is sent until it ends.
TEST(RunnerBatchSender, SendsAStreamUntilItEnds) {
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    std::string text;
    for (int seq = 0; seq < 5; ++seq) {
        text += "{\"asset\": \"a\", \"readings\": {\"seq\": " + std::to_string(seq) + "}}\n";
    }
    ASSERT_EQ(write(pipeEnds[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(pipeEnds[1]);
    StreamedReadings source(pipeEnds[0], "standard input");
    ScriptedPlugin plugin;
    std::vector<double> waits;
    SendStatistics statistics = sender(plugin, settings(2, 10), waits).run(source);
    close(pipeEnds[0]);
    EXPECT_EQ(plugin.calls, (std::vector<std::vector<int64_t>>{{0, 1}, {2, 3}, {4}}));
    EXPECT_EQ(statistics.total, 5u);
    EXPECT_EQ(statistics.delivered, 5u);
    EXPECT_EQ(statistics.notSent, 0u);
    EXPECT_FALSE(statistics.interrupted);
}

TEST(RunnerBatchSender, StopRequestOnTheLastBatchIsNoInterruption) {
    ScriptedPlugin plugin;
    std::vector<double> waits;
    auto source = readings(4);
    BatchSender batchSender = sender(plugin, settings(2, 10), waits);
    batchSender.setStopRequest([&plugin] { return plugin.calls.size() >= 2; });
    SendStatistics statistics = batchSender.run(*source);
    EXPECT_FALSE(statistics.interrupted);
    EXPECT_EQ(statistics.delivered, 4u);
}

TEST(RunnerBatchSender, StopDuringAPauseAbandonsTheBatch) {
    ScriptedPlugin plugin;
    plugin.answers = {-1, 0};
    auto source = readings(6);
    BatchSender batchSender([&plugin](const std::vector<Reading*>& batch) { return plugin(batch); },
                            settings(2, 10));
    batchSender.setWait([](double) { return false; });
    SendStatistics statistics = batchSender.run(*source);
    EXPECT_EQ(plugin.calls.size(), 2u);
    EXPECT_TRUE(statistics.interrupted);
    EXPECT_EQ(statistics.delivered, 2u);
    EXPECT_EQ(statistics.undelivered, 2u);
    EXPECT_EQ(statistics.notSent, 2u);
    EXPECT_EQ(statistics.failedBatches, 1u);
    EXPECT_EQ(statistics.retries, 0u);
}

TEST(RunnerBatchSender, RealPauseEndsAtOnceOnAStopRequest) {
    // Without a wait override the sender sleeps itself; a pending stop must cut a long pause.
    ScriptedPlugin plugin;
    plugin.answers = {0};
    auto source = readings(4);
    BatchSender batchSender([&plugin](const std::vector<Reading*>& batch) { return plugin(batch); },
                            settings(2, 10, 3600.0));
    batchSender.setStopRequest([&plugin] { return !plugin.calls.empty(); });
    SendStatistics statistics = batchSender.run(*source);
    EXPECT_TRUE(statistics.interrupted);
    EXPECT_EQ(statistics.undelivered, 2u);
    EXPECT_EQ(statistics.notSent, 2u);
}

TEST(RunnerBatchSender, RealPauseOfZeroSecondsResendsAtOnce) {
    ScriptedPlugin plugin;
    plugin.answers = {0, 0, -1};
    auto source = readings(2);
    BatchSender batchSender([&plugin](const std::vector<Reading*>& batch) { return plugin(batch); },
                            settings(2, 10, 0.0));
    SendStatistics statistics = batchSender.run(*source);
    EXPECT_EQ(plugin.calls.size(), 3u);
    EXPECT_EQ(statistics.delivered, 2u);
    EXPECT_EQ(statistics.retries, 2u);
}

TEST(RunnerBatchSender, AThrowingPluginStopsTheRun) {
    size_t calls = 0;
    auto source = readings(6);
    BatchSender batchSender(
        [&calls](const std::vector<Reading*>&) -> uint32_t {
            if (++calls == 2) {
                throw std::runtime_error("boom");
            }
            return 2;
        },
        settings(2, 10));
    batchSender.setWait([](double) { return true; });
    SendStatistics statistics = batchSender.run(*source);
    EXPECT_EQ(calls, 2u);
    EXPECT_EQ(statistics.error, "plugin_send threw an exception: boom");
    EXPECT_EQ(statistics.delivered, 2u);
    EXPECT_EQ(statistics.undelivered, 2u);
    EXPECT_EQ(statistics.notSent, 2u);
}

TEST(RunnerBatchSender, AThrowingPluginWithoutAStandardExceptionStopsTheRun) {
    auto source = readings(2);
    BatchSender batchSender([](const std::vector<Reading*>&) -> uint32_t { throw 42; },
                            settings(2, 10));
    SendStatistics statistics = batchSender.run(*source);
    EXPECT_EQ(statistics.error, "plugin_send threw an exception that is not a std::exception");
    EXPECT_EQ(statistics.undelivered, 2u);
}

TEST(RunnerBatchSender, ReportsProgressAfterEveryBatchAndBeforeEveryPause) {
    ScriptedPlugin plugin;
    plugin.answers = {-1, 0, -1};
    std::vector<double> waits;
    auto source = readings(5);
    BatchSender batchSender = sender(plugin, settings(2, 10, 0.75), waits);
    std::vector<std::pair<size_t, double>> seen;  // delivered, retryIn
    batchSender.setProgress(
        [&seen](const SendStatistics& now) { seen.emplace_back(now.delivered, now.retryIn); });
    batchSender.run(*source);
    EXPECT_EQ(seen,
              (std::vector<std::pair<size_t, double>>{{2, 0.0}, {2, 0.75}, {4, 0.0}, {5, 0.0}}));
}

TEST(RunnerReadingList, HandsOutItsReadingsInOrderOnce) {
    auto source = readings(5);
    EXPECT_EQ(source->total(), 5u);
    std::vector<std::unique_ptr<Reading>> batch;
    source->next(3, batch);
    ASSERT_EQ(batch.size(), 3u);
    EXPECT_EQ(batch[2]->getDatapoint("seq")->getData().toInt(), 2);
    source->next(3, batch);
    ASSERT_EQ(batch.size(), 2u);
    EXPECT_EQ(batch[0]->getDatapoint("seq")->getData().toInt(), 3);
    source->next(3, batch);
    EXPECT_TRUE(batch.empty());
}

}  // namespace
