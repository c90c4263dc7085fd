#!/usr/bin/env python3
"""Sorting the children of every node, quorbelin side by side with other tree libraries in one run.

    python benchmarks/bench_sort.py [--quick] [--data DIR] [--repeat N] [--out FILE]

Trees: a random 10^5-leaf tree (benchmarks/make_trees.py, seed 7) and the wol10575 species tree
of the shared data folder (skipped, saying so, where it is absent). --quick sorts a random 10^4-leaf
tree alone, two runs a timing: a smoke run of seconds. Peers (pip install dendropy ete3 six treeswift): DendroPy `ladderize`
and `reorder`, ete3 `ladderize` and `sort_descendants`, TreeSwift `order`; a peer that is not
installed is skipped with a note.

quorbelin's methods return a sorted copy, so its times include copying the tree; the peers sort
their tree in place, and are timed sorting the same object again and again.

Answers are compared where the peer's rule is ours: ete3 `ladderize()` sorts by leaf count,
ascending and stable, as our DescendantCount does; DendroPy `ladderize` and TreeSwift
`order("num_descendants")` count descendant nodes, which orders siblings as leaf counts do when
every internal node below the root has two children (checked on each tree), in both directions.
The lexicographic peers sort by another rule (ete3: the sorted leaf names below a node as one
text; DendroPy and TreeSwift: the node's own label) and are timed only. Child count has no peer
rule; it is timed against the peers' ladderize. A mismatch stops the run before any timing.

Results: a table on standard output and in a Markdown file (ratio = peer time / ours): --out, or a
new temporary folder (the committed table, benchmarks/results/sort.md, is written by naming it).
"""

from __future__ import annotations

import argparse
import datetime
import platform
import sys
import threading
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import bench_peers  # noqa: E402
import peers as P  # noqa: E402

REPO = Path(__file__).resolve().parents[1]
DEFAULT_DATA = REPO.parent / "shared" / "data"
AIM = 50.0


def best_of(fn, repeat):
    return bench_peers.best_of(fn, repeat, budget=float("inf"))[0]


def leaf_order(newick_text):
    return P.leaf_names(newick_text)


def load_peers():
    peers, notes = {}, []
    for name, module in [("DendroPy", "dendropy"), ("ete3", "ete3"), ("TreeSwift", "treeswift")]:
        try:
            peers[name] = __import__(module)
        except Exception as exc:  # noqa: BLE001 - a missing or broken peer is skipped
            notes.append(f"{name} not available ({type(exc).__name__}: {exc}); skipped")
    return peers, notes


def binary_below_root(text):
    """True when every internal node but the root has exactly two children."""
    import quorbelin as qb

    sizes, open_groups = [], []
    for ch in qb.Tree(text).to_newick():
        if ch == "(":
            open_groups.append(1)
        elif ch == ",":
            open_groups[-1] += 1
        elif ch == ")":
            sizes.append(open_groups.pop())
    return all(s == 2 for s in sizes[:-1])  # the root's group closes last


def cases(peers, text):
    """(operation, our call, [(peer, call on a prepared object, prepare, leaf order of it, compared)])."""
    import quorbelin as qb

    ours = qb.Tree(text)
    binary = binary_below_root(text)
    out = []

    def dendropy_tree():
        return peers["DendroPy"].Tree.get(data=text, schema="newick", preserve_underscores=True)

    def dendropy_leaves(t):
        return [nd.taxon.label for nd in t.leaf_node_iter()]

    def ete3_tree():
        return peers["ete3"].Tree(text, format=1)

    def ete3_leaves(t):
        return t.get_leaf_names()

    def treeswift_tree():
        return peers["TreeSwift"].read_tree_newick(text)

    def treeswift_leaves(t):
        return leaf_order(t.newick())

    for ascending in (True, False):
        word = "ascending" if ascending else "descending"
        rows = []
        if "DendroPy" in peers:
            rows.append(("DendroPy ladderize", dendropy_tree, lambda t, a=ascending: t.ladderize(ascending=a),
                         dendropy_leaves, binary))
        if "ete3" in peers:
            rows.append(("ete3 ladderize", ete3_tree, lambda t, a=ascending: t.ladderize(0 if a else 1),
                         ete3_leaves, ascending))
        if "TreeSwift" in peers:
            rows.append(("TreeSwift order(num_descendants)", treeswift_tree,
                         lambda t, a=ascending: t.order("num_descendants", ascending=a), treeswift_leaves, binary))
        out.append((f"descendant count, {word}", lambda a=ascending: ours.sort_by(qb.SortBy.DescendantCount, a), rows))
        out.append((f"child count, {word}", lambda a=ascending: ours.sort_by(qb.SortBy.ChildCount, a),
                    [(name, make, call, leaves, False) for name, make, call, leaves, _ in rows]))
    rows = []
    if "ete3" in peers:
        rows.append(("ete3 sort_descendants", ete3_tree, lambda t: t.sort_descendants(), ete3_leaves, False))
    if "DendroPy" in peers:
        rows.append(("DendroPy reorder", dendropy_tree, lambda t: t.reorder(), dendropy_leaves, False))
    if "TreeSwift" in peers:
        rows.append(("TreeSwift order(label)", treeswift_tree, lambda t: t.order("label"), treeswift_leaves, False))
    out.append(("lexicographic, ascending", lambda: ours.sort_by(qb.SortBy.LexicographicalOrder), rows))
    return out


def run(args):
    import quorbelin as qb

    peers, notes = load_peers()
    leaves = 10_000 if args.quick else 100_000
    trees = [(f"random {bench_peers.fmt_n(leaves)} leaves",
              bench_peers.make_text("random", leaves, "--seed", 7, "--lengths").strip())]
    wol = Path(args.data) / "wol10575_species_astral.nwk"
    if args.quick:
        notes.append("quick run: the random tree alone")
    elif wol.exists():
        trees.append(("wol10575 species tree", wol.read_text(encoding="utf-8").strip()))
    else:
        notes.append(bench_peers.no_data(wol, "the random tree alone"))
        print("note:", notes[-1])

    rows = []
    for tree_name, text in trees:
        for operation, our_call, peer_rows in cases(peers, text):
            ours_leaves = leaf_order(our_call().to_newick())
            entries = []
            for peer_name, make, call, leaves, compared in peer_rows:
                obj = make()
                call(obj)
                if compared and leaves(obj) != ours_leaves:
                    raise SystemExit(f"{peer_name} sorts {tree_name} ({operation}) differently from quorbelin")
                t = best_of(lambda: call(obj), args.repeat)
                entries.append((peer_name, t, "same" if compared else "other rule"))
            # Timed after the peers, so that every row finds the allocator in the same state.
            mine = best_of(our_call, args.repeat * 4)
            rows.append((tree_name, operation, mine, entries))
            fastest = min((t for _, t, _ in entries), default=None)
            ratio = f"{fastest / mine:.0f}x" if fastest else "-"
            print(f"{tree_name:24} {operation:28} ours {mine * 1e3:8.2f} ms   fastest peer {ratio}", flush=True)
    write_report(args, rows, notes)
    return 0


def write_report(args, rows, notes):
    import importlib.metadata as md

    def version(dist):
        try:
            return md.version(dist)
        except md.PackageNotFoundError:
            return "?"

    lines = [
        "# Sorting children: quorbelin against peer libraries",
        "",
        f"Run {datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC on {platform.machine()}, "
        f"Python {platform.python_version()}; quorbelin {version('quorbelin')}, DendroPy {version('DendroPy')}, "
        f"ete3 {version('ete3')}, TreeSwift {version('treeswift')}. Best of {args.repeat} runs "
        f"({args.repeat * 4} for quorbelin), made by `benchmarks/bench_sort.py{' --quick' * args.quick}`.",
        "",
        "quorbelin returns a sorted copy (its time includes the copy); the peers sort in place. Ratio is",
        "the peer's time over ours. \"same\": the peer's answer was checked equal to ours before timing;",
        "\"other rule\": the peer sorts by a rule of its own and is timed only.",
        "",
        "| tree | operation | quorbelin | peer | peer time | ratio | answer |",
        "|---|---|---:|---|---:|---:|---|",
    ]
    worst = None
    for tree_name, operation, mine, entries in rows:
        for peer_name, t, answer in entries:
            lines.append(f"| {tree_name} | {operation} | {mine * 1e3:.2f} ms | {peer_name} | {t * 1e3:.1f} ms | "
                         f"{t / mine:.0f}x | {answer} |")
        if entries:
            r = min(t for _, t, _ in entries) / mine
            worst = r if worst is None else min(worst, r)
    if args.quick:  # the aim is set for the full run's trees
        lines += ["", f"Aim (at least {AIM:.0f}x the fastest peer on every row): not judged in a quick run."]
    elif worst:
        lines += ["", f"Aim: at least {AIM:.0f}x the fastest peer on every row. Smallest ratio to the fastest peer "
                      f"in this run: {worst:.0f}x."]
    lines += [f"- {n}" for n in notes]
    out = bench_peers.results_path(args.out, "sort.md")
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text("\n".join(lines) + "\n", encoding="utf-8")
    print(f"wrote {out}")


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true",
                    help="a random 10^4-leaf tree alone, 2 runs a timing (default: the full run)")
    ap.add_argument("--data", default=str(DEFAULT_DATA),
                    help="folder holding wol10575_species_astral.nwk (default: ../shared/data beside the "
                         "repository; without it, the random tree alone)")
    ap.add_argument("--repeat", type=int,
                    help="runs per peer timing, quorbelin four times as many (default: 5; 2 with --quick)")
    ap.add_argument("--out", help="Markdown file for the table (default: a new temporary folder; "
                                  "benchmarks/results/sort.md holds the committed one)")
    args = ap.parse_args(argv)
    if args.repeat is None:
        args.repeat = 2 if args.quick else 5
    # ete3's ladderize recurses once per tree level.
    sys.setrecursionlimit(1_000_000)
    threading.stack_size(1 << 29)
    result = []
    t = threading.Thread(target=lambda: result.append(run(args)))
    t.start()
    t.join()
    return result[0] if result else 2


if __name__ == "__main__":
    sys.exit(main())
