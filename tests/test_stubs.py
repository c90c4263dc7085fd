# The installed stubs describe the module as it is: every class and member it defines has a stub
# with the parameter names, defaults and positional-only marks of its text signature, properties,
# class methods and enum members marked as such, and nothing more than a type checker needs
# (`__init__`, `__iter__` of the old iteration protocol, `__hash__ = None`). mypy --strict then
# passes the README's code and the example, and catches a wrong use.
import ast
import inspect
import subprocess
import sys
from pathlib import Path

import pytest

import quorbelin
from support import ROOT, python_code

STUB = Path(quorbelin.__file__).parent / "quorbelin-stubs" / "__init__.pyi"
# slots every object has or that carry no meaning of their own; copyreg caches __slotnames__
NOT_TYPED = {"__new__", "__doc__", "__module__", "__repr__", "__str__", "__hash__", "__lt__", "__le__", "__gt__",
             "__ge__", "__slotnames__"}
CLASSES = {n: c for n, c in vars(quorbelin).items() if isinstance(c, type)}
CLASSES["MSCTopologySet"] = type(quorbelin.MSCTreeSet("(A,B);", "(A,B);").as_topology())


def stub_classes():  # {class: {member: node}}, with what the stubs' private bases gather
    defs = {c.name: c for c in ast.parse(STUB.read_text(encoding="utf-8")).body if isinstance(c, ast.ClassDef)}

    def members(node):
        own = {getattr(i, "name", None) or (getattr(i, "target", None) or i.targets[0]).id: i for i in node.body
               if isinstance(i, (ast.FunctionDef, ast.AnnAssign, ast.Assign))}
        return {k: v for b in node.bases if getattr(b, "id", None) in defs
                for k, v in members(defs[b.id]).items()} | own

    return {name: members(node) for name, node in defs.items() if not name.startswith("_")}


def params(sig):  # '(a, b=None)' or '(key, /)' of a text signature or a stub's arguments, without self or cls
    sig = sig.replace("$", "") if isinstance(sig, str) else f"({ast.unparse(sig)})"
    exec(f"from __future__ import annotations\ndef f{sig}: pass", space := {})
    sig = inspect.signature(space["f"])
    return str(sig.replace(parameters=[p.replace(annotation=p.empty) for p in sig.parameters.values()
                                       if p.name not in ("self", "cls")]))


@pytest.mark.parametrize("name", sorted(CLASSES))
def test_members_and_signatures_match(name):
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


def test_readme_and_example_pass_mypy_strict_and_a_wrong_use_does_not(tmp_path):
    (tmp_path / "readme.py").write_text(python_code(), encoding="utf-8")
    (tmp_path / "wrong.py").write_text("import quorbelin\nquorbelin.Tree(1)\n", encoding="utf-8")
    for files, code in [((tmp_path / "readme.py", ROOT / "examples" / "example.py"), 0), ((tmp_path / "wrong.py",), 1)]:
        done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"),
                               *map(str, files)],
                              capture_output=True, text=True, timeout=300)
        assert done.returncode == code and (not code or "arg-type" in done.stdout), done.stdout + done.stderr
