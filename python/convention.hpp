#pragma once
// The one calling convention of every Python-facing entry point: bind the
// arguments, convert them, run the operation, turn its result into an object.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <exception>
#include <new>
#include <stdexcept>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>

#include "result.hpp"

namespace vorlan::py {

// A function's name and parameter names; `Signature{"f", nullptr, {"a", "b"}}` counts them.
template <std::size_t N>
struct Signature {
    const char* func_name;
    const char* cls_name;  // nullptr for module functions
    std::array<const char*, N> params;
};
template <std::size_t N>
Signature(const char*, const char*, const char* const (&)[N]) -> Signature<N>;

// The arguments bound to a signature's parameters, as borrowed references.
template <std::size_t N>
using Bound = std::array<PyObject*, N>;

namespace detail {

// What binding reads of a signature, whatever its size.
struct SignatureView {
    const char* func_name;
    const char* cls_name;
    std::span<const char* const> params;
};

template <std::size_t N>
SignatureView view(const Signature<N>& sig) {
    return {sig.func_name, sig.cls_name, sig.params};
}

bool bind_fastcall(const SignatureView& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** out);
bool bind_tuple(const SignatureView& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// Adds the note "while processing '<param>'" to the pending exception; returns false.
bool noted(const char* param);

template <class T>
T converted_type(bool (*)(PyObject*, T&));

}  // namespace detail

// Each binds into `out` or sets TypeError.
template <std::size_t N>
bool bind_fastcall(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   Bound<N>& out) {
    return detail::bind_fastcall(detail::view(sig), args, nargs, kwnames, out.data());
}
template <std::size_t N>
bool bind_tuple(const Signature<N>& sig, PyObject* args, PyObject* kwargs, Bound<N>& out) {
    return detail::bind_tuple(detail::view(sig), args, kwargs, out.data());
}

// Sets the TypeError "'T' object is not an instance of 'target'".
void set_cast_failure(PyObject* obj, const char* target);

// The converters of one bound argument; each sets the error on failure.
bool text_arg(PyObject* obj, std::string_view& out);
bool bytes_arg(PyObject* obj, std::string_view& out);
bool u64_arg(PyObject* obj, std::uint64_t& out);

// Converts bound[i] with the i-th converter into out[i], left to right; a failure
// carries the note "while processing '<params[i]>'".
template <auto... convert, std::size_t N, class... T>
bool convert_args(const Signature<N>& sig, const Bound<N>& bound, T&... out) {
    static_assert(sizeof...(convert) == N && sizeof...(T) == N, "one converter and one output per parameter");
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
        return ((convert(bound[I], out) || detail::noted(sig.params[I])) && ...);
    }(std::make_index_sequence<N>());
}

// Raises a failed operation's message as ValueError (MemoryError when out of memory).
void set_failure(const Failure& failure);

PyObject* new_str(std::string_view text);
PyObject* new_bytes(std::string_view data);

// Runs an operation and turns its result into an object made by `make`; no C++
// exception leaves it.
template <class Op, class Make>
PyObject* result_object(Op&& op, Make&& make) noexcept {
    try {
        Result<std::string> result = op();
        if (!result.ok()) {
            set_failure(result.failure());
            return nullptr;
        }
        return make(std::string_view(result.value()));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::length_error&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
        return nullptr;
    }
}

template <class Op>
PyObject* str_result(Op&& op) noexcept {
    return result_object(op, new_str);
}

template <class Op>
PyObject* bytes_result(Op&& op) noexcept {
    return result_object(op, new_bytes);
}

// A function of the fastcall convention: binds the arguments to `sig`, converts each
// with its converter, runs `op` on the values and makes its result an object with `make`.
template <const auto& sig, auto op, auto make, auto... convert>
PyObject* fastcall(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    Bound<sizeof...(convert)> bound;
    std::tuple<decltype(detail::converted_type(convert))...> values;
    if (!bind_fastcall(sig, args, nargs, kwnames, bound) ||
        !std::apply([&](auto&... value) { return convert_args<convert...>(sig, bound, value...); }, values))
        return nullptr;
    return result_object([&] { return std::apply(op, values); }, make);
}

}  // namespace vorlan::py
