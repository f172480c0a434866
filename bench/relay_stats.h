// What the load generator reads about the relay from /proc: CPU time,
// resident memory and thread count of its process, and its accept queue. A pid of 0 means "not
// watched"; every reading then gives 0. Any thread may call these.
#pragma once

namespace bench {

// User plus system CPU seconds of the whole process, all threads.
double relayCpuSeconds(int pid);
long relayResidentKb(int pid);
long relayThreads(int pid);

// Connections waiting in the accept queue of the listener on `port`, from
// /proc/net/tcp; -1 when no such listener is found.
long listenQueueLength(int port);

} // namespace bench
