#!/usr/bin/env bash
# Opens psql on an emulator's database as its login role, so that the session
# sees what the plugin sees (search path, backslash escapes in literals).
#
# Usage: emulator-psql.sh <dir> [psql arguments...]
set -euo pipefail

if [[ "${1:-}" == -h || "${1:-}" == --help ]]; then
    sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'
    exit 0
fi

die() {
    printf 'emulator-psql: error: %s\n' "$*" >&2
    exit 1
}

[[ $# -ge 1 && -n "$1" ]] || die "usage: $0 <dir> [psql arguments...]"
dir="$1"
shift
[[ -f "$dir/env" ]] || die "$dir/env not found: start the emulator with emulator-start.sh first"

# shellcheck disable=SC1091
. "$dir/env"
export PGCLIENTENCODING=UTF8 PGPASSWORD="$EMULATOR_PASSWORD"
exec "$EMULATOR_PG_BIN/psql" -X -h "$EMULATOR_HOST" -p "$EMULATOR_PORT" -U "$EMULATOR_USER" \
    -d "$EMULATOR_DATABASE" "$@"
