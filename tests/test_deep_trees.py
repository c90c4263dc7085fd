# Trees a million levels deep: every walk over them must be a loop, not a recursion.
import pytest

import quorbelin as qb
from state import Tree as StoredTree, TaxonSet as StoredTaxa, caterpillar_newick, decode_single_tree, encode_single_tree

N = 1_000_000
LEX, DC = qb.SortBy.LexicographicalOrder, qb.SortBy.DescendantCount


def caterpillar(names, length=""):
    # ((((n0,n1),n2),n3)...); with `length` after every child.
    return "(" * (len(names) - 1) + names[0] + length + "," + f"){length},".join(n + length for n in names[1:]) + ");"


def leaves_first(order):
    # The caterpillar whose inner nodes list their leaf before their subtree, leaves in `order` from the root down.
    return "(" + ",(".join(order[:-1]) + "," + order[-1] + ")" * (len(order) - 1) + ";"


def chain():
    # A path of single children, possible only from a state: (((A))) with lengths 1.
    tree = StoredTree(taxa=[-1] * (N - 1) + [0], parents=[0] + list(range(N - 1)), support=[0.0] * N,
                      lengths=[1.0] * N, firstchild=list(range(1, N)) + [-1], nextsib=[-1] * N,
                      childcount=[1] * (N - 1) + [0], ntaxa=1)
    t = qb.Tree("(X,Y);")
    t.__setstate__(encode_single_tree(StoredTaxa.of(["A"]), tree))
    return t.newick(), qb.TreeSet([t]).newick(), t.get_distance_matrix().ntaxa, decode_single_tree(t.__getstate__())[1] == tree


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
CASES = {
    "read and write": (lambda: ((t := qb.Tree(TEXT)).to_newick(), str(t), len(t), t.ntaxa), (TEXT, TEXT, 2 * N - 1, N)),
    "set": (lambda: ((s := qb.TreeSet(TEXT)).to_newick_string(), s.to_newick_vec(), s.ntaxa), (WRITTEN, [WRITTEN], N)),
    # names are merged in byte order (t0, t1, t10, ...), the text stays
    "list form": (lambda: ((s := qb.TreeSet([qb.TreeSet(TEXT)[0]])).newick(), s.get_taxon_name(2)), (WRITTEN, "t10")),
    "pickle": (lambda: pickled(qb.TreeSet(TEXT).__getstate__()), (N, WRITTEN, 2 * N - 1)),
    "chain": (chain, ("(" * (N - 1) + "A" + ")" * (N - 1) + ";", "(" * (N - 1) + "A" + ":1)" * (N - 1) + ";", 1, True)),
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
