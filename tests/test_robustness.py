# Bad states and failing calls through the classes: no crash, no leak, no half-changed object.
# (The readers' failure texts are the C++ stored-form tests'.)
import contextlib
import gc
import random
import struct
import subprocess
import sys

import pytest

import quorbelin as qb
from state import Tree as StoredTree, encode_tree

TAXA = qb.Tree("(A,B,C);").taxon_set.__getstate__()  # names A, B, C
GENES = "((A:1,B:2):0.5,(C,D:3));(D,(C,(B,A)));"


# A star of leaves A, B, C under root 0, given link by link.
def star(ntaxa=3, taxa=(-42, 0, 1, 2), parents=(0,) * 4, lengths=(1.0,) * 4, first=(1, -1, -1, -1),
         nexts=(-1, 2, 3, -1), counts=(3, 0, 0, 0)):
    return StoredTree(*map(list, (taxa, parents, [0.0] * len(taxa), lengths, first, nexts, counts)), False, ntaxa)


BROKEN = {
    "firstchild past the end": star(first=[99, -1, -1, -1]), "negative link": star(first=[-7, -1, -1, -1]),
    "nextsib past the end": star(nexts=[-1, 2, 3, 1000]), "sibling cycle": star(nexts=[-1, 2, 3, 1]),
    "root its own child": star(first=[0, -1, -1, -1]), "child back to root": star(first=[1, 0, -1, -1]),
    "shared child": star(first=[1, 1, -1, -1], counts=[3, 1, 0, 0]), "no nodes": star(0, [], [], [], [], [], []),
    "short sequences": star(taxa=[-42, 0], lengths=[0.0], counts=[3]),
    "parents out of range": star(parents=[5, 9, -3, 0]),
    "taxon beyond names": star(taxa=[-42, 0, 1, 77]), "negative taxon": star(taxa=[-42, 0, -5, 2]),
    "unlabelled leaf": star(taxa=[-42, -1, 0, 1]), "huge ntaxa": star(2**64 - 1), "ntaxa past cells": star(2**33),
    "ntaxa too small": star(1), "childcount says leaf": star(counts=[0] * 4),
    "childcount without chain": star(first=[-1] * 4),
    "loop claiming 2^32-1 children": star(nexts=[-1, 2, 3, 1], counts=[2**32 - 1] * 4),
}

CALLS = [("__str__",), ("__repr__",), ("__len__",), ("__iter__",), ("__getitem__", 0), ("names",), ("get_id", "A"),
         ("get_taxa",), ("newick",), ("to_newick_vec",), ("get_taxon_name", 0), ("get", 0, 1),
         ("get_by_name", "A", "B"),
         ("slice", 0, 1), ("as_topology",), ("species_tree_to_newick",), ("get_species_tree",),
         ("restriction", ["A", "B"]), ("remap", {"A": "Z"}), ("sort_by", qb.SortBy.LexicographicalOrder),
         ("sort_by_multiple", [(qb.SortBy.ChildCount, None), (qb.SortBy.DescendantCount, False)]),
         ("get_distance_matrix",), ("get_distance_matrix", 1), ("get_species_distance_matrix",)]


# Every reading member answers or fails cleanly (a panic is the one other outcome),
# and so do the objects it hands out (items, topology forms, species trees).
# Matrices only where ntaxa is known to be small or unallocatable.
def exercise(obj, matrices=True, depth=1):
    for name, *args in (c for c in CALLS if hasattr(obj, c[0]) and (matrices or "matrix" not in c[0])):
        try:
            out = getattr(obj, name)(*args)
        except BaseException as exc:  # noqa: BLE001
            allowed = (ValueError, IndexError, TypeError, OverflowError, MemoryError)
            assert isinstance(exc, allowed) or type(exc).__name__ == "PanicException", repr(exc)
            continue
        for item in (list(out) if name == "__iter__" else [out]):
            if depth and type(item).__module__ == "quorbelin":
                exercise(item, matrices, depth - 1)


broken_trees = BROKEN.items  # (name, tree) pairs, also run in a family's frame


@pytest.mark.parametrize("tree", [encode_tree(t) for t in BROKEN.values()], ids=BROKEN.keys())
def test_broken_trees_never_crash(tree):
    view = lambda genes: TAXA + struct.pack("<Q", 2) + genes * 2 + b"\0"  # noqa: E731
    msc = qb.MSCTreeSet("(X,Y);", "(X,Y);")
    for obj, state in [(qb.Tree("(X,Y);"), TAXA + tree), (qb.TreeSet("(X,Y);"), view(tree)),
                       (msc, struct.pack("<I", 1) + view(tree) + encode_tree(star())),
                       (msc, struct.pack("<I", 0) + view(encode_tree(star())) + tree)]:
        obj.__setstate__(state)
        exercise(obj)


# A stored ntaxa whose matrix cannot be allocated is one clean MemoryError,
# raised before anything the size of the id range is made.
def test_unallocatable_matrix_takes_no_memory():
    code = (f"import resource, quorbelin\nt = quorbelin.Tree('(X,Y);')\n"
            f"t.__setstate__({TAXA + encode_tree(star(2**28))!r})\n"
            "peak = lambda: resource.getrusage(resource.RUSAGE_SELF).ru_maxrss\nbefore = peak()\n"
            "try:\n    t.get_distance_matrix()\nexcept MemoryError:\n    print((peak() - before) // 1024, t.newick())")
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    grown, newick = run.stdout.split()
    assert int(grown) < 64 and newick == "(A,B,C);", run.stderr  # MiB


# Randomly changed states are taken or refused with the decoder's text; a
# refused one leaves the object as it was.
def test_mutated_states_never_crash():
    rng = random.Random(1234)
    for make in [lambda: qb.TreeSet(GENES), lambda: qb.TreeSet(GENES)[1],
                 lambda: qb.TreeSet(GENES)[1].get_distance_matrix(),
                 lambda: qb.TreeSet(GENES).taxon_set, lambda: qb.MSCTreeSet(GENES, "((A,E),(B,(C,D)));")]:
        state = make().__getstate__()
        for _ in range(300):
            data = bytearray(state)
            for _ in range(rng.randint(1, 4)):
                data[rng.randrange(len(data))] = rng.choice([0, 1, 2, 0x7F, 0x80, 0xFF, rng.randrange(256)])
            obj = make()
            try:
                obj.__setstate__(bytes(data))
            except ValueError as exc:
                assert str(exc).startswith("Deserialization error: ") and obj.__getstate__() == state
                continue
            exercise(obj, matrices=False)


TEXT = GENES * 20


# Each class built, stored and read back, printed and sorted; a state refused, a panic.
def churn(text=TEXT):
    ts = qb.TreeSet(text)
    tree = ts[1]
    for obj in (ts, tree, tree.get_distance_matrix(), ts.taxon_set):
        obj.__setstate__(obj.__getstate__())
        str(obj)
    qb.TreeSet([tree, tree]).to_newick_vec()
    tree.sort([qb.SortCriterion(qb.SortCriterionKind.DescendantCount, qb.SortOrder.Descending)]).newick()
    for refused in (lambda: ts.__setstate__(b"\x05"), lambda: qb.Tree("(,A);").sort_by(qb.SortBy.LexicographicalOrder)):
        with pytest.raises(BaseException):
            refused()


def test_calls_keep_reference_counts():
    ts, tree, arg, text = qb.TreeSet("(A,B);(C,D);"), qb.Tree("(A,B);"), object(), TEXT[:50]
    m = tree.get_distance_matrix()
    for subject, call in [
        (ts, lambda: ts.slice(arg, 1)), (ts, lambda: ts.slice(3, 1)), (ts, lambda: ts[7]),
        (ts, lambda: ts.__setstate__(arg)), (ts, lambda: qb.TreeSet([tree, arg])), (ts, lambda: qb.TreeSet(arg)),
        (tree, lambda: tree.sort_by(qb.SortBy.ChildCount, arg)), (arg, lambda: tree.sort([arg])),
        (tree, lambda: tree.sort_by_multiple([(qb.SortBy.ChildCount, None, arg)])), (m, lambda: m[arg]),
        (m, lambda: m[(arg, arg)]), (m, lambda: m[("A", "Z")]), (ts, lambda: ts.taxon_set.get_id(arg)),
        (ts, lambda: arg in ts.taxon_set), (arg, lambda: qb.TopologySet.from_file(arg)),
        (arg, lambda: qb.TreeSet.from_file("/nonexistent")), (tree, lambda: tree.get_taxon_name(arg)),
        (qb.SortCriterionKind.ChildCount, lambda: qb.SortCriterion(qb.SortCriterionKind.ChildCount, arg)),
        (qb.SortOrder.Ascending,
         lambda: qb.SortCriterion(qb.SortCriterionKind.ChildCount, qb.SortOrder.Ascending, x=1)),
        (text, lambda: churn(text)),
    ]:
        counts = []
        for rounds in (3, 100):  # the first rounds build any lazy state
            for _ in range(rounds):
                with contextlib.suppress(BaseException):
                    call()
            gc.collect()
            counts.append(sys.getrefcount(subject))
        assert counts[0] == counts[1], call


def test_no_leak_in_a_loop():
    def resident_after(rounds):
        for _ in range(rounds):
            churn()
        gc.collect()
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * 4  # KiB

    start = resident_after(2000)
    assert resident_after(20000) - start < 2048  # a leak of one small allocation a round shows as megabytes


def calls_back(action, value=0):  # an index whose conversion runs `action` on the receiver first
    return type("CallsBack", (), {"__index__": lambda self: (action(), value)[1]})()


def test_setstate_during_a_call_is_refused():
    ts, state = qb.TreeSet("(A,B);(C,D);"), qb.TreeSet("(X,Y);").__getstate__()
    with pytest.raises(RuntimeError, match=r"^Already borrowed$"):
        ts.slice(calls_back(lambda: ts.__setstate__(state)), 1)
    assert ts.ngenes == 2 and ts.taxon_set.names() == ["A", "B", "C", "D"]
    # A shared borrow inside a shared borrow is fine, and once the call is over the state can change.
    assert ts.slice(calls_back(lambda: ts.ngenes + len(ts.newick())), 1).ngenes == 1
    ts.__setstate__(state)
    assert ts.ngenes == 1
