# Helpers the pytest files share: objects they make the same way, the PanicException check,
# the README's code blocks, and a walk over every reading member of an object built from a broken state.
import contextlib
import dataclasses
import functools
import re
from pathlib import Path

import pytest

import quorbelin as qb
from state import Tree as StoredTree, decode_msc_view, decode_single_tree, decode_tree_view, star

ROOT = Path(__file__).resolve().parents[1]
README = (ROOT / "README.md").read_text(encoding="utf-8")
blocks = lambda lang: re.findall(rf"^```{lang}\n(.*?)^```", README, re.S | re.M)  # noqa: E731
python_code = lambda: "\n".join(blocks("python"))  # noqa: E731

GENES, SPECIES = "(A:1,B:2);\n((B,C):0.5,A);", "((A,B),(C,D));"
MSCTopologySet = type(qb.MSCTreeSet("(A,B);", "(A,B);").as_topology())


def observe(obj):  # what a caller sees of an object: its texts, its state, and those of a family's members
    return (type(obj), str(obj), repr(obj), obj.__getstate__(),
            [observe(m) for m in obj] if isinstance(obj, qb.FamilyOfMSC) else [])


def family(*sets):  # a family of these members, added in order
    return functools.reduce(lambda out, s: out.add(s) or out, sets, qb.FamilyOfMSC())


class Index:  # an int-like: __index__ answers the value, or raises it
    def __init__(self, value): self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException): raise self.value
        return self.value


@contextlib.contextmanager
def raises_panic(text, prefix=False):
    # The block must raise the binding layer's PanicException (a BaseException, not an Exception,
    # and not a module attribute) with exactly `text`, or with prefix=True a message starting with it.
    with pytest.raises(BaseException, match="^" + re.escape(text) + ("" if prefix else r"\Z")) as info:
        yield
    assert type(info.value).__name__ == "PanicException" and not isinstance(info.value, Exception), repr(info.value)


# A stored ntaxa in the tens of thousands makes a matrix of gigabytes, which is allocated (and
# zero-filled) like any other: exercise asks no matrix of a tree whose ntaxa passes this.
MATRIX_LIMIT = 4096


def matrices_are_small(obj):
    try:
        if isinstance(obj, (qb.MSCTreeSet, MSCTopologySet)):
            view = decode_msc_view(obj.__getstate__())
            trees = view.genes.trees + [view.species_tree]
        elif isinstance(obj, (qb.TreeSet, qb.TopologySet)):
            trees = decode_tree_view(obj.__getstate__()).trees
        else:
            trees = [decode_single_tree(obj.__getstate__())[1]]
    except ValueError:  # a state the test decoder does not take
        return False
    return all(t.ntaxa <= MATRIX_LIMIT for t in trees)


def exercise(obj):
    # Calls every reading member of obj; each may answer or fail cleanly (MemoryError: a stored ntaxa
    # too large for its matrix), and a PanicException is the one other allowed outcome.
    calls = []
    if isinstance(obj, (qb.MSCTreeSet, MSCTopologySet)):
        calls = [len, str, repr, lambda o: o.to_newick_vec(), lambda o: list(o), lambda o: o.get_taxon_name(0),
                 lambda o: o.slice(0, len(o)), lambda o: o.ntaxa, lambda o: o.taxon_set.names(),
                 lambda o: o.species_tree_to_newick(), lambda o: o.get_species_tree().newick(),
                 lambda o: o.as_topology() if hasattr(o, "as_topology") else None]
        if matrices_are_small(obj):
            calls.append(lambda o: [str(o.get_distance_matrix(i)) for i in range(min(len(o), 3))])
            calls.append(lambda o: str(o.get_species_distance_matrix()))
    elif isinstance(obj, (qb.TreeSet, qb.TopologySet)):
        calls = [len, str, repr, lambda o: o.to_newick_vec(), lambda o: list(o), lambda o: o.get_taxon_name(0),
                 lambda o: o.slice(0, len(o)), lambda o: o.ntaxa, lambda o: o.taxon_set.names()]
        if matrices_are_small(obj):
            calls.append(lambda o: [str(o.get_distance_matrix(i)) for i in range(min(len(o), 3))])
    elif isinstance(obj, qb.Tree):
        calls = [len, str, repr, lambda o: o.get_taxa(), lambda o: qb.TreeSet([o]).newick(), lambda o: o.ntaxa]
        calls += [lambda o, k=k: o.sort_by(k) for k in (qb.SortBy.LexicographicalOrder, qb.SortBy.ChildCount,
                                                         qb.SortBy.DescendantCount)]
        if matrices_are_small(obj):
            calls.append(lambda o: str(o.get_distance_matrix()))
    elif isinstance(obj, qb.DistanceMatrix):
        calls = [str, repr, lambda o: o.get(0, 1), lambda o: o[0, 1], lambda o: o.get_taxon_name(0), lambda o: o.ntaxa]
    for call in calls:
        try:
            call(obj)
        except (ValueError, IndexError, TypeError, OverflowError, MemoryError):
            pass
        except BaseException as exc:  # noqa: BLE001
            if type(exc).__name__ != "PanicException" or isinstance(exc, Exception):
                raise


def broken_trees():  # (name, tree): stored stars over A, B, C whose links, counts or ids are broken
    good = star([0, 1, 2])

    def variant(**changes):
        return dataclasses.replace(good, **changes)

    yield "firstchild past the end", variant(firstchild=[99, -1, -1, -1])
    yield "nextsib past the end", variant(nextsib=[-1, 2, 3, 1000])
    yield "negative link", variant(firstchild=[-7, -1, -1, -1])
    yield "child cycle", variant(nextsib=[-1, 2, 3, 1])
    yield "self child", variant(firstchild=[0, -1, -1, -1])
    yield "shared child", variant(firstchild=[1, 1, -1, -1], childcount=[3, 1, 0, 0])
    yield "short sequences", variant(taxa=[-42, 0], lengths=[0.0], childcount=[3])
    yield "no nodes", StoredTree([], [], [], [], [], [], [], False, 0)
    yield "taxon beyond names", variant(taxa=[-42, 0, 1, 77])
    yield "negative taxon", variant(taxa=[-42, 0, -5, 2])
    yield "huge ntaxa", variant(ntaxa=2**40)
    yield "ntaxa too small", variant(ntaxa=1)
    yield "childcount lies", variant(childcount=[0, 0, 0, 0])
    yield "parents out of range", variant(parents=[5, 9, -3, 0])
