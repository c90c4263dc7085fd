"""Restriction to a subset of taxa and renaming of taxa, through Tree, TreeSet and TopologySet."""

import random

import pytest

import quorbelin as qb
from state import (
    Tree as StoredTree,
    TaxonSet as StoredTaxa,
    caterpillar_newick,
    decode_single_tree,
    encode_single_tree,
    encode_tree_view,
    TreeView as StoredView,
)
from support import raises_panic


def arena(tree):
    """(taxa, parents, firstchild, nextsib, childcount, ntaxa) of a Tree object's core tree."""
    _, t = decode_single_tree(tree.__getstate__())
    assert t.support == t.lengths == [0.0] * len(t.taxa) and not t.fake_root
    return t.taxa, t.parents, t.firstchild, t.nextsib, t.childcount, t.ntaxa


SINGLE = ([-1], [0], [-1], [-1], [0], 0)

# The text's extra trees only add names to the taxon set: X labels no leaf of the first tree.
OUTCOMES = [
    # the skeleton, nothing to contract; ntaxa counts the kept ids
    ("((A,B),(C,D));", ["A", "B", "C", "D"],
     ([-1, -1, 0, 1, -1, 2, 3], [0, 0, 1, 1, 0, 4, 4], [1, 2, -1, -1, 5, -1, -1], [-1, 4, 3, -1, -1, 6, -1],
      [2, 2, 0, 0, 2, 0, 0], 4)),
    # the skeleton whose root keeps its single child
    ("(A,B,C);", ["B"], ([-1, 0], [0, 0], [1, -1], [-1, -1], [1, 0], 1)),
    ("((A,B),C);", ["A", "B"], ([-1, -1, 0, 1], [0, 0, 1, 1], [1, 2, -1, -1], [-1, -1, 3, -1], [1, 2, 0, 0], 2)),
    ("((A,B),C);(X);", ["A", "B", "X"],
     ([-1, -1, 0, 1], [0, 0, 1, 1], [1, 2, -1, -1], [-1, -1, 3, -1], [1, 2, 0, 0], 3)),
    # contracted
    ("((((A:1,B:2),D:3),C),E:4);", ["A", "B", "E"],
     ([-1, -1, 0, 1, 2], [0, 0, 1, 1, 0], [1, 2, -1, -1, -1], [-1, 4, 3, -1, -1], [2, 2, 0, 0, 0], 3)),
    ("((((A,B),D),C),E);(X);", ["A", "B", "E", "X"],
     ([-1, -1, 0, 1, 2], [0, 0, 1, 1, 0], [1, 2, -1, -1, -1], [-1, 4, 3, -1, -1], [2, 2, 0, 0, 0], 4)),
    # rebuilt from the root's only child; ntaxa counts the labelled nodes
    ("(((A,B),D),C);", ["A", "B"], ([-1, 0, 1], [0, 0, 0], [1, -1, -1], [-1, 2, -1], [2, 0, 0], 2)),
    ("(((A,B),D),C);(X);", ["A", "B", "X"], ([-1, 0, 1], [0, 0, 0], [1, -1, -1], [-1, 2, -1], [2, 0, 0], 2)),
    # nothing kept, or nothing of this tree
    ("(A:1.5,B:2,C:3);", [], SINGLE),
    ("(A,B);(X,Y);", ["X", "Y"], SINGLE[:-1] + (2,)),
    ("A;", ["A"], SINGLE[:-1] + (1,)),
    ("(A,,B);", ["B"], ([-1, 0], [0, 0], [1, -1], [-1, -1], [1, 0], 1)),
]


@pytest.mark.parametrize("text, taxa, expected", OUTCOMES)
def test_outcomes(text, taxa, expected):
    t = qb.Tree(text)
    before = t.__getstate__()
    r = t.restriction(taxa)
    assert arena(r) == expected
    assert r.get_taxa() == taxa
    assert t.__getstate__() == before


def test_children_come_back_in_source_index_order():
    # ((A,B),C) with the children of nodes 0 and 1 stored in reverse chain order.
    reordered = StoredTree(
        taxa=[-42, -1, 0, 1, 2], parents=[0, 0, 1, 1, 0], support=[-1.0] + [0.0] * 4, lengths=[1.0] * 5,
        firstchild=[4, 3, -1, -1, -1], nextsib=[-1, -1, -1, 2, 1], childcount=[2, 2, 0, 0, 0], ntaxa=3)
    t = qb.Tree("(X,Y);")
    t.__setstate__(encode_single_tree(StoredTaxa.of("ABC"), reordered))
    assert t.newick() == "(C,(B,A));"
    r = t.restriction(["A", "B", "C"])
    assert arena(r) == arena(qb.Tree("((A,B),C);").restriction(["A", "B", "C"]))
    assert r.newick() == "((A,B),C);"


def test_new_taxon_set_follows_the_list():
    # The view forms are the C++ tests' (ViewRestriction); here the single tree.
    t = qb.Tree("((A,B),D);")
    assert t.restriction(("D", "A")).get_taxa() == ["D", "A"]
    assert t.restriction(["A", "A"]).get_taxa() == ["A"]


def sets_over(names):
    text = "(" + ",".join(names) + ");"
    return [qb.Tree(text), qb.TreeSet(text), qb.TopologySet(text)]


MANY = [f"t{i}" for i in range(50)]
WITHOUT_7_AND_31 = {n: n.upper() for n in MANY if n not in ("t7", "t31")} | {"x": "X", "y": "Y"}

ERRORS = [
    ("restriction", ["A", "B"], ["A", "X", "Y"], "Taxon 'X' not found in tree"),
    ("restriction", ["A", "B"], ["A", ""], "Taxon '' not found in tree"),
    ("remap", ["A", "B"], {"A": "X", "B": "X"}, "Mapping is not one-to-one (multiple taxa mapped to same name)"),
    ("remap", ["A", "B"], {"A": "X", "C": "Y"}, "No mapping provided for taxon 'B'"),
    ("remap", ["A", "B"], {"A": "X"}, "Mapping must contain exactly one entry for each taxon"),
    ("remap", ["A", "B"], {"A": "X", "B": "Y", "C": "Z"}, "Mapping must contain exactly one entry for each taxon"),
    ("remap", ["A", "B"], {}, "Mapping must contain exactly one entry for each taxon"),
    # several taxa lack an entry: the first in id order is named, on every run
    ("remap", MANY, WITHOUT_7_AND_31, "No mapping provided for taxon 't7'"),
    # the count is checked before the names, the names before the images
    ("remap", ["A", "B"], {"C": "X"}, "Mapping must contain exactly one entry for each taxon"),
    ("remap", ["A", "B"], {"C": "X", "D": "X"}, "No mapping provided for taxon 'A'"),
]


@pytest.mark.parametrize("method, names, arg, message", ERRORS)
def test_error_texts(method, names, arg, message):
    for obj in sets_over(names):
        if not hasattr(obj, method):
            continue  # restriction: Tree and TopologySet only
        before = obj.__getstate__()
        with pytest.raises(ValueError) as info:
            getattr(obj, method)(arg)
        assert str(info.value) == message
        assert obj.__getstate__() == before


def test_remap_of_an_item_needs_the_whole_taxon_set():
    item = qb.TreeSet("(A,B);(C,D);")[0]
    with pytest.raises(ValueError, match=r"^Mapping must contain exactly one entry for each taxon$"):
        item.remap({"A": "a", "B": "b"})
    assert item.remap({"A": "a", "B": "b", "C": "c", "D": "d"}).newick() == "(a,b);"


@pytest.mark.parametrize("cls", [qb.TreeSet, qb.TopologySet])
def test_remap_keeps_the_class(cls):
    # Shared trees, kept ids and flag are the C++ view test's (ViewRemap).
    s = cls("((A:1,B:2),C);(C,A);")
    assert type(s.remap({"A": "B", "B": "A", "C": "c"})) is cls
    assert s.newick() == cls("((A:1,B:2),C);(C,A);").newick()
    assert qb.TreeSet([]).remap({}).ntaxa == 0


def test_tree_remap():
    t = qb.Tree("((A,B),C);")
    r = t.remap({"A": "x", "B": "y", "C": "z"})
    assert r.newick() == "((x,y),z);" and r.get_taxa() == ["x", "y", "z"]
    assert decode_single_tree(r.__getstate__())[1] == decode_single_tree(t.__getstate__())[1]
    assert t.get_taxa() == ["A", "B", "C"]
    assert qb.Tree.remap.__doc__ == qb.TreeSet.remap.__doc__ == "Relabels taxa according to the provided mapping"


def loop_tree():
    """Leaves of kept taxa under a dropped node whose parent links loop."""
    return StoredTree(
        taxa=[-42, 0, 1, -1, -1], parents=[0, 3, 3, 4, 3], support=[0.0] * 5, lengths=[0.0] * 5,
        firstchild=[-1, -1, -1, 1, 3], nextsib=[-1, 2, -1, -1, -1], childcount=[0, 0, 0, 2, 1], ntaxa=2)


@pytest.mark.parametrize("parents, text", [
    ([0, 3, 3, 4, 3], "malformed tree: node links do not form a tree"),
    ([0, 3, 3, 9, 3], "index out of bounds: the len is 5 but the index is 9"),
])
def test_broken_stored_trees_stop_with_a_panic(parents, text):
    broken = loop_tree()
    broken.parents = parents
    t = qb.Tree("(X,Y);")
    t.__setstate__(encode_single_tree(StoredTaxa.of("AB"), broken))
    s = qb.TopologySet("(X,Y);")
    s.__setstate__(encode_tree_view(StoredView(StoredTaxa.of("AB"), [broken], False)))
    for obj in (t, s):
        with raises_panic(text):
            obj.restriction(["A", "B"])
        assert obj.remap({"A": "B", "B": "A"}).ntaxa == 2  # renaming never reads the trees


DEEP = 1_000_000


def test_deep_caterpillar():
    t = qb.Tree(caterpillar_newick(DEEP))
    assert t.restriction(["t0", f"t{DEEP - 1}"]).newick() == f"(t0,t{DEEP - 1});"
    evens = [f"t{i}" for i in range(0, DEEP, 2)]
    r = t.restriction(evens)
    assert r.get_taxa() == evens
    assert r.newick() == "(" * (len(evens) - 1) + evens[0] + "," + "),".join(evens[1:]) + ");"
    renamed = t.remap({f"t{i}": f"u{i}" for i in range(DEEP)})
    assert renamed.newick() == caterpillar_newick(DEEP).replace("t", "u")
    s = qb.TopologySet(caterpillar_newick(DEEP))
    assert s.restriction(evens).newick() == "(" * (len(evens) - 1) + f"{evens[0]}:0," + "):0,".join(
        f"{e}:0" for e in evens[1:]) + ");"


# --- restriction against the clusters it must keep, over random trees

def random_newick(rng, names):
    """A random tree over `names` (some leaves unlabelled, some nodes with one child)
    and the leaf names under each of its inner nodes."""
    nodes = [(n, frozenset([n])) for n in names] + [("", frozenset())] * rng.randrange(3)
    clusters = []
    while len(nodes) > 1:
        k = min(len(nodes), rng.choice([1, 2, 2, 2, 3]))
        rng.shuffle(nodes)
        group, nodes = nodes[:k], nodes[k:]
        joined = frozenset().union(*(c for _, c in group))
        clusters.append(joined)
        nodes.append(("(" + ",".join(t for t, _ in group) + ")", joined))
    return nodes[0][0] + ";", clusters


def leaf_sets(tree):
    """Leaf names under each inner node of a restricted Tree, from its arena."""
    names, t = decode_single_tree(tree.__getstate__())
    under = [set() for _ in t.taxa]
    for v in range(len(t.taxa) - 1, -1, -1):  # parents come before children
        if t.childcount[v] == 0 and t.taxa[v] >= 0:
            under[v].add(names.names[t.taxa[v]])
        if v:
            under[t.parents[v]] |= under[v]
    return {frozenset(under[v]) for v in range(len(t.taxa)) if t.childcount[v]}, t


def test_random_trees_keep_exactly_the_induced_clusters():
    rng = random.Random(8)
    for _ in range(300):
        names = [f"n{i}" for i in range(rng.randrange(1, 12))]
        text, clusters = random_newick(rng, names)
        keep = rng.sample(names, rng.randrange(len(names) + 1))
        got, t = leaf_sets(qb.Tree(text).restriction(keep))
        induced = {c & set(keep) for c in clusters if len(c & set(keep)) >= 2} | {frozenset(keep)}
        one_node = not text.startswith("(")  # its root is never carried
        if keep and not one_node:
            assert got == induced, (text, keep)
        assert all(t.childcount[v] != 1 for v in range(1, len(t.taxa)))
        labelled = sorted(x for v, x in enumerate(t.taxa) if t.childcount[v] == 0 and x >= 0)
        assert labelled == ([] if one_node else list(range(len(keep))))


# Extra trees only add names to the taxon set: X labels no leaf of the first tree.
@pytest.mark.parametrize("text, taxa, parents, labels, ntaxa", [
    # the skeleton, the root keeping a single child or not: ntaxa counts the kept ids
    ("((A,B),(C,D));", ["A", "B", "C", "D"], [0, 0, 1, 1, 0, 4, 4], [-1, -1, 0, 1, -1, 2, 3], 4),
    ("(A,B,C);", ["B"], [0, 0], [-1, 0], 1),
    ("((A,B),C);(X);", ["A", "B", "X"], [0, 0, 1, 1], [-1, -1, 0, 1], 3),
    # contracted
    ("((((A:1,B:2),D:3),C),E:4);(X);", ["A", "B", "E", "X"], [0, 0, 1, 1, 0], [-1, -1, 0, 1, 2], 4),
    # rebuilt from the root's only child: ntaxa counts the labelled nodes
    ("(((A,B),D),C);(X);", ["A", "B", "X"], [0, 0, 0], [-1, 0, 1], 2),
    # nothing kept, or nothing of this tree
    ("(A:1.5,B:2,C:3);", [], [0], [-1], 0),
    ("A;", ["A"], [0], [-1], 1),
    # the new taxon set follows the list, repeats dropped
    ("((A,B),D);", ["D", "A", "A"], [0, 0, 0], [-1, 1, 0], 2),
])
def test_outcomes_hold_their_chains_in_index_order(text, taxa, parents, labels, ntaxa):
    r = qb.Tree(text).restriction(taxa)
    _, t = decode_single_tree(r.__getstate__())
    assert (t.parents, t.taxa, t.ntaxa, r.get_taxa()) == (parents, labels, ntaxa, list(dict.fromkeys(taxa)))
    assert t.support == t.lengths == [0.0] * len(t.taxa) and not t.fake_root
    for v in range(len(t.taxa)):  # every chain holds its node's children in index order
        kids = [c for c in range(1, len(t.taxa)) if t.parents[c] == v]
        assert [t.firstchild[v]] + [t.nextsib[c] for c in kids] == kids + [-1] and t.childcount[v] == len(kids)


@pytest.mark.parametrize("method, text, arg, message", [
    ("restriction", "(A,B);", ["A", "X", "Y"], "Taxon 'X' not found in tree"),
    ("remap", "(A,B);", {"A": "X", "B": "X"}, "Mapping is not one-to-one (multiple taxa mapped to same name)"),
    ("remap", "(A,B);", {"A": "X", "C": "Y"}, "No mapping provided for taxon 'B'"),
    ("remap", "(A,B);", {"A": "X"}, "Mapping must contain exactly one entry for each taxon"),
    ("remap", "(A,B);", {"A": "X", "B": "Y", "C": "Z"}, "Mapping must contain exactly one entry for each taxon"),
    # several taxa lack an entry: the first in id order is named, on every run
    ("remap", f"({','.join(f't{i}' for i in range(50))});",
     {f"t{i}": f"T{i}" for i in range(50) if i not in (7, 31)} | {"x": "X", "y": "Y"},
     "No mapping provided for taxon 't7'"),
    # the count is checked before the names, the names before the images
    ("remap", "(A,B);", {"C": "X"}, "Mapping must contain exactly one entry for each taxon"),
    ("remap", "(A,B);", {"C": "X", "D": "X"}, "No mapping provided for taxon 'A'"),
    # an item of a set (and a tree read from several) needs an entry for every taxon of the set
    ("remap", "(A,B);(C,D);", {"A": "a", "B": "b"}, "Mapping must contain exactly one entry for each taxon"),
])
@pytest.mark.parametrize("cls", [qb.Tree, qb.TreeSet, qb.TopologySet])
def test_error_texts_of_each_class(cls, method, text, arg, message):
    obj = cls(text)
    if hasattr(obj, method):  # restriction: Tree and TopologySet only
        with pytest.raises(ValueError) as info:
            getattr(obj, method)(arg)
        assert str(info.value) == message


@pytest.mark.parametrize("cls", [qb.Tree, qb.TreeSet, qb.TopologySet])
def test_remap_keeps_the_class_and_the_trees(cls):
    r = cls("((A:1,B:2),C);").remap({"A": "x", "B": "y", "C": "z"})
    assert type(r) is cls and r.newick() == cls("((x:1,y:2),z);").newick()
