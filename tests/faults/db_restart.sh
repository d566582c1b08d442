#!/usr/bin/env bash
# The database stops for 10 seconds and starts again while the runner sends sequenced readings:
# every sequence number must arrive exactly once. Reports the time from the restart to the first
# new row.
#
# Usage: db_restart.sh [RUNNER [PLUGIN]]
# Environment: FAULT_READINGS (default 100000), FAULT_OUTAGE (seconds, default 10).
set -euo pipefail
FAULT_NAME=db_restart
FAULT_TIME_LIMIT=${FAULT_TIME_LIMIT:-240}
# shellcheck source=tests/faults/lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh" "$@"

readings="${FAULT_READINGS:-100000}"
outage="${FAULT_OUTAGE:-10}"
tables=(asset_0 asset_1 asset_2)

start_emulator
mapfile -t connection < <(runner_connection_args)

log "sending $readings readings over ${#tables[@]} tables in batches of 1000"
"$RUNNER" "${connection[@]}" --generate "$readings" --assets "${#tables[@]}" --datapoints 10 \
    --batch-size 1000 --retry-interval 1 --max-retries 1000 --log-level info \
    >"$WORK_DIR/runner.out" 2>"$WORK_DIR/runner.err" &
runner_pid=$!
BACKGROUND_PIDS+=("$runner_pid")

# Stop the server as soon as the first rows arrived (tables made, schemas cached), so that the
# outage falls mid-run however fast the machine sends.
for _ in $(seq 1 600); do
    [[ $(row_count "${tables[@]}") -gt 0 ]] && break
    kill -0 "$runner_pid" 2>/dev/null || break
    sleep 0.1
done
kill -0 "$runner_pid" 2>/dev/null || fail "the runner ended before the outage: $(cat "$WORK_DIR/runner.err")"
before=$(row_count "${tables[@]}")
"$ROOT_DIR/scripts/emulator-stop.sh" --keep-data "$EMULATOR_DIR" 2>/dev/null
log "database stopped with $before rows delivered; down for $outage s"
sleep "$outage"
# Counted from the start command: the plugin may get in before the script has returned.
restarted=$(now)
"$ROOT_DIR/scripts/emulator-start.sh" "$EMULATOR_DIR" >/dev/null 2>&1 || fail "the server did not start again"
log "database started again"

recovered=""
for _ in $(seq 1 600); do
    if [[ $(row_count "${tables[@]}") -gt $before ]]; then
        recovered=$(now)
        break
    fi
    kill -0 "$runner_pid" 2>/dev/null || break
    sleep 0.1
done

status=0
wait "$runner_pid" || status=$?
BACKGROUND_PIDS=()
cat "$WORK_DIR/runner.out" >&2
[[ $status -eq 0 ]] || fail "the runner exited with $status: $(tail -n 5 "$WORK_DIR/runner.err")"
[[ -n "$recovered" ]] || recovered=$(now)
failed=$(awk '/^failed attempts:/ { print $3 }' "$WORK_DIR/runner.out")
log "first new row $(elapsed "$restarted" "$recovered") s after the restart; $failed failed attempts"
[[ "$failed" -gt 0 ]] || fail "no batch failed: the outage did not fall while the runner sent"

check_sequences "$readings" "${tables[@]}"
log "passed"
