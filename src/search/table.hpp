// The search's transposition table: what earlier searches of a position
// found, remembered for the rest of one bot turn.
//
// TABLE_SIZE places, indexed by the low 20 bits of the position key; each
// place holds the last entry stored there (always replace). An entry counts
// only for the very key it was stored under. Keys ignore the side to move,
// so the same grid with either side to move shares an entry.
//
// A table is acquired ready for use, with every place empty, and released
// when the bot turn ends:
//
//     TranspositionTable table;
//     if (!table.acquire()) ...      // no memory
//     table.probe(key); table.store(entry); ...
//     // released by the destructor (or by release())
//
// Zeroing 16 MiB (and faulting its pages in) for every turn would cost more
// than a shallow search, so the process keeps one table's memory and lends
// it to one table at a time; the table marks the places it stores in and
// clears those marks when it is released. A table that finds the memory
// lent out (a bot turn started from a signal handler during another) maps
// memory of its own and unmaps it on release.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "engine/rules.hpp"

namespace tesko {

enum class Bound : std::uint8_t { Exact = 0, LowerBound = 1, UpperBound = 2 };

struct TableEntry {
    std::uint64_t key = 0;
    std::uint32_t depth = 0;
    std::int32_t score = 0;
    Bound bound = Bound::Exact;
    Action best_action = Action::none();
};

class TranspositionTable {
public:
    static constexpr std::size_t TABLE_SIZE = std::size_t{1} << 20;
    static constexpr std::uint64_t PLACE_MASK = TABLE_SIZE - 1;

    TranspositionTable() = default;
    ~TranspositionTable() { release(); }
    TranspositionTable(const TranspositionTable&) = delete;
    TranspositionTable& operator=(const TranspositionTable&) = delete;

    // Makes the table ready with every place empty; false when the memory
    // cannot be had. A table already acquired stays as it is.
    bool acquire() noexcept;
    // Gives the memory back; the table can be acquired again afterwards.
    void release() noexcept;
    bool acquired() const noexcept { return places_ != nullptr; }

    // The entry at the key's place if it was stored under that very key.
    std::optional<TableEntry> probe(std::uint64_t key) const noexcept {
        const std::uint64_t place = key & PLACE_MASK;
        if (!((stored_[place >> 6] >> (place & 63)) & 1U)) return std::nullopt;
        const Packed& p = places_[place];
        if ((p.tag ^ key) & ~PLACE_MASK) return std::nullopt;
        return unpack(key, p);
    }

    // Starts fetching the key's place from memory. Always inlined: a
    // prefetch changes nothing the compiler can see, so GCC judges a
    // function that only prefetches to be pure and drops calls to it that
    // it has not inlined yet, and with them the prefetch (which cost the
    // deep searches a fifth of their speed).
    [[gnu::always_inline]] void prefetch(std::uint64_t key) const noexcept {
        __builtin_prefetch(&places_[key & PLACE_MASK]);
    }

    void store(const TableEntry& e) noexcept {
        const std::uint64_t place = e.key & PLACE_MASK;
        stored_[place >> 6] |= std::uint64_t{1} << (place & 63);
        dirty_[place >> 12] |= std::uint64_t{1} << ((place >> 6) & 63);
        places_[place] = pack(e);
    }

private:
    // One place in 16 bytes. The low 20 bits of a key are its place, so the
    // tag keeps only the upper 44 bits of the key, and its low 20 bits hold:
    //   bits 0-1    bound
    //   bits 2-9    best action: 0 none, 1 + slot for a SingleAction,
    //               13 + 12 x slot + target for a FigureAction
    struct Packed {
        std::uint64_t tag;
        std::int32_t score;
        std::uint32_t depth;
    };
    static_assert(sizeof(Packed) == 16);

    static constexpr std::size_t STORED_WORDS = TABLE_SIZE / 64;
    static constexpr std::size_t DIRTY_WORDS = STORED_WORDS / 64;

    static Packed pack(const TableEntry& e) noexcept {
        const Action& a = e.best_action;
        std::uint64_t code = 0;
        if (a.variant == ActionKind::Single) code = 1 + std::uint64_t(a.slot());
        else if (a.variant == ActionKind::Figure)
            code = 13 + std::uint64_t(12 * a.slot() + a.target());
        const std::uint64_t meta = std::uint64_t{static_cast<std::uint8_t>(e.bound)} | (code << 2);
        return Packed{(e.key & ~PLACE_MASK) | meta, e.score, e.depth};
    }

    static TableEntry unpack(std::uint64_t key, const Packed& p) noexcept {
        TableEntry e;
        e.key = key;
        e.depth = p.depth;
        e.score = p.score;
        e.bound = static_cast<Bound>(p.tag & 3U);
        const int code = static_cast<int>((p.tag >> 2) & 0xFFU);
        if (code >= 13) e.best_action = Action::figure_on((code - 13) / 12, (code - 13) % 12);
        else if (code >= 1) e.best_action = Action::single(code - 1);
        return e;
    }

    // `stored_` has one bit a place, set when this table stores there: at
    // 128 KiB it stays in the cache, so a probe of an empty place (about
    // half of all probes) never waits for the places themselves, which are
    // far too many to stay there. `dirty_` has a bit for each word of
    // `stored_` written, so that handing the memory on clears only that.
    Packed* places_ = nullptr;
    std::uint64_t* stored_ = nullptr;
    std::array<std::uint64_t, DIRTY_WORDS> dirty_{};
    bool shared_ = false;  // the process's reusable memory, not a mapping of its own
};

}  // namespace tesko
