// Win32 network stack and sockets: WinSock 2, with overlapped receives that a
// worker waits for beside its client's stop, and overlapped sends that a
// fan-out keeps in flight to every peer at once and waits for together.

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

// Sockets are inheritable by default. The one child the hub starts ("cls")
// inherits nothing (console.cpp); the sockets are kept to this process as
// well, so that no child started any other way could hold a client's
// connection open past our close and delay its reset.
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
// A worker's receive is overlapped, on a record of the worker thread's own,
// so that it can wait beside its client's receive stop. A fan-out's sends
// are overlapped, on a record of each connection's own, so that every peer's
// send is in flight at once and progresses without the hub's help. Where
// the socket is at hand, an operation's end is read with
// WSAGetOverlappedResult: that is what every socket provider honours (one
// that is not a file system provider may use the record's status field as
// it likes). The record's event only says when to look again, except in
// destroySendSlot, which has no socket and goes by the event, set once the
// send has ended. A record whose operation could not be made to end is
// given up, never freed nor reused: the system may still write it, and the
// buffer it points at.

// A new record (IoSlot or SendSlot) with its completion event: manual-reset,
// so it stays set once the operation has ended until the record is used
// again. Null when either cannot be had.
template <typename Record> static Record* newRecordWithEvent() {
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (done == nullptr) {
        return nullptr;
    }
    auto* record = new (std::nothrow) Record{};
    if (record == nullptr) {
        CloseHandle(done);
        return nullptr;
    }
    record->overlapped.hEvent = done;
    return record;
}

// Ready for the next operation: cleared, its event unset. The call resets the
// event as it starts too, but an event set by an earlier operation must not
// be taken for this one's end.
static WSAOVERLAPPED* freshOverlapped(WSAOVERLAPPED* record) {
    HANDLE done = record->hEvent;
    *record = WSAOVERLAPPED{};
    record->hEvent = done;
    ResetEvent(done);
    return record;
}

// True once the operation on the record has ended, however it ended.
static bool operationEnded(SOCKET socket, WSAOVERLAPPED* record) {
    DWORD bytes = 0;
    DWORD flags = 0;
    return WSAGetOverlappedResult(socket, record, &bytes, FALSE, &flags) != 0 ||
           WSAGetLastError() != WSA_IO_INCOMPLETE;
}

// How long cancelled operations may take to end, all of them together.
// Cancelling ends one at once on any ordinary socket; past this it is given
// up.
constexpr DWORD CANCEL_WAIT_MILLISECONDS = 500;

// How long to rest when the system cannot give what a wait or a send needs:
// the shortage is the hub's own, waited out within the time given.
constexpr DWORD SHORTAGE_PAUSE_MILLISECONDS = 10;

static DWORD millisecondsSince(DWORD start) { return GetTickCount() - start; }

static DWORD millisecondsLeft(DWORD start, DWORD limit) {
    return limit - std::min(limit, millisecondsSince(start));
}

// Waits until the cancelled operation on the record has ended, but not past
// CANCEL_WAIT_MILLISECONDS from `start`; false when it has not ended by then.
static bool endedByCancelLimit(SOCKET socket, WSAOVERLAPPED* record, DWORD start) {
    while (!operationEnded(socket, record)) {
        DWORD left = millisecondsLeft(start, CANCEL_WAIT_MILLISECONDS);
        if (left == 0) {
            return false;
        }
        // The event says when to look again; should it be set, or fail,
        // while the provider still reports the operation under way, pause
        // instead of spinning.
        if (WaitForSingleObject(record->hEvent, left) != WAIT_TIMEOUT &&
            !operationEnded(socket, record)) {
            Sleep(std::min<DWORD>(left, 1));
        }
    }
    return true;
}

// ---- A thread's receive record ---------------------------------------------

// One receive's record and the event it completes on.
struct IoSlot {
    WSAOVERLAPPED overlapped;
};

static IoSlot* createIoSlot() { return newRecordWithEvent<IoSlot>(); }

static void destroyIoSlot(IoSlot* slot) {
    if (slot != nullptr) {
        CloseHandle(slot->overlapped.hEvent);
        delete slot;
    }
}

// The thread's own record: made before it starts (see threads.cpp) and given
// back when it ends; a thread started elsewhere makes one at its first
// receive. One that is given up is replaced at the next receive.
static thread_local IoSlot* receiveSlot = nullptr;

bool createThreadIo(ThreadIo* io) {
    io->receive = createIoSlot();
    return io->receive != nullptr;
}

void destroyThreadIo(const ThreadIo& io) { destroyIoSlot(io.receive); }

void useThreadIo(const ThreadIo& io) { receiveSlot = io.receive; }

void releaseThreadIo() { destroyThreadIo(ThreadIo{receiveSlot}); }

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

// Ends a receive that its stop interrupted: -1 once it has ended, or
// RECEIVE_ABANDONED when its cancel did not end it in time; its record is
// then given up, and the caller's buffer with it.
static int endStoppedReceive(SOCKET socket, WSAOVERLAPPED* pending) {
    CancelIoEx(reinterpret_cast<HANDLE>(socket), pending); // not found: it ended
    if (endedByCancelLimit(socket, pending, GetTickCount())) {
        return -1;
    }
    receiveSlot = nullptr;
    return RECEIVE_ABANDONED;
}

// Waits until the receive in flight has ended (true) or the stop came first
// (false). Should a provider set the event before its result reads as done,
// it is looked at again shortly rather than spun on.
static bool receiveEndedBeforeStop(SOCKET socket, WSAOVERLAPPED* pending, HANDLE stopped) {
    HANDLE ends[] = {pending->hEvent, stopped};
    for (;;) {
        bool ownEvent = WaitForMultipleObjects(2, ends, FALSE, INFINITE) == WAIT_OBJECT_0;
        if (operationEnded(socket, pending)) {
            return true;
        }
        if (!ownEvent) {
            return false;
        }
        Sleep(1);
    }
}

// The receive waits for its own end or the client's stop, whichever comes
// first. A stop ends it here, whatever socket provider is installed; the
// handle stays open until the worker closes it.
int socketReceive(SocketHandle socket, ReceiveStop* stop, char* buffer, int length) {
    if (receiveSlot == nullptr && (receiveSlot = createIoSlot()) == nullptr) {
        return -1;
    }
    SOCKET s = native(socket);
    WSAOVERLAPPED* pending = freshOverlapped(&receiveSlot->overlapped);
    WSABUF into{static_cast<ULONG>(length), buffer};
    DWORD flags = 0;
    bool atOnce = WSARecv(s, &into, 1, nullptr, &flags, pending, nullptr) == 0;
    if (!atOnce && WSAGetLastError() != WSA_IO_PENDING) {
        return -1;
    }
    // Bytes already there are taken without a wait, as a blocking receive
    // would; a stop then ends the next receive.
    if (!atOnce && !receiveEndedBeforeStop(s, pending, stop->stopped)) {
        return endStoppedReceive(s, pending);
    }
    DWORD received = 0;
    return WSAGetOverlappedResult(s, pending, &received, FALSE, &flags) != 0
               ? static_cast<int>(received)
               : -1;
}

// ---- Sends to many peers at once -------------------------------------------
// Each send goes out whole in one overlapped call: in flight, it progresses
// as the peer reads, without the hub's help, so every peer's send runs at
// once and a stuck peer holds up nobody. The fan-out then waits on the
// sends' events together.

struct SendSlot {
    WSAOVERLAPPED overlapped; // its event is set when the send has ended
    bool inFlight;            // started and not yet seen to end (continueSend, abandonSends)
    bool givenUp;             // its cancel did not end it: the system may still write it
};

SendSlot* createSendSlot() { return newRecordWithEvent<SendSlot>(); }

// A send still in flight here was never abandoned: without its socket it
// cannot be cancelled, so its record is kept unless its event already says
// it ended.
void destroySendSlot(SendSlot* slot) {
    if (slot == nullptr || slot->givenUp ||
        (slot->inFlight && WaitForSingleObject(slot->overlapped.hEvent, 0) != WAIT_OBJECT_0)) {
        return;
    }
    CloseHandle(slot->overlapped.hEvent);
    delete slot;
}

namespace {
struct WatchedSend {
    SOCKET socket;
    SendSlot* slot;
};
} // namespace

struct SendBatch {
    WatchedSend* watched; // room for `capacity`, of which `count` are in use
    std::uint32_t count;
    std::uint32_t capacity;
    bool shortage;            // a send met WSAENOBUFS since the last wait
    std::uint32_t sliceStart; // where the next wait over many sends begins
};

SendBatch* createSendBatch() { return new (std::nothrow) SendBatch{}; }

// Grows by at least half, so clients joining one by one cost few copies.
bool reserveSendBatch(SendBatch* batch, std::uint32_t sends) {
    if (sends <= batch->capacity) {
        return true;
    }
    std::uint32_t capacity = std::max(sends, batch->capacity + batch->capacity / 2);
    auto* watched = new (std::nothrow) WatchedSend[capacity];
    if (watched == nullptr) {
        return false;
    }
    std::copy(batch->watched, batch->watched + batch->count, watched);
    delete[] batch->watched;
    batch->watched = watched;
    batch->capacity = capacity;
    return true;
}

static bool connectionBroken(int error) {
    return error == WSAECONNRESET || error == WSAECONNABORTED || error == WSAENOTCONN ||
           error == WSAESHUTDOWN || error == WSAENETRESET || error == WSAETIMEDOUT;
}

// A send that failed is out of flight. Lacking the hub's own buffers is never
// the peer's fault: the send waits, and the next wait is a short rest.
static int sendFailure(SendBatch* batch, SendSlot* slot, int error) {
    slot->inFlight = false;
    if (error == WSAENOBUFS) {
        batch->shortage = true;
        return SEND_WAITING;
    }
    return connectionBroken(error) ? SEND_PEER_GONE : SEND_FAILED;
}

// The send's result, read without waiting: bytes when it ended, or how it
// failed. One that ended having taken nothing is out of flight and waiting:
// the next continueSend starts it again.
static int sendOutcome(SendBatch* batch, SOCKET socket, SendSlot* slot) {
    DWORD sent = 0;
    DWORD flags = 0;
    if (WSAGetOverlappedResult(socket, &slot->overlapped, &sent, FALSE, &flags) != 0) {
        slot->inFlight = false;
        return static_cast<int>(sent); // 0: SEND_WAITING
    }
    int error = WSAGetLastError();
    return error == WSA_IO_INCOMPLETE ? SEND_WAITING : sendFailure(batch, slot, error);
}

int startSend(SendBatch* batch, SocketHandle socket, SendSlot* slot, const char* data, int length) {
    if (slot->givenUp || slot->inFlight) {
        return SEND_FAILED; // its record is not free for another send
    }
    SOCKET s = native(socket);
    WSABUF from{static_cast<ULONG>(length), const_cast<char*>(data)};
    slot->inFlight = true;
    if (WSASend(s, &from, 1, nullptr, 0, freshOverlapped(&slot->overlapped), nullptr) == 0) {
        return sendOutcome(batch, s, slot); // done at once
    }
    int error = WSAGetLastError();
    return error == WSA_IO_PENDING ? SEND_WAITING : sendFailure(batch, slot, error);
}

int continueSend(SendBatch* batch, SocketHandle socket, SendSlot* slot, const char* data,
                 int length) {
    if (!slot->inFlight) {
        return startSend(batch, socket, slot, data, length);
    }
    return sendOutcome(batch, native(socket), slot);
}

void clearSendWatch(SendBatch* batch) { batch->count = 0; }

// Room was made by reserveSendBatch; past it, a send is not watched, and the
// wait rests briefly so the caller still looks at it soon.
void watchSend(SendBatch* batch, SocketHandle socket, SendSlot* slot) {
    if (batch->count < batch->capacity) {
        batch->watched[batch->count++] = WatchedSend{native(socket), slot};
    } else {
        batch->shortage = true;
    }
}

// One wait covers at most MAXIMUM_WAIT_OBJECTS events. With more sends in
// flight, a wait takes them from where the last one stopped in the watch
// list, which the fan-out rebuilds after every wait from the sends still
// unfinished, so the turns are only roughly fair; and it lasts at most this
// long. The caller looks at every unfinished send after each wait, watched
// or not, so none waits more than this for its end to be seen.
constexpr DWORD SLICE_WAIT_MILLISECONDS = 50;

// Gathers the events of up to MAXIMUM_WAIT_OBJECTS sends in flight, taking
// turns when there are more. Returns how many; `outOfFlight` tells whether a
// watched send is waiting to be started again.
static DWORD gatherEvents(SendBatch* batch, HANDLE* events, bool* sliced, bool* outOfFlight) {
    DWORD gathered = 0;
    *sliced = false;
    *outOfFlight = false;
    std::uint32_t count = batch->count;
    std::uint32_t first = count == 0 ? 0 : batch->sliceStart % count;
    for (std::uint32_t i = 0; i < count; ++i) {
        const WatchedSend& send = batch->watched[(first + i) % count];
        if (!send.slot->inFlight) {
            *outOfFlight = true;
        } else if (gathered < MAXIMUM_WAIT_OBJECTS) {
            events[gathered++] = send.slot->overlapped.hEvent;
            batch->sliceStart = first + i + 1;
        } else {
            *sliced = true;
        }
    }
    return gathered;
}

void waitForSends(SendBatch* batch, int milliseconds) {
    DWORD limit = static_cast<DWORD>(std::max(milliseconds, 0));
    HANDLE events[MAXIMUM_WAIT_OBJECTS];
    bool sliced = false;
    bool outOfFlight = false;
    DWORD gathered = gatherEvents(batch, events, &sliced, &outOfFlight);
    if (batch->shortage || outOfFlight || gathered == 0) {
        limit = std::min(limit, SHORTAGE_PAUSE_MILLISECONDS);
    } else if (sliced) {
        limit = std::min(limit, SLICE_WAIT_MILLISECONDS);
    }
    batch->shortage = false;
    if (gathered == 0 || WaitForMultipleObjects(gathered, events, FALSE, limit) == WAIT_FAILED) {
        Sleep(std::min(limit, SHORTAGE_PAUSE_MILLISECONDS));
    }
}

// Every cancel is issued before any wait, so the sends end together and the
// fan-out waits CANCEL_WAIT_MILLISECONDS at most, however many there are.
bool abandonSends(SendBatch* batch) {
    for (std::uint32_t i = 0; i < batch->count; ++i) {
        const WatchedSend& send = batch->watched[i];
        if (send.slot->inFlight) {
            // Not found: it ended meanwhile, as its result will say.
            CancelIoEx(reinterpret_cast<HANDLE>(send.socket), &send.slot->overlapped);
        }
    }
    DWORD start = GetTickCount();
    bool allEnded = true;
    for (std::uint32_t i = 0; i < batch->count; ++i) {
        const WatchedSend& send = batch->watched[i];
        if (!send.slot->inFlight) {
            continue;
        }
        if (endedByCancelLimit(send.socket, &send.slot->overlapped, start)) {
            send.slot->inFlight = false;
        } else {
            send.slot->givenUp = true;
            allEnded = false;
        }
    }
    return allEnded;
}

void socketResetOnClose(SocketHandle socket) {
    linger abortive{1, 0};
    ::setsockopt(native(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abortive),
                 sizeof abortive);
}

void socketShutdownBoth(SocketHandle socket) { ::shutdown(native(socket), SD_BOTH); }

// Should the stop itself fail, cancelling the socket's operations still ends
// its receive with the usual socket provider, and shutting the receiving side
// down ends later ones. Neither sends the peer a FIN: a client cut off must
// see the close's reset, not a clean end after part of a chunk.
void socketEndReceive(SocketHandle socket, ReceiveStop* stop) {
    if (SetEvent(stop->stopped) == 0) {
        ::shutdown(native(socket), SD_RECEIVE);
        CancelIoEx(reinterpret_cast<HANDLE>(native(socket)), nullptr);
    }
}

void socketClose(SocketHandle socket) { ::closesocket(native(socket)); }
