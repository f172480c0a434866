// A transfer from one client to another through the hub, checked as it
// arrives: the sender's bytes never hold a zero, so each zero the reader sees
// is the zeroed last byte of a chunk and every other byte must match. Both
// sockets must be non-blocking.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>

namespace harness {

struct Transfer {
    int sender;
    int reader;
    std::size_t target; // bytes the sender sends in all
    std::size_t written = 0;
    std::size_t received = 0;
    std::size_t zeros = 0;
    std::size_t mismatches = 0;
    char last = 0;
    std::chrono::steady_clock::time_point lastReceived{}; // when bytes last reached the reader
};

// Moves the bytes along until `done` holds; false if the deadline came first.
bool pump(Transfer& transfer, int deadlineMs, const std::function<bool()>& done);
bool transferDone(const Transfer& transfer);
// Every byte arrived, unchanged but for one zero at the end of each chunk.
void expectIntact(const Transfer& transfer);

} // namespace harness
