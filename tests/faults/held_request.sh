#!/usr/bin/env bash
# A request that outlives its connection. Every INSERT into the readings' table is held 3 s on
# the server by a trigger, and the loopback proxy resets the connection of a batch's request
# 0.3 s after forwarding it: the server goes on running the request, which would commit after
# the plugin had reconnected, found nothing in the ledger and written the batch again. The
# plugin first cancels the lost session's queries and waits until none runs; only then is the
# ledger trusted.
#   1. One runner: every 2nd batch request is cut; the runner resends after 1 s, while the cut
#      request is still held.
#   2. A new process: the first runner gives its batch up after the cut and exits; a second
#      one, started while the cut request is still held, sends the same readings straight to
#      the database and must find that request by its query history.
# Each round fails when no cut request was still running to be cancelled, and when any sequence
# number is missing or written twice.
#
# Usage: held_request.sh [RUNNER [PLUGIN]]
set -euo pipefail
FAULT_NAME=held_request
FAULT_TIME_LIMIT=${FAULT_TIME_LIMIT:-180}
# shellcheck source=tests/faults/lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh" "$@"

readings=2000
batch=500
tables=(held)
python3 - "$readings" >"$WORK_DIR/readings.json" <<'PY'
import json, sys
for seq in range(int(sys.argv[1])):
    stamp = f"2024-03-01 00:{seq // 60000:02d}:{seq // 1000 % 60:02d}.{seq % 1000 * 1000:06d}"
    print(json.dumps({"asset": "held", "user_ts": stamp, "ts": stamp,
                      "readings": {"seq": seq, "level": seq / 4}}))
PY
head -n 1 "$WORK_DIR/readings.json" | sed 's/"seq": 0/"seq": -1/' >"$WORK_DIR/seed.json"
head -n "$batch" "$WORK_DIR/readings.json" >"$WORK_DIR/first-batch.json"

start_emulator
mapfile -t direct < <(runner_connection_args)
"$RUNNER" "${direct[@]}" --readings "$WORK_DIR/seed.json" --max-retries 0 >/dev/null 2>&1 ||
    fail "the seed reading was not delivered"
sql_admin <<SQL >/dev/null || fail "cannot set up the holding trigger"
DELETE FROM "$EMULATOR_SCHEMA".held;
CREATE FUNCTION public.hold_insert() RETURNS trigger LANGUAGE plpgsql AS \$\$
BEGIN PERFORM pg_sleep(3); RETURN NULL; END \$\$;
CREATE TRIGGER hold BEFORE INSERT ON "$EMULATOR_SCHEMA".held
    FOR EACH STATEMENT EXECUTE FUNCTION public.hold_insert();
SQL
cancelled_statements() { grep -c "canceling statement due to user request" "$EMULATOR_DIR/server.log" || true; }
started=$(now)

# Round 1: a reconnect resends.
start_proxy --cuts requests --cut-every 2 --cut-delay 0.3
mapfile -t proxied < <(runner_connection_args "$PROXY_PORT")
status=0
"$RUNNER" "${proxied[@]}" --readings "$WORK_DIR/readings.json" --batch-size "$batch" \
    --retry-interval 1 --max-retries 20 --log-level info >"$WORK_DIR/round1.out" 2>"$WORK_DIR/round1.err" ||
    status=$?
stop_proxy
cat "$WORK_DIR/round1.out" "$WORK_DIR/proxy.err" >&2
[[ $status -eq 0 ]] || fail "round 1: the runner exited with $status: $(tail -n 5 "$WORK_DIR/round1.err")"
cuts=$(sed -n 's/.* \([0-9]*\) cuts,.*/\1/p' "$WORK_DIR/proxy.err")
settled=$(grep -c "whose answer was lost are cancelled and no longer run" "$WORK_DIR/round1.err" || true)
cancelled=$(cancelled_statements)
log "round 1 took $(elapsed "$started" "$(now)") s: $cuts requests cut, $settled settled," \
    "$cancelled held statements cancelled on the server"
[[ "$cuts" -gt 0 ]] || fail "round 1: no request was cut"
[[ "$settled" -eq "$cuts" ]] || fail "round 1: $cuts requests cut, $settled settled"
[[ "$cancelled" -gt 0 ]] || fail "round 1: no cut request was still running when it was settled"
check_sequences "$readings" "${tables[@]}"

# Round 2: a new process resends.
sql -c "TRUNCATE \"$EMULATOR_SCHEMA\".held, \"$EMULATOR_SCHEMA\".\"_varnholt_ledger\""
round2=$(now)
start_proxy --cuts requests --cut-every 1 --cut-delay 0.3
mapfile -t proxied < <(runner_connection_args "$PROXY_PORT")
status=0
"$RUNNER" "${proxied[@]}" --readings "$WORK_DIR/first-batch.json" --batch-size "$batch" \
    --max-retries 0 --log-level info >"$WORK_DIR/round2-first.out" 2>"$WORK_DIR/round2-first.err" ||
    status=$?
stop_proxy
[[ $status -eq 3 ]] || fail "round 2: expected the batch given up (exit 3), the first runner exited with $status"
before=$(cancelled_statements)
status=0
"$RUNNER" "${direct[@]}" --readings "$WORK_DIR/readings.json" --batch-size "$batch" \
    --retry-interval 1 --max-retries 5 --log-level info >"$WORK_DIR/round2.out" 2>"$WORK_DIR/round2.err" ||
    status=$?
cat "$WORK_DIR/round2.out" >&2
[[ $status -eq 0 ]] || fail "round 2: the second runner exited with $status: $(tail -n 5 "$WORK_DIR/round2.err")"
settled=$(grep -c "whose answer was lost are cancelled and no longer run" "$WORK_DIR/round2.err" || true)
cancelled=$(($(cancelled_statements) - before))
log "round 2 took $(elapsed "$round2" "$(now)") s: the new process settled $settled sessions," \
    "$cancelled held statements cancelled on the server"
[[ "$settled" -eq 1 && "$cancelled" -eq 1 ]] ||
    fail "round 2: the cut request was not found running and cancelled by the new process"
check_sequences "$readings" "${tables[@]}"
log "passed in $(elapsed "$started" "$(now)") s after the emulator started"
