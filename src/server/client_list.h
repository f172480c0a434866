// The registry of connected clients and the relay lock that guards it.
//
// Every change to a ClientList and every walk over it happens with the relay
// lock held: the acceptor appends, each relay worker walks to fan out, a
// fan-out drops the peers it gives up on, and the console walks to list
// users. The one read made without the lock is the console's read of
// `count`, hence the atomic.
#pragma once

#include "platform/platform.h"

#include <atomic>
#include <cstdint>

// Where a client stands. Only Registered entries are in the registry: counted,
// listed and sent every chunk.
enum class ClientState {
    Registered,
    Gone,  // a send found the client's connection broken: what it sent before
           // leaving is still relayed, until its worker's receive ends
    CutOff // the hub gave up on it: nothing more from it is relayed
};

// One accepted connection. The acceptor creates it and appends it; from then
// on its life ends in removeClient and nowhere else, under the relay lock,
// once: called by the client's relay worker when it ends, or by the acceptor
// when no worker could be started for it. Until then the socket stays open,
// even after a fan-out has dropped the entry, so its handle value cannot pass
// to a newer client while anyone still uses it.
struct ClientNode {
    ClientNode* next;     // accepted after this one and still registered
    ClientNode* previous; // accepted before this one and still registered
    SocketHandle socket;
    ReceiveStop* stop; // ends the worker's receive when the client is cut off
    ClientState state;
    SendSlot* send; // its copy of the chunk being fanned out, while in flight
    int sent;       // bytes of that chunk it has taken so far
};

// The clients in accept order. Created once at start-up; lives until the
// process ends. Walks are bounded by `count`, not by an empty `next`.
struct ClientList {
    ClientNode* head;
    ClientNode* tail;
    ClientNode* cursor; // position of the walk in progress
    std::atomic<std::uint32_t> count;
};

// What every relay worker is handed: the registry, the lock that guards it,
// and the sends of the one fan-out the lock lets run, waited for together.
// Created once at start-up; lives until the process ends.
struct RelayContext {
    ClientList* clients;
    RelayLock* lock;
    SendBatch* sends; // room for one send per registered client, made as each joins
};

// Holds the relay lock for one scope.
struct RelayLockHold {
    explicit RelayLockHold(RelayLock* held) : lock(held) { acquireRelayLock(lock); }
    ~RelayLockHold() { releaseRelayLock(lock); }
    RelayLockHold(const RelayLockHold&) = delete;
    RelayLockHold& operator=(const RelayLockHold&) = delete;
    RelayLock* lock;
};

ClientList* createClientList();

// All under the relay lock.
// appendClient registers a new entry; its links are empty.
void appendClient(ClientList* clients, ClientNode* node);
// dropClient takes a registered entry out of the registry as Gone or CutOff.
// Either way its close will reset the connection, discarding what is still
// queued for it, with no end of stream ahead of the reset; a cut-off
// client's receive is ended too, so its worker wakes and ends.
void dropClient(ClientList* clients, ClientNode* node, ClientState why);
// removeClient ends the entry's life: out of the registry if still in it,
// its socket shut down (unless dropped: its close is a reset) and closed,
// its receive stop and the entry freed, and its send record too unless the
// system may still write it (Win32: a send abandonSends could not end, or
// one still in flight), in which case it is kept (see destroySendSlot).
void removeClient(ClientList* clients, ClientNode* node);

// Walk: visit every entry, oldest first, under the relay lock. The visit may
// drop the entry it is given (the walk has already moved past it), but no
// other entry.
template <typename Visit> void forEachClient(ClientList* clients, Visit visit) {
    clients->cursor = clients->head;
    for (std::uint32_t remaining = clients->count; remaining > 0; --remaining) {
        ClientNode* entry = clients->cursor;
        if (entry->next != nullptr) {
            clients->cursor = entry->next;
        }
        visit(entry);
    }
}
