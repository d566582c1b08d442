#!/usr/bin/env bash
# The plugin reaches the database through a loopback proxy that lets every 8th COMMIT through (a
# steady batch's request ends with it) and resets the connection as soon as the database has
# answered it: the batch is committed but the plugin never hears so, and the host sends it
# again. Every sequence number must arrive exactly once: the resend finds the batch in the
# delivery ledger and writes nothing. The proxy holds each answer back 50 ms, like a distant
# database.
#
# Usage: commit_cut.sh [RUNNER [PLUGIN]]
# Environment: FAULT_READINGS (default 100000).
set -euo pipefail
FAULT_NAME=commit_cut
FAULT_TIME_LIMIT=${FAULT_TIME_LIMIT:-240}
# shellcheck source=tests/faults/lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh" "$@"

readings="${FAULT_READINGS:-100000}"
tables=(asset_0 asset_1 asset_2)

start_emulator
send_through_proxy --cuts commit --cut-every 8 --latency 0.05

failed=$(awk '/^failed attempts:/ { print $3 }' "$WORK_DIR/runner.out")
cuts=$(sed -n 's/.* \([0-9]*\) cuts,.*/\1/p' "$WORK_DIR/proxy.err")
found=$(grep -c "found in the delivery ledger" "$WORK_DIR/runner.err" || true)
log "run took $(elapsed "$started" "$finished") s: $cuts commits cut, $failed failed attempts," \
    "$found batches found in the ledger"
[[ "$cuts" -gt 0 ]] || fail "no COMMIT was cut while the runner sent"
[[ "$found" -eq "$cuts" ]] || fail "$cuts commits cut, but $found resent batches found in the ledger"

check_sequences "$readings" "${tables[@]}"
log "passed"
