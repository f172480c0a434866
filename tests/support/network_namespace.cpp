#include "support/network_namespace.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace harness {

namespace {

bool failed(NetworkNamespace& network, const char* what, int error) {
    std::snprintf(network.whyNot, sizeof network.whyNot, "%s: %s", what, std::strerror(error));
    return false;
}

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_ino == b.st_ino && a.st_dev == b.st_dev;
}

// The process that started `pid`, or 0 when that cannot be read.
long parentOf(long pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
    FILE* file = std::fopen(path, "re");
    if (file == nullptr) {
        return 0;
    }
    char line[1024];
    bool read = std::fgets(line, sizeof line, file) != nullptr;
    std::fclose(file);
    // "pid (name) state parent ...": the name may hold spaces and parentheses,
    // so the fields go on after its last ')'.
    const char* nameEnd = read ? std::strrchr(line, ')') : nullptr;
    if (nameEnd == nullptr || std::strlen(nameEnd) < 5) {
        return 0;
    }
    char* after = nullptr;
    long parent = std::strtol(nameEnd + 4, &after, 10);
    return after == nameEnd + 4 ? 0 : parent;
}

// A launcher's namespace is used only when it is not the machine's: some
// process that led to this one must be outside it, so that its settings end
// with the run.
bool launcherMadeOne(NetworkNamespace& network) {
    struct stat own {};
    if (::stat("/proc/self/ns/net", &own) != 0) {
        return failed(network, "stat /proc/self/ns/net", errno);
    }
    for (long pid = parentOf(::getpid()); pid > 0; pid = parentOf(pid)) {
        char path[64];
        std::snprintf(path, sizeof path, "/proc/%ld/ns/net", pid);
        struct stat theirs {};
        if (::stat(path, &theirs) == 0 && !sameFile(own, theirs)) {
            return true;
        }
    }
    std::snprintf(network.whyNot, sizeof network.whyNot,
                  "VELLORAN_NETWORK_NAMESPACE=own, but this process shares its launchers' network "
                  "namespace: run it under unshare --net");
    return false;
}

bool unshareNetwork(NetworkNamespace& network) {
    return ::unshare(CLONE_NEWNET) == 0 || failed(network, "unshare(CLONE_NEWNET)", errno);
}

bool bringLoopbackUp(NetworkNamespace& network) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return failed(network, "socket for loopback", errno);
    }
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    if (up) {
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING);
        up = ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    }
    int error = errno;
    ::close(fd);
    return up || failed(network, "bringing lo up", error);
}

bool setTcpWmem(NetworkNamespace& network, const char* tcpWmem) {
    int fd = ::open("/proc/sys/net/ipv4/tcp_wmem", O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return failed(network, "open /proc/sys/net/ipv4/tcp_wmem", errno);
    }
    std::size_t length = std::strlen(tcpWmem);
    bool written = ::write(fd, tcpWmem, length) == static_cast<ssize_t>(length);
    int error = errno;
    ::close(fd);
    return written || failed(network, "writing net.ipv4.tcp_wmem", error);
}

} // namespace

NetworkNamespace enterNetworkNamespace(const char* tcpWmem) {
    NetworkNamespace network;
    const char* launcher = std::getenv("VELLORAN_NETWORK_NAMESPACE");
    bool given = launcher != nullptr && std::strcmp(launcher, "own") == 0;
    if (::geteuid() != 0) {
        std::snprintf(network.whyNot, sizeof network.whyNot,
                      "needs root for a network namespace of its own with small send buffers");
        return network;
    }
    bool entered = given ? launcherMadeOne(network) : unshareNetwork(network);
    if (!entered) {
        return network;
    }
    network.ready = bringLoopbackUp(network) && setTcpWmem(network, tcpWmem);
    return network;
}

} // namespace harness
