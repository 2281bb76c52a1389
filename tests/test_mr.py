"""Merger-ringdown kernels: segment values and gradients, blend, join, contraction."""
import math

import numpy as np
import pytest

import radiredide as rr
from conftest import assert_bitwise, misaligned

NAMES = ["mr_segment_grad", "imr_join_grad", "theta_contract_grad", "mr_blend64", "mr_blend32"]


@pytest.mark.parametrize("name", NAMES)
def test_names(name):
    base = getattr(rr, name)
    assert getattr(rr, name + "_host") is base
    serial = getattr(rr, name + "_serial")
    assert serial is not base and serial.__doc__ == base.__doc__
    assert serial.__name__ == name + "_serial" and getattr(rr, name + "_host").__name__ == name


def test_column_tile_attribute():
    assert rr.theta_contract_column_tile == 8 and type(rr.theta_contract_column_tile) is int


# ---------------------------------------------------------------- blend

def crand(rng, *shape, dtype=np.complex128):
    return (rng.standard_normal(shape) + 1j * rng.standard_normal(shape)).astype(dtype)


@pytest.fixture
def blend_inputs():
    rng = np.random.default_rng(1)
    B, P, N = 3, 2, 37
    return crand(rng, B, P, N), crand(rng, B, P, N), rng.uniform(0, 1, (B, N))


@pytest.mark.parametrize("suffix", ["", "_serial"])
@pytest.mark.parametrize("one_row", [False, True])
@pytest.mark.parametrize("shape", [None, (2, 5, 3001)], ids=["fixture", "rows_across_chunks"])
def test_blend_bitwise_numpy(blend_inputs, suffix, one_row, shape):
    hp, hr, w = blend_inputs
    if shape is not None:
        rng = np.random.default_rng(5)
        B, P, N = shape
        hp, hr, w = crand(rng, B, P, N), crand(rng, B, P, N), rng.uniform(0, 1, (B, N))
    if one_row:
        w = w[:1]
    got = getattr(rr, "mr_blend64" + suffix)(hp, hr, w)
    ref = (1.0 - w)[:, None, :] * hp + w[:, None, :] * hr
    assert_bitwise(got, ref)


def test_blend32_is_blend64_of_widened(blend_inputs):
    hp, hr, w = blend_inputs
    hp32, hr32 = hp.astype(np.complex64), hr.astype(np.complex64)
    got = rr.mr_blend32(hp32, hr32, w)
    assert got.dtype == np.complex128
    assert_bitwise(got, rr.mr_blend64(hp32.astype(np.complex128), hr32.astype(np.complex128), w))


def test_blend_nonfinite_follows_numpy():
    hp = np.array([[[1 + 2j, 3 + 0j]]])
    hr = np.array([[[complex(np.inf, 1.0), complex(np.nan, 0.0)]]])
    w = np.array([[0.5, 0.0]])
    got = rr.mr_blend64(hp, hr, w)
    with np.errstate(invalid="ignore"):
        ref = (1.0 - w)[:, None, :] * hp + w[:, None, :] * hr
    assert np.isnan(got[0, 0, 0].imag) and np.isnan(ref[0, 0, 0].imag)
    assert np.isnan(got[0, 0, 1].real) and np.isnan(got[0, 0, 1].imag)


def test_blend_misaligned_equals_aligned(blend_inputs):
    hp, hr, w = blend_inputs
    assert_bitwise(rr.mr_blend64(misaligned(hp, 8), misaligned(hr, 4), misaligned(w)),
                   rr.mr_blend64(hp, hr, w))
    hp32 = hp.astype(np.complex64)
    assert_bitwise(rr.mr_blend32(misaligned(hp32, 2), hp32, w), rr.mr_blend32(hp32, hp32, w))


@pytest.mark.parametrize("hp_shape,hr_shape,w_shape,msg", [
    ((2, 3), (2, 3), (2, 3), "h_p and h_r must be (B, P, N)"),
    ((2, 1, 3), (2, 1, 4), (2, 3), "h_p and h_r must have the same shape"),
    ((2, 1, 3), (2, 1, 3), (3,), "w must be (B, N) or (1, N)"),
    ((2, 1, 3), (2, 1, 3), (2, 4), "w must be (B, N) or (1, N)"),
    ((2, 1, 3), (2, 1, 3), (3, 3), "w's batch axis must be B or 1"),
])
def test_blend_errors(hp_shape, hr_shape, w_shape, msg):
    with pytest.raises(ValueError) as e:
        rr.mr_blend64(np.zeros(hp_shape, complex), np.zeros(hr_shape, complex), np.zeros(w_shape))
    assert str(e.value) == msg


def test_blend_empty():
    assert rr.mr_blend64(np.zeros((0, 2, 3), complex), np.zeros((0, 2, 3), complex),
                         np.zeros((1, 3))).shape == (0, 2, 3)


# ---------------------------------------------------------------- join

def join_reference(h, dh, hm, dhm, dhmdt, w, dw, dte, s):
    h, dh = h.copy(), dh.copy()
    nw = hm.shape[2]
    sl = slice(s, s + nw)
    v = 1.0 - w
    diff = hm - h[:, :, sl]
    for i in range(3):
        dh[:, i, :, sl] = ((v[:, None, :] * dh[:, i, :, sl])
                           + ((dte[:, i, None, None] * dhmdt + dhm[:, i]) * w[:, None, :])) \
                          + dw[:, i, None, :] * diff
    h[:, :, sl] = h[:, :, sl] * v[:, None, :] + hm * w[:, None, :]
    return h, dh


def join_inputs(rng, B=2, P=3, N=40, Nw=11):
    return dict(h=crand(rng, B, P, N), dh=crand(rng, B, 3, P, N), h_mr=crand(rng, B, P, Nw),
                dh_mr=crand(rng, B, 3, P, Nw), dh_mr_dt=crand(rng, B, P, Nw),
                ramp=rng.uniform(0, 1, (B, Nw)), ramp_gradient=rng.standard_normal((B, 3, Nw)),
                peak_time_gradient=rng.standard_normal((B, 3)))


@pytest.mark.parametrize("suffix", ["", "_serial"])
@pytest.mark.parametrize("start", [0, 7, 29])
def test_join_in_place_bitwise(suffix, start):
    a = join_inputs(np.random.default_rng(2))
    ref_h, ref_dh = join_reference(a["h"], a["dh"], a["h_mr"], a["dh_mr"], a["dh_mr_dt"],
                                   a["ramp"], a["ramp_gradient"], a["peak_time_gradient"], start)
    h, dh = a["h"], a["dh"]
    assert getattr(rr, "imr_join_grad" + suffix)(window_start=start, **a) is None
    assert h is a["h"]
    assert_bitwise(h, ref_h)   # updated in place; outside the window untouched
    assert_bitwise(dh, ref_dh)


@pytest.mark.parametrize("offset", [8, 4])
def test_join_misaligned_in_place(offset):
    a = join_inputs(np.random.default_rng(3))
    ref_h, ref_dh = join_reference(a["h"], a["dh"], a["h_mr"], a["dh_mr"], a["dh_mr_dt"],
                                   a["ramp"], a["ramp_gradient"], a["peak_time_gradient"], 5)
    a["h"] = misaligned(a["h"], offset)
    a["dh"] = misaligned(a["dh"], offset)
    a["h_mr"] = misaligned(a["h_mr"], 8)
    rr.imr_join_grad(window_start=5, **a)
    assert_bitwise(a["h"], ref_h)
    assert_bitwise(a["dh"], ref_dh)


@pytest.mark.parametrize("bad", ["complex64", "noncontiguous", "list"])
def test_join_refuses_arrays_it_cannot_update(bad):
    a = join_inputs(np.random.default_rng(4))
    before = a["h"].copy()
    if bad == "complex64":
        a["h"] = a["h"].astype(np.complex64)
    elif bad == "noncontiguous":
        a["h"] = np.asfortranarray(a["h"])
    else:
        a["h"] = a["h"].tolist()
    with pytest.raises(TypeError, match="C-contiguous complex128"):
        rr.imr_join_grad(window_start=0, **a)
    if bad == "noncontiguous":
        assert_bitwise(np.ascontiguousarray(a["h"]), before)


def test_join_window_and_writeable_errors():
    a = join_inputs(np.random.default_rng(5), N=20, Nw=6)
    h0, dh0 = a["h"].copy(), a["dh"].copy()
    for s in (-1, 15, 2**63 - 1, -2**63):
        with pytest.raises(ValueError, match="^the join window leaves the sample grid$"):
            rr.imr_join_grad(window_start=s, **a)
    rr.imr_join_grad(window_start=14, **dict(a, h=a["h"].copy(), dh=a["dh"].copy()))
    a["h"].flags.writeable = False
    with pytest.raises(ValueError, match="^array is not writeable$"):
        rr.imr_join_grad(window_start=0, **a)
    assert_bitwise(a["h"], h0)
    assert_bitwise(a["dh"], dh0)
    with pytest.raises(TypeError):
        rr.imr_join_grad(window_start=1.0, **dict(a, h=h0))


def test_join_empty_window_any_start():
    a = join_inputs(np.random.default_rng(6), N=5, Nw=0)
    h0 = a["h"].copy()
    for s in range(6):
        rr.imr_join_grad(window_start=s, **a)
    assert_bitwise(a["h"], h0)


@pytest.mark.parametrize("key,shape,msg", [
    ("h", (2, 3), "h must be (B, P, N)"),
    ("dh", (2, 2, 3, 40), "dh must be (B, 3, P, N)"),
    ("h_mr", (2, 4, 11), "h_mr must be (B, P, Nw)"),
    ("dh_mr", (2, 3, 3, 10), "dh_mr must be (B, 3, P, Nw)"),
    ("dh_mr_dt", (2, 3, 10), "dh_mr/dt must be (B, P, Nw)"),
    ("ramp", (2, 10), "the ramp must be (B, Nw)"),
    ("ramp_gradient", (2, 2, 11), "the ramp gradient must be (B, 3, Nw)"),
    ("peak_time_gradient", (2, 2), "dtau_end/dtheta must be (B, 3)"),
])
def test_join_shape_errors(key, shape, msg):
    a = join_inputs(np.random.default_rng(7))
    a[key] = np.zeros(shape, a[key].dtype)
    with pytest.raises(ValueError) as e:
        rr.imr_join_grad(window_start=0, **a)
    assert str(e.value) == msg


def test_join_gradient_matches_finite_differences():
    # A merger-ringdown signal shifted by a parameter-dependent peak time,
    # joined by a parameter-dependent ramp: the joined gradient must be the
    # derivative of the joined value.
    N, Nw, s = 30, 12, 9
    t = np.linspace(0.0, 3.0, N)
    tw = t[s:s + Nw]

    def f(x, th):
        return (1 + th[0]) * np.exp(1j * (2 + th[1]) * x) * (1 + 0.3 * th[2] * x)

    def df_dth(x, th):
        base = np.exp(1j * (2 + th[1]) * x)
        return np.stack([base * (1 + 0.3 * th[2] * x),
                         (1 + th[0]) * 1j * x * base * (1 + 0.3 * th[2] * x),
                         (1 + th[0]) * base * 0.3 * x])

    def df_dt(x, th):
        return (1 + th[0]) * np.exp(1j * (2 + th[1]) * x) * (1j * (2 + th[1]) * (1 + 0.3 * th[2] * x)
                                                             + 0.3 * th[2])

    def tau(th):
        return 0.1 * th[0] - 0.2 * th[2]

    dtau = np.array([0.1, 0.0, -0.2])

    def insp(th):
        return np.cos(t * (1 + th[0])) + 1j * np.sin(t * (1 + th[1] * th[2]))

    def dinsp(th):
        return np.stack([-t * np.sin(t * (1 + th[0])) + 0j,
                         1j * t * th[2] * np.cos(t * (1 + th[1] * th[2])),
                         1j * t * th[1] * np.cos(t * (1 + th[1] * th[2]))])

    def ramp(th):
        return 0.5 * (1 - np.cos(np.linspace(0, np.pi, Nw) * (1 + 0.1 * th[1])))

    def dramp(th):
        y = np.linspace(0, np.pi, Nw)
        return np.stack([0 * y, 0.5 * np.sin(y * (1 + 0.1 * th[1])) * 0.1 * y, 0 * y])

    def joined(th):
        h = insp(th)[None, None].copy()
        dh = dinsp(th)[None, :, None].copy()
        x = tw + tau(th)
        rr.imr_join_grad(h, dh, f(x, th)[None, None], df_dth(x, th)[None, :, None],
                         df_dt(x, th)[None, None], ramp(th)[None], dramp(th)[None],
                         dtau[None], s)
        return h[0, 0], dh[0, :, 0]

    th0 = np.array([0.2, -0.1, 0.3])
    _, dh = joined(th0)
    eps = 1e-6
    for i in range(3):
        e = np.zeros(3)
        e[i] = eps
        fd = (joined(th0 + e)[0] - joined(th0 - e)[0]) / (2 * eps)
        np.testing.assert_allclose(dh[i], fd, rtol=1e-6, atol=1e-7)


# ---------------------------------------------------------------- segment

def cheb_value(c, u):
    """Chebyshev series value by direct summation (independent of the kernel's recurrence)."""
    return np.polynomial.chebyshev.chebval(u, c)


def fit_eval(breaks, coefs, x):
    """Element fit at x: last knot not above x, clamped, local coordinate, Chebyshev series."""
    E = len(breaks) - 1
    xc = np.clip(x, breaks[0], breaks[-1])
    e = np.clip(np.searchsorted(breaks, xc, side="right") - 1, 0, E - 1)
    u = 2 * (xc - breaks[e]) / (breaks[e + 1] - breaks[e]) - 1
    val = np.array([cheb_value(coefs[ei], ui) for ei, ui in zip(e, u)])
    dcoefs = [np.polynomial.chebyshev.chebder(coefs[ei]) for ei in e]
    der = np.array([cheb_value(dc, ui) for dc, ui in zip(dcoefs, u)]) * 2 / (breaks[e + 1] - breaks[e])
    return xc, val, der


def segment_problem(rng, B=2, P=3, Er=4, Ep=3, O=5, N=25, blocks=None):
    if blocks is None:
        blocks = np.array([[0, 2], [1, -1]], np.int32)
    nblk, nl = blocks.shape
    return dict(
        ring_breaks=np.sort(rng.uniform(1.0, 3.0, Er + 1)),
        ring_coefficients=crand(rng, B, P, Er, O),
        ring_coefficient_gradients=crand(rng, B, 3, P, Er, O),
        plunge_breaks=np.sort(rng.uniform(-1.0, 2.0, Ep + 1)),
        plunge_coefficients=crand(rng, B, P, Ep, O),
        plunge_coefficient_gradients=crand(rng, B, 3, P, Ep, O),
        rewind_rate=rng.uniform(0.2, 0.8, (B, P)),
        rewind_rate_gradient=rng.standard_normal((B, 3, P)),
        mixing_blocks=blocks,
        mixing_matrices=crand(rng, B, nblk, nl, nl),
        mixing_matrix_chi_slopes=crand(rng, B, nblk, nl, nl),
        remnant_spin_gradient=rng.standard_normal((B, 3)),
        t=np.sort(rng.uniform(-1.5, 3.5, (B, N)), axis=1),
        t_split=0.5, t_blend_end=2.0)


def segment_reference(a):
    B, P = a["ring_coefficients"].shape[:2]
    N = a["t"].shape[1]
    ts, te = a["t_split"], a["t_blend_end"]
    h = np.zeros((B, P, N), complex)
    dh = np.zeros((B, 3, P, N), complex)
    dhdt = np.zeros((B, P, N), complex)
    for b in range(B):
        x = a["t"][b]
        if ts < te:
            s = np.clip((x - ts) / (te - ts), 0, 1)
            w = (1 - np.cos(s * np.pi)) * 0.5
            dw = np.where((ts < x) & (x < te), np.sin(s * np.pi) * np.pi / 2 / (te - ts), 0.0)
        else:
            w = (ts <= x).astype(float)
            dw = np.zeros_like(x)
        for blk in range(a["mixing_blocks"].shape[0]):
            row = list(a["mixing_blocks"][blk])
            slots = row[:row.index(-1)] if -1 in row else row
            rot, grot, trot = [], [], []
            for p in slots:
                tr, R, Rd = fit_eval(a["ring_breaks"], a["ring_coefficients"][b, p], x)
                om = a["rewind_rate"][b, p]
                ph = np.exp(1j * om * tr)
                rot.append(R * ph)
                trot.append((Rd + 1j * om * R) * ph)
                grot.append([(fit_eval(a["ring_breaks"], a["ring_coefficient_gradients"][b, m, p], x)[1]
                              + 1j * tr * a["rewind_rate_gradient"][b, m, p] * R) * ph for m in range(3)])
            for j, p in enumerate(slots):
                M = a["mixing_matrices"][b, blk, j]
                S = a["mixing_matrix_chi_slopes"][b, blk, j]
                mixed = sum(rot[q] * M[q] for q in range(len(slots)))
                slope = sum(S[q] * rot[q] for q in range(len(slots)))
                _, Pv, Pd = fit_eval(a["plunge_breaks"], a["plunge_coefficients"][b, p], x)
                h[b, p] = Pv * (1 - w) + w * mixed
                for m in range(3):
                    gm = sum(grot[q][m] * M[q] for q in range(len(slots)))
                    Q = fit_eval(a["plunge_breaks"], a["plunge_coefficient_gradients"][b, m, p], x)[1]
                    dh[b, m, p] = (slope * a["remnant_spin_gradient"][b, m] + gm) * w + Q * (1 - w)
                tm = sum(trot[q] * M[q] for q in range(len(slots)))
                dhdt[b, p] = w * tm + Pd * (1 - w) + (mixed - Pv) * dw
    return h, dh, dhdt


@pytest.mark.parametrize("te", [2.0, 0.5, 0.2])
def test_segment_against_numpy(te):
    a = segment_problem(np.random.default_rng(8))
    a["t_blend_end"] = te
    h, dh, dhdt = rr.mr_segment_grad(**a, want_time_derivative=True)
    rh, rdh, rdhdt = segment_reference(a)
    np.testing.assert_allclose(h, rh, rtol=1e-11, atol=1e-11)
    np.testing.assert_allclose(dh, rdh, rtol=1e-11, atol=1e-11)
    np.testing.assert_allclose(dhdt, rdhdt, rtol=1e-10, atol=1e-10)


def test_segment_twins_and_time_derivative_flag():
    a = segment_problem(np.random.default_rng(9))
    h, dh, dhdt = rr.mr_segment_grad(**a, want_time_derivative=True)
    h2, dh2, none = rr.mr_segment_grad(**a)
    assert none is None
    assert_bitwise(h, h2)
    assert_bitwise(dh, dh2)
    hs, dhs, dhdts = rr.mr_segment_grad_serial(**a, want_time_derivative=True)
    assert_bitwise(h, hs)
    assert_bitwise(dh, dhs)
    assert_bitwise(dhdt, dhdts)
    m = dict(a, ring_coefficients=misaligned(a["ring_coefficients"], 8), t=misaligned(a["t"]),
             mixing_blocks=misaligned(a["mixing_blocks"], 2))
    hm, dhm, dhdtm = rr.mr_segment_grad(**m, want_time_derivative=True)
    assert_bitwise(h, hm)
    assert_bitwise(dh, dhm)
    assert_bitwise(dhdt, dhdtm)


def test_segment_gradient_matches_finite_differences():
    # Make every input a function of theta: coefficients linear in theta,
    # rewind rates linear in theta, mixing matrices linear in the remnant spin,
    # itself linear in theta.  Then dh must be the theta-derivative of h.
    rng = np.random.default_rng(10)
    a = segment_problem(rng, B=1, N=40)
    lo = max(a["ring_breaks"][0], a["plunge_breaks"][0])
    hi = min(a["ring_breaks"][-1], a["plunge_breaks"][-1])
    a["t"] = np.linspace(lo - 0.3, hi + 0.3, 40)[None]
    base = {k: v.copy() for k, v in a.items() if isinstance(v, np.ndarray)}
    dchi = a["remnant_spin_gradient"][0]

    def at(th):
        b = dict(a)
        b["ring_coefficients"] = base["ring_coefficients"] + np.tensordot(th, base["ring_coefficient_gradients"][0], 1)[None]
        b["plunge_coefficients"] = base["plunge_coefficients"] + np.tensordot(th, base["plunge_coefficient_gradients"][0], 1)[None]
        b["rewind_rate"] = base["rewind_rate"] + np.tensordot(th, base["rewind_rate_gradient"][0], 1)[None]
        b["mixing_matrices"] = base["mixing_matrices"] + (dchi @ th) * base["mixing_matrix_chi_slopes"]
        return rr.mr_segment_grad(**b, want_time_derivative=True)

    th0 = np.zeros(3)
    h, dh, dhdt = at(th0)
    eps = 1e-6
    for m in range(3):
        e = np.zeros(3)
        e[m] = eps
        fd = (at(th0 + e)[0] - at(th0 - e)[0]) / (2 * eps)
        np.testing.assert_allclose(dh[0, m], fd[0], rtol=1e-6, atol=1e-6)
    # dh/dt against a finite difference in time, away from knots and window edges
    dt = 1e-6
    fd_t = (rr.mr_segment_grad(**dict(a, t=a["t"] + dt))[0] - rr.mr_segment_grad(**dict(a, t=a["t"] - dt))[0]) / (2 * dt)
    knots = np.concatenate([a["ring_breaks"], a["plunge_breaks"], [a["t_split"], a["t_blend_end"]]])
    tt = a["t"][0]
    ok = np.min(np.abs(tt[:, None] - knots[None]), axis=1) > 1e-3
    # outside a fit's knots the time is clamped, while dh/dt stays the polynomial's slope
    for br in (a["ring_breaks"], a["plunge_breaks"]):
        ok &= (tt > br[0]) & (tt < br[-1])
    assert ok.sum() >= 3
    np.testing.assert_allclose(dhdt[0][:, ok], fd_t[0][:, ok], rtol=1e-5, atol=1e-5)


def test_segment_window_edges_and_nan():
    a = segment_problem(np.random.default_rng(11), N=4)
    a["t"] = np.array([[0.5, 2.0, -10.0, np.nan]] * 2)
    h, dh, dhdt = rr.mr_segment_grad(**a, want_time_derivative=True)
    pl = rr.mr_segment_grad(**dict(a, t_split=100.0, t_blend_end=200.0))[0]
    assert_bitwise(h[:, :, [0, 2]], pl[:, :, [0, 2]])   # w = 0 at and before t_split
    assert np.all(np.isnan(h[:, :, 3])) and np.all(np.isnan(dh[..., 3]))


def seg_err(key=None, value=None, **over):
    a = segment_problem(np.random.default_rng(12))
    if key:
        a[key] = value
    a.update(over)
    with pytest.raises((ValueError, IndexError)) as e:
        rr.mr_segment_grad(**a)
    return e


@pytest.mark.parametrize("key,value,msg", [
    ("ring_coefficients", np.zeros((2, 3, 4)), "ring coefficients must be (B, P, E, O)"),
    ("plunge_coefficients", np.zeros((2, 3, 3)), "plunge coefficients must be (B, P, E, O)"),
    ("plunge_coefficients", np.zeros((2, 2, 3, 5)), "ring and plunge must share (B, P)"),
    ("plunge_coefficients", np.zeros((2, 3, 3, 4)), "ring and plunge must share the order O"),
    ("ring_breaks", np.zeros(4), "breaks must be one longer than the elements"),
    ("plunge_breaks", np.zeros(5), "breaks must be one longer than the elements"),
    ("ring_coefficient_gradients", np.zeros((2, 2, 3, 4, 5)), "ring gradients must be (B, 3, P, E, O)"),
    ("plunge_coefficient_gradients", np.zeros((2, 3, 3, 4, 5)), "plunge gradients must be (B, 3, P, E, O)"),
    ("rewind_rate", np.zeros((2, 2)), "rewind rate must be (B, P)"),
    ("rewind_rate_gradient", np.zeros((2, 3)), "rewind rate gradient must be (B, 3, P)"),
    ("mixing_blocks", np.zeros(3, np.int32), "mixing blocks must be (nblk, nlmax)"),
    ("mixing_blocks", np.array([[0, 1, 2, -1, -1]], np.int32), "nlmax exceeds the kernel's MAXNL of 4"),
    ("mixing_matrices", np.zeros((2, 2, 2, 3)), "mixing matrices must be (B, nblk, nl, nl)"),
    ("mixing_matrix_chi_slopes", np.zeros((2, 2, 2)), "mixing slopes must match the matrices"),
    ("remnant_spin_gradient", np.zeros((2, 2)), "dchi_f/dtheta must be (B, 3)"),
    ("t", np.zeros((3, 4)), "t must be (B, N)"),
])
def test_segment_shape_errors(key, value, msg):
    assert str(seg_err(key, value).value) == msg


@pytest.mark.parametrize("blocks,msg", [
    ([[0, 3], [1, 2]], "a mixing block names a piece index outside the coefficient tensor"),
    ([[0, 1], [1, 2]], "a piece appears in two mixing blocks"),
    ([[0, 0], [1, 2]], "a piece appears in two mixing blocks"),
    ([[0, -1, 2], [1, -1, -1]], "the mixing blocks do not cover every piece; this kernel writes "
                                "its output block by block, so an uncovered piece would come back "
                                "uninitialised"),
])
def test_segment_block_coverage(blocks, msg):
    blocks = np.array(blocks, np.int32)
    nblk, nl = blocks.shape
    e = seg_err("mixing_blocks", blocks, mixing_matrices=np.zeros((2, nblk, nl, nl), complex),
                mixing_matrix_chi_slopes=np.zeros((2, nblk, nl, nl), complex))
    assert str(e.value) == msg


def test_segment_zero_dim_breaks_and_empty_fits():
    assert "invalid axis" in str(seg_err("ring_breaks", np.float64(1.0)).value)
    a = segment_problem(np.random.default_rng(13))
    a.update(ring_coefficients=np.zeros((2, 3, 0, 5), complex), ring_breaks=np.zeros(1),
             ring_coefficient_gradients=np.zeros((2, 3, 3, 0, 5), complex))
    with pytest.raises(ValueError, match="at least one element"):
        rr.mr_segment_grad(**a)
    a = segment_problem(np.random.default_rng(13))
    a["t"] = np.zeros((2, 0))
    h, dh, _ = rr.mr_segment_grad(**a)
    assert h.shape == (2, 3, 0) and dh.shape == (2, 3, 3, 0)


# ---------------------------------------------------------------- contraction

def contraction_problem(rng, B=3, P=3, E=2, O=3, n_train=7, nt=(2, 0), groups=((0, 2), (1,)),
                        pad_nan=True):
    G = len(groups)
    EO = E * O
    pieces = [p for g in groups for p in g]
    pofs = np.cumsum([0] + [len(g) for g in groups]).astype(np.int32)
    nc = np.array([len(g) * EO for g in groups], np.int32)
    npad = ((nc + 7) // 8 * 8).astype(np.int32)
    nt = np.array(nt, np.int32)
    nt_max = max(int(nt.max()), 1)
    sizes = [int(npad[g]) * (int(nt[g]) + n_train) for g in range(G)]
    bofs = np.cumsum([0] + sizes).astype(np.int64)
    re = rng.standard_normal(int(bofs[-1]))
    im = rng.standard_normal(int(bofs[-1]))
    if pad_nan:
        for g in range(G):
            blk = re[bofs[g]:bofs[g + 1]].reshape(-1, npad[g])
            blk[:, nc[g]:] = np.nan
    return dict(
        kernel_coordinates=rng.uniform(-1, 1, (B, 3)),
        coordinate_jacobian=rng.standard_normal((B, 3, 3)),
        trend_rows=rng.standard_normal((B, G, 4, nt_max)),
        training_coordinates=rng.uniform(-1, 1, (n_train, 3)),
        group_parity_sign=np.array([1.0, -1.0, 1.0][:G]),
        group_length_scale=rng.uniform(0.5, 1.5, (G, 3)),
        group_term_count=nt, group_column_count=nc, group_padded_column_count=npad,
        group_piece_offset=pofs, group_piece_index=np.array(pieces, np.int32),
        group_block_offset=bofs, coefficient_blocks_real=re, coefficient_blocks_imag=im,
        n_pieces=P, n_elements=E, n_order=O)


def contraction_reference(a):
    u, J, U = a["kernel_coordinates"], a["coordinate_jacobian"], a["training_coordinates"]
    B, G = u.shape[0], len(a["group_parity_sign"])
    P, E, O = a["n_pieces"], a["n_elements"], a["n_order"]
    C = np.zeros((B, P, E * O), complex)
    dC = np.zeros((B, 3, P, E * O), complex)
    sig = np.array([-1.0, 1.0, -1.0])
    for g in range(G):
        ls, s = a["group_length_scale"][g], a["group_parity_sign"][g]
        t = a["group_term_count"][g]
        w = a["group_padded_column_count"][g]
        nrow = t + U.shape[0]
        o = a["group_block_offset"][g]
        W = (a["coefficient_blocks_real"][o:o + nrow * w] + 1j * a["coefficient_blocks_imag"][o:o + nrow * w]).reshape(nrow, w)
        W = W[:, :a["group_column_count"][g]]
        d = (u[:, None, :] - U[None]) / ls
        dm = (u[:, None, :] * sig - U[None]) / ls
        k = np.exp(-0.5 * (d ** 2).sum(-1))
        km = np.exp(-0.5 * (dm ** 2).sum(-1))
        K0 = 0.5 * (k + s * km)
        dK_du = 0.5 * (-(u[:, None, :] - U[None]) / ls ** 2 * k[..., None]
                       + s * (-(u[:, None, :] - U[None] * sig) / ls ** 2) * km[..., None])
        dK = np.einsum("bil,blm->bmi", dK_du, J)
        rows = np.concatenate([a["trend_rows"][:, g, :, :t],
                               np.concatenate([K0[:, None], dK], axis=1)], axis=2)
        out = rows @ W  # (B, 4, cols)
        plist = a["group_piece_index"][a["group_piece_offset"][g]:a["group_piece_offset"][g + 1]]
        for i, p in enumerate(plist):
            C[:, p] = out[:, 0, i * E * O:(i + 1) * E * O]
            dC[:, :, p] = out[:, 1:, i * E * O:(i + 1) * E * O]
    return C.reshape(B, P, E, O), dC.reshape(B, 3, P, E, O)


@pytest.mark.parametrize("E,O", [(2, 3), (2, 4), (1, 8), (3, 5)])
def test_contraction_against_numpy(E, O):
    a = contraction_problem(np.random.default_rng(14), E=E, O=O)
    C, dC = rr.theta_contract_grad(**a)
    rC, rdC = contraction_reference(a)
    np.testing.assert_allclose(C, rC, rtol=1e-12, atol=1e-12)
    np.testing.assert_allclose(dC, rdC, rtol=1e-12, atol=1e-12)
    Cs, dCs = rr.theta_contract_grad_serial(**a)
    assert_bitwise(C, Cs)
    assert_bitwise(dC, dCs)


def contraction_bitwise_reference(a):
    """The contraction in its stated operation order: kernel rows element by element
    (exp from the C library through math.exp), block rows summed in chunks of 32."""
    u, J, U = a["kernel_coordinates"], a["coordinate_jacobian"], a["training_coordinates"]
    B, G = u.shape[0], len(a["group_parity_sign"])
    EO = a["n_elements"] * a["n_order"]
    C = np.zeros((B, a["n_pieces"] * EO), complex)
    dC = np.zeros((B, 3, a["n_pieces"] * EO), complex)
    sig = np.array([-1.0, 1.0, -1.0])
    exp = np.vectorize(math.exp, otypes=[float])
    for g in range(G):
        ls, s = a["group_length_scale"][g], a["group_parity_sign"][g]
        t, w = a["group_term_count"][g], a["group_padded_column_count"][g]
        d = u[:, None, :] - U[None]
        z = d / ls
        zm = (u[:, None, :] * sig - U[None]) / ls
        S = ((0.0 + z[..., 0] * z[..., 0]) + z[..., 1] * z[..., 1]) + z[..., 2] * z[..., 2]
        Sm = ((0.0 + zm[..., 0] * zm[..., 0]) + zm[..., 1] * zm[..., 1]) + zm[..., 2] * zm[..., 2]
        k, km = exp(S * -0.5), exp(Sm * -0.5)
        lam = ls * ls
        R = ((((-(u[:, None, :] - U[None] * sig)) / lam) * km[..., None]) * s
             + ((-d) / lam) * k[..., None]) * 0.5
        dK = (R[..., 0, None] * J[:, None, 0, :] + R[..., 1, None] * J[:, None, 1, :]) \
            + R[..., 2, None] * J[:, None, 2, :]
        kern = np.concatenate([(((km * s) + k) * 0.5)[:, None], dK.transpose(0, 2, 1)], axis=1)
        rows = np.concatenate([a["trend_rows"][:, g, :, :t], kern], axis=2)  # (B, 4, nrow)
        nrow = rows.shape[2]
        o = a["group_block_offset"][g]
        Wr = a["coefficient_blocks_real"][o:o + nrow * w].reshape(nrow, w)
        Wi = a["coefficient_blocks_imag"][o:o + nrow * w].reshape(nrow, w)
        tre = np.zeros((B, 4, w))
        tim = np.zeros((B, 4, w))
        for r0 in range(0, nrow, 32):
            pre = np.zeros((B, 4, w))
            pim = np.zeros((B, 4, w))
            for r in range(r0, min(r0 + 32, nrow)):
                pre = rows[:, :, r, None] * Wr[r] + pre
                pim = rows[:, :, r, None] * Wi[r] + pim
            tre, tim = tre + pre, tim + pim
        cols = a["group_column_count"][g]
        plist = a["group_piece_index"][a["group_piece_offset"][g]:a["group_piece_offset"][g + 1]]
        pos = np.array([plist[c // EO] * EO + c % EO for c in range(cols)], dtype=np.int64)
        out = tre[:, :, :cols] + 1j * tim[:, :, :cols]
        C[:, pos], dC[:, :, pos] = out[:, 0], out[:, 1:]
    shape = (a["n_pieces"], a["n_elements"], a["n_order"])
    return C.reshape(B, *shape), dC.reshape(B, 3, *shape)


@pytest.mark.parametrize("B,E,O,n_train,nt", [
    (5, 3, 5, 40, (31, 33)),  # chunk edges inside the trend rows and across tg; 6-column last tile
    (19, 1, 8, 9, (2, 0)),    # an odd last row; row values six (a lone tile: twelve) at a time, then four
    (53, 2, 4, 70, (3, 0)),   # several batch chunks; row values six at a time, then two
    (9, 3, 8, 35, (2, 1)),    # 24 columns a piece: tile pairs within one piece and across two, a lone last tile
])
def test_contraction_bitwise_order(B, E, O, n_train, nt):
    a = contraction_problem(np.random.default_rng(22), B=B, E=E, O=O, n_train=n_train, nt=nt)
    rC, rdC = contraction_bitwise_reference(a)
    for fn in (rr.theta_contract_grad, rr.theta_contract_grad_serial):
        C, dC = fn(**a)
        assert_bitwise(C, rC)
        assert_bitwise(dC, rdC)


def test_contraction_long_blocks_and_misaligned():
    a = contraction_problem(np.random.default_rng(15), n_train=75, nt=(3, 5))
    C, dC = rr.theta_contract_grad(**a)
    rC, rdC = contraction_reference(a)
    np.testing.assert_allclose(C, rC, rtol=1e-11, atol=1e-11)
    m = dict(a, coefficient_blocks_real=misaligned(a["coefficient_blocks_real"]),
             trend_rows=misaligned(a["trend_rows"]), group_piece_index=misaligned(a["group_piece_index"], 2))
    Cm, dCm = rr.theta_contract_grad(**m)
    assert_bitwise(C, Cm)
    assert_bitwise(dC, dCm)


def test_contraction_gradient_matches_finite_differences():
    # u = A theta + u0 (so the Jacobian is A) and trend terms [1, th0, th1 th2]:
    # dC must be the theta-derivative of C.
    rng = np.random.default_rng(16)
    a = contraction_problem(rng, B=1, nt=(3, 3), pad_nan=False)
    A = rng.standard_normal((3, 3)) * 0.3
    u0 = rng.uniform(-0.5, 0.5, 3)

    def at(th):
        b = dict(a)
        b["kernel_coordinates"] = (A @ th + u0)[None]
        b["coordinate_jacobian"] = A[None]
        tr = np.zeros((1, 2, 4, 3))
        tr[0, :, 0] = [1.0, th[0], th[1] * th[2]]
        tr[0, :, 1] = [0.0, 1.0, 0.0]
        tr[0, :, 2] = [0.0, 0.0, th[2]]
        tr[0, :, 3] = [0.0, 0.0, th[1]]
        b["trend_rows"] = tr
        return rr.theta_contract_grad(**b)

    th0 = np.array([0.1, -0.2, 0.3])
    C, dC = at(th0)
    eps = 1e-6
    for m in range(3):
        e = np.zeros(3)
        e[m] = eps
        fd = (at(th0 + e)[0] - at(th0 - e)[0]) / (2 * eps)
        np.testing.assert_allclose(dC[0, m], fd[0], rtol=1e-6, atol=1e-8)


def test_contraction_edge_groups():
    # No training points: trend rows only; a piece no group lists comes back zero.
    a = contraction_problem(np.random.default_rng(17), n_train=0, nt=(2, 1), groups=((0,), (2,)))
    C, dC = rr.theta_contract_grad(**a)
    rC, rdC = contraction_reference(a)
    np.testing.assert_allclose(C, rC, rtol=1e-13, atol=1e-13)
    assert np.all(C[:, 1] == 0) and np.all(dC[:, :, 1] == 0)
    b = contraction_problem(np.random.default_rng(17), B=0)
    C0, dC0 = rr.theta_contract_grad(**b)
    assert C0.shape == (0, 3, 2, 3) and dC0.shape == (0, 3, 3, 2, 3)


def ctr_err(**over):
    a = contraction_problem(np.random.default_rng(18))
    a.update(over)
    with pytest.raises((ValueError, IndexError)) as e:
        rr.theta_contract_grad(**a)
    return str(e.value)


def test_contraction_errors():
    a = contraction_problem(np.random.default_rng(18))
    nt, npad, bofs = a["group_term_count"], a["group_padded_column_count"], a["group_block_offset"]
    cases = [
        (dict(kernel_coordinates=np.zeros((3, 2))), "the kernel coordinates must be (B, 3)"),
        (dict(coordinate_jacobian=np.zeros((3, 3))), "the coordinate Jacobian must be (B, 3, 3)"),
        (dict(training_coordinates=np.zeros((7, 2))), "the training coordinates must be (n, 3)"),
        (dict(coordinate_jacobian=np.zeros((2, 3, 3))), "the Jacobian and the coordinates disagree about the batch size"),
        (dict(group_length_scale=np.ones((3, 3))), "the group length scales must be (G, 3)"),
        (dict(group_column_count=np.zeros(3, np.int32)), "a per-group array has the wrong length"),
        (dict(group_piece_offset=np.zeros(2, np.int32)), "a per-group offset array must be G + 1 long"),
        (dict(coefficient_blocks_imag=np.zeros(3)), "the two coefficient planes differ in size"),
        (dict(trend_rows=np.zeros((3, 2, 3, 2))), "the trend rows must be (B, G, 4, nt_max)"),
        (dict(n_order=0), "the output shape must be positive"),
        (dict(group_term_count=np.array([3, 0], np.int32)), "a group's term count exceeds the trend rows it was given"),
        (dict(group_term_count=np.array([-1, 0], np.int32)), "a group's term count exceeds the trend rows it was given"),
        (dict(group_piece_offset=np.array([0, 2, 2], np.int32)), "a group carries no pieces"),
        (dict(group_column_count=np.array([11, 6], np.int32)), "a group's column count is not (pieces x E x O)"),
        (dict(group_padded_column_count=np.array([npad[0] + 8, npad[1]], np.int32)),
         "a group's padded column count must be its column count rounded up to a whole number of column tiles"),
        (dict(group_block_offset=bofs + np.array([0, 8, 8])), "a group's coefficient block is not (terms + n_train) by its padded column count"),
        (dict(group_block_offset=bofs + 8), "a group's coefficient block lies outside the coefficient planes"),
        (dict(group_piece_index=np.array([0, 2, 2], np.int32)), "a piece is listed by two groups"),
        (dict(group_piece_index=np.array([0, 5, 1], np.int32)), "a group's piece index lies outside 0 ... n_pieces - 1"),
        (dict(group_piece_offset=np.array([1, 3, 4], np.int32)), "a group's piece offsets fall outside the piece index list"),
        (dict(group_parity_sign=np.float64(1.0)), "invalid axis: 0 (ndim = 0)"),
    ]
    for over, msg in cases:
        assert ctr_err(**over) == msg, over
    with pytest.raises(TypeError):
        rr.theta_contract_grad(**dict(a, n_pieces=3.0))


# ---------------------------------------------------------------- threads
