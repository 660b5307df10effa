# The diff core built for WebAssembly (wasm/, `make wasm`) against the native module:
# every patch, every applied tree and every error message must be the same bytes.
# VORLAN_WASM names the built driver.wasm; without it these tests are skipped.
import os
import subprocess
import sys
from pathlib import Path

import pytest

import test_diff
import test_node
import vorlan

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "bench"))
import gen_trees  # noqa: E402

DRIVER = os.environ.get("VORLAN_WASM")
pytestmark = pytest.mark.skipif(not DRIVER, reason="VORLAN_WASM does not name a built driver.wasm")

EMPTY = '{"ops":[]}'
NATIVE = {"diff": vorlan.diff, "apply": vorlan.apply}


def first_difference(got, expected):
    at = next((i for i, (a, b) in enumerate(zip(got, expected)) if a != b), min(len(got), len(expected)))
    return f"differs at byte {at} of {len(got)} (native {len(expected)}): {got[at:at + 60]!r} vs {expected[at:at + 60]!r}"


def same_as_native(command, first, second, tmp_path):
    """Runs command in the driver and in the module; returns the module's text, None if it failed."""
    files = [tmp_path / "first", tmp_path / "second"]
    for path, text in zip(files, (first, second)):
        path.write_bytes(text.encode())
    run = subprocess.run(["node", str(REPO / "wasm" / "run.mjs"), DRIVER, command, *map(str, files)],
                         capture_output=True, timeout=300)
    try:
        expected = NATIVE[command](first, second)
    except ValueError as e:
        assert (run.returncode, run.stdout, run.stderr.decode()) == (1, b"", f"{e}\n")
        return None
    assert (run.returncode, run.stderr.decode()) == (0, "")
    same = run.stdout == expected.encode()
    assert same, first_difference(run.stdout, expected.encode())
    return expected


def rows(test):
    """The argument rows of a parametrized test of the native suites."""
    mark = next(m for m in test.pytestmark if m.name == "parametrize")
    return mark.args[1]


def cases(test, make):
    return [pytest.param(*make(*row), id=f"{test.__name__}-{i}") for i, row in enumerate(rows(test))]


def with_prop(value):
    return ("apply", test_node.with_prop(value), EMPTY)


# Numbers where a float parser can round or range-check differently, and strings whose
# special bytes fall at every offset of a sixteen-byte scan.
FLOATS = ["0.1", "0.30000000000000004", "1e400", "-1e400", "1e-400", "5e-324", "2.4703282292062327e-324",
          "2.4703282292062328e-324", "2.2250738585072011e-308", "1.7976931348623157e308", "1.7976931348623159e308",
          "9007199254740993", "-123456789012345678901234567890", "1" + "0" * 400 + ".5e-400", "0." + "0" * 400 + "1"]
STRINGS = ['"' + "a" * i + tail + "b" * 17 + '"' for i in range(18) for tail in ('\\"', "\\u001f", "\u00e9\u4e2d")]
STRING_PROPS = '{"tag":"t","props":{' + ",".join(f'"p{i}":{{"Str":{s}}}' for i, s in enumerate(STRINGS)) + "}}"
RAW_CONTROLS = ['"' + "a" * i + "\x01" + "b" * 20 + '"' for i in (0, 7, 15, 16, 17, 31)]

CASES = (
    cases(test_diff.test_diff_text, lambda old, new, _: ("diff", old, new))
    + cases(test_diff.test_diff_reader_failure, lambda old, new, _: ("diff", old, new))
    + cases(test_diff.test_handler_faults_in_a_tree, lambda tree, _: ("apply", tree, EMPTY))
    + cases(test_diff.test_patch_read_failure, lambda text, _: ("apply", test_diff.ROOT, text))
    + cases(test_diff.test_patch_read_forms, lambda text, _: ("apply", test_diff.ROOT, text))
    + cases(test_diff.test_apply, lambda root, text, _: ("apply", root, text))
    + cases(test_diff.test_apply_failure, lambda root, text, _: ("apply", root, text))
    + cases(test_node.test_tree_is_written_canonically, lambda tree, _: ("apply", tree, EMPTY))
    + cases(test_node.test_tree_errors, lambda tree, _: ("apply", tree, EMPTY))
    + cases(test_node.test_value_is_written_canonically, lambda value, _: with_prop(value))
    + cases(test_node.test_value_errors, lambda value, *_: with_prop(value))
    + [pytest.param(*with_prop('{"Float":' + f + "}"), id=f"float-{i}") for i, f in enumerate(FLOATS)]
    + [pytest.param("apply", STRING_PROPS, EMPTY, id="strings")]
    + [pytest.param(*with_prop('{"Str":' + s + "}"), id=f"raw-control-{i}") for i, s in enumerate(RAW_CONTROLS)]
)


@pytest.mark.parametrize("command,first,second", CASES)
def test_fixture_matches_native(command, first, second, tmp_path):
    same_as_native(command, first, second, tmp_path)


def deep_patch(depth):
    return '{"ops":[{"Replace":{"path":[],"node":' + test_diff.compact(test_diff.deep_node(depth)) + "}}]}"


# The deepest tree the reader takes, one level deeper, and the deepest node a patch carries.
@pytest.mark.parametrize(
    "command,first,second",
    [
        ("apply", test_node.chain(43), EMPTY),
        ("apply", test_node.chain(44), EMPTY),
        ("diff", test_node.chain(43), test_node.chain(43, ',"key":"k"')),
        ("diff", test_node.chain(43, ',"key":"k"'), test_node.chain(42)),
        ("apply", test_diff.ROOT, deep_patch(41)),
    ],
    ids=["tree-43", "tree-44", "diff-at-43", "diff-to-42", "patch-carries-41"],
)
def test_deep_tree_matches_native(command, first, second, tmp_path):
    same_as_native(command, first, second, tmp_path)


# At 10 MB the wasm memory grows past what once crashed Node's garbage collector.
@pytest.mark.parametrize("size", [100_000, 1_000_000, 10_000_000])
def test_bench_pair_matches_native(size, tmp_path):
    old, new = gen_trees.pair(size)
    patch = same_as_native("diff", old, new, tmp_path)
    assert same_as_native("apply", old, patch, tmp_path) == vorlan.apply(new, EMPTY)


def test_random_pairs_match_native(tmp_path):
    for old, new in test_diff.tree_pairs(8, 0):
        patch = same_as_native("diff", old, new, tmp_path)
        assert same_as_native("apply", old, patch, tmp_path) == vorlan.apply(new, EMPTY)
