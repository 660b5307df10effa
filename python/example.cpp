#include "example.hpp"

#include <cstdlib>
#include <cstring>

#include "convention.hpp"

namespace vorlan::py {
namespace {

struct ExampleObject {
    PyObject_HEAD
    char* value;
    Py_ssize_t size;
};

constexpr Signature new_sig{"__new__", "Example", {"value"}};

PyObject* example_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    Bound<1> bound;
    std::string_view text;
    if (!bind_tuple(new_sig, args, kwargs, bound) || !convert_args<text_arg>(new_sig, bound, text)) return nullptr;

    char* value = static_cast<char*>(std::malloc(text.size() + 1));
    if (!value) return PyErr_NoMemory();
    std::memcpy(value, text.data(), text.size());
    value[text.size()] = '\0';

    auto base_new = reinterpret_cast<newfunc>(PyType_GetSlot(&PyBaseObject_Type, Py_tp_new));
    PyObject* no_args = PyTuple_New(0);
    PyObject* self = no_args ? base_new(type, no_args, nullptr) : nullptr;
    Py_XDECREF(no_args);
    if (!self) {
        std::free(value);
        return nullptr;
    }
    auto* example = reinterpret_cast<ExampleObject*>(self);
    example->value = value;
    example->size = static_cast<Py_ssize_t>(text.size());
    return self;
}

PyObject* example_str(PyObject* self) {
    auto* example = reinterpret_cast<ExampleObject*>(self);
    return PyUnicode_FromStringAndSize(example->value, example->size);
}

PyObject* example_repr(PyObject* self) {
    auto* example = reinterpret_cast<ExampleObject*>(self);
    PyObject* value = PyUnicode_FromStringAndSize(example->value, example->size);
    if (!value) return nullptr;
    PyObject* repr = PyUnicode_FromFormat("Example<%U>", value);
    Py_DECREF(value);
    return repr;
}

void example_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    std::free(reinterpret_cast<ExampleObject*>(self)->value);
    auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_object(self);
    Py_DECREF(type);
}

PyType_Slot example_slots[] = {
    {Py_tp_doc, const_cast<char*>("Example(value)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(example_new)},
    {Py_tp_str, reinterpret_cast<void*>(example_str)},
    {Py_tp_repr, reinterpret_cast<void*>(example_repr)},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(example_dealloc)},
    {0, nullptr},
};

PyType_Spec example_spec = {
    "builtins.Example",
    static_cast<int>(sizeof(ExampleObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    example_slots,
};

// The one type object of the process; it is never released.
PyObject* shared_type = nullptr;

}  // namespace

PyObject* example_type() {
    if (!shared_type) {
        PyObject* made = PyType_FromSpec(&example_spec);
        if (!made) {
            PyObject* type = nullptr;
            PyObject* cause = nullptr;
            PyObject* traceback = nullptr;
            PyErr_Fetch(&type, &cause, &traceback);
            PyErr_NormalizeException(&type, &cause, &traceback);
            if (traceback && cause) PyException_SetTraceback(cause, traceback);
            Py_XDECREF(type);
            Py_XDECREF(traceback);
            PyObject* error =
                PyObject_CallFunction(PyExc_RuntimeError, "s", "An error occurred while initializing class Example");
            if (!error) {
                Py_XDECREF(cause);
                return nullptr;
            }
            PyException_SetCause(error, cause);
            PyErr_SetObject(PyExc_RuntimeError, error);
            Py_DECREF(error);
            return nullptr;
        }
        // Making the type may run Python code; whoever stored one first wins.
        if (shared_type) {
            Py_DECREF(made);
        } else {
            shared_type = made;
        }
    }
    Py_INCREF(shared_type);
    return shared_type;
}

}  // namespace vorlan::py
