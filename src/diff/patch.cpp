#include "diff/patch.hpp"

#include <type_traits>

#include "json/collections.hpp"

namespace vorlan::diff {
namespace {

constexpr std::string_view kOpNames[] = {"SetProp",         "RemoveProp",  "SetEvent",      "RemoveEvent",
                                         "SetEventOptions", "SetBinding",  "RemoveBinding", "SetKey",
                                         "InsertChild",     "RemoveChild", "MoveChild",     "Replace"};
static_assert(std::size(kOpNames) == std::variant_size_v<Op>);

int op_index(std::string_view name) {
    for (std::size_t i = 0; i < std::size(kOpNames); ++i)
        if (kOpNames[i] == name) return static_cast<int>(i);
    return -1;
}

void write_path(json::Writer& w, const Path& path) {
    w.raw("\"path\":[");
    for (std::size_t i = 0; i < path.size(); ++i) {
        if (i) w.raw(',');
        write_path_seg(w, path[i]);
    }
    w.raw(']');
}

void write_name(json::Writer& w, std::string_view key, std::string_view name) {
    w.raw(',');
    w.key(key);
    w.string(name);
}

void write_index(json::Writer& w, std::string_view key, std::uint64_t n) {
    w.raw(',');
    w.key(key);
    w.u64(n);
}

void write_body(json::Writer& w, const SetProp& op) {
    write_name(w, "name", op.name);
    w.raw(",\"value\":");
    drovane::write_value(w, op.value);
}
void write_body(json::Writer& w, const RemoveProp& op) { write_name(w, "name", op.name); }
void write_body(json::Writer& w, const SetEvent& op) {
    write_name(w, "name", op.name);
    w.raw(",\"action\":");
    action::write_action(w, *op.action);
}
void write_body(json::Writer& w, const RemoveEvent& op) { write_name(w, "name", op.name); }
void write_body(json::Writer& w, const SetEventOptions& op) {
    write_name(w, "name", op.name);
    w.raw(",\"options\":");
    if (op.options) node::write_event_options(w, *op.options);
    else w.null();
}
void write_body(json::Writer& w, const SetBinding& op) {
    write_name(w, "name", op.name);
    w.raw(",\"binding\":");
    node::write_binding(w, *op.binding);
}
void write_body(json::Writer& w, const RemoveBinding& op) { write_name(w, "name", op.name); }
void write_body(json::Writer& w, const SetKey& op) {
    w.raw(",\"key\":");
    if (op.key) w.string(*op.key);
    else w.null();
}
void write_body(json::Writer& w, const InsertChild& op) {
    write_name(w, "slot", op.slot);
    write_index(w, "index", op.index);
    w.raw(",\"node\":");
    node::write_node(w, *op.node);
}
void write_body(json::Writer& w, const RemoveChild& op) {
    write_name(w, "slot", op.slot);
    write_index(w, "index", op.index);
}
void write_body(json::Writer& w, const MoveChild& op) {
    write_name(w, "slot", op.slot);
    write_index(w, "from", op.from);
    write_index(w, "to", op.to);
}
void write_body(json::Writer& w, const Replace& op) {
    w.raw(",\"node\":");
    node::write_node(w, *op.node);
}

// One declared field of a record read in map or array form.
template <class T>
struct Field {
    std::string_view key;
    bool (*read)(json::Reader&, T&);
    bool optional = false;  // in map form, absent reads as nothing
};

template <class T, std::size_t N>
bool read_record(json::Reader& r, T& out, const Field<T> (&fields)[N], std::string_view struct_text,
                 std::string_view array_text) {
    int c = r.peek_ws();
    if (c == '{') return r.in_object([&] {
        bool first = true;
        bool seen[N] = {};
        std::string_view key;
        for (;;) {
            int k = r.next_key(first, key);
            if (k < 0) return false;
            if (k == 0) break;
            std::size_t i = 0;
            while (i < N && fields[i].key != key) ++i;
            if (i == N) {
                if (!r.colon() || !r.skip_value()) return false;
                continue;
            }
            if (seen[i]) return r.fail_unpositioned(json::duplicate_field(fields[i].key));
            seen[i] = true;
            if (!r.colon() || !fields[i].read(r, out)) return false;
        }
        for (std::size_t i = 0; i < N; ++i)
            if (!seen[i] && !fields[i].optional) return r.fail_unpositioned(json::missing_field(fields[i].key));
        return true;
    });
    if (c == '[') return r.in_array([&] {
        bool first = true;
        for (std::size_t i = 0; i < N; ++i) {
            int e = r.next_element(first);
            if (e < 0) return false;
            if (e == 0) return r.fail_unpositioned(json::invalid_length(i, array_text));
            if (!fields[i].read(r, out)) return false;
        }
        return true;
    });
    if (c < 0) return r.fail_peek("EOF while parsing a value");
    return r.fail_invalid_type_here(struct_text);
}

bool read_path(json::Reader& r, Path& out) { return json::read_list(r, out, read_path_seg); }

template <class T>
bool read_path_field(json::Reader& r, T& op) {
    return read_path(r, op.path);
}
template <class T>
bool read_name_field(json::Reader& r, T& op) {
    return r.read_string(op.name);
}
template <class T>
bool read_slot_field(json::Reader& r, T& op) {
    return r.read_string(op.slot);
}
template <class T>
bool read_index_field(json::Reader& r, T& op) {
    return r.read_u64(op.index, "usize");
}
template <class T>
bool read_node_field(json::Reader& r, T& op) {
    return node::read_node(r, *op.node);
}

template <class T>
constexpr Field<T> path_field{"path", read_path_field<T>};
template <class T>
constexpr Field<T> name_field{"name", read_name_field<T>};
template <class T>
constexpr Field<T> slot_field{"slot", read_slot_field<T>};

// Field tables per variant, in declared order.
constexpr Field<SetProp> kSetProp[] = {
    path_field<SetProp>, name_field<SetProp>,
    {"value", [](json::Reader& r, SetProp& op) { return drovane::read_value(r, op.value); }}};
constexpr Field<RemoveProp> kRemoveProp[] = {path_field<RemoveProp>, name_field<RemoveProp>};
constexpr Field<SetEvent> kSetEvent[] = {
    path_field<SetEvent>, name_field<SetEvent>,
    {"action", [](json::Reader& r, SetEvent& op) { return action::read_action(r, *op.action); }}};
constexpr Field<RemoveEvent> kRemoveEvent[] = {path_field<RemoveEvent>, name_field<RemoveEvent>};
constexpr Field<SetEventOptions> kSetEventOptions[] = {
    path_field<SetEventOptions>, name_field<SetEventOptions>,
    {"options",
     [](json::Reader& r, SetEventOptions& op) { return node::read_event_options_nullable(r, op.options); }, true}};
constexpr Field<SetBinding> kSetBinding[] = {
    path_field<SetBinding>, name_field<SetBinding>,
    {"binding", [](json::Reader& r, SetBinding& op) { return node::read_binding(r, *op.binding); }}};
constexpr Field<RemoveBinding> kRemoveBinding[] = {path_field<RemoveBinding>, name_field<RemoveBinding>};
constexpr Field<SetKey> kSetKey[] = {
    path_field<SetKey>, {"key", [](json::Reader& r, SetKey& op) { return json::read_optional_string(r, op.key); }, true}};
constexpr Field<InsertChild> kInsertChild[] = {path_field<InsertChild>, slot_field<InsertChild>,
                                               {"index", read_index_field<InsertChild>},
                                               {"node", read_node_field<InsertChild>}};
constexpr Field<RemoveChild> kRemoveChild[] = {path_field<RemoveChild>, slot_field<RemoveChild>,
                                               {"index", read_index_field<RemoveChild>}};
constexpr Field<MoveChild> kMoveChild[] = {
    path_field<MoveChild>, slot_field<MoveChild>,
    {"from", [](json::Reader& r, MoveChild& op) { return r.read_u64(op.from, "usize"); }},
    {"to", [](json::Reader& r, MoveChild& op) { return r.read_u64(op.to, "usize"); }}};
constexpr Field<Replace> kReplace[] = {path_field<Replace>, {"node", read_node_field<Replace>}};

// Per variant: the expected text of a wrong body type and of a short array body.
struct BodyTexts {
    std::string_view struct_text;
    std::string_view array_text;
};
constexpr BodyTexts kBodyTexts[] = {
    {"struct variant Op::SetProp", "struct variant Op::SetProp with 3 elements"},
    {"struct variant Op::RemoveProp", "struct variant Op::RemoveProp with 2 elements"},
    {"struct variant Op::SetEvent", "struct variant Op::SetEvent with 3 elements"},
    {"struct variant Op::RemoveEvent", "struct variant Op::RemoveEvent with 2 elements"},
    {"struct variant Op::SetEventOptions", "struct variant Op::SetEventOptions with 3 elements"},
    {"struct variant Op::SetBinding", "struct variant Op::SetBinding with 3 elements"},
    {"struct variant Op::RemoveBinding", "struct variant Op::RemoveBinding with 2 elements"},
    {"struct variant Op::SetKey", "struct variant Op::SetKey with 2 elements"},
    {"struct variant Op::InsertChild", "struct variant Op::InsertChild with 4 elements"},
    {"struct variant Op::RemoveChild", "struct variant Op::RemoveChild with 3 elements"},
    {"struct variant Op::MoveChild", "struct variant Op::MoveChild with 4 elements"},
    {"struct variant Op::Replace", "struct variant Op::Replace with 2 elements"},
};
static_assert(std::size(kBodyTexts) == std::variant_size_v<Op>);

template <class T, std::size_t I = 0>
constexpr std::size_t variant_of() {
    if constexpr (std::is_same_v<std::variant_alternative_t<I, Op>, T>) return I;
    else return variant_of<T, I + 1>();
}

template <class T, std::size_t N>
bool read_variant(json::Reader& r, Op& out, const Field<T> (&fields)[N]) {
    const BodyTexts& texts = kBodyTexts[variant_of<T>()];
    return read_record(r, out.emplace<T>(), fields, texts.struct_text, texts.array_text);
}

bool read_body(json::Reader& r, int index, Op& out) {
    switch (index) {
        case 0: return read_variant(r, out, kSetProp);
        case 1: return read_variant(r, out, kRemoveProp);
        case 2: return read_variant(r, out, kSetEvent);
        case 3: return read_variant(r, out, kRemoveEvent);
        case 4: return read_variant(r, out, kSetEventOptions);
        case 5: return read_variant(r, out, kSetBinding);
        case 6: return read_variant(r, out, kRemoveBinding);
        case 7: return read_variant(r, out, kSetKey);
        case 8: return read_variant(r, out, kInsertChild);
        case 9: return read_variant(r, out, kRemoveChild);
        case 10: return read_variant(r, out, kMoveChild);
        default: return read_variant(r, out, kReplace);
    }
}

bool unknown_op(json::Reader& r, std::string_view name) {
    return r.fail(json::unknown_variant(name, json::expected_names(kOpNames)));
}

bool read_op_list(json::Reader& r, Vector<Op>& out) { return json::read_list(r, out, read_op); }

}  // namespace

std::string_view op_name(const Op& op) { return kOpNames[op.index()]; }

void write_path_seg(json::Writer& w, const PathSeg& seg) {
    w.raw("{\"slot\":");
    w.string(seg.slot);
    w.raw(",\"index\":");
    w.u64(seg.index);
    w.raw('}');
}

void write_op(json::Writer& w, const Op& op) {
    w.raw('{');
    w.key(op_name(op));
    w.raw('{');
    std::visit(
        [&](const auto& o) {
            write_path(w, o.path);
            write_body(w, o);
        },
        op);
    w.raw("}}");
}

void write_ops(json::Writer& w, const Vector<Op>& ops) {
    w.raw("{\"ops\":[");
    for (std::size_t i = 0; i < ops.size(); ++i) {
        if (i) w.raw(',');
        write_op(w, ops[i]);
    }
    w.raw("]}");
}

bool read_path_seg(json::Reader& r, PathSeg& out) {
    static constexpr Field<PathSeg> kFields[] = {
        {"slot", [](json::Reader& r, PathSeg& s) { return r.read_string(s.slot); }},
        {"index", [](json::Reader& r, PathSeg& s) { return r.read_u64(s.index, "usize"); }}};
    return read_record(r, out, kFields, "struct PathSeg", "struct PathSeg with 2 elements");
}

bool read_op(json::Reader& r, Op& out) {
    std::string_view name;
    int c = r.peek_ws();
    if (c == '"') {
        r.bump();
        if (!r.parse_string(name)) return false;
        if (op_index(name) < 0) return unknown_op(r, name);
        return r.fail_unpositioned(json::invalid_type("unit variant", "struct variant"));
    }
    if (c != '{') return r.fail_peek(c < 0 ? "EOF while parsing a value" : "expected value");
    if (!r.enter()) return false;
    c = r.peek_ws();
    if (c != '"') {
        if (c == '}') return r.fail_peek("expected value");
        return r.fail_peek(c < 0 ? "EOF while parsing an object" : "key must be a string");
    }
    r.bump();
    if (!r.parse_string(name)) return false;
    int index = op_index(name);
    if (index < 0) return unknown_op(r, name);
    if (!r.colon() || !read_body(r, index, out)) return false;
    r.leave();
    return r.end_variant();
}

bool read_patch(json::Reader& r, Patch& out) {
    int c = r.peek_ws();
    if (c == '{') return r.in_object([&] {
        bool first = true;
        bool seen = false;
        std::string_view key;
        for (;;) {
            int k = r.next_key(first, key);
            if (k < 0) return false;
            if (k == 0) break;
            if (key != "ops") {
                if (!r.colon() || !r.skip_value()) return false;
                continue;
            }
            if (seen) return r.fail_unpositioned(json::duplicate_field("ops"));
            seen = true;
            if (!r.colon() || !read_op_list(r, out.ops)) return false;
        }
        if (!seen) return r.fail_unpositioned(json::missing_field("ops"));
        return true;
    });
    if (c == '[') return r.in_array([&] {
        bool first = true;
        int e = r.next_element(first);
        if (e < 0) return false;
        if (e == 0) return r.fail_unpositioned(json::invalid_length(0, "struct Patch with 1 element"));
        return read_op_list(r, out.ops);
    });
    if (c < 0) return r.fail_peek("EOF while parsing a value");
    return r.fail_invalid_type_here("struct Patch");
}

Result<Patch> read_patch_text(std::string_view text) {
    Patch patch;
    json::Reader r(text);
    if (!read_patch(r, patch) || !r.end_of_text()) return fail(r.error().text());
    return patch;
}

}  // namespace vorlan::diff
