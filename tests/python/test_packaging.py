import os
import shutil
import subprocess
import venv
from pathlib import Path

import pytest

from conftest import ROOT

import vorlan


def exported(path):
    out = subprocess.run(["nm", "-D", "--defined-only", str(path)], check=True, capture_output=True, text=True).stdout
    return [line.split()[-1] for line in out.splitlines() if line.strip()]


def needed(path):
    out = subprocess.run(["readelf", "-d", str(path)], check=True, capture_output=True, text=True).stdout
    return [line.split("[")[1].rstrip("]") for line in out.splitlines() if "(NEEDED)" in line]


def check_shared_object(path):
    assert Path(path).name == "vorlan.abi3.so"
    assert exported(path) == ["PyInit_vorlan"]
    assert not [lib for lib in needed(path) if lib.startswith("libpython")]


def test_built_module_exports_only_its_init_function():
    check_shared_object(vorlan.__file__)


@pytest.fixture
def clean_source(tmp_path):
    skip = shutil.ignore_patterns(".git", "build", "build-*", "*.egg-info", "__pycache__", ".pytest_cache", "*.so")
    source = tmp_path / "source"
    shutil.copytree(ROOT, source, ignore=skip)
    return source


def test_pip_installs_a_working_module_into_a_fresh_venv(tmp_path, clean_source):
    env_dir = tmp_path / "venv"
    venv.EnvBuilder(system_site_packages=True, with_pip=False).create(env_dir)
    python = env_dir / "bin" / "python"
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PIP_REQUIRE_VIRTUALENV")}
    env["PIP_DISABLE_PIP_VERSION_CHECK"] = "1"
    # Debian's pip comes from the system site-packages, so the venv needs no pip of its own.
    subprocess.run([str(python), "-m", "pip", "install", "--no-build-isolation", "--no-index", "--no-deps", "."],
                   cwd=clean_source, env=env, check=True, capture_output=True, timeout=600)
    probe = ("import vorlan; print(vorlan.__file__); "
             "print(repr(vorlan.Example('x'))); print(vorlan.__all__[-1])")
    out = subprocess.run([str(python), "-c", probe], cwd=tmp_path, env=env, check=True, capture_output=True,
                         text=True).stdout.splitlines()
    installed = Path(out[0])
    assert installed.is_relative_to(env_dir)
    assert out[1:] == ["Example<x>", "decode_frame"]
    check_shared_object(installed)
