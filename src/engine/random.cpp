#include "engine/random.hpp"

#include <array>
#include <cerrno>
#include <cstddef>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

namespace tesko {

namespace {

bool read_urandom(unsigned char* p, std::size_t len) noexcept {
    const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = true;
    while (len > 0) {
        const ssize_t n = ::read(fd, p, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            ok = false;
            break;
        }
        p += n;
        len -= static_cast<std::size_t>(n);
    }
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return ok;
}

}  // namespace

bool os_random_bytes(void* buf, std::size_t len) noexcept {
    auto* p = static_cast<unsigned char*>(buf);
    while (len > 0) {
        const ssize_t n = ::getrandom(p, len, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return read_urandom(p, len);  // no getrandom (old kernel, seccomp)
        }
        p += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

bool RandomSource::reseed() noexcept {
    std::array<std::uint32_t, 8> words{};
    if (!os_random_bytes(words.data(), sizeof words)) return false;
    std::seed_seq seq(words.begin(), words.end());
    engine_.seed(seq);
    pid_ = ::getpid();
    seeded_ = true;
    return true;
}

RandomSource* RandomSource::for_this_thread() noexcept {
    thread_local RandomSource source;
    if (!source.seeded_ || source.pid_ != ::getpid()) {
        if (!source.reseed()) return nullptr;
    }
    return &source;
}

}  // namespace tesko
