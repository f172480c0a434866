#include "command_line.h"

#include "console/console_line.h"
#include "server/server.h"
#include "version.h"

#include <cstdint>
#include <cstdlib>
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
        writeLine(stdout, ("velloran " + std::string(VERSION_NAME)).c_str());
        return true;
    case CommandLineRequest::RunHub:
        break;
    }
    return false;
}

// Whether the digits name a value the signed 32-bit conversion clamped.
static bool beyond32Bits(const char* text) {
    long long wide = std::strtoll(text, nullptr, 10); // saturates too, far beyond
    return wide > INT32_MAX || wide < INT32_MIN;
}

PortReading readPortArgument(const char* text) {
    const char* end = nullptr;
    std::int32_t port = convertPort(text, &end);
    if (end == text) {
        return PortReading::NoDigits;
    }
    if (*end != '\0') {
        return PortReading::TrailingCharacters;
    }
    if (port == 0) {
        return PortReading::Zero;
    }
    if (beyond32Bits(text)) {
        return PortReading::Beyond32Bits;
    }
    if ((port & 0xFFFF) == 0) {
        return PortReading::LowBitsZero;
    }
    if (port < 0) {
        return PortReading::Negative;
    }
    return port > 65535 ? PortReading::BeyondRange : PortReading::Plain;
}

// What the low 16 bits of a clamped value give.
static std::string clampedText(std::int32_t port) {
    std::string taken = "is beyond the 32-bit range: it counts as " + std::to_string(port);
    if ((port & 0xFFFF) == 0) {
        return taken + ", whose low 16 bits are 0, so the system chose the port";
    }
    return taken + ", whose low 16 bits give port " + std::to_string(port & 0xFFFF);
}

static std::string reasonText(PortReading reading, std::int32_t port) {
    switch (reading) {
    case PortReading::NoDigits:
        return "is not a port number";
    case PortReading::TrailingCharacters:
        return "has characters after its digits";
    case PortReading::Zero:
        return "lets the system choose";
    case PortReading::Beyond32Bits:
        return clampedText(port);
    case PortReading::LowBitsZero:
        return "has 0 for its low 16 bits: the system chose the port";
    case PortReading::BeyondRange:
        return "is beyond 65535: only its low 16 bits count";
    case PortReading::Negative:
        return "is negative: only its low 16 bits count";
    case PortReading::Plain:
        break;
    }
    return "";
}

std::string portNotice(const char* text, std::uint16_t boundPort) {
    PortReading reading = readPortArgument(text);
    if (reading == PortReading::Plain) {
        return "";
    }
    // The argument is quoted as typed, but a control character in it (an
    // escape sequence from a script or a unit's instance name) must not act
    // on the operator's terminal.
    std::string shown(text);
    for (char& c : shown) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            c = '?';
        }
    }
    return "velloran: listening on port " + std::to_string(boundPort) + " (\"" + shown + "\" " +
           reasonText(reading, convertPort(text)) + ")";
}
