# Makes the module built by CMake importable: VORLAN_BUILD_DIR, else <repo>/build.
import os
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
BUILD_DIR = Path(os.environ.get("VORLAN_BUILD_DIR", ROOT / "build")).resolve()
sys.path.insert(0, str(BUILD_DIR))
