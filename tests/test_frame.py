"""The calling frame: argument binding, conversion, receiver borrow, results, references; refusal texts of
every class."""

import sys

import pytest

import quorbelin as q
from support import GENES, SPECIES, MSCTopologySet, Index, family

K, O, B = q.SortCriterionKind, q.SortOrder, q.SortBy


def tree_set():
    return q.TreeSet("((A:1,B:2):1,C:3);(A,(B,C));")


def tree():
    return q.Tree("((A,B),C);")


class FakeNumpyBool:
    """Looks like numpy's boolean scalar by type name and module only."""

    def __init__(self, value):
        self.value = value

    def __bool__(self):
        return self.value


FakeNumpyBool.__name__ = "bool_"
FakeNumpyBool.__module__ = "numpy"


class Seq:
    """A sequence that is neither list nor tuple and makes its items on demand."""

    def __init__(self, *items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return "".join(self.items[i])  # a new str object every time


# (id, call, exception, exact message or None)
BINDING = [
    ("missing-two", lambda: q.SortCriterion(), TypeError,
     "SortCriterion.__new__() missing 2 required positional arguments: 'kind' and 'order'"),
    ("missing-one", lambda: q.SortCriterion(K.ChildCount), TypeError,
     "SortCriterion.__new__() missing 1 required positional argument: 'order'"),
    ("missing-one-by-keyword", lambda: q.SortCriterion(order=O.Ascending), TypeError,
     "SortCriterion.__new__() missing 1 required positional argument: 'kind'"),
    ("too-many", lambda: q.SortCriterion(K.ChildCount, O.Ascending, 3), TypeError,
     "SortCriterion.__new__() takes 2 positional arguments but 3 were given"),
    ("multiple-values", lambda: q.SortCriterion(K.ChildCount, kind=K.ChildCount), TypeError,
     "SortCriterion.__new__() got multiple values for argument 'kind'"),
    ("unexpected-keyword", lambda: q.SortCriterion(K.ChildCount, O.Ascending, extra=1), TypeError,
     "SortCriterion.__new__() got an unexpected keyword argument 'extra'"),
    ("class-method-too-many", lambda: O.ascending(1), TypeError,
     "SortOrder.ascending() takes 0 positional arguments but 1 was given"),
    ("class-method-keyword", lambda: O.ascending(x=1), TypeError,
     "SortOrder.ascending() got an unexpected keyword argument 'x'"),
    ("plural-for-one", lambda: tree().sort([], []), TypeError,
     "Tree.sort() takes 1 positional arguments but 2 were given"),
    ("from-to", lambda: tree().sort_by(q.SortBy.ChildCount, True, 3), TypeError,
     "Tree.sort_by() takes from 1 to 2 positional arguments but 3 were given"),
    ("default-omitted-missing", lambda: tree().sort_by(), TypeError,
     "Tree.sort_by() missing 1 required positional argument: 'criterion'"),
    ("method-missing", lambda: tree_set().slice(), TypeError,
     "TreeSet.slice() missing 2 required positional arguments: 'start' and 'end'"),
    ("method-zero-params", lambda: tree_set().to_newick_vec(1), TypeError,
     "TreeSet.to_newick_vec() takes 0 positional arguments but 1 was given"),
    ("constructor-missing", lambda: q.TreeSet(), TypeError,
     "TreeSet.__new__() missing 1 required positional argument: 'arg'"),
    ("setstate-keyword", lambda: tree_set().__setstate__(b"", state=b""), TypeError,
     "TreeSet.__setstate__() got multiple values for argument 'state'"),
]

CONVERSION = [
    # object of class C
    ("class-refused", lambda: q.SortCriterion(q.SortBy.ChildCount, O.Ascending), TypeError,
     "argument 'kind': 'SortBy' object cannot be converted to 'SortCriterionKind'"),
    ("class-refused-second", lambda: q.SortCriterion(K.ChildCount, K.ChildCount), TypeError,
     "argument 'order': 'SortCriterionKind' object cannot be converted to 'SortOrder'"),
    # text
    ("text-int", lambda: q.Tree(5), TypeError,
     "argument 'newick_str': 'int' object cannot be converted to 'PyString'"),
    ("text-bytes", lambda: q.TopologySet(b"(A,B);"), TypeError,
     "argument 'newick_str': 'bytes' object cannot be converted to 'PyString'"),
    ("text-surrogate", lambda: q.Tree("(A,\udc80);"), UnicodeEncodeError, None),
    # count
    ("count-negative", lambda: tree_set().get_taxon_name(-1), OverflowError, None),
    ("count-huge", lambda: tree_set().get_taxon_name(2**64), OverflowError, None),
    ("count-float", lambda: tree_set().get_taxon_name(1.5), TypeError,
     "argument 'id': 'float' object cannot be interpreted as an integer"),
    ("count-str", lambda: tree_set().get_taxon_name("1"), TypeError,
     "argument 'id': 'str' object cannot be interpreted as an integer"),
    ("count-index-negative", lambda: tree_set().get_taxon_name(Index(-1)), OverflowError, None),
    # optional flag
    ("flag-int", lambda: tree().sort_by(q.SortBy.ChildCount, 1), TypeError,
     "argument 'ascending': 'int' object cannot be converted to 'PyBool'"),
    ("flag-str", lambda: tree().sort_by(q.SortBy.ChildCount, ascending="yes"), TypeError,
     "argument 'ascending': 'str' object cannot be converted to 'PyBool'"),
    # list of texts
    ("list-str", lambda: q.TopologySet("(A,B);").restriction("AB"), TypeError,
     "argument 'taxa': Can't extract `str` to `Vec`"),
    ("list-not-sequence", lambda: q.TopologySet("(A,B);").restriction(5), TypeError,
     "argument 'taxa': 'int' object cannot be converted to 'Sequence'"),
    ("list-set", lambda: q.TopologySet("(A,B);").restriction({"A"}), TypeError,
     "argument 'taxa': 'set' object cannot be converted to 'Sequence'"),
    ("list-bad-item", lambda: q.TopologySet("(A,B);").restriction(["A", 1]), TypeError,
     "argument 'taxa': 'int' object cannot be converted to 'PyString'"),
    # list of records, pair
    ("records-bad-item", lambda: tree().sort([K.ChildCount]), TypeError,
     "argument 'criteria': 'SortCriterionKind' object cannot be converted to 'SortCriterion'"),
    ("pair-not-tuple", lambda: tree().sort_by_multiple([[q.SortBy.ChildCount, True]]), TypeError,
     "argument 'criteria': 'list' object cannot be converted to 'PyTuple'"),
    ("pair-length", lambda: tree().sort_by_multiple([(q.SortBy.ChildCount, True, 1)]), ValueError,
     "expected tuple of length 2, but got tuple of length 3"),
    ("pair-bad-item", lambda: tree().sort_by_multiple([(K.ChildCount, True)]), TypeError,
     "argument 'criteria': 'SortCriterionKind' object cannot be converted to 'SortBy'"),
    # mapping of texts
    ("map-list", lambda: tree_set().remap([("A", "B")]), TypeError,
     "argument 'mapping': 'list' object cannot be converted to 'PyDict'"),
    ("map-bad-value", lambda: tree_set().remap({"A": 1, "B": "b", "C": "c"}), TypeError,
     "argument 'mapping': 'int' object cannot be converted to 'PyString'"),
    # bytes
    ("bytes-bytearray", lambda: tree_set().__setstate__(bytearray(b"x")), TypeError,
     "argument 'state': 'bytearray' object cannot be converted to 'PyBytes'"),
    ("bytes-memoryview", lambda: tree_set().__setstate__(memoryview(b"x")), TypeError,
     "argument 'state': 'memoryview' object cannot be converted to 'PyBytes'"),
    # __contains__ and __getitem__ parameters
    ("contains-int", lambda: 1 in tree_set().taxon_set, TypeError,
     "argument 'item': 'int' object cannot be converted to 'PyString'"),
    ("getitem-negative", lambda: tree_set()[-1], OverflowError, None),
    ("getitem-slice", lambda: tree_set()[0:1], TypeError, None),
]


def run_case(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message
    elif exc is not TypeError:
        assert not str(info.value).startswith("argument '")  # passes unprefixed
    return info.value


@pytest.mark.parametrize("call,exc,message", [c[1:] for c in BINDING], ids=[c[0] for c in BINDING])
def test_binding_errors(call, exc, message):
    run_case(call, exc, message)


@pytest.mark.parametrize("call,exc,message", [c[1:] for c in CONVERSION], ids=[c[0] for c in CONVERSION])
def test_conversion_errors(call, exc, message):
    run_case(call, exc, message)


@pytest.mark.parametrize("value,expected", [(True, "B"), (False, "A"), (Index(2), "C"), (3, None), (2**64 - 1, None)])
def test_count_accepts_int_likes(value, expected):
    assert tree_set().get_taxon_name(value) == expected


@pytest.mark.parametrize("taxa", [["A", "B"], ("A", "B"), Seq("A", "B")], ids=["list", "tuple", "sequence"])
def test_list_of_texts_accepts_any_sequence(taxa):
    assert q.TopologySet("((A,B),C);").restriction(taxa).ngenes == 1


@pytest.mark.parametrize("flag", [None, True, False, FakeNumpyBool(True), FakeNumpyBool(False)])
def test_optional_flag_kinds(flag):
    t = tree()
    expected = t.sort_by(q.SortBy.ChildCount, bool(flag) if flag is not None else None).to_newick()
    assert t.sort_by(q.SortBy.ChildCount, flag).to_newick() == expected
    assert t.sort_by(criterion=q.SortBy.ChildCount, ascending=flag).to_newick() == expected


class CausedTypeError:
    def __index__(self):
        raise TypeError("inner") from KeyError("root")


class RaisesKeyError:
    def __index__(self):
        raise KeyError("not a type error")


def test_prefixed_error_keeps_cause_and_other_errors_pass_unchanged():
    with pytest.raises(TypeError) as info:
        tree_set().get_taxon_name(CausedTypeError())
    assert str(info.value) == "argument 'id': inner"
    assert isinstance(info.value.__cause__, KeyError)
    with pytest.raises(KeyError):
        tree_set().get_taxon_name(RaisesKeyError())


def test_item_protocol():
    ts = tree_set()
    assert [t.to_newick() for t in ts] == [ts[0].to_newick(), ts[1].to_newick()]
    matrix = ts.get_distance_matrix(0)
    with pytest.raises(TypeError):
        for _ in matrix:
            pass


# Reference counts and leaks of the calls are checked in test_robustness.py.


def test_instance_type_reference_is_dropped_with_the_instance():
    q.SortCriterion(K.ChildCount, O.Ascending)  # first calls may cache a reference to the type
    before = sys.getrefcount(q.SortCriterion)
    made = [q.SortCriterion(K.ChildCount, O.Ascending) for _ in range(10)]
    during = sys.getrefcount(q.SortCriterion)  # not inside assert: pytest keeps its operands
    del made
    after = sys.getrefcount(q.SortCriterion)
    assert (during, after) == (before + 10, before)



ts = lambda: q.TreeSet("((A:1,B:2):1,C:3);(A,(B,C));")  # noqa: E731
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


class SeqAB:  # a sequence that is neither list nor tuple
    __len__, __getitem__ = (lambda self: 2), (lambda self, i: "AB"[i])


# (call, result): int-likes as counts, any sequence as a list of texts, numpy's bool as a flag
ACCEPTED = [("ts().get_taxon_name(True)", "B"), ("ts().get_taxon_name(Index(2))", "C"),
            ("ts().get_taxon_name(2**64 - 1)", None),
            ("topo().restriction(('A', 'B')).ngenes", 1), ("topo().restriction(SeqAB()).ngenes", 1),
            ("tree().sort_by(B.ChildCount, None).newick()", "(C,(A,B));"),
            ("tree().sort_by(B.ChildCount, False).newick()", "((A,B),C);"),
            ("tree().sort_by(B.ChildCount, FakeNumpyBool(True)).newick()", "(C,(A,B));"),
            ("tree().sort_by(B.ChildCount, ascending=FakeNumpyBool(False)).newick()", "((A,B),C);")]


@pytest.mark.parametrize("call,result", ACCEPTED)
def test_accepted(call, result):
    assert eval(call) == result


def built(name):  # the same name as a new str object made at run time, not the interned one a call site passes
    made = "".join(list(name))
    assert made == name and made is not sys.intern(made)
    return made


# Keyword names made at run time bind exactly as literal ones do, on constructors, methods and class
# methods: (call given a function k that turns each parameter name into the key it passes, and the paths of
# genes/species files; what it gives). A binding error is given as its exception's type name and text.
KEYWORDS = {
    "Tree()": (lambda k, p: q.Tree(**{k("newick_str"): "((A,B),C);"}).newick(), "((A,B),C);"),
    "TreeSet()": (lambda k, p: q.TreeSet(**{k("arg"): "(A,B);"}).newick(), "(A:0,B:0);"),
    "TopologySet()": (lambda k, p: q.TopologySet(**{k("newick_str"): "(A,B);"}).ngenes, 1),
    "MSCTreeSet()": (lambda k, p: str(q.MSCTreeSet(**{k("species_tree"): SPECIES, k("gene_trees"): GENES})),
                     "MSCTreeSet with 2 gene trees, 4 taxa"),
    "SortCriterion()": (lambda k, p: q.SortCriterion(**{k("order"): O.Descending, k("kind"): K.ChildCount})
                        == q.SortCriterion(K.ChildCount, O.Descending), True),
    "restriction": (lambda k, p: tree().restriction(**{k("taxa"): ["C", "A"]}).newick(), "(A,C);"),
    "slice": (lambda k, p: ts().slice(**{k("end"): 2, k("start"): 1}).newick(), "(A:0,(B:0,C:0):0);"),
    "slice, one by position": (lambda k, p: len(ts().slice(0, **{k("end"): 1})), 1),
    "get_taxon_name": (lambda k, p: ts().get_taxon_name(**{k("id"): 2}), "C"),
    "sort_by": (lambda k, p: tree().sort_by(**{k("ascending"): False, k("criterion"): B.ChildCount}).newick(),
                "((A,B),C);"),
    "remap": (lambda k, p: tree().remap(**{k("mapping"): {"A": "x", "B": "y", "C": "z"}}).newick(), "((x,y),z);"),
    "get_by_name": (lambda k, p: tree().get_distance_matrix().get_by_name(**{k("taxon2"): "C", k("taxon1"): "A"}),
                    3.0),
    "__setstate__": (lambda k, p: (lambda t: (t.__setstate__(**{k("state"): tree().__getstate__()}), t.newick()))(
        q.Tree("(X,Y);"))[1], "((A,B),C);"),
    "add": (lambda k, p: family().add(**{k("view"): MSCTopologySet(GENES, SPECIES)}), None),
    "TreeSet.from_file": (lambda k, p: q.TreeSet.from_file(**{k("path"): p["genes"]}).ngenes, 2),
    "MSCTopologySet.from_files": (lambda k, p: str(MSCTopologySet.from_files(
        **{k("species_tree_path"): p["species"], k("gene_trees_path"): p["genes"]})),
        "MSCTopologySet with 2 gene trees, 4 taxa"),
    "FamilyOfMSC.from_files": (lambda k, p: q.FamilyOfMSC.from_files(
        **{k("species_trees_paths"): [p["species"]], k("gene_trees_paths"): [p["genes"]]}).get_sizes(), [(2, 4)]),
    # a keyword that repeats a positional argument, one that names no parameter
    "repeated": (lambda k, p: ts().slice(0, **{k("start"): 1}),
                 ("TypeError", "TreeSet.slice() got multiple values for argument 'start'")),
    "unknown": (lambda k, p: O.ascending(**{k("ascending"): 1}),
                ("TypeError", "SortOrder.ascending() got an unexpected keyword argument 'ascending'")),
}


@pytest.mark.parametrize("call, want", KEYWORDS.values(), ids=list(KEYWORDS))
def test_keyword_names_made_at_run_time(call, want, tmp_path):
    (tmp_path / "genes.tre").write_text(GENES)
    (tmp_path / "species.tre").write_text(SPECIES)
    paths = {"genes": str(tmp_path / "genes.tre"), "species": str(tmp_path / "species.tre")}
    outcomes = []
    for key in (lambda name: name, built):
        try:
            outcomes.append(call(key, paths))
        except TypeError as e:
            outcomes.append(("TypeError", str(e)))
    assert outcomes == [want, want]
