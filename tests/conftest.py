"""Shared helpers for the pytest suites."""

import pytest

import quorbelin


@pytest.fixture
def panic_exception():
    """The type of the exception raised for internal failures (not a module attribute)."""
    with pytest.raises(BaseException) as info:
        quorbelin.TreeSet("(A,B);").slice(1, 0)
    return type(info.value)
