"""Bad input never crashes, leaks or leaves an object half changed."""

import contextlib
import dataclasses
import gc
import os
import random
import struct
import subprocess
import sys

import pytest

import quorbelin as qb
from state import (
    Tree as StoredTree,
    TaxonSet as StoredTaxa,
    TreeView,
    MSCView,
    encode_msc_view,
    encode_single_tree,
    encode_tree,
    encode_tree_view,
    star,
)
from support import MSCTopologySet, broken_trees, exercise

@pytest.mark.parametrize("case", list(broken_trees()), ids=lambda c: c[0])
def test_broken_trees_never_crash(case):
    _, tree = case
    names = StoredTaxa.of(["A", "B", "C"])
    single = qb.Tree("(X,Y);")
    single.__setstate__(encode_single_tree(names, tree))
    exercise(single)
    for cls in (qb.TreeSet, qb.TopologySet):
        ts = cls("(X,Y);")
        ts.__setstate__(encode_tree_view(TreeView(names, [tree, tree], False)))
        exercise(ts)
        for item in ts:
            exercise(item)
    for genes, species in ((tree, star([0, 1])), (star([0, 1]), tree)):
        for cls in (qb.MSCTreeSet, MSCTopologySet):
            msc = cls("(X,Y);", "(X,Y);")
            msc.__setstate__(encode_msc_view(MSCView(1, TreeView(names, [genes, genes], False), species)))
            exercise(msc)
            for item in msc:
                exercise(item)


def test_matrix_too_large_to_allocate():
    t = qb.Tree("(X,Y);")
    tree = dataclasses.replace(star([0, 1, 2]), ntaxa=2**40)
    t.__setstate__(encode_single_tree(StoredTaxa.of(["A", "B", "C"]), tree))
    with pytest.raises(MemoryError):
        t.get_distance_matrix()
    assert t.newick() == "(A,B,C);"


# A size whose cells cannot be allocated fails before anything of the size of
# the id range is made (a quarter gigabyte here).
def test_matrix_too_large_fails_before_per_id_work():
    code = """if True:
        import dataclasses, resource, sys
        sys.path.insert(0, %r)
        import quorbelin as qb
        from state import TaxonSet, encode_single_tree, star
        t = qb.Tree("(X,Y);")
        t.__setstate__(encode_single_tree(TaxonSet.of(["A", "B", "C"]),
                                          dataclasses.replace(star([0, 1, 2]), ntaxa=2**28)))
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        try:
            t.get_distance_matrix()
        except MemoryError:
            print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) // 1024)
    """ % os.path.dirname(__file__)
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert int(run.stdout) < 64  # MiB


def test_mutated_states_never_crash():
    rng = random.Random(1234)
    sources = [
        qb.TreeSet("((A:1,B:2):0.5,(C,D));(D,(C,(B,A)));"),
        qb.Tree("((A,B),(C,(D,E)));"),
        qb.Tree("((A,B),(C,(D,E)));").get_distance_matrix(),
        qb.TreeSet("(A,B);").taxon_set,
        qb.MSCTreeSet("((A:1,B:2):0.5,(C,D));(D,(C,(B,A)));", "((A,E),(B,(C,D)));"),
    ]
    for source in sources:
        state = bytearray(source.__getstate__())
        for _ in range(300):
            data = bytearray(state)
            for _ in range(rng.randint(1, 4)):
                pos = rng.randrange(len(data))
                data[pos] = rng.choice([0, 1, 2, 0x7F, 0x80, 0xFF, rng.randrange(256)])
            obj = source_like(source)
            try:
                obj.__setstate__(bytes(data))
            except ValueError as exc:
                assert str(exc).startswith("Deserialization error: ")
                continue
            exercise(obj)


def source_like(source):
    if isinstance(source, qb.MSCTreeSet):
        return qb.MSCTreeSet("(X,Y);", "(X,Y);")
    if isinstance(source, qb.TreeSet):
        return qb.TreeSet("(X,Y);")
    if isinstance(source, qb.Tree):
        return qb.Tree("(X,Y);")
    if isinstance(source, qb.DistanceMatrix):
        return qb.Tree("(X,Y);").get_distance_matrix()
    return qb.Tree("(X,Y);").taxon_set


# ---- reference counts ------------------------------------------------------


def failing_calls():
    ts = qb.TreeSet("(A,B);(C,D);")
    tree = qb.Tree("(A,B);")
    m = tree.get_distance_matrix()
    names = ts.taxon_set
    arg = object()
    return [
        (ts, lambda: ts.slice(arg, 1)),
        (ts, lambda: ts.slice(3, 1)),
        (ts, lambda: ts[7]),
        (ts, lambda: ts.get_distance_matrix(1)),
        (ts, lambda: ts.__setstate__(b"")),
        (ts, lambda: ts.__setstate__(arg)),
        (ts, lambda: qb.TreeSet([tree, arg])),
        (ts, lambda: qb.TreeSet(arg)),
        (tree, lambda: qb.Tree("(,A);").newick()),
        (tree, lambda: tree.sort_by(qb.SortBy.ChildCount, arg)),
        (tree, lambda: tree.sort_by_multiple([(qb.SortBy.ChildCount, None, arg)])),
        (arg, lambda: tree.sort([arg])),
        (tree, lambda: qb.Tree("(,A);").sort_by(qb.SortBy.LexicographicalOrder)),
        (tree, lambda: tree.get_taxon_name(arg)),
        (tree, lambda: tree.__setstate__(b"\x01")),
        (m, lambda: m[arg]),
        (m, lambda: m[(arg, arg)]),
        (m, lambda: m[("A", "Z")]),
        (m, lambda: m[(0, 9)]),
        (m, lambda: m.get_by_name(arg, "A")),
        (names, lambda: names.get_id(arg)),
        (names, lambda: arg in names),
        (names, lambda: names.__setstate__(b"\x00")),
        (arg, lambda: qb.TopologySet.from_file(arg)),
        (arg, lambda: qb.TreeSet.from_file("/nonexistent")),
        (qb.SortOrder.Ascending,
         lambda: qb.SortCriterion(qb.SortCriterionKind.ChildCount, qb.SortOrder.Ascending, x=1)),
        (qb.SortCriterionKind.ChildCount, lambda: qb.SortCriterion(qb.SortCriterionKind.ChildCount, arg)),
        (qb.SortOrder.Ascending, lambda: qb.SortOrder.ascending(1)),
    ]


def test_failing_calls_keep_reference_counts():
    for subject, call in failing_calls():
        for _ in range(3):  # warm up any lazily built state
            try:
                call()
            except BaseException:  # noqa: BLE001
                pass
        gc.collect()
        before = sys.getrefcount(subject)
        for _ in range(100):
            try:
                call()
            except BaseException:  # noqa: BLE001
                pass
        gc.collect()
        assert sys.getrefcount(subject) == before, call


def test_succeeding_calls_keep_reference_counts():
    text = "(A,B);(B,C);"
    tree = qb.Tree("(A,B);")
    before_text, before_tree = sys.getrefcount(text), sys.getrefcount(tree)
    for _ in range(100):
        qb.TreeSet(text)
        qb.TreeSet([tree, tree])
        tree.__setstate__(tree.__getstate__())
        tree.get_distance_matrix()
        tree.sort_by_multiple([(qb.SortBy.LexicographicalOrder, False)])
    assert sys.getrefcount(text) == before_text
    assert sys.getrefcount(tree) == before_tree


# ---- leaks -----------------------------------------------------------------


def resident_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4


def churn(rounds):
    text = "((A:1,B:2):0.5,(C,D:3));(D,(C,(B,A)));" * 20
    for _ in range(rounds):
        ts = qb.TreeSet(text)
        ts.__setstate__(ts.__getstate__())
        ts.newick()
        tree = ts[1]
        tree.__setstate__(tree.__getstate__())
        qb.TreeSet([tree, tree]).to_newick_vec()
        tree.sort([qb.SortCriterion(qb.SortCriterionKind.DescendantCount, qb.SortOrder.Descending)]).newick()
        m = tree.get_distance_matrix()
        m.__setstate__(m.__getstate__())
        str(m)
        names = ts.taxon_set
        names.__setstate__(names.__getstate__())
        for bad in (b"", b"\x05"):
            try:
                ts.__setstate__(bad)
            except ValueError:
                pass
        try:
            qb.Tree("(,A);").newick()
        except BaseException:  # noqa: BLE001
            pass


def test_no_leak_in_a_loop():
    churn(2000)
    gc.collect()
    start = resident_kib()
    churn(20000)
    gc.collect()
    grown = resident_kib() - start
    # A leak of even one small allocation per round would show as megabytes.
    assert grown < 2048, f"resident memory grew by {grown} KiB"


# ---- calls back into the receiver during argument conversion ---------------


class CallsBack:
    """An index whose conversion runs Python code on the receiver first."""

    def __init__(self, action, value=0):
        self.action, self.value = action, value

    def __index__(self):
        self.action()
        return self.value


def test_setstate_during_a_call_is_refused():
    ts = qb.TreeSet("(A,B);(C,D);")
    state = qb.TreeSet("(X,Y);").__getstate__()
    with pytest.raises(RuntimeError, match=r"^Already borrowed$"):
        ts.slice(CallsBack(lambda: ts.__setstate__(state)), 1)
    assert ts.ngenes == 2 and ts.taxon_set.names() == ["A", "B", "C", "D"]
    m = qb.Tree("(A,B);").get_distance_matrix()
    with pytest.raises(RuntimeError, match=r"^Already borrowed$"):
        m.get(0, CallsBack(lambda: m.__setstate__(m.__getstate__()), 1))
    # A shared borrow inside a shared borrow is fine.
    assert ts.slice(CallsBack(lambda: ts.ngenes + len(ts.newick())), 1).ngenes == 1
    # Once the call is over the object can take a state again.
    ts.__setstate__(state)
    assert ts.ngenes == 1


TAXA = qb.Tree("(A,B,C);").taxon_set.__getstate__()  # names A, B, C
GENES = "((A:1,B:2):0.5,(C,D:3));(D,(C,(B,A)));"


# A star of leaves A, B, C under root 0, given link by link.
def linked_star(ntaxa=3, taxa=(-42, 0, 1, 2), parents=(0,) * 4, lengths=(1.0,) * 4, first=(1, -1, -1, -1),
                nexts=(-1, 2, 3, -1), counts=(3, 0, 0, 0)):
    return StoredTree(*map(list, (taxa, parents, [0.0] * len(taxa), lengths, first, nexts, counts)), False, ntaxa)


BROKEN = {
    "firstchild past the end": linked_star(first=[99, -1, -1, -1]),
    "negative link": linked_star(first=[-7, -1, -1, -1]),
    "nextsib past the end": linked_star(nexts=[-1, 2, 3, 1000]), "sibling cycle": linked_star(nexts=[-1, 2, 3, 1]),
    "root its own child": linked_star(first=[0, -1, -1, -1]), "child back to root": linked_star(first=[1, 0, -1, -1]),
    "shared child": linked_star(first=[1, 1, -1, -1], counts=[3, 1, 0, 0]),
    "no nodes": linked_star(0, [], [], [], [], [], []),
    "short sequences": linked_star(taxa=[-42, 0], lengths=[0.0], counts=[3]),
    "parents out of range": linked_star(parents=[5, 9, -3, 0]),
    "taxon beyond names": linked_star(taxa=[-42, 0, 1, 77]), "negative taxon": linked_star(taxa=[-42, 0, -5, 2]),
    "unlabelled leaf": linked_star(taxa=[-42, -1, 0, 1]), "huge ntaxa": linked_star(2**64 - 1),
    "ntaxa past cells": linked_star(2**33), "ntaxa too small": linked_star(1),
    "childcount says leaf": linked_star(counts=[0] * 4), "childcount without chain": linked_star(first=[-1] * 4),
    "loop claiming 2^32-1 children": linked_star(nexts=[-1, 2, 3, 1], counts=[2**32 - 1] * 4),
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
def exercise_members(obj, matrices=True, depth=1):
    for name, *args in (c for c in CALLS if hasattr(obj, c[0]) and (matrices or "matrix" not in c[0])):
        try:
            out = getattr(obj, name)(*args)
        except BaseException as exc:  # noqa: BLE001
            allowed = (ValueError, IndexError, TypeError, OverflowError, MemoryError)
            assert isinstance(exc, allowed) or type(exc).__name__ == "PanicException", repr(exc)
            continue
        for item in (list(out) if name == "__iter__" else [out]):
            if depth and type(item).__module__ == "quorbelin":
                exercise_members(item, matrices, depth - 1)


@pytest.mark.parametrize("tree", [encode_tree(t) for t in BROKEN.values()], ids=BROKEN.keys())
def test_broken_links_never_crash_any_member(tree):
    view = lambda genes: TAXA + struct.pack("<Q", 2) + genes * 2 + b"\0"  # noqa: E731
    msc = qb.MSCTreeSet("(X,Y);", "(X,Y);")
    for obj, state in [(qb.Tree("(X,Y);"), TAXA + tree), (qb.TreeSet("(X,Y);"), view(tree)),
                       (msc, struct.pack("<I", 1) + view(tree) + encode_tree(linked_star())),
                       (msc, struct.pack("<I", 0) + view(encode_tree(linked_star())) + tree)]:
        obj.__setstate__(state)
        exercise_members(obj)


# A stored ntaxa whose matrix cannot be allocated is one clean MemoryError,
# raised before anything the size of the id range is made.
def test_unallocatable_matrix_takes_no_memory():
    code = (f"import resource, quorbelin\nt = quorbelin.Tree('(X,Y);')\n"
            f"t.__setstate__({TAXA + encode_tree(linked_star(2**28))!r})\n"
            "peak = lambda: resource.getrusage(resource.RUSAGE_SELF).ru_maxrss\nbefore = peak()\n"
            "try:\n    t.get_distance_matrix()\nexcept MemoryError:\n    print((peak() - before) // 1024, t.newick())")
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    grown, newick = run.stdout.split()
    assert int(grown) < 64 and newick == "(A,B,C);", run.stderr  # MiB


# Randomly changed states are taken or refused with the decoder's text; a
# refused one leaves the object as it was.
def test_mutated_states_are_taken_or_leave_the_object_as_it_was():
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
            exercise_members(obj, matrices=False)


TEXT = GENES * 20


# Each class built, stored and read back, printed and sorted; a state refused, a panic.
def churn_once(text=TEXT):
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
        (text, lambda: churn_once(text)),
    ]:
        counts = []
        for rounds in (3, 100):  # the first rounds build any lazy state
            for _ in range(rounds):
                with contextlib.suppress(BaseException):
                    call()
            gc.collect()
            counts.append(sys.getrefcount(subject))
        assert counts[0] == counts[1], call


def test_no_leak_in_a_loop_over_every_class():
    def resident_after(rounds):
        for _ in range(rounds):
            churn_once()
        gc.collect()
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * 4  # KiB

    start = resident_after(2000)
    assert resident_after(20000) - start < 2048  # a leak of one small allocation a round shows as megabytes
