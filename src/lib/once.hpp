// OnceCell: a value made once per process on first use, under the
// interpreter lock, and only read afterwards.
//
// Making the value may let the interpreter lock go (an allocation can run
// the garbage collector, and with it finalisers written in Python). A second
// thread arriving meanwhile must then wait for the first without holding the
// interpreter lock, or the first could never finish: it gives the lock up
// while it waits on the cell's mutex. The thread that is making the value and
// asks for it again from inside (a finaliser importing the module, say) gets
// a RuntimeError rather than a deadlock.
#pragma once

#include <Python.h>

#include <atomic>
#include <mutex>
#include <thread>

namespace tesko::py {

template <class T>
class OnceCell {
public:
    // The value, made by `init(T&)` if it does not exist yet; `init` returns
    // false with a Python exception set when it fails, and a later call tries
    // again. nullptr with an exception set on failure.
    template <class Init>
    const T* get_or_init(Init&& init) {
        if (ready_.load(std::memory_order_acquire)) return &value_;
        if (maker_.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
            PyErr_SetString(PyExc_RuntimeError,
                            "tesko: recursive initialisation of a process-wide object");
            return nullptr;
        }
        if (!mutex_.try_lock()) {
            Py_BEGIN_ALLOW_THREADS
            mutex_.lock();
            Py_END_ALLOW_THREADS
        }
        std::unique_lock<std::mutex> lock(mutex_, std::adopt_lock);
        if (ready_.load(std::memory_order_acquire)) return &value_;
        struct Making {  // marks this thread as the maker until the scope ends
            std::atomic<std::thread::id>& maker;
            explicit Making(std::atomic<std::thread::id>& m) : maker(m) {
                maker.store(std::this_thread::get_id(), std::memory_order_relaxed);
            }
            ~Making() { maker.store(std::thread::id{}, std::memory_order_relaxed); }
        };
        T made{};
        {
            const Making making(maker_);
            if (!init(made)) return nullptr;
        }
        value_ = made;
        ready_.store(true, std::memory_order_release);
        return &value_;
    }

    // The value if it has been made, else nullptr.
    const T* get() const noexcept {
        return ready_.load(std::memory_order_acquire) ? &value_ : nullptr;
    }

private:
    std::atomic<bool> ready_{false};
    std::atomic<std::thread::id> maker_{};
    std::mutex mutex_;
    T value_{};
};

}  // namespace tesko::py
