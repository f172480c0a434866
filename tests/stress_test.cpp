// The hub under load: hundreds of clients at once, steady and churning, every
// byte they receive checked. Given all these clients and all these bytes,
// each steady client receives exactly what the others sent, chunk by chunk.

#include "support/harness.h"
#include "support/traffic_mix.h"

#include <gtest/gtest.h>

#include <unistd.h>

using namespace harness;

namespace {

TEST(Stress, ManyClientsComingAndGoingLoseNothingAndNeverInterleave) {
    Server server = startOnFreePort(Keys::Pipe);
    ASSERT_GT(server.pid, 0);
    MixSize size = scaled(stressSize());
    std::vector<int> steady;
    MixReport report = runMix(server.port, size, steady);
    for (const std::string& failure : report.failures) {
        ADD_FAILURE() << failure;
    }
    EXPECT_EQ(steady.size(), static_cast<std::size_t>(size.receivers + size.senders));
    EXPECT_GT(report.orderlyCloses, 0u);
    EXPECT_GT(report.resets, 0u);
    EXPECT_GT(report.halfCloses, 0u);
    EXPECT_GT(report.bytesVerified, 0u);
    // Every churning client is gone from the registry, every steady one is there.
    EXPECT_TRUE(userCountBecomes(server, static_cast<long>(steady.size())))
        << "the console shows " << shownUserCount(server);
    EXPECT_TRUE(isRunning(server));
    std::printf("%d clients at once (%d steady), %zu churning connections "
                "(%zu closed, %zu reset, %zu half-closed), %zu chunks, %zu bytes sent, "
                "%zu bytes verified\n",
                size.receivers + size.senders + size.churnSlots, size.receivers + size.senders,
                report.churnConnections, report.orderlyCloses, report.resets, report.halfCloses,
                report.chunksSent, report.bytesSent, report.bytesVerified);
    for (int fd : steady) {
        ::close(fd);
    }
    stop(server);
}

} // namespace
