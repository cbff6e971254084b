#include <algorithm>
#include <bit>
#include <new>
#include <sys/mman.h>
#include <utility>

#include "search/search.hpp"
#include "search/zobrist.hpp"

namespace tesko {

// ---------------------------------------------------------------------------
// Transposition table

TranspositionTable::~TranspositionTable() {
    if (places_) ::munmap(places_, TABLE_SIZE * sizeof(Packed));
}

bool TranspositionTable::allocate() noexcept {
    if (places_) return true;
    // Fresh anonymous pages read as zero (every place empty) and cost
    // nothing until the search first writes to them.
    void* p = ::mmap(nullptr, TABLE_SIZE * sizeof(Packed), PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) return false;
    places_ = static_cast<Packed*>(p);
    return true;
}

TranspositionTable::Packed TranspositionTable::pack(const TableEntry& e) noexcept {
    const Action& a = e.best_action;
    std::uint64_t meta = VALID | (std::uint64_t{static_cast<std::uint8_t>(e.bound)} << 1) |
                         (std::uint64_t{static_cast<std::uint8_t>(a.variant)} << 3);
    if (!a.is_none()) {
        meta |= std::uint64_t(a.slot()) << 5;
        if (a.variant == ActionKind::Figure) meta |= std::uint64_t(a.target()) << 9;
    }
    return Packed{(e.key & ~PLACE_MASK) | meta, e.score, e.depth};
}

TableEntry TranspositionTable::unpack(std::uint64_t key, const Packed& p) noexcept {
    TableEntry e;
    e.key = key;
    e.depth = p.depth;
    e.score = p.score;
    e.bound = static_cast<Bound>((p.tag >> 1) & 3U);
    const auto variant = static_cast<ActionKind>((p.tag >> 3) & 3U);
    const int slot = static_cast<int>((p.tag >> 5) & 15U);
    const int target = static_cast<int>((p.tag >> 9) & 15U);
    if (variant == ActionKind::Single) e.best_action = Action::single(slot);
    else if (variant == ActionKind::Figure) e.best_action = Action::figure_on(slot, target);
    return e;
}

// ---------------------------------------------------------------------------
// Search

namespace {

std::int32_t material(const Grid& g, unsigned mask) noexcept {
    return CARD_VALUE_NORMAL * std::popcount(mask) +
           (CARD_VALUE_FIGURE - CARD_VALUE_NORMAL) * std::popcount(mask & g.figure);
}

// WIN_SCORE + depth, kept inside the 32-bit range (and below the start value
// of a minimising node) for depths no search can reach anyway.
constexpr std::int32_t win_score(std::uint32_t depth) noexcept {
    constexpr std::uint32_t limit = MIN_NODE_START - 1 - WIN_SCORE;
    return WIN_SCORE + static_cast<std::int32_t>(std::min(depth, limit));
}

}  // namespace

bool Search::grow() noexcept {
    try {
        frames_.resize(std::max<std::size_t>(64, frames_.size() * 2));
        return true;
    } catch (const std::bad_alloc&) {
        out_of_memory_ = true;
        return false;
    }
}

std::int32_t Search::minimax(const Grid& root, std::uint32_t root_depth, bool root_maximizing,
                             Player root_to_move, Player bot, std::int32_t root_alpha,
                             std::int32_t root_beta) noexcept {
    if (stopped()) return 0;
    if (frames_.empty() && !grow()) return 0;
    const ZobristTable& z = zobrist();

    // Steps 1 to 9 for the node in frames_[sp]: returns true with the node's
    // value in `value` when the node is settled without searching children.
    const auto enter = [&](Frame& f, std::int32_t& value) noexcept -> bool {
        ++nodes_;
        // 1-2. Window as received; the position's key and place.
        f.alpha_in = f.alpha;
        f.beta_in = f.beta;
        f.key = position_key(z, f.grid);
        Action remembered = Action::none();
        // 3. Table probe: an entry under another key counts as absent.
        if (const auto e = table_.probe(f.key)) {
            remembered = e->best_action;
            if (e->depth >= f.depth) {
                if (e->bound == Bound::Exact) return value = e->score, true;
                if (e->bound == Bound::LowerBound) f.alpha = std::max(f.alpha, e->score);
                else f.beta = std::min(f.beta, e->score);
                if (f.alpha >= f.beta) return value = e->score, true;
            }
        }
        // 4-7. Material; a side without cards has lost.
        const unsigned own = f.grid.owned_by(bot);
        const std::int32_t bot_sum = material(f.grid, own);
        const std::int32_t opp_sum = material(f.grid, f.grid.occupied & ~own);
        if (opp_sum == 0 && bot_sum != 0) return value = win_score(f.depth), true;
        if (bot_sum == 0 && opp_sum != 0) return value = -win_score(f.depth), true;
        if (f.depth == 0) return value = bot_sum - opp_sum, true;
        // 8. No moves: the material difference, not stored.
        f.actions = get_bot_actions(f.grid, f.to_move);
        if (f.actions.empty()) return value = bot_sum - opp_sum, true;
        // 9. The remembered best move goes first.
        if (!remembered.is_none()) {
            for (std::uint8_t i = 0; i < f.actions.count; ++i) {
                if (f.actions[i] == remembered) {
                    std::swap(f.actions[0], f.actions[i]);
                    break;
                }
            }
        }
        f.best = f.maximizing ? MAX_NODE_START : MIN_NODE_START;
        f.best_action = Action::none();
        f.next = 0;
        return false;
    };

    std::size_t sp = 0;
    {
        Frame& f = frames_[0];
        f.grid = root;
        f.depth = root_depth;
        f.maximizing = root_maximizing;
        f.to_move = root_to_move;
        f.alpha = root_alpha;
        f.beta = root_beta;
        std::int32_t value;
        if (enter(f, value)) return value;
    }

    for (;;) {
        Frame* f = &frames_[sp];
        std::int32_t value;
        if (f->next < f->actions.count) {
            // 10. Search the next child: a copy of the grid with the move made.
            if (nodes_ >= next_poll_) {
                next_poll_ = nodes_ + POLL_INTERVAL;
                if (interrupt_.poll && interrupt_.poll(interrupt_.data)) {
                    interrupted_ = true;
                    return 0;
                }
            }
            if (sp + 1 == frames_.size()) {
                if (!grow()) return 0;
                f = &frames_[sp];
            }
            Frame& child = frames_[sp + 1];
            child.grid = f->grid;
            apply_action(child.grid, f->actions[f->next]);
            child.depth = f->depth - 1;
            child.maximizing = !f->maximizing;
            child.to_move = opponent(f->to_move);
            child.alpha = f->alpha;
            child.beta = f->beta;
            if (!enter(child, value)) {
                ++sp;
                continue;
            }
        } else {
            // 11-12 done: the bound of the result, then 13. store and 14. return.
            Bound bound;
            if (f->maximizing) {
                bound = f->best <= f->alpha_in ? Bound::UpperBound
                        : f->best >= f->beta   ? Bound::LowerBound
                                               : Bound::Exact;
            } else {
                bound = f->best >= f->beta_in ? Bound::LowerBound
                        : f->best <= f->alpha ? Bound::UpperBound
                                              : Bound::Exact;
            }
            table_.store(TableEntry{f->key, f->depth, f->best, bound, f->best_action});
            value = f->best;
            if (sp == 0) return value;
            --sp;
            f = &frames_[sp];
        }
        // The child of f at f->next scored `value`.
        const Action& a = f->actions[f->next];
        if (f->maximizing) {
            if (value > f->best) f->best = value, f->best_action = a;
            f->alpha = std::max(f->alpha, value);
        } else {
            if (value < f->best) f->best = value, f->best_action = a;
            f->beta = std::min(f->beta, value);
        }
        f->next = f->alpha >= f->beta ? f->actions.count : static_cast<std::uint8_t>(f->next + 1);
    }
}

// ---------------------------------------------------------------------------
// Bot turn: iterative deepening at the root

BotResult bot_turn(const Grid& grid, Player player, std::uint32_t depth,
                   Interrupt interrupt) noexcept {
    BotResult result;
    TranspositionTable table;
    if (!table.allocate()) {
        result.status = BotResult::Status::OutOfMemory;
        return result;
    }
    if (depth == 0) return result;

    Search search(table, interrupt);
    Action previous = Action::none();
    for (std::uint32_t d = 1;; ++d) {
        ActionList actions = get_bot_actions(grid, player);
        if (actions.empty()) break;
        if (!previous.is_none()) {
            for (std::uint8_t i = 0; i < actions.count; ++i) {
                if (actions[i] == previous) {
                    std::swap(actions[0], actions[i]);
                    break;
                }
            }
        }
        std::int32_t best = ROOT_BEST_START;
        Action best_action = Action::none();
        for (const Action& a : actions) {
            Grid child = grid;
            apply_action(child, a);
            const std::int32_t s = search.minimax(child, d - 1, false, opponent(player), player,
                                                  MAX_NODE_START, MIN_NODE_START);
            if (search.stopped()) {
                result.status = search.interrupted() ? BotResult::Status::Interrupted
                                                     : BotResult::Status::OutOfMemory;
                result.nodes = search.nodes();
                result.passes = d;
                return result;
            }
            if (s > best) best = s, best_action = a;
        }
        result.status = BotResult::Status::Move;
        result.action = best_action;
        result.passes = d;
        if (best > FORCED_WIN || d >= depth) break;
        previous = best_action;
    }
    result.nodes = search.nodes();
    return result;
}

}  // namespace tesko
