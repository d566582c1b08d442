#!/usr/bin/env bash
# Installs what building, testing and the demo need, from Debian's packages, when missing.
# Uses apt-get (through sudo when not run as root); does nothing when all is there.
#
# Usage: install-deps.sh
set -euo pipefail

if [[ "${1:-}" == -h || "${1:-}" == --help ]]; then
    sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'
    exit 0
fi

packages=(
    build-essential cmake git pkg-config file
    unixodbc unixodbc-dev odbc-postgresql
    rapidjson-dev libxxhash-dev libgtest-dev googletest libbenchmark-dev
    postgresql
    clang-14 libclang-rt-14-dev
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done
if ! command -v python3 >/dev/null 2>&1; then
    missing+=(python3)
fi

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

echo "Installing: ${missing[*]}" >&2
if [ "$(id -u)" -ne 0 ]; then
    SUDO=sudo
else
    SUDO=
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
