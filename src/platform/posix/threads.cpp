// POSIX threads and locks: detached pthreads, mutexes, and a semaphore for
// a thread's wake-up.

#include "platform/platform.h"
#include "platform/posix/internal.h"

#include <cerrno>
#include <csignal>
#include <new>
#include <pthread.h>
#include <semaphore.h>
#include <time.h>
#include <unistd.h>

// ---- Threads ---------------------------------------------------------------

namespace {
struct ThreadStart {
    ThreadBody body;
    void* argument;
};
} // namespace

static void* runThread(void* start) {
    ThreadStart copy = *static_cast<ThreadStart*>(start);
    delete static_cast<ThreadStart*>(start);
    copy.body(copy.argument);
    return nullptr;
}

bool startDetachedThread(ThreadBody body, void* argument, std::size_t stackBytes) {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) {
        return false;
    }
    bool ready = pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED) == 0 &&
                 (stackBytes == 0 || pthread_attr_setstacksize(&attributes, stackBytes) == 0);
    // cppcheck-suppress unreadVariable ; cppcheck 2.10 misreads new (std::nothrow) T{...}
    auto* start = ready ? new (std::nothrow) ThreadStart{body, argument} : nullptr;
    pthread_t thread;
    maskJobControl(SIG_BLOCK); // the new thread inherits it
    bool started = start != nullptr && pthread_create(&thread, &attributes, runThread, start) == 0;
    if (!started) {
        delete start;
    }
    pthread_attr_destroy(&attributes);
    return started;
}

void pauseMilliseconds(int milliseconds) {
    timespec delay{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    while (nanosleep(&delay, &delay) != 0 && errno == EINTR) {
    }
}

void idleForever() {
    for (;;) {
        pause();
    }
}

// ---- Locks -----------------------------------------------------------------

// Both locks are plain mutexes here.
struct RelayLock {
    pthread_mutex_t mutex;
};

struct ShortLock {
    pthread_mutex_t mutex;
};

template <typename Lock> static Lock* createMutexLock() {
    auto* lock = new (std::nothrow) Lock;
    if (lock != nullptr && pthread_mutex_init(&lock->mutex, nullptr) != 0) {
        delete lock;
        return nullptr;
    }
    return lock;
}

RelayLock* createRelayLock() { return createMutexLock<RelayLock>(); }

void acquireRelayLock(RelayLock* lock) { pthread_mutex_lock(&lock->mutex); }

// The timed lock counts on the realtime clock: a clock set back during the
// wait lengthens that one wait. A failure other than the timeout (none is
// expected) waits as the plain lock does, so the caller never spins.
bool acquireRelayLockWithin(RelayLock* lock, int milliseconds) {
    constexpr long NANOSECONDS = 1000000000L;
    timespec deadline{};
    if (clock_gettime(CLOCK_REALTIME, &deadline) != 0) {
        acquireRelayLock(lock);
        return true;
    }
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    deadline.tv_sec += milliseconds / 1000 + deadline.tv_nsec / NANOSECONDS;
    deadline.tv_nsec %= NANOSECONDS;
    int result = pthread_mutex_timedlock(&lock->mutex, &deadline);
    if (result == ETIMEDOUT) {
        return false;
    }
    if (result != 0) {
        acquireRelayLock(lock);
    }
    return true;
}

void releaseRelayLock(RelayLock* lock) { pthread_mutex_unlock(&lock->mutex); }

ShortLock* createShortLock() { return createMutexLock<ShortLock>(); }

void acquireShortLock(ShortLock* lock) { pthread_mutex_lock(&lock->mutex); }

void releaseShortLock(ShortLock* lock) { pthread_mutex_unlock(&lock->mutex); }

// ---- A thread's wake-up ----------------------------------------------------

struct ThreadWake {
    sem_t posted;
};

ThreadWake* createThreadWake() {
    auto* wake = new (std::nothrow) ThreadWake;
    if (wake != nullptr && sem_init(&wake->posted, 0, 0) != 0) {
        delete wake;
        return nullptr;
    }
    return wake;
}

void destroyThreadWake(ThreadWake* wake) {
    if (wake != nullptr) {
        sem_destroy(&wake->posted);
        delete wake;
    }
}

void waitForWake(ThreadWake* wake) {
    while (sem_wait(&wake->posted) != 0) {
        // interrupted by a signal: keep waiting
    }
}

void wakeThread(ThreadWake* wake) { sem_post(&wake->posted); }
