"""Branch lengths are written with Python's shortest round-trip digits, in plain decimal."""

import random
import struct
import sys
from decimal import Decimal

import pytest

import quorbelin as qb


def plain(value: float) -> str:
    """repr's shortest digits, written out without an exponent."""
    return format(Decimal(repr(value)).normalize(), "f")


def bits(value: float) -> int:
    return struct.unpack("<Q", struct.pack("<d", value))[0]


def written(values: list[float]) -> list[str]:
    """The length texts the writer gives, all values in one tree."""
    text = "(" + ",".join(f"t{i}:{v!r}" for i, v in enumerate(values)) + ");"
    out = qb.TreeSet(text).to_newick_string()
    return [leaf.split(":", 1)[1] for leaf in out[1:-2].split(",")]


def random_lengths(count: int) -> list[float]:
    rng = random.Random(12)
    out = []
    while len(out) < count:
        v = struct.unpack("<d", struct.pack("<Q", rng.getrandbits(63)))[0]
        if v != float("inf") and v == v:
            out.append(v)
    return out


EDGES = [
    0.0, 5e-324, 2.2250738585072014e-308, 2.225073858507201e-308, 1e-7, 0.1, 0.3, 1 / 3, 1.0,
    9007199254740991.0, 9007199254740992.0, 9007199254740994.0, 1e16, 1e21, 1e22, 1e23,
    1.2345678901234567e89, sys.float_info.max,
] + [10.0**k for k in range(-20, 25)]


@pytest.mark.parametrize("values", [EDGES, random_lengths(4000)], ids=["edges", "random bits"])
def test_lengths_are_repr_digits_in_plain_form(values):
    texts = written(values)
    assert texts == [plain(v) for v in values]
    assert [bits(float(t)) for t in texts] == [bits(v) for v in values]
    # The reader takes each text back to the same value, so writing again is stable.
    assert written([float(t) for t in texts]) == texts
