"""__getstate__/__setstate__ of every class, and what pickle and copy make of them."""

import contextlib
import copy
import pickle

import pytest

import quorbelin as qb
from state import (
    TaxonSet as StoredTaxa,
    TreeView,
    decode_tree_view,
    encode_single_tree,
    encode_tree_view,
    star,
)
from support import MSCTopologySet, family
from support import observe as observed

TEXT = "((A:1,B:2):0.5,(C,D:-1));\n(D,(C,(B,A:3)));\n(B,C);"


def observe(obj):
    """Everything a caller can see of an object of one of the five classes."""
    if isinstance(obj, (qb.TreeSet, qb.TopologySet)):
        return (
            type(obj), len(obj), obj.ngenes, obj.ntaxa, obj.taxon_set.names(), obj.to_newick_vec(),
            str(obj), repr(obj), [t.newick() for t in obj],
            str(obj.get_distance_matrix(0)),
        )
    if isinstance(obj, (qb.MSCTreeSet, MSCTopologySet)):
        return (
            type(obj), len(obj), obj.ntaxa, obj.taxon_set.names(), repr(obj), str(obj), [t.newick() for t in obj],
            str(obj.get_distance_matrix(0)), str(obj.get_species_distance_matrix()), obj.get_species_tree().newick(),
        )
    if isinstance(obj, qb.Tree):
        return (len(obj), obj.ntaxa, obj.get_taxa(), obj.newick(), repr(obj), str(obj.get_distance_matrix()))
    if isinstance(obj, qb.DistanceMatrix):
        return (obj.ntaxa, str(obj), repr(obj), obj.taxon_set.names(), [obj.get(0, j) for j in range(obj.ntaxa)])
    if isinstance(obj, qb.TaxonSet):
        return (len(obj), obj.len, obj.names(), str(obj), repr(obj), [obj.get_id(n) for n in obj.names()])
    raise AssertionError(type(obj))


MAKERS = {
    "TreeSet": lambda: qb.TreeSet(TEXT),
    "TopologySet": lambda: qb.TopologySet(TEXT),
    "TreeSet from list": lambda: qb.TreeSet([qb.Tree("(B,A);"), qb.Tree("((C,B),A);")]),
    "Tree": lambda: qb.Tree("((A,B),(C,D));"),
    "Tree of a set": lambda: qb.TreeSet(TEXT + "\n(E,F);")[1],
    "DistanceMatrix": lambda: qb.Tree("((A,B),(C,D));").get_distance_matrix(),
    "TaxonSet": lambda: qb.TreeSet(TEXT).taxon_set,
    "MSCTreeSet": lambda: qb.MSCTreeSet(TEXT, "((A,E),(B,(C,D)));"),
    "MSCTopologySet": lambda: MSCTopologySet(TEXT, "(E,(A,(B,(C,D))));"),
}
OTHER = {
    "TreeSet": lambda: qb.TreeSet("(X,Y);"),
    "TopologySet": lambda: qb.TopologySet("(X,Y);"),
    "TreeSet from list": lambda: qb.TreeSet("(X,Y);"),
    "Tree": lambda: qb.Tree("(X,(Y,Z));"),
    "Tree of a set": lambda: qb.Tree("(X,(Y,Z));"),
    "DistanceMatrix": lambda: qb.Tree("(X,(Y,Z));").get_distance_matrix(),
    "TaxonSet": lambda: qb.Tree("(X,(Y,Z));").taxon_set,
    "MSCTreeSet": lambda: qb.MSCTreeSet("(X,Y);", "(X,(Y,Z));"),
    "MSCTopologySet": lambda: MSCTopologySet("(X,Y);", "(X,Y);"),
}


@pytest.fixture(params=list(MAKERS))
def kind(request):
    return request.param


def test_own_state_round_trip(kind):
    obj = MAKERS[kind]()
    before = observe(obj)
    state = obj.__getstate__()
    assert type(state) is bytes
    assert obj.__setstate__(state) is None
    assert observe(obj) == before
    assert obj.__getstate__() == state


def test_state_moves_to_another_object(kind):
    source, target = MAKERS[kind](), OTHER[kind]()
    assert observe(target) != observe(source)
    target.__setstate__(source.__getstate__())
    assert observe(target) == observe(source)
    assert target.__getstate__() == source.__getstate__()


@pytest.mark.parametrize("state, exc, message", [
    (b"", ValueError, "Deserialization error: io error: unexpected end of file"),
    ("state", TypeError, "argument 'state': 'str' object cannot be converted to 'PyBytes'"),
])
def test_bad_states(kind, state, exc, message):
    obj = MAKERS[kind]()
    before = observe(obj)
    with pytest.raises(exc) as info:
        obj.__setstate__(state)
    assert str(info.value) == message
    assert observe(obj) == before


def test_reader_errors_are_prefixed():
    # The texts themselves are the stored-form reader's (C++ tests).
    t = qb.Tree("(A,B);")
    with pytest.raises(ValueError, match=r"^Deserialization error: invalid u8 while decoding bool"):
        t.__setstate__(encode_single_tree(StoredTaxa.of(["A"]), star([0]))[:-9] + b"\x02" + b"\0" * 8)
    assert t.newick() == "(A,B);"


def test_bytes_subclass_is_accepted():
    class Blob(bytes):
        pass

    t = qb.Tree("(X,Y);")
    t.__setstate__(Blob(qb.Tree("(A,B);").__getstate__()))
    assert t.newick() == "(A,B);"


def test_every_cut_fails_and_changes_nothing(kind):
    obj = MAKERS[kind]()
    state = obj.__getstate__()
    target = OTHER[kind]()
    before = observe(target)
    for cut in range(len(state)):
        with pytest.raises(ValueError, match=r"^Deserialization error: io error: "):
            target.__setstate__(state[:cut])
    assert observe(target) == before


def test_set_states_are_interchangeable():
    ts = qb.TreeSet(TEXT)
    topo = qb.TopologySet(TEXT)
    plain_state = ts.__getstate__()
    ts.__setstate__(topo.__getstate__())
    assert type(ts) is qb.TreeSet
    assert decode_tree_view(ts.__getstate__()).topology_only is True
    assert ts.__getstate__() != plain_state
    topo.__setstate__(plain_state)
    assert type(topo) is qb.TopologySet and str(topo).startswith("TopologySet with 3 trees")
    assert decode_tree_view(topo.__getstate__()).topology_only is False


def test_taxon_set_state_changes_only_that_handle():
    ts = qb.TreeSet(TEXT)
    handle = ts.taxon_set
    handle.__setstate__(qb.Tree("(X,Y);").taxon_set.__getstate__())
    assert handle.names() == ["X", "Y"]
    assert ts.ntaxa == 4 and ts.get_taxon_name(0) == "A" and ts.taxon_set.names() == ["A", "B", "C", "D"]


def test_setstate_does_not_reach_derived_objects():
    ts = qb.TreeSet(TEXT)
    item, part, names = ts[0], ts.slice(0, 1), ts.taxon_set
    ts.__setstate__(qb.TreeSet("(X,Y);").__getstate__())
    assert item.get_taxa() == ["A", "B", "C", "D"]
    assert part.newick() == "((A:1,B:2):0.5,(C:0,D):0);"
    assert names.names() == ["A", "B", "C", "D"]


def test_stored_values_that_no_parse_makes():
    # Negative and NaN lengths, fake_root, ids out of order: all travel unchanged.
    tree = star([1, 0], lengths=[float("nan"), -0.0], fake_root=True)
    state = encode_tree_view(TreeView(StoredTaxa.of(["A", "B"]), [tree], True))
    ts = qb.TreeSet("(X,Y);")
    ts.__setstate__(state)
    assert ts.__getstate__() == state
    assert ts.newick() == "(B,A:-0);"
    assert len(ts[0]) == 2


# ---- pickle and copy -------------------------------------------------------


@pytest.mark.parametrize("protocol", range(2, pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_fails_at_loading(kind, protocol):
    obj = MAKERS[kind]()
    name = type(obj).__name__
    if name == "MSCTopologySet":  # not a module attribute: the pickler cannot name the class
        with pytest.raises(pickle.PicklingError):
            pickle.dumps(obj, protocol=protocol)
        return
    data = pickle.dumps(obj, protocol=protocol)
    with pytest.raises(TypeError) as info:
        pickle.loads(data)
    if name in ("TaxonSet", "DistanceMatrix"):
        assert str(info.value) == f"No constructor defined for {name}"
    else:
        assert str(info.value).startswith(f"{name}.__new__() missing ")


@pytest.mark.parametrize("protocol", [0, 1])
def test_old_pickle_protocols_fail(kind, protocol):
    with pytest.raises(TypeError):
        pickle.loads(pickle.dumps(MAKERS[kind](), protocol=protocol))


@pytest.mark.parametrize("how", [copy.copy, copy.deepcopy])
def test_copy_fails(kind, how):
    with pytest.raises(TypeError):
        how(MAKERS[kind]())


def test_no_reduce_of_their_own():
    for cls in (qb.TreeSet, qb.TopologySet, qb.Tree, qb.DistanceMatrix, qb.TaxonSet, qb.MSCTreeSet, MSCTopologySet):
        for name in ("__reduce__", "__reduce_ex__", "__getnewargs__", "__getnewargs_ex__"):
            assert name not in vars(cls)


# kind -> its object made from a text of gene trees; the sets of a class swap states with their sibling class's
FROM_TEXT = {
    "TreeSet": qb.TreeSet, "TopologySet": qb.TopologySet,
    "Tree": lambda t: qb.TreeSet(t + "\n(E,F);")[1],  # a tree of a set
    "DistanceMatrix": lambda t: qb.TreeSet(t)[0].get_distance_matrix(),
    "TaxonSet": lambda t: qb.TreeSet(t).taxon_set,
    "MSCTreeSet": lambda t: qb.MSCTreeSet(t, "((A,E),(B,(C,D)));"),
    "MSCTopologySet": lambda t: MSCTopologySet(t, "(E,(A,(B,(C,D))));"),
    "FamilyOfMSC": lambda t: family(MSCTopologySet(t, "((A,B),(C,D));"), MSCTopologySet("(X,(Y,Z));", "(Z,(X,Y));")),
}
SIBLING = {"TreeSet": "TopologySet", "TopologySet": "TreeSet", "MSCTreeSet": "MSCTopologySet",
           "MSCTopologySet": "MSCTreeSet"}


# A state moves to another object of the class, and a set's to one of its sibling class, which
# stays of its own class; every cut of it, and a text instead of bytes, fail and change nothing.
@pytest.mark.parametrize("kind", list(FROM_TEXT))
def test_state_moves_to_another_object_or_one_of_the_sibling_class(kind):
    source, target = FROM_TEXT[kind](TEXT), FROM_TEXT[kind]("(X,Y);")
    other = FROM_TEXT[sibling := SIBLING.get(kind, kind)]("(X,Y);")
    state, before = source.__getstate__(), observed(target)
    # A cut inside a set's text gives the io error with no message.
    fault = ("^Decompression error: incomplete frame$" if kind == "FamilyOfMSC"
             else "^Deserialization error: io error: (unexpected end of file)?$")
    for bad, error, text in [(state[:cut], ValueError, fault) for cut in range(len(state))] + [
            ("state", TypeError, "^argument 'state': 'str' object cannot be converted to 'PyBytes'$")]:
        with pytest.raises(error, match=text):
            target.__setstate__(bad)
    assert (type(state) is bytes and observed(target) == before != observed(source)
            and target.__setstate__(type("Blob", (bytes,), {})(state)) is None)
    assert (observed(target) == observed(source) and other.__setstate__(state) is None
            and (type(other).__name__, other.__getstate__()) == (sibling, state))


def test_setstate_reaches_no_other_object():
    item, part, names = (ts := qb.TreeSet(TEXT))[0], ts.slice(0, 1), ts.taxon_set
    names.__setstate__(qb.Tree("(X,Y);").taxon_set.__getstate__())
    assert names.names() == ["X", "Y"] and ts.get_taxon_name(0) == "A" and ts.taxon_set.names() == list("ABCD")
    ts.__setstate__(qb.TreeSet("(P,Q);").__getstate__())
    assert (item.get_taxa(), part.newick(), names.names()) == (list("ABCD"), "((A:1,B:2):0.5,(C:0,D):0);", ["X", "Y"])


# Only a family copies and pickles (protocol 2 on); the other classes refuse, and protocols 0 and 1
# refuse when dumping: the others when loading (no argument-free constructor), or because the
# pickler cannot name MSCTopologySet, not a module attribute.
@pytest.mark.parametrize("kind", list(FROM_TEXT))
@pytest.mark.parametrize("how", ["copy", "deepcopy"] + [f"pickle {p}" for p in range(pickle.HIGHEST_PROTOCOL + 1)])
def test_copy_and_pickle(kind, how):
    obj, old = FROM_TEXT[kind](TEXT), how in ("pickle 0", "pickle 1")
    run = lambda: (pickle.loads(pickle.dumps(obj, int(how[-1]))) if how[0] == "p"  # noqa: E731
                   else getattr(copy, how)(obj))
    with contextlib.nullcontext() if kind == "FamilyOfMSC" and not old else pytest.raises(
            (TypeError, pickle.PicklingError), match=f"^cannot pickle '{kind}' object$" if old else
            rf"^({kind}\.__new__\(\) missing |No constructor defined for {kind}$|"
            rf"Can't pickle <class 'quorbelin\.{kind}'>: )"):
        assert observed(run()) == observed(obj)
