#include "search/zobrist.hpp"

#include <mutex>
#include <random>

#include "engine/random.hpp"

namespace tesko {

namespace {

ZobristTable table;
std::once_flag built;

template <class Next>
void fill(Next next) noexcept {
    for (auto& slot : table)
        for (auto& key : slot) key = next();
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
