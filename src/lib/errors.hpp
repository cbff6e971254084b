// Errors at the edge between the interpreter and the native code.
//
// Every entry point that the interpreter calls runs its body through
// `boundary`, so that no C++ exception ever unwinds into the interpreter:
//
//   std::bad_alloc   -> MemoryError
//   Fault            -> PanicException carrying the fault's text
//   anything else    -> PanicException (with the exception's text if any)
//
// A Fault is a broken invariant of the native code, never a mistake of the
// caller: callers' mistakes are Python exceptions set where they are found.
// RAII guards inside the body (board borrows) are released by the unwinding
// before the exception is raised.
#pragma once

#include <Python.h>

#include <new>
#include <stdexcept>
#include <type_traits>

namespace tesko::py {

class Fault : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

// Throws a Fault with `message` unless `condition` holds.
inline void expect(bool condition, const char* message) {
    if (!condition) throw Fault(message);
}

// Sets PanicException (made on first use) with `message`, or a generic text
// when `message` is null. If the class itself cannot be made, the error of
// making it (normally MemoryError) is left set instead.
void raise_panic(const char* message) noexcept;

// Raises RuntimeError(message) whose cause is the exception currently set.
void raise_with_cause(const char* message) noexcept;

template <class R>
inline R error_result() noexcept {
    if constexpr (std::is_pointer_v<R>) return nullptr;
    else return R{-1};
}

template <class Body>
auto boundary(Body&& body) noexcept -> decltype(body()) {
    using R = decltype(body());
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        raise_panic(nullptr);
    }
    return error_result<R>();
}

}  // namespace tesko::py
