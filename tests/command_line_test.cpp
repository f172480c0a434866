// The command line: help and version are asked for by exact texts only;
// every other argument stays a port and converts as before.

#include "command_line.h"
#include "server/server.h"

#include <gtest/gtest.h>

namespace {

struct RequestCase {
    const char* argument;
    CommandLineRequest request;
    std::int32_t port; // what a RunHub argument converts to
};

const RequestCase REQUEST_CASES[] = {
    {"--help", CommandLineRequest::ShowUsage, 0},
    {"-h", CommandLineRequest::ShowUsage, 0},
    {"--version", CommandLineRequest::ShowVersion, 0},
    {"-V", CommandLineRequest::ShowVersion, 0},
    // Near misses are ports, as they always were: each converts to 0.
    {"-v", CommandLineRequest::RunHub, 0},
    {"-H", CommandLineRequest::RunHub, 0},
    {"--HELP", CommandLineRequest::RunHub, 0},
    {"-help", CommandLineRequest::RunHub, 0},
    {"--help=1", CommandLineRequest::RunHub, 0},
    {" --help", CommandLineRequest::RunHub, 0},
    {"--version ", CommandLineRequest::RunHub, 0},
    {"--", CommandLineRequest::RunHub, 0},
    {"", CommandLineRequest::RunHub, 0},
    {"5000", CommandLineRequest::RunHub, 5000},
};

TEST(CommandLine, OnlyTheExactOptionsAskForHelpOrVersion) {
    for (const RequestCase& c : REQUEST_CASES) {
        EXPECT_EQ(readRequest(c.argument), c.request) << "for \"" << c.argument << "\"";
        if (c.request == CommandLineRequest::RunHub) {
            EXPECT_EQ(convertPort(c.argument), c.port) << "for \"" << c.argument << "\"";
        }
    }
}

// The notice for a hub that listens on port 45589 (what the system chose
// for the rows that name no port).
struct NoticeCase {
    const char* argument;
    PortReading reading;
    const char* notice;
};

const NoticeCase NOTICE_CASES[] = {
    {"5000", PortReading::Plain, ""},
    {" 5000", PortReading::Plain, ""},
    {"+5000", PortReading::Plain, ""},
    {"0005000", PortReading::Plain, ""},
    {"65535", PortReading::Plain, ""},
    {"0", PortReading::Zero, "velloran: listening on port 45589 (\"0\" lets the system choose)"},
    {"-0", PortReading::Zero, "velloran: listening on port 45589 (\"-0\" lets the system choose)"},
    {"abc", PortReading::NoDigits,
     "velloran: listening on port 45589 (\"abc\" is not a port number)"},
    {"--port", PortReading::NoDigits,
     "velloran: listening on port 45589 (\"--port\" is not a port number)"},
    {"", PortReading::NoDigits, "velloran: listening on port 45589 (\"\" is not a port number)"},
    {"-", PortReading::NoDigits, "velloran: listening on port 45589 (\"-\" is not a port number)"},
    {"5000x", PortReading::TrailingCharacters,
     "velloran: listening on port 45589 (\"5000x\" has characters after its digits)"},
    {"5000 ", PortReading::TrailingCharacters,
     "velloran: listening on port 45589 (\"5000 \" has characters after its digits)"},
    {"0x1F", PortReading::TrailingCharacters,
     "velloran: listening on port 45589 (\"0x1F\" has characters after its digits)"},
    {"70000", PortReading::BeyondRange,
     "velloran: listening on port 45589 (\"70000\" is beyond 65535: only its low 16 bits count)"},
    {"65536", PortReading::BeyondRange,
     "velloran: listening on port 45589 (\"65536\" is beyond 65535: only its low 16 bits count)"},
    {"99999999999", PortReading::BeyondRange,
     "velloran: listening on port 45589 (\"99999999999\" is beyond 65535: only its low 16 bits "
     "count)"},
    {"-1", PortReading::Negative,
     "velloran: listening on port 45589 (\"-1\" is negative: only its low 16 bits count)"},
};

TEST(CommandLine, APortNotPlainlyNamedGetsANoticeWithTheReason) {
    for (const NoticeCase& c : NOTICE_CASES) {
        EXPECT_EQ(readPortArgument(c.argument), c.reading) << "for \"" << c.argument << "\"";
        EXPECT_EQ(portNotice(c.argument, 45589), c.notice) << "for \"" << c.argument << "\"";
    }
}

} // namespace
