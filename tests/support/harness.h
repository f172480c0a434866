// Test harness for the end-to-end suites: runs the real server as a child
// process and talks to it over loopback sockets, a pipe or a pseudo-terminal.
// Every wait has a deadline; nothing sleeps blindly.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace harness {

constexpr int DEADLINE_MS = 5000;

// Where the server's keys come from. A non-blocking pipe is what some
// launchers hand their children.
enum class Keys { None, Pipe, NonBlockingPipe, Terminal };

struct Server {
    pid_t pid = -1;
    int keys = -1;     // write end for keys: a pipe, or the terminal's master side
    int output = -1;   // standard output (on a terminal: the master side, which carries both)
    int errors = -1;   // standard error, unless on a terminal
    int terminal = -1; // the terminal's server side, kept open to read its mode
    int port = 0;      // the port it was asked for, when the test chose a free one
    std::string seen;  // everything read from `output` so far, as Linux writes it
    std::string held;  // read from `output` but not yet in `seen`: an unfinished sequence
};

// The server command: $VELLORAN_SERVER split at spaces (it may start with a
// launcher such as wine), or the binary this build made.
std::vector<std::string> serverCommand();
// True when that command runs the Windows build under Wine.
bool underWine();

// How the server process is set up, beyond its arguments and keys.
struct Launch {
    int descriptorLimit = 0;              // above 0: caps its open files (soft and hard)
    std::vector<std::string> environment; // NAME=value pairs added to its environment
    std::vector<int> closedStreams;       // standard descriptors it starts without
    // With Keys::Terminal: an interactive shell with job control runs on the
    // terminal instead, with the server command and its arguments in $HUB,
    // for the test to type as an operator would.
    bool inShell = false;
};

// Starts the server with these arguments. Returns pid -1 on failure. A
// descriptorLimit above 0 caps the server's open files (soft and hard).
Server start(const std::vector<std::string>& arguments, Keys keys, int descriptorLimit = 0);
Server start(const std::vector<std::string>& arguments, Keys keys, const Launch& launch);
// Picks a free port, starts the server on it and waits until it listens.
Server startOnFreePort(Keys keys);
// Ends the server if it still runs and closes its descriptors. In a sanitized
// build, reaping the server (here or in waitExit) fails the running test if
// the server wrote a sanitizer report.
void stop(Server& server);
// In a sanitized build, fails the running test if process `pid` (a server
// that a shell started) wrote a report.
void failOnReport(pid_t pid);
// Waits for the process to end; returns its wait status, or -1 on timeout.
int waitExit(Server& server, int deadlineMs = DEADLINE_MS);
bool isRunning(const Server& server);
// True once a server this process started and has not reaped was killed by
// a signal: every wait then ends at once, so a crashed hub fails the suite
// in seconds. Test programs ignore SIGPIPE from the first start on, so keys
// written to a dead server cannot end them before they report.
bool aServerCrashed();

// Reads output until `needle` has appeared after `from` (an index into seen).
bool waitForOutput(Server& server, const std::string& needle, std::size_t from = 0,
                   int deadlineMs = DEADLINE_MS);
// Reads standard output or error (not a terminal) to end of file.
std::string readToEnd(int fd, int deadlineMs = DEADLINE_MS);
void pressKeys(const Server& server, const std::string& keys);

int freePort();
// Watches the system's socket table rather than connecting, so no phantom
// client ever shows up in the server's count.
bool waitUntilListening(int port, int deadlineMs = DEADLINE_MS);
// Until no listener holds the port. A server's exit does not say that its
// sockets are closed under Wine: the Wine server closes them afterwards, one
// by one and late when the machine is busy, the listener often after the
// connections.
bool waitUntilNotListening(int port, int deadlineMs = DEADLINE_MS);
// True while a connection whose local end is on `port` is still in the
// system's table: open, or waiting out its close there (TIME_WAIT).
bool connectionsLinger(int port);

// A client socket connected to 127.0.0.1:port, or -1. A receiveBuffer above
// 0 sets its receive buffer size before it connects.
int connectTo(int port, int receiveBuffer = 0);
// The same to another local address, such as "127.0.0.2".
int connectToAddress(const char* ipv4, int port);
// How many connections the listener on `port` may queue, as the kernel
// holds it (capped by net.core.somaxconn), or -1 when none is found.
int listenQueueLength(int port);
// The socket inode of the server's side of the connection from clientPort
// to port, from the system's socket table; 0 when none.
unsigned long serverSideInode(int port, int clientPort);
void sendBytes(int fd, const std::string& bytes);
// Exactly `count` bytes, or fewer if the deadline passes or the stream ends.
std::string receiveBytes(int fd, std::size_t count, int deadlineMs = DEADLINE_MS);
// Makes the client's close a reset: the hub's next send to it finds it broken.
void resetOnClose(int fd);
// Closes the client with a reset.
void resetConnection(int fd);
// True when the peer closes the stream (or resets it) before the deadline.
bool seesEndOfStream(int fd, int deadlineMs = DEADLINE_MS);
// True when the stream ends in a reset (not an orderly close) before the
// deadline; the bytes still queued ahead of it are read and dropped.
bool seesReset(int fd, int deadlineMs = DEADLINE_MS);

// Connects `count` clients one after another and proves each is registered:
// a new client's one-byte probe must reach every earlier client, which reads
// it (a single zero byte). The probe reaching the first client proves the
// first registered too, so with count >= 2 every client is.
std::vector<int> joinClients(int port, int count);
// Sends the probe from `fd` and has every registered client read it; false
// when one did not get it. joinClients then stops, returning fewer clients.
bool proveRegistered(int fd, const std::vector<int>& registered);

std::string zeroLast(std::string bytes);

// The count the console shows for key n (read through a pipe or a
// terminal), or -1 when no answer came.
long shownUserCount(Server& server);
// How many users key l lists (through a pipe), or -1 when no answer came.
long listedUserCount(Server& server);
// Presses n until the console shows `count`; false at the deadline.
bool userCountBecomes(Server& server, long count, int deadlineMs = DEADLINE_MS);

// A shell's job control against the server, played `rounds` times on a
// terminal of the harness's own: fg (the terminal handed over, then a
// continue), a stop (SIGTSTP, every third round SIGSTOP) after a number of
// microseconds that changes from round to round, the terminal taken back in the shell's mode, bg.
// After each round, with the server stopped again from the background, the terminal must be in the
// shell's mode; and still after SIGTERM ends the server from the background.
struct JobControlPlay {
    int rounds = 0;            // rounds played to the end
    int leftInServerMode = 0;  // rounds after which the shell found the terminal changed
    bool keptAfterEnd = false; // the shell's mode survived the server's end
    pid_t server = -1;
};
JobControlPlay playJobControl(int port, int rounds);

// Seconds of CPU the process has used (user + system), from /proc.
double cpuSeconds(pid_t pid);

} // namespace harness
