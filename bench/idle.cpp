// Idle: hold N connections to the relay, prove every one is registered, and
// read what they cost the relay in resident memory and threads.

#include "fanout.h"
#include "modes.h"
#include "relay_stats.h"

#include <cstdio>

namespace bench {

int runIdle(const Options& options) {
    long limit = raiseDescriptorLimit();
    if (limit < options.clients + 16) {
        return reportFailure("idle", "descriptor-limit-" + std::to_string(limit));
    }
    auto deadline = secondsFromNow(options.timeoutSeconds);
    long baseKb = relayResidentKb(options.relayPid);
    long baseThreads = relayThreads(options.relayPid);
    auto start = Clock::now();
    std::vector<int> clients = connectMany(options.host, options.port, options.clients, deadline);
    if (clients.size() < 2) {
        closeAll(clients);
        return reportFailure("idle", "connect");
    }
    // The last one connected sends; reaching every other proves all registered.
    int prober = clients.back();
    clients.pop_back();
    bool registered = proveRegistered(prober, clients, deadline);
    double seconds = secondsSince(start);
    long residentKb = relayResidentKb(options.relayPid);
    long threads = relayThreads(options.relayPid);
    clients.push_back(prober);
    closeAll(clients);
    if (!registered) {
        return reportFailure("idle", "registration-probe");
    }
    double perClientKb = static_cast<double>(residentKb - baseKb) / options.clients;
    double threadsPerClient = static_cast<double>(threads - baseThreads) / options.clients;
    std::printf("mode=idle result=ok clients=%d join_s=%.3f relay_rss_kb=%ld relay_base_rss_kb=%ld "
                "rss_kb_per_client=%.2f relay_threads=%ld threads_per_client=%.3f\n",
                options.clients, seconds, residentKb, baseKb, perClientKb, threads,
                threadsPerClient);
    return 0;
}

} // namespace bench
