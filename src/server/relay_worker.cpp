#include "server/relay_worker.h"

#include <chrono>
#include <new>

namespace {
// What the acceptor hands a new worker; the worker frees it as its first act.
struct WorkerStart {
    RelayContext* context;
    ClientNode* own;
};
} // namespace

// Each peer takes its copy of a chunk in sends of at most this size. Same
// bytes, same order; but on loopback one 64 KiB send per peer cost nearly
// twice the CPU per byte delivered that two 32 KiB sends do.
constexpr int SEND_PIECE_BYTES = 32 * 1024;

// One chunk to one peer. A peer that has not taken the whole chunk by the
// send timeout is shut down, which ends its own worker; every other failure
// is ignored. The deadline covers the chunk, not each send: for a peer that
// reads nothing the stack still takes a few more bytes now and then, so a
// single send ends in a partial count and never times out on its own.
static void sendChunk(SocketHandle peer, const char* chunk, int length) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(SEND_TIMEOUT_SECONDS);
    int sent = 0;
    while (sent < length) {
        int piece = length - sent < SEND_PIECE_BYTES ? length - sent : SEND_PIECE_BYTES;
        int n = socketSend(peer, chunk + sent, piece);
        if (n == SEND_TIMED_OUT ||
            (n > 0 && sent + n < length && std::chrono::steady_clock::now() >= deadline)) {
            socketShutdownBoth(peer);
            return;
        }
        if (n <= 0) {
            return;
        }
        sent += n;
    }
}

static void fanOut(ClientList* clients, const ClientNode* own, const char* chunk, int length) {
    forEachClient(clients, [&](const ClientNode* peer) {
        if (peer != own) {
            sendChunk(peer->socket, chunk, length);
        }
    });
}

static void endConnection(ClientList* clients, ClientNode* own) {
    socketShutdownBoth(own->socket);
    socketClose(own->socket);
    removeClient(clients, own);
}

static void relayWorker(void* argument) {
    WorkerStart start = *static_cast<WorkerStart*>(argument);
    delete static_cast<WorkerStart*>(argument);
    ClientList* clients = start.context->clients;
    char buffer[MAX_CHUNK + 1];
    for (;;) {
        int n = socketReceive(start.own->socket, buffer, MAX_CHUNK);
        RelayLockHold hold(start.context->lock);
        if (n <= 0) {
            endConnection(clients, start.own);
            return;
        }
        buffer[n - 1] = '\0';
        fanOut(clients, start.own, buffer, n);
    }
}

bool startRelayWorker(RelayContext* context, ClientNode* own) {
    // cppcheck-suppress unreadVariable ; cppcheck 2.10 misreads new (std::nothrow) T{...}
    auto* start = new (std::nothrow) WorkerStart{context, own};
    if (start == nullptr || !startDetachedThread(relayWorker, start, RELAY_WORKER_STACK_BYTES)) {
        delete start;
        return false;
    }
    return true;
}
