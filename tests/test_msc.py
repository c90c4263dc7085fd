# MSCTreeSet and MSCTopologySet: gene trees with one species tree over one taxon set.

import pytest

import quorbelin as qb
from state import decode_msc_view, encode_msc_view
from support import GENES, SPECIES, MSCTopologySet

OUT, SPECIES_OUT = "(A:1,B:2);\n((B:0,C:0):0.5,A:0);", "((A:0,B:0):0,(C:0,D:0):0);"

# member -> what it gives on cls(GENES, SPECIES), or the exception's type name and text (a third
# item: MSCTopologySet's text); "{name}" stands for the class's name.
MEMBERS = {
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
@pytest.mark.parametrize("call, want", MEMBERS.values(), ids=list(MEMBERS))
def test_members(cls, call, want):
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


# 10^6 levels as the species tree and as a gene tree; the classes share their walks.
@pytest.mark.parametrize("cls, where", [(qb.MSCTreeSet, "species"), (MSCTopologySet, "genes")])
def test_deep_caterpillar(cls, where):
    n = 10**6  # ((((t0,t1),t2),t3)...,t{n-1}); a tree n-1 levels deep
    deep = "(" * (n - 1) + "t0," + "),".join(f"t{i}" for i in range(1, n)) + ");"
    s, copy = cls(GENES, deep) if where == "species" else cls(deep, "(t0,t1);"), cls("(X,Y);", "(X,Y);")
    tree, text = (s.get_species_tree(), s.species_tree_to_newick()) if where == "species" else (s[0], s.newick())
    assert len(tree) == 2 * n - 1 and text.count(":0") == 2 * n - 2 and len(repr(s)) > len(text)
    assert copy.__setstate__(s.__getstate__()) is None and repr(copy) == repr(s)
    with pytest.raises(MemoryError):  # 5 * 10^11 cells
        s.get_species_distance_matrix() if where == "species" else s.get_distance_matrix(0)
