#!/usr/bin/env python3
"""Deterministic Newick trees for the benchmarks (standard library only).

  make_trees.py random N [--seed S] [--lengths]      one random binary tree with N leaves
  make_trees.py caterpillar N [--lengths]             one caterpillar (ladder) tree, N leaves deep
  make_trees.py genes T N [--missing F] [--seed S] [--lengths]
                                                      T gene trees over N taxa; each drops a random
                                                      fraction up to F of the taxa
  make_trees.py species N [--seed S]                  one species tree over the same N taxa

Taxa are named t0, t1, ...; trees go to standard output, one a line. The same arguments give the
same trees on every machine and Python version (random.Random with a fixed seed).
"""

import argparse
import random
import sys


def random_tree(names, rng, lengths):
    """Joins two random subtrees until one is left (a Yule-like shape), without recursion."""
    def length():
        return f":{rng.random():.6f}" if lengths else ""

    nodes = [name + length() for name in names]
    while len(nodes) > 1:
        i = rng.randrange(len(nodes))
        first = nodes[i]
        nodes[i] = nodes[-1]
        nodes.pop()
        j = rng.randrange(len(nodes))
        nodes[j] = f"({first},{nodes[j]})" + length()
    text = nodes[0]
    if lengths and text.startswith("("):
        text = text[: text.rfind(":")]  # the root has no branch above it
    return text + ";"


def caterpillar(n, lengths):
    ln = ":1" if lengths else ""
    parts = ["(" * (n - 1), "t0", ln]
    for k in range(1, n):
        parts.append(f",t{k}{ln})")
        if k < n - 1:
            parts.append(ln)
    parts.append(";")
    return "".join(parts)


def gene_trees(t, n, missing, rng, lengths):
    names = [f"t{i}" for i in range(n)]
    for _ in range(t):
        keep = names
        if missing > 0:
            drop = int(n * rng.random() * missing)
            keep = rng.sample(names, n - drop) if drop else names
        yield random_tree(list(keep), rng, lengths)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("kind", choices=["random", "caterpillar", "genes", "species"], help="the shape (above)")
    ap.add_argument("numbers", type=int, nargs="+", help="N, or T N for genes")
    ap.add_argument("--seed", type=int, default=1, help="seed of the random choices (default: 1)")
    ap.add_argument("--missing", type=float, default=0.0,
                    help="genes: the largest fraction of the taxa a gene tree may lack (default: 0, none)")
    ap.add_argument("--lengths", action="store_true",
                    help="branch lengths, random in [0, 1) (caterpillar: 1) (default: none)")
    a = ap.parse_args(argv)
    rng = random.Random(a.seed)
    n = a.numbers[0]
    if a.kind == "random":
        trees = [random_tree([f"t{i}" for i in range(n)], rng, a.lengths)]
    elif a.kind == "caterpillar":
        trees = [caterpillar(n, a.lengths)]
    elif a.kind == "species":
        trees = [random_tree([f"t{i}" for i in range(n)], rng, False)]
    else:
        if len(a.numbers) < 2:
            ap.error("genes needs T and N")
        trees = gene_trees(n, a.numbers[1], a.missing, rng, a.lengths)
    for tree in trees:
        sys.stdout.write(tree + "\n")


if __name__ == "__main__":
    main()
