#include "engine/random.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace tesko {

namespace {

// Forks since the process started, counted in each child as it starts. A
// source compares it with the count at its last key; asking the system for
// the process id instead would cost a system call on every deal.
std::atomic<std::uint64_t> forks{0};

void count_fork_in_child() noexcept { forks.fetch_add(1, std::memory_order_relaxed); }

// Whether the count is kept: registering the handler can fail (for lack of
// memory), and then a source compares process ids instead.
bool forks_counted() noexcept {
    static const bool counted = ::pthread_atfork(nullptr, nullptr, count_fork_in_child) == 0;
    return counted;
}

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

bool RandomSource::rekey() noexcept {
    ChaChaKey key{};
    if (!os_random_bytes(key.data(), sizeof key)) return false;
    stream_.rekey(key);
    forks_counted();  // counting starts before the first key is used
    forks_ = forks.load(std::memory_order_relaxed);
    pid_ = ::getpid();
    keyed_ = true;
    return true;
}

bool RandomSource::forked() const noexcept {
    return forks_counted() ? forks_ != forks.load(std::memory_order_relaxed) : pid_ != ::getpid();
}

RandomSource* RandomSource::for_this_thread() noexcept {
    thread_local RandomSource source;
    if (!source.keyed_ || source.forked()) {
        if (!source.rekey()) return nullptr;
    } else if (source.stream_.blocks() >= REKEY_BLOCKS) {
        source.rekey();  // on failure the current key serves on
    }
    return &source;
}

}  // namespace tesko
