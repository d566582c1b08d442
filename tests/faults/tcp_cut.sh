#!/usr/bin/env bash
# The plugin reaches the database through a loopback proxy that resets the connection of every
# 7th request holding an INSERT as soon as it has forwarded it, while the runner sends sequenced
# readings: every sequence number must arrive. Cuts are counted in requests, so a run has as
# many however fast the machine is. A cut request may still run and commit on the server: the
# resend settles it and looks the batch up in the ledger, so nothing may arrive twice.
#
# Usage: tcp_cut.sh [RUNNER [PLUGIN]]
# Environment: FAULT_READINGS (default 100000).
set -euo pipefail
FAULT_NAME=tcp_cut
FAULT_TIME_LIMIT=${FAULT_TIME_LIMIT:-240}
# shellcheck source=tests/faults/lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh" "$@"

readings="${FAULT_READINGS:-100000}"
tables=(asset_0 asset_1 asset_2)

start_emulator
send_through_proxy --cuts requests --cut-every 7 --latency 0.02

failed=$(awk '/^failed attempts:/ { print $3 }' "$WORK_DIR/runner.out")
reconnects=$(grep -c "Database connection status: TOLVANE_ODBC_SUCCESS" "$WORK_DIR/runner.err" || true)
cuts=$(sed -n 's/.* \([0-9]*\) cuts,.*/\1/p' "$WORK_DIR/proxy.err")
log "run took $(elapsed "$started" "$finished") s: $cuts cuts, $failed failed attempts," \
    "$reconnects connections opened"
[[ "$failed" -gt 0 ]] || fail "no batch failed: the proxy cut nothing while the runner sent"

check_sequences "$readings" "${tables[@]}"
log "passed"
