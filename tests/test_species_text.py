# The species text of a gene-tree/species-tree set: only its first tree is read, and only that tree costs memory.
import subprocess
import sys

import pytest

import quorbelin as qb


# A species text with 10^6 trees after the first: reading it grows the process by less than the text itself
# (13 MiB), where sizing the tree for every '(' and ',' of the text took about 190 MiB.
@pytest.mark.parametrize("cls", ["qb.MSCTreeSet", "type(qb.MSCTreeSet('(A,B);', '(A,B);').as_topology())"],
                         ids=["MSCTreeSet", "MSCTopologySet"])
def test_trees_after_the_first_cost_no_memory(cls):
    code = ("import resource, quorbelin as qb\n"
            "text = '((A,B),C);' + '((A,B),(C,D));' * 10**6\n"
            "peak = lambda: resource.getrusage(resource.RUSAGE_SELF).ru_maxrss\n"
            "before = peak()\n"
            f"s = {cls}('(A,B);', text)\n"
            "print((peak() - before) // 1024, s.species_tree_to_newick(), s.ntaxa)")
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    grown, species, ntaxa = run.stdout.split()
    assert (int(grown) < 4, species, ntaxa) == (True, "((A:0,B:0):0,C:0);", "3"), (grown, run.stderr)  # MiB


# Where the first tree ends: its first ';' outside a comment (comments nest and hold ';', '(' and ','),
# or the end of the text; what follows is not read, so its names are not taxa (A and B come from the gene tree).
@pytest.mark.parametrize("species, written, taxa", [
    ("(A,B);(C,(D,E));", "(A:0,B:0);", "AB"),
    ("(A[;(x,y,z)],(B,C));(D,E);", "(A:0,(B:0,C:0):0);", "ABC"),
    ("(A[a[;]b;(,,)],B[[]];C,D);E;", "(A:0,B:0);", "AB"),
    ("(A,(B,C)[open comment; (D,E,F,G);", "(A:0,(B:0,C:0):0);", "ABC"),
    ("(A,B,C,D)", "(A:0,B:0,C:0,D:0);", "ABCD"),
    ("(A,]x);(B,C);", "(A:0,]x:0);", ["A", "B", "]x"]),
])
def test_the_first_tree_is_read(species, written, taxa):
    s = qb.MSCTreeSet("(A,B);", species)
    assert (s.species_tree_to_newick(), s.taxon_set.names()) == (written, list(taxa))
