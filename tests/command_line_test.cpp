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
    {"2147483647", PortReading::BeyondRange,
     "velloran: listening on port 45589 (\"2147483647\" is beyond 65535: only its low 16 bits "
     "count)"},
    {"-1", PortReading::Negative,
     "velloran: listening on port 45589 (\"-1\" is negative: only its low 16 bits count)"},
    // Low 16 bits all 0: the system chose the port, as for 0.
    {"65536", PortReading::LowBitsZero,
     "velloran: listening on port 45589 (\"65536\" has 0 for its low 16 bits: the system chose "
     "the port)"},
    {"-65536", PortReading::LowBitsZero,
     "velloran: listening on port 45589 (\"-65536\" has 0 for its low 16 bits: the system "
     "chose the port)"},
    {"-2147483648", PortReading::LowBitsZero,
     "velloran: listening on port 45589 (\"-2147483648\" has 0 for its low 16 bits: the system "
     "chose the port)"},
    // Beyond the 32-bit range the value is clamped, and the clamped value's
    // low bits name the port: never the low bits of what was typed (20009
    // for 4294987305).
    {"2147483648", PortReading::Beyond32Bits,
     "velloran: listening on port 45589 (\"2147483648\" is beyond the 32-bit range: it counts "
     "as 2147483647, whose low 16 bits give port 65535)"},
    {"4294987305", PortReading::Beyond32Bits,
     "velloran: listening on port 45589 (\"4294987305\" is beyond the 32-bit range: it counts "
     "as 2147483647, whose low 16 bits give port 65535)"},
    {"99999999999", PortReading::Beyond32Bits,
     "velloran: listening on port 45589 (\"99999999999\" is beyond the 32-bit range: it counts "
     "as 2147483647, whose low 16 bits give port 65535)"},
    {"99999999999999999999999", PortReading::Beyond32Bits,
     "velloran: listening on port 45589 (\"99999999999999999999999\" is beyond the 32-bit range: "
     "it counts as 2147483647, whose low 16 bits give port 65535)"},
    {"-2147483649", PortReading::Beyond32Bits,
     "velloran: listening on port 45589 (\"-2147483649\" is beyond the 32-bit range: it counts "
     "as -2147483648, whose low 16 bits are 0, so the system chose the port)"},
    // Quoted, but no control character of the argument reaches the terminal.
    {"\033[2J5000", PortReading::NoDigits,
     "velloran: listening on port 45589 (\"?[2J5000\" is not a port number)"},
    {"5000\t\177", PortReading::TrailingCharacters,
     "velloran: listening on port 45589 (\"5000??\" has characters after its digits)"},
};

TEST(CommandLine, APortNotPlainlyNamedGetsANoticeWithTheReason) {
    for (const NoticeCase& c : NOTICE_CASES) {
        EXPECT_EQ(readPortArgument(c.argument), c.reading) << "for \"" << c.argument << "\"";
        EXPECT_EQ(portNotice(c.argument, 45589), c.notice) << "for \"" << c.argument << "\"";
    }
}

} // namespace
