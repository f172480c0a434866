#include "console/console.h"

#include "command_line.h"
#include "console/console_line.h"
#include "version.h"

#include <cctype>
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

// How long one wait for the relay lock lasts before the console looks for
// keys again: Q typed meanwhile ends the hub within about this long.
constexpr int KEY_CHECK_MILLISECONDS = 20;

// Holds the relay lock for one scope. A fan-out stuck on a client that reads
// nothing may keep it for seconds; meanwhile the keys typed are read, so Q
// ends the hub at once, and the others act, in order, after the answer.
struct RelayLockHoldReadingKeys {
    RelayLockHoldReadingKeys(RelayLock* wanted, ConsoleKeys* keys) : lock(wanted) {
        while (!acquireRelayLockWithin(lock, KEY_CHECK_MILLISECONDS)) {
            holdKeysTyped(*keys);
        }
    }
    ~RelayLockHoldReadingKeys() { releaseRelayLock(lock); }
    RelayLockHoldReadingKeys(const RelayLockHoldReadingKeys&) = delete;
    RelayLockHoldReadingKeys& operator=(const RelayLockHoldReadingKeys&) = delete;
    RelayLock* lock;
};

// The registry at one instant, in accept order. Only the copy is made under
// the relay lock: a screen nobody reads must never hold up the relay.
static std::vector<SocketHandle> copyUserNumbers(const RelayServer* server, ConsoleKeys* keys) {
    std::vector<SocketHandle> users;
    RelayLockHoldReadingKeys hold(server->context->lock, keys);
    users.reserve(server->clients->count);
    forEachClient(server->clients,
                  [&users](const ClientNode* entry) { users.push_back(entry->socket); });
    return users;
}

void listUsers(const RelayServer* server, ConsoleKeys* keys) {
    std::vector<SocketHandle> users = copyUserNumbers(server, keys);
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

static void dispatchKey(const RelayServer* server, ConsoleKeys* keys, int key) {
    switch (static_cast<signed char>(std::toupper(key))) {
    case 'L':
        listUsers(server, keys);
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
        quitHub();
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
    ConsoleKeys keys;
    for (int key = nextKey(keys); key != KEYS_ENDED; key = nextKey(keys)) {
        if (key == KEYS_RESUMED) {
            drawMenu(); // back from a stop or the background: the screen was the shell's
        } else {
            dispatchKey(relay, &keys, key);
        }
    }
    // No key can come any more (a service, a finished script): the hub goes
    // on relaying and this thread just stays out of the way.
    idleForever();
}
