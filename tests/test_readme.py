"""The README's code runs as written, so the README cannot drift from the module.

Every python block runs in order in one namespace, from the repository root (the tour reads
examples/data/genes.tre). An expression whose comment starts with a Python literal, on its line or
on the comment line just below, must evaluate to that literal: `str(genes)  # 'TreeSet ...'`.
Every sh line is run too, except those that install or run the whole suite (this suite runs
inside them): of those, the script or extra they name must exist.
"""

import ast
import re
import shlex
import subprocess
import sys

import pytest

from support import ROOT, blocks, python_code


def leading_literal(comment):
    """(True, value) when the comment's text starts with a literal ending at a space, ':' or the end."""
    text = comment.strip().lstrip("#").strip()
    for end in range(len(text), 0, -1):
        if end < len(text) and text[end] not in " :":
            continue
        try:
            return True, ast.literal_eval(text[:end])
        except (ValueError, SyntaxError, TypeError, MemoryError, RecursionError):
            pass
    return False, None


def expected_value(lines, stmt):
    """The literal that the comment beside (or just below) an expression statement states."""
    tail = lines[stmt.end_lineno - 1][stmt.end_col_offset:]
    if "#" in tail:
        found = leading_literal(tail[tail.index("#"):])
        if found[0]:
            return found
    if stmt.end_lineno < len(lines) and lines[stmt.end_lineno].lstrip().startswith("#"):
        return leading_literal(lines[stmt.end_lineno])
    return False, None


def test_python_blocks_run_and_show_what_their_comments_say(monkeypatch):
    monkeypatch.chdir(ROOT)
    source = python_code()
    lines = source.splitlines()
    namespace = {"__name__": "readme"}
    checked = 0
    for stmt in ast.parse(source).body:
        if not isinstance(stmt, ast.Expr):
            exec(compile(ast.Module([stmt], []), "README.md", "exec"), namespace)
            continue
        value = eval(compile(ast.Expression(stmt.value), "README.md", "eval"), namespace)
        has, want = expected_value(lines, stmt)
        if has:
            assert value == want, lines[stmt.lineno - 1]
            checked += 1
    assert checked >= 8, "the comment checker found too few stated values"


@pytest.mark.parametrize("comment, want", [
    ("# 'TreeSet with 6 trees, 8 taxa'", (True, "TreeSet with 6 trees, 8 taxa")),
    ("# (6, 8): taxa count every name", (True, (6, 8))),
    ("# '((A,B));' (children in", (True, "((A,B));")),
    ("# [(2, 4)]: gene trees", (True, [(2, 4)])),
    ("# every tree with branch lengths", (False, None)),
    ("# DistanceMatrix: None past the end", (False, None)),
])
def test_leading_literal(comment, want):
    assert leading_literal(comment) == want


def sh_lines():
    for block in blocks("sh"):
        for line in block.splitlines():
            words = shlex.split(line, comments=True)
            if words:
                yield words


EXTRAS = set(re.findall(r"^(\w+) = \[", (ROOT / "pyproject.toml").read_text(encoding="utf-8"), re.M))


@pytest.mark.parametrize("words", list(sh_lines()), ids=" ".join)
def test_sh_line(words, tmp_path):
    if words[0].endswith("pip"):  # an install: the extra it names exists
        for extra in re.findall(r"\[(\w+)\]", " ".join(words)):
            assert extra in EXTRAS
        return
    if words[0] == "bash":  # the test command and the example: they exist; the example runs
        assert (ROOT / words[1]).is_file()
        if words[1] == "scripts/example.sh":
            subprocess.run([sys.executable, "examples/example.py"], cwd=ROOT, check=True,
                           capture_output=True, timeout=120)
        return
    script, args = words[1], words[2:]
    assert words[0].endswith("python") and (ROOT / script).is_file()
    if script.endswith("bench_peers.py") and not args:
        args = ["--help"]  # the full run takes about 25 minutes
    if script.endswith("bench_peers.py") and "--quick" in args:
        args += ["--out", str(tmp_path), "--no-memory"]
    done = subprocess.run([sys.executable, script, *args], cwd=ROOT, capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]


def test_quick_benchmark_says_when_the_data_folder_is_absent(tmp_path):
    done = subprocess.run([sys.executable, "benchmarks/bench_peers.py", "--quick", "--no-memory",
                           "--data", str(tmp_path / "absent"), "--out", str(tmp_path)],
                          cwd=ROOT, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]
    assert "absent" in done.stdout and "random trees only" in done.stdout
