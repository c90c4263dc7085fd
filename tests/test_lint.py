# The core and the compression library know nothing of Python, only the compression library
# knows zstd, scripts hold no machine paths, and the module exports nothing but its init function.
import pathlib
import re
import shutil
import subprocess

import pytest

import quorbelin

ROOT = pathlib.Path(__file__).resolve().parent.parent
SOURCES = ([(p, d) for d in ("src/tree", "src/porcelain", "src/compression") for p in sorted((ROOT / d).glob("**/*"))
            if p.suffix in {".cpp", ".hpp", ".h", ".cc"}]
           + [(p, "scripts") for p in sorted((ROOT / "scripts").glob("*.sh"))])
INCLUDES = r'^\s*#\s*include\s*[<"](Python\.h|.*pyapi/{})'


@pytest.mark.parametrize("path,folder", SOURCES, ids=lambda p: str(p)[len(str(ROOT)) + 1:])
def test_sources(path, folder):  # scripts find the repository from their own place
    pattern = (INCLUDES.format("|zstd" * (folder != "src/compression")) if folder != "scripts"
               else r"(?<![\w.])/(work|home|root)/")
    assert not re.search(pattern, path.read_text(encoding="utf-8", errors="replace"), re.M)


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm is not installed")
def test_exports_only_its_init_function():  # nothing of ours can be interposed by another library
    run = subprocess.run(["nm", "-D", "--defined-only", quorbelin.__file__], capture_output=True, text=True)
    assert [line.split()[-1] for line in run.stdout.splitlines()] == ["PyInit_quorbelin"]
