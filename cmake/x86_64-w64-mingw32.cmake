# Cross-builds the same Windows console program for 64-bit Windows, for the
# tests alone: a kernel that refuses 32-bit programs cannot start the 32-bit
# Wine that runs the shipped 32-bit build (make test-windows picks this then).
set(MINGW_TARGET x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Test programs run under 64-bit Wine; the caller provides WINEPREFIX and friends.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
