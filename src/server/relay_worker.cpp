#include "server/relay_worker.h"

#include "server/worker_threads.h"

#include <algorithm>
#include <chrono>
#include <new>

namespace {
// What the acceptor hands a new worker; the worker frees it as its first act.
struct WorkerStart {
    RelayContext* context;
    ClientNode* own;
};

using Clock = std::chrono::steady_clock;
} // namespace

// Each peer takes its copy of a chunk in sends of at most this size. Same
// bytes, same order; but on loopback one 64 KiB send per peer cost nearly
// twice the CPU per byte delivered that two 32 KiB sends do.
constexpr int SEND_PIECE_BYTES = 32 * 1024;
// A chunk whose fan-out begins late, because the one before it stalled,
// still gets this long from the start of its fan-out: a healthy peer is
// never dropped for a stall that was somebody else's. It is one deadline for
// the whole fan-out, which the peers use up in turn, as with any chunk.
constexpr auto LATE_FAN_OUT_GRACE = std::chrono::seconds(1);

// When every peer must have taken a chunk that arrived at `arrived`.
static Clock::time_point chunkDeadline(Clock::time_point arrived) {
    return std::max(arrived + std::chrono::seconds(SEND_TIMEOUT_SECONDS),
                    Clock::now() + LATE_FAN_OUT_GRACE);
}

static int millisecondsUntil(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

// One chunk to one peer, all of it by the deadline. Sends never wait while
// the peer has room, and never past the deadline. Returns 0 once the peer has
// it all, or how its send failed.
static int sendChunk(SocketHandle peer, const char* chunk, int length, Clock::time_point deadline) {
    for (int sent = 0; sent < length;) {
        int n = socketSendWithin(peer, chunk + sent, std::min(length - sent, SEND_PIECE_BYTES),
                                 millisecondsUntil(deadline));
        if (n <= 0) {
            return n < 0 ? n : SEND_FAILED;
        }
        sent += n;
    }
    return 0;
}

// A peer that failed a chunk leaves the registry now, so no later chunk, count
// or listing sees it. One whose connection broke is gone: what it sent before
// it left is still relayed. One that is stuck, or failing otherwise, is cut
// off: nothing more from it is relayed.
static void fanOut(ClientList* clients, const ClientNode* own, const char* chunk, int length,
                   Clock::time_point deadline) {
    forEachClient(clients, [&](ClientNode* peer) {
        if (peer == own) {
            return;
        }
        int failure = sendChunk(peer->socket, chunk, length, deadline);
        if (failure != 0) {
            dropClient(clients, peer,
                       failure == SEND_PEER_GONE ? ClientState::Gone : ClientState::CutOff);
        }
    });
}

static void relayWorker(void* argument) {
    WorkerStart start = *static_cast<WorkerStart*>(argument);
    delete static_cast<WorkerStart*>(argument);
    ClientList* clients = start.context->clients;
    char buffer[MAX_CHUNK + 1];
    for (;;) {
        int n = socketReceive(start.own->socket, start.own->stop, buffer, MAX_CHUNK);
        Clock::time_point arrived = Clock::now();
        RelayLockHold hold(start.context->lock);
        if (n <= 0 || start.own->state == ClientState::CutOff) {
            removeClient(clients, start.own);
            return;
        }
        buffer[n - 1] = '\0';
        fanOut(clients, start.own, buffer, n, chunkDeadline(arrived));
    }
}

bool startRelayWorker(RelayContext* context, ClientNode* own) {
    // cppcheck-suppress unreadVariable ; cppcheck 2.10 misreads new (std::nothrow) T{...}
    auto* start = new (std::nothrow) WorkerStart{context, own};
    if (start == nullptr || !startWorkerThread(relayWorker, start, RELAY_WORKER_STACK_BYTES)) {
        delete start;
        return false;
    }
    return true;
}
