// Moves: the engine's move record, move text, the legal moves of a player,
// the checks that `Board.play` runs on typed text, and the bot's ordered
// move generation.
//
// A move is either a SingleAction on one slot (turn over one's own face-up
// Normal card, or take any face-down card off the grid) or a FigureAction
// (one's own face-up Figure used on any other card). Move text is the slot
// text ("B3") or the Figure's slot text followed by the target's ("A1A4").
//
// The refusal messages and the text picture of a grid live here, beside
// the rules, rather than in the Python module: they are part of the game
// as players see it, byte for byte the same in every host, and each message
// belongs to the one check that gives it. Both are plain bytes (UTF-8) with
// no dependency on Python; src/lib only turns them into Python strings.
#pragma once

#include <array>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>

#include "engine/grid.hpp"

namespace tesko {

enum class ActionKind : std::uint8_t { Single = 0, Figure = 1, None = 2 };

// Five one-byte fields; target_row and target_col are 0 in a SingleAction
// and take no part in comparison there. ActionKind::None marks "no action".
// Trivial, so that move lists cost nothing to create.
struct Action {
    ActionKind variant;
    std::uint8_t row;
    std::uint8_t col;
    std::uint8_t target_row;
    std::uint8_t target_col;

    static constexpr Action single(int slot) noexcept {
        return {ActionKind::Single, static_cast<std::uint8_t>(slot_row(slot)),
                static_cast<std::uint8_t>(slot_col(slot)), 0, 0};
    }
    static constexpr Action figure_on(int slot, int target) noexcept {
        return {ActionKind::Figure, static_cast<std::uint8_t>(slot_row(slot)),
                static_cast<std::uint8_t>(slot_col(slot)),
                static_cast<std::uint8_t>(slot_row(target)),
                static_cast<std::uint8_t>(slot_col(target))};
    }
    static constexpr Action none() noexcept { return {ActionKind::None, 0, 0, 0, 0}; }

    constexpr bool is_none() const noexcept { return variant == ActionKind::None; }
    constexpr int slot() const noexcept { return slot_index(row, col); }
    constexpr int target() const noexcept { return slot_index(target_row, target_col); }

    // Same move: variant and acting slot agree, and for FigureActions the target too.
    friend constexpr bool operator==(const Action& a, const Action& b) noexcept {
        return a.variant == b.variant && a.row == b.row && a.col == b.col &&
               (a.variant != ActionKind::Figure ||
                (a.target_row == b.target_row && a.target_col == b.target_col));
    }
};

static_assert(sizeof(Action) == 5 && std::is_trivial_v<Action>);

// A fixed-capacity list: the largest move list a grid can produce is 32
// (legal moves) or 30 (bot moves), so it never needs to grow.
struct ActionList {
    static constexpr std::size_t CAPACITY = 32;
    std::array<Action, CAPACITY> items;  // only the first `count` are set
    std::uint8_t count = 0;

    constexpr void push(Action a) noexcept {
        assert(count < CAPACITY);
        items[count++] = a;
    }
    constexpr std::size_t size() const noexcept { return count; }
    constexpr bool empty() const noexcept { return count == 0; }
    constexpr const Action& operator[](std::size_t i) const noexcept { return items[i]; }
    constexpr Action& operator[](std::size_t i) noexcept { return items[i]; }
    constexpr const Action* begin() const noexcept { return items.data(); }
    constexpr const Action* end() const noexcept { return items.data() + count; }
};

// Move text: 2 characters for a SingleAction, 4 for a FigureAction.
// Returns the number of characters written to `out`.
constexpr std::size_t move_text(Action a, char (&out)[4]) noexcept {
    out[0] = row_letter(a.row);
    out[1] = col_digit(a.col);
    if (a.variant != ActionKind::Figure) return 2;
    out[2] = row_letter(a.target_row);
    out[3] = col_digit(a.target_col);
    return 4;
}

// Carries one action out in place. `a` must be a legal move on `g`.
constexpr void apply_action(Grid& g, Action a) noexcept {
    const int s = a.slot();
    const std::uint16_t b = slot_bit(s);
    if (a.variant == ActionKind::Figure) {
        flip(g, a.target_row, a.target_col);
        g.down ^= b;  // the Figure, face up before, ends face down
    } else if (g.down & b) {
        g.take_off(s);
    } else {
        g.down = static_cast<std::uint16_t>((g.down | b) ^
                                            (NEIGHBOURS[static_cast<std::size_t>(s)] & g.occupied));
    }
}

// The legal moves of `p`, in listing order: slots row by row, each Figure's
// moves at the Figure's place with their targets in slot order.
ActionList legal_moves(const Grid& g, Player p) noexcept;

// The moves the bot considers, most promising first: the legal moves minus
// Figures aimed at the player's own face-up cards, stably ordered by
// target (the opponent's Figures, then the opponent's Normal cards, then
// everything else).
ActionList get_bot_actions(const Grid& g, Player p) noexcept;
void get_bot_actions(const Grid& g, Player p, ActionList& out) noexcept;

// Whether `a` is one of get_bot_actions(g, p), without making the list.
bool bot_may_play(const Grid& g, Player p, Action a) noexcept;

// Why typed move text was refused, in the order the checks run.
enum class PlayError : std::uint8_t {
    None = 0,
    Format,           // neither 2 nor 4 bytes
    Coordinate,       // 2 bytes that are not a slot text
    Origin,           // 4 bytes whose first slot text is invalid
    Destination,      // 4 bytes whose second slot text is invalid
    SameSlot,         // a Figure aimed at its own slot
    OriginNotFaceUp,  // no face-up card at the Figure's slot
    NotYourFigure,    // the card there is the opponent's
    OnlyFigures,      // the card there is a Normal card
    NoTarget,         // the target slot is empty
    NoCard,           // the single slot is empty
    OpponentFaceUp,   // the opponent's face-up card
    NeedTarget,       // one's own face-up Figure without a target
};

// The message a player sees for each refusal (UTF-8, Portuguese).
std::string_view play_error_message(PlayError e) noexcept;

// Checks move text typed by `p` against the rules. On success stores the
// move in `out` and returns PlayError::None; `g` is never changed.
PlayError check_play(const Grid& g, Player p, std::string_view text, Action& out) noexcept;

// Text picture of a grid: a header of column digits, then one line per row
// with bracketed cells. Between 98 and 122 characters.
inline constexpr std::size_t RENDER_MAX = 122;
std::size_t render(const Grid& g, char (&out)[RENDER_MAX]) noexcept;

}  // namespace tesko
