# Trees a million levels deep: every walk over them must be a loop, not a recursion.
import pytest

import quorbelin as qb

N = 1_000_000
LEX = qb.SortBy.LexicographicalOrder


def caterpillar(names, length=""):
    # ((((n0,n1),n2),n3)...); with `length` after every child.
    return "(" * (len(names) - 1) + names[0] + length + "," + f"){length},".join(n + length for n in names[1:]) + ");"


def pickled(state):
    copy, item = qb.TopologySet("(X,Y);"), qb.Tree("(X,Y);")
    copy.__setstate__(state)
    item.__setstate__(copy[0].__getstate__())
    return copy.ntaxa, copy.to_newick_string(), len(item)


NAMES = [f"t{i}" for i in range(N)]
TEXT, WRITTEN = caterpillar(NAMES), caterpillar(NAMES, ":0")  # the second as a set writes it
# Two caterpillars that differ only in their deepest leaf: comparing them walks both to the bottom.
RIGHT = caterpillar(NAMES[: N // 2])[:-1]
LEFT = RIGHT.replace("t0,t1)", "t0,u)")
CHAIN = "(" * (N - 1) + "A" + ":1)" * (N - 1) + ";"
CASES = {
    "read and write": (lambda: ((t := qb.Tree(TEXT)).to_newick(), str(t), len(t), t.ntaxa), (TEXT, TEXT, 2 * N - 1, N)),
    "set": (lambda: ((s := qb.TreeSet(TEXT)).to_newick_string(), s.to_newick_vec(), s.ntaxa), (WRITTEN, [WRITTEN], N)),
    "pickle": (lambda: pickled(qb.TreeSet(TEXT).__getstate__()), (N, WRITTEN, 2 * N - 1)),
    # a path of single children
    "chain": (lambda: ((t := qb.Tree(CHAIN)).newick(), qb.TreeSet([t]).newick(), t.get_distance_matrix().ntaxa),
              ("(" * (N - 1) + "A" + ")" * (N - 1) + ";", CHAIN, 1)),
    "restriction": (lambda: ((t := qb.Tree(TEXT)).restriction(["t0", f"t{N - 1}"]).newick(),
                             t.restriction(NAMES[::2]).newick(),
                             qb.TopologySet(TEXT).restriction(NAMES[::2]).newick()),
                    (f"(t0,t{N - 1});", caterpillar(NAMES[::2]), caterpillar(NAMES[::2], ":0"))),
    # every inner node lists its leaf first
    "sort": (lambda: qb.Tree(TEXT).sort_by(LEX, False).to_newick(),
             "(" + ",(".join(NAMES[:1:-1] + ["t1"]) + ",t0" + ")" * (N - 1) + ";"),
    "sort twins": (lambda: qb.Tree(f"({LEFT},{RIGHT});").sort_by(LEX).to_newick(), f"({RIGHT},{LEFT});"),
}


@pytest.mark.parametrize("op", list(CASES))
def test_deep(op):
    run, want = CASES[op]
    assert run() == want
