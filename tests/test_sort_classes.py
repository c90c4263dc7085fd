# SortCriterionKind, SortOrder, SortBy and SortCriterion.
import copy
import pickle
import sys

import pytest

from quorbelin import SortBy as B, SortCriterion as C, SortCriterionKind as K, SortOrder as O
from support import Index

# (class, member, int, str, class method making an equal new instance)
SNAKE = dict(LexicographicalOrder="lexicographical", ChildCount="child_count", DescendantCount="descendant_count",
             Ascending="ascending", Descending="descending")
MEMBERS = [(c, n, i, SNAKE[n] if c is B else None, None if c is B else SNAKE[n]) for c in (K, O, B)
           for i, n in enumerate(["Ascending", "Descending"] if c is O else list(SNAKE)[:3])]


@pytest.mark.parametrize("cls,name,number,text,method", MEMBERS)
def test_members(cls, name, number, text, method):
    m = getattr(cls, name)
    assert type(m) is cls and getattr(cls, name) is m  # made once, kept in the class
    assert (repr(m), str(m), int(m)) == (f"{cls.__name__}.{name}", text or repr(m), number)
    assert m == number and number == m and not (m != number) and m != number + 1 and not (m == number + 1)
    if method:
        made = getattr(cls, method)()
        assert type(made) is cls and made == m and made is not m and getattr(cls, method)() is not made
        assert (getattr(cls, method).__text_signature__, getattr(cls, method).__doc__) == ("($cls)", None)
        assert type(getattr(m, method)()) is cls  # through an instance, still its own class


# (other, Descending == other): floats and out-of-range numbers are not converted; a failure in
# the conversion other than TypeError is raised, never answered as "not equal"
@pytest.mark.parametrize("other,equal", [(1, True), (Index(1), True), (1.0, False), (2**64 + 1, False),
                                         (B.ChildCount, False),
                                         (Index(TypeError()), False), (Index(RuntimeError("boom")), RuntimeError)])
def test_equality_conversions(other, equal):
    if isinstance(equal, bool):
        assert (O.Descending == other) is equal and (O.Descending != other) is (not equal)
    else:
        pytest.raises(equal, O.Descending.__eq__, other)


CRIT = C(K.ChildCount, O.Descending)


def test_criterion_equality():
    assert CRIT == C(order=O.Descending, kind=K.ChildCount) == C(K.child_count(), O.descending()) and CRIT == CRIT
    assert (CRIT != C(K.ChildCount, O.Ascending)
            and not (CRIT == C(K.ChildCount, O.Ascending) or CRIT != C(K.ChildCount, O.Descending)))
    assert (CRIT != (K.ChildCount, O.Descending) and CRIT != 1
            and repr(CRIT).startswith("<quorbelin.SortCriterion object at 0x"))
    pytest.raises(TypeError, int, CRIT)


@pytest.mark.parametrize("how", [hash, lambda v: {v}, pickle.dumps, copy.copy, copy.deepcopy, lambda v: v < v,
                                 lambda v: v <= 0, lambda v: v > v, lambda v: v >= O.Ascending])
@pytest.mark.parametrize("value", [K.ChildCount, O.Descending, B.ChildCount, CRIT])
def test_unordered_unhashable_unpicklable_uncopyable(value, how):
    with pytest.raises(TypeError):
        how(value)


# A module built with the headers of 3.12+ (where NotImplemented is immortal) must still hand out
# a new reference when loaded by 3.10 or 3.11 ("deallocating NotImplemented").
def test_not_implemented_keeps_its_reference_count():
    before = sys.getrefcount(NotImplemented)
    for _ in range(1000):
        assert O.Ascending.__ne__(0.0) is NotImplemented
        assert B.ChildCount.__lt__(B.ChildCount) is NotImplemented
        assert CRIT.__eq__(1) is NotImplemented
    assert sys.getrefcount(NotImplemented) == before
