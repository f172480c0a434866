// What the Win32 files share among themselves; the rest of the code sees
// platform.h alone.
#pragma once

// A thread's overlapped record for its receives (net.cpp). Every thread gets
// it before it starts (threads.cpp), so that a shortage is a failed start
// rather than a failed receive. A record given up (a receive whose cancel
// did not end in time) is replaced at the thread's next receive, and a
// shortage then fails that receive. Sends need none of the thread's: each
// connection has its own send record (SendSlot).
struct IoSlot;
struct ThreadIo {
    IoSlot* receive;
};
bool createThreadIo(ThreadIo* io);        // the record, or false and none
void destroyThreadIo(const ThreadIo& io); // a record that never reached a thread
// On the thread itself: useThreadIo before its first receive, and
// releaseThreadIo after its last, which gives back what it holds by then.
void useThreadIo(const ThreadIo& io);
void releaseThreadIo();
