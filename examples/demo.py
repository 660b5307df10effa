"""Keeps a component tree in step by a patch, then frames both for the wire."""
import json

import vorlan

OLD = {
    "tag": "x-card",
    "props": {"title": {"Str": "Hello"}},
    "slots": {"default": [{"tag": "x-text", "key": "a", "props": {"text": {"Str": "first"}}}]},
}
NEW = {
    "tag": "x-card",
    "props": {"title": {"Str": "Hello, world"}},
    "slots": {"default": [
        {"tag": "x-text", "key": "a", "props": {"text": {"Str": "first"}}},
        {"tag": "x-button", "key": "b", "events": {"click": {"kind": "emit", "event": "clicked"}}},
    ]},
}


def step(title, fn, *args):
    try:
        result = fn(*args)
    except ValueError as e:
        print(f"{title}: failed: {e}")
        return None
    shown = repr(result)
    print(f"{title}: {shown if len(shown) <= 160 else shown[:157] + '...'}")
    return result


def main():
    old, new = (json.dumps(tree, separators=(",", ":")) for tree in (OLD, NEW))
    print("module:", ", ".join(vorlan.__all__))
    print("example:", repr(vorlan.Example("demo")))

    patch = step("diff", vorlan.diff, old, new)
    if patch is not None:
        tree = step("apply", vorlan.apply, old, patch)
        if tree is not None:
            same = json.loads(tree) == json.loads(vorlan.apply(new, '{"ops":[]}'))
            print("apply gives the new tree:", same)

    for kind, payload in (("snapshot", new), ("patch", patch)):
        if payload is None:
            continue
        for codec in ("application/json", "application/msgpack"):
            frame = step(f"encode_frame {kind} {codec}", vorlan.encode_frame, payload, "demo.Card", kind, 1, codec)
            if frame is not None:
                step("decode_frame", vorlan.decode_frame, frame)


if __name__ == "__main__":
    main()
