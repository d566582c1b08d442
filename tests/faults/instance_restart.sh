#!/usr/bin/env bash
# The plugin instance is shut down and created again between batches: the readings are sent in
# consecutive slices, each by a runner of its own (plugin_init ... plugin_shutdown). Each new
# instance must find the tables and columns of the earlier ones: nothing lost, no table
# created twice, no column added twice, each table's columns read once per instance.
#
# Usage: instance_restart.sh [RUNNER [PLUGIN]]
# Environment: FAULT_READINGS (default 100000), FAULT_SLICES (default 5).
set -euo pipefail
FAULT_NAME=instance_restart
FAULT_TIME_LIMIT=${FAULT_TIME_LIMIT:-240}
# shellcheck source=tests/faults/lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh" "$@"

readings="${FAULT_READINGS:-100000}"
slices="${FAULT_SLICES:-5}"
tables=(pump Pump routed)

python3 "$FAULTS_DIR/instance_readings.py" --readings "$readings" --slices "$slices" \
    --out-dir "$WORK_DIR" || fail "cannot write the readings"
expected="$WORK_DIR/expected.json"
expect() { python3 -c 'import json, sys; print(eval(sys.argv[2], {"e": json.load(open(sys.argv[1]))}))' "$expected" "$1"; }

start_emulator
mapfile -t connection < <(runner_connection_args)

# The debug log repeats every INSERT in full: only the lines this test reads are kept. A request
# of several statements is logged as one line per statement, the first behind the prefix.
keep='^((ERROR|WARNING): |([A-Z]+: Executing (query|request of [0-9]+ statements): )?(CREATE TABLE|ALTER TABLE|SELECT column_name))'
for ((index = 0; index < slices; index++)); do
    log="$WORK_DIR/slice-$index.log"
    set +e
    "$RUNNER" "${connection[@]}" --readings "$WORK_DIR/slice-$index.json" --batch-size 1000 \
        --retry-interval 1 --max-retries 3 --log-level debug 2>&1 >"$WORK_DIR/slice-$index.out" |
        grep -a -E "$keep" >"$log"
    statuses=("${PIPESTATUS[@]}")
    set -e
    [[ ${statuses[0]} -eq 0 ]] || fail "slice $index: the runner exited with ${statuses[0]}"

    # The plugin's own tables ("CREATE TABLE IF NOT EXISTS", and the reject table's columns
    # looked up and brought up to date when an instance starts) are not counted.
    creates=$(grep -cE '(^|: )CREATE TABLE "' "$log" || true)
    alters=$(grep -E '(^|: )ALTER TABLE' "$log" | grep -cv 'ALTER TABLE "_varnholt_' || true)
    lookups=$(grep -E '(^|: )SELECT column_name' "$log" | grep -cv "table_name = \$\$_varnholt_" || true)
    want_creates=$(expect "e['slices'][$index]['creates']")
    want_alters=$(expect "e['slices'][$index]['alters']")
    want_lookups=$(expect "e['slices'][$index]['lookups']")
    log "instance $index: $creates CREATE TABLE, $alters ALTER TABLE, $lookups column lookups"
    [[ "$creates" == "$want_creates" ]] || fail "instance $index: $creates CREATE TABLE, expected $want_creates"
    [[ "$alters" == "$want_alters" ]] || {
        grep 'ALTER TABLE' "$log" | grep -v 'ALTER TABLE "_varnholt_' >&2 || true
        fail "instance $index: $alters ALTER TABLE, expected $want_alters"
    }
    [[ "$lookups" == "$want_lookups" ]] || fail "instance $index: $lookups column lookups, expected $want_lookups"
    if grep -a -E '^(ERROR|WARNING):' "$log" >&2; then
        fail "instance $index logged errors"
    fi
done

for table in "${tables[@]}"; do
    got=$(sql -c "SELECT string_agg(column_name, ',' ORDER BY ordinal_position)
        FROM information_schema.columns WHERE table_schema = '$EMULATOR_SCHEMA' AND table_name = \$\$$table\$\$")
    want=$(expect "','.join(e['columns']['$table'])")
    [[ "$got" == "$want" ]] || fail "table $table has the columns $got, expected $want"
done
duplicates=$(sql -c "SELECT count(*) FROM (SELECT table_name, column_name FROM information_schema.columns
    WHERE table_schema = '$EMULATOR_SCHEMA' GROUP BY 1, 2 HAVING count(*) > 1) AS d")
[[ "$duplicates" == 0 ]] || fail "$duplicates column names appear twice"
log "columns as expected in ${tables[*]}"

check_sequences "$readings" "${tables[@]}"
log "passed"
