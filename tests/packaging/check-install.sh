#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds the Debian package into a scratch folder,
# then checks both layouts and loads the installed plugin through the installed runner, as a
# gateway would after installing the package.
#
# Usage: check-install.sh <build-dir> <version-text> <debian-version> <package-prefix>
# CMAKE and CPACK name the tools to use (default: cmake and cpack from PATH).
set -uo pipefail
export LC_ALL=C

if [[ $# -ne 4 ]]; then
    echo "usage: $0 <build-dir> <version-text> <debian-version> <package-prefix>" >&2
    exit 2
fi
build=$(cd "$1" && pwd -P)
version_text="$2"
debian_version="$3"
package_prefix="$4"
source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd -P)
cmake_tool="${CMAKE:-cmake}"
cpack_tool="${CPACK:-cpack}"

readonly PLUGIN_DIR="plugins/north/varnholt"
readonly PRIVATE_LIB_DIR="lib/varnholt"
readonly DOC_DIR="share/doc/varnholt"
# shellcheck disable=SC2016 # the loader expands $ORIGIN, not the shell
readonly RUNNER_RUNPATH='$ORIGIN/../lib/varnholt'

scratch=$(mktemp -d "${TMPDIR:-/tmp}/varnholt-packaging.XXXXXX") || exit 1
trap 'rm -rf "$scratch"' EXIT

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
pass() { echo "ok: $*"; }
fatal() {
    echo "FAIL: $*" >&2
    exit 1
}

# Every file and link the install must lay out, relative to the prefix, in sorted order.
expected_files() {
    {
        echo "bin/north_runner"
        echo "$PRIVATE_LIB_DIR/libtolvane-common.so"
        echo "$PLUGIN_DIR/libvarnholt.so"
        echo "$PLUGIN_DIR/libvarnholt.so.1"
        echo "$DOC_DIR/README.md"
        (cd "$source_dir" && find examples docs -type f) | sed "s|^|$DOC_DIR/|"
    } | LC_ALL=C sort
}

# "RUNPATH:<value>" or "RPATH:<value>" per entry of an ELF file's dynamic section.
search_paths() {
    readelf -d "$1" | sed -n 's/.*(\(RUNPATH\|RPATH\)).*\[\(.*\)\]$/\1:\2/p'
}

check_search_paths() {
    local file="$1" expected="$2" what="$3" actual
    actual=$(search_paths "$file")
    if [[ "$actual" != "$expected" ]]; then
        fail "$what: search path '${actual:-none}', expected '${expected:-none}'"
    elif [[ -n "$actual" && ("$actual" == *"$build"* || "$actual" == *"$source_dir"*) ]]; then
        fail "$what: search path '$actual' points into the build or source tree"
    else
        pass "$what: search path '${actual:-none}'"
    fi
}

# The prefix holds exactly the expected files, the plugin without the host's common library,
# and binaries whose search paths do not reach back into the build tree.
check_layout() {
    local root="$1" what="$2" actual link
    actual=$(cd "$root" && find . \( -type f -o -type l \) | sed 's|^\./||' | LC_ALL=C sort)
    if [[ "$actual" != "$(expected_files)" ]]; then
        fail "$what: files differ from the expected layout:"
        diff <(expected_files) <(echo "$actual") | sed 's/^/    /' >&2
    else
        pass "$what: layout"
    fi
    if [[ -n "$(find "$root/plugins" -name 'libtolvane-common*' 2>/dev/null)" ]]; then
        fail "$what: the host's common library lies among the plugins"
    fi
    link=$(readlink "$root/$PLUGIN_DIR/libvarnholt.so" 2>/dev/null)
    [[ "$link" == "libvarnholt.so.1" ]] || fail "$what: libvarnholt.so links to '${link:-nothing}'"
    [[ -x "$root/bin/north_runner" ]] || fail "$what: bin/north_runner is not executable"
    if ! diff -r "$source_dir/examples" "$root/$DOC_DIR/examples" >/dev/null; then
        fail "$what: the examples differ from the source tree's"
    fi
    if ! cmp -s "$source_dir/README.md" "$root/$DOC_DIR/README.md"; then
        fail "$what: README.md differs from the source tree's"
    fi

    local plugin="$root/$PLUGIN_DIR/libvarnholt.so.1"
    [[ -f "$plugin" ]] || return
    if ! readelf -d "$plugin" | grep -Fq '(SONAME)             Library soname: [libvarnholt.so.1]'; then
        fail "$what: the plugin's SONAME is not libvarnholt.so.1"
    fi
    check_search_paths "$plugin" "" "$what: plugin"
    check_search_paths "$root/$PRIVATE_LIB_DIR/libtolvane-common.so" "" "$what: common library"
    check_search_paths "$root/bin/north_runner" "RUNPATH:$RUNNER_RUNPATH" "$what: runner"
}

# The installed runner loads the installed plugin the way the host does and prints its record.
check_runner() {
    local root="$1" what="$2" output resolved
    resolved=$(cd / && env -u LD_LIBRARY_PATH ldd "$root/bin/north_runner" |
        sed -n 's/^[[:space:]]*libtolvane-common\.so => \([^ ]*\).*/\1/p')
    if [[ "$resolved" != "$root/bin/../$PRIVATE_LIB_DIR/libtolvane-common.so" ]]; then
        fail "$what: the runner finds libtolvane-common.so at '${resolved:-nowhere}'"
    fi
    if ! output=$(cd / && env -u LD_LIBRARY_PATH "$root/bin/north_runner" \
        --plugin "$root/$PLUGIN_DIR/libvarnholt.so.1" --info 2>&1); then
        fail "$what: north_runner --info failed:"
        echo "$output" | sed 's/^/    /' >&2
        return
    fi
    if ! grep -Fxq "name:       varnholt" <<<"$output"; then
        fail "$what: no line 'name:       varnholt' in the runner's output:"
        echo "$output" | head -n 8 | sed 's/^/    /' >&2
    elif ! grep -Fxq "version:    $version_text" <<<"$output"; then
        fail "$what: no line 'version:    $version_text' in the runner's output:"
        echo "$output" | head -n 8 | sed 's/^/    /' >&2
    else
        pass "$what: the runner loads the plugin ($version_text)"
    fi
    # Without --plugin the installed runner takes the plugin installed beside it.
    if ! output=$(cd / && env -u LD_LIBRARY_PATH "$root/bin/north_runner" --info 2>&1) ||
        ! grep -Fxq "name:       varnholt" <<<"$output"; then
        fail "$what: north_runner --info without --plugin did not load the installed plugin:"
        echo "$output" | head -n 8 | sed 's/^/    /' >&2
    else
        pass "$what: the runner finds the plugin installed beside it"
    fi
}

# Package owning a library, trying the path as given and as merged /usr places it.
library_package() {
    local path="$1" candidate owner
    for candidate in "$path" "$(readlink -f "$path")" "${path#/usr}" "/usr${path}"; do
        if owner=$(dpkg -S "$candidate" 2>/dev/null) && [[ -n "$owner" ]]; then
            owner="${owner%%$'\n'*}"
            echo "${owner%%:*}"
            return
        fi
    done
}

# The packages providing what the installed binaries load, the common library excepted.
loaded_packages() {
    local root="$1" file
    for file in "$root/bin/north_runner" "$root/$PLUGIN_DIR/libvarnholt.so.1" \
        "$root/$PRIVATE_LIB_DIR/libtolvane-common.so"; do
        env -u LD_LIBRARY_PATH ldd "$file" | awk '$2 == "=>" && $3 ~ /^\// { print $3 }'
    done | grep -v '/libtolvane-common\.so$' | sort -u | while read -r library; do
        library_package "$library"
    done | sed 's/,.*//' | sort -u
}

# --- the install -------------------------------------------------------------------------------

prefix="$scratch/prefix"
if ! "$cmake_tool" --install "$build" --prefix "$prefix" >"$scratch/install.log" 2>&1; then
    cat "$scratch/install.log" >&2
    fatal "cmake --install failed"
fi
check_layout "$prefix" "install"
check_runner "$prefix" "install"

# --- the package -------------------------------------------------------------------------------

# CPack stages and writes into its own folder only; the configuration comes from the build tree.
packages="$scratch/cpack"
if ! (cd "$scratch" && "$cpack_tool" -G DEB -B "$packages" --config "$build/CPackConfig.cmake" \
    >"$scratch/cpack.log" 2>&1); then
    cat "$scratch/cpack.log" >&2
    find "$packages" -name PreinstallOutput.log -exec tail -n 30 {} + >&2
    fatal "cpack -G DEB failed"
fi
architecture=$(dpkg --print-architecture)
deb="$packages/varnholt_${debian_version}_${architecture}.deb"
[[ -f "$deb" ]] || fatal "no package $deb; cpack made: $(cd "$packages" && ls -- *.deb 2>/dev/null)"

field() { dpkg-deb -f "$deb" "$1"; }
[[ "$(field Package)" == "varnholt" ]] || fail "package name '$(field Package)'"
[[ "$(field Version)" == "$debian_version" ]] || fail "package version '$(field Version)'"
[[ "$(field Architecture)" == "$architecture" ]] || fail "architecture '$(field Architecture)'"
depends=$(field Depends)
depends_names=$(tr ',' '\n' <<<"$depends" | sed 's/[[:space:]]*\([^[:space:](|]*\).*/\1/' | sed '/^$/d' | sort -u)
grep -qx "libodbc2" <<<"$depends_names" || fail "the package does not depend on libodbc2: '$depends'"
grep -qi "tolvane" <<<"$depends_names" && fail "the package depends on the host's library: '$depends'"
loaded=$(loaded_packages "$prefix")
extra=$(comm -23 <(echo "$depends_names") <(echo "$loaded"))
[[ -z "$extra" ]] || fail "dependencies on packages nothing loads: ${extra//$'\n'/ } (Depends: $depends)"
pass "package: varnholt $(field Version), Depends: $depends"

# Every file lies under the package prefix, as the install laid it out.
listing=$(dpkg -c "$deb") || fatal "dpkg -c failed"
relative_prefix=".${package_prefix%/}/"
outside=$(awk '{ print $6 }' <<<"$listing" | while read -r path; do
    case "$path" in
        "$relative_prefix"*) ;;
        */) [[ "$relative_prefix" == "$path"* ]] || echo "$path" ;;
        *) echo "$path" ;;
    esac
done)
[[ -z "$outside" ]] || fail "package entries outside $package_prefix: ${outside//$'\n'/ }"
packaged=$(awk '$1 !~ /^d/ { print $6 }' <<<"$listing" | sed "s|^$relative_prefix||" | LC_ALL=C sort)
if [[ "$packaged" != "$(expected_files)" ]]; then
    fail "package: files differ from the expected layout:"
    diff <(expected_files) <(echo "$packaged") | sed 's/^/    /' >&2
else
    pass "package: layout under $package_prefix"
fi
grep -Eq "^l.* $relative_prefix$PLUGIN_DIR/libvarnholt\.so -> libvarnholt\.so\.1$" <<<"$listing" ||
    fail "package: libvarnholt.so is not a link to libvarnholt.so.1"

# Unpacked into a scratch root, the package's runner loads the package's plugin.
unpacked="$scratch/root"
dpkg -x "$deb" "$unpacked" || fatal "dpkg -x failed"
check_layout "$unpacked$package_prefix" "unpacked package"
check_runner "$unpacked$package_prefix" "unpacked package"

if [[ $failures -ne 0 ]]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "all packaging checks passed"
