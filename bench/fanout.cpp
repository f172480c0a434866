#include "fanout.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace bench {

bool proveRegistered(int prober, const std::vector<int>& receivers, Clock::time_point deadline) {
    const char probe = 'p';
    if (!writeAll(prober, &probe, 1)) {
        return false;
    }
    return std::all_of(receivers.begin(), receivers.end(),
                       [&](int fd) { return readExactly(fd, 1, deadline); });
}

static bool writeStream(int sender, long long bytes) {
    std::vector<char> block(WRITE_BYTES, 'x');
    while (bytes > 0) {
        auto length = static_cast<std::size_t>(
            std::min<long long>(bytes, static_cast<long long>(WRITE_BYTES)));
        if (!writeAll(sender, block.data(), length)) {
            return false;
        }
        bytes -= static_cast<long long>(length);
    }
    return true;
}

const char* joinFanOut(const std::string& host, int port, int receivers, Clock::time_point deadline,
                       FanOutClients* clients) {
    clients->receivers = connectMany(host, port, receivers, deadline);
    clients->sender = clients->receivers.empty() ? -1 : connectTo(host, port, deadline);
    const char* failure = nullptr;
    if (clients->sender < 0) {
        failure = "connect";
    } else if (!proveRegistered(clients->sender, clients->receivers, deadline)) {
        failure = "registration-probe";
    }
    if (failure != nullptr) {
        closeFanOut(*clients);
        *clients = FanOutClients{};
    }
    return failure;
}

void closeFanOut(const FanOutClients& clients) {
    if (clients.sender >= 0) {
        ::close(clients.sender);
    }
    closeAll(clients.receivers);
}

bool readFromAll(const std::vector<int>& receivers, long long bytes, Clock::time_point deadline,
                 const TakeRead& take) {
    std::vector<pollfd> ready;
    for (int fd : receivers) {
        ready.push_back(pollfd{fd, POLLIN, 0});
    }
    std::vector<long long> left(receivers.size(), bytes);
    std::vector<char> scratch(256 * 1024);
    std::size_t unfinished = bytes > 0 ? receivers.size() : 0;
    while (unfinished > 0) {
        int r = ::poll(ready.data(), ready.size(), millisecondsLeft(deadline));
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            return false;
        }
        for (std::size_t i = 0; i < ready.size(); ++i) {
            if (ready[i].fd < 0 || ready[i].revents == 0) {
                continue;
            }
            std::size_t want = static_cast<std::size_t>(
                std::min<long long>(left[i], static_cast<long long>(scratch.size())));
            ssize_t n = ::recv(ready[i].fd, scratch.data(), want, 0);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return false;
            }
            take(i, scratch.data(), static_cast<std::size_t>(n));
            left[i] -= n;
            if (left[i] == 0) {
                ready[i].fd = -1; // poll skips negative descriptors
                --unfinished;
            }
        }
    }
    return true;
}

StreamResult streamToReceivers(int sender, const std::vector<int>& receivers, long long bytes,
                               Clock::time_point deadline) {
    std::atomic<bool> written{false};
    auto start = Clock::now();
    std::thread writer([&] { written = writeStream(sender, bytes); });
    bool read =
        readFromAll(receivers, bytes, deadline, [](std::size_t, const char*, std::size_t) {});
    double seconds = secondsSince(start);
    if (!read) {
        ::shutdown(sender, SHUT_RDWR); // frees a writer blocked on a stalled relay
    }
    writer.join();
    return StreamResult{read && written, seconds};
}

} // namespace bench
