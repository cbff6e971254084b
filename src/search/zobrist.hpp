// Position keys for the transposition table.
//
// ZOBRIST holds one random 64-bit key per pair of a slot and a slot state;
// a grid's key is the XOR of its twelve slots' keys. The side to move is not
// part of the key: the same grid reached with either side to move shares
// one key, and so one table entry.
//
// The table is built once per process, on first use, from the building
// thread's RandomSource. Keys therefore differ from run to run; nothing that
// depends on them outlives one bot turn.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "engine/grid.hpp"
#include "engine/rules.hpp"

namespace tesko {

inline constexpr int SLOT_STATES = 9;
using ZobristTable = std::array<std::array<std::uint64_t, SLOT_STATES>, SLOTS>;

// 0 for an empty slot; else 1 + 4 x face down + 2 x owner B + Figure.
constexpr int slot_state_index(const Grid& g, int slot) noexcept {
    const unsigned occupied = (g.occupied >> slot) & 1U;
    const unsigned bits = (((g.down >> slot) & 1U) << 2) | (((g.owner_b >> slot) & 1U) << 1) |
                          ((g.figure >> slot) & 1U);
    return static_cast<int>((1U + bits) & (0U - occupied));  // 0 when empty
}

// The process-wide table, built on the first call (thread-safe).
const ZobristTable& zobrist() noexcept;

// How single slots change a key, for deriving a child's key from its
// parent's: indexed by slot and by the card's owner and kind
// (2 x owner B + Figure), which no move changes.
struct KeyDeltas {
    std::array<std::array<std::uint64_t, 4>, SLOTS> flip;    // face up <-> face down
    std::array<std::array<std::uint64_t, 4>, SLOTS> remove;  // face down -> empty
};

// Built together with the table.
const KeyDeltas& key_deltas() noexcept;

// The key of the grid that `a` makes of `g`, from the key of `g`: the same
// as position_key after apply_action, touching only the slots the move
// changes. `a` must be a legal move on `g`.
inline std::uint64_t key_after(const KeyDeltas& d, const Grid& g, std::uint64_t key,
                               Action a) noexcept {
    const auto kind = [&g](int s) {
        return static_cast<std::size_t>((((g.owner_b >> s) & 1U) << 1) | ((g.figure >> s) & 1U));
    };
    const auto flip = [&](int s) { key ^= d.flip[static_cast<std::size_t>(s)][kind(s)]; };
    const int s = a.slot();
    if (a.variant == ActionKind::Figure) {
        flip(s);
        flip(a.target());
    } else if (g.down & slot_bit(s)) {
        key ^= d.remove[static_cast<std::size_t>(s)][kind(s)];
    } else {
        flip(s);
        for_each_slot(NEIGHBOURS[static_cast<std::size_t>(s)] & g.occupied, flip);
    }
    return key;
}

// Takes `keys` as the table instead of drawing it from the entropy source,
// so that a benchmark or a test sees the same keys on every run. Takes
// effect only before the table is first built; returns whether it did.
bool set_zobrist(const ZobristTable& keys) noexcept;

// XOR over all twelve slots of ZOBRIST[slot][slot_state_index].
inline std::uint64_t position_key(const ZobristTable& z, const Grid& g) noexcept {
    std::uint64_t key = 0;
    for (int s = 0; s < SLOTS; ++s)
        key ^= z[static_cast<std::size_t>(s)][static_cast<std::size_t>(slot_state_index(g, s))];
    return key;
}

inline std::uint64_t position_key(const Grid& g) noexcept { return position_key(zobrist(), g); }

}  // namespace tesko
