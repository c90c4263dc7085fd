"""The module object, its classes, their docstrings, and one-time initialisation."""

import subprocess
import sys
import textwrap

import pytest

import quorbelin

MODULE_ORDER = [
    "TreeSet", "TopologySet", "MSCTreeSet", "DistanceMatrix", "Tree", "TaxonSet",
    "SortCriterionKind", "SortOrder", "SortCriterion", "SortBy", "FamilyOfMSC",
]

# class: (doc text or None, text signature or None)
DOCS = {
    "TreeSet": ("", "(arg)"),  # a signature with an empty doc text leaves ""
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
    "MSCTopologySet": ("A Python wrapper for MSCTreeView in topology-only mode", "(gene_trees, species_tree)"),
}


# Members' text signatures are checked against the type stubs (test_stubs.py).


def get_class(name):
    if name == "MSCTopologySet":
        return type(quorbelin.MSCTreeSet("(A,B);", "(A,B);").as_topology())
    return getattr(quorbelin, name)


def test_module_attributes_are_the_classes_in_order():
    public = [k for k in vars(quorbelin) if not k.startswith("__")]
    assert public == [name for name in MODULE_ORDER if name in public]
    assert "MSCTopologySet" not in public
    assert all(isinstance(getattr(quorbelin, name), type) for name in public)
    assert quorbelin.__doc__ == ""


def test_module_has_exactly_the_eleven_classes():
    assert [k for k in vars(quorbelin) if not k.startswith("__")] == MODULE_ORDER


@pytest.mark.parametrize("name", list(DOCS))
def test_class_docstrings_and_signatures(name):
    cls = get_class(name)
    doc, signature = DOCS[name]
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__module__ == "quorbelin"
    assert cls.__doc__ == doc
    assert cls.__text_signature__ == signature


@pytest.mark.parametrize("name", list(DOCS))
def test_classes_are_final_and_closed(name):
    cls = get_class(name)
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})
    assert "__dict__" not in dir(cls)
    assert "__weakref__" not in dir(cls)
    assert not hasattr(cls, "__dictoffset__") or cls.__dictoffset__ == 0
    assert cls.__weakrefoffset__ == 0
    # neither flagged as a sequence nor as a mapping (pattern matching)
    assert not (cls.__flags__ & (1 << 5)) and not (cls.__flags__ & (1 << 6))


def test_instances_take_no_new_attributes():
    import weakref

    member = quorbelin.SortOrder.Ascending
    with pytest.raises(AttributeError):
        member.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(member)


def test_panic_exception_derives_from_base_exception(panic_exception):
    assert panic_exception.__name__ == "PanicException"
    assert issubclass(panic_exception, BaseException)
    assert not issubclass(panic_exception, Exception)
    assert panic_exception.__module__ != "quorbelin"
    assert not hasattr(quorbelin, "PanicException")
    assert panic_exception.__doc__


def test_panic_message_and_report_on_stderr():
    code = textwrap.dedent(
        """
        import quorbelin
        try:
            quorbelin.TreeSet("(A,B);").slice(1, 0)
        except BaseException as e:
            print(type(e).__name__, str(e), sep="|")
        """
    )
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0
    assert run.stdout.strip() == "PanicException|slice index starts at 1 but ends at 0"
    assert "slice index starts at 1 but ends at 0" in run.stderr
    assert ".cpp:" in run.stderr  # the source position


def test_second_initialisation_raises_import_error():
    # Dropping the module from sys.modules makes the next import initialise it again.
    code = textwrap.dedent(
        """
        import sys, quorbelin
        del sys.modules["quorbelin"]
        try:
            import quorbelin
        except ImportError as e:
            print("ImportError", e)
        """
    )
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout.startswith("ImportError"), run.stdout
    assert "once" in run.stdout


def test_first_import_in_a_fresh_process():
    run = subprocess.run(
        [sys.executable, "-c", "import quorbelin; print(quorbelin.__name__, quorbelin.SortOrder.Ascending)"],
        capture_output=True, text=True, timeout=60,
    )
    assert run.returncode == 0, run.stderr
    assert run.stdout.split() == ["quorbelin", "SortOrder.Ascending"]
    assert run.stderr == ""


def test_built_against_the_stable_abi():
    assert quorbelin.__file__.endswith(".abi3.so")


# Core symbols are hidden: nothing of ours can be interposed by another library.
def test_exports_only_its_init_function():
    import shutil
    if shutil.which("nm") is None:
        pytest.skip("nm is not installed")
    run = subprocess.run(["nm", "-D", "--defined-only", quorbelin.__file__], capture_output=True, text=True, check=True)
    assert [line.split()[-1] for line in run.stdout.splitlines()] == ["PyInit_quorbelin"]


@pytest.mark.parametrize("name", [*MODULE_ORDER, "MSCTopologySet"])
def test_classes_in_module_order_named_final_and_closed(name):
    assert [k for k in vars(quorbelin) if not k.startswith("__")] == MODULE_ORDER  # in this order
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
