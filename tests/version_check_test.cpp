// Start-up with a network stack that grants another version than the one
// asked for: the hub says so in one line and ends with status 1, before any
// socket exists. No stack on hand grants another, so the record is filled
// as startNetwork would have left it.

#include "server/server.h"

#include <gtest/gtest.h>

namespace {

TEST(VersionCheckDeathTest, AnotherGrantedVersionEndsStartUpWithItsLineAndStatus1) {
    for (std::uint16_t granted : {std::uint16_t{1}, std::uint16_t{0x0101}, std::uint16_t{0x0202}}) {
        SCOPED_TRACE(granted);
        RelayServer server{};
        server.requestedVersion = NETWORK_VERSION;
        server.stackInfo.version = granted;
        server.port = 0;
        EXPECT_EXIT(runServer(&server), ::testing::ExitedWithCode(1),
                    "^La version winsock demandee n'est pas supportee\r?\n$");
    }
}

} // namespace
