#include "support/transfer.h"

#include "support/harness.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

namespace harness {

using Clock = std::chrono::steady_clock;

static char patternAt(std::size_t offset) { return static_cast<char>(1 + offset % 251); }

static void writeSome(Transfer& transfer) {
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

static void readSome(Transfer& transfer) {
    char block[65536];
    ssize_t n = ::recv(transfer.reader, block, sizeof block, MSG_DONTWAIT);
    if (n > 0) {
        transfer.lastReceived = Clock::now();
    }
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

bool pump(Transfer& transfer, int deadlineMs, const std::function<bool()>& done) {
    auto deadline = Clock::now() + std::chrono::milliseconds(deadlineMs);
    while (!done()) {
        if (Clock::now() >= deadline || aServerCrashed()) {
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

} // namespace harness
