// POSIX implementation of platform.h: BSD sockets, pthreads, termios.

#include "platform/platform.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <new>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <termios.h>
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

int socketReceive(SocketHandle socket, char* buffer, int length) {
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
            pollfd watched{fd(socket), POLLOUT, 0};
            int ready = ::poll(&watched, 1, milliseconds);
            if (ready == 0 || (ready < 0 && errno != EINTR)) {
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

// A receive blocked on a socket that is shut down returns at once; later
// ones return what was already queued, then the end.
void socketEndReceive(SocketHandle socket) { ::shutdown(fd(socket), SHUT_RDWR); }

void socketShutdownBoth(SocketHandle socket) { ::shutdown(fd(socket), SHUT_RDWR); }

void socketClose(SocketHandle socket) { ::close(fd(socket)); }

// ---- Threads and the relay lock --------------------------------------------

namespace {
struct ThreadStart {
    ThreadBody body;
    void* argument;
};
} // namespace

static void* runThread(void* start) {
    ThreadStart copy = *static_cast<ThreadStart*>(start);
    delete static_cast<ThreadStart*>(start);
    copy.body(copy.argument);
    return nullptr;
}

bool startDetachedThread(ThreadBody body, void* argument, std::size_t stackBytes) {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) {
        return false;
    }
    bool ready = pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED) == 0 &&
                 (stackBytes == 0 || pthread_attr_setstacksize(&attributes, stackBytes) == 0);
    // cppcheck-suppress unreadVariable ; cppcheck 2.10 misreads new (std::nothrow) T{...}
    auto* start = ready ? new (std::nothrow) ThreadStart{body, argument} : nullptr;
    pthread_t thread;
    bool started = start != nullptr && pthread_create(&thread, &attributes, runThread, start) == 0;
    if (!started) {
        delete start;
    }
    pthread_attr_destroy(&attributes);
    return started;
}

void pauseMilliseconds(int milliseconds) {
    timespec delay{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    while (nanosleep(&delay, &delay) != 0 && errno == EINTR) {
    }
}

void idleForever() {
    for (;;) {
        pause();
    }
}

struct RelayLock {
    pthread_mutex_t mutex;
};

RelayLock* createRelayLock() {
    auto* lock = new (std::nothrow) RelayLock;
    if (lock != nullptr && pthread_mutex_init(&lock->mutex, nullptr) != 0) {
        delete lock;
        return nullptr;
    }
    return lock;
}

void acquireRelayLock(RelayLock* lock) { pthread_mutex_lock(&lock->mutex); }

void releaseRelayLock(RelayLock* lock) { pthread_mutex_unlock(&lock->mutex); }

// ---- Console ---------------------------------------------------------------

// The terminal's mode as we found it. Written once by consoleOpen, before any
// handler that reads it is installed.
static termios savedTerminal;
static volatile sig_atomic_t terminalSaved = 0;

// At a normal end the screen may finish drawing first, and keys typed since
// are dropped rather than left for the shell.
static void restoreTerminalAtExit() {
    if (terminalSaved != 0) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
    }
}

// Put the terminal back at once, even when its output is suspended and an
// answer is stuck in it (waiting for that to drain could take forever), then
// die of the same signal so the parent sees the true status. Everything here
// is async-signal-safe.
static void restoreAndReraise(int signalNumber) {
    if (terminalSaved != 0) {
        tcflush(STDIN_FILENO, TCIFLUSH);
        tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
    }
    std::signal(signalNumber, SIG_DFL);
    raise(signalNumber);
}

static const int TERMINATING_SIGNALS[] = {SIGTERM, SIGHUP, SIGINT, SIGQUIT};

// A signal the launcher set to "ignore" (nohup, a background job) stays
// ignored; the others restore the terminal before they end the process.
static void restoreTerminalOnSignals() {
    for (int signalNumber : TERMINATING_SIGNALS) {
        struct sigaction current {};
        if (sigaction(signalNumber, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) {
            continue;
        }
        struct sigaction handler {};
        handler.sa_handler = restoreAndReraise;
        sigemptyset(&handler.sa_mask);
        sigaction(signalNumber, &handler, nullptr);
    }
}

void consoleOpen() {
    if (isatty(STDIN_FILENO) == 0 || tcgetattr(STDIN_FILENO, &savedTerminal) != 0) {
        return; // keys come from a pipe or a file: nothing to set up
    }
    termios raw = savedTerminal;
    // No echo, no line editing, and no signal keys: Ctrl-C arrives as byte 3.
    // Output processing stays on so a line feed still returns the carriage.
    raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON | ISIG | IEXTEN);
    raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | BRKINT | INPCK | ISTRIP);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    terminalSaved = 1;
    std::atexit(restoreTerminalAtExit);
    restoreTerminalOnSignals();
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &raw);
}

// Waits until a key can be read, for at most `milliseconds` (or for ever);
// false when none came in time. Standard input may be non-blocking (some
// launchers hand one over), so reads never wait by themselves.
static bool keyArrives(int milliseconds) {
    pollfd keys{STDIN_FILENO, POLLIN, 0};
    for (;;) {
        int ready = ::poll(&keys, 1, milliseconds);
        if (ready >= 0) {
            return ready > 0; // a hang-up or error is ready too: the read says which
        }
        if (errno != EINTR) {
            return true; // the read then reports the failure
        }
    }
}

int readKeyCode(int milliseconds) {
    for (;;) {
        if (!keyArrives(milliseconds)) {
            return KEY_NOT_IN_TIME;
        }
        unsigned char key = 0;
        ssize_t n = ::read(STDIN_FILENO, &key, 1);
        if (n == 1) {
            return key;
        }
        if (n == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
            return KEYS_ENDED;
        }
    }
}

void clearScreen() {
    if (isatty(STDOUT_FILENO) != 0) {
        std::fputs("\033[H\033[2J", stdout);
    }
}
