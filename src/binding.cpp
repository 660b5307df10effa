#include "binding.hpp"

#include <cstdint>
#include <iterator>
#include <string_view>

#include "action.hpp"
#include "json/collections.hpp"
#include "json/record.hpp"
#include "operations.hpp"

namespace vorlan::node {
namespace {

constexpr std::string_view kModeNames[] = {"one-way", "two-way"};
constexpr std::string_view kCodecNames[] = {"number", "json"};
constexpr std::string_view kEncodeNames[] = {"string"};

constexpr auto kDefault = json::Presence::Default;

constexpr auto kBinding = json::record("struct Binding", {{"field", kDefault},
                                                          {"compute", kDefault},
                                                          {"mode"},
                                                          {"event", kDefault},
                                                          {"methods", kDefault},
                                                          {"state", kDefault},
                                                          {"defer", kDefault},
                                                          {"codec", kDefault},
                                                          {"encode", kDefault},
                                                          {"scale", kDefault},
                                                          {"selection", kDefault},
                                                          {"options", kDefault}});
constexpr auto kOptions = json::record(
    "struct BindingOptions",
    {{"value"}, {"label"}, {"disabled", kDefault}, {"codec", kDefault}, {"encode", kDefault}});
constexpr auto kSelection = json::record("struct BindingSelection", {{"tag"}, {"value"}, {"selected"}});
// The open and close methods: an array of two texts only.
constexpr auto kMethods = json::record("", {{"open"}, {"close"}}, json::Undeclared::Skip, json::Form::Tuple);

// A field's index in its table, named.
consteval int field(std::string_view name) { return kBinding.slot(name); }
consteval int option(std::string_view name) { return kOptions.slot(name); }

template <class E, std::size_t N>
bool read_opt_enum(json::Reader& r, const std::string_view (&names)[N], std::optional<E>& out) {
    return json::read_nullable(r, out, [&](json::Reader& in, E& e) {
        int index = 0;
        if (!json::read_unit_variant(in, names, index)) return false;
        e = static_cast<E>(index);
        return true;
    });
}

bool read_methods(json::Reader& r, std::pair<String, String>& out) {
    return json::read_record(r, kMethods, [&](int i) { return r.read_string(i == 0 ? out.first : out.second); });
}

String BindingSelection::*const kSelectionMembers[] = {&BindingSelection::tag, &BindingSelection::value,
                                                       &BindingSelection::selected};

bool read_selection(json::Reader& r, BindingSelection& out) {
    return json::read_record(r, kSelection, [&](int i) { return r.read_string(out.*kSelectionMembers[i]); });
}

bool read_options_field(json::Reader& r, int i, BindingOptions& out) {
    switch (i) {
        case option("value"): return r.read_string(out.value);
        case option("label"): return r.read_string(out.label);
        case option("disabled"): return json::read_optional_string(r, out.disabled);
        case option("codec"): return read_opt_enum(r, kCodecNames, out.codec);
        case option("encode"): return read_opt_enum(r, kEncodeNames, out.encode);
    }
    return false;  // not reached: every field of kOptions has its case
}

bool read_options(json::Reader& r, BindingOptions& out) {
    return json::read_record(r, kOptions, [&](int i) { return read_options_field(r, i, out); });
}

bool read_binding_field(json::Reader& r, int i, Binding& b) {
    switch (i) {
        case field("field"): return json::read_optional_string(r, b.field);
        case field("compute"): return json::read_nullable(r, b.compute, [](json::Reader& in, json::JsonValue& v) {
            return in.parse_value(v);
        });
        case field("mode"): {
            int mode = 0;
            if (!json::read_unit_variant(r, kModeNames, mode)) return false;
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
    return false;  // not reached: every field of kBinding has its case
}

template <class E, std::size_t N>
void write_enum(json::Writer& w, const std::string_view (&names)[N], E e) {
    w.string(names[static_cast<int>(e)]);
}

void write_selection(json::Writer& w, const BindingSelection& s) {
    w.raw('{');
    json::write_members(
        w, kSelection, false, [](int) { return false; }, [&](int i) { w.string(s.*kSelectionMembers[i]); });
    w.raw('}');
}

void write_options(json::Writer& w, const BindingOptions& o) {
    w.raw('{');
    json::write_members(
        w, kOptions, false,
        [&](int i) {
            switch (i) {
                case option("disabled"): return !o.disabled;
                case option("codec"): return !o.codec;
                case option("encode"): return !o.encode;
            }
            return false;
        },
        [&](int i) {
            switch (i) {
                case option("value"): return w.string(o.value);
                case option("label"): return w.string(o.label);
                case option("disabled"): return w.string(*o.disabled);
                case option("codec"): return write_enum(w, kCodecNames, *o.codec);
                case option("encode"): return write_enum(w, kEncodeNames, *o.encode);
            }
        });
    w.raw('}');
}

}  // namespace

bool read_binding(json::Reader& r, Binding& out) {
    return json::read_record(r, kBinding, [&](int i) { return read_binding_field(r, i, out); });
}

void write_binding(json::Writer& w, const Binding& b) {
    w.raw('{');
    json::write_members(
        w, kBinding, false,
        [&](int i) {
            switch (i) {
                case field("field"): return !b.field;
                case field("compute"): return !b.compute;
                case field("event"): return !b.event;
                case field("methods"): return !b.methods;
                case field("state"): return !b.state;
                case field("defer"): return !b.defer;
                case field("codec"): return !b.codec;
                case field("encode"): return !b.encode;
                case field("scale"): return !b.scale;
                case field("selection"): return !b.selection;
                case field("options"): return !b.options;
            }
            return false;
        },
        [&](int i) {
            switch (i) {
                case field("field"): return w.string(*b.field);
                case field("compute"): return json::write_value(w, *b.compute);
                case field("mode"): return write_enum(w, kModeNames, b.mode);
                case field("event"): return w.string(*b.event);
                case field("methods"):
                    w.raw('[');
                    w.string(b.methods->first);
                    w.raw(',');
                    w.string(b.methods->second);
                    return w.raw(']');
                case field("state"): return w.string(*b.state);
                case field("defer"): return w.boolean(*b.defer);
                case field("codec"): return write_enum(w, kCodecNames, *b.codec);
                case field("encode"): return write_enum(w, kEncodeNames, *b.encode);
                case field("scale"): return w.f64(*b.scale);
                case field("selection"): return write_selection(w, *b.selection);
                case field("options"): return write_options(w, *b.options);
            }
        });
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
    return in_arena([&]() -> Result<std::string> {
        Binding b;
        json::Reader r(value);
        if (!read_binding(r, b) || !r.end_of_text()) return fail(r.error().text());
        if (b.field.has_value() == b.compute.has_value()) return fail("binding requires exactly one of field or compute");
        if (b.compute && b.mode != BindMode::OneWay) return fail("computed bindings must use one-way mode");
        if (b.codec == BindingCodec::Json && b.encode) return fail("binding encode cannot be combined with the json codec");
        if (b.compute) {
            if (std::optional<std::string> error = action::expr_json_value_error(*b.compute))
                return fail("invalid binding compute expression: " + *error);
        }
        json::Writer w;
        write_binding(w, b);
        return std::move(w.out);
    });
}

}  // namespace vorlan::node
