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
// entry. POSIX needs nothing of its own (shutting the socket's receiving side
// down ends the receive); Win32 holds an event that the receive waits on
// beside the socket, which works whatever socket provider is installed.
struct ReceiveStop;
ReceiveStop* createReceiveStop();           // null when it cannot be had
void destroyReceiveStop(ReceiveStop* stop); // null is fine

// Bytes received, 0 when the peer closed, negative on error or once ended.
// RECEIVE_ABANDONED: ended, but the system could not be made to let go of
// the buffer (Win32, a receive whose cancel did not end in time): it may
// still be written, so the caller must never use or free it again.
constexpr int RECEIVE_ABANDONED = -2;
int socketReceive(SocketHandle socket, ReceiveStop* stop, char* buffer, int length);
// From any thread: ends the receive blocked on the socket and makes every
// later receive end too. On POSIX the receiving side is shut down, which
// sends the peer nothing, and bytes already queued are still returned first;
// on Win32 a receive in flight may also still return bytes that had arrived.
// The handle stays open, so its value cannot pass to a newer client while
// its owner still uses it.
void socketEndReceive(SocketHandle socket, ReceiveStop* stop);

// ---- net.cpp: sends to many peers at once ----------------------------------
// A fan-out starts a send to every peer without waiting, then waits for all
// that have not finished together, in one wait with one limit; at the limit
// it abandons the rest together. One fan-out runs at a time (the relay lock
// is held), so each connection needs one send record and the process one
// batch.

// One connection's send in flight: Win32's overlapped record and its event;
// nothing on POSIX. Created for each client before it is admitted and
// destroyed with its entry; one send at a time.
struct SendSlot;
SendSlot* createSendSlot(); // null when it cannot be had
// Null is fine. A record the system may still write (a send abandonSends
// could not end, or one still in flight) is kept, never freed.
void destroySendSlot(SendSlot* slot);

// The fan-out's waiting sends. Created once at start-up; lives until the
// process ends; used under the relay lock alone.
struct SendBatch;
SendBatch* createSendBatch(); // null when it cannot be had
// Room to watch `sends` sends at once, made before a client joins so that a
// fan-out never allocates. False when it cannot be had.
bool reserveSendBatch(SendBatch* batch, std::uint32_t sends);

// Results of startSend and continueSend: bytes the socket has taken (maybe
// fewer than asked: start the rest); SEND_WAITING when nothing is taken yet
// and the send must be watched and waited for (POSIX: no room; Win32: the
// send is in flight in the slot; either: a shortage of the hub's own, such
// as memory or buffers, which is never the peer's fault); SEND_PEER_GONE
// when the connection is already broken (the peer reset or closed it);
// SEND_FAILED when it failed otherwise.
constexpr int SEND_WAITING = 0;
constexpr int SEND_FAILED = -1;
constexpr int SEND_PEER_GONE = -2;
// Sends what the socket takes of `data` without waiting for room: on POSIX
// at most 32 KiB a call, so a larger chunk takes more than one call; on
// Win32 all of it, in flight in the slot. `length` is at least 1 (0 bytes
// taken reads as SEND_WAITING).
int startSend(SendBatch* batch, SocketHandle socket, SendSlot* slot, const char* data, int length);
// After a wait, for a send that was SEND_WAITING: how it stands now, without
// waiting. Same data and length as the send it continues.
int continueSend(SendBatch* batch, SocketHandle socket, SendSlot* slot, const char* data,
                 int length);
// Waiting: forget the sends watched before, watch each waiting one, then
// wait once until one of them may have moved on or `milliseconds` pass.
void clearSendWatch(SendBatch* batch);
void watchSend(SendBatch* batch, SocketHandle socket, SendSlot* slot);
void waitForSends(SendBatch* batch, int milliseconds);
// At the limit, with every unfinished send watched: ends each one still in
// flight, all cancelled together and waited for once, within a bound. False
// when one could not be made to end: its slot is then kept by the system,
// and the data it was sending from must never be written again.
bool abandonSends(SendBatch* batch);

// ---- net.cpp: closing --------------------------------------------------------

// Makes the eventual close reset the connection, so whatever is still queued
// for the peer is discarded then instead of trickling out.
void socketResetOnClose(SocketHandle socket);
void socketShutdownBoth(SocketHandle socket);
void socketClose(SocketHandle socket);

// ---- threads.cpp: threads, locks and a thread's wake-up --------------------

// Starts a thread that is never joined; no handle is kept. stackBytes 0
// means the platform's default stack. Whatever the thread's receives need
// of their own is made before it starts (Win32: its overlapped record), so a
// shortage is a failed start rather than a failed receive; only on Win32,
// after a receive whose cancel did not end in time gave that record up, is
// a new one made at the thread's next receive, which fails if it cannot be
// had. (A connection's send record is made with its entry.) False when no
// thread, or not what it needs, could be had.
using ThreadBody = void (*)(void* argument);
bool startDetachedThread(ThreadBody body, void* argument, std::size_t stackBytes);
void pauseMilliseconds(int milliseconds);
[[noreturn]] void idleForever();

// The relay lock: a mutex, created once and never destroyed.
struct RelayLock;
RelayLock* createRelayLock();
void acquireRelayLock(RelayLock* lock);
// Waits at most `milliseconds` for it: true when it is then held, false when
// the time ran out. For the console, which reads keys between such waits.
bool acquireRelayLockWithin(RelayLock* lock, int milliseconds);
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

// Console. consoleCatchSignals is called once, on the only thread, before
// the listener opens: from then on the terminal's interrupt, quit and
// suspend keys (Ctrl-C, Ctrl-\, Ctrl-Z) are only keys to the hub, even
// before key mode is set, and the terminal is restored however the process
// ends; a signal sent from outside acts. Before key mode such a key still
// reaches the other commands of the hub's job (a pipeline's tee) as a
// signal: the hub continues them after a stop, but an interrupt ends them.
// consoleOpen, on the console's own thread, prepares the key source (raw
// mode on a terminal, once the terminal is the hub's to use: a hub started
// in the background waits for it, and looks every few milliseconds).
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
void consoleCatchSignals();
void consoleOpen();
int readKeyCode(int milliseconds);
void clearScreen();
