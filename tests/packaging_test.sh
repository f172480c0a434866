#!/usr/bin/env bash
# Packaging checks, one per call: the installed tree and its removal, the man
# page, the Debian package, lintian's verdict on it, the service unit, and the
# Windows zip. Exit 77 tells CTest a check was skipped, with the reason printed.
#   packaging_test.sh CHECK SOURCE_DIR BUILD_DIR
set -euo pipefail
check=$1
source_dir=$2
build_dir=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }
skip() { echo "SKIPPED: $*"; exit 77; }
need() { command -v "$1" >/dev/null 2>&1 || skip "$1 is not installed"; }

# The binary in a tree must run: without a port it prints its usage and exits
# 1, and --version names the version the package carries (and its stage).
expect_runs() {
    local status=0
    local line
    line=$("$1" 2>&1 </dev/null) || status=$?
    [ "$status" = 1 ] || fail "$1 without a port exited $status"
    [ "$line" = "usage: velloran PORT" ] || fail "$1 without a port printed: $line"
    line=$("$1" --version </dev/null) || fail "$1 --version failed"
    # The banner's version: the package's number, then the release stage.
    case "$line" in
    "velloran $2" | "velloran $2 "*) ;;
    *) fail "$1 --version printed: $line" ;;
    esac
}

# A unit at its place must start the binary of the same tree.
expect_unit() {
    local unit=$1/lib/systemd/system/velloran@.service
    [ -f "$unit" ] || fail "no unit where systemd looks for prefix $1"
    grep -qx "ExecStart=$2/bin/velloran %i" "$unit" || fail "the unit starts $(grep ExecStart "$unit")"
}

# The .deb, built into $work/out; prints its path.
build_deb() {
    (cd "$build_dir" && cpack -G DEB -B "$work/out" >/dev/null)
    ls "$work"/out/velloran_*.deb
}

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build_dir/CMakeCache.txt")

case "$check" in
install)
    # Installs as make install does, then removes what it listed.
    cmake --install "$build_dir" --prefix "$work/prefix" --strip >/dev/null
    cp "$build_dir/install_manifest.txt" "$work/manifest"
    expect_runs "$work/prefix/bin/velloran" "$version"
    objdump -h "$work/prefix/bin/velloran" | grep -q '\.debug_' && fail "the installed binary is not stripped"
    [ -f "$work/prefix/share/man/man1/velloran.1.gz" ] || fail "no compressed man page in man1"
    [ -f "$work/prefix/share/doc/velloran/README.md" ] || fail "no README in the doc directory"
    cmp -s "$source_dir/LICENSE" "$work/prefix/share/doc/velloran/copyright" || fail "no licence in the doc directory"
    expect_unit "$work/prefix" "$work/prefix"
    if command -v man >/dev/null 2>&1; then
        MANWIDTH=80 man -l "$work/prefix/share/man/man1/velloran.1.gz" 2>/dev/null | grep -q "console TCP relay hub" ||
            fail "man -l does not show the page"
    fi
    "$source_dir/tools/uninstall.sh" "$work/manifest" >/dev/null
    left=$(find "$work/prefix" -type f -o -type d -name velloran)
    [ -z "$left" ] || fail "uninstall left: $left"
    ;;
man)
    need groff
    warnings=$(groff -man -ww -z "$source_dir/doc/velloran.1" 2>&1)
    [ -z "$warnings" ] || fail "groff warns: $warnings"
    ;;
package)
    need cpack
    need dpkg-deb
    need dpkg-shlibdeps
    deb=$(build_deb)
    contents=$(dpkg-deb -c "$deb")
    for path in ./usr/bin/velloran ./usr/share/man/man1/velloran.1.gz ./usr/share/doc/velloran/README.md \
        ./usr/share/doc/velloran/copyright ./usr/share/doc/velloran/changelog.gz \
        ./usr/lib/systemd/system/velloran@.service; do
        grep -q " $path\$" <<<"$contents" || fail "$path is not in the package"
    done
    [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version $(dpkg-deb -f "$deb" Version)"
    depends=$(dpkg-deb -f "$deb" Depends)
    grep -q "libc6" <<<"$depends" || fail "Depends lacks libc6: $depends"
    [ -n "$(dpkg-deb -f "$deb" Description | sed -n 2p)" ] || fail "the description has no body"
    dpkg-deb -x "$deb" "$work/root"
    expect_runs "$work/root/usr/bin/velloran" "$version"
    cmp -s "$source_dir/LICENSE" "$work/root/usr/share/doc/velloran/copyright" || fail "the copyright file is not the licence"
    gzip -t "$work/root/usr/share/man/man1/velloran.1.gz" || fail "the man page is not gzip"
    expect_unit "$work/root/usr" /usr
    ;;
lintian)
    need cpack
    need dpkg-shlibdeps
    if ! command -v lintian >/dev/null 2>&1; then
        [ "$(id -u)" = 0 ] || skip "lintian is not installed, and installing it needs root"
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends lintian \
            </dev/null >"$work/apt.log" 2>&1 || skip "lintian could not be installed: $(tail -1 "$work/apt.log")"
    fi
    deb=$(build_deb)
    # Errors and warnings fail; informational notes are printed only.
    report=$(lintian --pedantic --info "$deb" 2>/dev/null) || true
    [ -z "$report" ] || echo "$report"
    ! grep -q '^[EW]: ' <<<"$report" || fail "lintian reports errors or warnings"
    ;;
service)
    # Verify the unit as installed: the binary and the man page at their places.
    cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null
    expect_unit "$work/prefix" "$work/prefix"
    need systemd-analyze
    MANPATH="$work/prefix/share/man" systemd-analyze verify "$work/prefix/lib/systemd/system/velloran@5000.service" ||
        fail "systemd-analyze verify rejects the unit"
    # The commented example that keeps the hub to some addresses, switched on.
    units=$work/prefix/lib/systemd/system
    sed 's/^#IPAddress/IPAddress/' "$units/velloran@.service" >"$units/velloran-allow@.service"
    [ "$(grep -c '^IPAddress\(Allow\|Deny\)=' "$units/velloran-allow@.service")" = 2 ] ||
        fail "the unit has no commented IPAddressDeny= and IPAddressAllow= example"
    MANPATH="$work/prefix/share/man" systemd-analyze verify "$units/velloran-allow@5000.service" ||
        fail "systemd-analyze verify rejects the unit's address example"
    ;;
windows-zip)
    need cpack
    (cd "$build_dir" && cpack -G ZIP -B "$work/out" >/dev/null)
    zip=$work/out/velloran-$version-win32.zip
    [ -f "$zip" ] || fail "no $zip"
    listing=$(cd "$work" && cmake -E tar tf "$zip")
    for path in velloran.exe README.md LICENSE; do
        grep -qx "velloran-$version-win32/$path" <<<"$listing" || fail "$path is not in the zip: $listing"
    done
    ;;
*)
    fail "unknown check $check"
    ;;
esac
echo "ok: $check"
