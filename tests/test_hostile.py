"""Hostile input: every public function and method, called with wrong ranks,
extents (0 and near 2^31 through zero-size stride tricks), dtypes, layouts
(misaligned, non-contiguous, Fortran order, read-only, stride 0), NaN and
infinities and random integer indices, answers with a result of the valid
call's kind and dtypes, or ValueError, TypeError, IndexError, RuntimeError or
MemoryError -- never a signal, a hang or a sanitizer report.

Each case runs in a child interpreter (hostile_cases.WorkerPool); a child that
dies is reported with the call that killed it and its stderr (where the
sanitizer build writes its report)."""
import math
import types

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import radiredide as rr
from hostile_cases import (ALLOWED, HUGE, NOT_HOSTILE, Arr, WorkerPool, describe, load_bases,
                           same_kind)

BASES, METHODS = load_bases()



# The classes under their own names (not their aliases).
CLASSES = [n for n, o in vars(rr).items()
           if isinstance(o, type) and not n.startswith("_") and o.__name__ == n]


def _methods_with_arguments(cls):
    """Methods (and the constructor) whose signature takes more than self."""
    out = []
    for name in ["__init__"] + sorted(set(vars(getattr(rr, cls))) - {"__init__"}):
        fn = getattr(getattr(rr, cls), name)
        if (name == "__init__" or not name.startswith("_")) and callable(fn):
            head = (fn.__doc__ or "").lstrip().split("\n")[0]
            if "," in head.split("->")[0]:
                out.append(name)
    return out


def _targets():
    """{target: (args, kwargs, setup)}."""
    out = {}
    for name, (args, kwargs) in sorted(BASES.items()):
        if name in NOT_HOSTILE:
            continue
        out[name] = (args, kwargs, [])
        for suffix in ("_serial", "_host"):
            twin = getattr(rr, name + suffix, None)
            if twin is not None and twin is not getattr(rr, name):
                out[name + suffix] = (args, kwargs, [])
    for cls in CLASSES:
        for method in _methods_with_arguments(cls):
            hist = METHODS.get((cls.replace("32", "64"), method))
            if hist is not None:
                _, args, kwargs = hist[-1]
                out[(cls, method)] = (args, kwargs, hist[:-1])
    return out


TARGETS = _targets()


def _tid(t):
    return t if isinstance(t, str) else f"{t[0]}.{t[1]}"


def test_every_public_callable_has_a_base():
    """New functions need a recorded valid call (see hostile_record.py)."""
    covered = {t for t in TARGETS if isinstance(t, str)} | NOT_HOSTILE
    missing = []
    for name, obj in vars(rr).items():
        if name.startswith("_") or not isinstance(obj, types.BuiltinFunctionType):
            continue
        if name in covered or any(obj is getattr(rr, c, None) for c in covered):
            continue
        missing.append(name)
    assert not missing, f"no hostile-input base for {missing}"
    methods = {(c, m) for c in CLASSES for m in _methods_with_arguments(c)}
    have = {t for t in TARGETS if not isinstance(t, str)}
    assert not methods - have, f"no hostile-input base for {sorted(methods - have)}"


# ---------------------------------------------------------------- strategies

DTYPES = [np.float64, np.float32, np.float16, np.int32, np.int64, np.uint8, np.int8,
          np.complex128, np.complex64, np.bool_, np.dtype(">f8"), np.dtype(">i4")]
LAYOUTS = ["misaligned", "noncontig", "fortran", "readonly", "broadcast"]
FLOAT_SPECIALS = [math.nan, math.inf, -math.inf, 0.0, -0.0, 1e308, -1e308, 5e-324, 1.0, -1.0,
                  1e-300, 2.0**31]
INT_SPECIALS = [0, -1, 1, 2, 3, 7, 255, 2**31 - 1, -2**31, 2**31, -2**31 - 1, 2**32, 2**63 - 1,
                -2**63, 2**64]
WRONG_TYPES = [None, "x", b"\x00", object(), [[]], {"a": 1}]


def _cast(a, dt):
    with np.errstate(all="ignore"):
        if np.dtype(dt).kind in "iubf" and a.dtype.kind == "c":
            a = a.real
        if np.dtype(dt).kind in "iu" and a.dtype.kind in "fc":
            a = np.nan_to_num(a, nan=0, posinf=0, neginf=0)
            a = np.clip(a, np.iinfo(dt).min, np.iinfo(dt).max)
        return a.astype(dt)


def _float_specials(dt):
    """FLOAT_SPECIALS as values of the float type dt, as storing them would round them
    (a magnitude beyond the type's range becomes an infinity)."""
    with np.errstate(over="ignore"):
        return [dt.type(v) for v in FLOAT_SPECIALS]


def _elements(dt):
    dt = np.dtype(dt)
    if dt.kind == "f":
        return st.one_of(st.sampled_from(_float_specials(dt)), st.floats(width=8 * dt.itemsize))
    if dt.kind == "c":
        part = st.sampled_from(_float_specials(np.dtype(f"f{dt.itemsize // 2}")))
        return st.builds(lambda re, im: dt.type(complex(re, im)), part, part)
    if dt.kind in "iu":
        info = np.iinfo(dt)
        return st.one_of(st.sampled_from([v for v in INT_SPECIALS if info.min <= v <= info.max]),
                         st.integers(-4, 8).filter(lambda v: info.min <= v <= info.max),
                         st.integers(info.min, info.max))
    return hnp.from_dtype(dt)


@st.composite
def _poke(draw, a):
    """The valid values with a few entries replaced by special ones."""
    out = a.copy()
    flat = out.reshape(-1)
    for _ in range(draw(st.integers(1, 3))):
        flat[draw(st.integers(0, flat.size - 1))] = draw(_elements(a.dtype))
    return Arr(out)


@st.composite
def _reshape(draw, a):
    if a.ndim and draw(st.booleans()):
        shape = list(a.shape)
        axis = draw(st.integers(0, a.ndim - 1))
        shape[axis] = draw(st.sampled_from(sorted({0, 1, 2, max(shape[axis] - 1, 0),
                                                   shape[axis] + 1})))
        if draw(st.booleans()):
            shape.insert(draw(st.integers(0, len(shape))), draw(st.integers(0, 3)))
    else:
        shape = draw(hnp.array_shapes(min_dims=0, max_dims=max(a.ndim + 1, 2), min_side=0,
                                      max_side=5))
    src = a.reshape(-1) if a.size else np.zeros(1, a.dtype)
    return Arr(np.resize(src, tuple(shape)))


def _array_mutation(a):
    options = [
        st.sampled_from(LAYOUTS).map(lambda L: Arr(a, L)),
        st.sampled_from(DTYPES).map(lambda dt: Arr(_cast(a, dt))),
        _reshape(a),
        st.tuples(st.integers(0, a.ndim), st.sampled_from(HUGE)).map(lambda h: Arr(a, huge=h)),
        st.sampled_from(WRONG_TYPES),
        st.just(Arr(np.array(["a"] * max(a.size, 1)))),
    ]
    if a.size:
        options.append(_poke(a))
        if a.size <= 64:
            options.append(hnp.arrays(a.dtype, a.shape, elements=_elements(a.dtype)).map(Arr))
        else:
            options.append(hnp.arrays(a.dtype, a.shape, elements=_elements(a.dtype),
                                      fill=_elements(a.dtype)).map(Arr))
    return st.one_of(options)


def _mutation(v):
    if isinstance(v, np.ndarray):
        return _array_mutation(v)
    if isinstance(v, list):
        return _array_mutation(np.asarray(v))
    if isinstance(v, (bool, np.bool_)):
        return st.sampled_from([None, 0, 2, "yes", 1.5, np.bool_(False)])
    if isinstance(v, (int, np.integer)):
        return st.one_of(st.sampled_from(INT_SPECIALS), st.integers(-50, 5000),
                         st.sampled_from([None, "1", 1.5, math.nan, np.int64(3)]))
    if isinstance(v, (float, np.floating)):
        return st.one_of(st.sampled_from(FLOAT_SPECIALS), st.floats(),
                         st.sampled_from([None, "1", 1j, np.float32(0.5), 10**400 // 10**90]))
    return st.sampled_from(WRONG_TYPES + [0, 1.0])


def _wrap(v):
    if isinstance(v, np.ndarray):
        return Arr(v)
    if isinstance(v, list):
        return [_wrap(x) for x in v]
    return v


def _setup(setup):
    return [(m, [_wrap(v) for v in a], {k: _wrap(v) for k, v in kw.items()}) for m, a, kw in setup]


@st.composite
def hostile_case(draw, target):
    """One or two arguments of the valid call mutated; other arrays sometimes in an odd
    layout.  Configuration calls before a method call are replayed unchanged."""
    base_args, base_kwargs, setup = TARGETS[target]
    slots = [("a", i) for i in range(len(base_args))] + [("k", k) for k in base_kwargs]
    args = [_wrap(v) for v in base_args]
    kwargs = {k: _wrap(v) for k, v in base_kwargs.items()}
    chosen = draw(st.lists(st.sampled_from(slots), min_size=1, max_size=min(2, len(slots)),
                           unique=True)) if slots else []
    for kind, key in chosen:
        if kind == "a":
            args[key] = draw(_mutation(base_args[key]))
        else:
            kwargs[key] = draw(_mutation(base_kwargs[key]))
    for i, v in enumerate(args):
        if isinstance(v, Arr) and v.layout == "plain" and v.huge is None and draw(
                st.integers(0, 5)) == 0:
            args[i] = Arr(v.data, draw(st.sampled_from(LAYOUTS)))
    for k, v in kwargs.items():
        if isinstance(v, Arr) and v.layout == "plain" and v.huge is None and draw(
                st.integers(0, 5)) == 0:
            kwargs[k] = Arr(v.data, draw(st.sampled_from(LAYOUTS)))
    return {"target": target, "args": args, "kwargs": kwargs, "setup": _setup(setup)}


# ---------------------------------------------------------------- runner

@pytest.fixture(scope="module")
def pool():
    p = WorkerPool()
    yield p
    p.close()


_BASE_KIND = {}


def base_kind(pool, target):
    if target not in _BASE_KIND:
        args, kwargs, setup = TARGETS[target]
        case = {"target": target, "args": [_wrap(v) for v in args],
                "kwargs": {k: _wrap(v) for k, v in kwargs.items()}, "setup": _setup(setup)}
        reply = pool.run(case)
        assert reply[0] == "ok", f"the valid call fails: {describe(case)} -> {reply}"
        _BASE_KIND[target] = reply[1]
    return _BASE_KIND[target]


def check(pool, case):
    ref = base_kind(pool, case["target"])
    reply = pool.run(case)
    if reply[0] == "ok":
        assert same_kind(reply[1], ref), \
            f"{describe(case)}\n returned {reply[1]}, the valid call returns {ref}"
    elif reply[0] == "exc":
        assert reply[1] in ALLOWED, f"{describe(case)}\n raised {reply[1]}: {reply[2]}"
    else:
        raise AssertionError(f"{describe(case)}\n child {reply[0]} (status {reply[1]}):\n"
                             f"{reply[2]}")


@pytest.mark.parametrize("target", list(TARGETS), ids=_tid)
@settings(max_examples=15, deadline=None, derandomize=True, database=None,
          suppress_health_check=list(HealthCheck), print_blob=False)
@given(data=st.data())
def test_hostile_inputs(pool, target, data):
    check(pool, data.draw(hostile_case(target), label="case"))


@pytest.mark.parametrize("target", list(TARGETS), ids=_tid)
def test_misaligned_inputs_give_the_aligned_bits(pool, target):
    """Every array argument (and the configuration's) misaligned at once: the same
    result bits, and under the sanitizer build no misaligned read anywhere."""
    args, kwargs, setup = TARGETS[target]

    def moved(v):
        if isinstance(v, np.ndarray) and v.dtype.itemsize > 1:
            return Arr(v, "misaligned")
        return _wrap(v)
    plain = {"target": target, "args": [_wrap(v) for v in args],
             "kwargs": {k: _wrap(v) for k, v in kwargs.items()}, "setup": _setup(setup),
             "digest": True}
    odd = {"target": target, "args": [moved(v) for v in args],
           "kwargs": {k: moved(v) for k, v in kwargs.items()},
           "setup": [(m, [moved(v) for v in a], {k: moved(v) for k, v in kw.items()})
                     for m, a, kw in setup], "digest": True}
    want, got = pool.run(plain), pool.run(odd)
    assert want[0] == "ok", want
    assert got == want, f"{describe(odd)}\n gave {got[:2]}, aligned {want[:2]}"


@pytest.mark.parametrize("target", list(TARGETS), ids=_tid)
def test_zero_size_arrays_that_keep_their_leading_extents(pool, target):
    """Each array argument in turn replaced by a zero-size array that keeps its
    leading extents (a trailing axis of 0 added) or whose first extent is 2^31 - 1:
    shapes that promise values the buffer does not hold."""
    args, kwargs, setup = TARGETS[target]
    slots = [("a", i, v) for i, v in enumerate(args)] + [("k", k, v) for k, v in kwargs.items()]
    for kind, key, value in slots:
        if not isinstance(value, np.ndarray) or value.ndim == 0:
            continue
        for new in (Arr(np.zeros(value.shape + (0,), value.dtype)), Arr(value, huge=(0, 2**31 - 1))):
            case = {"target": target, "args": [_wrap(v) for v in args],
                    "kwargs": {k: _wrap(v) for k, v in kwargs.items()}, "setup": _setup(setup)}
            if kind == "a":
                case["args"][key] = new
            else:
                case["kwargs"][key] = new
            check(pool, case)


# ---------------------------------------------------------------- regressions

def _regression(target, **changes):
    """The valid call of `target` with some keyword arguments replaced."""
    args, kwargs, setup = TARGETS[target]
    kw = {k: _wrap(v) for k, v in kwargs.items()}
    pos = [_wrap(v) for v in args]
    for k, v in changes.items():
        if k.startswith("arg"):
            pos[int(k[3:])] = v
        else:
            kw[k] = v
    return {"target": target, "args": pos, "kwargs": kw, "setup": _setup(setup)}


def _trailing_zero(target, key):
    """The valid value of argument `key` with a trailing axis of extent 0."""
    args, kwargs, _ = TARGETS[target]
    v = args[int(key[3:])] if key.startswith("arg") else kwargs[key]
    return Arr(np.zeros(v.shape + (0,), v.dtype))


def _piece_index():
    return TARGETS["theta_contract_grad"][1]["group_piece_index"]


# Calls that once failed, kept as they were found.
REGRESSIONS = [
    # A zero-size piece index list with a first extent of 2^31 - 1 was read over
    # its whole first extent (out of bounds: a segmentation fault).
    _regression("theta_contract_grad_serial",
                group_piece_index=Arr(_piece_index(), huge=(0, 2**31 - 1))),
    _regression("theta_contract_grad",
                group_piece_index=Arr(np.zeros((3, 0), np.int32))),
] + [
    # Arrays whose leading extents promise values that a trailing axis of extent 0
    # leaves out were read out of bounds (heap-buffer-overflow under the sanitizer).
    _regression(t, **{k: _trailing_zero(t, k)}) for t, k in [
        ("blend_project", "breaks"),
        ("build_extension_pack", "arg6"),          # weight_index
        ("build_extension_pack_batch", "arg6"),
        ("build_extension_pack_batch", "arg4"),    # l
        ("mr_segment_grad", "ring_breaks"),
        ("mr_segment_grad_serial", "plunge_breaks"),
        ("theta_contract_grad", "group_parity_sign"),
        ("theta_contract_grad_serial", "group_block_offset"),
    ]
]


@pytest.mark.parametrize("case", REGRESSIONS, ids=lambda c: _tid(c["target"]))
def test_regressions(pool, case):
    check(pool, case)
