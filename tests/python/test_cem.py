import json
import random
from pathlib import Path

import pytest

import vorlan

FIXTURES = Path(__file__).parent / "fixtures"


def compact(value):
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"))


def manifest(*declarations):
    return compact({"modules": [{"declarations": list(declarations)}]})


def element(**fields):
    return {"customElement": True, "tagName": "x-el", **fields}


def schemas(text):
    return json.loads(vorlan.parse_cem(text))


def only_schema(declaration):
    [schema] = schemas(manifest(declaration))
    return schema


def error(text):
    with pytest.raises(ValueError) as info:
        vorlan.parse_cem(text)
    assert len(info.value.args) == 1
    return info.value.args[0]


# Prefix of the text up to the inside of the first declaration: 30 bytes.
DECL = '{"modules":[{"declarations":[{'


@pytest.mark.parametrize("text, message", [
    ("", "EOF while parsing a value at line 1 column 0"),
    ("null", "invalid type: null, expected struct Manifest at line 1 column 4"),
    ("  5", "invalid type: integer `5`, expected struct Manifest at line 1 column 3"),
    ('"x"', 'invalid type: string "x", expected struct Manifest at line 1 column 3'),
    ("{} x", "trailing characters at line 1 column 4"),
    ('{"modules":null}', "invalid type: null, expected a sequence at line 1 column 15"),
    ('{"modules":[null]}', "invalid type: null, expected struct Module at line 1 column 16"),
    ('{"modules":[],"modules":[]}', "duplicate field `modules` at line 1 column 23"),
    ('{"modules":[{"declarations":{}}]}', "invalid type: map, expected a sequence at line 1 column 28"),
    ('{"modules":[{"declarations":[7]}]}', "invalid type: integer `7`, expected struct Declaration at line 1 column 30"),
    (DECL + '"customElement":null}]}]}', "invalid type: null, expected a boolean at line 1 column 50"),
    (DECL + '"tagName":null,"tagName":"x"}]}]}', "duplicate field `tagName` at line 1 column 54"),
    (DECL + '"tagName":1}]}]}', "invalid type: integer `1`, expected a string at line 1 column 41"),
    (DECL + '"members":[{}]}]}]}', "missing field `kind` at line 1 column 43"),
    (DECL + '"members":[{"kind":"field"}]}]}]}', "missing field `name` at line 1 column 57"),
    (DECL + '"members":[{"kind":5}]}]}]}', "invalid type: integer `5`, expected a string at line 1 column 50"),
    (DECL + '"members":[{"kind":"field","name":"a","static":null}]}]}]}',
     "invalid type: null, expected a boolean at line 1 column 81"),
    (DECL + '"members":[{"kind":"field","name":"a","readonly":true,"readonly":true}]}]}]}',
     "duplicate field `readonly` at line 1 column 94"),
    (DECL + '"attributes":[{}]}]}]}', "missing field `name` at line 1 column 46"),
    (DECL + '"attributes":[{"name":null}]}]}]}', "invalid type: null, expected a string at line 1 column 56"),
    (DECL + '"attributes":[{"name":"a","type":"x"}]}]}]}',
     'invalid type: string "x", expected struct TypeText at line 1 column 66'),
    (DECL + '"attributes":[{"name":"a","type":{"text":1}}]}]}]}',
     "invalid type: integer `1`, expected a string at line 1 column 72"),
    (DECL + '"attributes":[{"name":"a","default":5}]}]}]}',
     "invalid type: integer `5`, expected a string at line 1 column 67"),
    (DECL + '"events":["click"]}]}]}', 'invalid type: string "click", expected struct Named at line 1 column 47'),
    (DECL + '"slots":null}]}]}', "invalid type: null, expected a sequence at line 1 column 42"),
    # array forms
    ('{"modules":[{"declarations":[[true]]}]}',
     "invalid length 1, expected struct Declaration with 8 elements at line 1 column 35"),
    ('{"modules":[{"declarations":[[]]}]}',
     "invalid length 1, expected struct Declaration with 8 elements at line 1 column 31"),
    (DECL + '"events":[[]]}]}]}', "invalid length 0, expected struct Named with 1 element at line 1 column 42"),
    (DECL + '"events":[["a","b"]]}]}]}', "trailing characters at line 1 column 46"),
    (DECL + '"events":[["a",]]}]}]}', "trailing comma at line 1 column 46"),
    (DECL + '"attributes":[[]]}]}]}', "invalid length 0, expected struct Attribute with 4 elements at line 1 column 46"),
    (DECL + '"members":[[]]}]}]}', "invalid length 0, expected struct Member with 10 elements at line 1 column 43"),
    (DECL + '"members":[["field"]]}]}]}',
     "invalid length 1, expected struct Member with 10 elements at line 1 column 50"),
    ('[[],[]]', "trailing characters at line 1 column 5"),
])
def test_malformed_manifest(text, message):
    assert error(text) == message


@pytest.mark.parametrize("text", ["{}", "[]", " { } \n", '{"modules":[]}', '{"modules":[{}]}', "[[[]]]",
                                  '{"Modules":5}', manifest({"tagName": "x-a"}), manifest({"customElement": False}),
                                  manifest({"customElement": True}), manifest({"customElement": True, "tagName": None}),
                                  manifest({"customElement": True, "TagName": "x-a"})])
def test_no_components(text):
    assert vorlan.parse_cem(text) == "[]"


def test_worked_example():
    text = manifest({
        "customElement": True, "tagName": "my-button", "description": "A button",
        "attributes": [{"name": "variant", "type": {"text": "'primary' | 'secondary'"}, "default": "'primary'"}],
        "members": [{"kind": "field", "name": "count", "type": {"text": "number"}, "default": "0"}],
        "events": [{"name": "click"}], "slots": [{"name": ""}],
    })
    assert vorlan.parse_cem(text) == (
        '[{"tag_name":"my-button","class_name":"MyButton","summary":"A button",'
        '"props":[{"name":"variant","ty":{"Enum":["primary","secondary"]},"default":"primary"}],'
        '"fields":[{"name":"count","ty":"Number","default":"0"}],"events":["click"],"slots":[""]}]')


def test_every_record_in_array_form():
    text = ('[[[[[true,"x-a",null,"d",[["n",["string"],"1",null]],'
            '[["field","f",[],null,false,false,null,null,null,"doc"]],[["e"]],[["s"]]]]]]]')
    assert vorlan.parse_cem(text) == (
        '[{"tag_name":"x-a","class_name":"XA","summary":"d","props":[{"name":"n","ty":"Str","default":"1"}],'
        '"fields":[{"name":"f","ty":"Any","doc":"doc"}],"events":["e"],"slots":["s"]}]')


def test_short_declaration_array_takes_defaults():
    assert vorlan.parse_cem('{"modules":[{"declarations":[[true,"x-a"]]}]}') == (
        '[{"tag_name":"x-a","class_name":"XA","props":[],"fields":[],"events":[],"slots":[]}]')


def test_undeclared_values_are_skipped_at_any_depth():
    deep = "[" * 200 + "]" * 200
    text = ('{"schemaVersion":' + deep + ',"modules":[{"x":' + deep + ',"declarations":[{"customElement":true,'
            '"tagName":"x-a","superclass":{"a":' + deep + '},"members":[{"kind":"field","name":"f","k":' + deep
            + '}]}]}]}')
    assert [f["name"] for f in schemas(text)[0]["fields"]] == ["f"]


def test_inherited_from_is_read_under_the_nesting_limit():
    prefix = DECL + '"members":[{"kind":"field","name":"f","inheritedFrom":'
    # seven levels are open; the 121st bracket of the value opens the 128th
    text = prefix + "[" * 200 + "]" * 200 + "}]}]}]}"
    assert error(text) == f"recursion limit exceeded at line 1 column {len(prefix) + 121}"


def test_duplicate_after_null_fails_before_its_value():
    # the repeated key fails even though its value would not read
    assert error(DECL + '"summary":null,"summary":}') == "duplicate field `summary` at line 1 column 54"


@pytest.mark.parametrize("declaration, expected", [
    (element(description="D"), "D"),
    (element(summary="S", description="D"), "S"),
    (element(summary="", description="D"), ""),
    (element(summary=None, description="D"), "D"),
    (element(), None),
    (element(summary=None, description=None), None),
])
def test_summary(declaration, expected):
    schema = only_schema(declaration)
    assert ("summary" in schema, schema.get("summary")) == (expected is not None, expected)


def test_empty_tag_name_gives_a_schema():
    assert vorlan.parse_cem(manifest(element(tagName=""))) == (
        '[{"tag_name":"","class_name":"","props":[],"fields":[],"events":[],"slots":[]}]')


@pytest.mark.parametrize("tag, class_name", [
    ("my-el_x", "MyElX"), ("x--y", "XY"), ("-a-", "A"), ("1-a", "1A"), ("---", ""),
    ("\u00dfa-b", "SSaB"), ("\ufb01x", "FIx"), ("\u4e2d-a", "\u4e2dA"), ("\u01c6-\u0149", "\u01c4\u02bcN"),
])
def test_class_name(tag, class_name):
    assert only_schema(element(tagName=tag))["class_name"] == class_name


def test_declarations_are_neither_merged_nor_reordered():
    text = compact({"modules": [
        {"declarations": [element(tagName="b-b"), {"kind": "class"}, element(tagName="a-a")]},
        {"declarations": []},
        {"declarations": [element(tagName="b-b", events=[{"name": "x"}, {"name": "x"}, {"name": ""}],
                                  slots=[{"name": "s"}, {"name": "s"}])]},
    ]})
    assert [(s["tag_name"], s["events"], s["slots"]) for s in schemas(text)] == [
        ("b-b", [], []), ("a-a", [], []), ("b-b", ["x", "x", ""], ["s", "s"])]


@pytest.mark.parametrize("attribute, prop", [
    ({"name": "a"}, '{"name":"a","ty":"Any"}'),
    ({"name": "a", "type": None, "default": None, "description": None}, '{"name":"a","ty":"Any"}'),
    ({"name": "a", "type": {}}, '{"name":"a","ty":"Any"}'),
    ({"name": "a", "type": {"text": None}}, '{"name":"a","ty":"Any"}'),
    ({"name": "a", "type": {"text": "Foo |\n  null"}, "default": " 'x' ", "description": ""},
     '{"name":"a","ty":"Any","type_text":"Foo | null","default":"x","doc":""}'),
    ({"name": "a", "type": {"text": "'on' | 'off' | undefined"}, "default": "'on'"},
     '{"name":"a","ty":{"Optional":{"Enum":["on","off"]}},"default":"on"}'),
    ({"name": "a", "type": {"text": "\u00a0boolean\u3000"}, "default": "\u00a0true\u3000"},
     '{"name":"a","ty":"Bool","default":"true"}'),
    ({"name": "a", "type": {"text": "HTMLElement"}}, '{"name":"a","ty":"Any","type_text":"HTMLElement"}'),
    ({"name": "a", "type": {"text": "(e: Event) => void"}}, '{"name":"a","ty":"Any","type_text":"(e: Event) => void"}'),
    ({"name": "a", "default": "new Map()"}, '{"name":"a","ty":"Any"}'),
    ({"name": "q\"\\\n\x01\u00e9", "description": "\t\u2028"},
     '{"name":"q\\"\\\\\\n\\u0001\u00e9","ty":"Any","doc":"\\t\u2028"}'),
])
def test_prop_from_attribute(attribute, prop):
    text = manifest(element(attributes=[attribute]))
    assert vorlan.parse_cem(text) == (
        f'[{{"tag_name":"x-el","class_name":"XEl","props":[{prop}],"fields":[],"events":[],"slots":[]}}]')


def field(**fields):
    return {"kind": "field", "name": "f", **fields}


@pytest.mark.parametrize("member", [
    {"kind": "method", "name": "f"},
    {"kind": "Field", "name": "f"},
    field(privacy="private"),
    field(privacy="protected"),
    field(privacy="Public"),
    field(static=True),
    field(readonly=True),
    field(name="#state"),
    field(name="_cache"),
    field(inheritedFrom={"name": "Base"}),
    field(inheritedFrom=False),
    field(inheritedFrom=0),
    field(inheritedFrom=""),
    field(inheritedFrom={}),
    field(attribute="f"),
    field(attribute=""),
    field(name="label"),
    field(name="id"),
    field(name="style"),
    field(name="hidden"),
    field(name="title"),
    field(name="tabIndex"),
    *[field(type={"text": t}) for t in [
        "Node", "HTMLElement", "HTMLInputElement | null", "SVGElement[]", "Array<Element>",
        "ReadonlyArray<CSSResult>", "MathMLElement", "Element | undefined", "TemplateResult[][]",
        "\u00a0ShadowRoot\u00a0", "() => void", "Map<string, (x: number) => void>"]],
], ids=repr)
def test_member_dropped(member):
    declaration = element(attributes=[{"name": "label"}], members=[member])
    assert only_schema(declaration)["fields"] == []


@pytest.mark.parametrize("member", [
    field(),
    field(name=""),
    field(name="a#"),
    field(privacy="public"),
    field(privacy=None, static=False, readonly=False, inheritedFrom=None, attribute=None),
    field(name="Id"),
    field(name="TITLE"),
    field(name="Label"),
    field(type=None),
    field(type={}),
    *[field(type={"text": t}) for t in [
        "", "string", "MathML", "HTMLFoo", "Node | string", "null", "undefined | null", "[]",
        "Array<Array<Node>>", "Array<Node | null>", "node", "= >"]],
], ids=repr)
def test_member_retained(member):
    declaration = element(attributes=[{"name": "label"}], members=[member])
    assert [f["name"] for f in only_schema(declaration)["fields"]] == [member["name"]]


def test_fields_keep_member_order_and_repeats():
    members = [field(name="b", type={"text": "boolean"}, default="true", description="B"), field(name="x", static=True),
               field(name="a", type={"text": "Foo"}), field(name="b")]
    assert compact(only_schema(element(members=members))["fields"]) == (
        '[{"name":"b","ty":"Bool","default":"true","doc":"B"},{"name":"a","ty":"Any","type_text":"Foo"},'
        '{"name":"b","ty":"Any"}]')


def test_real_manifest():
    text = (FIXTURES / "spectrum-button.custom-elements.json").read_text(encoding="utf-8")
    result = schemas(text)
    assert [(s["tag_name"], s["class_name"]) for s in result] == [
        ("sp-button", "SpButton"), ("sp-clear-button", "SpClearButton"), ("sp-close-button", "SpCloseButton")]
    for s in result:
        assert list(s) == ["tag_name", "class_name", "summary", "props", "fields", "events", "slots"]
    button = result[0]
    assert [p["name"] for p in button["props"]] == [
        "pending-label", "pending", "variant", "static-color", "treatment", "quiet", "no-wrap", "active", "type"]
    assert compact(button["props"][3]) == (
        '{"name":"static-color","ty":{"Optional":{"Enum":["black","white"]}},'
        '"doc":"The static color variant to use for this button."}')
    assert compact(button["fields"]) == (
        '[{"name":"pendingStateController","ty":"Any","type_text":"PendingStateController<this>"}]')
    assert (button["events"], button["slots"]) == ([], ["", "icon"])
    assert compact(result[2]) == (
        '{"tag_name":"sp-close-button","class_name":"SpCloseButton","summary":"","props":['
        '{"name":"variant","ty":"Any","type_text":"ButtonStaticColors | \'\'","default":"",'
        '"doc":"The visual variant to apply to this button."},'
        '{"name":"static-color","ty":{"Optional":{"Enum":["black","white"]}}},'
        '{"name":"active","ty":"Bool","default":"false"},'
        '{"name":"type","ty":{"Enum":["button","submit","reset"]},"default":"button",'
        '"doc":"The default behavior of the button.\\nPossible values are: `button` (default), `submit`, and `reset`."}'
        '],"fields":[],"events":[],"slots":["","icon"]}')


def test_members_named_as_any_attribute_are_dropped():
    names = [f"n{i:03d}" for i in range(300)]
    attributes = [{"name": n} for n in names[::2]]
    random.Random(7).shuffle(attributes)
    declaration = element(attributes=attributes, members=[field(name=n) for n in reversed(names)])
    assert [f["name"] for f in only_schema(declaration)["fields"]] == names[::-2]
