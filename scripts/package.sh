#!/usr/bin/env bash
# Builds the plugin and the north runner and makes the Debian package that gateways install.
#
# Usage: package.sh [output-dir]
#   output-dir  where the .deb is written (default: build-package/packages)
#
# The build has its own folder (VARNHOLT_PACKAGE_BUILD_DIR, default build-package) without tests
# and benchmarks. VARNHOLT_PACKAGE_PREFIX (default /usr/local/tolvane, the host's default prefix)
# is where the package installs. Prints the path of the package on stdout.
set -euo pipefail

if [[ "${1:-}" == -h || "${1:-}" == --help ]]; then
    sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'
    exit 0
fi

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

[[ $# -le 1 ]] || {
    echo "usage: $0 [output-dir]" >&2
    exit 2
}

"$root/scripts/install-deps.sh"

build="${VARNHOLT_PACKAGE_BUILD_DIR:-$root/build-package}"
output="${1:-$build/packages}"
prefix_option=()
if [[ -n "${VARNHOLT_PACKAGE_PREFIX:-}" ]]; then
    prefix_option=(-DVARNHOLT_PACKAGE_PREFIX="$VARNHOLT_PACKAGE_PREFIX")
fi

echo "== building in $build" >&2
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVARNHOLT_BUILD_TESTS=OFF -DVARNHOLT_BUILD_BENCH=OFF "${prefix_option[@]}" >/dev/null
cmake --build "$build" -j"$(nproc 2>/dev/null || echo 2)" >&2

echo "== packaging into $output" >&2
mkdir -p "$output"
output="$(cd "$output" && pwd)"
(cd "$build" && cpack -G DEB -B "$output" --config "$build/CPackConfig.cmake") >&2
# The staging folder is only of use while cpack runs.
rm -rf "$output/_CPack_Packages"

version="$(sed -n 's/^set(CPACK_DEBIAN_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")"
package="$output/varnholt_${version}_$(dpkg --print-architecture).deb"
[[ -f "$package" ]] || {
    echo "package.sh: cpack did not write $package" >&2
    exit 1
}
dpkg-deb -I "$package" >&2
echo "$package"
