import copy
import json
import random

import pytest

import vorlan

EMPTY = '{"ops":[]}'


def compact(value):
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"))


def canonical(tree_text):
    return vorlan.apply(tree_text, EMPTY)


def li(key, **fields):
    node = {"tag": "li", "key": key}
    node.update(fields)
    return node


def holder(*children, tag="div", slot="items"):
    return compact({"tag": tag, "slots": {slot: list(children)}})


def patch(*ops):
    return compact({"ops": list(ops)})


def op(variant, path=(), /, **fields):
    body = {"path": [{"slot": s, "index": i} for s, i in path]}
    body.update(fields)
    return {variant: body}


# ---- diff -------------------------------------------------------------------

TOGGLE = {"kind": "toggle-field", "field": "open"}
JS = {"kind": "js", "handler": "h"}
ONE_WAY = {"field": "f", "mode": "one-way"}
TWO_WAY = {"field": "f", "mode": "two-way"}

DIFF_CASES = [
    # worked examples
    (
        "keyed reorder",
        holder(li("a"), li("b"), li("c")),
        holder(li("b"), li("c"), li("a")),
        '{"ops":[{"MoveChild":{"path":[],"slot":"items","from":1,"to":0}},'
        '{"MoveChild":{"path":[],"slot":"items","from":2,"to":1}}]}',
    ),
    (
        "keyed removal, move and insert",
        holder(li("a"), li("b"), li("c"), li("d")),
        holder(li("d"), li("a"), li("e")),
        '{"ops":[{"RemoveChild":{"path":[],"slot":"items","index":2}},'
        '{"RemoveChild":{"path":[],"slot":"items","index":1}},'
        '{"MoveChild":{"path":[],"slot":"items","from":1,"to":0}},'
        '{"InsertChild":{"path":[],"slot":"items","index":2,"node":{"tag":"li","key":"e"}}}]}',
    ),
    (
        "one node",
        '{"tag":"div","props":{"a":{"Int":1},"b":{"Int":2}}}',
        '{"tag":"div","key":"k","props":{"a":{"Float":1.0},"c":{"Int":3}}}',
        '{"ops":[{"SetKey":{"path":[],"key":"k"}},'
        '{"SetProp":{"path":[],"name":"a","value":{"Float":1.0}}},'
        '{"SetProp":{"path":[],"name":"c","value":{"Int":3}}},'
        '{"RemoveProp":{"path":[],"name":"b"}}]}',
    ),
    # edge cases
    ("equal trees", holder(li("a", props={"x": "Null"})), holder(li("a", props={"x": "Null"})), EMPTY),
    (
        "different root tags",
        '{"tag":"div","key":"k","props":{"a":{"Int":1}}}',
        '{"tag":"span","props":{"a":{"Int":2}},"slots":{"s":[{"tag":"b"}]}}',
        '{"ops":[{"Replace":{"path":[],"node":{"tag":"span","props":{"a":{"Int":2}},"slots":{"s":[{"tag":"b"}]}}}}]}',
    ),
    ("empty slot against absent slot", '{"tag":"x","slots":{"s":[]}}', '{"tag":"x"}', EMPTY),
    ("absent slot against empty slot", '{"tag":"x"}', '{"tag":"x","slots":{"s":[]}}', EMPTY),
    (
        "Int 1 to Float 1.0",
        '{"tag":"x","props":{"p":{"Int":1}}}',
        '{"tag":"x","props":{"p":{"Float":1.0}}}',
        '{"ops":[{"SetProp":{"path":[],"name":"p","value":{"Float":1.0}}}]}',
    ),
    ("Float 0.0 to -0.0", '{"tag":"x","props":{"p":{"Float":0.0}}}', '{"tag":"x","props":{"p":{"Float":-0.0}}}', EMPTY),
    ("key removed", '{"tag":"x","key":"k"}', '{"tag":"x"}', '{"ops":[{"SetKey":{"path":[],"key":null}}]}'),
    (
        "event options removed, changed and added",
        '{"tag":"x","event_options":{"a":{"once":true},"b":{},"c":{"capture":true}}}',
        '{"tag":"x","event_options":{"b":{"passive":false},"c":{"capture":true},"d":{}}}',
        '{"ops":[{"SetEventOptions":{"path":[],"name":"a","options":null}},'
        '{"SetEventOptions":{"path":[],"name":"b","options":{"passive":false}}},'
        '{"SetEventOptions":{"path":[],"name":"d","options":{}}}]}',
    ),
    (
        "op order of one node",
        compact({"tag": "x", "props": {"a": "Null", "z": "Null"}, "events": {"e1": JS, "e2": JS},
                 "bindings": {"b1": ONE_WAY, "b2": ONE_WAY}}),
        compact({"tag": "x", "key": "k", "props": {"b": "Null", "z": {"Bool": True}}, "events": {"e2": TOGGLE},
                 "event_options": {"e2": {"once": True}}, "bindings": {"b2": TWO_WAY}}),
        '{"ops":[{"SetKey":{"path":[],"key":"k"}},'
        '{"SetProp":{"path":[],"name":"b","value":"Null"}},'
        '{"SetProp":{"path":[],"name":"z","value":{"Bool":true}}},'
        '{"RemoveProp":{"path":[],"name":"a"}},'
        '{"SetEvent":{"path":[],"name":"e2","action":{"kind":"toggle-field","field":"open"}}},'
        '{"RemoveEvent":{"path":[],"name":"e1"}},'
        '{"SetEventOptions":{"path":[],"name":"e2","options":{"once":true}}},'
        '{"SetBinding":{"path":[],"name":"b2","binding":' + compact(TWO_WAY) + '}},'
        '{"RemoveBinding":{"path":[],"name":"b1"}}]}',
    ),
    (
        "one unkeyed child makes the slot positional",
        holder(li("a"), li("b"), {"tag": "li"}),
        holder(li("b"), li("a"), {"tag": "li"}),
        '{"ops":[{"SetKey":{"path":[{"slot":"items","index":0}],"key":"b"}},'
        '{"SetKey":{"path":[{"slot":"items","index":1}],"key":"a"}}]}',
    ),
    (
        "keyed slot emptied",
        holder(li("a"), li("b"), li("c")),
        '{"tag":"div"}',
        '{"ops":[{"RemoveChild":{"path":[],"slot":"items","index":2}},'
        '{"RemoveChild":{"path":[],"slot":"items","index":1}},'
        '{"RemoveChild":{"path":[],"slot":"items","index":0}}]}',
    ),
    (
        "keyed slot filled",
        '{"tag":"div"}',
        holder(li("a"), li("b")),
        '{"ops":[{"InsertChild":{"path":[],"slot":"items","index":0,"node":{"tag":"li","key":"a"}}},'
        '{"InsertChild":{"path":[],"slot":"items","index":1,"node":{"tag":"li","key":"b"}}}]}',
    ),
    (
        "repeated key in the new list",
        holder(li("a"), li("b")),
        holder(li("b"), li("a", props={"n": {"Int": 1}}), li("a", props={"n": {"Int": 2}})),
        '{"ops":[{"MoveChild":{"path":[],"slot":"items","from":1,"to":0}},'
        '{"InsertChild":{"path":[],"slot":"items","index":2,"node":{"tag":"li","key":"a","props":{"n":{"Int":2}}}}},'
        '{"SetProp":{"path":[{"slot":"items","index":1}],"name":"n","value":{"Int":1}}}]}',
    ),
    (
        "repeated key in the old list matches positionally",
        holder(li("a"), li("a", props={"n": {"Int": 1}}), li("b")),
        holder(li("b"), li("a")),
        '{"ops":[{"SetKey":{"path":[{"slot":"items","index":0}],"key":"b"}},'
        '{"RemoveProp":{"path":[{"slot":"items","index":1}],"name":"n"}},'
        '{"RemoveChild":{"path":[],"slot":"items","index":2}}]}',
    ),
    (
        "keyed child with a changed tag is replaced at its final position",
        holder(li("a"), li("b")),
        holder(li("b"), {"tag": "p", "key": "a"}),
        '{"ops":[{"MoveChild":{"path":[],"slot":"items","from":1,"to":0}},'
        '{"Replace":{"path":[{"slot":"items","index":1}],"node":{"tag":"p","key":"a"}}}]}',
    ),
    (
        "vor-show with equal slots and changed props",
        '{"tag":"vor-show","props":{"when":{"Bool":true}},"slots":{"s":[{"tag":"a"}]}}',
        '{"tag":"vor-show","props":{"other":"Null"},"slots":{"s":[{"tag":"a"}]}}',
        '{"ops":[{"SetProp":{"path":[],"name":"other","value":"Null"}},{"RemoveProp":{"path":[],"name":"when"}}]}',
    ),
    (
        "vor-show with a change deep in its slots",
        '{"tag":"vor-show","slots":{"s":[{"tag":"a","slots":{"t":[{"tag":"b","props":{"p":{"Int":1}}}]}}]}}',
        '{"tag":"vor-show","slots":{"s":[{"tag":"a","slots":{"t":[{"tag":"b","props":{"p":{"Int":2}}}]}}]}}',
        '{"ops":[{"Replace":{"path":[],"node":'
        '{"tag":"vor-show","slots":{"s":[{"tag":"a","slots":{"t":[{"tag":"b","props":{"p":{"Int":2}}}]}}]}}}}]}',
    ),
    (
        "vor-each with a changed prop",
        '{"tag":"vor-each","props":{"items":{"Str":"a"}}}',
        '{"tag":"vor-each","props":{"items":{"Str":"b"}}}',
        '{"ops":[{"Replace":{"path":[],"node":{"tag":"vor-each","props":{"items":{"Str":"b"}}}}}]}',
    ),
    (
        "vor-each with a changed slot",
        '{"tag":"vor-each","slots":{"s":[{"tag":"a"}]}}',
        '{"tag":"vor-each","slots":{"s":[{"tag":"a","key":"k"}]}}',
        '{"ops":[{"Replace":{"path":[],"node":{"tag":"vor-each","slots":{"s":[{"tag":"a","key":"k"}]}}}}]}',
    ),
    (
        "vor-each with only a changed handler",
        compact({"tag": "vor-each", "events": {"click": JS}}),
        compact({"tag": "vor-each", "events": {"click": TOGGLE}}),
        '{"ops":[{"SetEvent":{"path":[],"name":"click","action":{"kind":"toggle-field","field":"open"}}}]}',
    ),
    (
        "vor-show on one side only",
        '{"tag":"vor-show"}',
        '{"tag":"div"}',
        '{"ops":[{"Replace":{"path":[],"node":{"tag":"div"}}}]}',
    ),
    (
        "a tag that only begins with vor-show is ordinary",
        '{"tag":"vor-shower","slots":{"s":[{"tag":"a"}]}}',
        '{"tag":"vor-shower","slots":{"s":[{"tag":"b"}]}}',
        '{"ops":[{"Replace":{"path":[{"slot":"s","index":0}],"node":{"tag":"b"}}}]}',
    ),
    (
        "positional: child diffs before inserts",
        holder({"tag": "a"}, tag="ul"),
        holder({"tag": "b"}, {"tag": "c"}, tag="ul"),
        '{"ops":[{"Replace":{"path":[{"slot":"items","index":0}],"node":{"tag":"b"}}},'
        '{"InsertChild":{"path":[],"slot":"items","index":1,"node":{"tag":"c"}}}]}',
    ),
    (
        "positional: child diffs before removes, removes descending",
        holder({"tag": "a"}, {"tag": "b"}, {"tag": "c"}, tag="ul"),
        holder({"tag": "z"}, tag="ul"),
        '{"ops":[{"Replace":{"path":[{"slot":"items","index":0}],"node":{"tag":"z"}}},'
        '{"RemoveChild":{"path":[],"slot":"items","index":2}},'
        '{"RemoveChild":{"path":[],"slot":"items","index":1}}]}',
    ),
    (
        "keyed: child diffs after moves and inserts, at final positions",
        holder(li("a", props={"n": {"Int": 1}}), li("b")),
        holder(li("c"), li("b"), li("a", props={"n": {"Int": 2}})),
        '{"ops":[{"InsertChild":{"path":[],"slot":"items","index":0,"node":{"tag":"li","key":"c"}}},'
        '{"MoveChild":{"path":[],"slot":"items","from":2,"to":1}},'
        '{"SetProp":{"path":[{"slot":"items","index":2}],"name":"n","value":{"Int":2}}}]}',
    ),
    (
        "slots in byte order, each finished before the next",
        '{"tag":"x","slots":{"b":[{"tag":"p"}],"a":[{"tag":"p"}],"c":[{"tag":"p"}]}}',
        '{"tag":"x","slots":{"b":[{"tag":"q"}],"a":[{"tag":"p","slots":{"z":[{"tag":"r"}]}}]}}',
        '{"ops":[{"InsertChild":{"path":[{"slot":"a","index":0}],"slot":"z","index":0,"node":{"tag":"r"}}},'
        '{"Replace":{"path":[{"slot":"b","index":0}],"node":{"tag":"q"}}},'
        '{"RemoveChild":{"path":[],"slot":"c","index":0}}]}',
    ),
]


@pytest.mark.parametrize("old,new,expected", [c[1:] for c in DIFF_CASES], ids=[c[0] for c in DIFF_CASES])
def test_diff_text(old, new, expected):
    assert vorlan.diff(old, new) == expected


@pytest.mark.parametrize(
    "old,new,message",
    [
        ('{"key":"k"}', "x", "missing field `tag` at line 1 column 11"),
        ('{"tag":"a"}', '{"tag":"a"} x', "trailing characters at line 1 column 13"),
    ],
)
def test_diff_reader_failure(old, new, message):
    with pytest.raises(ValueError) as e:
        vorlan.diff(old, new)
    assert str(e.value) == message


# Handlers whose tag comes first are read in one pass; any other shape, and any
# fault, is read again the slow way. Inside a tree both must agree.
HANDLER_FORMS = [
    ('{"event":"x","kind":"emit"}', '{"kind":"emit","event":"x"}'),
    ('["emit","x"]', '{"kind":"emit","event":"x"}'),
    ('{"kind":"emit","event":"x","extra":[1,{"a":2}]}', '{"kind":"emit","event":"x"}'),
    ('{"kind":"seq","actions":[{"handler":"h","kind":"js"},["js","g"]]}',
     '{"kind":"seq","actions":[{"kind":"js","handler":"h"},{"kind":"js","handler":"g"}]}'),
    ('{"kind":"emit","event":"x","detail":{"expr":7,"name":"f"}}',
     '{"kind":"emit","event":"x","detail":{"expr":"field","name":"f"}}'),
    ('{"kind":"call","method":"GET","url":["field","u"]}',
     '{"kind":"call","method":"GET","url":{"expr":"field","name":"u"}}'),
    ('{"kind":"call","method":"GET","url":"/x","request":["k"]}',
     '{"kind":"call","method":"GET","url":"/x","request":{"key":"k"}}'),
    ('{"kind":"emit","event":"x","detail":{"expr":"obj","fields":{"a":{"expr":"event"},"a":["field","f"]}}}',
     '{"kind":"emit","event":"x","detail":{"expr":"obj","fields":{"a":{"expr":"field","name":"f"}}}}'),
]


@pytest.mark.parametrize("form,plain", HANDLER_FORMS)
def test_handler_shapes_read_alike_in_a_tree(form, plain):
    def tree(handler):
        return '{"tag":"b","events":{"click":' + handler + ',"input":' + handler + "}}"

    assert vorlan.diff(tree(form), tree(plain)) == EMPTY
    assert canonical(tree(form)) == canonical(tree(plain))


# Handlers and bindings are compared by their text first; texts that differ may still
# hold equal values (a zero's sign), and each is written back as it was read.
KEPT_PAIRS = [
    ("zero's sign", '{"kind":"emit","event":"x","detail":{"expr":"lit","value":-0.0}}',
     '{"field":"f","mode":"one-way","scale":-0.0}',
     '{"kind":"emit","event":"x","detail":{"expr":"lit","value":0.0}}',
     '{"field":"f","mode":"one-way","scale":0.0}', EMPTY),
    ("layout", '{ "kind" : "emit" , "event" : "x" }', '{"mode":"one-way","field":"f"}',
     '{"kind":"emit","event":"x"}', '{"field":"f","mode":"one-way"}', EMPTY),
    ("changed", '{"kind":"emit","event":"x","detail":{"expr":"lit","value":-0.0}}',
     '{"field":"f","mode":"one-way","scale":-0.0}',
     '{"kind":"emit","event":"x","detail":{"expr":"lit","value":1}}',
     '{"field":"f","mode":"one-way","scale":1.5}',
     '{"ops":[{"SetEvent":{"path":[],"name":"click","action":{"kind":"emit","event":"x","detail":{"expr":"lit",'
     '"value":1}}}},{"SetBinding":{"path":[],"name":"v","binding":{"field":"f","mode":"one-way","scale":1.5}}}]}'),
]


@pytest.mark.parametrize("old_action,old_binding,new_action,new_binding,expected", [c[1:] for c in KEPT_PAIRS],
                         ids=[c[0] for c in KEPT_PAIRS])
def test_handlers_and_bindings_compare_by_value(old_action, old_binding, new_action, new_binding, expected):
    def tree(action, binding):
        return '{"tag":"b","events":{"click":' + action + '},"bindings":{"v":' + binding + "}}"

    old, new = tree(old_action, old_binding), tree(new_action, new_binding)
    assert vorlan.diff(old, new) == expected
    if expected != EMPTY:
        assert vorlan.apply(old, expected) == canonical(new)


@pytest.mark.parametrize(
    "text,message",
    [
        ('{"tag":"b","events":{"click":{"kind":"set-field","field":1,"value":{"expr":"event"}}}}',
         "invalid type: integer `1`, expected a string at line 1 column 85"),
        ('{"tag":"b","events":{"click":{"kind":"emit","event":"x","detail":{"expr":"not","of":{"expr":"field"}}}}}',
         "missing field `name` at line 1 column 103"),
        ('{"tag":"b","events":{"click":{"kind":"emit","event":"x"},\n"input":{"kind":"js","handler":"h","handler":"g"}}}',
         "duplicate field `handler` at line 2 column 50"),
        ('{"tag":"b","events":{"click":{"kind":"seq","actions":[{"kind":"js","handler":"h"},{"kind":"js"}]}}}',
         "missing field `handler` at line 1 column 98"),
        ('{"tag":"b","events":{"click":{"kind":"emit","event":"x","detail":{"expr":"lit","value":[1,}}}}}',
         "expected value at line 1 column 91"),
    ],
)
def test_handler_faults_in_a_tree(text, message):
    with pytest.raises(ValueError) as e:
        vorlan.diff(text, '{"tag":"b"}')
    assert str(e.value) == message


# ---- patch reading ------------------------------------------------------------

ROOT = '{"tag":"x"}'
VARIANTS = ["SetProp", "RemoveProp", "SetEvent", "RemoveEvent", "SetEventOptions", "SetBinding", "RemoveBinding",
            "SetKey", "InsertChild", "RemoveChild", "MoveChild", "Replace"]
ONE_OF = "one of " + ", ".join(f"`{v}`" for v in VARIANTS)


def deep_node(depth):
    node = {"tag": "n"}
    for _ in range(depth - 1):
        node = {"tag": "n", "slots": {"s": [node]}}
    return node


READ_FAILURES = [
    ('"ops"', "invalid type: string \"ops\", expected struct Patch at line 1 column 5"),
    ("[]", "invalid length 0, expected struct Patch with 1 element at line 1 column 2"),
    ("[[],1]", "trailing characters at line 1 column 5"),
    ("[[],]", "trailing comma at line 1 column 5"),
    ('{"other":1}', "missing field `ops` at line 1 column 11"),
    ('{"ops":[], "ops":[]}', "duplicate field `ops` at line 1 column 16"),
    ('{"ops":{}}', "invalid type: map, expected a sequence at line 1 column 7"),
    ('{"ops":["SetKey"]}', "invalid type: unit variant, expected struct variant at line 1 column 17"),
    ('{"ops":[{"SetKey":{"path":[]}}, "SetKey" ]}',
     "invalid type: unit variant, expected struct variant at line 1 column 42"),
    ('{"ops":["SetKey" , {"SetKey":{"path":[]}}]}',
     "invalid type: unit variant, expected struct variant at line 1 column 19"),
    ('{"ops":["setKey"]}', f"unknown variant `setKey`, expected {ONE_OF} at line 1 column 16"),
    ('{"ops":[{"setkey":{}}]}', f"unknown variant `setkey`, expected {ONE_OF} at line 1 column 17"),
    ('{"ops":[{"SetKey":{"path":[]},"SetKey":{"path":[]}}]}', "expected value at line 1 column 29"),
    ('{"ops":[{"SetKey":{"path":[]} , }]}', "expected value at line 1 column 30"),
    ('{"ops":[{"SetKey":{"path":[]}', "EOF while parsing an object at line 1 column 29"),
    ('{"ops":[{}]}', "expected value at line 1 column 10"),
    ('{"ops":[{ 1:2}]}', "key must be a string at line 1 column 11"),
    ('{"ops":[{', "EOF while parsing an object at line 1 column 9"),
    ('{"ops":[{"SetKey" 1}]}', "expected `:` at line 1 column 19"),
    ('{"ops":[{"SetKey"', "EOF while parsing an object at line 1 column 17"),
    ('{"ops":[1]}', "expected value at line 1 column 9"),
    ('{"ops":[null]}', "expected value at line 1 column 9"),
    ('{"ops":[[]]}', "expected value at line 1 column 9"),
    ('{"ops":[{"SetKey":1}]}', "invalid type: integer `1`, expected struct variant Op::SetKey at line 1 column 19"),
    ('{"ops":[{"SetKey":[[]]}]}',
     "invalid length 1, expected struct variant Op::SetKey with 2 elements at line 1 column 22"),
    ('{"ops":[{"SetKey":[[],null,1]}]}', "trailing characters at line 1 column 28"),
    ('{"ops":[{"SetKey":[[],null,]}]}', "trailing comma at line 1 column 28"),
    ('{"ops":[{"MoveChild":[[],"s",0]}]}',
     "invalid length 3, expected struct variant Op::MoveChild with 4 elements at line 1 column 31"),
    ('{"ops":[{"SetKey":{"name":"a"}}]}', "missing field `path` at line 1 column 30"),
    ('{"ops":[{"RemoveProp":{}}]}', "missing field `path` at line 1 column 24"),
    ('{"ops":[{"RemoveProp":{"path":[]}}]}', "missing field `name` at line 1 column 33"),
    ('{"ops":[{"SetKey":{"path":[],"path" :[]}}]}', "duplicate field `path` at line 1 column 36"),
    ('{"ops":[{"SetKey":{"key":null,"path":[],"key":"k"}}]}', "duplicate field `key` at line 1 column 45"),
    ('{"ops":[{"SetKey":{"path":{}}}]}', "invalid type: map, expected a sequence at line 1 column 26"),
    ('{"ops":[{"SetKey":{"path":[1]}}]}', "invalid type: integer `1`, expected struct PathSeg at line 1 column 28"),
    ('{"ops":[{"SetKey":{"path":[["s"]]}}]}',
     "invalid length 1, expected struct PathSeg with 2 elements at line 1 column 32"),
    ('{"ops":[{"SetKey":{"path":[{}]}}]}', "missing field `slot` at line 1 column 29"),
    ('{"ops":[{"SetKey":{"path":[{"index":0}]}}]}', "missing field `slot` at line 1 column 38"),
    ('{"ops":[{"SetKey":{"path":[{"slot":"s"}]}}]}', "missing field `index` at line 1 column 39"),
    ('{"ops":[{"SetKey":{"path":[{"slot":"s","slot":"t"}]}}]}', "duplicate field `slot` at line 1 column 45"),
    ('{"ops":[{"RemoveProp":{"path":[],"name":null}}]}', "invalid type: null, expected a string at line 1 column 44"),
    ('{"ops":[{"SetKey":{"path":[],"key":1}}]}', "invalid type: integer `1`, expected a string at line 1 column 36"),
    ('{"ops":[{"RemoveChild":{"path":[],"slot":"s","index":18446744073709551616}}]}',
     "invalid type: floating point `18446744073709552000.0`, expected usize at line 1 column 73"),
    ('{"ops":[{"RemoveChild":{"path":[],"slot":"s","index":-1}}]}',
     "invalid value: integer `-1`, expected usize at line 1 column 55"),
    ('{"ops":[{"RemoveChild":{"path":[],"slot":"s","index":-0}}]}',
     "invalid type: floating point `-0.0`, expected usize at line 1 column 55"),
    ('{"ops":[{"MoveChild":{"path":[],"slot":"s","from":0,"to":1.0}}]}',
     "invalid type: floating point `1.0`, expected usize at line 1 column 60"),
    ('{"ops":[{"SetKey":{"path":[{"slot":"s","index":1.5}]}}]}',
     "invalid type: floating point `1.5`, expected usize at line 1 column 50"),
    ('{"ops":[{"SetProp":{"path":[],"name":"a","value":"Int"}}]}',
     "invalid type: unit variant, expected newtype variant at line 1 column 55"),
    ('{"ops":[{"SetProp":[[],"a","Int" , 1]}]}',
     "invalid type: unit variant, expected newtype variant at line 1 column 35"),
    ('{"ops":[{"SetProp":[[],"a",{"List":["Int" ,"Null"]}]}]}',
     "invalid type: unit variant, expected newtype variant at line 1 column 42"),
    ('{"ops":[{"SetProp":["path",[],"name"]}]}',
     "invalid type: string \"path\", expected a sequence at line 1 column 26"),
    ('{"ops":[{"SetEventOptions":{"path":[],"name":"c","options":{"x":true}}}]}',
     "unknown field `x`, expected one of `capture`, `once`, `passive` at line 1 column 63"),
    ('{"ops":[{"Replace":{"path":[]}}]}', "missing field `node` at line 1 column 30"),
    ('{"ops":[{"Replace":{"path":[],"node":{"key":"k"}}}]}', "missing field `tag` at line 1 column 48"),
    ('{"ops":[]} x', "trailing characters at line 1 column 12"),
    # a node carried in a body opens at level 5: 41 node levels fit under the nesting limit
    ('{"ops":[{"Replace":{"path":[],"node":' + compact(deep_node(42)) + "}}]}", None),
]


@pytest.mark.parametrize("text,message", READ_FAILURES)
def test_patch_read_failure(text, message):
    with pytest.raises(ValueError) as e:
        vorlan.apply(ROOT, text)
    if message is None:
        assert str(e.value).startswith("recursion limit exceeded at line 1 column ")
    else:
        assert str(e.value) == message


def test_patch_nesting_limit_admits_the_deepest_carried_node():
    node = compact(deep_node(41))
    assert vorlan.apply(ROOT, '{"ops":[{"Replace":{"path":[],"node":' + node + "}}]}") == node


def test_root_is_read_before_the_patch():
    with pytest.raises(ValueError) as e:
        vorlan.apply('{"key":"k"}', "not a patch")
    assert str(e.value) == "missing field `tag` at line 1 column 11"


READ_FORMS = [
    ("empty op list", '{"ops":[]}', ROOT),
    ("patch as a one-element array", '[[{"SetKey":{"path":[],"key":"k"}}]]', '{"tag":"x","key":"k"}'),
    ("other members beside ops", '{"a":[{"deep":[[[]]]}],"ops":[{"SetKey":{"path":[],"key":"k"}}],"b":1}',
     '{"tag":"x","key":"k"}'),
    ("body members in any order, undeclared ones skipped",
     '{"ops":[{"SetProp":{"value":{"Int":1},"extra":[1,{"x":null}],"name":"p","path":[]}}]}',
     '{"tag":"x","props":{"p":{"Int":1}}}'),
    ("body as an array", '{"ops":[{"SetProp":[[],"p",{"Int":1}]}]}', '{"tag":"x","props":{"p":{"Int":1}}}'),
    ("SetKey array with null clears", '{"ops":[{"SetKey":[[],null]}]}', ROOT),
    ("SetKey without key clears", '{"ops":[{"SetKey":{"path":[],"key":"k"}},{"SetKey":{"path":[]}}]}', ROOT),
    ("path step as an array",
     '{"ops":[{"InsertChild":{"path":[],"slot":"s","index":0,"node":{"tag":"c"}}},'
     '{"SetKey":{"path":[["s",0]],"key":"k"}}]}',
     '{"tag":"x","slots":{"s":[{"tag":"c","key":"k"}]}}'),
    ("options empty object is set",
     '{"ops":[{"SetEventOptions":{"path":[],"name":"c","options":{}}}]}', '{"tag":"x","event_options":{"c":{}}}'),
    ("options null removes", '{"ops":[{"SetEventOptions":{"path":[],"name":"c","options":null}}]}', ROOT),
    ("options absent removes", '{"ops":[{"SetEventOptions":{"path":[],"name":"c"}}]}', ROOT),
    ("whitespace everywhere", ' { "ops" : [ { "SetKey" : { "path" : [ ] , "key" : "k" } } ] } ',
     '{"tag":"x","key":"k"}'),
]


@pytest.mark.parametrize("text,expected", [c[1:] for c in READ_FORMS], ids=[c[0] for c in READ_FORMS])
def test_patch_read_forms(text, expected):
    assert vorlan.apply(ROOT, text) == expected


@pytest.mark.parametrize("index", ["18446744073709551615", "0"])
def test_index_range_reads(index):
    # Read in full, then fails only where it is applied.
    with pytest.raises(ValueError) as e:
        vorlan.apply('{"tag":"x","slots":{"s":[]}}',
                     '{"ops":[{"RemoveChild":{"path":[],"slot":"s","index":' + index + "}}]}")
    assert str(e.value) == f'ops[0] (RemoveChild): index {index} is at or past the length 0 of slot "s"'


# ---- apply ----------------------------------------------------------------------

ABC = '{"tag":"x","slots":{"s":[{"tag":"a"},{"tag":"b"},{"tag":"c"}]}}'


def children(*tags):
    return compact({"tag": "x", "slots": {"s": [{"tag": t} for t in tags]}})


APPLY_CASES = [
    ("empty patch rewrites canonically",
     '{"bindings":{},"tag":"x","key":null,"props":{"b":"Null","a":{"Int":1}},"events":{}}', EMPTY,
     '{"tag":"x","props":{"a":{"Int":1},"b":"Null"}}'),
    ("replace the root", ABC, patch(op("Replace", node={"tag": "y", "key": "k"})), '{"tag":"y","key":"k"}'),
    ("replace a child", ABC, patch(op("Replace", [("s", 1)], node={"tag": "y"})), children("a", "y", "c")),
    ("insert creates the slot", ROOT, patch(op("InsertChild", slot="t", index=0, node={"tag": "c"})),
     '{"tag":"x","slots":{"t":[{"tag":"c"}]}}'),
    ("insert at the length appends", ABC, patch(op("InsertChild", slot="s", index=3, node={"tag": "d"})),
     children("a", "b", "c", "d")),
    ("insert in the middle", ABC, patch(op("InsertChild", slot="s", index=1, node={"tag": "d"})),
     children("a", "d", "b", "c")),
    ("remove the only child removes the slot", '{"tag":"x","slots":{"s":[{"tag":"a"}],"t":[]}}',
     patch(op("RemoveChild", slot="s", index=0)), '{"tag":"x","slots":{"t":[]}}'),
    ("remove a middle child", ABC, patch(op("RemoveChild", slot="s", index=1)), children("a", "c")),
    ("move from 2 to 0", ABC, patch(op("MoveChild", slot="s", **{"from": 2, "to": 0})), children("c", "a", "b")),
    ("move from 0 to 2", ABC, patch(op("MoveChild", slot="s", **{"from": 0, "to": 2})), children("b", "c", "a")),
    ("move from 1 to 1", ABC, patch(op("MoveChild", slot="s", **{"from": 1, "to": 1})), ABC),
    ("remove on an absent slot", ABC, patch(op("RemoveChild", slot="t", index=99)), ABC),
    ("move on an absent slot", ABC, patch(op("MoveChild", slot="t", **{"from": 7, "to": 9})), ABC),
    ("options null on an event without options", ROOT, patch(op("SetEventOptions", name="c", options=None)), ROOT),
    ("removals of absent entries", ROOT,
     patch(op("RemoveProp", name="p"), op("RemoveEvent", name="e"), op("RemoveBinding", name="b")), ROOT),
    ("set replaces", '{"tag":"x","props":{"p":{"Int":1}},"events":{"e":{"kind":"js","handler":"h"}}}',
     patch(op("SetProp", name="p", value={"Str": "s"}), op("SetEvent", name="e", action=TOGGLE),
           op("SetBinding", name="v", binding=ONE_WAY)),
     '{"tag":"x","props":{"p":{"Str":"s"}},"events":{"e":{"kind":"toggle-field","field":"open"}},'
     '"bindings":{"v":' + compact(ONE_WAY) + '}}'),
    ("later ops see earlier ones", ABC,
     patch(op("RemoveChild", slot="s", index=0), op("SetKey", [("s", 0)], key="k"),
           op("InsertChild", slot="s", index=2, node={"tag": "z"})),
     '{"tag":"x","slots":{"s":[{"tag":"b","key":"k"},{"tag":"c"},{"tag":"z"}]}}'),
    ("insert recreates a slot a remove emptied", '{"tag":"x","slots":{"s":[{"tag":"a"}]}}',
     patch(op("RemoveChild", slot="s", index=0), op("InsertChild", slot="s", index=0, node={"tag": "b"})),
     '{"tag":"x","slots":{"s":[{"tag":"b"}]}}'),
]


@pytest.mark.parametrize("root,text,expected", [c[1:] for c in APPLY_CASES], ids=[c[0] for c in APPLY_CASES])
def test_apply(root, text, expected):
    assert vorlan.apply(root, text) == expected


APPLY_FAILURES = [
    ("insert past the end of a created slot", ROOT, patch(op("InsertChild", slot="t", index=1, node={"tag": "c"})),
     'ops[0] (InsertChild): index 1 is greater than the length 0 of slot "t"'),
    ("insert past the length", ABC, patch(op("InsertChild", slot="s", index=4, node={"tag": "c"})),
     'ops[0] (InsertChild): index 4 is greater than the length 3 of slot "s"'),
    ("remove at the length", ABC, patch(op("RemoveChild", slot="s", index=3)),
     'ops[0] (RemoveChild): index 3 is at or past the length 3 of slot "s"'),
    ("move from at the length", ABC, patch(op("MoveChild", slot="s", **{"from": 3, "to": 0})),
     'ops[0] (MoveChild): from 3 is at or past the length 3 of slot "s"'),
    ("move from 0 to 3", ABC, patch(op("MoveChild", slot="s", **{"from": 0, "to": 3})),
     'ops[0] (MoveChild): to 3 is greater than the length 2 of slot "s" without the moved child'),
    ("path through an absent slot", ABC, patch(op("SetKey", [("t", 0)], key="k")), "path references an existing slot"),
    ("path through a slot a remove emptied", '{"tag":"x","slots":{"s":[{"tag":"a"}]}}',
     patch(op("RemoveChild", slot="s", index=0), op("SetKey", [("s", 0)], key="k")),
     "path references an existing slot"),
    ("path index at the length", ABC, patch(op("SetProp", [("s", 3)], name="p", value="Null")),
     'ops[0] (SetProp): path index 3 is at or past the length 3 of slot "s"'),
    ("child op with a bad parent path", ABC, patch(op("RemoveChild", [("s", 0)], slot="q", index=0),
                                                  op("MoveChild", [("s", 9)], slot="q", **{"from": 0, "to": 0})),
     'ops[1] (MoveChild): path index 9 is at or past the length 3 of slot "s"'),
    ("slot names are quoted", '{"tag":"x","slots":{"a\\"b":[]}}', patch(op("RemoveChild", slot='a"b', index=0)),
     'ops[0] (RemoveChild): index 0 is at or past the length 0 of slot "a\\"b"'),
    ("failure in the last op of a long patch", ABC,
     patch(*([op("SetProp", name="p", value={"Int": 1})] * 500), op("RemoveChild", slot="s", index=3)),
     'ops[500] (RemoveChild): index 3 is at or past the length 3 of slot "s"'),
    # What apply returns must read again: the deepest node a tree may hold carries no map.
    ("a prop on the deepest node", compact(deep_node(43)),
     patch(op("SetProp", [("s", 0)] * 42, name="p", value="Null")),
     "ops[0] (SetProp): the tree would nest 128 levels deep, deeper than the 127 levels a tree text may nest"),
    ("a child below the deepest node", compact(deep_node(43)),
     patch(op("InsertChild", [("s", 0)] * 42, slot="s", index=0, node={"tag": "c"})),
     "ops[0] (InsertChild): the tree would nest 130 levels deep, deeper than the 127 levels a tree text may nest"),
]


@pytest.mark.parametrize("root,text,message", [c[1:] for c in APPLY_FAILURES], ids=[c[0] for c in APPLY_FAILURES])
def test_apply_failure(root, text, message):
    with pytest.raises(ValueError) as e:
        vorlan.apply(root, text)
    assert str(e.value) == message


def test_worked_examples_apply():
    for old, new in [(DIFF_CASES[0][1], DIFF_CASES[0][2]), (DIFF_CASES[1][1], DIFF_CASES[1][2])]:
        assert vorlan.apply(old, vorlan.diff(old, new)) == new


# ---- property: apply(old, diff(old, new)) == new --------------------------------

# No -0.0 beside 0.0: the two are equal values, so the diff rightly keeps the old zero's text.
VALUES = ["Null", {"Bool": True}, {"Bool": False}, {"Int": 1}, {"Int": -7}, {"Float": 1.0}, {"Float": 0.0},
          {"Float": 2.5e-300}, {"Str": "a\u00e9\n\""}, {"List": [{"Int": 1}, "Null"]},
          {"Map": {"k": {"Int": 2}, "j": {"Str": ""}}}, {"Submodel": 3}]
ACTIONS = [TOGGLE, JS, {"kind": "emit", "event": "go", "detail": {"expr": "lit", "value": [1, {"a": None}]}},
           {"kind": "seq", "actions": [TOGGLE, JS]}]
OPTIONS = [{}, {"once": True}, {"capture": False, "passive": True}]
BINDINGS = [ONE_WAY, TWO_WAY, {"field": "g", "mode": "one-way", "scale": 0.5}]
TAGS = ["div", "div", "span", "li", "vor-show", "vor-each", "vor-showx"]
NAMES = ["a", "b", "c", "d", "\u00e9"]
SLOTS = ["main", "items", "b", "\u00e9"]


def pick_map(rng, pool):
    return {name: rng.choice(pool) for name in rng.sample(NAMES, rng.randrange(0, 3))}


def gen_node(rng, depth, key=None):
    node = {"tag": rng.choice(TAGS)}
    if key is not None:
        node["key"] = key
    for field, pool in (("props", VALUES), ("events", ACTIONS), ("event_options", OPTIONS),
                        ("bindings", BINDINGS)):
        if rng.random() < 0.5:
            node[field] = pick_map(rng, pool)
    if depth > 0 and rng.random() < 0.7:
        node["slots"] = {s: gen_list(rng, depth - 1) for s in rng.sample(SLOTS, rng.randrange(1, 3))}
    return node


def gen_key(rng):
    return "k" + str(rng.randrange(12))


def gen_list(rng, depth):
    style = rng.random()
    items = []
    for _ in range(rng.randrange(1, 7)):
        keyed = style < 0.6 or (style < 0.8 and rng.random() < 0.8)
        items.append(gen_node(rng, depth, gen_key(rng) if keyed else None))
    return items


def mutate(rng, node, depth):
    r = rng.random()
    if r < 0.05:
        node["tag"] = rng.choice(TAGS)
    elif r < 0.12:
        if "key" in node and rng.random() < 0.5:
            del node["key"]
        else:
            node["key"] = gen_key(rng)
    for field, pool in (("props", VALUES), ("events", ACTIONS), ("event_options", OPTIONS),
                        ("bindings", BINDINGS)):
        if rng.random() < 0.2:
            m = node.setdefault(field, {})
            name = rng.choice(NAMES)
            if name in m and rng.random() < 0.4:
                del m[name]
            else:
                m[name] = rng.choice(pool)
    slots = node.get("slots", {})
    if depth > 0 and rng.random() < 0.15:
        slots[rng.choice(SLOTS)] = gen_list(rng, depth - 1)
    for name in list(slots):
        items = slots[name]
        r = rng.random()
        if r < 0.2:
            rng.shuffle(items)
        elif r < 0.3 and len(items) > 1:
            items.reverse()
        if rng.random() < 0.25:
            del items[rng.randrange(len(items))]
        if rng.random() < 0.25:
            keyed = all("key" in c for c in items) and rng.random() < 0.9
            items.insert(rng.randrange(len(items) + 1),
                         gen_node(rng, max(depth - 1, 0), gen_key(rng) if keyed else None))
        if rng.random() < 0.1 and items:
            j = rng.randrange(len(items))
            items.insert(rng.randrange(len(items) + 1), copy.deepcopy(items[j]))
        for child in items:
            if rng.random() < 0.6:
                mutate(rng, child, max(depth - 1, 0))
        if not items:
            del slots[name]  # an empty list and an absent slot diff alike
    if "slots" in node and not node["slots"]:
        del node["slots"]
    return node


def tree_pairs(count, seed):
    rng = random.Random(seed)
    for _ in range(count):
        old = gen_node(rng, 3)
        new = mutate(rng, copy.deepcopy(old), 3)
        yield compact(old), compact(new)


@pytest.mark.parametrize("seed", range(6))
def test_apply_of_diff_gives_new(seed):
    for old, new in tree_pairs(200, seed):
        patch_text = vorlan.diff(old, new)
        assert vorlan.apply(old, patch_text) == canonical(new), (old, new, patch_text)
        # The patch text reads back and writes the same way after any re-serialisation.
        assert vorlan.apply(old, json.dumps(json.loads(patch_text), indent=1)) == canonical(new)


INDEX_FIELDS = ("index", "from", "to")


@pytest.mark.parametrize("seed", range(4))
def test_damaged_patches_fail_only_with_value_error(seed):
    rng = random.Random(1000 + seed)
    for old, new in tree_pairs(200, seed + 50):
        ops = json.loads(vorlan.diff(old, new))["ops"]
        if not ops:
            continue
        damaged = copy.deepcopy(ops)
        for _ in range(rng.randrange(1, 3)):
            body = next(iter(rng.choice(damaged).values()))
            choices = [k for k in INDEX_FIELDS if k in body] + (["path"] if body["path"] else []) + ["slot"]
            what = rng.choice(choices)
            if what == "path":
                step = rng.choice(body["path"])
                if rng.random() < 0.5:
                    step["index"] += rng.randrange(1, 4)
                else:
                    step["slot"] += "?"
            elif what == "slot":
                body["slot"] = rng.choice(SLOTS)
            else:
                body[what] = max(0, body[what] + rng.choice([-2, -1, 1, 2, 5]))
        try:
            result = vorlan.apply(old, compact({"ops": damaged}))
        except ValueError as e:
            assert str(e)
        else:
            assert json.loads(result)["tag"]


def random_child_ops(rng, length):
    ops = []
    for _ in range(rng.randrange(1, 40)):
        kind = rng.random()
        if kind < 0.35:
            ops.append(op("InsertChild", slot="s", index=rng.randrange(length + 2), node={"tag": f"n{len(ops)}"}))
            length += 1
        elif kind < 0.65:
            ops.append(op("RemoveChild", slot="s", index=rng.randrange(length + 1)))
            length = max(length - 1, 0)
        else:
            ends = {"from": rng.randrange(length + 1), "to": rng.randrange(length + 1)}
            ops.append(op("MoveChild", slot="s", **ends))
    return ops


def outcome(root, ops):
    try:
        return vorlan.apply(root, compact({"ops": ops}))
    except ValueError as e:
        return "error: " + str(e)


@pytest.mark.parametrize("seed", range(3))
def test_child_ops_apply_alike_with_other_ops_between(seed):
    # Short lists change in place and long ones keep their changes aside; lists here
    # start on both sides of that line and cross it.
    rng = random.Random(seed)
    separator = op("RemoveProp", name="absent")
    for _ in range(300):
        length = rng.choice([rng.randrange(0, 6), rng.randrange(26, 38)])
        root = compact({"tag": "x", "slots": {"s": [{"tag": f"c{i}"} for i in range(length)]}} if length or
                       rng.random() < 0.5 else {"tag": "x"})
        ops = random_child_ops(rng, length)
        split = [x for o in ops for x in (o, separator)]
        expected = outcome(root, split)
        if expected.startswith("error: ops["):
            at, rest = expected[len("error: ops["):].split("]", 1)
            expected = f"error: ops[{int(at) // 2}]{rest}"
        assert outcome(root, ops) == expected, (root, ops)
