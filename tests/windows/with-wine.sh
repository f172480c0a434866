#!/usr/bin/env bash
# Runs a command with the Windows build ready under Wine: a prefix of our own
# inside the Windows build directory (32-bit, or 64-bit for a build made with
# the 64-bit toolchain), one persistent Wine server that every program the
# command starts shares (so each starts quickly), and VELLORAN_SERVER naming
# the .exe for the end-to-end harness. The Wine server and everything in this
# prefix end with the command.
# Usage: tests/windows/with-wine.sh WINDOWS_BUILD_DIR COMMAND [ARGUMENT...]
set -euo pipefail
windows_build=$(realpath "$1")
shift
if grep -q '^CMAKE_TOOLCHAIN_FILE:.*x86_64-w64-mingw32' "$windows_build/CMakeCache.txt"; then
  wine=/usr/lib/wine/wine64 arch=win64
else
  wine=/usr/lib/wine/wine arch=win32
fi
wineserver=/usr/lib/wine/wineserver

# No debug chatter, and no offer to install .NET or a browser engine.
export WINEPREFIX="$windows_build/wineprefix" WINEARCH=$arch WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export VELLORAN_SERVER="$wine $windows_build/velloran.exe"
mkdir -p "$WINEPREFIX"

# 32-bit Wine is itself a 32-bit Linux program: some kernels refuse those.
if ! "$wine" --version >/dev/null 2>&1; then
  echo "$wine does not run on this machine (a 32-bit one needs a kernel that runs" \
    "32-bit programs; make test-windows then tests the 64-bit build)" >&2
  exit 1
fi

# A server left in this prefix by an interrupted run would refuse a new one.
stop_wine() { "$wineserver" -k 2>/dev/null && "$wineserver" -w || true; }
stop_wine
# Its own notes (such as objects of a killed server process) go to a log.
"$wineserver" -p 2>>"$WINEPREFIX/server.log"
trap stop_wine EXIT
if ! "$wine" wineboot >"$WINEPREFIX/boot.log" 2>&1; then
  cat "$WINEPREFIX/boot.log" >&2
  echo "the Wine prefix did not boot" >&2
  exit 1
fi
"$@"
