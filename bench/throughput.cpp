// Throughput: one sender streams to N receivers through the relay, or to one
// receiver over a plain loopback connection (direct, the physical reference).

#include "fanout.h"
#include "modes.h"
#include "relay_stats.h"

#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace bench {

static void printStream(const char* mode, const Options& options, int receivers,
                        const StreamResult& stream, double relayCpu) {
    double perReceiver = static_cast<double>(options.bytes) / stream.seconds / 1e6;
    double delivered = static_cast<double>(options.bytes) * receivers;
    std::printf("mode=%s result=ok receivers=%d bytes=%lld wall_s=%.3f per_receiver_MBps=%.1f "
                "aggregate_MBps=%.1f relay_cpu_s=%.3f relay_cpu_s_per_GB=%.3f\n",
                mode, receivers, options.bytes, stream.seconds, perReceiver,
                perReceiver * receivers, relayCpu, relayCpu / (delivered / 1e9));
}

int runThroughput(const Options& options) {
    auto deadline = secondsFromNow(options.timeoutSeconds);
    FanOutClients clients;
    if (const char* failure =
            joinFanOut(options.host, options.port, options.receivers, deadline, &clients)) {
        return reportFailure("throughput", failure);
    }
    int status = 0;
    double cpuBefore = relayCpuSeconds(options.relayPid);
    StreamResult stream =
        streamToReceivers(clients.sender, clients.receivers, options.bytes, deadline);
    double relayCpu = relayCpuSeconds(options.relayPid) - cpuBefore;
    if (stream.complete) {
        printStream("throughput", options, options.receivers, stream, relayCpu);
    } else {
        status = reportFailure("throughput", "stream-incomplete");
    }
    closeFanOut(clients);
    return status;
}

int runDirect(const Options& options) {
    auto deadline = secondsFromNow(options.timeoutSeconds);
    int port = 0;
    int listener = listenLoopback(&port);
    int sender = listener < 0 ? -1 : connectTo("127.0.0.1", port, deadline);
    int receiver = sender < 0 ? -1 : ::accept(listener, nullptr, nullptr);
    int status = 0;
    if (receiver < 0) {
        status = reportFailure("direct", "connect");
    } else if (!proveRegistered(sender, {receiver}, deadline)) {
        status = reportFailure("direct", "probe");
    } else {
        StreamResult stream = streamToReceivers(sender, {receiver}, options.bytes, deadline);
        if (stream.complete) {
            printStream("direct", options, 1, stream, 0);
        } else {
            status = reportFailure("direct", "stream-incomplete");
        }
    }
    for (int fd : {receiver, sender, listener}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    return status;
}

} // namespace bench
