// The hub under faults: its descriptors run out, a consumer stalls, clients
// reset while a chunk is on its way to them, the operator's key source sends
// every byte there is, and the port argument is junk. Whatever happens, the
// hub stays up and the clients that behave lose nothing.

#include "support/harness.h"
#include "support/process_usage.h"

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

// ---- A transfer between two clients, checked as it arrives -----------------

// The sender's bytes never hold a zero, so each zero the reader sees is the
// zeroed last byte of a chunk and every other byte must match.
char patternAt(std::size_t offset) { return static_cast<char>(1 + offset % 251); }

struct Transfer {
    int sender;
    int reader;
    std::size_t target; // bytes the sender sends in all
    std::size_t written = 0;
    std::size_t received = 0;
    std::size_t zeros = 0;
    std::size_t mismatches = 0;
    char last = 0;
};

void writeSome(Transfer& transfer) {
    char block[65536] = {};
    std::size_t length = std::min(sizeof block, transfer.target - transfer.written);
    for (std::size_t i = 0; i < length; ++i) {
        block[i] = patternAt(transfer.written + i);
    }
    ssize_t n = ::send(transfer.sender, block, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
        transfer.written += static_cast<std::size_t>(n);
    }
}

void readSome(Transfer& transfer) {
    char block[65536];
    ssize_t n = ::recv(transfer.reader, block, sizeof block, MSG_DONTWAIT);
    for (ssize_t i = 0; i < n; ++i, ++transfer.received) {
        char byte = block[i];
        if (byte == '\0') {
            ++transfer.zeros;
        } else if (byte != patternAt(transfer.received)) {
            ++transfer.mismatches;
        }
        transfer.last = byte;
    }
}

bool transferDone(const Transfer& transfer) { return transfer.received >= transfer.target; }

// Moves the bytes along until `done` holds; false if the deadline came first.
template <typename Done> bool pump(Transfer& transfer, int deadlineMs, Done done) {
    auto deadline = Clock::now() + std::chrono::milliseconds(deadlineMs);
    while (!done()) {
        if (Clock::now() >= deadline) {
            return false;
        }
        short wantWrite = transfer.written < transfer.target ? POLLOUT : 0;
        pollfd watched[] = {{transfer.sender, wantWrite, 0}, {transfer.reader, POLLIN, 0}};
        if (::poll(watched, 2, 10) <= 0) {
            continue;
        }
        if ((watched[0].revents & POLLOUT) != 0) {
            writeSome(transfer);
        }
        if (watched[1].revents != 0) {
            readSome(transfer);
        }
    }
    return true;
}

void expectIntact(const Transfer& transfer) {
    EXPECT_EQ(transfer.received, transfer.target);
    EXPECT_EQ(transfer.mismatches, 0u);
    EXPECT_EQ(transfer.last, '\0') << "every chunk ends in a zero";
    EXPECT_GE(transfer.zeros, (transfer.target + 65534) / 65535) << "chunks are at most 65535";
}

// A client whose receive buffer is tiny, so the hub's sends to it block soon.
int connectNarrow(int port) { return connectTo(port, 4096); }

void resetConnection(int fd) {
    linger abortive{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    ::close(fd);
}

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
    void SetUp() override { startHub(DESCRIPTOR_LIMIT); }
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
