// What a running process holds, read from outside through /proc: resident
// memory, threads and open descriptors. For tests that check the server
// gives back what its clients took.
#pragma once

#include "support/harness.h"

#include <functional>
#include <set>
#include <string>
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

// The ids of the process's threads, from /proc/PID/task.
std::set<pid_t> threadIds(pid_t pid);

// A wave of `count` clients joins the server, the last sends `chunk`, which
// every other must receive, `whileJoined` runs, and all leave. Returns the
// threads the server holds once it has settled to at most `settleTo` (or at
// the deadline).
long threadsAfterAWave(
    Server& server, int count, const std::string& chunk, const ProcessUsage& settleTo,
    const std::function<void()>& whileJoined = [] {});

} // namespace harness
