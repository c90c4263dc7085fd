# The calling frame: argument binding and conversion, refusal texts of every class, references.
import sys

import pytest

import quorbelin as q
from support import Index  # noqa: F401 (the calls below are texts run with eval)

K, O, B = q.SortCriterionKind, q.SortOrder, q.SortBy
ts = lambda: q.TreeSet("((A:1,B:2):1,C:3);(A,(B,C));")  # noqa: E731
tree = lambda: q.Tree("((A,B),C);")  # noqa: E731
topo = lambda: q.TopologySet("(A,B);")  # noqa: E731


caused = TypeError("inner")
caused.__cause__ = KeyError("root")
ARG = "Argument must be either a Newick string or a list of Tree objects"
# (call, exception type, exact text; None: not prefixed with the argument's name)
ERRORS = [
    ("q.SortCriterion(order=O.Ascending)", TypeError,
     "SortCriterion.__new__() missing 1 required positional argument: 'kind'"),
    ("q.SortCriterion(K.ChildCount, O.Ascending, 3)", TypeError,
     "SortCriterion.__new__() takes 2 positional arguments but 3 were given"),
    ("q.SortCriterion(K.ChildCount, kind=K.ChildCount)", TypeError,
     "SortCriterion.__new__() got multiple values for argument 'kind'"),
    ("q.SortCriterion(K.ChildCount, O.Ascending, extra=1)", TypeError,
     "SortCriterion.__new__() got an unexpected keyword argument 'extra'"),
    ("O.ascending(1)", TypeError, "SortOrder.ascending() takes 0 positional arguments but 1 was given"),
    ("tree().sort_by(B.ChildCount, True, 3)", TypeError,
     "Tree.sort_by() takes from 1 to 2 positional arguments but 3 were given"),
    ("ts().slice()", TypeError, "TreeSet.slice() missing 2 required positional arguments: 'start' and 'end'"),
    ("q.SortCriterion(B.ChildCount, O.Ascending)", TypeError,
     "argument 'kind': 'SortBy' object cannot be converted to 'SortCriterionKind'"),
    ("q.Tree(5)", TypeError, "argument 'newick_str': 'int' object cannot be converted to 'PyString'"),
    ("q.Tree('(A,\\udc80);')", UnicodeEncodeError, None),
    ("ts().get_taxon_name(-1)", OverflowError, None),
    ("ts().get_taxon_name(1.5)", TypeError, "argument 'id': 'float' object cannot be interpreted as an integer"),
    ("ts().get_taxon_name(Index(caused))", TypeError, "argument 'id': inner"),
    ("ts().get_taxon_name(Index(KeyError('x')))", KeyError, None),
    ("tree().sort_by(B.ChildCount, 1)", TypeError,
     "argument 'ascending': 'int' object cannot be converted to 'PyBool'"),
    ("topo().restriction('AB')", TypeError, "argument 'taxa': Can't extract `str` to `Vec`"),
    ("topo().restriction(5)", TypeError, "argument 'taxa': 'int' object cannot be converted to 'Sequence'"),
    ("tree().sort_by_multiple([[B.ChildCount, True]])", TypeError,
     "argument 'criteria': 'list' object cannot be converted to 'PyTuple'"),
    ("tree().sort_by_multiple([(B.ChildCount, True, 1)])", ValueError,
     "expected tuple of length 2, but got tuple of length 3"),
    ("ts().remap([('A', 'B')])", TypeError, "argument 'mapping': 'list' object cannot be converted to 'PyDict'"),
    ("ts().__setstate__(bytearray(b'x'))", TypeError,
     "argument 'state': 'bytearray' object cannot be converted to 'PyBytes'"),
    ("1 in ts().taxon_set", TypeError, "argument 'item': 'int' object cannot be converted to 'PyString'"),
    ("ts()[2]", IndexError, "Tree index 2 out of bounds. Valid range: 0..2"),
    ("ts()[0:1]", TypeError, "argument 'index': 'slice' object cannot be interpreted as an integer"),
    ("q.TreeSet('')", ValueError, "No valid trees found in input string"),
    ("q.TreeSet(5)", ValueError, ARG),
    ("q.TreeSet([tree(), ts()])", TypeError, "'TreeSet' object cannot be converted to 'Tree'"),
    ("q.SortOrder(1)", TypeError, "No constructor defined for SortOrder"),
    ("iter(ts().taxon_set)", TypeError, "'quorbelin.TaxonSet' object is not iterable"),
]


@pytest.mark.parametrize("call,exc,text", ERRORS)
def test_refusals(call, exc, text):
    with pytest.raises(exc) as info:
        eval(call)
    assert type(info.value) is exc and info.value.__cause__ is (caused.__cause__ if "caused" in call else None)
    assert str(info.value) == text if text else not str(info.value).startswith("argument '")


class Seq:  # a sequence that is neither list nor tuple
    __len__, __getitem__ = (lambda self: 2), (lambda self, i: "AB"[i])


class bool_:  # numpy's boolean scalar, by type name and module only
    __module__, __init__, __bool__ = "numpy", (lambda self, v: setattr(self, "v", v)), (lambda self: self.v)


# (call, result): int-likes as counts, any sequence as a list of texts, numpy's bool as a flag
ACCEPTED = [("ts().get_taxon_name(True)", "B"), ("ts().get_taxon_name(Index(2))", "C"),
            ("ts().get_taxon_name(2**64 - 1)", None),
            ("topo().restriction(('A', 'B')).ngenes", 1), ("topo().restriction(Seq()).ngenes", 1),
            ("tree().sort_by(B.ChildCount, None).newick()", "(C,(A,B));"),
            ("tree().sort_by(B.ChildCount, False).newick()", "((A,B),C);"),
            ("tree().sort_by(B.ChildCount, bool_(True)).newick()", "(C,(A,B));"),
            ("tree().sort_by(B.ChildCount, ascending=bool_(False)).newick()", "((A,B),C);")]


@pytest.mark.parametrize("call,result", ACCEPTED)
def test_accepted(call, result):
    assert eval(call) == result


# Reference counts and leaks of the calls are checked in test_robustness.py.
def test_instance_type_reference_is_dropped_with_the_instance():
    q.SortCriterion(K.ChildCount, O.Ascending)  # first calls may cache a reference to the type
    before = sys.getrefcount(q.SortCriterion)
    made = [q.SortCriterion(K.ChildCount, O.Ascending) for _ in range(10)]
    during = sys.getrefcount(q.SortCriterion)  # not inside assert: pytest keeps its operands
    del made
    after = sys.getrefcount(q.SortCriterion)
    assert (during, after) == (before + 10, before)
