#include "console/console_keys.h"

#include "platform/platform.h"

#include <cctype>
#include <cstdlib>

bool isQuitKey(int key) { return key >= 0 && static_cast<signed char>(std::toupper(key)) == 'Q'; }

void quitHub() {
    // Ending every thread at once is the point; no object has a static
    // destructor that another thread could still be using.
    std::exit(0); // NOLINT(concurrency-mt-unsafe)
}

// What one code from the key source makes: a key, KEYS_RESUMED, KEYS_ENDED,
// or NO_KEY while a key is still arriving or made no command.
static int keyFromCode(ConsoleKeys& keys, int code) {
    if (code == KEYS_ENDED) {
        keys.ended = true;
        return KEYS_ENDED;
    }
    if (code == KEYS_RESUMED) {
        keys.decoder = KeyDecoder{}; // a key begun before the stop is gone
        return KEYS_RESUMED;
    }
    return decodeKey(keys.decoder, code);
}

int nextKey(ConsoleKeys& keys) {
    if (keys.count > 0) {
        int key = keys.held[keys.first];
        keys.first = (keys.first + 1) % KEYS_HELD;
        --keys.count;
        return key;
    }
    while (!keys.ended) {
        int key = keyFromCode(keys, readKeyCode(nextCodeWait(keys.decoder)));
        if (key != NO_KEY) {
            return key;
        }
    }
    return KEYS_ENDED;
}

// Codes that have not come yet are not waited for: a key still arriving
// (an Escape's sequence) is completed by the reads after the answer.
void holdKeysTyped(ConsoleKeys& keys) {
    while (!keys.ended) {
        int code = readKeyCode(0);
        if (code == KEY_NOT_IN_TIME) {
            return;
        }
        int key = keyFromCode(keys, code);
        if (isQuitKey(key)) {
            quitHub();
        }
        if (key != NO_KEY && key != KEYS_ENDED && keys.count < KEYS_HELD) {
            keys.held[(keys.first + keys.count) % KEYS_HELD] = key;
            ++keys.count;
        }
    }
}
