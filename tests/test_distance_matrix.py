# DistanceMatrix through the classes; its cells and texts are the C++ tests'.
import dataclasses

import pytest

import quorbelin as qb
from state import TaxonSet as StoredTaxa, encode_single_tree, star

AB = qb.Tree("(A,B);").get_distance_matrix()
T, S, I = (type("Sub", (base,), {}) for base in (tuple, str, int))


def test_reads():
    assert (AB.get(0, 1), AB.get(1, 0), AB.get(1, 1), AB.get_by_name("A", "B"), repr(AB)) == (
        2.0, 2.0, 0.0, 2.0, "DistanceMatrix(size=2)")
    m = qb.TreeSet("(A,B);(C,D,E);").get_distance_matrix(0)  # the size is not the number of names
    assert (m.ntaxa, len(m.taxon_set), m.get_taxon_name(4), m.get_taxon_name(5)) == (2, 5, "E", None)


@pytest.mark.parametrize("key, want", [
    (("B", "A"), 2.0), (T((S("A"), S("A"))), 0.0), ((I(0), True), 2.0),
    (0, (TypeError, "argument 'key': 'int' object cannot be converted to 'PyTuple'")),
    ((0, 1, 2), (ValueError, "Expected a tuple of two values")),
    ((0, "B"), (ValueError, "Index must be either (int, int) or (str, str)")),
    ((type("Index", (), {"__index__": lambda self: 1})(), 0),
     (ValueError, "Index must be either (int, int) or (str, str)")),
    ((5, 1), (IndexError, "Index (5, 1) out of bounds. Valid range: 0..2")),
    ((2**64 - 1, 0), (IndexError, f"Index ({2**64 - 1}, 0) out of bounds. Valid range: 0..2")),
    (("A", "C"), (ValueError, "Taxon 'C' not found")),
], ids=repr)
def test_getitem(key, want):
    if isinstance(want, float):
        assert AB[key] == want
        return
    with pytest.raises(want[0]) as info:
        AB[key]
    assert str(info.value) == want[1]


# Leaves that store no cell (unlabelled, or sharing one id) used to be paired
# one by one: 400,000 of them took minutes. Each now costs its node only.
@pytest.mark.parametrize("taxa, ntaxa, cell", [
    ([-1] * 400_000, 0, None), ([0] * 400_000, 1, None), ([0] * 200_000 + [1] + [0] * 200_000, 2, 2.0)])
def test_leaves_without_cells_are_not_paired(taxa, ntaxa, cell):
    t = qb.Tree("(A,B);")
    t.__setstate__(encode_single_tree(StoredTaxa.of(["A", "B"]), dataclasses.replace(star(taxa), ntaxa=ntaxa)))
    m = t.get_distance_matrix()
    assert (m.ntaxa, m[0, 1] if cell else None) == (ntaxa, cell)
