"""The package around the compiled module: its names, pickling by reference,
its data and its type stubs."""

import ast
import pathlib
import pickle

import pytest

import tamrix
from tamrix import _tamrix

PUBLIC = {name for name in dir(_tamrix) if not name.startswith("_")}


def test_everything_compiled_is_exported_and_pickles_by_reference():
    assert PUBLIC | {"data_path"} == set(tamrix.__all__)
    for name in tamrix.__all__:
        assert pickle.loads(pickle.dumps(getattr(tamrix, name))) is getattr(tamrix, name), name
    error = pickle.loads(pickle.dumps(tamrix.Cancelled("stopped")))
    assert type(error) is tamrix.Cancelled and error.args == ("stopped",)
    assert pickle.loads(pickle.dumps(tamrix.AreaStatistics(1, 2, 1.5, 0.5))) == (1, 2, 1.5, 0.5)


def test_data_path_gives_the_shipped_network():
    assert tamrix.Network.parameters(tamrix.data_path("stars.net")) == (121, 32, 1)
    with pytest.raises(FileNotFoundError, match="tamrix has no data file '../__init__.py'; it ships stars.net"):
        tamrix.data_path("../__init__.py")


def signature(node, name):
    """The stub's parameters as the docstrings write them: no annotations, no self."""
    args = node.args
    for arg in args.posonlyargs + args.args + args.kwonlyargs:
        arg.annotation = None
    args.args = [arg for arg in args.args if arg.arg != "self"]
    return f"{name}({ast.unparse(args)})"


def test_the_stubs_match_the_compiled_module():
    stubs = {}
    for node in ast.parse((pathlib.Path(tamrix.__file__).parent / "_tamrix.pyi").read_text()).body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            stubs.setdefault(node.name, node)  # the first of overloads
        elif isinstance(node, ast.AnnAssign):
            stubs[node.target.id] = node
    assert {name for name in stubs if not name.startswith("_")} == PUBLIC
    for name, node in stubs.items():
        if isinstance(node, ast.FunctionDef):
            assert signature(node, name) == getattr(_tamrix, name).__doc__.splitlines()[0]
        if not isinstance(node, ast.ClassDef):
            continue
        cls = getattr(_tamrix, name)
        members = {m.name if hasattr(m, "name") else m.target.id: m for m in node.body if not isinstance(m, ast.Expr)}
        assert {m for m in members if not m.startswith("_")} == {m for m in vars(cls) if not m.startswith("_")}
        for member, m in members.items():
            if isinstance(m, ast.FunctionDef) and not m.decorator_list:
                line = (cls if member == "__init__" else getattr(cls, member)).__doc__.splitlines()[0]
                assert line == signature(m, name if member == "__init__" else member), (name, member)
