// What a running process holds, read from outside through /proc: resident
// memory, threads and open descriptors. For tests that check the server
// gives back what its clients took.
#pragma once

#include <sys/types.h>

namespace harness {

struct ProcessUsage {
    long residentKilobytes = -1;
    long threads = -1;
    long descriptors = -1;
};

// All fields -1 when the process is gone.
ProcessUsage processUsage(pid_t pid);

// Waits until the process holds no more threads and descriptors than
// `baseline`; returns what it holds then (or at the deadline).
ProcessUsage usageSettlesTo(pid_t pid, const ProcessUsage& baseline, int deadlineMs);

} // namespace harness
