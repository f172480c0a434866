#include "support/traffic_mix.h"

#include "support/harness.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <random>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace harness {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int VALUES = 256;
// After the traffic a slow hub (the Windows build under Wine, on a busy
// machine) may still be relaying what piled up, and only then admit the
// churning clients that queued meanwhile: the wait goes on for as long as
// bytes arrive or churning clients leave. It fails once nothing has moved for
// STALL_MS, longer than any fan-out may wait on a peer, or at SETTLE_LIMIT_MS
// after the traffic whatever moves, so a run stays bounded.
constexpr int STALL_MS = 15000;
constexpr int SETTLE_LIMIT_MS = 300000;
constexpr std::size_t MAX_FAILURES = 10;

// One steady client's stream, checked as it arrives. A chunk from a sender
// of value v arrives as v...v 0, so the stream must split after each zero
// into a run of one value; a one-byte chunk is a zero alone.
struct StreamCheck {
    unsigned char run = 0; // value of the run in progress; 0 between runs
    std::size_t runLength = 0;
    std::size_t received = 0;
    std::size_t loneZeros = 0;
    std::size_t byValue[VALUES] = {}; // bytes of finished runs, their zero included
    std::size_t mixedAt = 0;          // 1 + offset of the first mixed run, 0 if none
};

void checkBytes(StreamCheck& stream, const unsigned char* bytes, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i, ++stream.received) {
        unsigned char byte = bytes[i];
        if (byte == 0) {
            if (stream.run == 0) {
                ++stream.loneZeros;
            } else {
                stream.byValue[stream.run] += stream.runLength + 1;
            }
            stream.run = 0;
            stream.runLength = 0;
            continue;
        }
        if (stream.run != 0 && byte != stream.run && stream.mixedAt == 0) {
            stream.mixedAt = stream.received + 1;
        }
        stream.run = byte;
        ++stream.runLength;
    }
}

struct Steady {
    int fd;
    unsigned char value; // 0 for a receiver
    Clock::time_point nextSend;
    bool lost;
    StreamCheck stream;
};

enum class Leave { Orderly, Reset, HalfClose };
enum class ChurnState { Idle, Sending, Flushing, AwaitingEnd };

struct Churner {
    int fd;
    unsigned char value;
    ChurnState state;
    int chunksLeft;
    int incarnations;
    Clock::time_point nextSend;
};

struct Mix {
    MixSize size;
    int port;
    std::vector<Steady> steady;
    std::vector<Churner> churners;
    std::size_t sentByValue[VALUES] = {};
    MixReport report;
    // NOLINTNEXTLINE(cert-msc32-c,cert-msc51-cpp): a fixed seed, so a failure repeats
    std::mt19937 random{20110108};
    std::vector<unsigned char> chunk;
};

void fail(Mix& mix, const std::string& what) {
    if (mix.report.failures.size() < MAX_FAILURES) {
        mix.report.failures.push_back(what);
    }
}

int randomBetween(Mix& mix, int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(mix.random);
}

bool makeNonBlocking(int fd) {
    int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// One chunk of `value`, as much of it as the socket takes now.
void sendChunk(Mix& mix, int fd, unsigned char value) {
    auto length = static_cast<std::size_t>(randomBetween(mix, 1, mix.size.largestChunk));
    mix.chunk.assign(length, value);
    ssize_t n = ::send(fd, mix.chunk.data(), length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
        mix.sentByValue[value] += static_cast<std::size_t>(n);
        mix.report.bytesSent += static_cast<std::size_t>(n);
        ++mix.report.chunksSent;
    } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
        fail(mix, "a send to the hub failed for value " + std::to_string(value));
    }
}

std::chrono::milliseconds milliseconds(int count) { return std::chrono::milliseconds(count); }

// ---- Steady clients ---------------------------------------------------------

bool connectSteady(Mix& mix) {
    int count = mix.size.receivers + mix.size.senders;
    for (int i = 0; i < count; ++i) {
        int fd = connectTo(mix.port);
        if (fd < 0) {
            fail(mix, "steady client " + std::to_string(i) + " could not connect");
            return false;
        }
        auto value =
            static_cast<unsigned char>(i < mix.size.receivers ? 0 : i - mix.size.receivers + 1);
        mix.steady.push_back(Steady{fd, value, Clock::now(), false, {}});
    }
    // The last one's probe reaching every other proves all of them registered:
    // the hub appends in accept order and relays only for registered clients.
    sendBytes(mix.steady.back().fd, "p");
    for (std::size_t i = 0; i + 1 < mix.steady.size(); ++i) {
        if (receiveBytes(mix.steady[i].fd, 1) != std::string(1, '\0')) {
            fail(mix, "steady client " + std::to_string(i) + " never got the probe");
            return false;
        }
    }
    for (Steady& client : mix.steady) {
        client.nextSend =
            Clock::now() + milliseconds(randomBetween(mix, 0, mix.size.sendIntervalMs));
        if (!makeNonBlocking(client.fd)) {
            fail(mix, "a steady client cannot be made non-blocking");
            return false;
        }
    }
    return true;
}

void sendSteady(Mix& mix, Clock::time_point now) {
    for (Steady& client : mix.steady) {
        if (client.value != 0 && !client.lost && now >= client.nextSend) {
            sendChunk(mix, client.fd, client.value);
            client.nextSend += milliseconds(mix.size.sendIntervalMs);
        }
    }
}

void readSteady(Mix& mix, Steady& client, std::size_t index) {
    unsigned char buffer[65536];
    ssize_t n = ::recv(client.fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) {
        checkBytes(client.stream, buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        fail(mix, "the hub dropped steady client " + std::to_string(index));
        client.lost = true;
    }
}

std::size_t expectedFor(const Mix& mix, const Steady& client) {
    std::size_t total = 0;
    for (int value = 1; value < VALUES; ++value) {
        if (value != client.value) {
            total += mix.sentByValue[value];
        }
    }
    return total;
}

void verifySteady(Mix& mix, const Steady& client, std::size_t index) {
    const StreamCheck& stream = client.stream;
    std::string who = "steady client " + std::to_string(index) + ": ";
    std::size_t expected = expectedFor(mix, client);
    if (stream.received != expected) {
        fail(mix, who + "received " + std::to_string(stream.received) + " bytes, the others sent " +
                      std::to_string(expected));
    }
    if (stream.mixedAt != 0) {
        fail(mix, who + "chunks interleave at byte " + std::to_string(stream.mixedAt - 1));
    }
    if (stream.run != 0) {
        fail(mix, who + "the stream does not end on a zero byte");
    }
    if (client.value != 0 && stream.byValue[client.value] != 0) {
        fail(mix, who + "received its own bytes back");
    }
    // Runs of a value can hold no more than its senders sent; what is
    // missing from them must be exactly the lone zeros of one-byte chunks.
    std::size_t missing = 0;
    for (int value = 1; value < VALUES; ++value) {
        if (value == client.value) {
            continue;
        }
        if (stream.byValue[value] > mix.sentByValue[value]) {
            fail(mix, who + "more bytes of value " + std::to_string(value) + " than were sent");
        } else {
            missing += mix.sentByValue[value] - stream.byValue[value];
        }
    }
    if (missing != stream.loneZeros) {
        fail(mix, who + std::to_string(missing) + " bytes unaccounted for");
    }
}

// ---- Churning clients -------------------------------------------------------

Leave leaveOf(const Churner& churner) {
    return static_cast<Leave>((churner.value + churner.incarnations) % 3);
}

void connectChurner(Mix& mix, Churner& churner, Clock::time_point now) {
    int fd = connectTo(mix.port);
    if (fd < 0 || !makeNonBlocking(fd)) {
        fail(mix, "a churning client could not connect");
        if (fd >= 0) {
            ::close(fd);
        }
        return;
    }
    churner.fd = fd;
    churner.state = ChurnState::Sending;
    churner.chunksLeft = mix.size.churnChunks;
    churner.nextSend = now;
    ++mix.report.churnConnections;
}

void closeChurner(Churner& churner) {
    ::close(churner.fd);
    churner.fd = -1;
    churner.state = ChurnState::Idle;
    ++churner.incarnations;
}

void drainReceived(int fd) {
    char buffer[65536];
    while (::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
    }
}

// Leaves only once the hub's side holds every byte this client sent, so each
// of them reaches the steady clients however the connection ends.
void leaveWhenFlushed(Mix& mix, Churner& churner) {
    int unsent = 0;
    if (::ioctl(churner.fd, SIOCOUTQ, &unsent) != 0 || unsent > 0) {
        return;
    }
    switch (leaveOf(churner)) {
    case Leave::Orderly:
        drainReceived(churner.fd); // unread data would turn the close into a reset
        closeChurner(churner);
        ++mix.report.orderlyCloses;
        break;
    case Leave::Reset:
        resetOnClose(churner.fd);
        closeChurner(churner);
        ++mix.report.resets;
        break;
    case Leave::HalfClose:
        ::shutdown(churner.fd, SHUT_WR);
        churner.state = ChurnState::AwaitingEnd;
        ++mix.report.halfCloses;
        break;
    }
}

void stepChurner(Mix& mix, Churner& churner, Clock::time_point now, bool trafficOver) {
    switch (churner.state) {
    case ChurnState::Idle:
        if (!trafficOver) {
            connectChurner(mix, churner, now);
        }
        break;
    case ChurnState::Sending:
        if (churner.chunksLeft > 0 && !trafficOver && now >= churner.nextSend) {
            sendChunk(mix, churner.fd, churner.value);
            --churner.chunksLeft;
            churner.nextSend = now + milliseconds(mix.size.sendIntervalMs);
        }
        if (churner.chunksLeft == 0 || trafficOver) {
            churner.state = ChurnState::Flushing;
        }
        break;
    case ChurnState::Flushing:
        leaveWhenFlushed(mix, churner);
        break;
    case ChurnState::AwaitingEnd:
        break; // the hub answers a half-close by closing: see readChurner
    }
}

// Churning clients read whatever reaches them, so the hub never waits on them.
void readChurner(Mix& mix, Churner& churner) {
    char buffer[65536];
    ssize_t n = ::recv(churner.fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))) {
        return;
    }
    if (churner.state != ChurnState::AwaitingEnd) {
        fail(mix, "the hub dropped a churning client of value " + std::to_string(churner.value));
    }
    closeChurner(churner);
}

bool churnersGone(const Mix& mix) {
    return std::all_of(mix.churners.begin(), mix.churners.end(),
                       [](const Churner& churner) { return churner.state == ChurnState::Idle; });
}

// ---- The loop ---------------------------------------------------------------

bool allDelivered(const Mix& mix) {
    return std::all_of(mix.steady.begin(), mix.steady.end(), [&](const Steady& client) {
        return client.lost || client.stream.received >= expectedFor(mix, client);
    });
}

// Waits for the sockets (at most `waitMs`) and reads what arrived.
void pollAndRead(Mix& mix, int waitMs) {
    std::vector<pollfd> watched;
    for (const Steady& client : mix.steady) {
        watched.push_back(pollfd{client.lost ? -1 : client.fd, POLLIN, 0});
    }
    for (const Churner& churner : mix.churners) {
        watched.push_back(pollfd{churner.fd, POLLIN, 0});
    }
    if (::poll(watched.data(), watched.size(), waitMs) <= 0) {
        return;
    }
    for (std::size_t i = 0; i < mix.steady.size(); ++i) {
        if (watched[i].revents != 0) {
            readSteady(mix, mix.steady[i], i);
        }
    }
    for (std::size_t i = 0; i < mix.churners.size(); ++i) {
        if (watched[mix.steady.size() + i].revents != 0) {
            readChurner(mix, mix.churners[i]);
        }
    }
}

// Grows whenever a steady client receives a byte or a churning client
// leaves or learns of the hub's end.
std::size_t progressMark(const Mix& mix) {
    std::size_t mark = mix.report.orderlyCloses + mix.report.resets + mix.report.halfCloses;
    for (const Steady& client : mix.steady) {
        mark += client.stream.received;
    }
    for (const Churner& churner : mix.churners) {
        mark += static_cast<std::size_t>(churner.incarnations);
    }
    return mark;
}

std::string valueList(const std::vector<int>& values) {
    std::string list;
    for (int value : values) {
        list += (list.empty() ? "" : " ") + std::to_string(value);
    }
    return list;
}

// "3 half-closed, awaiting the hub's end (values 41 44 47)", or nothing.
std::string group(const std::vector<int>& values, const std::string& what) {
    return values.empty() ? ""
                          : "; " + std::to_string(values.size()) + " " + what + " (values " +
                                valueList(values) + ")";
}

// The churning clients still connected, by what they wait for.
std::string describeChurners(const Mix& mix) {
    std::vector<int> sending;
    std::vector<int> unflushed;
    std::vector<int> awaitingEnd;
    for (const Churner& churner : mix.churners) {
        if (churner.state == ChurnState::Sending) {
            sending.push_back(churner.value);
        } else if (churner.state == ChurnState::Flushing) {
            unflushed.push_back(churner.value);
        } else if (churner.state == ChurnState::AwaitingEnd) {
            awaitingEnd.push_back(churner.value);
        }
    }
    std::string groups = group(awaitingEnd, "half-closed, awaiting the hub's end") +
                         group(unflushed, "whose bytes the hub has not all taken") +
                         group(sending, "still sending");
    return groups.empty() ? "every churning client has left"
                          : "churning clients still connected" + groups;
}

// Which senders' bytes the steady clients lack, and how many lack them. A
// one-byte chunk arrives as a lone zero, so a shortfall within a client's lone
// zeros is not counted.
std::string describeShortfall(const Mix& mix) {
    std::vector<int> values;
    std::size_t lacking = 0;
    for (const Steady& client : mix.steady) {
        if (client.lost || client.stream.received >= expectedFor(mix, client)) {
            continue;
        }
        ++lacking;
        for (int value = 1; value < VALUES; ++value) {
            std::size_t got = client.stream.byValue[value] + client.stream.loneZeros;
            if (value != client.value && got < mix.sentByValue[value] &&
                std::find(values.begin(), values.end(), value) == values.end()) {
                values.push_back(value);
            }
        }
    }
    std::sort(values.begin(), values.end());
    if (lacking == 0) {
        return "every steady client has its bytes";
    }
    return std::to_string(lacking) + " steady clients lack bytes, from values " +
           valueList(values) + " (1 to " + std::to_string(mix.size.senders) +
           " steady senders, the rest churning)";
}

void runTraffic(Mix& mix) {
    for (int slot = 0; slot < mix.size.churnSlots; ++slot) {
        auto value = static_cast<unsigned char>(mix.size.senders + 1 + slot);
        mix.churners.push_back(Churner{-1, value, ChurnState::Idle, 0, 0, Clock::now()});
    }
    auto trafficEnd = Clock::now() + milliseconds(mix.size.trafficMs);
    auto settleLimit = trafficEnd + milliseconds(SETTLE_LIMIT_MS);
    std::size_t mark = progressMark(mix);
    auto lastProgress = trafficEnd;
    bool settled = false;
    for (;;) {
        auto now = Clock::now();
        bool trafficOver = now >= trafficEnd;
        settled = trafficOver && churnersGone(mix) && allDelivered(mix);
        if (settled || now >= settleLimit || now >= lastProgress + milliseconds(STALL_MS)) {
            break;
        }
        if (!trafficOver) {
            sendSteady(mix, now);
        }
        for (Churner& churner : mix.churners) {
            stepChurner(mix, churner, now, trafficOver);
        }
        pollAndRead(mix, 5);
        std::size_t moved = progressMark(mix);
        if (moved != mark) {
            mark = moved;
            lastProgress = std::max(Clock::now(), trafficEnd);
        }
    }
    if (!settled) {
        auto since = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - trafficEnd);
        fail(mix, "not settled " + std::to_string(since.count()) + " s after the traffic, " +
                      (Clock::now() >= settleLimit ? "though still moving"
                                                   : "nothing moved for the last " +
                                                         std::to_string(STALL_MS / 1000) + " s") +
                      ": " + describeChurners(mix) + "; " + describeShortfall(mix));
    }
}

} // namespace

MixSize stressSize() { return MixSize{150, 40, 30, 10000, 100, 1500, 3}; }

int testScale() {
    const char* text = std::getenv("VELLORAN_TEST_SCALE");
    long given = text != nullptr ? std::strtol(text, nullptr, 10) : 1;
    return static_cast<int>(std::clamp(given, 1L, 100L));
}

MixSize scaled(MixSize size) {
    int divisor = testScale();
    if (divisor > 1) {
        size.receivers = std::max(4, size.receivers / divisor);
        size.senders = std::max(3, size.senders / divisor);
        size.churnSlots = std::max(3, size.churnSlots / divisor);
        size.trafficMs = std::max(2000, size.trafficMs / divisor);
    }
    return size;
}

MixReport runMix(int port, const MixSize& size, std::vector<int>& steady) {
    Mix mix;
    mix.size = size;
    mix.port = port;
    if (connectSteady(mix)) {
        runTraffic(mix);
        for (std::size_t i = 0; i < mix.steady.size(); ++i) {
            verifySteady(mix, mix.steady[i], i);
            mix.report.bytesVerified += mix.steady[i].stream.received;
        }
    }
    for (const Churner& churner : mix.churners) {
        if (churner.fd >= 0) {
            ::close(churner.fd);
        }
    }
    steady.clear();
    for (const Steady& client : mix.steady) {
        steady.push_back(client.fd);
    }
    return mix.report;
}

} // namespace harness
