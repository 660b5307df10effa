#pragma once
// The one error shape of the core: an operation returns its value or one message.
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

// Runs an operation body so that no exception leaves the core: running out of
// memory becomes a failure the binding raises as MemoryError.
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

}  // namespace vorlan
