// The two traffic shapes the throughput and relay checks share: a probe that
// proves receivers are registered, and a timed bulk stream from one sender to
// many receivers. The caller owns every descriptor passed in.
#pragma once

#include "net.h"

#include <functional>
#include <string>
#include <vector>

namespace bench {

// `prober` sends one byte; every receiver must read exactly one byte. When
// the prober connected after the receivers, this proves a relay that accepts
// in order has registered them all.
bool proveRegistered(int prober, const std::vector<int>& receivers, Clock::time_point deadline);

// One sender and N receivers, owned by whoever joined them.
struct FanOutClients {
    std::vector<int> receivers;
    int sender = -1;
};
// Connects the receivers, then the sender, and proves all receivers are
// registered. Returns nullptr, or the reason it failed (nothing stays open).
const char* joinFanOut(const std::string& host, int port, int receivers, Clock::time_point deadline,
                       FanOutClients* clients);
void closeFanOut(const FanOutClients& clients);

// Called with each read of the receiver at `index`.
using TakeRead = std::function<void(std::size_t index, const char* data, std::size_t length)>;
// Reads from whichever receiver is ready until each has had `bytes`; false
// on end of stream, error or deadline.
bool readFromAll(const std::vector<int>& receivers, long long bytes, Clock::time_point deadline,
                 const TakeRead& take);

struct StreamResult {
    bool complete;  // every receiver read all `bytes`
    double seconds; // from the first write until the last receiver had everything
};

constexpr std::size_t WRITE_BYTES = 64 * 1024;

// The sender writes `bytes` in WRITE_BYTES writes on a thread of its own,
// while this thread reads every receiver until each has `bytes`.
StreamResult streamToReceivers(int sender, const std::vector<int>& receivers, long long bytes,
                               Clock::time_point deadline);

} // namespace bench
