#include "search/zobrist.hpp"

#include <mutex>
#include <random>

#include "engine/random.hpp"

namespace tesko {

namespace {

ZobristTable table;
KeyDeltas deltas;
std::once_flag built;

template <class Next>
void fill(Next next) noexcept {
    for (auto& slot : table)
        for (auto& key : slot) key = next();
    for (std::size_t s = 0; s < SLOTS; ++s) {
        for (std::size_t k = 0; k < 4; ++k) {  // state 1 + k face up, 5 + k face down
            deltas.flip[s][k] = table[s][1 + k] ^ table[s][5 + k];
            deltas.remove[s][k] = table[s][5 + k] ^ table[s][0];
        }
    }
}

void build_from_entropy() noexcept {
    if (RandomSource* source = RandomSource::for_this_thread()) {
        fill([source] { return source->next_u64(); });
        return;
    }
    // Without an entropy source the keys only lose their variety between
    // runs; any fixed keys give a correct search.
    std::mt19937_64 fallback(0x7e5c0u);
    fill([&fallback] { return fallback(); });
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

bool seed_zobrist(std::uint64_t seed) noexcept {
    bool took = false;
    std::call_once(built, [seed, &took] {
        std::mt19937_64 gen(seed);
        fill([&gen] { return gen(); });
        took = true;
    });
    return took;
}

}  // namespace tesko
