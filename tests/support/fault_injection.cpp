// Preloaded (LD_PRELOAD) into the server under test by the fault-injection
// tests, and never anywhere else: makes chosen calls fail, so failure paths
// that the system cannot be pushed into from outside still run.
//
// VELLORAN_FAULT_<CALL>=ERROR[@N|@N-M|@N-][/MS] makes the call fail with that
// errno (a name such as EMFILE, or a number) on its Nth call, on its Nth to
// Mth, or from its Nth on; without @, on every call. With /MS each failing
// call first waits MS milliseconds, as a call that is slow to fail does;
// ERROR 0 with /MS fails nothing: those calls only wait, then run, which
// holds the caller back at that point.
// Calls are counted from 1 per call, across all threads. CALL is one of:
//   SOCKET, LISTEN, GETSOCKNAME, ACCEPT4, SETSOCKOPT, SEND, OPEN,
//   POLL (only the polls that wait to write: the relay's, never the console's),
//   TCGETATTR, TCSETATTR, SEM_INIT, and PTHREAD_CREATE, PTHREAD_ATTR_INIT,
//   PTHREAD_MUTEX_INIT and PTHREAD_SIGMASK (which fail with the error as their
//   result; PTHREAD_SIGMASK counts only the calls that unblock signals: the
//   console thread's first act is one),
//   NEW (operator new, or new[], with std::nothrow returns null; the error is
//   unused),
//   RECV (counted as calls return: the real receive runs, then its result is
//   replaced by the failure, so a blocked worker fails once data or the end
//   arrives and the order of failures follows the order of the clients' acts).
// Nothing is injected into a call whose variable is unset.

#include <atomic>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <new>
#include <poll.h>
#include <pthread.h>
#include <semaphore.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <termios.h>
#include <time.h>

namespace {

struct ErrorName {
    const char* name;
    int value;
};

const ErrorName ERROR_NAMES[] = {
    {"EAGAIN", EAGAIN},         {"EMFILE", EMFILE},
    {"ENFILE", ENFILE},         {"ENOBUFS", ENOBUFS},
    {"ENOMEM", ENOMEM},         {"ECONNABORTED", ECONNABORTED},
    {"EINTR", EINTR},           {"EPROTO", EPROTO},
    {"EPERM", EPERM},           {"EACCES", EACCES},
    {"EADDRINUSE", EADDRINUSE}, {"EBADF", EBADF},
    {"EINVAL", EINVAL},         {"ECONNRESET", ECONNRESET},
    {"EPIPE", EPIPE},           {"EIO", EIO},
    {"ETIMEDOUT", ETIMEDOUT},   {"ENOTTY", ENOTTY},
    {"ENOTCONN", ENOTCONN},     {"EHOSTUNREACH", EHOSTUNREACH},
};

// One call's fault, read from its variable at its first call.
struct Fault {
    const char* variable;
    std::atomic<int> state{0}; // 0 unread, 1 being read, 2 read
    int error = 0;             // 0: no fault
    long first = 1;
    long last = 0; // 0: no end
    long delayMs = 0;
    std::atomic<long> calls{0};
};

int parseError(const char* text, const char** end) {
    for (const ErrorName& known : ERROR_NAMES) {
        std::size_t length = std::strlen(known.name);
        if (std::strncmp(text, known.name, length) == 0) {
            *end = text + length;
            return known.value;
        }
    }
    char* stop = nullptr;
    long value = std::strtol(text, &stop, 10);
    *end = stop;
    return static_cast<int>(value);
}

void readFault(Fault& fault) {
    const char* text = std::getenv(fault.variable);
    if (text == nullptr || *text == '\0') {
        return;
    }
    const char* rest = text;
    fault.error = parseError(text, &rest);
    const char* delay = std::strchr(rest, '/');
    if (delay != nullptr) {
        fault.delayMs = std::strtol(delay + 1, nullptr, 10);
    }
    if (*rest != '@') {
        return; // every call
    }
    char* stop = nullptr;
    fault.first = std::strtol(rest + 1, &stop, 10);
    fault.last = fault.first;
    if (*stop == '-') {
        fault.last = std::isdigit(static_cast<unsigned char>(stop[1])) != 0
                         ? std::strtol(stop + 1, nullptr, 10)
                         : 0;
    }
}

// True when this call is one that must fail; counts it, and makes it wait
// first when the fault says so.
bool failsNow(Fault& fault) {
    int expected = 0;
    if (fault.state.compare_exchange_strong(expected, 1)) {
        readFault(fault);
        fault.state = 2;
    }
    while (fault.state.load() != 2) {
    }
    long call = ++fault.calls;
    bool hit = (fault.error != 0 || fault.delayMs > 0) && call >= fault.first &&
               (fault.last == 0 || call <= fault.last);
    if (hit && fault.delayMs > 0) {
        timespec delay{fault.delayMs / 1000, (fault.delayMs % 1000) * 1000000L};
        while (nanosleep(&delay, &delay) != 0 && errno == EINTR) {
        }
    }
    return hit && fault.error != 0;
}

template <typename Function> Function real(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

Fault socketFault{"VELLORAN_FAULT_SOCKET"};
Fault listenFault{"VELLORAN_FAULT_LISTEN"};
Fault nameFault{"VELLORAN_FAULT_GETSOCKNAME"};
Fault acceptFault{"VELLORAN_FAULT_ACCEPT4"};
Fault optionFault{"VELLORAN_FAULT_SETSOCKOPT"};
Fault sendFault{"VELLORAN_FAULT_SEND"};
Fault pollFault{"VELLORAN_FAULT_POLL"};
Fault receiveFault{"VELLORAN_FAULT_RECV"};
Fault openFault{"VELLORAN_FAULT_OPEN"};
Fault getTerminalFault{"VELLORAN_FAULT_TCGETATTR"};
Fault setTerminalFault{"VELLORAN_FAULT_TCSETATTR"};
Fault threadFault{"VELLORAN_FAULT_PTHREAD_CREATE"};
Fault attributesFault{"VELLORAN_FAULT_PTHREAD_ATTR_INIT"};
Fault mutexFault{"VELLORAN_FAULT_PTHREAD_MUTEX_INIT"};
Fault semaphoreFault{"VELLORAN_FAULT_SEM_INIT"};
Fault signalMaskFault{"VELLORAN_FAULT_PTHREAD_SIGMASK"};
Fault allocationFault{"VELLORAN_FAULT_NEW"};

int failWith(const Fault& fault) {
    errno = fault.error;
    return -1;
}

} // namespace

// NOLINTBEGIN(readability-inconsistent-declaration-parameter-name)
extern "C" {

int socket(int domain, int type, int protocol) {
    if (failsNow(socketFault)) {
        return failWith(socketFault);
    }
    return real<int (*)(int, int, int)>("socket")(domain, type, protocol);
}

int listen(int fd, int backlog) {
    if (failsNow(listenFault)) {
        return failWith(listenFault);
    }
    return real<int (*)(int, int)>("listen")(fd, backlog);
}

int getsockname(int fd, sockaddr* address, socklen_t* length) {
    if (failsNow(nameFault)) {
        return failWith(nameFault);
    }
    return real<int (*)(int, sockaddr*, socklen_t*)>("getsockname")(fd, address, length);
}

int accept4(int fd, sockaddr* address, socklen_t* length, int flags) {
    if (failsNow(acceptFault)) {
        return failWith(acceptFault);
    }
    return real<int (*)(int, sockaddr*, socklen_t*, int)>("accept4")(fd, address, length, flags);
}

int setsockopt(int fd, int level, int name, const void* value, socklen_t length) {
    if (failsNow(optionFault)) {
        return failWith(optionFault);
    }
    return real<int (*)(int, int, int, const void*, socklen_t)>("setsockopt")(fd, level, name,
                                                                              value, length);
}

ssize_t send(int fd, const void* data, size_t length, int flags) {
    if (failsNow(sendFault)) {
        return failWith(sendFault);
    }
    return real<ssize_t (*)(int, const void*, size_t, int)>("send")(fd, data, length, flags);
}

// The C library declares poll's array write-only, which it is not: the
// events asked for are read.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
int poll(pollfd* watched, nfds_t count, int milliseconds) {
    if (count == 1 && (watched->events & POLLOUT) != 0 && failsNow(pollFault)) {
        return failWith(pollFault);
    }
    return real<int (*)(pollfd*, nfds_t, int)>("poll")(watched, count, milliseconds);
}
#pragma GCC diagnostic pop

ssize_t recv(int fd, void* buffer, size_t length, int flags) {
    ssize_t n = real<ssize_t (*)(int, void*, size_t, int)>("recv")(fd, buffer, length, flags);
    if (failsNow(receiveFault)) {
        return failWith(receiveFault);
    }
    return n;
}

int open(const char* path, int flags, ...) {
    if (failsNow(openFault)) {
        return failWith(openFault);
    }
    mode_t mode = 0;
    if ((flags & (O_CREAT | O_TMPFILE)) != 0) {
        va_list rest;
        va_start(rest, flags);
        mode = static_cast<mode_t>(va_arg(rest, int));
        va_end(rest);
    }
    return real<int (*)(const char*, int, ...)>("open")(path, flags, mode);
}

int tcgetattr(int fd, termios* mode) {
    if (failsNow(getTerminalFault)) {
        return failWith(getTerminalFault);
    }
    return real<int (*)(int, termios*)>("tcgetattr")(fd, mode);
}

int tcsetattr(int fd, int when, const termios* mode) {
    if (failsNow(setTerminalFault)) {
        return failWith(setTerminalFault);
    }
    return real<int (*)(int, int, const termios*)>("tcsetattr")(fd, when, mode);
}

int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*body)(void*),
                   void* argument) {
    if (failsNow(threadFault)) {
        return threadFault.error;
    }
    using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    return real<Create>("pthread_create")(thread, attributes, body, argument);
}

int pthread_attr_init(pthread_attr_t* attributes) {
    if (failsNow(attributesFault)) {
        return attributesFault.error;
    }
    return real<int (*)(pthread_attr_t*)>("pthread_attr_init")(attributes);
}

int pthread_mutex_init(pthread_mutex_t* mutex, const pthread_mutexattr_t* attributes) {
    if (failsNow(mutexFault)) {
        return mutexFault.error;
    }
    return real<int (*)(pthread_mutex_t*, const pthread_mutexattr_t*)>("pthread_mutex_init")(
        mutex, attributes);
}

int pthread_sigmask(int how, const sigset_t* set, sigset_t* before) {
    if (how == SIG_UNBLOCK && failsNow(signalMaskFault)) {
        return signalMaskFault.error;
    }
    return real<int (*)(int, const sigset_t*, sigset_t*)>("pthread_sigmask")(how, set, before);
}

int sem_init(sem_t* semaphore, int shared, unsigned value) {
    if (failsNow(semaphoreFault)) {
        return failWith(semaphoreFault);
    }
    return real<int (*)(sem_t*, int, unsigned)>("sem_init")(semaphore, shared, value);
}

} // extern "C"
// NOLINTEND(readability-inconsistent-declaration-parameter-name)

void* operator new(std::size_t size, const std::nothrow_t& tag) noexcept {
    if (failsNow(allocationFault)) {
        return nullptr;
    }
    using Allocate = void* (*)(std::size_t, const std::nothrow_t&) noexcept;
    return real<Allocate>("_ZnwmRKSt9nothrow_t")(size, tag);
}

// Arrays too (the hub's receive buffers and its wait lists), counted with the
// rest in the order they are made.
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
    if (failsNow(allocationFault)) {
        return nullptr;
    }
    using Allocate = void* (*)(std::size_t, const std::nothrow_t&) noexcept;
    return real<Allocate>("_ZnamRKSt9nothrow_t")(size, tag);
}
