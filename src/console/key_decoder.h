// Turns the codes of the key source into the keys the console acts on. A key
// that arrives as several codes is one key, and never a command: a terminal's
// escape sequence for a function, cursor or editing key (F2 is Escape, O, Q),
// a key pressed with Alt (Escape, then the key), the Windows key reader's
// prefix code and the code after it (Page Down is a prefix, then Q). Only
// the console worker uses its decoder.
#pragma once

// How long the next code of a key may take. An Escape with nothing after it
// for this long was the Escape key alone, and the next code is a key of its
// own. Generous, because a function key split in transit would otherwise
// deliver its last letter, and F2's is Q.
constexpr int KEY_SEQUENCE_WAIT_MILLISECONDS = 300;

// What decodeKey returns while a key is still arriving or when the codes made
// a key that is no command.
constexpr int NO_KEY = -4;

enum class KeyState {
    BetweenKeys,
    AfterEscape,      // Escape, or Alt with the key that follows
    SequenceStart,    // Escape [ : a control sequence begins
    Sequence,         // parameters until the final byte
    LinuxFunctionKey, // Escape [ [ : the Linux console's F1 to F5, one code left
    AfterPrefix       // the Windows key reader's prefix: one code left
};

struct KeyDecoder {
    KeyState state = KeyState::BetweenKeys;
};

// How long to wait for the next code: for ever between keys, briefly inside one.
int nextCodeWait(const KeyDecoder& decoder);
// Takes the next code from readKeyCode, KEY_NOT_IN_TIME included; returns the
// key those codes complete, or NO_KEY.
int decodeKey(KeyDecoder& decoder, int code);
