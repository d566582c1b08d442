#!/usr/bin/env bash
# End-to-end throughput against the local Snowflake emulator, next to the database's own cost
# for the same work:
#   plugin  the north runner sends generated readings through the plugin (readings/s as the
#           runner measures them, connection and table creation included);
#   direct  the very statements the plugin sends (recorded once through the scripted test
#           driver) replayed one by one with SQLExecDirect through the same ODBC driver;
#   copy    the same rows loaded with psql's \copy from a CSV file.
# Every measurement starts on an empty schema. Prints one line per batch size and the ratios
# plugin/direct and plugin/copy; the plugin is meant to reach 85% of the direct rate.
#
# Usage: scripts/throughput.sh [options]
#   --readings N       readings per run (default 100000)
#   --datapoints D     generated datapoints per reading besides seq (default 10)
#   --batch-sizes "B…" batch sizes to measure (default "1000 10000")
#   --repeat R         runs of each measurement, the fastest counts (default 1)
#   --build DIR        build folder (default build/; configured and built if needed)
#   --no-build         use the build folder as it is
#   --enforce          exit 3 when a plugin/direct ratio is below 0.85
# Takes about a minute with the defaults on a two-core machine.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
readings=100000
datapoints=10
batch_sizes="1000 10000"
repeat=1
build="$root/build"
do_build=true
enforce=false
readonly TARGET_RATIO=0.85

die() {
    printf 'throughput: error: %s\n' "$*" >&2
    exit 1
}

while [[ $# -gt 0 ]]; do
    case "$1" in
        --readings) readings="$2"; shift 2 ;;
        --datapoints) datapoints="$2"; shift 2 ;;
        --batch-sizes) batch_sizes="$2"; shift 2 ;;
        --repeat) repeat="$2"; shift 2 ;;
        --build) build="$(cd "$2" 2>/dev/null && pwd || echo "$2")"; shift 2 ;;
        --no-build) do_build=false; shift ;;
        --enforce) enforce=true; shift ;;
        -h | --help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
        *) die "unknown option $1 (see --help)" ;;
    esac
done
[[ "$readings" =~ ^[1-9][0-9]*$ ]] || die "--readings must be a positive number"
[[ "$datapoints" =~ ^[0-9]+$ ]] || die "--datapoints must be a number"
[[ "$repeat" =~ ^[1-9][0-9]*$ ]] || die "--repeat must be a positive number"

if $do_build; then
    echo "== building in $build" >&2
    if [[ ! -f "$build/CMakeCache.txt" ]]; then
        cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    fi
    cmake --build "$build" -j"$(nproc 2>/dev/null || echo 2)" \
        --target varnholt north_runner sql_replay scripted-odbc-driver >/dev/null
fi
runner="$build/tools/north_runner"
replay="$build/tools/sql_replay"
plugin="$build/libvarnholt.so.1"
scripted_ini="$build/tests/odbc_driver/odbcinst"
for file in "$runner" "$replay" "$plugin" "$scripted_ini/odbcinst.ini"; do
    [[ -e "$file" ]] || die "$file is missing: build the targets varnholt, north_runner, sql_replay and scripted-odbc-driver"
done

work="$(mktemp -d "${TMPDIR:-/tmp}/varnholt-throughput.XXXXXX")"
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
row_count() { sql -c "SELECT count(*) FROM \"$EMULATOR_SCHEMA\".\"asset_0\""; }
now() { date +%s.%N; }

runner_args=(--plugin "$plugin" --generate "$readings" --assets 1 --datapoints "$datapoints"
    --max-retries 0 --log-level error)

# Fastest of the runs: the machine may be busy with other work.
best() { printf '%s\n' "$@" | sort -g | head -n 1; }
rate() { awk -v n="$readings" -v s="$1" 'BEGIN { printf "%.0f", n / s }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

results=()
below=false
for batch in $batch_sizes; do
    [[ "$batch" =~ ^[1-9][0-9]*$ ]] || die "batch size '$batch' is not a positive number"
    echo "== batch size $batch: recording the plugin's statements" >&2
    journal="$work/journal-$batch.jsonl"
    rm -f "$journal"
    ODBCSYSINI="$scripted_ini" SCRIPTED_ODBC_JOURNAL="$journal" "$runner" "${runner_args[@]}" \
        --batch-size "$batch" --quiet --set server=127.0.0.1 --set port=1 --set schema=recorded \
        --set user=recorder --set password=recorder ||
        die "recording through the scripted driver failed"
    statements=$(grep -c '^"INSERT INTO' "$journal" || true)

    plugin_times=()
    direct_times=()
    copy_times=()
    csv="$work/rows-$batch.csv"
    for _ in $(seq 1 "$repeat"); do
        echo "== batch size $batch: plugin" >&2
        reset_schema
        summary=$(ODBCSYSINI="$EMULATOR_DIR" "$runner" "${runner_args[@]}" --batch-size "$batch" \
            --set "server=$EMULATOR_HOST" --set "port=$EMULATOR_PORT" \
            --set "schema=$EMULATOR_DATABASE" --set "user=$EMULATOR_USER" \
            --set "password=$EMULATOR_PASSWORD") || die "the plugin did not deliver every reading"
        plugin_times+=("$(awk '/^elapsed:/ { print $2 }' <<<"$summary")")
        [[ "$(row_count)" == "$readings" ]] || die "the plugin run left $(row_count) rows"
        sql -c "\\copy \"$EMULATOR_SCHEMA\".\"asset_0\" TO '$csv' WITH (FORMAT csv)"

        echo "== batch size $batch: direct statements" >&2
        reset_schema
        out=$(SQL_REPLAY_CONNECTION="$EMULATOR_CONNECTION_STRING" ODBCSYSINI="$EMULATOR_DIR" \
            "$replay" "$journal") || die "replaying the statements failed"
        direct_times+=("$(awk '/^seconds/ { print $2 }' <<<"$out")")
        [[ "$(row_count)" == "$readings" ]] || die "the replay left $(row_count) rows"

        echo "== batch size $batch: COPY" >&2
        reset_schema
        SQL_REPLAY_CONNECTION="$EMULATOR_CONNECTION_STRING" ODBCSYSINI="$EMULATOR_DIR" \
            "$replay" --prefix "CREATE TABLE" "$journal" >/dev/null || die "creating the table failed"
        start=$(now)
        sql -c "\\copy \"$EMULATOR_SCHEMA\".\"asset_0\" FROM '$csv' WITH (FORMAT csv)"
        copy_times+=("$(awk -v a="$start" -v b="$(now)" 'BEGIN { printf "%.6f", b - a }')")
        [[ "$(row_count)" == "$readings" ]] || die "the COPY left $(row_count) rows"
    done

    plugin_rate=$(rate "$(best "${plugin_times[@]}")")
    direct_rate=$(rate "$(best "${direct_times[@]}")")
    copy_rate=$(rate "$(best "${copy_times[@]}")")
    to_direct=$(ratio "$plugin_rate" "$direct_rate")
    to_copy=$(ratio "$plugin_rate" "$copy_rate")
    if awk -v r="$to_direct" -v t="$TARGET_RATIO" 'BEGIN { exit !(r < t) }'; then
        below=true
    fi
    results+=("$(printf '%8s %10s %10s %10s %10s %14s %12s' "$batch" "$statements" \
        "$plugin_rate" "$direct_rate" "$copy_rate" "$to_direct" "$to_copy")")
done

echo
echo "$readings readings, $datapoints datapoints each (+ seq), one table; readings/s, fastest of $repeat"
printf '%8s %10s %10s %10s %10s %14s %12s\n' batch inserts plugin direct copy plugin/direct plugin/copy
printf '%s\n' "${results[@]}"
if $below; then
    echo "plugin/direct below the target of $TARGET_RATIO"
    $enforce && exit 3
else
    echo "plugin/direct at or above the target of $TARGET_RATIO"
fi
exit 0
