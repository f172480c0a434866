// Start-up, end to end: the command line, the listener and the failure lines.

#include "support/harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
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

struct Answer {
    const char* argument;
    std::string output; // the first line of standard output, or all of it
    bool wholeOutput;
};

const Answer ANSWERS[] = {
    {"--help", "usage: velloran PORT\n", false},
    {"-h", "usage: velloran PORT\n", false},
    // What the banner calls the version.
    {"--version", "velloran 1.0 Beta\n", true},
    {"-V", "velloran 1.0 Beta\n", true},
};

// Help and version answer on standard output and end at once with status 0,
// before any socket exists: no menu, no listener, nothing on standard error.
TEST(Startup, HelpAndVersionAnswerAndExitWithoutListening) {
    for (const Answer& answer : ANSWERS) {
        SCOPED_TRACE(answer.argument);
        Server server = start({answer.argument}, Keys::None);
        ASSERT_GT(server.pid, 0);
        std::string output = readToEnd(server.output);
        if (answer.wholeOutput) {
            EXPECT_EQ(output, answer.output);
        } else {
            EXPECT_EQ(output.substr(0, answer.output.size()), answer.output);
            EXPECT_NE(output.find("man velloran"), std::string::npos) << output;
            EXPECT_EQ(output.find("=========="), std::string::npos) << "the menu was drawn";
        }
        EXPECT_EQ(readToEnd(server.errors), "");
        EXPECT_EQ(exitStatus(waitExit(server)), 0);
        stop(server);
    }
}

// Bursts of connections queue up to 1000 deep before the hub takes them; the
// system may cap any listener's queue lower (net.core.somaxconn).
TEST(Startup, ItListensWithAQueueOf1000) {
    std::ifstream capFile("/proc/sys/net/core/somaxconn");
    int cap = 0;
    capFile >> cap;
    if (cap > 0 && cap < 1000) {
        GTEST_SKIP() << "net.core.somaxconn is " << cap
                     << ": this system caps every queue below 1000, so the hub's cannot be seen";
    }
    Server server = startOnFreePort(Keys::Pipe);
    ASSERT_GT(server.pid, 0);
    EXPECT_EQ(listenQueueLength(server.port), 1000);
    stop(server);
}

// A hub stopped with clients connected closes first, so their connections
// linger on its port (TIME_WAIT) for a minute: a new hub must listen there
// at once all the same, once the old one has let go of the port.
//
// Under Wine the Wine server holds a program's sockets and closes them once
// the process has ended, one by one, the listener often after the
// connections, and late when the machine is busy: until the listener has
// left the table the port is still the old hub's. Now and then it keeps one
// of the connections open for good after the process has ended, by Q or by
// a signal alike (a Wine server's own doing: a process's handles end with
// it): that client sees no end, and the connection lingers on the port all
// the same.
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
        ASSERT_TRUE(waitUntilNotListening(first.port, underWine() ? 4 * DEADLINE_MS : DEADLINE_MS))
            << "the old hub still holds its port";
        for (int fd : clients) {
            // Waited for everywhere, so that the hub's side closes first
            // wherever it closes at all.
            bool ended = seesEndOfStream(fd);
            EXPECT_TRUE(ended || underWine());
            ::close(fd);
        }
        EXPECT_TRUE(connectionsLinger(first.port)) << "the old connections are still on the port";
        Server second = start({std::to_string(first.port)}, Keys::Pipe);
        ASSERT_GT(second.pid, 0);
        EXPECT_TRUE(waitUntilListening(first.port));
        EXPECT_TRUE(isRunning(second)) << readToEnd(second.errors, 0);
        stop(second);
        stop(first);
    }
}

struct BoundPort {
    const char* argument;
    int bound;
};

// 70000 = 65536 + 4464; a number beyond the 32-bit range is first clamped to
// 2147483647, whose low 16 bits are 65535.
const BoundPort BOUND_PORTS[] = {
    {"70000", 4464},
    {"2147483647", 65535},
    {"99999999999", 65535},
};

TEST(Startup, OnlyTheLowSixteenBitsOfThePortAreBound) {
    for (const BoundPort& row : BOUND_PORTS) {
        SCOPED_TRACE(row.argument);
        int probe = holdPort(row.bound);
        if (probe < 0) {
            std::printf("skipped %s: port %d is in use on this machine\n", row.argument, row.bound);
            continue;
        }
        ::close(probe);
        Server server = start({row.argument}, Keys::None);
        ASSERT_TRUE(waitUntilListening(row.bound));
        std::vector<int> clients = joinClients(row.bound, 2);
        ASSERT_EQ(clients.size(), 2u);
        sendBytes(clients[0], "via the low bits");
        EXPECT_EQ(receiveBytes(clients[1], 16), zeroLast("via the low bits"));
        for (int fd : clients) {
            ::close(fd);
        }
        stop(server);
    }
}

// ---- The port notice -------------------------------------------------------

// Standard error up to its first line feed, or what came before the deadline;
// a line that ends in CR LF (the Windows build's) ends in a line feed alone.
std::string readErrorLine(const Server& server) {
    std::string line;
    char c = 0;
    while (line.find('\n') == std::string::npos) {
        pollfd ready{server.errors, POLLIN, 0};
        if (::poll(&ready, 1, DEADLINE_MS) != 1 || ::read(server.errors, &c, 1) != 1) {
            break;
        }
        line += c;
    }
    std::size_t crlf = line.rfind("\r\n");
    if (crlf != std::string::npos && crlf + 2 == line.size()) {
        line.erase(crlf, 1);
    }
    return line;
}

struct NoticeRow {
    const char* typed; // the argument this row stands for
    // What the test passes: "{free}" stands for a free port F, "{above}" for
    // 65536 + F and "{below}" for F - 65536, which name F by their low 16 bits.
    std::string argument;
    bool systemChooses; // the hub listens on a port the system picked, not F
    std::string reason; // after the quoted argument; empty: no notice at all
};

const NoticeRow NOTICES[] = {
    {"5000", "{free}", false, ""},
    {" 5000", " {free}", false, ""},
    {"5000x", "{free}x", false, " has characters after its digits"},
    {"70000", "{above}", false, " is beyond 65535: only its low 16 bits count"},
    {"-1", "{below}", false, " is negative: only its low 16 bits count"},
    {"0", "0", true, " lets the system choose"},
    {"65536", "65536", true, " has 0 for its low 16 bits: the system chose the port"},
    {"-2147483648", "-2147483648", true, " has 0 for its low 16 bits: the system chose the port"},
    {"abc", "abc", true, " is not a port number"},
    {"--port", "--port", true, " is not a port number"},
};

std::string fillPort(std::string argument, int free) {
    const std::pair<const char*, int> marks[] = {
        {"{free}", free}, {"{above}", 65536 + free}, {"{below}", free - 65536}};
    for (const auto& [mark, value] : marks) {
        std::size_t at = argument.find(mark);
        if (at != std::string::npos) {
            argument.replace(at, std::strlen(mark), std::to_string(value));
        }
    }
    return argument;
}

// The one line tells where the hub really listens (clients relay there), P
// still answers the number as converted, and a plain port adds nothing.
TEST(Startup, APortTheArgumentDoesNotPlainlyNameIsToldOnStandardError) {
    const std::string prefix = "velloran: listening on port ";
    for (const NoticeRow& row : NOTICES) {
        SCOPED_TRACE(row.typed);
        int free = freePort();
        std::string argument = fillPort(row.argument, free);
        Server server = start({argument}, Keys::Pipe);
        ASSERT_GT(server.pid, 0);
        int port = free;
        if (!row.reason.empty()) {
            std::string line = readErrorLine(server);
            if (row.systemChooses) {
                port = static_cast<int>(
                    std::strtol(line.c_str() + std::min(prefix.size(), line.size()), nullptr, 10));
            }
            EXPECT_EQ(line, prefix + std::to_string(port) + " (\"" + argument + "\"" + row.reason +
                                ")\n");
        }
        ASSERT_TRUE(port > 0 && waitUntilListening(port)) << port;
        std::vector<int> clients = joinClients(port, 2);
        ASSERT_EQ(clients.size(), 2u);
        sendBytes(clients[0], "here");
        EXPECT_EQ(receiveBytes(clients[1], 4), zeroLast("here"));
        pressKeys(server, "p");
        long converted = std::strtol(argument.c_str(), nullptr, 10);
        EXPECT_TRUE(waitForOutput(server, "#Port " + std::to_string(converted) + "\n"));
        pressKeys(server, "q");
        EXPECT_EQ(exitStatus(waitExit(server)), 0);
        EXPECT_EQ(readToEnd(server.errors), "") << "one line at most";
        for (int fd : clients) {
            ::close(fd);
        }
        stop(server);
    }
}

// ---- Standard streams closed at start ---------------------------------------

struct ClosedStreams {
    const char* name; // as a shell would start it
    std::vector<int> closed;
};

const ClosedStreams CLOSED_STREAMS[] = {
    {"<&-", {0}},
    {">&-", {1}},
    {"2>&-", {2}},
    {"<&- >&-", {0, 1}},
    {"<&- 2>&-", {0, 2}},
    {">&- 2>&-", {1, 2}},
    {"<&- >&- 2>&-", {0, 1, 2}},
};

bool isClosed(const ClosedStreams& row, int stream) {
    return std::find(row.closed.begin(), row.closed.end(), stream) != row.closed.end();
}

// What a standard descriptor of the process names, from /proc.
std::string descriptorTarget(pid_t pid, int fd) {
    std::string link = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
    char target[PATH_MAX];
    ssize_t n = ::readlink(link.c_str(), target, sizeof target);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : "";
}

// A closed standard stream must not become a client's socket, or the console
// would write its screen to that client.
TEST(Startup, WithStandardStreamsClosedItServesClientsAndNoneGetsConsoleText) {
    const std::size_t clientCount = 3;
    for (const ClosedStreams& row : CLOSED_STREAMS) {
        SCOPED_TRACE(row.name);
        if (underWine() && isClosed(row, 0) && isClosed(row, 1)) {
            // Wine's loader takes those two for its own pipes and then cannot
            // start any program, its own cmd included.
            std::printf("%s: not run under Wine\n", row.name);
            continue;
        }
        int port = freePort();
        Launch launch;
        launch.closedStreams = row.closed;
        Server server = start({std::to_string(port)}, Keys::Pipe, launch);
        ASSERT_TRUE(server.pid > 0 && waitUntilListening(port));
        std::vector<int> clients = joinClients(port, static_cast<int>(clientCount));
        ASSERT_EQ(clients.size(), clientCount);
        if (!isClosed(row, 0)) {
            pressKeys(server, "lmnp"); // a screenful for whoever holds standard output
        }
        if (!isClosed(row, 1)) {
            const char* screenEnd = isClosed(row, 0) ? "Q  [Q]uit" : "# User(s) 3";
            EXPECT_TRUE(waitForOutput(server, screenEnd)) << server.seen;
        }
        sendBytes(clients[0], "hello\n");
        for (std::size_t i = 1; i < clientCount; ++i) {
            EXPECT_EQ(receiveBytes(clients[i], 6), zeroLast("hello\n")) << "client " << i;
        }
        for (std::size_t i = 0; i < clientCount; ++i) {
            EXPECT_EQ(receiveBytes(clients[i], 1, 300), "") << "client " << i << " got more";
        }
        if (!underWine()) {
            for (int stream : row.closed) {
                EXPECT_EQ(descriptorTarget(server.pid, stream), "/dev/null") << "stream " << stream;
            }
        }
        EXPECT_TRUE(isRunning(server));
        for (int fd : clients) {
            ::close(fd);
        }
        stop(server);
    }
}

} // namespace
