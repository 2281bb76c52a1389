"""NumPy re-computations of element-fit evaluation, written from the formulas.

Every floating-point operation is one NumPy ufunc call on float64 arrays in the
order of the evaluator's recurrences, and trigonometric values come from the
`math` module element by element, so these oracles agree with the compiled
float64 paths bit for bit.
"""
import math

import numpy as np
from numpy.polynomial import chebyshev


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


def mcos(a):
    return np.array([math.cos(v) for v in np.ravel(a)]).reshape(np.shape(a))


def msin(a):
    return np.array([math.sin(v) for v in np.ravel(a)]).reshape(np.shape(a))


def rotation(m, zr, zi):
    wr, wi = zr, zi
    for _ in range(abs(m) - 1):
        wr, wi = wr * zr - wi * zi, wr * zi + wi * zr
    return (wr, -wi) if m < 0 else (wr, wi)


def evaluate(breaks, emm, s, coefs, phi, rates=None):
    """Values (B, P, N) of Clenshaw sum x rotation x rate factor."""
    coefs = np.asarray(coefs)
    B, P, E, O = coefs.shape
    phi = np.asarray(phi, dtype=np.float64)
    rows = np.broadcast_to(phi, (B, phi.shape[-1])) if phi.ndim == 1 else phi
    out = np.empty((B, P, rows.shape[1]), dtype=np.complex128)
    for b in range(B):
        x = rows[b]
        e = find_element(breaks, x)
        u = local_coord(breaks, e, x)
        zr = mcos(np.float64(s) * x)
        zi = msin(np.float64(s) * x)
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
    the recurrences of the time-sample gradient block."""
    B, P, E, O = coefs.shape
    D = gcoefs.shape[1] // P
    N = phi.shape[1]
    vals = np.empty((B, P, N), np.complex128)
    grads = np.empty((B, D, P, N), np.complex128)

    def recur(c, u, w, h, deriv):
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

    for b in range(B):
        x = phi[b]
        e = find_element(breaks, x)
        h = (breaks[e + 1] - breaks[e]) * 0.5
        u = (x - breaks[e]) / h - 1.0
        w = u + u
        _, tp = recur(coefs[b, tau_piece][e].real, u, w, h, True)
        q = [(-recur(gcoefs[b, d * P + tau_piece][e].real, u, w, h, False)) / tp for d in range(D)]
        zr, zi = mcos(np.float64(s) * x), msin(np.float64(s) * x)
        for p in range(P):
            m = int(emm[p])
            rr, ri = (np.ones_like(x), np.zeros_like(x)) if m == 0 else rotation(m, zr, zi)
            mu = 0.0 if m == 0 else float(m) * s
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
