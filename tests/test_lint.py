"""The core (src/tree, src/porcelain) knows nothing of Python."""

import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
CORE_FILES = sorted(
    p for d in ("src/tree", "src/porcelain") for p in (ROOT / d).glob("**/*") if p.suffix in {".cpp", ".hpp", ".h", ".cc"}
)
PYTHON_INCLUDE = re.compile(r'^\s*#\s*include\s*[<"](Python\.h|.*pyapi/)', re.MULTILINE)


@pytest.mark.skipif(not CORE_FILES, reason="source tree not available")
@pytest.mark.parametrize("path", CORE_FILES, ids=lambda p: str(p.relative_to(ROOT)))
def test_core_does_not_include_python(path):
    text = path.read_text(encoding="utf-8", errors="replace")
    assert not PYTHON_INCLUDE.search(text), f"{path.relative_to(ROOT)} includes the Python layer"
