#!/usr/bin/env bash
# Hostile names and values (hostile_cases.json) sent through the runner into the emulator:
# each lands byte for byte where the plugin's rules put it (read back with psql) or, for names
# no database takes as they are, is left out with a log line; the rest of its batch lands;
# the canary tables in the plugin's schema and in public stay untouched; the password, which
# holds ';' and '}' and is really checked by the server here, shows in no log line.
# Also shows that a text longer than its VARCHAR(256) column lengthens the column and lands.
#
# Usage: hostile_input.sh [--group main|names] [RUNNER [PLUGIN]]
#   main   (default) all cases in one batch, then the over-long text
#   names  names with NUL bytes and the empty datapoint name, each in a batch of its own
set -euo pipefail
group="${HOSTILE_GROUP:-main}"
if [[ "${1:-}" == "--group" ]]; then
    group="$2"
    shift 2
fi
# Kept across the re-execution under the time limit.
export HOSTILE_GROUP="$group"
[[ "$group" == main || "$group" == names ]] || {
    echo "hostile_input: unknown group $group" >&2
    exit 2
}
FAULT_NAME=hostile_input
FAULT_TIME_LIMIT=${FAULT_TIME_LIMIT:-120}
# shellcheck source=tests/faults/lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh" "$@"

readonly PASSWORD='Pw-7f3c;x}y'
cases="$FAULTS_DIR/hostile_cases.json"
checker="$FAULTS_DIR/hostile_check.py"

start_emulator

# Canaries the plugin's role could drop if a statement were ever injected.
sql -c "CREATE TABLE \"$EMULATOR_SCHEMA\".canary (id integer, note text);
    INSERT INTO \"$EMULATOR_SCHEMA\".canary VALUES (1, 'canary row');"
sql_admin -c "CREATE TABLE public.canary (id integer, note text);
    INSERT INTO public.canary VALUES (1, 'canary row');
    ALTER TABLE public.canary OWNER TO \"$EMULATOR_USER\";"

# From here on the server checks the role's password (scram-sha-256) on TCP connections; the
# superuser, which only this script uses, stays trusted.
sql_admin -c "ALTER ROLE \"$EMULATOR_USER\" PASSWORD '$PASSWORD'"
cat >"$EMULATOR_DIR/data/pg_hba.conf" <<EOF
local all all trust
host all postgres 127.0.0.1/32 trust
host all all 127.0.0.1/32 scram-sha-256
EOF
sql_admin -c "SELECT pg_reload_conf()" >/dev/null
if PGPASSWORD=wrong "$EMULATOR_PG_BIN/psql" -X -h "$EMULATOR_HOST" -p "$EMULATOR_PORT" \
    -U "$EMULATOR_USER" -d "$EMULATOR_DATABASE" -c "SELECT 1" >/dev/null 2>&1; then
    fail "the server accepts a wrong password: the password check would prove nothing"
fi

mapfile -t connection < <(runner_connection_args)
connection+=(--set "password=$PASSWORD")
export PSQL="$EMULATOR_PG_BIN/psql" PGHOST="$EMULATOR_HOST" PGPORT="$EMULATOR_PORT" \
    PGDATABASE="$EMULATOR_DATABASE" PGUSER=postgres PGCLIENTENCODING=UTF8

python3 "$checker" readings "$cases" "$group" "$WORK_DIR/readings.json"
logs=()
if [[ "$group" == main ]]; then
    # One batch, one attempt: a single case that broke its statement would fail them all.
    status=0
    "$RUNNER" "${connection[@]}" --readings "$WORK_DIR/readings.json" --batch-size 10000 \
        --max-retries 0 --log-level debug >"$WORK_DIR/run.out" 2>"$WORK_DIR/run.log" || status=$?
    logs+=("$WORK_DIR/run.log")
    [[ $status -eq 0 ]] || {
        grep -a -E '^(ERROR|WARNING):' "$WORK_DIR/run.log" >&2 || true
        fail "the batch of hostile cases was not delivered (exit $status)"
    }
else
    for readings in "$WORK_DIR"/readings.json.*; do
        index="${readings##*.}"
        status=0
        "$RUNNER" "${connection[@]}" --readings "$readings" --max-retries 0 --log-level debug \
            >"$WORK_DIR/run-$index.out" 2>"$WORK_DIR/run-$index.log" || status=$?
        logs+=("$WORK_DIR/run-$index.log")
        [[ $status -eq 0 ]] || {
            log "FAIL case $index: its batch was not delivered (exit $status)"
            undelivered=1
        }
    done
fi

verdict=${undelivered:-0}
python3 "$checker" verify "$cases" "$group" "${logs[@]}" || verdict=1

if [[ "$group" == main ]]; then
    # A text longer than its VARCHAR(256) column: the column is lengthened before the batch's
    # transaction and the text lands whole, at the first attempt; the table before it is written
    # once.
    long=$(printf 'L%.0s' $(seq 1 300))
    printf '%s\n' '{"asset": "aaa_before", "readings": {"n": 1}}' \
        "{\"asset\": \"zzz_long\", \"readings\": {\"v\": \"short\"}}" >"$WORK_DIR/setup.json"
    "$RUNNER" "${connection[@]}" --readings "$WORK_DIR/setup.json" --max-retries 0 \
        --log-level warning >/dev/null 2>&1 || fail "could not create the tables for the long text"
    sql_admin -c "TRUNCATE \"$EMULATOR_SCHEMA\".aaa_before, \"$EMULATOR_SCHEMA\".zzz_long"
    printf '%s\n' '{"asset": "aaa_before", "readings": {"n": 2}}' \
        "{\"asset\": \"zzz_long\", \"readings\": {\"v\": \"$long\"}}" >"$WORK_DIR/long.json"
    status=0
    "$RUNNER" "${connection[@]}" --readings "$WORK_DIR/long.json" --max-retries 2 \
        --retry-interval 0.2 --log-level debug >"$WORK_DIR/long.out" 2>"$WORK_DIR/long.log" ||
        status=$?
    logs+=("$WORK_DIR/long.log")
    written=$(sql_admin -c "SELECT count(*) FROM \"$EMULATOR_SCHEMA\".zzz_long WHERE v = '$long'")
    before=$(sql_admin -c "SELECT count(*) FROM \"$EMULATOR_SCHEMA\".aaa_before")
    refused=$(grep -c "Failed to execute database query for table 'zzz_long'" "$WORK_DIR/long.log" || true)
    log "300-character text: runner exit $status, $refused refused INSERTs, $written rows of it written whole, $before rows of the table before it"
    [[ $status -eq 0 && "$written" == 1 && "$before" == 1 && "$refused" == 0 ]] ||
        { log "FAIL the over-long text did not land whole at the first attempt"; verdict=1; }
    grep -q 'ALTER TABLE "zzz_long" ALTER COLUMN "v" SET DATA TYPE VARCHAR(1024)' "$WORK_DIR/long.log" ||
        { log "FAIL the column was not lengthened"; verdict=1; }
fi

# Every log line of every run, debug included, must be free of the password.
if grep -a -n -F -e "$PASSWORD" -e "7f3c" "${logs[@]}" "$WORK_DIR"/*.out >&2; then
    log "FAIL the password shows in the output above"
    verdict=1
else
    log "ok   password: in none of $(cat "${logs[@]}" | wc -l) log lines"
fi

[[ $verdict -eq 0 ]] || fail "see the lines marked FAIL"
log "passed"
