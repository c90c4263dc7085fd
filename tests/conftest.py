"""Shared helpers for the pytest suites."""

import pytest

import quorbelin


def has(*names):
    """True when every dotted name ("TreeSet", "Tree.sort_by") exists in the module."""
    for name in names:
        obj = quorbelin
        for part in name.split("."):
            if not hasattr(obj, part):
                return False
            obj = getattr(obj, part)
    return True


def needs(*names):
    """Skip marker for tests that run through classes or methods not built yet."""
    return pytest.mark.skipif(not has(*names), reason="needs " + ", ".join(names))


@pytest.fixture
def panic_exception():
    """The type of the exception raised for internal failures (not a module attribute)."""
    if not has("TreeSet.slice"):
        pytest.skip("needs a method that can fail internally (TreeSet.slice)")
    with pytest.raises(BaseException) as info:
        quorbelin.TreeSet("(A,B);").slice(1, 0)
    return type(info.value)
