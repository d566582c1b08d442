#!/usr/bin/env bash
# Rejected readings replayed while commits are cut: readings are first rejected for a type
# conflict (fractions for a column made as BIGINT), the column is made REAL by hand, then the
# runner sends new readings with replayRejects on through the loopback proxy that, at every 5th
# COMMIT, resets the connection once the database has answered it. A cut batch that
# carried replayed readings was committed whole (rows, reject rows deleted, ledger row) and is
# found in the delivery ledger when it is sent again. Every sequence number, new and replayed,
# must arrive exactly once, and the reject table must end empty.
#
# Usage: replay_commit_cut.sh [RUNNER [PLUGIN]]
# Environment: FAULT_READINGS (default 100000) new readings; half as many are rejected and
# replayed.
set -euo pipefail
FAULT_NAME=replay_commit_cut
FAULT_TIME_LIMIT=${FAULT_TIME_LIMIT:-240}
# shellcheck source=tests/faults/lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh" "$@"

readings="${FAULT_READINGS:-100000}"
rejected=$((readings / 2))
tables=(asset_0 asset_1 asset_2)

start_emulator
mapfile -t connection < <(runner_connection_args)

# seq from $readings on, so that they follow the generated ones; the first reading makes the
# column an integer one, the others carry fractions.
python3 - "$readings" "$rejected" "$WORK_DIR" <<'PY'
import json, sys
first, count, work = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
def reading(seq, temp):
    stamp = f"2024-06-01 {seq // 3600 % 24:02d}:{seq // 60 % 60:02d}:{seq % 60:02d}.{seq % 1000000:06d}"
    return json.dumps({"asset": "replayed", "user_ts": stamp, "ts": stamp,
                       "readings": {"seq": seq, "temp": temp}})
with open(f"{work}/seed.json", "w") as out:
    out.write(reading(-1, 21) + "\n")
with open(f"{work}/rejected.json", "w") as out:
    for seq in range(first, first + count):
        out.write(reading(seq, seq + 0.5) + "\n")
PY
"$RUNNER" "${connection[@]}" --readings "$WORK_DIR/seed.json" --max-retries 0 >/dev/null ||
    fail "the seed reading was not delivered"
"$RUNNER" "${connection[@]}" --readings "$WORK_DIR/rejected.json" --batch-size 1000 \
    --max-retries 0 >"$WORK_DIR/reject-run.out" 2>"$WORK_DIR/reject-run.err" || fail "the readings to reject were not delivered"
kept=$(sql -c "SELECT count(*) FROM \"$EMULATOR_SCHEMA\".\"_varnholt_rejects\"")
[[ "$kept" -eq "$rejected" ]] || fail "$kept readings in the reject table, expected $rejected"
sql -c "DELETE FROM \"$EMULATOR_SCHEMA\".replayed WHERE seq = -1"
sql -c "ALTER TABLE \"$EMULATOR_SCHEMA\".replayed ALTER COLUMN temp TYPE REAL"
log "$rejected readings rejected, column fixed"

RUNNER_SETTINGS=(--set replayRejects=true)
send_through_proxy --cuts commit --cut-every 5 --latency 0.02

cuts=$(sed -n 's/.* \([0-9]*\) cuts,.*/\1/p' "$WORK_DIR/proxy.err")
found=$(grep -c "found in the delivery ledger" "$WORK_DIR/runner.err" || true)
# Resent batches found in the ledger while replayed readings still rode along.
during=$(awk '/Replay of rejected readings done/ { exit } /found in the delivery ledger/ { n++ }
    END { print n + 0 }' "$WORK_DIR/runner.err")
replayed=$(awk '/^readings replayed:/ { print $3 }' "$WORK_DIR/runner.out")
log "run took $(elapsed "$started" "$finished") s: $cuts commits cut, $found batches found in the" \
    "ledger, $during of them while replaying; the runner counted $replayed replayed"
[[ "$cuts" -gt 0 ]] || fail "no COMMIT was cut while the runner sent"
[[ "$found" -eq "$cuts" ]] || fail "$cuts commits cut, but $found resent batches found in the ledger"
[[ "$during" -gt 0 ]] || fail "no commit was cut while rejected readings were replayed"
grep -q "Replay of rejected readings done: $rejected delivered" "$WORK_DIR/runner.err" ||
    fail "the replay did not finish with $rejected readings delivered"

left=$(sql -c "SELECT count(*) FROM \"$EMULATOR_SCHEMA\".\"_varnholt_rejects\"")
[[ "$left" -eq 0 ]] || fail "$left readings left in the reject table"
wrong=$(sql -c "SELECT count(*) FROM \"$EMULATOR_SCHEMA\".replayed WHERE temp <> seq + 0.5")
[[ "$wrong" -eq 0 ]] || fail "$wrong replayed readings with another value"
check_sequences "$((readings + rejected))" "${tables[@]}" replayed
log "passed"
