#include "action.hpp"

#include <array>
#include <cstddef>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "json/collections.hpp"
#include "operations.hpp"

namespace vorlan::action {

bool operator==(const Ref& a, const Ref& b) { return a.v == b.v; }
bool operator==(const Expr& a, const Expr& b) { return a.v == b.v; }
bool operator==(const EndpointUrl& a, const EndpointUrl& b) { return a.v == b.v; }
bool operator==(const RequestOptions& a, const RequestOptions& b) {
    return a.key == b.key && a.pending == b.pending && a.watch == b.watch;
}
bool operator==(const Action& a, const Action& b) { return a.v == b.v; }

namespace {

using json::JsonObject;
using json::JsonValue;

// ---- field tables ---------------------------------------------------------

// How a field reads when absent or null and how it is written when absent or empty.
enum class Presence {
    Required,     // absent fails; always written
    OptionalNull, // absent or null: nothing; written as null
    OptionalOmit, // absent or null: nothing; left out
    ListOmit,     // absent: empty; null fails; left out when empty
};

template <class S, class M>
struct Member {
    std::string_view key;
    M S::*ptr;
    Presence presence;
};

template <class S, class M>
constexpr Member<S, M> member(std::string_view key, M S::*ptr, Presence p = Presence::Required) {
    return {key, ptr, p};
}

template <class T>
struct Tag {};

constexpr auto kNull = Presence::OptionalNull;
constexpr auto kOmit = Presence::OptionalOmit;
constexpr auto kList = Presence::ListOmit;

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

// ---- reading from a buffered or parsed value ---------------------------

template <class U>
std::string read_union(const JsonValue& v, U& out, bool allow_index);

std::string read_slot(const JsonValue& v, String& out);
std::string read_slot(const JsonValue& v, Ref& out);
std::string read_slot(const JsonValue& v, Expr& out);
std::string read_slot(const JsonValue& v, Action& out);
std::string read_slot(const JsonValue& v, SortedMap<Expr>& out);
std::string read_slot(const JsonValue& v, JsonValue& out);
std::string read_slot(const JsonValue& v, EndpointUrl& out);
std::string read_slot(const JsonValue& v, RequestOptions& out);
template <class T>
std::string read_slot(const JsonValue& v, Box<T>& out);
template <class T>
std::string read_slot(const JsonValue& v, std::optional<T>& out);
template <class T>
std::string read_slot(const JsonValue& v, Vector<T>& out);

std::string read_slot(const JsonValue& v, String& out) {
    const String* s = v.as_string();
    if (!s) return json::invalid_type(v.describe(), "a string");
    out.assign(s->data(), s->size());
    return {};
}

std::string read_slot(const JsonValue& v, Ref& out) { return read_union(v, out, true); }
std::string read_slot(const JsonValue& v, Expr& out) { return read_union(v, out, true); }
std::string read_slot(const JsonValue& v, Action& out) { return read_union(v, out, true); }

template <class T>
std::string read_slot(const JsonValue& v, Box<T>& out) {
    return read_slot(v, *out);
}

template <class T>
std::string read_slot(const JsonValue& v, std::optional<T>& out) {
    if (v.is_null()) {
        out.reset();
        return {};
    }
    out.emplace();
    return read_slot(v, *out);
}

template <class T>
std::string read_slot(const JsonValue& v, Vector<T>& out) {
    const json::JsonArray* a = v.as_array();
    if (!a) return json::invalid_type(v.describe(), "a sequence");
    out.clear();
    out.reserve(a->size());
    for (const JsonValue& e : *a) {
        std::string err = read_slot(e, out.emplace_back());
        if (!err.empty()) return err;
    }
    return {};
}

std::string read_slot(const JsonValue& v, SortedMap<Expr>& out) {
    const JsonObject* o = v.as_object();
    if (!o) return json::invalid_type(v.describe(), "a map");
    out.clear();
    for (const json::JsonMember& m : *o) {
        Expr e;
        std::string err = read_slot(m.value, e);
        if (!err.empty()) return err;
        out.set(String(m.key), std::move(e));
    }
    return {};
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

std::string read_slot(const JsonValue& v, JsonValue& out) {
    out = v;
    sort_deep(out);
    return {};
}

std::string read_slot(const JsonValue& v, EndpointUrl& out) {
    if (const String* s = v.as_string()) {
        out.v = EndpointUrl::Static{String(*s)};
        return {};
    }
    EndpointUrl::Evaluated e;
    if (!read_union(v, e.expr, true).empty()) return "data did not match any variant of untagged enum EndpointUrl";
    out.v = std::move(e);
    return {};
}

// The members or elements of a record body: object form or array form.
struct Body {
    const JsonObject* members = nullptr;
    const JsonValue* elements = nullptr;
    std::size_t count = 0;
};

std::string elements_text(std::size_t n) {
    return n == 1 ? std::string("1 element in sequence") : std::to_string(n) + " elements in sequence";
}

// Reads the fields of S from a body. `record` + `name` form the array-form length text;
// `unknown` (when not empty) rejects undeclared keys with that list of names.
template <class S>
std::string read_fields(const Body& body, S& s, std::string_view record, std::string_view name,
                        std::string_view unknown = {}) {
    constexpr auto fs = fields(Tag<S>{});
    constexpr std::size_t N = std::tuple_size_v<decltype(fs)>;
    std::string err;
    if (body.members) {
        std::array<bool, N + 1> seen{};
        for (const json::JsonMember& m : *body.members) {
            bool matched = false;
            for_each_index<N>([&](auto I) {
                const auto& f = std::get<I()>(fs);
                if (matched || m.key != f.key) return;
                matched = true;
                if (seen[I]) {
                    err = json::duplicate_field(f.key);
                } else {
                    seen[I] = true;
                    err = read_slot(m.value, s.*f.ptr);
                }
            });
            if (!err.empty()) return err;
            if (!matched && !unknown.empty()) return json::unknown_field(m.key, unknown);
        }
        for_each_index<N>([&](auto I) {
            const auto& f = std::get<I()>(fs);
            if (err.empty() && !seen[I] && f.presence == Presence::Required) err = json::missing_field(f.key);
        });
        return err;
    }
    std::size_t i = 0;
    for_each_index<N>([&](auto I) {
        if (!err.empty()) return;
        const auto& f = std::get<I()>(fs);
        if (i < body.count) {
            err = read_slot(body.elements[i++], s.*f.ptr);
        } else if (f.presence == Presence::Required) {
            err = json::invalid_length(body.count, std::string(record) + std::string(name) + " with " +
                                                       std::to_string(N) + (N == 1 ? " element" : " elements"));
        }
    });
    if (err.empty() && body.count > N) err = json::invalid_length(body.count, elements_text(N));
    return err;
}

std::string read_slot(const JsonValue& v, RequestOptions& out) {
    static constexpr std::string_view kKeys[] = {"key", "pending", "watch"};
    if (const JsonObject* o = v.as_object()) {
        return read_fields(Body{o, nullptr, 0}, out, "struct ", "RequestOptions", json::expected_names(kKeys));
    }
    if (const json::JsonArray* a = v.as_array()) {
        return read_fields(Body{nullptr, a->data(), a->size()}, out, "struct ", "RequestOptions");
    }
    return json::invalid_type(v.describe(), "struct RequestOptions");
}

// The variant whose tag is `name`, or kVariants<U> when none is.
template <class U>
std::size_t variant_index(std::string_view name) {
    std::size_t i = 0;
    while (i < kVariants<U> && name != UnionInfo<U>::tags[i]) ++i;
    return i;
}

template <class U>
std::string unknown_variant(std::string_view name) {
    return json::unknown_variant(name, json::expected_names(UnionInfo<U>::tags));
}

template <class U>
std::string resolve_tag(const JsonValue& tag, bool allow_index, std::size_t& index) {
    if (const String* s = tag.as_string()) {
        index = variant_index<U>(*s);
        return index < kVariants<U> ? std::string() : unknown_variant<U>(*s);
    }
    if (const std::uint64_t* n = tag.as_u64(); n && allow_index) {
        if (*n < kVariants<U>) {
            index = static_cast<std::size_t>(*n);
            return {};
        }
        return json::invalid_value(json::describe_u64(*n),
                                   "variant index 0 <= i < " + std::to_string(kVariants<U>));
    }
    return json::invalid_type(tag.describe(), "variant identifier");
}

// Phase 2: builds variant `index` of U from its buffered members or elements.
template <class U>
std::string read_body(const Body& body, std::size_t index, U& out) {
    std::string err;
    for_each_index<kVariants<U>>([&](auto I) {
        if (index != I) return;
        auto& alt = out.v.template emplace<I()>();
        err = read_fields(body, alt, UnionInfo<U>::record, UnionInfo<U>::names[I]);
    });
    return err;
}

template <class U>
std::string read_union(const JsonValue& v, U& out, bool allow_index) {
    using Info = UnionInfo<U>;
    std::size_t index = 0;
    if (const JsonObject* o = v.as_object()) {
        bool seen = false;
        for (const json::JsonMember& m : *o) {
            if (m.key != Info::tag_key) continue;
            if (seen) return json::duplicate_field(Info::tag_key);
            seen = true;
            std::string err = resolve_tag<U>(m.value, allow_index, index);
            if (!err.empty()) return err;
        }
        if (!seen) return json::missing_field(Info::tag_key);
        // The tag member names no field of any variant, so the body skips it.
        return read_body(Body{o, nullptr, 0}, index, out);
    }
    if (const json::JsonArray* a = v.as_array()) {
        if (a->empty()) return json::missing_field(Info::tag_key);
        std::string err = resolve_tag<U>((*a)[0], allow_index, index);
        if (!err.empty()) return err;
        return read_body(Body{nullptr, a->data() + 1, a->size() - 1}, index, out);
    }
    return json::invalid_type(v.describe(), "internally tagged enum " + std::string(Info::type));
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
template <class S>
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
        return fast_fields(r, out, first);
    });
}

// The members of S up to the closing brace (not consumed).
template <class S>
bool fast_fields(json::Reader& r, S& s, bool& first) {
    constexpr auto fs = fields(Tag<S>{});
    constexpr std::size_t N = std::tuple_size_v<decltype(fs)>;
    constexpr auto keys = std::apply([](const auto&... f) { return std::array<std::string_view, N>{f.key...}; }, fs);
    std::array<bool, N + 1> seen{};
    std::string_view key;
    for (;;) {
        int k = r.next_key(first, key);
        if (k < 0) return false;
        if (k == 0) break;
        // The key is a view the next string read may overwrite: match it before reading on.
        std::size_t field = 0;
        while (field < N && key != keys[field]) ++field;
        if (field == N || seen[field] || !r.colon()) return false;
        seen[field] = true;
        bool ok = false;
        for_each_index<N>([&](auto I) {
            if (field == I) ok = fast_slot(r, s.*std::get<I()>(fs).ptr);
        });
        if (!ok) return false;
    }
    bool complete = true;
    for_each_index<N>([&](auto I) {
        if (!seen[I] && std::get<I()>(fs).presence == Presence::Required) complete = false;
    });
    return complete;
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
            if (index == I) ok = fast_fields(r, out.v.template emplace<I()>(), first);
        });
        return ok;
    });
}

// Every shape, every message: the members are buffered, then the variant is built from them.
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
                } else {
                    json::JsonMember& m = members.emplace_back();
                    m.key = key;
                    if (!r.colon() || !r.parse_buffered(m.value)) return false;
                }
            }
            if (!seen) return r.fail_unpositioned(json::missing_field(Info::tag_key));
            return true;
        });
        if (!ok) return false;
        std::string err = read_body(Body{&members, nullptr, 0}, index, out);
        return err.empty() || r.fail_unpositioned(std::move(err));
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
        if (!ok) return false;
        std::string err = read_body(Body{nullptr, elements.data(), elements.size()}, index, out);
        return err.empty() || r.fail_unpositioned(std::move(err));
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
    w.raw('[');
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (i) w.raw(',');
        write_slot(w, list[i]);
    }
    w.raw(']');
}

void write_slot(json::Writer& w, const SortedMap<Expr>& map) { json::write_map(w, map, write_expr); }

template <class T>
bool is_absent(const std::optional<T>& v) {
    return !v.has_value();
}
template <class T>
bool is_absent(const Vector<T>& v) {
    return v.empty();
}
template <class T>
bool is_absent(const T&) {
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
template <class S>
void write_fields(json::Writer& w, const S& s, bool comma) {
    constexpr auto fs = fields(Tag<S>{});
    for_each_index<std::tuple_size_v<decltype(fs)>>([&](auto I) {
        const auto& field = std::get<I()>(fs);
        const auto& value = s.*field.ptr;
        bool absent = is_absent(value);
        if (absent && (field.presence == Presence::OptionalOmit || field.presence == Presence::ListOmit)) return;
        if (comma) w.raw(',');
        comma = true;
        w.key(field.key);
        if (absent && field.presence == Presence::OptionalNull) {
            w.null();
        } else {
            write_value_of(w, value);
        }
    });
}

void write_slot(json::Writer& w, const RequestOptions& o) {
    w.raw('{');
    write_fields(w, o, false);
    w.raw('}');
}

template <class U>
void write_union(json::Writer& w, const U& u) {
    w.raw('{');
    w.key(UnionInfo<U>::tag_key);
    w.string(UnionInfo<U>::tags[u.v.index()]);
    std::visit([&](const auto& alt) { write_fields(w, alt, true); }, u.v);
    w.raw('}');
}

template <class T, class Read, class Write>
Result<std::string> normalize(std::string_view text, Read read, Write write) {
    return guarded([&]() -> Result<std::string> {
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

std::string expr_from_json_value(const json::JsonValue& v, Expr& out) { return read_union(v, out, false); }
std::string action_from_buffered(const json::JsonValue& v, Action& out) { return read_union(v, out, true); }
std::string expr_from_buffered(const json::JsonValue& v, Expr& out) { return read_union(v, out, true); }

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
