#include "support/payload.h"

namespace harness {

namespace {

constexpr unsigned char MARKER = 0x01;
constexpr unsigned char HIGH_BIT = 0x80;
constexpr int SENDER_DIGITS = 5; // 7 bits each: 35 bits hold any 32-bit id
// Then four digits of record index: 28 bits, 4 GiB a stream.

// The head's digits, but for the record's lowest, are mixed with what came
// before them in the head, so heads differ from sender to sender and from
// record to record.
unsigned char mask(unsigned key, int place) {
    std::uint64_t x = std::uint64_t{key} * 0x9E3779B97F4A7C15ULL + static_cast<unsigned>(place);
    x ^= x >> 29;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 32;
    return static_cast<unsigned char>(x & 0x7F);
}

// Filler never zero, never the marker: 2 to 255, mixed from sender and offset.
unsigned char filler(std::uint32_t sender, std::uint64_t offset) {
    std::uint64_t x = (std::uint64_t{sender} << 40) ^ offset;
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    return static_cast<unsigned char>(2 + x % 254);
}

unsigned char seven(std::uint64_t value, int index) {
    return static_cast<unsigned char>((value >> (7 * index)) & 0x7F);
}

} // namespace

// The head: marker, the record's lowest digit, the sender's five digits,
// the record's three others.
unsigned char payloadByte(std::uint32_t sender, std::uint64_t offset) {
    std::uint64_t record = offset / RECORD_BYTES;
    auto position = static_cast<int>(offset % RECORD_BYTES);
    if (position == 0) {
        return MARKER;
    }
    unsigned recordLowest = seven(record, 0);
    if (position == 1) {
        return static_cast<unsigned char>(HIGH_BIT | recordLowest);
    }
    unsigned senderLowest = seven(sender, 0);
    if (position == 2) {
        return static_cast<unsigned char>(HIGH_BIT | (senderLowest ^ mask(recordLowest, 0)));
    }
    unsigned key = recordLowest | senderLowest << 7;
    if (position < 2 + SENDER_DIGITS) {
        return static_cast<unsigned char>(HIGH_BIT |
                                          (seven(sender, position - 2) ^ mask(key, position)));
    }
    if (position < static_cast<int>(RECORD_HEAD_BYTES)) {
        int index = position - 1 - SENDER_DIGITS;
        return static_cast<unsigned char>(HIGH_BIT | (seven(record, index) ^ mask(key, position)));
    }
    return filler(sender, offset);
}

void fillPayload(std::uint32_t sender, std::uint64_t offset, unsigned char* bytes,
                 std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        bytes[i] = payloadByte(sender, offset + i);
    }
}

bool payloadMatches(std::uint32_t sender, std::uint64_t offset, const unsigned char* bytes,
                    std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        if (bytes[i] != payloadByte(sender, offset + i)) {
            return false;
        }
    }
    return true;
}

static bool readHead(const unsigned char* head, PayloadPlace& place, std::size_t at) {
    for (std::size_t i = 1; i < RECORD_HEAD_BYTES; ++i) {
        if ((head[i] & HIGH_BIT) == 0) {
            return false;
        }
    }
    unsigned recordLowest = head[1] & 0x7Fu;
    unsigned senderLowest = (head[2] & 0x7Fu) ^ mask(recordLowest, 0);
    unsigned key = recordLowest | senderLowest << 7;
    std::uint64_t sender = senderLowest;
    std::uint64_t record = recordLowest;
    for (int position = 3; position < static_cast<int>(RECORD_HEAD_BYTES); ++position) {
        std::uint64_t bits = (head[position] & 0x7Fu) ^ mask(key, position);
        if (position < 2 + SENDER_DIGITS) {
            sender |= bits << (7 * (position - 2));
        } else {
            record |= bits << (7 * (position - 1 - SENDER_DIGITS));
        }
    }
    if (sender > UINT32_MAX || record * RECORD_BYTES < at) {
        return false;
    }
    place = PayloadPlace{static_cast<std::uint32_t>(sender), record * RECORD_BYTES - at};
    return true;
}

std::size_t fillerBytes(std::uint64_t offset, std::size_t length) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < length; ++i) {
        count += (offset + i) % RECORD_BYTES >= RECORD_HEAD_BYTES ? 1 : 0;
    }
    return count;
}

std::size_t tellingBytes(std::uint64_t offset, std::size_t length) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < length; ++i) {
        count += (offset + i) % RECORD_BYTES >= 2 ? 1 : 0;
    }
    return count;
}

bool namePayload(const unsigned char* bytes, std::size_t length, PayloadPlace& place) {
    for (std::size_t at = 0; at + RECORD_HEAD_BYTES <= length; ++at) {
        if (bytes[at] == MARKER && readHead(bytes + at, place, at) &&
            payloadMatches(place.sender, place.offset, bytes, length)) {
            return true;
        }
    }
    return false;
}

} // namespace harness
