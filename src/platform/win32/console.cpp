// Win32 console: keys from the C run-time key reader, or the bytes of
// standard input when it is not a console, and "cls" to clear the screen.

#include "platform/platform.h"

#include <windows.h>

#include <conio.h>

#include <cwchar>

static bool isConsole(DWORD standardHandle) {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(standardHandle), &mode) != 0;
}

// Where keys come from, decided once by consoleOpen before the first readKey.
static bool keysFromConsole = false;

// Before the listener opens, so Ctrl-C never ends a hub that serves clients:
// between two reads it is ignored, and during a read _getch delivers it as
// code 3 like any other key.
void consoleCatchSignals() { SetConsoleCtrlHandler(nullptr, TRUE); }

void consoleOpen() { keysFromConsole = isConsole(STD_INPUT_HANDLE); }

// The key reader gives a function, cursor or editing key as 0 or 0xE0, then
// a code of its own.
static int readConsoleCode() {
    int code = _getch();
    return code == 0 || code == 0xE0 ? KEY_PREFIX : code;
}

static bool consoleKeyWaiting() { return _kbhit() != 0; }

// The key reader would give a key pressed with Alt as the plain letter, so
// Alt+Q would quit; on a terminal Alt+key is never a command. So the console's
// events are looked at first: when the first one that types a character is
// pressed with Alt (and without Ctrl: Ctrl+Alt is AltGr, which types
// characters), it is taken out, with the events before it, which type
// nothing and act on nothing. True when a key was taken out.
static bool dropAltKey() {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    INPUT_RECORD events[16];
    DWORD count = 0;
    if (PeekConsoleInputW(input, events, 16, &count) == 0) {
        return false;
    }
    const DWORD alt = LEFT_ALT_PRESSED | RIGHT_ALT_PRESSED;
    const DWORD ctrl = LEFT_CTRL_PRESSED | RIGHT_CTRL_PRESSED;
    for (DWORD i = 0; i < count; ++i) {
        const KEY_EVENT_RECORD& key = events[i].Event.KeyEvent;
        if (events[i].EventType != KEY_EVENT || key.bKeyDown == 0 || key.uChar.UnicodeChar == 0) {
            continue;
        }
        if ((key.dwControlKeyState & alt) == 0 || (key.dwControlKeyState & ctrl) != 0) {
            return false;
        }
        DWORD taken = 0;
        return ReadConsoleInputW(input, events, i + 1, &taken) != 0 && taken == i + 1;
    }
    return false;
}

// Waits without a limit until the key reader has a key: events that type
// nothing (a key released, the mouse, the focus) are taken out meanwhile, so
// the wait never spins on them.
static void waitForConsoleKey() {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    while (!consoleKeyWaiting()) {
        INPUT_RECORD ignored{};
        DWORD count = 0;
        // On a failure the key reader waits by itself.
        if (WaitForSingleObject(input, INFINITE) != WAIT_OBJECT_0 ||
            (!consoleKeyWaiting() && ReadConsoleInputW(input, &ignored, 1, &count) == 0)) {
            return;
        }
    }
}

// A pipe whose writer is gone, or a file, answers no look into it.
static bool lookIntoPipe(HANDLE input, DWORD* available) {
    return PeekNamedPipe(input, nullptr, 0, nullptr, available, nullptr) != 0;
}

// A file has its bytes at once or ends. A pipe that cannot be looked into
// (Wine's view of a Linux pipe) is read as it comes: an Escape there takes
// the next byte with it, whenever that comes, which is safe, as it acts on
// nothing.
static bool inputByteWaiting() {
    DWORD available = 0;
    return !lookIntoPipe(GetStdHandle(STD_INPUT_HANDLE), &available) || available > 0;
}

// How often to look for input that has nothing to wait on.
constexpr DWORD INPUT_RECHECK_MILLISECONDS = 10;

// Neither the console's keys nor a pipe's bytes can be waited for with a time
// limit, so a limited wait (only ever inside a key, a few hundred
// milliseconds) looks every few milliseconds.
static bool codeArrives(bool (*waiting)(), int milliseconds) {
    if (milliseconds == KEY_WAIT_FOREVER) {
        return true; // the read itself waits
    }
    DWORD start = GetTickCount();
    while (!waiting()) {
        if (GetTickCount() - start >= static_cast<DWORD>(milliseconds)) {
            return false;
        }
        Sleep(INPUT_RECHECK_MILLISECONDS);
    }
    return true;
}

// How long to rest when standard input is a pipe in no-wait mode and empty:
// such a pipe has nothing to wait on.
constexpr DWORD EMPTY_PIPE_PAUSE_MILLISECONDS = 50;

// Without a console _getch would return at once on every call, so keys are
// then the bytes of standard input, as they come, until it ends.
static int readInputByte() {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    for (;;) {
        unsigned char key = 0;
        DWORD n = 0;
        if (ReadFile(input, &key, 1, &n, nullptr) != 0) {
            if (n == 1) {
                return key;
            }
            // No byte: the end of a file, or of a pipe as Wine reports it; or
            // a pipe's writer wrote no bytes, and then the pipe still answers.
            DWORD available = 0;
            if (!lookIntoPipe(input, &available)) {
                return KEYS_ENDED;
            }
            continue;
        }
        if (GetLastError() != ERROR_NO_DATA) {
            return KEYS_ENDED;
        }
        Sleep(EMPTY_PIPE_PAUSE_MILLISECONDS);
    }
}

int readKeyCode(int milliseconds) {
    if (keysFromConsole) {
        do {
            if (milliseconds == KEY_WAIT_FOREVER) {
                waitForConsoleKey();
            } else if (!codeArrives(consoleKeyWaiting, milliseconds)) {
                return KEY_NOT_IN_TIME;
            }
        } while (dropAltKey());
        return readConsoleCode();
    }
    return codeArrives(inputByteWaiting, milliseconds) ? readInputByte() : KEY_NOT_IN_TIME;
}

// "cls" is the command interpreter's. Started without inheriting a single
// handle, it can never hold one of the hub's sockets, whichever thread
// accepts meanwhile; it shares the console all the same. The interpreter is
// named by its full path in the system folder, so no cmd.exe in the current
// or the program's folder is ever run instead.
void clearScreen() {
    if (!isConsole(STD_OUTPUT_HANDLE)) {
        return;
    }
    wchar_t interpreter[MAX_PATH];
    const wchar_t name[] = L"\\cmd.exe";
    UINT folder = GetSystemDirectoryW(interpreter, MAX_PATH);
    if (folder == 0 || folder + sizeof name / sizeof name[0] > MAX_PATH) {
        return; // the screen stays as it is
    }
    std::wcscpy(interpreter + folder, name);
    wchar_t command[] = L"cmd.exe /c cls";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    if (CreateProcessW(interpreter, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                       &child) == 0) {
        return; // the screen stays as it is
    }
    WaitForSingleObject(child.hProcess, INFINITE);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
}
