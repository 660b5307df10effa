#include "convention.hpp"

namespace vorlan::py {
namespace {

// Pieces of the display name "func()" or "Class.func()", for "%s%s%s()".
const char* cls_part(const detail::SignatureView& d) { return d.cls_name ? d.cls_name : ""; }
const char* dot_part(const detail::SignatureView& d) { return d.cls_name ? "." : ""; }

bool unexpected_keyword(const detail::SignatureView& d, PyObject* name) {
    if (PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "%s%s%s() got an unexpected keyword argument '%U'", cls_part(d), dot_part(d),
                     d.func_name, name);
    } else {
        PyErr_Format(PyExc_TypeError, "%s%s%s() got an unexpected keyword argument '%S'", cls_part(d), dot_part(d),
                     d.func_name, name);
    }
    return false;
}

bool fill_keyword(const detail::SignatureView& d, PyObject* name, PyObject* value, PyObject** out) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
    if (!utf8) {
        PyErr_Clear();
        return unexpected_keyword(d, name);
    }
    const std::string_view key(utf8, static_cast<std::size_t>(size));
    for (std::size_t i = 0; i < d.params.size(); ++i) {
        if (key != d.params[i]) continue;
        if (out[i]) {
            PyErr_Format(PyExc_TypeError, "%s%s%s() got multiple values for argument '%s'", cls_part(d), dot_part(d),
                         d.func_name, d.params[i]);
            return false;
        }
        out[i] = value;
        return true;
    }
    return unexpected_keyword(d, name);
}

bool report_missing(const detail::SignatureView& d, PyObject* const* out) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < d.params.size(); ++i) count += !out[i];
    if (count == 0) return true;
    try {
        std::string list;
        for (std::size_t i = 0, k = 0; i < d.params.size(); ++i) {
            if (out[i]) continue;
            if (k > 0) list += count == 2 ? " and " : (k + 1 == count ? ", and " : ", ");
            list += '\'';
            list += d.params[i];
            list += '\'';
            ++k;
        }
        PyErr_Format(PyExc_TypeError, "%s%s%s() missing %zu required positional %s: %s", cls_part(d), dot_part(d),
                     d.func_name, count, count == 1 ? "argument" : "arguments", list.c_str());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    return false;
}

bool too_many_positional(const detail::SignatureView& d, Py_ssize_t nargs) {
    PyErr_Format(PyExc_TypeError, "%s%s%s() takes %zu positional arguments but %zd %s given", cls_part(d),
                 dot_part(d), d.func_name, d.params.size(), nargs, nargs == 1 ? "was" : "were");
    return false;
}

}  // namespace

namespace detail {

// A failure to add the note is dropped and the original exception stays.
bool noted(const char* param) {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value) {
        if (traceback) PyException_SetTraceback(value, traceback);
        PyObject* note = PyUnicode_FromFormat("while processing '%s'", param);
        PyObject* method = note ? PyObject_GetAttrString(value, "add_note") : nullptr;
        PyObject* done = method ? PyObject_CallFunctionObjArgs(method, note, nullptr) : nullptr;
        if (!done) PyErr_Clear();
        Py_XDECREF(done);
        Py_XDECREF(method);
        Py_XDECREF(note);
    }
    PyErr_Restore(type, value, traceback);
    return false;
}

bool bind_fastcall(const SignatureView& desc, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** out) {
    const auto n = static_cast<Py_ssize_t>(desc.params.size());
    if (nargs > n) return too_many_positional(desc, nargs);
    for (Py_ssize_t i = 0; i < n; ++i) out[i] = i < nargs ? args[i] : nullptr;
    const Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames) : 0;
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        if (!fill_keyword(desc, PyTuple_GetItem(kwnames, i), args[nargs + i], out)) return false;
    }
    return report_missing(desc, out);
}

bool bind_tuple(const SignatureView& desc, PyObject* args, PyObject* kwargs, PyObject** out) {
    const auto n = static_cast<Py_ssize_t>(desc.params.size());
    const Py_ssize_t nargs = PyTuple_Size(args);
    if (nargs < 0) return false;
    if (nargs > n) return too_many_positional(desc, nargs);
    for (Py_ssize_t i = 0; i < n; ++i) out[i] = i < nargs ? PyTuple_GetItem(args, i) : nullptr;
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject* name = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &name, &value)) {
            if (!fill_keyword(desc, name, value, out)) return false;
        }
    }
    return report_missing(desc, out);
}

}  // namespace detail

void set_cast_failure(PyObject* obj, const char* target) {
    if (obj == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", target);
        return;
    }
    PyObject* qualname = PyType_GetQualName(Py_TYPE(obj));
    if (qualname && PyUnicode_Check(qualname)) {
        PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", qualname, target);
    } else {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "'<failed to extract type name>' object is not an instance of '%s'", target);
    }
    Py_XDECREF(qualname);
}

bool text_arg(PyObject* obj, std::string_view& out) {
    if (!PyUnicode_Check(obj)) {
        set_cast_failure(obj, "str");
        return false;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
    if (!utf8) return false;
    out = std::string_view(utf8, static_cast<std::size_t>(size));
    return true;
}

bool bytes_arg(PyObject* obj, std::string_view& out) {
    if (!PyBytes_Check(obj)) {
        set_cast_failure(obj, "bytes");
        return false;
    }
    const char* data = PyBytes_AsString(obj);
    const Py_ssize_t size = PyBytes_Size(obj);
    if (!data || size < 0) return false;
    out = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

bool u64_arg(PyObject* obj, std::uint64_t& out) {
    PyObject* index = nullptr;
    if (PyLong_Check(obj)) {
        Py_INCREF(obj);
        index = obj;
    } else {
        index = PyNumber_Index(obj);
    }
    if (!index) return false;
    const unsigned long long value = PyLong_AsUnsignedLongLong(index);
    Py_DECREF(index);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = value;
    return true;
}

void set_failure(const Failure& failure) {
    if (failure.out_of_memory) {
        PyErr_NoMemory();
        return;
    }
    // A message may quote input bytes that are no UTF-8 (a frame's payload); it must still arrive as ValueError.
    PyObject* message =
        PyUnicode_DecodeUTF8(failure.message.data(), static_cast<Py_ssize_t>(failure.message.size()), "replace");
    if (!message) return;
    PyErr_SetObject(PyExc_ValueError, message);
    Py_DECREF(message);
}

PyObject* new_str(std::string_view text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* new_bytes(std::string_view data) {
    return PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size()));
}

}  // namespace vorlan::py
