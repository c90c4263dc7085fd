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
    (lambda: stored(["A", "B"], last=5, to_id=[("Z", 7)]), 5, "TaxonSet(A, B)", ["A", "B"],
     {"Z": 7, "B": None}, {1: "B", 2: None}),
    (lambda: stored(["A"], last=2**63), 2**63, "TaxonSet(A)", ["A"], {}, {}),  # len() itself cannot say it
]


@pytest.mark.parametrize("make,n,text,names,ids,by_id", CASES)
def test_handle(make, n, text, names, ids, by_id):
    ts = make()
    assert (ts.len, str(ts), repr(ts), ts.names()) == (n, f"TaxonSet with {n} taxa", text, names)
    assert (len(ts) if n < 2**63 else pytest.raises(OverflowError, len, ts) and n) == n
    assert {k: ts.get_id(k) for k in ids} == ids and all((k in ts) is (v is not None) for k, v in ids.items())
    assert {k: ts.get_name(k) for k in by_id} == by_id
    pytest.raises(AttributeError, setattr, ts, "len", 5)
