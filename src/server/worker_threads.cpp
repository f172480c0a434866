#include "server/worker_threads.h"

#include <new>

namespace {
// A thread between two pieces of work. The record lives on the thread's own
// stack for as long as the thread runs.
struct ParkedThread {
    ThreadBody body; // written by the hand-over before it wakes the thread
    void* argument;
    ThreadWake* wake; // made when the thread first parks
};

// A new thread's first work; the thread frees it as its first act.
struct FirstWork {
    ThreadBody body;
    void* argument;
};
} // namespace

// The parked threads, a stack: the thread parked last, its memory still warm,
// goes first. Guarded by the parking lock.
static ParkedThread* parked[MAX_PARKED_THREADS];
static int parkedCount = 0;

// The parking lock: it guards `parked` and `parkedCount`. The hand-over calls
// wakeThread while holding it, so a woken thread cannot come back to park,
// find no room and end (destroying its wake-up) before that call has
// returned. Made at its first use, the acceptor's first start, before any
// worker thread can ask for it; null when it could not be made, and then no
// thread parks: each ends with its client.
static ShortLock* parkingLock() {
    static ShortLock* const lock = createShortLock();
    return lock;
}

// Waits for the next work; false when the thread cannot park (no lock, no
// wake-up of its own, or no room), and it should end.
static bool parkForWork(ParkedThread* self) {
    ShortLock* lock = parkingLock();
    if (lock == nullptr ||
        (self->wake == nullptr && (self->wake = createThreadWake()) == nullptr)) {
        return false;
    }
    acquireShortLock(lock);
    bool room = parkedCount < MAX_PARKED_THREADS;
    if (room) {
        parked[parkedCount++] = self;
    }
    releaseShortLock(lock);
    if (room) {
        waitForWake(self->wake); // the work was written before the wake-up
    }
    return room;
}

static bool handToParkedThread(ThreadBody body, void* argument) {
    ShortLock* lock = parkingLock();
    if (lock == nullptr) {
        return false;
    }
    acquireShortLock(lock);
    ParkedThread* thread = parkedCount > 0 ? parked[--parkedCount] : nullptr;
    if (thread != nullptr) {
        thread->body = body;
        thread->argument = argument;
        wakeThread(thread->wake);
    }
    releaseShortLock(lock);
    return thread != nullptr;
}

static void runWorkerThread(void* first) {
    FirstWork work = *static_cast<FirstWork*>(first);
    delete static_cast<FirstWork*>(first);
    ParkedThread self{work.body, work.argument, nullptr};
    do {
        self.body(self.argument);
    } while (parkForWork(&self));
    destroyThreadWake(self.wake);
}

static bool startNewWorkerThread(ThreadBody body, void* argument, std::size_t stackBytes) {
    // cppcheck-suppress unreadVariable ; cppcheck 2.10 misreads new (std::nothrow) T{...}
    auto* first = new (std::nothrow) FirstWork{body, argument};
    if (first == nullptr || !startDetachedThread(runWorkerThread, first, stackBytes)) {
        delete first;
        return false;
    }
    return true;
}

bool startWorkerThread(ThreadBody body, void* argument, std::size_t stackBytes) {
    return handToParkedThread(body, argument) || startNewWorkerThread(body, argument, stackBytes);
}
