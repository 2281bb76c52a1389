"""The shipped type stub radiredide.pyi names every public attribute of the module."""
import ast
import inspect
import pathlib

import pytest

import radiredide as rr

ROOT = pathlib.Path(__file__).resolve().parent.parent
STUB = ROOT / "radiredide.pyi"


def _public(obj):
    return {n for n in dir(obj) if not n.startswith("_")}


@pytest.fixture(scope="module")
def stub():
    return ast.parse(STUB.read_text())


def _top_level(tree):
    names = {}
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names[node.name] = node
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names[node.target.id] = node
        elif isinstance(node, ast.Assign):
            for t in node.targets:
                if isinstance(t, ast.Name):
                    names[t.id] = node
    return names


def test_stub_names_every_public_attribute_and_nothing_else(stub):
    names = set(_top_level(stub))
    assert _public(rr) - names == set(), "missing from radiredide.pyi: run scripts/gen_stubs.py"
    assert names - _public(rr) == set(), "stale names in radiredide.pyi: run scripts/gen_stubs.py"


def test_stub_classes_name_their_public_members(stub):
    top = _top_level(stub)
    for name in sorted(_public(rr)):
        obj = getattr(rr, name)
        if not inspect.isclass(obj) or not isinstance(top[name], ast.ClassDef):
            continue
        members = {n.name for n in top[name].body if isinstance(n, (ast.FunctionDef, ast.ClassDef))}
        members |= {n.target.id for n in top[name].body
                    if isinstance(n, ast.AnnAssign) and isinstance(n.target, ast.Name)}
        own = {n for n in vars(obj) if not n.startswith("_")}
        assert own - members == set(), f"{name}: members missing from the stub"


def test_aliases_are_the_same_objects(stub):
    """`x_host = x` in the stub only where the module binds one object to both names."""
    for node in stub.body:
        if isinstance(node, ast.Assign) and isinstance(node.value, ast.Name):
            for t in node.targets:
                assert getattr(rr, t.id) is getattr(rr, node.value.id), t.id


def test_stub_is_installed_next_to_the_module():
    installed = pathlib.Path(rr.__file__).resolve().parent / "radiredide.pyi"
    assert installed.is_file(), "radiredide.pyi is not installed with the module"
    assert installed.read_text() == STUB.read_text()
