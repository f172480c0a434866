// The operator console, end to end: keys in, screen out, through a
// pseudo-terminal (the operator's case) and through a pipe (scripts and
// services).

#include "support/harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <regex>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

using namespace harness;

namespace {

const char* const MENU[] = {
    "========================================",
    "Velloran 1.0 Beta",
    "Date creation : 08-01-2011",
    "========================================",
    "L  [L]ist all users",
    "M  [M]enu",
    "N  [N]umber(s) of users",
    "P  [P]ort of server",
    "Q  [Q]uit",
    "----------------------------------------",
};

const std::string CLEAR = "\033[H\033[2J";

// The menu as it reaches a terminal (a line feed arrives as CR LF) or a pipe.
std::string menu(const std::string& newline) {
    std::string text;
    for (const char* line : MENU) {
        text += line + newline;
    }
    return text;
}

const std::string SCREEN = CLEAR + menu("\r\n");

// A process's group and whether it is stopped, from /proc: the fields after
// the last ')' of its name are its state, its parent and its group.
std::string processFields(pid_t pid) {
    FILE* stat = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (stat == nullptr) {
        return "";
    }
    char text[512] = {};
    std::size_t n = std::fread(text, 1, sizeof text - 1, stat);
    std::fclose(stat);
    std::string fields(text, n);
    std::size_t name = fields.rfind(')');
    return name == std::string::npos ? "" : fields.substr(name + 2);
}

pid_t processGroupOf(pid_t pid) {
    std::string fields = processFields(pid); // state, parent, group
    std::size_t group = fields.find(' ', fields.find(' ') + 1);
    if (group == std::string::npos) {
        return -1;
    }
    char* end = nullptr;
    long value = std::strtol(fields.c_str() + group + 1, &end, 10);
    return end != fields.c_str() + group + 1 && value > 0 ? static_cast<pid_t>(value) : -1;
}

// True while one of the process's threads sleeps in a timed wait: the hub
// does so only where the fault library holds one of its calls back.
bool aThreadIsHeld(pid_t pid) {
    std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* listing = ::opendir(tasks.c_str());
    if (listing == nullptr) {
        return false;
    }
    bool held = false;
    // cppcheck-suppress readdirCalled ; each call has a listing of its own
    while (const dirent* task = ::readdir(listing)) {
        std::ifstream wchan(tasks + "/" + task->d_name + "/wchan");
        std::string where;
        held = held || (std::getline(wchan, where) && where.find("nanosleep") != std::string::npos);
    }
    ::closedir(listing);
    return held;
}

bool isStopped(pid_t pid) {
    std::string fields = processFields(pid);
    return !fields.empty() && (fields[0] == 'T' || fields[0] == 't');
}

class Console : public ::testing::Test {
  protected:
    void TearDown() override {
        for (int fd : clients) {
            ::close(fd);
        }
        stop(server);
    }
    void startOnTerminal() {
        server = startOnFreePort(Keys::Terminal);
        ASSERT_GT(server.pid, 0);
        // Wine draws the console its own way: its last line shows it is up.
        ASSERT_TRUE(waitForOutput(server, underWine() ? MENU[9] : SCREEN)) << server.seen;
        // Wine's console makes the terminal raw only at the first key read;
        // keys typed before that would be cooked.
        ASSERT_TRUE(terminalBecomesRaw());
    }
    bool terminalBecomesRaw() {
        return eventually([this] { return (terminalMode().c_lflag & (ECHO | ICANON)) == 0; });
    }
    // The operator's keys and the screen they answer with, byte for byte: a
    // terminal on Linux. Under Wine a terminal shows Wine's drawing of the
    // console, not the program's bytes, so these keys come through a pipe.
    void startOperator() { startWith(underWine() ? Keys::Pipe : Keys::Terminal); }
    // Both key sources, the pipe of the kind given and a terminal; under
    // Wine the pipe alone.
    static std::vector<Keys> pipeAndTerminal(Keys pipe) {
        if (!underWine()) {
            return {pipe, Keys::Terminal};
        }
        std::cout << "[ SKIPPED  ] the terminal half: under Wine the terminal is Wine's "
                     "console, which reads the keys and draws the screen itself\n";
        return {pipe};
    }
    // Starts the server with its keys from `keys`, and the screen it draws there.
    void startWith(Keys keys) {
        if (keys == Keys::Terminal) {
            screen = SCREEN;
            newline = "\r\n";
            startOnTerminal();
            return;
        }
        server = startOnFreePort(keys);
        ASSERT_GT(server.pid, 0);
        screen = menu("\n");
        newline = "\n";
        ASSERT_TRUE(waitForOutput(server, screen)) << server.seen;
    }
    // Presses `keys` and returns what the screen showed in answer, once it
    // shows `expected` (or the deadline passes).
    std::string answer(const std::string& keys, const std::string& expected) {
        std::size_t from = server.seen.size();
        pressKeys(server, keys);
        waitForOutput(server, expected, from);
        return server.seen.substr(from);
    }
    // The user numbers that l lists, in order. The m pressed after it marks
    // the end of the listing with a fresh screen.
    std::vector<std::string> listedUsers() {
        std::size_t from = server.seen.size();
        pressKeys(server, "lm");
        if (!waitForOutput(server, screen, from + 1)) {
            return {};
        }
        std::size_t end = server.seen.find(screen, from + 1);
        std::string listing = server.seen.substr(from, end - from);
        std::vector<std::string> users;
        std::regex line("User (\\d+)" + newline);
        for (std::sregex_iterator it(listing.begin(), listing.end(), line), last; it != last;
             ++it) {
            users.push_back((*it)[1]);
        }
        return users;
    }
    termios terminalMode() const {
        termios mode{};
        tcgetattr(server.terminal, &mode);
        return mode;
    }
    bool terminalRestored() const {
        return (terminalMode().c_lflag & (ECHO | ICANON)) == tcflag_t{ECHO | ICANON};
    }
    // Presses a key on a terminal whose output is suspended, as Scroll Lock
    // does, and waits until the console has taken it: its answer is then
    // stuck in the write.
    bool pressWithScreenSuspended(const std::string& key) {
        tcflow(server.terminal, TCOOFF);
        pressKeys(server, key);
        return eventually([this] {
            int unread = 0;
            return ::ioctl(server.terminal, FIONREAD, &unread) == 0 && unread == 0;
        });
    }
    // Presses keys until the output pipe nobody reads is full, so the
    // console is stuck writing the answer to one of them.
    bool fillScreenPipe(const std::string& key) {
        pressKeys(server, std::string(1000, key[0]));
        int capacity = ::fcntl(server.output, F_GETPIPE_SZ);
        // Each line is one write, and a write that does not fit the last
        // page of the pipe starts a new one: a full pipe may lack a line a page.
        const int slack = 16 * 80;
        return eventually([&] {
            int queued = 0;
            return ::ioctl(server.output, FIONREAD, &queued) == 0 && queued >= capacity - slack;
        });
    }
    // An interactive shell with job control on the terminal, which starts
    // `job` (the hub, $HUB, on a free port, maybe in a pipeline) with &; two
    // clients join the hub there. Sets the hub's pid, which is the job's
    // process group, and lastInJob, the job's last command.
    void startInTheBackground(pid_t& hub, const std::string& job = "$HUB") {
        int port = freePort();
        Launch inShell;
        inShell.inShell = true;
        server = start({std::to_string(port)}, Keys::Terminal, inShell);
        ASSERT_GT(server.pid, 0);
        ASSERT_TRUE(waitForOutput(server, "$ ")) << server.seen;
        std::size_t from = server.seen.size();
        const std::string line = job + " & echo last=$!\n";
        pressKeys(server, line);
        from += line.size();
        ASSERT_TRUE(waitForOutput(server, "last=", from)) << server.seen;
        ASSERT_TRUE(waitForOutput(server, "$ ", server.seen.find("last=", from)));
        lastInJob = std::stoi(server.seen.substr(server.seen.find("last=", from) + 5));
        hub = processGroupOf(lastInJob);
        ASSERT_GT(hub, 0);
        ASSERT_TRUE(waitUntilListening(port));
        clients = joinClients(port, 2);
        ASSERT_EQ(clients.size(), 2u) << "a hub in the background relays";
    }
    // Waits until the shell has handed the terminal to `group`, looking
    // every tenth of a millisecond: a key typed then comes at once.
    bool foregroundBecomes(pid_t group) const {
        for (int attempt = 0; attempt < DEADLINE_MS * 10; ++attempt) {
            if (::tcgetpgrp(server.keys) == group) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        return false;
    }
    template <typename Condition> static bool eventually(Condition condition) {
        for (int attempt = 0; attempt < DEADLINE_MS / 10 && !aServerCrashed(); ++attempt) {
            if (condition()) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    Server server;
    std::vector<int> clients;
    pid_t lastInJob = -1;        // the last command of the job the shell started
    std::string screen = SCREEN; // the menu as it reaches the operator
    std::string newline = "\r\n";
};

struct KeyAnswer {
    const char* name;
    std::string keys;
    std::string screen; // all the screen shows in answer
};

TEST_F(Console, EachKeyAnswersOnTheScreen) {
    startOperator();
    const std::string COUNT = screen + "# User(s) 0" + newline;
    // Each row ends in a key that answers, so anything an ignored key
    // printed would show before that answer.
    const KeyAnswer ANSWERS[] = {
        {"count with no users", "n", COUNT},
        {"upper case alike", "N", COUNT},
        {"redraw", "m", screen},
        {"empty listing", "L", screen},
        {"port as given", "p", screen + "#Port " + std::to_string(server.port) + newline},
        {"upper case alike", "P", screen + "#Port " + std::to_string(server.port) + newline},
        {"unknown keys show nothing", "oOzZ5\r\n\033 n", COUNT},
        {"an arrow key's bytes are ignored", "\033[A\033OBn", COUNT},
        {"the interrupt key is just a code", "\x03\x1c\x1an", COUNT},
    };
    for (const KeyAnswer& row : ANSWERS) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(answer(row.keys, row.screen), row.screen);
    }
    EXPECT_TRUE(isRunning(server));
}

// What a terminal sends for function, cursor and editing keys, alone and
// with modifiers. Were each byte a key, F1 would show the port, F2 and Page
// Down would quit, and the Down arrow would list the users.
const std::pair<const char*, std::string> FUNCTION_KEYS[] = {
    {"F1 to F4", "\033OP\033OQ\033OR\033OS"},
    {"F1 to F5 on the Linux console", "\033[[A\033[[B\033[[C\033[[D\033[[E"},
    {"F5, F9, F12", "\033[15~\033[20~\033[24~"},
    {"F1 to F4 with Shift, Ctrl, Alt", "\033[1;2P\033[1;5Q\033[1;3R\033[1;6S"},
    {"arrows", "\033[A\033[B\033[C\033[D\033OA\033OB"},
    {"arrows with Ctrl, Alt", "\033[1;5A\033[1;3B\033\033[C"},
    {"Home, End, Insert, Delete", "\033[H\033[F\033OH\033OF\033[1~\033[4~\033[2~\033[3~"},
    {"Page Up, Page Down", "\033[5~\033[6~\033[6;5~"},
    {"Alt with a command letter", "\033q\033L\033p"},
};

// All of them but Alt with a letter when the Windows key reader takes them:
// it gives Alt+Q as a plain q, which cannot be told from Q alone.
std::string allFunctionKeys() {
    std::string keys;
    for (const auto& row : FUNCTION_KEYS) {
        if (!underWine() || row.first != std::string("Alt with a command letter")) {
            keys += row.second;
        }
    }
    return keys;
}

TEST_F(Console, FunctionAndCursorKeysNeverAct) {
    for (Keys keys : pipeAndTerminal(Keys::Pipe)) {
        SCOPED_TRACE(keys == Keys::Terminal ? "terminal" : "pipe");
        startWith(keys);
        const std::string count = screen + "# User(s) 0" + newline;
        for (const auto& row : FUNCTION_KEYS) {
            SCOPED_TRACE(row.first);
            EXPECT_EQ(answer(row.second + "n", count), count);
        }
        EXPECT_TRUE(isRunning(server));
        if (underWine()) {
            std::cout << "[ SKIPPED  ] Escape alone: Wine cannot look into a Linux pipe, so the "
                         "hub there takes the next byte as part of the Escape's key\n";
            stop(server);
            continue;
        }
        // Escape alone, and a letter a moment later: that letter acts. The
        // pause is the case itself: longer than any key takes to arrive.
        pressKeys(server, "\033");
        std::this_thread::sleep_for(std::chrono::seconds(1));
        EXPECT_EQ(answer("n", count), count);
        stop(server);
    }
}

// The operator's own case, on both builds: under Wine the terminal's
// sequences reach the hub as the Windows key reader's two codes.
TEST_F(Console, OnTheTerminalFunctionKeysNeverAct) {
    startOnTerminal();
    pressKeys(server, allFunctionKeys());
    std::size_t from = server.seen.size();
    pressKeys(server, "p");
    EXPECT_TRUE(waitForOutput(server, "#Port " + std::to_string(server.port), from)) << server.seen;
    EXPECT_EQ(server.seen.find("User", 0), std::string::npos) << server.seen;
    pressKeys(server, "q");
    int status = waitExit(server);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// Oldest first, whichever leaves: the head, one in the middle, the tail.
TEST_F(Console, UsersAreListedInConnectOrderAndLeave) {
    startOperator();
    clients = joinClients(server.port, 5);
    ASSERT_EQ(clients.size(), 5u);
    std::vector<std::string> listed = listedUsers();
    ASSERT_EQ(listed.size(), 5u);
    for (std::size_t leaving : {std::size_t{0}, std::size_t{1}, clients.size() - 3}) {
        ::close(clients[leaving]);
        clients.erase(clients.begin() + static_cast<std::ptrdiff_t>(leaving));
        listed.erase(listed.begin() + static_cast<std::ptrdiff_t>(leaving));
        ASSERT_TRUE(userCountBecomes(server, static_cast<long>(clients.size())));
        EXPECT_EQ(listedUsers(), listed) << "after client " << leaving << " left";
    }
}

// On Linux a user's number is the descriptor of the hub's socket for that
// connection; on Windows it is the socket's handle, which nothing outside
// the hub can see under Wine.
TEST_F(Console, EachUserNumberIsThatConnectionsSocket) {
    if (underWine()) {
        GTEST_SKIP() << "a Windows socket handle cannot be seen from Linux";
    }
    startOperator();
    clients = joinClients(server.port, 3);
    ASSERT_EQ(clients.size(), 3u);
    std::vector<std::string> listed = listedUsers();
    ASSERT_EQ(listed.size(), clients.size());
    for (std::size_t i = 0; i < clients.size(); ++i) {
        sockaddr_in own{};
        socklen_t length = sizeof own;
        ASSERT_EQ(::getsockname(clients[i], reinterpret_cast<sockaddr*>(&own), &length), 0);
        unsigned long inode = serverSideInode(server.port, ntohs(own.sin_port));
        std::string path = "/proc/" + std::to_string(server.pid) + "/fd/" + listed[i];
        char target[64] = {};
        ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
        ASSERT_GT(n, 0) << path;
        EXPECT_EQ(std::string(target), "socket:[" + std::to_string(inode) + "]")
            << "user " << listed[i];
    }
}

// Fills the hub's way to a client that reads nothing until the hub gives up
// on it (its send timeout, 10 s) and cuts it off.
bool cutOffByTheHub(int sender, int reader) {
    ::fcntl(sender, F_SETFL, ::fcntl(sender, F_GETFL) | O_NONBLOCK);
    static const std::string block(65536, 'c');
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(25);
    while (std::chrono::steady_clock::now() < end) {
        // Sends refused for want of room are the point: the hub is stuck on reader.
        ssize_t sent = ::send(sender, block.data(), block.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        (void)sent;
        tcp_info info{};
        socklen_t length = sizeof info;
        if (::getsockopt(reader, IPPROTO_TCP, TCP_INFO, &info, &length) == 0 &&
            (info.tcpi_state == TCP_CLOSE || info.tcpi_state == TCP_CLOSE_WAIT)) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

// However a connection ends, the hub writes nothing: the next key's answer
// is all the screen shows, and the error stream stays empty. That holds for
// a client the hub cuts off as much as for one that leaves.
TEST_F(Console, AConnectionEndingWritesNothing) {
    startOperator();
    for (const char* ending : {"close", "reset", "half-close", "cut off by the hub"}) {
        SCOPED_TRACE(ending);
        clients = joinClients(server.port, 2);
        ASSERT_EQ(clients.size(), 2u);
        std::size_t from = server.seen.size();
        if (std::string(ending) == "cut off by the hub") {
            int narrow = connectTo(server.port, 4096);
            ASSERT_GE(narrow, 0);
            proveRegistered(narrow, clients);
            ::close(clients[1]);
            EXPECT_TRUE(eventually([&] { return shownUserCount(server) == 2; }));
            EXPECT_TRUE(cutOffByTheHub(clients[0], narrow));
            ::close(narrow);
        } else if (std::string(ending) == "reset") {
            resetConnection(clients[1]);
        } else if (std::string(ending) == "half-close") {
            ::shutdown(clients[1], SHUT_WR);
            EXPECT_TRUE(seesEndOfStream(clients[1]));
            ::close(clients[1]);
        } else {
            ::close(clients[1]);
        }
        ::close(clients[0]);
        clients.clear();
        // The count drops to 0 only once both entries are gone.
        EXPECT_TRUE(eventually([&] {
            std::size_t before = server.seen.size();
            return shownUserCount(server) == 0 && server.seen.size() > before;
        }));
        // What n printed, and nothing else.
        std::string shown = server.seen.substr(from);
        for (const std::string& answer : {screen, "# User(s) 0" + newline, "# User(s) 1" + newline,
                                          "# User(s) 2" + newline, "# User(s) 3" + newline}) {
            for (std::size_t at; (at = shown.find(answer)) != std::string::npos;) {
                shown.erase(at, answer.size());
            }
        }
        EXPECT_EQ(shown, "");
        EXPECT_EQ(readToEnd(server.errors, 0), "");
    }
}

// An operator who stops reading (a pipe left alone, a terminal on Scroll
// Lock) while L answers must not hold up a single chunk or admission.
TEST_F(Console, AnUnreadScreenNeverHoldsUpTheRelay) {
    for (Keys keys : pipeAndTerminal(Keys::Pipe)) {
        SCOPED_TRACE(keys == Keys::Terminal ? "terminal suspended" : "pipe nobody reads");
        startWith(keys);
        clients = joinClients(server.port, 2);
        ASSERT_EQ(clients.size(), 2u);
        ASSERT_TRUE(keys == Keys::Terminal ? pressWithScreenSuspended("l") : fillScreenPipe("l"));

        sendBytes(clients[0], "relayed");
        EXPECT_EQ(receiveBytes(clients[1], 7), zeroLast("relayed"));
        int late = connectTo(server.port);
        ASSERT_GE(late, 0);
        sendBytes(late, "admitted");
        EXPECT_EQ(receiveBytes(clients[0], 8), zeroLast("admitted"));
        clients.push_back(late);

        // Once read again, the screen catches up and tells the truth.
        tcflow(server.terminal, TCOON);
        EXPECT_TRUE(userCountBecomes(server, 3));
        for (int fd : clients) {
            ::close(fd);
        }
        clients.clear();
        stop(server);
    }
}

TEST_F(Console, QuitEndsWithStatusZeroClosesClientsAndRestoresTheTerminal) {
    termios before{};
    startOnTerminal();
    before = terminalMode();
    EXPECT_EQ(before.c_lflag & (ECHO | ICANON), 0u) << "raw while running";
    clients = joinClients(server.port, 2);
    pressKeys(server, "q");
    int status = waitExit(server);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    for (int fd : clients) {
        EXPECT_TRUE(seesEndOfStream(fd));
    }
    EXPECT_TRUE(terminalRestored());
}

TEST_F(Console, OnTheTerminalTheInterruptKeyIsJustAKey) {
    startOnTerminal();
    pressKeys(server, "\x03");
    if (underWine()) {
        // Wine delivers SIGINT as the console's Ctrl-C event, the way Ctrl-C
        // reaches a Windows program between two key reads.
        ::kill(server.pid, SIGINT);
    }
    std::size_t from = server.seen.size();
    pressKeys(server, "p");
    EXPECT_TRUE(waitForOutput(server, "#Port " + std::to_string(server.port), from)) << server.seen;
    pressKeys(server, "q");
    int status = waitExit(server);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// Signals whose default action ends the process, as a launcher or the
// operator sends them, real-time ones included. The ones that report a crash (SIGSEGV and the like)
// are left out: a sanitized build reports them as crashes.
const int ENDING_SIGNALS[] = {SIGTERM,   SIGHUP,  SIGINT,  SIGQUIT,  SIGUSR1, SIGUSR2, SIGALRM,
                              SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ,  SIGIO,   SIGPWR,  SIGSTKFLT,
                              SIGABRT,   SIGSYS,  SIGTRAP, SIGRTMIN, SIGRTMAX};

TEST_F(Console, ATerminatingSignalRestoresTheTerminalAndKeepsItsStatus) {
    if (underWine()) {
        GTEST_SKIP() << "Windows has no signals: Wine turns SIGINT into a Ctrl-C, which the "
                        "hub ignores, and ends the process itself on the others";
    }
    // With the screen suspended too: the terminal is restored without
    // waiting for the answer stuck in the output to drain.
    for (bool suspended : {false, true}) {
        for (int signalNumber : ENDING_SIGNALS) {
            SCOPED_TRACE(std::string(suspended ? "screen suspended, " : "") +
                         std::to_string(signalNumber));
            startOnTerminal();
            if (suspended) {
                ASSERT_TRUE(pressWithScreenSuspended("m"));
            }
            ::kill(server.pid, signalNumber);
            int status = waitExit(server);
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signalNumber) << status;
            tcflow(server.terminal, TCOON);
            EXPECT_TRUE(terminalRestored());
            stop(server);
        }
    }
}

// An interactive shell with job control, as the operator has it: started
// with &, the hub relays at once and leaves the terminal alone; fg gives it
// the keys; stopped from outside and brought back, it takes the terminal
// into key mode again and redraws its menu.
TEST_F(Console, JobControlNeverFreezesTheHubAndFgGivesItTheKeys) {
    if (underWine()) {
        GTEST_SKIP() << "Windows has no job control";
    }
    pid_t hub = -1;
    ASSERT_NO_FATAL_FAILURE(startInTheBackground(hub));
    sendBytes(clients[0], "from the background");
    EXPECT_EQ(receiveBytes(clients[1], 19), zeroLast("from the background"));
    EXPECT_TRUE(terminalRestored()) << "the shell's terminal is left as it is";

    std::size_t from = server.seen.size();
    pressKeys(server, "fg\n");
    EXPECT_TRUE(waitForOutput(server, SCREEN, from)) << server.seen.substr(from);
    EXPECT_TRUE(terminalBecomesRaw());
    const std::string count = SCREEN + "# User(s) 2\r\n";
    EXPECT_EQ(answer("n", count), count);

    for (int stop : {SIGTSTP, SIGSTOP}) {
        SCOPED_TRACE(stop == SIGSTOP ? "SIGSTOP" : "SIGTSTP");
        from = server.seen.size();
        ::kill(hub, stop);
        ASSERT_TRUE(waitForOutput(server, "Stopped", from)) << server.seen.substr(from);
        ASSERT_TRUE(waitForOutput(server, "$ ", from));
        EXPECT_TRUE(terminalRestored()) << "the shell has its terminal back as it was";
        from = server.seen.size();
        pressKeys(server, "fg\n");
        EXPECT_TRUE(waitForOutput(server, SCREEN, from)) << "redrawn: " << server.seen.substr(from);
        EXPECT_TRUE(terminalBecomesRaw()) << "in key mode again";
        EXPECT_EQ(answer("n", count), count) << "a key acts without Enter";
    }

    from = server.seen.size();
    pressKeys(server, "q");
    ASSERT_TRUE(waitForOutput(server, "$ ", from));
    failOnReport(hub);
    pressKeys(server, "echo status=$?\n");
    EXPECT_TRUE(waitForOutput(server, "status=0", from)) << server.seen.substr(from);
    EXPECT_TRUE(terminalRestored());
    pressKeys(server, "exit\n");
    EXPECT_NE(waitExit(server), -1);
}

// `&`, later fg, and a key at once. bash hands a job that runs the terminal
// without continuing it, so the key reaches the terminal before the hub has
// taken it, while the terminal's signal keys are still on: Ctrl-C,
// Ctrl-Backslash and Ctrl-Z must not end or stop the hub then either, and a letter typed
// then must act once the hub has the keys.
TEST_F(Console, AKeyTypedAtOnceAfterFgIsOnlyAKey) {
    if (underWine()) {
        GTEST_SKIP() << "Windows has no job control";
    }
    pid_t hub = -1;
    ASSERT_NO_FATAL_FAILURE(startInTheBackground(hub));
    const std::string count = SCREEN + "# User(s) 2\r\n";
    const std::pair<const char*, std::string> KEYS[] = {
        {"Ctrl-C", "\x03"}, {"Ctrl-\\", "\x1c"}, {"Ctrl-Z", "\x1a"}, {"n, which answers", "n"}};
    for (const auto& row : KEYS) {
        SCOPED_TRACE(row.first);
        std::size_t from = server.seen.size();
        pressKeys(server, "fg\n");
        ASSERT_TRUE(foregroundBecomes(hub)) << server.seen.substr(from);
        pressKeys(server, row.second);

        sendBytes(clients[0], "still relaying");
        EXPECT_EQ(receiveBytes(clients[1], 14), zeroLast("still relaying"));
        EXPECT_TRUE(terminalBecomesRaw()) << "the hub has the keys";
        if (row.second == "n") {
            EXPECT_TRUE(waitForOutput(server, count, from)) << server.seen.substr(from);
        } else {
            EXPECT_TRUE(waitForOutput(server, SCREEN, from)) << "redrawn";
            EXPECT_EQ(answer("n", count), count);
        }

        // Back to the shell, and the hub into the background again.
        from = server.seen.size();
        ::kill(hub, SIGTSTP);
        ASSERT_TRUE(waitForOutput(server, "Stopped", from)) << server.seen.substr(from);
        ASSERT_TRUE(waitForOutput(server, "$ ", from));
        from = server.seen.size();
        pressKeys(server, "bg\n");
        ASSERT_TRUE(waitForOutput(server, "$ ", from)) << server.seen.substr(from);
    }
    ::kill(hub, SIGTERM);
    failOnReport(hub);
}

// `velloran PORT | tee ... &`, fg, and Ctrl-Z after a delay that changes
// from round to round. Typed while the terminal still turns it into a stop
// for the whole job, it stops tee as well as reaching the hub, which takes
// it as a key: the hub continues tee, or bash, which still counts the job as
// running, never would. The hub's screen reaches the terminal through tee,
// so it shows only while tee runs; the key itself shows nothing.
TEST_F(Console, CtrlZAfterFgNeverLeavesTheRestOfAPipelineStopped) {
    if (underWine()) {
        GTEST_SKIP() << "Windows has no job control";
    }
    pid_t hub = -1;
    ASSERT_NO_FATAL_FAILURE(startInTheBackground(hub, "$HUB | tee /dev/null"));
    const pid_t tee = lastInJob;
    const std::string piped = menu("\r\n");
    const std::string count = piped + "# User(s) 2\r\n";
    // Around the time the hub takes to notice the terminal is its own.
    for (int delayMs : {0, 0, 1, 2, 4, 7, 10, 15, 25}) {
        SCOPED_TRACE("Ctrl-Z " + std::to_string(delayMs) + " ms after fg");
        std::size_t from = server.seen.size();
        pressKeys(server, "fg\n");
        ASSERT_TRUE(foregroundBecomes(hub)) << server.seen.substr(from);
        // The delay is the case itself.
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        pressKeys(server, "\x1a");

        EXPECT_TRUE(terminalBecomesRaw()) << "the hub has the keys";
        ASSERT_TRUE(eventually([tee] { return !isStopped(tee); })) << "tee left stopped";
        EXPECT_TRUE(waitForOutput(server, piped, from)) << server.seen.substr(from);
        EXPECT_EQ(answer("n", count), count);
        std::string shown = server.seen.substr(from);
        EXPECT_EQ(std::count(shown.begin(), shown.end(), '='), 2 * 2 * 40)
            << "one redraw for fg and one for n, none for the key: " << shown;

        // The whole job stopped from outside, and into the background again.
        from = server.seen.size();
        ::kill(-hub, SIGTSTP);
        ASSERT_TRUE(waitForOutput(server, "Stopped", from)) << server.seen.substr(from);
        ASSERT_TRUE(waitForOutput(server, "$ ", from));
        from = server.seen.size();
        pressKeys(server, "bg\n");
        ASSERT_TRUE(waitForOutput(server, "$ ", from)) << server.seen.substr(from);
    }
    ::kill(-hub, SIGTERM);
    failOnReport(hub);
}

// How long the fault library holds the hub's first change of the
// terminal's mode back.
constexpr int MODE_CHANGE_HELD_MS = 3000;

// The same pipeline, its hub's first change of the terminal's mode held back
// after fg, and a stop from outside aimed at the whole job meanwhile: the
// shell takes the terminal back, and bg continues the job in the background,
// where the change, made at last, is refused, and the kernel stops the whole
// job for it. The hub continues the rest of its job, leaves the shell's mode
// alone, and the next fg gives it the keys.
TEST_F(Console, AStopAimedAtTheModeChangeNeverLeavesTheRestOfAPipelineStopped) {
    if (underWine()) {
        GTEST_SKIP() << "Windows has no job control";
    }
    // Typed into the shell: the library and the hold for the hub alone, its
    // sanitizer's settings (where reports go) kept; AddressSanitizer insists
    // on coming first, and the library only forwards to it.
    const std::string slowed = std::string("LD_PRELOAD=") + VELLORAN_FAULT_LIBRARY +
                               " ASAN_OPTIONS=\"$ASAN_OPTIONS:verify_asan_link_order=0\"" +
                               " VELLORAN_FAULT_TCSETATTR=0@1/" +
                               std::to_string(MODE_CHANGE_HELD_MS) + " $HUB | tee /dev/null";
    const std::string piped = menu("\r\n");
    const std::string count = piped + "# User(s) 2\r\n";
    for (int stopSignal : {SIGSTOP, SIGTSTP}) {
        SCOPED_TRACE(stopSignal == SIGSTOP ? "SIGSTOP" : "SIGTSTP");
        pid_t hub = -1;
        ASSERT_NO_FATAL_FAILURE(startInTheBackground(hub, slowed));
        const pid_t tee = lastInJob;
        std::size_t from = server.seen.size();
        pressKeys(server, "fg\n");
        ASSERT_TRUE(foregroundBecomes(hub)) << server.seen.substr(from);
        ASSERT_TRUE(eventually([hub] { return aThreadIsHeld(hub); })) << "no mode change began";
        ::kill(-hub, stopSignal);
        ASSERT_TRUE(waitForOutput(server, "Stopped", from)) << server.seen.substr(from);
        ASSERT_TRUE(waitForOutput(server, "$ ", server.seen.find("Stopped", from)));
        from = server.seen.size();
        pressKeys(server, "bg\n");
        ASSERT_TRUE(waitForOutput(server, "$ ", from)) << server.seen.substr(from);

        // The held change ends in the background, refused.
        EXPECT_TRUE(eventually([hub] { return !aThreadIsHeld(hub); }));
        ASSERT_TRUE(eventually([tee] { return !isStopped(tee); })) << "tee left stopped";
        EXPECT_TRUE(terminalRestored()) << "the shell's mode is left alone";
        sendBytes(clients[0], "still relaying");
        EXPECT_EQ(receiveBytes(clients[1], 14), zeroLast("still relaying"));

        from = server.seen.size();
        pressKeys(server, "fg\n");
        EXPECT_TRUE(waitForOutput(server, piped, from)) << server.seen.substr(from);
        EXPECT_TRUE(terminalBecomesRaw());
        EXPECT_EQ(answer("n", count), count);
        from = server.seen.size();
        pressKeys(server, "q");
        EXPECT_TRUE(waitForOutput(server, "$ ", from)) << server.seen.substr(from);
        failOnReport(hub);
        EXPECT_FALSE(isStopped(tee));
        for (int fd : clients) {
            ::close(fd);
        }
        clients.clear();
        stop(server);
    }
}

// A shell's fg, a stop a few microseconds later, its bg: whatever the hub
// was doing with the terminal when it stopped, the shell keeps its own mode,
// and the hub's end from the background leaves that mode alone.
TEST(JobControl, NoOrderOfFgStopAndBgLeavesTheShellsTerminalInKeyMode) {
    if (underWine()) {
        GTEST_SKIP() << "Windows has no job control";
    }
#ifdef VELLORAN_THREAD_SANITIZER
    GTEST_SKIP() << "ThreadSanitizer holds a signal back until its own next safe point, so "
                    "the stop no longer lands at the offset the round chose";
#endif
    const int ROUNDS = 300;
    JobControlPlay play = playJobControl(freePort(), ROUNDS);
    EXPECT_EQ(play.rounds, ROUNDS);
    EXPECT_EQ(play.leftInServerMode, 0);
    EXPECT_TRUE(play.keptAfterEnd);
}

// A launcher that set a terminating signal to "ignore" (nohup, a shell
// starting a background job) keeps it ignored.
TEST_F(Console, ASignalTheLauncherIgnoresStaysIgnored) {
    if (underWine()) {
        GTEST_SKIP() << "Windows has no signal dispositions to inherit";
    }
    for (int signalNumber : {SIGTERM, SIGHUP, SIGINT, SIGQUIT}) {
        SCOPED_TRACE(signalNumber);
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        struct sigaction before {};
        ::sigaction(signalNumber, &ignore, &before);
        startOnTerminal();
        ::sigaction(signalNumber, &before, nullptr);
        ::kill(server.pid, signalNumber);
        const std::string port = screen + "#Port " + std::to_string(server.port) + newline;
        EXPECT_EQ(answer("p", port), port);
        pressKeys(server, "q");
        int status = waitExit(server);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_TRUE(terminalRestored());
        stop(server);
    }
}

// Keys from a descriptor that is non-blocking, as some launchers hand over:
// the console waits for them, without spinning, and they all act.
TEST_F(Console, ANonBlockingKeySourceStillWaitsForKeys) {
    for (Keys keys : pipeAndTerminal(Keys::NonBlockingPipe)) {
        SCOPED_TRACE(keys == Keys::Terminal ? "terminal" : "pipe");
        startWith(keys);
        if (keys == Keys::Terminal) {
            // The same open terminal as the server's standard input.
            ::fcntl(server.terminal, F_SETFL, ::fcntl(server.terminal, F_GETFL) | O_NONBLOCK);
        }
        const std::string count = screen + "# User(s) 0" + newline;
        EXPECT_EQ(answer("n", count), count);
        double cpuBefore = cpuSeconds(server.pid);
        // The measurement itself: one idle second.
        std::this_thread::sleep_for(std::chrono::seconds(1));
        EXPECT_LT(cpuSeconds(server.pid) - cpuBefore, 0.2) << "the console must not spin";
        EXPECT_EQ(answer("n", count), count);
        pressKeys(server, "q");
        int status = waitExit(server);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        if (keys == Keys::Terminal) {
            EXPECT_TRUE(terminalRestored());
        }
        stop(server);
    }
}

struct PortLine {
    std::string argument;
    std::string line;
};

TEST_F(Console, PortShowsTheNumberAsGivenNotAsBound) {
    const PortLine PORTS[] = {
        {"70000", "#Port 70000\n"},            // listens on 4464
        {"abc", "#Port 0\n"},                  // the stack picks a free port
        {"99999999999", "#Port 2147483647\n"}, // listens on 65535
    };
    for (const PortLine& row : PORTS) {
        SCOPED_TRACE(row.argument);
        server = start({row.argument}, Keys::Pipe);
        if (!waitForOutput(server, menu("\n"))) {
            // Only a port taken on this machine may keep the menu away, and
            // then the bind line says so.
            std::string errors = readToEnd(server.errors);
            EXPECT_NE(errors.find("Le bind du socket server1 n'a pas fonctionne"),
                      std::string::npos)
                << "no menu, and no bind line: " << server.seen << errors;
            std::printf("skipped %s: its port is taken on this machine\n", row.argument.c_str());
            stop(server);
            continue;
        }
        pressKeys(server, "p");
        EXPECT_TRUE(waitForOutput(server, menu("\n") + row.line, menu("\n").size())) << server.seen;
        stop(server);
    }
}

TEST_F(Console, APipeDrivesItAndItsEndLeavesTheRelayRunningIdle) {
    server = startOnFreePort(Keys::Pipe);
    ASSERT_GT(server.pid, 0);
    pressKeys(server, "xnp");
    std::string expected = menu("\n") + menu("\n") + "# User(s) 0\n" + menu("\n") + "#Port " +
                           std::to_string(server.port) + "\n";
    EXPECT_TRUE(waitForOutput(server, expected)) << server.seen;
    EXPECT_EQ(server.seen.find(CLEAR), std::string::npos) << "no escapes into a pipe";

    ::close(server.keys); // end of input
    server.keys = -1;
    clients = joinClients(server.port, 2);
    ASSERT_EQ(clients.size(), 2u);
    double cpuBefore = cpuSeconds(server.pid);
    // The measurement itself: two idle seconds.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_LT(cpuSeconds(server.pid) - cpuBefore, 0.2) << "the console must not spin";
    sendBytes(clients[0], "after the keys");
    EXPECT_EQ(receiveBytes(clients[1], 14), zeroLast("after the keys"));
    EXPECT_TRUE(isRunning(server));
}

// Every byte value 0 to 255 through each key source: only the five letters
// act, and the end of a piped key source leaves the hub relaying.
TEST_F(Console, EveryByteIsAKeyAndOnlyTheFiveLettersAct) {
    std::string others;
    for (int byte = 0; byte < 256; ++byte) {
        if (std::string("LMNPQlmnpq").find(static_cast<char>(byte)) == std::string::npos) {
            others += static_cast<char>(byte);
        }
    }
    for (Keys keys : pipeAndTerminal(Keys::Pipe)) {
        SCOPED_TRACE(keys == Keys::Terminal ? "terminal" : "pipe");
        startWith(keys);
        const std::string count = screen + "# User(s) 0" + newline;
        const KeyAnswer ANSWERS[] = {
            {"all other bytes show nothing", others + "n", count},
            {"list", "l", screen},
            {"menu", "M", screen},
            {"count", "N", count},
            {"port", "p", screen + "#Port " + std::to_string(server.port) + newline},
        };
        for (const KeyAnswer& row : ANSWERS) {
            SCOPED_TRACE(row.name);
            EXPECT_EQ(answer(row.keys, row.screen), row.screen);
        }
        EXPECT_TRUE(isRunning(server));
        if (keys == Keys::Terminal) {
            pressKeys(server, "Q");
            int status = waitExit(server);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        } else {
            ::close(server.keys);
            server.keys = -1;
            clients = joinClients(server.port, 2);
            ASSERT_EQ(clients.size(), 2u);
            sendBytes(clients[1], "on");
            EXPECT_EQ(receiveBytes(clients[0], 2), zeroLast("on"));
            EXPECT_TRUE(isRunning(server));
        }
        stop(server);
    }
}

} // namespace
