#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in their own build folder and runs each for a bounded
# time. Skips with a message and exit status 77 when clang or libFuzzer is not available.
#
# Usage: tests/fuzz/run.sh [seconds per target (default 30)] [build folder]
# Environment: FUZZ_CLANG (clang++-14), FUZZ_CC (clang-14).
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
seconds="${1:-30}"
build="${2:-$here/../../build-fuzz}"
cxx="${FUZZ_CLANG:-clang++-14}"
cc="${FUZZ_CC:-clang-14}"
[[ "$seconds" =~ ^[1-9][0-9]*$ ]] || {
    echo "fuzz: the time per target must be a positive number of seconds" >&2
    exit 2
}

skip() {
    echo "fuzz: skipped: $*"
    exit 77
}
command -v "$cxx" >/dev/null 2>&1 || skip "$cxx not found (apt-get install -y clang-14)"
probe="$(mktemp -d "${TMPDIR:-/tmp}/varnholt-fuzz-probe.XXXXXX")"
trap 'rm -rf "$probe"' EXIT
echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' \
    >"$probe/probe.cpp"
"$cxx" -fsanitize=fuzzer "$probe/probe.cpp" -o "$probe/probe" >/dev/null 2>&1 ||
    skip "$cxx cannot link libFuzzer (apt-get install -y libclang-rt-14-dev)"

echo "== building the fuzz targets in $build" >&2
CC="$cc" CXX="$cxx" cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc 2>/dev/null || echo 2)" >/dev/null

# Hint texts come from data sources nobody controls and may be of any size: that target takes
# inputs of up to 1 MiB, seeded with brackets nested deeper than a recursive parser survives and
# with a hint nested as deep as the size cap allows; libFuzzer's slowly growing input length would
# take long to reach either on its own.
declare -A options=([hint_fuzz]="-max_len=1048576" [literal_fuzz]="")
hint_seeds="$build/corpus-hint_fuzz"
mkdir -p "$hint_seeds"
brackets() { head -c "$2" /dev/zero | tr '\0' "$1"; }
brackets '[' 300000 >"$hint_seeds/seed-open-brackets"
{
    printf '{"tablename":"t","x":'
    brackets '[' 2000
    brackets ']' 2000
    printf '}'
} >"$hint_seeds/seed-nested-member"

status=0
for target in hint_fuzz literal_fuzz; do
    corpus="$build/corpus-$target"
    mkdir -p "$corpus"
    echo "== $target for $seconds s" >&2
    # A crash leaves its input as crash-* in the build folder; -timeout catches a hang.
    # shellcheck disable=SC2086  # the options are separate words
    if ! (cd "$build" && timeout --kill-after=10 $((seconds + 60)) "./$target" "$corpus" \
        -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        ${options[$target]} 2>"$build/$target.log"); then
        echo "fuzz: $target FAILED; see $build/$target.log" >&2
        tail -n 30 "$build/$target.log" >&2
        status=1
    else
        grep -E '^(stat::number_of_executed_units|Done)' "$build/$target.log" | tail -n 2 >&2
        echo "fuzz: $target passed"
    fi
done
exit $status
