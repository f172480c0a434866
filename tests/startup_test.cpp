// Start-up, end to end: the command line, the listener and the failure lines.

#include "support/harness.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace harness;

namespace {

int exitStatus(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

// Holds a port the way another program would: listening on every address,
// allowing address reuse or not.
int holdPort(int port, bool reuse = false) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    int on = reuse ? 1 : 0;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 1) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

struct Failure {
    const char* name;
    std::vector<std::string> arguments; // "{held}" stands for a port another socket holds
    std::string errorLine;
    bool holderReuses = false;
};

const Failure FAILURES[] = {
    {"no argument", {}, "usage: velloran PORT\n"},
    {"port already held", {"{held}"}, "Le bind du socket server1 n'a pas fonctionne\n"},
    {"port held by a listener that allows reuse",
     {"{held}"},
     "Le bind du socket server1 n'a pas fonctionne\n",
     true},
};

TEST(Startup, AFailureIsOneLineOnStandardErrorAndStatusOne) {
    for (const Failure& failure : FAILURES) {
        SCOPED_TRACE(failure.name);
        int port = freePort();
        int held = holdPort(port, failure.holderReuses);
        ASSERT_GE(held, 0);
        std::vector<std::string> arguments = failure.arguments;
        for (std::string& argument : arguments) {
            if (argument == "{held}") {
                argument = std::to_string(port);
            }
        }
        Server server = start(arguments, Keys::None);
        ASSERT_GT(server.pid, 0);
        EXPECT_EQ(readToEnd(server.errors), failure.errorLine);
        EXPECT_EQ(readToEnd(server.output), "") << "the menu must never be drawn";
        EXPECT_EQ(exitStatus(waitExit(server)), 1);
        stop(server);
        ::close(held);
    }
}

// A hub stopped with clients connected closes first, so their connections
// linger on its port (TIME_WAIT) for a minute: a new hub must listen there
// at once all the same.
TEST(Startup, ItListensAgainOnItsPortRightAfterAStop) {
    for (bool quitKey : {true, false}) {
        SCOPED_TRACE(quitKey ? "stopped by Q" : "stopped by SIGTERM");
        Server first = startOnFreePort(Keys::Pipe);
        ASSERT_GT(first.pid, 0);
        std::vector<int> clients = joinClients(first.port, 2);
        ASSERT_EQ(clients.size(), 2u);
        if (quitKey) {
            pressKeys(first, "q");
        } else {
            ::kill(first.pid, SIGTERM);
        }
        EXPECT_NE(waitExit(first), -1);
        for (int fd : clients) {
            EXPECT_TRUE(seesEndOfStream(fd));
            ::close(fd);
        }
        Server second = start({std::to_string(first.port)}, Keys::Pipe);
        ASSERT_GT(second.pid, 0);
        EXPECT_TRUE(waitUntilListening(first.port));
        EXPECT_TRUE(isRunning(second)) << readToEnd(second.errors, 0);
        stop(second);
        stop(first);
    }
}

TEST(Startup, OnlyTheLowSixteenBitsOfThePortAreBound) {
    // 70000 = 65536 + 4464.
    int probe = holdPort(4464);
    if (probe < 0) {
        GTEST_SKIP() << "port 4464 is in use on this machine";
    }
    ::close(probe);
    Server server = start({"70000"}, Keys::None);
    ASSERT_TRUE(waitUntilListening(4464));
    std::vector<int> clients = joinClients(4464, 2);
    ASSERT_EQ(clients.size(), 2u);
    sendBytes(clients[0], "via 4464");
    EXPECT_EQ(receiveBytes(clients[1], 8), zeroLast("via 4464"));
    for (int fd : clients) {
        ::close(fd);
    }
    stop(server);
}

} // namespace
