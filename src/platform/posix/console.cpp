// POSIX console: the terminal in key mode while the hub has it, job control
// that never stops the hub, the terminal restored however the process ends,
// and keys read one byte at a time.

#include "platform/platform.h"
#include "platform/posix/internal.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <termios.h>
#include <unistd.h>

// The hub shares its terminal with the shell that started it: it changes the
// terminal's mode and reads its keys only while its process group is the
// terminal's foreground group, and nothing typed on the terminal stops it: a
// read or a mode change from the background fails instead, and Ctrl-Z is a
// key. So a hub in the background goes on relaying and takes the terminal
// once brought forward. A stop sent from outside (kill -TSTP, kill -STOP)
// does stop it; the terminal is handed back first where the signal allows.

// The terminal's mode as the hub first found it, and the key mode it sets.
// Written before terminalRaw first becomes 1; the handlers read them only
// while it is 1.
static termios savedTerminal;
static termios keyTerminal;
static bool terminalSaved = false; // the console worker's alone
// 1 while the terminal is in key mode by our doing.
// A lock-free atomic: read by signal handlers on any thread, and its store
// publishes the modes above to them.
static std::atomic<int> terminalRaw{0};
static_assert(std::atomic<int>::is_always_lock_free,
              "a signal handler may only touch lock-free atomics");
// The continue handler writes a byte here; the key reader waits on it too.
static int resumedPipe[2] = {-1, -1};

// True unless another process group of our session has the terminal. A
// terminal that is not our controlling one is always ours to use.
static bool terminalIsOurs() {
    pid_t foreground = tcgetpgrp(STDIN_FILENO);
    return foreground == -1 || foreground == getpgrp();
}

// At a normal end the screen may finish drawing first, and keys typed since
// are dropped rather than left for the shell. A signal may interrupt that
// wait: try again then, or the operator's terminal stays raw after we are gone.
static void restoreTerminalAtExit() {
    while (terminalRaw != 0 && terminalIsOurs() &&
           tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal) != 0 && errno == EINTR) {
    }
}

// Lets the kernel refuse this thread a mode change made from the background
// (see refuseFromBackground): only the console's thread takes SIGTTOU
// otherwise, and a thread that blocks it would be let through.
static void refuseModeChangesFromBackground() {
    sigset_t changeRefused;
    sigemptyset(&changeRefused);
    sigaddset(&changeRefused, SIGTTOU);
    pthread_sigmask(SIG_UNBLOCK, &changeRefused, nullptr);
}

// From a signal handler: put the terminal back at once, even when its output
// is suspended and an answer is stuck in it (waiting for that to drain could
// take forever). Async-signal-safe.
static void restoreTerminalNow() {
    refuseModeChangesFromBackground();
    if (terminalRaw != 0 && terminalIsOurs()) {
        tcflush(STDIN_FILENO, TCIFLUSH);
        tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
    }
    terminalRaw = 0;
}

// Every signal whose default action ends the process, except SIGPIPE, which
// the hub ignores. Real-time signals end it too; they are taken as a range.
static const int TERMINATING_SIGNALS[] = {
    SIGHUP,    SIGINT,  SIGQUIT, SIGILL,  SIGTRAP, SIGABRT,   SIGBUS,  SIGFPE, SIGUSR1, SIGSEGV,
    SIGUSR2,   SIGALRM, SIGTERM, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO,  SIGSYS,
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
};

// What each signal did before consoleCatchSignals took it over, by signal
// number.
// Written once per signal, before our handler for it is installed.
static struct sigaction foundActions[NSIG];

// The continue handler and the signal keys write a byte here; the key
// reader and the wait for the terminal wait on it too.
static void wakeConsole() {
    int saved = errno;
    char woken = 1;
    if (::write(resumedPipe[1], &woken, 1) < 0) {
        // full: a wake-up is already waiting
    }
    errno = saved;
}

// Ctrl-C, Ctrl-\ and Ctrl-Z make the terminal send SIGINT, SIGQUIT and
// SIGTSTP to its foreground group while its signal keys are on, which they
// are between `fg` and the moment the console takes the terminal: the kernel
// sends those (SI_KERNEL), while kill and its kin name their sender. Such a
// signal is a key, and it says the hub is in the foreground now.
static bool typedOnTerminal(int signalNumber, const siginfo_t* info) {
    bool keySignal = signalNumber == SIGINT || signalNumber == SIGQUIT || signalNumber == SIGTSTP;
    return keySignal && info != nullptr && info->si_code == SI_KERNEL;
}

// Put the terminal back, then die of the same signal so the parent sees the
// true status. A handler that was in place before ours (one that saves the
// process's state on the way out) runs next; otherwise the default ends the
// process. Async-signal-safe.
static void restoreAndReraise(int signalNumber) {
    restoreTerminalNow();
    struct sigaction next = foundActions[signalNumber];
    if ((next.sa_flags & SA_SIGINFO) != 0 || next.sa_handler == SIG_IGN) {
        next = {};
        next.sa_handler = SIG_DFL;
    }
    sigaction(signalNumber, &next, nullptr);
    raise(signalNumber);
}

static void restoreAndReraiseUnlessTyped(int signalNumber, siginfo_t* info, void* /*context*/) {
    if (typedOnTerminal(signalNumber, info)) {
        wakeConsole();
        return;
    }
    restoreAndReraise(signalNumber);
}

// A handler that is told who sent the signal (see typedOnTerminal).
static void handleWithSender(int signalNumber, void (*handler)(int, siginfo_t*, void*), int flags) {
    struct sigaction action {};
    action.sa_sigaction = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_SIGINFO | flags;
    sigaction(signalNumber, &action, nullptr);
}

// A signal the launcher set to "ignore" (nohup, a background job) stays
// ignored, and one whose handler takes extra details (a sanitizer's report
// on a crash) keeps it; the others restore the terminal before they end
// the process.
static void restoreTerminalOn(int signalNumber) {
    struct sigaction& found = foundActions[signalNumber];
    if (sigaction(signalNumber, nullptr, &found) != 0 || found.sa_handler == SIG_IGN ||
        (found.sa_flags & SA_SIGINFO) != 0) {
        return;
    }
    // No SA_RESTART: under ThreadSanitizer a restarted wait would hold the
    // signal back.
    handleWithSender(signalNumber, restoreAndReraiseUnlessTyped, 0);
}

static void restoreTerminalOnSignals() {
    for (int signalNumber : TERMINATING_SIGNALS) {
        restoreTerminalOn(signalNumber);
    }
    for (int signalNumber = SIGRTMIN; signalNumber <= SIGRTMAX; ++signalNumber) {
        restoreTerminalOn(signalNumber);
    }
}

// The terminal sends its stop to the whole foreground group, and the kernel
// its refusal of a mode change from the background (SIGTTOU) to the hub's
// whole group: the other commands of the hub's job (`velloran 5000 | tee
// log`) stop then, while the hub does not, so the shell still counts the job
// as running and never continues them. The hub continues them itself. The
// continue reaches the hub too, on the console's thread at once, so its
// wake-up is answered with the key's or the refusal's. Async-signal-safe.
static void continueOwnGroup() {
    int saved = errno;
    ::kill(0, SIGCONT);
    errno = saved;
}

// Stopped from outside (Ctrl-Z is only a key here): the shell gets its
// terminal back as it was; the continue handler takes it again.
static void restoreAndStopUnlessTyped(int signalNumber, siginfo_t* info, void* /*context*/) {
    if (typedOnTerminal(signalNumber, info)) {
        continueOwnGroup();
        wakeConsole();
        return;
    }
    int saved = errno;
    restoreTerminalNow();
    errno = saved;
    raise(SIGSTOP); // returns once continued
}

static void noteResumed(int /*signalNumber*/) { wakeConsole(); }

// A mode change from the background fails (EINTR) instead of being made
// behind the shell's back: with SIGTTOU ignored or blocked the kernel would
// let it through. The kernel sends that SIGTTOU to the hub's whole process
// group, so the rest of its job stops (see continueOwnGroup). No SA_RESTART,
// or the refused change would be retried for ever.
static void refuseFromBackground(int /*signalNumber*/) {}

static void drainResumed() {
    char drained[16];
    while (::read(resumedPipe[0], drained, sizeof drained) > 0) {
    }
}

static void handle(int signalNumber, void (*handler)(int), int flags) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = flags;
    sigaction(signalNumber, &action, nullptr);
}

// Only the console's thread takes a stop, a continue or a refused mode change
// (see internal.h).
void maskJobControl(int how) {
    sigset_t jobControl;
    sigemptyset(&jobControl);
    sigaddset(&jobControl, SIGTSTP);
    sigaddset(&jobControl, SIGCONT);
    sigaddset(&jobControl, SIGTTOU);
    pthread_sigmask(how, &jobControl, nullptr);
}

// Job control never stops the hub: a read or a mode change from the
// background fails instead, and the console waits for the terminal. A stop
// from outside hands the terminal back first, and a continue is noticed.
static void followJobControl() {
    std::signal(SIGTTIN, SIG_IGN);
    handle(SIGTTOU, refuseFromBackground, 0);
    if (::pipe2(resumedPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        handle(SIGCONT, noteResumed, SA_RESTART);
    }
    struct sigaction found {};
    if (sigaction(SIGTSTP, nullptr, &found) == 0 && found.sa_handler != SIG_IGN) {
        handleWithSender(SIGTSTP, restoreAndStopUnlessTyped, SA_RESTART);
    }
}

// How often a hub in the background looks whether it was brought forward.
// Nothing tells it when a shell's fg hands it the terminal without
// continuing it (bash does so for a job that runs): the kernel wakes nobody
// on that change. Until it looks, the terminal still turns the interrupt,
// quit and suspend keys into signals for the whole job, so the wait is
// short: about 7 ms on average after fg, for well under 1% of a core in the
// background. A signal key typed meanwhile wakes it at once, and other keys
// wait in the terminal until it takes them.
constexpr int FOREGROUND_RECHECK_MILLISECONDS = 10;

static void waitForForeground() {
    while (!terminalIsOurs()) {
        terminalRaw = 0; // the shell has it, in the mode it chose
        pollfd resumed{resumedPipe[0], POLLIN, 0};
        if (::poll(&resumed, 1, FOREGROUND_RECHECK_MILLISECONDS) > 0) {
            drainResumed();
        }
    }
}

enum class KeyMode { Taken, NotOurs, Unavailable };

// Puts the terminal into key mode if it is ours now; the first time,
// remembers the mode it had. Keys typed before stay to be read.
static KeyMode enterKeyMode() {
    if (!terminalSaved) {
        if (tcgetattr(STDIN_FILENO, &savedTerminal) != 0) {
            return KeyMode::Unavailable; // keys then come as the terminal gives them
        }
        keyTerminal = savedTerminal;
        // No echo, no line editing, and no signal keys: Ctrl-C arrives as
        // byte 3 and Ctrl-Z as byte 26. Output processing stays on so a line
        // feed still returns the carriage.
        keyTerminal.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON | ISIG | IEXTEN);
        keyTerminal.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | BRKINT | INPCK | ISTRIP);
        keyTerminal.c_cc[VMIN] = 1;
        keyTerminal.c_cc[VTIME] = 0;
        terminalSaved = true;
        std::atexit(restoreTerminalAtExit);
    }
    // A stop from outside may come anywhere in here: its handler puts the
    // terminal back if it was set (terminalRaw is 1 from before the change),
    // and once continued in the background the change is refused.
    KeyMode mode = KeyMode::NotOurs;
    if (terminalIsOurs()) {
        terminalRaw = 1;
        // Refused (EINTR) if the shell took the terminal since the check.
        if (tcsetattr(STDIN_FILENO, TCSANOW, &keyTerminal) == 0) {
            mode = KeyMode::Taken;
            drainResumed(); // whatever woke us is answered by this
        } else {
            terminalRaw = 0;
            mode = terminalIsOurs() ? KeyMode::Unavailable : KeyMode::NotOurs;
            if (mode == KeyMode::NotOurs) {
                continueOwnGroup(); // the refusal stopped the rest of the job
            }
        }
    }
    // A stop between the change and here undid it.
    return mode == KeyMode::Taken && terminalRaw == 0 ? KeyMode::NotOurs : mode;
}

// Waits, without spinning, until the terminal is ours, then puts it into key
// mode.
static void takeTerminal() {
    for (;;) {
        waitForForeground();
        if (enterKeyMode() != KeyMode::NotOurs) {
            return;
        }
    }
}

// On the only thread, before the listener opens: from the first client on, a
// signal key typed on the terminal is only a key, even while the console
// thread is still on its way. Until that thread unblocks them, a stop or a
// continue waits, pending, and then runs its handler there.
void consoleCatchSignals() {
    maskJobControl(SIG_BLOCK);
    if (isatty(STDIN_FILENO) == 0) {
        return; // keys come from a pipe or a file: nothing to set up
    }
    followJobControl();
    restoreTerminalOnSignals();
}

void consoleOpen() {
    maskJobControl(SIG_UNBLOCK);
    if (isatty(STDIN_FILENO) == 0) {
        return;
    }
    takeTerminal();
}

enum class KeyWait { Key, NotInTime, Resumed };

// Waits until a key can be read, for at most `milliseconds` (or for ever),
// or until the hub is continued after a stop. Standard input may be
// non-blocking (some launchers hand one over), so reads never wait by
// themselves.
static KeyWait keyArrives(int milliseconds) {
    pollfd watched[] = {{STDIN_FILENO, POLLIN, 0}, {resumedPipe[0], POLLIN, 0}};
    for (;;) {
        int ready = ::poll(watched, 2, milliseconds);
        if (ready > 0 && watched[1].revents != 0) {
            drainResumed();
            return KeyWait::Resumed;
        }
        if (ready >= 0) {
            // a hang-up or error is ready too: the read says which
            return ready > 0 ? KeyWait::Key : KeyWait::NotInTime;
        }
        if (errno != EINTR) {
            return KeyWait::Key; // the read then reports the failure
        }
    }
}

int readKeyCode(int milliseconds) {
    for (;;) {
        KeyWait wait = keyArrives(milliseconds);
        if (wait == KeyWait::NotInTime) {
            return KEY_NOT_IN_TIME;
        }
        if (wait == KeyWait::Resumed) {
            takeTerminal();
            return KEYS_RESUMED;
        }
        unsigned char key = 0;
        ssize_t n = ::read(STDIN_FILENO, &key, 1);
        if (n == 1) {
            return key;
        }
        if (n < 0 && errno == EIO && !terminalIsOurs()) {
            takeTerminal(); // a read from the background: the keys are the shell's
            return KEYS_RESUMED;
        }
        if (n == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
            return KEYS_ENDED;
        }
    }
}

void clearScreen() {
    if (isatty(STDOUT_FILENO) != 0) {
        std::fputs("\033[H\033[2J", stdout);
    }
}
