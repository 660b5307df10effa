"""Hostile input: every reader faces deep nesting, lying lengths, broken UTF-8 and
absurd numbers, and answers with a ValueError or a result, never a crash."""
import os
import struct
import subprocess
import sys
import textwrap

import pytest

import vorlan

HEADER_JSON = '{"codec":"application/json","model_type":"M","target":0,"rev":7,"kind":"Patch"}'
HEADER_MSGPACK = '{"codec":"application/msgpack","model_type":"M","target":0,"rev":7,"kind":"Patch"}'
MB = 1 << 20


def frame(header, payload):
    h = header.encode() if isinstance(header, str) else header
    p = payload.encode() if isinstance(payload, str) else payload
    return struct.pack(">I", len(h)) + h + struct.pack(">I", len(p)) + p


def outcome(fn, *args):
    """The result text, or the ValueError message."""
    try:
        return fn(*args)
    except ValueError as e:
        return "ValueError: " + str(e)


def column_of_level(text, level):
    """1-based column of the bracket that opens nesting level `level` (one line, no escapes)."""
    depth = 0
    in_string = False
    for i, c in enumerate(text):
        if in_string:
            in_string = c != '"'
        elif c == '"':
            in_string = True
        elif c in "[{":
            depth += 1
            if depth == level:
                return i + 1
        elif c in "]}":
            depth -= 1
    raise AssertionError("text does not nest that deep")


def brackets(size):
    return "[" * (size // 2) + "]" * (size // 2)


def chain(open_part, close_part, size):
    count = size // (len(open_part) + len(close_part))
    return open_part * count + close_part * count


TEN_MB = brackets(10 * MB)

# (reader, call, text that the call reads): each text nests far past 127 levels.
DEEP_TEXTS = [
    ("diff old", lambda t: vorlan.diff(t, '{"tag":"x"}'),
     '{"tag":"x","bindings":{"p":{"mode":"one-way","compute":' + TEN_MB + "}}}"),
    ("diff new", lambda t: vorlan.diff('{"tag":"x"}', t),
     '{"tag":"x","bindings":{"p":{"mode":"one-way","compute":' + TEN_MB + "}}}"),
    ("diff tree", lambda t: vorlan.diff(t, t),
     '{"tag":"a","slots":{"s":[' + chain('{"tag":"a","slots":{"s":[', "]}}", 10 * MB) + "]}}"),
    ("apply root props", lambda t: vorlan.apply(t, '{"ops":[]}'),
     '{"tag":"x","props":{"p":' + chain('{"List":[', "]}", 10 * MB) + "}}"),
    ("apply root events", lambda t: vorlan.apply(t, '{"ops":[]}'),
     '{"tag":"x","events":{"click":' + chain('{"kind":"seq","actions":[', "]}", 10 * MB) + "}}"),
    ("apply patch", lambda t: vorlan.apply('{"tag":"x"}', t),
     '{"ops":[{"SetBinding":{"path":[],"name":"p","binding":{"mode":"one-way","compute":' + TEN_MB + "}}}]}"),
    ("normalize_action", vorlan.normalize_action, '{"kind":"js","handler":"h","x":' + TEN_MB + "}"),
    ("normalize_action nested", vorlan.normalize_action, chain('{"kind":"seq","actions":[', "]}", 10 * MB)),
    ("normalize_expr", vorlan.normalize_expr, '{"expr":"lit","value":' + TEN_MB + "}"),
    ("normalize_expr nested", vorlan.normalize_expr, chain('{"expr":"not","of":', "}", 10 * MB)),
    ("normalize_binding", vorlan.normalize_binding, '{"mode":"one-way","compute":' + TEN_MB + "}"),
    ("parse_cem", vorlan.parse_cem,
     '{"modules":[{"declarations":[{"members":[{"kind":"field","name":"x","inheritedFrom":' + TEN_MB + "}]}]}]}"),
    ("encode_frame msgpack", lambda t: vorlan.encode_frame(t, "M", "patch", 1, "application/msgpack"), TEN_MB),
    ("decode_frame payload", lambda t: vorlan.decode_frame(frame(HEADER_JSON, t)), TEN_MB),
]


@pytest.mark.parametrize("call,text", [row[1:] for row in DEEP_TEXTS], ids=[row[0] for row in DEEP_TEXTS])
def test_deep_nesting_refused_at_level_128(call, text):
    expected = "ValueError: recursion limit exceeded at line 1 column %d" % column_of_level(text[:4096], 128)
    assert outcome(call, text) == expected


MILLION_DEEP = brackets(2_000_000)
MILLION_DEEP_OBJECTS = '{"a":' * 1_000_000 + "1" + "}" * 1_000_000

# (case, call, hostile argument, the same argument without its undeclared member)
SKIPPED = [
    ("diff node", lambda t: vorlan.diff(t, t), '{"tag":"x","junk":%s}', '{"tag":"x"}'),
    ("diff node objects", lambda t: vorlan.diff(t, '{"tag":"x"}'), '{"junk":%s,"tag":"x"}', '{"tag":"x"}'),
    ("apply root", lambda t: vorlan.apply(t, '{"ops":[]}'), '{"tag":"x","junk":%s}', '{"tag":"x"}'),
    ("apply child binding", lambda t: vorlan.apply(t, '{"ops":[]}'),
     '{"tag":"x","slots":{"s":[{"tag":"y","bindings":{"v":{"field":"f","mode":"one-way","junk":%s}}}]}}',
     '{"tag":"x","slots":{"s":[{"tag":"y","bindings":{"v":{"field":"f","mode":"one-way"}}}]}}'),
    ("apply patch", lambda t: vorlan.apply('{"tag":"x"}', t), '{"junk":%s,"ops":[]}', '{"ops":[]}'),
    ("apply op body", lambda t: vorlan.apply('{"tag":"x"}', t),
     '{"ops":[{"SetKey":{"path":[],"junk":%s,"key":"k"}}]}', '{"ops":[{"SetKey":{"path":[],"key":"k"}}]}'),
    ("normalize_binding", vorlan.normalize_binding, '{"field":"a","junk":%s,"mode":"one-way"}',
     '{"field":"a","mode":"one-way"}'),
    ("parse_cem", vorlan.parse_cem,
     '{"junk":%s,"modules":[{"declarations":[{"customElement":true,"tagName":"x-a","junk":%s}]}]}',
     '{"modules":[{"declarations":[{"customElement":true,"tagName":"x-a"}]}]}'),
    ("decode_frame header", lambda t: vorlan.decode_frame(frame(t, '{"ops":[]}')),
     '{"codec":"application/json","model_type":"M","target":0,"rev":7,"kind":"Patch","junk":%s}', HEADER_JSON),
]


@pytest.mark.parametrize("deep", [MILLION_DEEP, MILLION_DEEP_OBJECTS], ids=["arrays", "objects"])
@pytest.mark.parametrize("call,hostile,plain", [row[1:] for row in SKIPPED], ids=[row[0] for row in SKIPPED])
def test_deeply_nested_undeclared_member_is_skipped(call, hostile, plain, deep):
    expected = outcome(call, plain)
    assert not expected.startswith("ValueError")
    assert outcome(call, hostile.replace("%s", deep)) == expected


def run_isolated(code, timeout=300):
    """Runs code in a fresh interpreter with the module imported; a crash there is a
    failed test here."""
    prelude = "import sys\nsys.path.insert(0, %r)\nimport vorlan\n" % os.path.dirname(vorlan.__file__)
    proc = subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=timeout)
    assert proc.returncode == 0, "child died (%d): %s" % (proc.returncode, proc.stderr[-3000:])
    return proc.stdout


@pytest.mark.parametrize("levels", [2_000, 20_000])
def test_patch_growing_tree_by_thousands_of_levels(levels):
    # Each op hangs a chain of 40 nodes (as deep as a patch can carry) below the
    # deepest node so far, so the tree grows far past what any tree text may nest.
    out = run_isolated("""
        levels = %d
        step = '["s",0]'
        node = '{"tag":"n","slots":{"s":[' * 39 + '{"tag":"n"}' + ']}}' * 39
        ops = ['{"InsertChild":{"path":[%%s],"slot":"s","index":0,"node":%%s}}'
               %% (",".join([step] * (40 * i)), node) for i in range(levels // 40)]
        patch = '{"ops":[' + ",".join(ops) + ']}'
        try:
            tree = vorlan.apply('{"tag":"r"}', patch)
        except ValueError as e:
            print("refused:", e)
            raise SystemExit
        print("depth", tree.count('"tag":"n"'))
        for name, call in [
            ("apply", lambda: vorlan.apply(tree, '{"ops":[]}')),
            ("diff", lambda: vorlan.diff(tree, tree)),
            ("encode_frame", lambda: vorlan.encode_frame(tree, "M", "snapshot", 1, "application/msgpack")),
            ("decode_frame", lambda: vorlan.decode_frame(vorlan.encode_frame(tree, "M", "snapshot", 1, "application/json"))),
        ]:
            try:
                call()
                print(name, "read it")
            except ValueError as e:
                print(name, str(e).split(" at ")[0])
    """ % levels)
    if out.startswith("refused:"):
        return  # a clear ValueError is an acceptable answer
    lines = out.split("\n")
    assert lines[0] == "depth %d" % (levels // 40 * 40)
    assert lines[1:5] == ["apply recursion limit exceeded", "diff recursion limit exceeded",
                          "encode_frame recursion limit exceeded", "decode_frame recursion limit exceeded"]


def be32(n):
    return struct.pack(">I", n)


GOOD = frame(HEADER_JSON, '{"ops":[]}')
H = len(HEADER_JSON)

# (case, frame bytes, exact outcome)
LYING_FRAMES = [
    ("empty", b"", "ValueError: truncated frame"),
    ("three bytes", b"\x00\x00\x00", "ValueError: truncated frame"),
    ("header length 2^32-1", be32(0xFFFFFFFF) + b"{}", "ValueError: truncated frame"),
    ("header length 2^32-4", be32(0xFFFFFFFC) + HEADER_JSON.encode(), "ValueError: truncated frame"),
    ("payload length 2^32-1", frame(HEADER_JSON, "")[:-4] + be32(0xFFFFFFFF) + b'{"ops":[]}',
     "ValueError: truncated frame"),
    ("payload length 2^32-8", frame(HEADER_JSON, "")[:-4] + be32(0xFFFFFFF8) + b"1" * 64,
     "ValueError: truncated frame"),
    ("no payload length", be32(H) + HEADER_JSON.encode() + b"\x00\x00", "ValueError: truncated frame"),
    ("payload one byte short", GOOD[:-1], "ValueError: truncated frame"),
    ("header length one short", be32(H - 1) + GOOD[4:],
     "ValueError: bad frame header: EOF while parsing an object at line 1 column %d" % (H - 1)),
    ("header length two long", be32(H + 2) + GOOD[4:],
     "ValueError: bad frame header: trailing characters at line 1 column %d" % (H + 1)),
    ("payload length short", GOOD[:-14] + be32(5) + b'{"ops":[]}',
     "ValueError: EOF while parsing a string at line 1 column 5"),
    ("bytes after payload", GOOD + b"\xff" * 100, '{"kind":"patch","model_type":"M","payload":{"ops":[]},"rev":7}'),
    ("msgpack str 32 of 2^32-1 bytes", frame(HEADER_MSGPACK, b"\xdb\xff\xff\xff\xffabc"),
     "ValueError: IO error while reading data: unexpected end of file"),
    ("msgpack bin 32 of 2^32-1 bytes", frame(HEADER_MSGPACK, b"\xc6\xff\xff\xff\xff"),
     "ValueError: IO error while reading data: unexpected end of file"),
    ("msgpack array 32 of 2^32-1", frame(HEADER_MSGPACK, b"\xdd\xff\xff\xff\xff\xc0"),
     "ValueError: IO error while reading marker: failed to fill whole buffer"),
    ("msgpack map 32 of 2^32-1", frame(HEADER_MSGPACK, b"\xdf\xff\xff\xff\xff\xa1a\xc0"),
     "ValueError: IO error while reading marker: failed to fill whole buffer"),
    ("msgpack array 32 count cut", frame(HEADER_MSGPACK, b"\xdd\xff\xff"),
     "ValueError: IO error while reading data: failed to fill whole buffer"),
]


@pytest.mark.parametrize("data,expected", [row[1:] for row in LYING_FRAMES], ids=[row[0] for row in LYING_FRAMES])
def test_frame_lengths_that_lie(data, expected):
    assert outcome(vorlan.decode_frame, data) == expected


MSGPACK_DEEP = [
    ("arrays 1,000,000", b"\x91" * 1_000_000 + b"\xc0", "ValueError: depth limit exceeded"),
    ("maps 1,000,000", b"\x81\xa1a" * 1_000_000 + b"\xc0", "ValueError: depth limit exceeded"),
    ("fixext at depth", b"\x91" * 1_000_000 + b"\xd4\x01\x00", "ValueError: depth limit exceeded"),
    ("arrays 1024", b"\x91" * 1024 + b"\xc0", "ValueError: depth limit exceeded"),
    ("arrays 1023", b"\x91" * 1023 + b"\xc0", "ValueError: recursion limit exceeded at line 1 column 128"),
]


@pytest.mark.parametrize("payload,expected", [row[1:] for row in MSGPACK_DEEP], ids=[row[0] for row in MSGPACK_DEEP])
def test_deep_msgpack(payload, expected):
    assert outcome(vorlan.decode_frame, frame(HEADER_MSGPACK, payload)) == expected


def utf8_error(n, i):
    return "invalid utf-8 sequence of %d bytes from index %d" % (n, i)


def header_with_model(raw):
    return b'{"codec":"application/json","model_type":"' + raw + b'","target":0,"rev":0,"kind":"Patch"}'


BAD_MODEL = header_with_model(b"a\xffb")
# (case, frame, exact outcome): every class of broken UTF-8 sequence, in a JSON
# payload string, outside a string, at the payload's end, in the header and in
# MessagePack strings and keys.
BAD_UTF8 = [
    ("lone continuation", frame(HEADER_JSON, b'"\x80"'), "ValueError: " + utf8_error(1, 1)),
    ("invalid byte ff", frame(HEADER_JSON, b'"\xff"'), "ValueError: " + utf8_error(1, 1)),
    ("lead byte f5", frame(HEADER_JSON, b'"\xf5\x80\x80\x80"'), "ValueError: " + utf8_error(1, 1)),
    ("overlong two bytes", frame(HEADER_JSON, b'"\xc0\x80"'), "ValueError: " + utf8_error(1, 1)),
    ("overlong three bytes", frame(HEADER_JSON, b'"\xe0\x80\x80"'), "ValueError: " + utf8_error(1, 1)),
    ("overlong four bytes", frame(HEADER_JSON, b'"\xf0\x80\x80\x80"'), "ValueError: " + utf8_error(1, 1)),
    ("surrogate", frame(HEADER_JSON, b'"\xed\xa0\x80"'), "ValueError: " + utf8_error(1, 1)),
    ("above U+10FFFF", frame(HEADER_JSON, b'"\xf4\x90\x80\x80"'), "ValueError: " + utf8_error(1, 1)),
    ("two-byte lead then ascii", frame(HEADER_JSON, b'"\xc3("'), "ValueError: " + utf8_error(1, 1)),
    ("three-byte cut at third", frame(HEADER_JSON, b'"\xe2\x82("'), "ValueError: " + utf8_error(2, 1)),
    ("four-byte cut at fourth", frame(HEADER_JSON, b'"\xf0\x9f\x98("'), "ValueError: " + utf8_error(3, 1)),
    ("after valid text", frame(HEADER_JSON, '"\u00e9\u20ac'.encode() + b'\xff"'), "ValueError: " + utf8_error(1, 6)),
    ("outside a string", frame(HEADER_JSON, b"[1,\xff]"), "ValueError: " + utf8_error(1, 3)),
    ("incomplete at end", frame(HEADER_JSON, b'"\xe2\x82'), "ValueError: incomplete utf-8 byte sequence from index 1"),
    ("incomplete four at end", frame(HEADER_JSON, b'"\xf0\x9f\x98'),
     "ValueError: incomplete utf-8 byte sequence from index 1"),
    ("header string", frame(BAD_MODEL, b"1"),
     "ValueError: bad frame header: invalid unicode code point at line 1 column %d" % (BAD_MODEL.index(b'b"') + 2)),
    ("header outside strings", frame(b"\xff", b"1"), "ValueError: bad frame header: expected value at line 1 column 1"),
    ("msgpack fixstr", frame(HEADER_MSGPACK, b"\xa1\xff"),
     "ValueError: string found to be invalid utf8: " + utf8_error(1, 0)),
    ("msgpack str 8 incomplete", frame(HEADER_MSGPACK, b"\xd9\x03ab\xe2"),
     "ValueError: string found to be invalid utf8: incomplete utf-8 byte sequence from index 2"),
    ("msgpack str 16 surrogate", frame(HEADER_MSGPACK, b"\xda\x00\x04a\xed\xa0\x80"),
     "ValueError: string found to be invalid utf8: " + utf8_error(1, 1)),
    ("msgpack map key", frame(HEADER_MSGPACK, b"\x81\xa2\xc3(\xc0"),
     "ValueError: string found to be invalid utf8: " + utf8_error(1, 0)),
]


@pytest.mark.parametrize("data,expected", [row[1:] for row in BAD_UTF8], ids=[row[0] for row in BAD_UTF8])
def test_invalid_utf8_in_frames(data, expected):
    assert outcome(vorlan.decode_frame, data) == expected


def lit(number):
    return '{"expr":"lit","value":%s}' % number


def past(consumed, message):
    """The message positioned just past the text `consumed` (one line)."""
    return "ValueError: %s at line 1 column %d" % (message, len(consumed))


def out_of_range(prefix, number):
    return past(prefix + number, "number out of range")


HUGE = "1" + "0" * 400
TEN_MB_DIGITS = "9" * (10 * MB)

# (case, call, argument, exact outcome)
NUMBERS = [
    ("exponent 400", vorlan.normalize_expr, lit("1e400"), out_of_range('{"expr":"lit","value":', "1e400")),
    ("negative exponent 400", vorlan.normalize_expr, lit("-1e400"), out_of_range('{"expr":"lit","value":', "-1e400")),
    ("401 digits", vorlan.normalize_expr, lit(HUGE), out_of_range('{"expr":"lit","value":', HUGE)),
    ("401 digits scaled back", vorlan.normalize_expr, lit(HUGE + "e-400"), '{"expr":"lit","value":1.0}'),
    # Refused at the exponent digit that would overflow 32 bits, before it is consumed.
    ("exponent of 30 digits", vorlan.normalize_expr, lit("1e" + "9" * 30),
     out_of_range('{"expr":"lit","value":', "1e" + "9" * 9)),
    ("negative exponent of 30 digits", vorlan.normalize_expr, lit("1e-" + "9" * 30), '{"expr":"lit","value":0.0}'),
    ("zero with huge exponent", vorlan.normalize_expr, lit("0e" + "9" * 30), '{"expr":"lit","value":0.0}'),
    ("underflow", vorlan.normalize_expr, lit("-1e-400"), '{"expr":"lit","value":-0.0}'),
    ("above u64", vorlan.normalize_expr, lit("18446744073709551616"), '{"expr":"lit","value":1.8446744073709552e+19}'),
    ("below i64", vorlan.normalize_expr, lit("-9223372036854775809"), '{"expr":"lit","value":-9.223372036854776e+18}'),
    ("largest double", vorlan.normalize_expr, lit("1.7976931348623157e308"),
     '{"expr":"lit","value":1.7976931348623157e+308}'),
    ("ten megabytes of digits", vorlan.normalize_expr, lit(TEN_MB_DIGITS),
     out_of_range('{"expr":"lit","value":', TEN_MB_DIGITS)),
    ("Int above i64", lambda t: vorlan.apply(t, '{"ops":[]}'), '{"tag":"x","props":{"a":{"Int":%s}}}' % HUGE,
     out_of_range('{"tag":"x","props":{"a":{"Int":', HUGE)),
    ("Submodel above u64", lambda t: vorlan.apply(t, '{"ops":[]}'),
     '{"tag":"x","props":{"a":{"Submodel":18446744073709551616}}}',
     past('{"tag":"x","props":{"a":{"Submodel":18446744073709551616',
          "invalid type: floating point `18446744073709552000.0`, expected u64")),
    ("Float of 10 MB digits", lambda t: vorlan.apply(t, '{"ops":[]}'),
     '{"tag":"x","props":{"a":{"Float":0.%s}}}' % TEN_MB_DIGITS, '{"tag":"x","props":{"a":{"Float":1.0}}}'),
    ("path index 1e400", lambda t: vorlan.apply('{"tag":"x"}', t),
     '{"ops":[{"RemoveChild":{"path":[],"slot":"s","index":1e400}}]}',
     past('{"ops":[{"RemoveChild":{"path":[],"slot":"s","index":1e400', "number out of range")),
    ("path index 2^64", lambda t: vorlan.apply('{"tag":"x"}', t),
     '{"ops":[{"RemoveChild":{"path":[],"slot":"s","index":18446744073709551616}}]}',
     past('{"ops":[{"RemoveChild":{"path":[],"slot":"s","index":18446744073709551616',
          "invalid type: floating point `18446744073709552000.0`, expected usize")),
    ("binding scale 1e400", vorlan.normalize_binding, '{"field":"a","mode":"one-way","scale":1e400}',
     past('{"field":"a","mode":"one-way","scale":1e400', "number out of range")),
    ("msgpack payload 1e400", lambda t: vorlan.encode_frame(t, "M", "patch", 1, "application/msgpack"), "[1e400]",
     past("[1e400", "number out of range")),
    ("header rev 2^64", lambda t: vorlan.decode_frame(frame(t, "1")),
     '{"codec":"application/json","model_type":"M","target":0,"rev":18446744073709551616,"kind":"Patch"}',
     "ValueError: bad frame header: " + past('{"codec":"application/json","model_type":"M","target":0,"rev":'
                                             "18446744073709551616", "invalid type: floating point "
                                             "`18446744073709552000.0`, expected u64")[12:]),
]


@pytest.mark.parametrize("call,argument,expected", [row[1:] for row in NUMBERS], ids=[row[0] for row in NUMBERS])
def test_huge_numbers_and_exponents(call, argument, expected):
    assert outcome(call, argument) == expected
