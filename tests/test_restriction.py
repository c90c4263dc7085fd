# Restriction to a subset of taxa and renaming of taxa, through Tree, TreeSet and TopologySet.
import pytest

import quorbelin as qb
from state import decode_single_tree


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
def test_outcomes(text, taxa, parents, labels, ntaxa):
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
def test_error_texts(cls, method, text, arg, message):
    obj = cls(text)
    if hasattr(obj, method):  # restriction: Tree and TopologySet only
        with pytest.raises(ValueError) as info:
            getattr(obj, method)(arg)
        assert str(info.value) == message


@pytest.mark.parametrize("cls", [qb.Tree, qb.TreeSet, qb.TopologySet])
def test_remap_keeps_the_class_and_the_trees(cls):
    r = cls("((A:1,B:2),C);").remap({"A": "x", "B": "y", "C": "z"})
    assert type(r) is cls and r.newick() == cls("((x:1,y:2),z);").newick()
