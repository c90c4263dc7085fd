# The installed stubs describe the module as it is: every class and member it defines has a stub
# with the parameter names, defaults and positional-only marks of its text signature, properties,
# class methods and enum members marked as such, and nothing more than a type checker needs
# (`__init__`, `__iter__` of the old iteration protocol, `__hash__ = None`). mypy --strict then
# passes the README's code and the example, and catches a wrong use.
import ast
import subprocess
import sys
from pathlib import Path

import pytest

import quorbelin
from test_readme import ROOT, python_code

STUB = Path(quorbelin.__file__).parent / "quorbelin-stubs" / "__init__.pyi"
# slots every object has or that carry no meaning of their own; copyreg caches __slotnames__
NOT_TYPED = {"__new__", "__doc__", "__module__", "__repr__", "__str__", "__hash__", "__lt__", "__le__", "__gt__",
             "__ge__", "__slotnames__"}
CLASSES = {n: c for n, c in vars(quorbelin).items() if isinstance(c, type)}
CLASSES["MSCTopologySet"] = type(quorbelin.MSCTreeSet("(A,B);", "(A,B);").as_topology())


def stub_classes():  # {class: {member: node}}, with what the stubs' private bases gather
    defs = {c.name: c for c in ast.parse(STUB.read_text(encoding="utf-8")).body if isinstance(c, ast.ClassDef)}

    def members(node):
        out = {k: v for b in node.bases if getattr(b, "id", None) in defs for k, v in members(defs[b.id]).items()}
        for item in node.body:
            if isinstance(item, (ast.FunctionDef, ast.AnnAssign, ast.Assign)):
                out[getattr(item, "name", None) or (getattr(item, "target", None) or item.targets[0]).id] = item
        return out

    return {name: members(node) for name, node in defs.items() if not name.startswith("_")}


def stub_signature(fn):  # '(a, b=None)' or '(key, /)', without self or cls
    pos, defaults = fn.args.posonlyargs + fn.args.args, fn.args.defaults
    parts = [p.arg + ("=" + ast.unparse(d) if d else "") for p, d in
             zip(pos, [None] * (len(pos) - len(defaults)) + defaults)]
    if fn.args.posonlyargs:
        parts.insert(len(fn.args.posonlyargs), "/")
    return "(" + ", ".join(parts[parts[:1] in (["self"], ["cls"]):]) + ")"


def runtime_signature(text):  # "($self, /)": nothing but the receiver is positional-only
    params = [p for p in text.strip("()").split(", ") if p and not p.startswith("$")]
    return "(" + ", ".join(params if params != ["/"] else []) + ")"


@pytest.mark.parametrize("name", sorted(CLASSES))
def test_members_and_signatures_match(name):
    assert STUB.is_file() and (STUB.parent / "py.typed").is_file() and set(stub_classes()) == set(CLASSES)
    cls, stub, sig = CLASSES[name], stub_classes()[name], CLASSES[name].__text_signature__
    own = {k: v for k, v in vars(cls).items() if k not in NOT_TYPED}
    assert set(own) == set(stub) - {"__init__", "__iter__", "__hash__"}
    assert (stub_signature(stub["__init__"]) if "__init__" in stub else None) == (sig and runtime_signature(sig))
    for member, value in own.items():
        kind, marks = type(value).__name__, {getattr(d, "id", "") for d in getattr(stub[member], "decorator_list", [])}
        if kind == "getset_descriptor":
            assert "property" in marks, member
        elif isinstance(value, cls):
            assert "ClassVar" in ast.unparse(stub[member].annotation), member
        else:
            assert ("classmethod" in marks) == (kind == "classmethod_descriptor"), member
            assert stub_signature(stub[member]) == runtime_signature(value.__text_signature__), member


def test_readme_and_example_pass_mypy_strict_and_a_wrong_use_does_not(tmp_path):
    (tmp_path / "readme.py").write_text(python_code(), encoding="utf-8")
    (tmp_path / "wrong.py").write_text("import quorbelin\nquorbelin.Tree(1)\n", encoding="utf-8")
    mypy = lambda *files: subprocess.run(  # noqa: E731
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), *map(str, files)],
        capture_output=True, text=True, timeout=300)
    done = mypy(tmp_path / "readme.py", ROOT / "examples" / "example.py")
    assert done.returncode == 0, done.stdout + done.stderr
    done = mypy(tmp_path / "wrong.py")
    assert done.returncode == 1 and "arg-type" in done.stdout, done.stdout
