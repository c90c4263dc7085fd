"""Lines of tests/ against src/: lines of .cpp/.hpp/.py that are neither blank
nor comments (//, /* */ blocks, #, and docstrings standing alone).

    python3 tests/mutants/count_lines.py [-v]
"""
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]


def count(path):
    n = 0
    in_block = False   # inside /* */
    in_doc = None      # the quote of a docstring being skipped
    for raw in path.read_text(encoding="utf-8").splitlines():
        s = raw.strip()
        if in_block:
            in_block = "*/" not in s
            continue
        if in_doc:
            if in_doc in s:
                in_doc = None
            continue
        if not s:
            continue
        if path.suffix == ".py":
            if s.startswith("#"):
                continue
            q = s[:3]
            if q in ('"""', "'''"):
                if s.count(q) == 1 or s == q:
                    in_doc = q
                continue
        else:
            if s.startswith("//"):
                continue
            if s.startswith("/*"):
                in_block = "*/" not in s
                continue
        n += 1
    return n


def total(d, verbose=False):
    files = sorted(p for p in (ROOT / d).rglob("*") if p.suffix in {".cpp", ".hpp", ".py"}
                   and "mutants" not in p.parts)
    counts = {p: count(p) for p in files}
    if verbose:
        for p, c in sorted(counts.items(), key=lambda kv: kv[1]):
            print(f"{c:6d} {p.relative_to(ROOT)}")
    return sum(counts.values())


if __name__ == "__main__":
    v = "-v" in sys.argv
    src, tests = total("src", v), total("tests", v)
    print(f"src {src}  tests {tests}  ratio {tests / src:.3f}")
