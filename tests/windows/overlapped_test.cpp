// The Windows build's sends and receives, on a loopback connection of the
// test's own: a send that completes at once, one that waits and completes,
// one that is still pending at its time limit (cancelled, and the thread's
// next send works), and a receive that another thread ends through the
// client's receive stop while the socket stays open.

#include "platform/platform.h"

#include <gtest/gtest.h>

#include <winsock2.h>

#include <windows.h>

#include <string>

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
    EXPECT_EQ(::connect(connection.theirs, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    connection.ours = ::accept(listener, nullptr, nullptr);
    ::setsockopt(connection.ours, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&small),
                 sizeof small);
    ::closesocket(listener);
    return connection;
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

constexpr int LARGE = 1 << 20; // far beyond both buffers

TEST(OverlappedSends, CompleteAtOnceWaitAndCompleteOrEndAtTheirLimit) {
    Connection connection = connectPair();
    const std::string small = "hello";
    EXPECT_EQ(socketSendWithin(handle(connection.ours), small.data(), 5, 0), 5)
        << "a send the socket has room for completes at once, with no wait";
    char five[5];
    ASSERT_EQ(::recv(connection.theirs, five, 5, MSG_WAITALL), 5);

    const std::string large(LARGE, 'x');
    static Reader late{connection.theirs, LARGE, 300};
    ASSERT_TRUE(startDetachedThread(readAll, &late, 0));
    EXPECT_EQ(socketSendWithin(handle(connection.ours), large.data(), LARGE, 5000), LARGE)
        << "a send that waits for the reader completes once it reads";
    ASSERT_EQ(WaitForSingleObject(late.done, 5000), static_cast<DWORD>(WAIT_OBJECT_0));

    DWORD start = GetTickCount();
    int result = socketSendWithin(handle(connection.ours), large.data(), LARGE, 300);
    DWORD took = GetTickCount() - start;
    EXPECT_EQ(result, SEND_FAILED) << "nobody reads: still pending at its limit";
    EXPECT_LT(took, 3000u) << "cancelled and ended within a bound";
    // What did go out of that send is read and dropped; the thread's next
    // send goes on its record as before.
    u_long waiting = 0;
    do {
        char block[65536];
        ioctlsocket(connection.theirs, FIONREAD, &waiting);
        if (waiting > 0) {
            ::recv(connection.theirs, block, sizeof block, 0);
        }
    } while (waiting > 0);
    EXPECT_EQ(socketSendWithin(handle(connection.ours), small.data(), 5, 1000), 5);
    ::closesocket(connection.ours);
    ::closesocket(connection.theirs);
}

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
    EXPECT_LT(blocked.result, 0);
    sockaddr_in address{};
    int length = sizeof address;
    EXPECT_EQ(::getsockname(connection.ours, reinterpret_cast<sockaddr*>(&address), &length), 0)
        << "only its worker closes the socket";
    destroyReceiveStop(stop);
    ::closesocket(connection.ours);
    ::closesocket(connection.theirs);
}

} // namespace
