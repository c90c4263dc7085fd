# The README's code runs as written. Its python blocks run in order in one namespace from the
# repository root; an expression whose comment (beside it or on the line below) starts with a
# Python literal must equal it. Its sh lines run, but installs and the whole suite (which runs
# this) only name what must exist.
import ast
import re
import shlex
import subprocess
import sys

import pytest

from support import ROOT, blocks, python_code

def stated(line):  # [the literal a comment starts with, ending at a space, ':' or the end], or []
    text = line.strip()[1:].strip() if line.strip().startswith("#") else ""
    for end in (e for e in range(len(text), 0, -1) if e == len(text) or text[e] in " :"):
        try:
            return [ast.literal_eval(text[:end])]
        except Exception:
            pass
    return []


def test_python_blocks_run_and_show_what_their_comments_say(monkeypatch):
    monkeypatch.chdir(ROOT)
    lines, namespace, checked = python_code().splitlines() + [""], {"__name__": "readme"}, 0
    for stmt in ast.parse(python_code()).body:
        if not isinstance(stmt, ast.Expr):
            exec(compile(ast.Module([stmt], []), "README.md", "exec"), namespace)
            continue
        value = eval(compile(ast.Expression(stmt.value), "README.md", "eval"), namespace)
        want = stated(lines[stmt.end_lineno - 1][stmt.end_col_offset:]) or stated(lines[stmt.end_lineno])
        assert want in ([], [value]), lines[stmt.lineno - 1]
        checked += len(want)
    assert checked >= 8, "the comment checker found too few stated values"


SH = [words for b in blocks("sh") for line in b.splitlines() if (words := shlex.split(line, comments=True))]
EXTRAS = set(re.findall(r"^(\w+) = \[", (ROOT / "pyproject.toml").read_text(encoding="utf-8"), re.M))


@pytest.mark.parametrize("words", SH, ids=" ".join)
def test_sh_line(words, tmp_path):  # installs: the extras they name exist; the example runs (its script installs)
    assert (set(re.findall(r"\[(\w+)\]", " ".join(words))) <= EXTRAS
            and (words[0].endswith("pip") or (ROOT / words[1]).is_file()))
    script, args = ("examples/example.py", []) if words[1] == "scripts/example.sh" else (words[1], words[2:])
    if script.endswith(".py"):  # the full benchmark takes 25 minutes: it only shows its help
        args = args if args or "bench_peers" not in script else ["--help"]
        args += ["--out", str(tmp_path), "--no-memory"] * ("--quick" in args)
        done = subprocess.run([sys.executable, script, *args], cwd=ROOT, capture_output=True, text=True, timeout=300)
        assert done.returncode == 0, done.stderr[-2000:]
