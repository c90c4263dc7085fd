"""Applies one fault (*.mut) to a source tree: its `find` text must occur exactly once
under src/, wherever the file now lives, and is replaced by `replace`.

    python3 apply.py FAULT.mut ROOT          apply
    python3 apply.py --check FAULT.mut ROOT  only report where the anchor is
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


def main(argv):
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
