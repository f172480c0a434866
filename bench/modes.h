// The load generator's measurements. Each mode drives a relay at a loopback
// address (direct drives one plain loopback connection instead), prints one
// summary line of key=value pairs on standard output and returns the exit
// status: 0 when the run completed, 1 on failure or timeout, with
// result=fail and a reason in the line.
#pragma once

#include <string>

namespace bench {

struct Options {
    std::string host = "127.0.0.1";
    int port = 0;
    int relayPid = 0;             // watched through /proc; 0 for none
    int receivers = 1;            // throughput, latency, fanout
    long long bytes = 64LL << 20; // throughput, direct: per receiver
    int messages = 500;           // latency
    int messageBytes = 64;        // latency
    int intervalMicros = 2000;    // latency: the sender's pace
    int clients = 1000;           // idle, churn
    int parallel = 1;             // churn: connections in the relay's hands at once
    int chunkBytes = 1000;        // fanout: the size of each chunk
    int chunks = 5;               // fanout: chunks timed, one after another
    double timeoutSeconds = 60;   // for the whole run
};

int runThroughput(const Options& options);
int runDirect(const Options& options);
int runLatency(const Options& options);
int runIdle(const Options& options);
int runChurn(const Options& options);
int runFanOut(const Options& options);

// Prints "mode=MODE result=fail reason=REASON" and returns 1.
int reportFailure(const char* mode, const std::string& reason);

} // namespace bench
