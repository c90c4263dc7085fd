"""MSCTreeSet and MSCTopologySet: gene trees with one species tree over one taxon set."""

import pytest

import quorbelin as qb
from state import caterpillar_newick, decode_msc_view, encode_msc_view
from support import GENES, SPECIES, MSCTopologySet, raises_panic

GENES_OUT = ["(A:1,B:2);", "((B:0,C:0):0.5,A:0);"]
SPECIES_OUT = "((A:0,B:0):0,(C:0,D:0):0);"
CLASSES = [qb.MSCTreeSet, MSCTopologySet]


@pytest.fixture(params=CLASSES, ids=lambda c: c.__name__)
def cls(request):
    return request.param


def variant_and_flag(obj):
    view = decode_msc_view(obj.__getstate__())
    return view.variant, view.genes.topology_only


# One table for both classes: member -> expected result on cls(GENES, SPECIES).
# "{name}" stands for the class name.
MEMBERS = {
    "len": (len, 2),
    "ngenes": (lambda s: s.ngenes, 2),
    "ntaxa": (lambda s: s.ntaxa, 4),
    "taxon_set": (lambda s: s.taxon_set.names(), ["A", "B", "C", "D"]),
    "get_taxon_name": (lambda s: [s.get_taxon_name(i) for i in range(5)], ["A", "B", "C", "D", None]),
    "to_newick_vec": (lambda s: s.to_newick_vec(), GENES_OUT),
    "newick": (lambda s: (s.newick(), s.to_newick_string()), ("\n".join(GENES_OUT),) * 2),
    "species_tree_to_newick": (lambda s: s.species_tree_to_newick(), SPECIES_OUT),
    "str": (str, "{name} with 2 gene trees, 4 taxa"),
    "repr": (repr, "{name}('" + "\n".join(GENES_OUT) + "', '" + SPECIES_OUT + "')"),
    "iteration": (lambda s: [(t.newick(), t.ntaxa) for t in s], [("(A,B);", 4), ("((B,C),A);", 4)]),
    "get_distance_matrix": (lambda s: (s.get_distance_matrix(1)["A", "C"], s.get_distance_matrix(1).ntaxa,
                                       s.get_distance_matrix(2)), (3.0, 3, None)),
    "get_species_distance_matrix": (lambda s: (s.get_species_distance_matrix()["A", "D"],
                                               s.get_species_distance_matrix().taxon_set.names()),
                                    (4.0, ["A", "B", "C", "D"])),
    "get_species_tree": (lambda s: (s.get_species_tree().newick(), s.get_species_tree().ntaxa), ("((A,B),(C,D));", 4)),
    "slice": (lambda s: (str(s.slice(1, 2)), s.slice(1, 2).newick(), s.slice(1, 2).species_tree_to_newick()),
              ("{name} with 1 gene trees, 4 taxa", GENES_OUT[1], SPECIES_OUT)),
    "restriction": (lambda s: (repr(s.restriction(["C", "A", "C"])), s.restriction(("C", "A")).taxon_set.names()),
                    ("{name}('(A:0);\n(C:0,A:0);', '(A:0,C:0);')", ["C", "A"])),
    "remap": (lambda s: repr(s.remap({"A": "B", "B": "A", "C": "x", "D": "y"})),
              "{name}('(B:1,A:2);\n((A:0,x:0):0.5,B:0);', '((B:0,A:0):0,(x:0,y:0):0);')"),
    "empty slice": (lambda s: (str(s.slice(0, 0)), repr(s.slice(2, 2))),
                    ("{name} with 0 gene trees, 4 taxa", "{name}('', '" + SPECIES_OUT + "')")),
}


@pytest.mark.parametrize("member", list(MEMBERS))
def test_members(cls, member):
    call, want = MEMBERS[member]

    def named(value):
        if isinstance(value, str):
            return value.replace("{name}", cls.__name__)
        if isinstance(value, tuple):
            return tuple(named(v) for v in value)
        return value

    assert call(cls(GENES, SPECIES)) == named(want)


def test_item_access_differs(cls):
    s = cls(GENES, SPECIES)
    message = "Index out of bounds" if cls is MSCTopologySet else "Tree index 2 out of bounds. Valid range: 0..2"
    with pytest.raises(IndexError) as info:
        s[2]
    assert str(info.value) == message
    with pytest.raises(OverflowError):
        s[-1]
    # Item 1 holds the whole taxon set, also the species-only D.
    assert s[1].get_taxa() == ["A", "B", "C", "D"]


def test_derivation_failures(cls):
    s = cls(GENES, SPECIES)
    with pytest.raises(ValueError, match=r"^Taxon 'X' not found in tree$"):
        s.restriction(["A", "X", "Y"])
    with pytest.raises(ValueError, match=r"^Mapping must contain exactly one entry for each taxon$"):
        s.remap({"A": "X"})
    with raises_panic("slice index starts at 2 but ends at 1"):
        s.slice(2, 1)
    with raises_panic("range end index 3 out of range for slice of length 2"):
        s.slice(0, 3)


# ---- builders ---------------------------------------------------------------


@pytest.mark.parametrize(
    "genes, species, names, species_out",
    [
        ("(A,B);\n(B,C);", "((A,B),C);", ["A", "B", "C"], "((A:0,B:0):0,C:0);"),
        ("(A,B);", "(A,D);", ["A", "B", "D"], "(A:0,D:0);"),
        ("(A,B);", "(A,B);(D,E);", ["A", "B"], "(A:0,B:0);"),  # the second tree is not read
        ("(A,B);", "(A,(B,C))", ["A", "B", "C"], "(A:0,(B:0,C:0):0);"),  # no closing ';'
        ("(A,B);", "(A[;],X);", ["A", "B", "X"], "(A:0,X:0);"),  # a ';' inside a comment
    ],
)
def test_builder_ids(cls, genes, species, names, species_out):
    s = cls(genes, species)
    assert s.taxon_set.names() == names and s.ntaxa == len(names)
    assert s.species_tree_to_newick() == species_out


@pytest.mark.parametrize(
    "genes, species, message",
    [
        ("", "(A,B);", "No valid trees found in input string"),
        (" ;\n; ", "(A:bad,B);", "No valid trees found in input string"),  # species text never read
        ("(A,B);", "", "No species tree found in input string"),
        ("(A,B);", ";(A,B);", "No species tree found in input string"),
        ("(A,B);", "(,);", "No species tree found in input string"),
    ],
)
def test_builder_failures(cls, genes, species, message):
    with pytest.raises(ValueError) as info:
        cls(genes, species)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "make, variant, flag",
    [
        (lambda: qb.MSCTreeSet(GENES, SPECIES), 0, False),
        (lambda: MSCTopologySet(GENES, SPECIES), 1, True),
        (lambda: qb.MSCTreeSet(GENES, SPECIES).as_topology(), 0, False),
        (lambda: qb.MSCTreeSet(GENES, SPECIES).slice(0, 1), 0, False),
        (lambda: MSCTopologySet(GENES, SPECIES).slice(0, 1), 1, True),
        (lambda: stored(1, False).slice(0, 1), 1, True),  # variant 1 slices are topology-only
        (lambda: stored(0, True).slice(0, 1), 0, True),
        (lambda: stored(1, False).as_topology(), 1, False),
        (lambda: stored(1, False).restriction(["A"]), 1, True),
        (lambda: stored(0, True).restriction(["A"]), 0, True),
        (lambda: qb.MSCTreeSet(GENES, SPECIES).restriction(["A"]), 0, False),
        (lambda: stored(1, False).remap({"A": "a", "B": "b", "C": "c", "D": "d"}), 1, False),
    ],
)
def test_variant_and_flag(make, variant, flag):
    assert variant_and_flag(make()) == (variant, flag)


def stored(variant, flag):
    """An MSCTreeSet holding a state that no builder makes."""
    s = qb.MSCTreeSet(GENES, SPECIES)
    view = decode_msc_view(s.__getstate__())
    view.variant, view.genes.topology_only = variant, flag
    s.__setstate__(encode_msc_view(view))
    return s


def test_from_files(cls, tmp_path):
    genes, missing, latin = tmp_path / "genes.tre", str(tmp_path / "missing.tre"), tmp_path / "latin.tre"
    genes.write_text(GENES)
    (tmp_path / "species.tre").write_text(SPECIES + "\n")
    s = cls.from_files(gene_trees_path=str(genes), species_tree_path=str(tmp_path / "species.tre"))
    assert type(s) is cls and s.__getstate__() == cls(GENES, SPECIES).__getstate__()
    latin.write_bytes(b"(\xe9,B);")
    for args, message in [
        ((missing, missing), "Failed to read gene trees file: No such file or directory (os error 2)"),
        ((str(genes), missing), "Failed to read species tree file: No such file or directory (os error 2)"),
        ((str(latin), str(genes)), "Failed to read gene trees file: stream did not contain valid UTF-8"),
        ((str(genes), str(latin)), "Failed to read species tree file: stream did not contain valid UTF-8"),
        ((str(genes), "a\0b"), "Failed to read species tree file: file name contained an unexpected NUL byte"),
        ((str(tmp_path), str(genes)), "Failed to read gene trees file: Is a directory (os error 21)"),
    ]:
        with pytest.raises(ValueError) as info:
            cls.from_files(*args)
        assert str(info.value) == message
    # Both paths are converted before any file is opened.
    with pytest.raises(TypeError, match=r"^argument 'species_tree_path': 'int' object cannot be converted to"):
        cls.from_files(missing, 3)


def test_states_are_interchangeable():
    plain, topo = qb.MSCTreeSet(GENES, SPECIES), MSCTopologySet(GENES, SPECIES)
    plain.__setstate__(topo.__getstate__())
    assert type(plain) is qb.MSCTreeSet and variant_and_flag(plain) == (1, True)
    assert str(plain) == "MSCTreeSet with 2 gene trees, 4 taxa"


# ---- deep trees ---------------------------------------------------------------

DEEP = 1_000_000


# The classes share their walks: one class per place is enough.
@pytest.mark.parametrize("cls, where", [(qb.MSCTreeSet, "species"), (MSCTopologySet, "genes")])
def test_deep_caterpillar(cls, where):
    deep = caterpillar_newick(DEEP)
    s = cls(GENES, deep) if where == "species" else cls(deep, "(t0,t1);")
    tree = s.get_species_tree() if where == "species" else s[0]
    text = s.species_tree_to_newick() if where == "species" else s.newick()
    assert len(tree) == 2 * DEEP - 1 and text.count(":0") == 2 * DEEP - 2 and len(repr(s)) > len(text)
    copy = cls("(X,Y);", "(X,Y);")
    copy.__setstate__(s.slice(0, 1).__getstate__())
    assert copy.species_tree_to_newick() == s.species_tree_to_newick() and copy.newick() == s.newick().split("\n")[0]
    with pytest.raises(MemoryError):  # 5 * 10^11 cells
        s.get_species_distance_matrix() if where == "species" else s.get_distance_matrix(0)


OUT = "\n".join(GENES_OUT)
# member -> what it gives on cls(GENES, SPECIES), or the exception's type name and text (a third
# item: MSCTopologySet's text); "{name}" stands for the class's name.
MEMBER_TABLE = {
    "sizes": (lambda s: (len(s), s.ngenes, s.ntaxa, s.taxon_set.names(), s.get_taxon_name(3)),
              (2, 2, 4, list("ABCD"), "D")),
    "texts": (lambda s: (str(s), repr(s), s.species_tree_to_newick()),
              ("{name} with 2 gene trees, 4 taxa", f"{{name}}('{OUT}', '{SPECIES_OUT}')", SPECIES_OUT)),
    # Items and the species tree hold the whole taxon set, also the species-only D.
    "items": (lambda s: ([t.get_taxa() for t in s], s[1].newick(), s.get_species_tree().newick(),
                         s.get_species_tree().ntaxa),
              ([list("ABCD")] * 2, "((B,C),A);", "((A,B),(C,D));", 4)),
    "matrices": (lambda s: (s.get_distance_matrix(1)["A", "C"], s.get_species_distance_matrix()["A", "D"],
                            s.get_species_distance_matrix().ntaxa),
                 (3.0, 4.0, 4)),
    "slices": (lambda s: (repr(s.slice(1, 2)), repr(s.slice(2, 2))),
               (f"{{name}}('((B:0,C:0):0.5,A:0);', '{SPECIES_OUT}')", f"{{name}}('', '{SPECIES_OUT}')")),
    "restriction": (lambda s: (lambda r: (repr(r), r.taxon_set.names()))(s.restriction(["C", "A", "C"])),
                    ("{name}('(A:0);\n(C:0,A:0);', '(A:0,C:0);')", ["C", "A"])),
    "remap": (lambda s: repr(s.remap({"A": "B", "B": "A", "C": "x", "D": "y"})),
              "{name}('(B:1,A:2);\n((A:0,x:0):0.5,B:0);', '((B:0,A:0):0,(x:0,y:0):0);')"),
    "one species tree read": (lambda s: str(type(s)("(A,B);", "(A,B);(D,E);")), "{name} with 1 gene trees, 2 taxa"),
    "no gene trees": (lambda s: type(s)(" ;\n; ", "(A:bad,B);"),  # the species text is not read
                      ("ValueError", "No valid trees found in input string")),
    "no species tree": (lambda s: type(s)("(A,B);", "(,);"), ("ValueError", "No species tree found in input string")),
    "item past the end": (lambda s: s[2],
                          ("IndexError", "Tree index 2 out of bounds. Valid range: 0..2", "Index out of bounds")),
    "restriction to unknown taxa": (lambda s: s.restriction(["A", "X", "Y"]),
                                    ("ValueError", "Taxon 'X' not found in tree")),
    "remap missing taxa": (lambda s: s.remap({"A": "X"}),
                           ("ValueError", "Mapping must contain exactly one entry for each taxon")),
    "slice backwards": (lambda s: s.slice(2, 1), ("PanicException", "slice index starts at 2 but ends at 1")),
    "slice past the end": (lambda s: s.slice(0, 3),
                           ("PanicException", "range end index 3 out of range for slice of length 2")),
}


@pytest.mark.parametrize("cls", [qb.MSCTreeSet, MSCTopologySet], ids=lambda c: c.__name__)
@pytest.mark.parametrize("call, want", MEMBER_TABLE.values(), ids=list(MEMBER_TABLE))
def test_member_table(cls, call, want):
    try:
        got = call(cls(GENES, SPECIES))
    except BaseException as e:  # noqa: BLE001
        got, want = (type(e).__name__, str(e)), want[:2] if cls is qb.MSCTreeSet else (want[0], want[-1])
    assert repr(got).replace(cls.__name__, "{name}") == repr(want)


def flags(*sets):
    return [(v.variant, v.genes.topology_only) for v in (decode_msc_view(s.__getstate__()) for s in sets)]


def test_variant_and_flag_of_built_and_derived_sets():
    assert flags(qb.MSCTreeSet(GENES, SPECIES), MSCTopologySet(GENES, SPECIES),
                 qb.MSCTreeSet(GENES, SPECIES).as_topology()) == [(0, False), (1, True), (0, False)]
    # A stored variant 1 with the flag off: slices and restrictions are topologies, a remap keeps both.
    odd = decode_msc_view(qb.MSCTreeSet(GENES, SPECIES).__getstate__())
    odd.variant = 1
    s = qb.MSCTreeSet(GENES, SPECIES)
    s.__setstate__(encode_msc_view(odd))
    renamed = s.remap({"A": "W", "B": "X", "C": "Y", "D": "Z"})
    assert flags(s.slice(0, 1), s.restriction(["A", "B"]), renamed) == [(1, True), (1, True), (1, False)]


# 10^6 levels as the species tree and as a gene tree, copied through the whole state.
@pytest.mark.parametrize("cls, where", [(qb.MSCTreeSet, "species"), (MSCTopologySet, "genes")])
def test_deep_caterpillar_whole_state(cls, where):
    n = 10**6
    deep = caterpillar_newick(n)
    s, copy = cls(GENES, deep) if where == "species" else cls(deep, "(t0,t1);"), cls("(X,Y);", "(X,Y);")
    tree, text = (s.get_species_tree(), s.species_tree_to_newick()) if where == "species" else (s[0], s.newick())
    assert len(tree) == 2 * n - 1 and text.count(":0") == 2 * n - 2 and len(repr(s)) > len(text)
    assert copy.__setstate__(s.__getstate__()) is None and repr(copy) == repr(s)
    with pytest.raises(MemoryError):  # 5 * 10^11 cells
        s.get_species_distance_matrix() if where == "species" else s.get_distance_matrix(0)
