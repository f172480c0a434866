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
// How far a short piece's reachable places are scanned before it is named
// ahead of the search; a wider reach is left to the search.
constexpr std::uint64_t MAX_REACH = 65536;

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

// Enough of its bytes tell whose and which they are that they fit no other
// place by chance, even among the many a search looks at.
bool pins(const Piece& piece) {
    return tellingBytes(piece.first, piece.length - 1) >= PINNING_BYTES;
}

std::uint64_t sentWhenRegistered(const ReceiverRecord& receiver, std::uint32_t sender);

// Senders whose stream fits `bytes` where this receiver expects it to go
// on: just after the last piece named for it, or a little further when
// unnamed pieces came since, which may hold the bytes between; from its
// start for a sender not named yet, up to where it was when the receiver was
// surely registered. `whole` says whether that was every place the bytes may
// come from: a piece that fits one of them by chance, while its own place
// lies further on, must not be named there.
std::vector<PayloadPlace> expectedPlaces(const RelayModel& model, const ReceiverRecord& receiver,
                                         const unsigned char* bytes, std::size_t length,
                                         bool& whole) {
    std::vector<PayloadPlace> places;
    whole = true;
    for (const auto& [sender, record] : model.senders) {
        auto next = receiver.next.find(sender);
        if (sender == receiver.id && next == receiver.next.end()) {
            continue;
        }
        std::uint64_t from = next == receiver.next.end() ? 0 : next->second;
        std::uint64_t since = next == receiver.next.end() ? 0 : receiver.unnamedAt.at(sender);
        std::uint64_t reach = receiver.unnamedBytes - since;
        if (next == receiver.next.end()) {
            reach += sentWhenRegistered(receiver, sender);
        }
        if (reach > MAX_SLACK && from + MAX_SLACK + 1 + length <= record.sent) {
            whole = false;
        }
        std::uint64_t slack = std::min<std::uint64_t>(reach, MAX_SLACK);
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
    if (!named && bytes.size() >= MIN_NAMED_BYTES) {
        bool whole = false;
        std::vector<PayloadPlace> places =
            expectedPlaces(model, receiver, bytes.data(), bytes.size(), whole);
        named = whole && places.size() == 1;
        if (named) {
            place = places.front();
        }
    }
    if (named) {
        receiver.pieces.push_back(namedPiece(place.sender, place.offset, length));
        receiver.pieces.back().pinned = pins(receiver.pieces.back());
        receiver.next[place.sender] = place.offset + length;
        receiver.unnamedAt[place.sender] = receiver.unnamedBytes;
    } else {
        receiver.pieces.push_back(Piece{length, false, false, 0, 0, bytes});
        receiver.unnamedBytes += length;
    }
    receiver.partial.clear();
}

// ---- One receiver's streams -----------------------------------------------
//
// The named chunks of each sender cut its stream into gaps: between two of
// them, before the first (from anywhere up to where the sender was when this
// receiver was surely registered) and after the last (to the end of what it
// sent, or anywhere when the receiver need not hold it all). Every unnamed
// piece must fill exactly one gap of one sender, in order, each gap exactly.
//
// Which piece fills which gap is a search, from the last unnamed piece back
// to the first, so that most gaps are anchored where they end. A piece that
// tells whose it is has one place; a piece of a record's marker fits any
// record start. Lone zeros fit anywhere and are alike, so they are not
// placed one by one: they wait in a pool, and a gap takes from it the number
// of zeros a hole in it needs, always the latest ones that lie before the
// piece above the hole (any other choice leaves less to the gaps still to
// come). What the search chooses is each piece's place and each hole's
// size; states that failed are remembered, so none is explored twice.
//
// Lone zeros make that search wide: with a dozen senders' gaps open at once,
// a short piece of one or two bytes fits several of them, and a wrong choice
// shows only when a gap far below runs short of zeros. So after each choice
// the search counts: every byte left, each pooled zero and every unit of
// every piece still to come, must find a gap whose window holds it, and
// every gap must get what it needs (countsFit). That sees most wrong
// choices at once. It is a bound, never a verdict: only a full placement
// passes a receiver, and only a search that tried everything fails one.

constexpr std::size_t NO_GAP = SIZE_MAX;

struct Gap {
    std::uint32_t sender;
    long left;              // position of the named chunk before it, or -1
    long right;             // position of the named chunk after it, or the piece count
    std::uint64_t low;      // where it starts, unless openStart
    std::uint64_t high;     // where it ends, unless openEnd
    bool openStart;         // starts anywhere up to bound
    bool openEnd;           // ends anywhere up to sent
    std::uint64_t bound;    // what the sender had sent when the receiver was surely registered
    std::uint64_t sent;     // all the sender gave the hub
    std::size_t firstPiece; // its unnamed pieces: indices firstPiece to before endPiece
    std::size_t endPiece;
};

// A gap is filled from its end back. `cursor` is where what it holds so far
// begins, `top` the position of the piece that begins there: zeros that fill
// the hole below lie before it. A gap with an open end has no end until a
// piece other than a lone zero is placed in it.
struct GapState {
    std::uint64_t cursor;
    std::size_t top;
    bool anchored;
};

// One choice: the gap's new state, after taking `take` zeros from the pool
// that lie before `below`. A lone zero goes to the pool (gap NO_GAP).
struct Move {
    std::size_t gap;
    GapState state;
    std::size_t take;
    std::size_t below;
    bool scanned; // the piece anchors the gap at one of the places it fits
};

using StateKey = std::pair<std::uint64_t, std::uint64_t>;

struct Decision {
    std::size_t piece; // the unnamed piece placed, by index
    std::size_t gap;   // or the gap closed, NO_GAP when placing
};

struct Frame {
    std::vector<Move> moves;
    std::size_t next = 0;
    GapState saved{};
    std::vector<std::size_t> taken{}; // zeros the move took, in pool order
    std::size_t takenAt = 0;
};

struct ReceiverCheck {
    const RelayModel& model;
    ReceiverRecord& receiver;
    std::vector<std::string>& failures;
    std::vector<std::size_t> unnamed{};       // positions of the pieces not named as they came
    std::vector<std::uint64_t> bytesBefore{}; // unnamed bytes before each unnamed piece
    std::vector<Gap> gaps{};
    std::vector<std::vector<std::size_t>> activeAt{};  // gaps each unnamed piece may fill
    std::vector<std::vector<std::size_t>> closingAt{}; // gaps whose last chance it is
    std::vector<std::size_t> closedAt{};               // the decision that closes each gap
    std::vector<std::size_t> byLeft{}; // gaps with pieces to take, by where their window begins
    std::vector<Decision> decisions{};
    std::vector<GapState> states{};
    std::vector<std::size_t> pool{}; // positions of the lone zeros not yet taken, latest first
    std::map<std::pair<std::size_t, std::uint32_t>, std::vector<std::uint64_t>> looseFits{};
    std::set<StateKey> dead{};
    std::size_t moves = 0;
    std::size_t deepest = SIZE_MAX; // the earliest decision the search failed at
    std::string deepestWhy{};
    bool failed = false;
    std::size_t budget = CHOICE_BUDGET;
    bool undecided = false; // the search ran out of budget
};

void fail(ReceiverCheck& check, const std::string& what) {
    if (!check.failed && check.failures.size() < MAX_FAILURES) {
        check.failures.push_back(check.receiver.label + ": " + what);
    }
    check.failed = true;
}

bool fits(const Piece& piece, std::uint32_t sender, std::uint64_t first) {
    return payloadMatches(sender, first, piece.bytes.data(), piece.bytes.size());
}

std::uint64_t sentWhenRegistered(const ReceiverRecord& receiver, std::uint32_t sender) {
    auto found = receiver.sentWhenRegistered.find(sender);
    return found == receiver.sentWhenRegistered.end() ? 0 : found->second;
}

// Named chunks of one sender follow on; a chunk of its own is never sent back.
bool checkNamed(ReceiverCheck& check, std::uint32_t sender,
                const std::vector<std::size_t>& positions) {
    const std::vector<Piece>& pieces = check.receiver.pieces;
    if (sender == check.receiver.id && !positions.empty()) {
        fail(check, "got its own chunk back: " + chunkName(pieces[positions.front()]));
        return false;
    }
    for (std::size_t k = 1; k < positions.size(); ++k) {
        const Piece& before = pieces[positions[k - 1]];
        const Piece& piece = pieces[positions[k]];
        if (piece.first < before.first + before.length) {
            fail(check, "got " + chunkName(piece) + " after " + chunkName(before) +
                            ": a duplicate, an overlap or a reordering");
            return false;
        }
    }
    return true;
}

// How many unnamed pieces lie before `position`.
std::size_t unnamedBefore(const ReceiverCheck& check, long position) {
    auto at = std::lower_bound(check.unnamed.begin(), check.unnamed.end(),
                               static_cast<std::size_t>(position));
    return static_cast<std::size_t>(at - check.unnamed.begin());
}

void addGap(ReceiverCheck& check, Gap gap) {
    gap.firstPiece = unnamedBefore(check, gap.left + 1);
    gap.endPiece = unnamedBefore(check, gap.right);
    check.gaps.push_back(gap);
}

// One sender's gaps at this receiver, from its named chunks.
void addGaps(ReceiverCheck& check, std::uint32_t sender,
             const std::vector<std::size_t>& positions) {
    const SenderRecord& record = check.model.senders.at(sender);
    bool whole = check.receiver.toTheEnd && record.complete;
    auto count = static_cast<long>(check.receiver.pieces.size());
    Gap gap{sender,      -1,   count,  0,
            record.sent, true, !whole, sentWhenRegistered(check.receiver, sender),
            record.sent, 0,    0};
    for (std::size_t position : positions) {
        const Piece& piece = check.receiver.pieces[position];
        gap.right = static_cast<long>(position);
        gap.high = piece.first;
        gap.openEnd = false;
        addGap(check, gap);
        gap.left = static_cast<long>(position);
        gap.right = count;
        gap.low = piece.first + piece.length;
        gap.high = record.sent;
        gap.openStart = false;
        gap.openEnd = !whole;
    }
    addGap(check, gap);
}

GapState initialState(const Gap& gap) {
    return GapState{gap.high, static_cast<std::size_t>(gap.right), !gap.openEnd};
}

// What the gap still needs below its cursor, at least.
std::uint64_t need(const Gap& gap, const GapState& state) {
    if (!state.anchored) {
        return 0;
    }
    std::uint64_t floor = gap.openStart ? gap.bound : gap.low;
    return state.cursor > floor ? state.cursor - floor : 0;
}

std::string whyOpen(const ReceiverCheck& check, const Gap& gap, const GapState& state) {
    const std::vector<Piece>& pieces = check.receiver.pieces;
    std::uint64_t end = state.anchored ? state.cursor : gap.high;
    if (gap.openStart && gap.right < static_cast<long>(pieces.size())) {
        return "its first chunk of sender " + std::to_string(gap.sender) + " was " +
               chunkName(pieces[static_cast<std::size_t>(gap.right)]) +
               ", though the sender had sent only " + std::to_string(gap.bound) +
               " bytes when this client was surely registered, and no pieces fill the rest";
    }
    if (gap.openStart) {
        return "read to the end but got sender " + std::to_string(gap.sender) +
               "'s stream only from byte " + std::to_string(end) + " of " +
               std::to_string(gap.sent) + ", though it had sent only " + std::to_string(gap.bound) +
               " when this client was surely registered";
    }
    if (gap.right == static_cast<long>(pieces.size())) {
        return "read to the end but got sender " + std::to_string(gap.sender) +
               "'s stream only up to byte " + std::to_string(gap.low) + " of " +
               std::to_string(gap.sent) + " (then pieces from byte " + std::to_string(end) + ")";
    }
    return "missed " + stretch(gap.sender, gap.low, end) + " between " +
           chunkName(pieces[static_cast<std::size_t>(gap.left)]) + " and " +
           chunkName(pieces[static_cast<std::size_t>(gap.right)]);
}

// Zeros in the pool that lie before `below`.
std::size_t zerosBefore(const ReceiverCheck& check, std::size_t below) {
    auto at = std::lower_bound(check.pool.begin(), check.pool.end(), below,
                               [](std::size_t zero, std::size_t bound) { return zero >= bound; });
    return static_cast<std::size_t>(check.pool.end() - at);
}

// Where a piece that anchors an open-ended gap may begin: it fits there, and
// the pieces before it in the gap can reach back to where the gap may start.
std::vector<std::uint64_t> anchorPlaces(ReceiverCheck& check, const Gap& gap, std::size_t k) {
    const Piece& piece = check.receiver.pieces[check.unnamed[k]];
    std::uint64_t room = check.bytesBefore[k] - check.bytesBefore[gap.firstPiece];
    std::uint64_t from = gap.low;
    std::uint64_t to = gap.low + room;
    if (gap.openStart) {
        from = gap.bound > LOOSE_SEARCH_BYTES ? gap.bound - LOOSE_SEARCH_BYTES : 0;
        to = gap.bound + room;
    }
    auto cached = check.looseFits.find({k, gap.sender});
    if (cached != check.looseFits.end()) {
        return cached->second;
    }
    std::vector<std::uint64_t> places;
    for (std::uint64_t first = from; first <= to && first + piece.length <= gap.sent; ++first) {
        if (fits(piece, gap.sender, first)) {
            places.push_back(first);
        }
    }
    check.looseFits.emplace(std::make_pair(k, gap.sender), places);
    return places;
}

// Every way unnamed piece k can go in: gaps that must still be filled and
// close soonest first, smaller holes first, so a valid relay is found
// without backtracking.
std::vector<Move> placements(ReceiverCheck& check, std::size_t k) {
    std::size_t position = check.unnamed[k];
    const Piece& piece = check.receiver.pieces[position];
    if (piece.length == 1) {
        return {Move{NO_GAP, {}, 0, 0, false}};
    }
    std::vector<std::size_t> order = check.activeAt[k];
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return (need(check.gaps[a], check.states[a]) > 0) >
               (need(check.gaps[b], check.states[b]) > 0);
    });
    std::vector<Move> moves;
    for (std::size_t g : order) {
        const Gap& gap = check.gaps[g];
        const GapState& state = check.states[g];
        if (state.anchored) {
            std::size_t zeros = zerosBefore(check, state.top);
            for (std::size_t hole = 0; hole <= zeros && hole + piece.length <= state.cursor;
                 ++hole) {
                std::uint64_t first = state.cursor - hole - piece.length;
                if ((gap.openStart || first >= gap.low) && fits(piece, gap.sender, first)) {
                    moves.push_back(
                        Move{g, GapState{first, position, true}, hole, state.top, false});
                }
            }
            continue;
        }
        // Zeros after the anchor, up to the gap's end, make its tail.
        std::size_t zeros = zerosBefore(check, static_cast<std::size_t>(gap.right));
        for (std::uint64_t first : anchorPlaces(check, gap, k)) {
            std::uint64_t most = std::min<std::uint64_t>(zeros, gap.sent - first - piece.length);
            for (std::uint64_t tail = 0; tail <= most; ++tail) {
                moves.push_back(Move{g, GapState{first, position, true},
                                     static_cast<std::size_t>(tail),
                                     static_cast<std::size_t>(gap.right), true});
            }
        }
    }
    return moves;
}

// How gap g may end once no piece is left for it: the hole under its cursor
// filled with zeros, exactly to its start, or for an open start to anywhere
// at or before the bound; a gap with an open end that holds no piece takes
// any number of zeros that fits.
std::vector<Move> closings(ReceiverCheck& check, std::size_t g) {
    const Gap& gap = check.gaps[g];
    const GapState& state = check.states[g];
    std::size_t zeros = zerosBefore(check, state.top);
    std::uint64_t fewest = 0;
    std::uint64_t most = 0;
    if (!state.anchored) {
        most = gap.sent - (gap.openStart ? 0 : gap.low);
    } else if (gap.openStart) {
        fewest = state.cursor > gap.bound ? state.cursor - gap.bound : 0;
        most = state.cursor;
    } else {
        fewest = state.cursor - gap.low;
        most = fewest;
    }
    std::vector<Move> moves;
    for (std::uint64_t take = std::min<std::uint64_t>(most, zeros) + 1; take-- > fewest;) {
        GapState closed{state.cursor - (state.anchored ? take : 0), state.top, state.anchored};
        moves.push_back(Move{g, closed, static_cast<std::size_t>(take), state.top, false});
    }
    return moves;
}

// How many bytes a gap may still take below its cursor, at most.
std::uint64_t holeRoom(const Gap& gap, const GapState& state) {
    if (!state.anchored) {
        return gap.sent - (gap.openStart ? 0 : gap.low);
    }
    return state.cursor - (gap.openStart ? 0 : gap.low);
}

std::uint64_t mixWord(std::uint64_t x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

// A state's future depends on each active gap's cursor and top, and on how
// many pooled zeros lie below each top, never on which zeros they are: every
// hole takes the latest below its top. That is all the key holds, as a
// 128-bit fingerprint, so a remembered state costs the same however many
// zeros are pooled; two states alike by chance are beyond reckoning.
StateKey stateKey(const ReceiverCheck& check, std::size_t d) {
    StateKey key{0x243f6a8885a308d3ULL, 0x13198a2e03707344ULL};
    auto add = [&](std::uint64_t word) {
        key.first = mixWord(key.first ^ word) + 0x9e3779b97f4a7c15ULL;
        key.second = mixWord(key.second + word * 0xff51afd7ed558ccdULL) ^ 0xc4ceb9fe1a85ec53ULL;
    };
    add(d);
    add(check.pool.size());
    for (std::size_t g : check.activeAt[check.decisions[d].piece]) {
        const GapState& state = check.states[g];
        add(state.anchored ? state.cursor : UINT64_MAX);
        add(state.top);
        add(zerosBefore(check, state.top));
    }
    return key;
}

void noteDeadEnd(ReceiverCheck& check, std::size_t d, const std::string& why) {
    if (d >= check.deepest && check.deepest != SIZE_MAX) {
        return;
    }
    check.deepest = d;
    check.deepestWhy = why;
}

std::string noPlace(const ReceiverCheck& check, std::size_t k) {
    std::size_t position = check.unnamed[k];
    return "its chunk #" + std::to_string(position) + " (" +
           std::to_string(check.receiver.pieces[position].length) +
           " bytes) fits no place left in any other sender's stream: a duplicate, a reordering, "
           "its own or no stretch of any stream";
}

Frame frameFor(ReceiverCheck& check, std::size_t d) {
    const Decision& decision = check.decisions[d];
    Frame frame;
    if (decision.gap == NO_GAP) {
        frame.moves = placements(check, decision.piece);
        if (frame.moves.empty()) {
            noteDeadEnd(check, d, noPlace(check, decision.piece));
        }
    } else {
        frame.moves = closings(check, decision.gap);
        if (frame.moves.empty()) {
            noteDeadEnd(check, d,
                        whyOpen(check, check.gaps[decision.gap], check.states[decision.gap]));
        }
    }
    return frame;
}

void apply(ReceiverCheck& check, Frame& frame, std::size_t piece) {
    const Move& move = frame.moves[frame.next];
    if (move.gap == NO_GAP) {
        check.pool.push_back(check.unnamed[piece]);
        return;
    }
    frame.saved = check.states[move.gap];
    check.states[move.gap] = move.state;
    std::size_t end = check.pool.size() - zerosBefore(check, move.below) + move.take;
    frame.takenAt = end - move.take;
    auto from = check.pool.begin() + static_cast<long>(frame.takenAt);
    auto to = check.pool.begin() + static_cast<long>(end);
    frame.taken.assign(from, to);
    check.pool.erase(from, to);
}

void undo(ReceiverCheck& check, Frame& frame) {
    const Move& move = frame.moves[frame.next - 1];
    if (move.gap == NO_GAP) {
        check.pool.pop_back();
        return;
    }
    check.states[move.gap] = frame.saved;
    check.pool.insert(check.pool.begin() + static_cast<long>(frame.takenAt), frame.taken.begin(),
                      frame.taken.end());
}

// What a gap may still take, at least and at most, and below which
// position: a gap with an open start or end takes a range.
struct Demand {
    long left;
    std::size_t top;
    std::uint64_t fewest;
    std::uint64_t most;
};

Demand demandOf(const Gap& gap, const GapState& state) {
    Demand demand{gap.left, state.top, need(gap, state), holeRoom(gap, state)};
    if (state.anchored && !gap.openStart) {
        demand.fewest = demand.most;
    }
    return demand;
}

// Bytes at positions (each unit of a piece alike) matched to the windows
// that may take them, earliest-closing window first: the most that can be
// matched when each window takes at most `most`, or `fewest` when `least`.
// Windows on a line against points: this greedy matches the most there is.
std::uint64_t matchable(const std::vector<Demand>& demands,
                        const std::vector<std::pair<std::size_t, std::uint64_t>>& supply,
                        bool least) {
    using Open = std::pair<std::size_t, std::uint64_t>; // top, room left
    std::vector<Open> open;
    auto later = [](const Open& a, const Open& b) { return a.first > b.first; };
    std::uint64_t matched = 0;
    std::size_t next = 0;
    for (const auto& [position, bytes] : supply) {
        for (; next < demands.size() && demands[next].left < static_cast<long>(position); ++next) {
            std::uint64_t room = least ? demands[next].fewest : demands[next].most;
            if (room > 0) {
                open.emplace_back(demands[next].top, room);
                std::push_heap(open.begin(), open.end(), later);
            }
        }
        std::uint64_t left = bytes;
        while (left > 0 && !open.empty()) {
            std::pop_heap(open.begin(), open.end(), later);
            Open& window = open.back();
            if (window.first <= position) {
                open.pop_back();
                continue;
            }
            std::uint64_t taken = std::min(left, window.second);
            left -= taken;
            matched += taken;
            window.second -= taken;
            if (window.second == 0) {
                open.pop_back();
            } else {
                std::push_heap(open.begin(), open.end(), later);
            }
        }
    }
    return matched;
}

// Counting alone, every unit of every piece left and every pooled zero must
// go to a gap whose window holds it, and every gap must get what it needs:
// a bound that sees, long before the search would, a choice that leaves some
// gap too few zeros or too many.
bool countsFit(const ReceiverCheck& check, std::size_t d, std::size_t k) {
    std::vector<Demand> demands;
    std::uint64_t fewest = 0;
    for (std::size_t g : check.byLeft) {
        const Gap& gap = check.gaps[g];
        bool active = gap.firstPiece <= k && k < gap.endPiece;
        if (gap.firstPiece > k || (active && check.closedAt[g] <= d)) {
            continue;
        }
        demands.push_back(demandOf(gap, check.states[g]));
        fewest += demands.back().fewest;
    }
    std::vector<std::pair<std::size_t, std::uint64_t>> supply;
    std::uint64_t total = check.pool.size();
    for (std::size_t j = 0; j < k; ++j) {
        supply.emplace_back(check.unnamed[j], check.receiver.pieces[check.unnamed[j]].length);
        total += supply.back().second;
    }
    for (auto zero = check.pool.rbegin(); zero != check.pool.rend(); ++zero) {
        supply.emplace_back(*zero, 1);
    }
    return matchable(demands, supply, false) == total && matchable(demands, supply, true) == fewest;
}

// The gaps still open can be filled by the pieces and zeros left: those
// that must be full before piece x count on the pieces from x on and the
// pool alone (check.activeAt lists gaps by where their window begins,
// latest first).
bool stillPossible(const ReceiverCheck& check, std::size_t k) {
    std::uint64_t needed = 0;
    for (std::size_t g : check.activeAt[k]) {
        const Gap& gap = check.gaps[g];
        needed += need(gap, check.states[g]);
        std::uint64_t left = check.bytesBefore[k] - check.bytesBefore[std::min(gap.firstPiece, k)];
        if (needed > left + check.pool.size()) {
            return false;
        }
    }
    return true;
}

// The search; on success the frames' moves say where every piece went.
bool search(ReceiverCheck& check, std::vector<Frame>& stack) {
    std::size_t count = check.decisions.size();
    stack.push_back(frameFor(check, 0));
    while (!stack.empty()) {
        Frame& frame = stack.back();
        std::size_t d = stack.size() - 1;
        std::size_t piece = check.decisions[d].piece;
        if (frame.next > 0) {
            undo(check, frame);
        }
        if (frame.next == frame.moves.size()) {
            check.dead.insert(stateKey(check, d));
            stack.pop_back();
            continue;
        }
        if (++check.moves > check.budget) {
            check.undecided = true;
            return false;
        }
        apply(check, frame, piece);
        ++frame.next;
        if (!stillPossible(check, piece)) {
            continue;
        }
        if (frame.moves[frame.next - 1].gap != NO_GAP && !countsFit(check, d, piece)) {
            noteDeadEnd(check, d,
                        "its short pieces and lone zeros cannot fill the gaps in the streams "
                        "it got: some gap gets too few bytes or some piece fits no gap");
            continue;
        }
        if (d + 1 == count) {
            if (check.pool.empty()) {
                return true;
            }
            noteDeadEnd(check, d,
                        std::to_string(check.pool.size()) +
                            " of its lone zeros belong to no sender's stream");
            continue;
        }
        if (check.dead.count(stateKey(check, d + 1)) == 0) {
            stack.push_back(frameFor(check, d + 1));
        }
    }
    return false;
}

// Names every piece but the lone zeros where the search put it.
void nameFromSearch(ReceiverCheck& check, const std::vector<Frame>& stack) {
    for (std::size_t d = 0; d < stack.size(); ++d) {
        const Move& move = stack[d].moves[stack[d].next - 1];
        if (check.decisions[d].gap == NO_GAP && move.gap != NO_GAP) {
            Piece& piece = check.receiver.pieces[check.unnamed[check.decisions[d].piece]];
            piece = namedPiece(check.gaps[move.gap].sender, move.state.cursor, piece.length);
            piece.pinned = !move.scanned && pins(piece);
        }
    }
}

void placeUnnamed(ReceiverCheck& check) {
    std::size_t count = check.unnamed.size();
    check.activeAt.assign(count, {});
    check.closingAt.assign(count, {});
    for (std::size_t g = 0; g < check.gaps.size(); ++g) {
        const Gap& gap = check.gaps[g];
        check.states.push_back(initialState(gap));
        if (gap.firstPiece == gap.endPiece) {
            if (need(gap, check.states[g]) > 0) {
                fail(check, whyOpen(check, gap, check.states[g]));
                return;
            }
            continue;
        }
        for (std::size_t k = gap.firstPiece; k < gap.endPiece; ++k) {
            check.activeAt[k].push_back(g);
        }
        check.closingAt[gap.firstPiece].push_back(g);
    }
    for (std::vector<std::size_t>& active : check.activeAt) {
        std::stable_sort(active.begin(), active.end(), [&](std::size_t a, std::size_t b) {
            return check.gaps[a].firstPiece > check.gaps[b].firstPiece;
        });
    }
    check.closedAt.assign(check.gaps.size(), SIZE_MAX);
    for (std::size_t k = count; k-- > 0;) {
        check.decisions.push_back(Decision{k, NO_GAP});
        for (std::size_t g : check.closingAt[k]) {
            check.closedAt[g] = check.decisions.size();
            check.decisions.push_back(Decision{k, g});
        }
    }
    for (std::size_t g = 0; g < check.gaps.size(); ++g) {
        if (check.gaps[g].firstPiece < check.gaps[g].endPiece) {
            check.byLeft.push_back(g);
        }
    }
    std::sort(check.byLeft.begin(), check.byLeft.end(), [&](std::size_t a, std::size_t b) {
        return check.gaps[a].left < check.gaps[b].left;
    });
    if (count == 0) {
        return;
    }
    std::vector<Frame> stack;
    bool ok = search(check, stack);
    if (!ok && !check.undecided) {
        fail(check, check.deepestWhy);
    }
    if (ok) {
        nameFromSearch(check, stack);
    }
}

// Splits the pieces into the named, by sender, and the rest, and cuts each
// other sender's stream into gaps; false when the named ones break a rule.
bool cutGaps(ReceiverCheck& check) {
    check.unnamed.clear();
    check.gaps.clear();
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
    for (const auto& [sender, positions] : bySender) {
        if (!checkNamed(check, sender, positions)) {
            return false;
        }
        if (sender != check.receiver.id) {
            addGaps(check, sender, positions);
        }
    }
    check.bytesBefore.assign(check.unnamed.size() + 1, 0);
    for (std::size_t k = 0; k < check.unnamed.size(); ++k) {
        check.bytesBefore[k + 1] = check.bytesBefore[k] + pieces[check.unnamed[k]].length;
    }
    return true;
}

// Where unnamed piece k may lie in gap g, at most `most` places: where its
// bytes fit and the gap's ends can be reached through the unnamed bytes
// around it. The search never looks beyond these.
void addReachablePlaces(const ReceiverCheck& check, std::size_t k, const Gap& gap,
                        std::vector<PayloadPlace>& places, std::size_t most) {
    const Piece& piece = check.receiver.pieces[check.unnamed[k]];
    std::uint64_t before = check.bytesBefore[k] - check.bytesBefore[gap.firstPiece];
    std::uint64_t after = check.bytesBefore[gap.endPiece] - check.bytesBefore[k + 1];
    std::uint64_t from = gap.openStart ? 0 : gap.low;
    std::uint64_t to = (gap.openStart ? gap.bound : gap.low) + before;
    std::uint64_t end = gap.openEnd ? gap.sent : gap.high;
    if (end < piece.length) {
        return;
    }
    to = std::min(to, end - piece.length);
    if (!gap.openEnd && gap.high > piece.length + after) {
        from = std::max(from, gap.high - piece.length - after);
    }
    if (gap.openStart && gap.openEnd && gap.bound > LOOSE_SEARCH_BYTES) {
        from = std::max(from, gap.bound - LOOSE_SEARCH_BYTES);
    }
    if (to > from + MAX_REACH) {
        places.resize(most); // too far to scan: counted as many places, never named
        return;
    }
    for (std::uint64_t first = from; first <= to && places.size() < most; ++first) {
        if (fits(piece, gap.sender, first)) {
            places.push_back(PayloadPlace{gap.sender, first});
        }
    }
}

// A short piece that fits one reachable place alone is there in every way
// the pieces can be placed: naming it first splits its gap in two and
// narrows the windows around it, which leaves the search far fewer choices.
// Returns how many were named.
std::size_t nameSinglePlaces(ReceiverCheck& check) {
    std::size_t named = 0;
    for (std::size_t k = 0; k < check.unnamed.size(); ++k) {
        Piece& piece = check.receiver.pieces[check.unnamed[k]];
        if (piece.length == 1) {
            continue;
        }
        std::vector<PayloadPlace> places;
        for (const Gap& gap : check.gaps) {
            if (gap.firstPiece <= k && k < gap.endPiece) {
                addReachablePlaces(check, k, gap, places, 2);
            }
        }
        if (places.size() == 1) {
            piece = namedPiece(places.front().sender, places.front().offset, piece.length);
            piece.pinned = pins(piece);
            ++named;
        }
    }
    return named;
}

void countPieces(const ReceiverRecord& receiver, CheckFigures& figures) {
    for (const Piece& piece : receiver.pieces) {
        if (piece.length == 1) {
            ++figures.loneZeros;
        } else if (piece.named && tellingBytes(piece.first, piece.length - 1) < MIN_NAMED_BYTES) {
            ++figures.shortPieces;
        }
    }
    figures.chunks += receiver.pieces.size();
}

// False when the receiver could not be decided.
bool checkReceiver(const RelayModel& model, ReceiverRecord& receiver,
                   std::vector<std::string>& failures, CheckFigures& figures) {
    ReceiverCheck check{model, receiver, failures};
    check.budget = model.choiceBudget;
    if (receiver.toTheEnd && !receiver.partial.empty()) {
        fail(check, "read to the end, but its last " + std::to_string(receiver.partial.size()) +
                        " bytes end in no zero: a chunk's last byte was not zeroed");
        return true;
    }
    if (!cutGaps(check)) {
        return true;
    }
    while (nameSinglePlaces(check) > 0) {
        if (!cutGaps(check)) {
            return true;
        }
    }
    placeUnnamed(check);
    figures.choices += std::min(check.moves, check.budget);
    countPieces(receiver, figures);
    return !check.undecided;
}

// ---- Across receivers -------------------------------------------------------

using ChunkKey = std::pair<std::uint32_t, std::uint64_t>;

// Named for certain: its bytes fit that place only. A lone zero, or a piece
// of a record's marker and lowest digit, fits many, so where it lies says
// nothing of the order.
bool namedForCertain(const Piece& piece) { return piece.named && piece.pinned; }

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

// Every chunk the receiver holds, pinned or placed where it fits.
std::set<ChunkKey> heldBy(const ReceiverRecord& receiver) {
    std::set<ChunkKey> held;
    for (const Piece& piece : receiver.pieces) {
        if (piece.named) {
            held.emplace(piece.sender, piece.first);
        }
    }
    return held;
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

// Whether some piece the receiver got has the chunk's bytes, wherever its own
// explanation put it: a short piece may fit more than one stream, and the
// explanation is only one that fits.
bool mayHold(const ReceiverRecord& receiver, const Piece& chunk) {
    std::vector<unsigned char> wanted(chunk.length - 1);
    fillPayload(chunk.sender, chunk.first, wanted.data(), wanted.size());
    std::vector<unsigned char> bytes;
    for (const Piece& piece : receiver.pieces) {
        if (piece.length != chunk.length) {
            continue;
        }
        if (!piece.named) {
            bytes = piece.bytes;
        } else {
            bytes.resize(piece.length - 1);
            fillPayload(piece.sender, piece.first, bytes.data(), bytes.size());
        }
        if (bytes == wanted) {
            return true;
        }
    }
    return false;
}

// Receiver a against receiver b: the chunks both got come in the same order,
// and between two chunks a got, a missed none that b got but its own.
void comparePair(const RelayModel& model, const Ordered& ordered, std::size_t a, std::size_t b,
                 std::vector<int>& positionInA, const std::set<ChunkKey>* held,
                 std::vector<std::string>& failures) {
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
    for (std::size_t k = 1; held != nullptr && k < shared.size(); ++k) {
        for (std::size_t i = shared[k - 1] + 1; i < shared[k]; ++i) {
            const Piece& chunk = ordered.chunks[static_cast<std::size_t>(listB[i])];
            if (chunk.sender != model.receivers[a].id &&
                held->count(ChunkKey{chunk.sender, chunk.first}) == 0 &&
                !mayHold(model.receivers[a], chunk)) {
                failAcross(failures, model.receivers[a].label + " missed " + chunkName(chunk) +
                                         ", which " + model.receivers[b].label +
                                         " got between two chunks both got");
                return;
            }
        }
    }
}

// A receiver left undecided holds chunks its search did not name, so what
// it seems to miss is not held against it.
void checkOrder(const RelayModel& model, const Ordered& ordered, const std::vector<bool>& settled,
                std::vector<std::string>& failures) {
    std::vector<int> positionInA(ordered.chunks.size(), -1);
    for (std::size_t a = 0; a < ordered.lists.size(); ++a) {
        const std::vector<int>& listA = ordered.lists[a];
        for (std::size_t i = 0; i < listA.size(); ++i) {
            positionInA[static_cast<std::size_t>(listA[i])] = static_cast<int>(i);
        }
        std::set<ChunkKey> held = heldBy(model.receivers[a]);
        for (std::size_t b = 0; b < ordered.lists.size() && failures.size() < MAX_FAILURES; ++b) {
            if (b != a) {
                comparePair(model, ordered, a, b, positionInA, settled[a] ? &held : nullptr,
                            failures);
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

RelayVerdict checkRelay(RelayModel& model) {
    RelayVerdict verdict;
    std::vector<bool> settled;
    for (ReceiverRecord& receiver : model.receivers) {
        std::size_t before = verdict.figures.choices;
        settled.push_back(checkReceiver(model, receiver, verdict.broken, verdict.figures));
        if (!settled.back()) {
            verdict.undecided.push_back(
                receiver.label + ": undecided, its pieces not placed within " +
                std::to_string(verdict.figures.choices - before) + " choices (" +
                std::to_string(receiver.pieces.size()) + " chunks)");
        }
    }
    std::map<ChunkKey, ChunkOwner> chunks = checkBoundaries(model, verdict.broken);
    checkOrder(model, numberChunks(model, chunks), settled, verdict.broken);
    return verdict;
}

} // namespace harness
