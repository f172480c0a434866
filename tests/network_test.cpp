// Clients that stop taking their chunks, on a network whose send buffers are
// as small as a real one's, where a chunk of tens of KiB rarely fits a
// socket at once. However many there are and wherever they sit in the
// registry, the healthy clients get every chunk whole, the hub waits at most
// once per chunk, and only the clients that did not take a chunk are cut
// off, with a reset. Everything runs in a network namespace of the test's
// own (root only), so the small buffers bind this test's connections alone.

#include "support/harness.h"
#include "support/network_namespace.h"
#include "support/payload.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace harness;

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A connection's send buffer across a real network: 16 KiB, and no more.
constexpr char SMALL_SEND_BUFFERS[] = "4096 16384 16384";
// How long every peer has to take a chunk once it has arrived.
constexpr int SEND_TIMEOUT_MS = 10000;
constexpr std::size_t CHUNK = 65535;
constexpr std::size_t CHUNKS = 3;
constexpr std::uint32_t SENDER_ID = 1;

constexpr int STUCK_WINDOW = 2048;
constexpr int HEALTHY_WINDOW = 8192;
// A slow reader takes SLOW_BYTES every SLOW_PERIOD: 1 KiB/s.
constexpr std::size_t SLOW_BYTES = 100;
constexpr auto SLOW_PERIOD = milliseconds(100);

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void makeNonBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

// ---- Clients and what reached them ------------------------------------------

enum class Kind { Stuck, Slow, Healthy };

struct Peer {
    Kind kind = Kind::Healthy;
    int fd = -1;
    std::string got;
    bool ended = false;
    int endError = 0;   // errno of the receive that ended the stream; 0 for a clean end
    double endedAt = 0; // seconds after the first chunk went out
    Clock::time_point nextSlowRead{};
};

// Takes up to `most` bytes that are there; notes how the stream ended.
void takeWaiting(Peer& peer, std::size_t most, Clock::time_point start) {
    char block[65536];
    while (!peer.ended && most > 0) {
        ssize_t n = ::recv(peer.fd, block, std::min(most, sizeof block), MSG_DONTWAIT);
        if (n > 0) {
            peer.got.append(block, static_cast<std::size_t>(n));
            most -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            return;
        }
        peer.ended = true;
        peer.endError = n < 0 ? errno : 0;
        peer.endedAt = secondsSince(start);
    }
}

// Each client reads as its kind does; a stuck one reads only when `drain`
// says the test now wants to see how its stream ends.
void tend(std::vector<Peer>& peers, Clock::time_point start, bool drain) {
    for (Peer& peer : peers) {
        if (peer.kind == Kind::Healthy || (peer.kind == Kind::Stuck && drain)) {
            takeWaiting(peer, ~std::size_t{0}, start);
        } else if (peer.kind == Kind::Slow && Clock::now() >= peer.nextSlowRead) {
            takeWaiting(peer, SLOW_BYTES, start);
            peer.nextSlowRead = Clock::now() + SLOW_PERIOD;
        }
    }
}

std::string howItEnded(const Peer& peer) {
    char line[160];
    if (!peer.ended) {
        std::snprintf(line, sizeof line, "still open after %zu bytes", peer.got.size());
    } else {
        std::snprintf(line, sizeof line, "%s after %zu bytes, %.2f s after the first chunk",
                      peer.endError == 0 ? "a clean end of stream" : std::strerror(peer.endError),
                      peer.got.size(), peer.endedAt);
    }
    return line;
}

// Bytes that are neither the sender's nor a chunk's zeroed last byte. Each
// of the sender's chunks ends in a zero; the hub may also split one where its
// receive did, which shows as another zero.
std::size_t wrongBytes(const std::string& got) {
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < got.size(); ++i) {
        auto byte = static_cast<unsigned char>(got[i]);
        bool chunkEnd = i % CHUNK == CHUNK - 1;
        wrong += chunkEnd ? byte != 0 : byte != 0 && byte != payloadByte(SENDER_ID, i);
    }
    return wrong;
}

// ---- The hub, in a namespace with small send buffers -------------------------

class SmallSendBuffers : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { network = enterNetworkNamespace(SMALL_SEND_BUFFERS); }
    void SetUp() override {
        if (!network.ready) {
            GTEST_SKIP() << network.whyNot;
        }
        server = startOnFreePort(Keys::Pipe);
        ASSERT_GT(server.pid, 0) << "the server did not start accepting";
    }
    void TearDown() override {
        for (int fd : open) {
            ::close(fd);
        }
        stop(server);
    }
    // A hub of its own, with no client yet, for the next row of a table.
    void restartHub() {
        TearDown();
        open.clear();
        SetUp();
    }
    // Connects after every client so far and proves it registered, so the
    // registry holds the clients in this order.
    int join(int receiveWindow) {
        int fd = connectTo(server.port, receiveWindow);
        if (fd >= 0) {
            if (!open.empty()) {
                proveRegistered(fd, open);
            }
            open.push_back(fd);
        }
        return fd;
    }
    static NetworkNamespace network;
    Server server;
    std::vector<int> open;
};

NetworkNamespace SmallSendBuffers::network;

// ---- Stalls and their deadlines ----------------------------------------------

// The rows' chunks: the sender's socket takes one whole and loopback carries
// it in one segment, so the hub receives it in one piece; yet it is several
// times what a peer's send buffer and small window hold at once.
constexpr std::size_t STALL_CHUNK = 60000;
constexpr int SENDER_SEND_BUFFER = 256 * 1024;
// A steady reader takes STEADY_BYTES every STEADY_PERIOD: a chunk in 0.3 s,
// in many turns, each after a wait of the hub's.
constexpr std::size_t STEADY_BYTES = 4096;
constexpr auto STEADY_PERIOD = milliseconds(20);
// A client stuck on a chunk is cut off 10 s after that chunk arrived. Its
// connection is reset once its worker may end it: at once, or once a chunk
// queued behind the one it held up has gone out, which may take until that
// chunk's own deadline. So its reset comes no sooner than CUT_NOT_BEFORE
// after its chunk was sent and no later than CUT_BY after the row's last
// chunk was: seconds of slack for a slow machine, still short of a deadline
// counted from a late fan-out's start, 3 s or more later in these rows.
constexpr double CUT_NOT_BEFORE = 9.0;
constexpr double CUT_BY = 13.0;

// Each client of a row, by its letter, in registry order:
//   A, B  send the row's chunks (A's first), and read everything
//   S     reads steadily, a chunk in 0.3 s
//   T     trickles (1 KiB/s): never a chunk in time, yet always taking bytes
//   X     never reads
//   F     reads the first chunk that reaches it, then nothing more
//   R     never reads, and resets its connection once every S has bytes of
//         A's chunk: the hub finds it broken in the walk after a wait, with
//         the later clients still waiting (and none before it, whose wait
//         would have the next walk pick the later ones up anyway)
struct StallRow {
    const char* name;
    const char* clients;
    double secondChunkAt; // seconds after A's chunk when B sends its own
    int settlesWithinMs;  // by when every client has what it should
};

const StallRow STALL_ROWS[] = {
    {"a client that breaks while the later ones wait costs them nothing", "ARSS", 0, DEADLINE_MS},
    {"a trickle, and a late chunk's stall, are each cut 10 s after their chunk arrived", "ABTF", 3,
     3000 + SEND_TIMEOUT_MS + DEADLINE_MS},
    {"a large chunk queued behind another's stall keeps a steady reader", "ABXS", 0,
     SEND_TIMEOUT_MS + DEADLINE_MS},
};

bool staysOn(char habit) { return std::strchr("ABS", habit) != nullptr; }
bool stalls(char habit) { return std::strchr("XTF", habit) != nullptr; }
// The sender's chunk as every other client must get it: last byte zeroed.
std::string chunkFrom(char sender) {
    std::string chunk(STALL_CHUNK, '\0');
    fillPayload(sender == 'A' ? 1 : 2, 0, reinterpret_cast<unsigned char*>(chunk.data()),
                chunk.size() - 1);
    return chunk;
}

struct StallClient {
    char habit;
    Peer peer;
    double hungUpAt = -1; // seconds after A's chunk when its connection ended
};

struct StallPlay {
    std::vector<StallClient> clients;
    Clock::time_point start;
    double sentAt[2] = {-1, -1}; // A's chunk, B's chunk, seconds after the start
};

// The chunks a client that stays must get: every other sender's, whole.
std::vector<std::string> chunksFor(const StallPlay& play, char habit) {
    std::vector<std::string> chunks;
    for (const StallClient& client : play.clients) {
        if ((client.habit == 'A' || client.habit == 'B') && client.habit != habit) {
            chunks.push_back(chunkFrom(client.habit));
        }
    }
    return chunks;
}

// True when `got` is exactly these chunks, each whole, in any order.
bool holdsExactly(const std::string& got, std::vector<std::string> chunks) {
    for (std::size_t at = 0; at < got.size(); at += STALL_CHUNK) {
        auto match = std::find(chunks.begin(), chunks.end(), got.substr(at, STALL_CHUNK));
        if (match == chunks.end()) {
            return false;
        }
        chunks.erase(match);
    }
    return chunks.empty();
}

// When the chunk that client `habit` holds up was sent: X and T hold up the
// first, F the second; and when the row's last chunk was.
double stalledChunkSentAt(const StallPlay& play, char habit) {
    bool both = play.sentAt[1] >= 0;
    return habit == 'F' ? play.sentAt[1]
           : both       ? std::min(play.sentAt[0], play.sentAt[1])
                        : play.sentAt[0];
}
double lastChunkSentAt(const StallPlay& play) { return std::max(play.sentAt[0], play.sentAt[1]); }

void sendDueChunks(StallPlay& play, const StallRow& row) {
    double now = secondsSince(play.start);
    for (const StallClient& client : play.clients) {
        int which = client.habit == 'A' ? 0 : client.habit == 'B' ? 1 : -1;
        double due = which == 0 ? 0 : row.secondChunkAt;
        if (which >= 0 && play.sentAt[which] < 0 && now >= due) {
            std::string chunk = chunkFrom(client.habit);
            chunk.back() = '!'; // the hub zeroes it
            ssize_t n = ::send(client.peer.fd, chunk.data(), chunk.size(), MSG_NOSIGNAL);
            ASSERT_EQ(n, static_cast<ssize_t>(chunk.size())) << "sent in one call";
            play.sentAt[which] = secondsSince(play.start);
        }
    }
}

bool everySteadyReaderHasBytes(const StallPlay& play) {
    return std::all_of(play.clients.begin(), play.clients.end(), [](const StallClient& client) {
        return client.habit != 'S' || !client.peer.got.empty();
    });
}

// Each client reads as its habit says; R resets when its moment comes, and
// leaves `open`.
void tendStalls(StallPlay& play, std::vector<int>& open) {
    auto now = Clock::now();
    for (StallClient& client : play.clients) {
        Peer& peer = client.peer;
        switch (client.habit) {
        case 'S':
        case 'T':
            if (now >= peer.nextSlowRead) {
                takeWaiting(peer, client.habit == 'S' ? STEADY_BYTES : SLOW_BYTES, play.start);
                peer.nextSlowRead = now + (client.habit == 'S' ? STEADY_PERIOD : SLOW_PERIOD);
            }
            break;
        case 'F':
            takeWaiting(peer, STALL_CHUNK - std::min(STALL_CHUNK, peer.got.size()), play.start);
            break;
        case 'R':
            if (peer.fd >= 0 && play.sentAt[0] >= 0 && everySteadyReaderHasBytes(play)) {
                resetConnection(peer.fd);
                open.erase(std::find(open.begin(), open.end(), peer.fd));
                peer.fd = -1;
            }
            break;
        case 'X':
            break;
        default:
            takeWaiting(peer, ~std::size_t{0}, play.start);
        }
    }
}

// Waits for bytes for the clients that read everything, at most until the
// paced readers' next turn; notes every connection that has ended, read or
// not (a reset shows as a hang-up at once, whatever is still queued).
void waitAndNoteHangUps(StallPlay& play) {
    std::vector<pollfd> watched;
    for (const StallClient& client : play.clients) {
        bool readsAll = client.habit == 'A' || client.habit == 'B';
        watched.push_back(pollfd{client.peer.fd, static_cast<short>(readsAll ? POLLIN : 0), 0});
    }
    ::poll(watched.data(), watched.size(), 5);
    for (std::size_t i = 0; i < watched.size(); ++i) {
        StallClient& client = play.clients[i];
        bool hungUp = (watched[i].revents & (POLLHUP | POLLERR)) != 0 || client.peer.ended;
        if (hungUp && client.hungUpAt < 0) {
            client.hungUpAt = secondsSince(play.start);
        }
    }
}

// Done, or already failed: every client that stays has its chunks or has
// ended; every stalling one was cut off or its window has passed.
bool stallSettled(const StallPlay& play) {
    double now = secondsSince(play.start);
    return std::all_of(play.clients.begin(), play.clients.end(), [&](const StallClient& client) {
        if (staysOn(client.habit)) {
            return client.hungUpAt >= 0 ||
                   client.peer.got.size() >= chunksFor(play, client.habit).size() * STALL_CHUNK;
        }
        if (stalls(client.habit)) {
            double last = lastChunkSentAt(play);
            return client.hungUpAt >= 0 || (last >= 0 && now > last + CUT_BY);
        }
        return true;
    });
}

void expectStallOutcome(StallPlay& play) {
    for (StallClient& client : play.clients) {
        SCOPED_TRACE(std::string("client ") + client.habit);
        Peer& peer = client.peer;
        if (staysOn(client.habit)) {
            EXPECT_LT(client.hungUpAt, 0) << "cut off: " << howItEnded(peer);
            EXPECT_TRUE(holdsExactly(peer.got, chunksFor(play, client.habit)))
                << peer.got.size() << " bytes: not each other sender's chunk, whole";
        } else if (stalls(client.habit)) {
            double sent = stalledChunkSentAt(play, client.habit);
            bool reset = client.hungUpAt >= 0;
            char when[96];
            std::snprintf(when, sizeof when, "%s %.2f s after its chunk was sent",
                          reset ? "reset" : "not reset",
                          (reset ? client.hungUpAt : secondsSince(play.start)) - sent);
            std::printf("  %c: %s\n", client.habit, when);
            EXPECT_TRUE(client.hungUpAt >= sent + CUT_NOT_BEFORE &&
                        client.hungUpAt <= lastChunkSentAt(play) + CUT_BY)
                << when << ": " << howItEnded(peer);
            if (client.habit == 'F') {
                EXPECT_TRUE(holdsExactly(peer.got, {chunkFrom('A')})) << peer.got.size();
            }
            EXPECT_TRUE(peer.ended ? peer.endError == ECONNRESET : seesReset(peer.fd))
                << "what was queued for it is discarded: " << howItEnded(peer);
        }
    }
}

TEST_F(SmallSendBuffers, AStallCostsTheOthersNothingAndIsCutTenSecondsAfterItsChunkArrived) {
    for (const StallRow& row : STALL_ROWS) {
        SCOPED_TRACE(row.name);
        if (&row != STALL_ROWS) {
            restartHub();
        }
        StallPlay play;
        long staying = 0;
        for (const char* letter = row.clients; *letter != '\0'; ++letter) {
            int window = (*letter == 'A' || *letter == 'B') ? 0
                         : *letter == 'S'                   ? HEALTHY_WINDOW
                                                            : STUCK_WINDOW;
            StallClient client{*letter, Peer{}, -1};
            client.peer.fd = join(window);
            ASSERT_GE(client.peer.fd, 0);
            if (*letter == 'A' || *letter == 'B') {
                ASSERT_EQ(::setsockopt(client.peer.fd, SOL_SOCKET, SO_SNDBUF, &SENDER_SEND_BUFFER,
                                       sizeof SENDER_SEND_BUFFER),
                          0);
            }
            makeNonBlocking(client.peer.fd);
            staying += staysOn(*letter) ? 1 : 0;
            play.clients.push_back(client);
        }

        play.start = Clock::now();
        auto giveUp = play.start + milliseconds(row.settlesWithinMs);
        do {
            ASSERT_NO_FATAL_FAILURE(sendDueChunks(play, row));
            tendStalls(play, open);
            waitAndNoteHangUps(play);
        } while (!stallSettled(play) && Clock::now() < giveUp);

        expectStallOutcome(play);
        EXPECT_TRUE(userCountBecomes(server, staying)) << "only the stalling ones left";
        sendBytes(play.clients[0].peer.fd, "after");
        for (const StallClient& client : play.clients) {
            if (staysOn(client.habit) && client.habit != 'A') {
                EXPECT_EQ(receiveBytes(client.peer.fd, 5), zeroLast("after"))
                    << client.habit << " is still relayed to, with nothing left over before";
            }
        }
    }
}

// ---- Stuck clients among healthy ones ----------------------------------------

// Clients in registry order, after the sender: X never reads, S reads
// 1 KiB/s, H reads all the time.
struct Lineup {
    const char* name;
    const char* order;
};

const Lineup LINEUPS[] = {
    {"a stuck client before a healthy one", "XH"},
    {"two stuck among three healthy", "XHXHH"},
    {"six stuck before two healthy", "XXXXXXHH"},
    {"a slow reader before a healthy one", "SH"},
};

// The stuck clients are cut off when the first chunk's deadline passes;
// from then on the chunks go at once. So every chunk reaches the healthy
// clients within one deadline plus the slack of a slow machine: a bound on
// how many times the hub waits, not a speed. A hub that waited once per
// stuck client, or once per chunk, would need three to six deadlines here.
constexpr auto ALL_CHUNKS_WITHIN = milliseconds(2 * SEND_TIMEOUT_MS + 5000);
// A cut-off slow reader still has its own receive buffer to read at 1 KiB/s.
constexpr auto CUT_OFF_ENDS_WITHIN = milliseconds(15000);

bool everyHealthyHas(const std::vector<Peer>& peers, std::size_t bytes) {
    return std::all_of(peers.begin(), peers.end(), [bytes](const Peer& peer) {
        return peer.kind != Kind::Healthy || peer.ended || peer.got.size() >= bytes;
    });
}

bool everyCutOffEnded(const std::vector<Peer>& peers) {
    return std::all_of(peers.begin(), peers.end(),
                       [](const Peer& peer) { return peer.kind == Kind::Healthy || peer.ended; });
}

// The sender's chunks, each sent once every healthy client has the one
// before, so each is one chunk of the sender's. Returns when every healthy
// client has them all, or has ended, or the bound passes.
void sendChunks(int sender, std::vector<Peer>& peers, Clock::time_point start) {
    std::vector<unsigned char> payload(CHUNK * CHUNKS);
    fillPayload(SENDER_ID, 0, payload.data(), payload.size());
    std::size_t sent = 0;
    std::size_t released = CHUNK; // bytes the sender may have sent so far
    while (!everyHealthyHas(peers, payload.size()) && Clock::now() < start + ALL_CHUNKS_WITHIN) {
        if (sent < released) {
            ssize_t n =
                ::send(sender, payload.data() + sent, released - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            sent += n > 0 ? static_cast<std::size_t>(n) : 0;
        } else if (released < payload.size() && everyHealthyHas(peers, released)) {
            released += CHUNK;
        }
        tend(peers, start, false);
        pollfd room{sender, POLLOUT, 0};
        ::poll(&room, sent < released ? 1 : 0, 10);
    }
}

TEST_F(SmallSendBuffers, StuckClientsCostTheHealthyOnesNothingAndAreCutOffWithAReset) {
    for (const Lineup& lineup : LINEUPS) {
        SCOPED_TRACE(lineup.name);
        if (&lineup != LINEUPS) {
            restartHub();
        }
        int sender = join(0);
        ASSERT_GE(sender, 0);
        std::vector<Peer> peers;
        long healthy = 0;
        for (const char* letter = lineup.order; *letter != '\0'; ++letter) {
            Kind kind = *letter == 'X' ? Kind::Stuck : *letter == 'S' ? Kind::Slow : Kind::Healthy;
            healthy += kind == Kind::Healthy ? 1 : 0;
            int fd = join(kind == Kind::Healthy ? HEALTHY_WINDOW : STUCK_WINDOW);
            ASSERT_GE(fd, 0);
            makeNonBlocking(fd);
            Peer peer;
            peer.kind = kind;
            peer.fd = fd;
            peers.push_back(peer);
        }

        auto start = Clock::now();
        sendChunks(sender, peers, start);
        double allThere = secondsSince(start);
        auto drainUntil = Clock::now() + CUT_OFF_ENDS_WITHIN;
        while (!everyCutOffEnded(peers) && Clock::now() < drainUntil) {
            tend(peers, start, true);
            std::this_thread::sleep_for(milliseconds(10)); // the clients have no common signal
        }

        std::printf("%s: healthy clients done after %.2f s\n", lineup.name, allThere);
        for (std::size_t i = 0; i < peers.size(); ++i) {
            const Peer& peer = peers[i];
            std::printf("  %c: %s\n", lineup.order[i], howItEnded(peer).c_str());
            if (peer.kind == Kind::Healthy) {
                EXPECT_FALSE(peer.ended) << "client " << i << " cut off: " << howItEnded(peer);
                EXPECT_EQ(peer.got.size(), CHUNK * CHUNKS) << "client " << i;
                EXPECT_EQ(wrongBytes(peer.got), 0u) << "client " << i;
            } else {
                EXPECT_TRUE(peer.ended && peer.endError == ECONNRESET)
                    << "client " << i << " should see a reset: " << howItEnded(peer);
            }
        }
        EXPECT_LT(allThere, std::chrono::duration<double>(ALL_CHUNKS_WITHIN).count());
        EXPECT_TRUE(userCountBecomes(server, 1 + healthy)) << "only the stuck ones left";
        sendBytes(sender, "after");
        for (const Peer& peer : peers) {
            if (peer.kind == Kind::Healthy) {
                EXPECT_EQ(receiveBytes(peer.fd, 5), zeroLast("after")) << "still relayed to";
            }
        }
    }
}

// ---- A slow reader while others chat ------------------------------------------

// Three clients chat a line each every LINE_PERIOD and read everything; a
// reader at 1 KiB/s registered before them cannot keep up. While the hub
// waits on it, the chatters' lines pile up into large chunks: those must
// still reach every chatter, and if anyone is cut off it is the slow reader.
constexpr int CHATTERS = 3;
constexpr std::size_t LINE_BYTES = 40;
constexpr auto LINE_PERIOD = milliseconds(20);
// Long enough for the slow reader to fall a deadline behind.
constexpr auto CHAT_TIME = std::chrono::seconds(18);
constexpr auto SETTLES_WITHIN = milliseconds(2 * SEND_TIMEOUT_MS + 5000);

struct Chatter {
    Peer reader;               // what reached it
    std::string outgoing;      // lines made but not yet taken by its socket
    std::size_t sent = 0;      // bytes its socket took
    std::size_t lineStart = 0; // where in reader.got the line being read began
    std::vector<double> delaysMs;
};

long long microsecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
}

// "<chatter> <microseconds since the start>", padded to LINE_BYTES.
std::string chatLine(int id, Clock::time_point start) {
    char head[LINE_BYTES];
    int length = std::snprintf(head, sizeof head, "%d %lld ", id, microsecondsSince(start));
    std::string line(head, static_cast<std::size_t>(length));
    line.resize(LINE_BYTES - 1, '.');
    return line + '\n';
}

// Each line ends in its line feed, or in the zero that ends a chunk.
void noteLines(Chatter& chatter, Clock::time_point start) {
    const std::string& got = chatter.reader.got;
    for (std::size_t i = chatter.lineStart; i < got.size(); ++i) {
        if (got[i] != '\n' && got[i] != '\0') {
            continue;
        }
        int id = 0;
        long long stamp = 0;
        // NOLINTNEXTLINE(cert-err34-c): a line the test itself made
        if (std::sscanf(got.c_str() + chatter.lineStart, "%d %lld", &id, &stamp) == 2) {
            chatter.delaysMs.push_back(static_cast<double>(microsecondsSince(start) - stamp) /
                                       1000.0);
        }
        chatter.lineStart = i + 1;
    }
}

void flush(Chatter& chatter) {
    if (chatter.outgoing.empty()) {
        return;
    }
    ssize_t n = ::send(chatter.reader.fd, chatter.outgoing.data(), chatter.outgoing.size(),
                       MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
        chatter.outgoing.erase(0, static_cast<std::size_t>(n));
        chatter.sent += static_cast<std::size_t>(n);
    }
}

std::size_t othersSent(const std::vector<Chatter>& chatters, std::size_t own) {
    std::size_t total = 0;
    for (std::size_t i = 0; i < chatters.size(); ++i) {
        total += i == own ? 0 : chatters[i].sent;
    }
    return total;
}

bool everyChatterCaughtUp(const std::vector<Chatter>& chatters) {
    for (std::size_t i = 0; i < chatters.size(); ++i) {
        const Chatter& chatter = chatters[i];
        if (!chatter.reader.ended &&
            (!chatter.outgoing.empty() || chatter.reader.got.size() < othersSent(chatters, i))) {
            return false;
        }
    }
    return true;
}

// One round of the chat: each chatter sends what it has and reads what came;
// the slow reader takes its share.
void chatRound(std::vector<Chatter>& chatters, std::vector<Peer>& slow, Clock::time_point start) {
    for (Chatter& chatter : chatters) {
        flush(chatter);
        takeWaiting(chatter.reader, ~std::size_t{0}, start);
        noteLines(chatter, start);
    }
    tend(slow, start, false);
    // Five clients and a clock: nothing to wait on in common.
    std::this_thread::sleep_for(milliseconds(2));
}

void reportDelays(const std::vector<Chatter>& chatters, const Peer& slowReader) {
    std::vector<double> delays;
    for (const Chatter& chatter : chatters) {
        delays.insert(delays.end(), chatter.delaysMs.begin(), chatter.delaysMs.end());
    }
    std::sort(delays.begin(), delays.end());
    if (!delays.empty()) {
        std::printf("chat: %zu lines; delay p50 %.1f ms, p99 %.1f ms, max %.1f ms\n", delays.size(),
                    delays[delays.size() / 2], delays[delays.size() * 99 / 100], delays.back());
    }
    std::printf("slow reader: %s\n", howItEnded(slowReader).c_str());
}

TEST_F(SmallSendBuffers, ASlowReaderRegisteredFirstCutsNoChatterOff) {
    std::vector<Peer> slow(1);
    slow[0].kind = Kind::Slow;
    slow[0].fd = join(STUCK_WINDOW);
    ASSERT_GE(slow[0].fd, 0);
    makeNonBlocking(slow[0].fd);
    std::vector<Chatter> chatters(CHATTERS);
    for (Chatter& chatter : chatters) {
        chatter.reader.fd = join(0);
        ASSERT_GE(chatter.reader.fd, 0);
        makeNonBlocking(chatter.reader.fd);
    }

    auto start = Clock::now();
    for (auto nextLine = start; Clock::now() < start + CHAT_TIME;) {
        for (; Clock::now() >= nextLine; nextLine += LINE_PERIOD) {
            for (std::size_t i = 0; i < chatters.size(); ++i) {
                chatters[i].outgoing += chatLine(static_cast<int>(i), start);
            }
        }
        chatRound(chatters, slow, start);
    }
    auto settleBy = Clock::now() + SETTLES_WITHIN;
    while (!everyChatterCaughtUp(chatters) && Clock::now() < settleBy) {
        chatRound(chatters, slow, start);
    }

    reportDelays(chatters, slow[0]);
    for (std::size_t i = 0; i < chatters.size(); ++i) {
        const Peer& reader = chatters[i].reader;
        EXPECT_FALSE(reader.ended) << "chatter " << i << " cut off: " << howItEnded(reader);
        EXPECT_EQ(reader.got.size(), othersSent(chatters, i)) << "chatter " << i;
    }
}

} // namespace
