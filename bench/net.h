// Loopback plumbing for the load generator: connecting, whole writes, reads
// with deadlines and the tool's own descriptor limit. Every function reports
// by return value; the measurement modes decide what a failure means.
// Any thread may call them on descriptors it owns.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

Clock::time_point secondsFromNow(double seconds);
int millisecondsLeft(Clock::time_point deadline);
double secondsSince(Clock::time_point start);

// A blocking TCP connection to host:port made before the deadline, or -1.
int connectTo(const std::string& host, int port, Clock::time_point deadline);
// `count` connections made one after another (each fully established before
// the next starts, so a relay accepts them in this order); empty on failure.
std::vector<int> connectMany(const std::string& host, int port, int count,
                             Clock::time_point deadline);
void closeAll(const std::vector<int>& fds);

// A listener on 127.0.0.1 at a port the system picks; -1 on failure.
int listenLoopback(int* port);
// A port that was free a moment ago, or 0.
int freePort();
// True once a listener on `port` shows in the system's socket table.
bool waitListening(int port, double timeoutSeconds);

bool writeAll(int fd, const char* data, std::size_t length);
// Waits until fd is readable; false at the deadline or on error.
bool waitReadable(int fd, Clock::time_point deadline);
// Reads and discards exactly `count` bytes; false on end, error or deadline.
bool readExactly(int fd, std::size_t count, Clock::time_point deadline);
// True when the peer ends the stream before the deadline and sends nothing first.
bool readEndOfStream(int fd, Clock::time_point deadline);

// Raises the descriptor limit to the hard limit; returns the limit in force.
long raiseDescriptorLimit();
void setNoDelay(int fd);

} // namespace bench
