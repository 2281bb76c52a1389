"""Evaluators at time samples: time-map inversion, evaluate_time, evaluate_time_grad."""
import numpy as np
import pytest

import radiredide as rr
import test_evaluator_oracle as orc
from conftest import assert_bitwise, misaligned

EMM = np.array([2, 0, -1, 3, 18], np.int32)
C = np.complex128


@pytest.fixture(scope="module")
def fit():
    return orc.make_fit(B=3, P=5, E=30, O=7, D=3, seed=21)


def make(fit, cls=rr.BatchEvaluator64, emm=EMM, s=1.0, grads=True):
    breaks, coefs, gcoefs = fit
    f32 = cls is rr.BatchEvaluator32
    ev = cls(breaks.astype(np.float32 if f32 else np.float64), emm, s)
    ev.set_coefficients(coefs.astype(np.complex64 if f32 else C))
    if grads:
        ev.set_gradient_coefficients(gcoefs.astype(np.complex64 if f32 else C))
    return ev


def targets(n, seed=0, lo=-1.0, hi=16.0, sort=True):
    t = np.random.default_rng(seed).uniform(lo, hi, n)
    return np.sort(t) if sort else t


def t_range(fit, b):
    breaks, coefs, _ = fit
    return orc.time_map(breaks, coefs[b, 0], np.array([breaks[0], breaks[-1]]))


@pytest.mark.parametrize("warm_start", [0, 1, 2, -1])
@pytest.mark.parametrize("sort", [True, False])
def test_phases_invert_the_time_map(fit, warm_start, sort):
    breaks, coefs, _ = fit
    ev = make(fit)
    t = targets(1500, seed=1, sort=sort)
    _, phi = ev.evaluate_time(t, 0, warm_start=warm_start)
    assert phi.shape == (3, t.size)
    for b in range(3):
        tlo, thi = t_range(fit, b)
        inside = (t > tlo) & (t < thi)
        back = orc.time_map(breaks, coefs[b, 0], phi[b, inside])
        np.testing.assert_allclose(back, t[inside], rtol=0, atol=1e-13)
        assert (phi[b, t <= tlo] == breaks[0]).all()
        assert (phi[b, t >= thi] == breaks[-1]).all()
    assert ev.tau_nonconverged_count() == 0


@pytest.mark.parametrize("cls", [rr.BatchEvaluator64, rr.BatchEvaluator32])
@pytest.mark.parametrize("warm_start,sort,per_row,out_lo", [
    (0, False, False, 0),   # cold starts from the cell midpoints
    (0, True, True, 2),     # targets per row, pieces 2 to 4
    (1, True, False, 0),    # secant starts along increasing targets
    (1, False, True, 0),    # every decrease clears the history
    (2, False, False, 3),   # the history survives a decrease
    (-1, True, True, 0),
])
def test_evaluate_time_matches_numpy_bitwise(fit, cls, warm_start, sort, per_row, out_lo):
    """Phases, values and the non-convergence count against the inversion and value
    path redone in the class's own precision; 600 samples make two full blocks and a
    short one, and targets beyond both ends of the time maps are clamped."""
    breaks, coefs, _ = fit
    T = np.float32 if cls is rr.BatchEvaluator32 else np.float64
    coefs = coefs.astype(np.complex64 if T is np.float32 else C)
    ev = make(fit, cls, s=-0.7, grads=False)
    rates = np.random.default_rng(14).uniform(-1, 1, (3, 5))
    ev.set_rewind_rates(rates)
    rows = [targets(600, seed=15 + r, sort=sort) for r in range(3 if per_row else 1)]
    t = (np.stack(rows) if per_row else rows[0]).astype(T)
    vals, phi = ev.evaluate_time(t, 0, True, out_lo, warm_start)
    rv, rphi, failures = orc.evaluate_time(breaks, EMM, -0.7, coefs, t, 0, rates, out_lo, warm_start)
    assert_bitwise(phi, rphi)
    assert_bitwise(vals, rv)
    assert ev.tau_nonconverged_count() == failures


def test_warm_and_cold_starts_agree_closely(fit):
    ev = make(fit)
    t = targets(2000, seed=2)
    phases = [ev.evaluate_time(t, 0, warm_start=w)[1] for w in (0, 1, 2)]
    for p in phases[1:]:
        np.testing.assert_allclose(p, phases[0], rtol=0, atol=1e-12)


def test_tiled_solver_equals_each_sample_alone(fit):
    """Cold starts: a sample's phase does not depend on its block neighbours,
    including tiles whose lanes lie in different elements and a short last block."""
    ev = make(fit)
    breaks = fit[0]
    t = targets(300, seed=3, lo=-0.5, hi=14.0, sort=False)
    t[:40] = np.linspace(2.0, 4.0, 40)               # lanes spanning few elements
    _, phi = ev.evaluate_time(t, 0)
    solo = np.stack([ev.evaluate_time(t[i:i + 1], 0)[1][:, 0] for i in range(t.size)], axis=1)
    assert_bitwise(phi, solo)
    assert breaks.size > 2


def test_values_are_evaluate_at_the_phases(fit):
    ev = make(fit)
    rates = np.random.default_rng(4).uniform(-1, 1, (3, 5))
    ev.set_rewind_rates(rates)
    t = targets(900, seed=5)
    vals, phi = ev.evaluate_time(t, 0)
    assert_bitwise(vals, ev.evaluate(phi))
    v3, phi3 = ev.evaluate_time(t, 0, out_lo=3)
    assert_bitwise(phi3, phi)
    assert_bitwise(v3, vals[:, 3:])
    v5, phi5 = ev.evaluate_time(t, 0, out_lo=5)
    assert v5.shape == (3, 0, t.size) and phi5.shape == (3, t.size)
    v_np, none = ev.evaluate_time(t, 0, want_phi=False)
    assert none is None
    assert_bitwise(v_np, vals)


def test_shared_grid_equals_repeated_rows_and_misaligned(fit):
    ev = make(fit)
    t = targets(700, seed=6)
    a = ev.evaluate_time(t, 0)
    b = ev.evaluate_time(np.tile(t, (3, 1)), 0)
    c = ev.evaluate_time(misaligned(t), 0)
    for x, y, z in zip(a, b, c):
        assert_bitwise(x, y)
        assert_bitwise(x, z)
    g1 = ev.evaluate_time_grad(t, 0)
    g2 = ev.evaluate_time_grad(misaligned(np.tile(t, (3, 1))), 0)
    for x, y in zip(g1, g2):
        assert_bitwise(x, y)


def test_time_evaluation_mixes_values(fit):
    ev = make(fit)
    t = targets(400, seed=7)
    plain, phi = ev.evaluate_time(t, 0)
    rng = np.random.default_rng(8)
    mixm = rng.standard_normal((3, 1, 3, 3)) + 1j * rng.standard_normal((3, 1, 3, 3))
    blk = np.array([[1, 3, 4]], np.int32)
    ev.set_mixing(mixm, blk)
    mixed, phi2 = ev.evaluate_time(t, 0)
    assert_bitwise(phi2, phi)
    np.testing.assert_allclose(mixed, orc.mix(plain, mixm, blk), rtol=1e-13, atol=1e-13)


@pytest.mark.parametrize("special,expect", [
    (-np.inf, "lo"), (np.inf, "hi"), (-1e300, "lo"), (1e300, "hi"),
])
def test_clamped_targets(fit, special, expect):
    breaks = fit[0]
    ev = make(fit)
    t = np.array([1.0, special, 5.0, special])
    _, phi = ev.evaluate_time(t, 0)
    end = breaks[0] if expect == "lo" else breaks[-1]
    assert (phi[:, [1, 3]] == end).all()
    assert ev.tau_nonconverged_count() == 0


def test_exact_end_values_clamp(fit):
    breaks = fit[0]
    ev = make(fit)
    tlo, thi = t_range(fit, 0)
    _, phi = ev.evaluate_time(np.array([[tlo, thi]] * 3), 0)
    assert phi[0, 0] == breaks[0] and phi[0, 1] == breaks[-1]


def test_nan_target_is_counted_and_reset(fit):
    ev = make(fit)
    t = np.array([np.nan, 100.0])
    _, phi = ev.evaluate_time(t, 0)
    assert ev.tau_nonconverged_count() == 3            # one per row
    assert (phi[:, 1] == fit[0][-1]).all()
    ev.evaluate_time_grad(t, 0, warm_start=1)
    assert ev.tau_nonconverged_count() == 6
    ev.reset_tau_nonconverged_count()
    assert ev.tau_nonconverged_count() == 0


def test_decreasing_time_map_clamps_everything():
    breaks = np.linspace(0.0, 4.0, 5)
    coefs = np.zeros((1, 1, 4, 3), C)
    coefs[0, 0, :, 0] = [4.0, 3.0, 2.0, 1.0]           # piecewise constant, decreasing
    ev = rr.BatchEvaluator64(breaks, np.zeros(1, np.int32), 1.0)
    ev.set_coefficients(coefs)
    # targets up to t_lo = 4 go to breaks[0], all others to breaks[E]
    _, phi = ev.evaluate_time(np.array([0.0, 1.0, 2.5, 4.0, 4.5, 9.0]), 0)
    np.testing.assert_array_equal(phi[0], [0.0, 0.0, 0.0, 0.0, 4.0, 4.0])
    assert ev.tau_nonconverged_count() == 0


def test_float32_time_paths_track_float64(fit):
    e64, e32 = make(fit), make(fit, rr.BatchEvaluator32)
    t = targets(800, seed=9)
    v64, p64 = e64.evaluate_time(t, 0)
    v32, p32 = e32.evaluate_time(t.astype(np.float32), 0)
    assert p32.dtype == np.float32 and v32.dtype == np.complex64
    np.testing.assert_allclose(p32, p64, rtol=0, atol=2e-5)
    assert np.abs(v32 - v64).max() < 2e-4 * np.abs(v64).max()
    g64 = e64.evaluate_time_grad(t, 0)[1]
    g32 = e32.evaluate_time_grad(t.astype(np.float32), 0)[1]
    assert g32.dtype == np.complex64
    assert np.abs(g32 - g64).max() < 1e-3 * np.abs(g64).max()
    assert e32.tau_nonconverged_count() == 0


# ----------------------------------------------------------------- gradients

@pytest.mark.parametrize("warm_start", [0, 2])
def test_time_gradients_match_finite_differences(fit, warm_start):
    """Derivative at fixed time along each direction: the phase moves with the
    parameters, so the chain-rule term through the inverted phase is checked too."""
    breaks, coefs, gcoefs = fit
    P, D = 5, 3
    ev = make(fit)
    t = targets(600, seed=10, lo=0.5, hi=9.5)    # inside every row's range: no clamping
    vals, grads, phi = ev.evaluate_time_grad(t, 0, warm_start=warm_start)
    assert grads.shape == (3, D, P, t.size)
    h = 1e-6
    for d in range(D):
        step = gcoefs[:, d * P:(d + 1) * P]
        out = []
        for sgn in (1, -1):
            e = rr.BatchEvaluator64(breaks, EMM, 1.0)
            e.set_coefficients(coefs + sgn * h * step)
            out.append(e.evaluate_time(t, 0, warm_start=warm_start)[0])
        fd = (out[0] - out[1]) / (2 * h)
        np.testing.assert_allclose(grads[:, d], fd, rtol=1e-6, atol=1e-6 * np.abs(fd).max())


def test_time_gradient_values_and_phases_match_evaluate_time(fit):
    ev = make(fit)
    ev.set_rewind_rates(np.ones((3, 5)))             # neither rates nor mixing apply here
    ev.set_mixing(np.ones((3, 1, 2, 2), C), np.array([[0, 1]], np.int32))
    t = targets(1000, seed=11)
    vals, grads, phi = ev.evaluate_time_grad(t, 0)
    plain = make(fit, grads=False)
    v2, p2 = plain.evaluate_time(t, 0)
    assert_bitwise(phi, p2)
    rot = EMM != 0
    assert_bitwise(vals[:, rot], v2[:, rot])
    np.testing.assert_allclose(vals[:, ~rot], v2[:, ~rot], rtol=1e-15, atol=0)


def test_time_gradient_empty(fit):
    ev = make(fit)
    v, g, p = ev.evaluate_time_grad(np.empty(0), 0)
    assert v.shape == (3, 5, 0) and g.shape == (3, 3, 5, 0) and p.shape == (3, 0)
    v, p = ev.evaluate_time(np.empty((3, 0)), 1)
    assert v.shape == (3, 5, 0) and p.shape == (3, 0)


def test_constant_time_map_gives_non_finite_gradients():
    breaks = np.linspace(0.0, 2.0, 3)
    coefs = np.zeros((1, 1, 2, 1), C)
    coefs[0, 0, :, 0] = [1.0, 2.0]
    ev = rr.BatchEvaluator64(breaks, np.zeros(1, np.int32), 1.0)
    ev.set_coefficients(coefs)
    ev.set_gradient_coefficients(np.ones((1, 1, 2, 1), C))
    _, g, _ = ev.evaluate_time_grad(np.array([1.5]), 0)
    assert not np.isfinite(g).all()


def _fresh(fit):
    return rr.BatchEvaluator64(fit[0], EMM, 1.0)


@pytest.mark.parametrize("call,exc,msg", [
    (lambda f: _fresh(f).evaluate_time(np.zeros(3), 99, True, 99), RuntimeError,
     "set_coefficients first"),
    (lambda f: _fresh(f).evaluate_time_grad(np.zeros(3), 0), RuntimeError, "set_coefficients first"),
    (lambda f: make(f, grads=False).evaluate_time_grad(np.zeros(3), 0), RuntimeError,
     "set_gradient_coefficients first"),
    (lambda f: make(f).evaluate_time(np.zeros(3), 5), ValueError, "tau_piece out of range"),
    (lambda f: make(f).evaluate_time(np.zeros(3), -1), ValueError, "tau_piece out of range"),
    (lambda f: make(f).evaluate_time_grad(np.zeros(3), 5), ValueError, "tau_piece out of range"),
    (lambda f: make(f).evaluate_time(np.zeros(3), 0, True, 6), ValueError, "out_lo out of range"),
    (lambda f: make(f).evaluate_time(np.zeros(3), 0, True, -1), ValueError, "out_lo out of range"),
    (lambda f: make(f).evaluate_time(np.zeros((4, 3)), 0), ValueError, "t must be (N,) or (B, N)"),
    (lambda f: make(f).evaluate_time(np.zeros((3, 1, 1)), 0), ValueError, "t must be (N,) or (B, N)"),
    (lambda f: make(f).evaluate_time(np.float64(0), 0), ValueError, "t must be (N,) or (B, N)"),
    (lambda f: make(f).evaluate_time_grad(np.zeros((4, 3)), 0), ValueError,
     "t must be (N,) or (B, N)"),
])
def test_time_errors(fit, call, exc, msg):
    with pytest.raises(exc) as info:
        call(fit)
    assert str(info.value) == msg


def test_out_lo_refused_with_mixing(fit):
    ev = make(fit)
    ev.set_mixing(np.ones((3, 1, 2, 2), C), np.array([[0, 1]], np.int32))
    with pytest.raises(ValueError) as info:
        ev.evaluate_time(np.zeros(3), 0, True, 1)
    assert str(info.value) == ("out_lo != 0 is not supported with SWSpH mixing uploaded "
                               "(set_mixing): mixing blocks index absolute pieces")


@pytest.mark.parametrize("cls", [rr.BatchEvaluator64, rr.BatchEvaluator32])
@pytest.mark.parametrize("tau_piece", [0, 2])
def test_time_gradients_match_numpy_bitwise(fit, tau_piece, cls):
    breaks, coefs, gcoefs = fit
    if cls is rr.BatchEvaluator32:
        coefs, gcoefs = coefs.astype(np.complex64), gcoefs.astype(np.complex64)
    ev = make(fit, cls, s=-0.7)
    t = targets(500, seed=12)
    if tau_piece:
        t = np.random.default_rng(13).uniform(-3, 3, (3, 500))   # any targets: phases are inputs here
    vals, grads, phi = ev.evaluate_time_grad(t, tau_piece)
    rv, rg = orc.time_grad_stage2(breaks, EMM, -0.7, coefs, gcoefs, tau_piece, phi)
    assert_bitwise(vals, rv)
    assert_bitwise(grads, rg)


@pytest.mark.parametrize("O", [1, 2, 3, 6])
def test_recurrence_lengths_bitwise(O):
    """Even and odd numbers of recurrence steps, on both value paths."""
    breaks, coefs, gcoefs = orc.make_fit(B=2, P=5, E=8, O=max(O, 2), D=2, seed=30 + O)
    coefs, gcoefs = coefs[..., :O].copy(), gcoefs[..., :O].copy()
    ev = rr.BatchEvaluator64(breaks, EMM, 0.9)
    ev.set_coefficients(coefs)
    ev.set_gradient_coefficients(gcoefs)
    x = np.linspace(-0.5, 10.5, 203)
    assert_bitwise(ev.evaluate(x), orc.evaluate(breaks, EMM, 0.9, coefs, x))
    phi = np.tile(x, (2, 1))
    t = np.random.default_rng(O).uniform(0, 9, 203)
    vals, grads, phi = ev.evaluate_time_grad(t, 0)
    with np.errstate(divide="ignore", invalid="ignore"):
        rv, rg = orc.time_grad_stage2(breaks, EMM, 0.9, coefs, gcoefs, 0, phi)
    assert_bitwise(vals, rv)
    if O == 1:                          # T' = 0: no finite gradient (NaN payloads vary)
        assert not np.isfinite(grads).any()
    else:
        assert_bitwise(grads, rg)
