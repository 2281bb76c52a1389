"""Spheroidal scalar maps, their gradient, rewind rates and mixing tensors."""
import hashlib
import math

import numpy as np
import pytest

import radiredide as rr
from conftest import assert_bitwise, misaligned

MAP_DOC = ("swsph._ScalarMap.predict for a batch, WITHOUT the target transform. Bitwise: numpy "
           "pairwise reductions, _rbf's leading 0. + , and std::exp (bitwise numpy's on this build).")
GRAD_DOC = ("swsph._ScalarMap._raw_value_and_gradient for a batch: (B, 4) as (y, dy/dlog q, "
            "dy/dchi1z, dy/dchi2z) of the RAW output, WITHOUT the target transform. Closed-form "
            "GPR gradient; bitwise the numpy body on a non-contracting build.")
EXTRAS_DOC = ("enable_swsph's NumPy body: (B, P) re-wind rates and the padded (B, nblk, nlmax, "
              "nlmax) mixing tensor from ~175 np.interp calls reduced to one dispatch. Bitwise: "
              "np.interp verbatim, the rate cast on store, and explicit +0.0 padding.")
UNIT = {"swsph_scalar_map": MAP_DOC, "swsph_scalar_map_grad": GRAD_DOC,
        "swsph_extras64": EXTRAS_DOC, "swsph_extras32": EXTRAS_DOC}
MAP_ARGS = ["thetas", "terms", "trend", "alpha", "U", "ls", "L0", "chi_lo", "chi_hi", "A0",
            "degree"]


# ---------------------------------------------------------------- registration

NINE = ["swsph_scalar_map", "swsph_scalar_map_grad", "swsph_extras64", "swsph_extras32",
        "mr_segment_grad", "imr_join_grad", "theta_contract_grad", "mr_blend64", "mr_blend32"]
HOST_ORDER = NINE[7:] + NINE[:7]


def test_registration_order():
    expected = (["theta_contract_column_tile"] + NINE + [n + "_host" for n in HOST_ORDER]
                + [n + "_serial" for n in NINE])
    names = [n for n in vars(rr) if n in expected]
    assert names == [n for n in expected if hasattr(rr, n)]
    assert set(UNIT) <= set(names)
    # The unit sits between the residency functions and the spherical-harmonic weights.
    order = list(vars(rr))
    if "swsh_weights64" in order:
        assert order.index("residency_active") < order.index(names[0])
        assert order.index(names[-1]) < order.index("swsh_weights64")


def test_column_tile_attribute():
    assert type(rr.theta_contract_column_tile) is int and rr.theta_contract_column_tile == 8


@pytest.mark.parametrize("name", sorted(UNIT))
def test_three_names(name):
    base, host, serial = (getattr(rr, name + s) for s in ("", "_host", "_serial"))
    assert host is base
    assert serial is not base
    assert base.__name__ == name and host.__name__ == name
    assert serial.__name__ == name + "_serial"
    assert base.__doc__ == UNIT[name] and serial.__doc__ == UNIT[name]
    assert not hasattr(rr, name + "_serial_host")


def test_keyword_arguments():
    p = map_problem(3, 5, 7, 2, seed=3)
    kw = dict(zip(MAP_ARGS, p))
    assert_bitwise(rr.swsph_scalar_map(**kw), rr.swsph_scalar_map(*p))
    assert_bitwise(rr.swsph_scalar_map_grad_serial(**kw), rr.swsph_scalar_map_grad(*p))
    e = extras_problem(4, 3, 2, 3, 11)
    names = ["chi_grid", "wtab", "is_mode", "ctab_re", "ctab_im", "kvalid", "chi_f", "M_f",
             "s_rot"]
    for a, b in zip(rr.swsph_extras64(**dict(zip(names, e))), rr.swsph_extras64(*e)):
        assert_bitwise(a, b)


# ---------------------------------------------------------------- NumPy references

def pairwise_ref(a):
    """NumPy's pairwise order from its definition: np.sum on blocks of <= 128, halving above."""
    n = len(a)
    if n <= 128:
        return np.sum(a)
    k = (n // 2) - ((n // 2) % 8)
    return pairwise_ref(a[:k]) + pairwise_ref(a[k:])


def exp_each(s):
    return np.array([math.exp(v) for v in np.ravel(s)], dtype=np.float64).reshape(np.shape(s))


def mapped(thetas, L0, chi_lo, chi_hi, A0):
    w = chi_hi - chi_lo if chi_hi > chi_lo else 1.0
    x0 = thetas[:, 0] / L0
    x1 = (((((thetas[:, 1] + thetas[:, 2]) * 0.5) - chi_lo) * 2.0) / w) - 1.0
    x2 = ((thetas[:, 1] - thetas[:, 2]) * 0.5) / A0
    X = np.stack([x0, x1, x2], axis=1)
    Xm = np.stack([x0 * -1.0, x1, x2 * -1.0], axis=1)
    return X, Xm, w


def cheb_tables(X, degree):
    """T[a, k, b] and the derivative tables D[a, k, b]."""
    B = X.shape[0]
    T = np.zeros((3, 8, B))
    D = np.zeros((3, 8, B))
    for a in range(3):
        x = X[:, a]
        T[a, 0] = 1.0
        if degree >= 1:
            T[a, 1] = x
        for k in range(2, degree + 1):
            T[a, k] = (T[a, k - 1] * (x + x)) - T[a, k - 2]
        if degree >= 1:
            V = np.zeros((8, B))
            V[0] = 1.0
            if degree >= 2:
                V[1] = x + x
            for k in range(2, degree):
                V[k] = (V[k - 1] * (x + x)) - V[k - 2]
            for k in range(1, degree + 1):
                D[a, k] = float(k) * V[k - 1]
    return T, D


def rbf(X, U, ls):
    d = (X[:, None, :] - U[None, :, :]) / ls[None, None, :]
    s = ((0.0 + d[..., 0] * d[..., 0]) + d[..., 1] * d[..., 1]) + d[..., 2] * d[..., 2]
    return exp_each(s * -0.5)


def np_scalar_map(thetas, terms, trend, alpha, U, ls, L0, chi_lo, chi_hi, A0, degree,
                  grad=False):
    """The map written out in NumPy; every sum is np.sum over a contiguous last axis."""
    X, Xm, w = mapped(thetas, L0, chi_lo, chi_hi, A0)
    T, D = cheb_tables(X, degree)
    t0, t1, t2 = (np.ascontiguousarray(terms[:, c]) for c in range(3))

    def trend_sum(A0_, A1_, A2_):
        prod = ((A0_[t0].T * A1_[t1].T) * A2_[t2].T) * trend[None, :]
        return np.sum(np.ascontiguousarray(prod), axis=1)

    tr = trend_sum(T[0], T[1], T[2])
    k = rbf(X, U, ls)
    km = rbf(Xm, U, ls)
    gp = np.sum(((k + km) * 0.5) * alpha[None, :], axis=1)
    y = gp + tr
    if not grad:
        return y
    trs = [trend_sum(D[0], T[1], T[2]), trend_sum(T[0], D[1], T[2]),
           trend_sum(T[0], T[1], D[2])]
    sigma = (-1.0, 1.0, -1.0)
    g = []
    for p in range(3):
        lam = ls[p] * ls[p]
        u = U[None, :, p]
        term = (((((((u - Xm[:, p, None]) / lam) * km) * sigma[p])
                  + (((u - X[:, p, None]) / lam) * k)) * 0.5) * alpha[None, :])
        g.append(np.sum(term, axis=1) + trs[p])
    out = np.empty((len(y), 4))
    out[:, 0] = y
    out[:, 1] = g[0] / L0
    out[:, 2] = ((g[2] / A0) * 0.5) + (g[1] / w)
    out[:, 3] = (g[1] / w) - ((g[2] / A0) * 0.5)
    return out


def map_problem(B, n_terms, n_train, degree, seed=0):
    rng = np.random.default_rng(seed)
    thetas = np.stack([rng.uniform(0.0, np.log(8.0), B), rng.uniform(-0.8, 0.8, B),
                       rng.uniform(-0.8, 0.8, B)], axis=1)
    terms = rng.integers(0, degree + 1, size=(n_terms, 3)).astype(np.int32)
    trend = rng.standard_normal(n_terms)
    alpha = rng.standard_normal(n_train)
    U = rng.uniform(-1.0, 1.0, (n_train, 3))
    ls = rng.uniform(0.3, 1.2, 3)
    return thetas, terms, trend, alpha, U, ls, np.log(8.0), -0.8, 0.8, 0.8, degree


# ---------------------------------------------------------------- pairwise summation

PAIRWISE_SIZES = [1, 2, 3, 4, 5, 6, 7, 8, 9, 15, 16, 17, 20, 127, 128, 129, 130, 200, 255, 256,
                  257, 272, 1000, 4097, 8192]


def sum_problem(values):
    """A map whose value is exactly the pairwise sum of `values` (degree 0, no GP part)."""
    n = len(values)
    return (np.zeros((1, 3)), np.zeros((n, 3), np.int32), np.asarray(values, np.float64),
            np.zeros(0), np.zeros((0, 3)), np.ones(3), 1.0, -1.0, 1.0, 1.0, 0)


@pytest.mark.parametrize("n", PAIRWISE_SIZES)
def test_pairwise_sum_matches_numpy(n):
    rng = np.random.default_rng(n)
    # Spread magnitudes widely so that any change of order changes the bits.
    v = rng.standard_normal(n) * np.exp(rng.uniform(-25, 25, n))
    got = rr.swsph_scalar_map(*sum_problem(v))
    assert_bitwise(got, np.array([np.sum(v)]))
    assert_bitwise(got, np.array([pairwise_ref(v)]))


@pytest.mark.parametrize("n", [8193, 20000, 100003])
def test_pairwise_sum_beyond_numpy_buffer(n):
    rng = np.random.default_rng(n)
    v = rng.standard_normal(n) * np.exp(rng.uniform(-25, 25, n))
    assert_bitwise(rr.swsph_scalar_map_serial(*sum_problem(v)), np.array([pairwise_ref(v)]))


@pytest.mark.parametrize("n", [1, 8, 20, 129, 300])
def test_pairwise_sum_over_training_points(n):
    # The kernel sum takes the same order: alpha weights of exact kernel values 1.
    rng = np.random.default_rng(n)
    alpha = rng.standard_normal(n) * np.exp(rng.uniform(-25, 25, n))
    p = (np.zeros((1, 3)), np.zeros((0, 3), np.int32), np.zeros(0), alpha, np.zeros((n, 3)),
         np.ones(3), 1.0, -1.0, 1.0, 1.0, 0)
    assert_bitwise(rr.swsph_scalar_map(*p), np.array([np.sum(alpha)]))


@pytest.mark.parametrize("n_terms,n_train,negative", [
    (0, 0, False), (1, 1, False), (7, 8, False), (8, 7, False), (8, 8, True),
    (200, 129, True), (20, 300, True)])
def test_pairwise_sign_of_zero(n_terms, n_train, negative):
    # Sums of -0.0 shorter than 8 start from +0.0; the eight-accumulator block adds no zero.
    # The result is gp + tr, so it is -0.0 only when both sums are.
    p = (np.zeros((1, 3)), np.zeros((n_terms, 3), np.int32), np.full(n_terms, -0.0),
         np.full(n_train, -0.0), np.zeros((n_train, 3)), np.ones(3), 1.0, -1.0, 1.0, 1.0, 0)
    got = rr.swsph_scalar_map(*p)
    assert got[0] == 0.0 and bool(np.signbit(got[0])) is negative


# ---------------------------------------------------------------- scalar map

@pytest.mark.parametrize("B,n_terms,n_train,degree", [
    (5, 10, 0, 3), (6, 0, 37, 2), (17, 35, 129, 4), (9, 60, 300, 7), (4, 3, 8, 1),
    (3, 1, 1, 0)])
def test_scalar_map_matches_numpy(B, n_terms, n_train, degree):
    p = map_problem(B, n_terms, n_train, degree, seed=B * 100 + degree)
    assert_bitwise(rr.swsph_scalar_map(*p), np_scalar_map(*p))


def test_scalar_map_empty_and_zero_parts():
    p = list(map_problem(0, 4, 5, 2))
    out = rr.swsph_scalar_map(*p)
    assert out.shape == (0,) and out.dtype == np.float64
    assert rr.swsph_scalar_map_grad(*p).shape == (0, 4)
    p = list(map_problem(4, 0, 0, 2))
    assert_bitwise(rr.swsph_scalar_map(*p), np.zeros(4))
    assert_bitwise(rr.swsph_scalar_map_grad(*p), np.zeros((4, 4)))


@pytest.mark.parametrize("chi_lo,chi_hi", [(0.3, 0.3), (0.5, -0.5), (-0.8, float("nan")),
                                           (float("nan"), 0.8)])
def test_spin_width_fallback(chi_lo, chi_hi):
    p = list(map_problem(5, 12, 20, 3, seed=9))
    p[7], p[8] = chi_lo, chi_hi
    got = rr.swsph_scalar_map(*p)
    assert_bitwise(got, np_scalar_map(*p))
    assert np.isnan(chi_lo) == bool(np.isnan(got).all())
    assert_bitwise(rr.swsph_scalar_map_grad(*p), np_scalar_map(*p, grad=True))


def test_exchange_of_bodies():
    p = list(map_problem(8, 0, 50, 3, seed=4))
    th = p[0]
    swapped = np.stack([-th[:, 0], th[:, 2], th[:, 1]], axis=1)
    q = list(p)
    q[0] = swapped
    assert_bitwise(rr.swsph_scalar_map(*p), rr.swsph_scalar_map(*q))
    g, h = rr.swsph_scalar_map_grad(*p), rr.swsph_scalar_map_grad(*q)
    assert_bitwise(h[:, 0], g[:, 0])
    assert np.array_equal(h[:, 1], -g[:, 1])
    assert_bitwise(h[:, 2], g[:, 3])
    assert_bitwise(h[:, 3], g[:, 2])


def test_ls_with_extra_axis_reads_first_three():
    p = list(map_problem(4, 5, 6, 2, seed=5))
    ls6 = np.array([[0.5, 0.7], [0.9, 1.1], [1.3, 1.5]])
    p[5] = ls6
    q = list(p)
    q[5] = ls6.ravel()[:3]
    assert_bitwise(rr.swsph_scalar_map(*p), rr.swsph_scalar_map(*q))


# ---------------------------------------------------------------- gradient

@pytest.mark.parametrize("B,n_terms,n_train,degree", [
    (5, 10, 0, 3), (6, 0, 37, 2), (11, 35, 129, 4), (7, 60, 200, 7), (4, 4, 5, 1),
    (3, 2, 9, 0)])
def test_gradient_matches_numpy_and_value(B, n_terms, n_train, degree):
    p = map_problem(B, n_terms, n_train, degree, seed=B + 7 * degree)
    g = rr.swsph_scalar_map_grad(*p)
    assert_bitwise(g, np_scalar_map(*p, grad=True))
    assert_bitwise(g[:, 0], rr.swsph_scalar_map(*p))


@pytest.mark.parametrize("degree", [0, 1, 4, 7])
def test_gradient_finite_differences(degree):
    p = list(map_problem(6, 40, 60, degree, seed=degree))
    g = rr.swsph_scalar_map_grad(*p)
    th = p[0]
    h = 1e-6
    for c in range(3):
        hi, lo = th.copy(), th.copy()
        hi[:, c] += h
        lo[:, c] -= h
        fd = (rr.swsph_scalar_map(hi, *p[1:]) - rr.swsph_scalar_map(lo, *p[1:])) / (2 * h)
        np.testing.assert_allclose(g[:, 1 + c], fd, rtol=1e-6, atol=1e-6)


def test_gradient_at_a_training_point():
    # A mapped point on a training point: that point's direct term contributes nothing.
    p = list(map_problem(1, 0, 1, 2, seed=2))
    X, _, _ = mapped(p[0], *p[6:10])
    p[4] = X.copy()
    g = rr.swsph_scalar_map_grad(*p)
    assert_bitwise(g, np_scalar_map(*p, grad=True))


# ---------------------------------------------------------------- map errors

def bad_map(**changes):
    p = dict(zip(MAP_ARGS, map_problem(3, 4, 5, 2, seed=1)))
    p.update(changes)
    return [p[k] for k in MAP_ARGS]


MAP_ERRORS = [
    (dict(thetas=np.zeros((3, 2))), ValueError, "thetas must be (B, 3) with log q in col 0"),
    (dict(thetas=np.zeros(3)), ValueError, "thetas must be (B, 3) with log q in col 0"),
    (dict(thetas=np.zeros((3, 2)), degree=9), ValueError,
     "thetas must be (B, 3) with log q in col 0"),
    (dict(U=np.zeros((5, 2))), ValueError, "U must be (n_train, 3)"),
    (dict(U=np.zeros((5, 2)), degree=9), ValueError, "U must be (n_train, 3)"),
    (dict(degree=8), ValueError, "degree must be 0..7"),
    (dict(degree=-1), ValueError, "degree must be 0..7"),
    (dict(degree=8, trend=np.zeros(2)), ValueError, "degree must be 0..7"),
    (dict(trend=np.zeros(3)), ValueError, "trend/alpha do not match terms/U"),
    (dict(alpha=np.zeros(6)), ValueError, "trend/alpha do not match terms/U"),
    (dict(ls=np.ones(2)), ValueError, "ls must be (3,)"),
    (dict(terms=np.array(1, np.int32), trend=np.array(1.0)), IndexError,
     "invalid axis: 0 (ndim = 0)"),
    (dict(trend=np.array(1.0)), IndexError, "invalid axis: 0 (ndim = 0)"),
    (dict(alpha=np.array(1.0)), IndexError, "invalid axis: 0 (ndim = 0)"),
    (dict(ls=np.array(1.0)), IndexError, "invalid axis: 0 (ndim = 0)"),
    (dict(ls=np.array(1.0), alpha=np.zeros(6)), ValueError, "trend/alpha do not match terms/U"),
    # Input the kernels could otherwise read past the end of.
    (dict(terms=np.zeros((4, 2), np.int32)), ValueError, "terms must be (n_terms, 3)"),
    (dict(terms=np.zeros(4, np.int32)), ValueError, "terms must be (n_terms, 3)"),
    (dict(terms=np.full((4, 3), 3, np.int32)), ValueError, "terms entries must be in 0..degree"),
    (dict(terms=np.full((4, 3), -1, np.int32)), ValueError, "terms entries must be in 0..degree"),
    (dict(terms=np.array([[0, 0, 0]] * 3 + [[0, 0, 8]], np.int32), degree=7), ValueError,
     "terms entries must be in 0..degree"),
    (dict(trend=np.zeros((4, 0))), ValueError, "trend/alpha do not match terms/U"),
    (dict(alpha=np.zeros((5, 0))), ValueError, "trend/alpha do not match terms/U"),
    (dict(ls=np.zeros((3, 0))), ValueError, "ls must be (3,)"),
]


@pytest.mark.parametrize("fn", ["swsph_scalar_map", "swsph_scalar_map_grad",
                                "swsph_scalar_map_serial", "swsph_scalar_map_grad_serial"])
@pytest.mark.parametrize("changes,exc,msg", MAP_ERRORS)
def test_map_errors(fn, changes, exc, msg):
    with pytest.raises(exc) as info:
        getattr(rr, fn)(*bad_map(**changes))
    assert str(info.value) == msg


@pytest.mark.parametrize("fn", ["swsph_scalar_map", "swsph_scalar_map_grad"])
def test_map_degree_conversion(fn):
    with pytest.raises(TypeError):
        getattr(rr, fn)(*bad_map(degree=2.0))
    with pytest.raises(TypeError):
        getattr(rr, fn)(*bad_map(degree=2 ** 31))
    # A larger terms entry than degree is refused even when it would be a valid slot.
    with pytest.raises(ValueError):
        getattr(rr, fn)(*bad_map(terms=np.full((4, 3), 5, np.int32), degree=4))


# ---------------------------------------------------------------- rewind rates and mixing

def extras_problem(G, P, nblk, nlmax, B, seed=0):
    rng = np.random.default_rng(seed)
    chi_grid = np.sort(rng.uniform(-0.9, 0.99, G))
    wtab = rng.standard_normal((P, G))
    is_mode = (np.arange(P) % 3 != 1).astype(np.int32)
    ctab_re = rng.standard_normal((nblk, nlmax, nlmax, G))
    ctab_im = rng.standard_normal((nblk, nlmax, nlmax, G))
    kvalid = ((np.arange(nblk) % (nlmax + 2)) - 1).astype(np.int32)
    # Rows between nodes, on nodes, outside the grid, and a NaN spin.
    chi_f = rng.uniform(-1.0, 1.0, B)
    chi_f[: min(B, 2)] = chi_grid[[0, G - 1]][: min(B, 2)]
    if B > 4:
        chi_f[2], chi_f[3], chi_f[4] = chi_grid[G // 2], -2.0, 2.0
    if B > 5:
        chi_f[5] = np.nan
    M_f = rng.uniform(0.9, 1.0, B)
    return chi_grid, wtab, is_mode, ctab_re, ctab_im, kvalid, chi_f, M_f, 0.75


def np_extras(chi_grid, wtab, is_mode, ctab_re, ctab_im, kvalid, chi_f, M_f, s_rot):
    B, P = len(chi_f), wtab.shape[0]
    nblk, nlmax = ctab_re.shape[:2]
    rates = np.zeros((B, P))
    for p in range(P):
        if is_mode[p]:
            with np.errstate(divide="ignore", invalid="ignore"):
                rates[:, p] = (np.interp(chi_f, chi_grid, wtab[p]) * s_rot) / M_f
    mix = np.zeros((B, nblk, nlmax, nlmax), np.complex128)
    for k in range(nblk):
        kv = min(max(int(kvalid[k]), 0), nlmax)
        for i in range(kv):
            for j in range(kv):
                mix[:, k, i, j].real = np.interp(chi_f, chi_grid, ctab_re[k, i, j])
                mix[:, k, i, j].imag = np.interp(chi_f, chi_grid, ctab_im[k, i, j])
    return rates, mix


@pytest.mark.parametrize("G", [2, 3, 4, 5, 10, 11, 12, 40])
def test_extras_match_np_interp(G):
    e = extras_problem(G, 5, 4, 3, 64, seed=G)
    rates, mix = rr.swsph_extras64(*e)
    ref_rates, ref_mix = np_extras(*e)
    assert rates.dtype == np.float64 and mix.dtype == np.complex128
    assert_bitwise(rates, ref_rates)
    assert_bitwise(mix, ref_mix)


def test_extras_every_interval_and_node():
    # Spins on every node, at every midpoint, and just inside each node (the search windows).
    G = 23
    e = list(extras_problem(G, 2, 1, 2, 1, seed=1))
    g = e[0]
    mids = 0.5 * (g[1:] + g[:-1])
    e[6] = np.concatenate([g, mids, np.nextafter(g, -np.inf), np.nextafter(g, np.inf)])
    e[7] = np.ones(len(e[6]))
    e[5] = np.array([2], np.int32)
    rates, mix = rr.swsph_extras64(*e)
    ref_rates, ref_mix = np_extras(*e)
    assert_bitwise(rates, ref_rates)
    assert_bitwise(mix, ref_mix)
    assert_bitwise(rates[:G, 0], (e[1][0] * 0.75) / 1.0)


def test_extras_flags_padding_and_nan():
    e = list(extras_problem(7, 4, 4, 3, 8, seed=2))
    e[2] = np.array([0, 1, 0, 1], np.int32)
    e[5] = np.array([-3, 0, 2, 9], np.int32)
    e[6][0] = np.nan
    e[7][1] = 0.0
    rates, mix = rr.swsph_extras64(*e)
    for p in (0, 2):
        assert_bitwise(rates[:, p], np.zeros(8))
    assert np.isnan(rates[0, [1, 3]]).all()
    assert np.isinf(rates[1, [1, 3]]).all()
    assert_bitwise(mix[:, :2], np.zeros((8, 2, 3, 3), np.complex128))
    assert_bitwise(mix[:, 2, 2, :], np.zeros((8, 3), np.complex128))
    assert_bitwise(mix[:, 2, :, 2], np.zeros((8, 3), np.complex128))
    assert np.isnan(mix[0, 2, :2, :2].real).all() and np.isnan(mix[0, 2, :2, :2].imag).all()
    finite = [1, 2, 3, 4, 6, 7]  # rows 0 and 5 have a NaN spin
    assert np.isfinite(mix[finite, 3]).all() and np.isnan(mix[[0, 5], 3].real).all()
    ref_rates, ref_mix = np_extras(*e)
    assert_bitwise(rates, ref_rates)
    assert_bitwise(mix, ref_mix)


def test_extras32_is_extras64_rounded():
    e = extras_problem(30, 6, 3, 4, 50, seed=3)
    r64, m64 = rr.swsph_extras64(*e)
    r32, m32 = rr.swsph_extras32(*e)
    assert r32.dtype == np.float32 and m32.dtype == np.complex64
    assert_bitwise(r32, r64.astype(np.float32))
    assert_bitwise(m32.real, m64.real.astype(np.float32))
    assert_bitwise(m32.imag, m64.imag.astype(np.float32))


@pytest.mark.parametrize("shape", [(0, 3, 2, 2), (5, 0, 2, 2), (5, 3, 0, 2), (5, 3, 2, 0)])
@pytest.mark.parametrize("fn", ["swsph_extras64", "swsph_extras32_serial"])
def test_extras_empty(shape, fn):
    B, P, nblk, nlmax = shape
    rates, mix = getattr(rr, fn)(*extras_problem(6, P, nblk, nlmax, B))
    assert rates.shape == (B, P) and mix.shape == (B, nblk, nlmax, nlmax)


def bad_extras(**changes):
    names = ["chi_grid", "wtab", "is_mode", "ctab_re", "ctab_im", "kvalid", "chi_f", "M_f",
             "s_rot"]
    p = dict(zip(names, extras_problem(5, 3, 2, 2, 4)))
    p.update(changes)
    return [p[k] for k in names]


EXTRAS_ERRORS = [
    (dict(chi_grid=np.array(0.5)), IndexError, "invalid axis: 0 (ndim = 0)"),
    (dict(chi_grid=np.zeros(1)), ValueError, "chi grid needs >= 2 nodes"),
    (dict(chi_grid=np.zeros(1), wtab=np.zeros(3)), ValueError, "chi grid needs >= 2 nodes"),
    (dict(wtab=np.zeros((3, 4))), ValueError, "wtab must be (P, G)"),
    (dict(wtab=np.zeros(5)), ValueError, "wtab must be (P, G)"),
    (dict(ctab_re=np.zeros((2, 2, 2, 4))), ValueError, "ctab must be (nblk, nlmax, nlmax, G)"),
    (dict(ctab_re=np.zeros((2, 2, 5))), ValueError, "ctab must be (nblk, nlmax, nlmax, G)"),
    (dict(ctab_re=np.zeros((2, 2, 3, 5))), ValueError, "ctab_re and ctab_im must match"),
    (dict(ctab_im=np.zeros((3, 2, 2, 5))), ValueError, "ctab_re and ctab_im must match"),
    (dict(ctab_im=np.zeros((2, 3, 2, 5))), ValueError, "ctab_re and ctab_im must match"),
    (dict(ctab_im=np.zeros((2, 2, 3, 5))), ValueError, "ctab_re and ctab_im must match"),
    (dict(ctab_im=np.zeros((2, 2, 2, 4))), ValueError, "ctab_re and ctab_im must match"),
    (dict(ctab_im=np.zeros((2, 2, 2))), IndexError, "invalid axis: 3 (ndim = 3)"),
    (dict(ctab_im=np.zeros((3, 2))), ValueError, "ctab_re and ctab_im must match"),
    (dict(kvalid=np.array(1, np.int32)), IndexError, "invalid axis: 0 (ndim = 0)"),
    (dict(kvalid=np.zeros(3, np.int32)), ValueError, "kvalid must be (nblk,)"),
    (dict(chi_f=np.array(0.1)), IndexError, "invalid axis: 0 (ndim = 0)"),
    (dict(M_f=np.array(1.0)), IndexError, "invalid axis: 0 (ndim = 0)"),
    (dict(M_f=np.ones(5)), ValueError, "chi_f and M_f must have the same length"),
    # Input the kernels could otherwise read past the end of.
    (dict(is_mode=np.ones(2, np.int32)), ValueError, "is_mode must be (P,)"),
    (dict(is_mode=np.ones(4, np.int32)), ValueError, "is_mode must be (P,)"),
    (dict(is_mode=np.array(1, np.int32)), ValueError, "is_mode must be (P,)"),
    (dict(is_mode=np.ones((3, 0), np.int32)), ValueError, "is_mode must be (P,)"),
    (dict(chi_grid=np.zeros((5, 0))), ValueError, "chi_grid must be (G,)"),
    (dict(kvalid=np.zeros((2, 0), np.int32)), ValueError, "kvalid must be (nblk,)"),
    (dict(chi_f=np.zeros((4, 0)), M_f=np.ones(4)), ValueError, "chi_f must be (B,)"),
    (dict(M_f=np.zeros((4, 0))), ValueError, "M_f must be (B,)"),
    (dict(ctab_im=np.zeros((2, 2, 2, 5, 0))), ValueError, "ctab_re and ctab_im must match"),
    # Element counts beyond 32-bit indexing.
    (dict(chi_f=np.zeros(65536), M_f=np.ones(65536), wtab=np.zeros((32769, 5)),
          is_mode=np.ones(32769, np.int32)), ValueError,
     "rates size does not fit 32-bit indexing (2147549184)"),
    (dict(chi_f=np.zeros(65536), M_f=np.ones(65536), ctab_re=np.zeros((1, 256, 256, 5)),
          ctab_im=np.zeros((1, 256, 256, 5)), kvalid=np.zeros(1, np.int32)), ValueError,
     "mixing size does not fit 32-bit indexing (8589934592)"),
]


@pytest.mark.parametrize("fn", ["swsph_extras64", "swsph_extras32", "swsph_extras64_serial",
                                "swsph_extras32_serial"])
@pytest.mark.parametrize("changes,exc,msg", EXTRAS_ERRORS)
def test_extras_errors(fn, changes, exc, msg):
    with pytest.raises(exc) as info:
        getattr(rr, fn)(*bad_extras(**changes))
    assert str(info.value) == msg


def test_extras_extra_axes_read_first_values():
    e = list(bad_extras())
    f = list(e)
    f[0] = np.stack([e[0], e[0] + 5.0], axis=1)
    f[5] = np.stack([e[5], e[5] * 0 + 7], axis=1)
    f[6] = np.stack([e[6], e[6] + 1], axis=1)
    got = rr.swsph_extras64(*f)
    # Row-major first values: (G, 2) of the grid reads g0, g0 + 5, g1, ...
    f[0] = np.stack([e[0], e[0] + 5.0], axis=1).ravel()[:5]
    f[5] = f[5].ravel()[:2].copy()
    f[6] = f[6].ravel()[:4].copy()
    for a, b in zip(got, rr.swsph_extras64(*f)):
        assert_bitwise(a, b)


# ---------------------------------------------------------------- twins, staging, threads

def all_calls(seed=0):
    m = map_problem(37, 30, 150, 5, seed=seed)
    e = extras_problem(25, 7, 3, 4, 41, seed=seed)
    return {"swsph_scalar_map": m, "swsph_scalar_map_grad": m, "swsph_extras64": e,
            "swsph_extras32": e}


def flat(res):
    return res if isinstance(res, tuple) else (res,)


@pytest.mark.parametrize("name", sorted(UNIT))
def test_serial_twin_bitwise(name):
    args = all_calls(1)[name]
    for a, b in zip(flat(getattr(rr, name)(*args)), flat(getattr(rr, name + "_serial")(*args))):
        assert_bitwise(a, b)


@pytest.mark.parametrize("name", sorted(UNIT))
def test_misaligned_inputs(name):
    args = all_calls(2)[name]
    moved = [misaligned(a) if isinstance(a, np.ndarray) and a.size else a for a in args]
    assert any(isinstance(a, np.ndarray) and a.ctypes.data % a.dtype.itemsize for a in moved)
    for fn in (name, name + "_serial"):
        for a, b in zip(flat(getattr(rr, fn)(*moved)), flat(getattr(rr, name)(*args))):
            assert_bitwise(a, b)


def test_misaligned_terms_checked():
    p = list(bad_map())
    p[1] = misaligned(np.full((4, 3), 3, np.int32))
    with pytest.raises(ValueError, match="terms entries"):
        rr.swsph_scalar_map(*p)


def digest(seed):
    h = hashlib.sha256()
    for name, args in all_calls(seed).items():
        for a in flat(getattr(rr, name)(*args)):
            h.update(np.ascontiguousarray(a).tobytes())
    return h.hexdigest()


@pytest.mark.parametrize("name", sorted(UNIT))
def test_serial_twin_reuses_the_staging_slots(name):
    args = all_calls(5)[name]
    moved = [misaligned(a) if isinstance(a, np.ndarray) and a.size else a for a in args]
    rr.release_workspaces()
    getattr(rr, name)(*moved)
    held = rr.workspace_bytes()
    assert held > 0
    getattr(rr, name + "_serial")(*moved)
    getattr(rr, name)(*moved)
    assert rr.workspace_bytes() == held
