# Cross-builds the 32-bit Windows console program with MinGW-w64.
# The -posix compilers: their C++ run-time has threads, which GoogleTest needs.
# Linked -static, so the .exe imports only system DLLs (KERNEL32, msvcrt, WS2_32).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Large address aware: on 64-bit Windows (and under Wine) the process then has
# 4 GiB of addresses instead of 2, and each client's thread stack takes some.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -Wl,--large-address-aware")

# Test programs run under Wine; the caller provides WINEPREFIX and friends.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine)
