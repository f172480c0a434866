// The threads relay workers run on, kept between clients.
//
// A worker's thread outlives its client: when the work it was started for is
// done, it parks, using no CPU, and the next startWorkerThread hands it the
// new work instead of starting a thread, so a new connection costs a wake-up
// rather than a thread's start and end. At most MAX_PARKED_THREADS park; past
// that a finished thread ends.
//
// The acceptor alone starts work (through startRelayWorker); the parked stack
// and its lock are this file's own.
#pragma once

#include "platform/platform.h"

#include <cstddef>

// 64 covers the connections a busy hub turns over at once on a few cores,
// while what they hold idle stays small: one kernel thread and the stack pages
// it touched each (5 to 50 KiB measured; about 3 MiB for all 64 at worst).
constexpr int MAX_PARKED_THREADS = 64;

// Runs body(argument) on a parked thread, or on a new one of stackBytes.
// Every caller passes the same stackBytes: a parked thread keeps the stack it
// had. False when no thread could be had: body never runs.
bool startWorkerThread(ThreadBody body, void* argument, std::size_t stackBytes);
