// What the command line says. First the two questions it may ask instead of
// naming a port, help and version: main asks before it creates anything, so
// answering one opens no socket; every other argument is a port (see
// convertPort). Then the notice for a port the argument does not plainly
// name, which the console writes once the listener is bound. answerRequest
// writes on standard output, so main alone calls it, before the console
// starts; the other functions only read their argument, and any thread may
// call them.
#pragma once

#include <cstdint>
#include <string>

// Also the start-up failure line when no argument is given.
constexpr const char* USAGE_LINE = "usage: velloran PORT";

enum class CommandLineRequest { RunHub, ShowUsage, ShowVersion };

// --help and -h ask for the usage, --version and -V for the version; only
// these exact texts do.
CommandLineRequest readRequest(const char* argument);

// Answers a help or version request on standard output. False when the
// argument is a port, and nothing was written.
bool answerRequest(const char* argument);

// Why the port the hub listens on is not the one its argument plainly names
// ("5000", " 5000" and "+5000" plainly name 5000). The text is read first:
// no digits, then characters after them; then the value: 0; beyond the
// 32-bit range, where the conversion clamps it; low 16 bits all 0, where the
// system chooses the port; then negative or beyond 65535, where only the
// low 16 bits name the port.
enum class PortReading {
    Plain,
    NoDigits,
    TrailingCharacters,
    Zero,
    Beyond32Bits,
    LowBitsZero,
    BeyondRange,
    Negative
};
PortReading readPortArgument(const char* text);

// The line written on standard error at start when the reading is not Plain,
// e.g. velloran: listening on port 45589 ("--port" is not a port number);
// empty when it is.
std::string portNotice(const char* text, std::uint16_t boundPort);
