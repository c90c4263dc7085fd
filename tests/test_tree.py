import pytest

import quorbelin as qb
from state import Tree as StoredTree, TaxonSet as StoredTaxa, decode_single_tree, encode_single_tree, star
from support import raises_panic


def tree_from_state(names, tree):
    t = qb.Tree("(X,Y);")
    t.__setstate__(encode_single_tree(StoredTaxa.of(names), tree))
    return t


def test_two_leaves():
    t = qb.Tree("(A,B);")
    assert t.to_newick() == t.newick() == str(t) == "(A,B);"
    assert repr(t) == "SingleTree('(A,B);')"
    assert t.ntaxa == 2 and len(t) == 3
    assert t.get_taxa() == ["A", "B"]
    assert t.get_taxa() is not t.get_taxa()


@pytest.mark.parametrize(
    "text, out",
    [
        ("((A:1.5,B:2):0.5,D);", "((A,B),D);"),
        ("(A:1.5,B:2)C:0.5;", "(A,B);"),
        ("((A:1,B:2)95:0.3,C:4);", "((A,B),C);"),
    ],
)
def test_text_forms_never_write_lengths(text, out):
    t = qb.Tree(text)
    assert t.to_newick() == out
    assert repr(t) == f"SingleTree('{out}')"


def test_only_the_first_tree_is_kept():
    t = qb.Tree("(A,B);(D,E);")
    assert t.newick() == "(A,B);"
    assert t.ntaxa == 4 and t.get_taxa() == ["A", "B", "D", "E"]
    assert t.get_taxon_name(3) == "E"
    assert len(t) == 3
    assert t.taxon_set.names() == ["A", "B", "D", "E"]


def test_get_taxon_name():
    t = qb.Tree("(A,(B,C));")
    assert [t.get_taxon_name(i) for i in range(4)] == ["A", "B", "C", None]


def test_distance_matrix_shares_the_taxon_set():
    t = qb.Tree("((A,B),C);")
    m = t.get_distance_matrix()
    assert type(m) is qb.DistanceMatrix and m.ntaxa == 3
    assert [m.get(0, 1), m.get(0, 2), m.get(1, 2)] == [2.0, 3.0, 3.0]
    assert m.taxon_set.names() == t.get_taxa()


def test_item_of_a_set_holds_the_whole_taxon_set():
    ts = qb.TreeSet("(A,B);(C,D);")
    t = ts[1]
    assert t.ntaxa == 4 and t.get_taxa() == ["A", "B", "C", "D"]
    assert t.newick() == "(C,D);"
    with raises_panic("index out of bounds: the len is 1 but the index is 1"):
        t.get_distance_matrix()
    names, stored = decode_single_tree(t.__getstate__())
    assert names.names == ["A", "B", "C", "D"] and stored.taxa == [-42, 2, 3]


@pytest.mark.parametrize("text", ["(,A);", "();", "(A,(,));"])
def test_unlabelled_leaf_is_written_as_an_empty_label(text):
    t = qb.Tree(text)
    for write in (t.to_newick, t.newick, lambda: str(t)):
        assert write() == text
    assert repr(t) == f"SingleTree('{text}')"
    assert len(t) > 1


def test_a_comment_alone_is_a_root_leaf_without_taxon():
    t = qb.Tree("[only a comment]")
    assert len(t) == 1 and t.ntaxa == 0
    assert t.to_newick() == ";"
    assert t.get_distance_matrix().ntaxa == 0


def test_fake_root_length():
    t = tree_from_state(["A", "B"], star([0, 1], fake_root=True))
    assert len(t) == 2
    assert t.newick() == "(A,B);"
    empty = StoredTree([], [], [], [], [], [], [], fake_root=True, ntaxa=0)
    t = tree_from_state([], empty)
    with pytest.raises(OverflowError):
        len(t)


def test_read_only_and_closed():
    t = qb.Tree("(A,B);")
    for name in ("ntaxa", "taxon_set"):
        with pytest.raises(AttributeError):
            setattr(t, name, 1)
    with pytest.raises(AttributeError):
        t.extra = 1


def test_text_forms_counts_and_names():
    # The first tree only, over the names of every tree; its texts never hold lengths.
    t = qb.Tree("((A:1.5,B:2)95:0.5,C);(D,E);")
    assert t.to_newick() == t.newick() == str(t) == "((A,B),C);"
    assert repr(t) == "SingleTree('((A,B),C);')"
    assert (t.ntaxa, len(t), t.taxon_set.names()) == (5, 5, ["A", "B", "C", "D", "E"])
    assert t.get_taxa() == ["A", "B", "C", "D", "E"] and t.get_taxa() is not t.get_taxa()
    assert (t.get_taxon_name(4), t.get_taxon_name(5)) == ("E", None)
    m = t.get_distance_matrix()
    assert (m.ntaxa, m.get(0, 2), m.taxon_set.names()) == (3, 3.0, t.get_taxa())
    # An item of a set keeps the set's ids, which pass its own count of taxa.
    with raises_panic("index out of bounds: the len is 1 but the index is 1"):
        qb.TreeSet("(A,B);(C,D);")[1].get_distance_matrix()


@pytest.mark.parametrize("text, nodes, written", [("(,A);", 3, "(,A);"), ("[only a comment]", 1, ";")])
def test_a_leaf_without_taxon_is_written_as_an_empty_label(text, nodes, written):
    t = qb.Tree(text)
    assert [write() for write in (t.to_newick, t.newick, lambda: str(t))] == [written] * 3
    assert (repr(t), len(t)) == (f"SingleTree('{written}')", nodes)


def test_length_of_an_empty_tree_with_a_fake_root():
    t = qb.Tree("(X,Y);")
    t.__setstate__(encode_single_tree(StoredTaxa.of([]), StoredTree([], [], [], [], [], [], [], fake_root=True)))
    with pytest.raises(OverflowError):
        len(t)
