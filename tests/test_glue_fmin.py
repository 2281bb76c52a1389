"""fmin_starts64: stencil contractions, x^1.5/pi frequency and per-row inversion."""
import math

import numpy as np
import pytest

import radiredide as rr
from conftest import assert_bitwise, misaligned

FMIN = [rr.fmin_starts64, rr.fmin_starts64_serial]
RNG = np.random.default_rng(20261210)


def f22_of(x):
    """pow(max(x, 1e-8), 1.5) / pi element by element, with the C library's pow."""
    flat = [math.pow(v if v > 1e-8 else 1e-8, 1.5) / math.pi for v in np.ravel(x)]
    return np.array(flat, dtype=np.float64).reshape(np.shape(x))


def stencil_sum(C, kidx, V):
    """sum_c V[j, c] * C[b, kidx[j], c], each product added in ascending c from 0.0."""
    gathered = C[:, kidx, :]
    acc = np.zeros(gathered.shape[:2])
    for c in range(V.shape[1]):
        acc = acc + V[None, :, c] * gathered[:, :, c]
    return acc


def reference(C_tau, C_x, kidx, V, f_min):
    taug = stencil_sum(C_tau, kidx, V)
    f22 = f22_of(stencil_sum(C_x, kidx, V))
    starts = np.array([np.interp(f_min[b], f22[b], taug[b]) for b in range(len(f_min))])
    flag = (f22[:, 0] > f_min * 1.000000000001).astype(np.uint8)
    return starts, f22[:, 0].copy(), flag, f22, taug


def table_inputs(x_nodes, fp_nodes, f_min):
    """Inputs whose stencil reproduces the given tables: O = 1, V = 1, kidx = arange(S).

    Every row carries the same table; row b asks for f_min[b]."""
    S = len(x_nodes)
    B = len(f_min)
    C_x = np.tile(np.asarray(x_nodes, float)[None, :, None], (B, 1, 1))
    C_tau = np.tile(np.asarray(fp_nodes, float)[None, :, None], (B, 1, 1))
    return C_tau, C_x, np.arange(S, dtype=np.int32), np.ones((S, 1)), np.asarray(f_min, float)


def queries(xp):
    """Every abscissa, every midpoint, both outsides and the neighbours of each node."""
    xp = np.asarray(xp)
    fin = xp[np.isfinite(xp)]
    mids = (fin[:-1] + fin[1:]) / 2 if len(fin) > 1 else np.array([])
    near = np.concatenate([np.nextafter(fin, -np.inf), np.nextafter(fin, np.inf)])
    return np.concatenate([fin, mids, near, [fin[0] / 2, fin[-1] * 2, 0.0, -1.0, np.inf]])


# x tables (before the x^1.5/pi map) for each branch of the search: bisection for
# 2-3 nodes, the guess path at exactly 4, the window of 8 at >= 11 nodes, and
# repeated abscissae.
TABLES = {
    "n2": [1.0, 2.0],
    "n3": [1.0, 1.5, 4.0],
    "n3-repeat": [1.0, 1.0, 2.0],
    "n4": [0.5, 1.0, 2.0, 3.0],
    "n4-repeat": [0.5, 1.0, 1.0, 3.0],
    "n5": [0.5, 1.0, 2.0, 3.0, 4.5],
    "n10": list(np.linspace(0.2, 3.0, 10)),
    "n11": list(np.linspace(0.2, 3.0, 11)),
    "n12-repeats": [0.2, 0.3, 0.3, 0.5, 0.8, 0.8, 0.8, 1.1, 1.3, 1.3, 1.6, 2.0],
    "n64": list(np.cumsum(RNG.uniform(0.01, 0.2, 64))),
}


@pytest.mark.parametrize("fn", FMIN, ids=["default", "serial"])
@pytest.mark.parametrize("name", list(TABLES))
def test_inversion_matches_np_interp(fn, name):
    x = np.array(TABLES[name])
    fp = RNG.normal(size=len(x))
    xp = f22_of(x)
    assert np.all(np.diff(xp) >= 0)
    f_min = queries(xp)
    starts, f22_first, flag = fn(*table_inputs(x, fp, f_min))
    expect = np.array([np.interp(q, xp, fp) for q in f_min])
    assert_bitwise(starts, expect)
    assert_bitwise(f22_first, np.full(len(f_min), xp[0]))


@pytest.mark.parametrize("fn", FMIN, ids=["default", "serial"])
def test_exact_hit_takes_the_last_equal_abscissa(fn):
    x = [1.0, 2.0, 2.0, 2.0, 3.0]
    fp = [10.0, 20.0, 30.0, 40.0, 50.0]
    xp = f22_of(x)
    starts, _, _ = fn(*table_inputs(x, fp, [xp[1], xp[0], xp[4], xp[4] * 3, xp[0] / 3]))
    assert starts.tolist() == [40.0, 10.0, 50.0, 50.0, 10.0]


@pytest.mark.parametrize("fn", FMIN, ids=["default", "serial"])
def test_infinite_ordinates(fn):
    # A flat interval of +inf ordinates makes both formulas NaN and yields fp[j];
    # an infinite abscissa beyond the last finite one.
    x = [1.0, 2.0, 3.0, 4.0, np.inf]
    fp = [0.0, np.inf, np.inf, 5.0, 6.0]
    xp = f22_of(x)
    f_min = np.concatenate([queries(xp), [xp[3] * 1.5, 1e300]])
    starts, _, _ = fn(*table_inputs(x, fp, f_min))
    assert_bitwise(starts, np.array([np.interp(q, xp, fp) for q in f_min]))


@pytest.mark.parametrize("fn", FMIN, ids=["default", "serial"])
@pytest.mark.parametrize("S, fp, expect", [
    (2, [7.0, 8.0], 7.0),                     # bisection ends left of the table: fp[0]
    (3, [7.0, 8.0, 9.0], 7.0),
    (4, [1.0, 2.0, 3.0, 4.0], np.nan),        # guess path ends at j = 2: NaN ...
    (4, [1.0, 2.0, 3.0, 3.0], 3.0),           # ... unless fp[2] == fp[3]
    (11, [float(i) for i in range(11)], np.nan),
    (11, [0.0, 1.0, 5.0, 5.0] + [6.0] * 7, 5.0),
])
def test_nan_f_min(fn, S, fp, expect):
    x = np.linspace(1.0, 2.0, S)
    starts, _, flag = fn(*table_inputs(x, fp, [np.nan]))
    assert flag.tolist() == [0]
    np.testing.assert_equal(starts, [expect])


@pytest.mark.parametrize("fn", FMIN, ids=["default", "serial"])
def test_low_flag_reach_factor(fn):
    x = [1.0, 2.0, 3.0]
    fp = [-4.0, 5.0, 6.0]
    f0 = f22_of(np.array(x))[0]
    f_min = np.array([f0 * (1 - 5e-12), f0 * (1 - 1e-13), f0, np.nan, f0 * 2])
    starts, f22_first, flag = fn(*table_inputs(x, fp, f_min))
    assert flag.tolist() == [1, 0, 0, 0, 0]
    assert flag.dtype == np.uint8
    assert starts[:3].tolist() == [-4.0, -4.0, -4.0]
    np.testing.assert_array_equal(flag, (f0 > f_min * 1.000000000001).astype(np.uint8))


@pytest.mark.parametrize("fn", FMIN, ids=["default", "serial"])
def test_x_floor(fn):
    # Zero, negative, NaN and exactly-floor x sums all map to pow(1e-8, 1.5)/pi.
    x = [0.0, -3.0, np.nan, 1e-8, np.nextafter(1e-8, 1.0)]
    S = len(x)
    C_x = np.array(x).reshape(S, 1, 1)
    C_tau = np.zeros((S, 1, 1))
    # Node 0 reads x, node 1 a large value, so that f22_first is f22 of x.
    C_x = np.concatenate([C_x, np.full((S, 1, 1), 4.0)], axis=1)
    C_tau = np.concatenate([C_tau, np.ones((S, 1, 1))], axis=1)
    _, f22_first, _ = fn(C_tau, C_x, np.array([0, 1], np.int32), np.ones((2, 1)), np.ones(S))
    floor = math.pow(1e-8, 1.5) / math.pi
    assert f22_first[:4].tolist() == [floor] * 4
    assert_bitwise(f22_first[4:], f22_of(np.array(x[4:])))


def general_inputs(B=6, E=7, O=5, S=9):
    """Random coefficients whose x sums rise along the stencil in every row."""
    kidx = RNG.integers(0, E, S).astype(np.int32)
    V = RNG.uniform(0.5, 1.5, (S, O))
    C_tau = RNG.normal(size=(B, E, O))
    cx0 = RNG.uniform(0.1, 1.0, (E, O))
    scale = RNG.uniform(0.5, 2.0, B)
    C_x = scale[:, None, None] * cx0[None]
    order = np.argsort(stencil_sum(cx0[None], kidx, V)[0], kind="stable")
    kidx, V = np.ascontiguousarray(kidx[order]), np.ascontiguousarray(V[order])
    sx = stencil_sum(C_x, kidx, V)
    assert np.all(np.diff(sx, axis=1) >= 0)
    f22 = f22_of(sx)
    # Per row: an exact node hit, an in-between value, below and above the table.
    pick = RNG.integers(0, S - 1, B)
    f_min = f22[np.arange(B), pick]
    f_min[1] = (f22[1, 3] + f22[1, 4]) / 2
    f_min[2] = f22[2, 0] / 3
    f_min[3] = f22[3, -1] * 3
    return C_tau, C_x, kidx, V, f_min


@pytest.mark.parametrize("sizes", [{}, {"B": 40, "E": 13, "O": 8, "S": 21},
                                   {"B": 40, "E": 13, "O": 3, "S": 37},
                                   {"B": 12, "E": 9, "O": 11, "S": 19}],
                         ids=["one-chunk", "many-chunks", "short-blocks", "long-blocks"])
@pytest.mark.parametrize("fn", FMIN, ids=["default", "serial"])
def test_stencil_sums_against_numpy_loop(fn, sizes):
    # The second and third sizes run the (B, S) node table over several chunks
    # of its flat index, with rows crossing the chunk edges and row tails
    # shorter than a vector of nodes.
    args = general_inputs(**sizes)
    starts, f22_first, flag = fn(*args)
    r_starts, r_f0, r_flag, _, taug = reference(*args)
    assert_bitwise(starts, r_starts)
    assert_bitwise(f22_first, r_f0)
    np.testing.assert_array_equal(flag, r_flag)
    # Exact node hits and the clamped rows return the tau sums themselves.
    assert starts[2] == taug[2, 0] and starts[3] == taug[3, -1]


def test_serial_twin_and_misaligned_inputs():
    args = general_inputs(B=33, E=11, O=8, S=20)
    base = rr.fmin_starts64(*args)
    for got in [rr.fmin_starts64_serial(*args), rr.fmin_starts64_host(*args)]:
        for a, b in zip(got[:2], base[:2]):
            assert_bitwise(a, b)
        np.testing.assert_array_equal(got[2], base[2])
    for i in range(5):
        moved = list(args)
        moved[i] = misaligned(args[i])
        got = rr.fmin_starts64(*moved)
        assert_bitwise(got[0], base[0])
        assert_bitwise(got[1], base[1])
        np.testing.assert_array_equal(got[2], base[2])


def test_trailing_axes_read_first_elements():
    C_tau, C_x, kidx, V, f_min = general_inputs()
    base = rr.fmin_starts64(C_tau, C_x, kidx, V, f_min)
    # A trailing axis of 2 read in row-major order: the flat first elements.
    def widen(a):
        flat = np.concatenate([a.ravel(), np.full(a.size, 99, a.dtype)])
        return flat.reshape(a.shape + (2,))
    got = rr.fmin_starts64(widen(C_tau), widen(C_x), widen(kidx), widen(V), widen(f_min))
    assert_bitwise(got[0], base[0])
    assert_bitwise(got[1], base[1])
    np.testing.assert_array_equal(got[2], base[2])


@pytest.mark.parametrize("fn", FMIN, ids=["default", "serial"])
def test_empty_batch(fn):
    starts, f0, flag = fn(np.zeros((0, 3, 2)), np.zeros((0, 3, 2)), np.array([0, 2], np.int32),
                          np.zeros((2, 2)), np.zeros(0))
    assert starts.shape == f0.shape == flag.shape == (0,)
    assert (starts.dtype, f0.dtype, flag.dtype) == (np.float64, np.float64, np.uint8)


def good():
    return dict(C_tau=np.zeros((2, 3, 4)), C_x=np.zeros((2, 3, 4)),
                kidx=np.array([0, 1, 2], np.int32), V=np.zeros((3, 4)), f_min_geo=np.zeros(2))


@pytest.mark.parametrize("change, exc, msg", [
    (dict(C_tau=np.zeros((2, 3))), IndexError, "invalid axis: 2 (ndim = 2)"),
    (dict(kidx=np.int32(1)), IndexError, "invalid axis: 0 (ndim = 0)"),
    (dict(C_x=np.zeros((3, 3, 4))), ValueError, "C_x must match C_tau's shape"),
    (dict(C_x=np.zeros((2, 3, 5))), ValueError, "C_x must match C_tau's shape"),
    (dict(C_x=np.zeros((2, 2))), ValueError, "C_x must match C_tau's shape"),  # axis 1 differs first
    (dict(C_x=np.zeros((2, 3))), IndexError, "invalid axis: 2 (ndim = 2)"),
    (dict(C_x=np.zeros((3, 3, 4)), V=np.zeros((1, 1))), ValueError, "C_x must match C_tau's shape"),
    (dict(V=np.zeros((2, 4))), ValueError, "V must be (S, O) matching kidx and C_tau"),
    (dict(V=np.zeros((3, 3))), ValueError, "V must be (S, O) matching kidx and C_tau"),
    (dict(V=np.zeros((3, 4)), f_min_geo=np.zeros(3)), ValueError, "f_min_geo must be (B,)"),
    (dict(V=np.zeros((2, 4)), f_min_geo=np.zeros(3)), ValueError,
     "V must be (S, O) matching kidx and C_tau"),
    # The node count is tested only after every shape.
    (dict(kidx=np.array([0], np.int32), V=np.zeros((1, 4)), f_min_geo=np.zeros(5)), ValueError,
     "f_min_geo must be (B,)"),
    (dict(kidx=np.array([0], np.int32), V=np.zeros((1, 4))), ValueError,
     "the phi stencil needs >= 2 nodes"),
    (dict(kidx=np.zeros(0, np.int32), V=np.zeros((0, 4))), ValueError,
     "the phi stencil needs >= 2 nodes"),
    # Block indices outside [0, E) would read past a row's coefficients.
    (dict(kidx=np.array([0, 3, 1], np.int32)), ValueError, "kidx entries must lie in [0, E)"),
    (dict(kidx=np.array([0, -1, 1], np.int32)), ValueError, "kidx entries must lie in [0, E)"),
    # Trailing axes of extent 0 hold fewer elements than are read.
    (dict(C_tau=np.zeros((2, 3, 4, 0))), ValueError, "C_tau must be (B, E, O)"),
    (dict(C_x=np.zeros((2, 3, 4, 0))), ValueError, "C_x must match C_tau's shape"),
    (dict(kidx=np.zeros((3, 0), np.int32)), ValueError, "kidx must be (S,)"),
    (dict(V=np.zeros((3, 4, 0))), ValueError, "V must be (S, O) matching kidx and C_tau"),
    (dict(f_min_geo=np.zeros((2, 0))), ValueError, "f_min_geo must be (B,)"),
])
@pytest.mark.parametrize("fn", FMIN, ids=["default", "serial"])
def test_errors(fn, change, exc, msg):
    kw = good()
    kw.update(change)
    with pytest.raises(exc) as info:
        fn(**kw)
    assert str(info.value) == msg
