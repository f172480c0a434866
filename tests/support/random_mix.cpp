#include "support/random_mix.h"

#include "support/harness.h"
#include "support/payload.h"
#include "support/traffic_mix.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <random>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace harness {

namespace {

using Clock = std::chrono::steady_clock;

// After the traffic: how long clients may take to leave and the steady ones
// to get their last bytes, and how long a stuck client may wait for its cut.
constexpr int SETTLE_MS = 30000;
constexpr int CUT_WAIT_MS = 25000;
constexpr int QUIET_MS = 1000; // beyond the longest read pause, 300 ms
constexpr int STUCK_RECEIVE_BUFFER = 2048;
constexpr std::size_t SEND_BLOCK = std::size_t{256} * 1024;

enum class Kind { Steady, Churning, Stuck };
enum class Style { Burst, Trickle, Quiet, Silent };
enum class Leave { Close, Reset, HalfClose };
enum class Phase { Waiting, Connected, Leaving, HalfClosed, Stalled, Gone };

struct MixClient {
    Kind kind;
    Phase phase = Phase::Waiting;
    int fd = -1;
    std::uint32_t id = 0;
    std::size_t receiver = 0; // its record in the model
    Style style = Style::Silent;
    Leave leave = Leave::Close;
    std::size_t chunkLeft = 0; // bytes of the current chunk not yet sent
    int burstLeft = 0;
    std::size_t received = 0;
    Clock::time_point joinAt{}, nextSend{}, leaveAt{}, readAgainAt{}, stalledAt{};
};

struct Mix {
    Server& server;
    RandomMixSize size;
    std::uint64_t seed;
    std::mt19937_64 random;
    RelayModel model;
    std::vector<MixClient> clients;
    std::vector<unsigned char> block;
    RandomMixReport report;
    std::uint32_t nextId = 1;
    Clock::time_point trafficEnd;
    Clock::time_point lastReceived; // when any client last got bytes
    // $VELLORAN_MIX_DUMP: every receiver's raw stream, kept when the round fails.
    std::string dumpDirectory;
    std::vector<std::FILE*> dumps; // by receiver record
};

std::chrono::milliseconds milliseconds(long count) { return std::chrono::milliseconds(count); }

long between(Mix& mix, long low, long high) {
    return std::uniform_int_distribution<long>(low, high)(mix.random);
}

bool chance(Mix& mix, int percent) { return between(mix, 1, 100) <= percent; }

void fail(Mix& mix, const MixClient& client, const std::string& what) {
    mix.report.failures.push_back(mix.model.receivers[client.receiver].label + ": " + what);
}

bool makeNonBlocking(int fd) {
    int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// ---- Sending ----------------------------------------------------------------

std::size_t chunkSize(Mix& mix, const MixClient& client) {
    long largest = mix.size.largestChunk;
    switch (client.style) {
    case Style::Trickle:
        return static_cast<std::size_t>(between(mix, 1, 24));
    case Style::Quiet:
        return static_cast<std::size_t>(between(mix, 100, 3000));
    case Style::Burst:
    case Style::Silent:
        break;
    }
    long roll = between(mix, 1, 10);
    long high = roll <= 4 ? 2000 : roll <= 8 ? 65536 : largest;
    return static_cast<std::size_t>(between(mix, 1, high));
}

long pauseAfterChunk(Mix& mix, MixClient& client) {
    switch (client.style) {
    case Style::Trickle:
        return between(mix, 2, 30);
    case Style::Quiet:
        return between(mix, 100, 500);
    case Style::Burst:
        if (--client.burstLeft > 0) {
            return 0;
        }
        client.burstLeft = static_cast<int>(between(mix, 1, 8));
        return between(mix, 50, 300);
    case Style::Silent:
        break;
    }
    return 1000000;
}

void sendSome(Mix& mix, MixClient& client, Clock::time_point now) {
    if (client.chunkLeft == 0) {
        if (client.style == Style::Silent || now < client.nextSend || now >= mix.trafficEnd) {
            return;
        }
        client.chunkLeft = chunkSize(mix, client);
        // A stream's first chunk holds a whole record head, so it names itself.
        if (mix.model.senders[client.id].sent == 0) {
            client.chunkLeft = std::max(client.chunkLeft, RECORD_BYTES);
        }
        ++mix.report.chunksSent;
    }
    std::size_t length = std::min(client.chunkLeft, SEND_BLOCK);
    std::uint64_t offset = mix.model.senders[client.id].sent;
    fillPayload(client.id, offset, mix.block.data(), length);
    ssize_t n = ::send(client.fd, mix.block.data(), length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
        noteSent(mix.model, client.id, static_cast<std::size_t>(n));
        mix.report.bytesSent += static_cast<std::size_t>(n);
        client.chunkLeft -= static_cast<std::size_t>(n);
        if (client.chunkLeft == 0) {
            client.nextSend = now + milliseconds(pauseAfterChunk(mix, client));
        }
    } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
        fail(mix, client, "a send to the hub failed");
        client.chunkLeft = 0;
        client.style = Style::Silent;
    }
}

bool flushed(int fd) {
    int unsent = 0;
    return ::ioctl(fd, SIOCOUTQ, &unsent) == 0 && unsent == 0;
}

// ---- Joining and leaving ----------------------------------------------------

const char* kindName(Kind kind) {
    return kind == Kind::Steady ? "steady" : kind == Kind::Churning ? "churning" : "stuck";
}

// A new client in `client`'s place: its own stream, its own record.
void prepare(Mix& mix, MixClient& client, Kind kind, Clock::time_point joinAt) {
    client = MixClient{kind};
    client.id = mix.nextId++;
    client.joinAt = joinAt;
    client.style = kind == Kind::Stuck ? Style::Quiet : static_cast<Style>(between(mix, 0, 3));
    client.leave = static_cast<Leave>(between(mix, 0, 2));
    client.burstLeft = static_cast<int>(between(mix, 1, 8));
    client.leaveAt =
        joinAt + milliseconds(between(mix, 100, std::max(200, mix.size.trafficMs / 2)));
    std::string label = "seed " + std::to_string(mix.seed) + ": " + kindName(kind) + " client " +
                        std::to_string(client.id);
    addReceiver(mix.model, client.id, label);
    client.receiver = mix.model.receivers.size() - 1;
    if (!mix.dumpDirectory.empty()) {
        std::string path = mix.dumpDirectory + "/" + std::to_string(client.id) + ".bin";
        mix.dumps.resize(client.receiver + 1, nullptr);
        mix.dumps[client.receiver] = std::fopen(path.c_str(), "wb");
    }
    ++mix.report.clients;
}

bool join(Mix& mix, MixClient& client, Clock::time_point now) {
    client.fd = connectTo(mix.server.port, client.kind == Kind::Stuck ? STUCK_RECEIVE_BUFFER : 0);
    if (client.fd < 0 || !makeNonBlocking(client.fd)) {
        fail(mix, client, "could not connect");
        client.phase = Phase::Gone;
        return false;
    }
    client.phase = Phase::Connected;
    client.nextSend = now;
    client.readAgainAt = now;
    return true;
}

void closeClient(MixClient& client) {
    if (client.fd >= 0) {
        ::close(client.fd);
    }
    client.fd = -1;
    client.phase = Phase::Gone;
}

void readSome(Mix& mix, MixClient& client);

// On the Windows build a reset can end the hub's receive before bytes the
// system had already taken reach it, so there a client leaving by a reset, or
// by a close that finds bytes unread (which resets too), may take its last
// bytes with it. Linux hands them to the hub first.
bool mayTakeItsLastBytes(Leave leave) { return leave != Leave::HalfClose && underWine(); }

// Once the hub holds all it sent, so the rest of the mix may count on it.
void leave(Mix& mix, MixClient& client) {
    if (mayTakeItsLastBytes(client.leave)) {
        mix.model.senders[client.id].complete = false;
    }
    switch (client.leave) {
    case Leave::Close:
        readSome(mix, client); // unread bytes would turn the close into a reset
        closeClient(client);
        ++mix.report.closes;
        break;
    case Leave::Reset:
        resetOnClose(client.fd);
        closeClient(client);
        ++mix.report.resets;
        break;
    case Leave::HalfClose:
        ::shutdown(client.fd, SHUT_WR);
        client.phase = Phase::HalfClosed; // the hub answers by closing
        ++mix.report.halfCloses;
        break;
    }
}

// ---- Receiving --------------------------------------------------------------

void received(Mix& mix, const MixClient& client, const unsigned char* bytes, std::size_t length) {
    noteReceived(mix.model, mix.model.receivers[client.receiver], bytes, length);
    if (client.receiver < mix.dumps.size() && mix.dumps[client.receiver] != nullptr) {
        std::fwrite(bytes, 1, length, mix.dumps[client.receiver]);
    }
}

void readSome(Mix& mix, MixClient& client) {
    unsigned char buffer[65536];
    for (int reads = 0; reads < 4; ++reads) {
        ssize_t n = ::recv(client.fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            received(mix, client, buffer, static_cast<std::size_t>(n));
            client.received += static_cast<std::size_t>(n);
            mix.lastReceived = Clock::now();
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            return;
        }
        if (client.phase != Phase::HalfClosed) {
            fail(mix, client, n == 0 ? "the hub closed it" : "the hub reset it");
        }
        closeClient(client);
        return;
    }
}

bool readsNow(const MixClient& client, Clock::time_point now) {
    return client.fd >= 0 && client.phase != Phase::Stalled && now >= client.readAgainAt;
}

int tcpState(int fd) {
    tcp_info info{};
    socklen_t length = sizeof info;
    return ::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) == 0 ? info.tcpi_state : -1;
}

// A stuck client reads nothing until the hub has ended its connection; then
// it reads what was left and must find a reset at the end.
void watchStuck(Mix& mix, MixClient& client, Clock::time_point now) {
    int state = tcpState(client.fd);
    if (state != TCP_CLOSE && state != TCP_CLOSE_WAIT) {
        if (now - client.stalledAt > milliseconds(CUT_WAIT_MS)) {
            fail(mix, client, "was never cut off");
            closeClient(client);
        }
        return;
    }
    unsigned char buffer[65536];
    ssize_t n;
    while ((n = ::recv(client.fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
        received(mix, client, buffer, static_cast<std::size_t>(n));
    }
    if (n < 0 && errno == ECONNRESET) {
        ++mix.report.cuts;
    } else {
        fail(mix, client, "its connection ended without a reset");
    }
    mix.model.senders[client.id].complete = false;
    closeClient(client);
}

// ---- The loop ---------------------------------------------------------------

void stepClient(Mix& mix, MixClient& client, Clock::time_point now) {
    switch (client.phase) {
    case Phase::Waiting:
        if (now >= client.joinAt && now < mix.trafficEnd && join(mix, client, now) &&
            client.kind == Kind::Churning) {
            ++mix.report.joins;
        }
        break;
    case Phase::Connected:
        sendSome(mix, client, now);
        if (client.kind != Kind::Steady && (now >= client.leaveAt || now >= mix.trafficEnd) &&
            client.chunkLeft == 0) {
            client.phase = Phase::Leaving;
        }
        if (client.kind != Kind::Stuck && readsNow(client, now) && chance(mix, 1)) {
            client.readAgainAt = now + milliseconds(between(mix, 20, 300));
            ++mix.report.readPauses;
        }
        break;
    case Phase::Leaving:
        if (flushed(client.fd)) {
            if (client.kind == Kind::Stuck) {
                client.phase = Phase::Stalled;
                client.stalledAt = now;
            } else {
                leave(mix, client);
            }
        }
        break;
    case Phase::Stalled:
        watchStuck(mix, client, now);
        break;
    case Phase::HalfClosed:
    case Phase::Gone:
        break;
    }
}

void pollAndRead(Mix& mix, Clock::time_point now) {
    std::vector<pollfd> watched;
    for (const MixClient& client : mix.clients) {
        watched.push_back(pollfd{readsNow(client, now) ? client.fd : -1, POLLIN, 0});
    }
    if (::poll(watched.data(), watched.size(), 2) <= 0) {
        return;
    }
    for (std::size_t i = 0; i < mix.clients.size(); ++i) {
        if (watched[i].revents != 0) {
            readSome(mix, mix.clients[i]);
        }
    }
}

// A churning slot whose client is gone takes a new one a little later.
void refillSlots(Mix& mix, Clock::time_point now) {
    for (MixClient& client : mix.clients) {
        if (client.kind == Kind::Churning && client.phase == Phase::Gone && now < mix.trafficEnd) {
            prepare(mix, client, Kind::Churning, now + milliseconds(between(mix, 0, 200)));
        }
    }
}

bool othersGone(const Mix& mix) {
    return std::all_of(mix.clients.begin(), mix.clients.end(), [](const MixClient& client) {
        return client.kind == Kind::Steady || client.phase == Phase::Gone ||
               client.phase == Phase::Waiting;
    });
}

// Each steady client holds at least every byte the others sent; a cut
// sender's last chunks may never come, so a short wait stands in for them.
bool steadyHaveAll(const Mix& mix) {
    std::uint64_t total = 0;
    for (const auto& [id, record] : mix.model.senders) {
        total += record.complete ? record.sent : 0;
    }
    return std::all_of(mix.clients.begin(), mix.clients.end(), [&](const MixClient& client) {
        if (client.kind != Kind::Steady || client.fd < 0) {
            return true;
        }
        const SenderRecord& own = mix.model.senders.at(client.id);
        return client.received >= total - (own.complete ? own.sent : 0) && flushed(client.fd);
    });
}

// What arrives from a sender whose last bytes may never come counts towards
// steadyHaveAll too, and could stand in for bytes still on their way from
// the others. With such a sender the mix also waits until nothing has
// arrived for longer than any read pause.
bool quietEnough(const Mix& mix, Clock::time_point now) {
    bool allComplete = std::all_of(mix.model.senders.begin(), mix.model.senders.end(),
                                   [](const auto& sender) { return sender.second.complete; });
    return allComplete || now - mix.lastReceived >= milliseconds(QUIET_MS);
}

bool connectSteady(Mix& mix) {
    std::vector<int> fds = joinClients(mix.server.port, mix.size.steady);
    if (fds.size() != static_cast<std::size_t>(mix.size.steady)) {
        mix.report.failures.push_back("seed " + std::to_string(mix.seed) +
                                      ": the steady clients could not all join");
        for (int fd : fds) {
            ::close(fd);
        }
        return false;
    }
    auto now = Clock::now();
    for (int fd : fds) {
        MixClient client{Kind::Steady};
        prepare(mix, client, Kind::Steady, now);
        client.fd = fd;
        client.phase = makeNonBlocking(fd) ? Phase::Connected : Phase::Gone;
        client.nextSend = now + milliseconds(between(mix, 0, 100));
        noteRegistered(mix.model, mix.model.receivers[client.receiver]);
        mix.model.receivers[client.receiver].toTheEnd = true;
        mix.clients.push_back(client);
    }
    return true;
}

void addOthers(Mix& mix, Clock::time_point start) {
    for (int i = 0; i < mix.size.churnSlots; ++i) {
        MixClient client{Kind::Churning};
        prepare(mix, client, Kind::Churning, start + milliseconds(between(mix, 0, 300)));
        mix.clients.push_back(client);
    }
    for (int i = 0; i < mix.size.stuck; ++i) {
        MixClient client{Kind::Stuck};
        prepare(mix, client, Kind::Stuck,
                start + milliseconds(between(mix, 0, std::max(1, mix.size.trafficMs / 4))));
        client.leaveAt = client.joinAt; // sends its first chunk, then stops reading
        mix.clients.push_back(client);
    }
}

void runLoop(Mix& mix) {
    auto begin = Clock::now();
    mix.trafficEnd = begin + milliseconds(mix.size.trafficMs);
    addOthers(mix, begin);
    auto settleEnd = mix.trafficEnd + milliseconds(SETTLE_MS);
    for (;;) {
        auto now = Clock::now();
        if (now >= mix.trafficEnd && othersGone(mix) && steadyHaveAll(mix) &&
            quietEnough(mix, now)) {
            break;
        }
        if (now >= settleEnd) {
            mix.report.failures.push_back("seed " + std::to_string(mix.seed) +
                                          ": the mix did not settle in time");
            break;
        }
        refillSlots(mix, now);
        for (MixClient& client : mix.clients) {
            stepClient(mix, client, now);
        }
        pollAndRead(mix, now);
    }
}

void checkCount(Mix& mix) {
    long steady = std::count_if(mix.clients.begin(), mix.clients.end(), [](const MixClient& c) {
        return c.kind == Kind::Steady && c.fd >= 0;
    });
    if (!userCountBecomes(mix.server, steady)) {
        mix.report.failures.push_back("seed " + std::to_string(mix.seed) + ": N shows " +
                                      std::to_string(shownUserCount(mix.server)) + ", not the " +
                                      std::to_string(steady) + " steady clients left");
    }
}

// The raw streams go to $VELLORAN_MIX_DUMP/<seed>/<client id>.bin, and with
// them, when the round fails, each receiver's pieces as the checker read them.
void openDumps(Mix& mix) {
    const char* base = std::getenv("VELLORAN_MIX_DUMP");
    if (base == nullptr || *base == '\0') {
        return;
    }
    mix.dumpDirectory = std::string(base) + "/" + std::to_string(mix.seed);
    ::mkdir(base, 0755);
    ::mkdir(mix.dumpDirectory.c_str(), 0755);
}

void writePieces(std::FILE* out, const ReceiverRecord& receiver) {
    std::fprintf(out, "receiver %u %s registered=%d toTheEnd=%d\n", receiver.id,
                 receiver.label.c_str(), receiver.registered ? 1 : 0, receiver.toTheEnd ? 1 : 0);
    for (const auto& [sender, sent] : receiver.sentWhenRegistered) {
        std::fprintf(out, "  bound %u %llu\n", sender, static_cast<unsigned long long>(sent));
    }
    std::size_t at = 0;
    for (std::size_t i = 0; i < receiver.pieces.size(); ++i) {
        const Piece& piece = receiver.pieces[i];
        if (piece.named) {
            std::fprintf(out, "  #%zu @%zu len %zu sender %u first %llu%s\n", i, at, piece.length,
                         piece.sender, static_cast<unsigned long long>(piece.first),
                         piece.pinned ? " pinned" : "");
        } else {
            std::fprintf(out, "  #%zu @%zu len %zu unnamed\n", i, at, piece.length);
        }
        at += piece.length;
    }
}

void closeDumps(Mix& mix) {
    for (std::FILE* dump : mix.dumps) {
        if (dump != nullptr) {
            std::fclose(dump);
        }
    }
    if (mix.dumpDirectory.empty()) {
        return;
    }
    if (mix.report.failures.empty()) {
        for (const ReceiverRecord& receiver : mix.model.receivers) {
            std::string path = mix.dumpDirectory + "/" + std::to_string(receiver.id) + ".bin";
            ::unlink(path.c_str());
        }
        ::rmdir(mix.dumpDirectory.c_str());
        return;
    }
    std::string path = mix.dumpDirectory + "/pieces.txt";
    std::FILE* out = std::fopen(path.c_str(), "w");
    if (out == nullptr) {
        return;
    }
    for (const auto& [sender, record] : mix.model.senders) {
        std::fprintf(out, "sender %u sent %llu complete=%d\n", sender,
                     static_cast<unsigned long long>(record.sent), record.complete ? 1 : 0);
    }
    for (const ReceiverRecord& receiver : mix.model.receivers) {
        writePieces(out, receiver);
    }
    for (const std::string& failure : mix.report.failures) {
        std::fprintf(out, "FAILURE %s\n", failure.c_str());
    }
    std::fclose(out);
}

} // namespace

RandomMixSize boundedMixSize() { return RandomMixSize{6, 6, 0, 1500, 100000}; }

RandomMixSize soakMixSize(int trafficMs) { return RandomMixSize{12, 16, 1, trafficMs, 200000}; }

RandomMixSize scaledMix(RandomMixSize size) {
    int divisor = testScale();
    size.steady = std::max(3, size.steady / divisor);
    size.churnSlots = std::max(2, size.churnSlots / divisor);
    return size;
}

std::uint64_t mixSeed(std::uint64_t fallback) {
    const char* text = std::getenv("VELLORAN_MIX_SEED");
    return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 10) : fallback;
}

std::uint64_t freshSeed() {
    auto ticks = Clock::now().time_since_epoch().count();
    return static_cast<std::uint64_t>(ticks) % 1000000000u;
}

RandomMixReport runRandomMix(Server& server, const RandomMixSize& size, std::uint64_t seed) {
    Mix mix{server, size, seed, std::mt19937_64(seed), {}, {}, {}, {}, 1, {}, {}, {}, {}};
    mix.block.resize(SEND_BLOCK);
    openDumps(mix);
    if (connectSteady(mix)) {
        runLoop(mix);
        checkCount(mix);
    }
    for (MixClient& client : mix.clients) {
        closeClient(client);
    }
    RelayVerdict verdict = checkRelay(mix.model);
    mix.report.failures.insert(mix.report.failures.end(), verdict.broken.begin(),
                               verdict.broken.end());
    mix.report.undecided = verdict.undecided;
    closeDumps(mix);
    mix.report.figures = verdict.figures;
    return mix.report;
}

std::string describe(const RandomMixReport& report) {
    return std::to_string(report.clients) + " clients, " + std::to_string(report.joins) +
           " joins (" + std::to_string(report.closes) + " closed, " +
           std::to_string(report.resets) + " reset, " + std::to_string(report.halfCloses) +
           " half-closed), " + std::to_string(report.cuts) + " cut off, " +
           std::to_string(report.readPauses) + " read pauses, " +
           std::to_string(report.chunksSent) + " chunks and " + std::to_string(report.bytesSent) +
           " bytes sent, " + std::to_string(report.figures.chunks) +
           " chunks checked at receivers (" + std::to_string(report.figures.loneZeros) +
           " lone zeros, " + std::to_string(report.figures.shortPieces) +
           " short pieces placed by fit, " + std::to_string(report.figures.choices) + " choices)" +
           (report.undecided.empty()
                ? std::string()
                : ", " + std::to_string(report.undecided.size()) + " clients undecided");
}

} // namespace harness
