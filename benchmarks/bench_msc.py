#!/usr/bin/env python3
"""A gene-tree set with its species tree: quorbelin's MSCTreeSet beside DendroPy, in one run.

    python benchmarks/bench_msc.py [--data DIR] [--repeat N] [--out FILE]

Workload: the 5,016 intron gene trees of the palaeognathae data set with their ASTRAL species
tree (shared/data beside the repository by default). Without those files, as many random gene
trees over the same 15 taxa with a random species tree (benchmarks/make_trees.py), saying so.

- build: both files read into one set. quorbelin: MSCTreeSet.from_files. DendroPy: a TreeList of
  the gene trees and the species tree read into one TaxonNamespace.
- restrict to 10 taxa, slice (the first half), every gene tree's distance matrix of the
  restricted set: quorbelin alone (the workflow after the build).
- state round trip: quorbelin __getstate__ then __setstate__ on another object; DendroPy
  pickle.dumps then pickle.loads of (gene trees, species tree) at the highest protocol.

Before timing, both sides are checked to hold the same trees (the leaf names of every gene tree
and of the species tree) and the restored values to equal the originals. Timing is the best of N
runs with time.perf_counter, the cyclic garbage collector off during a run. The table goes to
standard output and to a Markdown file: --out, or a new temporary folder (the committed table,
benchmarks/results/msc.md, is written by naming it).
"""

from __future__ import annotations

import argparse
import datetime
import pickle
import platform
import sys
import tempfile
from pathlib import Path

import dendropy

import quorbelin as qb

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_peers import best_of, make_text, no_data, results_path  # noqa: E402

REPO = Path(__file__).resolve().parents[1]
DEFAULT_DATA = REPO.parent / "shared" / "data"
GENES = "palaeognathae15_intron_genetrees.tre"
SPECIES = "palaeognathae15_intron_species_astral.tre"
NGENES, NTAXA = 5016, 15  # the data set's size, which random trees stand in for without it
AIM = 100.0  # times faster than DendroPy on the build and on the round trip


def best(fn, repeat):
    """Best wall time of `repeat` runs (the peer benchmark's timing, without its time budget)."""
    return best_of(fn, repeat, budget=float("inf"))[0]


def dendropy_build(genes, species):
    names = dendropy.TaxonNamespace()
    trees = dendropy.TreeList.get(path=str(genes), schema="newick", taxon_namespace=names)
    tree = dendropy.Tree.get(path=str(species), schema="newick", taxon_namespace=names)
    return trees, tree


def dendropy_round_trip(value):
    return pickle.loads(pickle.dumps(value, protocol=pickle.HIGHEST_PROTOCOL))


def quorbelin_round_trip(msc, target):
    target.__setstate__(msc.__getstate__())
    return target


def leaves_of_dendropy(tree):
    return sorted(leaf.taxon.label for leaf in tree.leaf_node_iter())


def leaves_of_newick(text):
    return sorted(leaf.taxon.label for leaf in dendropy.Tree.get(data=text, schema="newick").leaf_node_iter())


def random_files(folder: Path) -> tuple[Path, Path]:
    """Random gene trees and a species tree in the data set's shape, written into `folder`."""
    genes, species = folder / "random_genetrees.tre", folder / "random_species.tre"
    genes.write_text(make_text("genes", NGENES, NTAXA, "--seed", 5, "--lengths"))
    species.write_text(make_text("species", NTAXA, "--seed", 5))
    return genes, species


def check_same(msc, trees, tree):
    assert msc.ngenes == len(trees) == NGENES, (msc.ngenes, len(trees))
    for i in range(0, len(trees), 97):  # a sample: DendroPy reads back every 97th text
        assert leaves_of_newick(msc[i].newick()) == leaves_of_dendropy(trees[i]), i
    assert leaves_of_newick(msc.species_tree_to_newick()) == leaves_of_dendropy(tree)
    assert sorted(msc.taxon_set.names()) == sorted(t.label for t in trees.taxon_namespace)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data", type=Path, default=DEFAULT_DATA,
                        help=f"folder holding {GENES} and {SPECIES} (default: ../shared/data beside the "
                             "repository; without them, random trees of the same shape)")
    parser.add_argument("--repeat", type=int, default=5,
                        help="runs per quorbelin timing, the best kept; DendroPy half as many (default: 5)")
    parser.add_argument("--out", type=Path,
                        help="Markdown file for the table (default: a new temporary folder; "
                             "benchmarks/results/msc.md holds the committed one)")
    args = parser.parse_args()
    genes, species = args.data / GENES, args.data / SPECIES
    with tempfile.TemporaryDirectory(prefix="quorbelin-bench-") as tmp:
        if not (genes.is_file() and species.is_file()):
            print("note:", no_data(genes if not genes.is_file() else species,
                                   f"timing {NGENES} random gene trees over {NTAXA} taxa instead"))
            return run(args, *random_files(Path(tmp)), judged=False)
        return run(args, genes, species, judged=True)


def run(args, genes, species, judged):

    def build():
        return qb.MSCTreeSet.from_files(str(genes), str(species))

    msc = build()
    trees, tree = dendropy_build(genes, species)
    check_same(msc, trees, tree)
    ten = msc.taxon_set.names()[:10]
    restricted = msc.restriction(ten)
    assert restricted.ntaxa == 10 and restricted.ngenes == msc.ngenes
    target = qb.MSCTreeSet("(X,Y);", "(X,Y);")
    assert quorbelin_round_trip(msc, target).__getstate__() == msc.__getstate__()
    back_trees, back_tree = dendropy_round_trip((trees, tree))
    assert [leaves_of_dendropy(t) for t in back_trees[:50]] == [leaves_of_dendropy(t) for t in trees[:50]]
    assert back_tree.as_string(schema="newick") == tree.as_string(schema="newick")

    rows = []  # (workload, quorbelin s, DendroPy s or None)
    q_build = best(build, args.repeat)
    d_build = best(lambda: dendropy_build(genes, species), max(1, args.repeat // 2))
    rows.append(("build: gene trees + species tree, one taxon set", q_build, d_build))
    rows.append(("restrict to 10 taxa", best(lambda: msc.restriction(ten), args.repeat), None))
    rows.append(("slice (first half)", best(lambda: msc.slice(0, msc.ngenes // 2), args.repeat), None))
    rows.append(("every gene tree's matrix (10 taxa)",
                 best(lambda: [restricted.get_distance_matrix(i) for i in range(restricted.ngenes)],
                      args.repeat), None))
    state_bytes = len(msc.__getstate__())
    q_trip = best(lambda: quorbelin_round_trip(msc, target), args.repeat)
    d_trip = best(lambda: dendropy_round_trip((trees, tree)), max(1, args.repeat // 2))
    rows.append(("state round trip (getstate+setstate / pickle)", q_trip, d_trip))

    lines = [
        f"# Gene-tree set with its species tree: quorbelin vs DendroPy {dendropy.__version__}",
        "",
        f"Run {datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC, Python {platform.python_version()},"
        f" {platform.machine()}; best of {args.repeat} (DendroPy: of {max(1, args.repeat // 2)}).",
        f"Data: {genes.name} ({msc.ngenes} gene trees, {msc.ntaxa} taxa) with {species.name};"
        f" quorbelin state {state_bytes / 1e6:.2f} MB.",
        "",
        "| workload | quorbelin ms | DendroPy ms | times faster |",
        "|---|---:|---:|---:|",
    ]
    for what, q, d in rows:
        ratio = f"{d / q:.0f}x" if d is not None else "-"
        dendro = f"{d * 1e3:.1f}" if d is not None else "-"
        lines.append(f"| {what} | {q * 1e3:.3f} | {dendro} | {ratio} |")
    lines += ["", f"Aim: at least {AIM:.0f}x DendroPy on the build and on the round trip:"
              f" build {d_build / q_build:.0f}x, round trip {d_trip / q_trip:.0f}x"
              + ("." if judged else " (not judged: random trees stand in for the data set).")]
    text = "\n".join(lines) + "\n"
    print(text)
    out = results_path(args.out, "msc.md")
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(text)
    print(f"wrote {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
