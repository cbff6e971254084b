// Dealing a new game: the twelve cards, six per side, shuffled over the
// twelve slots, all face up.
//
// The shuffle takes any source of 32-bit words (anything with a
// `next_u32()`), so a fixed word stream always yields the same layout.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "engine/grid.hpp"

namespace tesko {

struct DeckCard {
    Player owner;
    CardType kind;
};

// The cards before shuffling: A's four Normal cards and two Figures, then B's.
inline constexpr std::array<DeckCard, SLOTS> DECK = {{
    {Player::A, CardType::Normal},
    {Player::A, CardType::Normal},
    {Player::A, CardType::Normal},
    {Player::A, CardType::Normal},
    {Player::A, CardType::Figure},
    {Player::A, CardType::Figure},
    {Player::B, CardType::Normal},
    {Player::B, CardType::Normal},
    {Player::B, CardType::Normal},
    {Player::B, CardType::Normal},
    {Player::B, CardType::Figure},
    {Player::B, CardType::Figure},
}};

// Rejection zone for drawing below n by widening multiplication:
// n shifted up to the top bit of a 32-bit word, minus one.
constexpr std::uint32_t uniform_zone(std::uint32_t n) noexcept {
    return (n << std::countl_zero(n)) - 1U;
}

// An index drawn uniformly from 0 to n - 1 (n from 2 to 12): the high half
// of word * n, drawing again while the low half lies above the zone.
template <class Source>
std::uint32_t uniform_index(Source& source, std::uint32_t n) {
    const std::uint32_t zone = uniform_zone(n);
    for (;;) {
        const std::uint64_t m = std::uint64_t{source.next_u32()} * n;
        if (static_cast<std::uint32_t>(m) <= zone) return static_cast<std::uint32_t>(m >> 32);
    }
}

// Fisher-Yates from the back over a copy of DECK; slot k gets entry k.
template <class Source>
Grid deal(Source& source) {
    std::array<DeckCard, SLOTS> cards = DECK;
    for (std::uint32_t n = SLOTS; n >= 2; --n) {
        const std::uint32_t j = uniform_index(source, n);
        std::swap(cards[n - 1], cards[j]);
    }
    Grid g;
    for (int k = 0; k < SLOTS; ++k) {
        const DeckCard& c = cards[static_cast<std::size_t>(k)];
        g.put(k, Card{false, c.owner, c.kind});
    }
    return g;
}

}  // namespace tesko
