import pytest

import quorbelin as qb
from state import TaxonSet as StoredTaxa, decode_single_tree, decode_tree_view, encode_single_tree, star
from support import GENES, SPECIES, MSCTopologySet, raises_panic

SET_CLASSES = [qb.TreeSet, qb.TopologySet]
THREE = "(A:1,B:2);\n((A,C):0.5,B);\n(C,(B,A:0.25));"
THREE_OUT = ["(A:1,B:2);", "((A:0,C:0):0.5,B:0);", "(C:0,(B:0,A:0.25):0);"]


@pytest.fixture(params=SET_CLASSES, ids=lambda c: c.__name__)
def cls(request):
    return request.param


@pytest.fixture
def three(cls):
    return cls(THREE)


# ---- construction ----------------------------------------------------------


@pytest.mark.parametrize("text", ["", " ; ;\n"])  # the cases of the text are the reader's (C++)
def test_text_without_trees(cls, text):
    with pytest.raises(ValueError, match=r"^No valid trees found in input string$"):
        cls(text)


def test_text_forms(cls, three):
    name = cls.__name__
    assert len(three) == 3 and three.ngenes == 3 and three.ntaxa == 3
    assert str(three) == f"{name} with 3 trees, 3 taxa"
    assert three.to_newick_vec() == THREE_OUT
    assert three.to_newick_string() == "\n".join(THREE_OUT)
    assert three.newick() == three.to_newick_string()
    assert repr(three) == f"{name}('" + "\n".join(THREE_OUT) + "')"


def test_counts_are_of_the_whole_taxon_set(cls):
    ts = cls("(A,B);(C,D);(E,F);")
    assert ts.ntaxa == 6
    assert ts.slice(0, 1).ntaxa == 6
    assert ts.slice(1, 1).ntaxa == 6 and len(ts.slice(1, 1)) == 0
    assert ts.get_taxon_name(5) == "F" and ts.get_taxon_name(6) is None


def test_str_subclass_is_text(cls):
    class Text(str):
        pass

    assert cls(Text("(A,B);")).newick() == "(A:0,B:0);"


@pytest.mark.parametrize("arg", [("tuple",), 1, None, b"(A,B);", 1.5, {"a": 1}, "\ud800"])
def test_tree_set_refuses_other_arguments(arg):
    if arg == ("tuple",):
        arg = (qb.Tree("(A,B);"),)
    with pytest.raises(ValueError, match=r"^Argument must be either a Newick string or a list of Tree objects$"):
        qb.TreeSet(arg)


def test_tree_set_refuses_a_single_tree():
    with pytest.raises(ValueError, match=r"^Argument must be either a Newick string or a list of Tree objects$"):
        qb.TreeSet(qb.Tree("(A,B);"))


@pytest.mark.parametrize(
    "bad, type_name",
    [(1, "int"), ("(A,B);", "str"), (None, "NoneType"), ("set", "TreeSet"), ("matrix", "DistanceMatrix")],
)
def test_list_item_not_a_tree(bad, type_name):
    if bad == "set":
        bad = qb.TreeSet("(A,B);")
    elif bad == "matrix":
        bad = qb.Tree("(A,B);").get_distance_matrix()
    with pytest.raises(TypeError) as info:
        qb.TreeSet([qb.Tree("(A,B);"), bad])
    assert str(info.value) == f"'{type_name}' object cannot be converted to 'Tree'"


# ---- the list form ---------------------------------------------------------


def test_empty_list():
    ts = qb.TreeSet([])
    assert str(ts) == "TreeSet with 0 trees, 0 taxa"
    assert repr(ts) == "TreeSet('')"
    assert ts.to_newick_string() == "" and ts.to_newick_vec() == []
    assert len(ts) == 0 and ts.ntaxa == 0 and list(ts) == []


def test_list_form_accepts_list_subclasses():
    class Trees(list):
        def __iter__(self):  # not used: the items are read from the list itself
            raise AssertionError

    ts = qb.TreeSet(Trees([qb.Tree("(A,B);")]))
    assert ts.newick() == "(A:0,B:0);"


# ---- attributes, indexing, slicing -----------------------------------------


def test_attributes_are_read_only(three):
    for name in ("ngenes", "ntaxa", "taxon_set"):
        with pytest.raises(AttributeError):
            setattr(three, name, 1)
    with pytest.raises(AttributeError):
        three.extra = 1


def test_taxon_set_attribute(three):
    a, b = three.taxon_set, three.taxon_set
    assert a is not b and a.names() == b.names() == ["A", "B", "C"]
    assert three.get_taxon_name(three.ntaxa) is None


def test_items(cls, three):
    items = [three[0], three[1], three[2]]
    assert all(type(t) is qb.Tree for t in items)
    assert [t.newick() for t in items] == ["(A,B);", "((A,C),B);", "(C,(B,A));"]
    assert [t.newick() for t in three] == [t.newick() for t in items]
    assert [t.ntaxa for t in three] == [3, 3, 3]
    assert three[True].newick() == items[1].newick()


def test_item_failures(three):
    with pytest.raises(IndexError) as info:
        three[3]
    assert str(info.value) == "Tree index 3 out of bounds. Valid range: 0..3"
    with pytest.raises(OverflowError):
        three[-1]
    with pytest.raises(TypeError):
        three[0:2]
    with pytest.raises(TypeError):
        three["0"]


def test_slice(cls, three):
    part = three.slice(1, 3)
    assert type(part) is cls
    assert part.to_newick_vec() == THREE_OUT[1:]
    assert part.ntaxa == 3
    assert three.slice(start=0, end=0).ngenes == 0
    assert three.slice(3, 3).ngenes == 0
    assert decode_tree_view(part.__getstate__()).topology_only == (cls is qb.TopologySet)


# ---- matrices and names ----------------------------------------------------


def test_get_distance_matrix(three):
    m = three.get_distance_matrix(1)
    assert type(m) is qb.DistanceMatrix
    assert m.ntaxa == 3
    assert [m.get(0, 1), m.get(0, 2), m.get(1, 2)] == [3.0, 2.0, 3.0]  # ((A,C),B)
    assert three.get_distance_matrix(index=3) is None
    assert three.get_distance_matrix(2**64 - 1) is None
    with pytest.raises(OverflowError):
        three.get_distance_matrix(-1)


def test_matrix_of_a_tree_with_ids_beyond_its_size(cls):
    ts = cls("(A,B);(C,D);")
    assert ts.get_distance_matrix(0).get(0, 1) == 2.0
    with raises_panic("index out of bounds: the len is 1 but the index is 1"):
        ts.get_distance_matrix(1)


def test_get_taxon_name(three):
    assert [three.get_taxon_name(i) for i in range(4)] == ["A", "B", "C", None]
    assert three.get_taxon_name(id=1) == "B"


# ---- topology views --------------------------------------------------------


def test_as_topology_shares_and_keeps_the_flag():
    ts = qb.TreeSet(THREE)
    topo = ts.as_topology()
    assert type(topo) is qb.TopologySet
    assert (len(topo), topo.ntaxa, topo.newick()) == (len(ts), ts.ntaxa, ts.newick())
    assert str(topo) == "TopologySet with 3 trees, 3 taxa"
    assert topo.__getstate__() == ts.__getstate__()
    built = qb.TopologySet(THREE)
    assert built.__getstate__() != topo.__getstate__()
    assert built.__getstate__()[:-1] == topo.__getstate__()[:-1]
    assert built.__getstate__()[-1:] == b"\x01" and topo.__getstate__()[-1:] == b"\x00"


def test_only_tree_set_has_as_topology():
    assert not hasattr(qb.TopologySet, "as_topology")
    assert hasattr(qb.TreeSet, "as_topology")


def test_same_text_same_trees_in_both_classes():
    a, b = qb.TreeSet(THREE), qb.TopologySet(THREE)
    assert a.to_newick_vec() == b.to_newick_vec()
    sa, sb = decode_tree_view(a.__getstate__()), decode_tree_view(b.__getstate__())
    assert sa.trees == sb.trees and sa.taxon_set == sb.taxon_set
    assert (sa.topology_only, sb.topology_only) == (False, True)


def test_derived_objects_outlive_the_set(cls):
    ts = cls(THREE)
    part, item, names = ts.slice(0, 2), ts[2], ts.taxon_set
    topo = ts.as_topology() if cls is qb.TreeSet else ts.slice(0, 3)
    matrix = ts.get_distance_matrix(0)
    ts.__setstate__(cls("(X,Y);").__getstate__())
    del ts
    assert part.to_newick_vec() == THREE_OUT[:2]
    assert item.newick() == "(C,(B,A));"
    assert names.names() == ["A", "B", "C"]
    assert topo.ngenes == 3
    assert matrix.get_by_name("A", "B") == 2.0


flag = lambda s: decode_tree_view(s.__getstate__()).topology_only  # noqa: E731


@pytest.mark.parametrize("cls", [qb.TreeSet, qb.TopologySet])
def test_set(cls):
    three, name = cls(type("Text", (str,), {})(THREE)), cls.__name__  # a str subclass is text
    assert (len(three), three.ngenes, three.ntaxa, str(three)) == (3, 3, 3, f"{name} with 3 trees, 3 taxa")
    assert three.to_newick_vec() == THREE_OUT and three.to_newick_string() == three.newick() == "\n".join(THREE_OUT)
    assert repr(three) == f"{name}('" + "\n".join(THREE_OUT) + "')" and flag(three) is (cls is qb.TopologySet)
    assert [(type(t), t.newick()) for t in three] == [(qb.Tree, three[k].newick()) for k in (0, True, 2)] == [
        (qb.Tree, "(A,B);"), (qb.Tree, "((A,C),B);"), (qb.Tree, "(C,(B,A));")]
    part = three.slice(1, 3)
    assert type(part) is cls and part.to_newick_vec() == THREE_OUT[1:] and part.ntaxa == 3 and flag(part) is flag(three)
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


# A slice checks its order before its end: a start after the end is reported also when the end is past the
# length too; each check alone has its own text.
@pytest.mark.parametrize("start, end, text", [
    (5, 3, "slice index starts at 5 but ends at 3"),
    (2**64 - 1, 2**63, f"slice index starts at {2**64 - 1} but ends at {2**63}"),
    (3, 2, "slice index starts at 3 but ends at 2"),
    (0, 3, "range end index 3 out of range for slice of length 2"),
    (3, 3, "range end index 3 out of range for slice of length 2"),
])
@pytest.mark.parametrize("make", [lambda: qb.TreeSet(GENES), lambda: qb.TopologySet(GENES),
                                  lambda: qb.MSCTreeSet(GENES, SPECIES), lambda: MSCTopologySet(GENES, SPECIES)],
                         ids=["TreeSet", "TopologySet", "MSCTreeSet", "MSCTopologySet"])
def test_slice_checks_its_order_first(make, start, end, text):
    s = make()
    with raises_panic(text):
        s.slice(start, end)
    assert len(s) == 2
