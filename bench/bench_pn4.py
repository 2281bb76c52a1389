"""4PN mode weights and their partials on batched v grids, against NumPy.

The NumPy side is a plain vectorised evaluation of the same series: per row a
coefficient for every (power of v, ln x) term of every slot, then one broadcast
multiply-add per term over the (B, N) grid.  Its per-row coefficients are
recovered from the module itself by a least-squares fit on the series' own
basis (outside the timed region, as the per-row stage 1 is negligible), so
the reference carries no second copy of the coefficient tables.
"""
from __future__ import annotations

import numpy as np

import radiredide as rr
from harness import Bound, Case

# Terms of each slot's bracket as (power of v, ln x flag), real and imaginary
# parts; the weight is eta v^2 N_j times the bracket, absorbed in the fit.
_ALL = [(p, 0) for p in range(9)]
TERMS = {
    0: ([(0, 0), (2, 0), (3, 0), (4, 0), (5, 0), (6, 0), (6, 1), (7, 0), (8, 0), (8, 1)],
        [(5, 0), (6, 0), (7, 0), (8, 0)]),
    1: ([(4, 0), (5, 0), (6, 0), (7, 0)],
        [(1, 0), (2, 0), (3, 0), (4, 0), (5, 0), (6, 0), (7, 0), (7, 1)]),
    2: ([(4, 0), (6, 0), (7, 0)], [(1, 0), (3, 0), (4, 0), (5, 0), (6, 0), (7, 0), (7, 1)]),
    3: ([(2, 0), (3, 0), (4, 0), (5, 0), (6, 0), (7, 0)], [(5, 0), (6, 0), (7, 0)]),
    4: ([(2, 0), (4, 0), (5, 0), (6, 0), (7, 0)], [(5, 0), (7, 0)]),
    5: ([(6, 0), (7, 0)], [(3, 0), (4, 0), (5, 0), (6, 0), (7, 0)]),
    6: ([(6, 0)], [(3, 0), (5, 0), (6, 0), (7, 0)]),
    7: ([(6, 0)], [(3, 0), (5, 0), (6, 0), (7, 0)]),
}


def _basis(v, p, lg, deriv=False):
    """v^(p+2) (ln x)^lg, or its v-derivative, with ln x = 2 ln v."""
    k = p + 2
    lnx = 2.0 * np.log(v)
    if not deriv:
        return v ** k * (lnx if lg else 1.0)
    d = k * v ** (k - 1)
    return d * lnx + 2.0 * v ** (k - 1) if lg else d


def _fit(values, v, terms, deriv=False):
    A = np.stack([_basis(v, p, lg, deriv) for p, lg in terms], axis=1)
    scale = np.abs(A).max(axis=0)
    c, *_ = np.linalg.lstsq(A / scale, values, rcond=None)
    return c / scale


def _row_coefficients(theta, partials):
    vfit = np.linspace(0.05, 0.6, 48)
    if not partials:
        w = rr.pn4_weights_grid(vfit, *theta)
        return [(_fit(w[j].real, vfit, TERMS[j][0]), _fit(w[j].imag, vfit, TERMS[j][1]))
                for j in range(8)]
    d = rr.pn4_dmode_batch(vfit[None, :], np.asarray(theta)[None, :])[0]
    return [(_fit(d[s].real, vfit, TERMS[s // 4][0], s % 4 == 0),
             _fit(d[s].imag, vfit, TERMS[s // 4][1], s % 4 == 0)) for s in range(32)]


def numpy_series(v, coeffs, slots):
    """Vectorised evaluation: out[b, s, n] = sum_t c[b, s, t] basis_t(v[b, n])."""
    B, N = v.shape
    lnx = 2.0 * np.log(v)
    pw = [np.ones_like(v), v]
    for _ in range(2, 11):
        pw.append(pw[-1] * v)
    cache = {}

    def basis(p, lg, deriv):
        key = (p, lg, deriv)
        if key not in cache:
            k = p + 2
            if not deriv:
                cache[key] = pw[k] * lnx if lg else pw[k]
            else:
                d = k * pw[k - 1]
                cache[key] = d * lnx + 2.0 * pw[k - 1] if lg else d
        return cache[key]

    out = np.empty((B, slots, N), dtype=np.complex128)
    for s in range(slots):
        j = s if slots == 8 else s // 4
        deriv = slots == 32 and s % 4 == 0
        for part, terms in enumerate(TERMS[j]):
            acc = np.zeros((B, N))
            for t, (p, lg) in enumerate(terms):
                acc += coeffs[s][part][:, t, None] * basis(p, lg, deriv)
            if part == 0:
                out[:, s, :].real = acc
            else:
                out[:, s, :].imag = acc
    return out


def _stack_coefficients(thetas, partials):
    rows = [_row_coefficients(th, partials) for th in thetas]
    slots = 32 if partials else 8
    return [tuple(np.stack([rows[b][s][part] for b in range(len(thetas))]) for part in (0, 1))
            for s in range(slots)]


def _problem(B, N, seed=0):
    rng = np.random.default_rng(seed)
    v = np.sort(rng.uniform(0.06, 0.45, size=(B, N)), axis=1)
    thetas = np.column_stack([rng.uniform(1.0, 8.0, B), rng.uniform(-0.9, 0.9, B),
                              rng.uniform(-0.9, 0.9, B)])
    return v, thetas


def cases():
    for B, N in ((256, 10_000), (16, 2_000)):
        v, th = _problem(B, N)
        cw = _stack_coefficients(th, partials=False)
        ref = numpy_series(v, cw, 8)
        np.testing.assert_allclose(ref, rr.pn4_weights_batch(v, th), rtol=1e-6, atol=1e-12)
        # Least work: v in, (B, 8, N) complex out; one logarithm per sample.
        yield Case("pn4_weights_batch", f"B={B} N={N}", lambda v=v, th=th: rr.pn4_weights_batch(v, th),
                   lambda v=v, cw=cw: numpy_series(v, cw, 8),
                   bound=Bound(bytes=(8 + 8 * 16) * B * N + 24 * B, calls={"log": B * N}))
        del ref
    for B, N in ((256, 10_000), (16, 2_000)):
        v, th = _problem(B, N)
        cd = _stack_coefficients(th, partials=True)
        if B * N <= 100_000:
            np.testing.assert_allclose(numpy_series(v, cd, 32), rr.pn4_dmode_batch(v, th),
                                       rtol=1e-6, atol=1e-10)
        yield Case("pn4_dmode_batch", f"B={B} N={N}", lambda v=v, th=th: rr.pn4_dmode_batch(v, th),
                   lambda v=v, cd=cd: numpy_series(v, cd, 32), repeats=3,
                   bound=Bound(bytes=(8 + 32 * 16) * B * N + 24 * B, calls={"log": B * N}))
