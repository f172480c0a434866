// The hub under faults: its descriptors run out, a consumer stalls, clients
// reset while a chunk is on its way to them, the operator's key source sends
// every byte there is, and the port argument is junk. Whatever happens, the
// hub stays up and the clients that behave lose nothing.

#include "support/harness.h"
#include "support/process_usage.h"
#include "support/transfer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace harness;

namespace {

using Clock = std::chrono::steady_clock;

// The server's send timeout: a peer that takes nothing for this long is dropped.
constexpr int SEND_TIMEOUT_MS = 10000;

// A client whose receive buffer is tiny, so the hub's sends to it block soon.
int connectNarrow(int port) { return connectTo(port, 4096); }

std::size_t bytesWaiting(int fd) {
    int queued = 0;
    return ::ioctl(fd, FIONREAD, &queued) == 0 ? static_cast<std::size_t>(queued) : 0;
}

void makeNonBlocking(const std::vector<int>& fds) {
    for (int fd : fds) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
}

// A hub with keys through a pipe, so tests can ask for the user count. The
// hub and the clients go at the end of each test, even a failed one.
class Faults : public ::testing::Test {
  protected:
    void SetUp() override { startHub(0); }
    void startHub(int descriptorLimit) {
        int port = freePort();
        server = start({std::to_string(port)}, Keys::Pipe, descriptorLimit);
        server.port = port;
        ASSERT_TRUE(server.pid > 0 && waitUntilListening(port))
            << "the server did not start accepting";
    }
    void TearDown() override {
        for (int fd : clients) {
            ::close(fd);
        }
        stop(server);
    }
    // A sender and a reader that behave, then one client that takes nothing.
    void joinWithStalledClient() {
        clients = joinClients(server.port, 2);
        ASSERT_EQ(clients.size(), 2u);
        stalled = connectNarrow(server.port);
        ASSERT_GE(stalled, 0);
        proveRegistered(stalled, clients);
        makeNonBlocking(clients);
    }
    Server server;
    std::vector<int> clients;
    int stalled = -1;
};

// ---- A slow consumer --------------------------------------------------------

constexpr std::size_t SEVERAL_MEGABYTES = 8u << 20; // beyond what loopback buffers hold

TEST_F(Faults, AStalledClientHoldsTheOthersBackAndOnceItLeavesNothingIsLost) {
    joinWithStalledClient();
    Transfer transfer{clients[0], clients[1], SEVERAL_MEGABYTES};
    EXPECT_FALSE(pump(transfer, 2000, [&] { return transferDone(transfer); }))
        << "the hub relays one chunk at a time, so the stalled client holds it back";
    ::close(stalled);
    EXPECT_TRUE(pump(transfer, SEND_TIMEOUT_MS, [&] { return transferDone(transfer); }));
    expectIntact(transfer);
    EXPECT_TRUE(userCountBecomes(server, 2));
}

TEST_F(Faults, AClientThatTakesNothingForTheSendTimeoutIsDroppedAndTheHubResumes) {
    joinWithStalledClient();
    Transfer transfer{clients[0], clients[1], SEVERAL_MEGABYTES};
    EXPECT_TRUE(pump(transfer, 2 * SEND_TIMEOUT_MS, [&] { return transferDone(transfer); }));
    expectIntact(transfer);
    EXPECT_TRUE(seesEndOfStream(stalled)) << "the hub hung up on it";
    ::close(stalled);
    EXPECT_TRUE(userCountBecomes(server, 2));
    // And it goes on relaying without anybody's help.
    transfer.target += 1000;
    EXPECT_TRUE(pump(transfer, DEADLINE_MS, [&] { return transferDone(transfer); }));
    expectIntact(transfer);
    EXPECT_TRUE(isRunning(server));
}

// While a chunk waits on a client that reads nothing, the console still
// answers at once, long before the hub gives up on that client: each row
// asks on a hub of its own, stalled the same way. A listing waits for the
// chunk, but the keys typed behind it are still read: q ends the hub at
// once, and the others act, in order, once the listing is done.
enum class StallAnswer { Count, Quit, ListingThenCount };

struct KeysDuringAStall {
    const char* name;
    const char* keys;
    StallAnswer answer;
};

const KeysDuringAStall KEYS_DURING_A_STALL[] = {
    {"n shows the count", "n", StallAnswer::Count},
    {"q quits with status 0", "q", StallAnswer::Quit},
    {"l waits, q behind it quits at once", "lq", StallAnswer::Quit},
    {"l waits, n behind it answers after the listing", "ln", StallAnswer::ListingThenCount},
};

TEST_F(Faults, WhileAChunkWaitsOnAClientThatReadsNothingTheKeysAnswerAtOnce) {
    const std::string menuEnd = "----------------------------------------\n";
    for (const KeysDuringAStall& row : KEYS_DURING_A_STALL) {
        SCOPED_TRACE(row.name);
        if (&row != &KEYS_DURING_A_STALL[0]) {
            TearDown();
            clients.clear();
            startHub(0);
        }
        joinWithStalledClient();
        Transfer transfer{clients[0], clients[1], SEVERAL_MEGABYTES};
        ASSERT_FALSE(pump(transfer, 1000, [&] { return transferDone(transfer); }))
            << "the hub never waited on the stalled client";
        // Each answer comes within a deadline well inside the stall, and the
        // stalled client is still counted: the stall is not over.
        switch (row.answer) {
        case StallAnswer::Count:
            EXPECT_EQ(shownUserCount(server), 3);
            break;
        case StallAnswer::Quit: {
            pressKeys(server, row.keys);
            int status = waitExit(server, SEND_TIMEOUT_MS / 3);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
            break;
        }
        case StallAnswer::ListingThenCount: {
            ASSERT_TRUE(waitForOutput(server, menuEnd)) << "the first menu";
            std::size_t from = server.seen.size();
            pressKeys(server, row.keys);
            ::close(stalled); // the stall ends, and the listing with it
            stalled = -1;
            ASSERT_TRUE(waitForOutput(server, "# User(s) ", from)) << server.seen.substr(from);
            std::string shown = server.seen.substr(from);
            std::size_t listing = shown.find(menuEnd);
            std::size_t count = shown.find(menuEnd, listing + menuEnd.size());
            ASSERT_NE(count, std::string::npos) << shown;
            EXPECT_NE(shown.find("User ", listing), std::string::npos) << shown;
            EXPECT_LT(shown.find("User ", listing), count) << "the listing comes first: " << shown;
            EXPECT_EQ(shown.find("# User(s) "), count + menuEnd.size()) << shown;
            break;
        }
        }
        if (stalled >= 0) {
            ::close(stalled);
        }
    }
}

// ---- Dropping the clients that hold a chunk up -------------------------------

// The reader hears nothing for this long while bytes wait to go: the hub is stuck.
constexpr auto STALL = std::chrono::seconds(1);

struct StuckClients {
    const char* name;
    int count;
    bool readsLate; // takes a little of the chunk late in the window, then stops
};

const StuckClients STUCK_CLIENTS[] = {
    {"one that never reads", 1, false},
    {"one that takes a little late in the window", 1, true},
    {"three stuck on the same chunk", 3, false},
};

TEST_F(Faults, ClientsStuckOnAChunkAreDroppedWhenItsDeadlinePassesAndLeaveAtOnce) {
    clients = joinClients(server.port, 2);
    ASSERT_EQ(clients.size(), 2u);
    makeNonBlocking(clients);
    Transfer transfer{clients[0], clients[1], 0};
    for (const StuckClients& row : STUCK_CLIENTS) {
        SCOPED_TRACE(row.name);
        std::vector<int> stuck;
        std::vector<int> registered = clients;
        for (int i = 0; i < row.count; ++i) {
            stuck.push_back(connectNarrow(server.port));
            ASSERT_GE(stuck.back(), 0);
            proveRegistered(stuck.back(), registered);
            registered.push_back(stuck.back());
        }
        // Each stall the reader sees is the hub waiting on a chunk that some
        // client does not take. A stall that ends in drops lasts one window,
        // however many are stuck on that chunk; none lasts longer.
        std::size_t before = transfer.received;
        transfer.target += 4 * SEVERAL_MEGABYTES;
        std::vector<double> drops; // stalls that ended with clients dropped, in seconds
        bool inStall = false;
        bool tookALittle = false;
        Clock::time_point quietFrom{};
        long users = 2 + row.count;
        auto giveUp = Clock::now() + std::chrono::milliseconds((row.count + 2) * SEND_TIMEOUT_MS);
        while (users != 2 && Clock::now() < giveUp) {
            std::size_t seen = transfer.received;
            pump(transfer, 50, [&] { return transfer.received != seen; });
            bool quiet = transfer.received == seen && transfer.received > before;
            if (!inStall && quiet && Clock::now() - transfer.lastReceived > STALL) {
                inStall = true;
                quietFrom = transfer.lastReceived; // came with the chunk the others cannot take
            }
            if (inStall && row.readsLate && !tookALittle &&
                Clock::now() - quietFrom > std::chrono::milliseconds(8000)) {
                char some[8192];
                tookALittle = ::recv(stuck[0], some, sizeof some, MSG_DONTWAIT) > 0;
            }
            if (inStall && !quiet) {
                inStall = false;
                double seconds =
                    std::chrono::duration<double>(transfer.lastReceived - quietFrom).count();
                EXPECT_LE(seconds, 12.0) << "held the hub up too long";
                long now = shownUserCount(server);
                if (now < users) {
                    std::printf("%s: dropped %.2f s after the chunk arrived\n", row.name, seconds);
                    drops.push_back(seconds);
                }
                users = now;
            }
        }
        EXPECT_EQ(users, 2) << "the stuck clients are gone from the count";
        ASSERT_FALSE(drops.empty()) << "the stuck clients never held the hub up";
        EXPECT_LE(drops.size(), stuck.size());
        for (double seconds : drops) {
            EXPECT_GE(seconds, 9.0) << "dropped before its time";
        }
        EXPECT_EQ(row.readsLate, tookALittle);
        // The reader takes the rest first: a hub blocked on it would answer no key.
        EXPECT_TRUE(pump(transfer, 2 * SEND_TIMEOUT_MS, [&] { return transferDone(transfer); }));
        expectIntact(transfer);
        EXPECT_EQ(listedUserCount(server), 2) << "a dropped client is still listed";
        for (int fd : stuck) {
            EXPECT_TRUE(seesReset(fd)) << "what was queued for it is discarded";
            ::close(fd);
        }
    }
    EXPECT_TRUE(isRunning(server));
}

// ---- Nothing more from a client once it is cut off ----------------------------

// The stalled client speaks while the hub waits on it. Once cut off, nothing
// from it reaches anyone: neither what its worker had received before the
// cut nor what was still queued for it.
TEST_F(Faults, ACutOffClientGivesNothingMore) {
    joinWithStalledClient();
    Transfer transfer{clients[0], clients[1], 4 * SEVERAL_MEGABYTES};
    ASSERT_TRUE(pump(transfer, DEADLINE_MS, [&] {
        return transfer.received > 0 && Clock::now() - transfer.lastReceived > STALL;
    })) << "the hub never waited on the stalled client";
    const std::string marker(2000, 'M');
    sendBytes(stalled, marker);
    EXPECT_TRUE(pump(transfer, 2 * SEND_TIMEOUT_MS, [&] { return transferDone(transfer); }));
    expectIntact(transfer); // a byte of the marker would be a mismatch
    EXPECT_TRUE(seesReset(stalled));
    EXPECT_TRUE(userCountBecomes(server, 2));
    sendBytes(clients[0], "after");
    EXPECT_EQ(receiveBytes(clients[1], 5), zeroLast("after")) << "and nothing before it";
}

// ---- Resets in the middle of a fan-out ---------------------------------------

TEST_F(Faults, ClientsResettingWhileAChunkIsOnItsWayToThemHarmNoOne) {
    clients = joinClients(server.port, 2);
    ASSERT_EQ(clients.size(), 2u);
    makeNonBlocking(clients);
    Transfer transfer{clients[0], clients[1], std::size_t{1} << 40}; // as long as it takes
    const int cycles = 30;
    for (int cycle = 0; cycle < cycles; ++cycle) {
        SCOPED_TRACE(cycle);
        int victim = connectNarrow(server.port);
        ASSERT_GE(victim, 0);
        // Once the victim holds data, the hub fans out to it; once the reader
        // hears nothing for a moment, the hub is stuck in a send to the victim.
        ASSERT_TRUE(pump(transfer, DEADLINE_MS, [&] { return bytesWaiting(victim) > 0; }));
        std::size_t seen = transfer.received;
        auto quietSince = Clock::now();
        pump(transfer, 2000, [&] {
            if (transfer.received != seen) {
                seen = transfer.received;
                quietSince = Clock::now();
            }
            return Clock::now() - quietSince > std::chrono::milliseconds(50);
        });
        resetConnection(victim);
    }
    // The reader gets all that was sent, intact.
    transfer.target = transfer.written;
    EXPECT_TRUE(pump(transfer, 2 * DEADLINE_MS, [&] { return transferDone(transfer); }));
    expectIntact(transfer);
    EXPECT_TRUE(userCountBecomes(server, 2));
    EXPECT_TRUE(isRunning(server));
}

// ---- Descriptors running out ------------------------------------------------

constexpr int DESCRIPTOR_LIMIT = 64;

class DescriptorExhaustion : public Faults {
  protected:
    void SetUp() override {
        if (underWine()) {
            GTEST_SKIP() << "Windows has no descriptor limit: a limit set on Wine bounds nothing "
                            "in the program it runs";
        }
        startHub(DESCRIPTOR_LIMIT);
    }
};

TEST_F(DescriptorExhaustion, AFullHubIdlesRelaysForWhomItHoldsAndAcceptsAgainWhenSomeLeave) {
    const int port = server.port;
    ProcessUsage idle = processUsage(server.pid);
    const long held = DESCRIPTOR_LIMIT - idle.descriptors; // one descriptor per client
    ASSERT_GT(held, 8);

    // Twice as many clients as fit: the rest wait in the listen queue.
    for (long i = 0; i < 2 * held; ++i) {
        clients.push_back(connectTo(port));
        ASSERT_GE(clients.back(), 0);
    }
    ASSERT_TRUE(userCountBecomes(server, held));
    auto first = static_cast<std::size_t>(held); // the first client the hub could not take

    double cpuBefore = cpuSeconds(server.pid);
    // The measurement itself: one second while full.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_LT(cpuSeconds(server.pid) - cpuBefore, 0.2) << "a full hub must not spin";

    sendBytes(clients[0], "held");
    for (std::size_t i = 1; i < first; ++i) {
        EXPECT_EQ(receiveBytes(clients[i], 4), zeroLast("held")) << "client " << i;
    }

    // Three leave, three of the waiting ones take their places: the probe each
    // sent while it waited reaches the first client once the hub relays for it.
    for (std::size_t i = 1; i <= 3; ++i) {
        ::close(clients[i]);
        clients[i] = -1;
        sendBytes(clients[first + i - 1], "w");
    }
    EXPECT_EQ(receiveBytes(clients[0], 3), std::string(3, '\0'));
    EXPECT_TRUE(userCountBecomes(server, held));
    EXPECT_TRUE(isRunning(server));
}

// ---- Hostile port arguments -------------------------------------------------

struct HostilePort {
    const char* name;
    std::string argument;
    std::string shown; // what the P key shows
};

const std::string FORTY_DIGITS = "1234567890123456789012345678901234567890";

const HostilePort HOSTILE_PORTS[] = {
    {"empty", "", "0"},
    {"spaces only", "   ", "0"},
    {"white space only", "\t\n\v\f\r", "0"},
    {"a plus", "+", "0"},
    {"a minus", "-", "0"},
    {"two signs", "+-1", "0"},
    {"forty digits", FORTY_DIGITS, "2147483647"},
    {"minus forty digits", "-" + FORTY_DIGITS, "-2147483648"},
    {"ten thousand digits", std::string(10000, '9'), "2147483647"},
    {"the lowest value", "-2147483648", "-2147483648"},
    {"just below it", "-2147483649", "-2147483648"},
    {"just above the highest", "2147483648", "2147483647"},
    {"a multiple of 65536", "-65536", "-65536"},
    {"punctuation", "!@#$%^&*()", "0"},
    {"bytes beyond ASCII", "\xff\xfe\x80", "0"},
    {"a format string", "%s%n%x", "0"},
    {"digits then junk", "0x10", "0"},
};

TEST(PortArgument, HostileValuesConvertAndNeverCrash) {
    const std::string menuEnd = "----------------------------------------\n";
    for (const HostilePort& row : HOSTILE_PORTS) {
        SCOPED_TRACE(row.name);
        Server server = start({row.argument}, Keys::Pipe);
        ASSERT_GT(server.pid, 0);
        if (waitForOutput(server, menuEnd)) {
            pressKeys(server, "p");
            EXPECT_TRUE(
                waitForOutput(server, menuEnd + "#Port " + row.shown + "\n", menuEnd.size()))
                << server.seen;
            EXPECT_TRUE(isRunning(server));
            stop(server);
            continue;
        }
        // No menu: only a port that another program holds may stop it, and
        // then with the bind line, not a crash.
        int status = waitExit(server);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
        EXPECT_EQ(readToEnd(server.errors), "Le bind du socket server1 n'a pas fonctionne\n");
        stop(server);
    }
}

} // namespace
