#!/usr/bin/env bash
# End-to-end throughput against the local Snowflake emulator, next to the database's own cost
# for the same work:
#   plugin  the north runner sends generated readings through the plugin (readings/s as the
#           runner measures them, connection and table creation included);
#   direct  the very statements the plugin sends (recorded once through the scripted test
#           driver) replayed one by one with SQLExecDirect through the same ODBC driver, in the
#           same transactions (the journal's autocommit and commit entries become those calls);
#   copy    the same rows loaded with psql's \copy from a CSV file (without the emulator's
#           per-INSERT limits);
#   other   with --compare, the runner and plugin of another build (an earlier version, say),
#           run right after the plugin in every repetition, so that both see the same machine.
# Every measurement starts on an empty schema. Prints one line per batch size and the ratios
# plugin/direct and plugin/copy; the plugin is meant to reach 85% of the direct rate.
#
# Then, at batch 1,000, the same kind of readings read from a file twice: clean, and with one
# reading in every 1,000 after the first batch carrying the text "high" for an integer
# datapoint. The first batch is clean, so the column is made BIGINT (a column is typed for all of
# its values in the batch that makes it, and "high" in that batch would make it a text column);
# later, the database refuses "high", so the plugin isolates that reading and writes it to its
# reject table. The target: the run with bad readings reaches at least half the clean rate.
#
# Usage: scripts/throughput.sh [options]
#   --readings N       readings per run (default 100000)
#   --datapoints D     generated datapoints per reading besides seq (default 10)
#   --batch-sizes "B…" batch sizes to measure (default "1000 10000")
#   --repeat R         runs of each measurement, the fastest counts (default 1); a ratio of two
#                      plugin runs is the median of the ratios within each repetition
#   --build DIR        build folder (default build/; configured and built if needed)
#   --no-build         use the build folder as it is
#   --compare DIR      build folder of another version (tools/north_runner and libvarnholt.so.1
#                      built there) to measure next to this one
#   --no-rejects       skip the clean/bad readings comparison
#   --enforce          exit 3 when a plugin/direct ratio is below 0.85
# Takes about two minutes with the defaults on a two-core machine.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=scripts/emulator-lib.sh
. "$root/scripts/emulator-lib.sh"
readings=100000
datapoints=10
batch_sizes="1000 10000"
repeat=1
build="$root/build"
do_build=true
compare=""
rejects=true
enforce=false
readonly TARGET_RATIO=0.85 BAD_EVERY=1000 REJECT_BATCH=1000

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
        --compare) compare="$(cd "$2" 2>/dev/null && pwd || echo "$2")"; shift 2 ;;
        --no-rejects) rejects=false; shift ;;
        --enforce) enforce=true; shift ;;
        -h | --help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
        *) die "unknown option $1 (see --help)" ;;
    esac
done
[[ "$readings" =~ ^[1-9][0-9]*$ ]] || die "--readings must be a positive number"
[[ "$datapoints" =~ ^[0-9]+$ ]] || die "--datapoints must be a number"
[[ "$repeat" =~ ^[1-9][0-9]*$ ]] || die "--repeat must be a positive number"
if $rejects && [[ "$datapoints" -eq 0 ]]; then
    die "the bad readings need at least one datapoint (or --no-rejects)"
fi

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
if [[ -n "$compare" ]]; then
    for file in "$compare/tools/north_runner" "$compare/libvarnholt.so.1"; do
        [[ -e "$file" ]] || die "$file is missing: build the targets varnholt and north_runner in $compare"
    done
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/varnholt-throughput.XXXXXX")"
cleanup() {
    emulator_stop
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

echo "== starting the emulator" >&2
emulator_start "$work" || die "the emulator did not start"

row_count() { sql -c "SELECT count(*) FROM \"$EMULATOR_SCHEMA\".\"asset_0\""; }
now() { date +%s.%N; }

generated=(--generate "$readings" --assets 1 --datapoints "$datapoints")
emulator_args=(--max-retries 0 --log-level error --set "server=$EMULATOR_HOST"
    --set "port=$EMULATOR_PORT" --set "schema=$EMULATOR_DATABASE" --set "user=$EMULATOR_USER"
    --set "password=$EMULATOR_PASSWORD")

# Runs RUNNER with PLUGIN and the other options against an empty schema; prints the seconds the
# runner measured.
run_plugin() {
    local program="$1" library="$2"
    shift 2
    reset_schema
    local summary
    summary=$(ODBCSYSINI="$EMULATOR_DIR" "$program" --plugin "$library" "${emulator_args[@]}" "$@") ||
        die "the plugin did not deliver every reading"
    awk '/^elapsed:/ { print $2 }' <<<"$summary"
}

# Fastest of the runs: the machine may be busy with other work.
best() { printf '%s\n' "$@" | sort -g | head -n 1; }
rate() { awk -v n="$readings" -v s="$1" 'BEGIN { printf "%.0f", n / s }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
# Rate of the first of two runs over that of the second, from their times.
rate_ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b / a }'; }
median() {
    printf '%s\n' "$@" | sort -g |
        awk '{ v[NR] = $1 } END { printf "%.3f", NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

results=()
comparisons=()
below=false
for batch in $batch_sizes; do
    [[ "$batch" =~ ^[1-9][0-9]*$ ]] || die "batch size '$batch' is not a positive number"
    echo "== batch size $batch: recording the plugin's statements" >&2
    journal="$work/journal-$batch.jsonl"
    rm -f "$journal"
    ODBCSYSINI="$scripted_ini" SCRIPTED_ODBC_JOURNAL="$journal" "$runner" --plugin "$plugin" \
        "${generated[@]}" --batch-size "$batch" --max-retries 0 --log-level error --quiet \
        --set server=127.0.0.1 --set port=1 --set schema=recorded --set user=recorder \
        --set password=recorder || die "recording through the scripted driver failed"
    # The INSERTs of readings; the delivery ledger's rows are not counted.
    statements=$(grep '^"INSERT INTO' "$journal" | grep -vc '^"INSERT INTO \\"_varnholt_' || true)

    plugin_times=()
    other_times=()
    other_ratios=()
    direct_times=()
    copy_times=()
    csv="$work/rows-$batch.csv"
    for _ in $(seq 1 "$repeat"); do
        echo "== batch size $batch: plugin" >&2
        plugin_times+=("$(run_plugin "$runner" "$plugin" "${generated[@]}" --batch-size "$batch")")
        [[ "$(row_count)" == "$readings" ]] || die "the plugin run left $(row_count) rows"
        sql -c "\\copy \"$EMULATOR_SCHEMA\".\"asset_0\" TO '$csv' WITH (FORMAT csv)"

        if [[ -n "$compare" ]]; then
            echo "== batch size $batch: the other build's plugin" >&2
            other_times+=("$(run_plugin "$compare/tools/north_runner" "$compare/libvarnholt.so.1" \
                "${generated[@]}" --batch-size "$batch")")
            [[ "$(row_count)" == "$readings" ]] || die "the other build's run left $(row_count) rows"
            other_ratios+=("$(rate_ratio "${plugin_times[-1]}" "${other_times[-1]}")")
        fi

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
        # The emulator's trigger holds each INSERT to Snowflake's limits per statement; a bulk
        # load is not an INSERT there, so the COPY runs without it.
        sql -c "DROP TRIGGER snowflake_statement_limits ON \"$EMULATOR_SCHEMA\".\"asset_0\""
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
    if [[ -n "$compare" ]]; then
        comparisons+=("$(printf '%8s %10s %10s %16s   %s' "$batch" "$plugin_rate" \
            "$(rate "$(best "${other_times[@]}")")" "$(median "${other_ratios[@]}")" \
            "${other_ratios[*]}")")
    fi
done

# Readings like the runner's generated ones (one asset; seq, then integers, floats and texts in
# turn) as JSON lines; with a second argument N, the first integer of the reading in the middle
# of every N readings but the first N is "high".
write_readings() {
    python3 - "$readings" "$datapoints" "${2:-0}" >"$1" <<'PYTHON'
import json
import sys

count, datapoints, bad = (int(x) for x in sys.argv[1:4])
for index in range(count):
    values = {"seq": index}
    for j in range(datapoints):
        if j % 3 == 0:
            values[f"int_{j}"] = (index * 7919 + j * 104729) % 1000003
        elif j % 3 == 1:
            values[f"float_{j}"] = (index % 100000) * 0.25 + j + 0.125
        else:
            values[f"text_{j}"] = f"value {index}/{j}"
    if bad and index >= bad and index % bad == bad // 2:
        values["int_0"] = "high"
    seconds = index // 1000
    stamp = f"2024-03-01 {seconds // 3600 % 24:02d}:{seconds // 60 % 60:02d}:{seconds % 60:02d}." \
            f"{index % 1000 * 1000:06d}"
    print(json.dumps({"asset": "asset_0", "user_ts": stamp, "ts": stamp, "readings": values}))
PYTHON
}

reject_line=""
if $rejects; then
    write_readings "$work/clean.json"
    write_readings "$work/bad.json" "$BAD_EVERY"
    bad_count=$(grep -c '"int_0": "high"' "$work/bad.json" || true)
    [[ "$bad_count" -gt 0 ]] || die "--readings must exceed $BAD_EVERY for the bad readings run (or --no-rejects)"
    clean_times=()
    bad_times=()
    bad_ratios=()
    for _ in $(seq 1 "$repeat"); do
        echo "== batch size $REJECT_BATCH: clean readings from a file" >&2
        clean_times+=("$(run_plugin "$runner" "$plugin" --readings "$work/clean.json" \
            --batch-size "$REJECT_BATCH")")
        [[ "$(row_count)" == "$readings" ]] || die "the clean run left $(row_count) rows"
        echo "== batch size $REJECT_BATCH: one bad reading in $BAD_EVERY" >&2
        bad_times+=("$(run_plugin "$runner" "$plugin" --readings "$work/bad.json" \
            --batch-size "$REJECT_BATCH")")
        [[ "$(row_count)" == $((readings - bad_count)) ]] ||
            die "the run with bad readings left $(row_count) rows, expected $((readings - bad_count))"
        rejected=$(sql -c "SELECT count(*) FROM \"$EMULATOR_SCHEMA\".\"_varnholt_rejects\"")
        [[ "$rejected" == "$bad_count" ]] || die "$rejected readings rejected, expected $bad_count"
        bad_ratios+=("$(rate_ratio "${bad_times[-1]}" "${clean_times[-1]}")")
    done
    reject_line=$(printf '%8s %10s %10s %10s %10s   %s' "$REJECT_BATCH" \
        "$(rate "$(best "${clean_times[@]}")")" "$(rate "$(best "${bad_times[@]}")")" \
        "$bad_count" "$(median "${bad_ratios[@]}")" "${bad_ratios[*]}")
fi

echo
echo "$readings readings, $datapoints datapoints each (+ seq), one table; readings/s, fastest of $repeat"
printf '%8s %10s %10s %10s %10s %14s %12s\n' batch inserts plugin direct copy plugin/direct plugin/copy
printf '%s\n' "${results[@]}"
if [[ -n "$compare" ]]; then
    echo
    echo "against $compare: readings/s, fastest of $repeat; plugin/other is the median of the"
    echo "per-repetition rate ratios (each listed)"
    printf '%8s %10s %10s %16s   %s\n' batch plugin other plugin/other each
    printf '%s\n' "${comparisons[@]}"
fi
if [[ -n "$reject_line" ]]; then
    echo
    echo "read from a file, clean against one bad reading in $BAD_EVERY: readings/s, fastest of $repeat;"
    echo "bad/clean is the median of the per-repetition rate ratios (each listed)"
    printf '%8s %10s %10s %10s %10s   %s\n' batch clean "with bad" rejected bad/clean each
    echo "$reject_line"
fi
echo
if $below; then
    echo "plugin/direct below the target of $TARGET_RATIO"
    $enforce && exit 3
else
    echo "plugin/direct at or above the target of $TARGET_RATIO"
fi
exit 0
