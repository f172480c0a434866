#!/usr/bin/env bash
# Installs what `make test` needs and lacks, through apt-get when run as root:
# the compiler and CMake, GoogleTest, and the tools the packaging checks use
# (cpack's dependency scan, the man page's renderers, lintian). Without root
# it installs nothing: it fails with one line naming the package when
# GoogleTest is missing, since no test builds without it, and otherwise
# leaves the checks whose tools are missing to skip.
set -euo pipefail

need=()
want() { command -v "$1" >/dev/null 2>&1 || need+=("$2"); }
want cmake cmake
want g++ g++
want make make
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
want dpkg-shlibdeps dpkg-dev
want groff groff-base
want man man-db
want lintian lintian

[ ${#need[@]} -gt 0 ] || exit 0
if [ "$(id -u)" != 0 ] || ! command -v apt-get >/dev/null 2>&1; then
    for package in "${need[@]}"; do
        if [ "$package" = libgtest-dev ]; then
            echo "The tests need GoogleTest: install libgtest-dev (apt-get install libgtest-dev), or run make test as root" >&2
            exit 1
        fi
    done
    exit 0
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${need[@]}" </dev/null
