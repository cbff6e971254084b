#include "search/zobrist.hpp"

#include <cstddef>
#include <mutex>

#include "engine/chacha.hpp"
#include "engine/random.hpp"

namespace tesko {

namespace {

ZobristTable table;
KeyDeltas deltas;
std::once_flag built;

// The key changes of single slots, from the table.
void derive_deltas() noexcept {
    for (std::size_t s = 0; s < SLOTS; ++s) {
        for (std::size_t k = 0; k < 4; ++k) {  // state 1 + k face up, 5 + k face down
            deltas.flip[s][k] = table[s][1 + k] ^ table[s][5 + k];
            deltas.remove[s][k] = table[s][5 + k] ^ table[s][0];
        }
    }
}

// Draws the table in order (slot 0 state 0, slot 0 state 1, ...).
template <class Next>
void fill(Next next) noexcept {
    for (auto& slot : table)
        for (auto& key : slot) key = next();
    derive_deltas();
}

void build_from_entropy() noexcept {
    if (RandomSource* source = RandomSource::for_this_thread()) {
        fill([source] { return source->next_u64(); });
        return;
    }
    // Without an entropy source the keys only lose their variety between
    // runs; any fixed keys give a correct search.
    ChaChaStream fallback;
    fallback.rekey(ChaChaKey{});
    fill([&fallback] { return fallback.next_u64(); });
}

}  // namespace

const ZobristTable& zobrist() noexcept {
    std::call_once(built, build_from_entropy);
    return table;
}

const KeyDeltas& key_deltas() noexcept {
    std::call_once(built, build_from_entropy);
    return deltas;
}

bool set_zobrist(const ZobristTable& keys) noexcept {
    bool took = false;
    std::call_once(built, [&keys, &took] {
        table = keys;
        derive_deltas();
        took = true;
    });
    return took;
}

}  // namespace tesko
