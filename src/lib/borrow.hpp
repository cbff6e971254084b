// Access control for a Board: one writer or any number of readers at a time.
//
// The state is one 64-bit counter, changed only atomically:
//
//   0                 free
//   1 .. 2^64 - 2     held for reading by that many calls
//   2^64 - 1          held for writing by one call
//
// Every call runs under the interpreter lock, so two calls overlap only when
// one of them runs Python code while it holds the board (the __index__ of a
// depth argument, say) and that code calls into the same board. A conflicting
// call fails at once with RuntimeError instead of waiting. The guards below
// release what they took on every path out of the scope that took it.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <limits>

namespace tesko::py {

class BorrowFlag {
public:
    static constexpr std::uint64_t WRITING = std::numeric_limits<std::uint64_t>::max();

    bool try_read() noexcept {
        std::uint64_t seen = state_.load(std::memory_order_relaxed);
        while (seen != WRITING && seen != WRITING - 1) {
            if (state_.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                             std::memory_order_relaxed))
                return true;
        }
        return false;
    }
    void end_read() noexcept { state_.fetch_sub(1, std::memory_order_release); }

    bool try_write() noexcept {
        std::uint64_t expected = 0;
        return state_.compare_exchange_strong(expected, WRITING, std::memory_order_acquire,
                                              std::memory_order_relaxed);
    }
    void end_write() noexcept { state_.store(0, std::memory_order_release); }

    std::uint64_t state() const noexcept { return state_.load(std::memory_order_relaxed); }

private:
    std::atomic<std::uint64_t> state_{0};
};

class ReadBorrow {
public:
    // Sets RuntimeError "Already mutably borrowed" when refused; check ok().
    explicit ReadBorrow(BorrowFlag& flag) noexcept : flag_(flag.try_read() ? &flag : nullptr) {
        if (!flag_) PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
    }
    ~ReadBorrow() {
        if (flag_) flag_->end_read();
    }
    ReadBorrow(const ReadBorrow&) = delete;
    ReadBorrow& operator=(const ReadBorrow&) = delete;
    bool ok() const noexcept { return flag_ != nullptr; }

private:
    BorrowFlag* flag_;
};

class WriteBorrow {
public:
    // Sets RuntimeError "Already borrowed" when refused; check ok().
    explicit WriteBorrow(BorrowFlag& flag) noexcept : flag_(flag.try_write() ? &flag : nullptr) {
        if (!flag_) PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    }
    ~WriteBorrow() {
        if (flag_) flag_->end_write();
    }
    WriteBorrow(const WriteBorrow&) = delete;
    WriteBorrow& operator=(const WriteBorrow&) = delete;
    bool ok() const noexcept { return flag_ != nullptr; }

private:
    BorrowFlag* flag_;
};

}  // namespace tesko::py
