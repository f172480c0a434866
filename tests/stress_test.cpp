// The hub under load: hundreds of clients at once, steady and churning, every
// byte they receive checked. Given all these clients and all these bytes,
// each steady client receives exactly what the others sent, chunk by chunk.

#include "server/worker_threads.h"
#include "support/harness.h"
#include "support/process_usage.h"
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

// Given more clients at once than threads may park: once they all leave, the
// hub keeps exactly MAX_PARKED_THREADS threads beyond its idle ones, whatever
// came before; the next wave, served by those parked threads first, relays
// exactly as the first did.
TEST(WorkerThreads, FinishedOnesParkUpToTheBoundAndCarryTheNextClients) {
    Server server = startOnFreePort(Keys::Pipe);
    ASSERT_GT(server.pid, 0);
    ASSERT_TRUE(userCountBecomes(server, 0));
    const std::set<pid_t> idle = threadIds(server.pid);
    ProcessUsage parkedBound = processUsage(server.pid);
    ASSERT_GT(parkedBound.threads, 0);
    parkedBound.threads += MAX_PARKED_THREADS;
    const int waveSize = MAX_PARKED_THREADS + 16;
    std::set<pid_t> parked; // the threads the wave before left waiting
    for (int wave = 1; wave <= 2; ++wave) {
        const std::string chunk = "wave " + std::to_string(wave);
        SCOPED_TRACE(chunk);
        auto servedByParkedThreads = [&] {
            if (wave == 1) {
                return;
            }
            // One thread a client: the parked ones carry clients again, and
            // only the rest start.
            std::set<pid_t> serving = threadIds(server.pid);
            EXPECT_EQ(serving.size(), idle.size() + static_cast<std::size_t>(waveSize));
            for (pid_t thread : parked) {
                EXPECT_EQ(serving.count(thread), 1u) << "parked thread " << thread << " ended";
            }
        };
        EXPECT_EQ(threadsAfterAWave(server, waveSize, chunk, parkedBound, servedByParkedThreads),
                  parkedBound.threads);
        parked.clear();
        for (pid_t thread : threadIds(server.pid)) {
            if (idle.count(thread) == 0) {
                parked.insert(thread);
            }
        }
        EXPECT_EQ(parked.size(), static_cast<std::size_t>(MAX_PARKED_THREADS));
    }
    EXPECT_TRUE(isRunning(server));
    stop(server);
}

} // namespace
