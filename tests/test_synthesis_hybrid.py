"""evaluate_hybrid / evaluate_hybrid_host / evaluate_hybrid_batch: cubic-spline
time map, per-mode cubic amplitudes in Phi and the exp(i m s Phi) rotation."""
import math

import numpy as np
import pytest
from scipy.interpolate import CubicSpline

from conftest import assert_bitwise, misaligned


# ----------------------------------------------------------------- NumPy oracle
def interval(knots, x):
    """Largest i in [0, n-2] with knots[i] <= x; 0 for none and for NaN."""
    i = np.clip(np.searchsorted(knots, x, side="right") - 1, 0, len(knots) - 2)
    i[np.isnan(x)] = 0
    return i


def cubic(c, i, d):
    d2 = d * d
    d3 = d2 * d
    return (((0.0 + c[3, i]) + c[2, i] * d) + c[1, i] * d2) + c[0, i] * d3


def power(zr, zi, m):
    gr, gi = zr, (zi if m > 0 else -zi)
    wr, wi = gr.copy(), gi.copy()
    for _ in range(abs(m) - 1):
        wr, wi = gr * wr - gi * wi, gi * wr + gr * wi
    return wr, wi


def oracle(tk, pc, pk, mc, m, s, t, weights=None):
    t = np.asarray(t, float)
    i = interval(tk, t)
    phi = cubic(pc, i, t - tk[i])
    a = phi * s
    zr = np.array([math.cos(v) for v in a])
    zi = np.array([math.sin(v) for v in a])
    j = interval(pk, phi)
    u = phi - pk[j]
    out = np.empty((len(m), t.size), complex)
    for k, mk in enumerate(m):
        vr, vi = cubic(mc[k].real, j, u), cubic(mc[k].imag, j, u)
        if mk != 0:
            wr, wi = power(zr, zi, int(mk))
            vr, vi = wr * vr - wi * vi, wr * vi + wi * vr
        if weights is not None:
            vr, vi = (vr * weights - 0.0 * vi) + 0.0, (0.0 * vr + vi * weights) + 0.0
        out[k].real, out[k].imag = vr, vi
    return out, phi


# ----------------------------------------------------------------- fixtures
def make_row(rng, n, K, span=(0.0, 10.0)):
    tk = np.sort(rng.uniform(*span, n))
    tk[0], tk[-1] = span
    pc = rng.normal(size=(4, n - 1))
    pc[2] += 3.0  # a mostly increasing phase
    # Phi knots covering the range Phi takes on the row, and a little beyond
    phi_t = cubic(pc, interval(tk, np.linspace(*span, 400)), 0.0)
    lo, hi = phi_t.min() - 1.0, phi_t.max() + 1.0
    pk = np.sort(rng.uniform(lo, hi, n))
    mc = rng.normal(size=(K, 4, n - 1)) + 1j * rng.normal(size=(K, 4, n - 1))
    mc *= 0.2
    return tk, pc, pk, mc


def samples(rng, tk, N):
    """Sorted times reaching beyond both ends, with some exactly on knots."""
    on = tk[[0, 1, 2, 5, -2, -1]]
    return np.sort(np.concatenate([rng.uniform(tk[0] - 0.5, tk[-1] + 0.5, N - on.size), on]))


def pack(rows):
    """The ragged batch layout from single-row packs."""
    n = [r[0].size for r in rows]
    offsets = np.concatenate([[0], np.cumsum(n)]).astype(np.int64)
    coffsets = np.concatenate([[0], np.cumsum([v - 1 for v in n])]).astype(np.int64)
    t_knots = np.concatenate([r[0] for r in rows])
    phi_c = np.concatenate([r[1] for r in rows], axis=1)
    phi_knots = np.concatenate([r[2] for r in rows])
    mode_c = np.concatenate([r[3] for r in rows], axis=2)
    return t_knots, offsets, phi_c, coffsets, phi_knots, mode_c


M16 = np.array([2, -2, 0, 1, -1, 3, -5, 16], np.int32)


def hybrid_row():
    rng = np.random.default_rng(11)
    tk, pc, pk, mc = make_row(rng, 40, len(M16))
    t = samples(rng, tk, 2500)
    return tk, pc, pk, mc, t


@pytest.fixture
def row():
    return hybrid_row()


# ----------------------------------------------------------------- evaluate_hybrid
@pytest.mark.parametrize("name", ["evaluate_hybrid", "evaluate_hybrid_host"])
@pytest.mark.parametrize("s", [1.0, -1.0, 0.37])
def test_row_matches_oracle_bitwise(rr, row, name, s):
    tk, pc, pk, mc, t = row
    strain, phi = getattr(rr, name)(tk, pc, pk, mc, M16, s, t)
    ref, ref_phi = oracle(tk, pc, pk, mc, M16, s, t)
    assert strain.shape == (len(M16), t.size) and strain.dtype == np.complex128
    assert_bitwise(phi, ref_phi)
    assert_bitwise(strain, ref)


def test_unsorted_and_nan_samples(rr, row):
    """The cursor walks back and forth; NaN samples use interval 0 and give NaN."""
    tk, pc, pk, mc, t = row
    t = np.random.default_rng(3).permutation(t)
    t[[5, 1500]] = np.nan
    strain, phi = rr.evaluate_hybrid(tk, pc, pk, mc, M16, 1.0, t)
    ref, ref_phi = oracle(tk, pc, pk, mc, M16, 1.0, t)
    assert_bitwise(phi, ref_phi)
    assert_bitwise(strain, ref)
    assert np.isnan(phi[[5, 1500]]).all() and np.isfinite(np.delete(phi, [5, 1500])).all()


def test_table_and_chain_agree(rr, row):
    """|m| = 17 switches the power table off; the shared modes keep their bits."""
    tk, pc, pk, mc, t = row
    m17 = np.concatenate([M16[:-1], [17]]).astype(np.int32)
    a, _ = rr.evaluate_hybrid(tk, pc, pk, mc, M16, 1.0, t)
    b, _ = rr.evaluate_hybrid(tk, pc, pk, mc, m17, 1.0, t)
    assert_bitwise(a[:-1], b[:-1])
    ref, _ = oracle(tk, pc, pk, mc, m17, 1.0, t)
    assert_bitwise(b, ref)


def test_weights_and_padding(rr, row):
    tk, pc, pk, mc, t = row
    w = np.random.default_rng(5).uniform(-2, 2, t.size)
    w[:3] = [0.0, -0.0, np.inf]
    strain, phi = rr.evaluate_hybrid(tk, pc, pk, mc, M16, 1.0, t, weights=w, n_out=t.size + 3)
    ref, _ = oracle(tk, pc, pk, mc, M16, 1.0, t, weights=w)
    assert strain.shape == (len(M16), t.size + 3)
    assert_bitwise(strain[:, : t.size], ref)
    assert_bitwise(strain[:, t.size:], np.zeros((len(M16), 3), complex))
    # weights are converted with forced casting (an int list is fine)
    s2, _ = rr.evaluate_hybrid(tk, pc, pk, mc, M16, 1.0, t[:4], weights=[1, 2, 3, 4])
    ref2, _ = oracle(tk, pc, pk, mc, M16, 1.0, t[:4], weights=np.array([1.0, 2, 3, 4]))
    assert_bitwise(s2, ref2)


def test_against_scipy_splines(rr):
    """Packs built from SciPy CubicSpline tables reproduce the splines and the rotation."""
    tk = np.linspace(0.0, 5.0, 30)
    sp_phi = CubicSpline(tk, 2.0 * tk + 0.1 * tk ** 2)
    pk = sp_phi(tk)
    amp = CubicSpline(pk, np.exp(-0.1 * pk) + 0.5j * np.cos(pk))
    mc = np.stack([amp.c, 2.0 * amp.c])
    m = np.array([2, -3], np.int32)
    t = np.linspace(0.0, 5.0, 777)
    strain, phi = rr.evaluate_hybrid(tk, sp_phi.c, pk, mc, m, -1.0, t)
    np.testing.assert_allclose(phi, sp_phi(t), rtol=1e-13, atol=1e-13)
    for k, fac in enumerate([1.0, 2.0]):
        want = fac * amp(sp_phi(t)) * np.exp(1j * m[k] * (-1.0) * sp_phi(t))
        np.testing.assert_allclose(strain[k], want, rtol=1e-11, atol=1e-11)


def test_two_knots_extrapolate(rr):
    tk = np.array([0.0, 1.0])
    pc = np.array([[0.5], [-1.0], [2.0], [0.25]])
    pk = np.array([0.0, 1.0])
    mc = (np.arange(4.0) + 1j).reshape(1, 4, 1)
    t = np.array([-3.0, 0.0, 0.5, 1.0, 7.0])
    strain, phi = rr.evaluate_hybrid(tk, pc, pk, mc, np.array([0], np.int32), 1.0, t)
    np.testing.assert_array_equal(phi, 0.25 + 2 * t - t ** 2 + 0.5 * t ** 3)
    ref, _ = oracle(tk, pc, pk, mc, [0], 1.0, t)
    assert_bitwise(strain, ref)


def test_empty_cases(rr, row):
    tk, pc, pk, mc, t = row
    strain, phi = rr.evaluate_hybrid(tk, pc, pk, mc, M16, 1.0, t[:0], n_out=5)
    assert phi.shape == (0,) and strain.shape == (len(M16), 5)
    assert_bitwise(strain, np.zeros((len(M16), 5), complex))
    strain, phi = rr.evaluate_hybrid(tk, pc, pk, mc[:0], M16[:0], 1.0, t, n_out=0)
    assert strain.shape == (0, t.size)
    assert_bitwise(phi, oracle(tk, pc, pk, mc[:0], [], 1.0, t)[1])


def test_misaligned_inputs_and_results(rr, row):
    tk, pc, pk, mc, t = row
    w = np.linspace(0.5, 1.5, t.size)
    a = rr.evaluate_hybrid(tk, pc, pk, mc, M16, 1.0, t, w, t.size + 2)
    b = rr.evaluate_hybrid(misaligned(tk), misaligned(pc), misaligned(pk), misaligned(mc),
                           misaligned(M16), 1.0, misaligned(t), misaligned(w), t.size + 2)
    assert_bitwise(a[0], b[0])
    assert_bitwise(a[1], b[1])


def _row_args():
    tk = np.linspace(0, 1, 4)
    return dict(t_knots=tk, phi_coefs=np.zeros((4, 3)), phi_knots=tk,
                mode_coefs=np.zeros((2, 4, 3), complex), m=np.array([1, 2], np.int32),
                phase_sign=1.0, t=np.linspace(0, 1, 5))


@pytest.mark.parametrize("change, msg", [
    (dict(t_knots=np.zeros((2, 2))), "t_knots and phi_knots must be (n,)"),
    (dict(phi_knots=np.zeros((4, 1))), "t_knots and phi_knots must be (n,)"),
    (dict(phi_knots=np.zeros(3)), "t_knots and phi_knots must share n >= 2"),
    (dict(t_knots=np.zeros(1), phi_knots=np.zeros(1)), "t_knots and phi_knots must share n >= 2"),
    (dict(phi_coefs=np.zeros((3, 3))), "phi_coefs must be (4, n-1)"),
    (dict(phi_coefs=np.zeros((4, 4))), "phi_coefs must be (4, n-1)"),
    (dict(phi_coefs=np.zeros(12)), "phi_coefs must be (4, n-1)"),
    (dict(mode_coefs=np.zeros((2, 3, 3), complex)), "mode_coefs must be (K, 4, n-1)"),
    (dict(mode_coefs=np.zeros((4, 3), complex)), "mode_coefs must be (K, 4, n-1)"),
    (dict(m=np.array([1], np.int32)), "m must be (K,)"),
    (dict(m=np.array([[1, 2]], np.int32)), "m must be (K,)"),
    (dict(t=np.zeros((5, 1))), "t must be (N,)"),
    (dict(weights=np.zeros(4)), "weights must be (N,), matching t"),
    (dict(weights=np.zeros((5, 1))), "weights must be (N,), matching t"),
    (dict(n_out=-1), "n_out must be 0 or >= len(t)"),
    (dict(n_out=4), "n_out must be 0 or >= len(t)"),
    (dict(m=np.array([1, -2 ** 31], np.int32)),
     "m values must have a magnitude representable as int32 (not -2147483648)"),
])
def test_row_errors(rr, change, msg):
    args = _row_args()
    args.update(change)
    with pytest.raises(ValueError) as ei:
        rr.evaluate_hybrid(**args)
    assert str(ei.value) == msg


def test_row_conversion_errors(rr):
    args = _row_args()
    # NumPy's own conversion error comes first, before any shape check
    with pytest.raises(ValueError, match="could not convert string to float"):
        rr.evaluate_hybrid(**{**args, "t_knots": np.zeros((2, 2)), "weights": "abc"})
    with pytest.raises(TypeError):
        rr.evaluate_hybrid(**{**args, "n_out": 5.0})


# ----------------------------------------------------------------- evaluate_hybrid_batch
@pytest.fixture
def batch():
    rng = np.random.default_rng(21)
    K = len(M16)
    rows = [make_row(rng, n, K, span=(lo, lo + 5.0)) for n, lo in [(64, 0.0), (2, 1.0), (100, -3.0),
                                                                     (7, 2.0)]]
    J = 700
    t = np.stack([np.sort(rng.uniform(r[0][0] - 1.0, r[0][-1] + 1.0, J)) for r in rows])
    t[1] = rng.permutation(t[1])
    t[2, :5] = rows[2][0][[0, 1, 50, -2, -1]]  # on knots
    return rows, t


@pytest.mark.parametrize("m", [M16, np.array([17, -4, 0], np.int32)])
def test_batch_rows_equal_single_row_bitwise(rr, batch, m):
    rows, t = batch
    rows = [(r[0], r[1], r[2], r[3][: len(m)]) for r in rows]
    out = rr.evaluate_hybrid_batch(*pack(rows)[:5], pack(rows)[5], m, -1.0, t)
    assert out.shape == (len(rows), len(m), t.shape[1]) and out.dtype == np.complex128
    for b, r in enumerate(rows):
        single, _ = rr.evaluate_hybrid(*r, m, -1.0, t[b])
        assert_bitwise(out[b], single)
        assert_bitwise(out[b], oracle(*r, m, -1.0, t[b])[0])


def test_batch_blocks_across_phase_knots(rr):
    """Blocks of 16 samples whose Phi lies in one, two (at every split, and interleaved) or
    three intervals of the Phi knots give the single row's bits."""
    tk = np.arange(0.0, 101.0)
    pc = np.stack([np.zeros(100), np.zeros(100), np.ones(100), tk[:-1]])  # Phi = t
    pk = tk.copy()
    rng = np.random.default_rng(5)
    mc = rng.normal(size=(3, 4, 100)) + 1j * rng.normal(size=(3, 4, 100))
    m = np.array([2, -1, 0], np.int32)
    blocks = [np.full(16, 3.5), np.arange(16) / 16.0 + 10.25,
              np.tile([20.5, 21.5], 8), np.linspace(30.2, 32.8, 16)]
    blocks += [np.where(np.arange(16) < k, 40.0 + 2 * k + 0.25, 41.0 + 2 * k + 0.5)
               for k in range(1, 16)]
    t = np.concatenate(blocks + [np.array([70.5, 71.5, 72.5])])[None, :]
    out = rr.evaluate_hybrid_batch(tk, np.array([0, 101]), pc, np.array([0, 100]), pk, mc, m, 1.0,
                                   t)
    single, _ = rr.evaluate_hybrid(tk, pc, pk, mc, m, 1.0, t[0])
    assert_bitwise(out[0], single)
    assert_bitwise(out[0], oracle(tk, pc, pk, mc, m, 1.0, t[0])[0])


def test_batch_signed_zeros_match_single_row(rr):
    """Exact zeros (phase sign 0, -0.0 coefficients, samples on knots) keep their sign alike."""
    tk = np.linspace(0.0, 3.0, 4)
    pc = np.full((4, 3), -0.0)
    pk = np.array([-0.0, 1.0, 2.0, 3.0])
    mc = np.full((4, 4, 3), complex(-0.0, -0.0))
    m = np.array([-3, -1, 2, 0], np.int32)
    t = np.repeat(tk, 8)
    for s in (0.0, -0.0, 1.0):
        single, _ = rr.evaluate_hybrid(tk, pc, pk, mc, m, s, t)
        out = rr.evaluate_hybrid_batch(tk, np.array([0, 4]), pc, np.array([0, 3]), pk, mc, m, s,
                                       t[None, :])
        assert_bitwise(out[0], single)
        assert_bitwise(single, oracle(tk, pc, pk, mc, m, s, t)[0])


def test_batch_pack_from_scipy(rr):
    """A ragged pack of two CubicSpline rows evaluates as the splines predict."""
    rows = []
    for n, f in [(64, 1.0), (90, 1.5)]:
        tk = np.linspace(0.0, 4.0, n)
        sp = CubicSpline(tk, f * tk + 0.05 * tk ** 2)
        pk = sp(tk)
        amp = CubicSpline(pk, np.cos(0.3 * pk) + 1j * np.sin(0.2 * pk))
        rows.append((tk, sp.c, pk, amp.c[None], sp, amp))
    t = np.linspace(0.0, 4.0, 333)[None, :].repeat(2, axis=0)
    out = rr.evaluate_hybrid_batch(*pack([r[:4] for r in rows]), np.array([3], np.int32), 1.0, t)
    for b, r in enumerate(rows):
        phi = r[4](t[b])
        np.testing.assert_allclose(out[b, 0], r[5](phi) * np.exp(3j * phi), rtol=1e-10, atol=1e-10)


def test_batch_empty_and_misaligned(rr, batch):
    rows, t = batch
    args = pack([(r[0], r[1], r[2], r[3][:2]) for r in rows])
    m = M16[:2]
    assert rr.evaluate_hybrid_batch(*args, m, 1.0, t[:, :0]).shape == (4, 2, 0)
    a = rr.evaluate_hybrid_batch(*args, m, 1.0, t)
    b = rr.evaluate_hybrid_batch(*[misaligned(x) for x in args], misaligned(m), 1.0, misaligned(t))
    assert_bitwise(a, b)
    k0 = rr.evaluate_hybrid_batch(*args[:5], args[5][:0], m[:0], 1.0, t)
    assert k0.shape == (4, 0, t.shape[1])


def _batch_args():
    tk = np.linspace(0, 1, 7)
    return dict(t_knots=tk, offsets=np.array([0, 3, 7], np.int64), phi_coefs=np.zeros((4, 5)),
                coffsets=np.array([0, 2, 5], np.int64), phi_knots=tk,
                mode_coefs=np.zeros((1, 4, 5), complex), m=np.array([2], np.int32),
                phase_sign=1.0, t=np.zeros((2, 3)))


PREFIX = "offsets/coffsets are not a prefix sum of the flat pack lengths"
ROWS = ("every row needs n_b >= 2 knots and exactly n_b - 1 coefficient columns (declined rows "
        "must be dropped before the launch)")


@pytest.mark.parametrize("change, msg", [
    (dict(t_knots=np.zeros((7, 1))), "t_knots and phi_knots must be (T,)"),
    (dict(phi_knots=np.zeros(6)), "t_knots and phi_knots must share T"),
    (dict(offsets=np.array([0]), coffsets=np.array([0])), "offsets/coffsets must be (B+1,)"),
    (dict(coffsets=np.array([0, 5])), "offsets/coffsets must be (B+1,)"),
    (dict(offsets=np.array([[0, 3, 7]])), "offsets/coffsets must be (B+1,)"),
    (dict(phi_coefs=np.zeros((3, 5))), "phi_coefs must be (4, C)"),
    (dict(mode_coefs=np.zeros((1, 4, 4), complex)), "mode_coefs must be (K, 4, C)"),
    (dict(mode_coefs=np.zeros((1, 3, 5), complex)), "mode_coefs must be (K, 4, C)"),
    (dict(m=np.array([2, 3], np.int32)), "m must be (K,)"),
    (dict(t=np.zeros((3, 3))), "t must be (B, J)"),
    (dict(t=np.zeros(3)), "t must be (B, J)"),
    (dict(offsets=np.array([1, 3, 7])), PREFIX),
    (dict(coffsets=np.array([0, 2, 4])), PREFIX),
    (dict(offsets=np.array([0, 3, 6])), PREFIX),
    # ragged offsets must not decrease: these would read outside the flat arrays
    (dict(offsets=np.array([0, 9, 7]), coffsets=np.array([0, 8, 5])), PREFIX),
    (dict(offsets=np.array([0, -2 ** 62, 7])), PREFIX),
    (dict(coffsets=np.array([0, 2 ** 62, 5])), PREFIX),
    (dict(offsets=np.array([0, 1, 7]), coffsets=np.array([0, 0, 5])), ROWS),
    (dict(coffsets=np.array([0, 1, 5])), ROWS),
    (dict(offsets=np.array([0, 7, 7]), coffsets=np.array([0, 5, 5])), ROWS),  # a declined row
    (dict(m=np.array([-2 ** 31], np.int32)),
     "m values must have a magnitude representable as int32 (not -2147483648)"),
])
def test_batch_errors(rr, change, msg):
    args = _batch_args()
    args.update(change)
    with pytest.raises(ValueError) as ei:
        rr.evaluate_hybrid_batch(**args)
    assert str(ei.value) == msg


def test_docstrings(rr):
    assert rr.evaluate_hybrid is not rr.evaluate_hybrid_host
    assert "Host-space twin of evaluate_hybrid (dispatch table, R7)" in rr.evaluate_hybrid_host.__doc__
    assert "fused exp(i m s Phi) rotation" in rr.evaluate_hybrid.__doc__
    assert "declined rows must be dropped before the launch." in rr.evaluate_hybrid_batch.__doc__
