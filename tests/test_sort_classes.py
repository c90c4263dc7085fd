"""SortCriterionKind, SortOrder, SortBy and SortCriterion."""

import copy
import pickle
import sys

import pytest

from quorbelin import SortBy, SortCriterion, SortCriterionKind, SortOrder
from quorbelin import SortBy as B, SortCriterion as C, SortCriterionKind as K, SortOrder as O
from support import Index

ENUMS = {
    SortCriterionKind: ["LexicographicalOrder", "ChildCount", "DescendantCount"],
    SortOrder: ["Ascending", "Descending"],
    SortBy: ["LexicographicalOrder", "ChildCount", "DescendantCount"],
}
MEMBERS = [(cls, name, number) for cls, names in ENUMS.items() for number, name in enumerate(names)]
MEMBER_IDS = [f"{cls.__name__}.{name}" for cls, name, _ in MEMBERS]

CLASS_METHODS = [
    (SortCriterionKind, "lexicographical", "LexicographicalOrder"),
    (SortCriterionKind, "child_count", "ChildCount"),
    (SortCriterionKind, "descendant_count", "DescendantCount"),
    (SortOrder, "ascending", "Ascending"),
    (SortOrder, "descending", "Descending"),
]


@pytest.mark.parametrize("cls,name,number", MEMBERS, ids=MEMBER_IDS)
def test_member_repr_int_and_identity(cls, name, number):
    member = getattr(cls, name)
    assert type(member) is cls
    assert repr(member) == f"{cls.__name__}.{name}"
    assert int(member) == number
    assert getattr(cls, name) is member  # made once, kept in the class


@pytest.mark.parametrize(
    "member,text",
    [
        (SortBy.LexicographicalOrder, "lexicographical"),
        (SortBy.ChildCount, "child_count"),
        (SortBy.DescendantCount, "descendant_count"),
        (SortOrder.Descending, "SortOrder.Descending"),
        (SortCriterionKind.ChildCount, "SortCriterionKind.ChildCount"),
    ],
)
def test_str(member, text):
    assert str(member) == text


@pytest.mark.parametrize("cls,method,member", CLASS_METHODS)
def test_class_methods_make_new_equal_instances(cls, method, member):
    made = getattr(cls, method)()
    assert type(made) is cls
    assert made == getattr(cls, member)
    assert made is not getattr(cls, member)
    assert getattr(cls, method)() is not made
    assert getattr(cls, method).__text_signature__ == "($cls)"
    assert getattr(cls, method).__doc__ is None
    # Called through an instance, a class method still returns its own class.
    assert type(getattr(getattr(cls, member), method)()) is cls


def test_sort_by_has_no_class_methods():
    assert not any(hasattr(SortBy, m) for _, m, _ in CLASS_METHODS)


@pytest.mark.parametrize("cls,name,number", MEMBERS, ids=MEMBER_IDS)
def test_equality_with_numbers(cls, name, number):
    member = getattr(cls, name)
    assert member == number and not (member != number)
    assert member != number + 1 and not (member == number + 1)
    assert number == member  # reflected
    assert member == bool(number) if number < 2 else True


@pytest.mark.parametrize(
    "other,equal",
    [
        (1, True),
        (True, True),
        (Index(1), True),
        (Index(0), False),
        (1.0, False),  # a float is not converted
        ("Descending", False),
        (None, False),
        (2**64 + 1, False),  # out of range: not converted
        (-(2**70), False),
        (SortBy.ChildCount, False),  # another enumeration: identity fallback
    ],
)
def test_equality_conversions(other, equal):
    assert (SortOrder.Descending == other) is equal
    assert (SortOrder.Descending != other) is (not equal)


# A failure inside the comparison is raised, never answered as "not equal".
@pytest.mark.parametrize("error, equal",
                         [(RuntimeError("boom"), None), (MemoryError(), None), (TypeError("no"), False)])
def test_failing_comparison_is_raised(error, equal):
    if equal is None:
        with pytest.raises(type(error)):
            SortOrder.Descending == Index(error)
    else:
        assert (SortOrder.Descending == Index(error)) is equal


@pytest.mark.parametrize("op", ["<", "<=", ">", ">="])
@pytest.mark.parametrize("other", [SortOrder.Ascending, 0,
                                   SortCriterion(SortCriterionKind.ChildCount, SortOrder.Ascending)])
def test_ordering_is_refused(op, other):
    with pytest.raises(TypeError):
        eval(f"a {op} b", {"a": SortOrder.Descending if not isinstance(other, SortCriterion) else other, "b": other})


@pytest.mark.parametrize("value", [m for cls in ENUMS for m in (getattr(cls, ENUMS[cls][0]),)]
                         + [SortCriterion(SortCriterionKind.ChildCount, SortOrder.Ascending)])
def test_unhashable_unpicklable_uncopyable(value):
    with pytest.raises(TypeError):
        hash(value)
    with pytest.raises(TypeError):
        {value}
    with pytest.raises(TypeError):
        pickle.dumps(value)
    with pytest.raises(TypeError):
        copy.copy(value)
    with pytest.raises(TypeError):
        copy.deepcopy(value)


@pytest.mark.parametrize("cls", [SortCriterionKind, SortOrder, SortBy])
def test_no_constructor(cls):
    with pytest.raises(TypeError, match=f"^No constructor defined for {cls.__name__}$"):
        cls()
    with pytest.raises(TypeError, match=f"^No constructor defined for {cls.__name__}$"):
        cls(1)


def test_criterion_equality():
    by_position = SortCriterion(SortCriterionKind.ChildCount, SortOrder.Descending)
    by_keyword = SortCriterion(order=SortOrder.Descending, kind=SortCriterionKind.ChildCount)
    assert by_position == by_keyword and not (by_position != by_keyword)
    other = SortCriterion(SortCriterionKind.ChildCount, SortOrder.Ascending)
    assert by_position != other and not (by_position == other)
    assert SortCriterion(SortCriterionKind.child_count(), SortOrder.descending()) == by_position
    assert by_position != (SortCriterionKind.ChildCount, SortOrder.Descending)
    assert by_position != 1
    assert by_position == by_position


def test_criterion_has_no_attributes_or_text_of_its_own():
    c = SortCriterion(SortCriterionKind.ChildCount, SortOrder.Descending)
    assert not hasattr(c, "kind") and not hasattr(c, "order")
    assert repr(c).startswith("<quorbelin.SortCriterion object at 0x")
    with pytest.raises(TypeError):
        int(c)


def test_not_implemented_keeps_its_reference_count():
    """A module built with the headers of 3.12+ (where NotImplemented is immortal) must still
    hand out a new reference when loaded by 3.10 or 3.11."""
    crit = SortCriterion(SortCriterionKind.ChildCount, SortOrder.Ascending)
    before = sys.getrefcount(NotImplemented)
    for _ in range(1000):
        assert SortOrder.Ascending.__ne__(0.0) is NotImplemented
        assert SortBy.ChildCount.__lt__(SortBy.ChildCount) is NotImplemented
        assert crit.__eq__(1) is NotImplemented
    assert sys.getrefcount(NotImplemented) == before


# (class, member, int, str, class method making an equal new instance)
SNAKE = dict(LexicographicalOrder="lexicographical", ChildCount="child_count", DescendantCount="descendant_count",
             Ascending="ascending", Descending="descending")
MEMBER_TABLE = [(c, n, i, SNAKE[n] if c is B else None, None if c is B else SNAKE[n]) for c in (K, O, B)
                for i, n in enumerate(["Ascending", "Descending"] if c is O else list(SNAKE)[:3])]


@pytest.mark.parametrize("cls,name,number,text,method", MEMBER_TABLE)
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
def test_equality_conversions_and_failures(other, equal):
    if isinstance(equal, bool):
        assert (O.Descending == other) is equal and (O.Descending != other) is (not equal)
    else:
        pytest.raises(equal, O.Descending.__eq__, other)


CRIT = C(K.ChildCount, O.Descending)


@pytest.mark.parametrize("how", [hash, lambda v: {v}, pickle.dumps, copy.copy, copy.deepcopy, lambda v: v < v,
                                 lambda v: v <= 0, lambda v: v > v, lambda v: v >= O.Ascending])
@pytest.mark.parametrize("value", [K.ChildCount, O.Descending, B.ChildCount, CRIT])
def test_unordered_unhashable_unpicklable_uncopyable(value, how):
    with pytest.raises(TypeError):
        how(value)
