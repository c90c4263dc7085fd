# Leaves without a taxon (an empty leaf of the text, a text without any node, the one node of a restricted tree
# that kept no leaf) are written as an empty label, by every writer; a taxon id past the taxon set, which only a
# stored state can hold, still stops the write.
import pathlib
import re

import pytest

import quorbelin as qb
from state import TaxonSet as StoredTaxa, encode_single_tree, star
from support import MSCTopologySet, raises_panic

DATA = pathlib.Path(__file__).resolve().parents[2] / "shared" / "data"


def stored_tree(taxa):  # a star of leaves carrying `taxa` over the names A, B, C
    tree = qb.Tree("(X,Y);")
    tree.__setstate__(encode_single_tree(StoredTaxa.of("ABC"), star(taxa)))
    return tree


# A Tree and the one text of its four text forms.
@pytest.mark.parametrize("make, text", [
    (lambda: qb.Tree("(,A);"), "(,A);"),
    (lambda: qb.Tree("((,A),(B,));"), "((,A),(B,));"),
    (lambda: qb.Tree("();"), "();"),
    (lambda: qb.Tree("(,);"), "(,);"),
    (lambda: qb.Tree("[only a comment]"), ";"),
    (lambda: qb.Tree(":1"), ";"),
    (lambda: qb.Tree("(A,B);(C,D);").restriction(["C"]), ";"),
    (lambda: qb.Tree("(A,B);").restriction([]), ";"),
    (lambda: qb.MSCTreeSet("(A,B);", "((A,B),C);").restriction([]).get_species_tree(), ";"),
    (lambda: stored_tree([-1, 0, -42]), "(,A,);"),
    (lambda: stored_tree([-5, 1]), "(,B);"),
], ids=["empty leaf", "nested empty leaves", "one empty leaf", "two empty leaves", "comment only", "length only",
        "restricted to a taxon it lacks", "restricted to nothing", "species tree restricted to nothing",
        "stored -1 and -42", "stored -5"])
def test_tree_writes_an_unlabelled_leaf_as_an_empty_label(make, text):
    t = make()
    assert (t.to_newick(), t.newick(), str(t), repr(t)) == (text, text, text, f"SingleTree('{text}')")


# The set writers give each such leaf its ":0" like any other child; a tree of one node without taxon is ";".
@pytest.mark.parametrize("make, genes, species", [
    (lambda: qb.TreeSet("(,A);();[only a comment]"), ["(:0,A:0);", "(:0);", ";"], None),
    (lambda: qb.TopologySet("(A,B);(C,D);").restriction(["A"]), ["(A:0);", ";"], None),
    (lambda: qb.TopologySet("(A,B);(C,D);").restriction([]), [";", ";"], None),
    # X is a species-only taxon: no gene tree keeps a leaf.
    (lambda: qb.MSCTreeSet("(A,B);(A,C);", "((A,B),(C,X));").restriction(["X"]), [";", ";"], "(X:0);"),
    (lambda: MSCTopologySet("(A,B);(A,C);", "((A,B),(C,X));").restriction(["X"]), [";", ";"], "(X:0);"),
    (lambda: qb.MSCTreeSet("(A,B);", "((A,B),C);").restriction([]), [";"], ";"),
    (lambda: qb.MSCTreeSet("(,A);", "((A,B),(,C));"), ["(:0,A:0);"], "((A:0,B:0):0,(:0,C:0):0);"),
], ids=["parsed", "restricted", "nothing kept", "species-only", "species-only topology", "msc nothing kept",
        "msc parsed"])
def test_sets_write_an_unlabelled_leaf_as_an_empty_label(make, genes, species):
    s, joined = make(), "\n".join(genes)
    args = f"'{joined}'" + ("" if species is None else f", '{species}'")
    assert (s.to_newick_vec(), s.to_newick_string(), s.newick(), repr(s)) == (
        genes, joined, joined, f"{type(s).__name__}({args})")
    assert species is None or s.species_tree_to_newick() == species


# A taxon id that the taxon set does not hold is no "no taxon": the write stops as before.
@pytest.mark.parametrize("taxa, index", [([0, 7], 7), ([3, -1], 3)])
def test_a_taxon_past_the_set_still_stops_the_write(taxa, index):
    t = stored_tree(taxa)
    for write in (t.to_newick, lambda: qb.TreeSet([t]).to_newick_vec()):
        with raises_panic(f"index out of bounds: the len is 3 but the index is {index}"):
            write()


# Real gene trees restricted to two rare taxa: 300 of the 424 trees hold neither and write as ";", the others
# hold their kept leaves in text order.
@pytest.mark.skipif(not DATA.is_dir(), reason="shared data not present")
def test_real_gene_trees_restricted_to_two_taxa_all_write():
    path = DATA / "plants103_1kp_genetrees.tre"
    kept = ["Cycas_rumphii", "Welwitschia_mirabilis"]
    texts = [t for t in (p.strip() for p in path.read_text().split(";")) if t]
    want = []
    for text in texts:
        leaves = [x for x in re.findall(r"[(,]([^(),:;\[\]]+)", text) if x in kept]
        want.append("(" + ",".join(f"{x}:0" for x in leaves) + ");" if leaves else ";")
    r = qb.TopologySet.from_file(str(path)).restriction(kept)
    assert (r.to_newick_vec(), want.count(";")) == (want, 300)
    assert [r[i].newick() for i in range(len(r))] == [w.replace(":0", "") for w in want]
