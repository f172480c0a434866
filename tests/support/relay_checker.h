// An exact model of what the hub promises, checked against what each client
// received. Every client sends a self-naming stream (support/payload.h); as
// bytes arrive, each receiver's stream is cut at its zero bytes and every
// piece is named (sender, first offset, length). checkRelay then holds the
// lists to the rules: each chunk is a stretch of one sender's stream, last
// byte zeroed; per sender a receiver's chunks follow on without gap,
// duplicate or overlap from the moment it was surely registered; no client
// gets its own; a chunk has the same boundaries everywhere; any two receivers
// order the chunks they share alike, and neither misses one the other got
// between two they share.
//
// A piece too short to hold a record head is named as it comes only where
// one stream goes on with exactly those bytes, and only when every place its
// bytes may come from was looked at. The rest, lone zeros (chunks
// of one byte) included, are placed by a search that must put every one of
// them in a gap of some sender's stream that it fits, each gap exactly
// filled, or the relay fails. Only pieces whose bytes fit one place alone
// count in the order across receivers. A receiver whose pieces the search
// cannot place within its budget is undecided, neither passed nor failed.
// Single-threaded: the mix's poll loop owns the model.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

namespace harness {

// A named piece with this many telling bytes (support/payload.h) fits no
// other place by chance, so it counts in the order across receivers.
constexpr std::size_t PINNING_BYTES = 5;

struct SenderRecord {
    std::uint64_t sent = 0; // bytes the hub has been given so far
    // Whether a receiver that read to the end must hold all of it: not for a
    // client the hub cut off, whose last chunks it may drop, nor on the
    // Windows build for one that reset its connection, whose last bytes a
    // reset may keep from the hub.
    bool complete = true;
};

struct Piece {
    std::size_t length;               // with its zero
    bool named;                       // sender and first are known
    bool pinned;                      // named, and no other place fits its bytes
    std::uint32_t sender;             // when named
    std::uint64_t first;              // when named
    std::vector<unsigned char> bytes; // when not named: all but the zero
};

struct ReceiverRecord {
    std::uint32_t id;                   // its own stream's sender id
    std::string label;                  // how failures name it
    bool toTheEnd = false;              // read until the end: must hold every complete stream
    std::vector<unsigned char> partial; // bytes since the last zero
    std::map<std::uint32_t, std::uint64_t> next;      // where each named stream goes on
    std::uint64_t unnamedBytes = 0;                   // in pieces not named as they came
    std::map<std::uint32_t, std::uint64_t> unnamedAt; // unnamedBytes when each was last named
    bool registered = false; // it has received bytes, so the hub surely had it
    std::map<std::uint32_t, std::uint64_t> sentWhenRegistered;
    std::vector<Piece> pieces;
};

// How many choices the searches may make for one receiver before they call
// it undecided: seconds of work, and memory to match.
constexpr std::size_t CHOICE_BUDGET = 400000;

struct RelayModel {
    std::map<std::uint32_t, SenderRecord> senders;
    std::deque<ReceiverRecord> receivers;
    std::size_t choiceBudget = CHOICE_BUDGET; // per receiver
};

struct CheckFigures {
    std::size_t chunks = 0;      // chunks checked, over all receivers
    std::size_t loneZeros = 0;   // one-byte chunks
    std::size_t shortPieces = 0; // too short to tell whose, placed where they fit
    std::size_t choices = 0;     // the searches' choices of where short pieces go
};

// A relay is broken only where a rule surely failed. A client whose short
// pieces no search could place within its bounds is undecided: neither
// passed nor failed, and told apart so that no valid relay is called broken.
struct RelayVerdict {
    std::vector<std::string> broken; // every broken rule, the first of each kind per client first
    std::vector<std::string> undecided; // each such client, in words
    CheckFigures figures;
};

ReceiverRecord& addReceiver(RelayModel& model, std::uint32_t id, const std::string& label);
// The hub surely has this client now (it got bytes, or a probe proved it):
// every byte sent from here on must reach it while it stays.
void noteRegistered(const RelayModel& model, ReceiverRecord& receiver);
void noteSent(RelayModel& model, std::uint32_t sender, std::size_t count);
void noteReceived(RelayModel& model, ReceiverRecord& receiver, const unsigned char* bytes,
                  std::size_t length);
// The relay held to every rule; it kept them all when nothing is broken or
// undecided.
RelayVerdict checkRelay(RelayModel& model);

} // namespace harness
