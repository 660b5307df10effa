import json
import math
import random
import struct

import msgpack
import pytest

import vorlan

JSON = "application/json"
MSGPACK = "application/msgpack"


def encode(payload, kind="patch", rev=7, codec=JSON, model_type="M"):
    return vorlan.encode_frame(payload, model_type, kind, rev, codec)


def split(frame):
    """(header bytes, payload bytes, bytes after the payload)."""
    h = struct.unpack(">I", frame[:4])[0]
    p = struct.unpack(">I", frame[4 + h : 8 + h])[0]
    return frame[4 : 4 + h], frame[8 + h : 8 + h + p], frame[8 + h + p :]


def header_text(codec=JSON, model_type="M", rev=7, kind="Patch", target=0):
    return json.dumps(
        {"codec": codec, "model_type": model_type, "target": target, "rev": rev, "kind": kind},
        separators=(",", ":"),
        ensure_ascii=False,
    ).encode()


def frame_of(header, payload, tail=b""):
    if isinstance(header, str):
        header = header.encode()
    return struct.pack(">I", len(header)) + header + struct.pack(">I", len(payload)) + payload + tail


def mp_frame(payload, tail=b""):
    return frame_of(header_text(codec=MSGPACK), payload, tail)


def error_of(fn, *args):
    with pytest.raises(ValueError) as info:
        fn(*args)
    return str(info.value)


def typed(v):
    """A value with every number tagged by its type, so that 1 and 1.0 differ."""
    if isinstance(v, bool) or v is None or isinstance(v, str):
        return v
    if isinstance(v, int):
        return ("int", v)
    if isinstance(v, float):
        return ("float", math.copysign(1, v) if v == 0 else v)
    if isinstance(v, (list, tuple)):
        return [typed(e) for e in v]
    return {k: typed(e) for k, e in v.items()}


def sorted_keys(v):
    if isinstance(v, list):
        return [sorted_keys(e) for e in v]
    if isinstance(v, dict):
        return {k: sorted_keys(v[k]) for k in sorted(v, key=lambda k: k.encode())}
    return v


def payload_of(decoded_text):
    return json.loads(decoded_text)["payload"]


def nested(depth, inner=b"\x90", opener=b"\x91"):
    return opener * (depth - 1) + inner


# ---- encode_frame: layout ---------------------------------------------------


def test_json_frame_layout():
    frame = encode('{"ops":[]}')
    header = b'{"codec":"application/json","model_type":"M","target":0,"rev":7,"kind":"Patch"}'
    assert frame == b"\x00\x00\x00\x4f" + header + b"\x00\x00\x00\x0a" + b'{"ops":[]}'


@pytest.mark.parametrize(
    "payload, model_type, kind, rev, codec, header, body",
    [
        ("not-json", "M", "snapshot", 0, JSON,
         '{"codec":"application/json","model_type":"M","target":0,"rev":0,"kind":"Snapshot"}', b"not-json"),
        ("", "M", "patch", 7, JSON,
         '{"codec":"application/json","model_type":"M","target":0,"rev":7,"kind":"Patch"}', b""),
        ("{}", 'a"b\nc\\', "patch", 1, JSON,
         '{"codec":"application/json","model_type":"a\\"b\\nc\\\\","target":0,"rev":1,"kind":"Patch"}', b"{}"),
        ("{}", "\x01\x1f\t\b\f\r", "patch", 1, JSON,
         '{"codec":"application/json","model_type":"\\u0001\\u001f\\t\\b\\f\\r","target":0,"rev":1,"kind":"Patch"}',
         b"{}"),
        ("{}", "é/€", "patch", 2**64 - 1, JSON,
         '{"codec":"application/json","model_type":"é/€","target":0,"rev":18446744073709551615,"kind":"Patch"}',
         b"{}"),
        ("é \u2028", "", "snapshot", 3, JSON,
         '{"codec":"application/json","model_type":"","target":0,"rev":3,"kind":"Snapshot"}', "é \u2028".encode()),
        (" [1] ", "M", "patch", 7, MSGPACK,
         '{"codec":"application/msgpack","model_type":"M","target":0,"rev":7,"kind":"Patch"}', b"\x91\x01"),
    ],
)
def test_frame_layout(payload, model_type, kind, rev, codec, header, body):
    frame = encode(payload, kind, rev, codec, model_type)
    h = header.encode()
    assert frame == struct.pack(">I", len(h)) + h + struct.pack(">I", len(body)) + body
    assert len(frame) == 8 + len(h) + len(body)


# ---- encode_frame: errors and their order ------------------------------------


@pytest.mark.parametrize(
    "payload, kind, codec, message",
    [
        ("{}", "patch", "APPLICATION/JSON", "unknown codec: APPLICATION/JSON"),
        ("{}", "patch", "application/json ", "unknown codec: application/json "),
        ("{}", "patch", "", "unknown codec: "),
        ("{}", "patch", "application/x-msgpack", "unknown codec: application/x-msgpack"),
        ("not-json", "Patch", "text/plain", "unknown codec: text/plain"),
        ("{}", "Patch", JSON, "unknown frame kind: Patch"),
        ("{}", "PATCH", MSGPACK, "unknown frame kind: PATCH"),
        ("{}", " patch", JSON, "unknown frame kind:  patch"),
        ("{}", "", JSON, "unknown frame kind: "),
        ("not-json", "Snapshot", JSON, "unknown frame kind: Snapshot"),
        ("", "patch", MSGPACK, "EOF while parsing a value at line 1 column 0"),
        ("1 2", "patch", MSGPACK, "trailing characters at line 1 column 3"),
        ("not-json", "patch", MSGPACK, "expected ident at line 1 column 2"),
        ("not-json", "bad", MSGPACK, "expected ident at line 1 column 2"),
        ("[1,\n", "patch", MSGPACK, "EOF while parsing a value at line 2 column 0"),
        ('{"a":1,}', "patch", MSGPACK, "trailing comma at line 1 column 8"),
        ("[" * 128 + "]" * 128, "patch", MSGPACK, "recursion limit exceeded at line 1 column 128"),
    ],
)
def test_encode_errors(payload, kind, codec, message):
    assert error_of(encode, payload, kind, 7, codec) == message


def test_encode_accepts_127_levels():
    doc = "[" * 127 + "]" * 127
    assert split(encode(doc, codec=MSGPACK))[1] == b"\x91" * 126 + b"\x90"


# ---- encode_frame: MessagePack forms ----------------------------------------

INT_FORMS = [
    (0, "00"),
    (127, "7f"),
    (128, "cc80"),
    (255, "ccff"),
    (256, "cd0100"),
    (65535, "cdffff"),
    (65536, "ce00010000"),
    (2**32 - 1, "ceffffffff"),
    (2**32, "cf0000000100000000"),
    (2**64 - 1, "cfffffffffffffffff"),
    (-1, "ff"),
    (-32, "e0"),
    (-33, "d0df"),
    (-128, "d080"),
    (-129, "d1ff7f"),
    (-32768, "d18000"),
    (-32769, "d2ffff7fff"),
    (-(2**31), "d280000000"),
    (-(2**31) - 1, "d3ffffffff7fffffff"),
    (-(2**63), "d38000000000000000"),
]


@pytest.mark.parametrize("number, packed", INT_FORMS)
def test_integer_forms(number, packed):
    assert split(encode(str(number), codec=MSGPACK))[1].hex() == packed


@pytest.mark.parametrize(
    "text, value",
    [
        ("1.0", 1.0),
        ("-0", -0.0),
        ("-0.0", -0.0),
        ("0.5", 0.5),
        ("1e2", 100.0),
        ("1.5e300", 1.5e300),
        ("-1e-320", -1e-320),
        ("18446744073709551616", 18446744073709551616.0),
        ("-9223372036854775809", -9223372036854775809.0),
        ("3.4028234663852886e38", 3.4028234663852886e38),
    ],
)
def test_float_forms(text, value):
    assert split(encode(text, codec=MSGPACK))[1] == b"\xcb" + struct.pack(">d", value)


@pytest.mark.parametrize(
    "n, head",
    [
        (0, "a0"), (31, "bf"), (32, "d920"), (255, "d9ff"), (256, "da0100"),
        (65535, "daffff"), (65536, "db00010000"),
    ],
)
def test_string_forms_by_byte_length(n, head):
    text = "é" * (n // 2) + "x" * (n % 2)  # two bytes per é: the form follows bytes, not characters
    packed = split(encode(json.dumps(text, ensure_ascii=False), codec=MSGPACK))[1]
    assert packed == bytes.fromhex(head) + text.encode()


@pytest.mark.parametrize(
    "n, head",
    [(0, "90"), (15, "9f"), (16, "dc0010"), (65535, "dcffff"), (65536, "dd00010000")],
)
def test_array_forms(n, head):
    packed = split(encode("[" + ",".join(["null"] * n) + "]", codec=MSGPACK))[1]
    assert packed == bytes.fromhex(head) + b"\xc0" * n


@pytest.mark.parametrize(
    "n, head",
    [(0, "80"), (15, "8f"), (16, "de0010"), (65535, "deffff"), (65536, "df00010000")],
)
def test_map_forms(n, head):
    keys = [f"k{i:05d}" for i in range(n)]
    doc = "{" + ",".join(f'"{k}":true' for k in reversed(keys)) + "}"
    packed = split(encode(doc, codec=MSGPACK))[1]
    assert packed == bytes.fromhex(head) + b"".join(b"\xa6" + k.encode() + b"\xc3" for k in keys)


@pytest.mark.parametrize(
    "doc, packed",
    [
        ("1", "01"),
        ("-1", "ff"),
        ("null", "c0"),
        ("false", "c2"),
        ("true", "c3"),
        ('{"b":1,"a":2}', "82a161 02a16201"),
        ('{"a":1,"a":2}', "81a16102"),
        ('{"b":1,"a":{"d":[],"c":""}}', "82a161 82a163a0a16490 a16201"),
        ('{"é":1,"z":2,"Z":3}', "83a15a03a17a02a2c3a901"),
    ],
)
def test_msgpack_values(doc, packed):
    assert split(encode(doc, codec=MSGPACK))[1] == bytes.fromhex(packed)


# ---- encode_frame against the python msgpack peer ---------------------------

PEER_DOCS = [
    "0", "-0.0", "1.0", "[1,1.0,-1,-1.0]", '"x"', '""', "[]", "{}",
    '{"ops":[{"SetProp":{"path":[{"slot":"items","index":3}],"name":"label","value":{"Str":"hi"}}}]}',
    '{"tag":"div","props":{"n":{"Int":-129},"f":{"Float":2.5e-8},"big":{"Int":18446744073709551615}}}',
    '{"z":{"y":{"x":[true,false,null,{"":0}]}},"a":"' + "é" * 40 + '","\\u0000":"\\ud83d\\ude00"}',
    "[" + ",".join(str(n) for n, _ in INT_FORMS) + "]",
    "[1e16,1e-7,123456789.125,-2.2250738585072014e-308,1.7976931348623157e308]",
    '{"b":1,"a":2,"b":3}',
]


@pytest.mark.parametrize("doc", PEER_DOCS)
def test_msgpack_payload_matches_peer(doc):
    payload = split(encode(doc, codec=MSGPACK))[1]
    expected = sorted_keys(json.loads(doc))
    unpacked = msgpack.unpackb(payload, raw=False)
    assert typed(unpacked) == typed(expected)
    assert json.dumps(unpacked) == json.dumps(expected)  # key order too
    assert payload == msgpack.packb(expected, use_bin_type=True)


# ---- decode_frame: whole frames ---------------------------------------------


@pytest.mark.parametrize("codec", [JSON, MSGPACK])
def test_decode_example(codec):
    frame = encode('{"ops":[]}', "patch", 7, codec)
    assert vorlan.decode_frame(frame) == '{"kind":"patch","model_type":"M","payload":{"ops":[]},"rev":7}'


@pytest.mark.parametrize(
    "payload, expected",
    [
        (b'{ "b" : 1 , "a" : [1.50, 1e2] }', '{"a":[1.5,100.0],"b":1}'),
        (b'{"a":1,"a":2}', '{"a":2}'),
        (b' \t\r\n"x" \n', '"x"'),
        (b'"\\u00e9\\n\\/"', '"é\\n/"'),
        (b"[-0,1e16,0.000001,1e-7,18446744073709551616,-9223372036854775809]",
         "[-0.0,1e+16,1e-6,1e-7,1.8446744073709552e+19,-9.223372036854776e+18]"),
        (b"[" * 127 + b"]" * 127, "[" * 127 + "]" * 127),
    ],
)
def test_json_payload_is_normalised(payload, expected):
    out = vorlan.decode_frame(frame_of(header_text(), payload))
    assert out == '{"kind":"patch","model_type":"M","payload":' + expected + ',"rev":7}'


@pytest.mark.parametrize(
    "header, expected",
    [
        ('{"codec":"application/json","model_type":"M","target":0,"rev":7,"kind":"Patch"}',
         '{"kind":"patch","model_type":"M","payload":1,"rev":7}'),
        ('{"kind":"Snapshot","rev":0,"target":99,"model_type":"","codec":"application/json"}',
         '{"kind":"snapshot","model_type":"","payload":1,"rev":0}'),
        ('{"x":[[{"y":null}]],"codec":"application/json","model_type":"M","target":18446744073709551615,'
         '"rev":18446744073709551615,"kind":{"Patch":null},"kind2":1}',
         '{"kind":"patch","model_type":"M","payload":1,"rev":18446744073709551615}'),
        (' \n{"codec":"application/json","model_type":"a\\"\\u00e9\\n","target":0,"rev":7,'
         '"kind":{ "Snapshot" : null }}\r\n\t ',
         '{"kind":"snapshot","model_type":"a\\"é\\n","payload":1,"rev":7}'),
        ('["application/json","M",0,7,"Patch"]', '{"kind":"patch","model_type":"M","payload":1,"rev":7}'),
        ('["application/json","M",0,7,{"Snapshot":null}]',
         '{"kind":"snapshot","model_type":"M","payload":1,"rev":7}'),
        ('{"x":' + "[" * 300 + "]" * 300 + ',"codec":"application/json","model_type":"M","target":0,"rev":7,'
         '"kind":"Patch"}', '{"kind":"patch","model_type":"M","payload":1,"rev":7}'),
    ],
)
def test_header_forms(header, expected):
    assert vorlan.decode_frame(frame_of(header, b"1")) == expected


def test_bytes_after_payload_are_ignored():
    frame = encode("[1]", codec=MSGPACK) + b"\xc1garbage"
    assert payload_of(vorlan.decode_frame(frame)) == [1]
    assert payload_of(vorlan.decode_frame(frame_of(header_text(), b"[1]", b"} not json"))) == [1]


def test_decode_example_at_every_cut_is_truncated():
    frame = encode('{"ops":[]}')
    for n in range(len(frame)):
        assert error_of(vorlan.decode_frame, frame[:n]) == "truncated frame", n


# ---- decode_frame: header errors --------------------------------------------

GOOD = {"codec": '"application/json"', "model_type": '"M"', "target": "0", "rev": "7", "kind": '"Patch"'}


def header_with(**fields):
    members = dict(GOOD, **fields)
    return "{" + ",".join(f'"{k}":{v}' for k, v in members.items() if v is not None) + "}"


@pytest.mark.parametrize(
    "header, message",
    [
        (b"", "EOF while parsing a value at line 1 column 0"),
        (b"   ", "EOF while parsing a value at line 1 column 3"),
        (b"5", "invalid type: integer `5`, expected struct Header at line 1 column 1"),
        (b'"x"', 'invalid type: string "x", expected struct Header at line 1 column 3'),
        (b"null", "invalid type: null, expected struct Header at line 1 column 4"),
        (b"true", "invalid type: boolean `true`, expected struct Header at line 1 column 4"),
        (b"x", "expected value at line 1 column 1"),
        (header_with(kind=None).encode(), "missing field `kind` at line 1 column 64"),
        (header_with(codec=None, kind=None).encode(), "missing field `codec` at line 1 column 37"),
        (b"{}", "missing field `codec` at line 1 column 2"),
        (b'{"rev":1,"rev":2}', "duplicate field `rev` at line 1 column 14"),
        (b'{"kind":null,"kind":"Patch"}', "expected value at line 1 column 9"),
        (b'{"model_type":"a","model_type":"a"}', "duplicate field `model_type` at line 1 column 30"),
        (header_with(kind='"patch"').encode(),
         "unknown variant `patch`, expected `Snapshot` or `Patch` at line 1 column 78"),
        (header_with(kind='{"patch":null}').encode(),
         "unknown variant `patch`, expected `Snapshot` or `Patch` at line 1 column 79"),
        (header_with(kind="1").encode(), "expected value at line 1 column 72"),
        (header_with(kind="[]").encode(), "expected value at line 1 column 72"),
        (header_with(kind="null").encode(), "expected value at line 1 column 72"),
        (header_with(kind='{"Patch":null,"x":null}').encode(), "expected value at line 1 column 84"),
        (header_with(kind='{"Patch":1}').encode(), "invalid type: integer `1`, expected unit at line 1 column 81"),
        (header_with(kind='{"Patch":"Patch"}').encode(),
         'invalid type: string "Patch", expected unit at line 1 column 87'),
        (header_with(kind="{}").encode(), "expected value at line 1 column 73"),
        (header_with(kind="{1:null}").encode(),
         "invalid type: integer `1`, expected variant identifier at line 1 column 73"),
        (header_with(kind='{"Patch" null}').encode(), "expected `:` at line 1 column 81"),
        (header_with(kind='{"Patch":nul}').encode(), "expected ident at line 1 column 84"),
        (header_with(codec="1").encode(), "invalid type: integer `1`, expected a string at line 1 column 10"),
        (header_with(model_type="null").encode(),
         "invalid type: null, expected a string at line 1 column 45"),
        (header_with(target="-1").encode(),
         "invalid value: integer `-1`, expected u64 at line 1 column 56"),
        (header_with(rev="1.5").encode(),
         "invalid type: floating point `1.5`, expected u64 at line 1 column 65"),
        (header_with(rev="18446744073709551616").encode(),
         "invalid type: floating point `18446744073709552000.0`, expected u64 at line 1 column 82"),
        (header_with(rev='"7"').encode(), 'invalid type: string "7", expected u64 at line 1 column 65'),
        (b'["application/json","M",0,7]', "invalid length 4, expected struct Header with 5 elements at line 1 column 28"),
        (b"[]", "invalid length 0, expected struct Header with 5 elements at line 1 column 2"),
        (b'["application/json","M",0,7,"Patch",1]', "trailing characters at line 1 column 37"),
        (b'["application/json","M",0,7,"patch"]',
         "unknown variant `patch`, expected `Snapshot` or `Patch` at line 1 column 35"),
        (header_with().encode() + b" x", "trailing characters at line 1 column 81"),
        (header_with().encode() + b"\n{}", "trailing characters at line 2 column 1"),
        (b'{\n"codec":1}', "invalid type: integer `1`, expected a string at line 2 column 9"),
        (b'{"model_type":"\xff"}', "invalid unicode code point at line 1 column 17"),
        (b'{"codec":"a",' + b'"x":' + b"[" * 10 + b"}", "expected value at line 1 column 28"),
        (b'{"kind":' + b"[" * 200, "expected value at line 1 column 9"),
    ],
)
def test_header_errors(header, message):
    # The payload is cut short too: the header's error comes first.
    frame = struct.pack(">I", len(header)) + header + b"\x00\x00\x00\x09{}"
    assert error_of(vorlan.decode_frame, frame) == "bad frame header: " + message


# ---- decode_frame: lengths, codec, precedence -------------------------------

PREFIX = struct.pack(">I", len(header_text())) + header_text()


@pytest.mark.parametrize(
    "frame, message",
    [
        (b"", "truncated frame"),
        (b"\x00", "truncated frame"),
        (b"\x00\x00", "truncated frame"),
        (b"\x00\x00\x00", "truncated frame"),
        (b"\x00\x00\x00\x00", "bad frame header: EOF while parsing a value at line 1 column 0"),
        (b"\x00\x00\x00\x01", "truncated frame"),
        (b"\xff\xff\xff\xff{}", "truncated frame"),
        (PREFIX, "truncated frame"),
        (PREFIX + b"\x00\x00\x00", "truncated frame"),
        (frame_of(header_text(), b"[1]")[:-1], "truncated frame"),
        (PREFIX + b"\xff\xff\xff\xff", "truncated frame"),
        (PREFIX + b"\x00\x00\x00\x02[", "truncated frame"),
        (frame_of(header_text(codec="text/plain"), b"")[:-1], "truncated frame"),
        (frame_of(header_text(codec="text/plain"), b"[1]")[:-1], "truncated frame"),
        (frame_of(header_text(codec="text/plain"), b""), "unknown codec: text/plain"),
        (frame_of(header_text(codec="text/plain"), b"\xc1\xff"), "unknown codec: text/plain"),
        (frame_of(header_text(codec="application/json "), b"1"), "unknown codec: application/json "),
        (frame_of(header_text(codec="Application/MsgPack"), b"\x01"), "unknown codec: Application/MsgPack"),
        (frame_of(header_text(), b""), "EOF while parsing a value at line 1 column 0"),
        (frame_of(header_text(), b"not-json"), "expected ident at line 1 column 2"),
        (frame_of(header_text(), b"[1,\n2"), "EOF while parsing a list at line 2 column 1"),
        (frame_of(header_text(), b"1 2"), "trailing characters at line 1 column 3"),
        (frame_of(header_text(), b"[" * 128 + b"]" * 128), "recursion limit exceeded at line 1 column 128"),
        (frame_of(header_text(), b"[\xff"), "invalid utf-8 sequence of 1 bytes from index 1"),
    ],
)
def test_frame_errors(frame, message):
    assert error_of(vorlan.decode_frame, frame) == message


@pytest.mark.parametrize(
    "payload, message",
    [
        (b"\xff", "invalid utf-8 sequence of 1 bytes from index 0"),
        (b'"\xc3', "incomplete utf-8 byte sequence from index 1"),
        (b'"\xe2\x82', "incomplete utf-8 byte sequence from index 1"),
        (b'"\xe2\x82"', "invalid utf-8 sequence of 2 bytes from index 1"),
        (b'"\xe0\x80\x80"', "invalid utf-8 sequence of 1 bytes from index 1"),
        (b'"\xed\xa0\x80"', "invalid utf-8 sequence of 1 bytes from index 1"),
        (b'"\xf0\x90\x80"', "invalid utf-8 sequence of 3 bytes from index 1"),
        (b'"\xf4\x90\x80\x80"', "invalid utf-8 sequence of 1 bytes from index 1"),
        (b'"\xf5"', "invalid utf-8 sequence of 1 bytes from index 1"),
        (b'"\xc0\xaf"', "invalid utf-8 sequence of 1 bytes from index 1"),
        (b'"\x80"', "invalid utf-8 sequence of 1 bytes from index 1"),
        (b'"abcdefghijklmnop\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\xff"',
         "invalid utf-8 sequence of 1 bytes from index 26"),
    ],
)
def test_json_payload_utf8(payload, message):
    assert error_of(vorlan.decode_frame, frame_of(header_text(), payload)) == message


def test_json_payload_utf8_matches_python():
    rng = random.Random(7)
    alphabet = [b"a", b"\x80", b"\xbf", b"\xc2", b"\xdf", b"\xe0", b"\xed", b"\xef", b"\xf0", b"\xf4", b"\xf5",
                b"\xa0", b"\x90", b"\x8f", b"\xc3\xa9", b"\xe2\x82\xac", b"\xf0\x9f\x98\x80"]
    for _ in range(3000):
        payload = b'"' + b"".join(rng.choice(alphabet) for _ in range(rng.randint(1, 6)))
        try:
            payload.decode("utf-8")
            continue
        except UnicodeDecodeError as e:
            if e.reason == "unexpected end of data":
                expected = f"incomplete utf-8 byte sequence from index {e.start}"
            else:
                expected = f"invalid utf-8 sequence of {e.end - e.start} bytes from index {e.start}"
        assert error_of(vorlan.decode_frame, frame_of(header_text(), payload)) == expected, payload


# ---- decode_frame: MessagePack payloads -------------------------------------

class Pairs(list):
    """A map as its members in text order, repeated keys included."""


def random_document(rng, depth):
    if depth == 0 or rng.random() < 0.3:
        return rng.choice([None, True, 0, -5, 300, "", "x", "\u00e9\n"])
    if rng.random() < 0.3:
        return [random_document(rng, depth - 1) for _ in range(rng.randint(0, 4))]
    keys = ["a", "b", "ab", "", "\u00e9", "B"]
    return Pairs((rng.choice(keys), random_document(rng, depth - 1)) for _ in range(rng.randint(1, 5)))


def as_json(doc):
    if isinstance(doc, Pairs):
        return "{" + ",".join(json.dumps(k) + ":" + as_json(v) for k, v in doc) + "}"
    if isinstance(doc, list):
        return "[" + ",".join(as_json(v) for v in doc) + "]"
    return json.dumps(doc)


def as_msgpack(doc):
    if isinstance(doc, Pairs):
        return b"\xdf" + struct.pack(">I", len(doc)) + b"".join(as_msgpack(k) + as_msgpack(v) for k, v in doc)
    if isinstance(doc, list):
        return b"\xdd" + struct.pack(">I", len(doc)) + b"".join(as_msgpack(v) for v in doc)
    return msgpack.packb(doc)


def canonical(doc):
    if isinstance(doc, Pairs):
        last = dict(doc)
        return "{" + ",".join(json.dumps(k, ensure_ascii=False) + ":" + canonical(last[k])
                              for k in sorted(last, key=lambda k: k.encode())) + "}"
    if isinstance(doc, list):
        return "[" + ",".join(canonical(v) for v in doc) + "]"
    return json.dumps(doc, ensure_ascii=False)


@pytest.mark.parametrize("codec", [JSON, MSGPACK])
def test_maps_in_any_order_nested_in_maps_in_any_order(codec):
    # Each map is put in key order once the whole payload is read; the maps inside one
    # that moves must come out in their own order too.
    rng = random.Random(11)
    for _ in range(300):
        doc = random_document(rng, 6)
        payload = as_msgpack(doc) if codec == MSGPACK else as_json(doc).encode()
        out = vorlan.decode_frame(frame_of(header_text(codec=codec), payload))
        assert out == '{"kind":"patch","model_type":"M","payload":' + canonical(doc) + ',"rev":7}', as_json(doc)


NESTED_127 = "[" * 127 + "]" * 127


@pytest.mark.parametrize(
    "hex_payload, expected",
    [
        ("01", "1"), ("0102", "1"), ("c0", "null"), ("c2", "false"), ("c3", "true"),
        ("7f", "127"), ("ccff", "255"), ("cd0100", "256"), ("ceffffffff", "4294967295"),
        ("cfffffffffffffffff", "18446744073709551615"),
        ("e0", "-32"), ("ff", "-1"), ("d080", "-128"), ("d005", "5"), ("d1ff7f", "-129"),
        ("d2ffff7fff", "-32769"), ("d38000000000000000", "-9223372036854775808"),
        ("d30000000000000001", "1"), ("d37fffffffffffffff", "9223372036854775807"),
        ("ca3fc00000", "1.5"), ("ca3dcccccd", "0.10000000149011612"), ("ca7fc00000", "null"),
        ("ca7f800000", "null"), ("cb3ff0000000000000", "1.0"), ("cb8000000000000000", "-0.0"),
        ("cb7ff8000000000000", "null"), ("cb7ff0000000000000", "null"), ("cbfff0000000000000", "null"),
        ("cb4341c37937e08000", "1e+16"),
        ("a0", '""'), ("a3616263", '"abc"'), ("d903616263", '"abc"'), ("da000161", '"a"'),
        ("db0000000161", '"a"'), ("a4c3a90a22", '"é\\n\\""'), ("a100", '"\\u0000"'),
        ("90", "[]"), ("920102", "[1,2]"), ("dc0001c0", "[null]"), ("dd00000001c3", "[true]"),
        ("80", "{}"), ("82a16201a16102", '{"a":2,"b":1}'), ("82a16101a16102", '{"a":2}'),
        ("83a17a01a2c3a902a15a03", '{"Z":3,"z":1,"é":2}'),
        ("de0001a161c0", '{"a":null}'), ("df00000001a0c0", '{"":null}'),
        ("81a16192cb3ff8000000000000a0", '{"a":[1.5,""]}'),
        ("91" * 126 + "90", NESTED_127),
    ],
)
def test_msgpack_payloads(hex_payload, expected):
    out = vorlan.decode_frame(mp_frame(bytes.fromhex(hex_payload)))
    assert out == '{"kind":"patch","model_type":"M","payload":' + expected + ',"rev":7}'


MARKER_EOF = "IO error while reading marker: failed to fill whole buffer"
DATA_EOF = "IO error while reading data: failed to fill whole buffer"
BYTES_EOF = "IO error while reading data: unexpected end of file"
BYTE_ARRAY = "invalid type: byte array, expected any valid JSON value"
NEWTYPE = "invalid type: newtype struct, expected any valid JSON value"


@pytest.mark.parametrize(
    "payload, message",
    [
        (b"", MARKER_EOF),
        (b"\xc1", "wrong msgpack marker Reserved"),
        (b"\x92\x01", MARKER_EOF),
        (b"\x81\xa1a", MARKER_EOF),
        (b"\x81", MARKER_EOF),
        (b"\xa3a", BYTES_EOF),
        (b"\xd9\x05abc", BYTES_EOF),
        (b"\xdb\xff\xff\xff\xff", BYTES_EOF),
        (b"\xcd\x01", DATA_EOF),
        (b"\xcc", DATA_EOF),
        (b"\xcf\x00\x00\x00\x00\x00\x00\x00", DATA_EOF),
        (b"\xd3\x00", DATA_EOF),
        (b"\xca\x00\x00\x00", DATA_EOF),
        (b"\xcb\x00", DATA_EOF),
        (b"\xd9", DATA_EOF),
        (b"\xda\x00", DATA_EOF),
        (b"\xdb\x00\x00\x00", DATA_EOF),
        (b"\xdc\x00", DATA_EOF),
        (b"\xdd\x00\x00\x00", DATA_EOF),
        (b"\xde\x00", DATA_EOF),
        (b"\xdf", DATA_EOF),
        (b"\xdd\xff\xff\xff\xff\x01", MARKER_EOF),
        (b"\xdf\xff\xff\xff\xff", MARKER_EOF),
        (b"\xc4\x00", BYTE_ARRAY),
        (b"\xc5\x00\x01a", BYTE_ARRAY),
        (b"\xc6\x00\x00\x00\x00", BYTE_ARRAY),
        (b"\xc4", DATA_EOF),
        (b"\xc5\x00", DATA_EOF),
        (b"\xc4\x02a", BYTES_EOF),
        (b"\xc6\xff\xff\xff\xff", BYTES_EOF),
        (b"\xd4", NEWTYPE),
        (b"\xd4\x01\x02", NEWTYPE),
        (b"\xd5", NEWTYPE),
        (b"\xd6", NEWTYPE),
        (b"\xd7", NEWTYPE),
        (b"\xd8", NEWTYPE),
        (b"\xc7\x00\x05", NEWTYPE),
        (b"\xc8\x00\x01", NEWTYPE),
        (b"\xc9\xff\xff\xff\xff", NEWTYPE),
        (b"\xc7", DATA_EOF),
        (b"\xc8\x00", DATA_EOF),
        (b"\xc9\x00\x00\x00", DATA_EOF),
        (b"\xa1\xff", "string found to be invalid utf8: invalid utf-8 sequence of 1 bytes from index 0"),
        (b"\xa1\xc3", "string found to be invalid utf8: incomplete utf-8 byte sequence from index 0"),
        (b"\xa4ab\xe2\x82", "string found to be invalid utf8: incomplete utf-8 byte sequence from index 2"),
        (b"\xa3a\xe1\x80", "string found to be invalid utf8: incomplete utf-8 byte sequence from index 1"),
        (b"\xa4a\xe1\x80a", "string found to be invalid utf8: invalid utf-8 sequence of 2 bytes from index 1"),
        (b"\xa1\xffa", "string found to be invalid utf8: invalid utf-8 sequence of 1 bytes from index 0"),
        # map keys
        (b"\x81\x01\xc0", "invalid type: integer `1`, expected a string key"),
        (b"\x81\xff\xc0", "invalid type: integer `-1`, expected a string key"),
        (b"\x81\xd0\x05\xc0", "invalid type: integer `5`, expected a string key"),
        (b"\x81\xcf" + b"\xff" * 8, "invalid type: integer `18446744073709551615`, expected a string key"),
        (b"\x81\xc0\x01", "invalid type: null, expected a string key"),
        (b"\x81\xc3\xc0", "invalid type: boolean `true`, expected a string key"),
        (b"\x81\xc2\xc0", "invalid type: boolean `false`, expected a string key"),
        (b"\x81\xcb\x3f\xf8" + b"\x00" * 6, "invalid type: floating point `1.5`, expected a string key"),
        (b"\x81\xcb\x3f\xf0" + b"\x00" * 6, "invalid type: floating point `1.0`, expected a string key"),
        (b"\x81\xcb\x43\x41\xc3\x79\x37\xe0\x80\x00",
         "invalid type: floating point `10000000000000000.0`, expected a string key"),
        (b"\x81\xca\x7f\xc0\x00\x00", "invalid type: floating point `NaN`, expected a string key"),
        (b"\x81\xcb\xff\xf0" + b"\x00" * 6, "invalid type: floating point `-inf`, expected a string key"),
        (b"\x81\x90\xc0", "invalid type: sequence, expected a string key"),
        (b"\x81\x80\xc0", "invalid type: map, expected a string key"),
        (b"\x81\xc4\x00\xc0", "invalid type: byte array, expected a string key"),
        (b"\x81\xd4\x00\x00\xc0", "invalid type: newtype struct, expected a string key"),
        (b"\x81\xc1", "wrong msgpack marker Reserved"),
        (b"\x81\xa1\xff\xc0", "string found to be invalid utf8: invalid utf-8 sequence of 1 bytes from index 0"),
        (b"\x81\xa2a", BYTES_EOF),
        (b"\x81\xcd\x01", DATA_EOF),
        (b"\x81\xdc\x00", DATA_EOF),
        (b"\x82\xa1a\x01\x02\x03", "invalid type: integer `2`, expected a string key"),
        # the first bad item in stream order wins
        (b"\x93\xc4\x00\xc1\xa3", BYTE_ARRAY),
        (b"\x93\xc1\xc4\x00", "wrong msgpack marker Reserved"),
        (b"\x92\xa1\xff\xc4\x00", "string found to be invalid utf8: invalid utf-8 sequence of 1 bytes from index 0"),
        (b"\x82\xa1a\xd4\x00\x00\x01\xc0", NEWTYPE),
        (b"\x92\x01\xcd", DATA_EOF),
    ],
)
def test_msgpack_errors(payload, message):
    assert error_of(vorlan.decode_frame, mp_frame(payload)) == message


@pytest.mark.parametrize(
    "payload, message",
    [
        (nested(128), "recursion limit exceeded at line 1 column 128"),
        (nested(200), "recursion limit exceeded at line 1 column 128"),
        (nested(1023), "recursion limit exceeded at line 1 column 128"),
        (nested(1023, inner=b"\x81\xa1a\xc0", opener=b"\x81\xa1a"), "recursion limit exceeded at line 1 column 636"),
        (b"\x91" * 1022 + b"\xc4\x00", BYTE_ARRAY),
        (b"\x91" * 1023 + b"\xc4\x00", BYTE_ARRAY),
        (nested(1024), "depth limit exceeded"),
        (b"\x91" * 1023 + b"\xd4", "depth limit exceeded"),
        (b"\x91" * 1022 + b"\xd4", NEWTYPE),
        (b"\x91" * 1023 + b"\xdc\x00", DATA_EOF),
        (b"\x91" * 1023 + b"\x80", "depth limit exceeded"),
        (b"\x81\xa1a" * 1022 + b"\x81\x90", "depth limit exceeded"),
        (b"\x81\xa1a" * 1022 + b"\x81\x01", "invalid type: integer `1`, expected a string key"),
        (b"\x91" * 1_000_000, "depth limit exceeded"),
        (b"\x81\xa1a" * 1_000_000, "depth limit exceeded"),
        (b"\x91" * 1_000_000 + b"\x01", "depth limit exceeded"),
        (b"\x92" + b"\x90" + b"\x91" * 127 + b"\x90", "recursion limit exceeded at line 1 column 131"),
    ],
)
def test_msgpack_nesting(payload, message):
    assert error_of(vorlan.decode_frame, mp_frame(payload)) == message


def test_msgpack_depth_counter_recovers_after_siblings():
    # Closed arrays give their count back: 2000 siblings 121 levels deep stay within the counter.
    deep = b"\x91" * 120 + b"\x90"
    payload = b"\xdc\x07\xd0" + deep * 2000
    assert payload_of(vorlan.decode_frame(mp_frame(payload))) == [json.loads("[" * 121 + "]" * 121)] * 2000


# ---- decode_frame against the python msgpack peer ---------------------------

PEER_VALUES = [
    None, True, False, 0, 127, 128, 255, 256, 65535, 65536, 2**32 - 1, 2**32, 2**64 - 1,
    -1, -32, -33, -128, -129, -32768, -32769, -(2**31), -(2**31) - 1, -(2**63),
    0.0, -0.0, 1.5, 1e300, -2.5e-310, "", "x" * 31, "é" * 16, "y" * 255, "z" * 256, "€" * 30000, "w" * 70000,
    [], list(range(15)), list(range(16)), list(range(70000)),
    {}, {f"k{i}": i for i in range(15)}, {f"k{i}": [i] for i in range(16)}, {f"k{i}": i for i in range(70000)},
    {"ops": [{"SetProp": {"path": [{"slot": "s", "index": 0}], "name": "n", "value": {"Float": 0.25}}}]},
    {"b": {"d": [1, {"f": None}], "c": "é"}, "a": [[[]]], "": -7},
]


@pytest.mark.parametrize("value", PEER_VALUES, ids=lambda v: repr(v)[:40])
def test_peer_packed_payloads(value):
    packed = msgpack.packb(value, use_bin_type=True)
    assert typed(payload_of(vorlan.decode_frame(mp_frame(packed)))) == typed(sorted_keys(value))


@pytest.mark.parametrize(
    "value, widened",
    [(1.5, 1.5), (-0.0, -0.0), (0.1, 0.10000000149011612), (3.4e38, 3.3999999521443642e38), (1e-45, 1.401298464324817e-45)],
)
def test_peer_packed_float32_is_widened(value, widened):
    packed = msgpack.packb([value], use_single_float=True)
    assert packed[1] == 0xCA
    assert typed(payload_of(vorlan.decode_frame(mp_frame(packed)))) == typed([widened])


def test_peer_packed_float32_keeps_widened_digits():
    packed = msgpack.packb([0.1, 1.5], use_single_float=True)
    assert vorlan.decode_frame(mp_frame(packed)).endswith('"payload":[0.10000000149011612,1.5],"rev":7}')


def test_peer_packed_map_keys_come_back_sorted():
    packed = msgpack.packb({"b": 1, "a": 2, "é": 3, "Z": 4, "": 5})
    assert '"payload":{"":5,"Z":4,"a":2,"b":1,"é":3}' in vorlan.decode_frame(mp_frame(packed))


def test_peer_packed_bin_and_ext_are_refused():
    assert error_of(vorlan.decode_frame, mp_frame(msgpack.packb(b"ab", use_bin_type=True))) == BYTE_ARRAY
    assert error_of(vorlan.decode_frame, mp_frame(msgpack.packb(msgpack.ExtType(5, b"abc")))) == NEWTYPE


# ---- round trips -------------------------------------------------------------

ROUND_TRIP_DOCS = PEER_DOCS + [
    '{"tag":"ul","slots":{"items":[{"tag":"li","key":"a"},{"tag":"li","key":"b"}]}}',
    NESTED_127,
    '"\\u0000\\u001f\\"\\\\/\\ud83d\\ude00"',
    "[0.1,0.30000000000000004,5e-324,1e21,123e-20]",
]


@pytest.mark.parametrize("codec", [JSON, MSGPACK])
@pytest.mark.parametrize("doc", ROUND_TRIP_DOCS)
@pytest.mark.parametrize("kind, model_type, rev", [("patch", "M", 7), ("snapshot", 'a"\n\\é', 2**64 - 1)])
def test_round_trip(doc, codec, kind, model_type, rev):
    out = vorlan.decode_frame(vorlan.encode_frame(doc, model_type, kind, rev, codec))
    decoded = json.loads(out)
    assert list(decoded) == ["kind", "model_type", "payload", "rev"]
    assert decoded["kind"] == kind and decoded["model_type"] == model_type and decoded["rev"] == rev
    assert typed(decoded["payload"]) == typed(sorted_keys(json.loads(doc)))
    # The decoded text is normalised: framing it again gives it back unchanged.
    payload_text = out[out.index('"payload":') + 10 : out.rindex(',"rev":')]
    assert vorlan.decode_frame(vorlan.encode_frame(payload_text, model_type, kind, rev, codec)) == out


def test_round_trips_of_both_codecs_agree():
    for doc in ROUND_TRIP_DOCS:
        assert vorlan.decode_frame(encode(doc, codec=JSON)) == vorlan.decode_frame(encode(doc, codec=MSGPACK)), doc


# ---- objects whose members come out of order or repeated, at several levels ---


class Pairs(list):
    """An object's members in text order; a key may repeat."""


def pairs_text(v):
    if isinstance(v, Pairs):
        return "{" + ",".join(json.dumps(k, ensure_ascii=False) + ":" + pairs_text(e) for k, e in v) + "}"
    if isinstance(v, list):
        return "[" + ",".join(pairs_text(e) for e in v) + "]"
    return json.dumps(v, ensure_ascii=False)


def pairs_packed(v):
    if isinstance(v, Pairs):
        head = bytes([0x80 + len(v)]) if len(v) < 16 else b"\xde" + struct.pack(">H", len(v))
        return head + b"".join(msgpack.packb(k) + pairs_packed(e) for k, e in v)
    if isinstance(v, list):
        head = bytes([0x90 + len(v)]) if len(v) < 16 else b"\xdc" + struct.pack(">H", len(v))
        return head + b"".join(pairs_packed(e) for e in v)
    return msgpack.packb(v)


def pairs_value(v):
    """The document a generic object makes of it: the last of a repeated key, keys in byte order."""
    if isinstance(v, Pairs):
        last = {k: pairs_value(e) for k, e in v}
        return {k: last[k] for k in sorted(last, key=lambda k: k.encode())}
    if isinstance(v, list):
        return [pairs_value(e) for e in v]
    return v


def nested_pairs(depth):
    v = Pairs([("b", 0), ("a", 1)])
    for _ in range(depth - 1):
        v = Pairs([("b", [0]), ("a", 1), ("b", v)])
    return v


def random_pairs(rng, depth=0):
    roll = rng.random()
    if depth > 2 or roll < 0.4:
        return rng.choice([None, True, 0, -5, 300, "", "s", 'q"\n', "é"])
    if roll < 0.6:
        return [random_pairs(rng, depth + 1) for _ in range(rng.randrange(4))]
    keys = rng.choice([["a", "b", "c"], ["b", "a\\", "\t", "é", ""], [f"k{i}" for i in range(20)]])
    return Pairs((rng.choice(keys), random_pairs(rng, depth + 1)) for _ in range(rng.randrange(22)))


REORDERED = [
    Pairs([("b", Pairs([("y", 1), ("x", [1, 2])])), ("a", Pairs([("k", Pairs([("z", 1)])), ("k", 2)])), ("b", [3])]),
    Pairs([("b", Pairs([("d", 1), ("c", 2), ("d", Pairs([("f", 3), ("e", 4)]))])), ("a", Pairs([("a", 5)])),
           ("b", Pairs([("h", 6), ("g", Pairs([("j", 7), ("i", 8), ("j", 9)]))]))]),
    [Pairs([("b", 1), ("a", 2)]), [Pairs([("d", Pairs([("f", 1), ("e", 2), ("f", 3)])), ("c", 4)])], Pairs()],
    Pairs([(f"k{i % 15:02d}", i) for i in reversed(range(20))]),
    Pairs([(f"k{i:02d}", Pairs([("y", i), ("x", i)])) for i in reversed(range(17))] + [("k16", None)]),
    Pairs([("b\n", "\t"), ('a"', "\\"), ("b\n", "\u0000"), ("", Pairs([("\u00e9", 1), ("\u001f", 2)]))]),
    nested_pairs(127),
]


@pytest.mark.parametrize("doc", REORDERED, ids=range(len(REORDERED)))
def test_reordered_objects_encode(doc):
    packed = split(encode(pairs_text(doc), codec=MSGPACK))[1]
    assert packed == msgpack.packb(pairs_value(doc))


@pytest.mark.parametrize("doc", REORDERED, ids=range(len(REORDERED)))
def test_reordered_maps_decode(doc):
    expected = json.dumps(pairs_value(doc), separators=(",", ":"), ensure_ascii=False)
    out = vorlan.decode_frame(mp_frame(pairs_packed(doc)))
    assert out == '{"kind":"patch","model_type":"M","payload":' + expected + ',"rev":7}'


def test_reordered_maps_128_deep_fail_where_the_sorted_text_does():
    doc = nested_pairs(128)
    text = json.dumps(pairs_value(doc), separators=(",", ":"))
    column = [i for i, c in enumerate(text) if c == "{"][127] + 1
    message = f"recursion limit exceeded at line 1 column {column}"
    assert error_of(vorlan.decode_frame, mp_frame(pairs_packed(doc))) == message
    assert error_of(encode, pairs_text(doc), "patch", 7, MSGPACK).startswith("recursion limit exceeded at line 1 ")


def test_random_reordered_documents_agree_with_both_oracles():
    rng = random.Random(5)
    for _ in range(300):
        doc = random_pairs(rng)
        text = pairs_text(doc)
        assert split(encode(text, codec=MSGPACK))[1] == msgpack.packb(pairs_value(doc)), text
        # The JSON codec reads the same document through the generic reader.
        assert vorlan.decode_frame(mp_frame(pairs_packed(doc))) == vorlan.decode_frame(
            frame_of(header_text(), text.encode())
        ), text
