# __getstate__/__setstate__ of every class, and what pickle and copy make of them.

import copy
import pickle
import re

import pytest

import quorbelin as qb

TEXT = "((A:1,B:2):0.5,(C,D:-1));\n(D,(C,(B,A:3)));\n(B,C);"
MSCTopologySet = type(qb.MSCTreeSet("(A,B);", "(A,B);").as_topology())


def observe(obj):
    # What a caller sees of an object: its texts, its state, and those of a family's members.
    members = [observe(m) for m in obj] if isinstance(obj, qb.FamilyOfMSC) else []
    return type(obj), str(obj), repr(obj), obj.__getstate__(), members


def family(*sets):
    out = qb.FamilyOfMSC()
    for s in sets:
        out.add(s)
    return out


# kind -> (an object, another object of the class that differs from it)
MAKERS = {
    "TreeSet": (lambda: qb.TreeSet(TEXT), lambda: qb.TreeSet("(X,Y);")),
    "TopologySet": (lambda: qb.TopologySet(TEXT), lambda: qb.TopologySet("(X,Y);")),
    "Tree": (lambda: qb.TreeSet(TEXT + "\n(E,F);")[1], lambda: qb.Tree("(X,(Y,Z));")),  # a tree of a set
    "DistanceMatrix": (lambda: qb.Tree("((A,B),(C,D));").get_distance_matrix(), lambda: qb.Tree("(X,Y);").get_distance_matrix()),
    "TaxonSet": (lambda: qb.TreeSet(TEXT).taxon_set, lambda: qb.Tree("(X,(Y,Z));").taxon_set),
    "MSCTreeSet": (lambda: qb.MSCTreeSet(TEXT, "((A,E),(B,(C,D)));"), lambda: qb.MSCTreeSet("(X,Y);", "(X,(Y,Z));")),
    "MSCTopologySet": (lambda: MSCTopologySet(TEXT, "(E,(A,(B,(C,D))));"), lambda: MSCTopologySet("(X,Y);", "(X,Y);")),
    "FamilyOfMSC": (lambda: family(MSCTopologySet(TEXT, "((A,B),(C,D));"), MSCTopologySet("(X,(Y,Z));", "(Z,(X,Y));")),
                    lambda: family(MSCTopologySet("(P,Q);", "(P,Q);"))),
}
kind = pytest.mark.parametrize("kind", list(MAKERS))


SIBLING = {"TreeSet": "TopologySet", "TopologySet": "TreeSet", "MSCTreeSet": "MSCTopologySet", "MSCTopologySet": "MSCTreeSet"}


# A state moves to another object of the class, and a set's to an object of its sibling class,
# which stays of its own class.
@kind
def test_state_moves_to_another_object(kind):
    sibling = SIBLING.get(kind, kind)
    source, target, other = MAKERS[kind][0](), MAKERS[kind][1](), MAKERS[sibling][1]()
    assert observe(target) != observe(source)
    state = source.__getstate__()
    assert type(state) is bytes and target.__setstate__(type("Blob", (bytes,), {})(state)) is None
    assert observe(target) == observe(source) and other.__setstate__(state) is None
    assert type(other).__name__ == sibling and other.__getstate__() == state


# Every cut of a state, and a text instead of bytes, fail and leave the object as it was.
@kind
def test_bad_states_change_nothing(kind):
    state, target = MAKERS[kind][0]().__getstate__(), MAKERS[kind][1]()
    before = observe(target)
    fault = "^Decompression error: incomplete frame$" if kind == "FamilyOfMSC" else (
        "^Deserialization error: io error: (unexpected end of file)?$")  # the second: a text past the end
    for cut in range(len(state)):
        with pytest.raises(ValueError, match=fault):
            target.__setstate__(state[:cut])
    with pytest.raises(TypeError, match="^argument 'state': 'str' object cannot be converted to 'PyBytes'$"):
        target.__setstate__("state")
    assert observe(target) == before


def test_setstate_reaches_no_other_object():
    ts = qb.TreeSet(TEXT)
    item, part, names = ts[0], ts.slice(0, 1), ts.taxon_set
    names.__setstate__(qb.Tree("(X,Y);").taxon_set.__getstate__())
    assert names.names() == ["X", "Y"] and ts.get_taxon_name(0) == "A" and ts.taxon_set.names() == list("ABCD")
    ts.__setstate__(qb.TreeSet("(P,Q);").__getstate__())
    assert (item.get_taxa(), part.newick(), names.names()) == (list("ABCD"), "((A:1,B:2):0.5,(C:0,D):0);", ["X", "Y"])


# Only a family copies and pickles (protocol 2 on); the other classes refuse, and protocols 0 and 1
# refuse when dumping: the others when loading (no argument-free constructor), or because the
# pickler cannot name MSCTopologySet, not a module attribute.
@kind
@pytest.mark.parametrize("how", ["copy", "deepcopy"] + [f"pickle {p}" for p in range(pickle.HIGHEST_PROTOCOL + 1)])
def test_copy_and_pickle(kind, how):
    obj, old = MAKERS[kind][0](), how in ("pickle 0", "pickle 1")
    run = lambda: pickle.loads(pickle.dumps(obj, int(how[-1]))) if how[0] == "p" else getattr(copy, how)(obj)  # noqa: E731
    if kind == "FamilyOfMSC" and not old:
        assert observe(run()) == observe(obj)
        return
    with pytest.raises((TypeError, pickle.PicklingError), match=f"^cannot pickle '{kind}' object$" if old else
                       rf"^({kind}\.__new__\(\) missing |No constructor defined for {kind}$|Can't pickle <class 'quorbelin\.{kind}'>: )"):
        run()
