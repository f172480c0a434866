// Velloran: a console TCP relay hub. Every chunk one client sends goes to
// every other connected client, with its last byte set to zero.

#include "command_line.h"
#include "console/console_line.h"
#include "platform/platform.h"
#include "server/server.h"

int main(int argc, char** argv) {
    if (!reserveStandardStreams()) {
        writeLine(stderr, "erreur de reservation des flux standard");
        return 1;
    }
    if (argc < 2) {
        writeLine(stderr, USAGE_LINE);
        return 1;
    }
    if (answerRequest(argv[1])) {
        return 0;
    }
    auto* server = new RelayServer{};
    server->port = convertPort(argv[1]);
    server->portText = argv[1];
    server->context = new RelayContext{nullptr, nullptr, nullptr};
    startNetwork(server);
    runServer(server);
}
