// The operator console: a banner, a one-key menu and its answers. It runs on
// a thread of its own, started once the listener, the registry and the relay
// lock exist, and it is the only writer of standard output. It never changes
// the registry; listUsers copies the user numbers under the relay lock and
// writes them after releasing it.
#pragma once

#include "server/server.h"

// Thread body; the argument is the RelayServer. Returns only by ending the
// process (key Q, status 0).
void consoleWorker(void* server);

void drawMenu();
void listUsers(const RelayServer* server);
void showUserCount(const RelayServer* server);
void showPort(const RelayServer* server);
