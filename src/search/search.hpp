// The bot: a depth-limited alpha-beta search with a transposition table
// (table.hpp), driven by iterative deepening from the root.
//
// Scores are signed 32-bit and always seen from the side that asked for the
// move (the bot): higher is better for the bot. A node maximises exactly
// when the bot is to move there.
//
// Scoring one node, given its grid, the depth left, its role (maximising or
// not), the side to move and the window (alpha, beta). The step comments in
// minimax.cpp refer to these numbers.
//
//  1. Keep the window as the node received it.
//  2. Take the grid's key, which gives its table place; no move is
//     remembered yet.
//  3. Probe the table. Only an entry stored under this very key counts. Its
//     best move becomes the remembered move. If it was searched at least as
//     deep as this node asks for: an exact score is the node's value; a
//     lower bound raises alpha, an upper bound lowers beta, and if that
//     closes the window (alpha >= beta) the entry's score is the value. An
//     entry searched less deep only lends its move.
//  4. Count the material: a Normal card is worth CARD_VALUE_NORMAL and a
//     Figure CARD_VALUE_FIGURE, face up or down, the bot's cards in one sum
//     and the opponent's in the other.
//  5. Only the bot has cards left: the value is WIN_SCORE plus the depth
//     left (an earlier win scores higher).
//  6. Only the opponent has cards left: the value is minus that.
//  7. No depth left: the value is the bot's sum less the opponent's.
//  8. Make the list of moves of the side to move, most promising first. If
//     there is none, the value is the material difference, and nothing is
//     stored.
//  9. If the remembered move is in the list, exchange it with the first.
// 10. Search the children in list order: each is the grid after one move,
//     one ply less deep, the other side to move, the other role, and the
//     window as it stands when the child is started.
// 11. A maximising node starts its best at MAX_NODE_START. A child scoring
//     strictly more becomes the best; alpha rises to the child's score if
//     that is higher; once alpha >= beta the other children are skipped.
//     The result is an upper bound if it is at most the alpha of step 1, a
//     lower bound if it is at least beta, exact otherwise.
// 12. A minimising node mirrors that: its best starts at MIN_NODE_START, a
//     child scoring strictly less becomes the best, beta falls to the
//     child's score if that is lower, the same cut-off. The result is a
//     lower bound if it is at least the beta of step 1, an upper bound if it
//     is at most alpha, exact otherwise.
// 13. Store the key, the depth, the result, its bound and the best move at
//     the node's place, over whatever was there.
// 14. Return the result, not clamped to the window.
//
// Of equal scores the earliest child in the list stays the best. Because
// the probe comes first, even a node without depth left uses a stored
// entry.
//
// How the code runs these steps without changing any result:
// - The search runs on an explicit stack of frames rather than on the C
//   stack, so the depth of a line is limited by memory and never by the
//   thread's stack. Frames are never moved, so a reference to one stays
//   valid while the stack grows.
// - A child's key is made from its parent's (only the slots the move
//   changes), and a child's table place is fetched from memory before the
//   child is searched: the table is 16 MiB, and waiting for it is most of
//   the cost of a deep search.
// - A child without depth left gets no frame: steps 1 to 7 for it need only
//   its key and its parent's material.
// - A remembered move that the side to move may still make is searched
//   before the list of step 8 is made; the list is made only if that move
//   does not cut off, and then holds the remembered move first, as step 9
//   would have put it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "engine/grid.hpp"
#include "engine/rules.hpp"
#include "search/table.hpp"
#include "search/zobrist.hpp"

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

// Polled every few thousand nodes; a true answer ends the search at once.
// bot_turn asks it from pass `from_pass` on (the passes before it always
// finish), and with `each_pass` also before each such pass starts, however
// few nodes the last one took.
struct Interrupt {
    bool (*poll)(void* data) = nullptr;
    void* data = nullptr;
    std::uint32_t from_pass = 1;
    bool each_pass = false;
};

// One search: the table of the current bot turn, the node count and the
// frames of the explicit stack.
class Search {
public:
    static constexpr std::uint64_t POLL_INTERVAL = 4096;

    explicit Search(TranspositionTable& table, Interrupt interrupt = {}) noexcept
        : table_(table), interrupt_(interrupt) {}

    // From now on asks `interrupt` (none: nothing) whether to stop.
    void set_interrupt(Interrupt interrupt) noexcept { interrupt_ = interrupt; }
    // Asks the interrupt now, whatever the node count; true when it says stop.
    bool ask() noexcept {
        if (interrupt_.poll && interrupt_.poll(interrupt_.data)) interrupted_ = true;
        return interrupted_;
    }

    // Scores `grid` for `bot`, `depth` plies deep, by the steps above. Returns
    // 0 and sets interrupted() or out_of_memory() when the search had to stop.
    std::int32_t minimax(const Grid& grid, std::uint32_t depth, bool maximizing, Player to_move,
                         Player bot, std::int32_t alpha, std::int32_t beta) noexcept;

    std::uint64_t nodes() const noexcept { return nodes_; }
    bool interrupted() const noexcept { return interrupted_; }
    bool out_of_memory() const noexcept { return out_of_memory_; }
    bool stopped() const noexcept { return interrupted_ || out_of_memory_; }

private:
    // A node whose children are being searched.
    struct Frame {
        Grid grid;
        std::uint32_t depth;
        bool maximizing;
        Player to_move;
        std::uint8_t next;   // index of the child searched next
        std::uint8_t made;   // children made (keys computed, places fetched) so far
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

    // The stack's frames, in blocks that are never moved or freed while the
    // search lives: a reference to a frame stays valid however deep the
    // stack grows.
    class FrameStore {
    public:
        // Makes sure frames 0 to n - 1 exist; false when memory runs out.
        bool reserve(std::size_t n) noexcept { return n <= size_ || grow(n); }
        Frame& operator[](std::size_t i) noexcept { return blocks_[i / BLOCK][i % BLOCK]; }

    private:
        static constexpr std::size_t BLOCK = 64;
        bool grow(std::size_t n) noexcept;
        std::vector<std::unique_ptr<Frame[]>> blocks_;
        std::size_t size_ = 0;  // frames in blocks_
    };

    // True when the search has to stop; asks the interrupt once every
    // POLL_INTERVAL nodes.
    bool poll() noexcept;
    // Makes the children of `f` up to (not including) index `upto`.
    void make_children(Frame& f, unsigned upto) noexcept;
    // Steps 1 to 9 for the node in `f`, whose grid, depth, role, side to
    // move, window and key are set: the node's value when it is settled
    // without children; otherwise nothing, and `f` is ready for step 10.
    std::optional<std::int32_t> enter(Frame& f) noexcept;
    // Step 10: sets up the next child of `parent` in `child`.
    static void start_child(const Frame& parent, Frame& child) noexcept;
    // Steps 1 to 7 for the next child of `parent` when it has no depth left.
    std::int32_t leaf_value(const Frame& parent) noexcept;
    // Steps 11 and 12 for one child's value: the best, the window, the
    // cut-off; then on to the next child.
    void take_value(Frame& f, std::int32_t value) noexcept;
    // The bound of steps 11 and 12, step 13 and step 14 for a node whose
    // children are all searched or cut off.
    std::int32_t finish(const Frame& f) noexcept;

    TranspositionTable& table_;
    Interrupt interrupt_;
    Player bot_ = Player::A;
    const KeyDeltas* deltas_ = nullptr;
    std::uint64_t nodes_ = 0;
    std::uint64_t next_poll_ = POLL_INTERVAL;
    bool interrupted_ = false;
    bool out_of_memory_ = false;
    FrameStore frames_;
};

// What a bot turn found. `action` and `score` are those of the last pass
// that finished (its depth is `depth_done`, 0 when none did), also when a
// later pass was interrupted; `passes` counts the passes started.
struct BotResult {
    enum class Status : std::uint8_t { Move, NoMove, Interrupted, OutOfMemory };
    Status status = Status::NoMove;
    Action action = Action::none();
    std::int32_t score = 0;  // the best root move's score, from the player's side
    std::uint32_t depth_done = 0;
    std::uint64_t nodes = 0;
    std::uint32_t passes = 0;
};

// The bot's move for `player` on `grid`: passes of depth 1, 2, ... up to
// `depth`, sharing one table, each searching every root move with the full
// window and trying the previous pass's choice first; stops early once a
// pass finds a forced win. NoMove for depth 0 or a player without moves.
BotResult bot_turn(const Grid& grid, Player player, std::uint32_t depth,
                   Interrupt interrupt = {}) noexcept;

// The value of `grid` for `bot` at `depth` without looking at any move
// (steps 4 to 7): WIN_SCORE plus the depth when only the bot has cards left,
// minus that when only the opponent has, else the material difference. It
// is also what a search gives a position whose side to move has no move.
std::int32_t static_score(const Grid& grid, Player bot, std::uint32_t depth) noexcept;

}  // namespace tesko
