# Applies one fault (*.mut) to a source tree: its `find` text must occur exactly
# once under src/, wherever the file now lives; it is replaced by `replace`.
# Prints the changed file's path relative to ROOT.
#   python3 apply.py FAULT.mut ROOT
import pathlib
import sys

mut, root = sys.argv[1], pathlib.Path(sys.argv[2])
fields = dict(line.split(": ", 1) for line in pathlib.Path(mut).read_text().splitlines() if ": " in line)
find, replace = fields["find"], fields["replace"]
hits = [f for f in sorted((root / "src").rglob("*.[ch]pp")) for _ in range(f.read_text().count(find))]
if len(hits) != 1:
    sys.exit(f"{mut}: anchor found {len(hits)} times: {find!r}")
hits[0].write_text(hits[0].read_text().replace(find, replace))
print(hits[0].relative_to(root))
