// RandomSource: each thread's pseudo-random generator, seeded from the
// operating system (getrandom, falling back to /dev/urandom). Dealing draws
// 32-bit words from it; the search's position keys draw 64-bit words.
//
// A source notices when the process has forked and reseeds itself, so a
// forked server never deals its children the same games.
#pragma once

#include <cstdint>
#include <random>
#include <sys/types.h>

namespace tesko {

// Fills `buf` with `len` bytes from the operating system's entropy source.
// Returns false (errno set) when neither getrandom nor /dev/urandom answers.
bool os_random_bytes(void* buf, std::size_t len) noexcept;

class RandomSource {
public:
    std::uint32_t next_u32() noexcept { return static_cast<std::uint32_t>(next_u64() >> 32); }
    std::uint64_t next_u64() noexcept { return engine_(); }

    // The calling thread's source, seeded on first use (and again after a
    // fork). nullptr, with errno set, when the entropy source cannot be read.
    static RandomSource* for_this_thread() noexcept;

private:
    bool reseed() noexcept;
    std::mt19937_64 engine_;
    pid_t pid_ = 0;
    bool seeded_ = false;
};

}  // namespace tesko
