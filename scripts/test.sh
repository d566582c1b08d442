#!/usr/bin/env bash
# The test command: installs what is missing, builds the normal and the sanitizer configuration,
# and runs every test (unit, driver-manager, plugin and end-to-end against the local emulator).
#
# Usage: test.sh [release] [asan]
#   release  the normal configuration, in build/
#   asan     AddressSanitizer and UndefinedBehaviorSanitizer, in build-asan/
# Without arguments both run. Exits 1 when a test failed.
set -euo pipefail

if [[ "${1:-}" == -h || "${1:-}" == --help ]]; then
    sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'
    exit 0
fi

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

"$root/scripts/install-deps.sh"

jobs="$(nproc 2>/dev/null || echo 2)"
configs=("${@:-release asan}")
status=0

for config in ${configs[@]}; do
    case "$config" in
        release)
            dir="$root/build"
            cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
            ;;
        asan)
            dir="$root/build-asan"
            cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DVARNHOLT_SANITIZE=ON \
                -DVARNHOLT_BUILD_BENCH=OFF >/dev/null
            export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
            export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
            if [ -f "$root/tests/lsan.supp" ]; then
                export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0"
            fi
            ;;
        *)
            echo "unknown configuration: $config (release or asan)" >&2
            exit 2
            ;;
    esac
    echo "== building $config in $dir" >&2
    cmake --build "$dir" -j"$jobs"
    echo "== testing $config" >&2
    if ! (cd "$dir" && ctest --output-on-failure --timeout 1500); then
        status=1
    fi
done

exit $status
