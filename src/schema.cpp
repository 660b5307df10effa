#include "schema.hpp"

#include <algorithm>

#include "operations.hpp"

namespace vorlan::schema {

namespace {

using json::JsonMember;
using json::JsonObject;
using json::JsonValue;

JsonValue text_value(std::string_view s) { return JsonValue(String(s)); }

JsonValue texts_value(const std::vector<std::string>& names) {
    json::JsonArray a;
    a.reserve(names.size());
    for (const auto& n : names) a.push_back(text_value(n));
    return JsonValue(std::move(a));
}

JsonValue schemas_value(const std::vector<Schema>& list, Order order) {
    json::JsonArray a;
    a.reserve(list.size());
    for (const auto& s : list) a.push_back(to_value(s, order));
    return JsonValue(std::move(a));
}

JsonValue named_value(const NamedSchemas& named, Order order) {
    JsonObject o;
    o.reserve(named.size());
    for (const auto& [name, s] : named) o.push_back(JsonMember{String(name), to_value(s, order)});
    json::sort_members(o);
    return JsonValue(std::move(o));
}

void add(JsonObject& o, std::string_view key, JsonValue v) { o.push_back(JsonMember{String(key), std::move(v)}); }

bool only_ref(const Schema& s) {
    return s.schema_uri.empty() && s.title.empty() && s.description.empty() && !s.default_null && s.type.empty() &&
           s.format.empty() && s.enum_values.empty() && !s.const_value && s.all_of.empty() && s.any_of.empty() &&
           s.one_of.empty() && !s.not_schema && !s.items && !s.max_items && !s.min_items && s.required.empty() &&
           s.properties.empty() && s.additional == Additional::Unset && s.definitions.empty();
}

}  // namespace

JsonValue to_value(const Schema& s, Order order) {
    if (s.accept_all) return JsonValue(true);
    if (!s.ref.empty() && !only_ref(s)) {
        // "$ref" never stands beside another keyword: it moves to the end of "allOf".
        Schema moved = s;
        Schema target;
        target.ref = std::move(moved.ref);
        moved.ref.clear();
        moved.all_of.push_back(std::move(target));
        return to_value(moved, order);
    }
    JsonObject o;
    if (!s.schema_uri.empty()) add(o, "$schema", text_value(s.schema_uri));
    if (!s.title.empty()) add(o, "title", text_value(s.title));
    if (!s.description.empty()) add(o, "description", text_value(s.description));
    if (s.default_null) add(o, "default", JsonValue());
    if (s.type.size() == 1) add(o, "type", text_value(s.type.front()));
    else if (!s.type.empty()) add(o, "type", texts_value(s.type));
    if (!s.format.empty()) add(o, "format", text_value(s.format));
    if (!s.enum_values.empty()) add(o, "enum", texts_value(s.enum_values));
    if (s.const_value) add(o, "const", text_value(*s.const_value));
    if (!s.all_of.empty()) add(o, "allOf", schemas_value(s.all_of, order));
    if (!s.any_of.empty()) add(o, "anyOf", schemas_value(s.any_of, order));
    if (!s.one_of.empty()) add(o, "oneOf", schemas_value(s.one_of, order));
    if (s.not_schema) add(o, "not", to_value(**s.not_schema, order));
    if (s.items) add(o, "items", to_value(**s.items, order));
    if (s.max_items) add(o, "maxItems", JsonValue(*s.max_items));
    if (s.min_items) add(o, "minItems", JsonValue(*s.min_items));
    if (!s.required.empty()) {
        std::vector<std::string> sorted = s.required;
        std::sort(sorted.begin(), sorted.end());
        add(o, "required", texts_value(sorted));
    }
    if (!s.properties.empty()) add(o, "properties", named_value(s.properties, order));
    if (s.additional == Additional::Forbidden) add(o, "additionalProperties", JsonValue(false));
    if (s.additional == Additional::Schema && s.additional_properties)
        add(o, "additionalProperties", to_value(**s.additional_properties, order));
    if (!s.ref.empty()) add(o, "$ref", text_value("#/definitions/" + s.ref));
    if (!s.definitions.empty()) add(o, "definitions", named_value(s.definitions, order));
    if (order == Order::Sorted) json::sort_members(o);
    return JsonValue(std::move(o));
}

void collect_refs(const Schema& s, std::vector<std::string>& names) {
    if (!s.ref.empty() && std::find(names.begin(), names.end(), s.ref) == names.end()) names.push_back(s.ref);
    for (const auto& c : s.all_of) collect_refs(c, names);
    for (const auto& c : s.any_of) collect_refs(c, names);
    for (const auto& c : s.one_of) collect_refs(c, names);
    if (s.not_schema) collect_refs(**s.not_schema, names);
    if (s.items) collect_refs(**s.items, names);
    for (const auto& [name, c] : s.properties) collect_refs(c, names);
    if (s.additional_properties) collect_refs(**s.additional_properties, names);
}

Schema of_type(std::string_view name) {
    Schema s;
    s.type.emplace_back(name);
    return s;
}
Schema text() { return of_type("string"); }
Schema boolean() { return of_type("boolean"); }
Schema any_json() {
    Schema s;
    s.accept_all = true;
    return s;
}
Schema double_number() {
    Schema s = of_type("number");
    s.format = "double";
    return s;
}
Schema ref(std::string_view type_name) {
    Schema s;
    s.ref = type_name;
    return s;
}
Schema list_of(Schema item) {
    Schema s = of_type("array");
    s.items = Box<Schema>(std::move(item));
    return s;
}
Schema pair_of_texts() {
    Schema s = list_of(text());
    s.max_items = 2;
    s.min_items = 2;
    return s;
}
Schema map_of(Schema value) {
    Schema s = of_type("object");
    s.additional = Additional::Schema;
    s.additional_properties = Box<Schema>(std::move(value));
    return s;
}
Schema nullable(Schema inner) {
    if (!inner.type.empty()) {
        inner.type.emplace_back("null");
        return inner;
    }
    Schema s;
    s.any_of.push_back(std::move(inner));
    s.any_of.push_back(of_type("null"));
    return s;
}
Schema string_enum(std::string_view description, std::vector<std::string> values) {
    Schema s = of_type("string");
    s.description = description;
    s.enum_values = std::move(values);
    return s;
}

namespace {

constexpr std::string_view kDraft07 = "http://json-schema.org/draft-07/schema#";

// ---- records and unions -------------------------------------------------

enum class Presence : std::uint8_t {
    Required,
    Optional,        // left out when absent
    NullWhenAbsent,  // written as null when absent: "default": null
    Defaulted,       // a list that may be left out, empty by default
};

struct Field {
    std::string_view key;
    Presence presence;
    Schema schema;
    std::string_view description = {};
};

Schema property(const Field& f) {
    Schema s = f.schema;
    if (f.presence == Presence::Optional || f.presence == Presence::NullWhenAbsent) s = nullable(std::move(s));
    if (f.presence == Presence::NullWhenAbsent) s.default_null = true;
    if (!f.description.empty()) s.description = f.description;
    return s;
}

Schema record(std::string_view description, const std::vector<Field>& fields, bool closed = false) {
    Schema s = of_type("object");
    s.description = description;
    for (const auto& f : fields) {
        if (f.presence == Presence::Required) s.required.emplace_back(f.key);
        s.properties.emplace_back(std::string(f.key), property(f));
    }
    if (closed) s.additional = Additional::Forbidden;
    return s;
}

struct Variant {
    std::string_view tag;
    std::string_view description;
    std::vector<Field> fields;
};

// A union whose tag stands inside the object: one variant object per variant,
// the tag a required string member that admits only the variant's tag.
Schema tagged_union(std::string_view description, std::string_view tag_key, const std::vector<Variant>& variants) {
    Schema s;
    s.description = description;
    for (const auto& v : variants) {
        std::vector<Field> fields;
        fields.reserve(v.fields.size() + 1);
        fields.push_back(Field{tag_key, Presence::Required, string_enum({}, {std::string(v.tag)})});
        fields.insert(fields.end(), v.fields.begin(), v.fields.end());
        s.one_of.push_back(record(v.description, fields));
    }
    return s;
}

constexpr Presence Req = Presence::Required;
constexpr Presence Opt = Presence::Optional;
constexpr Presence Null = Presence::NullWhenAbsent;
constexpr Presence Def = Presence::Defaulted;

// ---- the named types ----------------------------------------------------

Schema expr_schema() {
    const Schema expr = ref("Expr");
    const Schema exprs = list_of(expr);
    return tagged_union(
        "A value computed in the browser at event time.", "expr",
        {
            {"lit", "A literal (plain JSON) value.", {{"value", Req, any_json()}}},
            {"event",
             "The triggering event's value — a control's `checked` (bool), else `value`, else `detail`. A dot `path` "
             "walks into the value (e.g. `label` from a rich CustomEvent detail).",
             {{"path", Opt, text()}}},
            {"event-prop",
             "A dot `path` read from the raw DOM event object itself (not the smart-default value) — e.g. `clientX` "
             "for pointer position, or `shiftKey` for modifiers.",
             {{"path", Req, text()}}},
            {"call",
             "The value returned by calling a **synchronous** `method` on `target` with evaluated `args` — e.g. a "
             "layout's `save()` for persistence, or `calculatePath(name)` as a condition. Async methods belong in the "
             "`invoke` *action*; an expression must produce a value now.",
             {{"target", Req, ref("Ref")}, {"method", Req, text()}, {"args", Def, exprs}}},
            {"event-closest",
             "A dot `path` read from the closest ancestor of the event target matching a CSS `selector` "
             "(`event.target.closest(selector)`) — e.g. `dataset.nodeId` off the `[data-node-id]` group a click "
             "landed in. An empty `path` returns the matched element itself.",
             {{"selector", Req, text()}, {"path", Req, text()}}},
            {"not", "Boolean negation of an expression.", {{"of", Req, expr}}},
            {"prop",
             "The current value of a `name` prop on `target` (reads live element state).",
             {{"target", Req, ref("Ref")}, {"name", Req, text()}}},
            {"field",
             "The current value of a reactive state `field` from the signal store the tree was mounted with — e.g. "
             "compose `CallEndpoint`'s body from a form's two-way-bound fields. (Also a binding expr.)",
             {{"name", Req, text()}}},
            {"item",
             "A value at `path` in the innermost keyed-repeater item. Empty path returns the whole item.",
             {{"path", Req, text()}}},
            {"scope",
             "A value at `path` in the nearest current/ancestor repeater scope named `name`.",
             {{"name", Req, text()}, {"path", Req, text()}}},
            {"eq", "Strict equality of two expressions.", {{"a", Req, expr}, {"b", Req, expr}}},
            {"all", "True when every expression is truthy.", {{"of", Req, exprs}}},
            {"any", "True when any expression is truthy.", {{"of", Req, exprs}}},
            {"cond",
             "Choose `then` when `test` is truthy, otherwise `otherwise`.",
             {{"test", Req, expr}, {"then", Req, expr}, {"else", Req, expr}}},
            {"obj",
             "Compose a JSON object from named sub-expressions — e.g. a whole model as a `CallEndpoint` body: "
             "`{\"expr\":\"obj\",\"fields\":{\"symbol\":{\"expr\":\"prop\",\"target\":{\"ref\":\"id\",\"id\":"
             "\"sym\"},\"name\":\"value\"}}}`.",
             {{"fields", Req, map_of(expr)}}},
            {"concat",
             "Concatenate evaluated values as strings — primarily for state-derived endpoint URLs.",
             {{"parts", Req, exprs}}},
            {"arr",
             "Compose a JSON array from element sub-expressions — the list-building counterpart of `Obj`, e.g. "
             "wrapping a dynamic value in a one-element list: `{\"expr\":\"arr\",\"of\":[{\"expr\":\"event\"}]}`.",
             {{"of", Req, exprs}}},
        });
}

Schema ref_schema() {
    return tagged_union("A reference to a DOM element an action targets.", "ref",
                        {
                            {"this", "The element the event fired on (the listener's element).", {}},
                            {"id", "The element with this `id` within the mounted tree.", {{"id", Req, text()}}},
                        });
}

Schema action_schema() {
    const Schema expr = ref("Expr");
    const Schema target = ref("Ref");
    return tagged_union(
        "A declarative event handler, interpreted in the browser.", "kind",
        {
            {"set",
             "Set `prop` on `target` to `value`.",
             {{"target", Req, target}, {"prop", Req, text()}, {"value", Req, expr}}},
            {"toggle",
             "Flip a boolean `prop` on `target` (e.g. `hidden`, `checked`, `open`).",
             {{"target", Req, target}, {"prop", Req, text()}}},
            {"set-field",
             "Write `value` to a reactive state `field` in the signal store the tree was mounted with — the "
             "store-writing counterpart of the `field` expr, so a plain control can drive state.",
             {{"field", Req, text()}, {"value", Req, expr}}},
            {"toggle-field",
             "Flip a boolean state `field` in the signal store (e.g. a `dark` theme flag).",
             {{"field", Req, text()}}},
            {"seq", "Run several actions in order.", {{"actions", Req, list_of(ref("Action"))}}},
            {"emit",
             "Dispatch a (bubbling) custom event named `event` with an optional `detail`.",
             {{"event", Req, text()}, {"detail", Null, expr}}},
            {"patch",
             "Set `field` to `value` on a host-routed model (e.g. a drovane model named `model`). The interpreter "
             "surfaces this as a patch intent; the app routes it to the actual wire.",
             {{"model", Req, text()}, {"field", Req, text()}, {"value", Req, expr}}},
            {"if",
             "Run `then` if `cond` is truthy, else `els` (if present).",
             {{"cond", Req, expr}, {"then", Req, ref("Action")}, {"else", Null, ref("Action")}}},
            {"call",
             "A REST round-trip: `method` `url` with an optional JSON `body`. The one intentional server call (the "
             "interpreter performs it via the host's `fetch`). With `result`, the host writes the response as "
             "`{status, ok, body}` to that signal-store field on completion, so the outcome can drive reactive UI "
             "(e.g. show a 422 validation error) — otherwise fire-and-forget.",
             {{"method", Req, text()},
              {"url", Req, ref("EndpointUrl")},
              {"body", Null, expr},
              {"result", Null, text()},
              {"request", Opt, ref("RequestOptions")}}},
            {"invoke",
             "Call `method` on `target` with evaluated `args`, discarding the result. An async method's promise is "
             "fire-and-forget (a rejection is logged, not thrown). Methods are part of a component's declared "
             "surface — this stays \"behavior as data\": the method name rides the wire, nothing is eval'd.",
             {{"target", Req, target},
              {"method", Req, text()},
              {"args", Def, list_of(expr)},
              {"result", Opt, text(),
               "With `result`, the interpreter awaits an async method and writes the resolved value to this "
               "signal-store field — and a `Sequence` waits for it before its next step, so \"save, then persist "
               "what was saved\" is expressible as data."}}},
            {"set-storage",
             "Persist an evaluated value under `key` in the browser's localStorage — strings verbatim, other values "
             "JSON-encoded — e.g. saving a layout so a reload restores it.",
             {{"key", Req, text()}, {"value", Req, expr}}},
            {"download",
             "Offer an evaluated value to the user as a file download named `filename` (an expression, so the name "
             "can be computed). A string value downloads verbatim; anything else is JSON-encoded. `content_type` "
             "defaults to application/json.",
             {{"filename", Req, expr}, {"value", Req, expr}, {"contentType", Opt, text()}}},
            {"refresh",
             "Re-fetch the mounted tree (its bootstrap URL, or an explicit `url`) and diff it into the live DOM — "
             "\"server state changed, re-render\" without a live wire. Awaited, so a `seq` like `CallEndpoint(...)` "
             "then `Refresh` re-renders only after the mutation landed.",
             {{"url", Opt, text()}}},
            {"js",
             "The escape hatch: invoke a pre-registered named JS handler (no arbitrary `eval`). For the rare "
             "irreducible case the declarative actions can't express.",
             {{"handler", Req, text()}}},
        });
}

Schema endpoint_url_schema() {
    Schema s;
    s.description = "A static endpoint URL or one evaluated from event/store state at action time.";
    s.any_of.push_back(text());
    s.any_of.push_back(ref("Expr"));
    return s;
}

Schema request_options_schema() {
    return record("An opt-in latest-request group scoped to a Store and disposed with its invoking element.",
                  {{"key", Req, text()}, {"pending", Opt, text()}, {"watch", Def, list_of(text())}},
                  /*closed=*/true);
}

Schema bind_mode_schema() {
    return string_enum(
        "How a reactive [`Binding`] flows: one-way (state field → prop) or two-way (also prop → field, for "
        "value-like controls whose change should write the field back).",
        {"one-way", "two-way"});
}

Schema binding_codec_schema() {
    return string_enum("Conversion applied where a bound value crosses the DOM property boundary.", {"number", "json"});
}

Schema binding_encode_schema() {
    return string_enum("Outbound-only conversion applied before a value reaches a DOM property.", {"string"});
}

Schema binding_selection_schema() {
    return record("Child option properties driven by a parent control's value binding.",
                  {{"tag", Req, text()}, {"value", Req, text()}, {"selected", Req, text()}});
}

Schema binding_options_schema() {
    return record("How a bound generic options list is shaped for a concrete control.",
                  {{"value", Req, text()},
                   {"label", Req, text()},
                   {"disabled", Opt, text()},
                   {"codec", Opt, ref("BindingCodec")},
                   {"encode", Opt, ref("BindingEncode")}});
}

Schema binding_schema() {
    return record(
        "A reactive binding of a prop to state. Either a `field` — the prop tracks that state field (and a two-way "
        "binding writes it back when the control changes) — or a `compute` expression *derived* from state fields "
        "(one-way; recomputed when any field it reads changes). The runtime's signal store drives both; the compute "
        "expression is an opaque field-expr the runtime evaluates (see signals.ts).",
        {
            {"field", Opt, text()},
            {"compute", Opt, ref("Expr")},
            {"mode", Req, ref("BindMode")},
            {"event", Opt, text(),
             "Two-way only: the DOM event on which the control's value is written back to the field, for a control "
             "whose change event is not `change`/`input` (a Lion control's `model-value-changed`). Absent, the "
             "runtime listens for its default events."},
            {"methods", Opt, pair_of_texts(),
             "Drive the prop by calling a method pair instead of assigning it: `[open, close]` — the first is called "
             "when the field turns truthy, the second when it turns falsy. For overlays that open through methods "
             "(`<dialog>`'s `showModal()`/`close()`, a popover's `showPopover()`); the prop itself is then what the "
             "runtime reads to know the current state."},
            {"state", Opt, text(),
             "Read state from this property, or dotted property path, when method-driven wrappers keep it somewhere "
             "other than the bound prop."},
            {"defer", Opt, boolean(),
             "Coalesce writes until the next animation frame, after connection and slot assignment."},
            {"codec", Opt, ref("BindingCodec"),
             "Encode values written to the DOM property and decode values read back from it."},
            {"encode", Opt, ref("BindingEncode"), "Convert only values sent to the DOM property."},
            {"scale", Opt, double_number(),
             "Multiply outbound numeric values by this factor and divide inbound values by it."},
            {"selection", Opt, ref("BindingSelection"),
             "Drive child option selection rather than assigning the parent value property."},
            {"options", Opt, ref("BindingOptions"),
             "Transform a bound generic options list to the concrete control's item field names."},
        });
}

struct NamedType {
    std::string_view name;
    Schema (*build)();
};

constexpr NamedType kNamedTypes[] = {
    {"Expr", expr_schema},
    {"Ref", ref_schema},
    {"Action", action_schema},
    {"EndpointUrl", endpoint_url_schema},
    {"RequestOptions", request_options_schema},
    {"Binding", binding_schema},
    {"BindMode", bind_mode_schema},
    {"BindingCodec", binding_codec_schema},
    {"BindingEncode", binding_encode_schema},
    {"BindingSelection", binding_selection_schema},
    {"BindingOptions", binding_options_schema},
};

const NamedType* find_type(std::string_view name) {
    for (const auto& t : kNamedTypes)
        if (t.name == name) return &t;
    return nullptr;
}

// The root type's schema with "$schema", "title" and a definition of every type
// reachable through references from it.
Result<Schema> document(std::string_view root_name) {
    const NamedType* root_type = find_type(root_name);
    if (!root_type) return fail("schema of an undefined type `" + std::string(root_name) + "`");
    Schema root = root_type->build();
    root.schema_uri = kDraft07;
    root.title = root_name;
    std::vector<std::string> names;
    collect_refs(root, names);
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string name = names[i];
        const NamedType* t = find_type(name);
        if (!t) return fail("schema reference to an undefined type `" + name + "`");
        Schema definition = t->build();
        collect_refs(definition, names);
        root.definitions.emplace_back(name, std::move(definition));
    }
    return root;
}

// Exactly one of "field" and "compute", and "compute" only in one-way mode.
std::vector<Schema> binding_alternatives() {
    auto requires_member = [](std::string_view key) {
        Schema s;
        s.required.emplace_back(key);
        return s;
    };
    Schema by_field = requires_member("field");
    by_field.not_schema = Box<Schema>(requires_member("compute"));
    Schema by_compute = requires_member("compute");
    by_compute.not_schema = Box<Schema>(requires_member("field"));
    Schema one_way;
    one_way.const_value = "one-way";
    by_compute.properties.emplace_back("mode", std::move(one_way));
    std::vector<Schema> alternatives;
    alternatives.push_back(std::move(by_field));
    alternatives.push_back(std::move(by_compute));
    return alternatives;
}

Result<std::string> written(const Result<Schema>& doc, Order order) {
    if (!doc.ok()) return doc.failure();
    return json::to_text(to_value(doc.value(), order));
}

}  // namespace

}  // namespace vorlan::schema

namespace vorlan::action {

Result<std::string> expr_schema_json() {
    return in_arena([]() -> Result<std::string> {
        return schema::written(schema::document("Expr"), schema::Order::Keywords);
    });
}

Result<std::string> action_schema_json() {
    return in_arena([]() -> Result<std::string> {
        return schema::written(schema::document("Action"), schema::Order::Keywords);
    });
}

}  // namespace vorlan::action

namespace vorlan::node {

Result<std::string> binding_schema_json() {
    return in_arena([]() -> Result<std::string> {
        Result<schema::Schema> doc = schema::document("Binding");
        if (doc.ok()) doc.value().one_of = schema::binding_alternatives();
        return schema::written(doc, schema::Order::Sorted);
    });
}

}  // namespace vorlan::node
