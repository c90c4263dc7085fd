"""Applies one fault (*.mut) to a source tree: its `find` text must occur exactly once
under src/, wherever the file now lives, and is replaced by `replace`.

    python3 apply.py FAULT.mut ROOT          apply
    python3 apply.py --check FAULT.mut ROOT  only report where the anchor is
    python3 apply.py --sync FROM TO          make TO's sources equal FROM's (changed files
                                             only, so their times tell the build what to redo)
"""
import pathlib
import sys


def parse(path):
    fields = {}
    for line in pathlib.Path(path).read_text().splitlines():
        key, sep, value = line.partition(": ")
        if sep:
            fields[key] = value
    return fields["fault"], fields["find"], fields["replace"]


def locate(root, find):
    hits = []
    for f in sorted((pathlib.Path(root) / "src").rglob("*")):
        if f.suffix in {".cpp", ".hpp"}:
            n = f.read_text(encoding="utf-8").count(find)
            hits += [f] * n
    return hits


SKIP = {"build", ".git", "__pycache__", ".hypothesis", ".pytest_cache"}


def sync(src, dst):
    src, dst = pathlib.Path(src), pathlib.Path(dst)
    wanted = set()
    for f in src.rglob("*"):
        rel = f.relative_to(src)
        if SKIP & set(rel.parts) or rel.parts[0].startswith(".venv") or not f.is_file():
            continue
        wanted.add(rel)
        out = dst / rel
        data = f.read_bytes()
        if not out.is_file() or out.read_bytes() != data:
            out.parent.mkdir(parents=True, exist_ok=True)
            out.write_bytes(data)
    for f in list(dst.rglob("*")):
        rel = f.relative_to(dst)
        if f.is_file() and not (SKIP & set(rel.parts)) and rel not in wanted:
            f.unlink()


def main(argv):
    if argv[0] == "--sync":
        return sync(argv[1], argv[2])
    check = argv[0] == "--check"
    mut, root = argv[-2], argv[-1]
    _, find, replace = parse(mut)
    hits = locate(root, find)
    if len(hits) != 1:
        sys.exit(f"{mut}: anchor found {len(hits)} times: {find!r}")
    if not check:
        text = hits[0].read_text(encoding="utf-8")
        hits[0].write_text(text.replace(find, replace), encoding="utf-8")
    print(hits[0].relative_to(root))


if __name__ == "__main__":
    main(sys.argv[1:])
