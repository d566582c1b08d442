// Readings from a pipe are handed out as they arrive, not once the input ends.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/streamed_readings.h"

namespace {

using varnholt::runner::StreamedReadings;
using Assets = std::vector<std::string>;

std::string line(const std::string& asset) {
    return "{\"asset\": \"" + asset + "\", \"readings\": {\"v\": 1}}\n";
}

struct StreamCase {
    const char* name;
    size_t batchSize;
    // Written one after the other, the pipe still open; one batch is taken after each.
    std::vector<std::string> chunks;
    std::vector<Assets> batches;
    // Written last, just before the input ends.
    std::string ending;
    // The batches taken once the input has ended, the last one empty.
    std::vector<Assets> afterEnd;
    // Else: taking a batch after the input ended fails with this.
    std::string error;
};

class StreamedReadingsTest : public ::testing::TestWithParam<StreamCase> {};

Assets take(StreamedReadings& source, size_t count) {
    std::vector<std::unique_ptr<Reading>> batch;
    source.next(count, batch);
    Assets assets;
    for (const auto& reading : batch) {
        assets.push_back(reading->getAssetName());
    }
    return assets;
}

TEST_P(StreamedReadingsTest, HandsOutWhatHasArrived) {
    const StreamCase& param = GetParam();
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    StreamedReadings source(pipeEnds[0], "standard input");
    size_t taken = 0;
    for (size_t i = 0; i < param.chunks.size(); ++i) {
        ASSERT_EQ(write(pipeEnds[1], param.chunks[i].data(), param.chunks[i].size()),
                  static_cast<ssize_t>(param.chunks[i].size()));
        const Assets batch = take(source, param.batchSize);
        EXPECT_EQ(batch, param.batches.at(i)) << "after chunk " << i;
        taken += batch.size();
    }
    ASSERT_EQ(write(pipeEnds[1], param.ending.data(), param.ending.size()),
              static_cast<ssize_t>(param.ending.size()));
    close(pipeEnds[1]);
    if (!param.error.empty()) {
        try {
            take(source, param.batchSize);
            FAIL() << "the stream was taken as readings";
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(error.what(), param.error);
        }
    }
    for (const Assets& expected : param.afterEnd) {
        const Assets batch = take(source, param.batchSize);
        EXPECT_EQ(batch, expected);
        taken += batch.size();
    }
    if (param.error.empty()) {
        // Once the input has ended, the total is every reading it held.
        EXPECT_EQ(source.total(), taken);
    }
    close(pipeEnds[0]);
}

INSTANTIATE_TEST_SUITE_P(
    Streams, StreamedReadingsTest,
    ::testing::Values(
        StreamCase{"OneLineAtATime", 1000, {line("a"), line("b")}, {{"a"}, {"b"}}, "", {{}}, ""},
        StreamCase{"WhatIsReadyUpToTheBatchSize",
                   2,
                   {line("a") + line("b") + line("c")},
                   {{"a", "b"}},
                   line("d"),
                   {{"c", "d"}, {}},
                   ""},
        StreamCase{"ValueOverSeveralLinesAndArrays",
                   1000,
                   {"{\"asset\": \"a\",\n \"readings\": {\"v\": [1,\n 2]}}\n[" + line("b") + "," +
                    line("c") + "]\n"},
                   {{"a", "b", "c"}},
                   "",
                   {{}},
                   ""},
        StreamCase{"BracesInsideTexts",
                   1000,
                   {"{\"asset\": \"a}\\\"]\", \"readings\": {\"v\": \"{[\"}}\n"},
                   {{"a}\"]"}},
                   "",
                   {{}},
                   ""},
        StreamCase{"NoLineEndNeeded",
                   1000,
                   {"\n\n{\"asset\": \"a\", \"readings\": {\"v\": 1}}"},
                   {{"a"}},
                   "",
                   {{}},
                   ""},
        StreamCase{"NotJSON",
                   1000,
                   {},
                   {},
                   line("a") + "oops\n",
                   {},
                   "readings in standard input, line 2: expected a JSON object or array"},
        StreamCase{"EndsInsideAValue",
                   1000,
                   {line("a")},
                   {{"a"}},
                   "\n{\"asset\": \"b\",\n",
                   {},
                   "readings in standard input, line 3: the input ends inside a value"}),
    [](const ::testing::TestParamInfo<StreamCase>& info) { return info.param.name; });

}  // namespace
