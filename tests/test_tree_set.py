# TreeSet and TopologySet (refusal texts: test_frame's table).
import pytest

import quorbelin as qb
from state import decode_tree_view, raises_panic

THREE = "(A:1,B:2);\n((A,C):0.5,B);\n(C,(B,A:0.25));"
OUT = ["(A:1,B:2);", "((A:0,C:0):0.5,B:0);", "(C:0,(B:0,A:0.25):0);"]
flag = lambda s: decode_tree_view(s.__getstate__()).topology_only  # noqa: E731


@pytest.mark.parametrize("cls", [qb.TreeSet, qb.TopologySet])
def test_set(cls):
    three, name = cls(type("Text", (str,), {})(THREE)), cls.__name__  # a str subclass is text
    assert (len(three), three.ngenes, three.ntaxa, str(three)) == (3, 3, 3, f"{name} with 3 trees, 3 taxa")
    assert three.to_newick_vec() == OUT and three.to_newick_string() == three.newick() == "\n".join(OUT)
    assert repr(three) == f"{name}('" + "\n".join(OUT) + "')" and flag(three) is (cls is qb.TopologySet)
    items = [three[0], three[1], three[2]]
    assert all(type(t) is qb.Tree and t.ntaxa == 3 for t in items) and three[True].newick() == "((A,C),B);"
    assert [t.newick() for t in three] == [t.newick() for t in items] == ["(A,B);", "((A,C),B);", "(C,(B,A));"]
    part = three.slice(1, 3)
    assert type(part) is cls and part.to_newick_vec() == OUT[1:] and part.ntaxa == 3 and flag(part) is flag(three)
    assert three.slice(start=0, end=0).ngenes == three.slice(3, 3).ngenes == 0
    assert [three.get_taxon_name(i) for i in range(4)] == ["A", "B", "C", None] and three.get_taxon_name(id=1) == "B"
    m = three.get_distance_matrix(1)  # ((A,C),B)
    assert type(m) is qb.DistanceMatrix and (m.ntaxa, m.get(0, 1), m.get(0, 2), m.get(1, 2)) == (3, 3.0, 2.0, 3.0)
    assert three.get_distance_matrix(index=3) is None and three.get_distance_matrix(2**64 - 1) is None
    a, b = three.taxon_set, three.taxon_set
    assert a is not b and a != b and a == a and len({a, b}) == 2 and a.names() == ["A", "B", "C"]
    for attr in ("ngenes", "ntaxa", "taxon_set", "extra"):
        with pytest.raises(AttributeError):
            setattr(three, attr, 1)
    # counts are of the whole taxon set; a tree with ids beyond its own size has no matrix
    parts = cls("(A,B);(C,D);(E,F);")
    assert parts.slice(0, 1).ntaxa == parts.slice(1, 1).ntaxa == 6 and len(parts.slice(1, 1)) == 0
    assert parts.get_distance_matrix(0).get(0, 1) == 2.0
    with raises_panic("index out of bounds: the len is 1 but the index is 1"):
        parts.get_distance_matrix(1)
    topo = three.as_topology() if cls is qb.TreeSet else three.slice(0, 3)
    kept = (three.slice(0, 2), three[2], three.taxon_set, topo, three.get_distance_matrix(0))
    three.__setstate__(cls("(X,Y);").__getstate__())
    del three  # what was taken from the set outlives it
    assert kept[0].to_newick_vec() == OUT[:2] and kept[1].newick() == "(C,(B,A));" and kept[3].ngenes == 3
    assert kept[2].names() == ["A", "B", "C"] and kept[4].get_by_name("A", "B") == 2.0


def test_as_topology_shares_the_trees_and_sets_the_flag():
    ts = qb.TreeSet(THREE)
    topo, built = ts.as_topology(), qb.TopologySet(THREE)
    assert type(topo) is qb.TopologySet and str(topo) == "TopologySet with 3 trees, 3 taxa"
    assert (len(topo), topo.ntaxa, topo.newick()) == (len(ts), ts.ntaxa, ts.newick())
    assert topo.__getstate__() == ts.__getstate__() == built.__getstate__()[:-1] + b"\x00"
    assert built.__getstate__()[-1:] == b"\x01"


@pytest.mark.parametrize("trees", [[], type("Trees", (list,), {"__iter__": None})([qb.Tree("(A,B);")])])
def test_list_form(trees):  # items are read from the list itself, never through __iter__
    ts = qb.TreeSet(trees)
    assert (str(ts), repr(ts)) == ((f"TreeSet with {len(trees)} trees, {2 * len(trees)} taxa"),
                                   "TreeSet('" + "(A:0,B:0);" * len(trees) + "')")
    assert ts.to_newick_vec() == ["(A:0,B:0);"] * len(trees) and ts.ntaxa == 2 * len(trees)
