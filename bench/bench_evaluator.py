"""Element-fit evaluators against plain vectorised NumPy.

Sizes: B = 64 rows, P = 8 pieces, E = 200 elements, O = 8 coefficients,
N = 20 000 samples per row (D = 2 gradient directions).  The NumPy side uses
searchsorted, gathers and the Clenshaw recurrence; the time-map inversion is a
vectorised bracketed Newton iteration over all rows and samples at once.
"""
import numpy as np
from numpy.polynomial import chebyshev

import radiredide as rr
from harness import Bound, Case

B, P, E, O, N, D = 64, 8, 200, 8, 20_000, 2
EMM = np.array([2, 0, 1, -1, 3, 2, 4, -2], np.int32)
S = 1.0


def cheb_matrix(order):
    """Maps values at the first-kind Chebyshev nodes to coefficients."""
    u = np.cos(np.pi * (np.arange(order) + 0.5) / order)
    return u, np.linalg.inv(chebyshev.chebvander(u, order - 1))


def build():
    rng = np.random.default_rng(0)
    breaks = np.concatenate([[0.0], np.sort(rng.uniform(0, 200, E - 1)), [200.0]])
    scale = 0.5 ** np.arange(O)
    coefs = (rng.standard_normal((B, P, E, O)) + 1j * rng.standard_normal((B, P, E, O))) * scale
    u, inv = cheb_matrix(O)
    a, b = breaks[:-1, None], breaks[1:, None]
    x = a + (u[None, :] + 1) * (b - a) / 2                       # (E, O) nodes
    slope = 1.0 + 0.5 * np.arange(B) / B
    tmap = slope[:, None, None] * x[None] + 0.3 * np.sin(x)[None]  # (B, E, O)
    coefs[:, 0].real = tmap @ inv.T
    gcoefs = 0.01 * (rng.standard_normal((B, D * P, E, O))
                     + 1j * rng.standard_normal((B, D * P, E, O))) * scale
    phi = np.sort(rng.uniform(0, 200, N))
    t = np.sort(rng.uniform(1, 199, N))
    return breaks, coefs, gcoefs, phi, t


def elements(breaks, x):
    return np.clip(np.searchsorted(breaks, x, side="right") - 1, 0, len(breaks) - 2)


def np_values(breaks, emm, coefs, phi, rows_phi=False):
    """(B, P, N) values; phi is (N,) or, with rows_phi, (B, N)."""
    Bn, Pn, En, On = coefs.shape
    out = np.empty((Bn, Pn, phi.shape[-1]), np.complex128)
    rotate = bool(np.any(emm))  # all m = 0: no rotation at all
    shared_rot = np.exp(1j * S * np.outer(emm, phi)) if rotate and not rows_phi else None
    for b in range(Bn):
        x = phi[b] if rows_phi else phi
        e = elements(breaks, x)
        u = 2 * (x - breaks[e]) / (breaks[e + 1] - breaks[e]) - 1
        t = 2 * u
        cb = coefs[b]
        y1 = np.zeros((Pn, x.size), np.complex128)
        y2 = np.zeros_like(y1)
        for k in range(On - 1, 0, -1):
            y1, y2 = t * y1 - y2 + cb[:, e, k], y1
        val = u * y1 - y2 + cb[:, e, 0]
        if not rotate:
            out[b] = val
            continue
        rot = shared_rot if shared_rot is not None else np.exp(1j * S * np.outer(emm, x))
        out[b] = val * rot
    return out


def np_time_map(breaks, a, x):
    """a: (B, E, O) real time-map coefficients, x: (B, M) phases -> t, dt/dphi."""
    e = elements(breaks, x)
    hw = (breaks[e + 1] - breaks[e]) * 0.5
    u = (x - breaks[e]) / hw - 1
    rows = np.arange(a.shape[0])[:, None]
    s1 = np.zeros_like(x)
    s2 = np.zeros_like(x)
    d1 = np.zeros_like(x)
    d2 = np.zeros_like(x)
    for k in range(a.shape[2] - 1, 0, -1):
        ck = a[rows, e, k]
        d1, d2 = 2 * u * d1 + 2 * s1 - d2, d1
        s1, s2 = 2 * u * s1 + ck - s2, s1
    return u * s1 + a[rows, e, 0] - s2, (u * d1 + s1 - d2) / hw


def np_invert(breaks, coefs, t):
    """Vectorised bracketed Newton: a 1024-cell table, then up to 30 passes."""
    a = np.ascontiguousarray(coefs[:, 0].real)
    Bn = a.shape[0]
    grid = np.linspace(breaks[0], breaks[-1], 1025)
    tg, _ = np_time_map(breaks, a, np.broadcast_to(grid, (Bn, grid.size)).copy())
    cell = np.stack([np.clip(np.searchsorted(tg[b], t, side="right") - 1, 0, 1023)
                     for b in range(Bn)])
    lo, hi = grid[cell], grid[cell + 1]
    x = 0.5 * (lo + hi)
    target = np.broadcast_to(t, x.shape)
    thr = (np.abs(x) + 1) * 4 * np.finfo(np.float64).eps
    active = np.ones(x.shape, bool)
    for _ in range(30):
        v, tp = np_time_map(breaks, a, x)
        step = (v - target) / tp
        active &= ~(np.abs(step) <= thr)
        if not active.any():
            break
        below = v <= target
        lo = np.where(active & below, x, lo)
        hi = np.where(active & ~below, x, hi)
        xn = x - step
        bad = ~((lo < xn) & (xn < hi))
        xn = np.where(bad, 0.5 * (lo + hi), xn)
        x = np.where(active, xn, x)
    return x


def np_time_grad(breaks, coefs, gcoefs, t):
    phi = np_invert(breaks, coefs, t)
    Bn, Pn, En, On = coefs.shape
    Dn = gcoefs.shape[1] // Pn
    vals = np.empty((Bn, Pn, t.size), np.complex128)
    grads = np.empty((Bn, Dn, Pn, t.size), np.complex128)
    mu = (EMM * S)[:, None]
    for b in range(Bn):
        x = phi[b]
        e = elements(breaks, x)
        h = (breaks[e + 1] - breaks[e]) * 0.5
        u = (x - breaks[e]) / h - 1

        def clen(c):                              # c: (R, E, O) -> value, d/dphi  (R, N)
            s1 = np.zeros((c.shape[0], x.size), c.dtype)
            s2 = np.zeros_like(s1)
            d1 = np.zeros_like(s1)
            d2 = np.zeros_like(s1)
            for k in range(On - 1, 0, -1):
                ck = c[:, e, k]
                d1, d2 = 2 * s1 + 2 * u * d1 - d2, d1
                s1, s2 = 2 * u * s1 + ck - s2, s1
            return u * s1 + c[:, e, 0] - s2, (u * d1 + s1 - d2) / h

        V, dV = clen(coefs[b])
        G, dG = clen(gcoefs[b])
        tprime = dV[0].real
        rot = np.exp(1j * S * np.outer(EMM, x))
        vals[b] = V * rot
        A = dV + 1j * mu * V
        for d in range(Dn):
            q = -G[d * Pn].real / tprime
            grads[b, d] = rot * (G[d * Pn:(d + 1) * Pn] + q * A)
    return vals, grads, phi


def cases():
    breaks, coefs, gcoefs, phi, t = build()
    sizes = f"B={B} P={P} E={E} O={O} N={N}"
    zero = np.zeros(P, np.int32)
    c16 = np.dtype(np.complex128).itemsize
    vals = B * P * N * c16          # the (B, P, N) values written
    grads = B * D * P * N * c16

    # evaluate_batch copies the coefficient tensor into its temporary evaluator
    # (read + write) before the kernel reads it; no trigonometry (every m is 0).
    yield Case("evaluate_batch", sizes,
               lambda: rr.evaluate_batch(breaks, coefs, phi),
               lambda: np_values(breaks, zero, coefs, phi), repeats=3,
               bound=Bound(bytes=3 * coefs.nbytes + phi.nbytes + vals))

    ev = rr.BatchEvaluator64(breaks, EMM, S)
    ev.set_coefficients(coefs)
    ev.set_gradient_coefficients(gcoefs)
    # Shared phases: one (cos, sin) pair per sample serves every row.
    yield Case("BatchEvaluator64.evaluate", sizes,
               lambda: ev.evaluate(phi),
               lambda: np_values(breaks, EMM, coefs, phi), repeats=3,
               bound=Bound(bytes=coefs.nbytes + phi.nbytes + vals, calls={"sincos": N}))

    def np_time():
        x = np_invert(breaks, coefs, t)
        return np_values(breaks, EMM, coefs, x, rows_phi=True), x

    # Inverted phases differ per row: one (cos, sin) pair per row and sample.
    yield Case("BatchEvaluator64.evaluate_time", sizes,
               lambda: ev.evaluate_time(t, 0), np_time, repeats=3,
               bound=Bound(bytes=coefs.nbytes + t.nbytes + vals + B * N * 8,
                           calls={"sincos": B * N}))
    yield Case("  time inversion only (phases)", sizes,
               lambda: ev.evaluate_time(t, 0, True, P), lambda: np_invert(breaks, coefs, t),
               repeats=3, note="out_lo=P",
               bound=Bound(bytes=coefs.nbytes // P + t.nbytes + B * N * 8))
    yield Case("BatchEvaluator64.evaluate_time_grad", sizes + f" D={D}",
               lambda: ev.evaluate_time_grad(t, 0),
               lambda: np_time_grad(breaks, coefs, gcoefs, t), repeats=3,
               bound=Bound(bytes=coefs.nbytes + gcoefs.nbytes + t.nbytes + vals + grads + B * N * 8,
                           calls={"sincos": B * N}))
