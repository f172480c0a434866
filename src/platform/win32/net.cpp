// Win32 network stack and sockets: WinSock 2, with overlapped receives and
// sends that a worker waits for with a limit or beside its client's stop.

#include "platform/platform.h"
#include "platform/win32/internal.h"

// WinSock 2 must come before windows.h, which would bring in WinSock 1.
#include <winsock2.h>

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <new>

static_assert(sizeof(NetAddress) == sizeof(sockaddr_in), "NetAddress must match sockaddr_in");
static_assert(NET_FAMILY_IPV4 == AF_INET, "NetAddress family must match AF_INET");
// A SOCKET is pointer-wide, but Windows keeps handle values within 32 bits so
// that 32- and 64-bit processes can pass them to each other: narrowing one is
// safe, and widening sign-extends (INVALID_SOCKET stays itself). The 64-bit
// build exists only to run the tests where 32-bit programs cannot run.
static_assert(sizeof(SocketHandle) <= sizeof(SOCKET), "a socket handle holds a SOCKET's value");

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

// The thread's own records: made before it starts (see threads.cpp) and
// given back when it ends; a thread started elsewhere makes them at its first
// receive or send. A record whose operation could not be made to end is given
// up, never freed, since the system may still write it; the thread then makes
// a new one.
static thread_local IoSlot* receiveSlot = nullptr;
static thread_local IoSlot* sendSlot = nullptr;

bool createThreadIo(ThreadIo* io) {
    io->receive = createIoSlot();
    io->send = createIoSlot();
    if (io->receive != nullptr && io->send != nullptr) {
        return true;
    }
    destroyThreadIo(*io);
    return false;
}

void destroyThreadIo(const ThreadIo& io) {
    destroyIoSlot(io.receive);
    destroyIoSlot(io.send);
}

void useThreadIo(const ThreadIo& io) {
    receiveSlot = io.receive;
    sendSlot = io.send;
}

void releaseThreadIo() { destroyThreadIo(ThreadIo{receiveSlot, sendSlot}); }

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
