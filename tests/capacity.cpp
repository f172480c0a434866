// How many idle clients one server process holds: connects clients until
// the server stops registering them, the limit given is reached, or the time
// runs out; then proves the hub still relays to the first and last client.
// Not a test: a measurement, run by `make capacity` and `make capacity-windows`.
// Usage: capacity [MAX_CLIENTS [SECONDS]]

#include "support/harness.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace harness;

namespace {

constexpr int BATCH = 250;

// Waits until the server has registered `connected` clients, or its count
// stops growing for a while; returns the last count seen.
long settledCount(Server& server, long connected) {
    long best = -1;
    auto lastGrowth = std::chrono::steady_clock::now();
    for (;;) {
        long count = shownUserCount(server);
        if (count < 0 || count >= connected) {
            return count;
        }
        if (count > best) {
            best = count;
            lastGrowth = std::chrono::steady_clock::now();
        } else if (std::chrono::steady_clock::now() - lastGrowth > std::chrono::seconds(3)) {
            return count;
        }
        std::this_thread::sleep_for(
            std::chrono::milliseconds(50)); // the acceptor catches up on its own time
    }
}

// The server's address space, resident memory and threads, from /proc.
std::string processFigures(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string summary;
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmSize:", 0) == 0 || line.rfind("VmRSS:", 0) == 0 ||
            line.rfind("Threads:", 0) == 0) {
            std::istringstream words(line);
            for (std::string word; words >> word;) {
                summary += " " + word;
            }
        }
    }
    return summary;
}

// The clients need one descriptor each on this side too.
void raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

bool stillRelays(const std::vector<int>& clients, long held) {
    if (held < 3) {
        return held >= 0;
    }
    int sender = clients[static_cast<std::size_t>(held / 2)];
    sendBytes(sender, "still there?");
    std::string expected = zeroLast("still there?");
    return receiveBytes(clients.front(), expected.size(), 30000) == expected &&
           receiveBytes(clients[static_cast<std::size_t>(held - 1)], expected.size(), 30000) ==
               expected;
}

} // namespace

int main(int argc, char** argv) {
    long maxClients = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 10000;
    long seconds = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 300;
    raiseDescriptorLimit();
    Server server = startOnFreePort(Keys::Pipe);
    if (server.pid <= 0) {
        std::fprintf(stderr, "capacity: the server did not start\n");
        return 1;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    auto started = std::chrono::steady_clock::now();
    std::vector<int> clients;
    long held = 0;
    bool full = false;
    while (!full && static_cast<long>(clients.size()) < maxClients &&
           std::chrono::steady_clock::now() < deadline) {
        for (int i = 0; i < BATCH && static_cast<long>(clients.size()) < maxClients; ++i) {
            int fd = connectTo(server.port);
            if (fd < 0) {
                full = true;
                break;
            }
            clients.push_back(fd);
        }
        held = settledCount(server, static_cast<long>(clients.size()));
        full = full || held < static_cast<long>(clients.size());
        std::printf("connected %zu, registered %ld,%s\n", clients.size(), held,
                    processFigures(server.pid).c_str());
        std::fflush(stdout);
    }
    double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    bool relays = isRunning(server) && stillRelays(clients, held);
    std::printf("held %ld idle clients (%s) in %.0f s; %s\n", held,
                full ? "the server took no more" : "the limit given, or the time, ran out", elapsed,
                relays ? "it still relays" : "IT NO LONGER RELAYS");
    for (int fd : clients) {
        ::close(fd);
    }
    stop(server);
    return relays ? 0 : 1;
}
