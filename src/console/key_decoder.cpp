#include "console/key_decoder.h"

#include "platform/platform.h"

constexpr int ESCAPE = 0x1B;

// The bytes a control sequence holds: parameters and intermediates, then one
// final byte.
static bool isSequenceByte(int code) { return code >= 0x20 && code <= 0x3F; }
static bool isFinalByte(int code) { return code >= 0x40 && code <= 0x7E; }

int nextCodeWait(const KeyDecoder& decoder) {
    // The Windows key reader delivers a prefix's second code at once.
    bool betweenKeys =
        decoder.state == KeyState::BetweenKeys || decoder.state == KeyState::AfterPrefix;
    return betweenKeys ? KEY_WAIT_FOREVER : KEY_SEQUENCE_WAIT_MILLISECONDS;
}

static int startKey(KeyDecoder& decoder, int code) {
    if (code == ESCAPE) {
        decoder.state = KeyState::AfterEscape;
        return NO_KEY;
    }
    if (code == KEY_PREFIX) {
        decoder.state = KeyState::AfterPrefix;
        return NO_KEY;
    }
    return code == KEY_NOT_IN_TIME ? NO_KEY : code;
}

static int continueSequence(KeyDecoder& decoder, int code) {
    if (isSequenceByte(code)) {
        decoder.state = KeyState::Sequence;
        return NO_KEY;
    }
    if (isFinalByte(code) || code == KEY_NOT_IN_TIME) {
        return NO_KEY; // the whole key read, or what came of it
    }
    return startKey(decoder, code); // a code no sequence holds is a key of its own
}

int decodeKey(KeyDecoder& decoder, int code) {
    KeyState state = decoder.state;
    decoder.state = KeyState::BetweenKeys;
    // An Escape or the Windows key reader's prefix always begins a new key,
    // whatever came before it: taken as the last code of a cut-short key, it
    // would leave the key it begins (F2 is Escape O Q, Page Down the prefix
    // and Q) to act as its letters.
    if (code == ESCAPE || code == KEY_PREFIX) {
        return startKey(decoder, code);
    }
    switch (state) {
    case KeyState::BetweenKeys:
        return startKey(decoder, code);
    case KeyState::AfterEscape:
        if (code == '[') {
            decoder.state = KeyState::SequenceStart;
        } else if (code == 'O') {
            decoder.state = KeyState::Sequence; // SS3: F1 to F4, keypad, cursor
        }
        return NO_KEY; // Escape alone, or Alt with that key
    case KeyState::SequenceStart:
        if (code == '[') {
            decoder.state = KeyState::LinuxFunctionKey;
            return NO_KEY;
        }
        return continueSequence(decoder, code);
    case KeyState::Sequence:
        return continueSequence(decoder, code);
    case KeyState::LinuxFunctionKey:
    case KeyState::AfterPrefix:
        return NO_KEY;
    }
    return NO_KEY;
}
