"""span_pack64 (in-span packing) and grid_bounds64 (shared-grid bounds)."""
import math

import numpy as np
import pytest

import radiredide as rr
from conftest import assert_bitwise, misaligned

PACK = [rr.span_pack64, rr.span_pack64_serial]
BOUNDS = [rr.grid_bounds64, rr.grid_bounds64_serial]
RNG = np.random.default_rng(7)


def pack_reference(t_geo, tau0, mr_lo, mr_hi, b0, tol):
    """searchsorted windows, clipped gather, blend start and tail, for ascending rows."""
    B, N = t_geo.shape
    n0 = np.array([np.searchsorted(t_geo[b], tau0[b] - tol, side="left") for b in range(B)])
    u = np.array([np.searchsorted(t_geo[b], tol + mr_hi, side="right") for b in range(B)])
    n1 = np.maximum(u, n0 + 1)
    J = int(np.max(n1 - n0))
    last = np.minimum(n1 - 1, N - 1)
    idx = np.minimum(n0[:, None] + np.arange(J)[None, :], last[:, None])
    tg = np.take_along_axis(t_geo, idx, axis=1)
    a = np.where(tg > tau0[:, None], tg, tau0[:, None])
    t_eval = np.where(a < mr_hi, a, mr_hi)
    i0 = min(int(np.searchsorted(t_eval[b], b0, side="left")) for b in range(B))
    v = t_eval[:, i0:]
    a = np.where(v > mr_lo, v, mr_lo)
    tail = np.where(a < mr_hi, a, mr_hi)
    return tg, t_eval, tail, n0.astype(np.int32), n1.astype(np.int32), i0


def check_pack(got, ref):
    assert len(got) == 6
    for g, r in zip(got[:3], ref[:3]):
        assert_bitwise(g, r)
    for g, r in zip(got[3:5], ref[3:5]):
        assert g.dtype == np.int32
        np.testing.assert_array_equal(g, r)
    assert type(got[5]) is int and got[5] == ref[5]


def random_grids(B=7, N=300, step=1.0):
    start = RNG.uniform(-50.0, -30.0, B)
    steps = RNG.uniform(0.05, 0.5, (B, N)) * step
    t_geo = start[:, None] + np.cumsum(steps, axis=1)
    tau0 = RNG.uniform(-40.0, -10.0, B)
    return t_geo, tau0


@pytest.mark.parametrize("fn", PACK, ids=["default", "serial"])
@pytest.mark.parametrize("mr_lo, mr_hi, b0, tol", [
    (-5.0, 20.0, 0.0, 1e-9),       # blend start inside the packs
    (-5.0, 20.0, 1e9, 0.0),        # b0 above everything: empty tail
    (-5.0, 20.0, -1e9, 0.3),       # b0 below everything: whole pack is the tail
    (5.0, 8.0, 3.0, 2.0),          # narrow merger-ringdown window
])
@pytest.mark.parametrize("grid", [dict(), dict(B=9, N=4000, step=0.1)], ids=["small", "chunked"])
def test_random_rows_against_numpy(fn, mr_lo, mr_hi, b0, tol, grid):
    # "chunked": packed rows of different widths straddle the gather's work chunks.
    t_geo, tau0 = random_grids(**grid)
    ref = pack_reference(t_geo, tau0, mr_lo, mr_hi, b0, tol)
    check_pack(fn(t_geo, tau0, mr_lo, mr_hi, b0, tol), ref)


def edge_grid():
    """Rows on an integer grid 0..9 with tol = 0.25: windows exactly at their limits."""
    N = 10
    t = np.tile(np.arange(N, dtype=float), (6, 1))
    tau0 = np.array([
        2.25,    # sample 2 equals tau0 - tol: inside
        20.0,    # every sample below tau0 - tol: n0 = N, n1 = N + 1
        -5.0,    # whole grid inside
        4.0,     # narrower window than the others
        9.25,    # only the last sample
        0.25,
    ])
    t[5] += 100.0  # every sample above mr_hi + tol: n0 = 0, n1 = 1
    return t, tau0


@pytest.mark.parametrize("fn", PACK, ids=["default", "serial"])
def test_edge_rows(fn):
    t, tau0 = edge_grid()
    mr_lo, mr_hi, b0, tol = 1.0, 6.75, 3.5, 0.25   # mr_hi + tol = 7.0 is inside
    got = fn(t, tau0, mr_lo, mr_hi, b0, tol)
    check_pack(got, pack_reference(t, tau0, mr_lo, mr_hi, b0, tol))
    tg, t_eval, tail, n0, n1, i0 = got
    assert n0.tolist() == [2, 10, 0, 4, 9, 0]
    assert n1.tolist() == [8, 11, 8, 8, 10, 1]
    assert tg.shape == (6, 8)
    assert tg[1].tolist() == [9.0] * 8           # t_geo[b, N-1] repeated
    assert tg[3].tolist() == [4, 5, 6, 7, 7, 7, 7, 7]  # last in-window sample repeated
    assert t_eval[1].tolist() == [6.75] * 8       # tau0 > mr_hi: all mr_hi
    assert np.all(t_eval <= mr_hi)
    # Rows clipped to mr_hi reach b0 at column 0.
    assert i0 == 0 and tail.shape == (6, 8)


@pytest.mark.parametrize("fn", PACK, ids=["default", "serial"])
def test_nan_samples_and_windows(fn):
    t = np.arange(8, dtype=float)[None, :].repeat(3, axis=0)
    t[0, 4] = np.nan
    tau0 = np.array([1.0, np.nan, 2.0])
    tg, t_eval, tail, n0, n1, i0 = fn(t, tau0, -1.0, 5.0, -1.0, 0.0)
    assert math.isnan(tg[0, 3]) and t_eval[0, 3] == tau0[0]   # NaN sample -> tau0
    assert np.all(t_eval[1] == 5.0)                            # NaN tau0 -> mr_hi
    assert n0[1] == 0                                          # nothing is below NaN
    _, t_eval, _, _, _, i0 = fn(t, tau0, -1.0, np.nan, np.nan, 0.0)
    assert np.all(np.isnan(t_eval)) and i0 == 0                # NaN mr_hi, NaN b0


@pytest.mark.parametrize("fn", PACK, ids=["default", "serial"])
def test_empty_tail(fn):
    t_geo, tau0 = random_grids(B=3, N=50)
    got = fn(t_geo, tau0, -5.0, 20.0, 1e9, 0.0)
    assert got[2].shape == (3, 0) and got[5] == got[0].shape[1]


def test_serial_host_misaligned_and_trailing_axes():
    t_geo, tau0 = random_grids(B=40, N=2000)
    args = (-5.0, 20.0, 0.0, 1e-9)
    base = rr.span_pack64(t_geo, tau0, *args)
    ref = pack_reference(t_geo, tau0, *args)
    check_pack(base, ref)
    check_pack(rr.span_pack64_serial(t_geo, tau0, *args), ref)
    check_pack(rr.span_pack64_host(t_geo, tau0, *args), ref)
    check_pack(rr.span_pack64(misaligned(t_geo), misaligned(tau0), *args), ref)
    # Further trailing axes: the first B*N (B) elements in row-major order.
    wide = np.concatenate([t_geo.ravel(), np.zeros(t_geo.size)]).reshape(40, 2000, 2)
    wtau = np.concatenate([tau0, np.zeros(40)]).reshape(40, 2)
    check_pack(rr.span_pack64(wide, wtau, *args), ref)


@pytest.mark.parametrize("t_geo, tau0, exc, msg", [
    (np.zeros((2, 3)), np.zeros(3), ValueError, "tau0 must be (B,)"),
    (np.zeros((0, 3)), np.zeros(1), ValueError, "tau0 must be (B,)"),
    (np.zeros((0, 3)), np.zeros(0), ValueError, "t_geo must be non-empty"),
    (np.zeros((2, 0)), np.zeros(2), ValueError, "t_geo must be non-empty"),
    (np.zeros(3), np.zeros(3), IndexError, "invalid axis: 1 (ndim = 1)"),
    (np.zeros((2, 3)), np.float64(1.0), IndexError, "invalid axis: 0 (ndim = 0)"),
    (np.zeros((2, 3, 0)), np.zeros(2), ValueError, "t_geo must be (B, N)"),
    (np.zeros((2, 3)), np.zeros((2, 0)), ValueError, "tau0 must be (B,)"),
])
@pytest.mark.parametrize("fn", PACK, ids=["default", "serial"])
def test_pack_errors(fn, t_geo, tau0, exc, msg):
    with pytest.raises(exc) as info:
        fn(t_geo, tau0, 0.0, 1.0, 0.5, 0.0)
    assert str(info.value) == msg


# ---------------------------------------------------------------- grid_bounds64

def bounds_reference(tau_start, msec, tc, mr_hi, t_first, t_last, check):
    lo_limit = t_first - 1e-12
    hi_limit = 1e-12 + t_last
    t_lo, t_hi, bad_lo, bad_hi = math.inf, -math.inf, -1, -1
    for i in range(len(tau_start)):
        lo = float(msec[i]) * float(tau_start[i]) + float(tc[i])
        hi = float(msec[i]) * mr_hi + float(tc[i])
        t_lo = lo if lo < t_lo else t_lo
        t_hi = hi if hi > t_hi else t_hi
        if check:
            if lo_limit > lo and bad_lo < 0:
                bad_lo = i
            if hi > hi_limit and bad_hi < 0:
                bad_hi = i
    return t_lo, t_hi, bad_lo, bad_hi


def check_bounds(got, ref):
    assert [type(v) for v in got] == [float, float, int, int]
    assert got[2:] == ref[2:]
    assert [math.copysign(1, v) if v == 0 else v for v in got[:2]] == \
        [math.copysign(1, v) if v == 0 else v for v in ref[:2]]


@pytest.mark.parametrize("fn", BOUNDS, ids=["default", "serial"])
@pytest.mark.parametrize("check", [True, False])
def test_bounds_random_against_loop(fn, check):
    B = 50
    tau_start = RNG.uniform(-3.0, -1.0, B)
    msec = RNG.uniform(0.5, 2.0, B)
    tc = RNG.normal(size=B)
    tau_start[[3, 17]] = np.nan
    args = (tau_start, msec, tc, 0.7, -4.0, 0.5, check)
    got = fn(*args)
    check_bounds(got, bounds_reference(*args))
    if check:
        assert got[2] >= 0 and got[3] >= 0
    else:
        assert got[2:] == (-1, -1)


@pytest.mark.parametrize("fn", BOUNDS, ids=["default", "serial"])
def test_bounds_limits_are_exact(fn):
    t_first, t_last = 1.0, 2.0
    lo_limit = t_first - 1e-12
    hi_limit = 1e-12 + t_last
    below = np.nextafter(lo_limit, -np.inf)
    above = np.nextafter(hi_limit, np.inf)
    # msec = 1, tc = 0: lo = tau_start exactly, hi = mr_hi exactly.
    ones, zeros = np.ones(4), np.zeros(4)
    assert fn(np.array([lo_limit, 1.5, 1.5, 1.5]), ones, zeros, hi_limit, t_first, t_last,
              True)[2:] == (-1, -1)
    got = fn(np.array([1.5, below, 1.5, below]), ones, zeros, above, t_first, t_last, True)
    assert got[2:] == (1, 0)            # smallest violating row of each kind
    assert got[0] == below and got[1] == above
    # A violation on the high side through tc only.
    tc = np.array([0.0, 0.0, above - hi_limit, 0.0])
    got = fn(np.full(4, 1.5), ones, tc, hi_limit, t_first, t_last, True)
    assert got[3] == 2


@pytest.mark.parametrize("fn", BOUNDS, ids=["default", "serial"])
def test_bounds_empty_and_all_nan(fn):
    for check in (True, False):
        e = np.zeros(0)
        assert fn(e, e, e, 1.0, 0.0, 1.0, check) == (math.inf, -math.inf, -1, -1)
    n = np.full(3, np.nan)
    assert fn(n, n, n, 1.0, 0.0, 1.0, True) == (math.inf, -math.inf, -1, -1)


def test_bounds_misaligned_trailing_and_check_conversion():
    tau_start = RNG.uniform(-3.0, -1.0, 9)
    msec = RNG.uniform(0.5, 2.0, 9)
    tc = RNG.normal(size=9)
    ref = bounds_reference(tau_start, msec, tc, 0.7, -3.5, 1.0, True)
    check_bounds(rr.grid_bounds64(misaligned(tau_start), misaligned(msec), misaligned(tc),
                                  0.7, -3.5, 1.0, True), ref)
    wide = np.stack([tau_start, tau_start]).reshape(9, 2)   # first 9 elements in memory
    ref_w = bounds_reference(wide.ravel()[:9], msec, tc, 0.7, -3.5, 1.0, True)
    check_bounds(rr.grid_bounds64(wide, msec, tc, 0.7, -3.5, 1.0, True), ref_w)
    for truthy in (1, np.bool_(True), 2.5):
        assert rr.grid_bounds64(tau_start, msec, tc, 0.7, -3.5, 1.0, truthy) == \
            rr.grid_bounds64(tau_start, msec, tc, 0.7, -3.5, 1.0, True)
    for falsy in (None, 0, np.bool_(False)):
        assert rr.grid_bounds64(tau_start, msec, tc, 0.7, -3.5, 1.0, falsy)[2:] == (-1, -1)
    with pytest.raises(TypeError):
        rr.grid_bounds64(tau_start, msec, tc, 0.7, -3.5, 1.0, "yes")
    rr.residency_begin()
    rr.grid_bounds64(tau_start, msec, tc, 0.7, -3.5, 1.0, True)
    assert rr.residency_end()["events"] == []


@pytest.mark.parametrize("arrays, exc, msg", [
    ((np.zeros(3), np.zeros(2), np.zeros(3)), ValueError, "tau_start/msec/tc must share (B,)"),
    ((np.zeros(3), np.zeros(3), np.zeros(4)), ValueError, "tau_start/msec/tc must share (B,)"),
    ((np.zeros(3), np.zeros(2), np.float64(0)), ValueError, "tau_start/msec/tc must share (B,)"),
    ((np.float64(0), np.zeros(3), np.zeros(3)), IndexError, "invalid axis: 0 (ndim = 0)"),
    ((np.zeros(3), np.zeros(3), np.float64(0)), IndexError, "invalid axis: 0 (ndim = 0)"),
    ((np.zeros((3, 0)), np.zeros(3), np.zeros(3)), ValueError, "tau_start/msec/tc must share (B,)"),
    ((np.zeros(3), np.zeros(3), np.zeros((3, 0))), ValueError, "tau_start/msec/tc must share (B,)"),
])
@pytest.mark.parametrize("fn", BOUNDS, ids=["default", "serial"])
def test_bounds_errors(fn, arrays, exc, msg):
    with pytest.raises(exc) as info:
        fn(*arrays, 1.0, 0.0, 1.0, True)
    assert str(info.value) == msg
