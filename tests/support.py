# Helpers the pytest files share: objects they make the same way, the PanicException check,
# and the README's code blocks.
import contextlib
import functools
import re
from pathlib import Path

import pytest

import quorbelin as qb

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
