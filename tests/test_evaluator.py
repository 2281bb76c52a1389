"""Element-fit evaluators at phase samples: values, gradients, mixing, set-up,
workspace, errors, and the one-shot evaluate_batch / project_phi."""
import numpy as np
import pytest

import radiredide as rr
import test_evaluator_oracle as orc
from conftest import assert_bitwise, misaligned, run_python


CLASS = {np.float64: rr.BatchEvaluator64, np.float32: rr.BatchEvaluator32}
COMPLEX = {np.float64: np.complex128, np.float32: np.complex64}


def evaluator(cls, breaks, emm, s, coefs, dtype=np.float64):
    ev = cls(np.asarray(breaks, dtype), np.asarray(emm, np.int32), s)
    ev.set_coefficients(coefs.astype(np.complex64 if dtype == np.float32 else np.complex128))
    return ev


def sample_grid(breaks, n, rng):
    """Samples inside, at the knots, and beyond both ends, in random order."""
    lo, hi = breaks[0], breaks[-1]
    x = np.concatenate([rng.uniform(lo, hi, n), breaks, [lo - 0.7, hi + 0.9, hi, lo]])
    rng.shuffle(x)
    return x


@pytest.fixture(scope="module")
def fit():
    return orc.make_fit(B=3, P=5, E=9, O=7, D=3, seed=1)


# ----------------------------------------------------------------- values

@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("emm,s,shared,with_rates", [
    ([0, 0, 0, 0, 0], 0.0, True, False),
    ([0, 2, -1, 3, 16], 1.0, True, False),
    ([2, -2, 5, 17, -20], -0.5, False, False),     # |m| > 16: no power table
    ([0, 1, -3, 4, 2], 1.0, False, True),
    ([0, 0, 0, 0, 0], 0.7, True, True),            # s and rates rounded to the class's type
])
def test_evaluate_matches_numpy_bitwise(fit, dtype, emm, s, shared, with_rates):
    breaks, coefs, _ = fit
    coefs = coefs.astype(COMPLEX[dtype])
    rng = np.random.default_rng(2)
    B = coefs.shape[0]
    x = sample_grid(breaks, 70, rng)
    phi = (x if shared else np.stack([rng.permutation(x) for _ in range(B)])).astype(dtype)
    ev = evaluator(CLASS[dtype], breaks, emm, s, coefs, dtype)
    rates = None
    if with_rates:
        rates = rng.uniform(-2, 2, (B, coefs.shape[1]))
        ev.set_rewind_rates(rates)
    assert_bitwise(ev.evaluate(phi), orc.evaluate(breaks, emm, s, coefs, phi, rates))


def test_power_table_switch_leaves_other_pieces_unchanged(fit):
    breaks, coefs, _ = fit
    x = np.linspace(breaks[0], breaks[-1], 301)
    a = evaluator(rr.BatchEvaluator64, breaks, [0, 2, -1, 3, 5], 1.0, coefs).evaluate(x)
    b = evaluator(rr.BatchEvaluator64, breaks, [0, 2, -1, 3, 17], 1.0, coefs).evaluate(x)
    assert_bitwise(a[:, :4], b[:, :4])


def test_shared_and_repeated_rows_and_permutation(fit):
    breaks, coefs, _ = fit
    rng = np.random.default_rng(3)
    x = sample_grid(breaks, 300, rng)
    ev = evaluator(rr.BatchEvaluator64, breaks, [1, 0, 2, -3, 4], 1.0, coefs)
    v1 = ev.evaluate(x)
    assert_bitwise(v1, ev.evaluate(np.tile(x, (coefs.shape[0], 1))))
    perm = rng.permutation(x.size)
    assert_bitwise(v1[:, :, perm], ev.evaluate(x[perm]))


def test_nan_sample_is_local_and_empty_samples(fit):
    breaks, coefs, _ = fit
    ev = evaluator(rr.BatchEvaluator64, breaks, [1, 0, 2, -3, 4], 1.0, coefs)
    x = np.linspace(0.5, 9.5, 9)
    xn = x.copy()
    xn[4] = np.nan
    a, b = ev.evaluate(x), ev.evaluate(xn)
    assert np.isnan(b[:, :, 4]).all()
    keep = [0, 1, 2, 3, 5, 6, 7, 8]
    assert_bitwise(a[:, :, keep], b[:, :, keep])
    assert ev.evaluate(np.empty(0)).shape == (coefs.shape[0], 5, 0)


def test_float32_class_tracks_float64(fit):
    breaks, coefs, gcoefs = fit
    emm = [1, 0, 2, -3, 4]
    x = np.linspace(breaks[0], breaks[-1], 500)
    e64 = evaluator(rr.BatchEvaluator64, breaks, emm, 1.0, coefs)
    e32 = evaluator(rr.BatchEvaluator32, breaks, emm, 1.0, coefs, np.float32)
    v64 = e64.evaluate(x)
    v32 = e32.evaluate(x.astype(np.float32))
    assert v32.dtype == np.complex64
    scale = np.abs(v64).max()
    assert np.abs(v32 - v64).max() < 5e-5 * scale
    e64.set_gradient_coefficients(gcoefs)
    e32.set_gradient_coefficients(gcoefs.astype(np.complex64))
    g64 = e64.evaluate_grad(x)[1]
    g32 = e32.evaluate_grad(x.astype(np.float32))[1]
    assert g32.dtype == np.complex64
    assert np.abs(g32 - g64).max() < 5e-5 * np.abs(g64).max()


def test_float32_phase_sign_is_rounded_to_float():
    ev = rr.BatchEvaluator32(np.array([0, 1], np.float32), np.array([1], np.int32), 0.1)
    ev.set_coefficients(np.ones((1, 1, 1, 1), np.complex64))
    x = np.array([3.0], np.float32)
    a = np.float32(0.1) * x[0]
    v = ev.evaluate(x)[0, 0, 0]
    assert abs(v - complex(np.cos(a), np.sin(a))) < 1e-6


# ----------------------------------------------------------------- gradients

GRAD_EMM = [1, -2, 3, 18, 2]                  # every piece rotated


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_evaluate_grad_values_and_rows_bitwise(fit, dtype):
    breaks, coefs, gcoefs = fit
    coefs, gcoefs = coefs.astype(COMPLEX[dtype]), gcoefs.astype(COMPLEX[dtype])
    B, P = coefs.shape[:2]
    D = gcoefs.shape[1] // P
    x = np.linspace(breaks[0] - 0.3, breaks[-1] + 0.3, 257).astype(dtype)
    ev = evaluator(CLASS[dtype], breaks, GRAD_EMM, 0.8, coefs, dtype)
    ev.set_rewind_rates(np.ones((B, P)))       # ignored by evaluate_grad
    ev.set_gradient_coefficients(gcoefs)
    vals, grads = ev.evaluate_grad(x)
    assert grads.shape == (B, D, P, x.size)
    assert_bitwise(vals, orc.evaluate(breaks, GRAD_EMM, 0.8, coefs, x))
    for d in range(D):
        # direction d of piece p comes from gcoefs row d*P + p
        assert_bitwise(grads[:, d], orc.evaluate(breaks, GRAD_EMM, 0.8, gcoefs[:, d * P:(d + 1) * P], x))


def test_evaluate_grad_matches_finite_difference(fit):
    breaks, coefs, gcoefs = fit
    B, P = coefs.shape[:2]
    D = gcoefs.shape[1] // P
    emm = GRAD_EMM
    x = np.linspace(breaks[0] - 0.3, breaks[-1] + 0.3, 257)
    ev = evaluator(rr.BatchEvaluator64, breaks, emm, 0.8, coefs)
    ev.set_rewind_rates(np.ones((B, P)))
    ev.set_gradient_coefficients(gcoefs)
    grads = ev.evaluate_grad(x)[1]
    for d in range(D):
        h = 1e-4
        plus = evaluator(rr.BatchEvaluator64, breaks, emm, 0.8,
                         coefs + h * gcoefs[:, d * P:(d + 1) * P]).evaluate(x)
        minus = evaluator(rr.BatchEvaluator64, breaks, emm, 0.8,
                          coefs - h * gcoefs[:, d * P:(d + 1) * P]).evaluate(x)
        np.testing.assert_allclose((plus - minus) / (2 * h), grads[:, d], rtol=1e-7, atol=1e-9)


def test_evaluate_grad_unrotated_piece_equals_sum(fit):
    breaks, coefs, gcoefs = fit
    ev = evaluator(rr.BatchEvaluator64, breaks, [0, 0, 0, 0, 0], 1.0, coefs)
    ev.set_gradient_coefficients(gcoefs)
    x = np.linspace(1, 9, 40)
    np.testing.assert_array_equal(ev.evaluate_grad(x)[0], ev.evaluate(x))


# ----------------------------------------------------------------- mixing

def mixing_setup(fit, blocks, seed=4, identity=False):
    breaks, coefs, _ = fit
    B = coefs.shape[0]
    blocks = np.asarray(blocks, np.int32)
    nblk, nl = blocks.shape
    rng = np.random.default_rng(seed)
    if identity:
        mixm = np.broadcast_to(np.eye(nl), (B, nblk, nl, nl)).astype(np.complex128)
    else:
        mixm = rng.standard_normal((B, nblk, nl, nl)) + 1j * rng.standard_normal((B, nblk, nl, nl))
    return mixm, blocks


@pytest.mark.parametrize("blocks", [
    [[0, 1], [2, 3]],
    [[1, 3, 4, -1]],
    [[2, -1, 3]],                 # only piece 2, mixed by m[0,0]; 3 keeps its value
    [[0, 1], [1, 2]],             # second block sees the first block's result
    [[-1, 0], [-1, -1]],          # empty lists change nothing
    [[4, 0, 2, 1]],
])
def test_mixing_matches_block_matrix_products(fit, blocks):
    breaks, coefs, _ = fit
    emm = [1, 0, 2, -3, 4]
    mixm, blk = mixing_setup(fit, blocks)
    x = np.linspace(breaks[0], breaks[-1], 333)
    ev = evaluator(rr.BatchEvaluator64, breaks, emm, 1.0, coefs)
    rates = np.random.default_rng(5).uniform(-1, 1, coefs.shape[:2])
    ev.set_rewind_rates(rates)
    plain = ev.evaluate(x)
    ev.set_mixing(mixm, blk)
    np.testing.assert_allclose(ev.evaluate(x), orc.mix(plain, mixm, blk), rtol=1e-13, atol=1e-13)


def test_mixing_with_identity(fit):
    breaks, coefs, _ = fit
    mixm, blk = mixing_setup(fit, [[0, 1, 2, 3]], identity=True)
    x = np.linspace(breaks[0], breaks[-1], 100)
    ev = evaluator(rr.BatchEvaluator64, breaks, [1, 0, 2, -3, 4], 1.0, coefs)
    plain = ev.evaluate(x)
    ev.set_mixing(mixm, blk)
    mixed = ev.evaluate(x)
    np.testing.assert_array_equal(mixed, plain)


def test_set_coefficients_drops_rates_mixing_and_gradients(fit):
    breaks, coefs, gcoefs = fit
    x = np.linspace(0, 10, 50)
    ev = evaluator(rr.BatchEvaluator64, breaks, [1, 0, 2, -3, 4], 1.0, coefs)
    plain = ev.evaluate(x)
    ev.set_rewind_rates(np.ones(coefs.shape[:2]))
    mixm, blk = mixing_setup(fit, [[0, 1]])
    ev.set_mixing(mixm, blk)
    ev.set_gradient_coefficients(gcoefs)
    ev.set_coefficients(coefs)
    assert_bitwise(ev.evaluate(x), plain)
    with pytest.raises(RuntimeError, match="^set_gradient_coefficients first$"):
        ev.evaluate_grad(x)


# ----------------------------------------------------------------- set-up and errors

@pytest.mark.parametrize("cls,width", [(rr.BatchEvaluator64, 8), (rr.BatchEvaluator32, 4)])
def test_fresh_evaluator_accounting(cls, width):
    ev = cls(np.linspace(0, 1, 11), np.arange(3, dtype=np.int32), 1.0)
    assert ev.workspace_grows() == 2
    assert ev.workspace_bytes() == 11 * width + 4 * 3
    assert ev.tau_nonconverged_count() == 0
    assert rr.BatchEvaluatorHost64 is rr.BatchEvaluator64
    assert rr.BatchEvaluatorHost32 is rr.BatchEvaluator32


def test_configuration_is_a_copy(fit):
    breaks, coefs, _ = fit
    b = breaks.copy()
    c = coefs.copy()
    m = np.array([1, 0, 2, -3, 4], np.int32)
    ev = rr.BatchEvaluator64(b, m, 1.0)
    ev.set_coefficients(c)
    x = np.linspace(0, 10, 64)
    v = ev.evaluate(x)
    b[:] = 0
    c[:] = 0
    m[:] = 7
    assert_bitwise(ev.evaluate(x), v)


@pytest.mark.parametrize("release", ["method", "module"])
def test_release_keeps_configuration(fit, release):
    breaks, coefs, gcoefs = fit
    ev = evaluator(rr.BatchEvaluator64, breaks, [1, 0, 2, -3, 4], 1.0, coefs)
    ev.set_rewind_rates(np.ones(coefs.shape[:2]))
    mixm, blk = mixing_setup(fit, [[0, 1]])
    ev.set_mixing(mixm, blk)
    ev.set_gradient_coefficients(gcoefs)
    x = misaligned(np.linspace(0, 10, 600))          # uses the "in_phi" scratch slot
    t = np.linspace(0, 12, 600)
    before = (ev.evaluate(x), ev.evaluate_grad(x), ev.evaluate_time(t, 0), ev.evaluate_time_grad(t, 0))
    grows = ev.workspace_grows()
    if release == "method":
        ev.release_workspace()
        assert ev.workspace_grows() == grows
    else:
        rr.release_workspaces()
    after = (ev.evaluate(x), ev.evaluate_grad(x), ev.evaluate_time(t, 0), ev.evaluate_time_grad(t, 0))
    for a, b in zip(before, after):
        for u, v in zip(a if isinstance(a, tuple) else (a,), b if isinstance(b, tuple) else (b,)):
            assert_bitwise(u, v)
    assert ev.workspace_grows() > grows                # scratch re-allocated


def _ev(fit, emm=(1, 0, 2, -3, 4)):
    breaks, coefs, _ = fit
    return evaluator(rr.BatchEvaluator64, breaks, list(emm), 1.0, coefs)


def _fresh(fit):
    return rr.BatchEvaluator64(fit[0], np.arange(5, dtype=np.int32), 1.0)


C = np.complex128


@pytest.mark.parametrize("call,exc,msg", [
    (lambda f: rr.BatchEvaluator64(np.zeros((2, 2)), np.zeros(2, np.int32), 1.0),
     ValueError, "breaks and m must be 1d"),
    (lambda f: rr.BatchEvaluator64(np.arange(3.0), np.zeros((1, 2), np.int32), 1.0),
     ValueError, "breaks and m must be 1d"),
    (lambda f: rr.BatchEvaluator64(np.arange(3.0), np.array([-2**31], np.int32), 1.0),
     ValueError, "mode number -2147483648 is out of range"),
    (lambda f: _fresh(f).set_coefficients(np.zeros((1, 5, 8, 3), C)),
     ValueError, "coefs must be (B, P, E, O)"),
    (lambda f: _fresh(f).set_coefficients(np.zeros((1, 4, 9, 3), C)),
     ValueError, "coefs must be (B, P, E, O)"),
    (lambda f: _fresh(f).set_rewind_rates(np.zeros((3, 5))), RuntimeError, "set_coefficients first"),
    (lambda f: _fresh(f).set_mixing(np.zeros((3, 1, 2, 2), C), np.zeros((1, 2), np.int32)),
     RuntimeError, "set_coefficients first"),
    (lambda f: _fresh(f).set_gradient_coefficients(np.zeros((3, 5, 9, 7), C)),
     RuntimeError, "set_coefficients first"),
    (lambda f: _fresh(f).evaluate(np.zeros(3)), RuntimeError, "set_coefficients first"),
    (lambda f: _fresh(f).evaluate_grad(np.zeros(3)), RuntimeError, "set_coefficients first"),
    (lambda f: _ev(f).evaluate_grad(np.zeros(3)), RuntimeError, "set_gradient_coefficients first"),
    (lambda f: _ev(f).set_rewind_rates(np.zeros((3, 4))), ValueError, "rewind rates must be (B, P)"),
    (lambda f: _ev(f).set_rewind_rates(np.zeros(15)), ValueError, "rewind rates must be (B, P)"),
    (lambda f: _ev(f).set_mixing(np.zeros((2, 1, 2, 2), C), np.zeros((1, 2), np.int32)),
     ValueError, "mix must be (B, swsph_nblk, nl, nl)"),
    (lambda f: _ev(f).set_mixing(np.zeros((3, 1, 2, 2), C), np.zeros((2, 2), np.int32)),
     ValueError, "blocks must be (swsph_nblk, nl) matching mix"),
    (lambda f: _ev(f).set_mixing(np.zeros((3, 1, 5, 4), C), np.zeros((1, 5), np.int32)),
     ValueError, "nl > 4 unsupported"),
    (lambda f: _ev(f).set_mixing(np.zeros((3, 1, 4, 3), C), np.zeros((1, 4), np.int32)),
     ValueError, "mix blocks must be square"),
    (lambda f: _ev(f).set_mixing(np.zeros((3, 1, 2, 2), C), np.array([[0, 5]], np.int32)),
     ValueError, "block piece index >= P"),
    (lambda f: _ev(f).set_gradient_coefficients(np.zeros((3, 7, 9, 7), C)),
     ValueError, "gradient coefs must be (B, D*P, E, O)"),
    (lambda f: _ev(f).set_gradient_coefficients(np.zeros((3, 5, 9, 6), C)),
     ValueError, "gradient coefs must be (B, D*P, E, O)"),
    (lambda f: _ev(f).set_gradient_coefficients(np.zeros((3, 45, 9, 7), C)),
     ValueError, "more than max_D parameter directions"),
    (lambda f: _ev(f).evaluate(np.zeros((1, 4))), ValueError, "phi must be (N,) or (B, N)"),
    (lambda f: _ev(f).evaluate(np.zeros((3, 4, 1))), ValueError, "phi must be (N,) or (B, N)"),
    (lambda f: _ev(f).evaluate(np.float64(1.0)), ValueError, "phi must be (N,) or (B, N)"),
])
def test_errors(fit, call, exc, msg):
    with pytest.raises(exc) as info:
        call(fit)
    assert str(info.value) == msg


@pytest.mark.parametrize("breaks,O,msg", [
    ([0.0, 1.0, 1.0, 2.0], 3, "breaks must be strictly increasing"),
    ([0.0, 2.0, 1.0], 3, "breaks must be strictly increasing"),
    ([0.0, np.nan, 1.0], 3, "breaks must be strictly increasing"),
    ([0.0, 1.0], 0, "element fit needs E >= 1 elements and O >= 1 coefficients per element"),
])
def test_degenerate_fits_are_refused_at_evaluation(breaks, O, msg):
    E = len(breaks) - 1
    ev = rr.BatchEvaluator64(np.array(breaks), np.zeros(2, np.int32), 1.0)
    ev.set_coefficients(np.ones((1, 2, E, O), C))
    for call in (lambda: ev.evaluate(np.zeros(3)), lambda: ev.evaluate_time(np.zeros(3), 0)):
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == msg


def test_empty_fit_and_no_pieces():
    ev = rr.BatchEvaluator64(np.array([0.0]), np.zeros(0, np.int32), 1.0)   # E = 0, P = 0
    ev.set_coefficients(np.zeros((1, 0, 0, 2), C))
    with pytest.raises(ValueError, match="E >= 1"):
        ev.evaluate(np.zeros(2))
    ev = rr.BatchEvaluator64(np.array([0.0, 1.0]), np.zeros(0, np.int32), 1.0)
    ev.set_coefficients(np.zeros((2, 0, 1, 2), C))
    assert ev.evaluate(np.zeros(4)).shape == (2, 0, 4)
    with pytest.raises(ValueError, match="P >= 1"):
        ev.set_gradient_coefficients(np.zeros((2, 0, 1, 2), C))


def test_rejected_setters_keep_previous_configuration(fit):
    breaks, coefs, gcoefs = fit
    x = np.linspace(0, 10, 77)
    ev = _ev(fit)
    mixm, blk = mixing_setup(fit, [[0, 1]])
    ev.set_mixing(mixm, blk)
    ev.set_gradient_coefficients(gcoefs)
    v, g = ev.evaluate(x), ev.evaluate_grad(x)
    for bad in [(np.zeros((3, 1, 5, 5), C), np.zeros((1, 5), np.int32)),
                (mixm, np.array([[0, 5]], np.int32))]:
        with pytest.raises(ValueError):
            ev.set_mixing(*bad)
    with pytest.raises(ValueError):
        ev.set_gradient_coefficients(np.zeros((3, 45, 9, 7), C))
    assert_bitwise(ev.evaluate(x), v)
    for a, b in zip(ev.evaluate_grad(x), g):
        assert_bitwise(a, b)
    ev.set_gradient_coefficients(np.zeros((3, 40, 9, 7), C))   # D = 8 accepted
    assert ev.evaluate_grad(x)[1].shape == (3, 8, 5, 77)
    ev.set_mixing(mixm, np.array([[-1, 0]], np.int32))          # negative entries accepted


def test_empty_coefficient_batch_means_unconfigured(fit):
    ev = _fresh(fit)
    ev.set_coefficients(np.zeros((0, 5, 9, 7), C))
    with pytest.raises(RuntimeError, match="^set_coefficients first$"):
        ev.evaluate(np.zeros(3))


def test_misaligned_inputs_equal_aligned(fit):
    breaks, coefs, gcoefs = fit
    emm = np.array([1, 0, 2, -3, 4], np.int32)
    x = np.linspace(-1, 11, 515)
    ev = rr.BatchEvaluator64(breaks, emm, 1.0)
    ev.set_coefficients(coefs)
    ev.set_gradient_coefficients(gcoefs)
    ev2 = rr.BatchEvaluator64(misaligned(breaks), misaligned(emm), 1.0)
    ev2.set_coefficients(misaligned(coefs))
    ev2.set_gradient_coefficients(misaligned(gcoefs))
    assert_bitwise(ev.evaluate(x), ev2.evaluate(misaligned(x)))
    for a, b in zip(ev.evaluate_grad(x), ev2.evaluate_grad(misaligned(x))):
        assert_bitwise(a, b)
    e32 = evaluator(rr.BatchEvaluator32, breaks, emm, 1.0, coefs, np.float32)
    x32 = x.astype(np.float32)
    assert_bitwise(e32.evaluate(x32), e32.evaluate(misaligned(x32)))


# ----------------------------------------------------------------- one-shot functions

def test_evaluate_batch_matches_numpy_and_host_twin(fit):
    breaks, coefs, _ = fit
    rng = np.random.default_rng(7)
    phi = np.stack([sample_grid(breaks, 200, rng) for _ in range(coefs.shape[0])])
    ref = orc.evaluate(breaks, np.zeros(5, int), 0.0, coefs, phi)
    a = rr.evaluate_batch(breaks, coefs, phi)
    assert_bitwise(a, ref)
    assert_bitwise(rr.evaluate_batch_host(breaks, coefs, phi), a)
    assert rr.evaluate_batch is not rr.evaluate_batch_host
    docs = [
        (rr.evaluate_batch, "Evaluate (B, P, E, O) element coefficients at (B, N) samples"),
        (rr.evaluate_batch_host, "Host-space twin of evaluate_batch (dispatch table, R7)"),
        (rr.project_phi, "Project (B, K, N) phi-grid samples onto (B, K, E, O) element coefficients "
                        "through the cached interpolation stencil + phys->spec transform "
                        "(the _project einsum, compiled)."),
        (rr.BatchEvaluator64.release_workspace, "Drop this evaluator's retained workspace buffers.  "
                                               "Safe only between invocations; the next call reallocates."),
        (rr.BatchEvaluator32.reset_tau_nonconverged_count,
         "Reset the tau-inversion non-convergence counter to zero."),
    ]
    for fn, doc in docs:
        assert fn.__doc__.rstrip().endswith(doc)
    assert_bitwise(rr.evaluate_batch(breaks, coefs, phi[0]),
                   orc.evaluate(breaks, np.zeros(5, int), 0.0, coefs, phi[0]))


def test_evaluate_batch_empty_batch_and_errors(fit):
    breaks, coefs, _ = fit
    out = rr.evaluate_batch(breaks, coefs[:0], np.zeros(11))
    assert out.shape == (0, 5, 11) and out.dtype == np.complex128
    assert rr.evaluate_batch(breaks, coefs[:0], np.zeros((0, 4))).shape == (0, 5, 4)
    cases = [
        ((breaks, np.zeros(4, C), np.zeros(3)), IndexError, "invalid axis: 1 (ndim = 1)"),
        ((np.zeros((2, 2)), coefs, np.zeros(3)), ValueError, "breaks and m must be 1d"),
        ((breaks, coefs[:, :, :4], np.zeros(3)), ValueError, "coefs must be (B, P, E, O)"),
        ((breaks, coefs, np.zeros((2, 3))), ValueError, "phi must be (N,) or (B, N)"),
    ]
    for args, exc, msg in cases:
        with pytest.raises(exc) as info:
            rr.evaluate_batch(*args)
        assert str(info.value) == msg


def project_oracle(y, i0, w, p2s):
    B, K, N = y.shape
    O, Cn = p2s.shape
    E = i0.size // Cn
    yy = y.reshape(B * K, N)
    idx = i0.reshape(E, Cn)
    f = w.reshape(E, Cn)
    omf = 1.0 - f
    vr = omf * yy.real[:, idx] + f * yy.real[:, idx + 1]        # (BK, E, C)
    vi = omf * yy.imag[:, idx] + f * yy.imag[:, idx + 1]
    ar = np.zeros((B * K, E, O))
    ai = np.zeros((B * K, E, O))
    for c in range(Cn):
        ar = ar + p2s[None, None, :, c] * vr[:, :, c, None]
        ai = ai + p2s[None, None, :, c] * vi[:, :, c, None]
    return (ar + 1j * ai).reshape(B, K, E, O)


def project_inputs(B=2, K=3, N=50, E=6, Cn=5, O=4, seed=8):
    rng = np.random.default_rng(seed)
    y = rng.standard_normal((B, K, N)) + 1j * rng.standard_normal((B, K, N))
    i0 = rng.integers(0, N - 1, E * Cn).astype(np.int64)
    w = rng.uniform(0, 1, E * Cn)
    p2s = rng.standard_normal((O, Cn))
    return y, i0, w, p2s


def test_project_phi_matches_numpy_bitwise():
    y, i0, w, p2s = project_inputs()
    i0[0] = y.shape[2] - 2                 # last admissible left index
    w[1], w[2] = 0.0, 1.0
    out = rr.project_phi(y, i0, w, p2s)
    assert_bitwise(out, project_oracle(y, i0, w, p2s))
    assert_bitwise(rr.project_phi(misaligned(y), misaligned(i0), misaligned(w), misaligned(p2s)), out)
    assert rr.project_phi(y, i0[:0], w[:0], p2s).shape == (2, 3, 0, 4)
    assert rr.project_phi(y, i0, w, p2s[:0]).shape == (2, 3, 6, 0)
    assert rr.project_phi(y, np.zeros(64, np.int64), np.zeros(64), np.ones((2, 64))).shape == (2, 3, 1, 2)


@pytest.mark.parametrize("mutate,exc,msg", [
    (lambda a: a.update(y=a["y"][0]), ValueError, "y must be (B, K, N)"),
    (lambda a: a.update(p2s=a["p2s"][0]), ValueError, "p2s must be (O, C)"),
    (lambda a: a.update(i0=np.int64(0)), IndexError, "invalid axis: 0 (ndim = 0)"),
    (lambda a: a.update(i0=a["i0"].reshape(6, 5)), ValueError, "i0 must be (E * C,)"),
    (lambda a: a.update(i0=a["i0"][:-1], w=a["w"][:-1]), ValueError, "stencil length must be E * C"),
    (lambda a: a.update(p2s=np.zeros((4, 0))), ValueError, "stencil length must be E * C"),
    (lambda a: a.update(w=a["w"][:-1]), ValueError, "w must match i0"),
    (lambda a: a.update(w=np.float64(0.5)), IndexError, "invalid axis: 0 (ndim = 0)"),
    (lambda a: a.update(w=a["w"].reshape(30, 1)), ValueError, "w must match i0"),
    (lambda a: a.update(i0=np.zeros(65, np.int64), w=np.zeros(65), p2s=np.zeros((2, 65))),
     ValueError, "collocation order > 64"),
    (lambda a: a["i0"].__setitem__(3, 49), ValueError, "stencil index out of range"),
    (lambda a: a["i0"].__setitem__(3, -1), ValueError, "stencil index out of range"),
    (lambda a: a["i0"].__setitem__(3, 2**63 - 1), ValueError, "stencil index out of range"),
    (lambda a: a.update(y=a["y"][:, :, :1]), ValueError, "stencil index out of range"),
])
def test_project_phi_errors(mutate, exc, msg):
    y, i0, w, p2s = project_inputs()
    args = dict(y=y, i0=i0, w=w, p2s=p2s)
    mutate(args)
    with pytest.raises(exc) as info:
        rr.project_phi(args["y"], args["i0"], args["w"], args["p2s"])
    assert str(info.value) == msg


# ----------------------------------------------------------------- finalisation

def test_finalize_releases_live_evaluators_only():
    out = run_python(r"""
import gc
import numpy as np
import radiredide as rr
breaks = np.linspace(0, 1, 5)
evs = []
for _ in range(2):
    ev = rr.BatchEvaluator64(breaks, np.zeros(2, np.int32), 1.0)
    ev.set_coefficients(np.ones((3, 2, 4, 3), np.complex128))
    ev.evaluate(np.linspace(0, 1, 100))
    evs.append(ev)
for _ in range(50):
    rr.evaluate_batch(breaks, np.ones((1, 2, 4, 3), np.complex128), np.zeros(3))
del evs[0]
gc.collect()
live = evs[0]
assert live.workspace_bytes() > 0
assert rr.finalize_kokkos() is True
assert rr.workspace_bytes() == 0 and live.workspace_bytes() == 0
for call in (lambda: live.evaluate(np.zeros(3)), lambda: live.tau_nonconverged_count(),
             lambda: live.set_coefficients(np.ones((1, 2, 4, 3), np.complex128)),
             lambda: rr.BatchEvaluator64(breaks, np.zeros(2, np.int32), 1.0),
             lambda: rr.evaluate_batch(breaks, np.ones((1, 2, 4, 3), np.complex128), np.zeros(3))):
    try:
        call()
    except RuntimeError:
        pass
    else:
        raise AssertionError("expected RuntimeError")
assert rr.finalize_kokkos() is False
del live
print("ok")
""")
    assert out.stdout.strip().endswith("ok")
