import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
DATA = Path("/usr/share/unicode")
SOURCES = ["PropList.txt", "UnicodeData.txt", "SpecialCasing.txt", "DerivedCoreProperties.txt"]


@pytest.mark.skipif(not all((DATA / name).is_file() for name in SOURCES), reason="Unicode data files not installed")
def test_generated_tables_are_current():
    generated = subprocess.run([sys.executable, str(ROOT / "tools" / "gen_unicode.py"), "--data", str(DATA)],
                               check=True, capture_output=True, text=True).stdout
    committed = (ROOT / "src" / "unicode_data.inc").read_text(encoding="utf-8")
    assert generated == committed, "src/unicode_data.inc is stale: run tools/gen_unicode.py src/unicode_data.inc"
