import json
import random

import pytest

import vorlan

EMPTY = '{"ops":[]}'
UNKNOWN_VALUE = (
    "unknown variant `{}`, expected one of `Null`, `Bool`, `Int`, `Float`, `Str`, `List`, `Map`, `Submodel`"
)
UNKNOWN_EXPR = (
    "invalid binding compute expression: unknown variant `{}`, expected one of `lit`, `event`, `event-prop`, "
    "`call`, `event-closest`, `not`, `prop`, `field`, `item`, `scope`, `eq`, `all`, `any`, `cond`, `obj`, "
    "`concat`, `arr`"
)


def canonical(tree):
    return vorlan.apply(tree, EMPTY)


def tree_error(tree):
    with pytest.raises(ValueError) as info:
        canonical(tree)
    return str(info.value)


def with_prop(value_text):
    return '{"tag":"t","props":{"p":' + value_text + "}}"


def chain(depth, leaf_extra=""):
    text = '{"tag":"n"' + leaf_extra + "}"
    for _ in range(depth - 1):
        text = '{"tag":"n","slots":{"s":[' + text + "]}}"
    return text


# ---- prop values, observed as the prop "p" of a tree ----------------------------

@pytest.mark.parametrize(
    "value, written",
    [
        ('"Null"', '"Null"'),
        ('{"Null":null}', '"Null"'),
        ('{"Int":9223372036854775807}', '{"Int":9223372036854775807}'),
        ('{"Int":-9223372036854775808}', '{"Int":-9223372036854775808}'),
        ('{"Float":1}', '{"Float":1.0}'),
        ('{"Float":1e16}', '{"Float":1e+16}'),
        ('{"Float":-0}', '{"Float":-0.0}'),
        ('{"Submodel":18446744073709551615}', '{"Submodel":18446744073709551615}'),
        ('{"Map":{"b":"Null","a":"Null","b":{"Int":1}}}', '{"Map":{"a":"Null","b":{"Int":1}}}'),
        ('{"List":[]}', '{"List":[]}'),
        ('{"Map":{}}', '{"Map":{}}'),
        ('{"Str":"\\u00e9\\n\\"\\u001f"}', '{"Str":"\u00e9\\n\\"\\u001f"}'),
        ('{"List":[{"Bool":false},{"Map":{"k":{"Str":""}}}]}', '{"List":[{"Bool":false},{"Map":{"k":{"Str":""}}}]}'),
    ],
)
def test_value_is_written_canonically(value, written):
    assert canonical(with_prop(value)) == with_prop(written)


# Columns count from the start of the value; the props map closes right after it.
@pytest.mark.parametrize(
    "value, message, column",
    [
        ('{"Null":0}', "invalid type: integer `0`, expected unit", 9),
        ('"Bool"', "invalid type: unit variant, expected newtype variant", 7),
        ('"bool"', UNKNOWN_VALUE.format("bool"), 6),
        ('{"bool":true}', UNKNOWN_VALUE.format("bool"), 7),
        ("{}", "expected value", 2),
        ('{"Bool":true,"Int":1}', "expected value", 12),
        ('{"Int":9223372036854775808}', "invalid value: integer `9223372036854775808`, expected i64", 26),
        ('{"Int":1.0}', "invalid type: floating point `1.0`, expected i64", 10),
        ('{"Int":-0}', "invalid type: floating point `-0.0`, expected i64", 9),
        ('{"Float":null}', "invalid type: null, expected f64", 13),
        ('{"Submodel":-1}', "invalid value: integer `-1`, expected u64", 14),
        ('{"Submodel":1e3}', "invalid type: floating point `1000.0`, expected u64", 15),
        ('{"List":{}}', "invalid type: map, expected a sequence", 8),
        ('{"Map":null}', "invalid type: null, expected a map", 11),
        ('{"List":["Null","Str"]}', "invalid type: unit variant, expected newtype variant", 22),
        ('{"List":["Str","Null"]}', "invalid type: unit variant, expected newtype variant", 14),
        ('{"List":["Bool"  ,"Null"]}', "invalid type: unit variant, expected newtype variant", 17),
        ("1", "expected value", 1),
    ],
)
def test_value_errors(value, message, column):
    prefix = with_prop(value).index(value)
    assert tree_error(with_prop(value)) == f"{message} at line 1 column {prefix + column}"


def test_value_nesting_costs_two_levels_per_step():
    def nested(steps):
        return '{"List":[' * steps + '"Null"' + "]}" * steps

    assert canonical(with_prop(nested(62))) == with_prop(nested(62))
    assert tree_error(with_prop(nested(63))).startswith("recursion limit exceeded at line 1 column ")


# ---- trees ----------------------------------------------------------------------

@pytest.mark.parametrize(
    "tree, written",
    [
        ('{"tag":"x","props":{},"slots":{},"events":{},"event_options":{},"bindings":{}}', '{"tag":"x"}'),
        ('{"tag":"x","key":null}', '{"tag":"x"}'),
        ('{"key":"","tag":""}', '{"tag":"","key":""}'),
        ('{"tag":"x","props":{"b":"Null","a":"Null","b":{"Int":2}}}', '{"tag":"x","props":{"a":"Null","b":{"Int":2}}}'),
        ('{"tag":"x","text":"label","children":[1]}', '{"tag":"x"}'),
        ('{"tag":"x","slots":{"main":[]}}', '{"tag":"x","slots":{"main":[]}}'),
        ('["x"]', '{"tag":"x"}'),
        ('["x",null,{"a":{"Bool":true}}]', '{"tag":"x","props":{"a":{"Bool":true}}}'),
        ('["x","k",{},{"s":[["y"]]}]', '{"tag":"x","key":"k","slots":{"s":[{"tag":"y"}]}}'),
        (
            '{"tag":"x","event_options":{"click":{"once":true,"capture":null}}}',
            '{"tag":"x","event_options":{"click":{"once":true}}}',
        ),
        ('{"tag":"x","event_options":{"click":{}}}', '{"tag":"x","event_options":{"click":{}}}'),
        (
            '{"tag":"x","event_options":{"c":[true,null,false]}}',
            '{"tag":"x","event_options":{"c":{"capture":true,"passive":false}}}',
        ),
        (
            '{"bindings":{"v":{"mode":"two-way","field":"f","x":1}},"slots":{"b":[{"tag":"y"}],"a":[]},"tag":"x"}',
            '{"tag":"x","slots":{"a":[],"b":[{"tag":"y"}]},"bindings":{"v":{"field":"f","mode":"two-way"}}}',
        ),
        (
            '{"tag":"x","events":{"b":{"field":"f","kind":"toggle-field"},"a":{"kind":"js","handler":"h"}}}',
            '{"tag":"x","events":{"a":{"kind":"js","handler":"h"},"b":{"kind":"toggle-field","field":"f"}}}',
        ),
        ('{"tag":"a"} \n\t\r', '{"tag":"a"}'),
        ('{"tag":"a","skip":' + "[" * 300 + "]" * 300 + "}", '{"tag":"a"}'),
    ],
)
def test_tree_is_written_canonically(tree, written):
    assert canonical(tree) == written


@pytest.mark.parametrize(
    "tree, message",
    [
        ('{"tag":"x","props":null}', "invalid type: null, expected a map at line 1 column 23"),
        ('{"key":"k"}', "missing field `tag` at line 1 column 11"),
        ('{"tag":null}', "invalid type: null, expected a string at line 1 column 11"),
        ('{"tag":"x","tag":"y"}', "duplicate field `tag` at line 1 column 16"),
        ('{"tag":"x","key":null,"key":"k"}', "duplicate field `key` at line 1 column 27"),
        ('{"tag":"x","props":{"a":{"Int":1}},"props":{}}', "duplicate field `props` at line 1 column 42"),
        ('{"tag":"a","slots":{"s":[{"key":"k"}]}}', "missing field `tag` at line 1 column 36"),
        ('{"tag":"a","slots":{"s":{}}}', "invalid type: map, expected a sequence at line 1 column 24"),
        ('{"tag":"a","slots":{"s":[1]}}', "invalid type: integer `1`, expected struct Node at line 1 column 26"),
        ('{"tag":"a","props":{"x":"Bool"}}', "invalid type: unit variant, expected newtype variant at line 1 column 31"),
        ('{"tag":"a","props":{"x":{"List":["Bool"\n,"Null"]}}}',
         "invalid type: unit variant, expected newtype variant at line 2 column 0"),
        ('{"tag":"a"} x', "trailing characters at line 1 column 13"),
        ("[]", "invalid length 0, expected struct Node with 7 elements at line 1 column 2"),
        ('["x",null,{},{},{},{},{},1]', "trailing characters at line 1 column 26"),
        (
            '{"tag":"x","event_options":{"click":{"passiv":true}}}',
            "unknown field `passiv`, expected one of `capture`, `once`, `passive` at line 1 column 45",
        ),
        ('{"tag":"x","event_options":{"c":{"once":null,"once":true}}}', "duplicate field `once` at line 1 column 51"),
        ('{"tag":"x","event_options":{"c":{"once":1}}}', "invalid type: integer `1`, expected a boolean at line 1 column 41"),
        ('{"tag":"x","event_options":{"c":[null,null,null,null]}}', "trailing characters at line 1 column 49"),
        ('{"tag":"x","event_options":{"c":null}}', "invalid type: null, expected struct EventOptions at line 1 column 36"),
        ('{"tag":"x","bindings":{"v":null}}', "invalid type: null, expected struct Binding at line 1 column 31"),
        ('{"tag":"x","bindings":{"v":{}}}', "missing field `mode` at line 1 column 29"),
        ('{"tag":"a","events":{"c":{"kind":"toggle-field"} }}', "missing field `field` at line 1 column 50"),
        ('{"tag":"a","events":{"c":null}}', "invalid type: null, expected internally tagged enum Action at line 1 column 29"),
        ("", "EOF while parsing a value at line 1 column 0"),
    ],
)
def test_tree_errors(tree, message):
    assert tree_error(tree) == message


def test_deepest_node_is_at_depth_43():
    assert canonical(chain(43)) == chain(43)
    for tree in (chain(43, ',"props":{}'), chain(44)):
        assert tree_error(tree).startswith("recursion limit exceeded at line 1 column ")


def test_map_key_order_in_the_text_does_not_matter():
    a = '{"tag":"x","props":{"a":"Null","b":{"Int":1}},"slots":{"s":[{"tag":"y"}],"t":[]}}'
    b = '{"slots":{"t":[],"s":[{"tag":"y"}]},"props":{"b":{"Int":1},"a":"Null"},"tag":"x"}'
    assert canonical(a) == canonical(b)
    assert vorlan.diff(a, b) == EMPTY


# Each map field of a tree: the tree holding a map text there, and the value of member number v.
MAP_FIELDS = {
    "props": (lambda m: '{"tag":"t","props":' + m + "}", lambda v: {"Int": v}),
    "Map value": (lambda m: '{"tag":"t","props":{"p":{"Map":' + m + "}}}", lambda v: {"Str": str(v)}),
    "events": (lambda m: '{"tag":"t","events":' + m + "}", lambda v: {"kind": "emit", "event": f"e{v}"}),
    "event_options": (
        lambda m: '{"tag":"t","event_options":' + m + "}",
        lambda v: {"capture": v % 2 == 0, "once": v % 3 == 0},
    ),
    "bindings": (lambda m: '{"tag":"t","bindings":' + m + "}", lambda v: {"field": f"f{v}", "mode": "one-way"}),
    "slots": (lambda m: '{"tag":"t","slots":' + m + "}", lambda v: [{"tag": f"c{v}"}]),
}


def map_text(members, value):
    return "{" + ",".join(json.dumps(k) + ":" + json.dumps(value(v), separators=(",", ":")) for k, v in members) + "}"


@pytest.mark.parametrize("order", ["descending", "shuffled"])
@pytest.mark.parametrize("field", MAP_FIELDS)
def test_large_map_out_of_order_reads_as_in_order_with_last_values(field, order):
    tree, value = MAP_FIELDS[field]
    keys = [f"k{i:04d}" for i in range(1000)]
    keys = keys[::-1] + keys[::-3] if order == "descending" else keys + keys[::3]
    if order == "shuffled":
        random.Random(7).shuffle(keys)
    # Each member's value is its place in the text, so a key's last value is its largest.
    members = [(k, at) for at, k in enumerate(keys)]
    last = sorted(dict(members).items())
    first = sorted(dict(reversed(members)).items())
    read, in_order, firsts = tree(map_text(members, value)), tree(map_text(last, value)), tree(map_text(first, value))
    assert canonical(read) == canonical(in_order)
    assert vorlan.diff(read, in_order) == EMPTY
    assert vorlan.diff(firsts, read) == vorlan.diff(firsts, in_order) != EMPTY
    assert vorlan.diff(read, firsts) == vorlan.diff(in_order, firsts)


@pytest.mark.parametrize(
    "a, b",
    [
        ('{"tag":"x","props":{"p":{"Int":1}}}', '{"tag":"x","props":{"p":{"Float":1.0}}}'),
        ('{"tag":"x","props":{"p":{"Int":1}}}', '{"tag":"x","props":{"p":{"Submodel":1}}}'),
    ],
)
def test_int_float_and_submodel_props_differ(a, b):
    canonical(a)
    assert vorlan.diff(a, b) != EMPTY


def test_zero_and_negative_zero_props_are_equal():
    a = '{"tag":"x","props":{"p":{"Float":0.0}}}'
    b = '{"tag":"x","props":{"p":{"Float":-0.0}}}'
    canonical(a)
    assert vorlan.diff(a, b) == EMPTY


# ---- bindings, observed through normalize_binding --------------------------------

@pytest.mark.parametrize(
    "binding, written",
    [
        ('{"field":"a","mode":"one-way","compute":null}', '{"field":"a","mode":"one-way"}'),
        ('{"field":"a","mode":"one-way","tag":[1,2]}', '{"field":"a","mode":"one-way"}'),
        ('{"field":"","mode":"two-way"}', '{"field":"","mode":"two-way"}'),
        ('{"field":null,"compute":{"expr":"field","name":"n"},"mode":"one-way"}', '{"compute":{"expr":"field","name":"n"},"mode":"one-way"}'),
        ('{"mode":"one-way","compute":{"value":1.50,"expr":"lit"}}', '{"compute":{"expr":"lit","value":1.5},"mode":"one-way"}'),
        (
            '{"mode":"one-way","compute":{"expr":"lit","value":1,"extra":{"b":1,"a":2,"b":3}}}',
            '{"compute":{"expr":"lit","extra":{"a":2,"b":3},"value":1},"mode":"one-way"}',
        ),
        ('{"field":"a","mode":"one-way","tag":1,"scale":3}', '{"field":"a","mode":"one-way","scale":3.0}'),
        ('{"field":"a","mode":"one-way"}  \n', '{"field":"a","mode":"one-way"}'),
        ('["f",null,"two-way"]', '{"field":"f","mode":"two-way"}'),
        ('{"field":"a","mode":{"two-way":null},"codec":{"json":null}}', '{"field":"a","mode":"two-way","codec":"json"}'),
        (
            '{"field":"a","mode":"one-way","options":{"value":"v","label":"l","codec":"json","encode":"string"}}',
            '{"field":"a","mode":"one-way","options":{"value":"v","label":"l","codec":"json","encode":"string"}}',
        ),
        ('{"field":"a","mode":"one-way","codec":"number","encode":"string"}', '{"field":"a","mode":"one-way","codec":"number","encode":"string"}'),
        (
            '{"options":["v","l",null,"number"],"selection":["t","v","s"],"scale":0.5,"defer":false,'
            '"state":"a.b","methods":["o","c"],"event":"input","mode":"two-way","field":"f"}',
            '{"field":"f","mode":"two-way","event":"input","methods":["o","c"],"state":"a.b","defer":false,'
            '"scale":0.5,"selection":{"tag":"t","value":"v","selected":"s"},'
            '"options":{"value":"v","label":"l","codec":"number"}}',
        ),
    ],
)
def test_binding_is_written_canonically(binding, written):
    assert vorlan.normalize_binding(binding) == written


@pytest.mark.parametrize(
    "binding, message",
    [
        ("{}", "missing field `mode` at line 1 column 2"),
        ('{"mode":"both"}', "unknown variant `both`, expected `one-way` or `two-way` at line 1 column 14"),
        ('{"mode":null}', "expected value at line 1 column 9"),
        ('{"mode":{"one-way":1}}', "invalid type: integer `1`, expected unit at line 1 column 20"),
        ('{"mode":"one-way","field":null,"field":"x"}', "duplicate field `field` at line 1 column 38"),
        ('{"field":"a","mode":"two-way","methods":["showModal"]}', "invalid length 1, expected an array of length 2 at line 1 column 53"),
        ('{"field":"a","mode":"two-way","methods":["a","b","c"]}', "trailing characters at line 1 column 50"),
        ('{"field":"a","mode":"two-way","methods":"m"}', 'invalid type: string "m", expected an array of length 2 at line 1 column 43'),
        ('{"field":"a","mode":"two-way","selection":{"tag":"x","value":"v"}}', "missing field `selected` at line 1 column 65"),
        ('{"field":"a","mode":"two-way","selection":["t"]}', "invalid length 1, expected struct BindingSelection with 3 elements at line 1 column 47"),
        ('{"field":"a","mode":"two-way","options":{"value":"v"}}', "missing field `label` at line 1 column 53"),
        ('{"field":"a","mode":"two-way","options":[]}', "invalid length 0, expected struct BindingOptions with 5 elements at line 1 column 42"),
        ('{"field":"a","mode":"one-way","encode":"number"}', "unknown variant `number`, expected `string` at line 1 column 47"),
        ('{"field":"a","mode":"one-way","codec":"xml"}', "unknown variant `xml`, expected `number` or `json` at line 1 column 43"),
        ('{"field":"a","mode":"one-way","scale":"2"}', 'invalid type: string "2", expected f64 at line 1 column 41'),
        ('{"field":"a","mode":"one-way","defer":0}', "invalid type: integer `0`, expected a boolean at line 1 column 39"),
        ('{"field":1,"mode":"one-way"}', "invalid type: integer `1`, expected a string at line 1 column 10"),
        ("[]", "invalid length 2, expected struct Binding with 12 elements at line 1 column 2"),
        ('["f"]', "invalid length 2, expected struct Binding with 12 elements at line 1 column 5"),
        ('"one-way"', 'invalid type: string "one-way", expected struct Binding at line 1 column 9'),
        ('{"field":"a","mode":"one-way"} x', "trailing characters at line 1 column 32"),
        ('{"field":"a","compute":' + "[" * 127 + "]" * 127 + ',"mode":"one-way"}', "recursion limit exceeded at line 1 column 150"),
        # rule failures carry no position
        ('{"mode":"one-way"}', "binding requires exactly one of field or compute"),
        ('{"field":"a","compute":{"expr":"lit","value":1},"mode":"one-way"}', "binding requires exactly one of field or compute"),
        ('{"field":"a","compute":5,"mode":"two-way"}', "binding requires exactly one of field or compute"),
        ('{"compute":{"expr":"lit","value":1},"mode":"two-way"}', "computed bindings must use one-way mode"),
        ('{"compute":5,"mode":"two-way"}', "computed bindings must use one-way mode"),
        ('{"field":"a","mode":"one-way","codec":"json","encode":"string"}', "binding encode cannot be combined with the json codec"),
        ('{"compute":5,"mode":"one-way"}', "invalid binding compute expression: invalid type: integer `5`, expected internally tagged enum Expr"),
        ('{"compute":true,"mode":"one-way"}', "invalid binding compute expression: invalid type: boolean `true`, expected internally tagged enum Expr"),
        ('{"compute":{"value":1},"mode":"one-way"}', "invalid binding compute expression: missing field `expr`"),
        ('{"compute":[],"mode":"one-way"}', "invalid binding compute expression: missing field `expr`"),
        ('{"compute":{"expr":1},"mode":"one-way"}', "invalid binding compute expression: invalid type: integer `1`, expected variant identifier"),
        ('{"compute":{"expr":"text"},"mode":"one-way"}', UNKNOWN_EXPR.format("text")),
        ('{"compute":["nope"],"mode":"one-way"}', UNKNOWN_EXPR.format("nope")),
        ('{"compute":{"expr":"field"},"mode":"one-way"}', "invalid binding compute expression: missing field `name`"),
    ],
)
def test_binding_errors(binding, message):
    with pytest.raises(ValueError) as info:
        vorlan.normalize_binding(binding)
    assert str(info.value) == message


def test_binding_compute_in_array_form_passes():
    text = '{"compute":["field","x"],"mode":"one-way"}'
    assert vorlan.normalize_binding(text) == text


def test_binding_skipped_value_has_no_depth_limit():
    deep = "[" * 300 + "]" * 300
    assert vorlan.normalize_binding('{"field":"a","skip":' + deep + ',"mode":"one-way"}') == '{"field":"a","mode":"one-way"}'
