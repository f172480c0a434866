// The traffic mix of the stress test and the soak: many clients on one hub at
// once, driven from a single thread by one poll loop, every received byte
// checked as it arrives.
//
// Steady clients connect first and stay: receivers only read, senders each
// send their own byte value. Churning clients come and go in slots, each slot
// with its own byte value: connect, send a few chunks, leave by an orderly
// close, an abortive reset or a half-close. At the end every steady client
// must have received exactly what all the others sent, and its stream must
// split at zero bytes into runs of a single value.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace harness {

struct MixSize {
    int receivers;
    int senders;    // their byte values are 1 to senders
    int churnSlots; // their byte values follow the senders'
    int trafficMs;  // how long steady senders send and slots churn
    int sendIntervalMs;
    int largestChunk;
    int churnChunks; // chunks each churning client sends before it leaves
};

// The mix the stress test runs: more than 200 clients at once.
MixSize stressSize();
// The same divided by $VELLORAN_TEST_SCALE (sanitized builds are slower),
// never below a few clients of each kind.
MixSize scaled(MixSize size);
// $VELLORAN_TEST_SCALE, 1 to 100; 1 when unset.
int testScale();

struct MixReport {
    std::vector<std::string> failures; // empty when every check held
    std::size_t bytesSent = 0;
    std::size_t bytesVerified = 0; // received by steady clients, each one checked
    std::size_t chunksSent = 0;
    std::size_t churnConnections = 0;
    std::size_t orderlyCloses = 0;
    std::size_t resets = 0;
    std::size_t halfCloses = 0;
};

// Connects the steady clients, proves them registered, runs the traffic,
// lets every churning client leave and waits until each steady client has
// all its bytes. The steady clients stay connected and are returned in
// `steady`: the caller checks the hub with them still there, then closes them.
MixReport runMix(int port, const MixSize& size, std::vector<int>& steady);

} // namespace harness
