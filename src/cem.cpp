#include "cem.hpp"
#include "json/collections.hpp"
#include "json/record.hpp"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "operations.hpp"
#include "unicode.hpp"
#include "utf8.hpp"

namespace vorlan::cem {
namespace {

// ---- reading ------------------------------------------------------------

constexpr auto kDefault = json::Presence::Default;

bool read_optional_text(json::Reader& r, std::optional<std::string>& out) {
    bool is_null = false;
    if (!r.read_null(is_null)) return false;
    if (is_null) return true;
    return r.read_string(out.emplace());
}

constexpr auto kTypeText = json::record("struct TypeText", {{"text", kDefault}});

bool read_optional_type(json::Reader& r, std::optional<TypeText>& out) {
    bool is_null = false;
    if (!r.read_null(is_null)) return false;
    if (is_null) return true;
    TypeText& t = out.emplace();
    return json::read_record(r, kTypeText, [&](int) { return read_optional_text(r, t.text); });
}

constexpr auto kNamed = json::record("struct Named", {{"name"}});

bool read_named(json::Reader& r, Named& out) {
    return json::read_record(r, kNamed, [&](int) { return r.read_string(out.name); });
}

constexpr auto kAttribute =
    json::record("struct Attribute", {{"name"}, {"type", kDefault}, {"default", kDefault}, {"description", kDefault}});

bool read_attribute(json::Reader& r, Attribute& out) {
    return json::read_record(r, kAttribute, [&](int i) {
        switch (i) {
            case 0: return r.read_string(out.name);
            case 1: return read_optional_type(r, out.type);
            case 2: return read_optional_text(r, out.default_);
            default: return read_optional_text(r, out.description);
        }
    });
}

constexpr auto kMember = json::record("struct Member", {{"kind"},
                                                        {"name"},
                                                        {"type", kDefault},
                                                        {"privacy", kDefault},
                                                        {"static", kDefault},
                                                        {"readonly", kDefault},
                                                        {"inheritedFrom", kDefault},
                                                        {"attribute", kDefault},
                                                        {"default", kDefault},
                                                        {"description", kDefault}});

bool read_member(json::Reader& r, Member& out) {
    return json::read_record(r, kMember, [&](int i) {
        switch (i) {
            case 0: return r.read_string(out.kind);
            case 1: return r.read_string(out.name);
            case 2: return read_optional_type(r, out.type);
            case 3: return read_optional_text(r, out.privacy);
            case 4: return r.read_bool(out.static_);
            case 5: return r.read_bool(out.readonly);
            case 6: {
                // Only its presence matters: read by the rules of a generic value, kept as a flag.
                bool is_null = false;
                if (!r.read_null(is_null)) return false;
                out.inherited_from = !is_null;
                return is_null || r.check_value();
            }
            case 7: return read_optional_text(r, out.attribute);
            case 8: return read_optional_text(r, out.default_);
            default: return read_optional_text(r, out.description);
        }
    });
}

// The tag name may be absent from an object but not from an array.
constexpr auto kDeclaration = json::record("struct Declaration", {{"customElement", kDefault},
                                                                  {"tagName", json::Presence::InObject},
                                                                  {"summary", kDefault},
                                                                  {"description", kDefault},
                                                                  {"attributes", kDefault},
                                                                  {"members", kDefault},
                                                                  {"events", kDefault},
                                                                  {"slots", kDefault}});

constexpr auto kModule = json::record("struct Module", {{"declarations", kDefault}});

constexpr auto kManifest = json::record("struct Manifest", {{"modules", kDefault}});

// ---- text helpers -------------------------------------------------------

constexpr char32_t kInvalid = 0xFFFFFFFF;

// The character that starts at s[i] and its length; a malformed sequence is one
// byte that is no character.
char32_t decode(std::string_view s, std::size_t i, std::size_t& len) {
    const utf8::Sequence seq = utf8::decode(s, i);
    len = seq.length == 0 ? 1 : static_cast<std::size_t>(seq.length);
    return seq.length == 0 ? kInvalid : seq.code_point;
}

std::size_t white_space_at(std::string_view s, std::size_t i) {
    std::size_t len;
    char32_t c = decode(s, i, len);
    return c != kInvalid && unicode::is_white_space(c) ? len : 0;
}

// Length of the white space character ending at s[end), or 0.
std::size_t white_space_before(std::string_view s, std::size_t end) {
    for (std::size_t n = 1; n <= 4 && n <= end; ++n) {
        unsigned char b = static_cast<unsigned char>(s[end - n]);
        if ((b & 0xc0) == 0x80) continue;
        return white_space_at(s, end - n) == n ? n : 0;
    }
    return 0;
}

std::string_view trim(std::string_view s) {
    std::size_t b = 0, e = s.size(), n;
    while (b < e && (n = white_space_at(s, b)) != 0) b += n;
    while (e > b && (n = white_space_before(s, e)) != 0) e -= n;
    return s.substr(b, e - b);
}

// Calls each(piece) on the pieces of s between bars, in order, until it returns false;
// returns whether it never did. No list of pieces: a text of bars alone has as many.
template <class F>
bool each_piece(std::string_view s, F&& each) {
    for (;;) {
        const std::size_t bar = s.find('|');
        if (!each(s.substr(0, bar))) return false;
        if (bar == std::string_view::npos) return true;
        s.remove_prefix(bar + 1);
    }
}

// Calls each(part) on the parts of a type text: its pieces trimmed, the empty ones left out.
template <class F>
void each_part(std::string_view s, F&& each) {
    each_piece(s, [&](std::string_view piece) {
        piece = trim(piece);
        if (!piece.empty()) each(piece);
        return true;
    });
}

bool is_quoted_literal(std::string_view s) {
    return s.size() >= 2 && (s.front() == '\'' || s.front() == '"') && s.back() == s.front();
}

std::string_view literal_inside(std::string_view s) { return s.substr(1, s.size() - 2); }

bool is_absent_word(std::string_view s) { return s == "undefined" || s == "null"; }

bool iequals_ascii(std::string_view a, std::string_view lower) {
    if (a.size() != lower.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char c = a[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != lower[i]) return false;
    }
    return true;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_number(std::string_view s) {
    std::size_t i = 0, n = s.size();
    if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
    std::string_view rest = s.substr(i);
    if (iequals_ascii(rest, "inf") || iequals_ascii(rest, "infinity") || iequals_ascii(rest, "nan")) return true;
    std::size_t digits = 0;
    while (i < n && is_digit(s[i])) ++i, ++digits;
    if (i < n && s[i] == '.') {
        ++i;
        while (i < n && is_digit(s[i])) ++i, ++digits;
    }
    if (digits == 0) return false;
    if (i < n && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
        std::size_t exponent_digits = 0;
        while (i < n && is_digit(s[i])) ++i, ++exponent_digits;
        if (exponent_digits == 0) return false;
    }
    return i == n;
}

std::string_view strip_array_suffixes(std::string_view s) {
    s = trim(s);
    while (s.ends_with("[]")) s.remove_suffix(2);
    return trim(s);
}

bool is_element_type(std::string_view s) {
    return (s.starts_with("HTML") || s.starts_with("SVG") || s.starts_with("MathML")) && s.size() >= 7 &&
           s.ends_with("Element");
}

bool contains(const auto& table, std::string_view name) {
    return std::find(std::begin(table), std::end(table), name) != std::end(table);
}

// ---- building -----------------------------------------------------------

std::string_view type_text_of(const std::optional<TypeText>& type) {
    return type && type->text ? std::string_view(*type->text) : std::string_view();
}

PropSchema prop_schema(const std::string& name, const std::optional<TypeText>& type,
                       const std::optional<std::string>& default_, const std::optional<std::string>& description) {
    std::optional<std::string_view> text;
    if (type && type->text) text = *type->text;
    return PropSchema{name, parse_type(text), opaque_type_text(text), clean_default(default_), description};
}

// Every test a member must pass to become a field but the one against the
// attribute names, which may come after the members.
bool may_be_field(const Member& m) {
    if (m.kind != "field") return false;
    if (m.privacy && *m.privacy != "public") return false;
    if (m.static_ || m.readonly) return false;
    if (!m.name.empty() && (m.name[0] == '#' || m.name[0] == '_')) return false;
    if (m.inherited_from || m.attribute) return false;
    if (contains(BUILTIN_MEMBERS, m.name)) return false;
    std::string_view t = type_text_of(m.type);
    return !is_opaque_only(t) && t.find("=>") == std::string_view::npos;
}

void write_strings(json::Writer& w, const std::vector<std::string>& list) {
    w.raw('[');
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (i) w.raw(',');
        w.string(list[i]);
    }
    w.raw(']');
}

void write_optional(json::Writer& w, std::string_view key, const std::optional<std::string>& value) {
    if (!value) return;
    w.raw(',');
    w.key(key);
    w.string(*value);
}

// A list read element by element, as read_list reads it, keeping none of them:
// read_one() reads the element where the reader stands.
template <class F>
bool read_each(json::Reader& r, F&& read_one) {
    int c = r.peek_ws();
    if (c == '[') return r.in_array([&] {
        bool first = true;
        for (;;) {
            int e = r.next_element(first);
            if (e <= 0) return e == 0;
            if (!read_one()) return false;
        }
    });
    if (c < 0) return r.fail_peek("EOF while parsing a value");
    return r.fail_invalid_type_here("a sequence");
}

// One declaration's schema as it is gathered while the declaration is read, its keys
// in any order: props, events and slots written as they come, and the members that
// pass every field test but the one against the attribute names, written, with their
// names. Text takes a few bytes per element where a record takes hundreds.
struct Gathered {
    bool custom_element = false;
    std::optional<std::string> tag_name;
    std::optional<std::string> summary;
    std::optional<std::string> description;
    json::Writer props;
    std::vector<std::string> attribute_names;
    json::Writer fields;  // each candidate whole, without commas
    struct Candidate {
        std::string name;
        std::size_t end;  // of its text; it begins where the one before ends
    };
    std::vector<Candidate> candidates;
    json::Writer events;
    json::Writer slots;

    // Ready for the next declaration; what the buffers hold is kept for it.
    void clear() {
        custom_element = false;
        tag_name.reset();
        summary.reset();
        description.reset();
        props.out.clear();
        attribute_names.clear();
        fields.out.clear();
        candidates.clear();
        events.out.clear();
        slots.out.clear();
    }
};

void write_prop(json::Writer& w, const std::string& name, const std::optional<TypeText>& type,
                const std::optional<std::string>& default_, const std::optional<std::string>& description) {
    write_prop_schema(w, prop_schema(name, type, default_, description));
}

bool read_name_into(json::Reader& r, json::Writer& list) {
    Named n;
    if (!read_named(r, n)) return false;
    if (!list.out.empty()) list.raw(',');
    list.string(n.name);
    return true;
}

bool read_declaration(json::Reader& r, Gathered& d) {
    return json::read_record(r, kDeclaration, [&](int i) {
        switch (i) {
            case 0: return r.read_bool(d.custom_element);
            case 1: return read_optional_text(r, d.tag_name);
            case 2: return read_optional_text(r, d.summary);
            case 3: return read_optional_text(r, d.description);
            case 4: return read_each(r, [&] {
                Attribute a;
                if (!read_attribute(r, a)) return false;
                if (!d.props.out.empty()) d.props.raw(',');
                write_prop(d.props, a.name, a.type, a.default_, a.description);
                d.attribute_names.push_back(std::move(a.name));
                return true;
            });
            case 5: return read_each(r, [&] {
                Member m;
                if (!read_member(r, m)) return false;
                if (may_be_field(m)) {
                    write_prop(d.fields, m.name, m.type, m.default_, m.description);
                    d.candidates.push_back({std::move(m.name), d.fields.out.size()});
                }
                return true;
            });
            case 6: return read_each(r, [&] { return read_name_into(r, d.events); });
            default: return read_each(r, [&] { return read_name_into(r, d.slots); });
        }
    });
}

// The schema of a declaration that is a custom element with a tag name, after those
// written before it; `first` when none was.
void write_schema(json::Writer& w, bool& first, Gathered& d) {
    if (!d.custom_element || !d.tag_name) return;
    if (!first) w.raw(',');
    first = false;
    w.raw('{');
    w.key("tag_name");
    w.string(*d.tag_name);
    w.raw(',');
    w.key("class_name");
    w.string(pascal_case(*d.tag_name));
    write_optional(w, "summary", d.summary ? d.summary : d.description);
    w.raw(',');
    w.key("props");
    w.raw('[');
    w.raw(d.props.out);
    w.raw("],");
    w.key("fields");
    w.raw('[');
    // A member named as an attribute is that attribute's, not a field.
    std::sort(d.attribute_names.begin(), d.attribute_names.end());
    bool first_field = true;
    std::size_t begin = 0;
    for (const Gathered::Candidate& c : d.candidates) {
        if (!std::binary_search(d.attribute_names.begin(), d.attribute_names.end(), c.name)) {
            if (!first_field) w.raw(',');
            first_field = false;
            w.raw(std::string_view(d.fields.out).substr(begin, c.end - begin));
        }
        begin = c.end;
    }
    w.raw("],");
    w.key("events");
    w.raw('[');
    w.raw(d.events.out);
    w.raw("],");
    w.key("slots");
    w.raw('[');
    w.raw(d.slots.out);
    w.raw("]}");
}

}  // namespace

PropType parse_type(std::optional<std::string_view> t) {
    if (!t) return {prop::Any{}};
    // The rest (the parts but undefined and null) is looked at as it goes by: its size,
    // its first part, and what its parts all or some are.
    bool optional = false;
    std::size_t rest = 0;
    std::string_view first;
    bool all_literals = true;
    bool all_string_or_literal = true;
    bool some_string = false;
    each_part(*t, [&](std::string_view part) {
        if (is_absent_word(part)) {
            optional = true;
            return;
        }
        if (rest++ == 0) first = part;
        const bool literal = is_quoted_literal(part);
        all_literals = all_literals && literal;
        all_string_or_literal = all_string_or_literal && (literal || part == "string");
        some_string = some_string || part == "string";
    });
    if (rest == 0) return {prop::Any{}};
    PropType base;
    if (all_literals) {
        prop::Enum e;
        e.values.reserve(rest);
        each_part(*t, [&](std::string_view part) {
            if (!is_absent_word(part)) e.values.emplace_back(literal_inside(part));
        });
        base.v = std::move(e);
    } else if (some_string && all_string_or_literal) {
        base.v = prop::Str{};
    } else if (rest == 1 && first == "number") {
        base.v = prop::Number{};
    } else if (rest == 1 && first == "boolean") {
        base.v = prop::Bool{};
    } else {
        return {prop::Any{}};
    }
    if (!optional) return base;
    return {prop::Optional{Box<PropType>(std::move(base))}};
}

std::optional<std::string> opaque_type_text(std::optional<std::string_view> t) {
    if (!t || !std::holds_alternative<prop::Any>(parse_type(t).v)) return std::nullopt;
    std::string_view s = *t;
    std::string joined;
    std::size_t i = 0, word = std::string_view::npos;
    auto end_word = [&](std::size_t end) {
        if (word == std::string_view::npos) return;
        if (!joined.empty()) joined.push_back(' ');
        joined.append(s.substr(word, end - word));
        word = std::string_view::npos;
    };
    while (i < s.size()) {
        if (std::size_t n = white_space_at(s, i)) {
            end_word(i);
            i += n;
        } else {
            if (word == std::string_view::npos) word = i;
            ++i;
        }
    }
    end_word(s.size());
    if (joined.empty() || joined == "any" || joined == "unknown" || joined == "any | undefined" ||
        joined == "unknown | undefined")
        return std::nullopt;
    return joined;
}

std::optional<std::string> clean_default(std::optional<std::string_view> d) {
    if (!d) return std::nullopt;
    std::string_view s = trim(*d);
    if (s.empty() || is_absent_word(s)) return std::nullopt;
    if (s == "true" || s == "false") return std::string(s);
    if (is_quoted_literal(s)) return std::string(literal_inside(s));
    if (is_number(s)) return std::string(s);
    return std::nullopt;
}

void write_prop_type(json::Writer& w, const PropType& t) {
    struct Visit {
        json::Writer& w;
        void operator()(const prop::Bool&) const { w.string("Bool"); }
        void operator()(const prop::Str&) const { w.string("Str"); }
        void operator()(const prop::Number&) const { w.string("Number"); }
        void operator()(const prop::Any&) const { w.string("Any"); }
        void operator()(const prop::Enum& e) const {
            w.raw('{');
            w.key("Enum");
            write_strings(w, e.values);
            w.raw('}');
        }
        void operator()(const prop::Optional& o) const {
            w.raw('{');
            w.key("Optional");
            write_prop_type(w, *o.inner);
            w.raw('}');
        }
    };
    std::visit(Visit{w}, t.v);
}

std::string pascal_case(std::string_view tag) {
    std::string out;
    out.reserve(tag.size());
    std::size_t start = 0;
    while (start <= tag.size()) {
        std::size_t end = tag.find_first_of("-_", start);
        if (end == std::string_view::npos) end = tag.size();
        if (end > start) {
            std::size_t len;
            char32_t c = decode(tag, start, len);
            if (c == kInvalid) out.push_back(tag[start]);
            else unicode::append_upper(c, out);
            out.append(tag.substr(start + len, end - start - len));
        }
        start = end + 1;
    }
    return out;
}

bool is_opaque_only(std::string_view type_text) {
    bool opaque = false;
    const bool no_real_type = each_piece(type_text, [&](std::string_view piece) {
        if (trim(piece).empty()) return true;
        std::string_view s = strip_array_suffixes(piece);
        if (s.starts_with("Array<") && s.ends_with('>'))
            s = strip_array_suffixes(s.substr(6, s.size() - 7));
        else if (s.starts_with("ReadonlyArray<") && s.ends_with('>'))
            s = strip_array_suffixes(s.substr(14, s.size() - 15));
        if (is_absent_word(s)) return true;
        if (contains(OPAQUE_TYPE_NAMES, s) || is_element_type(s)) {
            opaque = true;
            return true;
        }
        return false;
    });
    return no_real_type && opaque;
}

void write_prop_schema(json::Writer& w, const PropSchema& p) {
    w.raw('{');
    w.key("name");
    w.string(p.name);
    w.raw(',');
    w.key("ty");
    write_prop_type(w, p.ty);
    write_optional(w, "type_text", p.type_text);
    write_optional(w, "default", p.default_);
    write_optional(w, "doc", p.doc);
    w.raw('}');
}

Result<std::string> parse_cem_json(std::string_view manifest) {
    return in_arena([&]() -> Result<std::string> {
        // Each declaration is written as soon as it is read, so that only one is held at a time.
        json::Reader r(manifest);
        json::Writer w;
        w.raw('[');
        bool first = true;
        Gathered d;
        const bool ok = json::read_record(r, kManifest, [&](int) {
            return read_each(r, [&] {
                return json::read_record(r, kModule, [&](int) {
                    return read_each(r, [&] {
                        d.clear();
                        if (!read_declaration(r, d)) return false;
                        write_schema(w, first, d);
                        return true;
                    });
                });
            });
        });
        if (!ok || !r.end_of_text()) return fail(r.error().text());
        w.raw(']');
        return std::move(w.out);
    });
}

}  // namespace vorlan::cem
