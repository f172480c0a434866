#include "console/console.h"

#include "command_line.h"
#include "console/console_line.h"
#include "console/key_decoder.h"
#include "version.h"

#include <cctype>
#include <cstdlib>
#include <string>
#include <vector>

static const char* const MENU_LINES[] = {
    "========================================",
    PROGRAM_TITLE,
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

// The registry at one instant, in accept order. Only the copy is made under
// the relay lock: a screen nobody reads must never hold up the relay.
static std::vector<SocketHandle> copyUserNumbers(const RelayServer* server) {
    std::vector<SocketHandle> users;
    RelayLockHold hold(server->context->lock);
    users.reserve(server->clients->count);
    forEachClient(server->clients,
                  [&users](const ClientNode* entry) { users.push_back(entry->socket); });
    return users;
}

void listUsers(const RelayServer* server) {
    std::vector<SocketHandle> users = copyUserNumbers(server);
    drawMenu();
    for (SocketHandle user : users) {
        writeNumberLine(stdout, "User ", user);
    }
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
        break; // every other key
    }
}

void consoleWorker(void* server) {
    consoleOpen();
    drawMenu();
    // Under the first menu, so the menu's clearing of the screen cannot hide
    // it. The bound port as the stack reports it (the one the system chose
    // for 0); the byte swap is its own inverse.
    const auto* relay = static_cast<const RelayServer*>(server);
    std::string notice = portNotice(relay->portText, hostToNetwork16(relay->address.port));
    if (!notice.empty()) {
        writeLine(stderr, notice.c_str());
    }
    KeyDecoder decoder;
    for (int code = readKeyCode(KEY_WAIT_FOREVER); code != KEYS_ENDED;
         code = readKeyCode(nextCodeWait(decoder))) {
        if (code == KEYS_RESUMED) {
            // Back from a stop or the background: the screen was the shell's.
            decoder = KeyDecoder{};
            drawMenu();
            continue;
        }
        int key = decodeKey(decoder, code);
        if (key != NO_KEY) {
            dispatchKey(static_cast<const RelayServer*>(server), key);
        }
    }
    // No key can come any more (a service, a finished script): the hub goes
    // on relaying and this thread just stays out of the way.
    idleForever();
}
