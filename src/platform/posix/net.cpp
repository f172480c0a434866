// POSIX network stack and sockets: BSD sockets, a blocking receive, sends
// that wait for room with poll and never past their time.

#include "platform/platform.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
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

static long millisecondsSince(const timespec& start) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - start.tv_sec) * 1000L + (now.tv_nsec - start.tv_nsec) / 1000000L;
}

// How long to rest when the wait itself fails for lack of memory or the like:
// the shortage is ours, not the peer's, so it is waited out within the time
// given rather than blamed on the peer.
constexpr int WAIT_FAILURE_PAUSE_MILLISECONDS = 10;

// True when the socket has room before `milliseconds` have passed.
static bool roomArrives(int socket, int milliseconds) {
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (long left = milliseconds; left >= 0; left = milliseconds - millisecondsSince(start)) {
        pollfd watched{socket, POLLOUT, 0};
        int ready = ::poll(&watched, 1, static_cast<int>(left));
        if (ready >= 0) {
            return ready > 0;
        }
        if (errno != EINTR) {
            pauseMilliseconds(
                static_cast<int>(std::min<long>(left, WAIT_FAILURE_PAUSE_MILLISECONDS)));
        }
    }
    return false;
}

// The socket stays blocking for its worker's receive; sends alone never
// block, so a peer that keeps up costs one call per send and nothing more.
int socketSendWithin(SocketHandle socket, const char* data, int length, int milliseconds) {
    for (;;) {
        ssize_t n =
            ::send(fd(socket), data, static_cast<size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) {
            return static_cast<int>(n);
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!roomArrives(fd(socket), milliseconds)) {
                return SEND_FAILED;
            }
        } else if (errno != EINTR) {
            return connectionBroken(errno) ? SEND_PEER_GONE : SEND_FAILED;
        }
    }
}

void socketResetOnClose(SocketHandle socket) {
    linger abortive{1, 0};
    ::setsockopt(fd(socket), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
}

void socketShutdownBoth(SocketHandle socket) { ::shutdown(fd(socket), SHUT_RDWR); }

// A receive blocked on a socket that is shut down returns at once; later
// ones return what was already queued, then the end.
void socketEndReceive(SocketHandle socket, ReceiveStop* /*stop*/) { socketShutdownBoth(socket); }

void socketClose(SocketHandle socket) { ::close(fd(socket)); }
