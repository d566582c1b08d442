#!/usr/bin/env python3
"""Prints the send benchmark's results as tables and checks them against the targets.

Usage: report.py RESULTS.json   (the file send_bench writes with --benchmark_out=...)
"""
import json
import re
import sys

TO_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}
SIZES = [100, 1000, 10000, 100000]
ASSETS = [1, 10]
RATIO_TARGET = 3.0
SCALING_TARGET = 1.2
HEAP_TARGET = 3.0


def load(path):
    with open(path) as handle:
        data = json.load(handle)
    runs = {}
    for run in data["benchmarks"]:
        # With repetitions, only the median stands for the benchmark.
        if run.get("run_type") == "aggregate" and run.get("aggregate_name") != "median":
            continue
        if run.get("error_occurred"):
            continue
        name = run.get("run_name", run["name"])
        if run.get("run_type") != "aggregate" and name in runs and runs[name].get("run_type") == "aggregate":
            continue
        runs[name] = run
    return data.get("context", {}), runs


def per_reading_ns(runs, family, readings, assets):
    run = runs.get(f"{family}/readings:{readings}/assets:{assets}")
    if run is None:
        return None
    return run["cpu_time"] * TO_NS[run["time_unit"]] / readings


def fmt(value, pattern="{:.0f}"):
    return "-" if value is None else pattern.format(value)


def verdict(ok):
    return "met" if ok else "MISSED"


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    context, runs = load(sys.argv[1])
    print(f"CPU time per reading in ns ({context.get('num_cpus', '?')} CPUs at "
          f"{context.get('mhz_per_cpu', '?')} MHz, load average "
          f"{', '.join(f'{x:.1f}' for x in context.get('load_avg', []))})")
    failures = []
    for assets in ASSETS:
        print()
        print(f"{assets} asset(s), 10 datapoints per reading")
        print(f"{'readings':>9} {'plugin':>8} {'first':>8} {'baseline':>9} {'plugin/base':>12} {'first/base':>11}")
        for readings in SIZES:
            steady = per_reading_ns(runs, "BM_PluginSteady", readings, assets)
            first = per_reading_ns(runs, "BM_PluginFirstBatch", readings, assets)
            base = per_reading_ns(runs, "BM_Baseline", readings, assets)
            ratio = steady / base if steady and base else None
            first_ratio = first / base if first and base else None
            print(f"{readings:>9} {fmt(steady):>8} {fmt(first):>8} {fmt(base):>9} "
                  f"{fmt(ratio, '{:.2f}x'):>12} {fmt(first_ratio, '{:.2f}x'):>11}")
            if ratio is not None and ratio > RATIO_TARGET:
                failures.append(f"plugin {ratio:.2f}x the baseline at {readings} readings, {assets} asset(s)")
        for family, label in (("BM_PluginSteady", "plugin"), ("BM_PluginFirstBatch", "first"),
                              ("BM_Baseline", "baseline")):
            small = per_reading_ns(runs, family, 1000, assets)
            large = per_reading_ns(runs, family, 100000, assets)
            if small and large:
                scaling = large / small
                print(f"  {label}: per reading at 100,000 / at 1,000 = {scaling:.2f}")
                if family == "BM_PluginSteady" and scaling > SCALING_TARGET:
                    failures.append(f"plugin per-reading time at 100,000 is {scaling:.2f}x that at 1,000, "
                                    f"{assets} asset(s)")

    print()
    print("Peak heap during plugin_send of 100,000 readings, above what was held before it")
    print(f"{'assets':>6} {'batch':>7} {'peak MB':>8} {'SQL MB':>7} {'peak/SQL':>9} {'readings MB':>12}")
    for assets in ASSETS:
        for first in (0, 1):
            run = runs.get(f"BM_PeakHeap/assets:{assets}/first:{first}/iterations:3")
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
    print(f"Targets: plugin within {RATIO_TARGET:.0f}x the baseline; per-reading time at 100,000 within "
          f"{SCALING_TARGET}x that at 1,000; peak heap within {HEAP_TARGET:.0f}x the SQL text")
    if failures:
        for failure in failures:
            print("  MISSED: " + failure)
    else:
        print("  all met")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
