#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "convention.hpp"
#include "example.hpp"
#include "patch.hpp"

namespace vorlan::py {
namespace {

// Lists the name in the module's __all__ (made when missing), then sets the attribute.
int add(PyObject* module, PyObject* name, PyObject* value) {
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        all = PyList_New(0);
        if (!all) return -1;
        if (PyObject_SetAttrString(module, "__all__", all) < 0) {
            Py_DECREF(all);
            return -1;
        }
    } else if (!PyList_Check(all)) {
        set_cast_failure(all, "list");
        Py_DECREF(all);
        return -1;
    }
    const int appended = PyList_Append(all, name);
    Py_DECREF(all);
    if (appended < 0) return -1;
    return PyObject_SetAttr(module, name, value);
}

int add_example(PyObject* module) {
    PyObject* type = example_type();
    if (!type) return -1;
    PyObject* name = PyUnicode_FromString("Example");
    const int added = name ? add(module, name, type) : -1;
    Py_XDECREF(name);
    Py_DECREF(type);
    return added;
}

int add_function(PyObject* module, PyMethodDef* definition) {
    PyObject* module_name = PyModule_GetNameObject(module);
    if (!module_name) return -1;
    PyObject* function = PyCMethod_New(definition, module, module_name, nullptr);
    Py_DECREF(module_name);
    if (!function) return -1;
    PyObject* name = PyObject_GetAttrString(function, "__name__");
    int added = -1;
    if (name && !PyUnicode_Check(name)) {
        set_cast_failure(name, "str");
    } else if (name) {
        added = add(module, name, function);
    }
    Py_XDECREF(name);
    Py_DECREF(function);
    return added;
}

int exec_module(PyObject* module) {
    if (!module) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        return -1;
    }
    if (!PyModule_Check(module)) {
        set_cast_failure(module, "module");
        return -1;
    }
    if (add_example(module) < 0) return -1;
    for (PyMethodDef& definition : function_definitions()) {
        if (add_function(module, &definition) < 0) return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "vorlan",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace vorlan::py

PyMODINIT_FUNC PyInit_vorlan() { return PyModuleDef_Init(&vorlan::py::module_definition); }
