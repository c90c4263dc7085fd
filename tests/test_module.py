# The module object, its classes, one-time initialisation and the type of internal failures.
import subprocess
import sys

import pytest

import quorbelin

# The module's attributes in order: (doc text, text signature); a signature with an empty doc leaves ""
CLASSES = {
    "TreeSet": ("", "(arg)"),
    "TopologySet": ("A Python wrapper for TopologyTreeView", "(newick_str)"),
    "MSCTreeSet": ("A Python wrapper for MSCTreeView", "(gene_trees, species_tree)"),
    "DistanceMatrix": ("A Python wrapper for DistanceMatrixView", None),
    "Tree": ("A Python wrapper for a single tree with its taxon set", "(newick_str)"),
    "TaxonSet": ("A Python wrapper for TaxonSet providing read-only access", None),
    "SortCriterionKind": ("Add these enum definitions for Python", None),
    "SortOrder": (None, None),
    "SortCriterion": ("Add this struct for Python", "(kind, order)"),
    "SortBy": ("Add these as proper Python enums", None),
    "FamilyOfMSC": ("A Python wrapper for a collection of MSC topology tree views", "()"),
}
MSC_TOPOLOGY = ("A Python wrapper for MSCTreeView in topology-only mode", "(gene_trees, species_tree)")


def test_module_attributes_are_the_classes_in_order():
    assert [k for k in vars(quorbelin) if not k.startswith("__")] == list(CLASSES)
    assert quorbelin.__doc__ == "" and quorbelin.__file__.endswith(".abi3.so")  # the stable ABI


@pytest.mark.parametrize("name", [*CLASSES, "MSCTopologySet"])
def test_classes_are_final_and_closed(name):
    cls = getattr(quorbelin, name, type(quorbelin.MSCTreeSet("(A,B);", "(A,B);").as_topology()))
    assert (cls.__name__, cls.__qualname__, cls.__module__) == (name, name, "quorbelin")
    assert (cls.__doc__, cls.__text_signature__) == CLASSES.get(name, MSC_TOPOLOGY)
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})
    assert "__dict__" not in dir(cls) and "__weakref__" not in dir(cls) and cls.__weakrefoffset__ == 0
    assert not cls.__flags__ & (3 << 5)  # neither a sequence nor a mapping to pattern matching


def test_panics_first_import_and_second_initialisation():
    code = """if 1:
        import sys, quorbelin
        sys.stderr.write("imported|")
        try:
            quorbelin.TreeSet("(A,B);").slice(1, 0)
        except BaseException as e:
            t = type(e)
            print(t.__name__, e, issubclass(t, Exception), t.__module__ != "quorbelin", bool(t.__doc__), sep="|")
        del sys.modules["quorbelin"]  # the next import initialises it again
        try:
            import quorbelin
        except ImportError as e:
            print("ImportError", e)
    """
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    panic, again = run.stdout.splitlines()
    assert panic == "PanicException|slice index starts at 1 but ends at 0|False|True|True"
    assert again.startswith("ImportError") and "once" in again
    assert run.stderr.startswith("imported|") and "slice index starts at 1 but ends at 0" in run.stderr
    assert ".cpp:" in run.stderr and not hasattr(quorbelin, "PanicException")  # with the source position
