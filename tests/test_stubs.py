"""The type stub radiredide.pyi: it names every public attribute of the module, is
installed where type checkers find it, passes mypy and stubtest, and states return
types that real calls bear out."""
import ast
import importlib.util
import inspect
import pathlib
import subprocess
import sys

import numpy as np
import pytest

import hostile_cases
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


def test_stub_is_installed_as_a_stub_package():
    """PEP 561: a single extension module's types come in radiredide-stubs beside it."""
    site = pathlib.Path(rr.__file__).resolve().parent
    installed = site / "radiredide-stubs" / "__init__.pyi"
    assert installed.is_file(), "radiredide-stubs is not installed with the module"
    assert installed.read_text() == STUB.read_text()
    assert not (site / "radiredide.pyi").exists(), "a second, bare copy of the stub is installed"


# ---------------------------------------------------------------- type checkers

def _mypy(tmp_path, *args):
    return subprocess.run([sys.executable, "-m", "mypy", "--cache-dir", str(tmp_path / "cache"),
                           "--no-error-summary", *args], cwd=tmp_path, capture_output=True,
                          text=True, timeout=600)


def test_stub_passes_mypy_strict(tmp_path):
    proc = _mypy(tmp_path, "--strict", str(STUB))
    assert proc.returncode == 0, proc.stdout + proc.stderr


USER_SCRIPT = """
from typing import assert_type

import numpy as np
from numpy.typing import NDArray

import radiredide as rr


def polarisations(h: NDArray[np.complex128], idx: NDArray[np.int32], t: NDArray[np.float64],
                  w: NDArray[np.complex128]) -> NDArray[np.float64]:
    hp, hc = rr.assemble_imr64(h, idx, h, idx, 0, t, t, t, t, 1.0, 0.0, 0.5, w, w)
    assert_type(hp, NDArray[np.float64])
    return hp - hc


def evaluate(ev: rr.BatchEvaluator32, t: NDArray[np.float32]) -> None:
    values, phi = ev.evaluate_time(t, 0)
    assert_type(values, NDArray[np.complex64])
    assert_type(phi, NDArray[np.float32] | None)
    lo, hi, n_lo, n_hi = rr.grid_bounds64(t, t, t, 1.0, 0.0, 2.0, True)
    assert_type(n_hi, int)
    version: str = rr.kokkos_version
    print(version, rr.residency_end()["events"])
"""


def test_mypy_finds_the_installed_types(tmp_path):
    """A strictly typed user script type-checks against the installed module, with the
    tuple results unpacked into arrays of the right dtypes; a wrong use is reported."""
    good = tmp_path / "good.py"
    good.write_text(USER_SCRIPT)
    proc = _mypy(tmp_path, "--strict", str(good))
    assert proc.returncode == 0, proc.stdout + proc.stderr
    bad = tmp_path / "bad.py"
    bad.write_text("import radiredide as rr\nn: int = rr.kokkos_version\n")
    proc = _mypy(tmp_path, "--strict", str(bad))
    assert proc.returncode == 1
    assert 'expression has type "str", variable has type "int"' in proc.stdout, proc.stdout


def test_stubtest_agrees_with_the_module(tmp_path):
    allow = ROOT / "tests" / "stubtest_allowlist.txt"
    proc = subprocess.run([sys.executable, "-m", "mypy.stubtest", "radiredide", "--allowlist",
                           str(allow)], cwd=tmp_path, capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stdout + proc.stderr


# ---------------------------------------------------------------- return types

def _annotation(tree, qualname):
    top = _top_level(tree)
    owner, _, name = qualname.rpartition(".")
    node = top[owner or name]
    if owner:
        node = next(n for n in node.body if isinstance(n, ast.FunctionDef) and n.name == name)
    return node.returns


def _matches(value, ann):
    """Whether `value` is of the stub annotation `ann` (the forms the stub uses)."""
    if isinstance(ann, ast.BinOp) and isinstance(ann.op, ast.BitOr):
        return _matches(value, ann.left) or _matches(value, ann.right)
    if isinstance(ann, ast.Constant) and ann.value is None:
        return value is None
    if isinstance(ann, ast.Name):
        return type(value) is {"float": float, "int": int, "str": str}[ann.id]
    text = ast.unparse(ann)
    if text.startswith("numpy.typing.NDArray["):
        return isinstance(value, np.ndarray) and value.dtype == np.dtype(text[21:-1].split(".")[-1])
    if text.startswith("tuple["):
        items = ann.slice.elts
        return (type(value) is tuple and len(value) == len(items)
                and all(_matches(v, a) for v, a in zip(value, items)))
    if text.startswith("dict["):
        return type(value) is dict and all(type(k) is str for k in value)
    raise AssertionError(f"unexpected annotation {text}")


# Calls that take the other branch of an optional result.
VARIANTS = {"evaluate_time": dict(want_phi=False), "mr_segment_grad": dict(want_time_derivative=True),
            "mr_segment_grad_serial": dict(want_time_derivative=True)}


def test_stated_return_types_match_real_calls(stub):
    """Every return type the generator states for a bare `tuple` or `dict` binding holds
    for the recorded valid call (and, for an optional part, its other branch)."""
    gen = _load_generator()
    functions, methods = hostile_cases.load_bases()
    for qualname in sorted(gen.RETURNS):
        owner, _, name = qualname.rpartition(".")
        ann = _annotation(stub, qualname)
        assert ast.unparse(ann) == gen.RETURNS[qualname]
        if qualname == "residency_end":
            rr.residency_begin()
            results = [rr.residency_end()]
        elif owner:
            hist = methods[(owner.replace("32", "64"), name)]
            fn = hostile_cases.resolve(rr, (owner, name), hist[:-1])
            _, args, kwargs = hist[-1]
            args = hostile_cases.materialise(args)
            kwargs = {k: hostile_cases.materialise(v) for k, v in kwargs.items()}
            results = [fn(*args, **kwargs)]
            if name in VARIANTS:
                results.append(fn(*args, **{**kwargs, **VARIANTS[name]}))
        else:
            args, kwargs = functions[name.replace("_serial", "").replace("_host", "")]
            results = [getattr(rr, name)(*args, **kwargs)]
            if name in VARIANTS:
                results.append(getattr(rr, name)(*args, **{**kwargs, **VARIANTS[name]}))
        for out in results:
            assert _matches(out, ann), f"{qualname} returned {out!r:.300}"


def _load_generator():
    spec = importlib.util.spec_from_file_location("gen_stubs", ROOT / "scripts" / "gen_stubs.py")
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    return mod
