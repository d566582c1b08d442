#!/usr/bin/env python3
"""Prints the send benchmark's results as tables and checks them against the targets.

Usage: report.py RESULTS.json   (the file send_bench writes with --benchmark_out=...)

Plugin and baseline runs of each batch size took turns in rounds; a ratio is the median of the
ratios within each round, and a time the median over the rounds, so that what else ran on the
machine weighs on the ratio as little as it can.
"""
import json
import re
import statistics
import sys

TO_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}
SIZES = [100, 1000, 10000, 100000]
ASSETS = [1, 10]
# Plugin over baseline: within 3x at 100 readings, 2.5x from 1,000 on.
RATIO_TARGETS = {100: 3.0, 1000: 2.5, 10000: 2.5, 100000: 2.5}
SCALING_TARGET = 1.2
HEAP_TARGET = 3.0
ROUND_NAME = re.compile(r"^(\w+)/readings:(\d+)/assets:(\d+)/round:(\d+)$")


def load(path):
    """Per-reading CPU ns by (family, readings, assets, round), and the other runs by name."""
    with open(path) as handle:
        data = json.load(handle)
    times = {}
    others = {}
    for run in data["benchmarks"]:
        if run.get("run_type") == "aggregate" or run.get("error_occurred"):
            continue
        name = run.get("run_name", run["name"])
        match = ROUND_NAME.match(name)
        if match is None:
            others[name] = run
            continue
        family, readings, assets, round_ = match.groups()
        readings = int(readings)
        ns = run["cpu_time"] * TO_NS[run["time_unit"]] / readings
        # With --benchmark_repetitions a round has several runs: their median stands for it.
        times.setdefault((family, readings, int(assets), int(round_)), []).append(ns)
    return data.get("context", {}), {key: statistics.median(v) for key, v in times.items()}, others


def rounds_of(times, family, readings, assets):
    return {key[3]: value for key, value in times.items() if key[:3] == (family, readings, assets)}


def median_time(times, family, readings, assets):
    values = list(rounds_of(times, family, readings, assets).values())
    return statistics.median(values) if values else None


def median_ratio(times, family, readings, assets):
    """Median over the rounds of FAMILY's time over the baseline's in the same round."""
    mine = rounds_of(times, family, readings, assets)
    base = rounds_of(times, "BM_Baseline", readings, assets)
    ratios = [mine[r] / base[r] for r in mine if r in base and base[r] > 0]
    return (statistics.median(ratios), min(ratios), max(ratios)) if ratios else (None, None, None)


def fmt(value, pattern="{:.0f}"):
    return "-" if value is None else pattern.format(value)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    context, times, others = load(sys.argv[1])
    rounds = len({key[3] for key in times})
    print(f"CPU time per reading in ns ({context.get('num_cpus', '?')} CPUs at "
          f"{context.get('mhz_per_cpu', '?')} MHz, load average "
          f"{', '.join(f'{x:.1f}' for x in context.get('load_avg', []))}); "
          f"{rounds} rounds of plugin and baseline in turn: times are medians over the rounds, "
          f"ratios medians of the per-round ratios (lowest-highest)")
    failures = []
    for assets in ASSETS:
        print()
        print(f"{assets} asset(s), 10 datapoints per reading")
        print(f"{'readings':>9} {'plugin':>8} {'first':>8} {'baseline':>9} "
              f"{'plugin/base':>22} {'first/base':>22}")
        for readings in SIZES:
            steady = median_time(times, "BM_PluginSteady", readings, assets)
            first = median_time(times, "BM_PluginFirstBatch", readings, assets)
            base = median_time(times, "BM_Baseline", readings, assets)
            ratio = median_ratio(times, "BM_PluginSteady", readings, assets)
            first_ratio = median_ratio(times, "BM_PluginFirstBatch", readings, assets)
            spread = "{:.2f}x ({:.2f}-{:.2f})"
            print(f"{readings:>9} {fmt(steady):>8} {fmt(first):>8} {fmt(base):>9} "
                  f"{'-' if ratio[0] is None else spread.format(*ratio):>22} "
                  f"{'-' if first_ratio[0] is None else spread.format(*first_ratio):>22}")
            if ratio[0] is not None and ratio[0] > RATIO_TARGETS[readings]:
                failures.append(f"plugin {ratio[0]:.2f}x the baseline at {readings} readings, "
                                f"{assets} asset(s)")
        for family, label in (("BM_PluginSteady", "plugin"), ("BM_PluginFirstBatch", "first"),
                              ("BM_Baseline", "baseline")):
            small = median_time(times, family, 1000, assets)
            large = median_time(times, family, 100000, assets)
            if small and large:
                scaling = large / small
                print(f"  {label}: per reading at 100,000 / at 1,000 = {scaling:.2f}")
                if family == "BM_PluginSteady" and scaling > SCALING_TARGET:
                    failures.append(f"plugin per-reading time at 100,000 is {scaling:.2f}x that at "
                                    f"1,000, {assets} asset(s)")

    print()
    print("Peak heap during plugin_send of 100,000 readings, above what was held before it")
    print(f"{'assets':>6} {'batch':>7} {'peak MB':>8} {'SQL MB':>7} {'peak/SQL':>9} {'readings MB':>12}")
    for assets in ASSETS:
        for first in (0, 1):
            run = others.get(f"BM_PeakHeap/assets:{assets}/first:{first}/iterations:3")
            if run is None:
                continue
            peak, sql = run["peak_bytes"], run["sql_bytes"]
            ratio = run["peak_over_sql"]
            print(f"{assets:>6} {'first' if first else 'steady':>7} {peak / 1e6:>8.1f} {sql / 1e6:>7.1f} "
                  f"{ratio:>8.2f}x {run['readings_bytes'] / 1e6:>12.1f}")
            if ratio > HEAP_TARGET:
                failures.append(f"peak heap {ratio:.2f}x the SQL text ({assets} asset(s), "
                                f"{'first' if first else 'steady'} batch)")
    print("  (operator new only: malloc from the C driver manager is not counted)")

    print()
    print(f"Targets: plugin within {RATIO_TARGETS[100]:.1f}x the baseline at 100 readings, "
          f"{RATIO_TARGETS[1000]:.1f}x from 1,000 on; per-reading time at 100,000 within "
          f"{SCALING_TARGET}x that at 1,000; peak heap within {HEAP_TARGET:.0f}x the SQL text")
    if failures:
        for failure in failures:
            print("  MISSED: " + failure)
    else:
        print("  all met")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
