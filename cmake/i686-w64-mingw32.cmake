# Cross-builds the 32-bit Windows console program with MinGW-w64.
# Linked -static, so the .exe imports only system DLLs (KERNEL32, msvcrt, WS2_32).
set(MINGW_TARGET i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)

# Large address aware: on 64-bit Windows (and under Wine) the process then has
# 4 GiB of addresses instead of 2, and each client's thread stack takes some.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -Wl,--large-address-aware")

# Test programs run under Wine; the caller provides WINEPREFIX and friends.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine)
