import dataclasses

import pytest

import quorbelin as qb
from state import Matrix, MatrixView, TaxonSet as StoredTaxa, encode_matrix_view, encode_single_tree, star
from support import Index


@pytest.fixture
def ab():
    return qb.Tree("(A,B);").get_distance_matrix()


def matrix_from_state(distances, size, names):
    m = qb.Tree("(X,Y);").get_distance_matrix()
    m.__setstate__(encode_matrix_view(MatrixView(Matrix(list(distances), size), StoredTaxa.of(names))))
    return m


def test_two_leaves(ab):
    assert ab.ntaxa == 2
    assert ab.get(0, 1) == ab.get(1, 0) == 2.0
    assert ab.get(1, 1) == 0.0
    assert ab.get_by_name("A", "B") == 2.0
    assert repr(ab) == "DistanceMatrix(size=2)"
    assert str(ab) == "             A       B\nA            0       2\nB            2       0\n"


def test_ntaxa_is_the_size_not_the_number_of_names():
    m = qb.TreeSet("(A,B);(C,D,E);").get_distance_matrix(0)
    assert m.ntaxa == 2 and len(m.taxon_set) == 5
    assert m.get_taxon_name(4) == "E" and m.get_taxon_name(5) is None
    assert repr(m) == "DistanceMatrix(size=2)"


@pytest.mark.parametrize(
    "key", [(0, 1), (1, 0), (True, False), ("A", "B"), ("B", "A")], ids=repr
)
def test_getitem(ab, key):
    assert ab[key] == 2.0


def test_getitem_subclasses():
    class T(tuple):
        pass

    class S(str):
        pass

    class I(int):
        pass

    m = qb.Tree("(A,B);").get_distance_matrix()
    assert m[T((0, 1))] == m[(S("A"), S("B"))] == m[(I(0), I(1))] == 2.0
    assert m["A", "A"] == m[1, 1] == 0.0


@pytest.mark.parametrize(
    "key, exc, message",
    [
        (0, TypeError, "argument 'key': 'int' object cannot be converted to 'PyTuple'"),
        ((0, 1, 2), ValueError, "Expected a tuple of two values"),
        ((), ValueError, "Expected a tuple of two values"),
        ((0, "B"), ValueError, "Index must be either (int, int) or (str, str)"),
        (("A", 1), ValueError, "Index must be either (int, int) or (str, str)"),
        ((Index(1), 0), ValueError, "Index must be either (int, int) or (str, str)"),
        ((0, 2), IndexError, "Index (0, 2) out of bounds. Valid range: 0..2"),
        ((5, 1), IndexError, "Index (5, 1) out of bounds. Valid range: 0..2"),
        ((2**64 - 1, 0), IndexError, f"Index ({2**64 - 1}, 0) out of bounds. Valid range: 0..2"),
        (("A", "C"), ValueError, "Taxon 'C' not found"),
    ],
    ids=repr,
)
def test_getitem_failures(ab, key, exc, message):
    with pytest.raises(exc) as info:
        ab[key]
    assert str(info.value) == message


def test_get_taxon_name(ab):
    assert [ab.get_taxon_name(i) for i in range(3)] == ["A", "B", None]
    m = matrix_from_state([1.0, 2.0, 3.0], 3, ["A"])
    assert m.get_taxon_name(1) is None  # below the size, but without a name


def test_read_only_and_closed(ab):
    for name in ("ntaxa", "taxon_set"):
        with pytest.raises(AttributeError):
            setattr(ab, name, 1)
    with pytest.raises(TypeError):
        type("Sub", (qb.DistanceMatrix,), {})


# Cell and table texts, and distances over random trees, are checked in the C++ tests
# (test_matrix_text.cpp, test_distance_matrix.cpp).


# Leaves that store no cell (unlabelled, or sharing one id) used to be paired
# one by one: 400,000 of them took minutes. Each now costs its node only.
def _stored_star(taxa, ntaxa):
    t = qb.Tree("(A,B);")
    t.__setstate__(encode_single_tree(StoredTaxa.of(["A", "B"]), dataclasses.replace(star(taxa), ntaxa=ntaxa)))
    return t


@pytest.mark.parametrize("make, size, cell", [
    (lambda: qb.Tree("(" + "," * 399_999 + ");"), 0, None),
    (lambda: _stored_star([-1] * 400_000, 0), 0, None),
    (lambda: _stored_star([0] * 400_000, 1), 1, None),
    (lambda: _stored_star([0] * 200_000 + [1] + [0] * 200_000, 2), 2, 2.0),
])
def test_leaves_without_cells_are_not_paired(make, size, cell):
    m = make().get_distance_matrix()
    assert repr(m) == f"DistanceMatrix(size={size})"
    if cell is not None:
        assert m[0, 1] == cell


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
    ((Index(1), 0), (ValueError, "Index must be either (int, int) or (str, str)")),
    ((5, 1), (IndexError, "Index (5, 1) out of bounds. Valid range: 0..2")),
    ((2**64 - 1, 0), (IndexError, f"Index ({2**64 - 1}, 0) out of bounds. Valid range: 0..2")),
    (("A", "C"), (ValueError, "Taxon 'C' not found")),
], ids=repr)
def test_getitem_answers_and_refusals(key, want):
    if isinstance(want, float):
        assert AB[key] == want
        return
    with pytest.raises(want[0]) as info:
        AB[key]
    assert str(info.value) == want[1]
