# TreeSet and TopologySet (refusal texts: test_frame's table).
import pytest

import quorbelin as qb
from state import TaxonSet as StoredTaxa, decode_single_tree, decode_tree_view, encode_single_tree, star

THREE = "(A:1,B:2);\n((A,C):0.5,B);\n(C,(B,A:0.25));"
OUT = ["(A:1,B:2);", "((A:0,C:0):0.5,B:0);", "(C:0,(B:0,A:0.25):0);"]
flag = lambda s: decode_tree_view(s.__getstate__()).topology_only  # noqa: E731


@pytest.mark.parametrize("cls", [qb.TreeSet, qb.TopologySet])
def test_set(cls):
    three, name = cls(type("Text", (str,), {})(THREE)), cls.__name__  # a str subclass is text
    assert (len(three), three.ngenes, three.ntaxa, str(three)) == (3, 3, 3, f"{name} with 3 trees, 3 taxa")
    assert three.to_newick_vec() == OUT and three.to_newick_string() == three.newick() == "\n".join(OUT)
    assert repr(three) == f"{name}('" + "\n".join(OUT) + "')" and flag(three) is (cls is qb.TopologySet)
    assert [(type(t), t.newick()) for t in three] == [(qb.Tree, three[k].newick()) for k in (0, True, 2)] == [
        (qb.Tree, "(A,B);"), (qb.Tree, "((A,C),B);"), (qb.Tree, "(C,(B,A));")]
    part = three.slice(1, 3)
    assert type(part) is cls and part.to_newick_vec() == OUT[1:] and part.ntaxa == 3 and flag(part) is flag(three)
    assert three.slice(start=0, end=0).ngenes == three.slice(3, 3).ngenes == 0 and three[2].ntaxa == 3
    assert [three.get_taxon_name(i) for i in range(4)] == ["A", "B", "C", None] and three.get_taxon_name(id=1) == "B"
    m = three.get_distance_matrix(1)  # ((A,C),B), in edges
    assert type(m) is qb.DistanceMatrix and (m.ntaxa, m.get(0, 1), m.get(0, 2), m.get(1, 2)) == (3, 3.0, 2.0, 3.0)
    assert three.get_distance_matrix(index=3) is None and three.get_distance_matrix(2**64 - 1) is None
    a, b = three.taxon_set, three.taxon_set  # a new handle per read, equal by identity only
    assert a is not b and a != b and a == a and len({a, b}) == 2 and a.names() == ["A", "B", "C"]
    assert all(pytest.raises(AttributeError, setattr, three, a, 1) for a in ("ngenes", "ntaxa", "taxon_set", "extra"))
    if cls is qb.TreeSet:  # a view of the same trees; its stored form keeps the plain flag
        assert (type(t := three.as_topology()), str(t), t.__getstate__()) == (
            qb.TopologySet, "TopologySet with 3 trees, 3 taxa", three.__getstate__())


def item(names, leaves, to_id=None):  # a Tree over a star of `leaves`, its taxon set parsed or stored
    tree = qb.Tree("(X,Y);")
    tree.__setstate__(encode_single_tree(StoredTaxa.of(names) if to_id is None else StoredTaxa(to_id, names, 1),
                                         star(leaves)))
    return tree


SHARED = qb.TreeSet("(C,B);(A,C);")  # its items share one taxon set: C=0, B=1, A=2
# The list form: names enter item by item, each item's in byte order (also names its tree lacks),
# known names keep their id; leaves are renumbered, markers and ids without a name left alone.
MERGES = [
    ([], [], []),
    ([item("CA", [0, 1]), item("DCB", [0, 1, 2])], ["A", "C", "B", "D"], [[-42, 1, 0], [-42, 3, 1, 2]]),
    ([item("BA", [7, 0, -1])], ["A", "B"], [[-42, 7, 1, -1]]),
    ([item(["a", "B", "AB", "A"], [0, 1, 2, 3])], ["A", "AB", "B", "a"], [[-42, 3, 2, 1, 0]]),
    ([SHARED[0], item("DA", [0, 1]), SHARED[1]], ["A", "B", "C", "D"], [[-42, 2, 1], [-42, 3, 0], [-42, 0, 2]]),
    # stored: ids far apart, two names on one id (the later name wins); an id of 2^64 - 1 is the marker -1
    ([item("A", [2**30, 5, 4, -1], [("A", 5), ("B", 5), ("X", 2**30)])], ["A", "B", "X"], [[-42, 2, 1, 4, -1]]),
    ([item("A", [-1, 0], [("A", 2**64 - 1)])], ["A"], [[-42, 0, 0]]),
]


@pytest.mark.parametrize("trees,names,taxa", MERGES)
def test_list_form(trees, names, taxa):
    merged = decode_tree_view(qb.TreeSet(trees).__getstate__())
    assert (merged.taxon_set.names, merged.taxon_set.last, merged.topology_only) == (names, len(names), False)
    assert [t.taxa for t in merged.trees] == taxa
    assert [t.ntaxa for t in merged.trees] == [decode_single_tree(t.__getstate__())[1].ntaxa for t in trees]
    # items are read from the list itself, never through __iter__
    assert (qb.TreeSet(type("Trees", (list,), {"__iter__": None})(trees)).__getstate__()
            == qb.TreeSet(trees).__getstate__())
    assert trees or (str(qb.TreeSet([])), repr(qb.TreeSet([]))) == ("TreeSet with 0 trees, 0 taxa", "TreeSet('')")
