// CPU time and heap of plugin_send against the scripted driver, next to a baseline that only
// writes the same INSERT text.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bench/baseline_insert.h"
#include "bench/bench_readings.h"
#include "bench/heap_counter.h"
#include "bench/plugin_session.h"
#include "host/logger.h"

namespace {

using bench::PluginSession;

constexpr size_t HEAP_BATCH = 100000;

// Bytes of SQL text each (readings, assets) batch produces for known tables, from the journal.
std::map<std::pair<size_t, size_t>, size_t> sqlBytes;

void perReadingCounters(benchmark::State& state, size_t readings) {
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * readings));
    // Seconds per reading.
    state.counters["per_reading"] = benchmark::Counter(
        static_cast<double>(readings),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// Steady state: the tables are known from a warm-up batch, so every timed batch is mapping,
// SQL building and the INSERTs through the driver manager.
void BM_PluginSteady(benchmark::State& state) {
    const auto readings = static_cast<size_t>(state.range(0));
    const auto& batch = bench::readingBatch(readings, static_cast<size_t>(state.range(1)));
    PluginSession& session = PluginSession::instance();
    session.scriptDriver(false);
    PLUGIN_HANDLE handle = session.init();
    if (session.send(handle, batch.pointers()) != readings) {
        state.SkipWithError("warm-up batch not delivered");
    }
    for (auto _ : state) {
        if (session.send(handle, batch.pointers()) != readings) {
            state.SkipWithError("batch not delivered");
            break;
        }
    }
    session.shutdown(handle);
    perReadingCounters(state, readings);
}

// First batch of a fresh instance: connecting, the column query (no rows), CREATE TABLE and the
// INSERTs are timed; plugin_init and plugin_shutdown are not (timing paused around them).
void BM_PluginFirstBatch(benchmark::State& state) {
    const auto readings = static_cast<size_t>(state.range(0));
    const auto& batch = bench::readingBatch(readings, static_cast<size_t>(state.range(1)));
    PluginSession& session = PluginSession::instance();
    session.scriptDriver(false);
    for (auto _ : state) {
        state.PauseTiming();
        PLUGIN_HANDLE handle = session.init();
        state.ResumeTiming();
        const uint32_t sent = session.send(handle, batch.pointers());
        state.PauseTiming();
        session.shutdown(handle);
        state.ResumeTiming();
        if (sent != readings) {
            state.SkipWithError("batch not delivered");
            break;
        }
    }
    perReadingCounters(state, readings);
}

void BM_Baseline(benchmark::State& state) {
    const auto readings = static_cast<size_t>(state.range(0));
    const auto& batch = bench::readingBatch(readings, static_cast<size_t>(state.range(1)));
    std::string buffer;
    buffer.reserve(bench::baselineBufferCapacity());
    const auto sink = [](std::string_view statement) {
        benchmark::DoNotOptimize(statement.data());
    };
    for (auto _ : state) {
        bench::writeBaselineInserts(batch.pointers(), PluginSession::INSTANCE_NAME, buffer, sink);
        benchmark::ClobberMemory();
    }
    perReadingCounters(state, readings);
}

// Peak heap during one plugin_send of HEAP_BATCH readings above what was held before it (the
// readings, the plugin instance), as a multiple of the SQL text the batch produces.
void BM_PeakHeap(benchmark::State& state) {
    const auto assets = static_cast<size_t>(state.range(0));
    const bool firstBatch = state.range(1) != 0;
    const auto& batch = bench::readingBatch(HEAP_BATCH, assets);
    PluginSession& session = PluginSession::instance();
    session.scriptDriver(false);
    size_t worst = 0;
    for (auto _ : state) {
        state.PauseTiming();
        PLUGIN_HANDLE handle = session.init();
        if (!firstBatch && session.send(handle, batch.pointers()) != HEAP_BATCH) {
            state.SkipWithError("warm-up batch not delivered");
        }
        const size_t before = heap_counter::current();
        heap_counter::resetPeak();
        state.ResumeTiming();
        const uint32_t sent = session.send(handle, batch.pointers());
        state.PauseTiming();
        worst = std::max(worst, heap_counter::peak() - before);
        session.shutdown(handle);
        state.ResumeTiming();
        if (sent != HEAP_BATCH) {
            state.SkipWithError("batch not delivered");
            break;
        }
    }
    const double sql = static_cast<double>(sqlBytes[{HEAP_BATCH, assets}]);
    state.counters["peak_bytes"] = static_cast<double>(worst);
    state.counters["sql_bytes"] = sql;
    state.counters["peak_over_sql"] = sql > 0 ? static_cast<double>(worst) / sql : 0.0;
    state.counters["readings_bytes"] =
        static_cast<double>(bench::readingBatchBytes(HEAP_BATCH, assets));
}

void batchArguments(benchmark::internal::Benchmark* benchmark) {
    benchmark->ArgNames({"readings", "assets"});
    for (int64_t assets : {1, 10}) {
        for (int64_t readings : {100, 1000, 10000, 100000}) {
            benchmark->Args({readings, assets});
        }
    }
    benchmark->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_PluginSteady)->Apply(batchArguments);
BENCHMARK(BM_PluginFirstBatch)->Apply(batchArguments);
BENCHMARK(BM_Baseline)->Apply(batchArguments);
BENCHMARK(BM_PeakHeap)
    ->ArgNames({"assets", "first"})
    ->ArgsProduct({{1, 10}, {0, 1}})
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

// The comparison is only honest when the baseline writes exactly the plugin's statements: for
// every batch, the INSERTs the driver received must equal the baseline's text byte for byte.
// Also records the SQL bytes of each batch for the heap ratio.
bool baselineMatchesPlugin() {
    PluginSession& session = PluginSession::instance();
    std::string buffer;
    buffer.reserve(bench::baselineBufferCapacity());
    for (size_t assets : {1, 10}) {
        for (size_t readings : {100, 1000, 10000, 100000}) {
            const auto& batch = bench::readingBatch(readings, assets);
            session.scriptDriver(false);
            PLUGIN_HANDLE handle = session.init();
            const bool warm = session.send(handle, batch.pointers()) == readings;
            session.scriptDriver(true);
            const bool sent = session.send(handle, batch.pointers()) == readings;
            session.shutdown(handle);
            const std::vector<std::string> journal = session.journal();
            if (!warm || !sent) {
                std::fprintf(stderr, "plugin did not deliver %zu readings of %zu assets\n",
                             readings, assets);
                return false;
            }
            std::vector<std::string> expected;
            bench::writeBaselineInserts(
                batch.pointers(), PluginSession::INSTANCE_NAME, buffer,
                [&expected](std::string_view statement) { expected.emplace_back(statement); });
            size_t bytes = 0;
            for (const std::string& statement : journal) {
                bytes += statement.size();
            }
            sqlBytes[{readings, assets}] = bytes;
            if (journal != expected) {
                std::fprintf(stderr,
                             "baseline differs from the plugin for %zu readings of %zu assets: "
                             "%zu statements against %zu\n",
                             readings, assets, expected.size(), journal.size());
                for (size_t i = 0; i < journal.size() && i < expected.size(); ++i) {
                    if (journal[i] != expected[i]) {
                        size_t at = 0;
                        while (at < journal[i].size() && at < expected[i].size() &&
                               journal[i][at] == expected[i][at]) {
                            ++at;
                        }
                        const size_t from = at > 80 ? at - 80 : 0;
                        std::fprintf(stderr,
                                     "statement %zu, byte %zu:\n  plugin:   %s\n  baseline: %s\n",
                                     i, at, journal[i].substr(from, 160).c_str(),
                                     expected[i].substr(from, 160).c_str());
                        break;
                    }
                }
                return false;
            }
        }
    }
    std::fprintf(stderr, "baseline text checked against the plugin's statements: identical\n");
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    // --no_baseline_check skips the start-up comparison, for profiling runs that should show the
    // benchmarks alone.
    bool check = true;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--no_baseline_check") {
            check = false;
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    // Instance start-up lines would otherwise interleave with the results.
    Logger::getLogger()->setMinLevel(Logger::Level::WARN);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    if (check && !baselineMatchesPlugin()) {
        return 2;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
