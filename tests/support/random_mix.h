// The seeded random mix: clients that join and leave at any time, send
// chunks of 1 byte to more than 64 KiB in bursts and trickles, pause reading,
// leave by close, reset or half-close, and a few that stop reading until the
// hub cuts them off. Every client sends a self-naming stream and everything
// each one receives is held to the relay's rules (support/relay_checker.h).
// The same seed gives the same choices; timing still varies from run to run.
#pragma once

#include "support/harness.h"
#include "support/relay_checker.h"

#include <cstdint>
#include <string>
#include <vector>

namespace harness {

struct RandomMixSize {
    int steady;     // connected before the traffic, reading until the end
    int churnSlots; // each holds one client at a time, joining and leaving
    int stuck;      // stop reading until the hub cuts them off (10 s each)
    int trafficMs;
    int largestChunk;
};

// What `make test` runs for each seed: a second or two.
RandomMixSize boundedMixSize();
// A round of the soak.
RandomMixSize soakMixSize(int trafficMs);
// Smaller by $VELLORAN_TEST_SCALE, never below a few clients.
RandomMixSize scaledMix(RandomMixSize size);

// $VELLORAN_MIX_SEED when set, else `fallback`.
std::uint64_t mixSeed(std::uint64_t fallback);
// A seed no earlier run chose, from the clock.
std::uint64_t freshSeed();

struct RandomMixReport {
    std::vector<std::string> failures; // each starts with the seed
    // Clients the checker could not decide, each starting with the seed: no
    // fault of the hub's, and no proof it kept the rules there.
    std::vector<std::string> undecided;
    CheckFigures figures;
    std::size_t clients = 0;
    std::size_t joins = 0; // churning clients' connections
    std::size_t closes = 0;
    std::size_t resets = 0;
    std::size_t halfCloses = 0;
    std::size_t cuts = 0; // stuck clients the hub reset
    std::size_t readPauses = 0;
    std::size_t chunksSent = 0;
    std::size_t bytesSent = 0;
};

// Runs the mix against the hub at server.port; its console (a pipe) is read
// for the count shown by N at the end, when only the steady clients are
// left. Every client is closed when it returns.
RandomMixReport runRandomMix(Server& server, const RandomMixSize& size, std::uint64_t seed);
// One line of the figures above, for the test's output.
std::string describe(const RandomMixReport& report);

} // namespace harness
