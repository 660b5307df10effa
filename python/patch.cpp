#include "patch.hpp"

#include "convention.hpp"
#include "operations.hpp"

namespace vorlan::py {
namespace {

constexpr const char* diff_params[] = {"old", "new"};
constexpr const char* apply_params[] = {"root", "patch"};
constexpr const char* manifest_params[] = {"manifest"};
constexpr const char* value_params[] = {"value"};
constexpr const char* encode_params[] = {"payload", "model_type", "kind", "rev", "codec"};
constexpr const char* decode_params[] = {"frame"};

constexpr FunctionDescription diff_args{"diff", nullptr, diff_params};
constexpr FunctionDescription apply_args{"apply", nullptr, apply_params};
constexpr FunctionDescription parse_cem_args{"parse_cem", nullptr, manifest_params};
constexpr FunctionDescription normalize_action_args{"normalize_action", nullptr, value_params};
constexpr FunctionDescription normalize_expr_args{"normalize_expr", nullptr, value_params};
constexpr FunctionDescription normalize_binding_args{"normalize_binding", nullptr, value_params};
constexpr FunctionDescription encode_frame_args{"encode_frame", nullptr, encode_params};
constexpr FunctionDescription decode_frame_args{"decode_frame", nullptr, decode_params};

PyObject* diff(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[2];
    std::string_view old_tree, new_tree;
    if (!bind_fastcall(diff_args, args, nargs, kwnames, bound) || !text_arg(bound[0], "old", old_tree) ||
        !text_arg(bound[1], "new", new_tree))
        return nullptr;
    return str_result([&] { return diff_json(old_tree, new_tree); });
}

PyObject* apply(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[2];
    std::string_view root, patch;
    if (!bind_fastcall(apply_args, args, nargs, kwnames, bound) || !text_arg(bound[0], "root", root) ||
        !text_arg(bound[1], "patch", patch))
        return nullptr;
    return str_result([&] { return apply_json(root, patch); });
}

PyObject* parse_cem(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[1];
    std::string_view manifest;
    if (!bind_fastcall(parse_cem_args, args, nargs, kwnames, bound) || !text_arg(bound[0], "manifest", manifest))
        return nullptr;
    return str_result([&] { return cem::parse_cem_json(manifest); });
}

PyObject* normalize_action(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[1];
    std::string_view value;
    if (!bind_fastcall(normalize_action_args, args, nargs, kwnames, bound) || !text_arg(bound[0], "value", value))
        return nullptr;
    return str_result([&] { return action::normalize_action_json(value); });
}

PyObject* normalize_expr(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[1];
    std::string_view value;
    if (!bind_fastcall(normalize_expr_args, args, nargs, kwnames, bound) || !text_arg(bound[0], "value", value))
        return nullptr;
    return str_result([&] { return action::normalize_expr_json(value); });
}

PyObject* normalize_binding(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[1];
    std::string_view value;
    if (!bind_fastcall(normalize_binding_args, args, nargs, kwnames, bound) || !text_arg(bound[0], "value", value))
        return nullptr;
    return str_result([&] { return node::normalize_binding_json(value); });
}

PyObject* action_schema(PyObject*, PyObject*) {
    return str_result([] { return action::action_schema_json(); });
}

PyObject* expr_schema(PyObject*, PyObject*) {
    return str_result([] { return action::expr_schema_json(); });
}

PyObject* binding_schema(PyObject*, PyObject*) {
    return str_result([] { return node::binding_schema_json(); });
}

PyObject* encode_frame(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[5];
    std::string_view payload, model_type, kind, codec;
    std::uint64_t rev = 0;
    if (!bind_fastcall(encode_frame_args, args, nargs, kwnames, bound) || !text_arg(bound[0], "payload", payload) ||
        !text_arg(bound[1], "model_type", model_type) || !text_arg(bound[2], "kind", kind) ||
        !u64_arg(bound[3], "rev", rev) || !text_arg(bound[4], "codec", codec))
        return nullptr;
    return bytes_result([&] { return patch::encode_frame(payload, model_type, kind, rev, codec); });
}

PyObject* decode_frame(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[1];
    std::string_view frame;
    if (!bind_fastcall(decode_frame_args, args, nargs, kwnames, bound) || !bytes_arg(bound[0], "frame", frame))
        return nullptr;
    return str_result([&] { return wire::decode_frame(frame); });
}

constexpr int with_params = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;
constexpr int no_params = METH_NOARGS | METH_STATIC;

// Spelled-out casts keep the table constant-initialised: nothing runs when the object loads.
PyMethodDef definitions[] = {
    {"diff", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(diff)), with_params,
     "diff(old, new)\n--\n\nDiff two JSON-encoded component trees, returning the JSON-encoded patch.\n\n"
     "Thin wrapper over the shared core (`vorlan::diff_json`); the same code runs in the wasm binding."},
    {"apply", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(apply)), with_params,
     "apply(root, patch)\n--\n\nApply a JSON-encoded patch to a JSON-encoded tree, returning the JSON-encoded result."},
    {"parse_cem", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse_cem)), with_params,
     "parse_cem(manifest)\n--\n\nParse a `custom-elements.json` manifest into the JSON-encoded list of component "
     "schemas."},
    {"normalize_action", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(normalize_action)), with_params, "normalize_action(value)\n--\n\n"},
    {"normalize_expr", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(normalize_expr)), with_params, "normalize_expr(value)\n--\n\n"},
    {"normalize_binding", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(normalize_binding)), with_params, "normalize_binding(value)\n--\n\n"},
    {"action_schema", action_schema, no_params, "action_schema()\n--\n\n"},
    {"expr_schema", expr_schema, no_params, "expr_schema()\n--\n\n"},
    {"binding_schema", binding_schema, no_params, "binding_schema()\n--\n\n"},
    {"encode_frame", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encode_frame)), with_params,
     "encode_frame(payload, model_type, kind, rev, codec)\n--\n\nFrame a JSON-encoded tree/patch into drovane' "
     "length-prefixed envelope bytes.\n\n`kind` is `\"snapshot\"` or `\"patch\"`; `codec` is `\"application/json\"` "
     "or `\"application/msgpack\"`."},
    {"decode_frame", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decode_frame)), with_params,
     "decode_frame(frame)\n--\n\nDecode one frame back to a `{\"model_type\",\"kind\",\"rev\",\"payload\"}` JSON "
     "string."},
};

}  // namespace

std::span<PyMethodDef> function_definitions() { return definitions; }

}  // namespace vorlan::py
