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

} // namespace
