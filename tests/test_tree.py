import pytest

import quorbelin as qb
from state import Tree as StoredTree, TaxonSet as StoredTaxa, encode_single_tree
from support import raises_panic


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
