#!/usr/bin/env bash
# A host that gives a batch up after its COMMIT's answer was lost, restarts, and sends the batch
# again to a new plugin instance. The first runner reaches the database through a loopback proxy
# that resets the connection once the database has answered the COMMIT, and gives the batch up
# after that one attempt; the batch is committed all the same. A second runner (a new process,
# the same instance name) sends the same readings directly: its first batch is looked up in the
# delivery ledger, found, and nothing is written again. Every sequence number must be in the
# tables exactly once.
#
# Usage: lost_commit_restart.sh [RUNNER [PLUGIN]]
set -euo pipefail
FAULT_NAME=lost_commit_restart
FAULT_TIME_LIMIT=${FAULT_TIME_LIMIT:-120}
# shellcheck source=tests/faults/lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh" "$@"

# One batch over two tables.
readings=1000
tables=(pump valve)
python3 - "$readings" >"$WORK_DIR/readings.json" <<'PY'
import json, sys
for seq in range(int(sys.argv[1])):
    stamp = f"2024-03-01 00:00:{seq // 1000:02d}.{seq % 1000 * 1000:06d}"
    print(json.dumps({"asset": "pump" if seq % 2 == 0 else "valve", "user_ts": stamp,
                      "ts": stamp, "readings": {"seq": seq, "level": seq / 4}}))
PY

start_emulator
started=$(now)

# Run 1: every COMMIT through the proxy loses its answer.
start_proxy --cuts commit --cut-every 1 --latency 0.02
mapfile -t connection < <(runner_connection_args "$PROXY_PORT")
status=0
"$RUNNER" "${connection[@]}" --readings "$WORK_DIR/readings.json" --batch-size "$readings" \
    --max-retries 0 --log-level info >"$WORK_DIR/run1.out" 2>"$WORK_DIR/run1.err" || status=$?
stop_proxy
cat "$WORK_DIR/run1.out" "$WORK_DIR/proxy.err" >&2
cuts=$(sed -n 's/.* \([0-9]*\) cuts,.*/\1/p' "$WORK_DIR/proxy.err")
[[ "$cuts" == 1 ]] || fail "run 1: expected one COMMIT cut, the proxy cut $cuts"
[[ $status -eq 3 ]] || fail "run 1: expected the batch given up (exit 3), the runner exited with $status"
grep -q '^readings undelivered: *'"$readings"'$' "$WORK_DIR/run1.out" ||
    fail "run 1: the batch was not reported undelivered"
committed=$(row_count "${tables[@]}")
[[ "$committed" == "$readings" ]] || fail "run 1: $committed rows in the tables, expected $readings committed"

# Run 2: a new process, the same readings, straight to the database.
mapfile -t connection < <(runner_connection_args)
status=0
"$RUNNER" "${connection[@]}" --readings "$WORK_DIR/readings.json" --batch-size "$readings" \
    --max-retries 0 --log-level info >"$WORK_DIR/run2.out" 2>"$WORK_DIR/run2.err" || status=$?
cat "$WORK_DIR/run2.out" >&2
[[ $status -eq 0 ]] || fail "run 2: the runner exited with $status: $(tail -n 5 "$WORK_DIR/run2.err")"
finished=$(now)

check_sequences "$readings" "${tables[@]}"
grep -q "Batch of $readings readings found in the delivery ledger" "$WORK_DIR/run2.err" ||
    fail "run 2: the batch was not found in the delivery ledger"
log "passed in $(elapsed "$started" "$finished") s after the emulator started"
