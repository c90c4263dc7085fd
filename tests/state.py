"""Reading and writing the bytes of ``__getstate__`` in tests.

The stored form is positional: little-endian fixed-width numbers, a u64 count
before every sequence, text and map, one byte per flag, fields in declaration
order. Decoding it lets a test look at node fields of a tree without any
test-only API; encoding it lets a test build states that no parse can produce
(unlabelled ids, ``fake_root``, broken links).
"""

from __future__ import annotations

import struct
from dataclasses import dataclass, field


@dataclass
class TaxonSet:
    to_id: list[tuple[str, int]] = field(default_factory=list)  # in stored order
    names: list[str] = field(default_factory=list)
    last: int = 0

    @classmethod
    def of(cls, names):
        """The set a parse builds from these names, in first-seen order."""
        names = list(names)
        ids = {n: i for i, n in enumerate(names)}
        return cls(sorted(ids.items(), key=lambda kv: kv[0].encode()), names, len(names))


@dataclass
class Tree:
    taxa: list[int]
    parents: list[int]
    support: list[float]
    lengths: list[float]
    firstchild: list[int]
    nextsib: list[int]
    childcount: list[int]
    fake_root: bool = False
    ntaxa: int = 0


@dataclass
class Matrix:
    distances: list[float]
    size: int


@dataclass
class TreeView:
    taxon_set: TaxonSet
    trees: list[Tree]
    topology_only: bool


@dataclass
class MatrixView:
    matrix: Matrix
    taxon_set: TaxonSet


@dataclass
class MSCView:
    variant: int  # 0: built as a gene-tree set, 1: built as a topology set
    genes: TreeView
    species_tree: Tree


class _Reader:
    def __init__(self, data: bytes):
        self.data = memoryview(data)
        self.pos = 0

    def take(self, n):
        if self.pos + n > len(self.data):
            raise ValueError("short input")
        chunk = self.data[self.pos : self.pos + n]
        self.pos += n
        return chunk

    def u64(self):
        return struct.unpack("<Q", self.take(8))[0]

    def flag(self):
        b = self.take(1)[0]
        if b > 1:
            raise ValueError(f"bad flag {b}")
        return bool(b)

    def text(self):
        return bytes(self.take(self.u64())).decode("utf-8")

    def numbers(self, code, width):
        n = self.u64()
        return list(struct.unpack(f"<{n}{code}", self.take(n * width)))

    def taxon_set(self):
        to_id = [(self.text(), self.u64()) for _ in range(self.u64())]
        names = [self.text() for _ in range(self.u64())]
        return TaxonSet(to_id, names, self.u64())

    def tree(self):
        return Tree(
            taxa=self.numbers("i", 4),
            parents=self.numbers("i", 4),
            support=self.numbers("d", 8),
            lengths=self.numbers("d", 8),
            firstchild=self.numbers("i", 4),
            nextsib=self.numbers("i", 4),
            childcount=self.numbers("I", 4),
            fake_root=self.flag(),
            ntaxa=self.u64(),
        )

    def matrix(self):
        return Matrix(self.numbers("d", 8), self.u64())

    def tree_view(self):
        return TreeView(self.taxon_set(), [self.tree() for _ in range(self.u64())], self.flag())

    def msc_view(self):
        return MSCView(struct.unpack("<I", self.take(4))[0], self.tree_view(), self.tree())


def _u64(n):
    return struct.pack("<Q", n)


def _text(s):
    b = s.encode("utf-8")
    return _u64(len(b)) + b


def _numbers(code, values):
    return _u64(len(values)) + struct.pack(f"<{len(values)}{code}", *values)


def encode_taxon_set(ts: TaxonSet) -> bytes:
    out = [_u64(len(ts.to_id))]
    for name, i in ts.to_id:
        out += [_text(name), _u64(i)]
    out.append(_u64(len(ts.names)))
    out += [_text(n) for n in ts.names]
    out.append(_u64(ts.last))
    return b"".join(out)


def encode_tree(t: Tree) -> bytes:
    return b"".join(
        [
            _numbers("i", t.taxa),
            _numbers("i", t.parents),
            _numbers("d", t.support),
            _numbers("d", t.lengths),
            _numbers("i", t.firstchild),
            _numbers("i", t.nextsib),
            _numbers("I", t.childcount),
            bytes([t.fake_root]),
            _u64(t.ntaxa),
        ]
    )


def encode_tree_view(v: TreeView) -> bytes:
    return (
        encode_taxon_set(v.taxon_set)
        + _u64(len(v.trees))
        + b"".join(encode_tree(t) for t in v.trees)
        + bytes([v.topology_only])
    )


def encode_msc_view(v: MSCView) -> bytes:
    return struct.pack("<I", v.variant) + encode_tree_view(v.genes) + encode_tree(v.species_tree)


def encode_family(views: list[MSCView]) -> bytes:
    """The stored (uncompressed) member list of a FamilyOfMSC."""
    return _u64(len(views)) + b"".join(encode_msc_view(v) for v in views)


def encode_single_tree(ts: TaxonSet, t: Tree) -> bytes:
    return encode_taxon_set(ts) + encode_tree(t)


def encode_matrix_view(v: MatrixView) -> bytes:
    m = v.matrix
    return _numbers("d", m.distances) + _u64(m.size) + encode_taxon_set(v.taxon_set)


def _whole(data, read):
    r = _Reader(data)
    value = read(r)
    if r.pos != len(data):
        raise ValueError(f"{len(data) - r.pos} bytes left over")
    return value


def decode_taxon_set(data: bytes) -> TaxonSet:
    return _whole(data, _Reader.taxon_set)


def decode_single_tree(data: bytes) -> tuple[TaxonSet, Tree]:
    return _whole(data, lambda r: (r.taxon_set(), r.tree()))


def decode_tree_view(data: bytes) -> TreeView:
    return _whole(data, _Reader.tree_view)


def decode_msc_view(data: bytes) -> MSCView:
    return _whole(data, _Reader.msc_view)


def decode_family(data: bytes) -> list[MSCView]:
    """The stored (uncompressed) member list of a FamilyOfMSC."""
    return _whole(data, lambda r: [r.msc_view() for _ in range(r.u64())])


def decode_matrix_view(data: bytes) -> MatrixView:
    return _whole(data, lambda r: MatrixView(r.matrix(), r.taxon_set()))


def star(taxa, lengths=None, fake_root=False):
    """A root whose children are leaves carrying `taxa` (negative: unlabelled)."""
    n = len(taxa)
    lengths = list(lengths) if lengths is not None else [0.0] * n
    return Tree(
        taxa=[-42] + list(taxa),
        parents=[0] * (n + 1),
        support=[-1.0] + [0.0] * n,
        lengths=[-1.0] + lengths,
        firstchild=[1 if n else -1] + [-1] * n,
        nextsib=[-1] + [k + 2 if k + 1 < n else -1 for k in range(n)],
        childcount=[n] + [0] * n,
        fake_root=fake_root,
        ntaxa=sum(1 for t in taxa if t >= 0),
    )


def caterpillar_newick(n: int) -> str:
    """((((t0,t1),t2),t3)...,t{n-1}); a tree n-1 levels deep."""
    return "(" * (n - 1) + "t0," + "),".join(f"t{i}" for i in range(1, n)) + ");"


class raises_panic:
    """Context manager: the block must raise the binding layer's PanicException
    (a BaseException, not an Exception, and not a module attribute) with
    exactly `text`, or, with prefix=True, a message starting with it."""

    def __init__(self, text: str, prefix: bool = False):
        self.text = text
        self.prefix = prefix
        self.value = None

    def __enter__(self):
        return self

    def __exit__(self, kind, value, tb):
        if kind is None:
            raise AssertionError(f"no PanicException raised (expected {self.text!r})")
        if kind.__name__ != "PanicException" or issubclass(kind, Exception):
            return False  # let the unexpected exception through
        message = str(value)
        ok = message.startswith(self.text) if self.prefix else message == self.text
        if not ok:
            raise AssertionError(f"PanicException {message!r}, expected {self.text!r}")
        self.value = value
        return True
