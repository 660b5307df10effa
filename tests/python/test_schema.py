import json

import jsonschema
import pytest

import vorlan

DRAFT07 = "http://json-schema.org/draft-07/schema#"
SCHEMA_FUNCTIONS = {
    "expr": vorlan.expr_schema,
    "action": vorlan.action_schema,
    "binding": vorlan.binding_schema,
}
NORMALIZERS = {
    "expr": vorlan.normalize_expr,
    "action": vorlan.normalize_action,
    "binding": vorlan.normalize_binding,
}


def compact(value):
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"))


@pytest.fixture(scope="module")
def text():
    return {name: fn() for name, fn in SCHEMA_FUNCTIONS.items()}


@pytest.fixture(scope="module")
def doc(text):
    return {name: json.loads(t) for name, t in text.items()}


def walk(value, path=()):
    """Every JSON object of a document with its path."""
    if isinstance(value, dict):
        yield path, value
        for k, v in value.items():
            yield from walk(v, path + (k,))
    elif isinstance(value, list):
        for i, v in enumerate(value):
            yield from walk(v, path + (i,))


def at(value, path):
    for step in path:
        value = value[step]
    return value


def variant(schema, tag_key, tag):
    for v in schema["oneOf"]:
        if v["properties"][tag_key]["enum"] == [tag]:
            return v
    raise KeyError(tag)


# ---- the documents as a whole ---------------------------------------------------------


@pytest.mark.parametrize("name", SCHEMA_FUNCTIONS)
def test_every_call_returns_the_same_text(name, text):
    assert SCHEMA_FUNCTIONS[name]() == text[name]


@pytest.mark.parametrize("name", SCHEMA_FUNCTIONS)
def test_written_compact_with_raw_utf8(name, text, doc):
    # Re-dumping keeps member order, so this checks compactness and the escaping rule.
    assert compact(doc[name]) == text[name]
    assert "\\u" not in text[name]
    assert "\u2014" in text[name]


@pytest.mark.parametrize("name", SCHEMA_FUNCTIONS)
def test_valid_draft07(name, doc):
    assert doc[name]["$schema"] == DRAFT07
    jsonschema.Draft7Validator.check_schema(doc[name])


@pytest.mark.parametrize(
    "name, root_keys, definitions",
    [
        ("expr", ["$schema", "title", "description", "oneOf", "definitions"], ["Expr", "Ref"]),
        (
            "action",
            ["$schema", "title", "description", "oneOf", "definitions"],
            ["Action", "EndpointUrl", "Expr", "Ref", "RequestOptions"],
        ),
        (
            "binding",
            ["$schema", "definitions", "description", "oneOf", "properties", "required", "title", "type"],
            ["BindMode", "BindingCodec", "BindingEncode", "BindingOptions", "BindingSelection", "Expr", "Ref"],
        ),
    ],
)
def test_root_members_and_definitions_in_order(name, root_keys, definitions, doc):
    assert list(doc[name]) == root_keys
    assert list(doc[name]["definitions"]) == definitions


@pytest.mark.parametrize(
    "name, title, root_type",
    [("expr", "Expr", "Expr"), ("action", "Action", "Action"), ("binding", "Binding", None)],
)
def test_self_referring_root_also_stands_in_definitions(name, title, root_type, doc):
    d = doc[name]
    assert d["title"] == title
    titles = [p for p, o in walk(d) if "title" in o]
    assert titles == [()]
    if root_type:
        body = {k: v for k, v in d.items() if k not in ("$schema", "title", "definitions")}
        assert compact(d["definitions"][root_type]) == compact(body)
    else:
        assert title not in d["definitions"]


@pytest.mark.parametrize("name", SCHEMA_FUNCTIONS)
def test_every_ref_stands_alone_and_no_allof(name, doc):
    for path, o in walk(doc[name]):
        assert "allOf" not in o, path
        if "$ref" in o:
            assert list(o) == ["$ref"], path
            assert o["$ref"].removeprefix("#/definitions/") in doc[name]["definitions"], path


@pytest.mark.parametrize(
    "name, places",
    [
        (
            "expr",
            [("oneOf", 14, "properties", "fields"), ("definitions", "Expr", "oneOf", 14, "properties", "fields")],
        ),
        (
            "action",
            [
                ("definitions", "Expr", "oneOf", 14, "properties", "fields"),
                ("definitions", "RequestOptions"),
            ],
        ),
        ("binding", [("definitions", "Expr", "oneOf", 14, "properties", "fields")]),
    ],
)
def test_additional_properties_only_where_declared(name, places, doc):
    found = [p for p, o in walk(doc[name]) if "additionalProperties" in o]
    assert sorted(found, key=str) == sorted(places, key=str)


# ---- exact texts --------------------------------------------------------------------------

NOT_KEYWORDS = (
    '{"description":"Boolean negation of an expression.","type":"object","required":["expr","of"],'
    '"properties":{"expr":{"type":"string","enum":["not"]},"of":{"$ref":"#/definitions/Expr"}}}'
)
REF_KEYWORDS = (
    '{"description":"A reference to a DOM element an action targets.","oneOf":['
    '{"description":"The element the event fired on (the listener\'s element).","type":"object",'
    '"required":["ref"],"properties":{"ref":{"type":"string","enum":["this"]}}},'
    '{"description":"The element with this `id` within the mounted tree.","type":"object",'
    '"required":["id","ref"],"properties":{"id":{"type":"string"},"ref":{"type":"string","enum":["id"]}}}]}'
)
NOT_SORTED = (
    '{"description":"Boolean negation of an expression.","properties":{"expr":{"enum":["not"],"type":"string"},'
    '"of":{"$ref":"#/definitions/Expr"}},"required":["expr","of"],"type":"object"}'
)
REF_SORTED = (
    '{"description":"A reference to a DOM element an action targets.","oneOf":['
    '{"description":"The element the event fired on (the listener\'s element).",'
    '"properties":{"ref":{"enum":["this"],"type":"string"}},"required":["ref"],"type":"object"},'
    '{"description":"The element with this `id` within the mounted tree.",'
    '"properties":{"id":{"type":"string"},"ref":{"enum":["id"],"type":"string"}},"required":["id","ref"],'
    '"type":"object"}]}'
)
EMIT = (
    '{"description":"Dispatch a (bubbling) custom event named `event` with an optional `detail`.","type":"object",'
    '"required":["event","kind"],"properties":{"detail":{"default":null,"anyOf":[{"$ref":"#/definitions/Expr"},'
    '{"type":"null"}]},"event":{"type":"string"},"kind":{"type":"string","enum":["emit"]}}}'
)
ENDPOINT_URL = (
    '{"description":"A static endpoint URL or one evaluated from event/store state at action time.",'
    '"anyOf":[{"type":"string"},{"$ref":"#/definitions/Expr"}]}'
)
REQUEST_OPTIONS = (
    '{"description":"An opt-in latest-request group scoped to a Store and disposed with its invoking element.",'
    '"type":"object","required":["key"],"properties":{"key":{"type":"string"},"pending":{"type":["string","null"]},'
    '"watch":{"type":"array","items":{"type":"string"}}},"additionalProperties":false}'
)
M1_EXPR = '{"default":null,"anyOf":[{"$ref":"#/definitions/Expr"},{"type":"null"}]}'
BINDING_ONE_OF = (
    '[{"not":{"required":["compute"]},"required":["field"]},'
    '{"not":{"required":["field"]},"properties":{"mode":{"const":"one-way"}},"required":["compute"]}]'
)

EXACT = [
    ("expr", ("definitions", "Expr", "oneOf", 5), NOT_KEYWORDS),
    ("expr", ("oneOf", 5), NOT_KEYWORDS),
    ("expr", ("definitions", "Ref"), REF_KEYWORDS),
    ("expr", ("oneOf", 0, "properties", "expr"), '{"type":"string","enum":["lit"]}'),
    ("expr", ("oneOf", 0, "properties", "value"), "true"),
    ("expr", ("oneOf", 1, "properties", "path"), '{"type":["string","null"]}'),
    ("expr", ("oneOf", 3, "properties", "args"), '{"type":"array","items":{"$ref":"#/definitions/Expr"}}'),
    ("expr", ("oneOf", 3, "properties", "target"), '{"$ref":"#/definitions/Ref"}'),
    (
        "expr",
        ("oneOf", 14, "properties", "fields"),
        '{"type":"object","additionalProperties":{"$ref":"#/definitions/Expr"}}',
    ),
    ("action", ("oneOf", 5), EMIT),
    ("action", ("definitions", "Action", "oneOf", 5), EMIT),
    ("action", ("definitions", "EndpointUrl"), ENDPOINT_URL),
    ("action", ("definitions", "RequestOptions"), REQUEST_OPTIONS),
    ("action", ("definitions", "Ref"), REF_KEYWORDS),
    ("action", ("definitions", "Expr", "oneOf", 5), NOT_KEYWORDS),
    ("action", ("oneOf", 7, "properties", "else"), M1_EXPR.replace("Expr", "Action")),
    ("action", ("oneOf", 8, "properties", "body"), M1_EXPR),
    ("action", ("oneOf", 8, "properties", "request"), '{"anyOf":[{"$ref":"#/definitions/RequestOptions"},{"type":"null"}]}'),
    ("action", ("oneOf", 8, "properties", "result"), '{"default":null,"type":["string","null"]}'),
    ("action", ("oneOf", 8, "properties", "url"), '{"$ref":"#/definitions/EndpointUrl"}'),
    (
        "action",
        ("oneOf", 9, "properties", "result"),
        '{"description":"With `result`, the interpreter awaits an async method and writes the resolved value to this '
        "signal-store field \u2014 and a `Sequence` waits for it before its next step, so \\\"save, then persist what "
        'was saved\\" is expressible as data.","type":["string","null"]}',
    ),
    ("action", ("oneOf", 4, "properties", "actions"), '{"type":"array","items":{"$ref":"#/definitions/Action"}}'),
    ("action", ("oneOf", 11, "properties", "contentType"), '{"type":["string","null"]}'),
    ("action", ("oneOf", 12, "properties", "url"), '{"type":["string","null"]}'),
    ("action", ("oneOf", 12, "required"), '["kind"]'),
    ("action", ("oneOf", 0, "required"), '["kind","prop","target","value"]'),
    ("binding", ("oneOf",), BINDING_ONE_OF),
    ("binding", ("required",), '["mode"]'),
    ("binding", ("type",), '"object"'),
    ("binding", ("definitions", "Ref"), REF_SORTED),
    ("binding", ("definitions", "Expr", "oneOf", 5), NOT_SORTED),
    ("binding", ("definitions", "Expr", "oneOf", 11, "properties", "of"), '{"items":{"$ref":"#/definitions/Expr"},"type":"array"}'),
    (
        "binding",
        ("definitions", "Expr", "oneOf", 14, "properties", "fields"),
        '{"additionalProperties":{"$ref":"#/definitions/Expr"},"type":"object"}',
    ),
    ("binding", ("properties", "mode"), '{"$ref":"#/definitions/BindMode"}'),
    ("binding", ("properties", "field"), '{"type":["string","null"]}'),
    ("binding", ("properties", "compute"), '{"anyOf":[{"$ref":"#/definitions/Expr"},{"type":"null"}]}'),
    (
        "binding",
        ("properties", "scale"),
        '{"description":"Multiply outbound numeric values by this factor and divide inbound values by it.",'
        '"format":"double","type":["number","null"]}',
    ),
    (
        "binding",
        ("properties", "codec"),
        '{"anyOf":[{"$ref":"#/definitions/BindingCodec"},{"type":"null"}],'
        '"description":"Encode values written to the DOM property and decode values read back from it."}',
    ),
    (
        "binding",
        ("properties", "defer"),
        '{"description":"Coalesce writes until the next animation frame, after connection and slot assignment.",'
        '"type":["boolean","null"]}',
    ),
    (
        "binding",
        ("definitions", "BindMode"),
        '{"description":"How a reactive [`Binding`] flows: one-way (state field \u2192 prop) or two-way (also prop '
        '\u2192 field, for value-like controls whose change should write the field back).",'
        '"enum":["one-way","two-way"],"type":"string"}',
    ),
    (
        "binding",
        ("definitions", "BindingCodec"),
        '{"description":"Conversion applied where a bound value crosses the DOM property boundary.",'
        '"enum":["number","json"],"type":"string"}',
    ),
    (
        "binding",
        ("definitions", "BindingEncode"),
        '{"description":"Outbound-only conversion applied before a value reaches a DOM property.",'
        '"enum":["string"],"type":"string"}',
    ),
    (
        "binding",
        ("definitions", "BindingOptions"),
        '{"description":"How a bound generic options list is shaped for a concrete control.","properties":'
        '{"codec":{"anyOf":[{"$ref":"#/definitions/BindingCodec"},{"type":"null"}]},'
        '"disabled":{"type":["string","null"]},'
        '"encode":{"anyOf":[{"$ref":"#/definitions/BindingEncode"},{"type":"null"}]},'
        '"label":{"type":"string"},"value":{"type":"string"}},"required":["label","value"],"type":"object"}',
    ),
    (
        "binding",
        ("definitions", "BindingSelection"),
        '{"description":"Child option properties driven by a parent control\'s value binding.","properties":'
        '{"selected":{"type":"string"},"tag":{"type":"string"},"value":{"type":"string"}},'
        '"required":["selected","tag","value"],"type":"object"}',
    ),
]


@pytest.mark.parametrize("name, path, expected", EXACT, ids=lambda v: "/".join(map(str, v)) if isinstance(v, tuple) else None)
def test_exact_text(name, path, expected, text, doc):
    assert compact(at(doc[name], path)) == expected
    assert expected in text[name]


def test_expr_and_ref_definitions_shared(doc):
    expr_defs = {k: compact(doc["expr"]["definitions"][k]) for k in ("Expr", "Ref")}
    for k, t in expr_defs.items():
        assert compact(doc["action"]["definitions"][k]) == t
        # Same members and values; only the member order differs in the binding schema.
        assert doc["binding"]["definitions"][k] == doc["expr"]["definitions"][k]
        assert compact(doc["binding"]["definitions"][k]) != t


def test_binding_schema_every_object_sorted(doc):
    for path, o in walk(doc["binding"]):
        assert list(o) == sorted(o), path
    # Arrays keep their order: "number" before "json", "one-way" before "two-way".
    assert doc["binding"]["definitions"]["BindingCodec"]["enum"] == ["number", "json"]


def test_binding_schema_methods_and_descriptions(doc):
    props = doc["binding"]["properties"]
    assert list(props) == [
        "codec", "compute", "defer", "encode", "event", "field",
        "methods", "mode", "options", "scale", "selection", "state",
    ]
    described = sorted(k for k, v in props.items() if "description" in v)
    assert described == sorted(set(props) - {"field", "compute", "mode"})
    assert compact(props["methods"]).endswith(
        '"items":{"type":"string"},"maxItems":2,"minItems":2,"type":["array","null"]}'
    )
    assert not any("default" in o for _, o in walk(doc["binding"]))
    assert "codec" not in compact(doc["binding"]["oneOf"]) and "encode" not in compact(doc["binding"]["oneOf"])


def test_expr_schema_has_no_defaults_or_field_descriptions(doc):
    for name in ("expr", "action", "binding"):
        expr = doc[name]["definitions"]["Expr"]
        assert not any("default" in o for _, o in walk(expr))
        for v in expr["oneOf"]:
            assert not any("description" in p for p in v["properties"].values() if isinstance(p, dict))


def test_action_defaults_and_field_description(doc, text):
    for copy in (doc["action"], doc["action"]["definitions"]["Action"]):
        defaults = [p for p, o in walk(copy["oneOf"]) if "default" in o]
        assert sorted(defaults) == sorted(
            [(5, "properties", "detail"), (7, "properties", "else"), (8, "properties", "body"), (8, "properties", "result")]
        )
        described = [
            (v["properties"]["kind"]["enum"][0], k)
            for v in copy["oneOf"]
            for k, p in v["properties"].items()
            if isinstance(p, dict) and "description" in p
        ]
        assert described == [("invoke", "result")]
        assert list(variant(copy, "kind", "invoke")["properties"]["result"]) == ["description", "type"]
        for v in copy["oneOf"]:
            assert "additionalProperties" not in v
            assert list(v) == ["description", "type", "required", "properties"]
    assert text["action"].count('"default":null') == 8
    assert doc["action"]["definitions"]["RequestOptions"]["additionalProperties"] is False


# ---- variant tables -------------------------------------------------------------------------

EXPR_VARIANTS = [
    ("lit", ["expr", "value"], ["expr", "value"]),
    ("event", ["expr"], ["expr", "path"]),
    ("event-prop", ["expr", "path"], ["expr", "path"]),
    ("call", ["expr", "method", "target"], ["args", "expr", "method", "target"]),
    ("event-closest", ["expr", "path", "selector"], ["expr", "path", "selector"]),
    ("not", ["expr", "of"], ["expr", "of"]),
    ("prop", ["expr", "name", "target"], ["expr", "name", "target"]),
    ("field", ["expr", "name"], ["expr", "name"]),
    ("item", ["expr", "path"], ["expr", "path"]),
    ("scope", ["expr", "name", "path"], ["expr", "name", "path"]),
    ("eq", ["a", "b", "expr"], ["a", "b", "expr"]),
    ("all", ["expr", "of"], ["expr", "of"]),
    ("any", ["expr", "of"], ["expr", "of"]),
    ("cond", ["else", "expr", "test", "then"], ["else", "expr", "test", "then"]),
    ("obj", ["expr", "fields"], ["expr", "fields"]),
    ("concat", ["expr", "parts"], ["expr", "parts"]),
    ("arr", ["expr", "of"], ["expr", "of"]),
]

ACTION_VARIANTS = [
    ("set", ["kind", "prop", "target", "value"], ["kind", "prop", "target", "value"]),
    ("toggle", ["kind", "prop", "target"], ["kind", "prop", "target"]),
    ("set-field", ["field", "kind", "value"], ["field", "kind", "value"]),
    ("toggle-field", ["field", "kind"], ["field", "kind"]),
    ("seq", ["actions", "kind"], ["actions", "kind"]),
    ("emit", ["event", "kind"], ["detail", "event", "kind"]),
    ("patch", ["field", "kind", "model", "value"], ["field", "kind", "model", "value"]),
    ("if", ["cond", "kind", "then"], ["cond", "else", "kind", "then"]),
    ("call", ["kind", "method", "url"], ["body", "kind", "method", "request", "result", "url"]),
    ("invoke", ["kind", "method", "target"], ["args", "kind", "method", "result", "target"]),
    ("set-storage", ["key", "kind", "value"], ["key", "kind", "value"]),
    ("download", ["filename", "kind", "value"], ["contentType", "filename", "kind", "value"]),
    ("refresh", ["kind"], ["kind", "url"]),
    ("js", ["handler", "kind"], ["handler", "kind"]),
]


@pytest.mark.parametrize(
    "name, tag_key, rows", [("expr", "expr", EXPR_VARIANTS), ("action", "kind", ACTION_VARIANTS)]
)
def test_variants_in_order_with_required_and_properties(name, tag_key, rows, doc):
    variants = doc[name]["oneOf"]
    assert [v["properties"][tag_key]["enum"] for v in variants] == [[t] for t, _, _ in rows]
    for v, (tag, required, properties) in zip(variants, rows):
        assert v["required"] == required, tag
        assert list(v["properties"]) == properties, tag


D = "\u2014"
EXPR_DESCRIPTIONS = [
    ("lit", "A literal (plain JSON) value."),
    ("event", f"The triggering event's value {D} a control's `checked` (bool), else `value`, else `detail`. A dot `path` walks into the value (e.g. `label` from a rich CustomEvent detail)."),
    ("event-prop", f"A dot `path` read from the raw DOM event object itself (not the smart-default value) {D} e.g. `clientX` for pointer position, or `shiftKey` for modifiers."),
    ("call", f"The value returned by calling a **synchronous** `method` on `target` with evaluated `args` {D} e.g. a layout's `save()` for persistence, or `calculatePath(name)` as a condition. Async methods belong in the `invoke` *action*; an expression must produce a value now."),
    ("event-closest", f"A dot `path` read from the closest ancestor of the event target matching a CSS `selector` (`event.target.closest(selector)`) {D} e.g. `dataset.nodeId` off the `[data-node-id]` group a click landed in. An empty `path` returns the matched element itself."),
    ("not", "Boolean negation of an expression."),
    ("prop", "The current value of a `name` prop on `target` (reads live element state)."),
    ("field", f"The current value of a reactive state `field` from the signal store the tree was mounted with {D} e.g. compose `CallEndpoint`'s body from a form's two-way-bound fields. (Also a binding expr.)"),
    ("item", "A value at `path` in the innermost keyed-repeater item. Empty path returns the whole item."),
    ("scope", "A value at `path` in the nearest current/ancestor repeater scope named `name`."),
    ("eq", "Strict equality of two expressions."),
    ("all", "True when every expression is truthy."),
    ("any", "True when any expression is truthy."),
    ("cond", "Choose `then` when `test` is truthy, otherwise `otherwise`."),
    ("obj", f'Compose a JSON object from named sub-expressions {D} e.g. a whole model as a `CallEndpoint` body: `{{"expr":"obj","fields":{{"symbol":{{"expr":"prop","target":{{"ref":"id","id":"sym"}},"name":"value"}}}}}}`.'),
    ("concat", f"Concatenate evaluated values as strings {D} primarily for state-derived endpoint URLs."),
    ("arr", f'Compose a JSON array from element sub-expressions {D} the list-building counterpart of `Obj`, e.g. wrapping a dynamic value in a one-element list: `{{"expr":"arr","of":[{{"expr":"event"}}]}}`.'),
]

ACTION_DESCRIPTIONS = [
    ("set", "Set `prop` on `target` to `value`."),
    ("toggle", "Flip a boolean `prop` on `target` (e.g. `hidden`, `checked`, `open`)."),
    ("set-field", f"Write `value` to a reactive state `field` in the signal store the tree was mounted with {D} the store-writing counterpart of the `field` expr, so a plain control can drive state."),
    ("toggle-field", "Flip a boolean state `field` in the signal store (e.g. a `dark` theme flag)."),
    ("seq", "Run several actions in order."),
    ("emit", "Dispatch a (bubbling) custom event named `event` with an optional `detail`."),
    ("patch", "Set `field` to `value` on a host-routed model (e.g. a drovane model named `model`). The interpreter surfaces this as a patch intent; the app routes it to the actual wire."),
    ("if", "Run `then` if `cond` is truthy, else `els` (if present)."),
    ("call", f"A REST round-trip: `method` `url` with an optional JSON `body`. The one intentional server call (the interpreter performs it via the host's `fetch`). With `result`, the host writes the response as `{{status, ok, body}}` to that signal-store field on completion, so the outcome can drive reactive UI (e.g. show a 422 validation error) {D} otherwise fire-and-forget."),
    ("invoke", f'Call `method` on `target` with evaluated `args`, discarding the result. An async method\'s promise is fire-and-forget (a rejection is logged, not thrown). Methods are part of a component\'s declared surface {D} this stays "behavior as data": the method name rides the wire, nothing is eval\'d.'),
    ("set-storage", f"Persist an evaluated value under `key` in the browser's localStorage {D} strings verbatim, other values JSON-encoded {D} e.g. saving a layout so a reload restores it."),
    ("download", "Offer an evaluated value to the user as a file download named `filename` (an expression, so the name can be computed). A string value downloads verbatim; anything else is JSON-encoded. `content_type` defaults to application/json."),
    ("refresh", f'Re-fetch the mounted tree (its bootstrap URL, or an explicit `url`) and diff it into the live DOM {D} "server state changed, re-render" without a live wire. Awaited, so a `seq` like `CallEndpoint(...)` then `Refresh` re-renders only after the mutation landed.'),
    ("js", "The escape hatch: invoke a pre-registered named JS handler (no arbitrary `eval`). For the rare irreducible case the declarative actions can't express."),
]


@pytest.mark.parametrize("tag, description", EXPR_DESCRIPTIONS)
def test_expr_variant_description(tag, description, doc):
    for schema in (doc["expr"], doc["expr"]["definitions"]["Expr"], doc["action"]["definitions"]["Expr"],
                   doc["binding"]["definitions"]["Expr"]):
        assert variant(schema, "expr", tag)["description"] == description


@pytest.mark.parametrize("tag, description", ACTION_DESCRIPTIONS)
def test_action_variant_description(tag, description, doc):
    for schema in (doc["action"], doc["action"]["definitions"]["Action"]):
        assert variant(schema, "kind", tag)["description"] == description


@pytest.mark.parametrize(
    "fragment",
    [
        '\\"expr\\":\\"obj\\",\\"fields\\"',
        '{\\"expr\\":\\"arr\\",\\"of\\":[{\\"expr\\":\\"event\\"}]}',
    ],
)
def test_expr_quotes_escaped(fragment, text):
    assert fragment in text["expr"]


@pytest.mark.parametrize(
    "fragment", ['\\"behavior as data\\"', '\\"server state changed, re-render\\"', '\\"save, then persist what was saved\\"']
)
def test_action_quotes_escaped(fragment, text):
    assert fragment in text["action"]


BINDING_DESCRIPTIONS = [
    (None, f"A reactive binding of a prop to state. Either a `field` {D} the prop tracks that state field (and a two-way binding writes it back when the control changes) {D} or a `compute` expression *derived* from state fields (one-way; recomputed when any field it reads changes). The runtime's signal store drives both; the compute expression is an opaque field-expr the runtime evaluates (see signals.ts)."),
    ("event", "Two-way only: the DOM event on which the control's value is written back to the field, for a control whose change event is not `change`/`input` (a Lion control's `model-value-changed`). Absent, the runtime listens for its default events."),
    ("methods", f"Drive the prop by calling a method pair instead of assigning it: `[open, close]` {D} the first is called when the field turns truthy, the second when it turns falsy. For overlays that open through methods (`<dialog>`'s `showModal()`/`close()`, a popover's `showPopover()`); the prop itself is then what the runtime reads to know the current state."),
    ("state", "Read state from this property, or dotted property path, when method-driven wrappers keep it somewhere other than the bound prop."),
    ("defer", "Coalesce writes until the next animation frame, after connection and slot assignment."),
    ("codec", "Encode values written to the DOM property and decode values read back from it."),
    ("encode", "Convert only values sent to the DOM property."),
    ("scale", "Multiply outbound numeric values by this factor and divide inbound values by it."),
    ("selection", "Drive child option selection rather than assigning the parent value property."),
    ("options", "Transform a bound generic options list to the concrete control's item field names."),
]


@pytest.mark.parametrize("field, description", BINDING_DESCRIPTIONS)
def test_binding_description(field, description, doc):
    schema = doc["binding"] if field is None else doc["binding"]["properties"][field]
    assert schema["description"] == description


# ---- the documents against canonical texts ------------------------------------------------

CANONICAL = [
    ("expr", '{"expr":"lit","value":{"a":[1,2.5,null],"b":"x"}}'),
    ("expr", '{"expr":"lit","value":null}'),
    ("expr", '{"expr":"event"}'),
    ("expr", '{"expr":"event","path":"detail.label"}'),
    ("expr", '{"expr":"event-prop","path":"clientX"}'),
    ("expr", '{"expr":"call","target":{"ref":"id","id":"layout"},"method":"save"}'),
    ("expr", '{"expr":"call","target":{"ref":"this"},"method":"calculatePath","args":[{"expr":"field","name":"n"}]}'),
    ("expr", '{"expr":"event-closest","selector":"[data-node-id]","path":"dataset.nodeId"}'),
    ("expr", '{"expr":"not","of":{"expr":"field","name":"dark"}}'),
    ("expr", '{"expr":"prop","target":{"ref":"id","id":"sym"},"name":"value"}'),
    ("expr", '{"expr":"field","name":"count"}'),
    ("expr", '{"expr":"item","path":""}'),
    ("expr", '{"expr":"scope","name":"row","path":"id"}'),
    ("expr", '{"expr":"eq","a":{"expr":"field","name":"x"},"b":{"expr":"lit","value":1}}'),
    ("expr", '{"expr":"all","of":[]}'),
    ("expr", '{"expr":"any","of":[{"expr":"field","name":"a"},{"expr":"field","name":"b"}]}'),
    ("expr", '{"expr":"cond","test":{"expr":"field","name":"t"},"then":{"expr":"lit","value":"yes"},"else":{"expr":"lit","value":"no"}}'),
    ("expr", '{"expr":"obj","fields":{"symbol":{"expr":"prop","target":{"ref":"id","id":"sym"},"name":"value"}}}'),
    ("expr", '{"expr":"obj","fields":{}}'),
    ("expr", '{"expr":"concat","parts":[{"expr":"lit","value":"/api/"},{"expr":"field","name":"id"}]}'),
    ("expr", '{"expr":"arr","of":[{"expr":"event"}]}'),
    ("action", '{"kind":"set","target":{"ref":"this"},"prop":"hidden","value":{"expr":"lit","value":true}}'),
    ("action", '{"kind":"toggle","target":{"ref":"id","id":"menu"},"prop":"open"}'),
    ("action", '{"kind":"set-field","field":"name","value":{"expr":"event"}}'),
    ("action", '{"kind":"toggle-field","field":"dark"}'),
    ("action", '{"kind":"seq","actions":[]}'),
    ("action", '{"kind":"seq","actions":[{"kind":"toggle-field","field":"dark"},{"kind":"js","handler":"h"}]}'),
    ("action", '{"kind":"emit","event":"picked","detail":null}'),
    ("action", '{"kind":"emit","event":"picked","detail":{"expr":"event","path":"label"}}'),
    ("action", '{"kind":"patch","model":"m","field":"f","value":{"expr":"lit","value":1}}'),
    ("action", '{"kind":"if","cond":{"expr":"lit","value":true},"then":{"kind":"js","handler":"h"},"else":null}'),
    ("action", '{"kind":"if","cond":{"expr":"field","name":"c"},"then":{"kind":"js","handler":"a"},"else":{"kind":"refresh"}}'),
    ("action", '{"kind":"call","method":"GET","url":"/x","body":null,"result":null}'),
    ("action", '{"kind":"call","method":"GET","url":"/x","body":null,"result":null,"request":{"key":"k"}}'),
    ("action", '{"kind":"call","method":"POST","url":{"expr":"concat","parts":[{"expr":"lit","value":"/api/"},{"expr":"field","name":"id"}]},"body":{"expr":"field","name":"form"},"result":"res","request":{"key":"k","pending":"busy","watch":["a","b"]}}'),
    ("action", '{"kind":"invoke","target":{"ref":"this"},"method":"focus"}'),
    ("action", '{"kind":"invoke","target":{"ref":"id","id":"layout"},"method":"save","args":[{"expr":"lit","value":1}],"result":"saved"}'),
    ("action", '{"kind":"set-storage","key":"layout","value":{"expr":"field","name":"layout"}}'),
    ("action", '{"kind":"download","filename":{"expr":"lit","value":"x.json"},"value":{"expr":"field","name":"data"}}'),
    ("action", '{"kind":"download","filename":{"expr":"lit","value":"x.csv"},"value":{"expr":"lit","value":"a,b"},"contentType":"text/csv"}'),
    ("action", '{"kind":"refresh"}'),
    ("action", '{"kind":"refresh","url":"/tree"}'),
    ("action", '{"kind":"js","handler":"h"}'),
    ("binding", '{"field":"f","mode":"two-way"}'),
    ("binding", '{"field":"","mode":"two-way"}'),
    ("binding", '{"compute":{"expr":"lit","value":1.5},"mode":"one-way"}'),
    ("binding", '{"compute":{"expr":"not","of":{"expr":"field","name":"busy"}},"mode":"one-way"}'),
    ("binding", '{"field":"open","mode":"one-way","methods":["showModal","close"],"state":"open"}'),
    ("binding", '{"field":"v","mode":"two-way","event":"model-value-changed","defer":true,"codec":"number","scale":100.0}'),
    ("binding", '{"field":"v","mode":"one-way","encode":"string"}'),
    ("binding", '{"field":"sel","mode":"two-way","selection":{"tag":"option","value":"value","selected":"selected"}}'),
    ("binding", '{"field":"opts","mode":"one-way","options":{"value":"id","label":"name","disabled":"off","codec":"json","encode":"string"}}'),
]


@pytest.mark.parametrize("name, value", CANONICAL)
def test_canonical_text_accepted(name, value, doc):
    jsonschema.Draft7Validator(doc[name]).validate(json.loads(value))


@pytest.mark.parametrize("name, value", CANONICAL)
def test_normalized_output_accepted(name, value, doc):
    out = NORMALIZERS[name](value)
    assert out == value
    jsonschema.Draft7Validator(doc[name]).validate(json.loads(out))


REJECTED = [
    ("expr", '{"expr":"not"}'),
    ("expr", '{"expr":"nope"}'),
    ("expr", '{"expr":"event","path":1}'),
    ("expr", '{"expr":"call","target":{"ref":"that"},"method":"m"}'),
    ("expr", '{"expr":"all","of":null}'),
    ("action", '{"kind":"call","method":"GET","url":5}'),
    ("action", '{"kind":"seq","actions":null}'),
    ("action", '{"kind":"if","cond":{"expr":"lit","value":true},"then":null}'),
    ("action", '{"kind":"call","method":"GET","url":"/x","request":{"key":"k","method":"x"}}'),
    ("action", '{"kind":"emit","event":"x","detail":{"expr":"lit"}}'),
    ("binding", '{"mode":"one-way"}'),
    ("binding", '{"field":"a","compute":{"expr":"lit","value":1},"mode":"one-way"}'),
    ("binding", '{"compute":{"expr":"lit","value":1},"mode":"two-way"}'),
    ("binding", '{"field":"a","mode":"both"}'),
    ("binding", '{"field":"a","mode":"one-way","methods":["showModal"]}'),
    ("binding", '{"field":"a","mode":"one-way","scale":"2"}'),
    # "required" counts a null member as present, unlike the binding reader.
    ("binding", '{"field":null,"compute":{"expr":"lit","value":1},"mode":"one-way"}'),
]


@pytest.mark.parametrize("name, value", REJECTED)
def test_invalid_text_rejected(name, value, doc):
    assert not jsonschema.Draft7Validator(doc[name]).is_valid(json.loads(value))
