#!/usr/bin/env bash
# Tests the Windows build under Wine: its cross-built unit tests through
# ctest, then the Linux build's end-to-end suite with the .exe as the server.
# Usage: tests/windows/test.sh WINDOWS_BUILD_DIR LINUX_BUILD_DIR
set -euo pipefail
windows_build=$(realpath "$1")
linux_build=$(realpath "$2")
wine=/usr/lib/wine/wine
wineserver=/usr/lib/wine/wineserver

# A 32-bit prefix of our own inside the build directory, no debug chatter,
# and no offer to install .NET or a browser engine into it.
export WINEPREFIX="$windows_build/wineprefix" WINEARCH=win32 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$WINEPREFIX"

# One persistent Wine server for every program the tests start, so each
# start is quick; it and everything in this prefix end with the script.
"$wineserver" -p
trap '"$wineserver" -k 2>/dev/null || true' EXIT
if ! "$wine" wineboot >"$WINEPREFIX/boot.log" 2>&1; then
  cat "$WINEPREFIX/boot.log" >&2
  echo "the Wine prefix did not boot" >&2
  exit 1
fi

ctest --test-dir "$windows_build" --output-on-failure -j 2
VELLORAN_SERVER="$wine $windows_build/velloran.exe" "$linux_build/tests/e2e_tests"
