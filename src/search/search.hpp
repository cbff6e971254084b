// The bot: a depth-limited alpha-beta search with a transposition table,
// driven by iterative deepening from the root.
//
// Scores are signed 32-bit and always seen from the side that asked for the
// move (the bot): Normal cards are worth 10, Figures 15, face up or down; a
// side with no cards left has lost (WIN_SCORE plus the remaining depth, so
// sooner wins score higher).
//
// The transposition table has TABLE_SIZE places indexed by the low 20 bits of
// the position key; each place holds the last entry stored there (always
// replace). Keys ignore the side to move, so the same grid with either side
// to move shares an entry. A table serves one bot turn and starts empty.
//
// The search runs on an explicit stack of frames rather than on the C stack,
// makes each child's key from its parent's, and fetches a child's table
// place from memory before it searches the child: the table is 16 MiB, and
// waiting for it is most of the cost of a deep search.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "engine/grid.hpp"
#include "engine/rules.hpp"

namespace tesko {

inline constexpr std::int32_t WIN_SCORE = 10000;
inline constexpr std::int32_t CARD_VALUE_NORMAL = 10;
inline constexpr std::int32_t CARD_VALUE_FIGURE = 15;
// Start values of a maximising and a minimising node: the 32-bit limits
// moved inwards by two. The root's best starts one lower still.
inline constexpr std::int32_t MAX_NODE_START = -2147483646;
inline constexpr std::int32_t MIN_NODE_START = 2147483645;
inline constexpr std::int32_t ROOT_BEST_START = -2147483647;
// A pass whose best score lies above this has found a forced win.
inline constexpr std::int32_t FORCED_WIN = 8999;

enum class Bound : std::uint8_t { Exact = 0, LowerBound = 1, UpperBound = 2 };

struct TableEntry {
    std::uint64_t key = 0;
    std::uint32_t depth = 0;
    std::int32_t score = 0;
    Bound bound = Bound::Exact;
    Action best_action = Action::none();
};

// Zeroing 16 MiB (and faulting its pages in) for every turn would cost more
// than a shallow search, so the process keeps one table's memory and lends it
// to one table at a time; the table marks the places it stores in and clears
// those marks when done. A table that finds the memory lent out (a bot turn
// started from a signal handler during another) maps memory of its own.
class TranspositionTable {
public:
    static constexpr std::size_t TABLE_SIZE = std::size_t{1} << 20;
    static constexpr std::uint64_t PLACE_MASK = TABLE_SIZE - 1;

    TranspositionTable() = default;
    ~TranspositionTable();
    TranspositionTable(const TranspositionTable&) = delete;
    TranspositionTable& operator=(const TranspositionTable&) = delete;

    // Makes the table ready with every place empty; false when the memory
    // cannot be had.
    bool allocate() noexcept;
    bool allocated() const noexcept { return places_ != nullptr; }

    // The entry at the key's place if it was stored under that very key.
    std::optional<TableEntry> probe(std::uint64_t key) const noexcept {
        const std::uint64_t place = key & PLACE_MASK;
        if (!((stored_[place >> 6] >> (place & 63)) & 1U)) return std::nullopt;
        const Packed& p = places_[place];
        if ((p.tag ^ key) & ~PLACE_MASK) return std::nullopt;
        return unpack(key, p);
    }

    // Starts fetching the key's place from memory.
    void prefetch(std::uint64_t key) const noexcept {
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

    static Packed pack(const TableEntry& e) noexcept;
    static TableEntry unpack(std::uint64_t key, const Packed& p) noexcept;

    // `stored_` has one bit a place, set when this table stores there: at
    // 128 KiB it stays in the cache, so a probe of an empty place (about
    // half of all probes) never waits for the places themselves, which are
    // far too many to stay there. `dirty_` has a bit for each word of
    // `stored_` written, so that handing the memory on clears only that.
    Packed* places_ = nullptr;
    std::uint64_t* stored_ = nullptr;
    std::array<std::uint64_t, DIRTY_WORDS> dirty_{};
    bool shared_ = false;  // the process's reusable memory, not a mapping of its own

    friend struct SharedPlaces;
};

// Polled every few thousand nodes; a true answer ends the search at once.
struct Interrupt {
    bool (*poll)(void* data) = nullptr;
    void* data = nullptr;
};

// One search: the table of the current bot turn, the node count and the
// frames of the explicit stack on which the search runs, so that the depth
// of a line is limited by memory and never by the thread's stack.
class Search {
public:
    static constexpr std::uint64_t POLL_INTERVAL = 4096;

    explicit Search(TranspositionTable& table, Interrupt interrupt = {}) noexcept
        : table_(table), interrupt_(interrupt) {}

    // Scores `grid` for `bot`, `depth` plies deep: the 14-step alpha-beta
    // node. Not clamped to the window. Returns 0 and sets interrupted() or
    // out_of_memory() when the search had to stop.
    std::int32_t minimax(const Grid& grid, std::uint32_t depth, bool maximizing, Player to_move,
                         Player bot, std::int32_t alpha, std::int32_t beta) noexcept;

    std::uint64_t nodes() const noexcept { return nodes_; }
    bool interrupted() const noexcept { return interrupted_; }
    bool out_of_memory() const noexcept { return out_of_memory_; }
    bool stopped() const noexcept { return interrupted_ || out_of_memory_; }

private:
    // The state of one node while its children are searched.
    struct Frame {
        Grid grid;
        std::uint32_t depth;
        bool maximizing;
        Player to_move;
        std::uint8_t next;   // index of the action searched next
        std::uint8_t made;   // children made so far
        std::uint8_t ahead;  // how many children are made before they are searched
        bool deferred;       // `actions` holds only the remembered move so far
        std::int32_t alpha, beta, alpha_in, beta_in;
        std::int32_t best;
        std::int32_t bot_sum, opp_sum;  // material of the node
        Action best_action;
        std::uint64_t key;
        ActionList actions;
        std::array<std::uint64_t, ActionList::CAPACITY> child_keys;
    };
    bool grow() noexcept;

    TranspositionTable& table_;
    Interrupt interrupt_;
    std::uint64_t nodes_ = 0;
    std::uint64_t next_poll_ = POLL_INTERVAL;
    bool interrupted_ = false;
    bool out_of_memory_ = false;
    std::vector<Frame> frames_;
};

struct BotResult {
    enum class Status : std::uint8_t { Move, NoMove, Interrupted, OutOfMemory };
    Status status = Status::NoMove;
    Action action = Action::none();
    std::uint64_t nodes = 0;
    std::uint32_t passes = 0;
};

// The bot's move for `player` on `grid`: passes of depth 1, 2, ... up to
// `depth`, sharing one table, each searching every root move with the full
// window and trying the previous pass's choice first; stops early once a
// pass finds a forced win. NoMove for depth 0 or a player without moves.
BotResult bot_turn(const Grid& grid, Player player, std::uint32_t depth,
                   Interrupt interrupt = {}) noexcept;

}  // namespace tesko
