# Reading and writing the bytes of __getstate__ in tests, so that a test can look at the node
# fields of a tree and build states no parse makes (unlabelled ids, fake_root, broken links).
# The stored form is positional: little-endian numbers, a u64 count before every sequence and
# text, one byte per flag, fields in declaration order. Each field's annotation is its layout:
# a struct code ("?" a flag), "*" + code a counted number list, "s" a text, [x] a counted list
# of x, a tuple its parts in order, a class its fields.

import struct
from dataclasses import field, fields, make_dataclass
from functools import partial


# to_id: (name, id) in stored order. TaxonSet.of(names): the set a parse builds from a list of names,
# in first-seen order.
TaxonSet = make_dataclass("TaxonSet", [("to_id", [("s", "Q")], field(default_factory=list)),
                                       ("names", ["s"], field(default_factory=list)), ("last", "Q", field(default=0))])
TaxonSet.of = classmethod(lambda cls, names: cls(
    sorted({n: i for i, n in enumerate(names)}.items(), key=lambda kv: kv[0].encode()), list(names), len(names)))
# Leaf lists first, in stored order; then the flag and the number of labelled leaves.
Tree = make_dataclass("Tree", [(n, "*" + c) for n, c in
                               zip("taxa parents support lengths firstchild nextsib childcount".split(), "iiddiiI")]
                      + [("fake_root", "?", field(default=False)), ("ntaxa", "Q", field(default=0))])
TreeView = make_dataclass("TreeView", [("taxon_set", TaxonSet), ("trees", [Tree]), ("topology_only", "?")])
# variant 0: built as a gene-tree set, 1: built as a topology set
MSCView = make_dataclass("MSCView", [("variant", "I"), ("genes", TreeView), ("species_tree", Tree)])
Matrix = make_dataclass("Matrix", [("distances", "*d"), ("size", "Q")])
MatrixView = make_dataclass("MatrixView", [("matrix", Matrix), ("taxon_set", TaxonSet)])


def _write(kind, v):
    if isinstance(kind, type):
        return _write(tuple(f.type for f in fields(kind)), [getattr(v, f.name) for f in fields(kind)])
    if isinstance(kind, (list, tuple)):
        head = _write("Q", len(v)) if isinstance(kind, list) else b""
        return head + b"".join(map(_write, kind * len(v) if isinstance(kind, list) else kind, v))
    if kind == "s":
        return _write("*B", v.encode())
    return (_write("Q", len(v)) + struct.pack(f"<{len(v)}{kind[1]}", *v) if kind[0] == "*"
            else struct.pack("<" + kind.replace("?", "B"), v))


def _read(kind, r):  # r: [bytes, position]
    if isinstance(kind, type):
        return kind(*_read(tuple(f.type for f in fields(kind)), r))
    if isinstance(kind, (list, tuple)):
        return ([_read(kind[0], r) for _ in range(_read("Q", r))] if isinstance(kind, list)
                else tuple(_read(k, r) for k in kind))
    code = f"<{_read('Q', r)}{kind[-1]}" if kind[0] in "*s" else "<" + kind  # "<ns": one text of n bytes
    values, r[1] = struct.unpack_from(code, *r), r[1] + struct.calcsize(code)  # struct.error when short
    return list(values) if kind[0] == "*" else values[0].decode() if kind == "s" else values[0]


def _decode(kind, data):  # ValueError for input cut short or left over
    try:
        value = _read(kind, r := [bytes(data), 0])
    except struct.error as e:
        raise ValueError(f"short input: {e}") from None
    if r[1] != len(r[0]):
        raise ValueError(f"{len(r[0]) - r[1]} bytes left over")
    return value


# A family's stored (uncompressed) member list is [MSCView].
(encode_taxon_set, encode_tree, encode_tree_view, encode_msc_view, encode_matrix_view,
 encode_family) = (partial(_write, k) for k in (TaxonSet, Tree, TreeView, MSCView, MatrixView, [MSCView]))
(decode_taxon_set, decode_tree_view, decode_msc_view, decode_single_tree, decode_matrix_view,
 decode_family) = (partial(_decode, k) for k in (TaxonSet, TreeView, MSCView, (TaxonSet, Tree), MatrixView, [MSCView]))
encode_single_tree = lambda ts, t: _write((TaxonSet, Tree), (ts, t))  # noqa: E731


def star(taxa, lengths=None, fake_root=False):
    # A root whose children are leaves carrying `taxa` (negative: unlabelled), with `lengths` (default 0).
    return Tree([-42, *taxa], [0] * ((n := len(taxa)) + 1), [-1.0] + [0.0] * n,
                [-1.0] + (list(lengths) if lengths is not None else [0.0] * n),
                [1 if n else -1] + [-1] * n, [-1] + [k + 2 if k + 1 < n else -1 for k in range(n)], [n] + [0] * n,
                fake_root, sum(t >= 0 for t in taxa))


def caterpillar_newick(n):  # ((((t0,t1),t2),t3)...,t{n-1}); a tree n-1 levels deep
    return "(" * (n - 1) + "t0," + "),".join(f"t{i}" for i in range(1, n)) + ");"
