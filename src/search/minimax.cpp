// The search of search.hpp: the node's steps as member functions of Search,
// the loop that runs them on the explicit stack, and the bot's iterative
// deepening at the root. Comments give the numbers of the steps listed at
// the top of search.hpp.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <utility>

#include "search/search.hpp"
#include "search/zobrist.hpp"

namespace tesko {

namespace {

std::int32_t material(const Grid& g, unsigned mask) noexcept {
    return CARD_VALUE_NORMAL * popcount12(mask) +
           (CARD_VALUE_FIGURE - CARD_VALUE_NORMAL) * popcount12(mask & g.figure);
}

// WIN_SCORE + depth, kept inside the 32-bit range (and below the start value
// of a minimising node) for depths no search can reach anyway.
constexpr std::int32_t win_score(std::uint32_t depth) noexcept {
    constexpr std::uint32_t limit = MIN_NODE_START - 1 - WIN_SCORE;
    return WIN_SCORE + static_cast<std::int32_t>(std::min(depth, limit));
}

// How many children are made (their keys computed and their table places
// fetched) ahead of the one being searched. An inner child's subtree gives
// the fetch of its next sibling plenty of time; leaves take so little that
// their parent fetches a few at once.
constexpr std::uint8_t PREFETCH_AHEAD = 1;
constexpr std::uint8_t LEAF_PREFETCH_AHEAD = 2;

// Moves `a` to the front of `list` by exchange, if it is there.
void put_first(ActionList& list, const Action& a) noexcept {
    for (std::uint8_t i = 0; i < list.count; ++i) {
        if (list[i] == a) {
            std::swap(list[0], list[i]);
            return;
        }
    }
}

}  // namespace

// The functions marked always_inline run for every node: they are made part
// of the loop in minimax() below, as calls would cost a good part of a
// node's time.

bool Search::FrameStore::grow(std::size_t n) noexcept {
    try {
        for (; size_ < n; size_ += BLOCK) blocks_.push_back(std::make_unique<Frame[]>(BLOCK));
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

[[gnu::always_inline]] inline bool Search::poll() noexcept {
    if (nodes_ < next_poll_) return false;
    next_poll_ = nodes_ + POLL_INTERVAL;
    if (interrupt_.poll && interrupt_.poll(interrupt_.data)) interrupted_ = true;
    return interrupted_;
}

[[gnu::always_inline]] inline void Search::make_children(Frame& f, unsigned upto) noexcept {
    upto = std::min<unsigned>(upto, f.actions.count);
    for (; f.made < upto; ++f.made) {
        const std::uint64_t key = key_after(*deltas_, f.grid, f.key, f.actions[f.made]);
        table_.prefetch(key);
        f.child_keys[f.made] = key;
    }
}

[[gnu::always_inline]] inline std::optional<std::int32_t> Search::enter(Frame& f) noexcept {
    ++nodes_;
    // 1, 2. The window as received; the key (and so the place) is set.
    f.alpha_in = f.alpha;
    f.beta_in = f.beta;
    Action remembered = Action::none();
    // 3. The table.
    if (const auto e = table_.probe(f.key)) {
        remembered = e->best_action;
        if (e->depth >= f.depth) {
            if (e->bound == Bound::Exact) return e->score;
            if (e->bound == Bound::LowerBound) f.alpha = std::max(f.alpha, e->score);
            else f.beta = std::min(f.beta, e->score);
            if (f.alpha >= f.beta) return e->score;
        }
    }
    // 4. Material; 5, 6. a side without cards has lost; 7. no depth left.
    const unsigned own = f.grid.owned_by(bot_);
    const std::int32_t bot_sum = material(f.grid, own);
    const std::int32_t opp_sum = material(f.grid, f.grid.occupied & ~own);
    if (opp_sum == 0 && bot_sum != 0) return win_score(f.depth);
    if (bot_sum == 0 && opp_sum != 0) return -win_score(f.depth);
    if (f.depth == 0) return bot_sum - opp_sum;
    f.bot_sum = bot_sum;
    f.opp_sum = opp_sum;
    // 8, 9. The moves, the remembered move first. A remembered move that the
    // side to move may still make is searched before the list is made (see
    // take_value).
    if (!remembered.is_none() && bot_may_play(f.grid, f.to_move, remembered)) {
        f.actions.items[0] = remembered;
        f.actions.count = 1;
        f.deferred = true;
    } else {
        get_bot_actions(f.grid, f.to_move, f.actions);
        if (f.actions.empty()) return bot_sum - opp_sum;  // not stored
        f.deferred = false;
    }
    // 10. The first children are made now, so that their table places are on
    // their way from memory while the search goes on.
    f.made = 0;
    f.ahead = f.depth == 1 ? LEAF_PREFETCH_AHEAD : PREFETCH_AHEAD;
    make_children(f, f.ahead);
    // 11, 12. The start values.
    f.best = f.maximizing ? MAX_NODE_START : MIN_NODE_START;
    f.best_action = Action::none();
    f.next = 0;
    return std::nullopt;
}

[[gnu::always_inline]] inline void Search::start_child(const Frame& parent, Frame& child) noexcept {
    // 10. One ply less, the other side to move, the other role, the window
    // as it stands.
    child.grid = parent.grid;
    apply_action(child.grid, parent.actions[parent.next]);
    child.key = parent.child_keys[parent.next];
    child.depth = parent.depth - 1;
    child.maximizing = !parent.maximizing;
    child.to_move = opponent(parent.to_move);
    child.alpha = parent.alpha;
    child.beta = parent.beta;
}

[[gnu::always_inline]] inline std::int32_t Search::leaf_value(const Frame& parent) noexcept {
    // Steps 1 to 7 as in enter(), for a child without depth left, whose grid
    // is never made: turning cards over leaves material as it is, so the
    // child's material is the parent's less a card taken off.
    ++nodes_;
    const unsigned i = parent.next;
    std::int32_t alpha = parent.alpha, beta = parent.beta;
    if (const auto e = table_.probe(parent.child_keys[i])) {  // 3. every depth is >= 0
        if (e->bound == Bound::Exact) return e->score;
        if (e->bound == Bound::LowerBound) alpha = std::max(alpha, e->score);
        else beta = std::min(beta, e->score);
        if (alpha >= beta) return e->score;
    }
    std::int32_t bot_sum = parent.bot_sum, opp_sum = parent.opp_sum;  // 4.
    const Action& a = parent.actions[i];
    const unsigned b = slot_bit(a.slot());
    if (a.variant == ActionKind::Single && (parent.grid.down & b)) {
        const std::int32_t value = (parent.grid.figure & b) ? CARD_VALUE_FIGURE : CARD_VALUE_NORMAL;
        ((parent.grid.owned_by(bot_) & b) ? bot_sum : opp_sum) -= value;
    }
    if (opp_sum == 0 && bot_sum != 0) return WIN_SCORE;   // 5.
    if (bot_sum == 0 && opp_sum != 0) return -WIN_SCORE;  // 6.
    return bot_sum - opp_sum;                             // 7.
}

[[gnu::always_inline]] inline void Search::take_value(Frame& f, std::int32_t value) noexcept {
    // 11, 12. The first strictly better score wins, the window narrows, and
    // a closed window skips the other children.
    const Action a = f.actions[f.next];
    if (f.maximizing) {
        if (value > f.best) {
            f.best = value;
            f.best_action = a;
        }
        f.alpha = std::max(f.alpha, value);
    } else {
        if (value < f.best) {
            f.best = value;
            f.best_action = a;
        }
        f.beta = std::min(f.beta, value);
    }
    if (f.alpha >= f.beta) {
        f.next = f.actions.count;
        return;
    }
    if (f.deferred) {
        // 8, 9. The remembered move did not cut off: make the whole list, with
        // the remembered move first, where it was searched.
        get_bot_actions(f.grid, f.to_move, f.actions);
        put_first(f.actions, a);
        f.deferred = false;
    }
    ++f.next;
}

[[gnu::always_inline]] inline std::int32_t Search::finish(const Frame& f) noexcept {
    // 11, 12. The bound of the result.
    Bound bound;
    if (f.maximizing) {
        bound = f.best <= f.alpha_in ? Bound::UpperBound
                : f.best >= f.beta   ? Bound::LowerBound
                                     : Bound::Exact;
    } else {
        bound = f.best >= f.beta_in ? Bound::LowerBound
                : f.best <= f.alpha ? Bound::UpperBound
                                    : Bound::Exact;
    }
    // 13. Store, 14. return.
    table_.store(TableEntry{f.key, f.depth, f.best, bound, f.best_action});
    return f.best;
}

std::int32_t Search::minimax(const Grid& grid, std::uint32_t depth, bool maximizing, Player to_move,
                             Player bot, std::int32_t alpha, std::int32_t beta) noexcept {
    // Asked here as well as before every child: a bot turn whose root moves
    // are all settled on entry (each ends the game, say) never gets to the
    // loop below, however many passes it runs.
    if (stopped() || poll()) return 0;
    if (!frames_.reserve(1)) {
        out_of_memory_ = true;
        return 0;
    }
    bot_ = bot;
    deltas_ = &key_deltas();

    Frame& root = frames_[0];
    root.grid = grid;
    root.depth = depth;
    root.maximizing = maximizing;
    root.to_move = to_move;
    root.alpha = alpha;
    root.beta = beta;
    root.key = position_key(zobrist(), grid);
    if (const auto value = enter(root)) return *value;

    // frames_[sp] is the node whose children are being searched; its parent
    // is frames_[sp - 1].
    std::size_t sp = 0;
    for (;;) {
        Frame& f = frames_[sp];
        if (f.next == f.actions.count) {
            const std::int32_t value = finish(f);
            if (sp == 0) return value;
            --sp;
            take_value(frames_[sp], value);
            continue;
        }
        if (poll()) return 0;
        make_children(f, f.next + 1u + f.ahead);
        if (f.depth == 1) {
            take_value(f, leaf_value(f));
            continue;
        }
        if (!frames_.reserve(sp + 2)) {
            out_of_memory_ = true;
            return 0;
        }
        Frame& child = frames_[sp + 1];
        start_child(f, child);
        if (const auto value = enter(child)) take_value(f, *value);
        else ++sp;
    }
}

std::int32_t static_score(const Grid& grid, Player bot, std::uint32_t depth) noexcept {
    const unsigned own = grid.owned_by(bot);
    const std::int32_t bot_sum = material(grid, own);
    const std::int32_t opp_sum = material(grid, grid.occupied & ~own);
    if (opp_sum == 0 && bot_sum != 0) return win_score(depth);
    if (bot_sum == 0 && opp_sum != 0) return -win_score(depth);
    return bot_sum - opp_sum;
}

// Iterative deepening at the root.
BotResult bot_turn(const Grid& grid, Player player, std::uint32_t depth,
                   Interrupt interrupt) noexcept {
    BotResult result;
    TranspositionTable table;
    if (!table.acquire()) {
        result.status = BotResult::Status::OutOfMemory;
        return result;
    }
    if (depth == 0) return result;

    Search search(table, interrupt.from_pass <= 1 ? interrupt : Interrupt{});
    Action previous = Action::none();
    for (std::uint32_t d = 1;; ++d) {
        if (d == interrupt.from_pass && d > 1) search.set_interrupt(interrupt);
        const auto stop = [&](std::uint32_t started) {
            result.status = search.interrupted() ? BotResult::Status::Interrupted
                                                 : BotResult::Status::OutOfMemory;
            result.nodes = search.nodes();
            result.passes = started;
            return result;
        };
        if (interrupt.each_pass && d >= interrupt.from_pass && search.ask()) return stop(d - 1);
        ActionList actions = get_bot_actions(grid, player);
        if (actions.empty()) break;
        if (!previous.is_none()) put_first(actions, previous);
        std::int32_t best = ROOT_BEST_START;
        Action best_action = Action::none();
        for (const Action& a : actions) {
            Grid child = grid;
            apply_action(child, a);
            const std::int32_t s = search.minimax(child, d - 1, false, opponent(player), player,
                                                  MAX_NODE_START, MIN_NODE_START);
            if (search.stopped()) return stop(d);
            if (s > best) {
                best = s;
                best_action = a;
            }
        }
        result.status = BotResult::Status::Move;
        result.action = best_action;
        result.score = best;
        result.depth_done = d;
        result.passes = d;
        if (best > FORCED_WIN || d >= depth) break;
        previous = best_action;
    }
    result.nodes = search.nodes();
    return result;
}

}  // namespace tesko
