# shellcheck shell=bash
# Shared by the fault scripts (sourced, not run): hard time limit, a private emulator that is
# stopped on every way out (scripts/emulator-lib.sh, with psql access), the loopback proxy, and
# the "every sequence number arrived exactly once" check.
#
# A script sets FAULT_NAME and FAULT_TIME_LIMIT (seconds) and sources this file with its
# arguments still in "$@": [RUNNER [PLUGIN]] (default: build/tools/north_runner and
# build/libvarnholt.so.1 of the source tree).

FAULTS_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
ROOT_DIR="$(cd "$FAULTS_DIR/../.." && pwd)"

# The whole script runs under timeout(1), which signals the script's process group (the runner
# and helpers included) when the limit passes; the EXIT trap then stops the emulator.
if [[ -z "${FAULT_UNDER_TIMEOUT:-}" ]]; then
    export FAULT_UNDER_TIMEOUT=1
    exec timeout --kill-after=15 "${FAULT_TIME_LIMIT:-300}" "$0" "$@"
fi

RUNNER="${1:-$ROOT_DIR/build/tools/north_runner}"
PLUGIN="${2:-$ROOT_DIR/build/libvarnholt.so.1}"
[[ -x "$RUNNER" ]] || {
    echo "$FAULT_NAME: runner $RUNNER not found (build the target north_runner)" >&2
    exit 1
}
[[ -f "$PLUGIN" ]] || {
    echo "$FAULT_NAME: plugin $PLUGIN not found (build the target varnholt)" >&2
    exit 1
}

WORK_DIR="$(mktemp -d "${TMPDIR:-/tmp}/varnholt-$FAULT_NAME.XXXXXX")"
# shellcheck source=scripts/emulator-lib.sh
. "$ROOT_DIR/scripts/emulator-lib.sh"
# Processes started in the background register here; they are ended by id on exit.
BACKGROUND_PIDS=()

log() { printf '%s: %s\n' "$FAULT_NAME" "$*" >&2; }
fail() {
    printf '%s: FAILED: %s\n' "$FAULT_NAME" "$*" >&2
    exit 1
}

fault_cleanup() {
    local status=$?
    local pid
    for pid in "${BACKGROUND_PIDS[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${BACKGROUND_PIDS[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    emulator_stop
    if [[ $status -ne 0 && -z "${FAULT_KEEP_WORK:-}" ]]; then
        log "work folder kept for inspection: $WORK_DIR"
    elif [[ -z "${FAULT_KEEP_WORK:-}" ]]; then
        rm -rf "$WORK_DIR"
    fi
    exit $status
}
trap fault_cleanup EXIT
trap 'exit 143' TERM
trap 'exit 130' INT

# Starts a private emulator and loads its settings (EMULATOR_*, ODBCSYSINI) into the shell.
start_emulator() {
    emulator_start "$WORK_DIR" || fail "the emulator did not start"
    export ODBCSYSINI
}

# psql as the superuser, for server settings.
sql_admin() {
    PGPASSWORD='' "$EMULATOR_PG_BIN/psql" -X -v ON_ERROR_STOP=1 -Atq -h "$EMULATOR_HOST" \
        -p "$EMULATOR_PORT" -U postgres -d "$EMULATOR_DATABASE" "$@"
}

# The runner's settings for the emulator; the port may be overridden (a proxy in between).
runner_connection_args() {
    local port="${1:-$EMULATOR_PORT}"
    printf '%s\n' --plugin "$PLUGIN" --set "server=$EMULATOR_HOST" --set "port=$port" \
        --set "schema=$EMULATOR_DATABASE" --set "user=$EMULATOR_USER" \
        --set "password=$EMULATOR_PASSWORD"
}

# Rows of the given tables of the plugin's schema together, 0 while none exists yet.
row_count() {
    local union="" table
    for table in "$@"; do
        [[ -z "$union" ]] || union+=" UNION ALL "
        union+="SELECT count(*) AS n FROM \"$EMULATOR_SCHEMA\".\"$table\""
    done
    sql -c "SELECT coalesce(sum(n), 0) FROM ($union) AS t" 2>/dev/null || echo 0
}

# Passes when seq 0..expected-1 all arrived in the given tables together, each exactly once (a
# resent batch must write nothing twice); prints the figures and leaves them in MISSING and
# DUPLICATES.
check_sequences() {
    local expected="$1"
    shift
    local union="" table
    for table in "$@"; do
        [[ -z "$union" ]] || union+=" UNION ALL "
        union+="SELECT seq FROM \"$EMULATOR_SCHEMA\".\"$table\""
    done
    local figures
    figures=$(sql -F ' ' -c "SELECT count(*), count(DISTINCT seq),
        count(DISTINCT seq) FILTER (WHERE seq >= 0 AND seq < $expected), coalesce(min(seq), -1),
        coalesce(max(seq), -1), count(*) FILTER (WHERE seq IS NULL) FROM ($union) AS t") ||
        fail "cannot read the delivered rows"
    local rows distinct in_range low high nulls
    read -r rows distinct in_range low high nulls <<<"$figures"
    DUPLICATES=$((rows - distinct - nulls))
    MISSING=$((expected - in_range))
    log "rows $rows, distinct seq $distinct, min $low, max $high, missing $MISSING, duplicates $DUPLICATES"
    [[ "$MISSING" == 0 && "$distinct" == "$expected" && "$nulls" == 0 ]] ||
        fail "expected every seq from 0 to $((expected - 1)); $MISSING missing"
    [[ "$DUPLICATES" == 0 ]] || fail "$DUPLICATES rows written twice"
}

# Starts tcp_cut_proxy.py in front of the emulator with the given options (its output goes to
# proxy.err in the work folder) and sets PROXY_PORT and PROXY_PID.
start_proxy() {
    # A port file of an earlier proxy in the same run is not this one's.
    rm -f "$WORK_DIR/proxy.port"
    python3 "$FAULTS_DIR/tcp_cut_proxy.py" --target "$EMULATOR_PORT" --port-file "$WORK_DIR/proxy.port" \
        --lifetime $((FAULT_TIME_LIMIT - 10)) "$@" 2>"$WORK_DIR/proxy.err" &
    PROXY_PID=$!
    BACKGROUND_PIDS+=("$PROXY_PID")
    for _ in $(seq 1 100); do
        [[ -s "$WORK_DIR/proxy.port" ]] && break
        sleep 0.1
    done
    [[ -s "$WORK_DIR/proxy.port" ]] || fail "the proxy did not start: $(cat "$WORK_DIR/proxy.err")"
    PROXY_PORT=$(cat "$WORK_DIR/proxy.port")
}

# Ends the proxy, which then prints what it did to proxy.err.
stop_proxy() {
    kill "$PROXY_PID" 2>/dev/null || true
    wait "$PROXY_PID" 2>/dev/null || true
    BACKGROUND_PIDS=()
}

# Seconds since the epoch with fractions.
now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", b - a }'; }

# Sends $readings generated readings over the tables in $tables through a proxy started with the
# given arguments, in batches of 1,000 with a retry every second, and fails unless the runner
# delivered them all; RUNNER_SETTINGS (an array of --set arguments) adds to the configuration.
# Sets $started and $finished; leaves runner.out, runner.err and proxy.err in the work folder.
RUNNER_SETTINGS=()
send_through_proxy() {
    start_proxy "$@"
    local connection status=0
    mapfile -t connection < <(runner_connection_args "$PROXY_PORT")
    log "sending $readings readings over ${#tables[@]} tables through the proxy on port $PROXY_PORT"
    started=$(now)
    "$RUNNER" "${connection[@]}" "${RUNNER_SETTINGS[@]}" --generate "$readings" --assets "${#tables[@]}" --datapoints 10 \
        --batch-size 1000 --retry-interval 1 --max-retries 1000 --log-level info \
        >"$WORK_DIR/runner.out" 2>"$WORK_DIR/runner.err" || status=$?
    finished=$(now)
    stop_proxy
    cat "$WORK_DIR/runner.out" "$WORK_DIR/proxy.err" >&2
    [[ $status -eq 0 ]] || fail "the runner exited with $status: $(tail -n 5 "$WORK_DIR/runner.err")"
}
