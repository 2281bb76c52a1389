"""blend_project, median_h2_batch and dc_grid_batch against plain vectorised NumPy.

The NumPy side re-computes the same steps with array operations.  The 4PN weights
and partials have no NumPy formulation here: both sides get them from the module
(the NumPy side through pn4_weights_batch / pn4_dmode_batch, one batched call each),
so the ratio measures the synthesis, median, blend and projection work around them.
"""
import numpy as np

import radiredide as rr
from harness import Bound, Case

PI = 3.141592653589793


# ---------------------------------------------------------------- blend_project

def blend_inputs(B=64, R=12, E=200, O=8, N=20000, K=4, C=8, seed=0):
    rng = np.random.default_rng(seed)
    breaks = np.linspace(-400.0, -5.0, E + 1)
    phi = np.linspace(breaks[0], breaks[-1], N)
    Craw = (rng.normal(size=(B, R, E, O)) + 1j * rng.normal(size=(B, R, E, O))) * 0.5 ** np.arange(O)
    Craw[:, 1] *= 1e-3
    Craw[:, 1, :, 0] += 0.055
    uc = np.cos(np.pi * (np.arange(C) + 0.5) / C)
    pts = (breaks[:-1, None] + (uc[None, :] + 1.0) * 0.5 * np.diff(breaks)[:, None]).ravel()
    i0 = np.clip(np.searchsorted(phi, pts, side="right") - 1, 0, N - 2).astype(np.int64)
    stw = (pts - phi[i0]) / (phi[i0 + 1] - phi[i0])
    p2s = np.ascontiguousarray(np.linalg.inv(np.polynomial.chebyshev.chebvander(uc, C - 1)))
    thetas = np.column_stack([rng.uniform(1, 4, B), rng.uniform(-0.5, 0.5, B), rng.uniform(-0.5, 0.5, B)])
    return dict(breaks=breaks, Craw=Craw, phi=phi, p_tau=0, p_xpc=1,
                dIdx=np.array([2, 4, 6, 8], np.int32)[:K], rIdx=np.array([3, -1, 7, 9], np.int32)[:K],
                wIdx=np.array([0, 1, 2, 3], np.int32)[:K], emm=np.array([2, 1, 3, 2], np.int32)[:K],
                thetas=thetas, vD=rng.uniform(0.5, 2, (B, K)), pvR=rng.uniform(0.01, 0.1, (B, K)),
                calR=rng.uniform(0.5, 3, K), i0=i0, stw=stw, p2s=p2s)


def np_clenshaw(Craw, r, e, u):
    O = Craw.shape[-1]
    t = u + u
    b1 = np.zeros((Craw.shape[0], len(u)), complex)
    b2 = np.zeros_like(b1)
    for k in range(O - 1, 0, -1):
        b1, b2 = (t * b1 + Craw[:, r, :, k][:, e]) - b2, b1
    return (b1 * u + Craw[:, r, :, 0][:, e]) - b2


def np_blend_project(a):
    breaks, phi, Craw = a["breaks"], a["phi"], a["Craw"]
    E = len(breaks) - 1
    e = np.clip(np.searchsorted(breaks[:E], phi, side="right") - 1, 0, E - 1)
    d = phi - breaks[e]
    u = 2 * d / (breaks[e + 1] - breaks[e]) - 1
    tau = np_clenshaw(Craw, a["p_tau"], e, u).real
    x = np.maximum(np_clenshaw(Craw, a["p_xpc"], e, u).real, 1e-8)
    W = rr.pn4_weights_batch(np.sqrt(x), a["thetas"])
    ph = np.exp(1j * (a["emm"] * PI * 0.5 - PI))
    K = len(a["dIdx"])
    blend = np.empty((Craw.shape[0], K, len(phi)), complex)
    for k in range(K):
        Wp = W[:, a["wIdx"][k]] * ph[k]
        D = np_clenshaw(Craw, a["dIdx"][k], e, u)
        if a["rIdx"][k] < 0:
            blend[:, k] = D * Wp
            continue
        P = np_clenshaw(Craw, a["rIdx"][k], e, u) * Wp
        med2 = np.median(np.hypot(Wp.real, Wp.imag), axis=-1) ** 2
        vR = np.where(med2 != 0, med2 * a["pvR"][:, k] * a["calR"][k], 1.0)[:, None]
        vD = a["vD"][:, k][:, None]
        blend[:, k] = np.where(med2[:, None] != 0, (D / vD + P / vR) / (1 / vR + 1 / vD), P)
    C = a["p2s"].shape[1]
    j = a["i0"].reshape(E, C)
    t = a["stw"].reshape(E, C)
    col = (1 - t) * blend[:, :, j] + t * blend[:, :, j + 1]
    coeffs = np.einsum("oc,bkec->bkeo", a["p2s"], col)
    return coeffs, tau


# ---------------------------------------------------------------- gradient side

def grad_inputs(B, N, K=4, npieces=4, seed=1):
    rng = np.random.default_rng(seed)
    thetas = np.column_stack([rng.uniform(1.2, 4, B), rng.uniform(-0.5, 0.5, B), rng.uniform(-0.5, 0.5, B)])
    base = np.sort(rng.uniform(0.2, 0.42, N))
    coef = np.array([0.04, 0.03, -0.02])
    v = np.ascontiguousarray(base[None, :] * (1 + thetas @ coef)[:, None])
    dv = np.ascontiguousarray(np.broadcast_to(base[None, None, :] * coef[None, :, None], (B, 3, N)))
    return thetas, v, dv


def np_median_h2(v, dv, thetas, pnIdx):
    h = rr.pn4_weights_batch(v, thetas)
    B, N = v.shape
    m = N // 2
    rows = np.arange(B)[:, None]
    med2 = np.zeros((B, len(pnIdx)))
    dmed2 = np.zeros((B, 3, len(pnIdx)))
    for k, s in enumerate(pnIdx):
        mag = np.hypot(h[:, s].real, h[:, s].imag)   # the C library's hypot, as the stage
        order = np.argsort(mag, axis=-1, kind="stable")
        pts = order[:, [m]] if N % 2 else order[:, [m - 1, m]]
        hp = h[:, s][rows, pts]
        dh = rr.pn4_dmode_batch(np.ascontiguousarray(v[rows, pts]), thetas)  # partials at the points
        a = np.hypot(hp.real, hp.imag)
        mean = a.mean(axis=-1)
        med2[:, k] = mean * mean
        for p in range(3):
            dhp = dh[:, 4 * s] * dv[:, p][rows, pts] + dh[:, 4 * s + 1 + p]
            term = (hp.real * dhp.real + hp.imag * dhp.imag) / np.maximum(a, 1e-300)
            dmed2[:, p, k] = term.mean(axis=-1) * 2 * mean
    return med2, dmed2


def np_dc_grid(a):
    h = rr.pn4_weights_batch(a["v"], a["thetas"])
    dh = rr.pn4_dmode_batch(a["v"], a["thetas"])
    ph = np.exp(1j * (a["emm"] * PI * 0.5 - PI))
    vals, dv = a["vals"], a["dv"]
    B, G, N = vals.shape
    K = len(a["dIdx"])
    out = np.empty((B, 3, K, N), complex)
    for k in range(K):
        s, d, r = a["pnIdx"][k], a["dIdx"][k], a["rIdx"][k]
        hk = h[:, s]
        dhk = dh[:, 4 * s][:, None] * dv + dh[:, 4 * s + 1:4 * s + 4]
        Dp = vals[:, d + 1:d + 4]
        if r < 0:
            out[:, :, k] = ph[k] * (Dp * hk[:, None] + vals[:, d][:, None] * dhk)
        else:
            w = a["W"][:, k][:, None, None]
            R0 = vals[:, r][:, None]
            Y = vals[:, r + 1:r + 4] * hk[:, None] + R0 * dhk
            M = vals[:, d][:, None] - ph[k] * R0 * hk[:, None]
            out[:, :, k] = w * Dp + (1 - w) * ph[k] * Y + M * a["dW"][:, :, k][:, :, None]
    return out


def dc_inputs(B=32, N=8000, K=4):
    rng = np.random.default_rng(4)
    thetas, v, dv = grad_inputs(B, N, K)
    G = 16
    vals = rng.normal(size=(B, G, N)) + 1j * rng.normal(size=(B, G, N))
    return dict(vals=vals, v=v, dv=dv, thetas=thetas,
                dIdx=np.array([0, 4, 8, 12], np.int32), rIdx=np.array([4, -1, 12, -1], np.int32),
                pnIdx=np.array([0, 1, 2, 3], np.int32), emm=np.array([2, 1, 3, 2], np.int32),
                W=rng.uniform(0.2, 0.8, (B, K)), dW=rng.normal(size=(B, 3, K)))


def cases():
    a = blend_inputs()
    B, R, E, O = a["Craw"].shape
    N, K, C = len(a["phi"]), len(a["dIdx"]), a["p2s"].shape[1]
    O2 = a["p2s"].shape[0]
    # Least work: the raw pieces and the grid in, tau and the coefficients out;
    # per sample one logarithm (4PN weights) and one square root (v = sqrt(x)).
    yield Case("blend_project", "B=64 R=12 E=200 O=8 N=20000 K=4 C=8",
               lambda: rr.blend_project(**a), lambda: np_blend_project(a), repeats=3,
               note="NumPy side gets its 4PN weights from pn4_weights_batch",
               bound=Bound(bytes=16 * B * R * E * O + 8 * N + 8 * B * N + 16 * B * K * E * O2
                           + 16 * E * C + 8 * O2 * C,
                           calls={"log": B * N, "sqrt": B * N}))
    thetas, v, dv = grad_inputs(64, 20000)
    pn = np.array([0, 1, 2, 3], np.int32)
    B, N = v.shape
    # v in, and dv only at the one or two median points of each row and mode;
    # one logarithm per sample for the amplitudes (the medians' own weights,
    # partials and amplitudes are a handful per row and mode).
    yield Case("median_h2_batch", "B=64 N=20000 K=4",
               lambda: rr.median_h2_batch(v, dv, thetas, pn),
               lambda: np_median_h2(v, dv, thetas, pn), repeats=3,
               note="NumPy side: pn4_weights_batch + pn4_dmode_batch",
               bound=Bound(bytes=8 * B * N + 48 * B * len(pn) + 32 * B * len(pn),
                           calls={"log": B * N}))
    d = dc_inputs()
    B, G, N = d["vals"].shape
    K = len(d["dIdx"])
    yield Case("dc_grid_batch", "B=32 G=16 N=8000 K=4",
               lambda: rr.dc_grid_batch(**d), lambda: np_dc_grid(d), repeats=3,
               note="NumPy side: pn4_weights_batch + pn4_dmode_batch",
               bound=Bound(bytes=16 * B * G * N + 32 * B * N + 48 * B * K * N,
                           calls={"log": B * N}))
