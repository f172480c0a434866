// The two questions the command line may ask instead of naming a port: help
// and version. main asks before it creates anything, so answering one opens
// no socket; every other argument is a port (see convertPort).
#pragma once

// Also the start-up failure line when no argument is given.
constexpr const char* USAGE_LINE = "usage: velloran PORT";

enum class CommandLineRequest { RunHub, ShowUsage, ShowVersion };

// --help and -h ask for the usage, --version and -V for the version; only
// these exact texts do.
CommandLineRequest readRequest(const char* argument);

// Answers a help or version request on standard output. False when the
// argument is a port, and nothing was written.
bool answerRequest(const char* argument);
