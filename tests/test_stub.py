"""The type stub installed with the module: present where editors and mypy look for it, and
saying what the runtime says. mypy.stubtest (make typecheck) checks the signatures; this checks
what stubtest does not: the docstrings editors show and the stub's own __all__ and __doc__."""
import ast
import inspect
from pathlib import Path

import pytest

import quelvane

STUB = Path(quelvane.__file__).with_name("quelvane.pyi")


@pytest.fixture(scope="module")
def stub():
    assert STUB.is_file(), "quelvane.pyi is not installed beside the module"
    return ast.parse(STUB.read_text(encoding="utf-8"))


def stub_functions(tree):
    return {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}


def test_mypy_finds_the_same_stub():
    # mypy ignores a lone .pyi beside a single-module distribution; it reads quelvane-stubs.
    package = STUB.parent / "quelvane-stubs" / "__init__.pyi"
    assert package.read_bytes() == STUB.read_bytes()


def test_module_doc_and_all(stub):
    assert ast.get_docstring(stub) == quelvane.__doc__
    assigned = next(n for n in stub.body if isinstance(n, ast.Assign) and n.targets[0].id == "__all__")
    names = ast.literal_eval(assigned.value)
    assert names[0] == "__doc__" and names[1:] == list(stub_functions(stub))
    assert len(names) == 18
    assert quelvane.__all__ == [n for n in names if n in quelvane.__all__]


@pytest.mark.parametrize("name", [n for n in quelvane.__all__ if n != "__doc__"])
def test_function_matches_runtime(stub, name):
    node = stub_functions(stub)[name]
    runtime = getattr(quelvane, name)
    assert ast.get_docstring(node) == runtime.__doc__
    assert [a.arg for a in node.args.args] == list(inspect.signature(runtime).parameters)
