# TaxonSet handles (refusals: test_frame; identity per read: test_tree_set).
import pytest

import quorbelin as qb
from state import TaxonSet as StoredTaxa, encode_taxon_set


def stored(names, **fields):  # a handle read from a stored set whose fields may disagree
    taxa, handle = StoredTaxa.of(names), qb.Tree("(X,Y);").taxon_set
    vars(taxa).update(fields)
    handle.__setstate__(encode_taxon_set(taxa))
    return handle


# (handle, len, str, repr, names, {name: id}, {id: name}); lookups are exact, len reports `last`
# and get_name checks against the names
CASES = [
    (lambda: qb.TreeSet("(A,(B,C));").taxon_set, 3, "TaxonSet(A, B, C)", ["A", "B", "C"],
     {"B": 1, "C": 2, "b": None, "B ": None, " B": None, "": None, "B\0": None}, {0: "A", 3: None}),
    (lambda: qb.TreeSet([]).taxon_set, 0, "TaxonSet()", [], {"A": None}, {0: None}),
    (lambda: qb.Tree("(a'b,c\"d);").taxon_set, 2, "TaxonSet(a'b, c\"d)", ["a'b", 'c"d'], {"a'b": 0}, {}),
    (lambda: stored(["A", "B"], last=5), 5, "TaxonSet(A, B)", ["A", "B"], {"B": 1}, {1: "B", 2: None}),
    (lambda: stored(["A", "B"], to_id=[("Z", 7)]), 2, "TaxonSet(A, B)", ["A", "B"], {"Z": 7, "A": None}, {}),
]


@pytest.mark.parametrize("make,n,text,names,ids,by_id", CASES)
def test_handle(make, n, text, names, ids, by_id):
    ts = make()
    assert (len(ts), ts.len, str(ts), repr(ts), ts.names()) == (n, n, f"TaxonSet with {n} taxa", text, names)
    assert {k: ts.get_id(k) for k in ids} == ids and all((k in ts) is (v is not None) for k, v in ids.items())
    assert {k: ts.get_name(k) for k in by_id} == by_id
    with pytest.raises(AttributeError):
        ts.len = 5


def test_length_beyond_signed_64_bits():
    ts = stored(["A"], last=2**63)
    assert (ts.len, str(ts)) == (2**63, f"TaxonSet with {2**63} taxa")
    with pytest.raises(OverflowError):
        len(ts)
