#!/usr/bin/env python3
"""Restriction and renaming: quorbelin side by side with TreeSwift and DendroPy, in one run.

    python benchmarks/bench_restrict.py [--quick] [--data DIR] [--out FILE]

Workloads:
- one random tree of 10^5 leaves (benchmarks/make_trees.py), restricted to a random half of its
  taxa and to 10 random taxa: `Tree.restriction` against TreeSwift `extract_tree_with` and DendroPy
  `extract_tree_with_taxa_labels`;
- the 5,016 gene trees of palaeognathae15_intron_genetrees.tre restricted to 10 of their 15 taxa:
  `TopologySet.restriction` against the same peers tree by tree;
- `TreeSet.remap` of 100 taxa over sets of 10 to 10^4 trees: its time must not grow with the trees.

Only the restriction is timed: every library reads its input before the clock starts. Before
anything is timed, each peer's answer is checked against ours: the same leaves and the same
clusters (the leaf set under every inner node). Timing is the best of N runs with the cyclic
garbage collector off during a run. --quick uses a 10^4-leaf tree and a tenth of the gene trees.
The full run over the data folder writes its table to benchmarks/results/restrict.md, a full run
without it to a new temporary folder, unless --out says otherwise; --quick prints it.
"""

from __future__ import annotations

import argparse
import datetime
import gc
import importlib.metadata
import platform
import random
import re
import sys
import time
import warnings
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_peers import best_of, fmt_n, make_text, no_data, results_path  # noqa: E402

import quorbelin as qb  # noqa: E402

REPO = Path(__file__).resolve().parents[1]
DEFAULT_DATA = REPO.parent / "shared" / "data"
GENES = "palaeognathae15_intron_genetrees.tre"
AIM = 50.0


def clusters(newick: str) -> tuple[frozenset, frozenset]:
    """(leaf names, leaf sets under the inner nodes) of one Newick tree; lengths, support values
    inner labels and comments are ignored."""
    stack, found, leaves = [set()], set(), set()
    i, n = 0, len(newick)
    while i < n:
        c = newick[i]
        if c == "[":  # a comment such as TreeSwift's rooting mark
            i = newick.index("]", i) + 1
        elif c == "(":
            stack.append(set())
            i += 1
        elif c == ")":
            done = stack.pop()
            found.add(frozenset(done))
            stack[-1] |= done
            i += 1
            while i < n and newick[i] not in ",();":  # inner label and length
                i += 1
        elif c in ",; ":
            i += 1
        else:
            j = i
            while j < n and newick[j] not in ",():;":
                j += 1
            name = newick[i:j].strip().strip("'")
            if name:
                stack[-1].add(name)
                leaves.add(name)
            while j < n and newick[j] not in ",();":
                j += 1
            i = j
    return frozenset(leaves), frozenset(found)


class Peer:
    def __init__(self, name, dist, module):
        self.name = name
        try:
            self.m = importlib.import_module(module)
            self.version = importlib.metadata.version(dist)
        except ImportError:
            self.m = None
            self.version = "not installed"


class TreeSwift(Peer):
    def __init__(self):
        super().__init__("TreeSwift", "treeswift", "treeswift")

    def read(self, text):
        out = self.m.read_tree_newick(text)
        return out if isinstance(out, list) else [out]

    def restrict(self, trees, taxa):
        keep = set(taxa)
        return [t.extract_tree_with(keep) for t in trees]

    def newick(self, tree):
        return tree.newick()


class DendroPy(Peer):
    def __init__(self):
        super().__init__("DendroPy", "DendroPy", "dendropy")

    def read(self, text):
        return list(self.m.TreeList.get(data=text, schema="newick", preserve_underscores=True))

    def restrict(self, trees, taxa):
        return [t.extract_tree_with_taxa_labels(taxa) for t in trees]

    def newick(self, tree):
        return tree.as_string(schema="newick", suppress_rooting=True, unquoted_underscores=True)


def check(peer, got, ours_texts):
    """Empty when each of the peer's trees has our leaves and our clusters, else what differs."""
    if len(got) != len(ours_texts):
        return f"{len(got)} trees instead of {len(ours_texts)}"
    for k, (tree, ours) in enumerate(zip(got, ours_texts)):
        want_leaves, want = clusters(ours)
        have_leaves, have = clusters(peer.newick(tree))
        if have_leaves != want_leaves:
            return f"tree {k}: leaves differ"
        # A peer may or may not keep a root of one child, or wrap a lone leaf: compare the
        # clusters of two or more leaves.
        if {c for c in have if len(c) > 1} != {c for c in want if len(c) > 1}:
            return f"tree {k}: clusters differ"
    return ""


def run_restriction(rows, label, ours_fn, ours_texts, peers, peer_input, taxa, repeat, budget):
    ours_s, _ = best_of(ours_fn, repeat, budget)
    row = {"workload": label, "quorbelin": ours_s}
    for peer in peers:
        if peer.m is None:
            row[peer.name] = None
            continue
        trees = peer_input[peer.name]
        # The run whose answer is checked is timed too: one DendroPy run on the large tree
        # takes minutes. More runs only while they fit the budget.
        gc.collect()
        gc.disable()
        t0 = time.perf_counter()
        got = peer.restrict(trees, taxa)
        first = time.perf_counter() - t0
        gc.enable()
        problem = check(peer, got, ours_texts)
        if problem:
            sys.exit(f"{peer.name} gives another answer on {label}: {problem}")
        del got
        row[peer.name] = first
        if first * 4 < budget:
            more, _ = best_of(lambda: peer.restrict(trees, taxa), max(2, repeat // 10), budget)
            row[peer.name] = min(first, more)
    rows.append(row)
    print(fmt_row(row, peers), flush=True)


def fmt_time(s):
    if s is None:
        return "-"
    return f"{s * 1e3:.3f} ms" if s < 1 else f"{s:.2f} s"


def fmt_row(row, peers):
    cells = [row["workload"], fmt_time(row["quorbelin"])]
    for p in peers:
        t = row.get(p.name)
        cells.append("-" if t is None else f"{fmt_time(t)} ({t / row['quorbelin']:.0f}×)")
    return "| " + " | ".join(cells) + " |"


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true",
                    help="a 10^4-leaf tree and a tenth of the gene trees; prints the table (default: the full run)")
    ap.add_argument("--data", default=str(DEFAULT_DATA),
                    help=f"folder holding {GENES} (default: ../shared/data beside the repository; without it, "
                         "the random tree and renaming only)")
    ap.add_argument("--out", default=None,
                    help="file for the table (default: benchmarks/results/restrict.md for a full run over the data "
                         "folder, a new temporary folder for a full run without it; --quick prints it)")
    args = ap.parse_args(argv)
    # TreeSwift warns for every inner label it drops while suppressing unifurcations.
    warnings.filterwarnings("ignore", category=UserWarning)
    rng = random.Random(104)
    peers = [TreeSwift(), DendroPy()]
    rows, remap_rows = [], []
    repeat, budget = (20, 3.0) if args.quick else (50, 20.0)

    # One large random tree.
    leaves = 10_000 if args.quick else 100_000
    text = make_text("random", leaves, "--seed", 7, "--lengths").strip()
    tree = qb.Tree(text)
    names = tree.get_taxa()
    peer_input = {p.name: p.read(text) for p in peers if p.m is not None}
    for label, k in [(f"random {fmt_n(leaves)} leaves → half", leaves // 2), (f"random {fmt_n(leaves)} leaves → 10", 10)]:
        taxa = rng.sample(names, k)
        run_restriction(rows, label, lambda: tree.restriction(taxa), [tree.restriction(taxa).to_newick()],
                        peers, peer_input, taxa, repeat, budget)

    # The gene trees of one real data set.
    path = Path(args.data) / GENES
    if path.exists():
        pieces = [p.strip() + ";" for p in path.read_text().split(";") if p.strip()]
        if args.quick:
            pieces = pieces[: len(pieces) // 10]
        text = "\n".join(pieces)
        genes = qb.TopologySet(text)
        taxa = rng.sample(genes.taxon_set.names(), 10)
        peer_input = {p.name: p.read(text) for p in peers if p.m is not None}
        run_restriction(rows, f"{len(pieces):,} gene trees → 10 of 15", lambda: genes.restriction(taxa),
                        genes.restriction(taxa).to_newick_vec(), peers, peer_input, taxa, repeat, budget)
    else:
        print("note:", no_data(path, "the gene trees are skipped"))

    # Renaming: the same 100 taxa over ever more trees.
    ntaxa = 100
    for count in [10, 100, 1000, 10_000]:
        s = qb.TreeSet(make_text("genes", count, ntaxa, "--seed", 3))
        mapping = {n: n.upper() + "_x" for n in s.taxon_set.names()}
        r = s.remap(mapping)
        assert s.ntaxa == ntaxa and r.ngenes == count
        assert r.to_newick_vec()[-1] == re.sub(r"t\d+", lambda m: mapping[m.group()], s.to_newick_vec()[-1])
        t, _ = best_of(lambda: [s.remap(mapping) for _ in range(100)], 20, 2.0)
        t /= 100
        remap_rows.append((count, t))
        print(f"remap {ntaxa} taxa over {count:>6} trees: {t * 1e6:.1f} µs", flush=True)

    md = markdown(rows, remap_rows, peers, ntaxa, args.quick)
    out = None if args.quick and not args.out else results_path(args.out, "restrict.md", record=path.exists())
    if out is not None:
        out.write_text(md, encoding="utf-8")
        print(f"wrote {out}")
    else:
        print(md)
    return 0


def markdown(rows, remap_rows, peers, ntaxa, quick) -> str:
    lines = [
        "# Restriction and renaming against peers",
        "",
        f"Run {datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC on {platform.machine()}, "
        f"Python {platform.python_version()}{' (quick run)' if quick else ''}; "
        + ", ".join(f"{p.name} {p.version}" for p in peers) + ".",
        "Command: `python benchmarks/bench_restrict.py`. Best of N runs; only the restriction is timed "
        "(every library has read its trees before). Every peer's answer was checked first: the same "
        "leaves and the same clusters as ours, tree by tree. In brackets: how many times longer the "
        f"peer takes than quorbelin (aim: at least {AIM:.0f}× against the fastest peer).",
        "",
        "| workload | quorbelin | " + " | ".join(p.name for p in peers) + " |",
        "|---|---|" + "---|" * len(peers),
    ]
    lines += [fmt_row(r, peers) for r in rows]
    ratios = []
    for r in rows:
        peer_times = [r[p.name] for p in peers if r.get(p.name) is not None]
        if peer_times:
            ratios.append(min(peer_times) / r["quorbelin"])
    if ratios:
        # The aim is set for the full run's sizes.
        verdict = "aim not judged in a quick run" if quick else "aim met" if min(ratios) >= AIM else "aim NOT met"
        lines += ["", f"Against the fastest peer: {min(ratios):.0f}× to {max(ratios):.0f}× ({verdict})."]
    lines += ["", f"`TreeSet.remap` of {ntaxa} taxa: the trees are shared, not copied, so the time does not "
                  "grow with their number.", "", "| trees | remap |", "|---|---|"]
    lines += [f"| {c:,} | {t * 1e6:.1f} µs |" for c, t in remap_rows]
    if remap_rows:
        ts = [t for _, t in remap_rows]
        lines += ["", f"Largest over smallest: {max(ts) / min(ts):.2f}."]
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    sys.exit(main())
