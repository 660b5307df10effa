#include "diff/patch.hpp"

#include <array>
#include <cstddef>
#include <utility>

#include "json/collections.hpp"

namespace vorlan::diff {
namespace {

int op_index(std::string_view name) {
    for (std::size_t i = 0; i < std::size(kOpNames); ++i)
        if (kOpNames[i] == name) return static_cast<int>(i);
    return -1;
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

// The field table of each variant, in declared order, found by its type.
template <class T>
constexpr std::nullptr_t kFields = nullptr;
template <>
constexpr Field<SetProp> kFields<SetProp>[] = {
    path_field<SetProp>, name_field<SetProp>,
    {"value", [](json::Reader& r, SetProp& op) { return drovane::read_value(r, op.value); }}};
template <>
constexpr Field<RemoveProp> kFields<RemoveProp>[] = {path_field<RemoveProp>, name_field<RemoveProp>};
template <>
constexpr Field<SetEvent> kFields<SetEvent>[] = {
    path_field<SetEvent>, name_field<SetEvent>,
    {"action", [](json::Reader& r, SetEvent& op) { return action::read_action(r, *op.action); }}};
template <>
constexpr Field<RemoveEvent> kFields<RemoveEvent>[] = {path_field<RemoveEvent>, name_field<RemoveEvent>};
template <>
constexpr Field<SetEventOptions> kFields<SetEventOptions>[] = {
    path_field<SetEventOptions>, name_field<SetEventOptions>,
    {"options",
     [](json::Reader& r, SetEventOptions& op) { return node::read_event_options_nullable(r, op.options); }, true}};
template <>
constexpr Field<SetBinding> kFields<SetBinding>[] = {
    path_field<SetBinding>, name_field<SetBinding>,
    {"binding", [](json::Reader& r, SetBinding& op) { return node::read_binding(r, *op.binding); }}};
template <>
constexpr Field<RemoveBinding> kFields<RemoveBinding>[] = {path_field<RemoveBinding>, name_field<RemoveBinding>};
template <>
constexpr Field<SetKey> kFields<SetKey>[] = {
    path_field<SetKey>, {"key", [](json::Reader& r, SetKey& op) { return json::read_optional_string(r, op.key); }, true}};
template <>
constexpr Field<InsertChild> kFields<InsertChild>[] = {path_field<InsertChild>, slot_field<InsertChild>,
                                                        {"index", read_index_field<InsertChild>},
                                                        {"node", read_node_field<InsertChild>}};
template <>
constexpr Field<RemoveChild> kFields<RemoveChild>[] = {path_field<RemoveChild>, slot_field<RemoveChild>,
                                                        {"index", read_index_field<RemoveChild>}};
template <>
constexpr Field<MoveChild> kFields<MoveChild>[] = {
    path_field<MoveChild>, slot_field<MoveChild>,
    {"from", [](json::Reader& r, MoveChild& op) { return r.read_u64(op.from, "usize"); }},
    {"to", [](json::Reader& r, MoveChild& op) { return r.read_u64(op.to, "usize"); }}};
template <>
constexpr Field<Replace> kFields<Replace>[] = {path_field<Replace>, {"node", read_node_field<Replace>}};

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

// Reads the body of variant I with the field table of its own type.
template <std::size_t I>
bool read_body(json::Reader& r, Op& out) {
    const BodyTexts& texts = kBodyTexts[I];
    return read_record(r, out.emplace<I>(), kFields<std::variant_alternative_t<I, Op>>, texts.struct_text,
                       texts.array_text);
}

template <std::size_t... I>
constexpr auto body_readers(std::index_sequence<I...>) {
    return std::array{&read_body<I>...};
}
constexpr auto kBodyReaders = body_readers(std::make_index_sequence<std::variant_size_v<Op>>());

bool unknown_op(json::Reader& r, std::string_view name) {
    return r.fail(json::unknown_variant(name, json::expected_names(kOpNames)));
}

bool read_op_list(json::Reader& r, Vector<Op>& out) { return json::read_list(r, out, read_op); }

}  // namespace

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
    if (!r.colon() || !kBodyReaders[static_cast<std::size_t>(index)](r, out)) return false;
    r.leave();
    return r.end_variant();
}

bool read_patch(json::Reader& r, Patch& out) {
    static constexpr Field<Patch> kPatchFields[] = {
        {"ops", [](json::Reader& r, Patch& p) { return read_op_list(r, p.ops); }}};
    return read_record(r, out, kPatchFields, "struct Patch", "struct Patch with 1 element");
}

Result<Patch> read_patch_text(std::string_view text) {
    Patch patch;
    json::Reader r(text);
    if (!read_patch(r, patch) || !r.end_of_text()) return fail(r.error().text());
    return patch;
}

}  // namespace vorlan::diff
