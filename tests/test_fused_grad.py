"""The gradient-side stages: median_h2_batch (squared median 4PN amplitude and its
theta-gradient) and dc_grid_batch (dc_k/dtheta on the grid)."""

import numpy as np
import pytest

import radiredide as rr
from conftest import assert_bitwise, misaligned
import fused_cases as fc

needs_pn4 = pytest.mark.skipif(not hasattr(rr, "pn4_dmode_batch"),
                               reason="4PN weight grids not built into this module")


def v_grid(B, N, seed=2):
    rng = np.random.default_rng(seed)
    base = np.sort(rng.uniform(0.2, 0.42, N))
    return base


# ---------------------------------------------------------------- median_h2_batch

@needs_pn4
@pytest.mark.parametrize("N", [2, 3, 4, 101, 400])
# the second set reads only slots without a ln x term
@pytest.mark.parametrize("pn", [[0, 3, -1, 7, 2], [3, 5, -1, 6, 4]], ids=["log", "nolog"])
def test_median_matches_oracle_bitwise(N, pn):
    th = fc.make_thetas(3)
    v, dv = fc.v_of(v_grid(3, N), th)
    pn = np.array(pn, np.int32)
    med2, dmed2 = rr.median_h2_batch(v, dv, th, pn)
    ref2, dref2 = fc.median_oracle(rr, v, dv, th, pn)
    assert_bitwise(med2, ref2)
    assert_bitwise(dmed2, dref2)
    assert (med2[:, 2] == 0).all() and (dmed2[:, :, 2] == 0).all()
    # the value is np.median of the amplitudes, squared
    h = rr.pn4_weights_batch(v, th)
    for k, s in enumerate(pn):
        if s >= 0:
            assert_bitwise(med2[:, k], np.median(np.hypot(h[:, s].real, h[:, s].imag), axis=-1) ** 2)


def _long_row(kind, N, rng):
    base = np.sort(rng.uniform(0.05, 0.45, N))
    if kind == "shuffled":
        return rng.permutation(base)
    if kind == "clusters":  # two tied groups: the middle ranks straddle them
        return np.where(np.arange(N) % 2 == 0, 0.05, 0.45)
    if kind == "rounded":   # long runs of ties around the median
        return rng.permutation(np.round(base * 40) / 40)
    if kind == "ulps":      # all amplitudes within a few ulps of each other
        return rng.permutation(0.3 + np.arange(N) * np.spacing(0.3))
    if kind == "zeros":     # v = 0 gives |h| = 0 on more than half the row
        return np.where(np.arange(N) < N // 2 + 2, 0.0, base)
    return base


# Long rows, on which the middle of the squares is found by a guessed window or a count
# over their bits, with the fallbacks that ties, equal squares and zeros force.
@needs_pn4
@pytest.mark.parametrize("kind, N", [("sorted", 20000), ("shuffled", 20001), ("shuffled", 1000),
                                     ("sorted", 65), ("clusters", 6000), ("rounded", 5001),
                                     ("ulps", 4096), ("zeros", 4100)])
def test_median_long_rows_match_oracle_bitwise(kind, N):
    rng = np.random.default_rng(N)
    th = fc.make_thetas(2, seed=4)
    v, dv = fc.v_of(_long_row(kind, N, rng), th)
    pn = np.array([0, 3, 7, -1], np.int32)
    got = rr.median_h2_batch(v, dv, th, pn)
    ref = fc.median_oracle(rr, v, dv, th, pn)
    assert_bitwise(got[0], ref[0])
    assert_bitwise(got[1], ref[1])


@needs_pn4
def test_median_gradient_against_finite_differences():
    th = fc.make_thetas(2, seed=5)
    base = v_grid(2, 61)
    pn = np.arange(8, dtype=np.int32)
    v, dv = fc.v_of(base, th)
    _, dmed2 = rr.median_h2_batch(v, dv, th, pn)
    for p in range(3):
        step = 1e-6
        tp, tm = th.copy(), th.copy()
        tp[:, p] += step
        tm[:, p] -= step
        fp = rr.median_h2_batch(*fc.v_of(base, tp), tp, pn)[0]
        fm = rr.median_h2_batch(*fc.v_of(base, tm), tm, pn)[0]
        fd = (fp - fm) / (2 * step)
        np.testing.assert_allclose(dmed2[:, p], fd, rtol=2e-5, atol=1e-9 * np.abs(fp).max())


@needs_pn4
def test_median_ties_and_nan_order():
    th = fc.make_thetas(1)
    # v[1] == v[2]: equal amplitudes straddle the median position 2 of N = 5; the smaller
    # index takes the lower sorted position, so sample 2 is the median point.
    base = np.array([0.2, 0.3, 0.3, 0.35, 0.4])
    v, dv = fc.v_of(base, th)
    dv[0, :, 2] *= 3.0
    pn = np.array([0], np.int32)
    got = rr.median_h2_batch(v, dv, th, pn)
    ref = fc.median_oracle(rr, v, dv, th, pn)
    assert_bitwise(got[1], ref[1])
    dv2 = dv.copy()
    dv2[0, :, 1] *= 7.0  # sample 1 is not a median point
    assert_bitwise(rr.median_h2_batch(v, dv2, th, pn)[1], got[1])
    # NaN amplitudes sort after every number
    vn = v.copy()
    vn[0, 0] = np.nan
    got = rr.median_h2_batch(vn, dv, th, pn)
    ref = fc.median_oracle(rr, vn, dv, th, pn)
    assert np.isfinite(got[0]).all()
    assert_bitwise(got[0], ref[0])
    assert_bitwise(got[1], ref[1])


@needs_pn4
def test_median_shared_slot_rows_are_not_disturbed():
    # Several modes on one slot read the same amplitude row concurrently.
    th = fc.make_thetas(4)
    v, dv = fc.v_of(v_grid(4, 257), th)
    pn = np.array([2] * 6 + [5] * 6, np.int32)
    med2, dmed2 = rr.median_h2_batch(v, dv, th, pn)
    assert_bitwise(med2, np.repeat(med2[:, [0, 6]], 6, axis=1))
    one = rr.median_h2_batch(v, dv, th, pn[:1])
    assert_bitwise(med2[:, :1], one[0])
    assert_bitwise(dmed2[:, :, :1], one[1])


@pytest.mark.parametrize("B, K", [(0, 3), (2, 0)])
def test_median_empty(B, K):
    th = fc.make_thetas(max(B, 1))[:B]
    v, dv = fc.v_of(v_grid(B, 5), th)
    med2, dmed2 = rr.median_h2_batch(v, dv, th, np.zeros(K, np.int32))
    assert med2.shape == (B, K) and dmed2.shape == (B, 3, K)


def _median_args():
    th = fc.make_thetas(2)
    v, dv = fc.v_of(v_grid(2, 9), th)
    return dict(v=v, dv=dv, thetas=th, pnIdx=np.array([0, 7, -3], np.int32))


_MA = _median_args()
_MED_BAD = [
    ("v_1d", dict(v=_MA["v"][0]), ValueError, r"^v must be \(B, N\)$"),
    ("pn_0d", dict(pnIdx=np.int32(0)), IndexError, r"invalid axis: 0 \(ndim = 0\)"),
    ("dv", dict(dv=_MA["dv"][:, :2]), ValueError, r"^dv must be \(B, 3, N\)$"),
    ("dv_n", dict(dv=_MA["dv"][..., :8]), ValueError, r"^dv must be \(B, 3, N\)$"),
    ("thetas", dict(thetas=_MA["thetas"][:, :2]), ValueError, r"^thetas must be \(B, 3\)$"),
    ("N1", dict(v=_MA["v"][:, :1], dv=_MA["dv"][..., :1]), ValueError, "^need at least 2 grid points$"),
    ("pn8", dict(pnIdx=np.array([0, 8], np.int32)), ValueError, "^pn slot out of range$"),
    ("pn_2d", dict(pnIdx=np.zeros((2, 2), np.int32)), IndexError, r"index dimension mismatch: 1 \(ndim = 2\)"),
]


@pytest.mark.parametrize("name, kw, exc, msg", _MED_BAD, ids=[r[0] for r in _MED_BAD])
def test_median_errors(name, kw, exc, msg):
    with pytest.raises(exc, match=msg):
        rr.median_h2_batch(**dict(_MA, **kw))


# ---------------------------------------------------------------- dc_grid_batch

ALPHA = np.array([[0.3 + 0.2j, -0.1 + 0.4j, 0.25 - 0.3j],
                  [-0.2 + 0.1j, 0.5 - 0.2j, -0.35 + 0.15j],
                  [0.1 - 0.3j, -0.4 + 0.05j, 0.2 + 0.2j]])


def pieces(thetas, N, npieces=3, seed=3):
    """Slot-packed piece values: piece j at slots 4j..4j+3 = value and its exact partials
    in (q, chi1z, chi2z); value = A_n exp(alpha_j . theta)."""
    rng = np.random.default_rng(seed)
    A = rng.normal(size=(npieces, N)) + 1j * rng.normal(size=(npieces, N))
    B = len(thetas)
    vals = np.zeros((B, 4 * npieces + 1, N), complex)
    for j in range(npieces):
        val = A[j][None, :] * np.exp(thetas @ ALPHA[j])[:, None]
        vals[:, 4 * j] = val
        for p in range(3):
            vals[:, 4 * j + 1 + p] = ALPHA[j, p] * val
    return vals


GAMMA = np.array([0.2, -0.3, 0.1])


def weight(thetas, K):
    t = np.tanh(thetas @ GAMMA)
    W = np.repeat((0.4 + 0.3 * t)[:, None], K, axis=1) + 0.01 * np.arange(K)
    dW = np.repeat((0.3 * (1 - t * t))[:, None, None] * GAMMA[None, :, None], K, axis=2)
    return np.ascontiguousarray(W), np.ascontiguousarray(dW)


DC_MODES = dict(dIdx=np.array([0, 4, 8, 0], np.int32), rIdx=np.array([4, -1, 0, -5], np.int32),
                pnIdx=np.array([0, 1, 2, 7], np.int32), emm=np.array([2, 1, 3, -5], np.int32))


def dc_args(B=3, N=50, base=None):
    th = fc.make_thetas(B, seed=9)
    base = v_grid(B, N) if base is None else base
    v, dv = fc.v_of(base, th)
    W, dW = weight(th, 4)
    return dict(vals=pieces(th, N), v=v, dv=dv, thetas=th, W=W, dW=dW, **DC_MODES), base


@needs_pn4
@pytest.mark.parametrize("emm", [DC_MODES["emm"], np.array([-2**31, 1, 2**31 - 1, -5], np.int32)])
def test_dc_matches_oracle_bitwise(emm):
    a, _ = dc_args()
    a["emm"] = emm  # the extreme m only enter the phase factor, as doubles
    got = rr.dc_grid_batch(**a)
    assert got.shape == (3, 3, 4, 50)
    assert_bitwise(got, fc.dc_oracle(rr, **a))


@needs_pn4
def test_dc_slots_without_log_term_match_oracle_bitwise():
    a, _ = dc_args(N=23)
    a["pnIdx"] = np.array([3, 6, 3, 5], np.int32)  # slots whose series have no ln x term
    assert_bitwise(rr.dc_grid_batch(**a), fc.dc_oracle(rr, **a))


@needs_pn4
def test_dc_against_finite_differences_of_the_value():
    a, base = dc_args(B=2, N=31)
    got = rr.dc_grid_batch(**a)
    phr, phi = fc.phase_factors(a["emm"])
    ph = phr + 1j * phi

    def value(th):
        v, _ = fc.v_of(base, th)
        h = rr.pn4_weights_batch(v, th)
        vals = pieces(th, len(base))
        W, _ = weight(th, 4)
        out = []
        for k in range(4):
            hk = h[:, a["pnIdx"][k]]
            D = vals[:, a["dIdx"][k]]
            if a["rIdx"][k] < 0:
                out.append(D * hk * ph[k])
            else:
                R = vals[:, a["rIdx"][k]]
                w = W[:, k][:, None]
                out.append(w * D + (1 - w) * ph[k] * R * hk)
        return np.stack(out, axis=1)

    for p in range(3):
        step = 1e-6
        tp, tm = a["thetas"].copy(), a["thetas"].copy()
        tp[:, p] += step
        tm[:, p] -= step
        fd = (value(tp) - value(tm)) / (2 * step)
        np.testing.assert_allclose(got[:, p], fd, rtol=1e-6, atol=1e-8 * np.abs(fd).max())


@needs_pn4
def test_dc_weight_one_gives_direct_partials_and_no_ratio_ignores_W():
    a, _ = dc_args()
    W = np.ones_like(a["W"])
    dW = np.zeros_like(a["dW"])
    got = rr.dc_grid_batch(**dict(a, W=W, dW=dW))
    for p in range(3):
        assert_bitwise(got[:, p, 0], np.ascontiguousarray(a["vals"][:, 1 + p]))
    nan = np.full_like(a["W"], np.nan)
    other = rr.dc_grid_batch(**dict(a, W=nan, dW=np.full_like(a["dW"], np.nan)))
    assert_bitwise(other[:, :, [1, 3]], got[:, :, [1, 3]])


@needs_pn4
def test_dc_misaligned():
    a, _ = dc_args()
    ref = rr.dc_grid_batch(**a)
    for off in (8, 4):
        m = dict(a, vals=misaligned(a["vals"], off), v=misaligned(a["v"]), dv=misaligned(a["dv"]),
                 W=misaligned(a["W"]), dW=misaligned(a["dW"]), thetas=misaligned(a["thetas"]))
        assert_bitwise(rr.dc_grid_batch(**m), ref)
    ma = _median_args()
    mref = rr.median_h2_batch(**ma)
    mis = rr.median_h2_batch(v=misaligned(ma["v"]), dv=misaligned(ma["dv"]),
                             thetas=misaligned(ma["thetas"]), pnIdx=misaligned(ma["pnIdx"]))
    assert_bitwise(mis[0], mref[0])
    assert_bitwise(mis[1], mref[1])


@pytest.mark.parametrize("B, N", [(0, 10), (2, 0)])
def test_dc_empty(B, N):
    a, _ = dc_args(B=max(B, 1), N=max(N, 1))
    a = dict(a, vals=a["vals"][:B, :, :N], v=a["v"][:B, :N], dv=a["dv"][:B, :, :N],
             thetas=a["thetas"][:B], W=a["W"][:B], dW=a["dW"][:B])
    out = rr.dc_grid_batch(**a)
    assert out.shape == (B, 3, 4, N) and out.dtype == np.complex128


def test_dc_slot_edges_accepted():
    a, _ = dc_args(B=1, N=4)
    G = a["vals"].shape[1]
    rr.dc_grid_batch(**dict(a, dIdx=np.array([G - 4] * 4, np.int32),
                            rIdx=np.array([G - 4, -2**31, -1, -100], np.int32)))


_DA, _ = dc_args(B=2, N=6)
_G = _DA["vals"].shape[1]
_I4 = lambda *x: np.array(x, np.int32)  # noqa: E731
_DC_BAD = [
    ("vals_2d", dict(vals=_DA["vals"][0]), ValueError, r"^vals must be \(B, G, N\)$"),
    ("dIdx_0d", dict(dIdx=np.int32(0)), IndexError, r"invalid axis: 0 \(ndim = 0\)"),
    ("v", dict(v=_DA["v"][:, :5]), ValueError, r"^v must be \(B, N\)$"),
    ("dv", dict(dv=_DA["dv"][:1]), ValueError, r"^dv must be \(B, 3, N\)$"),
    ("thetas", dict(thetas=_DA["thetas"].ravel()), ValueError, r"^thetas must be \(B, 3\)$"),
    ("rIdx_0d", dict(rIdx=np.int32(0)), IndexError, r"invalid axis: 0 \(ndim = 0\)"),
    ("K", dict(pnIdx=_I4(0, 1, 2)), ValueError, r"^mode index arrays must be \(K,\)$"),
    ("emm_K", dict(emm=_I4(0, 1, 2, 3, 4)), ValueError, r"^mode index arrays must be \(K,\)$"),
    ("W", dict(W=_DA["W"][:, :3]), ValueError, r"^W must be \(B, K\)$"),
    ("dW", dict(dW=_DA["dW"][:, 0]), ValueError, r"^dW must be \(B, 3, K\)$"),
    ("dIdx_G3", dict(dIdx=_I4(0, 4, _G - 3, 0)), ValueError, "^piece slot out of range in vals$"),
    ("dIdx_neg", dict(dIdx=_I4(0, -1, 8, 0)), ValueError, "^piece slot out of range in vals$"),
    ("dIdx_max", dict(dIdx=_I4(0, 2**31 - 1, 8, 0)), ValueError, "^piece slot out of range in vals$"),
    ("rIdx_max", dict(rIdx=_I4(4, -1, 2**31 - 2, -5)), ValueError, "^piece slot out of range in vals$"),
    ("pn_neg", dict(pnIdx=_I4(0, -1, 2, 7)), ValueError, "^pn slot out of range$"),
    ("pn_8", dict(pnIdx=_I4(0, 1, 8, 7)), ValueError, "^pn slot out of range$"),
    ("pn_before_slot", dict(pnIdx=_I4(9, 1, 2, 7), dIdx=_I4(0, 4, 99, 0)), ValueError, "^pn slot out of range$"),
    ("emm_2d", dict(emm=np.zeros((4, 1), np.int32)), IndexError, r"index dimension mismatch: 1 \(ndim = 2\)"),
    ("rIdx_2d", dict(rIdx=np.zeros((4, 1), np.int32) - 1), IndexError, r"index dimension mismatch: 1 \(ndim = 2\)"),
]


@pytest.mark.parametrize("name, kw, exc, msg", _DC_BAD, ids=[r[0] for r in _DC_BAD])
def test_dc_errors(name, kw, exc, msg):
    with pytest.raises(exc, match=msg):
        rr.dc_grid_batch(**dict(_DA, **kw))


def test_docstrings():
    assert rr.dc_grid_batch.__doc__.rstrip().endswith(
        "(B, 3, K, N) complex -- the compiled replacement for aa_grad_device._dc_row and its fork pool.")
    assert rr.median_h2_batch.__doc__.rstrip().endswith("pnIdx < 0 skips a mode.")
