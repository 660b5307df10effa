import json
import random

import pytest

import vorlan

EXPR_TAGS = ("`lit`, `event`, `event-prop`, `call`, `event-closest`, `not`, `prop`, `field`, `item`, "
             "`scope`, `eq`, `all`, `any`, `cond`, `obj`, `concat`, `arr`")
ACTION_TAGS = ("`set`, `toggle`, `set-field`, `toggle-field`, `seq`, `emit`, `patch`, `if`, `call`, "
               "`invoke`, `set-storage`, `download`, `refresh`, `js`")


def unknown_expr(name):
    return f"unknown variant `{name}`, expected one of {EXPR_TAGS}"


def unknown_action(name):
    return f"unknown variant `{name}`, expected one of {ACTION_TAGS}"


def compact(value):
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"))


def raises(fn, text):
    with pytest.raises(ValueError) as info:
        fn(text)
    assert len(info.value.args) == 1
    return info.value.args[0]


# One row per kind, in variant order: (canonical text, the same value in array form).
EXPR_KINDS = [
    ('{"expr":"lit","value":{"a":[1,-2,1.5,null,true,"s"]}}', '["lit",{"a":[1,-2,1.5,null,true,"s"]}]'),
    ('{"expr":"event","path":"detail.value"}', '["event","detail.value"]'),
    ('{"expr":"event-prop","path":"key"}', '["event-prop","key"]'),
    ('{"expr":"call","target":{"ref":"id","id":"grid"},"method":"getSelection","args":[{"expr":"lit","value":1}]}',
     '["call",["id","grid"],"getSelection",[["lit",1]]]'),
    ('{"expr":"event-closest","selector":"tr","path":"dataset.id"}', '["event-closest","tr","dataset.id"]'),
    ('{"expr":"not","of":{"expr":"field","name":"busy"}}', '["not",["field","busy"]]'),
    ('{"expr":"prop","target":{"ref":"this"},"name":"checked"}', '["prop",["this"],"checked"]'),
    ('{"expr":"field","name":"count"}', '["field","count"]'),
    ('{"expr":"item","path":"title"}', '["item","title"]'),
    ('{"expr":"scope","name":"row","path":"id"}', '["scope","row","id"]'),
    ('{"expr":"eq","a":{"expr":"field","name":"x"},"b":{"expr":"lit","value":"y"}}',
     '["eq",["field","x"],["lit","y"]]'),
    ('{"expr":"all","of":[{"expr":"field","name":"a"},{"expr":"field","name":"b"}]}',
     '["all",[["field","a"],["field","b"]]]'),
    ('{"expr":"any","of":[{"expr":"event"}]}', '["any",[["event"]]]'),
    ('{"expr":"cond","test":{"expr":"field","name":"t"},"then":{"expr":"lit","value":1},'
     '"else":{"expr":"lit","value":2}}', '["cond",["field","t"],["lit",1],["lit",2]]'),
    ('{"expr":"obj","fields":{"a":{"expr":"item","path":""},"b":{"expr":"event"}}}',
     '["obj",{"b":["event"],"a":["item",""]}]'),
    ('{"expr":"concat","parts":[{"expr":"lit","value":"n="},{"expr":"field","name":"n"}]}',
     '["concat",[["lit","n="],["field","n"]]]'),
    ('{"expr":"arr","of":[]}', '["arr",[]]'),
]

ACTION_KINDS = [
    ('{"kind":"set","target":{"ref":"id","id":"dlg"},"prop":"open","value":{"expr":"lit","value":true}}',
     '["set",["id","dlg"],"open",["lit",true]]'),
    ('{"kind":"toggle","target":{"ref":"this"},"prop":"open"}', '["toggle",["this"],"open"]'),
    ('{"kind":"set-field","field":"q","value":{"expr":"event"}}', '["set-field","q",["event"]]'),
    ('{"kind":"toggle-field","field":"dark"}', '["toggle-field","dark"]'),
    ('{"kind":"seq","actions":[{"kind":"js","handler":"a"},{"kind":"refresh"}]}',
     '["seq",[["js","a"],["refresh"]]]'),
    ('{"kind":"emit","event":"saved","detail":{"expr":"field","name":"id"}}', '["emit","saved",["field","id"]]'),
    ('{"kind":"patch","model":"todo","field":"done","value":{"expr":"event"}}', '["patch","todo","done",["event"]]'),
    ('{"kind":"if","cond":{"expr":"field","name":"ok"},"then":{"kind":"js","handler":"y"},'
     '"else":{"kind":"js","handler":"n"}}', '["if",["field","ok"],["js","y"],["js","n"]]'),
    ('{"kind":"call","method":"POST","url":{"expr":"concat","parts":[{"expr":"lit","value":"/items/"},'
     '{"expr":"item","path":"id"}]},"body":{"expr":"field","name":"draft"},"result":"saved",'
     '"request":{"key":"save","pending":"busy","watch":["draft"]}}',
     '["call","POST",["concat",[["lit","/items/"],["item","id"]]],["field","draft"],"saved",'
     '["save","busy",["draft"]]]'),
    ('{"kind":"invoke","target":{"ref":"id","id":"grid"},"method":"scrollTo","args":[{"expr":"lit","value":0}],'
     '"result":"pos"}', '["invoke",["id","grid"],"scrollTo",[["lit",0]],"pos"]'),
    ('{"kind":"set-storage","key":"theme","value":{"expr":"field","name":"theme"}}',
     '["set-storage","theme",["field","theme"]]'),
    ('{"kind":"download","filename":{"expr":"lit","value":"a.csv"},"value":{"expr":"field","name":"csv"},'
     '"contentType":"text/csv"}', '["download",["lit","a.csv"],["field","csv"],"text/csv"]'),
    ('{"kind":"refresh","url":"/tree"}', '["refresh","/tree"]'),
    ('{"kind":"js","handler":"confetti"}', '["js","confetti"]'),
]


def test_kind_tables_cover_every_variant_in_order():
    expr_tags = [json.loads(c)["expr"] for c, _ in EXPR_KINDS]
    action_tags = [json.loads(c)["kind"] for c, _ in ACTION_KINDS]
    assert ", ".join(f"`{t}`" for t in expr_tags) == EXPR_TAGS
    assert ", ".join(f"`{t}`" for t in action_tags) == ACTION_TAGS


@pytest.mark.parametrize("canonical,array", EXPR_KINDS)
def test_expr_kind_round_trip(canonical, array):
    assert vorlan.normalize_expr(canonical) == canonical
    assert vorlan.normalize_expr(array) == canonical
    # Members in reverse order, the tag last, undeclared keys added: same output.
    members = list(json.loads(canonical).items())[::-1] + [("zzz", {"x": [1]})]
    assert vorlan.normalize_expr(compact(dict(members))) == canonical


@pytest.mark.parametrize("canonical,array", ACTION_KINDS)
def test_action_kind_round_trip(canonical, array):
    assert vorlan.normalize_action(canonical) == canonical
    assert vorlan.normalize_action(array) == canonical
    members = list(json.loads(canonical).items())[::-1] + [("zzz", {"x": [1]})]
    assert vorlan.normalize_action(compact(dict(members))) == canonical


# A nested tag may be the variant index; it comes out as the tag's name.
@pytest.mark.parametrize("index", range(len(EXPR_KINDS)))
def test_nested_expr_integer_tag(index):
    canonical = EXPR_KINDS[index][0]
    value = json.loads(canonical)
    value["expr"] = index
    assert vorlan.normalize_expr(compact({"expr": "not", "of": value})) == '{"expr":"not","of":' + canonical + "}"
    array = json.loads(EXPR_KINDS[index][1])
    array[0] = index
    assert vorlan.normalize_expr(compact(["arr", [array]])) == '{"expr":"arr","of":[' + canonical + "]}"


@pytest.mark.parametrize("index", range(len(ACTION_KINDS)))
def test_nested_action_integer_tag(index):
    canonical = ACTION_KINDS[index][0]
    value = json.loads(canonical)
    value["kind"] = index
    assert vorlan.normalize_action(compact({"kind": "seq", "actions": [value]})) == (
        '{"kind":"seq","actions":[' + canonical + "]}")
    array = json.loads(ACTION_KINDS[index][1])
    array[0] = index
    assert vorlan.normalize_action(compact(["if", ["lit", True], array])) == (
        '{"kind":"if","cond":{"expr":"lit","value":true},"then":' + canonical + ',"else":null}')


EXPR_NORMALIZED = [
    ('{"value":1,"expr":"lit"}', '{"expr":"lit","value":1}'),
    ('{"expr":"lit","value":null}', '{"expr":"lit","value":null}'),
    ('{"expr":"event"}', '{"expr":"event"}'),
    ('{"expr":"event","path":null}', '{"expr":"event"}'),
    ('{"path":"a.b","expr":"event"}', '{"expr":"event","path":"a.b"}'),
    ('{"expr":"event","path":""}', '{"expr":"event","path":""}'),
    ('{"expr":"call","target":{"ref":"this"},"method":"m","args":[]}',
     '{"expr":"call","target":{"ref":"this"},"method":"m"}'),
    ('{"expr":"call","target":{"ref":"this"},"method":"m"}', '{"expr":"call","target":{"ref":"this"},"method":"m"}'),
    ('{"expr":"all","of":[]}', '{"expr":"all","of":[]}'),
    ('{"expr":"obj","fields":{}}', '{"expr":"obj","fields":{}}'),
    ('{"expr":"obj","fields":{"b":{"expr":"event"},"a":{"expr":"field","name":"x"}}}',
     '{"expr":"obj","fields":{"a":{"expr":"field","name":"x"},"b":{"expr":"event"}}}'),
    ('{"expr":"obj","fields":{"a":{"expr":"field","name":"x"},"a":{"expr":"field","name":"y"}}}',
     '{"expr":"obj","fields":{"a":{"expr":"field","name":"y"}}}'),
    ('{"expr":"field","name":"x","path":"y"}', '{"expr":"field","name":"x"}'),
    ('{"else":{"expr":"lit","value":3},"then":{"expr":"lit","value":2},"expr":"cond","test":{"expr":"lit","value":1}}',
     '{"expr":"cond","test":{"expr":"lit","value":1},"then":{"expr":"lit","value":2},"else":{"expr":"lit","value":3}}'),
    ('{"expr":"not","of":{"expr":7,"name":"x"}}', '{"expr":"not","of":{"expr":"field","name":"x"}}'),
    ('["field","x"]', '{"expr":"field","name":"x"}'),
    ('["call",["this"],"save"]', '{"expr":"call","target":{"ref":"this"},"method":"save"}'),
    ('["call",["this"],"save",[]]', '{"expr":"call","target":{"ref":"this"},"method":"save"}'),
    ('["event"]', '{"expr":"event"}'),
    ('["event",null]', '{"expr":"event"}'),
    ('["not",[7,"x"]]', '{"expr":"not","of":{"expr":"field","name":"x"}}'),
    ('{"expr":"prop","target":{"ref":"this","id":"x"},"name":"n"}', '{"expr":"prop","target":{"ref":"this"},"name":"n"}'),
    ('{"expr":"prop","target":{"id":"x","ref":1},"name":"n"}',
     '{"expr":"prop","target":{"ref":"id","id":"x"},"name":"n"}'),
    ('{"expr":"prop","target":["id","x"],"name":"n"}', '{"expr":"prop","target":{"ref":"id","id":"x"},"name":"n"}'),
    ('{"expr":"lit","value":1.50}', '{"expr":"lit","value":1.5}'),
    ('{"expr":"lit","value":1e2}', '{"expr":"lit","value":100.0}'),
    ('{"expr":"lit","value":-0}', '{"expr":"lit","value":-0.0}'),
    ('{"expr":"lit","value":1e16}', '{"expr":"lit","value":1e+16}'),
    ('{"expr":"lit","value":18446744073709551615}', '{"expr":"lit","value":18446744073709551615}'),
    ('{"expr":"lit","value":-9223372036854775808}', '{"expr":"lit","value":-9223372036854775808}'),
    ('{"expr":"lit","value":18446744073709551616}', '{"expr":"lit","value":1.8446744073709552e+19}'),
    ('{"expr":"lit","value":{"b":1,"a":1,"a":2}}', '{"expr":"lit","value":{"a":2,"b":1}}'),
    ('{"expr":"lit","value":[{"z":{"y":1,"x":2}}]}', '{"expr":"lit","value":[{"z":{"x":2,"y":1}}]}'),
    ('{"value":{"b":1,"a":2},"expr":"lit"}', '{"expr":"lit","value":{"a":2,"b":1}}'),
    # Escapes are decoded, then only ", \ and control bytes are escaped again.
    ('{"expr":"field","name":"a\\/b\\u00e9\\n\\u001f\\""}', '{"expr":"field","name":"a/bé\\n\\u001f\\""}'),
    ('{"\\u0065xpr":"f\\u0069eld","name":""}', '{"expr":"field","name":""}'),
    (' \t\r\n{ "expr" : "item" , "path" : "p" }\n\t ', '{"expr":"item","path":"p"}'),
]


@pytest.mark.parametrize("text,expected", EXPR_NORMALIZED)
def test_normalize_expr(text, expected):
    assert vorlan.normalize_expr(text) == expected


# Key orders of an obj's fields, 40 of them (past the small-object sort), each key's last value
# the field expression naming it; read in one pass (tag first) and in two (tag last).
OBJ_FIELD_ORDERS = {
    "descending": [(k, k) for k in reversed(range(40))],
    "shuffled": [(k * 17 % 40, k * 17 % 40) for k in range(40)],
    "repeated": [(k % 8, k) for k in reversed(range(40))] + [(k, k) for k in range(8)],
}


@pytest.mark.parametrize("tag_last", [False, True], ids=["tag first", "tag last"])
@pytest.mark.parametrize("order", OBJ_FIELD_ORDERS)
def test_obj_fields_in_any_key_order(order, tag_last):
    def field(k, name):
        inner = '"name":"f%d"' % name
        return '{%s,"expr":"field"}' % inner if tag_last else '{"expr":"field",%s}' % inner
    fields = "{" + ",".join('"k%02d":%s' % (k, field(k, v)) for k, v in OBJ_FIELD_ORDERS[order]) + "}"
    text = '{"fields":%s,"expr":"obj"}' % fields if tag_last else '{"expr":"obj","fields":%s}' % fields
    keys = sorted({k for k, _ in OBJ_FIELD_ORDERS[order]})
    expected = ('{"expr":"obj","fields":{' +
                ",".join('"k%02d":{"expr":"field","name":"f%d"}' % (k, k) for k in keys) + "}}")
    assert vorlan.normalize_expr(text) == expected


ACTION_NORMALIZED = [
    ('{"kind":"emit","event":"x"}', '{"kind":"emit","event":"x","detail":null}'),
    ('{"kind":"emit","event":"x","detail":null}', '{"kind":"emit","event":"x","detail":null}'),
    ('{"kind":"if","cond":{"expr":"lit","value":true},"then":{"kind":"js","handler":"h"}}',
     '{"kind":"if","cond":{"expr":"lit","value":true},"then":{"kind":"js","handler":"h"},"else":null}'),
    ('{"kind":"call","method":"GET","url":"/x"}', '{"kind":"call","method":"GET","url":"/x","body":null,"result":null}'),
    ('{"kind":"invoke","target":{"ref":"this"},"method":"focus","args":[],"result":null}',
     '{"kind":"invoke","target":{"ref":"this"},"method":"focus"}'),
    ('{"kind":"refresh","url":null}', '{"kind":"refresh"}'),
    ('["refresh"]', '{"kind":"refresh"}'),
    ('{"handler":"h","extra":1,"kind":"js"}', '{"kind":"js","handler":"h"}'),
    ('{"kind":"download","filename":{"expr":"lit","value":"x"},"value":{"expr":"lit","value":1},"content_type":"x"}',
     '{"kind":"download","filename":{"expr":"lit","value":"x"},"value":{"expr":"lit","value":1}}'),
    ('{"kind":"call","method":"GET","url":{"expr":"field","name":"u"}}',
     '{"kind":"call","method":"GET","url":{"expr":"field","name":"u"},"body":null,"result":null}'),
    ('{"kind":"call","method":"GET","url":["field","u"]}',
     '{"kind":"call","method":"GET","url":{"expr":"field","name":"u"},"body":null,"result":null}'),
    ('{"kind":"call","method":"GET","url":{"expr":7,"name":"u"}}',
     '{"kind":"call","method":"GET","url":{"expr":"field","name":"u"},"body":null,"result":null}'),
    ('{"kind":"call","method":"GET","url":"{\\"expr\\":\\"field\\",\\"name\\":\\"u\\"}"}',
     '{"kind":"call","method":"GET","url":"{\\"expr\\":\\"field\\",\\"name\\":\\"u\\"}","body":null,"result":null}'),
    ('{"kind":"call","method":"GET","url":"","request":{"key":"k","watch":[]}}',
     '{"kind":"call","method":"GET","url":"","body":null,"result":null,"request":{"key":"k"}}'),
    ('{"kind":"call","method":"GET","url":"","request":{"watch":["a","b"],"pending":null,"key":"k"}}',
     '{"kind":"call","method":"GET","url":"","body":null,"result":null,"request":{"key":"k","watch":["a","b"]}}'),
    ('{"kind":"call","method":"GET","url":"","request":null}',
     '{"kind":"call","method":"GET","url":"","body":null,"result":null}'),
    ('{"kind":"call","method":"GET","url":"","request":["k"]}',
     '{"kind":"call","method":"GET","url":"","body":null,"result":null,"request":{"key":"k"}}'),
    ('{"kind":"call","method":"GET","url":"","request":["k","p"]}',
     '{"kind":"call","method":"GET","url":"","body":null,"result":null,"request":{"key":"k","pending":"p"}}'),
    ('{"kind":"seq","actions":[]}', '{"kind":"seq","actions":[]}'),
    ('{"kind":"seq","actions":[{"kind":13,"handler":"h"}]}', '{"kind":"seq","actions":[{"kind":"js","handler":"h"}]}'),
    ('{"kind":"toggle","target":{"ref":1,"id":"x"},"prop":"p"}',
     '{"kind":"toggle","target":{"ref":"id","id":"x"},"prop":"p"}'),
    ('["js","h"]', '{"kind":"js","handler":"h"}'),
    ('["emit","x"]', '{"kind":"emit","event":"x","detail":null}'),
    ('["call","GET","/x"]', '{"kind":"call","method":"GET","url":"/x","body":null,"result":null}'),
    ('["invoke",["this"],"m"]', '{"kind":"invoke","target":{"ref":"this"},"method":"m"}'),
    ('["download",["lit","f"],["lit",1]]',
     '{"kind":"download","filename":{"expr":"lit","value":"f"},"value":{"expr":"lit","value":1}}'),
    ('["refresh",null]', '{"kind":"refresh"}'),
    ('{"kind":"emit","event":"x"} \t\n\r ', '{"kind":"emit","event":"x","detail":null}'),
]


@pytest.mark.parametrize("text,expected", ACTION_NORMALIZED)
def test_normalize_action(text, expected):
    assert vorlan.normalize_action(text) == expected


# Errors found while the text is scanned carry a position; errors found when the
# variant is built from the scanned members carry none, even at the top level.
EXPR_ERRORS = [
    ("", "EOF while parsing a value at line 1 column 0"),
    (" \n\t", "EOF while parsing a value at line 2 column 1"),
    ("null", "invalid type: null, expected internally tagged enum Expr at line 1 column 4"),
    ('"lit"', 'invalid type: string "lit", expected internally tagged enum Expr at line 1 column 5'),
    ("12", "invalid type: integer `12`, expected internally tagged enum Expr at line 1 column 2"),
    ('{"name":"x"}', "missing field `expr` at line 1 column 12"),
    ('{\n"name":"x"\n}', "missing field `expr` at line 3 column 1"),
    ("[]", "missing field `expr` at line 1 column 2"),
    ('{"expr":"set"}', unknown_expr("set") + " at line 1 column 13"),
    ('["set"]', unknown_expr("set") + " at line 1 column 6"),
    ('{"expr":"lit","expr":"lit"}', "duplicate field `expr` at line 1 column 20"),
    ('{"expr":7}', "invalid type: integer `7`, expected variant identifier at line 1 column 9"),
    ('[7,"x"]', "invalid type: integer `7`, expected variant identifier at line 1 column 2"),
    ('{"expr":null}', "invalid type: null, expected variant identifier at line 1 column 12"),
    # The tag is resolved while scanning, so it fails before a faulty member that came first.
    ('{"of":5,"expr":"bogus"}', unknown_expr("bogus") + " at line 1 column 22"),
    ('{"expr":"field","name":"x"} x', "trailing characters at line 1 column 29"),
    ('{"expr":"field","name":"x"}{}', "trailing characters at line 1 column 28"),
    ('{"expr":"field","name":"x","y":[1,}', "expected value at line 1 column 35"),
    ('{"expr":"lit"}', "missing field `value`"),
    ('{"expr":"all"}', "missing field `of`"),
    ('{"expr":"not"} x', "missing field `of`"),
    ('{"expr":"cond"}', "missing field `test`"),
    ('{"expr":"cond","test":{"expr":"event"},"else":{"expr":"event"}}', "missing field `then`"),
    ('{"expr":"call","method":"m"}', "missing field `target`"),
    ('{"expr":"prop","name":"n"}', "missing field `target`"),
    ('{"expr":"event-closest","path":""}', "missing field `selector`"),
    ('{"expr":"obj"}', "missing field `fields`"),
    ('{"expr":"concat"}', "missing field `parts`"),
    ('{"expr":"field","name":"x","name":"y"}', "duplicate field `name`"),
    ('{"expr":"field","name":"x","name":5}', "duplicate field `name`"),
    ('{"expr":"field","name":5,"name":"x"}', "invalid type: integer `5`, expected a string"),
    ('{"expr":"event","path":5}', "invalid type: integer `5`, expected a string"),
    ('{"expr":"item","path":null}', "invalid type: null, expected a string"),
    ('{"expr":"call","target":{"ref":"this"},"method":"m","args":null}', "invalid type: null, expected a sequence"),
    ('{"expr":"all","of":{}}', "invalid type: map, expected a sequence"),
    ('{"expr":"obj","fields":[]}', "invalid type: sequence, expected a map"),
    ('{"expr":"obj","fields":{"a":5,"a":{"expr":"event"}}}',
     "invalid type: integer `5`, expected internally tagged enum Expr"),
    # Phase 2 visits members in input order: b is reported before a.
    ('{"expr":"eq","b":5,"a":null}', "invalid type: integer `5`, expected internally tagged enum Expr"),
    ('{"expr":"cond","test":5}', "invalid type: integer `5`, expected internally tagged enum Expr"),
    ('{"expr":"not","of":{}}', "missing field `expr`"),
    ('{"expr":"not","of":[]}', "missing field `expr`"),
    ('{"expr":"not","of":{"expr":"x"}}', unknown_expr("x")),
    ('{"expr":"not","of":{"expr":"a","expr":"b"}}', unknown_expr("a")),
    ('{"expr":"not","of":{"expr":"event","expr":"b"}}', "duplicate field `expr`"),
    ('{"expr":"not","of":{"of":5,"expr":"bogus"}}', unknown_expr("bogus")),
    ('{"expr":"not","of":{"expr":17}}', "invalid value: integer `17`, expected variant index 0 <= i < 17"),
    ('{"expr":"not","of":{"expr":-1}}', "invalid type: integer `-1`, expected variant identifier"),
    ('{"expr":"not","of":{"expr":1.5}}', "invalid type: floating point `1.5`, expected variant identifier"),
    ('{"expr":"not","of":{"expr":true}}', "invalid type: boolean `true`, expected variant identifier"),
    ('{"expr":"not","of":"x"}', 'invalid type: string "x", expected internally tagged enum Expr'),
    ('["eq",["event"]]', "invalid length 1, expected struct variant Expr::Eq with 2 elements"),
    ('["lit"]', "invalid length 0, expected struct variant Expr::Lit with 1 element"),
    ('["call",["this"]]', "invalid length 1, expected struct variant Expr::Call with 3 elements"),
    ('["cond",["event"],["event"]]', "invalid length 2, expected struct variant Expr::Cond with 3 elements"),
    ('["field","x","y"]', "invalid length 2, expected 1 element in sequence"),
    ('["event","a","b"]', "invalid length 2, expected 1 element in sequence"),
    ('["scope","a","b","c","d"]', "invalid length 4, expected 2 elements in sequence"),
    ('["field",5,"y"]', "invalid type: integer `5`, expected a string"),
    ('{"expr":"prop","target":"this","name":"n"}', 'invalid type: string "this", expected internally tagged enum Ref'),
    ('{"expr":"prop","target":null,"name":"n"}', "invalid type: null, expected internally tagged enum Ref"),
    ('{"expr":"prop","target":{},"name":"n"}', "missing field `ref`"),
    ('{"expr":"prop","target":{"ref":"this","ref":"this"},"name":"n"}', "duplicate field `ref`"),
    ('{"expr":"prop","target":{"ref":"that"},"name":"n"}', "unknown variant `that`, expected `this` or `id`"),
    ('{"expr":"prop","target":{"ref":2},"name":"n"}', "invalid value: integer `2`, expected variant index 0 <= i < 2"),
    ('{"expr":"prop","target":{"ref":"id"},"name":"n"}', "missing field `id`"),
    ('{"expr":"prop","target":{"ref":"id","id":"a","id":"b"},"name":"n"}', "duplicate field `id`"),
    ('{"expr":"prop","target":["id"],"name":"n"}', "invalid length 0, expected struct variant Ref::Id with 1 element"),
    ('{"expr":"prop","target":["id","a","b"],"name":"n"}', "invalid length 2, expected 1 element in sequence"),
    ('{"expr":"prop","target":["this",1],"name":"n"}', "invalid length 1, expected 0 elements in sequence"),
    ('{"expr":"prop","target":["this",1,2],"name":"n"}', "invalid length 2, expected 0 elements in sequence"),
]


@pytest.mark.parametrize("text,message", EXPR_ERRORS)
def test_normalize_expr_errors(text, message):
    assert raises(vorlan.normalize_expr, text) == message


ACTION_ERRORS = [
    ("", "EOF while parsing a value at line 1 column 0"),
    ("{}", "missing field `kind` at line 1 column 2"),
    ("[]", "missing field `kind` at line 1 column 2"),
    ("true", "invalid type: boolean `true`, expected internally tagged enum Action at line 1 column 4"),
    ('{"kind":"lit"}', unknown_action("lit") + " at line 1 column 13"),
    ('{"kind":"set","kind":"set"}', "duplicate field `kind` at line 1 column 20"),
    ('{"kind":13}', "invalid type: integer `13`, expected variant identifier at line 1 column 10"),
    ('{"kind":13,"handler":"h"}', "invalid type: integer `13`, expected variant identifier at line 1 column 10"),
    ('{"kind":{"a":1}}', "invalid type: map, expected variant identifier at line 1 column 8"),
    ('{"kind":"js"}', "missing field `handler`"),
    ('{"kind":"js"} x', "missing field `handler`"),
    ('{"kind":"emit","event":"x"} x', "trailing characters at line 1 column 29"),
    ('{"kind":"js","handler":"h","x":[1,}}', "expected value at line 1 column 35"),
    ('{"kind":"js","handler":"h",}', "trailing comma at line 1 column 28"),
    ('{"kind":"js","handler":"h"', "EOF while parsing an object at line 1 column 26"),
    # Nested: the same faults, without a position of their own.
    ('{"kind":"seq","actions":[{}]}', "missing field `kind`"),
    ('{"kind":"seq","actions":[[]]}', "missing field `kind`"),
    ('{"kind":"seq","actions":[{"kind":"lit"}]}', unknown_action("lit")),
    ('{"kind":"seq","actions":[{"kind":"set","kind":"set"}]}', "duplicate field `kind`"),
    ('{"kind":"seq","actions":[{"kind":14}]}', "invalid value: integer `14`, expected variant index 0 <= i < 14"),
    ('{"kind":"seq","actions":[{"kind":-1}]}', "invalid type: integer `-1`, expected variant identifier"),
    ('{"kind":"seq","actions":[5]}', "invalid type: integer `5`, expected internally tagged enum Action"),
    ('{"kind":"seq","actions":null}', "invalid type: null, expected a sequence"),
    ('{"kind":"seq"}', "missing field `actions`"),
    ('{"kind":"if","cond":{"expr":"lit","value":true},"then":null}',
     "invalid type: null, expected internally tagged enum Action"),
    ('{"kind":"if","cond":{"expr":"lit","value":true}}', "missing field `then`"),
    ('{"kind":"if","cond":{"expr":"lit","value":true},"then":{"kind":"js","handler":"h"},"else":5}',
     "invalid type: integer `5`, expected internally tagged enum Action"),
    ('{"kind":"emit","event":"x","detail":null,"detail":null}', "duplicate field `detail`"),
    ('{"kind":"set","prop":"p","value":{"expr":"event"}}', "missing field `target`"),
    ('{"kind":"set","target":{"ref":"this"},"value":{"expr":"event"}}', "missing field `prop`"),
    ('{"kind":"set-field","field":1,"value":{"expr":"event"}}', "invalid type: integer `1`, expected a string"),
    ('{"kind":"invoke","target":{"ref":"this"},"method":"m","args":null}', "invalid type: null, expected a sequence"),
    ('{"kind":"invoke","target":{"ref":"this"},"method":"m","result":7}', "invalid type: integer `7`, expected a string"),
    ('{"kind":"download","filename":{"expr":"lit","value":"x"},"contentType":"t"}', "missing field `value`"),
    ('{"kind":"refresh","url":false}', "invalid type: boolean `false`, expected a string"),
    ('{"kind":"call","method":"GET"}', "missing field `url`"),
    ('{"kind":"call","method":"GET","url":5}', "data did not match any variant of untagged enum EndpointUrl"),
    ('{"kind":"call","method":"GET","url":null}', "data did not match any variant of untagged enum EndpointUrl"),
    ('{"kind":"call","method":"GET","url":{"expr":"bogus"}}',
     "data did not match any variant of untagged enum EndpointUrl"),
    ('{"kind":"call","method":"GET","url":{"expr":"field"}}',
     "data did not match any variant of untagged enum EndpointUrl"),
    ('{"kind":"call","url":"/x"}', "missing field `method`"),
    ('{"kind":"call","method":"GET","url":"","request":{"key":"k","method":"x"}}',
     "unknown field `method`, expected one of `key`, `pending`, `watch`"),
    ('{"kind":"call","method":"GET","url":"","request":{"method":"x","key":5}}',
     "unknown field `method`, expected one of `key`, `pending`, `watch`"),
    ('{"kind":"call","method":"GET","url":"","request":{"watch":["a"]}}', "missing field `key`"),
    ('{"kind":"call","method":"GET","url":"","request":{"key":"k","key":"k"}}', "duplicate field `key`"),
    ('{"kind":"call","method":"GET","url":"","request":{"key":"k","watch":null}}',
     "invalid type: null, expected a sequence"),
    ('{"kind":"call","method":"GET","url":"","request":{"key":"k","watch":[1]}}',
     "invalid type: integer `1`, expected a string"),
    ('{"kind":"call","method":"GET","url":"","request":{"key":"k","pending":[]}}',
     "invalid type: sequence, expected a string"),
    ('{"kind":"call","method":"GET","url":"","request":5}', "invalid type: integer `5`, expected struct RequestOptions"),
    ('{"kind":"call","method":"GET","url":"","request":"k"}',
     'invalid type: string "k", expected struct RequestOptions'),
    ('{"kind":"call","method":"GET","url":"","request":[]}',
     "invalid length 0, expected struct RequestOptions with 3 elements"),
    ('{"kind":"call","method":"GET","url":"","request":["k",null,[],1]}',
     "invalid length 4, expected 3 elements in sequence"),
    ('["set",{"ref":"this"}]', "invalid length 1, expected struct variant Action::SetProp with 3 elements"),
    ('["set",["this"],"p",["event"],1]', "invalid length 4, expected 3 elements in sequence"),
    ('["toggle",["this"]]', "invalid length 1, expected struct variant Action::Toggle with 2 elements"),
    ('["set-field","f"]', "invalid length 1, expected struct variant Action::SetField with 2 elements"),
    ('["toggle-field"]', "invalid length 0, expected struct variant Action::ToggleField with 1 element"),
    ('["seq"]', "invalid length 0, expected struct variant Action::Sequence with 1 element"),
    ('["emit"]', "invalid length 0, expected struct variant Action::Emit with 2 elements"),
    ('["patch","m","f"]', "invalid length 2, expected struct variant Action::SendPatch with 3 elements"),
    ('["if",["event"]]', "invalid length 1, expected struct variant Action::If with 3 elements"),
    ('["call","GET"]', "invalid length 1, expected struct variant Action::CallEndpoint with 5 elements"),
    ('["invoke",["this"]]', "invalid length 1, expected struct variant Action::Invoke with 4 elements"),
    ('["set-storage","k"]', "invalid length 1, expected struct variant Action::SetStorage with 2 elements"),
    ('["download",["event"]]', "invalid length 1, expected struct variant Action::Download with 3 elements"),
    ('["js"]', "invalid length 0, expected struct variant Action::NamedJs with 1 element"),
    ('["js","h","x"]', "invalid length 2, expected 1 element in sequence"),
    ('["refresh",null,1]', "invalid length 2, expected 1 element in sequence"),
    ('["call","GET","/x",null,null,null,1]', "invalid length 6, expected 5 elements in sequence"),
    ('["js",1,2]', "invalid type: integer `1`, expected a string"),
]


@pytest.mark.parametrize("text,message", ACTION_ERRORS)
def test_normalize_action_errors(text, message):
    assert raises(vorlan.normalize_action, text) == message


def nested_arrays(depth):
    return "[" * depth + "]" * depth


def not_chain(depth):
    return '{"expr":"not","of":' * (depth - 1) + '{"expr":"event"}' + "}" * (depth - 1)


def seq_chain(depth):
    return '{"kind":"seq","actions":[' * (depth // 2) + ("[]" if depth % 2 else "") + "]}" * (depth // 2)


# (function, builder of a document nesting `depth` levels, text before the 128th opening bracket)
NESTING = [
    (vorlan.normalize_expr, lambda d: '{"expr":"lit","value":' + nested_arrays(d - 1) + "}",
     lambda: '{"expr":"lit","value":' + "[" * 126),
    (vorlan.normalize_expr, not_chain, lambda: '{"expr":"not","of":' * 127),
    (vorlan.normalize_expr, lambda d: '["not",' * (d - 1) + '["event"]' + "]" * (d - 1), lambda: '["not",' * 127),
    # An undeclared member is buffered with the rest, so it counts too.
    (vorlan.normalize_action, lambda d: '{"kind":"js","handler":"h","x":' + nested_arrays(d - 1) + "}",
     lambda: '{"kind":"js","handler":"h","x":' + "[" * 126),
    (vorlan.normalize_action, lambda d: '{"kind":"set-field","field":"f","value":{"expr":"lit","value":'
     + nested_arrays(d - 2) + "}}", lambda: '{"kind":"set-field","field":"f","value":{"expr":"lit","value":' + "[" * 125),
]


@pytest.mark.parametrize("fn,build,prefix", NESTING)
def test_nesting_limit(fn, build, prefix):
    fn(build(127))
    assert raises(fn, build(128)) == f"recursion limit exceeded at line 1 column {len(prefix()) + 1}"


def test_seq_nesting_limit():
    text = '{"kind":"seq","actions":[' * 63 + '{"kind":"js","handler":"h"}' + "]}" * 63
    assert vorlan.normalize_action(text) == text
    deeper = '{"kind":"seq","actions":[' * 64 + "]}" * 64
    column = len('{"kind":"seq","actions":[' * 63 + '{"kind":"seq","actions":') + 1
    assert raises(vorlan.normalize_action, deeper) == f"recursion limit exceeded at line 1 column {column}"


FIXED_POINT_INPUTS = (
    [(vorlan.normalize_expr, t) for pair in EXPR_KINDS for t in pair]
    + [(vorlan.normalize_action, t) for pair in ACTION_KINDS for t in pair]
    + [(vorlan.normalize_expr, t) for t, _ in EXPR_NORMALIZED]
    + [(vorlan.normalize_action, t) for t, _ in ACTION_NORMALIZED]
    + [(vorlan.normalize_expr, '{"expr":"lit","value":[0.1,1e-7,123456789012345680000,-1.5e300,"\\u2028\\ud83d\\ude00"]}')]
)


@pytest.mark.parametrize("fn,text", FIXED_POINT_INPUTS)
def test_output_is_a_fixed_point(fn, text):
    once = fn(text)
    assert fn(once) == once
    assert json.loads(once) is not None

