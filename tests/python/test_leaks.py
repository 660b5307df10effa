"""Memory: 100,000 calls over every function, success and failure paths alike,
leave resident memory flat; calls on large trees leave little resident after
them; running out of address space raises MemoryError and leaves the module usable."""
import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import vorlan

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
import memory  # noqa: E402

SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
needs_plain_allocator = pytest.mark.skipif(
    SANITIZED, reason="ASan's shadow memory and quarantine hide the process's own use of memory")


def run_isolated(code, timeout=120):
    prelude = "import sys\nsys.path.insert(0, %r)\nimport vorlan\n" % os.path.dirname(vorlan.__file__)
    proc = subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=timeout)
    assert proc.returncode == 0, "child died (%d): %s" % (proc.returncode, proc.stderr[-3000:])
    return json.loads(proc.stdout)


CALLS = r'''
import struct

def frame(header, payload):
    return struct.pack(">I", len(header)) + header + struct.pack(">I", len(payload)) + payload

class Index:
    def __index__(self):
        return 5

TREE = ('{"tag":"form","key":"f","props":{"a":{"Int":1},"b":{"List":[{"Str":"%s"},{"Map":{"k":{"Float":2.5}}}]}},'
        '"slots":{"":[{"tag":"input","bindings":{"v":{"field":"name","mode":"two-way","compute":{"expr":"lit","value":[1,2]}}}},'
        '{"tag":"li","key":"a"}],"footer":[{"tag":"button","events":{"click":{"kind":"set-field","field":"n",'
        '"value":{"expr":"lit","value":1}}},"event_options":{"click":{"once":true}}}]}}') % ("x" * 200)
TREE2 = TREE.replace('"Int":1', '"Int":2').replace('"key":"a"', '"key":"b"').replace('"once":true', '"passive":true')
PATCH = vorlan.diff(TREE, TREE2)
BAD_LAST_OP = PATCH[:-2] + ',{"RemoveChild":{"path":[],"slot":"","index":99}}]}'
ACTION = ('{"kind":"call","method":"POST","url":{"expr":"concat","parts":[{"expr":"lit","value":"/a"}]},'
          '"body":{"expr":"obj","fields":{"b":{"expr":"field","name":"x"}}},"request":{"key":"k","watch":["w"]}}')
EXPR = '{"expr":"cond","test":{"expr":"not","of":{"expr":"event"}},"then":{"expr":"arr","of":[]},"else":{"expr":"lit","value":{"b":[1.5,"%s"]}}}' % ("y" * 200)
BINDING = '{"field":"a","mode":"one-way","codec":"number","options":{"value":"v","label":"l"},"selection":{"tag":"o","value":"v","selected":"s"}}'
MANIFEST = ('{"modules":[{"declarations":[{"customElement":true,"tagName":"my-button","description":"A button",'
            '"attributes":[{"name":"variant","type":{"text":"\'primary\' | \'secondary\'"},"default":"\'primary\'"}],'
            '"members":[{"kind":"field","name":"count","type":{"text":"number"},"default":"0"}],'
            '"events":[{"name":"click"}],"slots":[{"name":""}]}]}]}')
FRAME_JSON = vorlan.encode_frame(TREE, "Tree", "snapshot", 3, "application/json")
FRAME_MSGPACK = vorlan.encode_frame(TREE, "Tree", "snapshot", 3, "application/msgpack")
HEADER = b'{"codec":"application/msgpack","model_type":"M","target":0,"rev":7,"kind":"Patch"}'

calls = [
    (vorlan.diff, (TREE, TREE2)),
    (vorlan.diff, (TREE, TREE[:-40])),
    (vorlan.diff, (TREE, '{"tag":"x","props":{"a":"Bool"}}')),
    (vorlan.apply, (TREE, PATCH)),
    (vorlan.apply, (TREE, BAD_LAST_OP)),
    (vorlan.apply, (TREE, '{"ops":[{"SetKey":{"path":[]}},{"Bogus":{}}]}')),
    (vorlan.parse_cem, (MANIFEST,)),
    (vorlan.parse_cem, (MANIFEST.replace('"name":"count"', '"name":7'),)),
    (vorlan.normalize_action, (ACTION,)),
    (vorlan.normalize_action, (ACTION.replace('"key":"k"', '"kee":"k"'),)),
    (vorlan.normalize_action, ('{"kind":"seq","actions":[' + '{"kind":"seq","actions":[' * 60 + ']}' * 61,)),
    (vorlan.normalize_expr, (EXPR,)),
    (vorlan.normalize_expr, (EXPR.replace('"expr":"event"', '"expr":"evnt"'),)),
    (vorlan.normalize_binding, (BINDING,)),
    (vorlan.normalize_binding, ('{"mode":"one-way","compute":{"expr":"all","of":[{"expr":"lit"}]}}',)),
    (vorlan.action_schema, ()),
    (vorlan.expr_schema, ()),
    (vorlan.binding_schema, ()),
    (vorlan.encode_frame, (TREE, "Tree", "patch", 2**64 - 1, "application/msgpack")),
    (vorlan.encode_frame, (TREE, "Tree", "patch", Index(), "application/json")),
    (vorlan.encode_frame, (TREE[:-1], "Tree", "patch", 1, "application/msgpack")),
    (vorlan.encode_frame, (TREE, "Tree", "Patch", 1, "application/json")),
    (vorlan.encode_frame, (TREE, "Tree", "patch", -1, "application/json")),
    (vorlan.decode_frame, (FRAME_JSON,)),
    (vorlan.decode_frame, (FRAME_MSGPACK,)),
    (vorlan.decode_frame, (FRAME_JSON[:-1],)),
    (vorlan.decode_frame, (frame(HEADER[:-2], b""),)),
    (vorlan.decode_frame, (frame(HEADER, b"\x92\xa3abc\x81\x01\xc0"),)),
    (vorlan.decode_frame, (bytearray(FRAME_JSON),)),
    (vorlan.diff, (1, TREE)),
    (vorlan.diff, ("\ud800", TREE)),
    (vorlan.Example, ("e" * 100,)),
    (lambda: repr(vorlan.Example("r" * 100)), ()),
]
'''


@needs_plain_allocator
def test_resident_memory_stays_flat():
    result = run_isolated(CALLS + r'''
import json

def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096

live = []
for fn, args in calls:
    live.append((fn, args))

def run(rounds):
    for _ in range(rounds):
        for fn, args in live:
            try:
                fn(*args)
            except Exception:
                pass

rounds = 100_000 // len(live) + 1
run(rounds // 5)
before = resident_bytes()
run(rounds)
after = resident_bytes()
print(json.dumps({"calls": rounds * len(live), "functions": len(live), "before": before, "after": after}))
''')
    assert result["calls"] >= 100_000
    grown = result["after"] - result["before"]
    # One leaked input copy per call would be tens of megabytes; allow allocator noise.
    assert grown < 4 << 20, "resident memory grew by %d bytes over %d calls" % (grown, result["calls"])


@pytest.fixture(scope="module")
def ten_mb_pair(tmp_path_factory):
    return memory.write_pair(str(tmp_path_factory.mktemp("trees")), "ten", 10_000_000)


# (case, threads, figure read after the calls, most it may exceed the figure before the calls, MB)
KEPT_AFTER_CALLS = [
    ("diff+apply on the main thread", 0, "after", 32),
    ("16 threads idle after diff+apply", 16, "threads idle", 64),
]


@needs_plain_allocator
@pytest.mark.parametrize("threads,figure,limit_mb", [row[1:] for row in KEPT_AFTER_CALLS],
                         ids=[row[0] for row in KEPT_AFTER_CALLS])
def test_memory_kept_after_calls_on_10_mb_trees_is_bounded(ten_mb_pair, threads, figure, limit_mb):
    figures = dict(memory.run(os.path.dirname(vorlan.__file__), ten_mb_pair, threads, "apply"))
    grown_mb = (figures[figure] - figures["before"]) / 1024
    assert grown_mb < limit_mb, "%s: resident memory grew by %.1f MB" % (figure, grown_mb)


# (case, the call that needs far more memory than the limit leaves, given as code)
HUGE_INPUTS = [
    ("encode_frame msgpack array", 'vorlan.encode_frame(TEXT, "M", "patch", 1, "application/msgpack")',
     '"[" + "0," * 20_000_000 + "0]"'),
    ("normalize_expr literal", "vorlan.normalize_expr(TEXT)",
     '\'{"expr":"lit","value":[\' + "{},"  * 10_000_000 + "{}]}"'),
    ("diff of wide trees", "vorlan.diff(TEXT, TEXT)",
     '\'{"tag":"a","slots":{"s":[\' + \'{"tag":"b"},\' * 3_000_000 + \'{"tag":"b"}]}}\''),
    ("decode_frame msgpack array 32", "vorlan.decode_frame(TEXT)",
     'frame(b\'{"codec":"application/msgpack","model_type":"M","target":0,"rev":7,"kind":"Patch"}\', '
     'b"\\xdd" + (60_000_000).to_bytes(4, "big") + b"\\xc0" * 60_000_000)'),
]


def call_under_address_limit(call, text, room):
    """Runs call on TEXT (both given as code) in a fresh child whose address space may
    grow by room, an expression of `length`, the size of TEXT; returns how the call
    ended and what two small calls give after it."""
    result = run_isolated('''
        import json, resource

        def frame(header, payload):
            return len(header).to_bytes(4, "big") + header + len(payload).to_bytes(4, "big") + payload

        TEXT = %s
        try:
            vorlan.diff('{"tag":"a"}', '{"tag":"b"}')
        except ValueError as e:
            print(json.dumps({"skip": str(e)}))
            raise SystemExit
        with open("/proc/self/statm") as f:
            size = int(f.read().split()[0]) * 4096
        length = len(TEXT) if isinstance(TEXT, (str, bytes)) else sum(map(len, TEXT))
        resource.setrlimit(resource.RLIMIT_AS, (size + %s, resource.RLIM_INFINITY))
        try:
            %s
            outcome = "returned"
        except MemoryError:
            outcome = "MemoryError"
        except ValueError as e:
            outcome = "ValueError: " + str(e)
        after = [vorlan.diff('{"tag":"a"}', '{"tag":"b"}'),
                 vorlan.normalize_expr('{"value":1.50,"expr":"lit"}')]
        print(json.dumps({"outcome": outcome, "after": after}))
    ''' % (text, room, call))
    if "skip" in result:
        raise AssertionError(result["skip"])
    assert result["after"] == ['{"ops":[{"Replace":{"path":[],"node":{"tag":"b"}}}]}',
                               '{"expr":"lit","value":1.5}']
    return result["outcome"]


@needs_plain_allocator
@pytest.mark.parametrize("call,text", [row[1:] for row in HUGE_INPUTS], ids=[row[0] for row in HUGE_INPUTS])
def test_out_of_memory_raises_memory_error_and_module_stays_usable(call, text):
    assert call_under_address_limit(call, text, "(256 << 20)") == "MemoryError"


# (case, the call, the text it reads, or a pair of them, given as code): each reads
# inputs whose records, held whole or read amiss, would take ten to ten thousand
# times their size.
WITHIN_A_MULTIPLE = [
    # One old list guides every new list read against it: none may take room for the
    # old list's length (once 2 GB for these 200 KB).
    ("diff, one old list guiding many new ones", "vorlan.diff(*TEXT)",
     '(json.dumps({"tag": "ul", "slots": {"items": [{"tag": "li", "key": "old", "slots": {"kids": [{"tag": "i"}] * 9000}}]}}),'
     ' json.dumps({"tag": "ul", "slots": {"items": [{"tag": "li", "key": "k%d" % i, "slots": {"kids": []}}'
     ' for i in range(4000)]}}))'),
    ("normalize_action undeclared members before the tag", "vorlan.normalize_action(TEXT)",
     '"{" + \'"":0,\' * 8_000_000 + \'"kind":"js","handler":"h"}\''),
    # Every action of a list takes the room of the largest variant held unboxed.
    ("normalize_action list of small actions", "vorlan.normalize_action(TEXT)",
     '\'{"kind":"seq","actions":[\' + \'{"kind":"js","handler":"h"},\' * 140_000 + \'{"kind":"js","handler":"h"}]}\''),
    # A literal is taken out of what the second phase buffered, and one a binding computes
    # is checked without a copy.
    ("normalize_expr literal after its value", "vorlan.normalize_expr(TEXT)",
     '\'{"value":[\' + \'{"a":1},\' * 450_000 + \'{}],"expr":"lit"}\''),
    ("normalize_binding literal compute", "vorlan.normalize_binding(TEXT)",
     '\'{"mode":"one-way","compute":{"expr":"lit","value":[\' + \'{"a":1},\' * 450_000 + \'{}]}}\''),
    ("decode_frame JSON payload", "vorlan.decode_frame(TEXT)",
     '(lambda h, p: len(h).to_bytes(4, "big") + h + len(p).to_bytes(4, "big") + p)('
     'b\'{"codec":"application/json","model_type":"M","target":0,"rev":7,"kind":"Patch"}\', '
     'b"[" + b"0," * 15_000_000 + b"0]")'),
    ("parse_cem members", "vorlan.parse_cem(TEXT)",
     '\'{"modules":[{"declarations":[{"members":[\' + \'{"kind":"","name":""},\' * 2_000_000 + \'{"kind":"","name":""}]}]}]}\''),
    ("parse_cem declarations", "vorlan.parse_cem(TEXT)",
     '\'{"modules":[{"declarations":[\' + "{}," * 10_000_000 + "{}]}]}"'),
    ("parse_cem inheritedFrom", "vorlan.parse_cem(TEXT)",
     '\'{"modules":[{"declarations":[{"members":[{"kind":"field","name":"m","inheritedFrom":[\' + "0," * 15_000_000'
     ' + "0]}]}]}]}"'),
    ("parse_cem type text of bars", "vorlan.parse_cem(TEXT)",
     '\'{"modules":[{"declarations":[{"customElement":true,"tagName":"x-a","attributes":[{"name":"a","type":'
     '{"text":"\' + "|" * 30_000_000 + \'"}}]}]}]}\''),
]


@needs_plain_allocator
@pytest.mark.parametrize("call,text", [row[1:] for row in WITHIN_A_MULTIPLE], ids=[row[0] for row in WITHIN_A_MULTIPLE])
def test_memory_stays_within_a_multiple_of_the_input(call, text):
    # Room for a few copies of the text (its UTF-8 form, the result and its str) and some slack.
    assert call_under_address_limit(call, text, "6 * length + (64 << 20)") == "returned"
