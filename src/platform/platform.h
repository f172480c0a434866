// The operating-system calls Velloran makes, behind one small interface.
//
// Each build's calls live in a folder of their own, one file per concern,
// named alike in both: posix/ on BSD sockets, pthreads and a raw-mode
// terminal; win32/ on WinSock 2, Win32 threads and mutex and the C run-time
// console. The build compiles exactly one folder. Each section below names
// its file. Every function reports by its return value and none prints:
// callers decide what a failure means. Any thread may call the socket,
// thread and lock functions; the key reader and the screen functions belong
// to the console worker alone.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- streams.cpp: the standard streams --------------------------------------

// Called first by main: gives each standard stream that the process started
// without the null device. False when one cannot be given it.
bool reserveStandardStreams();

// ---- net.cpp: the network stack and sockets -------------------------------

// A socket handle is an unsigned 32-bit value on both platforms; its decimal
// value is the user number the console shows.
using SocketHandle = std::uint32_t;
constexpr SocketHandle INVALID_SOCKET_HANDLE = 0xFFFFFFFFu;

// An IPv4 socket address laid out byte for byte as the system's sockaddr_in:
// family, port in network byte order, address in network byte order, filler.
struct NetAddress {
    std::uint16_t family;
    std::uint16_t port;
    std::uint32_t ipv4;
    std::uint8_t zero[8];
};
constexpr int NET_ADDRESS_LENGTH = 16;
constexpr std::uint16_t NET_FAMILY_IPV4 = 2;

// What the network stack granted at start: the version word (minor << 8 | major).
struct NetStackInfo {
    std::uint16_t version;
};

// Network stack. netStartup returns 0 or the stack's error code.
int netStartup(std::uint16_t requestedVersion, NetStackInfo* info);
void netCleanup();
std::uint16_t hostToNetwork16(std::uint16_t value);

// Sockets. The int results follow the socket calls: negative on failure.
SocketHandle tcpSocket();
// Before the bind: lets a listener take its port while connections of an
// earlier run on it wait out their close, so a hub restarts at once. A port
// that another live listener on every address holds stays refused; on
// Windows one bound to a single address (127.0.0.1) does not keep the hub
// from binding beside it. A failure leaves the bind to fail as it would have.
void listenerAllowRestart(SocketHandle listener);
int socketBind(SocketHandle socket, const NetAddress* address, int length);
int socketName(SocketHandle socket, NetAddress* address, int* length);
int socketListen(SocketHandle socket, int backlog);

enum class AcceptStatus {
    Accepted,
    Retry, // the failure concerned one connection only: try again at once
    Pause  // out of descriptors or memory, or the listener is unusable
};
AcceptStatus socketAccept(SocketHandle listener, SocketHandle* accepted);

// What lets another thread end a receive blocked on a client's socket.
// Created for each client before it is admitted and destroyed with its
// entry. POSIX needs nothing of its own (shutting the socket down ends the
// receive); Win32 holds an event that the receive waits on beside the
// socket, which works whatever socket provider is installed.
struct ReceiveStop;
ReceiveStop* createReceiveStop();           // null when it cannot be had
void destroyReceiveStop(ReceiveStop* stop); // null is fine

// Bytes received, 0 when the peer closed, negative on error or once ended.
int socketReceive(SocketHandle socket, ReceiveStop* stop, char* buffer, int length);
// From any thread: ends the receive blocked on the socket and makes every
// later receive end too (on POSIX after the bytes already queued). The
// handle stays open, so its value cannot pass to a newer client while its
// owner still uses it.
void socketEndReceive(SocketHandle socket, ReceiveStop* stop);
// Sends at most `length` bytes, waiting at most `milliseconds` for the socket
// to take any (0: only what it takes at once). Bytes sent (possibly fewer
// than asked); SEND_PEER_GONE when the connection is already broken (the peer
// reset or closed it); SEND_FAILED when the socket took nothing in time or
// failed otherwise. A shortage of the hub's own while it waits (memory and
// the like) is waited out within the time given: it is not the peer's fault.
constexpr int SEND_FAILED = -1;
constexpr int SEND_PEER_GONE = -2;
int socketSendWithin(SocketHandle socket, const char* data, int length, int milliseconds);
// Makes the eventual close reset the connection, so whatever is still queued
// for the peer is discarded then instead of trickling out.
void socketResetOnClose(SocketHandle socket);
void socketShutdownBoth(SocketHandle socket);
void socketClose(SocketHandle socket);

// ---- threads.cpp: threads, locks and a thread's wake-up --------------------

// Starts a thread that is never joined; no handle is kept. stackBytes 0
// means the platform's default stack. Whatever the thread's receives and
// sends need of their own is made before it starts (Win32: its overlapped
// records), so a shortage is a failed start, never a failed send blamed on
// a peer. False when no thread, or not what it needs, could be had.
using ThreadBody = void (*)(void* argument);
bool startDetachedThread(ThreadBody body, void* argument, std::size_t stackBytes);
void pauseMilliseconds(int milliseconds);
[[noreturn]] void idleForever();

// The relay lock: a mutex, created once and never destroyed.
struct RelayLock;
RelayLock* createRelayLock();
void acquireRelayLock(RelayLock* lock);
void releaseRelayLock(RelayLock* lock);

// A lock held for a few instructions at a time, never across a wait: the
// cheapest lock each system has. Null when it cannot be had.
struct ShortLock;
ShortLock* createShortLock();
void acquireShortLock(ShortLock* lock);
void releaseShortLock(ShortLock* lock);

// One thread's wake-up: that thread waits in waitForWake until another calls
// wakeThread; a wake-up given first is kept for the next wait. It uses no
// CPU while it waits. Null when it cannot be had.
struct ThreadWake;
ThreadWake* createThreadWake();
void destroyThreadWake(ThreadWake* wake); // null is fine
void waitForWake(ThreadWake* wake);
void wakeThread(ThreadWake* wake);

// ---- console.cpp: the keys and the screen ----------------------------------

// Console. consoleOpen prepares the key source (raw mode on a terminal, once
// the terminal is the hub's to use: a hub started in the background waits
// for it) and makes sure the terminal is restored however the process ends.
// While the hub is the terminal's foreground, its interrupt, quit and suspend
// keys are only keys, even before key mode is set; a signal sent from outside
// acts.
// readKeyCode waits at most `milliseconds` (KEY_WAIT_FOREVER: no limit) for
// the next code from the key source and returns it (0 to 255), or
// KEY_NOT_IN_TIME, or KEY_PREFIX for the code the Windows key reader puts
// before a function, cursor or editing key's own, or KEYS_RESUMED when the
// hub has the terminal again after a stop or a spell in the background (the
// screen is then the shell's and wants redrawing), or KEYS_ENDED once no
// code can come any more. Keys come one code at a time; see
// console/key_decoder.h.
constexpr int KEY_WAIT_FOREVER = -1;
constexpr int KEYS_ENDED = -1;
constexpr int KEY_NOT_IN_TIME = -2;
constexpr int KEY_PREFIX = -3;
constexpr int KEYS_RESUMED = -5;
void consoleOpen();
int readKeyCode(int milliseconds);
void clearScreen();
