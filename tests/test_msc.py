"""MSCTreeSet and MSCTopologySet: gene trees with one species tree over one taxon set."""

import pytest

import quorbelin as qb
from state import TreeView, caterpillar_newick, decode_msc_view, encode_msc_view, raises_panic, star
from state import TaxonSet as StoredTaxa

GENES = "(A:1,B:2);\n((B,C):0.5,A);"
SPECIES = "((A,B),(C,D));"
GENES_OUT = ["(A:1,B:2);", "((B:0,C:0):0.5,A:0);"]
SPECIES_OUT = "((A:0,B:0):0,(C:0,D:0):0);"

MSCTopologySet = type(qb.MSCTreeSet("(A,B);", "(A,B);").as_topology())
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
    "to_newick_string": (lambda s: s.to_newick_string(), "\n".join(GENES_OUT)),
    "newick": (lambda s: s.newick(), "\n".join(GENES_OUT)),
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


def test_derived_sets_keep_their_class(cls):
    s = cls(GENES, SPECIES)
    assert type(s.slice(0, 1)) is cls
    assert type(s.get_species_tree()) is qb.Tree and type(s[0]) is qb.Tree


def test_item_access_differs(cls):
    s = cls(GENES, SPECIES)
    message = "Index out of bounds" if cls is MSCTopologySet else "Tree index 2 out of bounds. Valid range: 0..2"
    with pytest.raises(IndexError) as info:
        s[2]
    assert str(info.value) == message
    with pytest.raises(OverflowError):
        s[-1]
    with pytest.raises(TypeError):
        s[0:1]
    # Item 1 holds the whole taxon set, also the species-only D.
    assert s[1].get_taxa() == ["A", "B", "C", "D"]


def test_slice_failures(cls):
    s = cls(GENES, SPECIES)
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
        ("(A,B);", "((E,A),(D,E));(F,[;]", ["A", "B", "E", "D"], "((E:0,A:0):0,(D:0,E:0):0);"),
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
        ("(A,B);", ";", "No species tree found in input string"),
        ("(A,B);", ";(A,B);", "No species tree found in input string"),
        ("(A,B);", "(,);", "No species tree found in input string"),
        ("(A,B);", "((,),(,));", "No species tree found in input string"),
    ],
)
def test_builder_failures(cls, genes, species, message):
    with pytest.raises(ValueError) as info:
        cls(genes, species)
    assert str(info.value) == message


def test_malformed_length_in_the_species_text(cls):
    with raises_panic("called `Result::unwrap()`", prefix=True):
        cls("(A,B);", "(A:x,B);")


def test_constructor_binding(cls):
    name = cls.__name__
    with pytest.raises(TypeError, match=rf"^{name}.__new__\(\) missing 1 required positional argument: 'species_tree'$"):
        cls("(A,B);")
    with pytest.raises(TypeError) as info:
        cls("(A,B);", 7)
    assert str(info.value) == "argument 'species_tree': 'int' object cannot be converted to 'PyString'"
    assert cls(species_tree="(A,B);", gene_trees="(B,A);").taxon_set.names() == ["B", "A"]


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


def test_as_topology_shares_the_gene_trees():
    s = qb.MSCTreeSet(GENES, SPECIES)
    t = s.as_topology()
    assert type(t) is MSCTopologySet and t.__getstate__() == s.__getstate__()
    assert not hasattr(MSCTopologySet, "as_topology")
    assert "MSCTopologySet" not in vars(qb)


# ---- files ------------------------------------------------------------------


def test_from_files(cls, tmp_path):
    genes, species = tmp_path / "genes.tre", tmp_path / "species.tre"
    genes.write_text(GENES)
    species.write_text(SPECIES + "\n")
    s = cls.from_files(str(genes), str(species))
    assert type(s) is cls and s.__getstate__() == cls(GENES, SPECIES).__getstate__()
    assert type(cls.from_files(gene_trees_path=str(genes), species_tree_path=str(species))) is cls


def test_from_files_failures(cls, tmp_path):
    genes, missing, latin = tmp_path / "genes.tre", str(tmp_path / "missing.tre"), tmp_path / "latin.tre"
    genes.write_text(GENES)
    latin.write_bytes(b"(\xe9,B);")
    cases = [
        ((missing, missing), "Failed to read gene trees file: No such file or directory (os error 2)"),
        ((str(genes), missing), "Failed to read species tree file: No such file or directory (os error 2)"),
        ((str(latin), str(genes)), "Failed to read gene trees file: stream did not contain valid UTF-8"),
        ((str(genes), str(latin)), "Failed to read species tree file: stream did not contain valid UTF-8"),
        ((str(genes), "a\0b"), "Failed to read species tree file: file name contained an unexpected NUL byte"),
        ((str(tmp_path), str(genes)), "Failed to read gene trees file: Is a directory (os error 21)"),
    ]
    for args, message in cases:
        with pytest.raises(ValueError) as info:
            cls.from_files(*args)
        assert str(info.value) == message
    # Both paths are converted before any file is opened.
    with pytest.raises(TypeError) as info:
        cls.from_files(missing, 3)
    assert str(info.value) == "argument 'species_tree_path': 'int' object cannot be converted to 'PyString'"


# ---- state ------------------------------------------------------------------


def test_states_are_interchangeable():
    plain, topo = qb.MSCTreeSet(GENES, SPECIES), MSCTopologySet(GENES, SPECIES)
    plain_state = plain.__getstate__()
    plain.__setstate__(topo.__getstate__())
    assert type(plain) is qb.MSCTreeSet and variant_and_flag(plain) == (1, True)
    topo.__setstate__(plain_state)
    assert type(topo) is MSCTopologySet and variant_and_flag(topo) == (0, False)
    assert str(topo) == "MSCTopologySet with 2 gene trees, 4 taxa"


def test_bad_variant_is_refused(cls):
    s = cls(GENES, SPECIES)
    state = bytearray(s.__getstate__())
    state[0] = 2
    with pytest.raises(ValueError) as info:
        s.__setstate__(bytes(state))
    assert str(info.value) == "Deserialization error: invalid value: integer `2`, expected variant index 0 <= i < 2"
    assert repr(s) == repr(cls(GENES, SPECIES))


def test_species_tree_ids_beyond_the_taxon_set(cls):
    view = decode_msc_view(cls(GENES, SPECIES).__getstate__())
    view.species_tree = star([0, 9])
    s = cls("(X,Y);", "(X,Y);")
    s.__setstate__(encode_msc_view(view))
    assert s.ngenes == 2 and s.newick() == "\n".join(GENES_OUT)
    for call in (cls.species_tree_to_newick, cls.get_species_distance_matrix, repr):
        with raises_panic("index out of bounds: the len is", prefix=True):
            call(s)


# ---- deep trees ---------------------------------------------------------------

DEEP = 1_000_000


@pytest.mark.parametrize("where", ["species", "genes"])
def test_deep_caterpillar(cls, where):
    deep = caterpillar_newick(DEEP)
    genes, species = (GENES, deep) if where == "species" else (deep, "(t0,t1);")
    s = cls(genes, species)
    assert s.ntaxa == (DEEP + 3 if where == "species" else DEEP)
    text = s.species_tree_to_newick() if where == "species" else s.newick()
    assert text.count(":0") == 2 * DEEP - 2
    copy = cls("(X,Y);", "(X,Y);")
    copy.__setstate__(s.__getstate__())
    assert copy.__getstate__() == s.__getstate__()
    tree = s.get_species_tree() if where == "species" else s[0]
    assert len(tree) == 2 * DEEP - 1 and len(s.slice(0, 1).species_tree_to_newick()) == len(s.species_tree_to_newick())
    assert len(repr(s)) > len(text)
    with pytest.raises(MemoryError):
        (s.get_species_distance_matrix() if where == "species" else s.get_distance_matrix(0))
