"""The core (src/tree, src/porcelain) and the compression library know nothing of Python; only
the compression library knows zstd; scripts hold no machine paths; the module exports nothing but its
init function."""

import pathlib
import re
import shutil
import subprocess

import pytest

import quorbelin

ROOT = pathlib.Path(__file__).resolve().parent.parent

def sources(*dirs):
    return sorted(p for d in dirs for p in (ROOT / d).glob("**/*") if p.suffix in {".cpp", ".hpp", ".h", ".cc"})


CORE_FILES = sources("src/tree", "src/porcelain")
PYTHON_FREE_FILES = CORE_FILES + sources("src/compression")
PYTHON_INCLUDE = re.compile(r'^\s*#\s*include\s*[<"](Python\.h|.*pyapi/)', re.MULTILINE)
ZSTD_INCLUDE = re.compile(r'^\s*#\s*include\s*[<"]zstd', re.MULTILINE)


@pytest.mark.skipif(not PYTHON_FREE_FILES, reason="source tree not available")
@pytest.mark.parametrize("path", PYTHON_FREE_FILES, ids=lambda p: str(p.relative_to(ROOT)))
def test_core_does_not_include_python(path):
    text = path.read_text(encoding="utf-8", errors="replace")
    assert not PYTHON_INCLUDE.search(text), f"{path.relative_to(ROOT)} includes the Python layer"
    if path in CORE_FILES:
        assert not ZSTD_INCLUDE.search(text), f"{path.relative_to(ROOT)} includes zstd"


SCRIPTS = sorted((ROOT / "scripts").glob("*.sh"))
MACHINE_PATH = re.compile(r"(?<![\w.])/(work|home|root)/")


# Scripts find the repository and the shared data from their own place, so a
# checkout anywhere runs them.
@pytest.mark.skipif(not SCRIPTS, reason="source tree not available")
@pytest.mark.parametrize("path", SCRIPTS, ids=lambda p: p.name)
def test_scripts_hold_no_machine_paths(path):
    assert not MACHINE_PATH.search(path.read_text(encoding="utf-8"))


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
