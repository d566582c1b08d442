#!/usr/bin/env bash
# Delivery over a distance: the north runner sends generated readings through the plugin to the
# local Snowflake emulator via tests/faults/tcp_cut_proxy.py, which holds every answer of the
# database back (no cuts) and counts the round trips. One run covers every asset count at every
# latency; each measurement starts on an empty schema and a new connection, so connecting and
# creating the tables are part of the rate.
#
# Prints, per latency and asset count: readings/s as the runner measures them (connecting and the
# first batch included) and those of the steady batches alone (from the first batch's commit to
# the last one's, as the proxy saw them), the round trips of the whole run, those of the first
# batch (connection included) and those of a steady batch (from the second batch on: median and
# largest), and what one steady batch sent. The target at 50 ms
# and 50 assets: at least 3,550 readings/s and one round trip per steady batch.
#
# Usage: scripts/latency.sh [options]
#   --readings N        readings per run (default 20000)
#   --assets "A…"       asset counts (default "1 10 50")
#   --latencies "S…"    seconds each answer is held back (default "0 0.05")
#   --batch-size B      readings per batch (default 1000)
#   --datapoints D      generated datapoints per reading besides seq (default 3, the runner's)
#   --build DIR         build folder (default build/; configured and built if needed)
#   --no-build          use the build folder as it is
#   --keep DIR          keep the proxy's request logs in DIR
# Takes about a minute with the defaults on a two-core machine.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=scripts/emulator-lib.sh
. "$root/scripts/emulator-lib.sh"
readings=20000
asset_counts="1 10 50"
latencies="0 0.05"
batch=1000
datapoints=3
build="$root/build"
do_build=true
keep=""
readonly TARGET_RATE=3550
readonly TARGET_ROUND_TRIPS=1

die() {
    printf 'latency: error: %s\n' "$*" >&2
    exit 1
}

while [[ $# -gt 0 ]]; do
    case "$1" in
        --readings) readings="$2"; shift 2 ;;
        --assets) asset_counts="$2"; shift 2 ;;
        --latencies) latencies="$2"; shift 2 ;;
        --batch-size) batch="$2"; shift 2 ;;
        --datapoints) datapoints="$2"; shift 2 ;;
        --build) build="$(cd "$2" 2>/dev/null && pwd || echo "$2")"; shift 2 ;;
        --no-build) do_build=false; shift ;;
        --keep) keep="$2"; shift 2 ;;
        -h | --help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
        *) die "unknown option $1 (see --help)" ;;
    esac
done
[[ "$readings" =~ ^[1-9][0-9]*$ ]] || die "--readings must be a positive number"
[[ "$batch" =~ ^[1-9][0-9]*$ ]] || die "--batch-size must be a positive number"
[[ "$datapoints" =~ ^[0-9]+$ ]] || die "--datapoints must be a number"
for count in $asset_counts; do
    [[ "$count" =~ ^[1-9][0-9]*$ ]] || die "asset count '$count' is not a positive number"
done
for seconds in $latencies; do
    [[ "$seconds" =~ ^[0-9]+(\.[0-9]+)?$ ]] || die "latency '$seconds' is not a number of seconds"
done

if $do_build; then
    echo "== building in $build" >&2
    if [[ ! -f "$build/CMakeCache.txt" ]]; then
        cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    fi
    cmake --build "$build" -j"$(nproc 2>/dev/null || echo 2)" --target varnholt north_runner >/dev/null
fi
runner="$build/tools/north_runner"
plugin="$build/libvarnholt.so.1"
for file in "$runner" "$plugin"; do
    [[ -e "$file" ]] || die "$file is missing: build the targets varnholt and north_runner"
done

work="$(mktemp -d "${TMPDIR:-/tmp}/varnholt-latency.XXXXXX")"
proxy_pid=""
cleanup() {
    if [[ -n "$proxy_pid" ]]; then
        kill "$proxy_pid" 2>/dev/null || true
        wait "$proxy_pid" 2>/dev/null || true
    fi
    emulator_stop
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

echo "== starting the emulator" >&2
emulator_start "$work" || die "the emulator did not start"

# Round trips of a request log: the whole run, the first batch (up to its COMMIT, connecting
# included), each later batch (after the previous COMMIT up to its own). Prints "total first
# median largest steady-seconds" (from the first batch's COMMIT to the last one's), then what the
# first batch and the last full batch sent, round trip by round trip, one line each.
round_trips() {
    python3 - "$1" <<'EOF'
import json
import re
import statistics
import sys


def describe(trip):
    kinds = {}
    for request in trip["requests"]:
        if request.upper().startswith("BEGIN;"):
            kinds["BEGIN"] = kinds.get("BEGIN", 0) + 1
            request = request[len("BEGIN;"):]
        words = request.split()
        own = re.search(r'"(_varnholt_[a-z]+)"', request)
        if own and words:
            head = f"{words[0]} {own.group(1)}"
        elif len(words) >= 2 and words[0].upper() in ("INSERT", "CREATE", "ALTER"):
            head = " ".join(words[:2]) + " <asset table>"
        elif request.startswith("SELECT column_name"):
            head = "column query"
        else:
            head = request[:30] if request else "(startup)"
        kinds[head] = kinds.get(head, 0) + 1
    if not kinds:
        return "(startup)"
    return " + ".join(f"{n} x {k}" if n > 1 else k for k, n in kinds.items())


trips = [json.loads(line) for line in open(sys.argv[1])]
commits = [i for i, trip in enumerate(trips)
           if any(r.strip().rstrip(";").upper() == "COMMIT" for r in trip["requests"])]
if not commits:
    print(len(trips), "-", "-", "-", "-")
    print("no COMMIT seen")
    print("no COMMIT seen")
    sys.exit(0)
steady = [b - a for a, b in zip(commits, commits[1:])]
print(len(trips), commits[0] + 1, statistics.median(steady) if steady else "-",
      max(steady) if steady else "-",
      round(trips[commits[-1]]["time"] - trips[commits[0]]["time"], 4) if steady else "-")
print(" | ".join(describe(trip) for trip in trips[:commits[0] + 1]))
if steady:
    print(" | ".join(describe(trip) for trip in trips[commits[-2] + 1:commits[-1] + 1]))
else:
    print("only one batch")
EOF
}

rows=()
samples=()
first_samples=()
for seconds in $latencies; do
    for assets in $asset_counts; do
        echo "== $assets asset(s), $seconds s per answer" >&2
        reset_schema
        log="$work/requests-$seconds-$assets.jsonl"
        rm -f "$work/proxy.port"
        python3 "$root/tests/faults/tcp_cut_proxy.py" --target "$EMULATOR_PORT" \
            --port-file "$work/proxy.port" --cuts none --latency "$seconds" --request-log "$log" \
            --lifetime 3600 2>"$work/proxy.err" &
        proxy_pid=$!
        for _ in $(seq 1 100); do
            [[ -s "$work/proxy.port" ]] && break
            sleep 0.1
        done
        [[ -s "$work/proxy.port" ]] || die "the proxy did not start: $(cat "$work/proxy.err")"
        summary=$(ODBCSYSINI="$EMULATOR_DIR" "$runner" --plugin "$plugin" --generate "$readings" \
            --assets "$assets" --datapoints "$datapoints" --batch-size "$batch" --max-retries 0 \
            --log-level error --set "server=$EMULATOR_HOST" --set "port=$(cat "$work/proxy.port")" \
            --set "schema=$EMULATOR_DATABASE" --set "user=$EMULATOR_USER" \
            --set "password=$EMULATOR_PASSWORD") || die "the plugin did not deliver every reading"
        kill "$proxy_pid" 2>/dev/null || true
        wait "$proxy_pid" 2>/dev/null || true
        proxy_pid=""
        rate=$(awk '/^rate:/ { printf "%.0f", $2 }' <<<"$summary")
        elapsed=$(awk '/^elapsed:/ { print $2 }' <<<"$summary")
        { read -r total first median largest steady_seconds; read -r first_sample; read -r sample; } < <(round_trips "$log")
        steady_rate=$(awk -v n="$readings" -v b="$batch" -v s="$steady_seconds" \
            'BEGIN { if (s == "-" || s <= 0) print "-"; else printf "%.0f", (n - (b < n ? b : n)) / s }')
        rows+=("$(printf '%8s %7s %10s %10s %10s %12s %12s %14s %13s' "$(awk -v s="$seconds" 'BEGIN { printf "%g", s * 1000 }')" \
            "$assets" "$rate" "$steady_rate" "$elapsed" "$total" "$first" "$median" "$largest")")
        samples+=("$seconds s, $assets asset(s): $sample")
        first_samples+=("$seconds s, $assets asset(s): $first_sample")
        if [[ -n "$keep" ]]; then
            mkdir -p "$keep"
            cp "$log" "$keep/"
        fi
    done
done

echo
echo "$readings readings of $datapoints datapoints (+ seq), batches of $batch, one connection per run"
printf '%8s %7s %10s %10s %10s %12s %12s %14s %13s\n' "ms" assets readings/s "steady r/s" \
    seconds "round trips" "first batch" "steady median" "steady most"
printf '%s\n' "${rows[@]}"
echo
echo "The first batch, round trip by round trip (connecting included):"
printf '  %s\n' "${first_samples[@]}"
echo "The last full batch, round trip by round trip:"
printf '  %s\n' "${samples[@]}"
echo "Targets at 50 ms and 50 assets: at least $TARGET_RATE readings/s, $TARGET_ROUND_TRIPS round trip per steady batch"
