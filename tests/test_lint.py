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


SCRIPTS = sorted((ROOT / "scripts").glob("*.sh"))
MACHINE_PATH = re.compile(r"(?<![\w.])/(work|home|root)/")


# Scripts find the repository and the shared data from their own place, so a
# checkout anywhere runs them.
@pytest.mark.skipif(not SCRIPTS, reason="source tree not available")
@pytest.mark.parametrize("path", SCRIPTS, ids=lambda p: p.name)
def test_scripts_hold_no_machine_paths(path):
    assert not MACHINE_PATH.search(path.read_text(encoding="utf-8"))
