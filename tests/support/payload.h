// Streams that name themselves: every byte a sender sends is a function of
// its sender id and its offset in that sender's stream, and never zero, so a
// receiver can tell which stretch of whose stream each chunk it gets holds.
// The stream is made of records of RECORD_BYTES: a marker, the sender id and
// the record's index (each in bytes with the high bit set), then filler that
// depends on both. Any piece holding a whole record head names itself; a
// shorter one can only be matched against where a stream is expected to go on.
#pragma once

#include <cstddef>
#include <cstdint>

namespace harness {

constexpr std::size_t RECORD_BYTES = 16;
constexpr std::size_t RECORD_HEAD_BYTES = 10;
// A piece with at least this many bytes always holds a whole record head.
constexpr std::size_t SELF_NAMING_BYTES = RECORD_BYTES + RECORD_HEAD_BYTES - 1;

unsigned char payloadByte(std::uint32_t sender, std::uint64_t offset);
void fillPayload(std::uint32_t sender, std::uint64_t offset, unsigned char* bytes,
                 std::size_t length);
// True when `bytes` are exactly sender's stream from `offset` on.
bool payloadMatches(std::uint32_t sender, std::uint64_t offset, const unsigned char* bytes,
                    std::size_t length);

// How many of the bytes from `offset` on are filler, which differs from
// sender to sender and offset to offset, unlike the heads' digits.
std::size_t fillerBytes(std::uint64_t offset, std::size_t length);
// How many tell whose stream and which record they come from: all but the
// marker and the record's lowest digit, which every stream shares at the
// same record. A piece with a few of them fits one place only.
std::size_t tellingBytes(std::uint64_t offset, std::size_t length);

struct PayloadPlace {
    std::uint32_t sender;
    std::uint64_t offset;
};
// Where `bytes` come from, read from a record head they hold and checked
// byte for byte; false when they hold none, or none that fits them all.
bool namePayload(const unsigned char* bytes, std::size_t length, PayloadPlace& place);

} // namespace harness
