#include "binding.hpp"

#include <cstdint>
#include <iterator>
#include <string_view>

#include "action.hpp"
#include "json/collections.hpp"
#include "operations.hpp"

namespace vorlan::node {
namespace {

constexpr std::string_view kModeNames[] = {"one-way", "two-way"};
constexpr std::string_view kCodecNames[] = {"number", "json"};
constexpr std::string_view kEncodeNames[] = {"string"};
constexpr std::string_view kFieldNames[] = {"field", "compute", "mode",  "event", "methods",   "state",
                                            "defer", "codec",   "encode", "scale", "selection", "options"};

constexpr std::string_view kOptionNames[] = {"value", "label", "disabled", "codec", "encode"};

// A field's index in its table, named.
consteval int field(std::string_view name) { return json::slot(kFieldNames, name); }
consteval int option(std::string_view name) { return json::slot(kOptionNames, name); }

// A payload-less variant of a tag-outside union: "name", or {"name":null}.
template <std::size_t N>
bool read_unit_variant(json::Reader& r, const std::string_view (&names)[N], int& out) {
    int c = r.peek_ws();
    if (c == '"') {
        std::string_view name;
        r.bump();
        if (!r.parse_string(name)) return false;
        out = json::name_index(names, name);
        if (out < 0) return r.fail(json::unknown_variant(name, json::expected_names(names)));
        return true;
    }
    if (c == '{') {
        if (!r.enter()) return false;
        bool first = true;
        std::string_view name;
        int k = r.next_key(first, name);
        bool ok = k > 0;
        if (k == 0) r.fail_peek("expected value");
        if (ok) {
            out = json::name_index(names, name);
            if (out < 0) ok = r.fail(json::unknown_variant(name, json::expected_names(names)));
        }
        ok = ok && r.colon() && r.read_unit_payload();
        r.leave();
        if (!ok) return false;
        return r.end_variant();
    }
    if (c < 0) return r.fail_peek("EOF while parsing a value");
    return r.fail_peek("expected value");
}

template <class E, std::size_t N>
bool read_opt_enum(json::Reader& r, const std::string_view (&names)[N], std::optional<E>& out) {
    return json::read_nullable(r, out, [&](json::Reader& in, E& e) {
        int index = 0;
        if (!read_unit_variant(in, names, index)) return false;
        e = static_cast<E>(index);
        return true;
    });
}

// The members of a record's object form: each declared key at most once, read by
// read_field(index); undeclared keys are skipped. Missing fields are the caller's test.
template <std::size_t N, class F>
bool read_members(json::Reader& r, const std::string_view (&names)[N], bool (&seen)[N], F&& read_field) {
    bool first = true;
    std::string_view key;
    for (;;) {
        int k = r.next_key(first, key);
        if (k < 0) return false;
        if (k == 0) return true;
        int i = json::name_index(names, key);
        if (i < 0) {
            if (!r.colon() || !r.skip_value()) return false;
            continue;
        }
        if (seen[i]) return r.fail_unpositioned(json::duplicate_field(names[i]));
        seen[i] = true;
        if (!r.colon() || !read_field(i)) return false;
    }
}

bool not_a_record(json::Reader& r, int c, std::string_view expected) {
    if (c < 0) return r.fail_peek("EOF while parsing a value");
    return r.fail_invalid_type_here(expected);
}

bool read_methods(json::Reader& r, std::pair<String, String>& out) {
    int c = r.peek_ws();
    if (c != '[') return not_a_record(r, c, "an array of length 2");
    return r.in_array([&] {
        bool first = true;
        int e = r.next_element(first);
        if (e < 0) return false;
        if (e == 0) return r.fail_unpositioned(json::invalid_length(0, "an array of length 2"));
        if (!r.read_string(out.first)) return false;
        e = r.next_element(first);
        if (e < 0) return false;
        if (e == 0) return r.fail_unpositioned(json::invalid_length(1, "an array of length 2"));
        return r.read_string(out.second);
    });
}

bool read_selection(json::Reader& r, BindingSelection& out) {
    int c = r.peek_ws();
    String* fields[] = {&out.tag, &out.value, &out.selected};
    constexpr std::string_view names[] = {"tag", "value", "selected"};
    if (c == '{') return r.in_object([&] {
        bool seen[3] = {};
        if (!read_members(r, names, seen, [&](int i) { return r.read_string(*fields[i]); })) return false;
        for (int i = 0; i < 3; ++i)
            if (!seen[i]) return r.fail_unpositioned(json::missing_field(names[i]));
        return true;
    });
    if (c == '[') return r.in_array([&] {
        bool first = true;
        for (std::size_t i = 0; i < 3; ++i) {
            int e = r.next_element(first);
            if (e < 0) return false;
            if (e == 0) return r.fail_unpositioned(json::invalid_length(i, "struct BindingSelection with 3 elements"));
            if (!r.read_string(*fields[i])) return false;
        }
        return true;
    });
    return not_a_record(r, c, "struct BindingSelection");
}

bool read_options_field(json::Reader& r, int i, BindingOptions& out) {
    switch (i) {
        case option("value"): return r.read_string(out.value);
        case option("label"): return r.read_string(out.label);
        case option("disabled"): return json::read_optional_string(r, out.disabled);
        case option("codec"): return read_opt_enum(r, kCodecNames, out.codec);
        case option("encode"): return read_opt_enum(r, kEncodeNames, out.encode);
    }
    return false;  // not reached: every name in kOptionNames has its case
}

bool read_options(json::Reader& r, BindingOptions& out) {
    int c = r.peek_ws();
    if (c == '{') return r.in_object([&] {
        bool seen[std::size(kOptionNames)] = {};
        if (!read_members(r, kOptionNames, seen, [&](int i) { return read_options_field(r, i, out); })) return false;
        if (!seen[option("value")]) return r.fail_unpositioned(json::missing_field("value"));
        if (!seen[option("label")]) return r.fail_unpositioned(json::missing_field("label"));
        return true;
    });
    if (c == '[') return r.in_array([&] {
        bool first = true;
        for (int i = 0; i < static_cast<int>(std::size(kOptionNames)); ++i) {
            int e = r.next_element(first);
            if (e < 0) return false;
            if (e == 0) {
                if (i <= option("label")) return r.fail_unpositioned(json::invalid_length(i, "struct BindingOptions with 5 elements"));
                return true;
            }
            if (!read_options_field(r, i, out)) return false;
        }
        return true;
    });
    return not_a_record(r, c, "struct BindingOptions");
}

bool read_binding_field(json::Reader& r, int i, Binding& b) {
    switch (i) {
        case field("field"): return json::read_optional_string(r, b.field);
        case field("compute"): return json::read_nullable(r, b.compute, [](json::Reader& in, json::JsonValue& v) {
            return in.parse_value(v);
        });
        case field("mode"): {
            int mode = 0;
            if (!read_unit_variant(r, kModeNames, mode)) return false;
            b.mode = static_cast<BindMode>(mode);
            return true;
        }
        case field("event"): return json::read_optional_string(r, b.event);
        case field("methods"): return json::read_nullable(r, b.methods, read_methods);
        case field("state"): return json::read_optional_string(r, b.state);
        case field("defer"): return json::read_nullable(r, b.defer, [](json::Reader& in, bool& v) { return in.read_bool(v); });
        case field("codec"): return read_opt_enum(r, kCodecNames, b.codec);
        case field("encode"): return read_opt_enum(r, kEncodeNames, b.encode);
        case field("scale"): return json::read_nullable(r, b.scale, [](json::Reader& in, double& v) { return in.read_f64(v, "f64"); });
        case field("selection"): return json::read_nullable(r, b.selection, read_selection);
        case field("options"): return json::read_nullable(r, b.options, read_options);
    }
    return false;  // not reached: every name in kFieldNames has its case
}

void write_codec(json::Writer& w, BindingCodec c) { w.string(kCodecNames[static_cast<int>(c)]); }

}  // namespace

bool read_binding(json::Reader& r, Binding& out) {
    int c = r.peek_ws();
    if (c == '{') return r.in_object([&] {
        bool seen[std::size(kFieldNames)] = {};
        if (!read_members(r, kFieldNames, seen, [&](int i) { return read_binding_field(r, i, out); })) return false;
        if (!seen[field("mode")]) return r.fail_unpositioned(json::missing_field("mode"));
        return true;
    });
    if (c == '[') return r.in_array([&] {
        bool first = true;
        for (int i = 0; i < static_cast<int>(std::size(kFieldNames)); ++i) {
            int e = r.next_element(first);
            if (e < 0) return false;
            if (e == 0) {
                // field and compute default when missing, so the first missing required element is always mode.
                if (i <= field("mode"))
                    return r.fail_unpositioned(json::invalid_length(field("mode"), "struct Binding with 12 elements"));
                return true;
            }
            if (!read_binding_field(r, i, out)) return false;
        }
        return true;
    });
    return not_a_record(r, c, "struct Binding");
}

void write_binding(json::Writer& w, const Binding& b) {
    bool first = true;
    auto key = [&](std::string_view k) {
        if (!first) w.raw(',');
        first = false;
        w.key(k);
    };
    auto text = [&](std::string_view k, const std::optional<String>& v) {
        if (!v) return;
        key(k);
        w.string(*v);
    };
    w.raw('{');
    text("field", b.field);
    if (b.compute) {
        key("compute");
        json::write_value(w, *b.compute);
    }
    key("mode");
    w.string(kModeNames[static_cast<int>(b.mode)]);
    text("event", b.event);
    if (b.methods) {
        key("methods");
        w.raw('[');
        w.string(b.methods->first);
        w.raw(',');
        w.string(b.methods->second);
        w.raw(']');
    }
    text("state", b.state);
    if (b.defer) {
        key("defer");
        w.boolean(*b.defer);
    }
    if (b.codec) {
        key("codec");
        write_codec(w, *b.codec);
    }
    if (b.encode) {
        key("encode");
        w.string(kEncodeNames[0]);
    }
    if (b.scale) {
        key("scale");
        w.f64(*b.scale);
    }
    if (b.selection) {
        key("selection");
        w.raw("{\"tag\":");
        w.string(b.selection->tag);
        w.raw(",\"value\":");
        w.string(b.selection->value);
        w.raw(",\"selected\":");
        w.string(b.selection->selected);
        w.raw('}');
    }
    if (b.options) {
        const BindingOptions& o = *b.options;
        key("options");
        w.raw("{\"value\":");
        w.string(o.value);
        w.raw(",\"label\":");
        w.string(o.label);
        if (o.disabled) {
            w.raw(",\"disabled\":");
            w.string(*o.disabled);
        }
        if (o.codec) {
            w.raw(",\"codec\":");
            write_codec(w, *o.codec);
        }
        if (o.encode) w.raw(",\"encode\":\"string\"");
        w.raw('}');
    }
    w.raw('}');
}

bool operator==(const BindingSelection& a, const BindingSelection& b) {
    return a.tag == b.tag && a.value == b.value && a.selected == b.selected;
}

bool operator==(const BindingOptions& a, const BindingOptions& b) {
    return a.value == b.value && a.label == b.label && a.disabled == b.disabled && a.codec == b.codec &&
           a.encode == b.encode;
}

bool operator==(const Binding& a, const Binding& b) {
    return a.field == b.field && a.compute == b.compute && a.mode == b.mode && a.event == b.event &&
           a.methods == b.methods && a.state == b.state && a.defer == b.defer && a.codec == b.codec &&
           a.encode == b.encode && a.scale == b.scale && a.selection == b.selection && a.options == b.options;
}

Result<std::string> normalize_binding_json(std::string_view value) {
    return guarded([&]() -> Result<std::string> {
        Binding b;
        json::Reader r(value);
        if (!read_binding(r, b) || !r.end_of_text()) return fail(r.error().text());
        if (b.field.has_value() == b.compute.has_value()) return fail("binding requires exactly one of field or compute");
        if (b.compute && b.mode != BindMode::OneWay) return fail("computed bindings must use one-way mode");
        if (b.codec == BindingCodec::Json && b.encode) return fail("binding encode cannot be combined with the json codec");
        if (b.compute) {
            action::Expr expr;
            std::string message = action::expr_from_json_value(*b.compute, expr);
            if (!message.empty()) return fail("invalid binding compute expression: " + message);
        }
        json::Writer w;
        write_binding(w, b);
        return std::move(w.out);
    });
}

}  // namespace vorlan::node
