"""The installed type stubs describe the module as it is, and type-check its users.

Names: every class of the module and every member it defines has a stub, and the stubs add only
what a type checker needs (`__init__`, `__iter__` for the old iteration protocol, `__hash__ = None`).
Signatures: each stub's parameter names, defaults and positional-only marks are those of the
module's `__text_signature__`. Then `mypy --strict` over the README's code and the example.
"""

import ast
import inspect
import subprocess
import sys
from pathlib import Path

import pytest

import quorbelin
from support import ROOT, python_code

STUB = Path(quorbelin.__file__).parent / "quorbelin-stubs" / "__init__.pyi"
STUB_ONLY = {"__init__", "__iter__", "__hash__"}
# Slots every object has, or that the module fills without a meaning of its own to type.
NOT_TYPED = {"__new__", "__doc__", "__module__", "__repr__", "__str__", "__hash__",
             "__lt__", "__le__", "__gt__", "__ge__",
             "__slotnames__"}  # a cache copyreg adds to a class once one of its objects is copied


def runtime_classes():
    found = {n: c for n, c in vars(quorbelin).items() if isinstance(c, type)}
    msc = quorbelin.MSCTreeSet("(A,B);", "(A,B);").as_topology()
    found[type(msc).__name__] = type(msc)
    return found


def stub_classes():
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    defs = {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}

    def members(node):
        out = {}
        for base in node.bases:  # the stubs' private bases gather what several classes share
            if isinstance(base, ast.Name) and base.id in defs:
                out.update(members(defs[base.id]))
        for item in node.body:
            if isinstance(item, ast.FunctionDef):
                out[item.name] = item
            elif isinstance(item, (ast.AnnAssign, ast.Assign)):
                target = item.target if isinstance(item, ast.AnnAssign) else item.targets[0]
                out[target.id] = item
        return out

    return {name: members(node) for name, node in defs.items() if not name.startswith("_")}


def stub_signature(fn):
    """'(a, b=None)' or '(key, /)' for a stub function, without self or cls."""
    a = fn.args
    positional = a.posonlyargs + a.args
    defaults = [None] * (len(positional) - len(a.defaults)) + a.defaults
    parts = []
    for k, (arg, default) in enumerate(zip(positional, defaults)):
        if k == 0 and arg.arg in ("self", "cls"):
            continue
        parts.append(arg.arg + ("" if default is None else "=" + ast.unparse(default)))
        if a.posonlyargs and arg is a.posonlyargs[-1]:
            parts.append("/")
    return "(" + ", ".join(parts) + ")"


def runtime_signature(text):
    params = [p for p in text.strip("()").split(", ") if p and not p.startswith("$")]
    if params == ["/"]:  # "($self, /)": nothing but the receiver is positional-only
        params = []
    return "(" + ", ".join(params) + ")"


def decorators(fn):
    return {d.id for d in getattr(fn, "decorator_list", []) if isinstance(d, ast.Name)}


def test_the_stubs_are_installed_with_a_typed_marker():
    assert STUB.is_file() and (STUB.parent / "py.typed").is_file()


def test_every_class_has_a_stub_and_no_more():
    assert set(stub_classes()) == set(runtime_classes())


@pytest.mark.parametrize("name", sorted(runtime_classes()))
def test_members_and_signatures_match(name):
    cls, stub = runtime_classes()[name], stub_classes()[name]
    own = {k: v for k, v in vars(cls).items() if k not in NOT_TYPED}
    assert set(own) == set(stub) - STUB_ONLY
    if cls.__text_signature__ is None:
        assert "__init__" not in stub, "a class without a constructor"
    else:
        assert stub_signature(stub["__init__"]) == runtime_signature(cls.__text_signature__)
    for member, value in own.items():
        kind = type(value).__name__
        if kind == "getset_descriptor":
            assert "property" in decorators(stub[member]), member
        elif isinstance(value, cls):
            assert "ClassVar" in ast.unparse(stub[member].annotation), member
        else:
            assert ("classmethod" in decorators(stub[member])) == (kind == "classmethod_descriptor"), member
            assert stub_signature(stub[member]) == runtime_signature(value.__text_signature__), member


def test_signature_helpers():
    fn = ast.parse("def f(self, criterion: X, ascending: bool | None = None) -> T: ...").body[0]
    assert stub_signature(fn) == "(criterion, ascending=None)"
    fn = ast.parse("def f(self, key: int, /) -> T: ...").body[0]
    assert stub_signature(fn) == runtime_signature("($self, key, /)") == "(key, /)"


def test_readme_and_example_pass_mypy_strict(tmp_path):
    readme = tmp_path / "readme_code.py"
    readme.write_text(python_code(), encoding="utf-8")
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"),
                           str(readme), str(ROOT / "examples" / "example.py")],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    # A wrong use is caught, so the check is not passing for want of stubs.
    wrong = tmp_path / "wrong.py"
    wrong.write_text("import quorbelin\nquorbelin.Tree(1)\n", encoding="utf-8")
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"),
                           str(wrong)], capture_output=True, text=True, timeout=300)
    assert done.returncode == 1 and "arg-type" in done.stdout, done.stdout


CLASSES = runtime_classes()


def params(sig):  # '(a, b=None)' or '(key, /)' of a text signature or a stub's arguments, without self or cls
    sig = sig.replace("$", "") if isinstance(sig, str) else f"({ast.unparse(sig)})"
    exec(f"from __future__ import annotations\ndef f{sig}: pass", space := {})
    sig = inspect.signature(space["f"])
    return str(sig.replace(parameters=[p.replace(annotation=p.empty) for p in sig.parameters.values()
                                       if p.name not in ("self", "cls")]))


# The signatures again, read by inspect from both sides; a stub marks a property or a class method exactly
# where the module has one.
@pytest.mark.parametrize("name", sorted(CLASSES))
def test_members_and_signatures_match_through_inspect(name):
    assert STUB.is_file() and (STUB.parent / "py.typed").is_file() and set(stub_classes()) == set(CLASSES)
    cls, stub, sig = CLASSES[name], stub_classes()[name], CLASSES[name].__text_signature__
    own = {k: v for k, v in vars(cls).items() if k not in NOT_TYPED}
    assert set(own) == set(stub) - {"__init__", "__iter__", "__hash__"}
    assert (params(stub["__init__"].args) if "__init__" in stub else None) == (sig and params(sig))
    for member, value in own.items():
        kind, marks = type(value).__name__, {getattr(d, "id", "") for d in getattr(stub[member], "decorator_list", [])}
        if isinstance(value, cls):
            assert "ClassVar" in ast.unparse(stub[member].annotation), member
            continue
        assert ("property" in marks, "classmethod" in marks) == (
            kind == "getset_descriptor", kind == "classmethod_descriptor"), member
        assert kind == "getset_descriptor" or params(stub[member].args) == params(value.__text_signature__), member
