"""Worst-case input shapes: how each call's time grows from n to 4n, and the memory of a few.

    python3 bench/shapes.py --module-dir build-bench [--filter SUBSTRING] [--no-memory]

Every input is built here from a fixed seed. Each shape is timed at its n and at 4n in one
run; the growth t(4n)/t(n) of a linear call is 4 (up to about 6 where the larger input falls
out of the caches), of an n log n one a little more, and the target is <= 8. Shapes marked for
memory then run once per size in a fresh child process, which reports its peak resident memory
during the call over its RSS just before it. bench/README.md describes the shapes.
"""
import argparse
import faulthandler
import json
import os
import random
import statistics
import struct
import subprocess
import sys
import tempfile
import time
import timeit

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import child  # noqa: E402
from report import fmt_time, print_table  # noqa: E402

COMPACT = (",", ":")
MSGPACK = "application/msgpack"
EMPTY = '{"ops":[]}'
TARGET = 8.0
SUSPECT = 6.0
# A first call at n slower than this is not run at 4n.
TOO_SLOW = 10.0
# A call at least this slow is timed one call at a time, its first call counting.
SLOW_CALL = 0.5
MIN_BATCH = 0.03
ROUNDS = 7
# Once a shape has spent this long in timing, a size that has a sample is not timed again.
SHAPE_BUDGET = 8.0
DEPTH = 40  # steps of the long paths; a node at depth 43 is the deepest a tree text can hold


def js(value):
    return json.dumps(value, separators=COMPACT, ensure_ascii=False)


def obj(pairs):
    """An object text from (key, value text) pairs, in the order given, repeats kept."""
    return "{" + ",".join(js(k) + ":" + v for k, v in pairs) + "}"


def names(n, order, rng, prefix="p"):
    """n member names in byte order, reversed, shuffled, or one name n times."""
    out = [f"{prefix}{i:07d}" for i in range(n)]
    if order == "desc":
        out.reverse()
    elif order == "shuffled":
        rng.shuffle(out)
    elif order == "repeated":
        out = [out[0]] * n
    return out


def node(tag="x", key=None, props=None, slots=None, events=None, event_options=None, bindings=None):
    """A node text; each map is an object text or None."""
    parts = [f'"tag":{js(tag)}']
    if key is not None:
        parts.append(f'"key":{js(key)}')
    for name, text in (("props", props), ("slots", slots), ("events", events),
                       ("event_options", event_options), ("bindings", bindings)):
        if text is not None:
            parts.append(f'"{name}":{text}')
    return "{" + ",".join(parts) + "}"


def patch(ops):
    return '{"ops":[' + ",".join(ops) + "]}"


def op(kind, **fields):
    """One op text; fields hold texts already written, path first."""
    return '{"' + kind + '":{' + ",".join(f'"{k}":{v}' for k, v in fields.items()) + "}}"


def chain_path(steps, slot="c"):
    return js([{"slot": slot, "index": 0}] * steps)


def chain(leaf, steps, slot="c"):
    """leaf as the one descendant `steps` levels below the root."""
    text = leaf
    for _ in range(steps):
        text = node("d", slots=obj([(slot, "[" + text + "]")]))
    return text


def frame(payload, codec=MSGPACK):
    header = js({"codec": codec, "model_type": "M", "target": 0, "rev": 1, "kind": "Snapshot"}).encode()
    return struct.pack(">I", len(header)) + header + struct.pack(">I", len(payload)) + payload


def mp_str(s):
    b = s.encode()
    return b"\xdb" + struct.pack(">I", len(b)) + b


def mp_map(pairs):
    return b"\xdf" + struct.pack(">I", len(pairs)) + b"".join(mp_str(k) + v for k, v in pairs)


def mp_int(i):
    return b"\xd3" + struct.pack(">q", i)


class Shape:
    def __init__(self, name, n, build, call, mem=False, raises=False):
        self.name, self.n, self.build, self.call, self.mem, self.raises = name, n, build, call, mem, raises


SHAPES = []


def shape(name, n, call, mem=False, raises=False):
    """Registers build(v, n, rng) -> argument tuple for vorlan.<call>."""
    def register(build):
        SHAPES.append(Shape(name, n, build, call, mem, raises))
        return build
    return register


def with_patch(build):
    """(tree, patch): the patch is the module's own diff of the pair that build makes."""
    def make(v, n, rng):
        old, new = build(v, n, rng)
        return old, v.diff(old, new)
    return make


ORDERS = ("asc", "desc", "shuffled", "repeated")


# --- diff: one old subtree paired with many new ones -------------------------------------

@shape("diff: 1 old item (n kids) vs n new items", 1_000, "diff", mem=True)
def _(v, n, rng):
    old = js({"tag": "ul", "slots": {"items": [{"tag": "li", "key": "old",
                                                 "slots": {"kids": [{"tag": "i"}] * n}}]}})
    new = js({"tag": "ul", "slots": {"items": [{"tag": "li", "key": f"k{i}", "slots": {"kids": []}}
                                               for i in range(n)]}})
    return old, new


@shape("diff: 1 old item (n keyed kids) vs n/25 new items", 12_500, "diff", mem=True)
def _(v, n, rng):
    old = js({"tag": "ul", "slots": {"items": [{"tag": "li", "key": "old", "slots": {
        "kids": [{"tag": "i", "key": f"c{i}"} for i in range(n)]}}]}})
    new = js({"tag": "ul", "slots": {"items": [{"tag": "li", "key": f"k{i}",
                                                 "slots": {"kids": [{"tag": "b", "key": "c0"}]}}
                                               for i in range(n // 25)]}})
    return old, new


# --- key orders of a node's maps ---------------------------------------------------------

MAP_PREFIX = {"props": "p", "map": "m", "events": "e", "event_options": "e", "bindings": "b", "slots": "s"}
MAP_VALUE = {"props": lambda i: f'{{"Int":{i}}}',
             "map": lambda i: f'{{"Int":{i}}}',
             "events": lambda i: f'{{"kind":"js","handler":"h{i}"}}',
             "event_options": lambda i: ('{"once":true}', '{"capture":true,"passive":false}')[i % 2],
             "bindings": lambda i: f'{{"field":"f{i}","mode":"one-way"}}',
             "slots": lambda i: f'[{{"tag":"i","props":{{"v":{{"Int":{i}}}}}}}]'}


def map_pairs(kind, n, order, rng):
    return [(k, MAP_VALUE[kind](i)) for i, k in enumerate(names(n, order, rng, MAP_PREFIX[kind]))]


def map_node(kind, pairs):
    if kind == "map":
        return node(props=obj([("m", '{"Map":' + obj(pairs) + "}")]))
    return node(**{kind: obj(pairs)})


def map_pair(kind, n, order, rng):
    """A node with one map of n entries in the order, and the same with the last entry changed
    (the one kept when a name repeats)."""
    pairs = map_pairs(kind, n, order, rng)
    return map_node(kind, pairs), map_node(kind, pairs[:-1] + [(pairs[-1][0], MAP_VALUE[kind](n))])


MAP_SIZES = {"props": 25_000, "map": 25_000, "events": 20_000, "event_options": 30_000,
             "bindings": 20_000, "slots": 20_000}
MAP_LABEL = {"props": "props", "map": "Map prop value", "events": "events",
             "event_options": "event_options", "bindings": "bindings", "slots": "slot names"}

for _order in ORDERS:
    shape(f"diff: n props {_order}, 1 changed", MAP_SIZES["props"], "diff")(
        lambda v, n, rng, o=_order: map_pair("props", n, o, rng))
for _kind in MAP_SIZES:
    for _order in ORDERS:
        shape(f"apply empty: n {MAP_LABEL[_kind]} {_order}", MAP_SIZES[_kind], "apply")(
            lambda v, n, rng, k=_kind, o=_order: (map_node(k, map_pairs(k, n, o, rng)), EMPTY))
for _kind in MAP_SIZES:
    if _kind != "props":
        shape(f"diff: n {MAP_LABEL[_kind]} shuffled, 1 changed", MAP_SIZES[_kind], "diff")(
            lambda v, n, rng, k=_kind: map_pair(k, n, "shuffled", rng))


# --- long and wide lists -----------------------------------------------------------------

def keyed_list(keys):
    return node("ul", slots=obj([("items", "[" + ",".join(node("li", key=k) for k in keys) + "]")]))


def list_reversed(v, n, rng):
    keys = [f"k{i}" for i in range(n)]
    return keyed_list(keys), keyed_list(keys[::-1])


def list_shuffled(v, n, rng):
    keys = [f"k{i}" for i in range(n)]
    moved = keys[:]
    rng.shuffle(moved)
    return keyed_list(keys), keyed_list(moved)


def list_churn(v, n, rng):
    keys = [f"k{i}" for i in range(n)]
    new = []
    for i in range(0, n, 2):
        new += [keys[i], f"n{i}"]
    return keyed_list(keys), keyed_list(new)


def list_unkeyed(v, n, rng):
    def items(last):
        kids = [node("li", props=obj([("v", f'{{"Int":{i}}}')])) for i in range(n - 1)]
        return node("ul", slots=obj([("items", "[" + ",".join(kids + [last]) + "]")]))
    return items(node("li", props='{"v":{"Int":0}}')), items(node("li", props='{"v":{"Int":1}}'))


def list_many_slots(v, n, rng):
    slot_names = names(n, "shuffled", rng, "s")

    def tree(changed):
        return node(slots=obj([(s, "[" + node("i", props=obj([("v", '{"Int":%d}' % (i % 2 and changed))]))
                                + "]") for i, s in enumerate(slot_names)]))
    return tree(0), tree(1)


LISTS = [("keyed list reversed", 25_000, list_reversed),
         ("keyed list shuffled", 25_000, list_shuffled),
         ("keyed list, every other key removed, new ones between", 25_000, list_churn),
         ("unkeyed list, last child changed", 25_000, list_unkeyed),
         ("n slots shuffled, every other child changed", 10_000, list_many_slots)]
for _label, _n, _build in LISTS:
    shape(f"diff: {_label}", _n, "diff")(_build)
for _label, _n, _build in LISTS:
    shape(f"apply diff: {_label}", _n, "apply")(with_patch(_build))


# --- deep trees ----------------------------------------------------------------------------

def deep_props(v, n, rng):
    def leaf(base):
        return node("leaf", props=obj([(f"p{i:07d}", f'{{"Int":{base + i}}}') for i in range(n)]))
    return chain(leaf(0), DEPTH), chain(leaf(1), DEPTH)


def deep_kids(v, n, rng):
    def leaf(base):
        return node("leaf", slots=obj([("k", "[" + ",".join(
            node("i", props=f'{{"v":{{"Int":{base + i}}}}}') for i in range(n)) + "]")]))
    return chain(leaf(0), DEPTH), chain(leaf(1), DEPTH)


shape(f"diff: leaf {DEPTH} deep, n props all changed", 80_000, "diff", mem=True)(deep_props)
shape(f"diff: leaf {DEPTH} deep, n children all changed", 80_000, "diff", mem=True)(deep_kids)
shape(f"apply diff: leaf {DEPTH} deep, n props all changed", 10_000, "apply", mem=True)(with_patch(deep_props))
shape(f"apply diff: leaf {DEPTH} deep, n children all changed", 10_000, "apply")(with_patch(deep_kids))


# --- apply: many ops on one node or one path -------------------------------------------

ROOT = "[]"


def has_names(n, parity=0, value='{"Int":1}'):
    """A map text of n entries named p and an even (parity 0) or odd number, in byte order."""
    return obj([(f"p{2 * i + parity:07d}", value) for i in range(n)])


def new_names(n, order, rng):
    """The n odd names that fall between those of has_names(n), reversed or shuffled."""
    out = [f"p{2 * i + 1:07d}" for i in range(n)]
    if order == "desc":
        out.reverse()
    else:
        rng.shuffle(out)
    return out


# (op, the map it sets, the op's value field, a value there before, the value set, orders)
SETS = [("SetProp", "props", "value", '{"Int":1}', '{"Int":2}', ("desc", "shuffled")),
        ("SetEvent", "events", "action", '{"kind":"js","handler":"h"}', '{"kind":"js","handler":"g"}', ("shuffled",)),
        ("SetBinding", "bindings", "binding", '{"field":"f","mode":"one-way"}', '{"field":"g","mode":"two-way"}',
         ("shuffled",)),
        ("SetEventOptions", "event_options", "options", '{"once":true}', '{"passive":true}', ("shuffled",))]
for _op, _map, _field, _old, _new, _orders in SETS:
    for _order in _orders:
        shape(f"apply: n {_op} new names {_order} on n {_map}", 20_000, "apply")(
            lambda v, n, rng, o=_op, m=_map, f=_field, old=_old, new=_new, order=_order: (
                node(**{m: has_names(n, value=old)}),
                patch(op(o, path=ROOT, name=js(k), **{f: new}) for k in new_names(n, order, rng))))


@shape("apply: n RemoveProp ascending", 20_000, "apply")
def _(v, n, rng):
    return node(props=has_names(n, 1)), patch(
        op("RemoveProp", path=ROOT, name=js(f"p{2 * i + 1:07d}")) for i in range(n))


@shape("apply: n SetKey on one node", 50_000, "apply")
def _(v, n, rng):
    return node(), patch(op("SetKey", path=ROOT, key=js(f"k{i}")) for i in range(n))


@shape("apply: n InsertChild at 0, two slots in turn", 10_000, "apply", mem=True)
def _(v, n, rng):
    return node(), patch(op("InsertChild", path=ROOT, slot=js("ab"[i % 2]), index="0",
                            node=f'{{"tag":"i","key":"k{i}"}}') for i in range(n))


@shape("apply: InsertChild at 0 and SetProp in turn, one node", 10_000, "apply")
def _(v, n, rng):
    ops = []
    for i, k in enumerate(new_names(n // 2, "shuffled", rng)):
        ops.append(op("InsertChild", path=ROOT, slot='"s"', index="0", node=f'{{"tag":"i","key":"k{i}"}}'))
        ops.append(op("SetProp", path=ROOT, name=js(k), value='{"Int":3}'))
    return node(), patch(ops)


def kids(count, prefix="k"):
    return "[" + ",".join(node("i", key=f"{prefix}{i}") for i in range(count)) + "]"


@shape("apply: n MoveChild shuffled, one slot", 20_000, "apply")
def _(v, n, rng):
    moves = [op("MoveChild", path=ROOT, slot='"s"', **{"from": str(rng.randrange(n)), "to": str(rng.randrange(n))})
             for _ in range(n)]
    return node(slots=obj([("s", kids(n))])), patch(moves)


@shape("apply: n MoveChild shuffled, two slots in turn", 10_000, "apply")
def _(v, n, rng):
    half = n // 2
    moves = [op("MoveChild", path=ROOT, slot=js("ab"[i % 2]),
                **{"from": str(rng.randrange(half)), "to": str(rng.randrange(half))}) for i in range(n)]
    return node(slots=obj([("a", kids(half, "a")), ("b", kids(half, "b"))])), patch(moves)


@shape("apply: n RemoveChild at 0, two slots in turn", 10_000, "apply")
def _(v, n, rng):
    half = n // 2
    return (node(slots=obj([("a", kids(half, "a")), ("b", kids(half, "b"))])),
            patch(op("RemoveChild", path=ROOT, slot=js("ab"[i % 2]), index="0") for i in range(2 * half)))


@shape("apply: InsertChild into n new slot names descending", 20_000, "apply")
def _(v, n, rng):
    return node(), patch(op("InsertChild", path=ROOT, slot=js(f"s{i:07d}"), index="0", node='{"tag":"i"}')
                         for i in reversed(range(n)))


@shape(f"apply: n SetProp each with a {DEPTH}-step path", 5_000, "apply", mem=True)
def _(v, n, rng):
    path = chain_path(DEPTH)
    return chain(node("leaf"), DEPTH), patch(op("SetProp", path=path, name=js(f"p{i:07d}"), value='{"Int":1}')
                                             for i in range(n))


# --- long strings and escape runs -----------------------------------------------------------

# (label, the escape or character as JSON text, label and character of the MessagePack str, n)
STRINGS = [("plain bytes", "a", "ASCII", "a", 500_000),
           ('\\"', '\\"', '"', '"', 500_000),
           ("\\u00e9", "\\u00e9", "\u00e9", "\u00e9", 500_000),
           ("surrogate pairs", "\\ud83d\\ude00", "U+1F600", "\U0001F600", 500_000)]


def str_lit(unit, n, tail=""):
    return '"' + unit * n + tail + '"'


for _label, _unit, _mlabel, _char, _n in STRINGS:
    shape(f"diff: string prop of n {_label}", _n, "diff")(
        lambda v, n, rng, u=_unit: (node(props=obj([("s", '{"Str":' + str_lit(u, n) + "}")])),
                                    node(props=obj([("s", '{"Str":' + str_lit(u, n, "x") + "}")]))))
    shape(f"apply empty: string prop of n {_label}", _n, "apply")(
        lambda v, n, rng, u=_unit: (node(props=obj([("s", '{"Str":' + str_lit(u, n) + "}")])), EMPTY))
    shape(f"normalize_expr: lit string of n {_label}", _n, "normalize_expr")(
        lambda v, n, rng, u=_unit: ('{"expr":"lit","value":' + str_lit(u, n) + "}",))
    shape(f"encode_frame msgpack: string of n {_label}", _n, "encode_frame")(
        lambda v, n, rng, u=_unit: (str_lit(u, n), "M", "snapshot", 1, MSGPACK))
    shape(f"decode_frame msgpack: str of n {_mlabel} ({len(_char.encode())} B each)", _n, "decode_frame")(
        lambda v, n, rng, c=_char: (frame(mp_str(c * n)),))


# --- long numbers --------------------------------------------------------------------------

def digits(n, rng):
    """n digits: one random block repeated, which is as hostile as n random ones and quick to build."""
    block = "".join(rng.choice("0123456789") for _ in range(1000))
    return (block * (n // 1000 + 1))[:n]


NUMBERS = [("float of n digits", 8_000_000, lambda n, rng: "1." + digits(n, rng), False),
           ("integer of n digits", 8_000_000, lambda n, rng: "1" + digits(n, rng), True),
           ("exponent of n digits", 8_000_000, lambda n, rng: "1.5e-" + "0" * (n - 1) + "3", False)]


def float_list(n, rng, wrap):
    return "[" + ",".join(wrap(repr(rng.uniform(-1e6, 1e6))) for _ in range(n)) + "]"


for _label, _n, _num, _raises in NUMBERS:
    shape(f"diff: Float prop, {_label}", _n, "diff", raises=_raises)(
        lambda v, n, rng, f=_num: (node(props=obj([("f", '{"Float":' + f(n, rng) + "}")])),
                                   node(props=obj([("f", '{"Float":' + "2" + f(n, rng)[1:] + "}")]))))
    shape(f"apply empty: Float prop, {_label}", _n, "apply", raises=_raises)(
        lambda v, n, rng, f=_num: (node(props=obj([("f", '{"Float":' + f(n, rng) + "}")])), EMPTY))
    shape(f"normalize_expr: lit {_label}", _n, "normalize_expr", raises=_raises)(
        lambda v, n, rng, f=_num: ('{"expr":"lit","value":' + f(n, rng) + "}",))
    shape(f"encode_frame msgpack: {_label}", _n, "encode_frame", raises=_raises)(
        lambda v, n, rng, f=_num: (f(n, rng), "M", "snapshot", 1, MSGPACK))

@shape("diff: List prop of n floats, last changed", 50_000, "diff")
def _(v, n, rng):
    items = float_list(n, rng, lambda x: '{"Float":' + x + "}")
    last = items.rindex("{")
    return (node(props=obj([("l", '{"List":' + items + "}")])),
            node(props=obj([("l", '{"List":' + items[:last] + '{"Float":0.5}]}')])))
shape("apply empty: List prop of n floats", 50_000, "apply")(
    lambda v, n, rng: (node(props=obj([("l", '{"List":' + float_list(n, rng, lambda x: '{"Float":' + x + "}")
                                             + "}")])), EMPTY))
shape("normalize_expr: lit array of n floats", 50_000, "normalize_expr")(
    lambda v, n, rng: ('{"expr":"lit","value":' + float_list(n, rng, str) + "}",))
shape("encode_frame msgpack: array of n floats", 50_000, "encode_frame")(
    lambda v, n, rng: (float_list(n, rng, str), "M", "snapshot", 1, MSGPACK))


# --- generic objects ---------------------------------------------------------------------

OBJECT_N = 50_000


def generic(n, order, rng):
    return obj([(k, str(i)) for i, k in enumerate(names(n, order, rng, "k"))])


for _order in ORDERS:
    shape(f"normalize_expr: lit object of n keys {_order}", OBJECT_N, "normalize_expr")(
        lambda v, n, rng, o=_order: ('{"expr":"lit","value":' + generic(n, o, rng) + "}",))
for _order in ORDERS:
    shape(f"normalize_binding: compute lit of n keys {_order}", OBJECT_N, "normalize_binding")(
        lambda v, n, rng, o=_order: ('{"mode":"one-way","compute":{"expr":"lit","value":'
                                     + generic(n, o, rng) + "}}",))
for _order in ORDERS:
    shape(f"encode_frame msgpack: object of n keys {_order}", OBJECT_N, "encode_frame")(
        lambda v, n, rng, o=_order: (generic(n, o, rng), "M", "snapshot", 1, MSGPACK))
for _order in ORDERS:
    shape(f"decode_frame msgpack: map of n keys {_order}", OBJECT_N, "decode_frame")(
        lambda v, n, rng, o=_order: (frame(mp_map([(k, mp_int(i)) for i, k in enumerate(names(n, o, rng, "k"))])),))


# --- actions and nested documents ------------------------------------------------------------

@shape("normalize_action: n undeclared members before kind", 100_000, "normalize_action")
def _(v, n, rng):
    return ('{"handler":"h",' + ",".join(f'"u{i}":{i}' for i in range(n)) + ',"kind":"js"}',)


PAD = 1000  # numbers per level of the nested shapes, so that a level is worth timing


def pad(rng):
    return '{"value":' + float_list(PAD, rng, str) + ',"expr":"lit"}'


def nested(n, leaf, level):
    """leaf inside n - 1 levels, level(inner) being the text of one level around inner."""
    text = leaf
    for _ in range(n - 1):
        text = level(text)
    return text


def if_chain(n, rng):
    return nested(n, '{"handler":"h","kind":"js"}',
                  lambda inner: '{"cond":' + pad(rng) + ',"then":' + inner + ',"kind":"if"}')


shape("normalize_action: if-chain n deep, kind last (15 -> 60)", 15, "normalize_action")(
    lambda v, n, rng: (if_chain(n, rng),))
shape("normalize_expr: eq-chain n deep, expr last (15 -> 60)", 15, "normalize_expr")(
    lambda v, n, rng: (nested(n, '{"value":1,"expr":"lit"}',
                              lambda inner: '{"a":' + pad(rng) + ',"b":' + inner + ',"expr":"eq"}'),))
shape("normalize_binding: compute not-chain n deep, expr last (15 -> 60)", 15, "normalize_binding")(
    lambda v, n, rng: ('{"compute":' + nested(n, pad(rng), lambda inner: '{"pad":' + float_list(PAD, rng, str)
                                              + ',"of":' + inner + ',"expr":"not"}') + ',"mode":"one-way"}',))


shape("apply empty: handler if-chain n deep, kind last (15 -> 60)", 15, "apply")(
    lambda v, n, rng: (node(events=obj([("click", if_chain(n, rng))])), EMPTY))


@shape("normalize_action: seq of n actions", 100_000, "normalize_action")
def _(v, n, rng):
    return ('{"kind":"seq","actions":[' + ",".join(f'{{"kind":"js","handler":"h{i}"}}' for i in range(n)) + "]}",)


@shape("normalize_action: seq of n actions, kind last everywhere", 100_000, "normalize_action")
def _(v, n, rng):
    return ('{"actions":[' + ",".join(f'{{"handler":"h{i}","kind":"js"}}' for i in range(n)) + '],"kind":"seq"}',)


# --- manifests ---------------------------------------------------------------------------

def manifest(declarations):
    return js({"schemaVersion": "1.0.0", "modules": [{"kind": "javascript-module", "path": "x.js",
                                                      "declarations": declarations}]})


def attribute(name, type_text="string"):
    return {"name": name, "type": {"text": type_text}, "default": "'a'"}


def field(name, type_text="number"):
    return {"kind": "field", "name": name, "type": {"text": type_text}, "default": "0"}


def element(i, attributes=(), members=(), **extra):
    return {"kind": "class", "name": f"El{i}", "customElement": True, "tagName": f"x-el-{i}",
            "attributes": list(attributes), "members": list(members), **extra}


@shape("parse_cem: n declarations", 5_000, "parse_cem")
def _(v, n, rng):
    return (manifest([element(i, [attribute("a")], [field("f")], events=[{"name": "change"}],
                              slots=[{"name": ""}]) for i in range(n)]),)


@shape("parse_cem: n attributes on one class", 12_500, "parse_cem")
def _(v, n, rng):
    return (manifest([element(0, [attribute(f"a{i}") for i in range(n)])]),)


@shape("parse_cem: n fields on one class", 12_500, "parse_cem")
def _(v, n, rng):
    return (manifest([element(0, members=[field(f"f{i}") for i in range(n)])]),)


@shape("parse_cem: n attributes and n fields, one class", 5_000, "parse_cem", mem=True)
def _(v, n, rng):
    return (manifest([element(0, [attribute(f"a{i}") for i in range(n)],
                              [field(f"f{i}") for i in range(n)])]),)


@shape("parse_cem: chain of n classes, each inheriting the last", 5_000, "parse_cem")
def _(v, n, rng):
    # The manifest holds no resolved inheritance: each class names its superclass and lists what
    # it inherits with "inheritedFrom", which drops those members from its fields.
    return (manifest([element(i, [attribute("a")], [field(f"own{i}"), dict(field("base"), inheritedFrom={
        "name": f"El{i - 1}", "module": "x.js"})], superclass={"name": f"El{i - 1}", "module": "x.js"})
        for i in range(n)]),)


@shape("parse_cem: attribute type a union of n literals", 100_000, "parse_cem")
def _(v, n, rng):
    return (manifest([element(0, [attribute("a", " | ".join(f"'v{i}'" for i in range(n)) + " | undefined")])]),)


@shape("parse_cem: field type a union of n element types", 100_000, "parse_cem")
def _(v, n, rng):
    return (manifest([element(0, members=[field("f", " | ".join(f"HTMLEl{i}Element" for i in range(n)) + " | x")])]),)


@shape("parse_cem: one attribute name n times, n fields", 20_000, "parse_cem")
def _(v, n, rng):
    return (manifest([element(0, [attribute("a")] * n, [field(f"f{i}") for i in range(n)])]),)


# --- measuring ---------------------------------------------------------------------------

def fmt_mb(b):
    return f"{b / 1e6:.2f} MB"


def once(fn):
    """Seconds of one call, garbage collector off as timeit keeps it."""
    return timeit.timeit(fn, number=1)


def batch_size(fn, first):
    """Calls per batch so that one batch lasts at least MIN_BATCH, from a first call's time."""
    number, t = 1, first
    while t < MIN_BATCH and number < 1 << 16:
        number *= max(2, min(10, int(MIN_BATCH / max(t, 1e-9)) + 1))
        t = timeit.timeit(fn, number=number)
    return number


def time_size(fn, first):
    """Median seconds per call of fn over up to ROUNDS batches, from its first call's time. A
    slow call is timed one call at a time, its first call counting; once the size has had its
    share of the shape's budget, it stops."""
    number, samples = (1, [first]) if first >= SLOW_CALL else (batch_size(fn, first), [])
    spent = first
    while len(samples) < ROUNDS and not (samples and spent > SHAPE_BUDGET / 2):
        t = timeit.timeit(fn, number=number)
        spent += t
        samples.append(t / number)
    return statistics.median(samples)


def first_call(fn, raises):
    """(seconds, problem text or None) of the first call, which warms up."""
    try:
        t = once(fn)
    except ValueError as e:
        if raises:
            return time_raising(fn), None
        return None, f"ValueError: {e}"
    if raises:
        return t, "no ValueError"
    return t, None


def time_raising(fn):
    start = time.perf_counter()
    try:
        fn()
    except ValueError:
        pass
    return time.perf_counter() - start


def quiet(fn):
    """fn with its ValueError swallowed, for shapes about an error."""
    def call():
        try:
            fn()
        except ValueError:
            pass
    return call


def check_diff(v, old, new, out):
    """Whether apply(old, diff(old, new)) is new as apply writes it; None when not checked."""
    try:
        return v.apply(old, out) == v.apply(new, EMPTY)
    except ValueError as e:
        return f"apply of the diff failed: {e}"


def run_shape(v, s):
    """The row of one shape. Each size is timed in full before the next is built: timed in turns,
    the call at n would run on the heap that the call at 4n left behind and come out faster."""
    fn = getattr(v, s.call)
    row = {"shape": s.name, "n": s.n, "t": [None, None], "note": ""}
    for i, n in enumerate((s.n, 4 * s.n)):
        args = s.build(v, n, random.Random(f"{s.name}/{n}"))
        t, problem = first_call(lambda: fn(*args), s.raises)
        if problem:
            row["note"] = f"at {n:,}: {problem[:200]}"
            return row
        if s.call == "diff" and not s.raises and t < 2.0:
            ok = check_diff(v, args[0], args[1], fn(*args))
            if ok is not True:
                row["note"] = f"at {n:,}: apply(old, diff) != new" if ok is False else f"at {n:,}: {ok}"
        call = quiet(lambda: fn(*args)) if s.raises else (lambda: fn(*args))
        row["t"][i] = time_size(call, t)
        args = call = None  # the next size is built without this one's input alive
        if i == 0 and t > TOO_SLOW:
            row["too_slow"] = True
            return row
    return row


def verdict(row):
    if row.get("too_slow"):
        return "too slow", "MISSED"
    if row["t"][1] is None:
        return "-", "ERROR"
    growth = row["t"][1] / row["t"][0]
    return f"{growth:.2f}", "met" if growth <= TARGET else "MISSED"


# --- memory in a child process -------------------------------------------------------------

# argv = module dir, first text, second text (empty for one-text calls), call name. Prints the
# RSS before the call, the peak during it (kB) and where the peak came from.
MEM_CHILD = child.PRELUDE + r"""
import resource
call = sys.argv[4]
args = {"diff": (old, new), "apply": (old, new), "encode_frame": (old, "M", "snapshot", 1, "application/msgpack")
        }.get(call, (old,))
fn = getattr(vorlan, call)
source = "VmHWM"
try:
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
except OSError:
    source = "ru_maxrss"
before = rss_kb()
out = fn(*args)
if source == "VmHWM":
    with open("/proc/self/status") as f:
        peak = next(int(l.split()[1]) for l in f if l.startswith("VmHWM:"))
else:
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(before, peak, len(out.encode() if isinstance(out, str) else out), source)
"""


# What any first call costs in a fresh process, whatever its input: the row to read the others against.
BASELINE = Shape("baseline: diff of two one-node trees", 1, lambda v, n, rng: ('{"tag":"a"}', '{"tag":"b"}'),
                 "diff", mem=True)


def measure_memory(module_dir, s, v, tmp, sizes=None):
    """Rows of the memory table for one shape: (n, input bytes, output length, RSS before, peak, source)."""
    rows = []
    for n in sizes or (s.n, 4 * s.n):
        args = s.build(v, n, random.Random(f"{s.name}/{n}"))
        texts = [a for a in args[:2] if isinstance(a, str)] if s.call in ("diff", "apply") else [args[0]]
        paths = []
        for i, text in enumerate(texts + [""] * (2 - len(texts))):
            path = os.path.join(tmp, f"in{i}.json")
            with open(path, "w", encoding="utf-8") as f:
                f.write(text)
            paths.append(path)
        size = sum(len(t.encode()) for t in texts)
        res = subprocess.run([sys.executable, "-c", MEM_CHILD, module_dir, *paths, s.call],
                             capture_output=True, text=True)
        if res.returncode != 0:
            rows.append((n, size, None, None, None, (res.stderr.strip().splitlines() or ["crashed"])[-1]))
            continue
        before, peak, out, source = res.stdout.split()
        rows.append((n, size, int(out), int(before) * 1024, int(peak) * 1024, source))
    return rows


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--module-dir", required=True, help="directory holding vorlan.abi3.so")
    ap.add_argument("--filter", default="", help="run only the shapes whose name holds this text")
    ap.add_argument("--no-memory", action="store_true", help="leave out the memory table")
    ap.add_argument("--list", action="store_true", help="print the shape names and stop")
    args = ap.parse_args()
    shapes = [s for s in SHAPES if args.filter in s.name]
    if args.list:
        for s in shapes:
            print(f"{s.name}  (n = {s.n:,}{', memory' if s.mem else ''})")
        return
    if not shapes:
        sys.exit(f"no shape matches {args.filter!r}")
    module_dir = os.path.abspath(args.module_dir)
    sys.path.insert(0, module_dir)
    import vorlan
    faulthandler.enable()

    started = time.perf_counter()
    load_before = os.getloadavg()[0]
    rows = []
    for i, s in enumerate(shapes):
        print(f"[{i + 1}/{len(shapes)}] {s.name} ...", end="", file=sys.stderr, flush=True)
        took = time.perf_counter()
        rows.append(run_shape(vorlan, s))
        print(f" {time.perf_counter() - took:.1f} s", file=sys.stderr, flush=True)
    mem_rows = []
    if not args.no_memory:
        with tempfile.TemporaryDirectory(prefix="vorlan-shapes-") as tmp:
            if any(s.mem for s in shapes):
                mem_rows.append((BASELINE, measure_memory(module_dir, BASELINE, vorlan, tmp, (1,))))
            for s in shapes:
                if s.mem:
                    print(f"memory: {s.name} ...", file=sys.stderr, flush=True)
                    mem_rows.append((s, measure_memory(module_dir, s, vorlan, tmp)))

    print(f"vorlan worst-case shapes: module {os.path.join(module_dir, os.path.basename(vorlan.__file__))}")
    print(f"Python {sys.version.split()[0]} ({sys.executable}); nproc {len(os.sched_getaffinity(0))}; "
          f"load average before / after: {load_before:.1f} / {os.getloadavg()[0]:.1f}")
    print(f"Times: median per call of up to {ROUNDS} batches, n timed before 4n is built (timeit, gc off); "
          f"growth = t(4n) / t(n); a call over {TOO_SLOW:g} s at n is not run at 4n.")
    print()
    table = []
    missed, suspect, errors = [], [], []
    for r in rows:
        growth, result = verdict(r)
        table.append([r["shape"], f"{r['n']:,}", fmt_time(r["t"][0]), fmt_time(r["t"][1]), growth,
                      f"<= {TARGET:g}", result])
        if result != "met":
            missed.append(r["shape"])
        elif float(growth) > SUSPECT:
            suspect.append(r["shape"])
        if r["note"]:
            errors.append(f"{r['shape']}: {r['note']}")
    print_table(["shape", "n", "t(n)", "t(4n)", "growth", "target", ""], table, {1, 2, 3, 4})
    print()
    print(f"shapes: {len(rows) - len(missed)} met, {len(missed)} missed")
    for name in missed:
        print(f"  missed: {name}")
    for name in suspect:
        print(f"  growth above {SUSPECT:g}: {name}")
    for note in errors:
        print(f"  note: {note}")

    if mem_rows:
        print()
        print("Memory: one call in a fresh process per size. peak growth = the process's peak RSS during the "
              "call (VmHWM reset just before it) less its RSS just before it, the result str included;")
        print("inputs = the input texts' UTF-8 bytes, output = the result's.")
        print()
        table = []
        for s, sizes in mem_rows:
            for j, (n, size, out, before, peak, source) in enumerate(sizes):
                label = s.name if j == 0 else ""
                if before is None:
                    table.append([label, f"{n:,}", fmt_mb(size), "-", "-", "-", "-", "-", source])
                    continue
                ratios = ["-", "-"] if s is BASELINE else [f"{(peak - before) / size:.2f}x",
                                                           f"{(peak - before) / (size + out):.2f}x"]
                table.append([label, f"{n:,}", fmt_mb(size), fmt_mb(out), fmt_mb(before), fmt_mb(peak - before),
                              *ratios, ""])
        print_table(["shape", "n", "inputs", "output", "RSS before", "peak growth", "/ inputs",
                     "/ (inputs + output)", ""], table, {1, 2, 3, 4, 5, 6, 7})
    print()
    print(f"shapes.py took {time.perf_counter() - started:.0f} s")


if __name__ == "__main__":
    main()
