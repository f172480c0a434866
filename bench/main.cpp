// velloran_bench: a load generator for TCP relays on loopback.
//
//   velloran_bench MODE --port P [--host 127.0.0.1] [--relay-pid PID] [options]
//
// Modes: throughput, direct, latency, idle, churn, fanout; and for scripts,
// free-port (prints a port that was free a moment ago) and wait-listening
// (exits 0 once something listens on --port, 1 at --timeout). Each measurement prints one
// line of key=value pairs and exits 0, or 1 on failure or timeout.

#include "modes.h"
#include "net.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

using bench::Options;

bool setOption(Options& options, const std::string& name, const char* value) {
    if (name == "--host") {
        options.host = value;
        return true;
    }
    char* end = nullptr;
    double number = std::strtod(value, &end);
    if (end == value || *end != '\0' || number < 0) {
        return false;
    }
    auto whole = static_cast<int>(number);
    if (name == "--port") {
        options.port = whole;
    } else if (name == "--relay-pid") {
        options.relayPid = whole;
    } else if (name == "--receivers") {
        options.receivers = whole;
    } else if (name == "--bytes") {
        options.bytes = static_cast<long long>(number);
    } else if (name == "--messages") {
        options.messages = whole;
    } else if (name == "--message-bytes") {
        options.messageBytes = whole;
    } else if (name == "--interval-us") {
        options.intervalMicros = whole;
    } else if (name == "--clients") {
        options.clients = whole;
    } else if (name == "--parallel") {
        options.parallel = whole;
    } else if (name == "--chunk-bytes") {
        options.chunkBytes = whole;
    } else if (name == "--chunks") {
        options.chunks = whole;
    } else if (name == "--timeout") {
        options.timeoutSeconds = number;
    } else {
        return false;
    }
    return true;
}

int usage() {
    std::fputs("usage: velloran_bench "
               "throughput|direct|latency|idle|churn|fanout|free-port|wait-listening "
               "[--port P] [--host H] [--relay-pid PID] [--receivers N] [--bytes B] "
               "[--messages K] [--message-bytes M] [--interval-us T] [--clients N] "
               "[--parallel K] [--chunk-bytes C] [--chunks K] [--timeout S]\n",
               stderr);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        return usage();
    }
    Options options;
    for (int i = 2; i + 1 < argc; i += 2) {
        if (!setOption(options, argv[i], argv[i + 1])) {
            return usage();
        }
    }
    if (argc % 2 != 0) {
        return usage();
    }
    const std::string mode = argv[1];
    if (mode == "free-port") {
        int port = bench::freePort();
        std::printf("%d\n", port);
        return port > 0 ? 0 : 1;
    }
    if (mode == "wait-listening") {
        return bench::waitListening(options.port, options.timeoutSeconds) ? 0 : 1;
    }
    // A relay that stalls without closing anything must not hang a script:
    // the alarm ends the run with a failing status if our own deadlines miss.
    alarm(static_cast<unsigned>(options.timeoutSeconds) + 10);
    if (mode == "throughput") {
        return bench::runThroughput(options);
    }
    if (mode == "direct") {
        return bench::runDirect(options);
    }
    if (mode == "latency") {
        return bench::runLatency(options);
    }
    if (mode == "idle") {
        return bench::runIdle(options);
    }
    if (mode == "churn") {
        return bench::runChurn(options);
    }
    if (mode == "fanout") {
        return bench::runFanOut(options);
    }
    return usage();
}

int bench::reportFailure(const char* mode, const std::string& reason) {
    std::printf("mode=%s result=fail reason=%s\n", mode, reason.c_str());
    std::fflush(stdout);
    return 1;
}
