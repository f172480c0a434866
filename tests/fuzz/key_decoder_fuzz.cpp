// libFuzzer target for the key decoder (make fuzz). The input is a stream of
// tokens: most bytes are key codes as they are; 0xFE then n is whole key n
// of KNOWN_KEYS, sent without a pause inside; 0xFF then n is a pause (n % 4
// is 0), the Windows key reader's prefix (1) or the code 0xFE or 0xFF (2, 3).
// A pause is delivered only where the console would wait briefly, inside a
// key. Checked on every input:
// - a key the decoder returns is the code just fed to it;
// - no code of a whole function, cursor or editing key ever acts, whatever
//   came before it;
// - a command letter straight after a whole key, a pause or at the start acts;
// - the same codes give the same keys again on a new decoder.

#include "console/key_decoder.h"

#include "platform/platform.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr int PAUSE = -100; // stands for a pause in the token stream

// Keys of several codes from a terminal and from the Windows key reader.
const std::vector<std::vector<int>> KNOWN_KEYS = {
    {0x1B, 'O', 'P'},
    {0x1B, 'O', 'Q'},
    {0x1B, 'O', 'R'},
    {0x1B, 'O', 'S'},
    {0x1B, '[', '[', 'A'},
    {0x1B, '[', '[', 'B'},
    {0x1B, '[', '[', 'E'},
    {0x1B, '[', '1', '5', '~'},
    {0x1B, '[', '2', '4', '~'},
    {0x1B, '[', '1', ';', '2', 'Q'},
    {0x1B, '[', '1', ';', '5', 'Q'},
    {0x1B, 'O', '2', 'P'},
    {0x1B, '[', 'A'},
    {0x1B, '[', 'D'},
    {0x1B, 'O', 'A'},
    {0x1B, '[', '1', ';', '5', 'D'},
    {0x1B, '[', 'H'},
    {0x1B, '[', '3', '~'},
    {0x1B, '[', '6', '~'},
    {0x1B, 'O', 'M'},
    {0x1B, 'q'},
    {0x1B, 'L'},
    {0x1B, 0x1B, '[', 'C'},
    {KEY_PREFIX, ';'},
    {KEY_PREFIX, '<'},
    {KEY_PREFIX, 'Q'},
    {KEY_PREFIX, 'P'},
    {KEY_PREFIX, 0x10},
};

struct Token {
    int code;     // a key code, KEY_PREFIX or PAUSE
    int key;      // index into KNOWN_KEYS, or -1
    bool keyEnds; // the last code of a whole key
};

std::vector<Token> parse(const std::uint8_t* data, std::size_t size) {
    std::vector<Token> tokens;
    for (std::size_t i = 0; i < size; ++i) {
        std::uint8_t byte = data[i];
        if (byte == 0xFE && i + 1 < size) {
            std::size_t index = data[++i] % KNOWN_KEYS.size();
            for (int code : KNOWN_KEYS[index]) {
                tokens.push_back(Token{code, static_cast<int>(index), false});
            }
            tokens.back().keyEnds = true;
            continue;
        }
        int code = byte;
        if (byte == 0xFF && i + 1 < size) {
            static const int ESCAPED[] = {PAUSE, KEY_PREFIX, 0xFE, 0xFF};
            code = ESCAPED[data[++i] % 4];
        }
        tokens.push_back(Token{code, -1, false});
    }
    return tokens;
}

bool isCommand(int key) { return key > 0 && std::strchr("lmnpqLMNPQ", key) != nullptr; }

// Feeds the tokens; returns the keys the decoder gave, one per token
// (NO_KEY where none), after checking each.
std::vector<int> decode(const std::vector<Token>& tokens) {
    KeyDecoder decoder;
    std::vector<int> keys;
    bool betweenKeys = true; // after a whole key, a pause that ended one, or nothing
    for (const Token& token : tokens) {
        if (token.code == PAUSE) {
            // The console waits for ever for the next code where no key is
            // under way, or after the Windows key reader's prefix: no pause
            // arrives there.
            bool delivered = nextCodeWait(decoder) != KEY_WAIT_FOREVER;
            keys.push_back(delivered ? decodeKey(decoder, KEY_NOT_IN_TIME) : NO_KEY);
            betweenKeys = betweenKeys || delivered;
            continue;
        }
        bool afterWhole = betweenKeys;
        int key = decodeKey(decoder, token.code);
        betweenKeys = token.keyEnds;
        keys.push_back(key);
        if (key != NO_KEY && key != token.code) {
            std::abort(); // a key is always the code that completed it
        }
        if (token.key >= 0 && key != NO_KEY) {
            std::abort(); // a code of a whole key acted
        }
        if (token.key < 0 && afterWhole && isCommand(token.code) && key == NO_KEY) {
            std::abort(); // a plain command letter between keys did nothing
        }
    }
    return keys;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<Token> tokens = parse(data, size);
    if (decode(tokens) != decode(tokens)) {
        std::abort(); // the same codes gave other keys
    }
    return 0;
}
