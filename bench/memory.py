"""Resident memory that diff and apply leave behind, each scenario in a fresh process.

    python3 bench/memory.py --module-dir build-bench [--big-size 200000000] [--no-big]

Prints, per scenario, the RSS before the calls and after them, and the growth. The tree pairs
come from gen_trees.pair (seed 7), written once into a temporary directory.
"""
import argparse
import os
import subprocess
import sys
import tempfile

import child

HERE = os.path.dirname(os.path.abspath(__file__))

# Each child: argv = module dir, old path, new path, thread count, ops. Prints "label kB" lines.
CHILD = child.PRELUDE + r"""
import ctypes, threading

def report(label):
    print(label, rss_kb(), flush=True)

threads = int(sys.argv[4])
apply_too = sys.argv[5] == "apply"
vorlan.diff('{"tag":"a"}', '{"tag":"b"}')
report("before")

def work():
    patch = vorlan.diff(old, new)
    if apply_too:
        vorlan.apply(old, patch)

if threads == 0:
    patch = vorlan.diff(old, new)
    report("after diff, patch held")
    if apply_too:
        vorlan.apply(old, patch)
    del patch
    report("after")
    vorlan.diff('{"tag":"a"}', '{"tag":"b"}')
    report("after a tiny diff")
else:
    done = threading.Barrier(threads + 1)
    leave = threading.Event()
    def body():
        work()
        done.wait()
        leave.wait()
    pool = [threading.Thread(target=body) for _ in range(threads)]
    for t in pool:
        t.start()
    done.wait()
    report("threads idle")
    leave.set()
    for t in pool:
        t.join()
    report("after")
ctypes.CDLL("libc.so.6").malloc_trim(0)
report("after malloc_trim")
"""


def write_pair(directory, name, size):
    """Writes the pair in a child, so the generator's objects die with it."""
    code = ("import sys; sys.path.insert(0, %r); import gen_trees\n"
            "old, new = gen_trees.pair(%d)\n"
            "open(%r, 'w').write(old); open(%r, 'w').write(new)\n")
    paths = [os.path.join(directory, f"{name}_{side}.json") for side in ("old", "new")]
    subprocess.run([sys.executable, "-c", code % (HERE, size, *paths)], check=True)
    return paths


def run(module_dir, paths, threads, ops):
    res = subprocess.run([sys.executable, "-c", CHILD, module_dir, *paths, str(threads), ops],
                         capture_output=True, text=True)
    if res.returncode != 0:
        sys.exit(res.stderr)
    return [(line.rsplit(" ", 1)[0], int(line.rsplit(" ", 1)[1])) for line in res.stdout.splitlines()]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--module-dir", required=True)
    ap.add_argument("--big-size", type=int, default=200_000_000)
    ap.add_argument("--no-big", action="store_true", help="leave out the large pair (it takes minutes and GBs)")
    ap.add_argument("--threads", type=int, default=16)
    args = ap.parse_args()
    module_dir = os.path.abspath(args.module_dir)
    with tempfile.TemporaryDirectory() as tmp:
        pairs = [("10 MB", write_pair(tmp, "ten", 10_000_000))]
        if not args.no_big:
            pairs.append((f"{args.big_size / 1e6:.0f} MB", write_pair(tmp, "big", args.big_size)))
        scenarios = [(pairs[0], 0, "apply"), (pairs[0], args.threads, "apply"), (pairs[0], args.threads, "diff")]
        if not args.no_big:
            scenarios.append((pairs[1], 0, "diff"))
        for (label, paths), threads, ops in scenarios:
            sizes = " + ".join(f"{os.path.getsize(p) / 1e6:.1f}" for p in paths)
            where = f"{threads} threads" if threads else "main thread"
            print(f"{label} pair ({sizes} MB), {'diff+apply' if ops == 'apply' else 'diff'}, {where}:")
            figures = run(module_dir, paths, threads, ops)
            base = figures[0][1]
            for name, kb in figures:
                grown = "" if name == "before" else f"   {(kb - base) / 1024:+8.1f} MB"
                print(f"    {name:<24} {kb / 1024:8.1f} MB{grown}")


if __name__ == "__main__":
    main()
