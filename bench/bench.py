"""vorlan against its peers: prints one table of medians from warm, repeated runs.

Run by `make bench`, under the first CPython 3.11+ that has orjson (else /usr/bin/python3); by hand:
    python3 bench/bench.py --module-dir build-bench --core build-bench/bench/bench_core
"""
import argparse
import gc
import importlib
import importlib.metadata
import json
import os
import platform
import shutil
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
import gen_trees  # noqa: E402
from report import fmt_time, print_table  # noqa: E402

SIZES = [("0.1 MB", 100_000), ("1 MB", 1_000_000), ("10 MB", 10_000_000)]
TARGET_SIZE = "1 MB"
MSGPACK = "application/msgpack"
JSON = "application/json"
COMPACT = (",", ":")
# A first call slower than this is not repeated (jsonpatch at large sizes).
SLOW_CALL = 2.0
# Debian's python3-msgpack, -ujson and -jsonpatch: built for CPython 3.11, so another 3.11.x
# (pyenv's, which has orjson) can borrow them.
DEBIAN_PACKAGES = "/usr/lib/python3/dist-packages"
borrowed = False  # whether DEBIAN_PACKAGES was appended here


def debian_fallback():
    """Appends Debian's packages to sys.path, last so that the interpreter's own win; False
    when that cannot help."""
    if sys.version_info[:2] != (3, 11) or DEBIAN_PACKAGES in sys.path or not os.path.isdir(DEBIAN_PACKAGES):
        return False
    global borrowed
    sys.path.append(DEBIAN_PACKAGES)
    importlib.invalidate_caches()
    borrowed = True
    return True


def optional(name):
    try:
        return importlib.import_module(name)
    except ImportError:
        pass
    if not debian_fallback():
        return None
    try:
        return importlib.import_module(name)
    except ImportError:
        return None


orjson = optional("orjson")
ujson = optional("ujson")
jsonpatch = optional("jsonpatch")
msgpack = optional("msgpack")
if msgpack is None:
    sys.exit("bench.py needs msgpack (Debian: python3-msgpack)")


def batch_size(fn, min_batch):
    """Calls per batch so that one batch lasts at least min_batch; these first runs warm up."""
    number = 1
    while True:
        t = timeit.timeit(fn, number=number)
        if t >= min_batch or number >= 1 << 16:
            return number
        number *= max(2, min(10, int(min_batch / max(t, 1e-9)) + 1))


def median_group(fns, repeat, min_batch=0.05):
    """Seconds per call of each fn: the median of `repeat` rounds of one batch of every fn in
    turn, so that a burst of other work on the machine falls on all of them alike."""
    numbers = [batch_size(fn, min_batch) for fn in fns]
    times = [[] for _ in fns]
    for _ in range(repeat):
        for fn, number, ts in zip(fns, numbers, times):
            ts.append(timeit.timeit(fn, number=number) / number)
    return [statistics.median(ts) for ts in times]


def fmt_mb(n):
    return f"{n / 1e6:.1f} MB"


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def version_of(module):
    """The version of the module as imported, and where it came from when not the interpreter's own."""
    v = getattr(module, "__version__", None)
    if v is None and isinstance(getattr(module, "version", None), tuple):
        v = ".".join(map(str, module.version))
    if v is None:
        try:
            v = importlib.metadata.version(module.__name__)
        except importlib.metadata.PackageNotFoundError:
            v = "?"
    extra = []
    if module.__name__ == "msgpack" and "fallback" in module.Packer.__module__:
        extra.append("pure Python")
    if borrowed and os.path.abspath(module.__file__).startswith(DEBIAN_PACKAGES + os.sep):
        extra.append("Debian's")
    return f"{module.__name__} {v}" + (f" ({', '.join(extra)})" if extra else "")


def frame_payload(frame):
    h = struct.unpack(">I", frame[:4])[0]
    p = struct.unpack(">I", frame[4 + h : 8 + h])[0]
    return frame[8 + h : 8 + h + p]


class Table:
    """Rows of the one table; None is a blank separator line."""

    def __init__(self):
        self.rows = []
        self.targets = []  # (size, operation, met)

    def row(self, size, op, ours, peer="", peer_time=None, ratio=None, target="", met=None, name=None,
            at=None, digits=2):
        self.rows.append([size, op, ours if isinstance(ours, str) else fmt_time(ours), peer,
                          peer_time if isinstance(peer_time, str) else fmt_time(peer_time),
                          "-" if ratio is None else f"{ratio:.{digits}f}x", target,
                          "" if met is None else ("met" if met else "MISSED")])
        if met is not None:
            self.targets.append((at or size, name or op, met))

    def compare(self, size, op, ours, peers, target_min=None, candidates=None):
        """One row per peer, ratio = peer / ours; a target sits on the row of the fastest of the
        peers at the indices `candidates` (all of them by default)."""
        pool = peers if candidates is None else [peers[i] for i in candidates]
        fastest = min(pool, key=lambda p: p[1])[0]
        for i, (peer, t) in enumerate(peers):
            first = i == 0
            ratio = t / ours
            if target_min is not None and peer == fastest:
                self.row(size if first else "", op if first else "", ours if first else "", peer, t,
                         ratio, f">= {target_min:g}x", ratio >= target_min, name=f"{op} vs {peer}", at=size)
            else:
                self.row(size if first else "", op if first else "", ours if first else "", peer, t, ratio)

    def blank(self):
        self.rows.append(None)

    def print(self):
        rows = self.rows[:-1] if self.rows and self.rows[-1] is None else self.rows
        print_table(["size", "operation", "vorlan", "peer", "peer time", "ratio", "target", ""], rows, {2, 4, 5})


def parse_peers():
    """(name, loads, dumps_sorted, dumps_compact) of each JSON library present, json first."""
    peers = [("json", json.loads,
              lambda v: json.dumps(v, sort_keys=True, separators=COMPACT),
              lambda v: json.dumps(v, separators=COMPACT))]
    if ujson:
        peers.append(("ujson", ujson.loads, lambda v: ujson.dumps(v, sort_keys=True), ujson.dumps))
    if orjson:
        peers.append(("orjson", orjson.loads,
                      lambda v: orjson.dumps(v, option=orjson.OPT_SORT_KEYS), orjson.dumps))
    return peers


def target_rows(peers):
    """Indices of the parser rows a target written against orjson may sit on: orjson's own when
    it is present, else every parser (the fastest of them takes it)."""
    names = [name for name, *_ in peers]
    return [names.index("orjson")] if "orjson" in names else list(range(len(peers)))


def check_results(vorlan, old, new):
    patch = vorlan.diff(old, new)
    assert vorlan.apply(old, patch) == vorlan.apply(new, '{"ops":[]}'), "apply(old, diff) != new"
    for codec in (MSGPACK, JSON):
        out = json.loads(vorlan.decode_frame(vorlan.encode_frame(old, "Model", "snapshot", 1, codec)))
        assert out["payload"] == json.loads(old), f"{codec} frame round trip"


def bench_size(t, vorlan, label, old, new, repeat, skipped):
    """The rows of one pair; returns the diff time and the patch length."""
    peers = parse_peers()
    on = target_rows(peers)  # the parser rows come first in every group with a target
    patch = vorlan.diff(old, new)

    def group(op, ours, rivals, target=None):
        times = median_group([ours] + [fn for _, fn in rivals], repeat)
        t.compare(label, op, times[0], [(name, x) for (name, _), x in zip(rivals, times[1:])],
                  target if label == TARGET_SIZE else None, on)
        return times[0]

    rivals = [(f"{n}.loads(old)+{n}.loads(new)", lambda l=l: (l(old), l(new))) for n, l, _, _ in peers]
    jsonpatch_row = []
    if jsonpatch:
        a, b = json.loads(old), json.loads(new)
        start = time.perf_counter()
        jsonpatch.make_patch(a, b)
        once = time.perf_counter() - start
        if once < SLOW_CALL:
            rivals.append(("jsonpatch.make_patch(parsed)", lambda: jsonpatch.make_patch(a, b)))
        else:
            jsonpatch_row = ["", "", "", "jsonpatch.make_patch(parsed)", "skipped"]
            skipped.append(f"jsonpatch.make_patch skipped at {label}: one call took {once:.1f} s")
    diff_t = group("diff(old, new)", lambda: vorlan.diff(old, new), rivals, 8)
    if jsonpatch_row:
        t.row(*jsonpatch_row)
    rivals = a = b = None  # frees the parsed documents

    group("apply(old, diff(old, new))", lambda: vorlan.apply(old, patch),
          [(f"{n}.loads(old)+{n}.loads(patch)", lambda l=l: (l(old), l(patch))) for n, l, _, _ in peers], 5)
    # The generated texts list props in no particular order, so apply writes every node
    # anew; a tree that apply wrote itself is copied where the patch leaves it alone.
    empty = '{"ops":[]}'
    c_old = vorlan.apply(old, empty)
    c_patch = vorlan.diff(c_old, vorlan.apply(new, empty))
    group("apply, trees as apply writes them", lambda: vorlan.apply(c_old, c_patch),
          [(f"{n}.loads(old)+{n}.loads(patch)", lambda l=l: (l(c_old), l(c_patch))) for n, l, _, _ in peers])
    c_old = c_patch = None

    frame = vorlan.encode_frame(old, "Model", "snapshot", 1, MSGPACK)
    payload = frame_payload(frame)
    group("encode_frame(tree, msgpack)", lambda: vorlan.encode_frame(old, "Model", "snapshot", 1, MSGPACK),
          [(f"msgpack.packb({n}.loads(tree))", lambda l=l: msgpack.packb(l(old))) for n, l, _, _ in peers], 5)
    group("decode_frame(msgpack frame)", lambda: vorlan.decode_frame(frame),
          [(f"{n}.dumps(msgpack.unpackb(payload), sorted)", lambda d=d: d(msgpack.unpackb(payload)))
           for n, _, d, _ in peers], 3)

    jframe = vorlan.encode_frame(old, "Model", "snapshot", 1, JSON)
    jpayload = frame_payload(jframe)
    header = json.dumps({"codec": JSON, "model_type": "Model", "target": 0, "rev": 1, "kind": "Snapshot"},
                        separators=COMPACT).encode()

    def py_frame():
        body = old.encode()
        return struct.pack(">I", len(header)) + header + struct.pack(">I", len(body)) + body

    assert py_frame() == jframe, "Python framing differs from encode_frame"
    group("encode_frame(tree, json)", lambda: vorlan.encode_frame(old, "Model", "snapshot", 1, JSON),
          [("struct.pack framing of tree.encode()", py_frame)]
          + [(f"{n}.dumps({n}.loads(tree))", lambda l=l, d=d: d(l(old))) for n, l, _, d in peers])
    group("decode_frame(json frame)", lambda: vorlan.decode_frame(jframe),
          [(f"{n}.dumps({n}.loads(payload), sorted)", lambda l=l, d=d: d(l(jpayload)))
           for n, l, d, _ in peers])
    return diff_t, len(patch)


RSS_CHILD = child.PRELUDE + r"""
import resource
before = rss_kb()
patch = vorlan.diff(old, new)
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(before, peak, len(patch))
"""


def peak_rss(module_dir, old_path, new_path):
    """(process peak RSS bytes, RSS before the call, source of the figure) of one diff in a child."""
    cmd = [sys.executable, "-c", RSS_CHILD, module_dir, old_path, new_path]
    gnu_time = shutil.which("time", path="/usr/bin")
    if gnu_time:
        cmd = [gnu_time, "-v"] + cmd
    res = subprocess.run(cmd, capture_output=True, text=True, check=True)
    before_kb, peak_kb, _ = (int(x) for x in res.stdout.split())
    source = "ru_maxrss"
    for line in res.stderr.splitlines():
        if "Maximum resident set size" in line:
            peak_kb = max(peak_kb, int(line.rsplit(":", 1)[1]))
            source = "time -v"
    return peak_kb * 1024, before_kb * 1024, source


def keyed_pair(count):
    kids = [{"tag": "li", "key": f"k{i}"} for i in range(count)]
    dump = lambda k: json.dumps({"tag": "ul", "slots": {"items": k}}, separators=COMPACT)
    return dump(kids), dump(kids[::-1])


def run_core(core, old_path, new_path):
    """Median real time in seconds of each bench_core benchmark on the pair."""
    res = subprocess.run([core, old_path, new_path, "--benchmark_format=json",
                          "--benchmark_repetitions=7", "--benchmark_report_aggregates_only=true",
                          "--benchmark_min_time=0.1",
                          "--benchmark_enable_random_interleaving=true"],
                         capture_output=True, text=True, check=True)
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}
    out = {}
    for b in json.loads(res.stdout)["benchmarks"]:
        if b.get("aggregate_name") == "median":
            out[b["run_name"]] = b["real_time"] * scale[b["time_unit"]]
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--module-dir", required=True, help="directory holding vorlan.abi3.so")
    ap.add_argument("--core", help="path to bench_core (Google Benchmark, C++)")
    args = ap.parse_args()
    module_dir = os.path.abspath(args.module_dir)
    sys.path.insert(0, module_dir)
    import vorlan

    started = time.perf_counter()
    load_before = os.getloadavg()[0]
    tmp = tempfile.mkdtemp(prefix="vorlan-bench-")
    notes = []
    skipped = []
    t = Table()
    try:
        paths = {}
        diff_times = {}
        for label, size in SIZES:
            print(f"measuring the {label} pair ...", file=sys.stderr, flush=True)
            old, new = gen_trees.pair(size)
            paths[label] = (os.path.join(tmp, f"{size}_old.json"), os.path.join(tmp, f"{size}_new.json"))
            for path, text in zip(paths[label], (old, new)):
                with open(path, "w", encoding="utf-8") as f:
                    f.write(text)
            check_results(vorlan, old, new)
            gc.collect()
            repeat = 5 if size >= 10_000_000 else 9
            diff_times[label], patch_len = bench_size(t, vorlan, label, old, new, repeat, skipped)
            t.blank()
            notes.append(f"{label} pair: old {len(old):,} B, new {len(new):,} B, patch {patch_len:,} B")
            del old, new

        if args.core:
            print("running bench_core ...", file=sys.stderr, flush=True)
            core = run_core(args.core, *paths[TARGET_SIZE])
            old_len = os.path.getsize(paths[TARGET_SIZE][0])
            t.row(TARGET_SIZE, "C++ Reader -> JsonValue (old)", core["BM_JsonValue"],
                  "simdjson DOM parse (old)", core["BM_SimdjsonDom"],
                  core["BM_SimdjsonDom"] / core["BM_JsonValue"])
            simd2 = core["BM_SimdjsonDomBoth"]
            t.row("", "C++ diff_json(old, new)", core["BM_Diff"], "simdjson DOM parse (old, new)",
                  simd2, simd2 / core["BM_Diff"], ">= 0.4x", simd2 / core["BM_Diff"] >= 0.4)
            py_diff = diff_times[TARGET_SIZE]
            t.row("", "diff(old, new) from Python", py_diff, "simdjson DOM parse (old, new)",
                  simd2, simd2 / py_diff, ">= 0.4x", simd2 / py_diff >= 0.4)
            t.row("", "C++ apply_json(old, patch)", core["BM_Apply"])
            notes.append(f"C++ reader throughput on old: {old_len / core['BM_JsonValue'] / 1e6:.0f} MB/s, "
                         f"simdjson {old_len / core['BM_SimdjsonDom'] / 1e6:.0f} MB/s")
            t.blank()

        print("peak RSS and the keyed list ...", file=sys.stderr, flush=True)
        # From the diff rows: timing both sizes in turns would hand the 1 MB call the heap the
        # 10 MB call had already faulted in.
        at1, at10 = diff_times["1 MB"], diff_times["10 MB"]
        growth = at10 / at1
        t.row("10 MB", "diff growth: 10 MB / 1 MB", at10, "diff at 1 MB", at1, growth, "<= 10.5x",
              growth <= 10.5, digits=3)
        inputs = sum(os.path.getsize(p) for p in paths["10 MB"])
        peak, before, source = peak_rss(module_dir, *paths["10 MB"])
        t.row("", f"diff peak RSS ({source})", fmt_mb(peak), "old + new texts", fmt_mb(inputs),
              peak / inputs)
        t.row("", "  of which during diff", fmt_mb(peak - before), "old + new texts", fmt_mb(inputs),
              (peak - before) / inputs, "<= 2x", (peak - before) / inputs <= 2, at="10 MB")
        kold, knew = keyed_pair(100_000)
        keyed = median_group([lambda: vorlan.diff(kold, knew)], 5, min_batch=0)[0]
        t.row("100k", "diff of a reversed keyed list", keyed, "", None, None, "< 50 ms", keyed < 0.05)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)

    versions = ", ".join(version_of(m) if m else f"{name} not importable"
                         for name, m in (("orjson", orjson), ("ujson", ujson), ("msgpack", msgpack),
                                         ("jsonpatch", jsonpatch)))
    print(f"vorlan benchmarks: nproc {len(os.sched_getaffinity(0))}, CPU {cpu_model()}")
    print(f"Python {platform.python_version()} ({sys.executable}, also for the RSS child); {versions}")
    print(f"load average before / after: {load_before:.1f} / {os.getloadavg()[0]:.1f} "
          "(other work on the machine skews every figure, the ratios less than the times)")
    print("Times: median per call over repeated warm batches (timeit, gc off while timing). "
          "ratio = peer time / vorlan time (above 1: vorlan is faster);")
    print("the growth and memory rows show the quotient they name. Targets: on the 1 MB pair unless the "
          "size column says otherwise.")
    if orjson:
        print("The targets written against orjson sit on the orjson rows.")
    else:
        print("orjson is not installed: the orjson-relative targets are measured against the fastest "
              "parser present instead (the row that carries the target).")
    print()
    t.print()
    print()
    met = sum(1 for _, _, m in t.targets if m)
    print(f"targets: {met} met, {len(t.targets) - met} missed")
    for size, op, m in t.targets:
        if not m:
            print(f"  missed at {size or TARGET_SIZE}: {op}")
    for n in notes + skipped:
        print(n)
    print(f"bench.py took {time.perf_counter() - started:.0f} s")


if __name__ == "__main__":
    main()
