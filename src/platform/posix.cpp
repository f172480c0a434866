// POSIX implementation of platform.h: BSD sockets, pthreads, termios.

#include "platform/platform.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <new>
#include <poll.h>
#include <pthread.h>
#include <semaphore.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

static_assert(sizeof(NetAddress) == sizeof(sockaddr_in), "NetAddress must match sockaddr_in");
static_assert(NET_FAMILY_IPV4 == AF_INET, "NetAddress family must match AF_INET");

// ---- Standard streams ------------------------------------------------------

// A standard descriptor closed at start would be the next one opened: the
// listener's, or a client's, and the console would write its screen to that
// client. The null device holds each closed one instead.
bool reserveStandardStreams() {
    for (int stream = STDIN_FILENO; stream <= STDERR_FILENO; ++stream) {
        if (::fcntl(stream, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        int held = ::open("/dev/null", O_RDWR);
        if (held != stream) {
            if (held >= 0) {
                ::close(held);
            }
            return false;
        }
    }
    return true;
}

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

// A stop and a continue are the console's to act on, so every thread but the
// console's keeps them blocked and their handlers run there at once: one
// meant for a thread waiting in a receive could be held back until the
// receive returns (ThreadSanitizer holds it so). The thread that starts the
// others blocks them before its first start, and they inherit that; the
// console unblocks them for itself.
static void maskJobControl(int how) {
    sigset_t jobControl;
    sigemptyset(&jobControl);
    sigaddset(&jobControl, SIGTSTP);
    sigaddset(&jobControl, SIGCONT);
    pthread_sigmask(how, &jobControl, nullptr);
}

// Starts a detached thread at `entry`, which takes over a ThreadStart.
static bool startThread(void* (*entry)(void*), ThreadBody body, void* argument,
                        std::size_t stackBytes) {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) {
        return false;
    }
    bool ready = pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED) == 0 &&
                 (stackBytes == 0 || pthread_attr_setstacksize(&attributes, stackBytes) == 0);
    // cppcheck-suppress unreadVariable ; cppcheck 2.10 misreads new (std::nothrow) T{...}
    auto* start = ready ? new (std::nothrow) ThreadStart{body, argument} : nullptr;
    pthread_t thread;
    maskJobControl(SIG_BLOCK);
    bool started = start != nullptr && pthread_create(&thread, &attributes, entry, start) == 0;
    if (!started) {
        delete start;
    }
    pthread_attr_destroy(&attributes);
    return started;
}

bool startDetachedThread(ThreadBody body, void* argument, std::size_t stackBytes) {
    return startThread(runThread, body, argument, stackBytes);
}

// ---- Worker threads parked between connections -----------------------------
// A worker thread whose work is done waits on its own semaphore for the
// next, so a new connection costs a wake-up instead of a thread start and
// exit. The hand-over writes the work before it posts, and the woken thread
// needs no lock to read it. The record lives on the parked thread's stack;
// `parked` is a stack too: the thread parked last, its memory still warm,
// goes first.

namespace {
struct ParkedThread {
    ThreadBody body; // written by the hand-over before it posts `wake`
    void* argument;
    sem_t wake;
};
} // namespace

// Guards parked and parkedCount. The hand-over posts while holding it, so a
// woken thread cannot come back to park, find no room and end (taking its
// semaphore with it) before the post has returned.
static pthread_mutex_t parkingLock = PTHREAD_MUTEX_INITIALIZER;
static ParkedThread* parked[MAX_PARKED_THREADS];
static int parkedCount = 0;

// Waits for the next work; false when there is no room to park.
static bool parkForWork(ParkedThread* self) {
    pthread_mutex_lock(&parkingLock);
    bool room = parkedCount < MAX_PARKED_THREADS;
    if (room) {
        parked[parkedCount++] = self;
    }
    pthread_mutex_unlock(&parkingLock);
    while (room && sem_wait(&self->wake) != 0) {
        // interrupted by a signal: keep waiting
    }
    return room;
}

static bool handToParkedThread(ThreadBody body, void* argument) {
    pthread_mutex_lock(&parkingLock);
    ParkedThread* thread = parkedCount > 0 ? parked[--parkedCount] : nullptr;
    if (thread != nullptr) {
        thread->body = body;
        thread->argument = argument;
        sem_post(&thread->wake);
    }
    pthread_mutex_unlock(&parkingLock);
    return thread != nullptr;
}

static void* runWorkerThread(void* start) {
    ParkedThread self{};
    self.body = static_cast<ThreadStart*>(start)->body;
    self.argument = static_cast<ThreadStart*>(start)->argument;
    delete static_cast<ThreadStart*>(start);
    // Without its semaphore the thread cannot park: it does this work and ends.
    if (sem_init(&self.wake, 0, 0) != 0) {
        self.body(self.argument);
        return nullptr;
    }
    do {
        self.body(self.argument);
    } while (parkForWork(&self));
    sem_destroy(&self.wake);
    return nullptr;
}

bool startWorkerThread(ThreadBody body, void* argument, std::size_t stackBytes) {
    return handToParkedThread(body, argument) ||
           startThread(runWorkerThread, body, argument, stackBytes);
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
// The hub shares its terminal with the shell that started it: it touches the
// terminal (its mode, its keys, its screen) only while its process group is
// the terminal's foreground group, and job control never stops it, so a hub
// in the background goes on relaying and takes the terminal once brought
// forward.

// The terminal's mode as the hub first found it, and the key mode it sets.
// Written before terminalRaw first becomes 1; the handlers read them only
// while it is 1.
static termios savedTerminal;
static termios keyTerminal;
static bool terminalSaved = false; // the console worker's alone
// 1 while the terminal is in key mode by our doing.
// A lock-free atomic: read by signal handlers on any thread, and its store
// publishes the modes above to them.
static std::atomic<int> terminalRaw{0};
static_assert(std::atomic<int>::is_always_lock_free,
              "a signal handler may only touch lock-free atomics");
// The continue handler writes a byte here; the key reader waits on it too.
static int resumedPipe[2] = {-1, -1};

// True unless another process group of our session has the terminal. A
// terminal that is not our controlling one is always ours to use.
static bool terminalIsOurs() {
    pid_t foreground = tcgetpgrp(STDIN_FILENO);
    return foreground == -1 || foreground == getpgrp();
}

// At a normal end the screen may finish drawing first, and keys typed since
// are dropped rather than left for the shell. A signal may interrupt that
// wait: try again then, or the operator's terminal stays raw after we are gone.
static void restoreTerminalAtExit() {
    if (terminalRaw != 0 && terminalIsOurs()) {
        while (tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal) != 0 && errno == EINTR) {
        }
    }
}

// From a signal handler: put the terminal back at once, even when its output
// is suspended and an answer is stuck in it (waiting for that to drain could
// take forever). Async-signal-safe.
static void restoreTerminalNow() {
    if (terminalRaw != 0 && terminalIsOurs()) {
        tcflush(STDIN_FILENO, TCIFLUSH);
        tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
    }
    terminalRaw = 0;
}

// Every signal whose default action ends the process, except SIGPIPE, which
// the hub ignores. Real-time signals end it too; they are taken as a range.
static const int TERMINATING_SIGNALS[] = {
    SIGHUP,    SIGINT,  SIGQUIT, SIGILL,  SIGTRAP, SIGABRT,   SIGBUS,  SIGFPE, SIGUSR1, SIGSEGV,
    SIGUSR2,   SIGALRM, SIGTERM, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO,  SIGSYS,
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
};

// What each signal did before consoleOpen took it over, by signal number.
// Written once per signal, before our handler for it is installed.
static struct sigaction foundActions[NSIG];

// Put the terminal back, then die of the same signal so the parent sees the
// true status. A handler that was in place before ours (one that saves the
// process's state on the way out) runs next; otherwise the default ends the
// process. Async-signal-safe.
static void restoreAndReraise(int signalNumber) {
    restoreTerminalNow();
    struct sigaction next = foundActions[signalNumber];
    if ((next.sa_flags & SA_SIGINFO) != 0 || next.sa_handler == SIG_IGN) {
        next = {};
        next.sa_handler = SIG_DFL;
    }
    sigaction(signalNumber, &next, nullptr);
    raise(signalNumber);
}

// A signal the launcher set to "ignore" (nohup, a background job) stays
// ignored, and one whose handler takes extra details (a sanitizer's report
// on a crash) keeps it; the others restore the terminal before they end
// the process.
static void restoreTerminalOn(int signalNumber) {
    struct sigaction& found = foundActions[signalNumber];
    if (sigaction(signalNumber, nullptr, &found) != 0 || found.sa_handler == SIG_IGN ||
        (found.sa_flags & SA_SIGINFO) != 0) {
        return;
    }
    // No SA_RESTART: under ThreadSanitizer a restarted wait would hold the
    // signal back.
    struct sigaction ours {};
    ours.sa_handler = restoreAndReraise;
    sigemptyset(&ours.sa_mask);
    sigaction(signalNumber, &ours, nullptr);
}

static void restoreTerminalOnSignals() {
    for (int signalNumber : TERMINATING_SIGNALS) {
        restoreTerminalOn(signalNumber);
    }
    for (int signalNumber = SIGRTMIN; signalNumber <= SIGRTMAX; ++signalNumber) {
        restoreTerminalOn(signalNumber);
    }
}

// Stopped from outside (Ctrl-Z is only a key here): the shell gets its
// terminal back as it was; the continue handler takes it again.
static void restoreAndStop(int /*signalNumber*/) {
    int saved = errno;
    restoreTerminalNow();
    errno = saved;
    raise(SIGSTOP); // returns once continued
}

static void noteResumed(int /*signalNumber*/) {
    int saved = errno;
    char resumed = 1;
    if (::write(resumedPipe[1], &resumed, 1) < 0) {
        // full: a wake-up is already waiting
    }
    errno = saved;
}

static void drainResumed() {
    char drained[16];
    while (::read(resumedPipe[0], drained, sizeof drained) > 0) {
    }
}

static void handle(int signalNumber, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(signalNumber, &action, nullptr);
}

// Job control never stops the hub: a read or a mode change from the
// background fails instead, and the console waits for the terminal. A stop
// from outside hands the terminal back first, and a continue is noticed.
static void followJobControl() {
    std::signal(SIGTTIN, SIG_IGN);
    std::signal(SIGTTOU, SIG_IGN);
    if (::pipe2(resumedPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        handle(SIGCONT, noteResumed);
    }
    struct sigaction found {};
    if (sigaction(SIGTSTP, nullptr, &found) == 0 && found.sa_handler != SIG_IGN) {
        handle(SIGTSTP, restoreAndStop);
    }
}

// How often a hub in the background looks whether it was brought forward
// without being continued. A shell's fg continues it, which wakes it at once.
constexpr int FOREGROUND_RECHECK_MILLISECONDS = 500;

// Waits, without spinning, until the terminal is ours, then puts it into key
// mode; the first time, remembers the mode it had.
static void takeTerminal() {
    if (!terminalIsOurs()) {
        terminalRaw = 0; // the shell has it, in the mode it chose
        while (!terminalIsOurs()) {
            pollfd resumed{resumedPipe[0], POLLIN, 0};
            if (::poll(&resumed, 1, FOREGROUND_RECHECK_MILLISECONDS) > 0) {
                drainResumed();
            }
        }
    }
    if (!terminalSaved) {
        if (tcgetattr(STDIN_FILENO, &savedTerminal) != 0) {
            return; // keys then come as the terminal gives them
        }
        keyTerminal = savedTerminal;
        // No echo, no line editing, and no signal keys: Ctrl-C arrives as
        // byte 3 and Ctrl-Z as byte 26. Output processing stays on so a line
        // feed still returns the carriage.
        keyTerminal.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON | ISIG | IEXTEN);
        keyTerminal.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | BRKINT | INPCK | ISTRIP);
        keyTerminal.c_cc[VMIN] = 1;
        keyTerminal.c_cc[VTIME] = 0;
        terminalSaved = true;
        std::atexit(restoreTerminalAtExit);
    }
    terminalRaw = 1;
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &keyTerminal);
}

void consoleOpen() {
    maskJobControl(SIG_UNBLOCK);
    if (isatty(STDIN_FILENO) == 0) {
        return; // keys come from a pipe or a file: nothing to set up
    }
    followJobControl();
    restoreTerminalOnSignals();
    takeTerminal();
}

enum class KeyWait { Key, NotInTime, Resumed };

// Waits until a key can be read, for at most `milliseconds` (or for ever),
// or until the hub is continued after a stop. Standard input may be
// non-blocking (some launchers hand one over), so reads never wait by
// themselves.
static KeyWait keyArrives(int milliseconds) {
    pollfd watched[] = {{STDIN_FILENO, POLLIN, 0}, {resumedPipe[0], POLLIN, 0}};
    for (;;) {
        int ready = ::poll(watched, 2, milliseconds);
        if (ready > 0 && watched[1].revents != 0) {
            drainResumed();
            return KeyWait::Resumed;
        }
        if (ready >= 0) {
            // a hang-up or error is ready too: the read says which
            return ready > 0 ? KeyWait::Key : KeyWait::NotInTime;
        }
        if (errno != EINTR) {
            return KeyWait::Key; // the read then reports the failure
        }
    }
}

int readKeyCode(int milliseconds) {
    for (;;) {
        KeyWait wait = keyArrives(milliseconds);
        if (wait == KeyWait::NotInTime) {
            return KEY_NOT_IN_TIME;
        }
        if (wait == KeyWait::Resumed) {
            takeTerminal();
            return KEYS_RESUMED;
        }
        unsigned char key = 0;
        ssize_t n = ::read(STDIN_FILENO, &key, 1);
        if (n == 1) {
            return key;
        }
        if (n < 0 && errno == EIO && !terminalIsOurs()) {
            takeTerminal(); // a read from the background: the keys are the shell's
            return KEYS_RESUMED;
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
