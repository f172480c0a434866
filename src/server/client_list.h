// The registry of connected clients and the relay lock that guards it.
//
// Every change to a ClientList and every walk over it happens with the relay
// lock held: the acceptor appends, each relay worker walks to fan out and
// removes its own entry, the console walks to list users. The one read made
// without the lock is the console's read of `count`, hence the atomic.
#pragma once

#include "platform/platform.h"

#include <atomic>
#include <cstdint>

// One accepted connection. Created by the acceptor; owned by the registry from
// appendClient until its connection ends. It leaves the registry in one of
// two ways, both under the relay lock: its own relay worker sees the
// connection end, closes the socket and frees the entry (removeClient); or a
// fan-out gives up on the peer and drops it (unlinked and marked, the socket
// set to reset and its receive ended, but left open), and its worker, once
// its receive ends, closes the socket and frees the entry. So only the worker
// ever closes the socket or frees the entry, once, and no thread uses the
// handle after that.
struct ClientNode {
    ClientNode* next;     // accepted after this one and still registered
    ClientNode* previous; // accepted before this one and still registered
    SocketHandle socket;
    bool dropped; // unlinked by a fan-out; its worker has yet to free it
};

// The clients in accept order. Created once at start-up; lives until the
// process ends. Walks are bounded by `count`, not by an empty `next`.
struct ClientList {
    ClientNode* head;
    ClientNode* tail;
    ClientNode* cursor; // position of the walk in progress
    std::atomic<std::uint32_t> count;
};

// What every relay worker is handed: the registry and the lock that guards it.
// Created once at start-up; lives until the process ends.
struct RelayContext {
    ClientList* clients;
    RelayLock* lock;
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

// All under the relay lock. appendClient takes a node whose links are empty.
// unlinkClient takes an entry out of the registry and leaves it allocated;
// removeClient unlinks it and frees it.
void appendClient(ClientList* clients, ClientNode* node);
void unlinkClient(ClientList* clients, ClientNode* node);
void removeClient(ClientList* clients, ClientNode* node);

// Walk: visit every entry, oldest first, under the relay lock. The visit may
// unlink the entry it is given (the walk has already moved past it), but no
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
