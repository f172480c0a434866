// Failure paths that no client can force from outside, run by making the
// server's own calls fail: the fault-injection library (support/
// fault_injection.cpp) is preloaded into the server, and each case names the
// calls that fail and on which occurrence. Linux only.
//
// Occurrences follow from what the hub does, in order: at start it allocates
// the relay lock, the fan-out's send batch and the console thread's start
// record, then starts the console thread; the first client also makes the
// batch's room (for 64 sends, before its entry) and, after its worker's
// start record, the parking lock; each client costs four allocations of its own (its entry, its
// receive buffer, its worker's start record, its thread's first work), and
// a thread's start record and one thread start as long as no thread of an
// earlier client waits parked for it.

#include "server/worker_threads.h"
#include "support/harness.h"
#include "support/process_usage.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#ifndef VELLORAN_FAULT_LIBRARY
#error "VELLORAN_FAULT_LIBRARY must name the fault-injection library"
#endif

using namespace harness;

namespace {

// The environment that preloads the library and sets these faults.
Launch withFaults(const std::vector<std::string>& faults) {
    Launch launch;
    launch.environment = faults;
    launch.environment.push_back(std::string("LD_PRELOAD=") + VELLORAN_FAULT_LIBRARY);
    // AddressSanitizer insists on coming first; the library only forwards to it.
    const char* options = std::getenv("ASAN_OPTIONS");
    launch.environment.push_back(std::string("ASAN_OPTIONS=") +
                                 (options != nullptr ? options : "") + ":verify_asan_link_order=0");
    return launch;
}

int exitStatus(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

class FaultInjection : public ::testing::Test {
  protected:
    void SetUp() override {
        if (underWine()) {
            GTEST_SKIP() << "the library is preloaded into a Linux server only";
        }
    }
    void TearDown() override { stopHub(); }
    // A hub with keys through a pipe (or a terminal), these faults, on a free port.
    void startHub(const std::vector<std::string>& faults, Keys keys = Keys::Pipe) {
        int port = freePort();
        server = start({std::to_string(port)}, keys, withFaults(faults));
        server.port = port;
        ASSERT_TRUE(server.pid > 0 && waitUntilListening(port))
            << "the server did not start accepting";
    }
    void stopHub() {
        for (int fd : clients) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
        clients.clear();
        stop(server);
    }
    Server server;
    std::vector<int> clients;
};

// ---- Start-up --------------------------------------------------------------

struct StartupFault {
    const char* name;
    std::vector<std::string> faults;
    std::vector<int> closedStreams;
    std::string errorLine;
};

const StartupFault STARTUP_FAULTS[] = {
    {"the listener cannot be created",
     {"VELLORAN_FAULT_SOCKET=EMFILE"},
     {},
     "erreur de creation du socket TCP\n"},
    {"its address cannot be read",
     {"VELLORAN_FAULT_GETSOCKNAME=ENOBUFS"},
     {},
     "erreur pour obtenir le nom du socket\n"},
    {"it cannot listen",
     {"VELLORAN_FAULT_LISTEN=EADDRINUSE"},
     {},
     "erreur de mise en ecoute du socket TCP\n"},
    {"the relay lock cannot be allocated",
     {"VELLORAN_FAULT_NEW=ENOMEM@1"},
     {},
     "erreur de creation du verrou de relais\n"},
    {"the relay lock cannot be initialised",
     {"VELLORAN_FAULT_PTHREAD_MUTEX_INIT=EAGAIN@1"},
     {},
     "erreur de creation du verrou de relais\n"},
    {"the console thread's attributes cannot be set up",
     {"VELLORAN_FAULT_PTHREAD_ATTR_INIT=ENOMEM@1"},
     {},
     "erreur de creation du thread console\n"},
    {"the fan-out's send batch cannot be allocated",
     {"VELLORAN_FAULT_NEW=ENOMEM@2"},
     {},
     "erreur de creation du lot d'envois\n"},
    {"the console thread's start cannot be allocated",
     {"VELLORAN_FAULT_NEW=ENOMEM@3"},
     {},
     "erreur de creation du thread console\n"},
    {"the console thread cannot start",
     {"VELLORAN_FAULT_PTHREAD_CREATE=EAGAIN@1"},
     {},
     "erreur de creation du thread console\n"},
    {"a closed standard input cannot be reserved",
     {"VELLORAN_FAULT_OPEN=EMFILE@1"},
     {0},
     "erreur de reservation des flux standard\n"},
};

TEST_F(FaultInjection, AStartUpFailureIsOneLineOnStandardErrorStatusOneAndNoScreen) {
    for (const StartupFault& row : STARTUP_FAULTS) {
        SCOPED_TRACE(row.name);
        Launch launch = withFaults(row.faults);
        launch.closedStreams = row.closedStreams;
        server = start({std::to_string(freePort())}, Keys::None, launch);
        ASSERT_GT(server.pid, 0);
        EXPECT_EQ(readToEnd(server.errors), row.errorLine);
        EXPECT_EQ(readToEnd(server.output), "") << "the menu must never be drawn";
        EXPECT_EQ(exitStatus(waitExit(server)), 1);
        stop(server);
    }
}

// ---- A connection that cannot be set up ------------------------------------

struct SetupFault {
    const char* name;
    std::string fault; // aimed at the third client
    // The third client resets its connection while its worker's start is
    // under way, and a fan-out finds it gone before the start fails.
    bool resetsWhileStarting;
};

const SetupFault SETUP_FAULTS[] = {
    {"its entry cannot be allocated", "VELLORAN_FAULT_NEW=ENOMEM@16", false},
    {"its receive buffer cannot be allocated", "VELLORAN_FAULT_NEW=ENOMEM@17", false},
    {"its worker's start cannot be allocated", "VELLORAN_FAULT_NEW=ENOMEM@18", false},
    {"its worker thread's first work cannot be allocated", "VELLORAN_FAULT_NEW=ENOMEM@19", false},
    {"its thread's start cannot be allocated", "VELLORAN_FAULT_NEW=ENOMEM@20", false},
    {"its worker thread cannot start", "VELLORAN_FAULT_PTHREAD_CREATE=EAGAIN@4", false},
    {"its worker thread fails to start slowly while a fan-out drops it",
     "VELLORAN_FAULT_PTHREAD_CREATE=EAGAIN@4/1500", true},
};

TEST_F(FaultInjection, AConnectionThatCannotBeSetUpIsClosedAtOnceAndNeverCounted) {
    for (const SetupFault& row : SETUP_FAULTS) {
        SCOPED_TRACE(row.name);
        startHub({row.fault});
        clients = joinClients(server.port, 2);
        ASSERT_EQ(clients.size(), 2u);
        int refused = connectTo(server.port);
        ASSERT_GE(refused, 0);
        if (row.resetsWhileStarting) {
            ASSERT_TRUE(userCountBecomes(server, 3)) << "registered while its thread starts";
            resetConnection(refused);
            // The second chunk's fan-out begins only once the first one,
            // which met the reset client, has ended.
            for (const char* chunk : {"one", "two"}) {
                sendBytes(clients[0], chunk);
                EXPECT_EQ(receiveBytes(clients[1], 3), zeroLast(chunk));
            }
        } else {
            EXPECT_TRUE(seesEndOfStream(refused)) << "closed at once";
            ::close(refused);
        }
        // The next client is served as if nothing had happened; the acceptor
        // takes it only once it has dealt with the one that failed.
        clients.push_back(connectTo(server.port));
        proveRegistered(clients[2], {clients[0], clients[1]});
        EXPECT_EQ(shownUserCount(server), 3);
        EXPECT_EQ(listedUserCount(server), 3);
        sendBytes(clients[0], "still here");
        EXPECT_EQ(receiveBytes(clients[1], 10), zeroLast("still here"));
        EXPECT_EQ(receiveBytes(clients[2], 10), zeroLast("still here"));
        sendBytes(clients[2], "and here");
        EXPECT_EQ(receiveBytes(clients[0], 8), zeroLast("and here"));
        EXPECT_EQ(receiveBytes(clients[1], 8), zeroLast("and here"));
        for (int& fd : clients) {
            ::close(fd);
            fd = -1;
        }
        EXPECT_TRUE(userCountBecomes(server, 0)) << "every client counted out once";
        EXPECT_TRUE(isRunning(server));
        stopHub();
    }
}

// ---- A worker thread that cannot park ---------------------------------------

struct ParkingFault {
    const char* name;
    std::string fault;
};

// The first client's start makes the parking lock (the allocation after its
// batch's room, its entry, its buffer and its worker's start); each thread makes its wake-up when
// it first parks.
const ParkingFault PARKING_FAULTS[] = {
    {"a thread's wake-up cannot be set up", "VELLORAN_FAULT_SEM_INIT=EINVAL"},
    {"the parking lock cannot be allocated", "VELLORAN_FAULT_NEW=ENOMEM@8"},
    {"the parking lock cannot be initialised", "VELLORAN_FAULT_PTHREAD_MUTEX_INIT=EAGAIN@2"},
};

// A worker's thread that cannot park serves its client, then ends as threads
// did before parking. Twice more clients than threads may park come and go;
// none of their threads stays, and the next clients are served as well.
TEST_F(FaultInjection, AThreadThatCannotParkServesItsClientAndEnds) {
    for (const ParkingFault& row : PARKING_FAULTS) {
        SCOPED_TRACE(row.name);
        startHub({row.fault});
        ASSERT_TRUE(userCountBecomes(server, 0));
        const ProcessUsage idle = processUsage(server.pid);
        ASSERT_GT(idle.threads, 0);
        for (int wave = 1; wave <= 2; ++wave) {
            SCOPED_TRACE(wave);
            EXPECT_EQ(threadsAfterAWave(server, 2 * MAX_PARKED_THREADS, "all", idle), idle.threads);
        }
        stopHub();
    }
}

// ---- Accept errors ---------------------------------------------------------

struct AcceptFault {
    const char* error;
    bool pauses; // out of descriptors or memory: the acceptor rests between tries
};

const AcceptFault ACCEPT_FAULTS[] = {
    {"ECONNABORTED", false}, {"EINTR", false}, {"EPROTO", false}, {"EPERM", false},
    {"EMFILE", true},        {"ENFILE", true}, {"ENOBUFS", true}, {"ENOMEM", true},
};

// A thousand failures retried at once take no time; a thousand pauses would
// take 100 s. Thirty pauses last 3 s, long enough to watch the hub rest.
const char* const RETRIED = "@1-1000";
const char* const PAUSED = "@1-30";

TEST_F(FaultInjection, AcceptErrorsAreRetriedAtOnceOrPausedWithoutSpinning) {
    for (const AcceptFault& row : ACCEPT_FAULTS) {
        SCOPED_TRACE(row.error);
        startHub(
            {std::string("VELLORAN_FAULT_ACCEPT4=") + row.error + (row.pauses ? PAUSED : RETRIED)});
        clients.push_back(connectTo(server.port));
        clients.push_back(connectTo(server.port));
        if (row.pauses) {
            EXPECT_EQ(shownUserCount(server), 0) << "not admitted while the acceptor rests";
            double cpuBefore = cpuSeconds(server.pid);
            // The measurement itself: one second of the pause.
            std::this_thread::sleep_for(std::chrono::seconds(1));
            EXPECT_LT(cpuSeconds(server.pid) - cpuBefore, 0.2)
                << "a resting acceptor must not spin";
        }
        EXPECT_TRUE(userCountBecomes(server, 2, row.pauses ? 2 * DEADLINE_MS : DEADLINE_MS));
        proveRegistered(clients[1], {clients[0]});
        sendBytes(clients[0], "accepted");
        EXPECT_EQ(receiveBytes(clients[1], 8), zeroLast("accepted"));
        stopHub();
    }
}

// ---- Send and receive errors in the middle of a fan-out --------------------

// Three clients joined one after another: the second's probe went to the
// first (send 1), the third's to the first and second (sends 2 and 3); each
// probe was one receive (receives 1 and 2). The first client's chunk then
// goes to the second (send 4) and the third (send 5).
const std::string CHUNK = "a chunk for everyone\n";

// What becomes of the client whose send fails.
enum class Fate {
    Kept,
    CutOff,        // dropped; its socket had room, yet it sees a reset, not an orderly end
    CutOffNoReset, // dropped, but the reset could not be set: its connection just ends
};

struct SendFault {
    const char* name;
    std::vector<std::string> faults;
    int failing; // the client whose send fails: 1 or 2
    Fate fate;   // what becomes of that client
};

// A shortage of the hub's own (buffers, memory) is waited out like a full
// socket: the peer keeps its place. Any other failure drops it.
const SendFault SEND_FAULTS[] = {
    {"no room for a moment (EAGAIN), to the second",
     {"VELLORAN_FAULT_SEND=EAGAIN@4"},
     1,
     Fate::Kept},
    {"no room, and the wait for room runs out of memory (ENOMEM) three times, to the second",
     {"VELLORAN_FAULT_SEND=EAGAIN@4", "VELLORAN_FAULT_POLL=ENOMEM@1-3"},
     1,
     Fate::Kept},
    {"out of buffers (ENOBUFS), to the second", {"VELLORAN_FAULT_SEND=ENOBUFS@4"}, 1, Fate::Kept},
    {"out of buffers three times running, to the second",
     {"VELLORAN_FAULT_SEND=ENOBUFS@4-6"},
     1,
     Fate::Kept},
    {"out of memory (ENOMEM), to the third", {"VELLORAN_FAULT_SEND=ENOMEM@5"}, 2, Fate::Kept},
    {"a failure of its own (EIO), to the second", {"VELLORAN_FAULT_SEND=EIO@4"}, 1, Fate::CutOff},
    {"no route any more (EHOSTUNREACH), to the third",
     {"VELLORAN_FAULT_SEND=EHOSTUNREACH@5"},
     2,
     Fate::CutOff},
    {"a failure of its own, and its reset cannot be set",
     {"VELLORAN_FAULT_SEND=EIO@4", "VELLORAN_FAULT_SETSOCKOPT=EINVAL"},
     1,
     Fate::CutOffNoReset},
};

TEST_F(FaultInjection, ASendThatFailsDropsThatPeerAloneAndTheOthersGetEveryByte) {
    for (const SendFault& row : SEND_FAULTS) {
        SCOPED_TRACE(row.name);
        startHub(row.faults);
        clients = joinClients(server.port, 3);
        ASSERT_EQ(clients.size(), 3u);
        sendBytes(clients[0], CHUNK);
        int other = 3 - row.failing; // the receiver whose send did not fail
        EXPECT_EQ(receiveBytes(clients[static_cast<std::size_t>(other)], CHUNK.size()),
                  zeroLast(CHUNK));
        int failing = clients[static_cast<std::size_t>(row.failing)];
        if (row.fate == Fate::CutOff) {
            EXPECT_TRUE(seesReset(failing)) << "the hub cuts it off with a reset";
        } else if (row.fate == Fate::CutOffNoReset) {
            EXPECT_TRUE(seesEndOfStream(failing)) << "the hub hung up on it";
        }
        if (row.fate != Fate::Kept) {
            EXPECT_EQ(shownUserCount(server), 2);
            EXPECT_EQ(listedUserCount(server), 2);
        } else {
            EXPECT_EQ(receiveBytes(failing, CHUNK.size()), zeroLast(CHUNK));
            EXPECT_EQ(shownUserCount(server), 3);
        }
        // The other two go on, each getting the other's bytes.
        sendBytes(clients[static_cast<std::size_t>(other)], "and on");
        EXPECT_EQ(receiveBytes(clients[0], 6), zeroLast("and on"));
        stopHub();
    }
}

struct ReceiveFault {
    const char* name;
    std::string fault;
    int failing;  // the client whose receive fails
    bool relayed; // the first client's chunk reached the others
};

const ReceiveFault RECEIVE_FAULTS[] = {
    {"the sender's, as its chunk arrives (ECONNRESET)", "VELLORAN_FAULT_RECV=ECONNRESET@3", 0,
     false},
    {"the sender's, as its chunk arrives (EIO)", "VELLORAN_FAULT_RECV=EIO@3", 0, false},
    {"a receiver's, once it had the chunk (ETIMEDOUT)", "VELLORAN_FAULT_RECV=ETIMEDOUT@4", 1, true},
};

TEST_F(FaultInjection, AReceiveThatFailsEndsThatConnectionAloneAndTheOthersGetEveryByte) {
    for (const ReceiveFault& row : RECEIVE_FAULTS) {
        SCOPED_TRACE(row.name);
        startHub({row.fault});
        clients = joinClients(server.port, 3);
        ASSERT_EQ(clients.size(), 3u);
        sendBytes(clients[0], CHUNK);
        if (row.relayed) {
            EXPECT_EQ(receiveBytes(clients[1], CHUNK.size()), zeroLast(CHUNK));
            EXPECT_EQ(receiveBytes(clients[2], CHUNK.size()), zeroLast(CHUNK));
            sendBytes(clients[static_cast<std::size_t>(row.failing)], "lost");
        }
        int failing = clients[static_cast<std::size_t>(row.failing)];
        EXPECT_TRUE(seesEndOfStream(failing)) << "its connection ends";
        EXPECT_TRUE(userCountBecomes(server, 2));
        EXPECT_EQ(listedUserCount(server), 2);
        // The two left exchange bytes; nothing of the failed receive reached them.
        std::vector<int> left;
        for (int fd : clients) {
            if (fd != failing) {
                left.push_back(fd);
            }
        }
        sendBytes(left[0], "and on");
        EXPECT_EQ(receiveBytes(left[1], 6), zeroLast("and on"));
        sendBytes(left[1], "back");
        EXPECT_EQ(receiveBytes(left[0], 4), zeroLast("back"));
        stopHub();
    }
}

// ---- The terminal ----------------------------------------------------------

struct TerminalFault {
    const char* name;
    std::string fault;
    bool restored; // the terminal ends in the mode it had
};

const TerminalFault TERMINAL_FAULTS[] = {
    {"its mode cannot be read", "VELLORAN_FAULT_TCGETATTR=ENOTTY", true},
    {"raw mode cannot be set", "VELLORAN_FAULT_TCSETATTR=EIO@1", true},
    {"restoring it is interrupted once", "VELLORAN_FAULT_TCSETATTR=EINTR@2", true},
    {"it cannot be restored", "VELLORAN_FAULT_TCSETATTR=EIO@2-", false},
};

TEST_F(FaultInjection, WhenTheTerminalFailsKeysStillWorkAndQuitEndsCleanly) {
    for (const TerminalFault& row : TERMINAL_FAULTS) {
        SCOPED_TRACE(row.name);
        startHub({row.fault}, Keys::Terminal);
        ASSERT_TRUE(waitForOutput(server, "Q  [Q]uit")) << server.seen;
        // A line end after each key, in case the terminal stayed line by line.
        std::size_t from = server.seen.size();
        pressKeys(server, "n\n");
        EXPECT_TRUE(waitForOutput(server, "# User(s) 0", from)) << server.seen;
        pressKeys(server, "q\n");
        EXPECT_EQ(exitStatus(waitExit(server)), 0);
        if (row.restored) {
            termios mode{};
            ASSERT_EQ(::tcgetattr(server.terminal, &mode), 0);
            EXPECT_EQ(mode.c_lflag & (ECHO | ICANON), tcflag_t{ECHO | ICANON});
        }
        stopHub();
    }
}

// The console thread's set-up held back (its first act, unblocking the stop
// and continue signals, waits), while the hub already listens and relays:
// a signal key typed on the terminal then is only a key, from the first
// client on.
constexpr int CONSOLE_HELD_MS = 3000;

const std::pair<const char*, const char*> SIGNAL_KEYS[] = {
    {"Ctrl-C", "\x03"}, {"Ctrl-\\", "\x1c"}, {"Ctrl-Z", "\x1a"}};

TEST_F(FaultInjection, ASignalKeyTypedWhileTheConsoleSetsUpIsOnlyAKey) {
    for (const auto& row : SIGNAL_KEYS) {
        SCOPED_TRACE(row.first);
        startHub({"VELLORAN_FAULT_PTHREAD_SIGMASK=0@1/" + std::to_string(CONSOLE_HELD_MS)},
                 Keys::Terminal);
        auto held = std::chrono::steady_clock::now();
        clients = joinClients(server.port, 2);
        ASSERT_EQ(clients.size(), 2u) << "the hub serves clients while its console sets up";
        pressKeys(server, row.second);
        ASSERT_LT(std::chrono::steady_clock::now() - held,
                  std::chrono::milliseconds(CONSOLE_HELD_MS))
            << "the key came too late to show anything";

        sendBytes(clients[0], "still relaying");
        EXPECT_EQ(receiveBytes(clients[1], 14), zeroLast("still relaying"));
        ASSERT_TRUE(waitForOutput(server, "Q  [Q]uit", 0, CONSOLE_HELD_MS + DEADLINE_MS))
            << server.seen;
        std::size_t from = server.seen.size();
        pressKeys(server, "n");
        EXPECT_TRUE(waitForOutput(server, "# User(s) 2", from)) << server.seen.substr(from);
        pressKeys(server, "q");
        EXPECT_EQ(exitStatus(waitExit(server)), 0);
        stopHub();
    }
}

} // namespace
