// CPU time and heap of plugin_send against the scripted driver, next to a baseline that only
// writes the same INSERT text. Plugin and baseline runs of one batch size take turns, round after
// round (plugin steady, plugin first batch, baseline; again), so that whatever else the machine
// does falls on both alike and each round gives a ratio of its own.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
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
constexpr int DEFAULT_ROUNDS = 5;
const size_t BATCH_SIZES[] = {100, 1000, 10000, 100000};
const size_t ASSET_COUNTS[] = {1, 10};

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
void pluginSteady(benchmark::State& state, size_t readings, size_t assets) {
    const auto& batch = bench::readingBatch(readings, assets);
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
void pluginFirstBatch(benchmark::State& state, size_t readings, size_t assets) {
    const auto& batch = bench::readingBatch(readings, assets);
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

void baseline(benchmark::State& state, size_t readings, size_t assets) {
    const auto& batch = bench::readingBatch(readings, assets);
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

// Per batch size, `rounds` rounds of plugin steady, plugin first batch and baseline, named
// FAMILY/readings:R/assets:A/round:N; then the peak heap.
void registerBenchmarks(int rounds) {
    using Body = void (*)(benchmark::State&, size_t, size_t);
    static const std::pair<const char*, Body> families[] = {
        {"BM_PluginSteady", pluginSteady},
        {"BM_PluginFirstBatch", pluginFirstBatch},
        {"BM_Baseline", baseline}};
    for (size_t assets : ASSET_COUNTS) {
        for (size_t readings : BATCH_SIZES) {
            for (int round = 0; round < rounds; ++round) {
                for (const auto& family : families) {
                    const std::string name =
                        std::string(family.first) + "/readings:" + std::to_string(readings) +
                        "/assets:" + std::to_string(assets) + "/round:" + std::to_string(round);
                    const Body body = family.second;
                    benchmark::RegisterBenchmark(name.c_str(), [body, readings,
                                                                assets](benchmark::State& state) {
                        body(state, readings, assets);
                    })->Unit(benchmark::kMillisecond);
                }
            }
        }
    }
    benchmark::RegisterBenchmark("BM_PeakHeap", BM_PeakHeap)
        ->ArgNames({"assets", "first"})
        ->ArgsProduct({{1, 10}, {0, 1}})
        ->Iterations(3)
        ->Unit(benchmark::kMillisecond);
}

// Statements of the plugin's journal that the baseline does not write: the transaction, as
// calls ("[autocommit off]", "[commit]", ...) or as statements of the batch's request ("BEGIN",
// "COMMIT"), the driver probe and the statements on the plugin's own delivery ledger and reject
// tables.
bool outsideBaseline(const std::string& statement) {
    return (statement.size() > 1 && statement.front() == '[' && statement.back() == ']') ||
           statement == "BEGIN" || statement == "COMMIT" || statement == "SELECT 1" ||
           statement.find("\"_varnholt_ledger\"") != std::string::npos ||
           statement.find("\"_varnholt_rejects\"") != std::string::npos;
}

// The comparison is only honest when the baseline writes exactly the plugin's statements: for
// every batch, the statements the driver received for the readings must equal the baseline's
// text byte for byte. Also records the SQL bytes of each batch for the heap ratio.
bool baselineMatchesPlugin() {
    PluginSession& session = PluginSession::instance();
    std::string buffer;
    buffer.reserve(bench::baselineBufferCapacity());
    for (size_t assets : ASSET_COUNTS) {
        for (size_t readings : BATCH_SIZES) {
            const auto& batch = bench::readingBatch(readings, assets);
            session.scriptDriver(false);
            PLUGIN_HANDLE handle = session.init();
            const bool warm = session.send(handle, batch.pointers()) == readings;
            session.scriptDriver(true);
            const bool sent = session.send(handle, batch.pointers()) == readings;
            session.shutdown(handle);
            std::vector<std::string> journal = session.journal();
            journal.erase(std::remove_if(journal.begin(), journal.end(), outsideBaseline),
                          journal.end());
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
    // benchmarks alone; --rounds=N sets how often plugin and baseline runs take turns.
    bool check = true;
    int rounds = DEFAULT_ROUNDS;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--no_baseline_check") {
            check = false;
        } else if (argument.compare(0, 9, "--rounds=") == 0) {
            rounds = std::max(1, std::atoi(argument.c_str() + 9));
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
    registerBenchmarks(rounds);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
