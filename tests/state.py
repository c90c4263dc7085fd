# Reading and writing the bytes of __getstate__ in tests, so that a test can look at the node
# fields of a tree and build states no parse makes (unlabelled ids, fake_root, broken links).
# The stored form is positional: little-endian numbers, a u64 count before every sequence and
# text, one byte per flag, fields in declaration order. Each field's annotation is its layout:
# a struct code ("?" a flag), "*" + code a counted number list, "s" a text, [x] a counted list
# of x, a tuple its parts in order, a class its fields.

import contextlib
import functools
import struct

import pytest
from dataclasses import dataclass, field, fields, make_dataclass


@dataclass
class TaxonSet:
    to_id: [("s", "Q")] = field(default_factory=list)  # (name, id) in stored order
    names: ["s"] = field(default_factory=list)
    last: "Q" = 0

    @classmethod
    def of(cls, names):  # the set a parse builds from these names, in first-seen order
        names = list(names)
        ids = {n: i for i, n in enumerate(names)}
        return cls(sorted(ids.items(), key=lambda kv: kv[0].encode()), names, len(names))


# Leaf lists first, in stored order; then the flag and the number of labelled leaves.
Tree = make_dataclass("Tree", [(n, "*" + code) for n, code in zip(
    "taxa parents support lengths firstchild nextsib childcount".split(), "iiddiiI")]
    + [("fake_root", "?", field(default=False)), ("ntaxa", "Q", field(default=0))])
Matrix = make_dataclass("Matrix", [("distances", "*d"), ("size", "Q")])
TreeView = make_dataclass("TreeView", [("taxon_set", TaxonSet), ("trees", [Tree]), ("topology_only", "?")])
MatrixView = make_dataclass("MatrixView", [("matrix", Matrix), ("taxon_set", TaxonSet)])
# variant 0: built as a gene-tree set, 1: built as a topology set
MSCView = make_dataclass("MSCView", [("variant", "I"), ("genes", TreeView), ("species_tree", Tree)])


def _write(kind, v):
    if isinstance(kind, (list, tuple, type)):
        if isinstance(kind, type):
            kind, v = tuple(f.type for f in fields(kind)), [getattr(v, f.name) for f in fields(kind)]
        head = _write("Q", len(v)) if isinstance(kind, list) else b""
        return head + b"".join(map(_write, kind * len(v) if isinstance(kind, list) else kind, v))
    if kind == "s":
        return _write("*B", v.encode())
    count = _write("Q", len(v)) if kind[0] == "*" else b""
    return count + struct.pack(f"<{len(v) if count else ''}{kind[-1]}".replace("?", "B"), *(v if count else [v]))


def _read(kind, r):  # r: [bytes, position]
    if isinstance(kind, (list, tuple, type)):
        parts = [f.type for f in fields(kind)] if isinstance(kind, type) else kind
        parts = (kind[0] for _ in range(_read("Q", r))) if isinstance(kind, list) else parts
        values = [_read(k, r) for k in parts]
        return kind(*values) if isinstance(kind, type) else values if isinstance(kind, list) else tuple(values)
    if kind == "s":
        return bytes(_read("*B", r)).decode("utf-8")
    n, code = _read("Q", r) if kind[0] == "*" else 1, kind[-1].replace("?", "B")
    if r[1] + n * struct.calcsize(code) > len(r[0]):
        raise ValueError("short input")
    values = list(struct.unpack_from(f"<{n}{code}", r[0], r[1]))
    r[1] += n * struct.calcsize(code)
    if kind == "?" and values[0] > 1:
        raise ValueError(f"bad flag {values[0]}")
    return values if kind[0] == "*" else bool(values[0]) if kind == "?" else values[0]


def _decode(kind, data):
    r = [bytes(data), 0]
    value = _read(kind, r)
    if r[1] != len(r[0]):
        raise ValueError(f"{len(r[0]) - r[1]} bytes left over")
    return value


encode_taxon_set, encode_tree, encode_tree_view, encode_msc_view, encode_matrix_view = (
    functools.partial(_write, k) for k in (TaxonSet, Tree, TreeView, MSCView, MatrixView))
decode_tree_view, decode_msc_view = (functools.partial(_decode, k) for k in (TreeView, MSCView))
decode_single_tree = functools.partial(_decode, (TaxonSet, Tree))


def encode_single_tree(ts, t):
    return _write((TaxonSet, Tree), (ts, t))


def star(taxa, lengths=None, fake_root=False):
    # A root whose children are leaves carrying `taxa` (negative: unlabelled).
    n = len(taxa)
    return Tree([-42, *taxa], [0] * (n + 1), [-1.0] + [0.0] * n, [-1.0, *(lengths or [0.0] * n)],
                [1 if n else -1] + [-1] * n, [-1] + [k + 2 if k + 1 < n else -1 for k in range(n)],
                [n] + [0] * n, fake_root, sum(1 for t in taxa if t >= 0))


def caterpillar_newick(n):  # ((((t0,t1),t2),t3)...,t{n-1}); a tree n-1 levels deep
    return "(" * (n - 1) + "t0," + "),".join(f"t{i}" for i in range(1, n)) + ");"


@contextlib.contextmanager
def raises_panic(text, prefix=False):
    # The block must raise the binding layer's PanicException (a BaseException, not an Exception,
    # and not a module attribute) with exactly `text`, or with prefix=True a message starting with it.
    with pytest.raises(BaseException) as info:
        yield
    message, panic = str(info.value), type(info.value)
    assert panic.__name__ == "PanicException" and not issubclass(panic, Exception), repr(info.value)
    assert message.startswith(text) if prefix else message == text, f"PanicException {message!r}, expected {text!r}"
