#include "console/console.h"

#include "console/console_line.h"

#include <cctype>
#include <cstdlib>

static const char* const MENU_LINES[] = {
    "========================================",
    "Velloran 1.0 Beta",
    "Date creation : 08-01-2011",
    "========================================",
    "L  [L]ist all users",
    "M  [M]enu",
    "N  [N]umber(s) of users",
    "P  [P]ort of server",
    "Q  [Q]uit",
    "----------------------------------------",
};

void drawMenu() {
    clearScreen();
    for (const char* line : MENU_LINES) {
        writeLine(stdout, line);
    }
}

void listUsers(const RelayServer* server) {
    RelayLockHold hold(server->context->lock);
    drawMenu();
    forEachClient(server->clients,
                  [](const ClientNode* entry) { writeNumberLine(stdout, "User ", entry->socket); });
}

void showUserCount(const RelayServer* server) {
    drawMenu();
    writeNumberLine(stdout, "# User(s) ", server->clients->count);
}

void showPort(const RelayServer* server) {
    drawMenu();
    writeNumberLine(stdout, "#Port ", server->port);
}

static void dispatchKey(const RelayServer* server, int key) {
    switch (static_cast<signed char>(std::toupper(key))) {
    case 'L':
        listUsers(server);
        break;
    case 'M':
        drawMenu();
        break;
    case 'N':
        showUserCount(server);
        break;
    case 'P':
        showPort(server);
        break;
    case 'Q':
        // Ending every thread at once is the point; no object has a static
        // destructor that another thread could still be using.
        std::exit(0); // NOLINT(concurrency-mt-unsafe)
    default:
        break; // every other code, the halves of multi-byte keys included
    }
}

void consoleWorker(void* server) {
    consoleOpen();
    drawMenu();
    for (int key = readKey(); key != KEYS_ENDED; key = readKey()) {
        dispatchKey(static_cast<const RelayServer*>(server), key);
    }
    // No key can come any more (a service, a finished script): the hub goes
    // on relaying and this thread just stays out of the way.
    idleForever();
}
