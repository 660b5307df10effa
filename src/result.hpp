#pragma once
// The one error shape of the core: an operation returns its value or one message.
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

namespace vorlan {

struct Failure {
    std::string message;
    bool out_of_memory = false;
};

template <class T>
class Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(Failure failure) : state_(std::in_place_index<1>, std::move(failure)) {}

    bool ok() const { return state_.index() == 0; }
    T& value() { return std::get<0>(state_); }
    const T& value() const { return std::get<0>(state_); }
    const Failure& failure() const { return std::get<1>(state_); }
    const std::string& error() const { return std::get<1>(state_).message; }

private:
    std::variant<T, Failure> state_;
};

inline Failure fail(std::string message) { return Failure{std::move(message), false}; }

// The core's one exception boundary: nothing else in it throws or catches.
// Built with exceptions, running out of memory (std::bad_alloc, or std::length_error
// for a size no container can hold) ends the operation with a failure that the
// binding raises as MemoryError. Built without them (WebAssembly), allocation
// failure aborts the program.
#if defined(__cpp_exceptions)

[[noreturn]] inline void out_of_memory() { throw std::bad_alloc(); }

template <class F>
auto guarded(F&& body) -> decltype(body()) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return Failure{"out of memory", true};
    } catch (const std::length_error&) {
        return Failure{"out of memory", true};
    }
}

#else

[[noreturn]] inline void out_of_memory() { std::abort(); }

template <class F>
auto guarded(F&& body) -> decltype(body()) {
    return body();
}

#endif

}  // namespace vorlan
