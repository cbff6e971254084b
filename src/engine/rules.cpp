#include "engine/rules.hpp"

#include <cassert>
#include <cstddef>
#include <cstring>

namespace tesko {

ActionList legal_moves(const Grid& g, Player p) noexcept {
    ActionList list;
    const unsigned up_own = g.face_up() & g.owned_by(p);
    const unsigned playable = g.down | (up_own & ~g.figure);
    const unsigned figures = up_own & g.figure;
    for_each_slot(playable | figures, [&](int s) {
        if (figures & slot_bit(s)) {
            for_each_slot(g.occupied & ~slot_bit(s),
                          [&](int t) { list.push(Action::figure_on(s, t)); });
        } else {
            list.push(Action::single(s));
        }
    });
    return list;
}

void get_bot_actions(const Grid& g, Player p, ActionList& list) noexcept {
    // Generation order as in legal_moves, but a Figure only aims at face-down
    // cards and the opponent's face-up cards. The stable sort by key (0: the
    // opponent's Figure, 1: the opponent's Normal card, 2: anything else) is
    // a three-way partition that keeps generation order within each key, and
    // the size of each part is known up front: every Figure aims at every
    // card of the opponent. So each move is written straight to its place.
    const unsigned own = g.owned_by(p);
    const unsigned opp = g.occupied & ~own;
    const unsigned up_own = g.face_up() & own;
    const unsigned playable = g.down | (up_own & ~g.figure);
    const unsigned figures = up_own & g.figure;
    const unsigned targets = g.down | opp;

    const int n_figures = popcount12(figures);
    // The list's capacity holds the largest list the cards of one deal can
    // make (two face-up Figures aiming at ten other cards, 30 moves); a grid
    // with more cards than a deal would overrun it.
    assert(popcount12(playable) + n_figures * popcount12(targets) <=
           static_cast<int>(ActionList::CAPACITY));
    unsigned key0 = 0;
    unsigned key1 = static_cast<unsigned>(n_figures * popcount12(opp & g.figure));
    unsigned rest = key1 + static_cast<unsigned>(n_figures * popcount12(opp & ~g.figure));
    Action* out = list.items.data();
    for_each_slot(playable | figures, [&](int s) {
        if (!(figures & slot_bit(s))) {
            out[rest++] = Action::single(s);
            return;
        }
        for_each_slot(targets, [&](int t) {
            const unsigned tb = slot_bit(t);
            const unsigned at = !(opp & tb) ? rest++ : (g.figure & tb) ? key0++ : key1++;
            out[at] = Action::figure_on(s, t);
        });
    });
    list.count = static_cast<std::uint8_t>(rest);
}

bool bot_may_play(const Grid& g, Player p, Action a) noexcept {
    const unsigned b = slot_bit(a.slot());
    const unsigned own = g.owned_by(p);
    const bool own_face_up = (g.occupied & own & ~g.down & b) != 0;
    if (a.variant == ActionKind::Single) return (g.down & b) || (own_face_up && !(g.figure & b));
    if (a.variant != ActionKind::Figure || !own_face_up || !(g.figure & b) ||
        a.target() == a.slot())
        return false;
    const unsigned t = slot_bit(a.target());
    return (g.down & t) || (g.occupied & ~own & t);
}

ActionList get_bot_actions(const Grid& g, Player p) noexcept {
    ActionList list;
    get_bot_actions(g, p, list);
    return list;
}

std::string_view play_error_message(PlayError e) noexcept {
    switch (e) {
        case PlayError::None: return {};
        case PlayError::Format: return "Formato inválido.";
        case PlayError::Coordinate: return "Coordenada inválida.";
        case PlayError::Origin: return "Origem inválida.";
        case PlayError::Destination: return "Destino inválido.";
        case PlayError::SameSlot: return "Não podes virar a própria Figura.";
        case PlayError::OriginNotFaceUp: return "A carta de origem não está virada para cima.";
        case PlayError::NotYourFigure: return "A figura não te pertence.";
        case PlayError::OnlyFigures: return "Apenas cartas Figura escolhem alvos.";
        case PlayError::NoTarget: return "A carta alvo não existe.";
        case PlayError::NoCard: return "Não há carta nessa posição.";
        case PlayError::OpponentFaceUp:
            return "Não podes jogar uma carta virada para cima do adversário.";
        case PlayError::NeedTarget: return "Precisas de um alvo para usar uma Figura (ex: A1A4).";
    }
    return "Formato inválido.";
}

PlayError check_play(const Grid& g, Player p, std::string_view text, Action& out) noexcept {
    if (text.size() == 4) {
        const auto from = parse_slot(text[0], text[1]);
        if (!from) return PlayError::Origin;
        const auto to = parse_slot(text[2], text[3]);
        if (!to) return PlayError::Destination;
        if (*from == *to) return PlayError::SameSlot;
        const auto card = g.card(*from);
        if (!card || card->face_down) return PlayError::OriginNotFaceUp;
        if (card->owner != p) return PlayError::NotYourFigure;
        if (card->kind != CardType::Figure) return PlayError::OnlyFigures;
        if (g.empty(*to)) return PlayError::NoTarget;
        out = Action::figure_on(*from, *to);
        return PlayError::None;
    }
    if (text.size() == 2) {
        const auto at = parse_slot(text[0], text[1]);
        if (!at) return PlayError::Coordinate;
        const auto card = g.card(*at);
        if (!card) return PlayError::NoCard;
        if (!card->face_down) {
            if (card->owner != p) return PlayError::OpponentFaceUp;
            if (card->kind != CardType::Normal) return PlayError::NeedTarget;
        }
        out = Action::single(*at);
        return PlayError::None;
    }
    return PlayError::Format;
}

std::size_t render(const Grid& g, char (&out)[RENDER_MAX]) noexcept {
    static constexpr std::string_view HEADER = "   1   2   3   4\n";
    std::size_t n = 0;
    const auto put = [&](std::string_view piece) {
        std::memcpy(out + n, piece.data(), piece.size());
        n += piece.size();
    };
    put(HEADER);
    for (int r = 0; r < ROWS; ++r) {
        const char label[2] = {row_letter(r), ' '};
        put({label, 2});
        for (int c = 0; c < COLS; ++c) {
            const auto card = g.card(slot_index(r, c));
            if (!card) {
                put("[  --  ]");
            } else if (card->face_down) {
                put("[XXXXXX]");
            } else {
                const char cell[6] = {'[',
                                      ' ',
                                      card->owner == Player::A ? 'A' : 'B',
                                      card->kind == CardType::Normal ? 'N' : 'F',
                                      ' ',
                                      ']'};
                put({cell, 6});
            }
        }
        put("\n");
    }
    return n;
}

}  // namespace tesko
