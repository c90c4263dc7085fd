"""Trees deep enough to exhaust any walk that recurses per level: every walk over them must be a loop."""

import pytest

import quorbelin as qb
from state import Tree as StoredTree, TaxonSet as StoredTaxa, caterpillar_newick, decode_single_tree, encode_single_tree

DEEP = 1_000_000


@pytest.fixture(scope="module")
def deep_text():
    return caterpillar_newick(DEEP)


@pytest.fixture(scope="module")
def deep_set(deep_text):
    return qb.TreeSet(deep_text)


def lengths_written(n):
    """The caterpillar as a set writes it: ':0' after every child."""
    return "(" * (n - 1) + "t0:0," + ":0,".join(f"t{i}" for i in range(1, n)).replace(",", "):0,") + ":0);"


def test_read_and_write_a_deep_set(deep_set):
    assert deep_set.ngenes == 1 and deep_set.ntaxa == DEEP
    assert deep_set.to_newick_string() == lengths_written(DEEP)
    assert deep_set.to_newick_vec() == [lengths_written(DEEP)]


def test_deep_single_tree(deep_text):
    t = qb.Tree(deep_text)
    assert len(t) == 2 * DEEP - 1 and t.ntaxa == DEEP
    assert t.to_newick() == deep_text
    assert str(t) == deep_text


def test_deep_pickle_round_trip(deep_set):
    state = deep_set.__getstate__()
    copy = qb.TopologySet("(X,Y);")
    copy.__setstate__(state)
    assert copy.ntaxa == DEEP
    assert copy.to_newick_string() == deep_set.to_newick_string()
    item = copy[0]
    other = qb.Tree("(X,Y);")
    other.__setstate__(item.__getstate__())
    assert len(other) == 2 * DEEP - 1


def test_deep_list_form(deep_set):
    merged = qb.TreeSet([deep_set[0]])
    assert merged.ntaxa == DEEP
    # Names are merged in byte order (t0, t1, t10, t100, ...), the text stays.
    assert merged.get_taxon_name(2) == "t10"
    assert merged.newick() == deep_set.newick()


def test_deep_chain_from_a_state():
    """A path of single children a million nodes long, only possible from a state."""
    n = DEEP
    tree = StoredTree(
        taxa=[-1] * (n - 1) + [0],
        parents=[0] + list(range(n - 1)),
        support=[0.0] * n,
        lengths=[1.0] * n,
        firstchild=list(range(1, n)) + [-1],
        nextsib=[-1] * n,
        childcount=[1] * (n - 1) + [0],
        ntaxa=1,
    )
    t = qb.Tree("(X,Y);")
    t.__setstate__(encode_single_tree(StoredTaxa.of(["A"]), tree))
    assert t.newick() == "(" * (n - 1) + "A" + ")" * (n - 1) + ";"
    ts = qb.TreeSet([t])
    assert ts.newick() == "(" * (n - 1) + "A" + ":1)" * (n - 1) + ";"
    assert t.get_distance_matrix().ntaxa == 1
    _, back = decode_single_tree(t.__getstate__())
    assert back == tree


def leaves_first(order):
    """A caterpillar whose every internal node lists its leaf before its
    subtree, leaves met in `order` from the root down (the last two innermost)."""
    return "(" + ",(".join(order[:-1]) + "," + order[-1] + ")" * (len(order) - 1) + ";"


@pytest.fixture(scope="module")
def deep_tree(deep_text):
    return qb.Tree(deep_text)


@pytest.mark.parametrize("kind,ascending,layout", [
    (qb.SortBy.LexicographicalOrder, True, "as read"),
    (qb.SortBy.LexicographicalOrder, False, "leaves first, innermost swapped"),
    (qb.SortBy.ChildCount, True, "leaves first"),
    (qb.SortBy.ChildCount, False, "as read"),
    (qb.SortBy.DescendantCount, True, "leaves first"),
    (qb.SortBy.DescendantCount, False, "as read"),
])
def test_sort_a_deep_caterpillar(deep_tree, deep_text, kind, ascending, layout):
    names = [f"t{i}" for i in range(DEEP - 1, -1, -1)]
    expected = {
        "as read": deep_text,
        "leaves first": leaves_first(names[:-2] + ["t0", "t1"]),
        "leaves first, innermost swapped": leaves_first(names),
    }[layout]
    assert deep_tree.sort_by(kind, ascending).to_newick() == expected


def test_sort_two_deep_lookalikes_side_by_side():
    """Two caterpillars that differ only in their deepest leaf: comparing them
    walks both to the bottom."""
    half = DEEP // 2
    right = caterpillar_newick(half)[:-1]
    left = right.replace("t0,t1)", "t0,u)")
    assert left != right
    t = qb.Tree(f"({left},{right});")
    assert t.sort_by(qb.SortBy.LexicographicalOrder).to_newick() == f"({right},{left});"
    down = [f"t{i}" for i in range(half - 1, 1, -1)]
    expected = f"({leaves_first(down + ['u', 't0'])[:-1]},{leaves_first(down + ['t1', 't0'])[:-1]});"
    assert t.sort_by(qb.SortBy.LexicographicalOrder, False).to_newick() == expected
    same = qb.Tree(f"({right},{right});")
    assert same.sort_by(qb.SortBy.LexicographicalOrder).to_newick() == same.to_newick()


N = DEEP
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
