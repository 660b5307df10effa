import re

import pytest

import test_action
import test_diff
import vorlan


def respell(text):
    """The text with every character of every string (keys and values) written as a \\u escape.

    Escapes already there stay as written; so do raw control characters (refused
    either way) and the character right after an escaped leading surrogate (what
    the reader says about it depends on whether it is an escape)."""
    out = []
    i = 0
    in_string = False
    keep_next = False
    while i < len(text):
        c = text[i]
        if c == '"' or not in_string:
            if c == '"':
                in_string = not in_string
            out.append(c)
            i += 1
        elif c == "\\":
            escape = text[i:i + 6] if text[i + 1:i + 2] == "u" else text[i:i + 2]
            out.append(escape)
            i += len(escape)
            keep_next = re.fullmatch(r"\\u[dD][89abAB][0-9a-fA-F]{2}", escape) is not None
        else:
            if keep_next or c < " ":
                out.append(c)
            else:
                encoded = c.encode("utf-16-be")
                out.extend(f"\\u{encoded[k] << 8 | encoded[k + 1]:04x}" for k in range(0, len(encoded), 2))
            keep_next = False
            i += 1
    return "".join(out)


@pytest.mark.parametrize(
    "text,respelled",
    [
        ('{"a":[1,"é"]}', r'{"\u0061":[1,"\u00e9"]}'),
        ('"😀"', r'"\ud83d\ude00"'),
        (r'"\n\u0041\"x"', r'"\n\u0041\"\u0078"'),
        (r'"\ud800x"', r'"\ud800x"'),
        ('"a\tb', r'"\u0061' + "\t" + r"\u0062"),
    ],
)
def test_respell(text, respelled):
    assert respell(text) == respelled


def outcome(fn, args):
    """The result text, or the message without its position (escapes move every column)."""
    try:
        return "ok", fn(*args)
    except ValueError as e:
        return "error", re.sub(r" at line \d+ column \d+$", "", str(e))


def tree(handler):
    return '{"tag":"b","events":{"click":' + handler + "}}"


HANDLER = '{"kind":"js","handler":"h"}'
LONG = "a" * 100

# Rows whose one-pass read fails after the tag (or a key) was read, so a stale view
# of it would pick another variant or field.
STALE_VIEWS = [
    (vorlan.normalize_action, '{"kind":"set","target":{"ref":"seq"},"actions":[]}'),
    (vorlan.normalize_expr, '{"expr":"any","of":[{"expr":"obj"}],"fields":{}}'),
    (vorlan.normalize_expr, '{"expr":"call","target":{"ref":"method"}:"m"}'),
    (vorlan.normalize_action, '{"kind":"emit","event":"x","detail":{"expr":"any","of":[{"expr":"obj"}],"fields":{}}}'),
    # a long string first puts the scratch buffer on the heap; the longer ref tag moves it
    (vorlan.normalize_action, '{"kind":"seq","actions":[{"kind":"js","handler":"' + LONG + '"},'
                              '{"kind":"set","target":{"ref":"' + "b" * 300 + '"},"actions":[]}]}'),
    (vorlan.diff, (tree('{"kind":"set","target":{"ref":"seq"},"actions":[]}'), tree(HANDLER))),
    (vorlan.diff, (tree(HANDLER), tree('{"kind":"set","target":{"ref":"seq"},"actions":[]}'))),
    (vorlan.apply, (tree('{"kind":"set","target":{"ref":"seq"},"actions":[]}'), '{"ops":[]}')),
    (vorlan.apply, ('{"tag":"b"}', '{"ops":[{"SetEvent":{"path":[],"name":"click","action":'
                                   '{"kind":"set","target":{"ref":"seq"},"actions":[]}}}]}')),
]

BINDINGS = [
    '{"field":"f","mode":"one-way"}',
    '{"mode":{"two-way":null},"field":"f","codec":"json","event":"input","methods":["o","c"]}',
    '{"mode":"one-way","compute":{"expr":"any","of":[{"expr":"obj"}],"fields":{}}}',
    '{"mode":"one-way","compute":{"expr":"lit","value":{"b":"é","a":"😀"}}}',
    '{"field":"f","mode":"one-way","selection":{"tag":"t","value":"v","selected":"s"},"options":["v","l"]}',
    '["f",null,"three-way"]',
    '{"field":"f","mode":"one-way","field":"g"}',
    '{"field":"f","mode":"sideways"}',
    '{"field":"f","mode":"one-way","codec":"text"}',
    '{"field":"f","mode":"one-way","methods":["o"]}',
    '{"field":"f","mode":"one-way","state":"\\ud800x"}',
]

TREES = [
    '{"tag":"b","key":"k","props":{"p":{"Str":"é"}},"events":{"click":' + HANDLER + '},'
    '"event_options":{"click":{"once":true}},"bindings":{"value":{"field":"f","mode":"one-way"}}}',
    tree('{"kind":"emit","event":"x","detail":{"expr":"field"}}'),
    tree('{"kind":"nope"}'),
    '{"tag":"b","event_options":{"click":{"twice":true}}}',
]

ROWS = (
    STALE_VIEWS
    + [(vorlan.normalize_expr, t) for pair in test_action.EXPR_KINDS for t in pair]
    + [(vorlan.normalize_action, t) for pair in test_action.ACTION_KINDS for t in pair]
    + [(vorlan.normalize_expr, t) for t, _ in test_action.EXPR_NORMALIZED + test_action.EXPR_ERRORS]
    + [(vorlan.normalize_action, t) for t, _ in test_action.ACTION_NORMALIZED + test_action.ACTION_ERRORS]
    + [(vorlan.normalize_binding, t) for t in BINDINGS]
    + [(vorlan.diff, (t, tree(HANDLER))) for t in TREES]
    + [(vorlan.diff, (tree(form), tree(plain))) for form, plain in test_diff.HANDLER_FORMS]
    + [(vorlan.diff, tuple(c[1:3])) for c in test_diff.DIFF_CASES]
    + [(vorlan.apply, (test_diff.ROOT, c[1])) for c in test_diff.READ_FORMS]
    + [(vorlan.apply, (test_diff.ROOT, t)) for t, _ in test_diff.READ_FAILURES]
    + [(vorlan.apply, tuple(c[1:3])) for c in test_diff.APPLY_CASES + test_diff.APPLY_FAILURES]
)


def row_id(value):
    return value.__name__ if callable(value) else value[:60] if isinstance(value, str) else None


@pytest.mark.parametrize("fn,args", ROWS, ids=row_id)
def test_escaped_strings_read_as_plain_ones(fn, args):
    args = args if isinstance(args, tuple) else (args,)
    assert outcome(fn, [respell(a) for a in args]) == outcome(fn, args)
