// POSIX network stack and sockets: BSD sockets, a blocking receive, sends
// that never block and one poll over every send that waits for room.

#include "platform/platform.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <netinet/in.h>
#include <new>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

static_assert(sizeof(NetAddress) == sizeof(sockaddr_in), "NetAddress must match sockaddr_in");
static_assert(NET_FAMILY_IPV4 == AF_INET, "NetAddress family must match AF_INET");

// ---- Network stack ---------------------------------------------------------

// Sockets need no library start here. What the process does need before it
// serves many clients: a send to a vanished peer must fail, not kill us, and
// the descriptor limit should allow as many clients as the machine does.
int netStartup(std::uint16_t requestedVersion, NetStackInfo* info) {
    std::signal(SIGPIPE, SIG_IGN);
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit); // keeping the old limit is fine too
    }
    info->version = requestedVersion;
    return 0;
}

void netCleanup() {}

std::uint16_t hostToNetwork16(std::uint16_t value) { return htons(value); }

// ---- Sockets ---------------------------------------------------------------

static int fd(SocketHandle socket) { return static_cast<int>(socket); }

SocketHandle tcpSocket() {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    return s < 0 ? INVALID_SOCKET_HANDLE : static_cast<SocketHandle>(s);
}

// Without it the port stays taken for a minute after a stop with clients
// connected: the hub closes first, so the old connections linger in
// TIME_WAIT. Linux still refuses a port that a live listener holds.
void listenerAllowRestart(SocketHandle listener) {
    int on = 1;
    ::setsockopt(fd(listener), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

int socketBind(SocketHandle socket, const NetAddress* address, int length) {
    sockaddr_in native{};
    std::memcpy(&native, address, sizeof native);
    return ::bind(fd(socket), reinterpret_cast<const sockaddr*>(&native),
                  static_cast<socklen_t>(length));
}

int socketName(SocketHandle socket, NetAddress* address, int* length) {
    sockaddr_in native{};
    socklen_t nativeLength = static_cast<socklen_t>(*length);
    int result = ::getsockname(fd(socket), reinterpret_cast<sockaddr*>(&native), &nativeLength);
    if (result == 0) {
        std::memcpy(address, &native, sizeof native);
        *length = static_cast<int>(nativeLength);
    }
    return result;
}

int socketListen(SocketHandle socket, int backlog) { return ::listen(fd(socket), backlog); }

AcceptStatus socketAccept(SocketHandle listener, SocketHandle* accepted) {
    int s = ::accept4(fd(listener), nullptr, nullptr, SOCK_CLOEXEC);
    if (s >= 0) {
        *accepted = static_cast<SocketHandle>(s);
        return AcceptStatus::Accepted;
    }
    switch (errno) {
    case ECONNABORTED: // the peer gave up while queued
    case EINTR:
    case EPROTO:
    case EPERM: // refused by a firewall rule
        return AcceptStatus::Retry;
    default: // EMFILE, ENFILE, ENOBUFS, ENOMEM, or the listener itself is broken
        return AcceptStatus::Pause;
    }
}

// Shutting the socket down is all it takes to end a receive here.
struct ReceiveStop {};
static ReceiveStop nothingToStop;

ReceiveStop* createReceiveStop() { return &nothingToStop; }

void destroyReceiveStop(ReceiveStop* /*stop*/) {}

int socketReceive(SocketHandle socket, ReceiveStop* /*stop*/, char* buffer, int length) {
    for (;;) {
        ssize_t n = ::recv(fd(socket), buffer, static_cast<size_t>(length), 0);
        if (n >= 0 || errno != EINTR) {
            return static_cast<int>(n);
        }
    }
}

static bool connectionBroken(int error) {
    return error == ECONNRESET || error == EPIPE || error == ENOTCONN || error == ECONNABORTED ||
           error == ETIMEDOUT;
}

// ---- Sends to many peers at once ---------------------------------------------
// Sends never block (the socket stays blocking for its worker's receive); a
// send that finds no room is watched, and one poll waits for room on every
// watched socket at once. poll rather than epoll: nothing to register per
// connection, and only the sends that found no room are ever in the set.

// A send here ends as its call returns: nothing stays in flight.
struct SendSlot {};
static SendSlot nothingInFlight;

SendSlot* createSendSlot() { return &nothingInFlight; }

void destroySendSlot(SendSlot* /*slot*/) {}

struct SendBatch {
    pollfd* watched; // room for `capacity`, grown only by reserveSendBatch
    std::uint32_t capacity;
    std::uint32_t count;
    bool shortage; // a send met a shortage of the hub's own since the last wait
};

SendBatch* createSendBatch() { return new (std::nothrow) SendBatch{nullptr, 0, 0, false}; }

// Grown by doubling from a start that covers a small hub at once.
constexpr std::uint32_t MIN_SEND_BATCH = 64;

bool reserveSendBatch(SendBatch* batch, std::uint32_t sends) {
    if (sends <= batch->capacity) {
        return true;
    }
    std::uint32_t capacity = std::max({sends, batch->capacity * 2, MIN_SEND_BATCH});
    auto* watched = new (std::nothrow) pollfd[capacity];
    if (watched == nullptr) {
        return false;
    }
    delete[] batch->watched;
    batch->watched = watched;
    batch->capacity = capacity;
    return true;
}

// Each peer takes its copy in sends of at most this size. Same bytes, same
// order; but on loopback one 64 KiB send per peer cost nearly twice the CPU
// per byte delivered that two 32 KiB sends do.
constexpr int SEND_PIECE_BYTES = 32 * 1024;

int startSend(SendBatch* batch, SocketHandle socket, SendSlot* /*slot*/, const char* data,
              int length) {
    for (;;) {
        ssize_t n =
            ::send(fd(socket), data, static_cast<size_t>(std::min(length, SEND_PIECE_BYTES)),
                   MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) {
            return static_cast<int>(n);
        }
        switch (errno) {
        case EINTR:
            continue;
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
            return SEND_WAITING;
        case ENOBUFS: // the hub's own shortage: waited out, never the peer's fault
        case ENOMEM:
            batch->shortage = true;
            return SEND_WAITING;
        default:
            return connectionBroken(errno) ? SEND_PEER_GONE : SEND_FAILED;
        }
    }
}

// Nothing is in flight here: a send that waited simply tries again.
int continueSend(SendBatch* batch, SocketHandle socket, SendSlot* slot, const char* data,
                 int length) {
    return startSend(batch, socket, slot, data, length);
}

void clearSendWatch(SendBatch* batch) { batch->count = 0; }

void watchSend(SendBatch* batch, SocketHandle socket, SendSlot* /*slot*/) {
    if (batch->count < batch->capacity) {
        batch->watched[batch->count++] = pollfd{fd(socket), POLLOUT, 0};
    }
}

// How long to rest when a send or the wait itself met a shortage of the
// hub's own: poll would report room at once, so the rest keeps the retries
// from spinning, and the caller's deadline still bounds them.
constexpr int SHORTAGE_PAUSE_MILLISECONDS = 10;

void waitForSends(SendBatch* batch, int milliseconds) {
    int rest = std::min(milliseconds, SHORTAGE_PAUSE_MILLISECONDS);
    if (batch->shortage) {
        batch->shortage = false;
        pauseMilliseconds(rest);
        return;
    }
    if (::poll(batch->watched, batch->count, milliseconds) < 0 && errno != EINTR) {
        pauseMilliseconds(rest);
    }
}

// A send here never outlives its call, so there is nothing to cancel.
bool abandonSends(SendBatch* batch) {
    clearSendWatch(batch);
    return true;
}

// ---- Closing ---------------------------------------------------------------

void socketResetOnClose(SocketHandle socket) {
    linger abortive{1, 0};
    ::setsockopt(fd(socket), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
}

void socketShutdownBoth(SocketHandle socket) { ::shutdown(fd(socket), SHUT_RDWR); }

// A receive blocked on a socket whose receiving side is shut down returns at
// once; later ones return what was already queued, then the end. No end of
// stream goes to the peer: a client that is cut off sees only the reset of
// the close.
void socketEndReceive(SocketHandle socket, ReceiveStop* /*stop*/) {
    ::shutdown(fd(socket), SHUT_RD);
}

void socketClose(SocketHandle socket) { ::close(fd(socket)); }
