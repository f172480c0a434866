#include "support/harness.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <utmp.h>

#ifndef VELLORAN_BINARY
#error "VELLORAN_BINARY must name the server binary under test"
#endif

namespace harness {

using Clock = std::chrono::steady_clock;

static int remainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

static Clock::time_point after(int ms) { return Clock::now() + std::chrono::milliseconds(ms); }

// ---- Servers that crash -------------------------------------------------------
// Every server this process started and has not reaped; one found killed by
// a signal is kept as its negated pid. A wait that finds one killed ends at
// once: what it waits for will not come, and a suite must fail in seconds
// rather than run every wait to its deadline.
constexpr int MAX_WATCHED = 64;
static pid_t watched[MAX_WATCHED];
constexpr int WATCH_SLICE_MS = 100;

static void watch(pid_t pid) {
    for (pid_t& slot : watched) {
        if (slot == 0) {
            slot = pid;
            return;
        }
    }
}

static void unwatch(pid_t pid) {
    for (pid_t& slot : watched) {
        if (slot == pid || slot == -pid) {
            slot = 0;
        }
    }
}

// Looks without reaping, so that whoever reaps still sees the status. Says
// once which server died, since the failures that follow cannot.
bool aServerCrashed() {
    for (pid_t& slot : watched) {
        if (slot < 0) {
            return true;
        }
        siginfo_t info{};
        if (slot == 0 ||
            ::waitid(P_PID, static_cast<id_t>(slot), &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
            info.si_pid == 0 || (info.si_code != CLD_KILLED && info.si_code != CLD_DUMPED)) {
            continue;
        }
        std::fprintf(stderr, "the server (pid %d) was killed by signal %d: not waiting for it\n",
                     static_cast<int>(slot), info.si_status);
        std::fflush(stderr);
        slot = -slot;
        return true;
    }
    return false;
}

// Waits until fd is readable; false at the deadline, or as soon as a server
// this process started is found killed.
static bool readable(int fd, Clock::time_point deadline) {
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        int left = remainingMs(deadline);
        // Once a server is known dead, only what has already come is read.
        bool dead = std::find_if(std::begin(watched), std::end(watched),
                                 [](pid_t slot) { return slot < 0; }) != std::end(watched);
        int r = ::poll(&p, 1, dead ? 0 : std::min(left, WATCH_SLICE_MS));
        if (r > 0) {
            return true;
        }
        if (r < 0 && errno != EINTR) {
            return false;
        }
        if (r == 0 && (dead || left <= WATCH_SLICE_MS || aServerCrashed())) {
            return false;
        }
    }
}

std::vector<std::string> serverCommand() {
    const char* configured = std::getenv("VELLORAN_SERVER");
    std::vector<std::string> words;
    std::istringstream in(configured != nullptr && *configured != '\0' ? configured
                                                                       : VELLORAN_BINARY);
    for (std::string word; in >> word;) {
        words.push_back(word);
    }
    return words;
}

// ---- Sanitizer reports of the server ---------------------------------------
// In a sanitized build the server writes any report to a file of its own
// rather than to its standard error, which a test may never read (or which
// is a terminal). Whoever reaps the server checks for that file, so a report
// fails the test that ran the server, however the server ended.
#ifndef VELLORAN_SANITIZER_REPORTS
#error "VELLORAN_SANITIZER_REPORTS must name the report folder, or be empty"
#endif

static bool sanitized() { return VELLORAN_SANITIZER_REPORTS[0] != '\0'; }

static std::string reportPath(pid_t pid) {
    return std::string(VELLORAN_SANITIZER_REPORTS) + "/server." + std::to_string(pid);
}

// Called in the child before exec: appends the report file to each
// sanitizer's settings; the last setting of a name wins.
static void sendReportsToFile() {
    // cppcheck-suppress knownConditionTrueFalse ; fixed per build, not per run
    if (!sanitized()) {
        return;
    }
    ::mkdir(VELLORAN_SANITIZER_REPORTS, 0755);
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"}) {
        const char* current = std::getenv(name);
        std::string options = current != nullptr ? current : "";
        options += ":log_path=" + std::string(VELLORAN_SANITIZER_REPORTS) + "/server";
        ::setenv(name, options.c_str(), 1);
    }
}

void failOnReport(pid_t pid) {
    // cppcheck-suppress knownConditionTrueFalse ; fixed per build, not per run
    if (!sanitized()) {
        return;
    }
    std::ifstream report(reportPath(pid));
    if (report) {
        std::string text((std::istreambuf_iterator<char>(report)),
                         std::istreambuf_iterator<char>());
        ADD_FAILURE() << "the server reported:\n" << text;
        std::remove(reportPath(pid).c_str());
    }
}

// Lowers both open-file limits, so the server cannot raise its own past them.
static void limitDescriptors(int limit) {
    if (limit > 0) {
        rlimit lowered{static_cast<rlim_t>(limit), static_cast<rlim_t>(limit)};
        ::setrlimit(RLIMIT_NOFILE, &lowered);
    }
}

bool underWine() {
    std::vector<std::string> words = serverCommand();
    const std::string launcher = words.empty() ? "" : words.front();
    const std::string name = launcher.substr(launcher.rfind('/') + 1);
    return name == "wine" || name == "wine64";
}

// The server's output as the Linux build writes it, whichever build runs.
// Under Wine lines end in CR LF, and a terminal shows Wine's own drawing of
// its console: escape sequences around the text, a cursor moved right over
// blanks. What remains there is the visible text, a cleared screen showing
// as blank lines. Consumes `bytes` up to an unfinished sequence at its end,
// which stays for the next call; returns the text.
static std::string normaliseOutput(std::string& bytes, bool terminal) {
    std::string text;
    if (!underWine()) {
        text.swap(bytes);
        return text;
    }
    std::size_t i = 0;
    for (; i < bytes.size(); ++i) {
        char c = bytes[i];
        if (c == '\r') {
            if (terminal || (i + 1 < bytes.size() && bytes[i + 1] == '\n')) {
                continue;
            }
            if (i + 1 == bytes.size()) {
                break; // its line feed may come with the next read
            }
        }
        if (terminal && c == '\033') {
            std::size_t end =
                bytes.find_first_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz", i + 2);
            if (end == std::string::npos) {
                break;
            }
            if (bytes[end] == 'C') { // the cursor moved right over blank cells
                int cells = static_cast<int>(std::strtol(bytes.c_str() + i + 2, nullptr, 10));
                text.append(static_cast<std::size_t>(cells > 0 ? cells : 1), ' ');
            }
            i = end;
            continue;
        }
        text += c;
    }
    bytes.erase(0, i);
    return text;
}

[[noreturn]] static void execServer(const std::vector<std::string>& arguments,
                                    const Launch& launch) {
    ::signal(SIGPIPE, SIG_DFL); // as any launcher leaves it
    std::vector<std::string> words = serverCommand();
    words.insert(words.end(), arguments.begin(), arguments.end());
    if (launch.inShell) {
        std::string hub;
        for (const std::string& word : words) {
            hub += (hub.empty() ? "" : " ") + word;
        }
        ::setenv("HUB", hub.c_str(), 1);
        ::setenv("PS1", "$ ", 1);
        // No line editing: the shell reads its lines in the terminal's own mode.
        words = {"bash", "--norc", "--noprofile", "--noediting", "-i"};
    }
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    // The test's settings first, so the report file is added to them.
    for (const std::string& setting : launch.environment) {
        std::size_t equals = setting.find('=');
        ::setenv(setting.substr(0, equals).c_str(), setting.substr(equals + 1).c_str(), 1);
    }
    sendReportsToFile();
    // Whatever the test runner left open is not the server's: it starts with
    // its standard streams only, so its descriptor count means something.
    ::close_range(3, ~0U, 0);
    limitDescriptors(launch.descriptorLimit);
    for (int stream : launch.closedStreams) {
        ::close(stream);
    }
    ::execvp(argv[0], argv.data());
    _exit(127);
}

Server start(const std::vector<std::string>& arguments, Keys keys, int descriptorLimit) {
    Launch launch;
    launch.descriptorLimit = descriptorLimit;
    return start(arguments, keys, launch);
}

Server start(const std::vector<std::string>& arguments, Keys keys, const Launch& launch) {
    // Keys written to a server that died must fail the write, not end the
    // test program before it has said what went wrong.
    ::signal(SIGPIPE, SIG_IGN);
    Server server;
    if (keys == Keys::Terminal) {
        int master = -1;
        int terminal = -1;
        if (::openpty(&master, &terminal, nullptr, nullptr, nullptr) != 0) {
            return server;
        }
        ::fcntl(master, F_SETFD, FD_CLOEXEC);
        pid_t pid = ::fork();
        if (pid == 0) {
            ::login_tty(terminal);
            execServer(arguments, launch);
        }
        watch(pid);
        server.pid = pid;
        server.keys = master;
        server.output = master;
        server.terminal = terminal;
        return server;
    }
    bool piped = keys == Keys::Pipe || keys == Keys::NonBlockingPipe;
    int in[2] = {-1, -1};
    int out[2];
    int err[2];
    if ((piped && ::pipe2(in, O_CLOEXEC) != 0) || ::pipe2(out, O_CLOEXEC) != 0 ||
        ::pipe2(err, O_CLOEXEC) != 0) {
        return server;
    }
    if (keys == Keys::NonBlockingPipe) {
        ::fcntl(in[0], F_SETFL, O_NONBLOCK);
    }
    pid_t pid = ::fork();
    if (pid == 0) {
        int input = piped ? in[0] : ::open("/dev/null", O_RDONLY);
        ::dup2(input, 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        execServer(arguments, launch);
    }
    if (piped) {
        ::close(in[0]);
    }
    ::close(out[1]);
    ::close(err[1]);
    watch(pid);
    server.pid = pid;
    server.keys = in[1];
    server.output = out[0];
    server.errors = err[0];
    return server;
}

Server startOnFreePort(Keys keys) {
    int port = freePort();
    Server server = start({std::to_string(port)}, keys);
    server.port = port;
    if (server.pid > 0 && !waitUntilListening(port)) {
        stop(server);
        server.pid = -1;
    }
    return server;
}

// Looks without reaping, so that whoever reaps still sees the status.
bool isRunning(const Server& server) {
    siginfo_t info{};
    return server.pid > 0 &&
           ::waitid(P_PID, static_cast<id_t>(server.pid), &info, WEXITED | WNOHANG | WNOWAIT) ==
               0 &&
           info.si_pid == 0;
}

int waitExit(Server& server, int deadlineMs) {
    auto deadline = after(deadlineMs);
    for (;;) {
        int status = 0;
        pid_t r = ::waitpid(server.pid, &status, WNOHANG);
        if (r == server.pid) {
            unwatch(server.pid);
            failOnReport(server.pid);
            server.pid = -1;
            return status;
        }
        if (r < 0 || remainingMs(deadline) == 0) {
            return -1;
        }
        // Polling a child's exit has no descriptor to wait on.
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// A coverage build's server writes its counters when a terminating signal
// ends it, which SIGKILL would not let it do.
static void endServer(Server& server) {
#ifdef VELLORAN_COVERAGE
    if (::kill(server.pid, SIGTERM) == 0 && waitExit(server, DEADLINE_MS) != -1) {
        return;
    }
#endif
    ::kill(server.pid, SIGKILL);
    ::waitpid(server.pid, nullptr, 0);
    unwatch(server.pid);
    failOnReport(server.pid);
    server.pid = -1;
}

void stop(Server& server) {
    if (server.pid > 0) {
        endServer(server);
    }
    if (server.output == server.keys) {
        server.output = -1; // one terminal carries both
    }
    for (int* fd : {&server.keys, &server.output, &server.errors, &server.terminal}) {
        if (*fd >= 0) {
            ::close(*fd);
        }
        *fd = -1;
    }
}

bool waitForOutput(Server& server, const std::string& needle, std::size_t from, int deadlineMs) {
    auto deadline = after(deadlineMs);
    while (server.seen.find(needle, from) == std::string::npos) {
        if (!readable(server.output, deadline)) {
            return false;
        }
        char buffer[4096];
        ssize_t n = ::read(server.output, buffer, sizeof buffer);
        if (n <= 0) {
            return false;
        }
        server.held.append(buffer, static_cast<std::size_t>(n));
        server.seen += normaliseOutput(server.held, server.terminal >= 0);
    }
    return true;
}

std::string readToEnd(int fd, int deadlineMs) {
    auto deadline = after(deadlineMs);
    std::string text;
    while (readable(fd, deadline)) {
        char buffer[4096];
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
    std::string normal = normaliseOutput(text, false);
    return normal + text; // a lone CR at the very end stays one
}

void pressKeys(const Server& server, const std::string& keys) {
    ssize_t written = ::write(server.keys, keys.data(), keys.size());
    (void)written;
}

int freePort() {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        address.sin_port = 0; // no port to offer; the test then fails to find a listener
    }
    ::close(s);
    return ntohs(address.sin_port);
}

// Calls `visit` with each line of the system's IPv4 TCP socket table until
// it returns true; true if one did.
template <typename Visit> static bool findTcpEntry(Visit visit) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line); // the heading
    while (std::getline(table, line)) {
        if (visit(line)) {
            return true;
        }
    }
    return false;
}

// The table's code for a listener.
constexpr unsigned TCP_LISTEN = 0x0A;

// True when a socket whose local port is `port` is a listener (or, with
// `listener` false, a connection in any state).
static bool socketOnPort(int port, bool listener) {
    return findTcpEntry([port, listener](const std::string& line) {
        unsigned localPort = 0;
        unsigned state = 0;
        // "  0: 00000000:1388 00000000:0000 0A ..." : local address:port, remote, state.
        // NOLINTNEXTLINE(cert-err34-c): the kernel's own table, always well formed
        return std::sscanf(line.c_str(), " %*u: %*x:%x %*x:%*x %x", &localPort, &state) == 2 &&
               localPort == static_cast<unsigned>(port) && (state == TCP_LISTEN) == listener;
    });
}

static bool listening(int port) { return socketOnPort(port, true); }

// A listener gives no signal when it comes or goes: the table is looked at
// again and again until it shows what is awaited.
static bool waitUntilListenerIs(bool wanted, int port, int deadlineMs) {
    auto deadline = after(deadlineMs);
    while (listening(port) != wanted) {
        if (remainingMs(deadline) == 0) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

bool waitUntilListening(int port, int deadlineMs) {
    return waitUntilListenerIs(true, port, deadlineMs);
}

bool waitUntilNotListening(int port, int deadlineMs) {
    return waitUntilListenerIs(false, port, deadlineMs);
}

bool connectionsLinger(int port) { return socketOnPort(port, false); }

static int connectToIpv4(std::uint32_t ipv4, int port, int receiveBuffer) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBuffer > 0) {
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = ipv4;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

int connectTo(int port, int receiveBuffer) {
    return connectToIpv4(htonl(INADDR_LOOPBACK), port, receiveBuffer);
}

int connectToAddress(const char* ipv4, int port) {
    in_addr address{};
    return ::inet_pton(AF_INET, ipv4, &address) == 1 ? connectToIpv4(address.s_addr, port, 0) : -1;
}

int listenQueueLength(int port) {
    int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0) {
        return -1;
    }
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } ask{};
    ask.header.nlmsg_len = sizeof ask;
    ask.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    ask.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    ask.request.sdiag_family = AF_INET;
    ask.request.sdiag_protocol = IPPROTO_TCP;
    ask.request.idiag_states = 1u << 10; // TCP_LISTEN
    int length = -1;
    if (::send(fd, &ask, sizeof ask, 0) == static_cast<ssize_t>(sizeof ask)) {
        alignas(nlmsghdr) char answer[65536];
        ssize_t n;
        bool done = false;
        while (!done && (n = ::recv(fd, answer, sizeof answer, 0)) > 0) {
            auto left = static_cast<unsigned>(n);
            for (auto* message = reinterpret_cast<nlmsghdr*>(answer); NLMSG_OK(message, left);
                 message = NLMSG_NEXT(message, left)) {
                if (message->nlmsg_type == NLMSG_DONE || message->nlmsg_type == NLMSG_ERROR) {
                    done = true;
                    break;
                }
                const auto* socket = reinterpret_cast<const inet_diag_msg*>(
                    reinterpret_cast<const char*>(message) + NLMSG_HDRLEN);
                if (ntohs(socket->id.idiag_sport) == port) {
                    length = static_cast<int>(socket->idiag_wqueue); // the listener's backlog
                }
            }
        }
    }
    ::close(fd);
    return length;
}

unsigned long serverSideInode(int port, int clientPort) {
    unsigned long inode = 0;
    findTcpEntry([&](const std::string& line) {
        unsigned localPort = 0;
        unsigned remotePort = 0;
        unsigned long entry = 0;
        // local address:port, remote address:port, state, queues, timer,
        // retransmits, uid, timeout, inode.
        // The kernel's own table, always well formed.
        // NOLINTBEGIN(cert-err34-c)
        int fields =
            std::sscanf(line.c_str(), " %*u: %*x:%x %*x:%x %*x %*x:%*x %*x:%*x %*x %*u %*u %lu",
                        &localPort, &remotePort, &entry);
        // NOLINTEND(cert-err34-c)
        bool found = fields == 3 && localPort == static_cast<unsigned>(port) &&
                     remotePort == static_cast<unsigned>(clientPort);
        inode = found ? entry : 0;
        return found;
    });
    return inode;
}

void sendBytes(int fd, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return;
        }
        sent += static_cast<std::size_t>(n);
    }
}

std::string receiveBytes(int fd, std::size_t count, int deadlineMs) {
    auto deadline = after(deadlineMs);
    std::string bytes;
    while (bytes.size() < count && readable(fd, deadline)) {
        char buffer[65536];
        std::size_t want = std::min(sizeof buffer, count - bytes.size());
        ssize_t n = ::recv(fd, buffer, want, 0);
        if (n <= 0) {
            break;
        }
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    return bytes;
}

void resetOnClose(int fd) {
    linger abortive{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
}

void resetConnection(int fd) {
    resetOnClose(fd);
    ::close(fd);
}

bool seesEndOfStream(int fd, int deadlineMs) {
    auto deadline = after(deadlineMs);
    while (readable(fd, deadline)) {
        char buffer[4096];
        if (::recv(fd, buffer, sizeof buffer, 0) <= 0) {
            return true;
        }
    }
    return false;
}

bool seesReset(int fd, int deadlineMs) {
    auto deadline = after(deadlineMs);
    while (readable(fd, deadline)) {
        char buffer[65536];
        ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            return n < 0 && errno == ECONNRESET;
        }
    }
    return false;
}

bool proveRegistered(int fd, const std::vector<int>& registered) {
    sendBytes(fd, "p");
    // Stops at the first that misses it: the caller's own assertions on the
    // streams will show which.
    return std::all_of(registered.begin(), registered.end(),
                       [](int other) { return receiveBytes(other, 1) == std::string(1, '\0'); });
}

std::vector<int> joinClients(int port, int count) {
    std::vector<int> clients;
    for (int i = 0; i < count; ++i) {
        int fd = connectTo(port);
        if (fd < 0) {
            break;
        }
        // A probe that never arrives ends the joining: every later one would
        // wait its whole deadline for nothing.
        if (!clients.empty() && !proveRegistered(fd, clients)) {
            ::close(fd);
            break;
        }
        clients.push_back(fd);
    }
    return clients;
}

std::string zeroLast(std::string bytes) {
    if (!bytes.empty()) {
        bytes.back() = '\0';
    }
    return bytes;
}

double cpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // Fields after the command name, which ends with the last ')'.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    unsigned long long user = 0;
    unsigned long long system = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) {
            user = std::stoull(field);
        } else if (i == 15) {
            system = std::stoull(field);
        }
    }
    return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

} // namespace harness

// ---- Console answers ---------------------------------------------------------

namespace harness {

constexpr char USER_COUNT_LABEL[] = "# User(s) ";

// Presses `keys` and waits for `label` on the screen after them: where it
// shows in server.seen, or npos when it did not come.
static std::size_t pressForAnswer(Server& server, const std::string& keys,
                                  const std::string& label) {
    std::size_t from = server.seen.size();
    pressKeys(server, keys);
    return waitForOutput(server, label, from) ? server.seen.find(label, from) : std::string::npos;
}

long shownUserCount(Server& server) {
    std::size_t at = pressForAnswer(server, "n", USER_COUNT_LABEL);
    if (at == std::string::npos) {
        return -1;
    }
    at += sizeof USER_COUNT_LABEL - 1;
    if (!waitForOutput(server, "\n", at)) {
        return -1;
    }
    return std::strtol(server.seen.c_str() + at, nullptr, 10);
}

long listedUserCount(Server& server) {
    // The n pressed after l marks the end of the listing.
    std::size_t from = server.seen.size();
    std::size_t end = pressForAnswer(server, "ln", USER_COUNT_LABEL);
    if (end == std::string::npos) {
        return -1;
    }
    std::string listing = server.seen.substr(from, end - from);
    long users = 0;
    for (std::size_t at = listing.find("User "); at != std::string::npos;
         at = listing.find("User ", at + 1)) {
        ++users;
    }
    return users;
}

bool userCountBecomes(Server& server, long count, int deadlineMs) {
    auto deadline = after(deadlineMs);
    while (shownUserCount(server) != count) {
        if (remainingMs(deadline) == 0 || aServerCrashed()) {
            return false;
        }
        // The registry changes a moment after a client leaves.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

} // namespace harness

// ---- A shell's job control, played by the harness --------------------------

namespace harness {

// The shell's side of the terminal: a session of its own with the terminal
// as its controlling one, so that it may hand the terminal over.
static bool becomeShell(int terminal) {
    // A shell hands the terminal over from the background too.
    std::signal(SIGTTOU, SIG_IGN);
    return ::setsid() != -1 && ::ioctl(terminal, TIOCSCTTY, 0) == 0;
}

// False if the server ends instead (it is left to reap), or is still
// running at the deadline.
static bool waitStopped(pid_t server) {
    auto deadline = after(DEADLINE_MS);
    while (remainingMs(deadline) > 0) {
        siginfo_t info{};
        if (::waitid(P_PID, static_cast<id_t>(server), &info,
                     WSTOPPED | WEXITED | WNOHANG | WNOWAIT) != 0) {
            return false;
        }
        if (info.si_pid == server) {
            return info.si_code == CLD_STOPPED && ::waitpid(server, nullptr, WUNTRACED) == server;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return false;
}

// Takes the terminal back, in the mode the shell keeps for itself.
static void takeBack(int terminal, const termios& shellMode) {
    ::tcsetpgrp(terminal, ::getpgrp());
    ::tcsetattr(terminal, TCSANOW, &shellMode);
}

static bool inMode(int terminal, const termios& shellMode) {
    termios now{};
    const tcflag_t keyBits = ECHO | ICANON | ISIG;
    return ::tcgetattr(terminal, &now) == 0 &&
           (now.c_lflag & keyBits) == (shellMode.c_lflag & keyBits);
}

// What the server wrote goes nowhere, so that it never waits on a full terminal.
static void drain(int master) {
    char bytes[4096];
    while (::read(master, bytes, sizeof bytes) > 0) {
    }
}

// Spins rather than sleeps: a sleep this short lasts as long as the
// system's timer slack makes it.
static void waitMicroseconds(int microseconds) {
    auto until = Clock::now() + std::chrono::microseconds(microseconds);
    while (Clock::now() < until) {
    }
}

// The first fg, once the server has started: it takes the terminal, then
// it is stopped, and the shell has the terminal back.
static bool startInForeground(int master, int terminal, pid_t server, const termios& shellMode) {
    ::tcsetpgrp(terminal, server);
    ::kill(server, SIGCONT);
    auto deadline = after(DEADLINE_MS);
    while (inMode(terminal, shellMode) && remainingMs(deadline) > 0) {
        drain(master);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ::kill(server, SIGTSTP);
    bool stopped = waitStopped(server);
    takeBack(terminal, shellMode);
    return stopped && remainingMs(deadline) > 0;
}

// The rounds, from the shell's process; the server starts stopped in the
// background.
static JobControlPlay playRounds(int master, int terminal, pid_t server, int rounds) {
    JobControlPlay play;
    play.server = server;
    termios shellMode{};
    ::tcgetattr(terminal, &shellMode);
    if (!startInForeground(master, terminal, server, shellMode)) {
        return play;
    }
    for (int round = 0; round < rounds; ++round) {
        // fg: the terminal, then a continue.
        ::tcsetpgrp(terminal, server);
        ::kill(server, SIGCONT);
        waitMicroseconds(round * 7 % 250);
        // Mostly a stop the server can act on; sometimes one it cannot.
        ::kill(server, round % 3 == 2 ? SIGSTOP : SIGTSTP);
        if (!waitStopped(server)) {
            return play;
        }
        takeBack(terminal, shellMode);
        ::kill(server, SIGCONT); // bg
        // Long enough for a mode change the stop interrupted to finish.
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
        ::kill(server, SIGTSTP);
        if (!waitStopped(server)) {
            return play;
        }
        drain(master);
        ++play.rounds;
        if (!inMode(terminal, shellMode)) {
            ++play.leftInServerMode;
            ::tcsetattr(terminal, TCSANOW, &shellMode);
        }
    }
    ::kill(server, SIGTERM);
    ::kill(server, SIGCONT);
    siginfo_t ended{};
    ::waitid(P_PID, static_cast<id_t>(server), &ended, WEXITED | WNOWAIT);
    play.keptAfterEnd = inMode(terminal, shellMode);
    return play;
}

JobControlPlay playJobControl(int port, int rounds) {
    JobControlPlay play;
    int master = -1;
    int terminal = -1;
    int report[2];
    if (::openpty(&master, &terminal, nullptr, nullptr, nullptr) != 0 ||
        ::pipe2(report, O_CLOEXEC) != 0) {
        return play;
    }
    pid_t shell = ::fork();
    if (shell == 0) {
        if (!becomeShell(terminal)) {
            _exit(1);
        }
        ::fcntl(master, F_SETFL, O_NONBLOCK);
        pid_t server = ::fork();
        if (server == 0) {
            ::setpgid(0, 0);
            std::signal(SIGTTOU, SIG_DFL);
            ::kill(::getpid(), SIGSTOP); // until the shell has made it a job of its own
            for (int stream = 0; stream < 3; ++stream) {
                ::dup2(terminal, stream);
            }
            execServer({std::to_string(port)}, Launch{});
        }
        ::setpgid(server, server);
        waitStopped(server);
        play = playRounds(master, terminal, server, rounds);
        ::kill(server, SIGKILL); // if a round was cut short; it is not reaped before
        ::waitpid(server, nullptr, 0);
        ssize_t written = ::write(report[1], &play, sizeof play);
        _exit(written == sizeof play ? 0 : 1);
    }
    ::close(report[1]);
    ::close(terminal);
    // The master stays open until the shell is done, or the terminal hangs up.
    readable(report[0], after(60 * DEADLINE_MS));
    if (::read(report[0], &play, sizeof play) != sizeof play) {
        play = JobControlPlay{};
    }
    ::close(report[0]);
    ::waitpid(shell, nullptr, 0);
    ::close(master);
    if (play.server > 0) {
        failOnReport(play.server);
    }
    return play;
}

} // namespace harness
