# The one abi3 object must import and work under every CPython 3.11+ present.
import glob
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import BUILD_DIR

PROBE = "import sys; print(sys.implementation.name, sys.version_info >= (3, 11), sys.executable)"

SMOKE = """
import vorlan
assert vorlan.__all__[0] == "Example" and len(vorlan.__all__) == 12
assert repr(vorlan.Example("x")) == "Example<x>"
try:
    vorlan.Example(1)
except TypeError as e:
    assert e.__notes__ == ["while processing 'value'"], e.__notes__
try:
    vorlan.diff('{"tag":"a"}', '{"tag":"a"}')
except ValueError:
    pass
print(vorlan.__file__)
"""


def candidates():
    names = re.compile(r"python3(\.\d+)?$")
    pyenv_root = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
    # pyenv's shims only lead to the versions listed below, and each costs a second to start.
    shims = os.path.join(pyenv_root, "shims")
    for directory in os.environ.get("PATH", "").split(os.pathsep):
        if os.path.isdir(directory) and os.path.realpath(directory) != os.path.realpath(shims):
            for name in sorted(os.listdir(directory)):
                if names.match(name):
                    yield os.path.join(directory, name)
    yield from sorted(glob.glob(os.path.join(pyenv_root, "versions", "*", "bin", "python3")))


def other_interpreters():
    found = {}
    me = os.path.realpath(sys.executable)
    for candidate in candidates():
        try:
            out = subprocess.run([candidate, "-c", PROBE], capture_output=True, text=True, timeout=30)
        except (OSError, subprocess.TimeoutExpired):
            continue
        fields = out.stdout.strip().split(maxsplit=2)
        if out.returncode != 0 or len(fields) != 3 or fields[:2] != ["cpython", "True"]:
            continue
        real = os.path.realpath(fields[2])
        if real != me:
            found.setdefault(real, fields[2])
    return sorted(found.values())


@pytest.mark.parametrize("python", other_interpreters())
def test_module_works_under(python, tmp_path):
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    env["PYTHONPATH"] = str(BUILD_DIR)
    out = subprocess.run([python, "-c", SMOKE], cwd=tmp_path, env=env, capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert Path(out.stdout.strip()) == BUILD_DIR / "vorlan.abi3.so"
