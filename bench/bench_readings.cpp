#include "bench/bench_readings.h"

#include <sys/time.h>

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bench/heap_counter.h"

namespace bench {

namespace {

using varnholt::test::Batch;

// 2026-12-07 00:00:00 UTC.
constexpr time_t FIRST_SECOND = 1796601600;

std::unique_ptr<Reading> makeReading(size_t index, size_t assets) {
    const auto i = static_cast<int64_t>(index);
    std::vector<Datapoint*> datapoints;
    datapoints.reserve(10);
    datapoints.push_back(new Datapoint("count", DatapointValue(i)));
    datapoints.push_back(new Datapoint("status", DatapointValue(i % 7 - 3)));
    datapoints.push_back(new Datapoint("rpm", DatapointValue(int64_t{1000} + i % 500)));
    datapoints.push_back(new Datapoint("errors", DatapointValue(int64_t{0})));
    // Quarter steps print exactly with six decimals; the other two mostly need the shortest form.
    datapoints.push_back(
        new Datapoint("temperature", DatapointValue(20.0 + static_cast<double>(i % 100) * 0.25)));
    datapoints.push_back(
        new Datapoint("pressure", DatapointValue(1.0 / static_cast<double>(1 + i % 9))));
    datapoints.push_back(new Datapoint("flow", DatapointValue(static_cast<double>(i) * 0.001)));
    datapoints.push_back(new Datapoint("state", DatapointValue(i % 3 == 0 ? "idle" : "running")));
    datapoints.push_back(
        new Datapoint("operator", DatapointValue(i % 4 == 0 ? "O'Brien" : "Smith")));
    datapoints.push_back(new Datapoint(
        "note",
        DatapointValue(i % 5 == 0 ? "C:\\logs\\pump 'east'" : "checked " + std::to_string(i))));

    auto reading =
        std::make_unique<Reading>("pump" + std::to_string(index % assets), std::move(datapoints));
    struct timeval system = {FIRST_SECOND + static_cast<time_t>(index / 1000),
                             static_cast<suseconds_t>((index % 1000) * 1000 + 7)};
    struct timeval user = system;
    user.tv_usec -= 5;
    reading->setTimestamp(system);
    reading->setUserTimestamp(user);
    return reading;
}

struct BuiltBatch {
    std::unique_ptr<Batch> batch;
    size_t bytes = 0;
};

const BuiltBatch& builtBatch(size_t size, size_t assets) {
    static std::map<std::pair<size_t, size_t>, BuiltBatch> batches;
    BuiltBatch& built = batches[{size, assets}];
    if (!built.batch) {
        const size_t before = heap_counter::current();
        built.batch = std::make_unique<Batch>();
        for (size_t i = 0; i < size; ++i) {
            built.batch->add(makeReading(i, assets));
        }
        built.bytes = heap_counter::current() - before;
    }
    return built;
}

}  // namespace

const Batch& readingBatch(size_t size, size_t assets) {
    return *builtBatch(size, assets).batch;
}

size_t readingBatchBytes(size_t size, size_t assets) {
    return builtBatch(size, assets).bytes;
}

}  // namespace bench
