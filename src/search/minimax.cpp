#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <new>
#include <sys/mman.h>
#include <utility>

#include "search/search.hpp"
#include "search/zobrist.hpp"

namespace tesko {

// ---------------------------------------------------------------------------
// Transposition table

namespace {

constexpr std::size_t PLACES_BYTES = TranspositionTable::TABLE_SIZE * 16;
constexpr std::size_t STORED_BYTES = TranspositionTable::TABLE_SIZE / 8;
constexpr std::size_t TABLE_BYTES = PLACES_BYTES + STORED_BYTES;
constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;

// Anonymous zeroed memory for the places and their stored bits, the places
// on huge pages where the system offers them (the search touches them at
// random, so small pages would cost a TLB miss on nearly every probe).
void* map_table() noexcept {
    const std::size_t length = TABLE_BYTES + HUGE_PAGE;
    void* p = ::mmap(nullptr, length, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    // Keep a 2 MiB-aligned part and give back the rest.
    const auto start = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t aligned = (start + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
    if (aligned > start) ::munmap(p, aligned - start);
    const std::uintptr_t end = aligned + TABLE_BYTES;
    if (start + length > end) ::munmap(reinterpret_cast<void*>(end), start + length - end);
#ifdef MADV_HUGEPAGE
    ::madvise(reinterpret_cast<void*>(aligned), PLACES_BYTES, MADV_HUGEPAGE);
#endif
    return reinterpret_cast<void*>(aligned);
}

}  // namespace

// The process's reusable table memory: lent to one table at a time and kept
// for the life of the process once made. A table hands it back with every
// stored bit clear again.
struct SharedPlaces {
    static inline std::atomic<bool> lent{false};
    static inline void* memory = nullptr;

    static bool borrow(TranspositionTable& t) noexcept {
        if (lent.exchange(true, std::memory_order_acquire)) return false;
        if (!memory && !(memory = map_table())) {
            lent.store(false, std::memory_order_release);
            return false;
        }
        t.shared_ = true;
        t.places_ = static_cast<TranspositionTable::Packed*>(memory);
        t.stored_ = reinterpret_cast<std::uint64_t*>(static_cast<char*>(memory) + PLACES_BYTES);
        return true;
    }

    static void give_back(TranspositionTable& t) noexcept {
        for (std::size_t i = 0; i < t.dirty_.size(); ++i) {
            for (std::uint64_t word = t.dirty_[i]; word; word &= word - 1)
                t.stored_[i * 64 + static_cast<unsigned>(std::countr_zero(word))] = 0;
        }
        lent.store(false, std::memory_order_release);
    }
};

TranspositionTable::~TranspositionTable() {
    if (!places_) return;
    if (shared_) SharedPlaces::give_back(*this);
    else ::munmap(places_, TABLE_BYTES);
}

bool TranspositionTable::allocate() noexcept {
    if (places_) return true;
    if (SharedPlaces::borrow(*this)) return true;
    void* p = map_table();
    if (!p) return false;
    places_ = static_cast<Packed*>(p);
    stored_ = reinterpret_cast<std::uint64_t*>(static_cast<char*>(p) + PLACES_BYTES);
    return true;
}

TranspositionTable::Packed TranspositionTable::pack(const TableEntry& e) noexcept {
    const Action& a = e.best_action;
    std::uint64_t code = 0;
    if (a.variant == ActionKind::Single) code = 1 + std::uint64_t(a.slot());
    else if (a.variant == ActionKind::Figure) code = 13 + std::uint64_t(12 * a.slot() + a.target());
    const std::uint64_t meta = std::uint64_t{static_cast<std::uint8_t>(e.bound)} | (code << 2);
    return Packed{(e.key & ~PLACE_MASK) | meta, e.score, e.depth};
}

TableEntry TranspositionTable::unpack(std::uint64_t key, const Packed& p) noexcept {
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

// ---------------------------------------------------------------------------
// Search

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
    // Asks the interrupt once POLL_INTERVAL nodes have gone by since it was
    // last asked; true when the search has to stop.
    const auto interrupted = [this]() noexcept {
        if (nodes_ < next_poll_) return false;
        next_poll_ = nodes_ + POLL_INTERVAL;
        if (interrupt_.poll && interrupt_.poll(interrupt_.data)) interrupted_ = true;
        return interrupted_;
    };
    // Asked here as well as before every child: a bot turn whose root moves
    // are all settled on entry (each ends the game, say) never gets to the
    // loop below, however many passes it runs.
    if (stopped() || interrupted()) return 0;
    if (frames_.empty() && !grow()) return 0;
    const ZobristTable& z = zobrist();
    const KeyDeltas& deltas = key_deltas();

    // Makes the children of `f` up to (not including) index `upto`, with
    // their keys, and starts fetching their table places.
    const auto make_children = [&](Frame& f, unsigned upto) noexcept {
        upto = std::min<unsigned>(upto, f.actions.count);
        for (; f.made < upto; ++f.made) {
            const std::uint64_t key = key_after(deltas, f.grid, f.key, f.actions[f.made]);
            table_.prefetch(key);
            f.child_keys[f.made] = key;
        }
    };

    // Steps 1 to 7 for the child of `f` at `i` when it lies at depth 0,
    // where it always ends: the same as `enter` below, but without making
    // the child's grid. Turning cards over leaves material as it is, so the
    // child's material is the parent's less a card taken off.
    const auto leaf = [&](const Frame& f, unsigned i) noexcept -> std::int32_t {
        ++nodes_;
        std::int32_t alpha = f.alpha, beta = f.beta;
        if (const auto e = table_.probe(f.child_keys[i])) {  // every entry has depth >= 0
            if (e->bound == Bound::Exact) return e->score;
            if (e->bound == Bound::LowerBound) alpha = std::max(alpha, e->score);
            else beta = std::min(beta, e->score);
            if (alpha >= beta) return e->score;
        }
        std::int32_t bot_sum = f.bot_sum, opp_sum = f.opp_sum;
        const Action& a = f.actions[i];
        const unsigned b = slot_bit(a.slot());
        if (a.variant == ActionKind::Single && (f.grid.down & b)) {
            const std::int32_t value = (f.grid.figure & b) ? CARD_VALUE_FIGURE : CARD_VALUE_NORMAL;
            ((f.grid.owned_by(bot) & b) ? bot_sum : opp_sum) -= value;
        }
        if (opp_sum == 0 && bot_sum != 0) return WIN_SCORE;
        if (bot_sum == 0 && opp_sum != 0) return -WIN_SCORE;
        return bot_sum - opp_sum;
    };

    // Steps 1 to 9 for the node in `f`, whose grid, depth, role, side to
    // move, window and key are set: returns true with the node's value in
    // `value` when the node is settled without searching children.
    const auto enter = [&](Frame& f, std::int32_t& value) noexcept -> bool {
        ++nodes_;
        // 1-2. The window as received; the key and place are known already.
        f.alpha_in = f.alpha;
        f.beta_in = f.beta;
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
        f.bot_sum = bot_sum;
        f.opp_sum = opp_sum;
        // 8-9. The moves, the remembered best move first. A remembered move
        // that the player may still make is searched before the rest of the
        // list is made at all: when it cuts off, the list is never needed.
        if (!remembered.is_none() && bot_may_play(f.grid, f.to_move, remembered)) {
            f.actions.items[0] = remembered;
            f.actions.count = 1;
            f.deferred = true;
        } else {
            get_bot_actions(f.grid, f.to_move, f.actions);
            if (f.actions.empty()) return value = bot_sum - opp_sum, true;  // not stored
            f.deferred = false;
        }
        // 10. The first children are made now so that their table places are
        // on their way from memory while the search goes on; each later child
        // is made `ahead` moves before it is searched.
        f.made = 0;
        f.ahead = f.depth == 1 ? LEAF_PREFETCH_AHEAD : PREFETCH_AHEAD;
        make_children(f, f.ahead);
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
        f.key = position_key(z, root);
        std::int32_t value;
        if (enter(f, value)) return value;
    }

    for (;;) {
        Frame* f = &frames_[sp];
        std::int32_t value;
        if (f->next < f->actions.count) {
            if (interrupted()) return 0;
            // 10. Search the next child: one ply less, the other side to
            // move, the other role, the window as it stands.
            make_children(*f, f->next + 1u + f->ahead);
            if (f->depth == 1) {
                value = leaf(*f, f->next);
            } else {
                if (sp + 1 == frames_.size()) {
                    if (!grow()) return 0;
                    f = &frames_[sp];
                }
                Frame& child = frames_[sp + 1];
                child.grid = f->grid;
                apply_action(child.grid, f->actions[f->next]);
                child.key = f->child_keys[f->next];
                child.depth = f->depth - 1;
                child.maximizing = !f->maximizing;
                child.to_move = opponent(f->to_move);
                child.alpha = f->alpha;
                child.beta = f->beta;
                if (!enter(child, value)) {
                    ++sp;
                    continue;
                }
            }
        } else {
            // The bound of the result (11, 12), 13. store, 14. return it.
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
        // 11-12. The child at f->next scored `value`: the first strictly
        // better score wins, the window narrows, and a closed window cuts.
        const Action a = f->actions[f->next];
        if (f->maximizing) {
            if (value > f->best) f->best = value, f->best_action = a;
            f->alpha = std::max(f->alpha, value);
        } else {
            if (value < f->best) f->best = value, f->best_action = a;
            f->beta = std::min(f->beta, value);
        }
        if (f->alpha >= f->beta) {
            f->next = f->actions.count;
            continue;
        }
        if (f->deferred) {
            // No cut-off after the remembered move: make the whole list and
            // put the remembered move first, where it was searched.
            get_bot_actions(f->grid, f->to_move, f->actions);
            for (std::uint8_t i = 0; i < f->actions.count; ++i) {
                if (f->actions[i] == a) {
                    std::swap(f->actions[0], f->actions[i]);
                    break;
                }
            }
            f->deferred = false;
        }
        ++f->next;
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
