// Churn: connect and close N connections, at most K in the relay's hands at
// once, then check that the relay still relays.
//
// Each connection ends with our half-close followed by the relay's own close,
// so a cycle counts only once the relay has let go of the connection.

#include "fanout.h"
#include "modes.h"

#include <atomic>
#include <cstdio>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace bench {

constexpr double CYCLE_DEADLINE_SECONDS = 10;

static bool connectAndClose(const Options& options) {
    auto deadline = secondsFromNow(CYCLE_DEADLINE_SECONDS);
    int fd = connectTo(options.host, options.port, deadline);
    if (fd < 0) {
        return false;
    }
    bool released = ::shutdown(fd, SHUT_WR) == 0 && readEndOfStream(fd, deadline);
    ::close(fd);
    return released;
}

static bool stillRelays(const Options& options) {
    auto deadline = secondsFromNow(CYCLE_DEADLINE_SECONDS);
    int listener = connectTo(options.host, options.port, deadline);
    int talker = listener < 0 ? -1 : connectTo(options.host, options.port, deadline);
    bool relays = talker >= 0 && proveRegistered(talker, {listener}, deadline);
    for (int fd : {talker, listener}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    return relays;
}

int runChurn(const Options& options) {
    if (options.parallel < 1 || options.clients < options.parallel) {
        return reportFailure("churn", "bad-parallel");
    }
    std::atomic<int> failed{0};
    std::vector<std::thread> workers;
    auto start = Clock::now();
    for (int w = 0; w < options.parallel; ++w) {
        int share =
            options.clients / options.parallel + (w < options.clients % options.parallel ? 1 : 0);
        workers.emplace_back([&options, &failed, share] {
            for (int i = 0; i < share && failed == 0; ++i) {
                failed += connectAndClose(options) ? 0 : 1;
            }
        });
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    double seconds = secondsSince(start);
    if (failed > 0) {
        return reportFailure("churn", "connection-not-released");
    }
    if (!stillRelays(options)) {
        return reportFailure("churn", "relay-stopped-relaying");
    }
    std::printf("mode=churn result=ok connections=%d parallel=%d wall_s=%.3f "
                "connections_per_s=%.0f relays_after=yes\n",
                options.clients, options.parallel, seconds, options.clients / seconds);
    return 0;
}

} // namespace bench
