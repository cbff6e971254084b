// ChaCha20, as a stream of random words.
//
// The block function turns a 16-word input (4 constant words, an 8-word
// key, a block counter and a nonce) into 16 words of output that nobody
// without the key can tell from random or predict from earlier blocks. It
// is the block function of the ChaCha20 stream cipher as the IETF
// standardised it, and the tests check it against that standard's test
// vectors.
//
// ChaChaStream hands out the output of blocks 0, 1, 2, ... under one key,
// word by word. It uses a 64-bit block counter in words 12 and 13 and a zero
// nonce in words 14 and 15; a random source takes a new key after 1024
// blocks (random.hpp), so the counter never comes near its end.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

namespace tesko {

using ChaChaWords = std::array<std::uint32_t, 16>;
using ChaChaKey = std::array<std::uint32_t, 8>;

// Twenty rounds, the full cipher. Twelve would still keep a wide margin over
// the published attacks, but a deal draws less than one block, so the eight
// extra rounds cost little (see the README's Board() timings), and twenty
// rounds are exactly what the published test vectors check.
inline constexpr int CHACHA_ROUNDS = 20;

// "expand 32-byte k" as four little-endian words.
inline constexpr std::array<std::uint32_t, 4> CHACHA_CONSTANTS = {0x61707865, 0x3320646e,
                                                                  0x79622d32, 0x6b206574};

namespace chacha_detail {

constexpr void quarter_round(ChaChaWords& x, std::size_t a, std::size_t b, std::size_t c,
                             std::size_t d) noexcept {
    x[a] += x[b];
    x[d] = std::rotl(x[d] ^ x[a], 16);
    x[c] += x[d];
    x[b] = std::rotl(x[b] ^ x[c], 12);
    x[a] += x[b];
    x[d] = std::rotl(x[d] ^ x[a], 8);
    x[c] += x[d];
    x[b] = std::rotl(x[b] ^ x[c], 7);
}

}  // namespace chacha_detail

// One block: CHACHA_ROUNDS rounds (alternately on the columns and the
// diagonals of the 4 x 4 words) over a copy of `in`, then `in` added back
// word by word.
constexpr ChaChaWords chacha_block(const ChaChaWords& in) noexcept {
    using chacha_detail::quarter_round;
    ChaChaWords x = in;
    for (int round = 0; round < CHACHA_ROUNDS; round += 2) {
        quarter_round(x, 0, 4, 8, 12);
        quarter_round(x, 1, 5, 9, 13);
        quarter_round(x, 2, 6, 10, 14);
        quarter_round(x, 3, 7, 11, 15);
        quarter_round(x, 0, 5, 10, 15);
        quarter_round(x, 1, 6, 11, 12);
        quarter_round(x, 2, 7, 8, 13);
        quarter_round(x, 3, 4, 9, 14);
    }
    for (std::size_t i = 0; i < x.size(); ++i) x[i] += in[i];
    return x;
}

class ChaChaStream {
public:
    static constexpr std::size_t WORDS_PER_BLOCK = 16;

    // Starts the stream of `key` at block 0.
    void rekey(const ChaChaKey& key) noexcept {
        for (std::size_t i = 0; i < 4; ++i) input_[i] = CHACHA_CONSTANTS[i];
        for (std::size_t i = 0; i < 8; ++i) input_[4 + i] = key[i];
        for (std::size_t i = 12; i < 16; ++i) input_[i] = 0;
        blocks_ = 0;
        next_ = WORDS_PER_BLOCK;
    }

    std::uint32_t next_u32() noexcept {
        if (next_ == WORDS_PER_BLOCK) refill();
        return block_[next_++];
    }

    // Two words, the first in the low half.
    std::uint64_t next_u64() noexcept {
        const std::uint64_t low = next_u32();
        return low | (std::uint64_t{next_u32()} << 32);
    }

    // Blocks made since the last rekey.
    std::uint64_t blocks() const noexcept { return blocks_; }

private:
    void refill() noexcept {
        input_[12] = static_cast<std::uint32_t>(blocks_);
        input_[13] = static_cast<std::uint32_t>(blocks_ >> 32);
        block_ = chacha_block(input_);
        ++blocks_;
        next_ = 0;
    }

    ChaChaWords input_{};
    ChaChaWords block_{};
    std::uint64_t blocks_ = 0;
    std::size_t next_ = WORDS_PER_BLOCK;
};

}  // namespace tesko
