#!/usr/bin/env bash
# Stops an emulator started by emulator-start.sh and removes its folder.
#
# Usage: emulator-stop.sh [--keep-data] <dir>
#   --keep-data  only stop the server; emulator-start.sh <dir> starts it again
#                on the same port with the same data.
set -euo pipefail

if [[ "${1:-}" == -h || "${1:-}" == --help ]]; then
    sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'
    exit 0
fi

readonly MARKER_NAME="emulator.marker"

die() {
    printf 'emulator-stop: error: %s\n' "$*" >&2
    exit 1
}

pg_bin="${EMULATOR_PG_BIN:-/usr/lib/postgresql/15/bin}"
keep=false
if [[ "${1:-}" == "--keep-data" ]]; then
    keep=true
    shift
fi
[[ $# -eq 1 && -n "$1" ]] || die "usage: $0 [--keep-data] <dir>"
dir="$1"

if [[ ! -e "$dir" ]]; then
    $keep && die "$dir does not exist"
    exit 0
fi
# Never delete a folder that this emulator did not make.
[[ -e "$dir/$MARKER_NAME" ]] || die "$dir is not an emulator folder (no $MARKER_NAME)"

data="$dir/data"
if [[ -f "$data/PG_VERSION" ]]; then
    owner=$(stat -c %U "$data")
    stop=("$pg_bin/pg_ctl" -D "$data" -m fast -w -t 30 stop)
    if [[ $(id -u) -eq 0 && "$owner" != "root" ]]; then
        stop=(runuser -u "$owner" -- "${stop[@]}")
    fi
    if "${stop[@]}" >/dev/null 2>&1; then
        printf 'emulator-stop: stopped the server in %s\n' "$dir" >&2
    elif [[ -f "$data/postmaster.pid" ]] && kill -0 "$(head -n 1 "$data/postmaster.pid")" 2>/dev/null; then
        die "the server in $dir did not stop; see $dir/server.log"
    fi
fi

if ! $keep; then
    # The watcher of the owning process has nothing left to guard. When the
    # watcher itself runs this script, it carries the recorded id.
    if [[ -f "$dir/watcher.pid" ]]; then
        watcher=$(cat "$dir/watcher.pid")
        if [[ "$watcher" =~ ^[0-9]+$ && "$watcher" != "$$" ]]; then
            kill "$watcher" 2>/dev/null || true
        fi
    fi
    rm -rf "$dir"
fi
