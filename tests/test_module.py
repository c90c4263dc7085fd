# The module object, its classes, one-time initialisation and the type of internal failures.
# (Text signatures: test_stubs.)
import subprocess
import sys

import pytest

import quorbelin

CLASSES = ["TreeSet", "TopologySet", "MSCTreeSet", "DistanceMatrix", "Tree", "TaxonSet", "SortCriterionKind",
           "SortOrder", "SortCriterion", "SortBy", "FamilyOfMSC"]


@pytest.mark.parametrize("name", [*CLASSES, "MSCTopologySet"])
def test_classes_are_final_and_closed(name):
    assert [k for k in vars(quorbelin) if not k.startswith("__")] == CLASSES  # in this order
    assert quorbelin.__doc__ == "" and quorbelin.__file__.endswith(".abi3.so")  # the stable ABI
    cls = getattr(quorbelin, name, type(quorbelin.MSCTreeSet("(A,B);", "(A,B);").as_topology()))
    assert (cls.__name__, cls.__qualname__, cls.__module__) == (name, name, "quorbelin")
    assert bool(cls.__doc__) is (name not in ("TreeSet", "SortOrder"))  # TreeSet's is ""
    pytest.raises(TypeError, type, "Derived", (cls,), {})
    assert "__dict__" not in dir(cls) and "__weakref__" not in dir(cls) and cls.__weakrefoffset__ == 0
    assert not cls.__flags__ & (3 << 5)  # neither a sequence nor a mapping to pattern matching


def test_panics_first_import_and_second_initialisation():
    code = "\n".join([
        'import sys, quorbelin; sys.stderr.write("imported|")', 'try: quorbelin.TreeSet("(A,B);").slice(1, 0)',
        ('except BaseException as e: t = type(e); '
         'print(t.__name__, e, issubclass(t, Exception), t.__module__ != "quorbelin", bool(t.__doc__), sep="|")'),
        'del sys.modules["quorbelin"]',  # the next import initialises it again
        'try: import quorbelin', 'except ImportError as e: print("ImportError", e)'])
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert run.stdout.splitlines()[0] == "PanicException|slice index starts at 1 but ends at 0|False|True|True"
    assert run.stdout.splitlines()[1].startswith("ImportError") and "once" in run.stdout
    assert run.stderr.startswith("imported|") and "slice index starts at 1 but ends at 0" in run.stderr
    assert ".cpp:" in run.stderr and not hasattr(quorbelin, "PanicException")  # with the source position
