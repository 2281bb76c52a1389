"""Spheroidal scalar map, its gradient, and the rewind rates / mixing tensors."""
import itertools

import numpy as np

import radiredide as rr
from harness import Bound, Case


def map_problem(B=1024, n_train=300, degree=4, seed=0):
    rng = np.random.default_rng(seed)
    thetas = np.stack([rng.uniform(0.0, np.log(8.0), B), rng.uniform(-0.8, 0.8, B),
                       rng.uniform(-0.8, 0.8, B)], axis=1)
    # Every term of total degree <= degree (35 terms at degree 4).
    terms = np.array([t for t in itertools.product(range(degree + 1), repeat=3)
                      if sum(t) <= degree], np.int32)
    trend = rng.standard_normal(len(terms))
    alpha = rng.standard_normal(n_train)
    U = rng.uniform(-1.0, 1.0, (n_train, 3))
    ls = np.array([0.6, 0.8, 1.1])
    return thetas, terms, trend, alpha, U, ls, np.log(8.0), -0.8, 0.8, 0.8, degree


def np_tables(X, degree):
    T = np.empty((3, degree + 1, X.shape[0]))
    D = np.zeros((3, degree + 1, X.shape[0]))
    for a in range(3):
        x = X[:, a]
        T[a, 0] = 1.0
        if degree >= 1:
            T[a, 1] = x
        for k in range(2, degree + 1):
            T[a, k] = T[a, k - 1] * (x + x) - T[a, k - 2]
        if degree >= 1:
            V = np.empty((degree, X.shape[0]))
            V[0] = 1.0
            if degree >= 2:
                V[1] = x + x
            for k in range(2, degree):
                V[k] = V[k - 1] * (x + x) - V[k - 2]
            for k in range(1, degree + 1):
                D[a, k] = k * V[k - 1]
    return T, D


def np_mapped(thetas, L0, chi_lo, chi_hi, A0):
    w = chi_hi - chi_lo if chi_hi > chi_lo else 1.0
    X = np.empty((len(thetas), 3))
    X[:, 0] = thetas[:, 0] / L0
    X[:, 1] = ((thetas[:, 1] + thetas[:, 2]) * 0.5 - chi_lo) * 2.0 / w - 1.0
    X[:, 2] = (thetas[:, 1] - thetas[:, 2]) * 0.5 / A0
    Xm = X * np.array([-1.0, 1.0, -1.0])
    return X, Xm, w


def np_rbf(X, U, ls):
    d = (X[:, None, :] - U[None, :, :]) / ls
    s = 0.0 + d[..., 0] * d[..., 0] + d[..., 1] * d[..., 1] + d[..., 2] * d[..., 2]
    return np.exp(s * -0.5)


def np_scalar_map(thetas, terms, trend, alpha, U, ls, L0, chi_lo, chi_hi, A0, degree):
    X, Xm, _ = np_mapped(thetas, L0, chi_lo, chi_hi, A0)
    T, _ = np_tables(X, degree)
    tr = np.sum(T[0][terms[:, 0]] * T[1][terms[:, 1]] * T[2][terms[:, 2]] * trend[:, None], axis=0)
    k, km = np_rbf(X, U, ls), np_rbf(Xm, U, ls)
    return np.sum((k + km) * 0.5 * alpha, axis=1) + tr


def np_scalar_map_grad(thetas, terms, trend, alpha, U, ls, L0, chi_lo, chi_hi, A0, degree):
    X, Xm, w = np_mapped(thetas, L0, chi_lo, chi_hi, A0)
    T, D = np_tables(X, degree)
    t0, t1, t2 = T[0][terms[:, 0]], T[1][terms[:, 1]], T[2][terms[:, 2]]
    c = trend[:, None]
    tr = np.sum(t0 * t1 * t2 * c, axis=0)
    trd = [np.sum(D[0][terms[:, 0]] * t1 * t2 * c, axis=0),
           np.sum(t0 * D[1][terms[:, 1]] * t2 * c, axis=0),
           np.sum(t0 * t1 * D[2][terms[:, 2]] * c, axis=0)]
    k, km = np_rbf(X, U, ls), np_rbf(Xm, U, ls)
    y = np.sum((k + km) * 0.5 * alpha, axis=1) + tr
    sigma = (-1.0, 1.0, -1.0)
    g = []
    for p in range(3):
        lam = ls[p] * ls[p]
        u = U[None, :, p]
        term = ((u - Xm[:, p, None]) / lam * km * sigma[p] + (u - X[:, p, None]) / lam * k) * 0.5
        g.append(np.sum(term * alpha, axis=1) + trd[p])
    return np.stack([y, g[0] / L0, g[2] / A0 * 0.5 + g[1] / w, g[1] / w - g[2] / A0 * 0.5], axis=1)


def extras_problem(B=1024, G=101, P=16, nblk=4, nlmax=5, seed=0):
    rng = np.random.default_rng(seed)
    chi_grid = np.linspace(-0.95, 0.99, G)
    wtab = rng.standard_normal((P, G))
    is_mode = (np.arange(P) % 4 != 3).astype(np.int32)
    ctab_re = rng.standard_normal((nblk, nlmax, nlmax, G))
    ctab_im = rng.standard_normal((nblk, nlmax, nlmax, G))
    kvalid = np.array([5, 4, 3, 2][:nblk], np.int32)
    chi_f = rng.uniform(-0.9, 0.98, B)
    M_f = rng.uniform(0.9, 0.99, B)
    return chi_grid, wtab, is_mode, ctab_re, ctab_im, kvalid, chi_f, M_f, 0.75


def np_extras(chi_grid, wtab, is_mode, ctab_re, ctab_im, kvalid, chi_f, M_f, s_rot):
    """The NumPy body: one np.interp per rated piece and per valid mixing entry."""
    B, P = len(chi_f), wtab.shape[0]
    nblk, nlmax = ctab_re.shape[:2]
    rates = np.zeros((B, P))
    for p in range(P):
        if is_mode[p]:
            rates[:, p] = np.interp(chi_f, chi_grid, wtab[p]) * s_rot / M_f
    mix = np.zeros((B, nblk, nlmax, nlmax), np.complex128)
    for k in range(nblk):
        for i in range(kvalid[k]):
            for j in range(kvalid[k]):
                mix[:, k, i, j] = (np.interp(chi_f, chi_grid, ctab_re[k, i, j])
                                   + 1j * np.interp(chi_f, chi_grid, ctab_im[k, i, j]))
    return rates, mix


def map_bound(m, out_cols):
    """Both maps read the rows and the model and write out_cols values per row; their
    bits need two exponentials per row and training point (the gradient's four kernel
    sums share them)."""
    thetas, terms, trend, alpha, U = m[:5]
    B, n = len(thetas), len(alpha)
    nbytes = 8 * (thetas.size + trend.size + alpha.size + U.size + 3 + B * out_cols) + 4 * terms.size
    return Bound(bytes=nbytes, calls={"exp": 2 * B * n})


def extras_bound(e, item):
    """Tables and rows read once, rates and the padded mixing tensor written once."""
    chi_grid, wtab, is_mode, ctab_re, ctab_im, kvalid, chi_f, M_f = e[:8]
    B, P = len(chi_f), wtab.shape[0]
    nblk, nlmax = ctab_re.shape[:2]
    nbytes = 8 * (chi_grid.size + wtab.size + ctab_re.size + ctab_im.size + 2 * B) \
        + 4 * (is_mode.size + kvalid.size) + item * (B * P + 2 * B * nblk * nlmax * nlmax)
    return Bound(bytes=nbytes)


def cases():
    m = map_problem()
    sizes = "B=1024 n_train=300 degree=4 (35 terms)"
    yield Case("swsph_scalar_map", sizes, lambda: rr.swsph_scalar_map(*m),
               lambda: np_scalar_map(*m), bound=map_bound(m, 1))
    yield Case("swsph_scalar_map_grad", sizes, lambda: rr.swsph_scalar_map_grad(*m),
               lambda: np_scalar_map_grad(*m), bound=map_bound(m, 4))
    e = extras_problem()
    yield Case("swsph_extras64", "B=1024 G=101 P=16 nblk=4 nlmax=5 (150 interps)",
               lambda: rr.swsph_extras64(*e), lambda: np_extras(*e), bound=extras_bound(e, 8))
    yield Case("swsph_extras32", "B=1024 G=101 P=16 nblk=4 nlmax=5",
               lambda: rr.swsph_extras32(*e), None, bound=extras_bound(e, 4))
    s = extras_problem(B=64)
    yield Case("swsph_extras64", "B=64 G=101 P=16 nblk=4 nlmax=5",
               lambda: rr.swsph_extras64(*s), lambda: np_extras(*s), bound=extras_bound(s, 8))
