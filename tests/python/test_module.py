import importlib.util
import itertools
import sys
import types

import pytest

import vorlan

ALL = [
    "Example", "diff", "apply", "parse_cem", "normalize_action", "normalize_expr", "normalize_binding",
    "action_schema", "expr_schema", "binding_schema", "encode_frame", "decode_frame",
]

ENCODE_DOC = ("Frame a JSON-encoded tree/patch into drovane' length-prefixed envelope bytes.\n\n"
              "`kind` is `\"snapshot\"` or `\"patch\"`; `codec` is `\"application/json\"` or "
              "`\"application/msgpack\"`.")

# name, __text_signature__, __doc__
FUNCTIONS = [
    ("diff", "(old, new)",
     "Diff two JSON-encoded component trees, returning the JSON-encoded patch.\n\n"
     "Thin wrapper over the shared core (`vorlan::diff_json`); the same code runs in the wasm binding."),
    ("apply", "(root, patch)",
     "Apply a JSON-encoded patch to a JSON-encoded tree, returning the JSON-encoded result."),
    ("parse_cem", "(manifest)",
     "Parse a `custom-elements.json` manifest into the JSON-encoded list of component schemas."),
    ("normalize_action", "(value)", None),
    ("normalize_expr", "(value)", None),
    ("normalize_binding", "(value)", None),
    ("action_schema", "()", None),
    ("expr_schema", "()", None),
    ("binding_schema", "()", None),
    ("encode_frame", "(payload, model_type, kind, rev, codec)", ENCODE_DOC),
    ("decode_frame", "(frame)",
     "Decode one frame back to a `{\"model_type\",\"kind\",\"rev\",\"payload\"}` JSON string."),
]

# Sample arguments per function with parameters, in parameter order.
PARAMS = {
    "diff": {"old": '{"tag":"a"}', "new": '{"tag":"b"}'},
    "apply": {"root": '{"tag":"a"}', "patch": '{"ops":[]}'},
    "parse_cem": {"manifest": '{"schemaVersion":"1.0.0","modules":[]}'},
    "normalize_action": {"value": '{"kind":"refresh"}'},
    "normalize_expr": {"value": '{"expr":"event"}'},
    "normalize_binding": {"value": '{"field":"x"}'},
    "encode_frame": {"payload": '{"tag":"a"}', "model_type": "m", "kind": "snapshot", "rev": 7,
                     "codec": "application/json"},
    "decode_frame": {"frame": b"\x00\x00\x00\x00"},
}


def outcome(fn, *args, **kwargs):
    """What a call observably does: its result, or its exception type and text."""
    try:
        return ("ok", fn(*args, **kwargs))
    except Exception as e:
        return (type(e), str(e), getattr(e, "__notes__", None))


def call(name, *args, **kwargs):
    return getattr(vorlan, name)(*args, **kwargs)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Text(str):
    def __str__(self):
        return "other"

    def encode(self, *args, **kwargs):
        raise AssertionError("a str subclass is read by its content")


class Data(bytes):
    pass


class Outer:
    class Inner:
        pass


def test_all_lists_the_class_then_the_functions_in_order():
    assert vorlan.__all__ == ALL
    assert [name for name in dir(vorlan) if not name.startswith("__")] == sorted(ALL)


def test_module_doc_is_empty():
    assert vorlan.__doc__ == ""


@pytest.mark.parametrize("name,signature,doc", FUNCTIONS)
def test_function_surface(name, signature, doc):
    fn = getattr(vorlan, name)
    assert fn.__name__ == name
    assert fn.__text_signature__ == signature
    assert fn.__doc__ == doc
    assert fn.__module__ == "vorlan"
    assert fn.__self__ is None


@pytest.mark.parametrize("name", ["action_schema", "expr_schema", "binding_schema"])
@pytest.mark.parametrize("args,kwargs", [((1,), {}), ((), {"x": 1})])
def test_schema_functions_take_no_arguments(name, args, kwargs):
    with pytest.raises(TypeError):
        call(name, *args, **kwargs)


# (callable, args, kwargs, message): binding errors, which carry no note.
BINDING_ERRORS = [
    ("decode_frame", (), {}, "decode_frame() missing 1 required positional argument: 'frame'"),
    ("encode_frame", (), {},
     "encode_frame() missing 5 required positional arguments: 'payload', 'model_type', 'kind', 'rev', and 'codec'"),
    ("encode_frame", ("p", "m"), {"codec": "c"},
     "encode_frame() missing 2 required positional arguments: 'kind' and 'rev'"),
    ("encode_frame", (), {"rev": 1},
     "encode_frame() missing 4 required positional arguments: 'payload', 'model_type', 'kind', and 'codec'"),
    ("diff", ("a",), {}, "diff() missing 1 required positional argument: 'new'"),
    ("diff", (), {"new": "a"}, "diff() missing 1 required positional argument: 'old'"),
    ("diff", (), {}, "diff() missing 2 required positional arguments: 'old' and 'new'"),
    ("diff", ("a", "b", "c"), {}, "diff() takes 2 positional arguments but 3 were given"),
    ("decode_frame", (b"", b""), {}, "decode_frame() takes 1 positional arguments but 2 were given"),
    ("encode_frame", ("p", "m", "k", 1, "c", "x"), {},
     "encode_frame() takes 5 positional arguments but 6 were given"),
    ("diff", ("a",), {"old": "b"}, "diff() got multiple values for argument 'old'"),
    ("apply", (), {"root": "a", "patch": "b", "Root": "c"}, "apply() got an unexpected keyword argument 'Root'"),
    ("normalize_expr", (), {"valu": "x"}, "normalize_expr() got an unexpected keyword argument 'valu'"),
    ("normalize_expr", (), {"\u00e9": "x"}, "normalize_expr() got an unexpected keyword argument '\u00e9'"),
    ("normalize_expr", (), {"\ud800": "x"}, "normalize_expr() got an unexpected keyword argument '\ud800'"),
    # a keyword matches by its exact code points, not by a normalised form
    ("normalize_expr", (), {"valu\u0065\u0301": "x"},
     "normalize_expr() got an unexpected keyword argument 'valu\u0065\u0301'"),
    # keywords are checked in the caller's order, before missing parameters
    ("diff", (), {"bad": 1, "old": "a"}, "diff() got an unexpected keyword argument 'bad'"),
    ("diff", ("a",), {"old": "a", "bad": 1}, "diff() got multiple values for argument 'old'"),
    ("Example", (), {}, "Example.__new__() missing 1 required positional argument: 'value'"),
    ("Example", ("a", "b"), {}, "Example.__new__() takes 1 positional arguments but 2 were given"),
    ("Example", ("a",), {"value": "b"}, "Example.__new__() got multiple values for argument 'value'"),
    ("Example", (), {"v": "a"}, "Example.__new__() got an unexpected keyword argument 'v'"),
]


@pytest.mark.parametrize("name,args,kwargs,message", BINDING_ERRORS)
def test_binding_errors(name, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        call(name, *args, **kwargs)
    assert info.value.args == (message,)
    assert not hasattr(info.value, "__notes__")


# (callable, args, kwargs, exception type, message or None for the interpreter's own, parameter of the note)
CONVERSION_ERRORS = [
    ("normalize_expr", (None,), {}, TypeError, "'None' is not an instance of 'str'", "value"),
    ("normalize_action", (b"x",), {}, TypeError, "'bytes' object is not an instance of 'str'", "value"),
    ("parse_cem", (Outer.Inner(),), {}, TypeError, "'Outer.Inner' object is not an instance of 'str'", "manifest"),
    ("diff", ("a", 2), {}, TypeError, "'int' object is not an instance of 'str'", "new"),
    ("apply", (), {"patch": "p", "root": 1.5}, TypeError, "'float' object is not an instance of 'str'", "root"),
    ("normalize_binding", ("\ud800",), {}, UnicodeEncodeError, None, "value"),
    ("diff", ("a", "b\udfff"), {}, UnicodeEncodeError, None, "new"),
    ("decode_frame", (bytearray(8),), {}, TypeError, "'bytearray' object is not an instance of 'bytes'", "frame"),
    ("decode_frame", (memoryview(b"x"),), {}, TypeError, "'memoryview' object is not an instance of 'bytes'",
     "frame"),
    ("decode_frame", ("x",), {}, TypeError, "'str' object is not an instance of 'bytes'", "frame"),
    ("decode_frame", (None,), {}, TypeError, "'None' is not an instance of 'bytes'", "frame"),
    ("encode_frame", ("p", "m", "k", -1, "c"), {}, OverflowError, None, "rev"),
    ("encode_frame", ("p", "m", "k", 2**64, "c"), {}, OverflowError, None, "rev"),
    ("encode_frame", ("p", "m", "k", Index(-5), "c"), {}, OverflowError, None, "rev"),
    ("encode_frame", ("p", "m", "k", 1.0, "c"), {}, TypeError, None, "rev"),
    ("encode_frame", ("p", "m", "k", "1", "c"), {}, TypeError, None, "rev"),
    ("encode_frame", ("p", "m", "k", None, "c"), {}, TypeError, None, "rev"),
    ("Example", (1,), {}, TypeError, "'int' object is not an instance of 'str'", "value"),
    ("Example", (), {"value": None}, TypeError, "'None' is not an instance of 'str'", "value"),
    ("Example", ("\ud800",), {}, UnicodeEncodeError, None, "value"),
]


@pytest.mark.parametrize("name,args,kwargs,error,message,param", CONVERSION_ERRORS)
def test_conversion_errors(name, args, kwargs, error, message, param):
    with pytest.raises(error) as info:
        call(name, *args, **kwargs)
    assert type(info.value) is error
    if message is not None:
        assert info.value.args == (message,)
    assert info.value.__notes__ == [f"while processing '{param}'"]


# The first failing step decides: binding, then each parameter in parameter order.
PRECEDENCE = [
    (("diff", (1,), {"new": 2, "extra": 3}), TypeError, "diff() got an unexpected keyword argument 'extra'", None),
    (("diff", (1, 2, 3), {}), TypeError, "diff() takes 2 positional arguments but 3 were given", None),
    (("diff", (1,), {}), TypeError, "diff() missing 1 required positional argument: 'new'", None),
    (("diff", (1, 2), {}), TypeError, "'int' object is not an instance of 'str'", "old"),
    (("diff", (), {"new": 2, "old": 1}), TypeError, "'int' object is not an instance of 'str'", "old"),
    (("encode_frame", (1, 2, 3, -1, 4), {}), TypeError, "'int' object is not an instance of 'str'", "payload"),
    (("encode_frame", ("p", 2, 3, -1, 4), {}), TypeError, "'int' object is not an instance of 'str'", "model_type"),
    (("encode_frame", ("p", "m", 3, -1, 4), {}), TypeError, "'int' object is not an instance of 'str'", "kind"),
    (("encode_frame", ("p", "m", "k", -1, 4), {}), OverflowError, None, "rev"),
    (("encode_frame", ("p", "m", "k", 1, 4), {}), TypeError, "'int' object is not an instance of 'str'", "codec"),
    (("encode_frame", (), {"codec": 4, "rev": -1, "kind": 3, "model_type": 2, "payload": "\ud800"}),
     UnicodeEncodeError, None, "payload"),
    (("Example", (1,), {"value": 2}), TypeError, "Example.__new__() got multiple values for argument 'value'", None),
]


@pytest.mark.parametrize("call_,error,message,param", PRECEDENCE)
def test_failure_precedence(call_, error, message, param):
    name, args, kwargs = call_
    with pytest.raises(error) as info:
        call(name, *args, **kwargs)
    if message is not None:
        assert info.value.args == (message,)
    assert getattr(info.value, "__notes__", None) == (None if param is None else [f"while processing '{param}'"])


def test_a_failing_add_note_leaves_the_exception_without_note():
    class NoteRefused(Exception):
        def add_note(self, note):
            raise RuntimeError("refused")

    class Refusing:
        def __index__(self):
            raise NoteRefused("no index")

    with pytest.raises(NoteRefused) as info:
        vorlan.encode_frame("p", "m", "k", Refusing(), "c")
    assert info.value.args == ("no index",)
    assert not hasattr(info.value, "__notes__")


@pytest.mark.parametrize("name", sorted(PARAMS))
def test_every_parameter_by_keyword_in_any_order(name):
    params = PARAMS[name]
    expected = outcome(getattr(vorlan, name), *params.values())
    for order in itertools.permutations(params):
        assert outcome(getattr(vorlan, name), **{key: params[key] for key in order}) == expected, order
    for split in range(len(params)):
        keys = list(params)
        positional = [params[key] for key in keys[:split]]
        keywords = {key: params[key] for key in reversed(keys[split:])}
        assert outcome(getattr(vorlan, name), *positional, **keywords) == expected, split


def frame_call(rev, payload='{"tag":"a"}'):
    return ("encode_frame", (payload, "m", "snapshot", rev, "application/json"))


# Pairs of calls that must behave the same: the converted values are equal.
SAME_VALUE = [
    (frame_call(True), frame_call(1)),
    (frame_call(False), frame_call(0)),
    (frame_call(Index(5)), frame_call(5)),
    (frame_call(2**64 - 1), frame_call(18446744073709551615)),
    (("decode_frame", (Data(b"\x00\x00\x00\x02{}\x00\x00\x00\x00"),)),
     ("decode_frame", (b"\x00\x00\x00\x02{}\x00\x00\x00\x00",))),
    (("normalize_expr", (Text('{"expr":"event"}'),)), ("normalize_expr", ('{"expr":"event"}',))),
    (("diff", (Text('{"tag":"a"}'), Text('{"tag":"b"}'))), ("diff", ('{"tag":"a"}', '{"tag":"b"}'))),
]


@pytest.mark.parametrize("left,right", SAME_VALUE)
def test_equal_values_convert_alike(left, right):
    assert outcome(getattr(vorlan, left[0]), *left[1]) == outcome(getattr(vorlan, right[0]), *right[1])


@pytest.mark.parametrize("rev", [0, 1, True, 2**64 - 1, Index(5), Index(2**64 - 1)])
def test_accepted_revisions_reach_the_operation(rev):
    kind = outcome(vorlan.encode_frame, '{"tag":"a"}', "m", "snapshot", rev, "application/json")[0]
    assert kind in ("ok", ValueError)


@pytest.mark.parametrize("name,args", [
    ("diff", ("not json", '{"tag":"a"}')),
    ("apply", ("[", "[")),
    ("normalize_expr", ("{",)),
    ("decode_frame", (b"\x00",)),
])
def test_operation_failure_is_a_plain_value_error(name, args):
    with pytest.raises(ValueError) as info:
        call(name, *args)
    assert type(info.value) is ValueError
    assert len(info.value.args) == 1 and isinstance(info.value.args[0], str)
    assert not hasattr(info.value, "__notes__")
    assert info.value.__cause__ is None


@pytest.mark.parametrize("name", ["action_schema", "expr_schema", "binding_schema"])
def test_schema_functions_return_text_or_value_error(name):
    kind = outcome(getattr(vorlan, name))
    assert kind[0] == "ok" and type(kind[1]) is str or kind[0] is ValueError


# value, str, repr
EXAMPLE_TEXTS = [
    ("x", "x", "Example<x>"),
    ("", "", "Example<>"),
    ('say "hi"', 'say "hi"', 'Example<say "hi">'),
    ("a\\b\n", "a\\b\n", "Example<a\\b\n>"),
    ("\u00fc\u20ac\U0001f600", "\u00fc\u20ac\U0001f600", "Example<\u00fc\u20ac\U0001f600>"),
    ("nul\x00inside", "nul\x00inside", "Example<nul\x00inside>"),
]


@pytest.mark.parametrize("value,text,representation", EXAMPLE_TEXTS)
@pytest.mark.parametrize("by_keyword", [False, True])
def test_example_str_and_repr(value, text, representation, by_keyword):
    example = vorlan.Example(value=value) if by_keyword else vorlan.Example(value)
    assert type(str(example)) is str and str(example) == text
    assert repr(example) == representation


def test_example_keeps_the_content_of_a_str_subclass():
    example = vorlan.Example(Text("content"))
    assert str(example) == "content" and type(str(example)) is str


@pytest.mark.parametrize("action", [
    lambda e: e.value,
    lambda e: setattr(e, "value", "y"),
    lambda e: setattr(e, "other", 1),
    lambda e: e.__dict__,
])
def test_example_has_no_attributes(action):
    with pytest.raises(AttributeError):
        action(vorlan.Example("x"))


def test_example_cannot_be_subclassed():
    with pytest.raises(TypeError):
        type("Sub", (vorlan.Example,), {})


def test_example_type_surface():
    assert vorlan.Example.__module__ == "builtins"
    assert vorlan.Example.__name__ == "Example"
    assert vorlan.Example.__qualname__ == "Example"
    assert vorlan.Example.__doc__ == ""
    assert vorlan.Example.__text_signature__ == "(value)"
    assert vorlan.Example.__base__ is object


def test_reimport_gives_a_new_module_with_the_same_class():
    old = sys.modules.pop("vorlan")
    try:
        import vorlan as again
        assert again is not old
        assert again.__all__ == ALL and again.__all__ is not old.__all__
        assert again.Example is old.Example
        assert again.diff is not old.diff
    finally:
        sys.modules["vorlan"] = old


def spoil_name_after_example(spoil):
    """A module type whose __name__ goes bad as soon as Example is set on it."""
    class Spoiling(types.ModuleType):
        def __setattr__(self, name, value):
            super().__setattr__(name, value)
            if name == "Example":
                spoil(self)
    return Spoiling


@pytest.mark.parametrize("spoil", [
    lambda m: types.ModuleType.__delattr__(m, "__name__"),
    lambda m: types.ModuleType.__setattr__(m, "__name__", 5),
], ids=["missing", "not a str"])
def test_a_name_that_goes_bad_during_exec_keeps_what_was_added(spoil):
    spec = importlib.util.find_spec("vorlan")
    module = importlib.util.module_from_spec(spec)
    module.__class__ = spoil_name_after_example(spoil)
    with pytest.raises(SystemError):
        spec.loader.exec_module(module)
    assert module.__all__ == ["Example"]
    assert module.Example is vorlan.Example
    assert not hasattr(module, "diff")
