// The port argument: decimal text as typed, clamped to the 32-bit range.

#include "server/server.h"

#include <gtest/gtest.h>

namespace {

struct PortCase {
    const char* text;
    std::int32_t port;
};

const PortCase PORT_CASES[] = {
    {"5000", 5000},
    {"70000", 70000},
    {"-1", -1},
    {"abc", 0},
    {" 12ab", 12},
    {"99999999999", 2147483647},
    {"-99999999999", -2147483647 - 1},
    {"+7", 7},
    {"", 0},
    {"2147483647", 2147483647},
    {"2147483648", 2147483647},
    {"-2147483648", -2147483647 - 1},
    {"-2147483649", -2147483647 - 1},
    {"\t\n\v\f\r 42", 42},
    {"   ", 0},
    {"+", 0},
    {"-", 0},
    {"+-5", 0},
    {"--5", 0},
    {"0005000", 5000},
    {"1234567890123456789012345678901234567890", 2147483647},
    {"-1234567890123456789012345678901234567890", -2147483647 - 1},
    {"5000 6000", 5000},
    {"0x1F", 0},
    {"12\xff", 12}, // a byte above 127 stops the digits like any other
};

TEST(ConvertPort, ReadsDecimalTextAndClamps) {
    for (const PortCase& c : PORT_CASES) {
        EXPECT_EQ(convertPort(c.text), c.port) << "for \"" << c.text << "\"";
    }
}

} // namespace
