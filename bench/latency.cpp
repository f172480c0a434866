// Latency: small fixed-size messages at a steady pace from one sender to N
// receivers; for each message, the time until the last receiver has it.
//
// Relays keep every byte and its place in the stream but may zero some (the
// hub zeroes the last byte of each chunk it reads, and TCP merges and splits
// freely), so a message's number is its position in the stream. Three copies
// of the number inside the message check that position: any two agreeing
// outvote one zeroed byte.

#include "fanout.h"
#include "modes.h"
#include "net.h"
#include "relay_stats.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <thread>
#include <time.h>
#include <unistd.h>

namespace bench {

namespace {
constexpr int NUMBER_COPIES = 3;
constexpr int MIN_MESSAGE_BYTES = NUMBER_COPIES * 4 + 1;

// One receiver's progress through the stream of messages.
struct Reader {
    long long bytes = 0;
    std::vector<unsigned char> message; // the message being assembled
};
} // namespace

static long long monotonicNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

static void sleepUntilNanoseconds(long long when) {
    timespec at{static_cast<time_t>(when / 1000000000LL), static_cast<long>(when % 1000000000LL)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
}

static std::vector<unsigned char> numberedMessage(std::uint32_t number, int length) {
    std::vector<unsigned char> message(static_cast<std::size_t>(length), 'm');
    for (int copy = 0; copy < NUMBER_COPIES; ++copy) {
        std::memcpy(message.data() + copy * 4, &number, 4);
    }
    return message;
}

static bool carriesNumber(const std::vector<unsigned char>& message, std::uint32_t number) {
    int agreeing = 0;
    for (int copy = 0; copy < NUMBER_COPIES; ++copy) {
        std::uint32_t seen = 0;
        std::memcpy(&seen, message.data() + copy * 4, 4);
        agreeing += seen == number ? 1 : 0;
    }
    return agreeing * 2 > NUMBER_COPIES;
}

// Sends the messages on schedule; sentAt[k] is when message k left.
static bool sendPaced(int sender, const Options& options, std::vector<long long>& sentAt) {
    long long start = monotonicNanoseconds() + 1000000;
    for (int k = 0; k < options.messages; ++k) {
        sleepUntilNanoseconds(start + static_cast<long long>(k) * options.intervalMicros * 1000);
        auto message = numberedMessage(static_cast<std::uint32_t>(k), options.messageBytes);
        sentAt[static_cast<std::size_t>(k)] = monotonicNanoseconds();
        if (!writeAll(sender, reinterpret_cast<const char*>(message.data()), message.size())) {
            return false;
        }
    }
    return true;
}

// Takes in one read's bytes; records when each message became complete and
// counts messages whose number does not match their place.
static void takeBytes(Reader& reader, const unsigned char* data, std::size_t length,
                      std::vector<long long>& lastArrival, int& mismatched) {
    const auto messageBytes = static_cast<long long>(reader.message.size());
    while (length > 0) {
        auto offset = static_cast<std::size_t>(reader.bytes % messageBytes);
        std::size_t take = std::min(length, reader.message.size() - offset);
        std::memcpy(reader.message.data() + offset, data, take);
        data += take;
        length -= take;
        reader.bytes += static_cast<long long>(take);
        if (reader.bytes % messageBytes == 0) {
            auto number = static_cast<std::size_t>(reader.bytes / messageBytes - 1);
            lastArrival[number] = std::max(lastArrival[number], monotonicNanoseconds());
            mismatched += carriesNumber(reader.message, static_cast<std::uint32_t>(number)) ? 0 : 1;
        }
    }
}

static bool readMessages(const std::vector<int>& receivers, const Options& options,
                         std::vector<long long>& lastArrival, int& mismatched,
                         Clock::time_point deadline) {
    std::vector<Reader> readers(receivers.size());
    for (Reader& reader : readers) {
        reader.message.resize(static_cast<std::size_t>(options.messageBytes));
    }
    const long long total = static_cast<long long>(options.messages) * options.messageBytes;
    return readFromAll(receivers, total, deadline,
                       [&](std::size_t index, const char* data, std::size_t length) {
                           takeBytes(readers[index], reinterpret_cast<const unsigned char*>(data),
                                     length, lastArrival, mismatched);
                       });
}

static double percentile(const std::vector<double>& sorted, double fraction) {
    auto rank = static_cast<std::size_t>(fraction * static_cast<double>(sorted.size()) + 0.999999);
    return sorted[std::min(sorted.size(), std::max<std::size_t>(rank, 1)) - 1];
}

static int measureLatency(int sender, const std::vector<int>& receivers, const Options& options,
                          Clock::time_point deadline) {
    const auto count = static_cast<std::size_t>(options.messages);
    std::vector<long long> sentAt(count, 0);
    std::vector<long long> lastArrival(count, 0);
    int mismatched = 0;
    bool sent = false;
    double cpuBefore = relayCpuSeconds(options.relayPid);
    std::thread pacer([&] { sent = sendPaced(sender, options, sentAt); });
    bool received = readMessages(receivers, options, lastArrival, mismatched, deadline);
    if (!received) {
        ::shutdown(sender, SHUT_RDWR); // frees a pacer blocked on a stalled relay
    }
    pacer.join();
    double relayCpu = relayCpuSeconds(options.relayPid) - cpuBefore;
    if (!sent || !received) {
        return reportFailure("latency", "messages-missing");
    }
    if (mismatched > 0) {
        return reportFailure("latency", "message-number-mismatch");
    }
    std::vector<double> micros;
    for (std::size_t k = 0; k < count; ++k) {
        micros.push_back(static_cast<double>(lastArrival[k] - sentAt[k]) / 1000.0);
    }
    std::sort(micros.begin(), micros.end());
    std::printf("mode=latency result=ok receivers=%zu messages=%d message_bytes=%d "
                "interval_us=%d p50_us=%.1f p99_us=%.1f max_us=%.1f relay_cpu_s=%.3f\n",
                receivers.size(), options.messages, options.messageBytes, options.intervalMicros,
                percentile(micros, 0.50), percentile(micros, 0.99), micros.back(), relayCpu);
    return 0;
}

int runLatency(const Options& options) {
    if (options.messageBytes < MIN_MESSAGE_BYTES || options.messages < 1) {
        return reportFailure("latency", "message-too-small");
    }
    auto deadline = secondsFromNow(options.timeoutSeconds);
    FanOutClients clients;
    if (const char* failure =
            joinFanOut(options.host, options.port, options.receivers, deadline, &clients)) {
        return reportFailure("latency", failure);
    }
    setNoDelay(clients.sender);
    int status = measureLatency(clients.sender, clients.receivers, options, deadline);
    closeFanOut(clients);
    return status;
}

} // namespace bench
