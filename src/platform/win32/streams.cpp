// Win32 standard streams: the handles the process started with.

#include "platform/platform.h"

#include <windows.h>

#include <initializer_list>

// Socket handles never take a standard stream's place here, but a process
// started without one passes a missing handle on to "cls". The null device
// stands in for each missing one.
bool reserveStandardStreams() {
    for (DWORD stream : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
        HANDLE current = GetStdHandle(stream);
        if (current != nullptr && current != INVALID_HANDLE_VALUE) {
            continue;
        }
        HANDLE null =
            CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        nullptr, OPEN_EXISTING, 0, nullptr);
        if (null == INVALID_HANDLE_VALUE) {
            return false;
        }
        if (SetStdHandle(stream, null) == 0) {
            CloseHandle(null);
            return false;
        }
    }
    return true;
}
