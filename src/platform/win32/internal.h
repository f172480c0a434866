// What the Win32 files share among themselves; the rest of the code sees
// platform.h alone.
#pragma once

// A thread's overlapped records for its receives and its sends (net.cpp).
// Every thread gets them before it starts (threads.cpp), so that a shortage
// is a failed start, never a failed send blamed on a peer.
struct IoSlot;
struct ThreadIo {
    IoSlot* receive;
    IoSlot* send;
};
bool createThreadIo(ThreadIo* io);        // both records, or false and none
void destroyThreadIo(const ThreadIo& io); // records that never reached a thread
// On the thread itself: useThreadIo before its first receive or send, and
// releaseThreadIo after its last, which gives back what it holds by then.
void useThreadIo(const ThreadIo& io);
void releaseThreadIo();
