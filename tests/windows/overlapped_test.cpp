// The Windows build's sends and receives, on loopback connections of the
// test's own with small buffers: a send that completes at once; one in flight
// until its reader reads; sends to several peers in flight at once, where a
// reading peer's completes while a stuck one's waits, also past the number
// of events one wait can cover; stuck sends abandoned together within one
// bound, their records free again afterwards; a send that ended ending every
// later wait at once, whatever sends started after it; a send its cancel
// cannot end given up, its record never used again; a peer that reset is
// gone; and a receive that another thread ends through the client's receive
// stop while the socket stays open.

#include "platform/platform.h"

#include <gtest/gtest.h>

#include <winsock2.h>

#include <windows.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

// Two ends of one loopback connection, each with small buffers so that a
// send of a few hundred kilobytes waits for the reader.
struct Connection {
    SOCKET ours = INVALID_SOCKET;
    SOCKET theirs = INVALID_SOCKET;
};

Connection connectPair() {
    WSADATA data{};
    EXPECT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    SOCKET listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    EXPECT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    EXPECT_EQ(::listen(listener, 1), 0);
    Connection connection;
    connection.theirs = ::socket(AF_INET, SOCK_STREAM, 0);
    int small = 4096;
    ::setsockopt(connection.theirs, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&small),
                 sizeof small);
    EXPECT_EQ(::connect(connection.theirs, reinterpret_cast<sockaddr*>(&address), sizeof address),
              0);
    connection.ours = ::accept(listener, nullptr, nullptr);
    ::setsockopt(connection.ours, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&small),
                 sizeof small);
    ::closesocket(listener);
    return connection;
}

void closePair(const Connection& connection) {
    ::closesocket(connection.ours);
    ::closesocket(connection.theirs);
}

SocketHandle handle(SOCKET socket) { return static_cast<SocketHandle>(socket); }

// Reads `count` bytes at the far end, on a thread of its own, after a pause.
struct Reader {
    SOCKET socket;
    std::size_t count;
    DWORD pauseMilliseconds;
    std::size_t received = 0;
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
};

void readAll(void* reading) {
    auto* reader = static_cast<Reader*>(reading);
    Sleep(reader->pauseMilliseconds);
    char block[65536];
    while (reader->received < reader->count) {
        int n = ::recv(reader->socket, block, sizeof block, 0);
        if (n <= 0) {
            break;
        }
        reader->received += static_cast<std::size_t>(n);
    }
    SetEvent(reader->done);
}

// Takes whatever has arrived at the far end, without waiting for more.
void drain(SOCKET socket) {
    u_long waiting = 0;
    do {
        char block[65536];
        ioctlsocket(socket, FIONREAD, &waiting);
        if (waiting > 0) {
            ::recv(socket, block, sizeof block, 0);
        }
    } while (waiting > 0);
}

constexpr int LARGE = 1 << 20; // far beyond both buffers

// One peer's send of a whole chunk, as a fan-out keeps it.
struct PeerSend {
    SOCKET socket;
    SendSlot* slot;
    int sent = 0;
    int failure = 0; // SEND_FAILED or SEND_PEER_GONE once it failed
};

bool finished(const PeerSend& send, int length) { return send.sent == length || send.failure != 0; }

// Takes one result of startSend or continueSend into the peer's account.
void account(PeerSend* send, int result) {
    if (result > 0) {
        send->sent += result;
    } else if (result < 0) {
        send->failure = result;
    }
}

// What a fan-out does after starting its sends: the unfinished ones watched
// and waited for together, until `until` is finished or `milliseconds` have
// passed. A send that took part of the chunk is started again for the rest.
void waitUntilFinished(SendBatch* batch, std::vector<PeerSend>* sends, const PeerSend* until,
                       const char* data, int length, DWORD milliseconds) {
    DWORD start = GetTickCount();
    while (!finished(*until, length) && GetTickCount() - start < milliseconds) {
        clearSendWatch(batch);
        for (PeerSend& send : *sends) {
            if (!finished(send, length)) {
                watchSend(batch, handle(send.socket), send.slot);
            }
        }
        waitForSends(batch, static_cast<int>(milliseconds - (GetTickCount() - start)));
        for (PeerSend& send : *sends) {
            if (finished(send, length)) {
                continue;
            }
            int before = send.sent;
            account(&send, continueSend(batch, handle(send.socket), send.slot, data + before,
                                        length - before));
            if (send.sent != before && send.sent < length) {
                account(&send, startSend(batch, handle(send.socket), send.slot, data + send.sent,
                                         length - send.sent));
            }
        }
    }
}

// The batch's watch left as the fan-out leaves it at its limit.
void watchUnfinished(SendBatch* batch, const std::vector<PeerSend>& sends, int length) {
    clearSendWatch(batch);
    for (const PeerSend& send : sends) {
        if (!finished(send, length)) {
            watchSend(batch, handle(send.socket), send.slot);
        }
    }
}

SendBatch* newBatch(std::uint32_t sends) {
    SendBatch* batch = createSendBatch();
    EXPECT_NE(batch, nullptr);
    EXPECT_TRUE(reserveSendBatch(batch, sends));
    return batch;
}

TEST(OverlappedSends, CompleteAtOnceOrStayInFlightUntilTheReaderReads) {
    SendBatch* batch = newBatch(1);
    SendSlot* slot = createSendSlot();
    ASSERT_NE(slot, nullptr);
    Connection connection = connectPair();
    const std::string small = "hello";
    EXPECT_EQ(startSend(batch, handle(connection.ours), slot, small.data(), 5), 5)
        << "a send the socket has room for completes at once";
    char five[5];
    ASSERT_EQ(::recv(connection.theirs, five, 5, MSG_WAITALL), 5);

    const std::string large(LARGE, 'x');
    EXPECT_EQ(startSend(batch, handle(connection.ours), slot, large.data(), LARGE), SEND_WAITING)
        << "nobody reads yet: the send is in flight";
    static Reader late{connection.theirs, LARGE, 300};
    ASSERT_TRUE(startDetachedThread(readAll, &late, 0));
    std::vector<PeerSend> sends{PeerSend{connection.ours, slot}};
    waitUntilFinished(batch, &sends, &sends[0], large.data(), LARGE, 5000);
    EXPECT_EQ(sends[0].sent, LARGE) << "the send in flight completes once the reader reads";
    EXPECT_EQ(sends[0].failure, 0);
    ASSERT_EQ(WaitForSingleObject(late.done, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(late.received, static_cast<std::size_t>(LARGE));
    destroySendSlot(slot);
    closePair(connection);
}

// A send that has ended keeps saying so to every later wait, whatever sends
// start after it on other records: each record has an event of its own,
// which stays set until that record's next send. Asked to wait 20 s, the
// last wait must end at once, not at its limit.
TEST(OverlappedSends, ASendThatEndedEndsEveryLaterWaitAtOnce) {
    SendBatch* batch = newBatch(2);
    SendSlot* endedSlot = createSendSlot();
    SendSlot* stuckSlot = createSendSlot();
    ASSERT_NE(endedSlot, nullptr);
    ASSERT_NE(stuckSlot, nullptr);
    Connection read = connectPair();
    Connection stuck = connectPair();
    const std::string large(LARGE, 'x');
    ASSERT_EQ(startSend(batch, handle(read.ours), endedSlot, large.data(), LARGE), SEND_WAITING);
    static Reader reader{};
    reader = Reader{read.theirs, LARGE, 0};
    ASSERT_TRUE(startDetachedThread(readAll, &reader, 0));
    ASSERT_EQ(WaitForSingleObject(reader.done, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
    clearSendWatch(batch);
    watchSend(batch, handle(read.ours), endedSlot);
    waitForSends(batch, 20000); // ends once the send's end is signalled

    EXPECT_EQ(startSend(batch, handle(stuck.ours), stuckSlot, large.data(), LARGE), SEND_WAITING)
        << "nobody reads the second connection";
    clearSendWatch(batch);
    watchSend(batch, handle(read.ours), endedSlot);
    watchSend(batch, handle(stuck.ours), stuckSlot);
    DWORD start = GetTickCount();
    waitForSends(batch, 20000);
    EXPECT_LT(GetTickCount() - start, 10000u) << "the ended send was seen at once";
    EXPECT_EQ(continueSend(batch, handle(read.ours), endedSlot, large.data(), LARGE), LARGE);

    watchUnfinished(batch, {PeerSend{stuck.ours, stuckSlot}}, LARGE);
    EXPECT_TRUE(abandonSends(batch));
    destroySendSlot(endedSlot);
    destroySendSlot(stuckSlot);
    closePair(read);
    closePair(stuck);
}

// Watched under another connection's socket, a send's cancel finds nothing
// to end and the send goes on, as under a socket provider that ignores
// cancels. It must be given up, not taken for ended: the system may still
// write its record and read its data, so the record takes no other send.
TEST(OverlappedSends, ASendItsCancelCannotEndIsGivenUp) {
    SendBatch* batch = newBatch(1);
    SendSlot* slot = createSendSlot();
    ASSERT_NE(slot, nullptr);
    Connection stuck = connectPair();
    Connection elsewhere = connectPair();
    static const std::string large(LARGE, 'x'); // read by the system until the socket closes
    ASSERT_EQ(startSend(batch, handle(stuck.ours), slot, large.data(), LARGE), SEND_WAITING);
    clearSendWatch(batch);
    watchSend(batch, handle(elsewhere.ours), slot);
    DWORD start = GetTickCount();
    EXPECT_FALSE(abandonSends(batch)) << "the send still runs: it was not abandoned";
    EXPECT_LT(GetTickCount() - start, 3000u) << "given up within the bound";
    EXPECT_EQ(startSend(batch, handle(stuck.ours), slot, "hello", 5), SEND_FAILED)
        << "a record given up takes no other send";
    destroySendSlot(slot); // kept: its send only ends with the socket
    closePair(stuck);
    closePair(elsewhere);
}

TEST(OverlappedSends, APeerThatResetIsGone) {
    SendBatch* batch = newBatch(1);
    SendSlot* slot = createSendSlot();
    ASSERT_NE(slot, nullptr);
    Connection connection = connectPair();
    linger abortive{1, 0};
    ::setsockopt(connection.theirs, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abortive),
                 sizeof abortive);
    ::closesocket(connection.theirs);
    // The first send may still be taken before the reset is seen.
    int result = 5;
    for (int tries = 0; tries < 50 && result > 0; ++tries) {
        result = startSend(batch, handle(connection.ours), slot, "hello", 5);
        Sleep(10);
    }
    EXPECT_EQ(result, SEND_PEER_GONE);
    destroySendSlot(slot);
    ::closesocket(connection.ours);
}

// Sends in flight to `peers` connections at once; only the last one's reader
// reads. Past MAXIMUM_WAIT_OBJECTS peers one wait cannot cover them all: the
// reading peer's completion must still be seen soon, not at the end of the
// wait the fan-out asked for.
struct ManyPeers {
    const char* name;
    int peers;
};

void PrintTo(const ManyPeers& peers, std::ostream* out) { *out << peers.name; }

class SendsInFlightTogether : public testing::TestWithParam<ManyPeers> {};

TEST_P(SendsInFlightTogether, TheReadingPeerCompletesWhileTheStuckOnesWaitThenAllAreAbandoned) {
    const int peers = GetParam().peers;
    SendBatch* batch = newBatch(static_cast<std::uint32_t>(peers));
    std::vector<Connection> connections;
    std::vector<PeerSend> sends;
    for (int i = 0; i < peers; ++i) {
        connections.push_back(connectPair());
        SendSlot* slot = createSendSlot();
        ASSERT_NE(slot, nullptr);
        sends.push_back(PeerSend{connections.back().ours, slot});
    }
    const std::string large(LARGE, 'x');
    static Reader reader{};
    reader = Reader{connections.back().theirs, LARGE, 300};
    ASSERT_TRUE(startDetachedThread(readAll, &reader, 0));

    DWORD start = GetTickCount();
    for (PeerSend& send : sends) {
        account(&send, startSend(batch, handle(send.socket), send.slot, large.data(), LARGE));
    }
    // Asked to wait up to 20 s, as a fan-out with a long deadline would.
    waitUntilFinished(batch, &sends, &sends.back(), large.data(), LARGE, 20000);
    DWORD took = GetTickCount() - start;
    EXPECT_EQ(sends.back().sent, LARGE) << "the reading peer has the whole chunk";
    EXPECT_LT(took, 10000u) << "its completion was seen while the stuck peers still wait";
    for (int i = 0; i + 1 < peers; ++i) {
        EXPECT_FALSE(finished(sends[static_cast<std::size_t>(i)], LARGE))
            << "peer " << i << " reads nothing: its send is still waiting";
    }

    watchUnfinished(batch, sends, LARGE);
    start = GetTickCount();
    EXPECT_TRUE(abandonSends(batch)) << "every cancel ended the send it was for";
    EXPECT_LT(GetTickCount() - start, 3000u) << "abandoned together within one bound";

    // Their records are free again: a new send on each goes out.
    for (std::size_t i = 0; i + 1 < sends.size(); ++i) {
        drain(connections[i].theirs);
        EXPECT_EQ(startSend(batch, handle(sends[i].socket), sends[i].slot, "hello", 5), 5)
            << "peer " << i;
    }
    ASSERT_EQ(WaitForSingleObject(reader.done, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
    for (std::size_t i = 0; i < sends.size(); ++i) {
        destroySendSlot(sends[i].slot);
        closePair(connections[i]);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Peers, SendsInFlightTogether,
    testing::Values(ManyPeers{"OneStuckOneReading", 2},
                    ManyPeers{"MoreThanOneWaitCovers", MAXIMUM_WAIT_OBJECTS + 6}),
    [](const testing::TestParamInfo<ManyPeers>& peers) { return std::string(peers.param.name); });

struct Receiving {
    SocketHandle socket;
    ReceiveStop* stop;
    int result = 0;
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
};

void receiveOnce(void* receiving) {
    auto* r = static_cast<Receiving*>(receiving);
    char buffer[64];
    r->result = socketReceive(r->socket, r->stop, buffer, sizeof buffer);
    SetEvent(r->done);
}

TEST(OverlappedReceives, ReceiveBytesAndEndWhenStoppedWithTheSocketStillOpen) {
    Connection connection = connectPair();
    ReceiveStop* stop = createReceiveStop();
    ASSERT_NE(stop, nullptr);
    static Receiving first{handle(connection.ours), stop};
    ASSERT_TRUE(startDetachedThread(receiveOnce, &first, 0));
    ASSERT_EQ(::send(connection.theirs, "abc", 3, 0), 3);
    ASSERT_EQ(WaitForSingleObject(first.done, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(first.result, 3);

    static Receiving blocked{handle(connection.ours), stop};
    ASSERT_TRUE(startDetachedThread(receiveOnce, &blocked, 0));
    EXPECT_EQ(WaitForSingleObject(blocked.done, 200), static_cast<DWORD>(WAIT_TIMEOUT))
        << "nothing sent: the receive waits";
    socketEndReceive(handle(connection.ours), stop);
    ASSERT_EQ(WaitForSingleObject(blocked.done, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(blocked.result, -1) << "ended, and its buffer given back: not abandoned";
    sockaddr_in address{};
    int length = sizeof address;
    EXPECT_EQ(::getsockname(connection.ours, reinterpret_cast<sockaddr*>(&address), &length), 0)
        << "only its worker closes the socket";
    destroyReceiveStop(stop);
    closePair(connection);
}

} // namespace
