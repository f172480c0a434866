// Win32 threads and locks: CreateThread, the relay lock's mutex, and a slim
// reader/writer lock and condition variable where no mutex is asked for.

#include "platform/platform.h"
#include "platform/win32/internal.h"

#include <windows.h>

#include <new>

// ---- Threads ---------------------------------------------------------------

namespace {
struct ThreadStart {
    ThreadBody body;
    void* argument;
    ThreadIo io;
};
} // namespace

static DWORD WINAPI runThread(LPVOID start) {
    ThreadStart copy = *static_cast<ThreadStart*>(start);
    delete static_cast<ThreadStart*>(start);
    useThreadIo(copy.io);
    copy.body(copy.argument);
    releaseThreadIo();
    return 0;
}

// A 32-bit process has 2 GiB of addresses: with the default reservation per
// thread, stacks alone would cap it below a thousand clients.
bool startDetachedThread(ThreadBody body, void* argument, std::size_t stackBytes) {
    ThreadIo io{};
    if (!createThreadIo(&io)) {
        return false;
    }
    auto* start = new (std::nothrow) ThreadStart{body, argument, io};
    DWORD flags = stackBytes != 0 ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0;
    HANDLE thread = start == nullptr
                        ? nullptr
                        : CreateThread(nullptr, stackBytes, runThread, start, flags, nullptr);
    if (thread == nullptr) {
        delete start;
        destroyThreadIo(io);
        return false;
    }
    CloseHandle(thread); // the thread runs on; nobody waits for it
    return true;
}

void pauseMilliseconds(int milliseconds) { Sleep(static_cast<DWORD>(milliseconds)); }

void idleForever() {
    for (;;) {
        Sleep(INFINITE);
    }
}

// ---- Locks -----------------------------------------------------------------

struct RelayLock {
    HANDLE mutex;
};

RelayLock* createRelayLock() {
    auto* lock = new (std::nothrow) RelayLock{nullptr};
    if (lock == nullptr) {
        return nullptr;
    }
    lock->mutex = CreateMutexW(nullptr, FALSE, nullptr);
    if (lock->mutex == nullptr) {
        delete lock;
        return nullptr;
    }
    return lock;
}

void acquireRelayLock(RelayLock* lock) { WaitForSingleObject(lock->mutex, INFINITE); }

// Abandoned counts as held, and a failed wait as the plain one takes it.
bool acquireRelayLockWithin(RelayLock* lock, int milliseconds) {
    return WaitForSingleObject(lock->mutex, static_cast<DWORD>(milliseconds)) != WAIT_TIMEOUT;
}

void releaseRelayLock(RelayLock* lock) { ReleaseMutex(lock->mutex); }

// Taken and released in user space while nobody else holds it.
struct ShortLock {
    SRWLOCK lock;
};

ShortLock* createShortLock() { return new (std::nothrow) ShortLock{SRWLOCK_INIT}; }

void acquireShortLock(ShortLock* lock) { AcquireSRWLockExclusive(&lock->lock); }

void releaseShortLock(ShortLock* lock) { ReleaseSRWLockExclusive(&lock->lock); }

// ---- A thread's wake-up ----------------------------------------------------

// No kernel object: the waiting thread sleeps on a condition variable.
struct ThreadWake {
    SRWLOCK lock;
    CONDITION_VARIABLE changed;
    bool posted; // guarded by lock
};

ThreadWake* createThreadWake() {
    return new (std::nothrow) ThreadWake{SRWLOCK_INIT, CONDITION_VARIABLE_INIT, false};
}

void destroyThreadWake(ThreadWake* wake) { delete wake; }

void waitForWake(ThreadWake* wake) {
    AcquireSRWLockExclusive(&wake->lock);
    while (!wake->posted) {
        SleepConditionVariableSRW(&wake->changed, &wake->lock, INFINITE, 0);
    }
    wake->posted = false;
    ReleaseSRWLockExclusive(&wake->lock);
}

void wakeThread(ThreadWake* wake) {
    AcquireSRWLockExclusive(&wake->lock);
    wake->posted = true;
    WakeConditionVariable(&wake->changed);
    ReleaseSRWLockExclusive(&wake->lock);
}
