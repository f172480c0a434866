#include "server/server.h"

#include "console/console.h"
#include "console/console_line.h"
#include "server/relay_worker.h"

#include <cstdlib>
#include <new>

std::int32_t convertPort(const char* text, const char** end) {
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) {
        ++p;
    }
    bool negative = *p == '-';
    if (*p == '-' || *p == '+') {
        ++p;
    }
    // Magnitude capped just past the 32-bit range, so long inputs cannot overflow.
    const long long cap = 2147483648LL;
    long long magnitude = 0;
    const char* digits = p;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (magnitude < cap) {
            magnitude = magnitude * 10 + (*p - '0');
        }
    }
    if (end != nullptr) {
        *end = p == digits ? text : p;
    }
    if (negative) {
        return static_cast<std::int32_t>(magnitude >= cap ? -cap : -magnitude);
    }
    return static_cast<std::int32_t>(magnitude >= cap ? cap - 1 : magnitude);
}

// Start-up runs on the only thread, so ending the process here is safe.
[[noreturn]] static void endStartup(bool stopNetwork) {
    if (stopNetwork) {
        netCleanup();
    }
    std::exit(1); // NOLINT(concurrency-mt-unsafe): no other thread exists yet
}

[[noreturn]] static void failStartup(const char* line, bool stopNetwork) {
    writeLine(stderr, line);
    endStartup(stopNetwork);
}

void startNetwork(RelayServer* server) {
    server->requestedVersion = NETWORK_VERSION;
    server->startResult = netStartup(server->requestedVersion, &server->stackInfo);
    if (server->startResult != 0) {
        writeNumberLine(stderr, "Erreur sur WSAStartup : ", server->startResult);
        endStartup(true);
    }
}

static void openListener(RelayServer* server) {
    if (server->stackInfo.version != server->requestedVersion) {
        failStartup("La version winsock demandee n'est pas supportee", true);
    }
    server->listener = tcpSocket();
    if (server->listener == INVALID_SOCKET_HANDLE) {
        failStartup("erreur de creation du socket TCP", false);
    }
    // Only the low 16 bits name the port: 70000 binds 4464.
    auto boundPort = static_cast<std::uint16_t>(static_cast<std::uint32_t>(server->port) & 0xFFFFu);
    server->address = NetAddress{NET_FAMILY_IPV4, hostToNetwork16(boundPort), 0, {}};
    listenerAllowRestart(server->listener);
    if (socketBind(server->listener, &server->address, NET_ADDRESS_LENGTH) < 0) {
        failStartup("Le bind du socket server1 n'a pas fonctionne", false);
    }
    server->addressLength = NET_ADDRESS_LENGTH;
    if (socketName(server->listener, &server->address, &server->addressLength) < 0) {
        failStartup("erreur pour obtenir le nom du socket", false);
    }
    // A listener that cannot listen would show the menu and never take a client.
    if (socketListen(server->listener, LISTEN_BACKLOG) < 0) {
        failStartup("erreur de mise en ecoute du socket TCP", false);
    }
}

// Room in the fan-out's batch for one more client. Only the acceptor adds
// entries, so the room made here still suffices when it appends.
static bool roomForOneMore(RelayContext* context) {
    RelayLockHold hold(context->lock);
    return reserveSendBatch(context->sends, context->clients->count + 1);
}

// Registers a new connection and starts its worker. A connection that cannot
// be served is closed at once: no entry ever stays without a worker. What a
// fan-out needs for it (its send record, room in the batch) is had before its
// entry is made, so no fan-out ever allocates. While the worker's start is
// under way the entry is registered, so a fan-out may already have dropped
// it; removeClient knows.
static void admitClient(RelayContext* context, SocketHandle socket) {
    ReceiveStop* stop = createReceiveStop();
    SendSlot* send = createSendSlot();
    // cppcheck-suppress unreadVariable ; cppcheck 2.10 misreads new (std::nothrow) T{...}
    auto* node =
        stop == nullptr || send == nullptr || !roomForOneMore(context)
            ? nullptr
            : new (std::nothrow)
                  ClientNode{nullptr, nullptr, socket, stop, ClientState::Registered, send, 0};
    if (node == nullptr) {
        destroyReceiveStop(stop);
        destroySendSlot(send);
        socketClose(socket);
        return;
    }
    {
        RelayLockHold hold(context->lock);
        appendClient(context->clients, node);
    }
    if (!startRelayWorker(context, node)) {
        RelayLockHold hold(context->lock);
        removeClient(context->clients, node);
    }
}

[[noreturn]] static void acceptForever(RelayServer* server) {
    for (;;) {
        SocketHandle socket = INVALID_SOCKET_HANDLE;
        switch (socketAccept(server->listener, &socket)) {
        case AcceptStatus::Accepted:
            admitClient(server->context, socket);
            break;
        case AcceptStatus::Retry:
            break;
        case AcceptStatus::Pause:
            pauseMilliseconds(ACCEPT_PAUSE_MILLISECONDS);
            break;
        }
    }
}

void runServer(RelayServer* server) {
    // Before the first client can be served: the operator's keys never end it.
    consoleCatchSignals();
    openListener(server);
    server->clients = createClientList();
    server->context->clients = server->clients;
    server->context->lock = createRelayLock();
    if (server->context->lock == nullptr) {
        failStartup("erreur de creation du verrou de relais", false);
    }
    server->context->sends = createSendBatch();
    if (server->context->sends == nullptr) {
        failStartup("erreur de creation du lot d'envois", false);
    }
    if (!startDetachedThread(consoleWorker, server, 0)) {
        failStartup("erreur de creation du thread console", false);
    }
    acceptForever(server);
}
