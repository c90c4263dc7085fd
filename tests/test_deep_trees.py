# Trees a million levels deep: every walk over them must be a loop, not a recursion.
import pytest

import quorbelin as qb
from state import caterpillar_newick

N = 1_000_000
LEX, DC = qb.SortBy.LexicographicalOrder, qb.SortBy.DescendantCount


def caterpillar(names, length=""):
    # ((((n0,n1),n2),n3)...); with `length` after every child.
    return "(" * (len(names) - 1) + names[0] + length + "," + f"){length},".join(n + length for n in names[1:]) + ");"


def leaves_first(order):
    # The caterpillar whose inner nodes list their leaf before their subtree, leaves in `order` from the root down.
    return "(" + ",(".join(order[:-1]) + "," + order[-1] + ")" * (len(order) - 1) + ";"


def pickled(state):
    copy, item = qb.TopologySet("(X,Y);"), qb.Tree("(X,Y);")
    copy.__setstate__(state)
    item.__setstate__(copy[0].__getstate__())
    return copy.ntaxa, copy.to_newick_string(), len(item)


TEXT, NAMES = caterpillar_newick(N), [f"t{i}" for i in range(N)]
WRITTEN = caterpillar(NAMES, ":0")  # as a set writes it
# Two caterpillars that differ only in their deepest leaf: comparing them walks both to the bottom.
RIGHT = caterpillar_newick(N // 2)[:-1]
LEFT = RIGHT.replace("t0,t1)", "t0,u)")
CHAIN = "(" * (N - 1) + "A" + ":1)" * (N - 1) + ";"
CASES = {
    "read and write": (lambda: ((t := qb.Tree(TEXT)).to_newick(), str(t), len(t), t.ntaxa), (TEXT, TEXT, 2 * N - 1, N)),
    "set": (lambda: ((s := qb.TreeSet(TEXT)).to_newick_string(), s.to_newick_vec(), s.ntaxa), (WRITTEN, [WRITTEN], N)),
    "pickle": (lambda: pickled(qb.TreeSet(TEXT).__getstate__()), (N, WRITTEN, 2 * N - 1)),
    # a path of single children
    "chain": (lambda: ((t := qb.Tree(CHAIN)).newick(), qb.TreeSet([t]).newick(), t.get_distance_matrix().ntaxa),
              ("(" * (N - 1) + "A" + ")" * (N - 1) + ";", CHAIN, 1)),
    "restriction": (lambda: ((t := qb.Tree(TEXT)).restriction(["t0", f"t{N - 1}"]).newick(), t.restriction(NAMES[::2]).newick(),
                             qb.TopologySet(TEXT).restriction(NAMES[::2]).newick()),
                    (f"(t0,t{N - 1});", caterpillar(NAMES[::2]), caterpillar(NAMES[::2], ":0"))),
    "sort": (lambda: ((t := qb.Tree(TEXT)).sort_by(LEX, False).to_newick(), t.sort_by(DC).to_newick()),
             (leaves_first(NAMES[:1:-1] + ["t1", "t0"]), leaves_first(NAMES[:1:-1] + ["t0", "t1"]))),
    "sort twins": (lambda: qb.Tree(f"({LEFT},{RIGHT});").sort_by(LEX).to_newick(), f"({RIGHT},{LEFT});"),
}


@pytest.mark.parametrize("op", list(CASES))
def test_deep(op):
    run, want = CASES[op]
    assert run() == want
