// RandomSource: each thread's random words, from a ChaCha20 stream keyed
// from the operating system (getrandom, falling back to /dev/urandom).
// Dealing draws 32-bit words from it; the search's position keys draw 64-bit
// words.
//
// The words of a stream cipher do not give away the ones that follow, so
// the deals a long-lived server thread has made tell nothing about its next
// ones. A source takes a fresh key from the operating system after every
// 64 KiB of output, and when it notices that the process has forked, so a
// forked server never deals its children the same games.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "engine/chacha.hpp"

namespace tesko {

// Fills `buf` with `len` bytes from the operating system's entropy source.
// Returns false (errno set) when neither getrandom nor /dev/urandom answers.
bool os_random_bytes(void* buf, std::size_t len) noexcept;

class RandomSource {
public:
    // Output under one key: 64 KiB.
    static constexpr std::uint64_t REKEY_BLOCKS = 1024;

    std::uint32_t next_u32() noexcept { return stream_.next_u32(); }
    std::uint64_t next_u64() noexcept { return stream_.next_u64(); }

    // The calling thread's source, keyed on first use, again after a fork
    // and again once it has given REKEY_BLOCKS blocks under its key. nullptr,
    // with errno set, when the entropy source cannot be read for a first key
    // or for the first key in a forked child; a later key that cannot be
    // read leaves the source on its current key.
    static RandomSource* for_this_thread() noexcept;

private:
    bool rekey() noexcept;
    bool forked() const noexcept;  // since the last key
    ChaChaStream stream_;
    std::uint64_t forks_ = 0;
    pid_t pid_ = 0;
    bool keyed_ = false;
};

}  // namespace tesko
