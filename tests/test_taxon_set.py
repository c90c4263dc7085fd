import pytest

import quorbelin as qb
from state import TaxonSet as StoredTaxa, encode_taxon_set


@pytest.fixture
def abc():
    return qb.TreeSet("(A,(B,C));").taxon_set


def taxa_from_state(names, last=None, to_id=None):
    ts = qb.TreeSet("(X,Y);").taxon_set
    stored = StoredTaxa.of(names)
    if last is not None:
        stored.last = last
    if to_id is not None:
        stored.to_id = to_id
    ts.__setstate__(encode_taxon_set(stored))
    return ts


def test_lookups_and_texts(abc):
    assert abc.len == 3
    assert len(abc) == 3
    assert abc.names() == ["A", "B", "C"]
    assert abc.get_id("B") == 1
    assert abc.get_name(0) == "A"
    assert abc.get_name(3) is None
    assert str(abc) == "TaxonSet with 3 taxa"
    assert repr(abc) == "TaxonSet(A, B, C)"
    assert "C" in abc and "D" not in abc


@pytest.mark.parametrize("name", ["b", "B ", " B", "", "B\0"])
def test_lookup_is_exact(abc, name):
    assert abc.get_id(name) is None
    assert name not in abc


def test_empty_taxon_set():
    ts = qb.TreeSet([]).taxon_set
    assert ts.names() == [] and len(ts) == 0 and ts.len == 0
    assert repr(ts) == "TaxonSet()"
    assert str(ts) == "TaxonSet with 0 taxa"
    assert ts.get_name(0) is None


def test_repr_does_not_quote():
    ts = qb.Tree("(a'b,c\"d);").taxon_set
    assert repr(ts) == "TaxonSet(a'b, c\"d)"


def test_not_iterable_not_subscriptable(abc):
    with pytest.raises(TypeError):
        iter(abc)
    with pytest.raises(TypeError):
        abc[0]


def test_each_read_is_a_new_object_equal_by_identity_only():
    ts = qb.TreeSet("(A,B);")
    a, b = ts.taxon_set, ts.taxon_set
    assert a is not b and a != b and a == a
    assert a.names() == b.names()
    assert len({a, b}) == 2  # hashable by identity


def test_read_only_and_closed(abc):
    with pytest.raises(AttributeError):
        abc.len = 5
    with pytest.raises(AttributeError):
        abc.extra = 1
    with pytest.raises(TypeError):
        type("Sub", (qb.TaxonSet,), {})


def test_counts_disagreeing_in_a_stored_set():
    # len reports `last`, get_name checks against `names`.
    ts = taxa_from_state(["A", "B"], last=5)
    assert len(ts) == 5 and ts.len == 5
    assert str(ts) == "TaxonSet with 5 taxa"
    assert ts.get_name(1) == "B" and ts.get_name(2) is None
    ts = taxa_from_state(["A", "B"], to_id=[("Z", 7)])
    assert ts.get_id("Z") == 7 and ts.get_id("A") is None
    assert "Z" in ts and "A" not in ts
    assert repr(ts) == "TaxonSet(A, B)"


def test_length_beyond_signed_64_bits():
    ts = taxa_from_state(["A"], last=2**63)
    assert ts.len == 2**63
    assert str(ts) == f"TaxonSet with {2**63} taxa"
    with pytest.raises(OverflowError):
        len(ts)


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
