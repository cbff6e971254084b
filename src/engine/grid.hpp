// The position of a game: a 3 x 4 grid of slots, each holding one card or
// nothing, and the rules that change it.
//
// Slots are numbered row by row: A1 = 0, A2 = 1, ... A4 = 3, B1 = 4, ... C4 = 11.
// The grid keeps four 12-bit sets over those slot numbers:
//
//   occupied  a card lies in the slot
//   down      the card lies face down
//   owner_b   the card belongs to player B (clear: player A)
//   figure    the card is a Figure (clear: a Normal card)
//
// Invariant: down, owner_b and figure are subsets of occupied. Taking a card
// off clears the slot in all four sets, so an empty slot is empty in every
// respect: two grids hold the same position exactly when their sets are equal.
// The whole grid is 8 bytes, copied by value wherever it goes.
//
// This header has no dependency on Python; src/lib converts at the boundary.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace tesko {

inline constexpr int ROWS = 3;
inline constexpr int COLS = 4;
inline constexpr int SLOTS = ROWS * COLS;

enum class Player : std::uint8_t { A = 0, B = 1 };
enum class CardType : std::uint8_t { Normal = 0, Figure = 1 };

constexpr Player opponent(Player p) noexcept {
    return static_cast<Player>(static_cast<std::uint8_t>(p) ^ 1U);
}

struct Card {
    bool face_down = false;
    Player owner = Player::A;
    CardType kind = CardType::Normal;
    friend constexpr bool operator==(const Card&, const Card&) = default;
};

constexpr int slot_index(int row, int col) noexcept { return row * COLS + col; }
constexpr int slot_row(int index) noexcept { return index / COLS; }
constexpr int slot_col(int index) noexcept { return index % COLS; }
constexpr std::uint16_t slot_bit(int index) noexcept {
    return static_cast<std::uint16_t>(1U << index);
}

inline constexpr std::uint16_t ALL_SLOTS = (1U << SLOTS) - 1;

// Number of slots in a set, by table. std::popcount would be as portable,
// but a build for the baseline x86-64 instruction set (as a wheel is) may
// not use the POPCNT instruction and calls a library routine instead: on
// the bot benchmark that took 15% more instructions and more time than
// this 4 KiB table, which stays in the cache.
inline constexpr std::array<std::uint8_t, 4096> POPCOUNT12 = [] {
    std::array<std::uint8_t, 4096> t{};
    for (unsigned m = 1; m < 4096; ++m) t[m] = static_cast<std::uint8_t>(t[m >> 1] + (m & 1U));
    return t;
}();
constexpr int popcount12(unsigned m) noexcept { return POPCOUNT12[m & 0xFFFU]; }

// Calls fn(slot) for each slot of `mask`, lowest first.
template <class Fn>
constexpr void for_each_slot(unsigned mask, Fn fn) {
    while (mask) {
        fn(std::countr_zero(mask));
        mask &= mask - 1;
    }
}

// Orthogonal neighbours inside the grid, no wrap-around.
inline constexpr std::array<std::uint16_t, SLOTS> NEIGHBOURS = [] {
    std::array<std::uint16_t, SLOTS> n{};
    for (int i = 0; i < SLOTS; ++i) {
        const int r = slot_row(i), c = slot_col(i);
        unsigned m = 0;
        if (r > 0) m |= 1U << slot_index(r - 1, c);
        if (r < ROWS - 1) m |= 1U << slot_index(r + 1, c);
        if (c > 0) m |= 1U << slot_index(r, c - 1);
        if (c < COLS - 1) m |= 1U << slot_index(r, c + 1);
        n[static_cast<std::size_t>(i)] = static_cast<std::uint16_t>(m);
    }
    return n;
}();

struct Grid {
    std::uint16_t occupied = 0;
    std::uint16_t down = 0;
    std::uint16_t owner_b = 0;
    std::uint16_t figure = 0;

    friend constexpr bool operator==(const Grid&, const Grid&) = default;

    constexpr bool empty(int index) const noexcept { return !(occupied & slot_bit(index)); }

    constexpr std::optional<Card> card(int index) const noexcept {
        const std::uint16_t b = slot_bit(index);
        if (!(occupied & b)) return std::nullopt;
        return Card{(down & b) != 0, (owner_b & b) ? Player::B : Player::A,
                    (figure & b) ? CardType::Figure : CardType::Normal};
    }

    constexpr void put(int index, Card c) noexcept {
        const std::uint16_t b = slot_bit(index);
        const auto set = [b](std::uint16_t& mask, bool on) {
            mask = static_cast<std::uint16_t>(on ? (mask | b) : (mask & ~b));
        };
        occupied |= b;
        set(down, c.face_down);
        set(owner_b, c.owner == Player::B);
        set(figure, c.kind == CardType::Figure);
    }

    // Takes the card off: the slot becomes empty in every respect.
    constexpr void take_off(int index) noexcept {
        const auto keep = static_cast<std::uint16_t>(~slot_bit(index));
        occupied &= keep;
        down &= keep;
        owner_b &= keep;
        figure &= keep;
    }

    // Slots holding cards of `p`, face up or down.
    constexpr std::uint16_t owned_by(Player p) const noexcept {
        return p == Player::B ? owner_b : static_cast<std::uint16_t>(occupied & ~owner_b);
    }
    constexpr std::uint16_t face_up() const noexcept {
        return static_cast<std::uint16_t>(occupied & ~down);
    }

    // True when the sets obey the invariant above (used when a grid is
    // built from outside data, for example by tests).
    constexpr bool valid() const noexcept {
        return (occupied & ~ALL_SLOTS) == 0 && (down & ~occupied) == 0 &&
               (owner_b & ~occupied) == 0 && (figure & ~occupied) == 0;
    }
};

static_assert(sizeof(Grid) == 8, "a grid is copied at every search node");

// Turns over the card at (row, col): face up and face down exchange; an empty
// slot stays empty. Owner and kind never change.
constexpr void flip(Grid& g, int row, int col) noexcept {
    g.down ^= static_cast<std::uint16_t>(slot_bit(slot_index(row, col)) & g.occupied);
}

// Row letters "A".."C" and column digits "1".."4".
constexpr char row_letter(int row) noexcept { return static_cast<char>('A' + row); }
constexpr char col_digit(int col) noexcept { return static_cast<char>('1' + col); }

// Reads a two-byte slot text; nullopt unless it is "A1".."C4" exactly.
constexpr std::optional<int> parse_slot(char letter, char digit) noexcept {
    if (letter < 'A' || letter > 'C' || digit < '1' || digit > '4') return std::nullopt;
    return slot_index(letter - 'A', digit - '1');
}

}  // namespace tesko
