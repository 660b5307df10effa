#include "action.hpp"

#include <array>
#include <cstddef>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "json/collections.hpp"
#include "json/key_order.hpp"
#include "json/record.hpp"
#include "operations.hpp"

namespace vorlan::action {

bool operator==(const Ref& a, const Ref& b) { return a.v == b.v; }
bool operator==(const Expr& a, const Expr& b) { return a.v == b.v; }
bool operator==(const EndpointUrl& a, const EndpointUrl& b) { return a.v == b.v; }
bool operator==(const RequestOptions& a, const RequestOptions& b) {
    return a.key == b.key && a.pending == b.pending && a.watch == b.watch;
}
bool operator==(const Action& a, const Action& b) { return a.v == b.v; }

// A variant that grows past the others is boxed (see Expr and Action): a list of
// them takes the room of the largest one left unboxed for each element.
static_assert(sizeof(void*) != 8 || (sizeof(Expr) <= 80 && sizeof(Action) <= 160));

namespace {

using json::JsonObject;
using json::JsonValue;

// ---- field tables ---------------------------------------------------------

// A field of a record: its key and rules, and where the record holds it.
template <class S, class M>
struct Member {
    json::Field field;
    M S::*ptr;
};

constexpr json::Field kRequired{};
// Absent or null: nothing; written as null.
constexpr json::Field kNull{{}, json::Presence::Default, json::Empty::Null};
// Absent or null: nothing; left out.
constexpr json::Field kOmit{{}, json::Presence::Default, json::Empty::Omit};
// Absent: empty; null fails (a list reads no null); left out when empty.
constexpr json::Field kList{{}, json::Presence::Default, json::Empty::Omit};

template <class S, class M>
constexpr Member<S, M> member(std::string_view key, M S::*ptr, json::Field rules = kRequired) {
    rules.key = key;
    return {rules, ptr};
}

template <class T>
struct Tag {};

constexpr auto fields(Tag<Ref::This>) { return std::tuple<>{}; }
constexpr auto fields(Tag<Ref::Id>) { return std::tuple{member("id", &Ref::Id::id)}; }

constexpr auto fields(Tag<Expr::Lit>) { return std::tuple{member("value", &Expr::Lit::value)}; }
constexpr auto fields(Tag<Expr::Event>) { return std::tuple{member("path", &Expr::Event::path, kOmit)}; }
constexpr auto fields(Tag<Expr::EventProp>) { return std::tuple{member("path", &Expr::EventProp::path)}; }
constexpr auto fields(Tag<Expr::Call>) {
    return std::tuple{member("target", &Expr::Call::target), member("method", &Expr::Call::method),
                      member("args", &Expr::Call::args, kList)};
}
constexpr auto fields(Tag<Expr::EventClosest>) {
    return std::tuple{member("selector", &Expr::EventClosest::selector), member("path", &Expr::EventClosest::path)};
}
constexpr auto fields(Tag<Expr::Not>) { return std::tuple{member("of", &Expr::Not::of)}; }
constexpr auto fields(Tag<Expr::Prop>) {
    return std::tuple{member("target", &Expr::Prop::target), member("name", &Expr::Prop::name)};
}
constexpr auto fields(Tag<Expr::Field>) { return std::tuple{member("name", &Expr::Field::name)}; }
constexpr auto fields(Tag<Expr::Item>) { return std::tuple{member("path", &Expr::Item::path)}; }
constexpr auto fields(Tag<Expr::Scope>) {
    return std::tuple{member("name", &Expr::Scope::name), member("path", &Expr::Scope::path)};
}
constexpr auto fields(Tag<Expr::Eq>) { return std::tuple{member("a", &Expr::Eq::a), member("b", &Expr::Eq::b)}; }
constexpr auto fields(Tag<Expr::All>) { return std::tuple{member("of", &Expr::All::of)}; }
constexpr auto fields(Tag<Expr::Any>) { return std::tuple{member("of", &Expr::Any::of)}; }
constexpr auto fields(Tag<Expr::Cond>) {
    return std::tuple{member("test", &Expr::Cond::test), member("then", &Expr::Cond::then),
                      member("else", &Expr::Cond::otherwise)};
}
constexpr auto fields(Tag<Expr::Obj>) { return std::tuple{member("fields", &Expr::Obj::fields)}; }
constexpr auto fields(Tag<Expr::Concat>) { return std::tuple{member("parts", &Expr::Concat::parts)}; }
constexpr auto fields(Tag<Expr::Arr>) { return std::tuple{member("of", &Expr::Arr::of)}; }

constexpr auto fields(Tag<RequestOptions>) {
    return std::tuple{member("key", &RequestOptions::key), member("pending", &RequestOptions::pending, kOmit),
                      member("watch", &RequestOptions::watch, kList)};
}

constexpr auto fields(Tag<Action::SetProp>) {
    return std::tuple{member("target", &Action::SetProp::target), member("prop", &Action::SetProp::prop),
                      member("value", &Action::SetProp::value)};
}
constexpr auto fields(Tag<Action::Toggle>) {
    return std::tuple{member("target", &Action::Toggle::target), member("prop", &Action::Toggle::prop)};
}
constexpr auto fields(Tag<Action::SetField>) {
    return std::tuple{member("field", &Action::SetField::field), member("value", &Action::SetField::value)};
}
constexpr auto fields(Tag<Action::ToggleField>) { return std::tuple{member("field", &Action::ToggleField::field)}; }
constexpr auto fields(Tag<Action::Sequence>) { return std::tuple{member("actions", &Action::Sequence::actions)}; }
constexpr auto fields(Tag<Action::Emit>) {
    return std::tuple{member("event", &Action::Emit::event), member("detail", &Action::Emit::detail, kNull)};
}
constexpr auto fields(Tag<Action::SendPatch>) {
    return std::tuple{member("model", &Action::SendPatch::model), member("field", &Action::SendPatch::field),
                      member("value", &Action::SendPatch::value)};
}
constexpr auto fields(Tag<Action::If>) {
    return std::tuple{member("cond", &Action::If::cond), member("then", &Action::If::then),
                      member("else", &Action::If::els, kNull)};
}
constexpr auto fields(Tag<Action::CallEndpoint>) {
    return std::tuple{member("method", &Action::CallEndpoint::method), member("url", &Action::CallEndpoint::url),
                      member("body", &Action::CallEndpoint::body, kNull),
                      member("result", &Action::CallEndpoint::result, kNull),
                      member("request", &Action::CallEndpoint::request, kOmit)};
}
constexpr auto fields(Tag<Action::Invoke>) {
    return std::tuple{member("target", &Action::Invoke::target), member("method", &Action::Invoke::method),
                      member("args", &Action::Invoke::args, kList),
                      member("result", &Action::Invoke::result, kOmit)};
}
constexpr auto fields(Tag<Action::SetStorage>) {
    return std::tuple{member("key", &Action::SetStorage::key), member("value", &Action::SetStorage::value)};
}
constexpr auto fields(Tag<Action::Download>) {
    return std::tuple{member("filename", &Action::Download::filename), member("value", &Action::Download::value),
                      member("contentType", &Action::Download::content_type, kOmit)};
}
constexpr auto fields(Tag<Action::Refresh>) { return std::tuple{member("url", &Action::Refresh::url, kOmit)}; }
constexpr auto fields(Tag<Action::NamedJs>) { return std::tuple{member("handler", &Action::NamedJs::handler)}; }

// ---- union tables ---------------------------------------------------------

template <class U>
struct UnionInfo;

template <>
struct UnionInfo<Ref> {
    static constexpr std::string_view tag_key = "ref";
    static constexpr std::string_view type = "Ref";
    static constexpr std::string_view record = "struct variant Ref::";
    static constexpr std::string_view tags[] = {"this", "id"};
    static constexpr std::string_view names[] = {"This", "Id"};
};

template <>
struct UnionInfo<Expr> {
    static constexpr std::string_view tag_key = "expr";
    static constexpr std::string_view type = "Expr";
    static constexpr std::string_view record = "struct variant Expr::";
    static constexpr std::string_view tags[] = {"lit", "event", "event-prop", "call", "event-closest", "not",
                                                "prop", "field", "item", "scope", "eq", "all",
                                                "any", "cond", "obj", "concat", "arr"};
    static constexpr std::string_view names[] = {"Lit", "Event", "EventProp", "Call", "EventClosest", "Not",
                                                 "Prop", "Field", "Item", "Scope", "Eq", "All",
                                                 "Any", "Cond", "Obj", "Concat", "Arr"};
};

template <>
struct UnionInfo<Action> {
    static constexpr std::string_view tag_key = "kind";
    static constexpr std::string_view type = "Action";
    static constexpr std::string_view record = "struct variant Action::";
    static constexpr std::string_view tags[] = {"set", "toggle", "set-field", "toggle-field", "seq",
                                                "emit", "patch", "if", "call", "invoke",
                                                "set-storage", "download", "refresh", "js"};
    static constexpr std::string_view names[] = {"SetProp", "Toggle", "SetField", "ToggleField", "Sequence",
                                                 "Emit", "SendPatch", "If", "CallEndpoint", "Invoke",
                                                 "SetStorage", "Download", "Refresh", "NamedJs"};
};

template <class U>
constexpr std::size_t kVariants = std::variant_size_v<decltype(U::v)>;

// Calls f(std::integral_constant<size_t, I>) for I = 0..N-1.
template <std::size_t N, class F>
void for_each_index(F&& f) {
    [&]<std::size_t... I>(std::index_sequence<I...>) { (f(std::integral_constant<std::size_t, I>{}), ...); }(
        std::make_index_sequence<N>{});
}

// A variant held in a Box is read and written as the record it holds.
template <class T>
struct Unboxed {
    using type = T;
};
template <class T>
struct Unboxed<Box<T>> {
    using type = T;
};
template <class T>
T& unboxed(T& v) {
    return v;
}
template <class T>
T& unboxed(Box<T>& b) {
    return *b;
}
template <class T>
const T& unboxed(const Box<T>& b) {
    return *b;
}

// The record of S's field table, named `name` + `variant` in its messages.
template <class S>
constexpr auto record_of(std::string_view name, std::string_view variant) {
    return std::apply(
        [&](const auto&... m) {
            return json::Record<sizeof...(m)>{name, variant, {m.field...}};
        },
        fields(Tag<S>{}));
}

template <class S>
constexpr std::size_t kFieldCount = std::tuple_size_v<decltype(fields(Tag<S>{}))>;

// Calls f(member pointer) for field i of S.
template <class S, class F>
bool with_field(int i, F&& f) {
    constexpr auto fs = fields(Tag<S>{});
    bool ok = false;
    for_each_index<kFieldCount<S>>([&](auto I) {
        if (i == static_cast<int>(I())) ok = f(std::get<I()>(fs).ptr);
    });
    return ok;
}

template <class U, std::size_t I>
using Alternative = typename Unboxed<std::variant_alternative_t<I, decltype(U::v)>>::type;

template <class U, std::size_t I>
constexpr auto kVariantRecord = record_of<Alternative<U, I>>(UnionInfo<U>::record, UnionInfo<U>::names[I]);

constexpr auto kRequestOptions = [] {
    auto rec = record_of<RequestOptions>("struct RequestOptions", {});
    rec.undeclared = json::Undeclared::Reject;
    return rec;
}();

// ---- reading from a buffered or parsed value ---------------------------
// Errors are left in the reader without a position. V is JsonValue when the value is
// the reader's own buffer: what is read is moved out of it. V is const JsonValue when
// the value stays as it is and is only checked (expr_json_value_error): texts are
// copied, and literal values, which any value reads as, are not kept.

template <class U, class V>
bool read_union(json::Reader& r, V& v, U& out, bool allow_index);

template <class V>
bool read_slot(json::Reader& r, V& v, String& out);
template <class V>
bool read_slot(json::Reader& r, V& v, Ref& out);
template <class V>
bool read_slot(json::Reader& r, V& v, Expr& out);
template <class V>
bool read_slot(json::Reader& r, V& v, Action& out);
template <class V>
bool read_slot(json::Reader& r, V& v, SortedMap<Expr>& out);
template <class V>
bool read_slot(json::Reader& r, V& v, JsonValue& out);
template <class V>
bool read_slot(json::Reader& r, V& v, EndpointUrl& out);
template <class V>
bool read_slot(json::Reader& r, V& v, RequestOptions& out);
template <class V, class T>
bool read_slot(json::Reader& r, V& v, Box<T>& out);
template <class V, class T>
bool read_slot(json::Reader& r, V& v, std::optional<T>& out);
template <class V, class T>
bool read_slot(json::Reader& r, V& v, Vector<T>& out);

// A text of the buffer, moved out of it when the buffer is the reader's own.
template <class S>
void take(S& from, String& out) {
    if constexpr (std::is_const_v<S>) out.assign(from.data(), from.size());
    else out = std::move(from);
}

template <class V>
bool read_slot(json::Reader& r, V& v, String& out) {
    auto* s = v.as_string();
    if (!s) return r.fail_unpositioned(json::invalid_type(v.describe(), "a string"));
    take(*s, out);
    return true;
}

template <class V>
bool read_slot(json::Reader& r, V& v, Ref& out) {
    return read_union(r, v, out, true);
}
template <class V>
bool read_slot(json::Reader& r, V& v, Expr& out) {
    return read_union(r, v, out, true);
}
template <class V>
bool read_slot(json::Reader& r, V& v, Action& out) {
    return read_union(r, v, out, true);
}

template <class V, class T>
bool read_slot(json::Reader& r, V& v, Box<T>& out) {
    return read_slot(r, v, *out);
}

template <class V, class T>
bool read_slot(json::Reader& r, V& v, std::optional<T>& out) {
    if (v.is_null()) {
        out.reset();
        return true;
    }
    out.emplace();
    return read_slot(r, v, *out);
}

template <class V, class T>
bool read_slot(json::Reader& r, V& v, Vector<T>& out) {
    auto* a = v.as_array();
    if (!a) return r.fail_unpositioned(json::invalid_type(v.describe(), "a sequence"));
    out.clear();
    out.reserve(a->size());
    for (V& e : *a)
        if (!read_slot(r, e, out.emplace_back())) return false;
    return true;
}

template <class V>
bool read_slot(json::Reader& r, V& v, SortedMap<Expr>& out) {
    auto* o = v.as_object();
    if (!o) return r.fail_unpositioned(json::invalid_type(v.describe(), "a map"));
    out.clear();
    out.reserve(o->size());
    // Read in text order, the first bad value failing, and sorted once.
    for (auto& m : *o)
        if (!read_slot(r, m.value, out.add(m.key))) return false;
    out.settle();
    return true;
}

// A buffered object keeps input order and repeated keys; a literal holds the generic form.
void sort_deep(JsonValue& v) {
    if (json::JsonArray* a = v.as_array()) {
        for (JsonValue& e : *a) sort_deep(e);
    } else if (JsonObject* o = v.as_object()) {
        json::sort_members(*o);
        for (json::JsonMember& m : *o) sort_deep(m.value);
    }
}

template <class V>
bool read_slot(json::Reader&, V& v, JsonValue& out) {
    if constexpr (!std::is_const_v<V>) {
        out = std::move(v);
        sort_deep(out);
    }
    return true;
}

template <class V>
bool read_slot(json::Reader& r, V& v, EndpointUrl& out) {
    if (auto* s = v.as_string()) {
        take(*s, out.v.emplace<EndpointUrl::Static>().url);
        return true;
    }
    EndpointUrl::Evaluated e;
    if (!read_union(r, v, e.expr, true)) {
        r.take_error();
        return r.fail_unpositioned("data did not match any variant of untagged enum EndpointUrl");
    }
    out.v = std::move(e);
    return true;
}

// Reads the fields of S from a buffered body by its record.
template <class S, class V, std::size_t N>
bool read_fields(json::Reader& r, const json::Buffered<V>& body, S& s, const json::Record<N>& rec) {
    return json::read_buffered(r, rec, body, [&](int i, V& v) {
        return with_field<S>(i, [&](auto ptr) { return read_slot(r, v, s.*ptr); });
    });
}

template <class V>
bool read_slot(json::Reader& r, V& v, RequestOptions& out) {
    if (auto* o = v.as_object()) return read_fields(r, json::Buffered<V>{o, nullptr, 0}, out, kRequestOptions);
    if (auto* a = v.as_array())
        return read_fields(r, json::Buffered<V>{nullptr, a->data(), a->size()}, out, kRequestOptions);
    return r.fail_unpositioned(json::invalid_type(v.describe(), kRequestOptions.expected()));
}

// The variant whose tag is `name`, or kVariants<U> when none is.
template <class U>
std::size_t variant_index(std::string_view name) {
    const int i = json::name_index(UnionInfo<U>::tags, name);
    return i < 0 ? kVariants<U> : static_cast<std::size_t>(i);
}

template <class U>
std::string unknown_variant(std::string_view name) {
    return json::unknown_variant(name, json::expected_names(UnionInfo<U>::tags));
}

template <class U>
bool resolve_tag(json::Reader& r, const JsonValue& tag, bool allow_index, std::size_t& index) {
    if (const String* s = tag.as_string()) {
        index = variant_index<U>(*s);
        return index < kVariants<U> || r.fail_unpositioned(unknown_variant<U>(*s));
    }
    if (const std::uint64_t* n = tag.as_u64(); n && allow_index) {
        if (*n < kVariants<U>) {
            index = static_cast<std::size_t>(*n);
            return true;
        }
        return r.fail_unpositioned(
            json::invalid_value(json::describe_u64(*n), "variant index 0 <= i < " + std::to_string(kVariants<U>)));
    }
    return r.fail_unpositioned(json::invalid_type(tag.describe(), "variant identifier"));
}

// Phase 2: builds variant `index` of U from its buffered members or elements.
template <class U, class V>
bool read_body(json::Reader& r, const json::Buffered<V>& body, std::size_t index, U& out) {
    bool ok = false;
    for_each_index<kVariants<U>>([&](auto I) {
        if (index == I) ok = read_fields(r, body, unboxed(out.v.template emplace<I()>()), kVariantRecord<U, I()>);
    });
    return ok;
}

template <class U, class V>
bool read_union(json::Reader& r, V& v, U& out, bool allow_index) {
    using Info = UnionInfo<U>;
    std::size_t index = 0;
    if (auto* o = v.as_object()) {
        bool seen = false;
        for (const json::JsonMember& m : *o) {
            if (m.key != Info::tag_key) continue;
            if (seen) return r.fail_unpositioned(json::duplicate_field(Info::tag_key));
            seen = true;
            if (!resolve_tag<U>(r, m.value, allow_index, index)) return false;
        }
        if (!seen) return r.fail_unpositioned(json::missing_field(Info::tag_key));
        // The tag member names no field of any variant, so the body skips it.
        return read_body(r, json::Buffered<V>{o, nullptr, 0}, index, out);
    }
    if (auto* a = v.as_array()) {
        if (a->empty()) return r.fail_unpositioned(json::missing_field(Info::tag_key));
        if (!resolve_tag<U>(r, (*a)[0], allow_index, index)) return false;
        return read_body(r, json::Buffered<V>{nullptr, a->data() + 1, a->size() - 1}, index, out);
    }
    return r.fail_unpositioned(json::invalid_type(v.describe(), "internally tagged enum " + std::string(Info::type)));
}

// ---- reading from text ----------------------------------------------------

template <class U>
bool read_tag_text(json::Reader& r, std::size_t& index) {
    std::string_view s;
    if (!r.read_string_view(s, "variant identifier")) return false;
    index = variant_index<U>(s);
    return index < kVariants<U> || r.fail(unknown_variant<U>(s));
}

// One pass for the common shape: an object whose first member is the tag, each
// field known and present once. Anything else makes the fast reader give up, on
// valid input without an error of its own (it looks before it reads), and the
// value is read again in two phases, which makes every message and position.

template <class U>
bool fast_union(json::Reader& r, U& out);
template <const auto& Rec, class S>
bool fast_fields(json::Reader& r, S& s, bool& first);
bool fast_slot(json::Reader& r, SortedMap<Expr>& out);
bool fast_slot(json::Reader& r, EndpointUrl& out);
bool fast_slot(json::Reader& r, RequestOptions& out);

bool fast_slot(json::Reader& r, String& out) { return r.read_string(out); }
bool fast_slot(json::Reader& r, Ref& out) { return fast_union(r, out); }
bool fast_slot(json::Reader& r, Expr& out) { return fast_union(r, out); }
bool fast_slot(json::Reader& r, Action& out) { return fast_union(r, out); }
bool fast_slot(json::Reader& r, JsonValue& out) { return r.parse_value(out); }

template <class T>
bool fast_slot(json::Reader& r, Box<T>& out) {
    return fast_slot(r, *out);
}

template <class T>
bool fast_slot(json::Reader& r, std::optional<T>& out) {
    return json::read_nullable(r, out, [](json::Reader& in, T& v) { return fast_slot(in, v); });
}

template <class T>
bool fast_slot(json::Reader& r, Vector<T>& out) {
    if (r.peek_ws() != '[') return false;
    out.clear();
    return json::read_list(r, out, [](json::Reader& in, T& e) { return fast_slot(in, e); });
}

bool fast_slot(json::Reader& r, SortedMap<Expr>& out) {
    if (r.peek_ws() != '{') return false;
    out.clear();
    return json::read_map(r, out, [](json::Reader& in, Expr& e) { return fast_slot(in, e); });
}

bool fast_slot(json::Reader& r, EndpointUrl& out) {
    int c = r.peek_ws();
    if (c == '"') return r.read_string(out.v.emplace<EndpointUrl::Static>().url);
    return c == '{' && fast_union(r, out.v.emplace<EndpointUrl::Evaluated>().expr);
}

bool fast_slot(json::Reader& r, RequestOptions& out) {
    if (r.peek_ws() != '{') return false;
    return r.in_object([&] {
        bool first = true;
        return fast_fields<kRequestOptions>(r, out, first);
    });
}

// The members of S up to the closing brace (not consumed), giving up on anything
// but each field at most once, every required one present. The table is a template
// argument, so that each key compares with the table's keys as constants.
template <const auto& Rec, class S>
bool fast_fields(json::Reader& r, S& s, bool& first) {
    return json::read_members<json::OnMismatch::GiveUp>(
        r, Rec, first, [](std::string_view key) { return Rec.find(key); },
        [&](int i) { return with_field<S>(i, [&](auto ptr) { return fast_slot(r, s.*ptr); }); });
}

template <class U>
bool fast_union(json::Reader& r, U& out) {
    using Info = UnionInfo<U>;
    if (r.peek_ws() != '{') return false;
    return r.in_object([&] {
        bool first = true;
        std::string_view name;
        if (r.next_key(first, name) <= 0 || name != Info::tag_key || !r.colon() || r.peek_ws() != '"') return false;
        r.bump();
        if (!r.parse_string(name)) return false;
        // The tag is a view the members' reads overwrite: the variant is found first.
        const std::size_t index = variant_index<U>(name);
        bool ok = false;
        for_each_index<kVariants<U>>([&](auto I) {
            if (index == I) ok = fast_fields<kVariantRecord<U, I()>>(r, unboxed(out.v.template emplace<I()>()), first);
        });
        return ok;
    });
}

// Whether some variant of U has a field of this key.
template <class U>
bool declared_by_some_variant(std::string_view key) {
    bool found = false;
    for_each_index<kVariants<U>>([&](auto I) { found = found || kVariantRecord<U, I()>.find(key) >= 0; });
    return found;
}

// Every shape, every message: the members are buffered, then the variant is built from
// them, taking what it holds out of the buffer.
template <class U>
bool read_union_two_phase(json::Reader& r, U& out) {
    using Info = UnionInfo<U>;
    int c = r.peek_ws();
    std::size_t index = 0;
    if (c == '{') {
        JsonObject members;
        bool ok = r.in_object([&] {
            bool first = true;
            bool seen = false;
            std::string_view key;
            for (;;) {
                int k = r.next_key(first, key);
                if (k < 0) return false;
                if (k == 0) break;
                if (key == Info::tag_key) {
                    if (seen) return r.fail(json::duplicate_field(Info::tag_key));
                    seen = true;
                    if (!r.colon() || !read_tag_text<U>(r, index)) return false;
                } else if (!declared_by_some_variant<U>(key)) {
                    // Whichever variant the tag names skips it: read, not kept.
                    if (!r.colon() || !r.check_value()) return false;
                } else {
                    json::JsonMember& m = members.emplace_back();
                    m.key = key;
                    if (!r.colon() || !r.parse_buffered(m.value)) return false;
                }
            }
            if (!seen) return r.fail_unpositioned(json::missing_field(Info::tag_key));
            return true;
        });
        return ok && read_body(r, json::Buffered<JsonValue>{&members, nullptr, 0}, index, out);
    }
    if (c == '[') {
        json::JsonArray elements;
        bool ok = r.in_array([&] {
            bool first = true;
            int e = r.next_element(first);
            if (e < 0) return false;
            if (e == 0) return r.fail_unpositioned(json::missing_field(Info::tag_key));
            if (!read_tag_text<U>(r, index)) return false;
            for (;;) {
                e = r.next_element(first);
                if (e < 0) return false;
                if (e == 0) return true;
                if (!r.parse_buffered(elements.emplace_back())) return false;
            }
        });
        return ok && read_body(r, json::Buffered<JsonValue>{nullptr, elements.data(), elements.size()}, index, out);
    }
    if (c < 0) return r.fail_peek("EOF while parsing a value");
    return r.fail_invalid_type_here("internally tagged enum " + std::string(Info::type));
}

template <class U>
bool read_union_text(json::Reader& r, U& out) {
    json::Reader::Mark start = r.mark();
    if (fast_union(r, out)) return true;
    r.rewind(start);
    return read_union_two_phase(r, out);
}

// ---- writing ------------------------------------------------------------

void write_slot(json::Writer& w, const String& s) { w.string(s); }
void write_slot(json::Writer& w, const JsonValue& v) { json::write_value(w, v); }
void write_slot(json::Writer& w, const Ref& r) { write_ref(w, r); }
void write_slot(json::Writer& w, const Expr& e) { write_expr(w, e); }
void write_slot(json::Writer& w, const Action& a) { write_action(w, a); }
void write_slot(json::Writer& w, const RequestOptions& o);
void write_slot(json::Writer& w, const EndpointUrl& u);
void write_slot(json::Writer& w, const SortedMap<Expr>& map);
template <class T>
void write_slot(json::Writer& w, const Box<T>& b);
template <class T>
void write_slot(json::Writer& w, const Vector<T>& list);

void write_slot(json::Writer& w, const EndpointUrl& u) {
    if (const auto* s = std::get_if<EndpointUrl::Static>(&u.v)) {
        w.string(s->url);
    } else {
        write_expr(w, std::get<EndpointUrl::Evaluated>(u.v).expr);
    }
}

template <class T>
void write_slot(json::Writer& w, const Box<T>& b) {
    write_slot(w, *b);
}

template <class T>
void write_slot(json::Writer& w, const Vector<T>& list) {
    json::write_array(w, list, [](json::Writer& out, const T& item) { write_slot(out, item); });
}

void write_slot(json::Writer& w, const SortedMap<Expr>& map) { json::write_map(w, map, write_expr); }

template <class T>
bool is_empty(const std::optional<T>& v) {
    return !v.has_value();
}
template <class T>
bool is_empty(const Vector<T>& v) {
    return v.empty();
}
template <class T>
bool is_empty(const T&) {
    return false;
}

template <class T>
void write_value_of(json::Writer& w, const std::optional<T>& v) {
    write_slot(w, *v);
}
template <class T>
void write_value_of(json::Writer& w, const T& v) {
    write_slot(w, v);
}

// Writes the fields of S; `comma` when something was written before the first field.
template <class S, std::size_t N>
void write_fields(json::Writer& w, const S& s, bool comma, const json::Record<N>& rec) {
    json::write_members(
        w, rec, comma, [&](int i) { return with_field<S>(i, [&](auto ptr) { return is_empty(s.*ptr); }); },
        [&](int i) {
            with_field<S>(i, [&](auto ptr) {
                write_value_of(w, s.*ptr);
                return true;
            });
        });
}

void write_slot(json::Writer& w, const RequestOptions& o) {
    w.raw('{');
    write_fields(w, o, false, kRequestOptions);
    w.raw('}');
}

template <class U>
void write_union(json::Writer& w, const U& u) {
    w.raw('{');
    w.key(UnionInfo<U>::tag_key);
    w.string(UnionInfo<U>::tags[u.v.index()]);
    for_each_index<kVariants<U>>([&](auto I) {
        if (u.v.index() == I) write_fields(w, unboxed(*std::get_if<I()>(&u.v)), true, kVariantRecord<U, I()>);
    });
    w.raw('}');
}

template <class T, class Read, class Write>
Result<std::string> normalize(std::string_view text, Read read, Write write) {
    return in_arena([&]() -> Result<std::string> {
        json::Reader r(text);
        T value;
        if (!read(r, value) || !r.end_of_text()) return fail(r.error().text());
        json::Writer w;
        write(w, value);
        return std::move(w.out);
    });
}

}  // namespace

bool read_action(json::Reader& r, Action& out) { return read_union_text(r, out); }
bool read_expr(json::Reader& r, Expr& out) { return read_union_text(r, out); }

std::optional<std::string> expr_json_value_error(const json::JsonValue& v) {
    // The expression is built only to be checked, in memory given back when it ends.
    const ArenaRewind checked;
    // A reader over no text holds the error, which has no position to take.
    json::Reader errors({});
    Expr out;
    if (!read_union(errors, v, out, false)) return errors.take_error().message;
    return std::nullopt;
}

void write_action(json::Writer& w, const Action& a) { write_union(w, a); }
void write_expr(json::Writer& w, const Expr& e) { write_union(w, e); }
void write_ref(json::Writer& w, const Ref& r) { write_union(w, r); }

json::JsonValue expr_to_json_value(const Expr& e) {
    json::Writer w;
    write_expr(w, e);
    json::Reader r(w.out);
    json::JsonValue v;
    // The written form nests exactly as deep as the text the expression was read from.
    r.parse_value(v);
    return v;
}

Result<std::string> normalize_action_json(std::string_view value) {
    return normalize<Action>(value, read_action, write_action);
}

Result<std::string> normalize_expr_json(std::string_view value) {
    return normalize<Expr>(value, read_expr, write_expr);
}

Result<std::string> normalize_action_json_two_phase(std::string_view value) {
    return normalize<Action>(value, read_union_two_phase<Action>, write_action);
}

Result<std::string> normalize_expr_json_two_phase(std::string_view value) {
    return normalize<Expr>(value, read_union_two_phase<Expr>, write_expr);
}

}  // namespace vorlan::action
