#include "command_line.h"

#include "console/console_line.h"

#include <cstring>

static const char* const USAGE_LINES[] = {
    USAGE_LINE,
    "A TCP relay hub: each chunk one client sends goes to every other client, last byte zeroed.",
    "PORT is decimal; the hub listens on every local IPv4 address, 0 lets the system choose.",
    "Keys: L list users, M menu, N number of users, P port, Q quit; no other key acts.",
    "  -h, --help     show this text and exit",
    "  -V, --version  show the version and exit",
    "Manual: man velloran, or the README.md that comes with the program.",
};

CommandLineRequest readRequest(const char* argument) {
    if (std::strcmp(argument, "--help") == 0 || std::strcmp(argument, "-h") == 0) {
        return CommandLineRequest::ShowUsage;
    }
    if (std::strcmp(argument, "--version") == 0 || std::strcmp(argument, "-V") == 0) {
        return CommandLineRequest::ShowVersion;
    }
    return CommandLineRequest::RunHub;
}

bool answerRequest(const char* argument) {
    switch (readRequest(argument)) {
    case CommandLineRequest::ShowUsage:
        for (const char* line : USAGE_LINES) {
            writeLine(stdout, line);
        }
        return true;
    case CommandLineRequest::ShowVersion:
        writeLine(stdout, "velloran " VELLORAN_VERSION);
        return true;
    case CommandLineRequest::RunHub:
        break;
    }
    return false;
}
