// The relay, end to end: the real server, real loopback clients.
// Given these clients and these bytes, those bytes arrive.

#include "support/harness.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <thread>
#include <unistd.h>

using namespace harness;

namespace {

class Relay : public ::testing::Test {
  protected:
    void SetUp() override {
        server = startOnFreePort(Keys::None);
        ASSERT_GT(server.pid, 0) << "the server did not start accepting";
    }
    void TearDown() override {
        for (int fd : clients) {
            ::close(fd);
        }
        stop(server);
    }
    void join(std::size_t count) {
        clients = joinClients(server.port, static_cast<int>(count));
        ASSERT_EQ(clients.size(), count);
    }
    // Proves `receiver` got nothing it should not have: the next bytes it
    // sees must be a fresh marker from `marker`.
    static void expectNothingMoreFor(int receiver, int marker) {
        sendBytes(marker, "mark");
        EXPECT_EQ(receiveBytes(receiver, 4), zeroLast("mark"));
    }
    Server server;
    std::vector<int> clients;
};

struct Chunk {
    const char* name;
    std::size_t clients;
    std::size_t sender;
    std::string sent;
    std::string arrives;
};

const Chunk CHUNKS[] = {
    {"a line", 2, 0, "hello\n", std::string("hello\0", 6)},
    {"one byte", 2, 1, "x", std::string(1, '\0')},
    {"a zero byte stays zero", 2, 0, std::string(1, '\0'), std::string(1, '\0')},
    {"to two others", 3, 2, "abc", std::string("ab\0", 3)},
    {"from the middle of four", 4, 1, "0123456789", std::string("012345678\0", 10)},
};

TEST_F(Relay, EveryOtherClientGetsTheChunkWithItsLastByteZeroed) {
    for (const Chunk& chunk : CHUNKS) {
        SCOPED_TRACE(chunk.name);
        ASSERT_NO_FATAL_FAILURE(join(chunk.clients));
        sendBytes(clients[chunk.sender], chunk.sent);
        for (std::size_t i = 0; i < chunk.clients; ++i) {
            if (i != chunk.sender) {
                EXPECT_EQ(receiveBytes(clients[i], chunk.arrives.size()), chunk.arrives);
            }
        }
        std::size_t other = chunk.sender == 0 ? 1 : 0;
        expectNothingMoreFor(clients[chunk.sender], clients[other]);
        for (int fd : clients) {
            ::close(fd);
        }
        clients.clear();
    }
}

// Clients reach the hub on any local IPv4 address, not only on 127.0.0.1.
TEST_F(Relay, ClientsOnAnyLocalAddressReachEachOther) {
    ASSERT_NO_FATAL_FAILURE(join(1));
    int other = connectToAddress("127.0.0.2", server.port);
    ASSERT_GE(other, 0) << "the hub does not answer on 127.0.0.2";
    clients.push_back(other);
    proveRegistered(other, {clients[0]});
    sendBytes(clients[0], "from 127.0.0.1");
    EXPECT_EQ(receiveBytes(other, 14), zeroLast("from 127.0.0.1"));
}

TEST_F(Relay, ALoneClientsChunksGoNowhereAndItStaysConnected) {
    int alone = connectTo(server.port);
    ASSERT_GE(alone, 0);
    clients.push_back(alone);
    sendBytes(alone, "anyone?\n");
    int late = connectTo(server.port);
    ASSERT_GE(late, 0);
    clients.push_back(late);
    sendBytes(late, "p");
    // Its own chunk never came back: the first byte it sees is the probe.
    EXPECT_EQ(receiveBytes(alone, 1), std::string(1, '\0'));
}

TEST_F(Relay, ALateJoinerGetsOnlyLaterTraffic) {
    ASSERT_NO_FATAL_FAILURE(join(2));
    sendBytes(clients[0], "before");
    EXPECT_EQ(receiveBytes(clients[1], 6), zeroLast("before"));
    int late = connectTo(server.port);
    ASSERT_GE(late, 0);
    proveRegistered(late, clients);
    clients.push_back(late);
    sendBytes(clients[0], "after");
    EXPECT_EQ(receiveBytes(late, 5), zeroLast("after"));
    EXPECT_EQ(receiveBytes(clients[1], 5), zeroLast("after"));
}

TEST_F(Relay, ALargeTransferKeepsItsLengthAndZeroesEachChunkEnd) {
    ASSERT_NO_FATAL_FAILURE(join(2));
    std::string sent(300000, '\0');
    for (std::size_t i = 0; i < sent.size(); ++i) {
        sent[i] = static_cast<char>(1 + i % 251); // no zero bytes of its own
    }
    sendBytes(clients[0], sent);
    std::string arrived = receiveBytes(clients[1], sent.size(), 20000);
    ASSERT_EQ(arrived.size(), sent.size());
    std::size_t zeros = 0;
    std::size_t longestRun = 0;
    std::size_t run = 0;
    for (std::size_t i = 0; i < sent.size(); ++i) {
        if (arrived[i] == '\0') {
            ++zeros;
            run = 0;
        } else {
            ASSERT_EQ(arrived[i], sent[i]) << "at byte " << i;
            longestRun = std::max(longestRun, ++run);
        }
    }
    EXPECT_EQ(arrived.back(), '\0');
    EXPECT_GE(zeros, (sent.size() + 65534) / 65535);
    EXPECT_LT(longestRun, 65535u) << "a chunk is at most 65535 bytes, its last one zeroed";
}

TEST_F(Relay, AClosedClientIsGoneAndTheOthersGoOn) {
    ASSERT_NO_FATAL_FAILURE(join(3));
    ::close(clients[1]);
    clients.erase(clients.begin() + 1);
    sendBytes(clients[0], "still here");
    EXPECT_EQ(receiveBytes(clients[1], 10), zeroLast("still here"));
    expectNothingMoreFor(clients[0], clients[1]);
}

// A client that says goodbye and leaves at once still has its goodbye relayed.
TEST_F(Relay, WhatAClientSendsJustBeforeItLeavesStillArrives) {
    for (bool halfCloses : {false, true}) {
        SCOPED_TRACE(halfCloses ? "it only stops sending" : "it closes");
        ASSERT_NO_FATAL_FAILURE(join(2));
        sendBytes(clients[1], "bye!");
        if (halfCloses) {
            ::shutdown(clients[1], SHUT_WR);
        } else {
            ::close(clients[1]);
            clients.pop_back();
        }
        EXPECT_EQ(receiveBytes(clients[0], 4), zeroLast("bye!"));
        if (halfCloses) {
            EXPECT_TRUE(seesEndOfStream(clients[1])) << "the hub ends the connection";
        }
        for (int fd : clients) {
            ::close(fd);
        }
        clients.clear();
    }
}

TEST_F(Relay, TwoQuickConnectionsEachGetTheirOwnWorker) {
    int first = connectTo(server.port);
    int second = connectTo(server.port);
    ASSERT_GE(first, 0);
    ASSERT_GE(second, 0);
    clients = {first, second};
    // The first was registered before the second's worker started, so the
    // second's chunk must reach it; after that both are registered.
    sendBytes(second, "from second");
    EXPECT_EQ(receiveBytes(first, 11), zeroLast("from second"));
    sendBytes(first, "from first");
    EXPECT_EQ(receiveBytes(second, 10), zeroLast("from first"));
}

// A peer whose connection breaks while the hub walks the others with a
// chunk is dropped from the walk, and the peers after it still get the
// chunk. The walk is held at a peer that reads nothing (the one before the
// broken one) while the break happens, so the hub finds it in mid-walk.
TEST_F(Relay, APeerBrokenInTheMiddleOfTheWalkLeavesTheLaterPeersTheirChunk) {
    ASSERT_NO_FATAL_FAILURE(join(1));
    int slow = connectTo(server.port, 4096);
    ASSERT_GE(slow, 0);
    ASSERT_TRUE(proveRegistered(slow, clients));
    clients.push_back(slow);
    for (int i = 0; i < 3; ++i) { // the one to break, then two after it
        int fd = connectTo(server.port);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(proveRegistered(fd, clients));
        clients.push_back(fd);
    }
    const std::size_t total = 4u << 20; // beyond what the slow peer's way holds
    std::string sent(total, '\0');
    for (std::size_t i = 0; i < total; ++i) {
        sent[i] = static_cast<char>(1 + i % 251);
    }
    std::thread sender([&] { sendBytes(clients[0], sent); });
    // Later peers hear nothing for a while: the walk waits at the slow peer.
    std::string early;
    for (std::string more = "x"; !more.empty();) {
        more = receiveBytes(clients[3], total, 300);
        early += more;
    }
    resetConnection(clients[2]);
    clients.erase(clients.begin() + 2);
    // The slow peer, then the two after the broken one.
    std::vector<std::string> heard(clients.size());
    heard[2] = early;
    std::vector<std::thread> readers;
    for (std::size_t i = 1; i < clients.size(); ++i) {
        readers.emplace_back(
            [&, i] { heard[i] += receiveBytes(clients[i], total - heard[i].size(), 20000); });
    }
    for (std::thread& reader : readers) {
        reader.join();
    }
    sender.join();
    for (std::size_t i = 1; i < clients.size(); ++i) {
        ASSERT_EQ(heard[i].size(), total) << "peer " << i;
        for (std::size_t at = 0; at < total; ++at) {
            ASSERT_TRUE(heard[i][at] == sent[at] || heard[i][at] == '\0')
                << "peer " << i << " at byte " << at;
        }
    }
}

// Client i's stream: `size` bytes, each chunk one other sender's letter.
void expectUnmixed(const std::string& stream, std::size_t i, std::size_t size) {
    ASSERT_EQ(stream.size(), size) << "client " << i;
    std::size_t chunkStart = 0;
    for (std::size_t end = stream.find('\0'); end != std::string::npos;
         end = stream.find('\0', chunkStart)) {
        // A one-byte chunk arrives as its zero alone: nothing to check.
        std::string chunk = stream.substr(chunkStart, end - chunkStart);
        chunkStart = end + 1;
        if (chunk.empty()) {
            continue;
        }
        ASSERT_EQ(chunk.find_first_not_of(chunk[0]), std::string::npos)
            << "client " << i << ": senders mixed in the chunk ending at byte " << end;
        ASSERT_NE(chunk[0], static_cast<char>('a' + i)) << "client " << i << " heard itself";
    }
    EXPECT_EQ(chunkStart, stream.size()) << "client " << i << ": the stream ends a chunk";
}

// Chunks bigger than one send still reach each peer whole: between two zero
// bytes (chunk ends) a listener sees one sender's bytes only. Many senders
// at once, each chunk in several sends, round after round: a fan-out that
// let another in between two of its sends shows within a round.
TEST_F(Relay, LargeChunksFromSendersAtOnceNeverMix) {
    const std::size_t senders = 6;
    const std::size_t each = 600000;
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        ASSERT_NO_FATAL_FAILURE(join(senders + 1));
        std::vector<std::string> heard(senders + 1);
        std::vector<std::thread> threads;
        for (std::size_t i = 0; i < senders; ++i) {
            char letter = static_cast<char>('a' + i);
            threads.emplace_back(
                [&, i, letter] { sendBytes(clients[i], std::string(each, letter)); });
            threads.emplace_back(
                [&, i] { heard[i] = receiveBytes(clients[i], (senders - 1) * each, 20000); });
        }
        heard[senders] = receiveBytes(clients[senders], senders * each, 20000);
        for (std::thread& t : threads) {
            t.join();
        }
        for (std::size_t i = 0; i <= senders; ++i) {
            expectUnmixed(heard[i], i, (i < senders ? senders - 1 : senders) * each);
        }
        for (int fd : clients) {
            ::close(fd);
        }
        clients.clear();
        if (HasFailure()) {
            break; // one round shows it; the next would only repeat it
        }
    }
}

} // namespace
