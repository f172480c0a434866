#!/usr/bin/env bash
# Packaging checks, one per call: the installed tree, the man page, the Debian
# package and the service unit. Exit 77 tells CTest a check was skipped, with
# the reason printed.
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

# The binary in a tree must run: without a port it prints its usage and exits 1.
expect_usage() {
    local status=0
    local line
    line=$("$1" 2>&1 </dev/null) || status=$?
    [ "$status" = 1 ] || fail "$1 without a port exited $status"
    [ "$line" = "usage: velloran PORT" ] || fail "$1 without a port printed: $line"
}

case "$check" in
install)
    cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null
    expect_usage "$work/prefix/bin/velloran"
    [ -f "$work/prefix/share/man/man1/velloran.1" ] || fail "no man page in man1"
    [ -f "$work/prefix/share/doc/velloran/README.md" ] || fail "no README in the doc directory"
    need man
    MANWIDTH=80 man -l "$work/prefix/share/man/man1/velloran.1" 2>/dev/null | grep -q "console TCP relay hub" ||
        fail "man -l does not show the page"
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
    (cd "$build_dir" && cpack -G DEB -B "$work/out" >/dev/null)
    deb=$(ls "$work"/out/velloran_*.deb)
    contents=$(dpkg-deb -c "$deb")
    for path in ./usr/bin/velloran ./usr/share/man/man1/velloran.1 ./usr/share/doc/velloran/README.md; do
        grep -q " $path\$" <<<"$contents" || fail "$path is not in the package"
    done
    depends=$(dpkg-deb -f "$deb" Depends)
    grep -q "libc6" <<<"$depends" || fail "Depends lacks libc6: $depends"
    [ -n "$(dpkg-deb -f "$deb" Description | sed -n 2p)" ] || fail "the description has no body"
    dpkg-deb -x "$deb" "$work/root"
    expect_usage "$work/root/usr/bin/velloran"
    ;;
service)
    need systemd-analyze
    # Verify the unit as installed: the binary and the man page at their places.
    cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null
    mkdir -p "$work/units"
    sed "s#/usr/bin/velloran#$work/prefix/bin/velloran#" "$source_dir/contrib/velloran@.service" \
        >"$work/units/velloran@.service"
    MANPATH="$work/prefix/share/man" systemd-analyze verify "$work/units/velloran@5000.service" ||
        fail "systemd-analyze verify rejects the unit"
    ;;
*)
    fail "unknown check $check"
    ;;
esac
echo "ok: $check"
