// Linked into the server of a coverage build (VELLORAN_COVERAGE), and only
// there. The tests end most servers with a signal, which skips the exit
// handlers that write the coverage counters: each terminating signal writes
// them first, then ends the process by that same signal, so the parent still
// sees the true status. The console's terminal handler runs this one after
// restoring the terminal.

#include <csignal>
#include <initializer_list>
#include <signal.h>

extern "C" void __gcov_dump(); // NOLINT(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)

namespace {

void dumpAndReraise(int signalNumber) {
    __gcov_dump();
    std::signal(signalNumber, SIG_DFL);
    std::raise(signalNumber);
}

// Installed before main runs, so the console's handler finds it in place. A
// signal the launcher ignores stays ignored, as in every other build.
const bool INSTALLED = [] {
    for (int signalNumber : {SIGTERM, SIGHUP, SIGINT, SIGQUIT}) {
        struct sigaction current {};
        if (sigaction(signalNumber, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) {
            std::signal(signalNumber, dumpAndReraise);
        }
    }
    return true;
}();

} // namespace
