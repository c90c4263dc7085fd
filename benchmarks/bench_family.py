#!/usr/bin/env python3
"""Pickling a FamilyOfMSC against pickles of the same gene trees, in one run.

    python benchmarks/bench_family.py [--members 100] [--data DIR] [--out FILE] [--repeat 3]

The family is built from the gene-tree files of the data folder (default: the shared/data folder
beside the repository) that come with their species tree, each file with its own, repeated in
turn to --members members. Without such files, three random pairs from benchmarks/make_trees.py
stand in for them, saying so. Compared, for the same gene trees:

- the family's state (__getstate__: the stored member list in one zstd frame; __setstate__);
- pickle.dumps / pickle.loads of the family, which wraps the same state;
- our uncompressed states: __getstate__ / __setstate__ of every member as an MSCTopologySet;
- pickle of the gene trees of every member as a DendroPy TreeList and as a list of TreeSwift trees
  (a peer that is not installed is skipped with a note). A peer reads and pickles each distinct
  file once; its figures count that file as often as the family holds it (pickling independent
  objects one after another costs the sum of their parts).

Rates are MB per second of our uncompressed stored form of the whole family, for every row: how
fast each way moves the same trees. Before timing, every restored value is checked: the family
and the member states give back the same Newick text, the peers the same trees and leaves.
Times are the best of --repeat runs with the cyclic garbage collector off during a run.
Results: a table on standard output and in a Markdown file: --out, or a new temporary folder (the
committed table, benchmarks/results/family.md, is written by naming it).
"""

from __future__ import annotations

import argparse
import datetime
import os
import pickle
import platform
import struct
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import peers as P  # noqa: E402
from bench_peers import best_of, make_text, no_data, results_path  # noqa: E402

import quorbelin as qb  # noqa: E402

REPO = Path(__file__).resolve().parents[1]
DEFAULT_DATA = REPO.parent / "shared" / "data"
# (gene trees, taxa) of the random pairs that stand in for the data folder's
RANDOM_PAIRS = [(2000, 15), (500, 40), (100, 200)]

AIMS = {"smaller_than_uncompressed": 3.0, "smaller_than_peers": 10.0, "mb_per_s": 300.0}
BUDGET = 120.0  # seconds of runs per measure before fewer than --repeat are taken


def pairs_in(data: Path) -> list[tuple[Path, Path]]:
    """(gene trees, species tree) files: X_genetrees.tre with its X_species_*.tre."""
    out = []
    for genes in sorted(data.glob("*_genetrees.tre")):
        species = sorted(data.glob(genes.name.replace("_genetrees.tre", "_species_*")))
        if species:
            out.append((genes, species[0]))
    return out


def random_pairs(folder: Path) -> list[tuple[Path, Path]]:
    """Random gene trees with branch lengths, some taxa missing from each, and a species tree over
    their taxa, written into `folder` as pairs of files."""
    out = []
    for seed, (ntrees, ntaxa) in enumerate(RANDOM_PAIRS, 1):
        genes, species = folder / f"random{ntaxa}_genetrees.tre", folder / f"random{ntaxa}_species.tre"
        genes.write_text(make_text("genes", ntrees, ntaxa, "--missing", 0.2, "--seed", seed, "--lengths"))
        species.write_text(make_text("species", ntaxa, "--seed", seed))
        out.append((genes, species))
    return out


def timed(fn, repeat: int):
    """(best time of `repeat` runs, the result of one more run)."""
    return best_of(fn, repeat, BUDGET)[0], fn()


class Row:
    def __init__(self, name, size, write_s, read_s, note=""):
        self.name, self.size, self.write_s, self.read_s, self.note = name, size, write_s, read_s, note


def bench_ours(family, repeat):
    rows = []
    MSCTopologySet = type(family[0])
    want = [m.to_newick_vec() for m in family]

    t_get, state = timed(family.__getstate__, repeat)

    def restore():
        fresh = qb.FamilyOfMSC()
        fresh.__setstate__(state)
        return fresh

    t_set, back = timed(restore, repeat)
    assert [m.to_newick_vec() for m in back] == want and back.get_sizes() == family.get_sizes()
    rows.append(Row("FamilyOfMSC state (zstd level 3)", len(state), t_get, t_set))

    t_dump, data = timed(lambda: pickle.dumps(family, protocol=pickle.HIGHEST_PROTOCOL), repeat)
    t_load, back = timed(lambda: pickle.loads(data), repeat)
    assert [m.to_newick_vec() for m in back] == want
    rows.append(Row("pickle of the FamilyOfMSC", len(data), t_dump, t_load))

    members = list(family)
    t_get, states = timed(lambda: [m.__getstate__() for m in members], repeat)

    def restore_members():
        out = []
        for s in states:
            fresh = MSCTopologySet("(A,B);", "(A,B);")
            fresh.__setstate__(s)
            out.append(fresh)
        return out

    t_set, back = timed(restore_members, repeat)
    assert [m.to_newick_vec() for m in back] == want
    stored = 8 + sum(len(s) for s in states)
    rows.append(Row("MSCTopologySet states, uncompressed", stored - 8, t_get, t_set))
    return rows, stored


def bench_peer(adapter, distinct, counts, our_leaves, repeat):
    size = write = read = 0.0
    for path, count in zip(distinct, counts):
        obj = adapter.read(path.read_text())
        t_dump, data = timed(lambda: pickle.dumps(obj, protocol=pickle.HIGHEST_PROTOCOL), repeat)
        t_load, back = timed(lambda: pickle.loads(data), repeat)
        if [sorted(leaves) for leaves in adapter.leaf_lists(back)] != our_leaves[path]:
            raise SystemExit(f"{adapter.name}: restored trees of {path.name} differ from ours")
        size += len(data) * count
        write += t_dump * count
        read += t_load * count
    return Row(f"pickle of {adapter.name} {'TreeLists' if adapter.name == 'DendroPy' else 'trees'}",
               int(size), write, read, "per distinct file, counted per member")


def ceilings(family, distinct: int, counts, ntrees, ours_size, repeat) -> list[str]:
    """What bounds the aims: the library's own level-3 speed on the same stored form, and the
    bytes that the branch lengths and support values take on their own, compressed hard."""
    try:
        import zstandard
    except ImportError:
        return ["(zstandard is not installed: the library's own speed is not shown.)"]
    sys.path.insert(0, str(REPO / "tests"))
    from state import decode_msc_view

    stored = zstandard.ZstdDecompressor().decompress(family.__getstate__())
    level3 = zstandard.ZstdCompressor(level=3)
    t_c, frame = timed(lambda: level3.compress(stored), repeat)
    t_d, _ = timed(lambda: zstandard.ZstdDecompressor().decompress(frame), repeat)
    floats = 0
    for k in range(distinct):
        trees = decode_msc_view(family[k].__getstate__()).genes.trees
        raw = b"".join(struct.pack(f"<{len(t.lengths)}d{len(t.support)}d", *t.lengths, *t.support) for t in trees)
        floats += len(zstandard.ZstdCompressor(level=19).compress(raw)) * counts[k]
    return [
        f"zstd at level 3 by itself (zstandard {zstandard.__version__}, same library) on the same stored form:"
        f" {len(stored) / t_c / 1e6:.0f} MB/s compressing, {len(stored) / t_d / 1e6:.0f} MB/s decompressing.",
        f"The branch lengths and support values alone (8-byte floats as stored), compressed at level 19:"
        f" {floats / ntrees:.0f} bytes per gene tree, {100 * floats / ours_size:.0f}% of the family state.",
    ]


def commit() -> str:
    try:
        return subprocess.run(["git", "rev-parse", "--short", "HEAD"], cwd=REPO, capture_output=True,
                              text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "?"


def fmt_rate(stored, seconds):
    return f"{stored / seconds / 1e6:.0f} MB/s ({seconds * 1e3:.0f} ms)"


def report(rows, stored, ntrees, notes, args, versions, pairs_used, judged) -> str:
    ours = rows[0]
    lines = [
        "# Pickling a FamilyOfMSC",
        "",
        f"Generated by `python benchmarks/bench_family.py` on {datetime.datetime.now().isoformat(timespec='seconds')}"
        f" (commit {commit()}): Python {platform.python_version()}, {platform.processor() or platform.machine()},"
        f" {os.cpu_count()} cores. Versions: {versions}.",
        "",
        f"The family: {args.members} members from {len(pairs_used)} gene-tree files with their species trees"
        f" ({', '.join(p.name for p, _ in pairs_used)}), taken in turn; {ntrees} gene trees in all."
        f" Its uncompressed stored form is {stored / 1e6:.1f} MB. Rates are MB per second of that stored"
        " form for every row (the same trees moved each way); the time in brackets is the whole family."
        " Times are the best of several runs.",
        "",
        "| state | bytes per gene tree | size ÷ family state | write | read |",
        "|---|---|---|---|---|",
    ]
    for r in rows:
        note = f" ({r.note})" if r.note else ""
        lines.append(f"| {r.name}{note} | {r.size / ntrees:,.0f} | ×{r.size / ours.size:.1f} |"
                     f" {fmt_rate(stored, r.write_s)} | {fmt_rate(stored, r.read_s)} |")
    lines += ["", "Aims:", ""]
    uncompressed = next(r for r in rows if r.name.startswith("MSCTopologySet"))
    peer_rows = [r for r in rows if r.name.startswith("pickle of") and "FamilyOfMSC" not in r.name]
    checks = [(f"state at least {AIMS['smaller_than_uncompressed']:.0f}× smaller than our uncompressed states",
               uncompressed.size / ours.size, AIMS["smaller_than_uncompressed"])]
    for r in peer_rows:
        checks.append((f"state at least {AIMS['smaller_than_peers']:.0f}× smaller than the {r.name}",
                       r.size / ours.size, AIMS["smaller_than_peers"]))
    checks.append((f"writing at least {AIMS['mb_per_s']:.0f} MB/s of stored form", stored / ours.write_s / 1e6,
                   AIMS["mb_per_s"]))
    checks.append((f"reading at least {AIMS['mb_per_s']:.0f} MB/s of stored form", stored / ours.read_s / 1e6,
                   AIMS["mb_per_s"]))
    for text, got, want in checks:
        verdict = ("met" if got >= want else "NOT met") if judged else "not judged"
        lines.append(f"- {verdict}: {text} (measured {got:.1f})")
    if not judged:  # random lengths compress like noise: the aims are set for the real files
        lines += ["", "The aims are judged on the data folder's files, not on the random trees that stand in for them."]
    lines += ["", "What bounds them:", "", *[f"- {n}" for n in notes], ""]
    return "\n".join(lines)


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--members", type=int, default=100,
                    help="members of the family, the gene-tree files taken in turn (default: 100)")
    ap.add_argument("--data", type=Path, default=DEFAULT_DATA,
                    help="folder of X_genetrees.tre files with their X_species_*.tre (default: ../shared/data "
                         "beside the repository; without them, random pairs)")
    ap.add_argument("--out", type=Path,
                    help="Markdown file for the table (default: a new temporary folder; "
                         "benchmarks/results/family.md holds the committed one)")
    ap.add_argument("--repeat", type=int, default=3, help="runs per timing, the best kept (default: 3)")
    args = ap.parse_args(argv)
    with tempfile.TemporaryDirectory(prefix="quorbelin-bench-") as tmp:
        pairs_used = pairs_in(args.data)
        if not pairs_used:
            print("note:", no_data(f"a gene-tree file with its species tree in {args.data}",
                                   f"{len(RANDOM_PAIRS)} random pairs instead"))
            return run(args, random_pairs(Path(tmp)), judged=False)
        return run(args, pairs_used, judged=True)


def run(args, pairs_used, judged) -> int:
    members = [pairs_used[i % len(pairs_used)] for i in range(args.members)]
    family = qb.FamilyOfMSC.from_files([str(g) for g, _ in members], [str(s) for _, s in members])
    ntrees = sum(n for n, _ in family.get_sizes())
    counts = [sum(1 for m in members if m == p) for p in pairs_used]
    our_leaves = {g: [sorted(P.leaf_names(t)) for t in qb.TopologySet.from_file(str(g)).to_newick_vec()]
                  for g, _ in pairs_used}

    rows, stored = bench_ours(family, args.repeat)
    versions = [f"quorbelin {P.Ours().version}"]
    notes = []
    for adapter in (P.DendroPy(), P.TreeSwift()):
        if not adapter.available:
            notes.append(adapter.note)
            continue
        versions.append(f"{adapter.name} {adapter.version}")
        print(f"timing {adapter.name} ...", file=sys.stderr)
        rows.append(bench_peer(adapter, [g for g, _ in pairs_used], counts, our_leaves, args.repeat))

    notes += ceilings(family, len(pairs_used), counts, ntrees, rows[0].size, args.repeat)
    text = report(rows, stored, ntrees, notes, args, ", ".join(versions), pairs_used, judged)
    print(text)
    out = results_path(args.out, "family.md")
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(text)
    print(f"wrote {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
