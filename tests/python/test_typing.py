"""The type stub of sorvik: installed beside the module, declaring exactly its surface."""
import ast
import pathlib

import pytest

import sorvik

STUB = pathlib.Path(sorvik.__file__).with_name("sorvik-stubs") / "__init__.pyi"


def stub_classes():
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    return {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}


def declared_names(cls):
    names = set()
    for node in cls.body:
        if isinstance(node, ast.FunctionDef):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
    return names


def test_stub_declares_the_seventeen_classes():
    assert set(stub_classes()) == set(sorvik.__all__)


# The type checker compares signatures, but a class attribute the stub names and the
# runtime lacks (a misspelt enumeration member) passes it: compare the names both ways.
@pytest.mark.parametrize("name", sorvik.__all__)
def test_stub_declares_every_member_and_nothing_else(name):
    runtime = set(vars(getattr(sorvik, name))) - {"__doc__", "__module__"}
    assert declared_names(stub_classes()[name]) == runtime


@pytest.mark.parametrize("name", sorvik.__all__)
def test_every_stub_member_says_what_it_is(name):
    cls = stub_classes()[name]
    assert ast.get_docstring(cls)
    for node in cls.body:
        if isinstance(node, ast.FunctionDef):
            assert ast.get_docstring(node), f"{name}.{node.name}"
    # An attribute's docstring is the string that follows it.
    for node, following in zip(cls.body, cls.body[1:] + [None]):
        if isinstance(node, ast.AnnAssign):
            assert isinstance(following, ast.Expr) and isinstance(following.value, ast.Constant), \
                f"{name}.{node.target.id}"
