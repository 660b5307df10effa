#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <span>

namespace vorlan::py {

// The method definitions of the eleven module functions, in registration order.
std::span<PyMethodDef> function_definitions();

}  // namespace vorlan::py
