// The keys as the console worker takes them: decoded from the key source one
// at a time, and, while an answer waits for the relay lock, read without
// waiting and held, in order, for after it. Q is never held: it ends the hub
// wherever it is read. A ConsoleKeys lives on the console worker's stack and
// is that thread's alone.
#pragma once

#include "console/key_decoder.h"

#include <cstddef>

// Keys held while one answer waits; later ones are dropped. A wait lasts at
// most as long as a fan-out may (about 10 s), and an operator types far fewer.
constexpr std::size_t KEYS_HELD = 64;

struct ConsoleKeys {
    KeyDecoder decoder;
    int held[KEYS_HELD] = {}; // a ring: keys, or KEYS_RESUMED for a redraw
    std::size_t first = 0;    // the oldest held key
    std::size_t count = 0;
    bool ended = false; // the key source has ended
};

// The next key: the oldest held one, else one read, waiting as long as it
// takes. KEYS_RESUMED when the screen wants redrawing (the hub has the
// terminal again), KEYS_ENDED once no key can come any more.
int nextKey(ConsoleKeys& keys);
// Reads the codes that have come, without waiting, and holds the keys they
// complete; Q ends the hub at once.
void holdKeysTyped(ConsoleKeys& keys);
bool isQuitKey(int key);
// Ends the process at once with status 0, every thread with it.
[[noreturn]] void quitHub();
