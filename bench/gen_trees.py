"""Seeded generator of realistic component-tree pairs for the benchmarks.

An app root with a header and a keyed table of rows; each row holds a few cells
with Str/Int/Float/Bool/Map/List props, one cell with an event handler, event
options and a two-way binding. `new` changes about 2% of the props, swaps about
1% of the rows, and inserts and removes about 0.5% each.
"""
import json
import random
import sys

HANDLERS = [
    lambda i: {"kind": "set-field", "field": f"sel{i % 7}", "value": {"expr": "event", "path": "target.value"}},
    lambda i: {"kind": "emit", "event": "row-click",
               "detail": {"expr": "obj", "fields": {"id": {"expr": "lit", "value": i},
                                                     "name": {"expr": "item", "path": "name"}}}},
    lambda i: {"kind": "call", "method": "POST",
               "url": {"expr": "concat", "parts": [{"expr": "lit", "value": "/rows/"}, {"expr": "lit", "value": i}]},
               "body": {"expr": "field", "name": "draft"}, "result": "saved"},
    lambda i: {"kind": "seq", "actions": [{"kind": "toggle-field", "field": "open"},
                                          {"kind": "js", "handler": f"h{i % 5}"}]},
]


def cell(rng, row, col):
    props = {
        "label": {"Str": f"cell {row}.{col} " + "x" * rng.randint(0, 12)},
        "count": {"Int": rng.randint(-1000, 100000)},
        "ratio": {"Float": round(rng.random() * 100, 3)},
        "active": {"Bool": rng.random() < 0.5},
    }
    if col == 1:
        props["style"] = {"Map": {"color": {"Str": rng.choice(["red", "green", "blue"])},
                                  "width": {"Int": rng.randint(10, 300)}}}
    if col == 2:
        props["tags"] = {"List": [{"Str": f"t{rng.randint(0, 50)}"} for _ in range(3)]}
    node = {"tag": "ui-cell", "key": f"c{col}", "props": props}
    if col == 0:
        node["events"] = {"click": HANDLERS[row % len(HANDLERS)](row)}
        node["event_options"] = {"click": {"once": False, "passive": True}}
        node["bindings"] = {"value": {"field": f"row{row}", "mode": "two-way", "event": "input"}}
    return node


def row(rng, i):
    return {"tag": "ui-row", "key": f"r{i}",
            "props": {"index": {"Int": i}, "selected": {"Bool": False}},
            "slots": {"cells": [cell(rng, i, c) for c in range(4)]}}


def tree(rows):
    header = {"tag": "ui-header", "props": {"title": {"Str": "Orders"}, "sticky": {"Bool": True}},
              "slots": {"actions": [{"tag": "ui-button", "key": "add", "props": {"label": {"Str": "Add"}},
                                     "events": {"click": {"kind": "emit", "event": "add"}}}]}}
    table = {"tag": "ui-table", "key": "rows", "slots": {"rows": rows}}
    return {"tag": "ui-app", "props": {"theme": {"Str": "light"}},
            "slots": {"header": [header], "body": [table]}}


def mutate(rng, rows, next_id):
    rows = json.loads(json.dumps(rows))
    n = len(rows)
    for r in rows:
        for c in r["slots"]["cells"]:
            for name in list(c["props"]):
                if rng.random() < 0.02:
                    c["props"][name] = {"Int": rng.randint(0, 10**6)} if name == "count" else {"Str": "changed"}
    for _ in range(max(1, n // 100)):
        a, b = rng.randrange(n), rng.randrange(n)
        rows[a], rows[b] = rows[b], rows[a]
    for _ in range(max(1, n // 200)):
        rows.pop(rng.randrange(len(rows)))
    for _ in range(max(1, n // 200)):
        rows.insert(rng.randrange(len(rows) + 1), row(rng, next_id))
        next_id += 1
    return rows


def pair(target_bytes, seed=7):
    """Returns (old, new) compact JSON texts of about target_bytes each."""
    rng = random.Random(seed)
    per_row = len(json.dumps(row(random.Random(0), 0), separators=(",", ":")))
    count = max(4, target_bytes // per_row)
    rows = [row(rng, i) for i in range(count)]
    old = tree(rows)
    new = tree(mutate(rng, rows, count))
    dump = lambda t: json.dumps(t, separators=(",", ":"))
    return dump(old), dump(new)


if __name__ == "__main__":
    size = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    old, new = pair(size)
    prefix = sys.argv[2] if len(sys.argv) > 2 else "tree"
    with open(f"{prefix}_old.json", "w") as f:
        f.write(old)
    with open(f"{prefix}_new.json", "w") as f:
        f.write(new)
    print(len(old), len(new))
