#!/usr/bin/env bash
# The benchmark command: builds the Release configuration in build-bench/, runs the send
# benchmark (plugin_send through dlopen against the scripted ODBC driver, next to a baseline that
# only writes the same INSERT text) and prints the report: CPU time per reading, plugin/baseline
# ratios (medians of per-round ratios), per-reading time at 100,000 against 1,000 readings, and
# peak heap against SQL text.
# Exits 1 when a target is missed.
#
# Usage: scripts/bench.sh [send_bench options, e.g. --rounds=7 (plugin and baseline runs in
# turn per batch size, default 5) or --benchmark_filter=...]
# Takes about three minutes on a two-core machine.
set -euo pipefail

if [[ "${1:-}" == -h || "${1:-}" == --help ]]; then
    sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'
    exit 0
fi

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build-bench"

"$root/scripts/install-deps.sh"

cmake -S "$root" -B "$build" -G "Unix Makefiles" -DCMAKE_BUILD_TYPE=Release \
    -DVARNHOLT_BUILD_TESTS=ON -DVARNHOLT_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j"$(nproc 2>/dev/null || echo 2)" --target send_bench

results="$build/send_bench.json"
"$build/bench/send_bench" --benchmark_out="$results" --benchmark_out_format=json "$@"
echo
python3 "$root/bench/report.py" "$results"
