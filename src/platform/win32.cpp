// Win32 implementation of platform.h: WinSock 2, Win32 threads and mutex,
// and the C run-time console.

#include "platform/platform.h"

// WinSock 2 must come before windows.h, which would bring in WinSock 1.
#include <winsock2.h>

#include <windows.h>

#include <conio.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>

static_assert(sizeof(NetAddress) == sizeof(sockaddr_in), "NetAddress must match sockaddr_in");
static_assert(NET_FAMILY_IPV4 == AF_INET, "NetAddress family must match AF_INET");
// A SOCKET is pointer-wide, but Windows keeps handle values within 32 bits so
// that 32- and 64-bit processes can pass them to each other: narrowing one is
// safe, and widening sign-extends (INVALID_SOCKET stays itself). The 64-bit
// build exists only to run the tests where 32-bit programs cannot run.
static_assert(sizeof(SocketHandle) <= sizeof(SOCKET), "a socket handle holds a SOCKET's value");

// ---- Standard streams ------------------------------------------------------

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

// ---- Network stack ---------------------------------------------------------

// The version word is (minor << 8 | major) both ways, so 2 asks for 2.0.
int netStartup(std::uint16_t requestedVersion, NetStackInfo* info) {
    WSADATA data{};
    int result = WSAStartup(requestedVersion, &data);
    if (result == 0) {
        info->version = data.wVersion;
    }
    return result;
}

void netCleanup() { WSACleanup(); }

std::uint16_t hostToNetwork16(std::uint16_t value) { return htons(value); }

// ---- Sockets ---------------------------------------------------------------

static SOCKET native(SocketHandle socket) {
    return static_cast<SOCKET>(static_cast<LONG_PTR>(static_cast<LONG>(socket)));
}

// Sockets are inheritable by default, and "cls" runs in a child process: a
// client's connection must not live on in it after we close our handle, and
// a child holding a copy would delay its close and its reset.
static SocketHandle keepToThisProcess(SOCKET socket) {
    SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
    return static_cast<SocketHandle>(socket);
}

// Made non-inheritable at birth (Windows 7 SP1 and later), so no "cls"
// started meanwhile can take a copy; where the flag is unknown, the socket is
// made non-inheritable just after. Overlapped, as the sockets accepted from
// it must be for the workers' receives and sends.
SocketHandle tcpSocket() {
    SOCKET s = WSASocketW(AF_INET, SOCK_STREAM, 0, nullptr, 0,
                          WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s != INVALID_SOCKET) {
        return static_cast<SocketHandle>(s);
    }
    s = WSASocketW(AF_INET, SOCK_STREAM, 0, nullptr, 0, WSA_FLAG_OVERLAPPED);
    return s == INVALID_SOCKET ? INVALID_SOCKET_HANDLE : keepToThisProcess(s);
}

// Windows binds a port whose old connections linger in TIME_WAIT as it is, so
// a hub restarts at once with no option. SO_REUSEADDR would let another
// program take the live port; SO_EXCLUSIVEADDRUSE, which Microsoft advises
// for servers, would refuse that restart for as long as the old connections
// linger. The hub keeps the instant restart and no option: its price is that
// another program of the same user can bind 127.0.0.1 on the hub's port and
// take the clients that connect through loopback, which in a hub that lets
// anyone who reaches it join and read everything adds no new reader.
void listenerAllowRestart(SocketHandle) {}

int socketBind(SocketHandle socket, const NetAddress* address, int length) {
    sockaddr_in nativeAddress{};
    std::memcpy(&nativeAddress, address, sizeof nativeAddress);
    return ::bind(native(socket), reinterpret_cast<const sockaddr*>(&nativeAddress), length);
}

int socketName(SocketHandle socket, NetAddress* address, int* length) {
    sockaddr_in nativeAddress{};
    int result = ::getsockname(native(socket), reinterpret_cast<sockaddr*>(&nativeAddress), length);
    if (result == 0) {
        std::memcpy(address, &nativeAddress, sizeof nativeAddress);
    }
    return result;
}

int socketListen(SocketHandle socket, int backlog) { return ::listen(native(socket), backlog); }

AcceptStatus socketAccept(SocketHandle listener, SocketHandle* accepted) {
    SOCKET s = ::accept(native(listener), nullptr, nullptr);
    if (s != INVALID_SOCKET) {
        // An accepted socket is not documented to take the listener's
        // inheritance over: it is made non-inheritable here, at once.
        *accepted = keepToThisProcess(s);
        return AcceptStatus::Accepted;
    }
    switch (WSAGetLastError()) {
    case WSAECONNRESET: // the peer gave up while queued
    case WSAECONNABORTED:
    case WSAEINTR:
    case WSAEINPROGRESS:
    case WSAEWOULDBLOCK:
        return AcceptStatus::Retry;
    default: // WSAEMFILE, WSAENOBUFS, or the listener itself is broken
        return AcceptStatus::Pause;
    }
}

// ---- Overlapped receives and sends -----------------------------------------
// A worker's receive and its sends are overlapped, each on a record of the
// worker thread's own, so that the worker can wait for them with a limit or
// alongside its client's receive stop. Nothing here waits without a bound
// once an operation is cancelled.

// One operation's record and the event it completes on.
struct IoSlot {
    WSAOVERLAPPED overlapped;
};

static IoSlot* createIoSlot() {
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (done == nullptr) {
        return nullptr;
    }
    auto* slot = new (std::nothrow) IoSlot{};
    if (slot == nullptr) {
        CloseHandle(done);
        return nullptr;
    }
    slot->overlapped.hEvent = done;
    return slot;
}

static void destroyIoSlot(IoSlot* slot) {
    if (slot != nullptr) {
        CloseHandle(slot->overlapped.hEvent);
        delete slot;
    }
}

// Ready for the next operation: cleared, its event unset. The call resets the
// event as it starts too, but an event set by an earlier operation must not
// be taken for this one's end.
static WSAOVERLAPPED* freshOverlapped(IoSlot* slot) {
    HANDLE done = slot->overlapped.hEvent;
    slot->overlapped = WSAOVERLAPPED{};
    slot->overlapped.hEvent = done;
    ResetEvent(done);
    return &slot->overlapped;
}

// Each worker thread's records, made before it takes its first client (see
// startWorkerThread) and given back when it ends. A record whose operation
// could not be made to end is given up, never freed, since the system may
// still write it; the thread then makes a new one.
static thread_local IoSlot* receiveSlot = nullptr;
static thread_local IoSlot* sendSlot = nullptr;

// How long an operation may take to end once cancelled. Cancelling ends it at
// once on any ordinary socket; past this it is given up.
constexpr DWORD CANCEL_WAIT_MILLISECONDS = 500;

// Cancels the slot's operation and waits, for a bounded time, until it has
// ended; false when it has not, and the slot must be given up.
static bool cancelAndWait(SocketHandle socket, IoSlot* slot) {
    // Not found: it ended meanwhile, and its event says so.
    CancelIoEx(reinterpret_cast<HANDLE>(native(socket)), &slot->overlapped);
    return WaitForSingleObject(slot->overlapped.hEvent, CANCEL_WAIT_MILLISECONDS) ==
               WAIT_OBJECT_0 ||
           HasOverlappedIoCompleted(&slot->overlapped);
}

// How long to rest when the system cannot give what a wait or a record needs:
// the shortage is the hub's own, waited out within the time given.
constexpr DWORD SHORTAGE_PAUSE_MILLISECONDS = 10;

static DWORD millisecondsSince(DWORD start) { return GetTickCount() - start; }

// The thread's send record, made anew if an earlier one was given up.
static IoSlot* sendSlotWithin(DWORD milliseconds) {
    DWORD start = GetTickCount();
    while (sendSlot == nullptr && (sendSlot = createIoSlot()) == nullptr &&
           millisecondsSince(start) < milliseconds) {
        Sleep(SHORTAGE_PAUSE_MILLISECONDS);
    }
    return sendSlot;
}

// True when the event is set within `milliseconds`.
static bool setWithin(HANDLE event, DWORD milliseconds) {
    DWORD start = GetTickCount();
    for (;;) {
        DWORD left = milliseconds - std::min(milliseconds, millisecondsSince(start));
        DWORD waited = WaitForSingleObject(event, left);
        if (waited != WAIT_FAILED || left == 0) {
            return waited == WAIT_OBJECT_0;
        }
        Sleep(std::min(left, SHORTAGE_PAUSE_MILLISECONDS));
    }
}

struct ReceiveStop {
    HANDLE stopped; // set once, by socketEndReceive
};

ReceiveStop* createReceiveStop() {
    HANDLE stopped = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (stopped == nullptr) {
        return nullptr;
    }
    auto* stop = new (std::nothrow) ReceiveStop{stopped};
    if (stop == nullptr) {
        CloseHandle(stopped);
    }
    return stop;
}

void destroyReceiveStop(ReceiveStop* stop) {
    if (stop != nullptr) {
        CloseHandle(stop->stopped);
        delete stop;
    }
}

// The receive waits for its own end or the client's stop, whichever comes
// first. A stop ends it here, whatever socket provider is installed; the
// handle stays open until the worker closes it.
int socketReceive(SocketHandle socket, ReceiveStop* stop, char* buffer, int length) {
    if (receiveSlot == nullptr && (receiveSlot = createIoSlot()) == nullptr) {
        return -1;
    }
    WSAOVERLAPPED* pending = freshOverlapped(receiveSlot);
    WSABUF into{static_cast<ULONG>(length), buffer};
    DWORD flags = 0;
    bool atOnce = WSARecv(native(socket), &into, 1, nullptr, &flags, pending, nullptr) == 0;
    if (!atOnce && WSAGetLastError() != WSA_IO_PENDING) {
        return -1;
    }
    // Bytes already there are taken without a wait, as a blocking receive
    // would; a stop then ends the next receive.
    HANDLE ends[] = {pending->hEvent, stop->stopped};
    if (!atOnce && WaitForMultipleObjects(2, ends, FALSE, INFINITE) != WAIT_OBJECT_0 &&
        !HasOverlappedIoCompleted(pending)) {
        if (!cancelAndWait(socket, receiveSlot)) {
            receiveSlot = nullptr;
        }
        return -1;
    }
    DWORD received = 0;
    return WSAGetOverlappedResult(native(socket), pending, &received, FALSE, &flags) != 0
               ? static_cast<int>(received)
               : -1;
}

static bool connectionBroken(int error) {
    return error == WSAECONNRESET || error == WSAECONNABORTED || error == WSAENOTCONN ||
           error == WSAESHUTDOWN || error == WSAENETRESET || error == WSAETIMEDOUT;
}

static int sendFailure(int error) { return connectionBroken(error) ? SEND_PEER_GONE : SEND_FAILED; }

// An overlapped send returns at once whether or not the socket has room, so
// a peer that keeps up costs one call per send, as a blocking send would; its
// result is then read without waiting. Only a send still pending waits, never
// past the time given, and is then cancelled, with a bounded wait for it to
// end. The socket itself stays blocking.
int socketSendWithin(SocketHandle socket, const char* data, int length, int milliseconds) {
    auto limit = static_cast<DWORD>(milliseconds);
    IoSlot* slot = sendSlotWithin(limit);
    if (slot == nullptr) {
        return SEND_FAILED;
    }
    WSAOVERLAPPED* pending = freshOverlapped(slot);
    WSABUF from{static_cast<ULONG>(length), const_cast<char*>(data)};
    if (WSASend(native(socket), &from, 1, nullptr, 0, pending, nullptr) != 0) {
        int error = WSAGetLastError();
        if (error != WSA_IO_PENDING) {
            return sendFailure(error);
        }
        if (!setWithin(pending->hEvent, limit) && !HasOverlappedIoCompleted(pending)) {
            if (!cancelAndWait(socket, slot)) {
                sendSlot = nullptr;
            }
            return SEND_FAILED;
        }
    }
    DWORD sent = 0;
    DWORD flags = 0;
    if (WSAGetOverlappedResult(native(socket), pending, &sent, FALSE, &flags) == 0) {
        return sendFailure(WSAGetLastError());
    }
    return static_cast<int>(sent);
}

void socketResetOnClose(SocketHandle socket) {
    linger abortive{1, 0};
    ::setsockopt(native(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abortive),
                 sizeof abortive);
}

void socketShutdownBoth(SocketHandle socket) { ::shutdown(native(socket), SD_BOTH); }

// Should the stop itself fail, shutting the socket down and cancelling its
// receive still ends it with the usual socket provider.
void socketEndReceive(SocketHandle socket, ReceiveStop* stop) {
    if (SetEvent(stop->stopped) == 0) {
        socketShutdownBoth(socket);
        CancelIoEx(reinterpret_cast<HANDLE>(native(socket)), nullptr);
    }
}

void socketClose(SocketHandle socket) { ::closesocket(native(socket)); }

// ---- Threads and the relay lock --------------------------------------------

namespace {
struct ThreadStart {
    ThreadBody body;
    void* argument;
    IoSlot* receiveSlot; // a worker thread's records; null for others
    IoSlot* sendSlot;
};
} // namespace

static DWORD WINAPI runThread(LPVOID start) {
    ThreadStart copy = *static_cast<ThreadStart*>(start);
    delete static_cast<ThreadStart*>(start);
    copy.body(copy.argument);
    return 0;
}

// Starts a thread at `entry`, which takes over a ThreadStart. A 32-bit
// process has 2 GiB of addresses: with the default reservation per thread,
// stacks alone would cap it below a thousand clients.
static bool startThread(LPTHREAD_START_ROUTINE entry, const ThreadStart& what,
                        std::size_t stackBytes) {
    auto* start = new (std::nothrow) ThreadStart(what);
    if (start == nullptr) {
        return false;
    }
    DWORD flags = stackBytes != 0 ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0;
    HANDLE thread = CreateThread(nullptr, stackBytes, entry, start, flags, nullptr);
    if (thread == nullptr) {
        delete start;
        return false;
    }
    CloseHandle(thread); // the thread runs on; nobody waits for it
    return true;
}

bool startDetachedThread(ThreadBody body, void* argument, std::size_t stackBytes) {
    return startThread(runThread, ThreadStart{body, argument, nullptr, nullptr}, stackBytes);
}

// ---- Worker threads parked between connections -----------------------------
// A worker thread whose work is done sleeps on its own condition variable
// for the next, so a new connection costs a wake-up instead of a thread
// start and exit (and keeps its receive and send records). The record lives on the parked
// thread's stack; `parked` is a stack too: the thread parked last goes first.

namespace {
struct ParkedThread {
    ThreadBody body; // null while it waits; set by the hand-over, then `wake`
    void* argument;
    CONDITION_VARIABLE wake;
};
} // namespace

// Guards parked, parkedCount and every parked thread's body and argument.
static SRWLOCK parkingLock = SRWLOCK_INIT;
static ParkedThread* parked[MAX_PARKED_THREADS];
static int parkedCount = 0;

// Waits for the next work; false when there is no room to park.
static bool parkForWork(ParkedThread* self) {
    AcquireSRWLockExclusive(&parkingLock);
    self->body = nullptr;
    bool room = parkedCount < MAX_PARKED_THREADS;
    if (room) {
        parked[parkedCount++] = self;
        while (self->body == nullptr) {
            SleepConditionVariableSRW(&self->wake, &parkingLock, INFINITE, 0);
        }
    }
    ReleaseSRWLockExclusive(&parkingLock);
    return room;
}

static bool handToParkedThread(ThreadBody body, void* argument) {
    AcquireSRWLockExclusive(&parkingLock);
    ParkedThread* thread = parkedCount > 0 ? parked[--parkedCount] : nullptr;
    if (thread != nullptr) {
        thread->body = body;
        thread->argument = argument;
        WakeConditionVariable(&thread->wake);
    }
    ReleaseSRWLockExclusive(&parkingLock);
    return thread != nullptr;
}

static DWORD WINAPI runWorkerThread(LPVOID start) {
    ParkedThread self{};
    self.body = static_cast<ThreadStart*>(start)->body;
    self.argument = static_cast<ThreadStart*>(start)->argument;
    receiveSlot = static_cast<ThreadStart*>(start)->receiveSlot;
    sendSlot = static_cast<ThreadStart*>(start)->sendSlot;
    delete static_cast<ThreadStart*>(start);
    InitializeConditionVariable(&self.wake);
    do {
        self.body(self.argument);
    } while (parkForWork(&self));
    destroyIoSlot(receiveSlot);
    destroyIoSlot(sendSlot);
    return 0;
}

// A new worker thread gets its receive and send records before it starts, so
// that a shortage is a failed start, never a failed send blamed on a peer.
static bool startNewWorkerThread(ThreadBody body, void* argument, std::size_t stackBytes) {
    ThreadStart start{body, argument, createIoSlot(), createIoSlot()};
    if (start.receiveSlot != nullptr && start.sendSlot != nullptr &&
        startThread(runWorkerThread, start, stackBytes)) {
        return true;
    }
    destroyIoSlot(start.receiveSlot);
    destroyIoSlot(start.sendSlot);
    return false;
}

bool startWorkerThread(ThreadBody body, void* argument, std::size_t stackBytes) {
    return handToParkedThread(body, argument) || startNewWorkerThread(body, argument, stackBytes);
}

void pauseMilliseconds(int milliseconds) { Sleep(static_cast<DWORD>(milliseconds)); }

void idleForever() {
    for (;;) {
        Sleep(INFINITE);
    }
}

struct RelayLock {
    HANDLE mutex;
};

RelayLock* createRelayLock() {
    auto* lock = new (std::nothrow) RelayLock{nullptr};
    if (lock == nullptr) {
        return nullptr;
    }
    lock->mutex = CreateMutexW(nullptr, FALSE, nullptr);
    if (lock->mutex == nullptr) {
        delete lock;
        return nullptr;
    }
    return lock;
}

void acquireRelayLock(RelayLock* lock) { WaitForSingleObject(lock->mutex, INFINITE); }

void releaseRelayLock(RelayLock* lock) { ReleaseMutex(lock->mutex); }

// ---- Console ---------------------------------------------------------------

static bool isConsole(DWORD standardHandle) {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(standardHandle), &mode) != 0;
}

// Where keys come from, decided once by consoleOpen before the first readKey.
static bool keysFromConsole = false;

void consoleOpen() {
    keysFromConsole = isConsole(STD_INPUT_HANDLE);
    // Ctrl-C must not end the hub: between two reads it is ignored, and during
    // a read _getch delivers it as code 3 like any other key.
    SetConsoleCtrlHandler(nullptr, TRUE);
}

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

void clearScreen() {
    if (isConsole(STD_OUTPUT_HANDLE)) {
        std::system("cls");
    }
}
