#include "patch.hpp"

#include "convention.hpp"
#include "operations.hpp"

namespace vorlan::py {
namespace {

constexpr Signature diff_sig{"diff", nullptr, {"old", "new"}};
constexpr Signature apply_sig{"apply", nullptr, {"root", "patch"}};
constexpr Signature parse_cem_sig{"parse_cem", nullptr, {"manifest"}};
constexpr Signature normalize_action_sig{"normalize_action", nullptr, {"value"}};
constexpr Signature normalize_expr_sig{"normalize_expr", nullptr, {"value"}};
constexpr Signature normalize_binding_sig{"normalize_binding", nullptr, {"value"}};
constexpr Signature encode_frame_sig{"encode_frame", nullptr, {"payload", "model_type", "kind", "rev", "codec"}};
constexpr Signature decode_frame_sig{"decode_frame", nullptr, {"frame"}};

constexpr auto diff = fastcall<diff_sig, diff_json, new_str, text_arg, text_arg>;
constexpr auto apply = fastcall<apply_sig, apply_json, new_str, text_arg, text_arg>;
constexpr auto parse_cem = fastcall<parse_cem_sig, cem::parse_cem_json, new_str, text_arg>;
constexpr auto normalize_action = fastcall<normalize_action_sig, action::normalize_action_json, new_str, text_arg>;
constexpr auto normalize_expr = fastcall<normalize_expr_sig, action::normalize_expr_json, new_str, text_arg>;
constexpr auto normalize_binding = fastcall<normalize_binding_sig, node::normalize_binding_json, new_str, text_arg>;
constexpr auto encode_frame =
    fastcall<encode_frame_sig, patch::encode_frame, new_bytes, text_arg, text_arg, text_arg, u64_arg, text_arg>;
constexpr auto decode_frame = fastcall<decode_frame_sig, wire::decode_frame, new_str, bytes_arg>;

PyObject* action_schema(PyObject*, PyObject*) {
    return str_result([] { return action::action_schema_json(); });
}

PyObject* expr_schema(PyObject*, PyObject*) {
    return str_result([] { return action::expr_schema_json(); });
}

PyObject* binding_schema(PyObject*, PyObject*) {
    return str_result([] { return node::binding_schema_json(); });
}

constexpr int with_params = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;
constexpr int no_params = METH_NOARGS | METH_STATIC;

// Spelled-out casts keep the table constant-initialised: nothing runs when the object loads.
PyMethodDef definitions[] = {
    {diff_sig.func_name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(diff)), with_params,
     "diff(old, new)\n--\n\nDiff two JSON-encoded component trees, returning the JSON-encoded patch.\n\n"
     "Thin wrapper over the shared core (`vorlan::diff_json`); the same code runs in the wasm binding."},
    {apply_sig.func_name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(apply)), with_params,
     "apply(root, patch)\n--\n\nApply a JSON-encoded patch to a JSON-encoded tree, returning the JSON-encoded result."},
    {parse_cem_sig.func_name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse_cem)), with_params,
     "parse_cem(manifest)\n--\n\nParse a `custom-elements.json` manifest into the JSON-encoded list of component "
     "schemas."},
    {normalize_action_sig.func_name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(normalize_action)),
     with_params, "normalize_action(value)\n--\n\n"},
    {normalize_expr_sig.func_name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(normalize_expr)),
     with_params, "normalize_expr(value)\n--\n\n"},
    {normalize_binding_sig.func_name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(normalize_binding)),
     with_params, "normalize_binding(value)\n--\n\n"},
    {"action_schema", action_schema, no_params, "action_schema()\n--\n\n"},
    {"expr_schema", expr_schema, no_params, "expr_schema()\n--\n\n"},
    {"binding_schema", binding_schema, no_params, "binding_schema()\n--\n\n"},
    {encode_frame_sig.func_name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encode_frame)),
     with_params,
     "encode_frame(payload, model_type, kind, rev, codec)\n--\n\nFrame a JSON-encoded tree/patch into drovane' "
     "length-prefixed envelope bytes.\n\n`kind` is `\"snapshot\"` or `\"patch\"`; `codec` is `\"application/json\"` "
     "or `\"application/msgpack\"`."},
    {decode_frame_sig.func_name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decode_frame)),
     with_params,
     "decode_frame(frame)\n--\n\nDecode one frame back to a `{\"model_type\",\"kind\",\"rev\",\"payload\"}` JSON "
     "string."},
};

}  // namespace

std::span<PyMethodDef> function_definitions() { return definitions; }

}  // namespace vorlan::py
