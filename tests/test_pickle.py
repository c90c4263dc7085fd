# __getstate__/__setstate__ of every class, and what pickle and copy make of them.

import contextlib
import copy
import pickle

import pytest

import quorbelin as qb
from support import MSCTopologySet, family, observe

TEXT = "((A:1,B:2):0.5,(C,D:-1));\n(D,(C,(B,A:3)));\n(B,C);"
# kind -> its object made from a text of gene trees; the sets of a class swap states with their sibling class's
MAKERS = {
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
@pytest.mark.parametrize("kind", list(MAKERS))
def test_state_moves_to_another_object(kind):
    source, target = MAKERS[kind](TEXT), MAKERS[kind]("(X,Y);")
    other = MAKERS[sibling := SIBLING.get(kind, kind)]("(X,Y);")
    state, before = source.__getstate__(), observe(target)
    # A cut inside a set's text gives the io error with no message.
    fault = ("^Decompression error: incomplete frame$" if kind == "FamilyOfMSC"
             else "^Deserialization error: io error: (unexpected end of file)?$")
    for bad, error, text in [(state[:cut], ValueError, fault) for cut in range(len(state))] + [
            ("state", TypeError, "^argument 'state': 'str' object cannot be converted to 'PyBytes'$")]:
        with pytest.raises(error, match=text):
            target.__setstate__(bad)
    assert (type(state) is bytes and observe(target) == before != observe(source)
            and target.__setstate__(type("Blob", (bytes,), {})(state)) is None)
    assert (observe(target) == observe(source) and other.__setstate__(state) is None
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
@pytest.mark.parametrize("kind", list(MAKERS))
@pytest.mark.parametrize("how", ["copy", "deepcopy"] + [f"pickle {p}" for p in range(pickle.HIGHEST_PROTOCOL + 1)])
def test_copy_and_pickle(kind, how):
    obj, old = MAKERS[kind](TEXT), how in ("pickle 0", "pickle 1")
    run = lambda: (pickle.loads(pickle.dumps(obj, int(how[-1]))) if how[0] == "p"  # noqa: E731
                   else getattr(copy, how)(obj))
    with contextlib.nullcontext() if kind == "FamilyOfMSC" and not old else pytest.raises(
            (TypeError, pickle.PicklingError), match=f"^cannot pickle '{kind}' object$" if old else
            rf"^({kind}\.__new__\(\) missing |No constructor defined for {kind}$|"
            rf"Can't pickle <class 'quorbelin\.{kind}'>: )"):
        assert observe(run()) == observe(obj)
