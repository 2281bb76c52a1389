"""Records the valid calls the hostile-input suite starts from.

    PYTHONPATH=tests .venv/bin/python -m pytest tests -q -p hostile_record

wraps every module function while the test suite runs, keeps for each function
(a `_serial` twin shares its base's entry) the smallest successful call whose
inputs hold data and whose result holds at least one non-empty array, and
writes them to tests/data/hostile_bases.npz (arrays as entries, the call
structure as JSON).  Re-run it when functions are added.
"""
import copy
import functools
import json
import os
import types

import numpy as np

import radiredide as rr

_REC = {}
SKIP = {"finalize_kokkos", "release_workspaces", "residency_begin"}


def _size(x):
    if isinstance(x, np.ndarray):
        return x.nbytes + 8
    if isinstance(x, (list, tuple)):
        return sum(_size(v) for v in x) + 8
    if isinstance(x, dict):
        return sum(_size(v) for v in x.values()) + 8
    return 8


def _nonempty(o):
    if isinstance(o, np.ndarray):
        return o.size > 0
    if isinstance(o, (tuple, list)):
        arrs = [v for v in o if isinstance(v, np.ndarray)]
        return any(v.size for v in arrs) if arrs else True
    if isinstance(o, dict):
        return all(_nonempty(v) for v in o.values())
    return True


def _wrap(name, fn):
    family = name[:-len("_serial")] if name.endswith("_serial") else name

    @functools.wraps(fn)
    def w(*a, **k):
        try:
            snap = (copy.deepcopy(a), copy.deepcopy(k))
        except Exception:
            snap = None
        out = fn(*a, **k)
        if snap is not None and _nonempty(out):
            s = _size(snap)
            arrs = [v for v in list(a) + list(k.values()) if isinstance(v, np.ndarray)]
            holds_data = not arrs or any(v.size for v in arrs)
            best = _REC.get(family)
            if holds_data and (best is None or s < best[0]):
                _REC[family] = (s, snap)
        return out
    return w


def pytest_configure(config):
    seen = {}
    for name in list(vars(rr)):
        obj = getattr(rr, name)
        if isinstance(obj, types.BuiltinFunctionType) and not name.startswith("_") \
                and name not in SKIP:
            if id(obj) not in seen:
                seen[id(obj)] = _wrap(name, obj)
            setattr(rr, name, seen[id(obj)])


def _encode(x, key, arrays):
    if isinstance(x, np.ndarray):
        arrays[key] = x
        return {"array": key}
    if isinstance(x, np.generic):
        return {"scalar": x.item(), "numpy": x.dtype.str}
    if isinstance(x, (list, tuple)):
        return {"list": [_encode(v, f"{key}.{i}", arrays) for i, v in enumerate(x)]}
    if isinstance(x, (bool, int, float, str)) or x is None:
        return {"value": x}
    raise TypeError(f"cannot record {type(x)}")


def pytest_unconfigure(config):
    arrays, index = {}, {}
    for fam, (_, (a, k)) in sorted(_REC.items()):
        index[fam] = {"args": [_encode(v, f"{fam}/a{i}", arrays) for i, v in enumerate(a)],
                      "kwargs": {n: _encode(v, f"{fam}/k_{n}", arrays) for n, v in k.items()}}
    arrays["__index__"] = np.array(json.dumps(index))
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "hostile_bases.npz")
    np.savez_compressed(out, **arrays)
