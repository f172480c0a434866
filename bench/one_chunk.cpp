// Fan-out to many: N receivers registered, then one chunk at a time from one
// sender, each timed from its first write until the last receiver has its
// last byte. The next chunk starts only once every receiver had the last, so
// each time is what one chunk costs to reach everyone.

#include "fanout.h"
#include "modes.h"
#include "relay_stats.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace bench {

namespace {

// The sender's tag in the epoll set; receivers are tagged by their index.
constexpr std::uint32_t SENDER_TAG = 0xffffffffu;
constexpr int EVENTS_PER_WAIT = 512;

// Every receiver level-triggered, so one that has data is never missed;
// the sender edge-triggered, only to wake a wait when it has room again.
int watchAll(int sender, const std::vector<int>& receivers) {
    int watcher = ::epoll_create1(EPOLL_CLOEXEC);
    if (watcher < 0) {
        return -1;
    }
    epoll_event event{};
    for (std::size_t i = 0; i < receivers.size(); ++i) {
        event.events = EPOLLIN;
        event.data.u32 = static_cast<std::uint32_t>(i);
        if (::epoll_ctl(watcher, EPOLL_CTL_ADD, receivers[i], &event) != 0) {
            ::close(watcher);
            return -1;
        }
    }
    event.events = EPOLLOUT | EPOLLET;
    event.data.u32 = SENDER_TAG;
    if (::epoll_ctl(watcher, EPOLL_CTL_ADD, sender, &event) != 0) {
        ::close(watcher);
        return -1;
    }
    return watcher;
}

// What one chunk's run needs; the descriptors belong to the caller.
struct ChunkRun {
    int watcher;
    int sender;
    const std::vector<int>* receivers;
    std::vector<long long> left; // bytes each receiver still lacks
    std::size_t unfinished;
    std::size_t sent;
};

// Sends what the sender's socket takes now; false on an error.
bool sendWhatFits(ChunkRun& run, const std::vector<char>& chunk) {
    while (run.sent < chunk.size()) {
        ssize_t n = ::send(run.sender, chunk.data() + run.sent, chunk.size() - run.sent,
                           MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            run.sent += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        }
    }
    return true;
}

// One read from receiver `index`; nullptr, or why the run failed. Data for a
// receiver that already has the whole chunk is a relay fault, as is an end.
const char* readReceiver(ChunkRun& run, std::uint32_t index, std::vector<char>& scratch) {
    if (run.left[index] == 0) {
        return "more-than-the-chunk";
    }
    auto want = static_cast<std::size_t>(
        std::min<long long>(run.left[index], static_cast<long long>(scratch.size())));
    ssize_t n = ::recv((*run.receivers)[index], scratch.data(), want, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
        return nullptr;
    }
    if (n <= 0) {
        return "receiver-cut-off";
    }
    run.left[index] -= n;
    if (run.left[index] == 0) {
        --run.unfinished;
    }
    return nullptr;
}

// Sends one chunk and reads every receiver until each has it; nullptr, or
// why not. `seconds` is from the first write to the last receiver's last byte.
const char* timeOneChunk(ChunkRun& run, const std::vector<char>& chunk, Clock::time_point deadline,
                         double* seconds) {
    std::fill(run.left.begin(), run.left.end(), static_cast<long long>(chunk.size()));
    run.unfinished = run.left.size();
    run.sent = 0;
    std::vector<char> scratch(64 * 1024);
    epoll_event events[EVENTS_PER_WAIT];
    auto start = Clock::now();
    while (run.unfinished > 0) {
        if (!sendWhatFits(run, chunk)) {
            return "send";
        }
        int ready = ::epoll_wait(run.watcher, events, EVENTS_PER_WAIT, millisecondsLeft(deadline));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return ready == 0 ? "deadline" : "epoll-wait";
        }
        for (int i = 0; i < ready; ++i) {
            if (events[i].data.u32 == SENDER_TAG) {
                continue;
            }
            if (const char* failure = readReceiver(run, events[i].data.u32, scratch)) {
                return failure;
            }
        }
    }
    *seconds = secondsSince(start);
    return nullptr;
}

double percentile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    auto at = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
    return values[at];
}

// Times every chunk in turn; nullptr, or why a chunk did not reach everyone.
const char* timeChunks(const Options& options, const FanOutClients& clients,
                       Clock::time_point deadline, std::vector<double>* seconds) {
    int watcher = watchAll(clients.sender, clients.receivers);
    if (watcher < 0) {
        return "epoll";
    }
    ChunkRun run{watcher, clients.sender, &clients.receivers, {}, 0, 0};
    run.left.resize(clients.receivers.size());
    std::vector<char> chunk(static_cast<std::size_t>(options.chunkBytes), 'c');
    const char* failure = nullptr;
    for (int c = 0; c < options.chunks && failure == nullptr; ++c) {
        double taken = 0;
        failure = timeOneChunk(run, chunk, deadline, &taken);
        seconds->push_back(taken);
    }
    ::close(watcher);
    return failure;
}

} // namespace

int runFanOut(const Options& options) {
    if (options.chunkBytes < 1 || options.chunks < 1) {
        return reportFailure("fanout", "bad-chunk");
    }
    long limit = raiseDescriptorLimit();
    if (limit < options.receivers + 16) {
        return reportFailure("fanout", "descriptor-limit-" + std::to_string(limit));
    }
    auto deadline = secondsFromNow(options.timeoutSeconds);
    FanOutClients clients;
    if (const char* failure =
            joinFanOut(options.host, options.port, options.receivers, deadline, &clients)) {
        return reportFailure("fanout", failure);
    }
    std::vector<double> seconds;
    double cpuBefore = relayCpuSeconds(options.relayPid);
    const char* failure = timeChunks(options, clients, deadline, &seconds);
    double relayCpu = relayCpuSeconds(options.relayPid) - cpuBefore;
    closeFanOut(clients);
    if (failure != nullptr) {
        return reportFailure("fanout", failure);
    }
    std::printf("mode=fanout result=ok receivers=%d chunk_bytes=%d chunks=%d p50_ms=%.3f "
                "max_ms=%.3f min_ms=%.3f relay_cpu_ms_per_chunk=%.3f\n",
                options.receivers, options.chunkBytes, options.chunks,
                1e3 * percentile(seconds, 0.5), 1e3 * percentile(seconds, 1.0),
                1e3 * percentile(seconds, 0.0), 1e3 * relayCpu / options.chunks);
    return 0;
}

} // namespace bench
