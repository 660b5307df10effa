#pragma once
// The one calling convention of every Python-facing entry point: bind the
// arguments, convert them, run the operation, turn its result into an object.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <exception>
#include <new>
#include <stdexcept>
#include <span>
#include <string>
#include <string_view>

#include "result.hpp"

namespace vorlan::py {

inline constexpr std::size_t max_params = 5;

struct FunctionDescription {
    const char* func_name;
    const char* cls_name;  // nullptr for module functions
    std::span<const char* const> params;
};

// Each binds into out[0..params.size()) as borrowed references, or sets TypeError.
bool bind_fastcall(const FunctionDescription& desc, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** out);
bool bind_tuple(const FunctionDescription& desc, PyObject* args, PyObject* kwargs, PyObject** out);

// Sets the TypeError "'T' object is not an instance of 'target'".
void set_cast_failure(PyObject* obj, const char* target);

// Each converts one bound argument; on failure the error carries the note
// "while processing '<param>'".
bool text_arg(PyObject* obj, const char* param, std::string_view& out);
bool bytes_arg(PyObject* obj, const char* param, std::string_view& out);
bool u64_arg(PyObject* obj, const char* param, std::uint64_t& out);

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

}  // namespace vorlan::py
