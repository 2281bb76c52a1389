"""NumPy re-computations of element-fit evaluation, written from the formulas.

Every floating-point operation is one NumPy ufunc call in the order of the
evaluator's recurrences, on arrays of the evaluator's own precision: float64
knots, samples and coefficients (complex128) follow the float64 evaluator,
float32 ones (complex64) the float32 evaluator, with Python scalars taking the
arrays' type.  Trigonometric values come element by element from `math` for
float64 and from the C library's cosf and sinf for float32, so these oracles
agree with the compiled paths bit for bit.
"""
import math

import numpy as np
from numpy.polynomial import chebyshev

from conftest import cosf, sinf


def find_element(breaks, x):
    """Largest e in [1, E-1] with breaks[e] <= x, else 0 (NaN -> 0)."""
    E = len(breaks) - 1
    x = np.asarray(x)
    e = np.searchsorted(breaks[1:E], x, side="right")
    return np.where(np.isnan(x), 0, e)


def local_coord(breaks, e, x):
    d = x - breaks[e]
    return (d + d) / (breaks[e + 1] - breaks[e]) - 1.0


def clenshaw(c, u):
    """c: (S, O) complex rows gathered per sample, u: (S,). Returns (re, im)."""
    O = c.shape[-1]
    t = u + u
    z = np.zeros_like(u)
    y1r, y1i, y2r, y2i = z, z, z, z
    for k in range(O - 1, 0, -1):
        yr = (t * y1r + c[:, k].real) - y2r
        yi = (t * y1i + c[:, k].imag) - y2i
        y2r, y2i, y1r, y1i = y1r, y1i, yr, yi
    return (u * y1r + c[:, 0].real) - y2r, (u * y1i + c[:, 0].imag) - y2i


def _elementwise(f64, f32, a):
    a = np.asarray(a)
    if a.dtype == np.float32:
        return np.array([f32(float(v)) for v in a.ravel()], np.float32).reshape(a.shape)
    return np.array([f64(v) for v in np.ravel(a)]).reshape(np.shape(a))


def mcos(a):
    return _elementwise(math.cos, cosf, a)


def msin(a):
    return _elementwise(math.sin, sinf, a)


def rotation(m, zr, zi):
    wr, wi = zr, zi
    for _ in range(abs(m) - 1):
        wr, wi = wr * zr - wi * zi, wr * zi + wi * zr
    return (wr, -wi) if m < 0 else (wr, wi)


def evaluate(breaks, emm, s, coefs, phi, rates=None):
    """Values (B, P, N) of Clenshaw sum x rotation x rate factor, in the precision of
    coefs (complex128 or complex64); knots, samples, s and rates are rounded to it."""
    coefs = np.asarray(coefs)
    B, P, E, O = coefs.shape
    T = coefs.real.dtype.type
    breaks = np.asarray(breaks, dtype=T)
    phi = np.asarray(phi, dtype=T)
    if rates is not None:
        rates = np.asarray(rates, dtype=T)
    rows = np.broadcast_to(phi, (B, phi.shape[-1])) if phi.ndim == 1 else phi
    out = np.empty((B, P, rows.shape[1]), dtype=coefs.dtype)
    for b in range(B):
        x = rows[b]
        e = find_element(breaks, x)
        u = local_coord(breaks, e, x)
        zr = mcos(T(s) * x)
        zi = msin(T(s) * x)
        for p in range(P):
            vr, vi = clenshaw(coefs[b, p][e], u)
            m = int(emm[p])
            if m != 0:
                rr, ri = rotation(m, zr, zi)
                vr, vi = vr * rr - vi * ri, vi * rr + vr * ri
            if rates is not None:
                a = rates[b, p] * x
                ca, sa = mcos(a), msin(a)
                vr, vi = vr * ca - vi * sa, vi * ca + vr * sa
            out[b, p].real = vr
            out[b, p].imag = vi
    return out


def time_map(breaks, coefs_row, x):
    """Real-part Clenshaw sum of one (E, O) coefficient row at phases x."""
    e = find_element(breaks, x)
    u = local_coord(breaks, e, x)
    return clenshaw(coefs_row[e], u)[0]


def clenshaw_deriv(c, u, w, h, deriv):
    """Real Clenshaw sum of rows c (S, O) at u (w = u + u) and, with deriv, its
    derivative in phase, the derivative recurrence stepping ahead of the value one."""
    O = c.shape[-1]
    z = np.zeros_like(u)
    b1, b2, d1, d2 = z, z, z, z
    for k in range(O - 1, 0, -1):
        if deriv:
            dn = ((b1 + b1) + d1 * w) - d2
        bn = ((b1 * w) + c[:, k]) - b2
        b2, b1 = b1, bn
        if deriv:
            d2, d1 = d1, dn
    v = ((u * b1) + c[:, 0]) - b2
    return (v, (((u * d1) + b1) - d2) / h) if deriv else v


def tau_newton(breaks, c, t, lo, hi, x0, solve):
    """Safeguarded Newton on the real coefficient rows c (E, O) for targets t inside
    the brackets (lo, hi) from the starts x0, at most 30 passes, every array (S,);
    only the samples where solve is set run.  Returns the phases and whether each
    run converged."""
    x = x0
    thr = (np.abs(x0) + 1) * (4 * np.finfo(x0.dtype).eps)
    active = solve.copy()
    for _ in range(30):
        if not active.any():
            break
        e = find_element(breaks, x)
        hw = (breaks[e + 1] - breaks[e]) * 0.5
        u = (x - breaks[e]) / hw - 1
        v, tp = clenshaw_deriv(c[e], u, u + u, hw, True)
        step = (v - t) / tp
        active &= ~(thr >= np.abs(step))
        below = v <= t
        lo, hi = np.where(active & below, x, lo), np.where(active & ~below, x, hi)
        xn = x - step
        xn = np.where((lo < xn) & (xn < hi), xn, (lo + hi) * 0.5)
        x = np.where(active, xn, x)
    return x, ~active


def invert_time_map(breaks, coefs_row, t, warm_start=0):
    """Phases and convergence flags of targets t (N,) on the time map Re coefs_row
    (E, O).  Targets at or beyond the map's end values are clamped to the fit's ends;
    the others are bracketed in one of 1024 cells by ten bisections and solved by
    Newton.  warm_start 0 starts every run at its cell's midpoint; otherwise each
    256-sample block is solved in order, starting at the secant through the two
    previous solutions of the block when it falls inside the cell (warm_start 1
    forgets them when the targets decrease).  Needs finite targets and a time map
    that does not decrease at the cell bounds, for which bisection finds the cell
    that the compiled solver's walk finds.  Precision: that of breaks."""
    T = breaks.dtype.type
    c = coefs_row.real
    t = np.asarray(t, dtype=T)
    t_lo, t_hi = time_map(breaks, coefs_row, breaks[[0, -1]])
    lo, hi = np.full(t.shape, breaks[0]), np.full(t.shape, breaks[-1])
    for _ in range(10):
        mid = (hi + lo) * 0.5
        up = t >= time_map(breaks, coefs_row, mid)
        lo, hi = np.where(up, mid, lo), np.where(up, hi, mid)
    clamped = (t <= t_lo) | (t >= t_hi)
    if warm_start == 0:
        x, ok = tau_newton(breaks, c, t, lo, hi, (lo + hi) * 0.5, ~clamped)
    else:
        # lane k of each step is block k; the last block is padded with clamped samples
        N = t.size
        pad = -N % 256
        tb, lob, hib = (np.concatenate([a, np.full(pad, f, T)]).reshape(-1, 256)
                        for a, f in ((t, t_lo), (lo, breaks[0]), (hi, breaks[-1])))
        clb = np.concatenate([clamped, np.ones(pad, bool)]).reshape(-1, 256)
        x, ok = np.empty_like(tb), np.empty(tb.shape, bool)
        z = np.zeros(tb.shape[0], T)
        prev, t1, p1, t2, p2, hist = z, z, z, z, z, np.zeros(tb.shape[0], int)
        for j in range(256):
            tj, lj, hj = tb[:, j], lob[:, j], hib[:, j]
            if warm_start == 1:
                hist = np.where(tj < prev, 0, hist)
            prev = tj
            with np.errstate(divide="ignore", invalid="ignore"):
                g = ((p1 - p2) * (tj - t1)) / (t1 - t2) + p1
            secant = (hist == 2) & ~(t1 == t2) & (lj < g) & (g < hj)
            solved = ~clb[:, j]
            x[:, j], ok[:, j] = tau_newton(breaks, c, tj, lj, hj, np.where(secant, g, (hj + lj) * 0.5),
                                           solved)
            t2, p2 = np.where(solved, t1, t2), np.where(solved, p1, p2)
            t1, p1 = np.where(solved, tj, t1), np.where(solved, x[:, j], p1)
            hist = np.where(solved, np.minimum(hist + 1, 2), hist)
        x, ok = x.ravel()[:N], ok.ravel()[:N]
    phase = np.where(t <= t_lo, breaks[0], np.where(t >= t_hi, breaks[-1], x))
    assert phase.dtype == T
    return phase, ok | clamped


def evaluate_time(breaks, emm, s, coefs, t, tau_piece, rates=None, out_lo=0, warm_start=0):
    """(values (B, P - out_lo, N), phases (B, N), number of unconverged samples) of
    the time evaluation, in the precision of coefs."""
    coefs = np.asarray(coefs)
    B = coefs.shape[0]
    T = coefs.real.dtype.type
    breaks = np.asarray(breaks, dtype=T)
    t = np.asarray(t, dtype=T)
    rows = np.broadcast_to(t, (B, t.shape[-1])) if t.ndim == 1 else t
    solved = [invert_time_map(breaks, coefs[b, tau_piece], rows[b], warm_start) for b in range(B)]
    phi = np.stack([p for p, _ in solved]).reshape(B, rows.shape[1])
    failures = sum(int((~ok).sum()) for _, ok in solved)
    values = evaluate(breaks, np.asarray(emm)[out_lo:], s, coefs[:, out_lo:], phi,
                      None if rates is None else np.asarray(rates)[:, out_lo:])
    return values, phi, failures


def mix(values, mixm, blocks):
    """Mixing pass written as matrix products over each block's pieces."""
    v = np.array(values, copy=True)
    for j in range(blocks.shape[0]):
        lst = []
        for k in range(blocks.shape[1]):
            if blocks[j, k] < 0:
                break
            lst.append(int(blocks[j, k]))
        if not lst:
            continue
        k = len(lst)
        old = v[:, lst, :]                                     # (B, k, N)
        new = np.einsum("blc,bcn->bln", mixm[:, j, :k, :k], old)
        for l, p in enumerate(lst):
            v[:, p, :] = new[:, l, :]
    return v


def cheb_rows(f, breaks, O):
    """Chebyshev coefficients (E, O) of f on every element of breaks."""
    E = len(breaks) - 1
    out = np.empty((E, O))
    for e in range(E):
        a, b = breaks[e], breaks[e + 1]
        out[e] = chebyshev.chebinterpolate(lambda u: f(a + (u + 1) * (b - a) / 2), O - 1)
    return out


def make_fit(B=3, P=4, E=12, O=6, D=2, seed=0, lo=0.0, hi=10.0):
    """A fit whose piece 0 real part is a smooth increasing time map per row."""
    rng = np.random.default_rng(seed)
    inner = np.sort(rng.uniform(lo, hi, E - 1))
    breaks = np.concatenate([[lo], inner, [hi]])
    scale = 0.5 ** np.arange(O)
    coefs = (rng.standard_normal((B, P, E, O)) + 1j * rng.standard_normal((B, P, E, O))) * scale
    for b in range(B):
        slope = 1.0 + 0.25 * b
        coefs[b, 0].real = cheb_rows(lambda x: slope * x + 0.3 * np.sin(x), breaks, O)
    gcoefs = 0.1 * (rng.standard_normal((B, D * P, E, O))
                    + 1j * rng.standard_normal((B, D * P, E, O))) * scale
    for b in range(B):
        for d in range(D):
            coefs_d = cheb_rows(lambda x: 0.05 * (d + 1) * np.cos(x + b), breaks, O)
            gcoefs[b, d * P].real = coefs_d
    return breaks, coefs, gcoefs


def time_grad_stage2(breaks, emm, s, coefs, gcoefs, tau_piece, phi):
    """Values (B, P, N) and gradients (B, D, P, N) at given phases, written from
    the recurrences of the time-sample gradient block, in the precision of coefs."""
    B, P, E, O = coefs.shape
    D = gcoefs.shape[1] // P
    N = phi.shape[1]
    T = coefs.real.dtype.type
    breaks, phi, s = np.asarray(breaks, T), np.asarray(phi, T), T(s)
    vals = np.empty((B, P, N), coefs.dtype)
    grads = np.empty((B, D, P, N), coefs.dtype)

    recur = clenshaw_deriv

    for b in range(B):
        x = phi[b]
        e = find_element(breaks, x)
        h = (breaks[e + 1] - breaks[e]) * 0.5
        u = (x - breaks[e]) / h - 1.0
        w = u + u
        _, tp = recur(coefs[b, tau_piece][e].real, u, w, h, True)
        q = [(-recur(gcoefs[b, d * P + tau_piece][e].real, u, w, h, False)) / tp for d in range(D)]
        zr, zi = mcos(s * x), msin(s * x)
        for p in range(P):
            m = int(emm[p])
            rr, ri = (np.ones_like(x), np.zeros_like(x)) if m == 0 else rotation(m, zr, zi)
            mu = T(0) if m == 0 else T(m) * s
            ce = coefs[b, p][e]
            vr, dvr = recur(ce.real, u, w, h, True)
            vi, dvi = recur(ce.imag, u, w, h, True)
            vals[b, p].real = (vr * rr) - (vi * ri)
            vals[b, p].imag = (vi * rr) + (vr * ri)
            ar, ai = dvr - mu * vi, mu * vr + dvi
            for d in range(D):
                g = gcoefs[b, d * P + p][e]
                hr = recur(g.real, u, w, h, False) + q[d] * ar
                hi = recur(g.imag, u, w, h, False) + q[d] * ai
                grads[b, d, p].real = (rr * hr) - (ri * hi)
                grads[b, d, p].imag = (rr * hi) + (ri * hr)
    return vals, grads
