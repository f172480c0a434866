#!/usr/bin/env bash
# Runs a command with the Windows build ready under Wine: a 32-bit prefix of
# our own inside the Windows build directory, one persistent Wine server that
# every program the command starts shares (so each starts quickly), and
# VELLORAN_SERVER naming the .exe for the end-to-end harness. The Wine server
# and everything in this prefix end with the command.
# Usage: tests/windows/with-wine.sh WINDOWS_BUILD_DIR COMMAND [ARGUMENT...]
set -euo pipefail
windows_build=$(realpath "$1")
shift
wine=/usr/lib/wine/wine
wineserver=/usr/lib/wine/wineserver

# No debug chatter, and no offer to install .NET or a browser engine.
export WINEPREFIX="$windows_build/wineprefix" WINEARCH=win32 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export VELLORAN_SERVER="$wine $windows_build/velloran.exe"
mkdir -p "$WINEPREFIX"

# 32-bit Wine is itself a 32-bit Linux program: some kernels refuse those.
if ! "$wine" --version >/dev/null 2>&1; then
  echo "this machine does not run 32-bit programs, and 32-bit Wine is one:" \
    "the Windows build cannot be run here" >&2
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
