import dataclasses
import random

import pytest

import quorbelin as qb
from state import (Matrix, MatrixView, TaxonSet as StoredTaxa, decode_matrix_view, encode_matrix_view,
                   encode_single_tree, raises_panic, star)


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


class Index:
    def __index__(self):
        return 1


@pytest.mark.parametrize(
    "key, exc, message",
    [
        (0, TypeError, "argument 'key': 'int' object cannot be converted to 'PyTuple'"),
        ([0, 1], TypeError, "argument 'key': 'list' object cannot be converted to 'PyTuple'"),
        ("AB", TypeError, "argument 'key': 'str' object cannot be converted to 'PyTuple'"),
        ((0, 1, 2), ValueError, "Expected a tuple of two values"),
        ((), ValueError, "Expected a tuple of two values"),
        ((0,), ValueError, "Expected a tuple of two values"),
        ((0, "B"), ValueError, "Index must be either (int, int) or (str, str)"),
        (("A", 1), ValueError, "Index must be either (int, int) or (str, str)"),
        ((0.0, 1.0), ValueError, "Index must be either (int, int) or (str, str)"),
        ((Index(), 0), ValueError, "Index must be either (int, int) or (str, str)"),
        ((b"A", b"B"), ValueError, "Index must be either (int, int) or (str, str)"),
        ((0, 2), IndexError, "Index (0, 2) out of bounds. Valid range: 0..2"),
        ((5, 1), IndexError, "Index (5, 1) out of bounds. Valid range: 0..2"),
        ((2**64 - 1, 0), IndexError, f"Index ({2**64 - 1}, 0) out of bounds. Valid range: 0..2"),
        (("A", "C"), ValueError, "Taxon 'C' not found"),
        (("X", "Y"), ValueError, "Taxon 'X' not found"),
    ],
    ids=repr,
)
def test_getitem_failures(ab, key, exc, message):
    with pytest.raises(exc) as info:
        ab[key]
    assert str(info.value) == message


@pytest.mark.parametrize("key", [(-1, 0), (0, -1), (2**64, 0)])
def test_getitem_negative_or_huge(ab, key):
    with pytest.raises(OverflowError) as info:
        ab[key]
    assert not str(info.value).startswith("argument")


def test_for_loop_fails_at_once(ab):
    with pytest.raises(TypeError, match=r"^argument 'key': 'int' object cannot be converted to 'PyTuple'$"):
        for _ in ab:
            pass


def test_get_by_name(ab):
    with pytest.raises(ValueError, match=r"^Taxon 'X' not found$"):
        ab.get_by_name("X", "Y")
    with pytest.raises(ValueError, match=r"^Taxon 'Y' not found$"):
        ab.get_by_name("A", "Y")
    assert ab.get_by_name("B", "B") == 0.0
    assert ab.get_by_name(taxon1="B", taxon2="A") == 2.0
    with pytest.raises(TypeError, match=r"^argument 'taxon2': 'int' object cannot be converted to 'PyString'$"):
        ab.get_by_name("A", 1)


def test_get_arguments(ab):
    assert ab.get(i=1, j=0) == 2.0
    with pytest.raises(OverflowError):
        ab.get(-1, 0)
    with pytest.raises(TypeError, match=r"^argument 'j': "):
        ab.get(0, "1")
    with pytest.raises(TypeError, match=r"^DistanceMatrix.get\(\) missing 1 required positional argument: 'j'$"):
        ab.get(0)


def test_get_beyond_the_size():
    m = qb.Tree("((A,B),C);").get_distance_matrix()
    assert m.get(7, 7) == 0.0  # the diagonal is never read
    with raises_panic("index out of bounds: ", prefix=True):
        m.get(3, 4)
    # (0, 3) would land on the cell of (1, 2); it is refused instead.
    with raises_panic("index out of bounds: ", prefix=True):
        m.get(0, 3)
    assert m.get(1, 2) == 3.0


def test_get_taxon_name(ab):
    assert [ab.get_taxon_name(i) for i in range(3)] == ["A", "B", None]
    m = matrix_from_state([1.0, 2.0, 3.0], 3, ["A"])
    assert m.get_taxon_name(1) is None  # below the size, but without a name


def test_no_constructor():
    with pytest.raises(TypeError, match=r"^No constructor defined for DistanceMatrix$"):
        qb.DistanceMatrix()


def test_read_only_and_closed(ab):
    for name in ("ntaxa", "taxon_set"):
        with pytest.raises(AttributeError):
            setattr(ab, name, 1)
    with pytest.raises(TypeError):
        type("Sub", (qb.DistanceMatrix,), {})


def test_class_texts():
    assert qb.DistanceMatrix.__doc__ == "A Python wrapper for DistanceMatrixView"
    assert qb.DistanceMatrix.get.__text_signature__ == "($self, i, j)"
    assert qb.DistanceMatrix.get_by_name.__text_signature__ == "($self, taxon1, taxon2)"
    assert qb.DistanceMatrix.get_taxon_name.__text_signature__ == "($self, id)"


# ---- the text table --------------------------------------------------------


@pytest.mark.parametrize(
    "value, text",
    [
        (2.5, "   2.500"),
        (0.0625, "   0.062"),
        (0.1875, "   0.188"),
        (-2.25, "  -2.250"),
        (1e-17, "       0"),
        (-1e-17, "      -0"),
        (-0.0, "      -0"),
        (1 + 2**-52, "   1.000"),
        (1 - 2**-53, "       1"),
        (123456789.0, "123456789"),
        (12345.678, "12345.678"),
        (float("nan"), "     NaN"),
        (float("inf"), "     inf"),
        (float("-inf"), "    -inf"),
        (1e20, "100000000000000000000"),
    ],
    ids=repr,
)
def test_cell_texts(value, text):
    m = matrix_from_state([value], 2, ["A", "B"])
    assert str(m) == f"             A       B\nA            0{text}\nB     {text}       0\n"


def test_names_are_measured_in_characters_and_never_cut():
    m = matrix_from_state([2.5], 2, ["\u00e9", "LongerName"])
    assert str(m) == (
        "             \u00e9LongerName\n"
        "\u00e9            0   2.500\n"
        "LongerName   2.500       0\n"
    )


def test_ids_without_names_get_no_text():
    m = matrix_from_state([1.0, 2.0, 3.0], 3, ["A"])
    assert str(m) == "             A\nA            0       1       2\n       1       0       3\n       2       3       0\n"


def test_empty_and_single():
    assert str(matrix_from_state([], 0, ["A"])) == "      \n"
    assert str(qb.Tree("A;").get_distance_matrix()) == "             A\nA            0\n"


def test_short_storage_stops_the_table():
    m = matrix_from_state([1.0], 3, ["A", "B", "C"])
    with raises_panic("index out of bounds: the len is 1 but the index is 1"):
        str(m)
    assert repr(m) == "DistanceMatrix(size=3)"


# ---- against a plain-Python oracle -----------------------------------------


def random_tree(rng, n):
    """A random rooted tree over t0..t{n-1} (multifurcations allowed): its
    Newick text and its parent map."""
    nodes = [f"t{i}" for i in range(n)]
    parent, children = {}, {}
    while len(nodes) > 1:
        rng.shuffle(nodes)
        k = min(len(nodes), rng.choice([2, 2, 2, 3, 4]))
        group, nodes = nodes[:k], nodes[k:]
        inner = f"#{len(children)}"
        children[inner] = group
        parent.update((g, inner) for g in group)
        nodes.append(inner)

    out, stack = [], [nodes[0]]
    while stack:
        v = stack.pop()
        if v in children:
            out.append("(")
            stack.append(")")
            for i, c in reversed(list(enumerate(children[v]))):
                stack.append(c)
                if i:
                    stack.append(",")
        else:
            out.append(v)
    return "".join(out) + ";", parent


def path_lengths(parent, a, b):
    up = {}
    d, v = 0, a
    while True:
        up[v] = d
        if v not in parent:
            break
        v, d = parent[v], d + 1
    d, v = 0, b
    while v not in up:
        v, d = parent[v], d + 1
    return up[v] + d


@pytest.mark.parametrize("seed", range(8))
def test_distances_match_plain_python(seed):
    rng = random.Random(seed)
    n = rng.randint(2, 40)
    text, parent = random_tree(rng, n)
    tree = qb.Tree(text)
    m = tree.get_distance_matrix()
    names = tree.get_taxa()
    assert m.ntaxa == n == len(names)
    for i in range(n):
        for j in range(n):
            want = 0.0 if i == j else float(path_lengths(parent, names[i], names[j]))
            assert m.get(i, j) == want
            assert m[names[i], names[j]] == want
    stored = decode_matrix_view(m.__getstate__())
    assert len(stored.matrix.distances) == n * (n - 1) // 2 and stored.matrix.size == n


# Leaves that store no cell (unlabelled, or sharing one id) used to be paired
# one by one: 400,000 of them took minutes. Each now costs its node only.
def _stored_star(taxa, ntaxa):
    t = qb.Tree("(A,B);")
    t.__setstate__(encode_single_tree(StoredTaxa.of(["A", "B"]), dataclasses.replace(star(taxa), ntaxa=ntaxa)))
    return t


@pytest.mark.parametrize("make, size, cell", [
    (lambda: qb.Tree("(" + "," * 399_999 + ");"), 0, None),
    (lambda: _stored_star([0] * 400_000, 1), 1, None),
    (lambda: _stored_star([0] * 200_000 + [1] + [0] * 200_000, 2), 2, 2.0),
])
def test_leaves_without_cells_are_not_paired(make, size, cell):
    m = make().get_distance_matrix()
    assert repr(m) == f"DistanceMatrix(size={size})"
    if cell is not None:
        assert m[0, 1] == cell
