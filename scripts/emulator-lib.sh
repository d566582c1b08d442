# shellcheck shell=bash
# A private emulator for a script that measures or breaks the plugin (sourced, not run): started
# on behalf of the sourcing script's process, so that a watcher stops it even if that process is
# killed, and stopped by emulator_stop from the script's EXIT trap.

if [[ "${BASH_SOURCE[0]}" == "$0" ]]; then
    sed -n '2,/^$/p' "$0" | sed 's/^# \{0,1\}//'
    echo "Usage: . scripts/emulator-lib.sh, then emulator_start DIR and emulator_stop"
    exit 0
fi

EMULATOR_SCRIPTS_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
EMULATOR_DIR=""

# Starts the emulator with its settings and log in folder $1 and loads the settings (EMULATOR_*,
# ODBCSYSINI, not exported) into the shell. When it does not start, prints its log and fails.
emulator_start() {
    local work="$1"
    EMULATOR_OWNER_PID=$$ "$EMULATOR_SCRIPTS_DIR/emulator-start.sh" >"$work/emulator.env" \
        2>"$work/emulator.log" || {
        cat "$work/emulator.log" >&2
        return 1
    }
    # shellcheck disable=SC1091
    . "$work/emulator.env"
}

# Stops the emulator emulator_start started, if any.
emulator_stop() {
    if [[ -n "$EMULATOR_DIR" ]]; then
        "$EMULATOR_SCRIPTS_DIR/emulator-stop.sh" "$EMULATOR_DIR" >/dev/null 2>&1 || true
    fi
}

# psql as the plugin's login role; unaligned, tuples only, stops at the first error.
sql() {
    "$EMULATOR_SCRIPTS_DIR/emulator-psql.sh" "$EMULATOR_DIR" -v ON_ERROR_STOP=1 -Atq "$@"
}

# An empty schema for the plugin, as a new installation finds it.
reset_schema() {
    sql -c "SET client_min_messages = warning; DROP SCHEMA \"$EMULATOR_SCHEMA\" CASCADE; CREATE SCHEMA \"$EMULATOR_SCHEMA\";"
}
