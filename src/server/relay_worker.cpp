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
    char* buffer;
};

using Clock = std::chrono::steady_clock;

// Where one peer's copy of a chunk stands.
enum class Progress { Taken, Waiting, Dropped };
} // namespace

// A chunk whose fan-out begins late, because the one before it stalled,
// still gets this long from the start of its fan-out: time for a peer that
// keeps up to take it. A peer that needs longer for one chunk (a slow link,
// or its buffers still full after the stall) is dropped then, although the
// stall was somebody else's.
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

// Every registered client but the sender, oldest first. The visit may drop
// the peer it is given.
template <typename Visit>
static void forEachPeer(ClientList* clients, const ClientNode* own, Visit visit) {
    forEachClient(clients, [&](ClientNode* peer) {
        if (peer != own) {
            visit(peer);
        }
    });
}

// A peer that failed a chunk leaves the registry now, so no later chunk, count
// or listing sees it. One whose connection broke is gone: what it sent before
// it left is still relayed. One that failed otherwise is cut off: nothing
// more from it is relayed.
static Progress dropPeer(ClientList* clients, ClientNode* peer, int failure) {
    dropClient(clients, peer, failure == SEND_PEER_GONE ? ClientState::Gone : ClientState::CutOff);
    return Progress::Dropped;
}

// Moves one peer's copy on as far as its socket takes it now, without
// waiting: `begun` when an earlier call left its send waiting.
static Progress moveOn(RelayContext* context, ClientNode* peer, const char* chunk, int length,
                       bool begun) {
    int n = begun ? continueSend(context->sends, peer->socket, peer->send, chunk + peer->sent,
                                 length - peer->sent)
                  : startSend(context->sends, peer->socket, peer->send, chunk, length);
    while (n > 0) {
        peer->sent += n;
        if (peer->sent == length) {
            return Progress::Taken;
        }
        n = startSend(context->sends, peer->socket, peer->send, chunk + peer->sent,
                      length - peer->sent);
    }
    return n == SEND_WAITING ? Progress::Waiting : dropPeer(context->clients, peer, n);
}

// Moves the peer on and watches it while it still waits; true when it does.
static bool moveOnOrWatch(RelayContext* context, ClientNode* peer, const char* chunk, int length,
                          bool begun) {
    if (moveOn(context, peer, chunk, length, begun) != Progress::Waiting) {
        return false;
    }
    watchSend(context->sends, peer->socket, peer->send);
    return true;
}

// The peers still waiting at the deadline are cut off, all at once: their
// sends are abandoned together. False when the system would not let go of
// one of them, so the chunk's buffer may still be read.
static bool cutOffLatePeers(RelayContext* context, const ClientNode* own, int length) {
    bool released = abandonSends(context->sends);
    forEachPeer(context->clients, own, [&](ClientNode* peer) {
        if (peer->sent < length) {
            dropClient(context->clients, peer, ClientState::CutOff);
        }
    });
    return released;
}

// Fan-out: a send to every peer is started, oldest first; then every peer
// that has not taken the whole chunk is waited for together, each taking its
// bytes as its room comes, until the one deadline. However many are stuck,
// the hub waits once, and only a peer that has not taken the chunk by then
// is cut off. False when the chunk's buffer must not be written again.
static bool fanOut(RelayContext* context, const ClientNode* own, const char* chunk, int length,
                   Clock::time_point deadline) {
    std::uint32_t waiting = 0;
    clearSendWatch(context->sends);
    forEachPeer(context->clients, own, [&](ClientNode* peer) {
        peer->sent = 0;
        waiting += moveOnOrWatch(context, peer, chunk, length, false) ? 1U : 0U;
    });
    while (waiting > 0) {
        waitForSends(context->sends, millisecondsUntil(deadline));
        // No second chance at the deadline: a socket can take a little even
        // when the system does not call it ready, and a stuck peer would take
        // a chunk's worth at every deadline.
        if (millisecondsUntil(deadline) == 0) {
            return cutOffLatePeers(context, own, length);
        }
        waiting = 0;
        clearSendWatch(context->sends);
        forEachPeer(context->clients, own, [&](ClientNode* peer) {
            if (peer->sent < length) {
                waiting += moveOnOrWatch(context, peer, chunk, length, true) ? 1U : 0U;
            }
        });
    }
    return true;
}

// The receive buffer is the worker's own. One the system may still use (a
// send or receive it could not be made to let go of) is never written or
// freed again: the worker goes on with a new one, or ends when none can be had.
static void relayWorker(void* argument) {
    WorkerStart start = *static_cast<WorkerStart*>(argument);
    delete static_cast<WorkerStart*>(argument);
    ClientList* clients = start.context->clients;
    char* buffer = start.buffer;
    for (;;) {
        int n = socketReceive(start.own->socket, start.own->stop, buffer, MAX_CHUNK);
        Clock::time_point arrived = Clock::now();
        RelayLockHold hold(start.context->lock);
        if (n <= 0 || start.own->state == ClientState::CutOff) {
            removeClient(clients, start.own);
            if (n != RECEIVE_ABANDONED) {
                delete[] buffer;
            }
            return;
        }
        buffer[n - 1] = '\0';
        if (fanOut(start.context, start.own, buffer, n, chunkDeadline(arrived))) {
            continue;
        }
        buffer = new (std::nothrow) char[MAX_CHUNK]; // the old one is the system's now
        if (buffer == nullptr) {
            removeClient(clients, start.own);
            return;
        }
    }
}

bool startRelayWorker(RelayContext* context, ClientNode* own) {
    auto* buffer = new (std::nothrow) char[MAX_CHUNK];
    // cppcheck-suppress unreadVariable ; cppcheck 2.10 misreads new (std::nothrow) T{...}
    auto* start =
        buffer == nullptr ? nullptr : new (std::nothrow) WorkerStart{context, own, buffer};
    if (start == nullptr || !startWorkerThread(relayWorker, start, RELAY_WORKER_STACK_BYTES)) {
        delete start;
        delete[] buffer;
        return false;
    }
    return true;
}
