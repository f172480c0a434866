// The operator console: a banner, a one-key menu and its answers. It runs on
// a thread of its own, started once the listener, the registry and the relay
// lock exist, and it is the only writer of standard output. It never adds or
// removes registry entries; listUsers walks the registry under the relay
// lock (which moves its cursor), copying the user numbers, and writes them
// after releasing it. While it waits for the lock it still reads keys.
#pragma once

#include "console/console_keys.h"
#include "server/server.h"

// Thread body; the argument is the RelayServer. Returns only by ending the
// process (key Q, status 0).
void consoleWorker(void* server);

void drawMenu();
// `keys`: where the keys typed while it waits for the relay lock are held.
void listUsers(const RelayServer* server, ConsoleKeys* keys);
void showUserCount(const RelayServer* server);
void showPort(const RelayServer* server);
