// The relay worker: one thread per connected client. It receives what its
// client sends and forwards each chunk, last byte zeroed, to every other
// registered client: the sends to all of them start at once and are waited
// for together. It drops a peer that fails a chunk or has not taken it in
// time. When its connection ends, or its own client was cut off, it ends the
// entry's life (removeClient). It touches the registry, the peers' send
// records and the context's batch only under the lock.
#pragma once

#include "server/client_list.h"

#include <cstddef>

constexpr int MAX_CHUNK = 65535;
// A peer is cut off unless it has taken a chunk this long after the chunk
// arrived, or a second after its fan-out began when an earlier stall held
// the chunk up longer (chunkDeadline in relay_worker.cpp): one stuck client
// cannot freeze the hub for everyone. All peers wait at once, so however
// many are stuck on one chunk, the hub waits for that one deadline, and the
// others take the chunk meanwhile at their own pace. On Windows the hub then
// waits up to half a second more, for the cancelled sends to end.
constexpr int SEND_TIMEOUT_SECONDS = 10;
// The receive buffer is on the heap (a send the system would not let go of
// keeps it): the stack holds small frames only, far below the default, so
// one process holds thousands of clients.
constexpr std::size_t RELAY_WORKER_STACK_BYTES = std::size_t{256} * 1024;

// Starts the worker for `own`, which must already be registered. Returns
// false when no thread could be started: the entry then has no worker, and
// the caller must end its life (removeClient, under the lock), whatever a
// fan-out may have done to it meanwhile.
bool startRelayWorker(RelayContext* context, ClientNode* own);
