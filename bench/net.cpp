#include "net.h"

#include "relay_stats.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>

namespace bench {

Clock::time_point secondsFromNow(double seconds) {
    return Clock::now() +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

int millisecondsLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

static sockaddr_in loopbackAddress(const std::string& host, int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) {
        address.sin_family = AF_UNSPEC; // makes the connect fail with a clear errno
    }
    return address;
}

static bool setSendTimeout(int fd, int milliseconds) {
    timeval timeout{milliseconds / 1000, (milliseconds % 1000) * 1000};
    return ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) == 0;
}

int connectTo(const std::string& host, int port, Clock::time_point deadline) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    // A relay whose listen queue is full leaves connect waiting on SYN
    // retries; the send timeout bounds that wait, and is lifted afterwards.
    int left = millisecondsLeft(deadline);
    sockaddr_in address = loopbackAddress(host, port);
    int r = -1;
    if (left > 0 && setSendTimeout(fd, left)) {
        do {
            r = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        } while (r != 0 && errno == EINTR);
    }
    if (r != 0 || !setSendTimeout(fd, 0)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Connecting faster than a relay accepts overflows its listen queue, and
// every dropped handshake then costs a second of retry. So every few
// connections we let the relay's accept queue drain.
constexpr int ACCEPT_PACE = 8;

static bool waitAccepted(int port, Clock::time_point deadline) {
    for (;;) {
        long queued = listenQueueLength(port);
        if (queued <= 0) {
            return true; // drained, or a listener we cannot see: nothing to wait for
        }
        if (millisecondsLeft(deadline) == 0) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200)); // a queue gives no signal
    }
}

std::vector<int> connectMany(const std::string& host, int port, int count,
                             Clock::time_point deadline) {
    std::vector<int> fds;
    fds.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        int fd = connectTo(host, port, deadline);
        if (fd < 0 || (i % ACCEPT_PACE == ACCEPT_PACE - 1 && !waitAccepted(port, deadline))) {
            closeAll(fds);
            return {};
        }
        fds.push_back(fd);
    }
    return fds;
}

void closeAll(const std::vector<int>& fds) {
    for (int fd : fds) {
        ::close(fd);
    }
}

static int boundPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return 0;
    }
    return ntohs(address.sin_port);
}

int listenLoopback(int* port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in address = loopbackAddress("127.0.0.1", 0);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 16) != 0 || (*port = boundPort(fd)) == 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int freePort() {
    int port = 0;
    int fd = listenLoopback(&port);
    if (fd < 0) {
        return 0;
    }
    ::close(fd);
    return port;
}

bool waitListening(int port, double timeoutSeconds) {
    auto deadline = secondsFromNow(timeoutSeconds);
    while (listenQueueLength(port) < 0) {
        if (millisecondsLeft(deadline) == 0) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10)); // a listener gives no signal
    }
    return true;
}

bool writeAll(int fd, const char* data, std::size_t length) {
    while (length > 0) {
        ssize_t n = ::send(fd, data, length, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

bool waitReadable(int fd, Clock::time_point deadline) {
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        int r = ::poll(&p, 1, millisecondsLeft(deadline));
        if (r > 0) {
            return true;
        }
        if (r == 0 || errno != EINTR) {
            return false;
        }
    }
}

bool readExactly(int fd, std::size_t count, Clock::time_point deadline) {
    char scratch[4096];
    while (count > 0) {
        if (!waitReadable(fd, deadline)) {
            return false;
        }
        std::size_t want = count < sizeof scratch ? count : sizeof scratch;
        ssize_t n = ::recv(fd, scratch, want, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

bool readEndOfStream(int fd, Clock::time_point deadline) {
    char scratch[64];
    for (;;) {
        if (!waitReadable(fd, deadline)) {
            return false;
        }
        ssize_t n = ::recv(fd, scratch, sizeof scratch, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n == 0 || (n < 0 && errno == ECONNRESET);
    }
}

long raiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return 0;
    }
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0 && getrlimit(RLIMIT_NOFILE, &limit) != 0) {
            return 0;
        }
    }
    return static_cast<long>(limit.rlim_cur);
}

void setNoDelay(int fd) {
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on); // only a latency aid
}

} // namespace bench
