#!/usr/bin/env bash
# Removes what one install put in place, as listed in its manifest (one path a
# line, as CMake writes install_manifest.txt), then our own doc directory once
# it is empty. Directories shared with other programs stay.
#   tools/uninstall.sh MANIFEST
set -euo pipefail
manifest=$1
[ -f "$manifest" ] || { echo "nothing to uninstall: $manifest is missing (run make install first)" >&2; exit 1; }
while IFS= read -r path || [ -n "$path" ]; do
    [ -n "$path" ] || continue
    rm -fv -- "$path"
    case "$path" in
    */doc/velloran/*) rmdir --ignore-fail-on-non-empty -- "${path%/*}" 2>/dev/null || true ;;
    esac
done <"$manifest"
