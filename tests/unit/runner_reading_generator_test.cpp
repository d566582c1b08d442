#include <sys/time.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools/reading_generator.h"

using varnholt::runner::ReadingGenerator;

namespace {

struct timeval at(time_t seconds, suseconds_t micros) {
    struct timeval tv;
    tv.tv_sec = seconds;
    tv.tv_usec = micros;
    return tv;
}

// Everything a reading carries, as one text.
std::string describe(const Reading& reading) {
    std::string text = reading.getAssetName() + "|" + reading.getAssetDateUserTime(0, true) + "|" +
                       reading.getAssetDateTime(0, true);
    for (const Datapoint* datapoint : reading.getReadingData()) {
        text += "|" + datapoint->getName() + ":" + std::to_string(datapoint->getData().getType()) +
                ":" + datapoint->getData().toString();
    }
    return text;
}

std::vector<std::string> drain(ReadingGenerator& generator, size_t batchSize,
                               std::vector<size_t>* batchSizes = nullptr) {
    std::vector<std::string> all;
    std::vector<std::unique_ptr<Reading>> batch;
    while (true) {
        generator.next(batchSize, batch);
        if (batch.empty()) {
            return all;
        }
        if (batchSizes) {
            batchSizes->push_back(batch.size());
        }
        for (const auto& reading : batch) {
            all.push_back(describe(*reading));
        }
    }
}

TEST(RunnerReadingGenerator, EqualArgumentsGiveEqualReadingsWhateverTheBatching) {
    ReadingGenerator first(50, 3, 7, at(1800000000, 250000));
    ReadingGenerator second(50, 3, 7, at(1800000000, 250000));
    std::vector<std::string> a = drain(first, 7);
    std::vector<std::string> b = drain(second, 50);
    ASSERT_EQ(a.size(), 50u);
    EXPECT_EQ(a, b);
}

TEST(RunnerReadingGenerator, BatchesCoverTheCountExactly) {
    ReadingGenerator generator(10, 1, 3, at(0, 0));
    EXPECT_EQ(generator.total(), 10u);
    std::vector<size_t> sizes;
    drain(generator, 4, &sizes);
    EXPECT_EQ(sizes, (std::vector<size_t>{4, 4, 2}));
}

TEST(RunnerReadingGenerator, NothingToGenerate) {
    ReadingGenerator generator(0, 5, 3, at(0, 0));
    EXPECT_EQ(generator.total(), 0u);
    std::vector<size_t> sizes;
    EXPECT_TRUE(drain(generator, 10, &sizes).empty());
    EXPECT_TRUE(sizes.empty());
}

TEST(RunnerReadingGenerator, SequenceNumbersRunFromZeroAcrossBatches) {
    ReadingGenerator generator(9, 2, 0, at(0, 0));
    std::vector<std::unique_ptr<Reading>> batch;
    int64_t expected = 0;
    for (generator.next(4, batch); !batch.empty(); generator.next(4, batch)) {
        for (const auto& reading : batch) {
            ASSERT_EQ(reading->getReadingData().size(), 1u);
            const Datapoint* seq = reading->getReadingData()[0];
            EXPECT_EQ(seq->getName(), "seq");
            EXPECT_EQ(seq->getData().getType(), DatapointValue::T_INTEGER);
            EXPECT_EQ(seq->getData().toInt(), expected);
            ++expected;
        }
    }
    EXPECT_EQ(expected, 9);
}

TEST(RunnerReadingGenerator, AssetsCycle) {
    ReadingGenerator generator(7, 3, 1, at(0, 0));
    std::vector<std::string> assets;
    for (size_t i = 0; i < 7; ++i) {
        assets.push_back(generator.make(i)->getAssetName());
    }
    EXPECT_EQ(assets, (std::vector<std::string>{"asset_0", "asset_1", "asset_2", "asset_0",
                                                "asset_1", "asset_2", "asset_0"}));
}

TEST(RunnerReadingGenerator, DatapointKindsCycleAfterSeq) {
    ReadingGenerator generator(100, 1, 7, at(0, 0));
    for (size_t i : {0u, 1u, 99u}) {
        std::unique_ptr<Reading> reading = generator.make(i);
        const auto& data = reading->getReadingData();
        ASSERT_EQ(data.size(), 8u);
        const char* names[] = {"seq",   "int_0",   "float_1", "text_2",
                               "int_3", "float_4", "text_5",  "int_6"};
        const DatapointValue::dataTagType kinds[] = {
            DatapointValue::T_INTEGER, DatapointValue::T_INTEGER, DatapointValue::T_FLOAT,
            DatapointValue::T_STRING,  DatapointValue::T_INTEGER, DatapointValue::T_FLOAT,
            DatapointValue::T_STRING,  DatapointValue::T_INTEGER};
        for (size_t j = 0; j < data.size(); ++j) {
            EXPECT_EQ(data[j]->getName(), names[j]);
            EXPECT_EQ(data[j]->getData().getType(), kinds[j]) << names[j];
        }
        // A float that happens to be whole would read like an integer in text.
        double number = data[2]->getData().toDouble();
        EXPECT_NE(number, static_cast<double>(static_cast<int64_t>(number)));
    }
}

TEST(RunnerReadingGenerator, ValuesDifferBetweenReadings) {
    ReadingGenerator generator(1000, 1, 3, at(0, 0));
    std::set<std::string> seen;
    for (size_t i = 0; i < 1000; ++i) {
        std::unique_ptr<Reading> reading = generator.make(i);
        std::string values;
        for (size_t j = 1; j < reading->getReadingData().size(); ++j) {
            values += reading->getReadingData()[j]->getData().toString() + ";";
        }
        seen.insert(values);
    }
    EXPECT_EQ(seen.size(), 1000u);
}

TEST(RunnerReadingGenerator, TimesStepByOneMicrosecondAcrossTheSecond) {
    ReadingGenerator generator(3, 1, 0, at(1800000000, 999999));
    std::unique_ptr<Reading> first = generator.make(0);
    std::unique_ptr<Reading> second = generator.make(1);
    EXPECT_EQ(first->getTimestamp().tv_sec, 1800000000);
    EXPECT_EQ(first->getTimestamp().tv_usec, 999999);
    EXPECT_EQ(second->getTimestamp().tv_sec, 1800000001);
    EXPECT_EQ(second->getTimestamp().tv_usec, 0);
    EXPECT_EQ(second->getUserTimestamp().tv_sec, 1800000001);
    EXPECT_EQ(second->getUserTimestamp().tv_usec, 0);
}

}  // namespace
