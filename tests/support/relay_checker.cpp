#include "support/relay_checker.h"

#include "support/payload.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <tuple>
#include <utility>

namespace harness {

namespace {

constexpr std::size_t MAX_FAILURES = 20;
// How far back in a stream a piece that fits nowhere expected is looked for.
constexpr std::uint64_t LOOSE_SEARCH_BYTES = std::uint64_t{256} * 1024;
// Fewer filler bytes fit another stream by chance too often to name a piece
// by its place; such pieces wait for a gap that they fill.
constexpr std::size_t MIN_NAMED_BYTES = 4;
constexpr std::uint64_t MAX_SLACK = 4096;

std::string stretch(std::uint32_t sender, std::uint64_t first, std::uint64_t end) {
    return "sender " + std::to_string(sender) + "'s bytes " + std::to_string(first) + " to " +
           std::to_string(end - 1);
}

std::string chunkName(const Piece& piece) {
    return stretch(piece.sender, piece.first, piece.first + piece.length);
}

Piece namedPiece(std::uint32_t sender, std::uint64_t first, std::size_t length) {
    return Piece{length, true, false, sender, first, {}};
}

// Senders whose stream fits `bytes` where this receiver expects it to go
// on: just after the last piece named for it, or a little further when
// unnamed pieces came since, which may hold the bytes between.
std::vector<PayloadPlace> expectedPlaces(const RelayModel& model, const ReceiverRecord& receiver,
                                         const unsigned char* bytes, std::size_t length) {
    std::vector<PayloadPlace> places;
    for (const auto& [sender, record] : model.senders) {
        auto next = receiver.next.find(sender);
        if (sender == receiver.id && next == receiver.next.end()) {
            continue;
        }
        std::uint64_t from = next == receiver.next.end() ? 0 : next->second;
        std::uint64_t since = next == receiver.next.end() ? 0 : receiver.unnamedAt.at(sender);
        std::uint64_t slack = std::min<std::uint64_t>(receiver.unnamedBytes - since, MAX_SLACK);
        for (std::uint64_t first = from; first <= from + slack && first + length <= record.sent;
             ++first) {
            if (fillerBytes(first, length) >= MIN_NAMED_BYTES &&
                payloadMatches(sender, first, bytes, length)) {
                places.push_back(PayloadPlace{sender, first});
            }
        }
    }
    return places;
}

void finishPiece(const RelayModel& model, ReceiverRecord& receiver) {
    const std::vector<unsigned char>& bytes = receiver.partial;
    std::size_t length = bytes.size() + 1;
    PayloadPlace place{};
    bool named = namePayload(bytes.data(), bytes.size(), place);
    bool ambiguous = false;
    if (!named && bytes.size() >= MIN_NAMED_BYTES) {
        std::vector<PayloadPlace> places =
            expectedPlaces(model, receiver, bytes.data(), bytes.size());
        named = places.size() == 1;
        ambiguous = places.size() > 1;
        if (named) {
            place = places.front();
        }
    }
    if (named) {
        receiver.pieces.push_back(namedPiece(place.sender, place.offset, length));
        receiver.next[place.sender] = place.offset + length;
        receiver.unnamedAt[place.sender] = receiver.unnamedBytes;
    } else {
        receiver.pieces.push_back(Piece{length, false, ambiguous, 0, 0, bytes});
        receiver.unnamedBytes += length;
    }
    receiver.partial.clear();
}

// ---- One receiver's streams -----------------------------------------------

// A stretch of one sender's stream that only a piece too short to tell
// whose it is can have carried: a piece of `length` bytes at a position from
// `after` to before `before`, whose bytes fit there.
struct Claim {
    std::size_t after;
    std::size_t before;
    std::uint32_t sender;
    std::uint64_t first;
    std::size_t length;
};

struct ReceiverCheck {
    const RelayModel& model;
    ReceiverRecord& receiver;
    std::vector<std::string>& failures;
    std::vector<std::size_t> unnamed{}; // positions of the pieces not named as they came
    std::vector<Claim> claims{};
    bool failed = false;
};

void fail(ReceiverCheck& check, const std::string& what) {
    if (!check.failed && check.failures.size() < MAX_FAILURES) {
        check.failures.push_back(check.receiver.label + ": " + what);
    }
    check.failed = true;
}

bool fits(const Piece& piece, std::uint32_t sender, std::uint64_t first) {
    return !piece.named && payloadMatches(sender, first, piece.bytes.data(), piece.bytes.size());
}

void name(Piece& piece, std::uint32_t sender, std::uint64_t first) {
    piece = namedPiece(sender, first, piece.length);
}

// Fills sender's stream from `cursor` towards `end` with the unnamed pieces
// at positions from `from` to before `to`, in order, lone zeros aside;
// returns where it got to.
std::uint64_t fillForward(ReceiverCheck& check, std::uint32_t sender, std::uint64_t cursor,
                          std::uint64_t end, std::size_t from, std::size_t to) {
    auto at = std::lower_bound(check.unnamed.begin(), check.unnamed.end(), from);
    for (; at != check.unnamed.end() && *at < to && cursor < end; ++at) {
        Piece& piece = check.receiver.pieces[*at];
        if (fits(piece, sender, cursor) && cursor + piece.length <= end &&
            fillerBytes(cursor, piece.bytes.size()) >= MIN_NAMED_BYTES) {
            name(piece, sender, cursor);
            cursor += piece.length;
        }
    }
    return cursor;
}

// A piece is short when too few of its bytes are filler to tell whose it is.
bool isShort(const Piece& piece, std::uint64_t first) {
    return fillerBytes(first, piece.length - 1) < MIN_NAMED_BYTES;
}

// How a gap is tiled, from its end back: each piece taken, and whether it is
// short. Which short piece holds which stretch is settled once every sender
// has been tiled (see matchShortPieces), as two senders' gaps may reach for
// the same one.
struct Step {
    std::size_t position;
    std::uint64_t first;
    bool isShort;
};

struct Tiling {
    std::vector<Step> steps;
    std::size_t zerosLeft; // lone zeros this tiling may still take
    std::set<std::tuple<std::size_t, std::uint64_t, std::size_t>> dead;
};

// Whether the unnamed pieces at check.unnamed[k] on, before position `to`,
// tile sender's stream from `cursor` exactly to `end`, taken in order.
// Lone zeros fit anywhere, so they are tried last.
bool tile(ReceiverCheck& check, std::uint32_t sender, std::uint64_t cursor, std::uint64_t end,
          std::size_t k, std::size_t to, Tiling& tiling) {
    if (cursor == end) {
        return true;
    }
    while (k < check.unnamed.size() && check.unnamed[k] < to &&
           check.receiver.pieces[check.unnamed[k]].named) {
        ++k;
    }
    if (k >= check.unnamed.size() || check.unnamed[k] >= to ||
        tiling.dead.count({k, cursor, tiling.zerosLeft}) != 0) {
        return false;
    }
    std::size_t position = check.unnamed[k];
    const Piece& piece = check.receiver.pieces[position];
    bool fitsHere = cursor + piece.length <= end && fits(piece, sender, cursor);
    bool isShortHere = isShort(piece, cursor);
    bool lone = piece.bytes.empty();
    if (fitsHere && !lone && tile(check, sender, cursor + piece.length, end, k + 1, to, tiling)) {
        tiling.steps.push_back(Step{position, cursor, isShortHere});
        return true;
    }
    if (tile(check, sender, cursor, end, k + 1, to, tiling)) {
        return true;
    }
    if (fitsHere && lone && tiling.zerosLeft > 0) {
        --tiling.zerosLeft;
        if (tile(check, sender, cursor + 1, end, k + 1, to, tiling)) {
            tiling.steps.push_back(Step{position, cursor, true});
            return true;
        }
        ++tiling.zerosLeft;
    }
    tiling.dead.insert({k, cursor, tiling.zerosLeft});
    return false;
}

std::size_t loneZerosIn(const ReceiverCheck& check, std::size_t from, std::size_t to) {
    std::size_t zeros = 0;
    auto at = std::lower_bound(check.unnamed.begin(), check.unnamed.end(), from);
    for (; at != check.unnamed.end() && *at < to; ++at) {
        zeros += check.receiver.pieces[*at].length == 1 ? 1u : 0u;
    }
    return zeros;
}

// Tiles sender's stream from `cursor` exactly to `end` with unnamed pieces
// at positions after `from` and before `to`, taking exactly `zeros` lone
// zeros: names the pieces that name themselves and claims short ones for
// the rest.
bool fillWith(ReceiverCheck& check, std::uint32_t sender, std::uint64_t cursor, std::uint64_t end,
              std::size_t from, std::size_t to, std::size_t zeros) {
    auto at = std::lower_bound(check.unnamed.begin(), check.unnamed.end(), from);
    auto k = static_cast<std::size_t>(at - check.unnamed.begin());
    Tiling tiling{{}, zeros, {}};
    if (!tile(check, sender, cursor, end, k, to, tiling) || tiling.zerosLeft != 0) {
        return false;
    }
    std::reverse(tiling.steps.begin(), tiling.steps.end());
    std::size_t left = from;
    for (std::size_t i = 0; i < tiling.steps.size(); ++i) {
        const Step& step = tiling.steps[i];
        Piece& piece = check.receiver.pieces[step.position];
        if (!step.isShort) {
            name(piece, sender, step.first);
            left = step.position;
            continue;
        }
        std::size_t right = to;
        for (std::size_t j = i + 1; j < tiling.steps.size() && right == to; ++j) {
            right = tiling.steps[j].isShort ? to : tiling.steps[j].position;
        }
        check.claims.push_back(Claim{left, right, sender, step.first, piece.length});
    }
    return true;
}

// The same with the fewest lone zeros that will do: a short piece that fits
// a place by chance, plus lone zeros, must not stand in for the real one.
bool fillExactly(ReceiverCheck& check, std::uint32_t sender, std::uint64_t cursor,
                 std::uint64_t end, std::size_t from, std::size_t to) {
    std::size_t most = loneZerosIn(check, from, to);
    for (std::size_t zeros = 0; zeros <= most; ++zeros) {
        if (fillWith(check, sender, cursor, end, from, to, zeros)) {
            return true;
        }
    }
    return false;
}

std::uint64_t sentWhenRegistered(const ReceiverRecord& receiver, std::uint32_t sender) {
    auto found = receiver.sentWhenRegistered.find(sender);
    return found == receiver.sentWhenRegistered.end() ? 0 : found->second;
}

// Where an unnamed piece before position `at` would begin if it held byte
// `bound` of sender's stream, then `bound` itself.
std::vector<std::uint64_t> startsAround(const ReceiverCheck& check, std::uint32_t sender,
                                        std::uint64_t bound, std::size_t at) {
    std::vector<std::uint64_t> starts;
    for (std::size_t position : check.unnamed) {
        const Piece& piece = check.receiver.pieces[position];
        for (std::uint64_t first = bound + 1 > piece.length ? bound + 1 - piece.length : 0;
             position < at && first < bound && !piece.bytes.empty(); ++first) {
            if (fits(piece, sender, first)) {
                starts.push_back(first);
            }
        }
    }
    // Last, since from there lone zeros alone might cover a piece's part.
    starts.push_back(bound);
    return starts;
}

// The first chunk of a sender may begin anywhere up to what the sender had
// sent when this receiver was surely registered; all after that must come.
void checkStart(ReceiverCheck& check, std::uint32_t sender, const Piece& first, std::size_t at) {
    std::uint64_t bound = sentWhenRegistered(check.receiver, sender);
    if (first.first <= bound) {
        return;
    }
    std::vector<std::uint64_t> starts = startsAround(check, sender, bound, at);
    std::size_t most = loneZerosIn(check, 0, at);
    for (std::size_t zeros = 0; zeros <= most; ++zeros) {
        for (std::uint64_t start : starts) {
            if (fillWith(check, sender, start, first.first, 0, at, zeros)) {
                return;
            }
        }
    }
    fail(check, "its first chunk of sender " + std::to_string(sender) + " was " + chunkName(first) +
                    ", though the sender had sent only " + std::to_string(bound) +
                    " bytes when this client was surely registered");
}

// Between two named chunks of one sender, the bytes between them come in
// unnamed pieces, or the receiver missed them.
void checkGaps(ReceiverCheck& check, std::uint32_t sender,
               const std::vector<std::size_t>& positions) {
    const std::vector<Piece>& pieces = check.receiver.pieces;
    for (std::size_t k = 1; k < positions.size(); ++k) {
        const Piece& before = pieces[positions[k - 1]];
        const Piece& piece = pieces[positions[k]];
        std::uint64_t end = before.first + before.length;
        if (piece.first < end) {
            fail(check, "got " + chunkName(piece) + " after " + chunkName(before) +
                            ": a duplicate, an overlap or a reordering");
        } else if (piece.first > end &&
                   !fillExactly(check, sender, end, piece.first, positions[k - 1], positions[k])) {
            fail(check, "missed " + stretch(sender, end, piece.first) + " between " +
                            chunkName(before) + " and " + chunkName(piece));
        }
    }
}

// What the receiver got of sender's stream after its last named chunk:
// all of it, if it read to the end and the sender was never cut off.
void checkEnd(ReceiverCheck& check, std::uint32_t sender, std::uint64_t end, std::size_t after) {
    const SenderRecord& record = check.model.senders.at(sender);
    std::size_t count = check.receiver.pieces.size();
    if (end > record.sent || !fillExactly(check, sender, end, record.sent, after, count)) {
        fail(check, "read to the end but got sender " + std::to_string(sender) +
                        "'s stream only up to byte " + std::to_string(end) + " of " +
                        std::to_string(record.sent));
    }
}

// Pieces are named from the strictest rule to the loosest, so a piece that
// could fit by chance is never taken before the gap it belongs to.
enum class Pass { Gaps, Starts, Ends };

// One sender's chunks at this receiver (their positions, in order):
// contiguous, in order, from the moment it was registered.
void checkSender(ReceiverCheck& check, std::uint32_t sender,
                 const std::vector<std::size_t>& positions, Pass pass) {
    const std::vector<Piece>& pieces = check.receiver.pieces;
    std::uint64_t registeredAt = sentWhenRegistered(check.receiver, sender);
    bool whole = check.receiver.toTheEnd && check.model.senders.at(sender).complete;
    if (sender == check.receiver.id) {
        if (!positions.empty() && pass == Pass::Gaps) {
            fail(check, "got its own chunk back: " + chunkName(pieces[positions.front()]));
        }
        return;
    }
    std::size_t after = positions.empty() ? 0 : positions.back();
    std::uint64_t end = registeredAt;
    if (!positions.empty()) {
        end = pieces[positions.back()].first + pieces[positions.back()].length;
    }
    if (pass == Pass::Gaps) {
        checkGaps(check, sender, positions);
        if (whole) {
            checkEnd(check, sender, end, after);
        }
    } else if (pass == Pass::Starts && !positions.empty()) {
        checkStart(check, sender, pieces[positions.front()], positions.front());
    } else if (pass == Pass::Ends && !whole) {
        fillForward(check, sender, end, UINT64_MAX, after, pieces.size());
    }
}

// A short piece no expected place took may still be a stretch of a stream
// that began after this receiver joined and then stopped: looked for near
// where this receiver was in each stream.
bool fitsSomewhere(const RelayModel& model, const ReceiverRecord& receiver, const Piece& piece) {
    for (const auto& [sender, record] : model.senders) {
        std::uint64_t near = sentWhenRegistered(receiver, sender);
        auto next = receiver.next.find(sender);
        std::uint64_t far = next == receiver.next.end() ? near : std::max(near, next->second);
        std::uint64_t from = near > LOOSE_SEARCH_BYTES ? near - LOOSE_SEARCH_BYTES : 0;
        std::uint64_t to = std::min(record.sent + 1, far + LOOSE_SEARCH_BYTES);
        for (std::uint64_t first = from; sender != receiver.id && first + piece.length <= to;
             ++first) {
            if (payloadMatches(sender, first, piece.bytes.data(), piece.bytes.size())) {
                return true;
            }
        }
    }
    return false;
}

// Short pieces to the claims that need them, as a bipartite matching: a
// claim may take an unnamed piece of its length, in its range, that fits.
struct Matching {
    ReceiverCheck& check;
    std::map<std::size_t, std::size_t> claimOf; // piece position -> claim
    std::set<std::size_t> visited;
};

bool canTake(const ReceiverCheck& check, const Claim& claim, std::size_t position) {
    const Piece& piece = check.receiver.pieces[position];
    return !piece.named && piece.length == claim.length && position >= claim.after &&
           position < claim.before && fits(piece, claim.sender, claim.first);
}

bool augment(Matching& matching, std::size_t claim) {
    const Claim& wanted = matching.check.claims[claim];
    auto from = std::lower_bound(matching.check.unnamed.begin(), matching.check.unnamed.end(),
                                 wanted.after);
    for (auto at = from; at != matching.check.unnamed.end() && *at < wanted.before; ++at) {
        if (!canTake(matching.check, wanted, *at) || !matching.visited.insert(*at).second) {
            continue;
        }
        auto holder = matching.claimOf.find(*at);
        if (holder == matching.claimOf.end() || augment(matching, holder->second)) {
            matching.claimOf[*at] = claim;
            return true;
        }
    }
    return false;
}

void matchShortPieces(ReceiverCheck& check) {
    Matching matching{check, {}, {}};
    for (std::size_t claim = 0; claim < check.claims.size(); ++claim) {
        matching.visited.clear();
        if (!augment(matching, claim)) {
            const Claim& missed = check.claims[claim];
            fail(check, "missed " +
                            stretch(missed.sender, missed.first, missed.first + missed.length) +
                            " before its chunk #" + std::to_string(missed.before));
            return;
        }
    }
    for (const auto& [position, claim] : matching.claimOf) {
        const Claim& taken = check.claims[claim];
        name(check.receiver.pieces[position], taken.sender, taken.first);
    }
}

void checkReceiver(ReceiverCheck& check, CheckFigures& figures) {
    std::map<std::uint32_t, std::vector<std::size_t>> bySender;
    for (const auto& entry : check.model.senders) {
        bySender[entry.first];
    }
    const std::vector<Piece>& pieces = check.receiver.pieces;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (pieces[i].named) {
            bySender[pieces[i].sender].push_back(i);
        } else {
            check.unnamed.push_back(i);
        }
    }
    for (Pass pass : {Pass::Gaps, Pass::Starts, Pass::Ends}) {
        for (const auto& [sender, positions] : bySender) {
            checkSender(check, sender, positions, pass);
        }
    }
    matchShortPieces(check);
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        const Piece& piece = pieces[i];
        if (piece.named) {
            ++figures.chunks;
        } else if (piece.bytes.empty()) {
            ++figures.loneZeros;
        } else if (piece.bytes.size() >= SELF_NAMING_BYTES ||
                   (!piece.ambiguous && !fitsSomewhere(check.model, check.receiver, piece))) {
            fail(check, "its chunk #" + std::to_string(i) + " (" + std::to_string(piece.length) +
                            " bytes) is no stretch of any sender's stream");
        } else {
            ++figures.shortPieces;
        }
    }
}

// ---- Across receivers -------------------------------------------------------

using ChunkKey = std::pair<std::uint32_t, std::uint64_t>;

// Named for certain: a short piece stands for any of its kind that fits its
// place, so where it lies says nothing of the order.
bool namedForCertain(const Piece& piece) { return piece.named && !isShort(piece, piece.first); }

struct ChunkOwner {
    std::size_t length;   // cppcheck-suppress unusedStructMember ; read through the map
    std::size_t receiver; // cppcheck-suppress unusedStructMember ; the first that got it
};

void failAcross(std::vector<std::string>& failures, const std::string& what) {
    if (failures.size() < MAX_FAILURES) {
        failures.push_back(what);
    }
}

// Every chunk once, with the boundaries the first receiver saw.
std::map<ChunkKey, ChunkOwner> checkBoundaries(const RelayModel& model,
                                               std::vector<std::string>& failures) {
    std::map<ChunkKey, ChunkOwner> chunks;
    for (std::size_t r = 0; r < model.receivers.size(); ++r) {
        for (const Piece& piece : model.receivers[r].pieces) {
            if (!namedForCertain(piece)) {
                continue;
            }
            ChunkKey key{piece.sender, piece.first};
            auto [at, added] = chunks.emplace(key, ChunkOwner{piece.length, r});
            auto overlaps = [&](auto other) {
                return other->first.first == piece.sender &&
                       other->first.second + other->second.length > piece.first &&
                       other->first.second < piece.first + piece.length;
            };
            bool differs = !added && at->second.length != piece.length;
            auto clash = at;
            if (added && at != chunks.begin() && overlaps(std::prev(at))) {
                clash = std::prev(at);
                differs = true;
            } else if (added && std::next(at) != chunks.end() && overlaps(std::next(at))) {
                clash = std::next(at);
                differs = true;
            }
            if (differs) {
                Piece seen =
                    namedPiece(clash->first.first, clash->first.second, clash->second.length);
                failAcross(failures, model.receivers[r].label + " got " + chunkName(piece) +
                                         " as one chunk, " +
                                         model.receivers[clash->second.receiver].label + " got " +
                                         chunkName(seen));
                if (added) {
                    chunks.erase(at);
                }
                return chunks;
            }
        }
    }
    return chunks;
}

struct Ordered {
    std::vector<std::vector<int>> lists; // each receiver's chunks by number
    std::vector<Piece> chunks;           // by number
};

Ordered numberChunks(const RelayModel& model, const std::map<ChunkKey, ChunkOwner>& all) {
    Ordered ordered;
    std::map<ChunkKey, int> numbers;
    for (const auto& [key, owner] : all) {
        numbers.emplace(key, static_cast<int>(ordered.chunks.size()));
        ordered.chunks.push_back(namedPiece(key.first, key.second, owner.length));
    }
    for (const ReceiverRecord& receiver : model.receivers) {
        std::vector<int> list;
        for (const Piece& piece : receiver.pieces) {
            auto found = namedForCertain(piece) ? numbers.find(ChunkKey{piece.sender, piece.first})
                                                : numbers.end();
            if (found != numbers.end()) {
                list.push_back(found->second);
            }
        }
        ordered.lists.push_back(std::move(list));
    }
    return ordered;
}

// Receiver a against receiver b: the chunks both got come in the same order,
// and between two chunks a got, a missed none that b got (but its own, and
// short ones that may be lone zeros or pieces left aside at a).
void comparePair(const RelayModel& model, const Ordered& ordered, std::size_t a, std::size_t b,
                 std::vector<int>& positionInA, std::vector<std::string>& failures) {
    const std::vector<int>& listB = ordered.lists[b];
    std::vector<std::size_t> shared; // indices into listB of chunks a also got
    int lastPosition = -1;
    for (std::size_t i = 0; i < listB.size(); ++i) {
        int position = positionInA[static_cast<std::size_t>(listB[i])];
        if (position < 0) {
            continue;
        }
        if (position < lastPosition) {
            const int earlier = ordered.lists[a][static_cast<std::size_t>(lastPosition)];
            failAcross(failures, model.receivers[a].label + " got " +
                                     chunkName(ordered.chunks[static_cast<std::size_t>(listB[i])]) +
                                     " before " +
                                     chunkName(ordered.chunks[static_cast<std::size_t>(earlier)]) +
                                     ", " + model.receivers[b].label + " the other way round");
            return;
        }
        lastPosition = position;
        shared.push_back(i);
    }
    for (std::size_t k = 1; k < shared.size(); ++k) {
        for (std::size_t i = shared[k - 1] + 1; i < shared[k]; ++i) {
            const Piece& chunk = ordered.chunks[static_cast<std::size_t>(listB[i])];
            if (chunk.sender != model.receivers[a].id && chunk.length > SELF_NAMING_BYTES) {
                failAcross(failures, model.receivers[a].label + " missed " + chunkName(chunk) +
                                         ", which " + model.receivers[b].label +
                                         " got between two chunks both got");
                return;
            }
        }
    }
}

void checkOrder(const RelayModel& model, const Ordered& ordered,
                std::vector<std::string>& failures) {
    std::vector<int> positionInA(ordered.chunks.size(), -1);
    for (std::size_t a = 0; a < ordered.lists.size(); ++a) {
        const std::vector<int>& listA = ordered.lists[a];
        for (std::size_t i = 0; i < listA.size(); ++i) {
            positionInA[static_cast<std::size_t>(listA[i])] = static_cast<int>(i);
        }
        for (std::size_t b = 0; b < ordered.lists.size() && failures.size() < MAX_FAILURES; ++b) {
            if (b != a) {
                comparePair(model, ordered, a, b, positionInA, failures);
            }
        }
        for (int chunk : listA) {
            positionInA[static_cast<std::size_t>(chunk)] = -1;
        }
    }
}

} // namespace

ReceiverRecord& addReceiver(RelayModel& model, std::uint32_t id, const std::string& label) {
    model.senders[id];
    model.receivers.push_back(ReceiverRecord{});
    model.receivers.back().id = id;
    model.receivers.back().label = label;
    return model.receivers.back();
}

void noteSent(RelayModel& model, std::uint32_t sender, std::size_t count) {
    model.senders[sender].sent += count;
}

void noteRegistered(const RelayModel& model, ReceiverRecord& receiver) {
    if (receiver.registered) {
        return;
    }
    receiver.registered = true;
    for (const auto& [sender, record] : model.senders) {
        receiver.sentWhenRegistered[sender] = record.sent;
    }
}

void noteReceived(RelayModel& model, ReceiverRecord& receiver, const unsigned char* bytes,
                  std::size_t length) {
    if (length > 0) {
        noteRegistered(model, receiver);
    }
    while (length > 0) {
        const auto* zero = static_cast<const unsigned char*>(std::memchr(bytes, 0, length));
        std::size_t run = zero == nullptr ? length : static_cast<std::size_t>(zero - bytes);
        receiver.partial.insert(receiver.partial.end(), bytes, bytes + run);
        if (zero == nullptr) {
            return;
        }
        finishPiece(model, receiver);
        bytes += run + 1;
        length -= run + 1;
    }
}

std::vector<std::string> checkRelay(RelayModel& model, CheckFigures& figures) {
    std::vector<std::string> failures;
    for (ReceiverRecord& receiver : model.receivers) {
        ReceiverCheck check{model, receiver, failures};
        checkReceiver(check, figures);
    }
    std::map<ChunkKey, ChunkOwner> chunks = checkBoundaries(model, failures);
    checkOrder(model, numberChunks(model, chunks), failures);
    return failures;
}

} // namespace harness
