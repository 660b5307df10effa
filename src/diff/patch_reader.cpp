#include "diff/patch.hpp"

#include <array>
#include <cstddef>
#include <utility>

#include "json/collections.hpp"
#include "json/record.hpp"

namespace vorlan::diff {
namespace {

// One declared field of a record and the reader of its value.
template <class T>
struct Field {
    json::Field field;
    bool (*read)(json::Reader&, T&);
};

// The record of a field table: its keys and rules, for the one record reader.
template <class T, std::size_t N>
constexpr json::Record<N> record_of(std::string_view name, std::string_view variant, const Field<T> (&fields)[N]) {
    json::Record<N> rec{name, variant, {}};
    for (std::size_t i = 0; i < N; ++i) rec.fields[i] = fields[i].field;
    return rec;
}

template <class T, std::size_t N>
bool read_fields(json::Reader& r, T& out, const json::Record<N>& rec, const Field<T> (&fields)[N]) {
    return json::read_record(r, rec, [&](int i) { return fields[i].read(r, out); });
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

// Absent from an object: nothing; the array form holds it, null for nothing.
constexpr auto kInObject = json::Presence::InObject;

template <class T>
constexpr Field<T> path_field{{"path"}, read_path_field<T>};
template <class T>
constexpr Field<T> name_field{{"name"}, read_name_field<T>};
template <class T>
constexpr Field<T> slot_field{{"slot"}, read_slot_field<T>};

// The field table of each variant, in declared order, found by its type.
template <class T>
constexpr std::nullptr_t kFields = nullptr;
template <>
constexpr Field<SetProp> kFields<SetProp>[] = {
    path_field<SetProp>, name_field<SetProp>,
    {{"value"}, [](json::Reader& r, SetProp& op) { return drovane::read_value(r, op.value); }}};
template <>
constexpr Field<RemoveProp> kFields<RemoveProp>[] = {path_field<RemoveProp>, name_field<RemoveProp>};
template <>
constexpr Field<SetEvent> kFields<SetEvent>[] = {
    path_field<SetEvent>, name_field<SetEvent>,
    {{"action"}, [](json::Reader& r, SetEvent& op) { return action::read_action(r, *op.action); }}};
template <>
constexpr Field<RemoveEvent> kFields<RemoveEvent>[] = {path_field<RemoveEvent>, name_field<RemoveEvent>};
template <>
constexpr Field<SetEventOptions> kFields<SetEventOptions>[] = {
    path_field<SetEventOptions>, name_field<SetEventOptions>,
    {{"options", kInObject},
     [](json::Reader& r, SetEventOptions& op) { return node::read_event_options_nullable(r, op.options); }}};
template <>
constexpr Field<SetBinding> kFields<SetBinding>[] = {
    path_field<SetBinding>, name_field<SetBinding>,
    {{"binding"}, [](json::Reader& r, SetBinding& op) { return node::read_binding(r, *op.binding); }}};
template <>
constexpr Field<RemoveBinding> kFields<RemoveBinding>[] = {path_field<RemoveBinding>, name_field<RemoveBinding>};
template <>
constexpr Field<SetKey> kFields<SetKey>[] = {
    path_field<SetKey>, {{"key", kInObject}, [](json::Reader& r, SetKey& op) { return json::read_optional_string(r, op.key); }}};
template <>
constexpr Field<InsertChild> kFields<InsertChild>[] = {path_field<InsertChild>, slot_field<InsertChild>,
                                                        {{"index"}, read_index_field<InsertChild>},
                                                        {{"node"}, read_node_field<InsertChild>}};
template <>
constexpr Field<RemoveChild> kFields<RemoveChild>[] = {path_field<RemoveChild>, slot_field<RemoveChild>,
                                                        {{"index"}, read_index_field<RemoveChild>}};
template <>
constexpr Field<MoveChild> kFields<MoveChild>[] = {
    path_field<MoveChild>, slot_field<MoveChild>,
    {{"from"}, [](json::Reader& r, MoveChild& op) { return r.read_u64(op.from, "usize"); }},
    {{"to"}, [](json::Reader& r, MoveChild& op) { return r.read_u64(op.to, "usize"); }}};
template <>
constexpr Field<Replace> kFields<Replace>[] = {path_field<Replace>, {{"node"}, read_node_field<Replace>}};

// Reads the body of variant I with the field table of its own type.
template <std::size_t I>
bool read_body(json::Reader& r, Op& out) {
    using T = std::variant_alternative_t<I, Op>;
    static constexpr auto kRecord = record_of("struct variant Op::", kOpNames[I], kFields<T>);
    return read_fields(r, out.emplace<I>(), kRecord, kFields<T>);
}

template <std::size_t... I>
constexpr auto body_readers(std::index_sequence<I...>) {
    return std::array{&read_body<I>...};
}
constexpr auto kBodyReaders = body_readers(std::make_index_sequence<std::variant_size_v<Op>>());

// Every op carries a struct body.
constexpr json::Variants<std::size(kOpNames)> kOps{kOpNames, 0, "struct variant"};

bool read_op_list(json::Reader& r, Vector<Op>& out) { return json::read_list(r, out, read_op); }

}  // namespace

bool read_path_seg(json::Reader& r, PathSeg& out) {
    static constexpr Field<PathSeg> kFields[] = {
        {{"slot"}, [](json::Reader& r, PathSeg& s) { return r.read_string(s.slot); }},
        {{"index"}, [](json::Reader& r, PathSeg& s) { return r.read_u64(s.index, "usize"); }}};
    static constexpr auto kRecord = record_of("struct PathSeg", {}, kFields);
    return read_fields(r, out, kRecord, kFields);
}

bool read_op(json::Reader& r, Op& out) {
    int index = -1;
    return json::read_variant(
        r, kOps, [](std::string_view name) { return json::name_index(kOpNames, name); },
        [](json::Reader&) { return -1; },
        [&](int i) { return kBodyReaders[static_cast<std::size_t>(i)](r, out); }, index);
}

bool read_patch(json::Reader& r, Patch& out) {
    static constexpr Field<Patch> kPatchFields[] = {
        {{"ops"}, [](json::Reader& r, Patch& p) { return read_op_list(r, p.ops); }}};
    static constexpr auto kRecord = record_of("struct Patch", {}, kPatchFields);
    return read_fields(r, out, kRecord, kPatchFields);
}

Result<Patch> read_patch_text(std::string_view text) {
    Patch patch;
    json::Reader r(text);
    // A patch is read to be applied: the nodes it places are written out with the tree.
    r.want_canonical(true);
    if (!read_patch(r, patch) || !r.end_of_text()) return fail(r.error().text());
    return patch;
}

}  // namespace vorlan::diff
