#!/usr/bin/env bash
# Replay speed against the local Snowflake emulator, next to plain delivery of the same readings:
#   plain   the north runner sends N readings from a file in batches of 1,000 into a table that
#           takes them (readings/s as the runner measures them);
#   replay  the same N readings, rejected beforehand for a type conflict (fractions for a BIGINT
#           column) and the column then made REAL, replayed by an instance with replayRejects on
#           while the runner sends one new reading per batch: N / the runner's time, which covers
#           ceil(N / 1,000) + 1 batches (the last finds none left).
# Every repetition starts on an empty schema; the fastest run of each counts, and the ratio is the
# median of the ratios within each repetition. Not in CI.
#
# Usage: scripts/replay_throughput.sh [--readings N] [--repeat R] [--build DIR]
#   --readings N  readings rejected and replayed (default 20000)
#   --repeat R    repetitions (default 3)
#   --build DIR   build folder with tools/north_runner and libvarnholt.so.1 (default build/)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
readings=20000
repeat=3
build="$root/build"

die() {
    printf 'replay_throughput: error: %s\n' "$*" >&2
    exit 1
}

while [[ $# -gt 0 ]]; do
    case "$1" in
        --readings) readings="$2"; shift 2 ;;
        --repeat) repeat="$2"; shift 2 ;;
        --build) build="$2"; shift 2 ;;
        -h | --help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
        *) die "unknown option $1 (see --help)" ;;
    esac
done
[[ "$readings" =~ ^[1-9][0-9]*$ ]] || die "--readings must be a positive number"
[[ "$repeat" =~ ^[1-9][0-9]*$ ]] || die "--repeat must be a positive number"
runner="$build/tools/north_runner"
plugin="$build/libvarnholt.so.1"
for file in "$runner" "$plugin"; do
    [[ -e "$file" ]] || die "$file is missing: build the targets varnholt and north_runner"
done

work="$(mktemp -d "${TMPDIR:-/tmp}/varnholt-replay-throughput.XXXXXX")"
emulator_dir=""
cleanup() {
    if [[ -n "$emulator_dir" ]]; then
        "$root/scripts/emulator-stop.sh" "$emulator_dir" >/dev/null 2>&1 || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

echo "== starting the emulator" >&2
EMULATOR_OWNER_PID=$$ "$root/scripts/emulator-start.sh" >"$work/emulator.env" 2>"$work/emulator.log" ||
    { cat "$work/emulator.log" >&2; die "the emulator did not start"; }
# shellcheck disable=SC1091
. "$work/emulator.env"
emulator_dir="$EMULATOR_DIR"

sql() { "$root/scripts/emulator-psql.sh" "$EMULATOR_DIR" -v ON_ERROR_STOP=1 -Atq "$@"; }
reset_schema() { sql -c "SET client_min_messages = warning; DROP SCHEMA \"$EMULATOR_SCHEMA\" CASCADE; CREATE SCHEMA \"$EMULATOR_SCHEMA\";"; }
count() { sql -c "SELECT count(*) FROM \"$EMULATOR_SCHEMA\".\"$1\""; }
runner_args=(--plugin "$plugin" --max-retries 0 --set "server=$EMULATOR_HOST"
    --set "port=$EMULATOR_PORT" --set "schema=$EMULATOR_DATABASE" --set "user=$EMULATOR_USER"
    --set "password=$EMULATOR_PASSWORD")
run() { ODBCSYSINI="$EMULATOR_DIR" "$runner" "${runner_args[@]}" "$@"; }
elapsed() { awk '/^elapsed:/ { print $2 }' <<<"$1"; }

# Readings of four datapoints; the first makes temp an integer column.
python3 - "$readings" "$work" <<'PY'
import json, sys
count, work = int(sys.argv[1]), sys.argv[2]
def reading(seq, temp):
    stamp = f"2024-06-01 {seq // 3600 % 24:02d}:{seq // 60 % 60:02d}:{seq % 60:02d}.{seq % 1000000:06d}"
    return json.dumps({"asset": "pumps", "user_ts": stamp, "ts": stamp,
                       "readings": {"seq": seq, "temp": temp, "count": seq * 3,
                                    "note": f"pump {seq % 10}"}})
with open(f"{work}/seed.json", "w") as out:
    out.write(reading(-1, 21) + "\n")
with open(f"{work}/readings.json", "w") as out:
    for seq in range(count):
        out.write(reading(seq, seq + 0.5) + "\n")
PY

plain_times=()
replay_times=()
ratios=()
for round in $(seq 1 "$repeat"); do
    echo "== round $round: plain delivery" >&2
    reset_schema
    out=$(run --readings "$work/readings.json" --batch-size 1000 --log-level error) ||
        die "plain delivery failed"
    [[ "$(count pumps)" == "$readings" ]] || die "plain delivery left $(count pumps) rows"
    plain_times+=("$(elapsed "$out")")

    echo "== round $round: rejecting, fixing, replaying" >&2
    reset_schema
    run --readings "$work/seed.json" --log-level error >/dev/null || die "the seed was not delivered"
    run --readings "$work/readings.json" --batch-size 1000 --log-level error >/dev/null 2>&1 ||
        die "the readings to reject were not delivered"
    [[ "$(count _varnholt_rejects)" == "$readings" ]] || die "$(count _varnholt_rejects) rejects"
    sql -c "ALTER TABLE \"$EMULATOR_SCHEMA\".pumps ALTER COLUMN temp TYPE REAL"
    out=$(run --set replayRejects=true --generate $((readings / 1000 + 2)) --batch-size 1 \
        --log-level error) || die "the replay run failed"
    [[ "$(count _varnholt_rejects)" == 0 ]] || die "$(count _varnholt_rejects) rejects left"
    [[ "$(count pumps)" == $((readings + 1)) ]] || die "the replay left $(count pumps) rows"
    grep -q "^readings replayed: *$readings$" <<<"$out" || die "the runner counted: $out"
    replay_times+=("$(elapsed "$out")")
    ratios+=("$(awk -v p="${plain_times[-1]}" -v r="${replay_times[-1]}" 'BEGIN { printf "%.3f", p / r }')")
done

best() { printf '%s\n' "$@" | sort -g | head -n 1; }
median() {
    printf '%s\n' "$@" | sort -g |
        awk '{ v[NR] = $1 } END { printf "%.3f", NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
rate() { awk -v n="$readings" -v s="$1" 'BEGIN { printf "%.0f", n / s }'; }
printf 'readings %s, %s repetitions\n' "$readings" "$repeat"
printf 'plain delivery: %s readings/s (fastest)\n' "$(rate "$(best "${plain_times[@]}")")"
printf 'replay:         %s readings/s (fastest)\n' "$(rate "$(best "${replay_times[@]}")")"
printf 'replay/plain:   %s (median; each repetition: %s)\n' "$(median "${ratios[@]}")" "${ratios[*]}"
