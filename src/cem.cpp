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
                bool is_null = false;
                if (!r.read_null(is_null)) return false;
                return is_null || r.parse_value(out.inherited_from.emplace());
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

bool read_declaration(json::Reader& r, Declaration& out) {
    return json::read_record(r, kDeclaration, [&](int i) {
        switch (i) {
            case 0: return r.read_bool(out.custom_element);
            case 1: return read_optional_text(r, out.tag_name);
            case 2: return read_optional_text(r, out.summary);
            case 3: return read_optional_text(r, out.description);
            case 4: return json::read_list(r, out.attributes, read_attribute);
            case 5: return json::read_list(r, out.members, read_member);
            case 6: return json::read_list(r, out.events, read_named);
            default: return json::read_list(r, out.slots, read_named);
        }
    });
}

constexpr auto kModule = json::record("struct Module", {{"declarations", kDefault}});

bool read_module(json::Reader& r, Module& out) {
    return json::read_record(r, kModule, [&](int) { return json::read_list(r, out.declarations, read_declaration); });
}

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

std::vector<std::string_view> split_bars(std::string_view s) {
    std::vector<std::string_view> pieces;
    for (;;) {
        std::size_t bar = s.find('|');
        pieces.push_back(s.substr(0, bar));
        if (bar == std::string_view::npos) return pieces;
        s.remove_prefix(bar + 1);
    }
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

// attribute_names is sorted.
bool is_field(const Member& m, const std::vector<std::string_view>& attribute_names) {
    if (m.kind != "field") return false;
    if (m.privacy && *m.privacy != "public") return false;
    if (m.static_ || m.readonly) return false;
    if (!m.name.empty() && (m.name[0] == '#' || m.name[0] == '_')) return false;
    if (m.inherited_from || m.attribute) return false;
    if (std::binary_search(attribute_names.begin(), attribute_names.end(), std::string_view(m.name))) return false;
    if (contains(BUILTIN_MEMBERS, m.name)) return false;
    std::string_view t = type_text_of(m.type);
    return !is_opaque_only(t) && t.find("=>") == std::string_view::npos;
}

ComponentSchema component_schema(const Declaration& d) {
    ComponentSchema c;
    c.tag_name = *d.tag_name;
    c.class_name = pascal_case(c.tag_name);
    c.summary = d.summary ? d.summary : d.description;
    std::vector<std::string_view> attribute_names;
    attribute_names.reserve(d.attributes.size());
    for (const Attribute& a : d.attributes) {
        attribute_names.push_back(a.name);
        c.props.push_back(prop_schema(a.name, a.type, a.default_, a.description));
    }
    // Sorted once, so that each member is looked up in log time, not against every attribute.
    std::sort(attribute_names.begin(), attribute_names.end());
    for (const Member& m : d.members)
        if (is_field(m, attribute_names)) c.fields.push_back(prop_schema(m.name, m.type, m.default_, m.description));
    for (const Named& e : d.events) c.events.push_back(e.name);
    for (const Named& s : d.slots) c.slots.push_back(s.name);
    return c;
}

void write_strings(json::Writer& w, const std::vector<std::string>& list) {
    w.raw('[');
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (i) w.raw(',');
        w.string(list[i]);
    }
    w.raw(']');
}

void write_props(json::Writer& w, const std::vector<PropSchema>& list) {
    w.raw('[');
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (i) w.raw(',');
        write_prop_schema(w, list[i]);
    }
    w.raw(']');
}

void write_optional(json::Writer& w, std::string_view key, const std::optional<std::string>& value) {
    if (!value) return;
    w.raw(',');
    w.key(key);
    w.string(*value);
}

}  // namespace

Result<Manifest> read_manifest(std::string_view text) {
    json::Reader r(text);
    Manifest m;
    bool ok = json::read_record(r, kManifest, [&](int) { return json::read_list(r, m.modules, read_module); }) &&
              r.end_of_text();
    if (!ok) return fail(r.error().text());
    return m;
}

PropType parse_type(std::optional<std::string_view> t) {
    if (!t) return {prop::Any{}};
    std::vector<std::string_view> rest;
    bool optional = false;
    for (std::string_view piece : split_bars(*t)) {
        piece = trim(piece);
        if (piece.empty()) continue;
        if (is_absent_word(piece)) optional = true;
        else rest.push_back(piece);
    }
    if (rest.empty()) return {prop::Any{}};
    PropType base;
    bool all_literals = std::all_of(rest.begin(), rest.end(), is_quoted_literal);
    bool some_string = std::find(rest.begin(), rest.end(), "string") != rest.end();
    if (all_literals) {
        prop::Enum e;
        for (std::string_view part : rest) e.values.emplace_back(literal_inside(part));
        base.v = std::move(e);
    } else if (some_string && std::all_of(rest.begin(), rest.end(), [](std::string_view p) {
                   return p == "string" || is_quoted_literal(p);
               })) {
        base.v = prop::Str{};
    } else if (rest.size() == 1 && rest[0] == "number") {
        base.v = prop::Number{};
    } else if (rest.size() == 1 && rest[0] == "boolean") {
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
    for (std::string_view piece : split_bars(type_text)) {
        if (trim(piece).empty()) continue;
        std::string_view s = strip_array_suffixes(piece);
        if (s.starts_with("Array<") && s.ends_with('>'))
            s = strip_array_suffixes(s.substr(6, s.size() - 7));
        else if (s.starts_with("ReadonlyArray<") && s.ends_with('>'))
            s = strip_array_suffixes(s.substr(14, s.size() - 15));
        if (is_absent_word(s)) continue;
        if (contains(OPAQUE_TYPE_NAMES, s) || is_element_type(s)) {
            opaque = true;
            continue;
        }
        return false;
    }
    return opaque;
}

Result<std::vector<ComponentSchema>> parse_manifest(std::string_view text) {
    Result<Manifest> manifest = read_manifest(text);
    if (!manifest.ok()) return manifest.failure();
    std::vector<ComponentSchema> schemas;
    for (const Module& module : manifest.value().modules)
        for (const Declaration& d : module.declarations)
            if (d.custom_element && d.tag_name) schemas.push_back(component_schema(d));
    return schemas;
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

void write_component_schema(json::Writer& w, const ComponentSchema& c) {
    w.raw('{');
    w.key("tag_name");
    w.string(c.tag_name);
    w.raw(',');
    w.key("class_name");
    w.string(c.class_name);
    write_optional(w, "summary", c.summary);
    w.raw(',');
    w.key("props");
    write_props(w, c.props);
    w.raw(',');
    w.key("fields");
    write_props(w, c.fields);
    w.raw(',');
    w.key("events");
    write_strings(w, c.events);
    w.raw(',');
    w.key("slots");
    write_strings(w, c.slots);
    w.raw('}');
}

Result<std::string> parse_cem_json(std::string_view manifest) {
    return in_arena([&]() -> Result<std::string> {
        Result<std::vector<ComponentSchema>> schemas = parse_manifest(manifest);
        if (!schemas.ok()) return schemas.failure();
        json::Writer w;
        w.raw('[');
        for (std::size_t i = 0; i < schemas.value().size(); ++i) {
            if (i) w.raw(',');
            write_component_schema(w, schemas.value()[i]);
        }
        w.raw(']');
        return std::move(w.out);
    });
}

}  // namespace vorlan::cem
