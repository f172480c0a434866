// Keys of several codes against the decoder: a function, cursor or editing
// key, from a terminal or from the Windows key reader, is one key that never
// acts; a key of one code, after Escape alone included, is itself.

#include "console/key_decoder.h"

#include "platform/platform.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// In the codes below, PAUSE stands for no code within the wait, PREFIX for
// the Windows key reader's prefix code; every other character is its code.
const std::string PAUSE = "\x01";
const std::string PREFIX = "\x02";

struct KeyCase {
    const char* name;
    std::string codes;
    std::string keys; // the keys the console acts on, in order
};

const KeyCase KEYS[] = {
    {"plain letters", "lMnPq", "lMnPq"},
    {"F1 to F4", "\033OP\033OQ\033OR\033OS", ""},
    {"F1 to F4 on the Linux console", "\033[[A\033[[B\033[[C\033[[D\033[[E", ""},
    {"F5 and F12", "\033[15~\033[24~", ""},
    {"F2 with Shift, Ctrl, Alt", "\033[1;2Q\033[1;5Q\033[1;3Q", ""},
    {"F1 with Shift, old style", "\033O2P", ""},
    {"arrows", "\033[A\033[B\033[C\033[D", ""},
    {"arrows in application mode", "\033OA\033OB\033OC\033OD", ""},
    {"Ctrl with an arrow", "\033[1;5D", ""},
    {"Home, End, Insert, Delete", "\033[H\033[F\033[1~\033[4~\033[2~\033[3~", ""},
    {"Page Up and Page Down", "\033[5~\033[6~", ""},
    {"keypad Enter in application mode", "\033OM", ""},
    {"Alt with a letter", "\033q\033L", ""},
    {"Alt with an arrow", "\033\033[C", ""},
    {"keys straight after a sequence act", "\033OQnp", "np"},
    {"Escape alone, then a letter", "\033" + PAUSE + "q", "q"},
    {"Escape alone twice, then a letter", "\033" + PAUSE + "\033" + PAUSE + "l", "l"},
    {"a sequence cut short, then a letter", "\033[1" + PAUSE + "p" + "\033O" + PAUSE + "n", "pn"},
    {"a code no sequence holds counts on its own", "\033[1\x03n", "\x03n"},
    {"the Linux console's prefix cut short by F2, Shift+F2, Alt+q, Alt+Q",
     "\033[[\033OQ\033[[\033[1;2Q\033[[\033q\033[[\033Q", ""},
    {"Windows: F1, F2", PREFIX + ";" + PREFIX + "<", ""},
    {"Windows: Page Down, Down arrow, Home", PREFIX + "Q" + PREFIX + "P" + PREFIX + "G", ""},
    {"Windows: Alt with Q", PREFIX + "\x10", ""},
    {"Windows: keys after a prefixed key act", PREFIX + "Qq", "q"},
    {"Windows: a prefixed key cuts short the Linux console's prefix or a prefix",
     "\033[[" + PREFIX + "Q" + PREFIX + PREFIX + "Q", ""},
};

int codeOf(char c) {
    if (std::string(1, c) == PAUSE) {
        return KEY_NOT_IN_TIME;
    }
    return std::string(1, c) == PREFIX ? KEY_PREFIX : static_cast<unsigned char>(c);
}

TEST(KeyDecoder, OnlyKeysOfOneCodeAct) {
    for (const KeyCase& row : KEYS) {
        SCOPED_TRACE(row.name);
        KeyDecoder decoder;
        std::string keys;
        for (char c : row.codes) {
            int key = decodeKey(decoder, codeOf(c));
            if (key != NO_KEY) {
                keys += static_cast<char>(key);
            }
        }
        EXPECT_EQ(keys, row.keys);
        EXPECT_EQ(nextCodeWait(decoder), KEY_WAIT_FOREVER) << "every key is over";
    }
}

TEST(KeyDecoder, WaitsBrieflyOnlyInsideATerminalsKey) {
    KeyDecoder decoder;
    EXPECT_EQ(nextCodeWait(decoder), KEY_WAIT_FOREVER);
    for (char c : std::string("\033[1;2")) {
        decodeKey(decoder, c);
        EXPECT_EQ(nextCodeWait(decoder), KEY_SEQUENCE_WAIT_MILLISECONDS);
    }
    decodeKey(decoder, KEY_PREFIX);
    EXPECT_EQ(nextCodeWait(decoder), KEY_WAIT_FOREVER) << "the second code comes at once";
}

} // namespace
