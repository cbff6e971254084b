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
#include <cstdint>

#include "engine/grid.hpp"

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

// Builds the table from a fixed seed instead of the entropy source, so a
// benchmark or a test sees the same keys on every run. Takes effect only
// before the table is first built; returns whether it did.
bool seed_zobrist(std::uint64_t seed) noexcept;

// XOR over all twelve slots of ZOBRIST[slot][slot_state_index].
inline std::uint64_t position_key(const ZobristTable& z, const Grid& g) noexcept {
    std::uint64_t key = 0;
    for (int s = 0; s < SLOTS; ++s)
        key ^= z[static_cast<std::size_t>(s)][static_cast<std::size_t>(slot_state_index(g, s))];
    return key;
}

inline std::uint64_t position_key(const Grid& g) noexcept { return position_key(zobrist(), g); }

}  // namespace tesko
