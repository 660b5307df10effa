#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vorlan::py {

// The class Example, made on first use and shared by every module object of
// the process; a new reference, or nullptr with RuntimeError set.
PyObject* example_type();

}  // namespace vorlan::py
