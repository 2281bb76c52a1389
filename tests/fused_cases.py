"""Inputs and NumPy re-computations for blend_project, median_h2_batch and dc_grid_batch.

The oracles follow the stated operation order element by element, so that
where the module promises an order they agree bit for bit.  The 4PN weights
and partials come from the module's own pn4_weights_batch / pn4_dmode_batch,
which evaluate the same two-stage closed forms per sample.
"""
import math

import numpy as np

PI = 3.141592653589793


def phase_factors(emm):
    a = [((float(m) * PI) * 0.5) - PI for m in np.asarray(emm)]
    return (np.array([math.cos(x) for x in a]), np.array([math.sin(x) for x in a]))


# ---------------------------------------------------------------- blend_project

def chebyshev_stencil(breaks, phi, C):
    """Chebyshev collocation points per element, their two-sample stencil, and the
    projection matrix that inverts T_o(u_c) (O2 = C)."""
    E = len(breaks) - 1
    uc = np.cos(np.pi * (np.arange(C) + 0.5) / C)
    pts = breaks[:-1, None] + (uc[None, :] + 1.0) * 0.5 * np.diff(breaks)[:, None]
    pts = pts.ravel()
    i0 = np.clip(np.searchsorted(phi, pts, side="right") - 1, 0, len(phi) - 2).astype(np.int64)
    stw = (pts - phi[i0]) / (phi[i0 + 1] - phi[i0])
    T = np.polynomial.chebyshev.chebvander(uc, C - 1)  # (C, O2)
    p2s = np.ascontiguousarray(np.linalg.inv(T))      # (O2, C)
    return i0, stw, p2s, uc


def make_blend_case(B=3, R=5, E=6, O=7, N=121, K=4, C=8, seed=0, q=None):
    rng = np.random.default_rng(seed)
    breaks = np.linspace(-30.0, -5.0, E + 1)
    breaks[1:-1] += rng.uniform(-0.3, 0.3, E - 1)
    phi = np.linspace(breaks[0], breaks[-1], N)
    scale = 0.5 ** np.arange(O)
    Craw = (rng.normal(size=(B, R, E, O)) + 1j * rng.normal(size=(B, R, E, O))) * scale
    Craw[:, 1] *= 1e-3                                  # piece 1: x(phi), kept in (0.04, 0.07)
    Craw[:, 1, :, 0] += 0.055 + 0.01 * rng.uniform(-1, 1, size=(B, E))
    dIdx = np.array([2, 3, 4, 2, 3, 4, 2, 3][:K], np.int32)
    rIdx = np.array([3, -1, 2, 4, -1, 3, -2, 4][:K], np.int32)
    wIdx = np.array([0, 1, 2, 6, 3, 4, 5, 7][:K], np.int32)
    emm = np.array([2, 1, 3, 5, 2, 4, 3, 5][:K], np.int32)
    thetas = np.column_stack([rng.uniform(1.0, 4.0, B) if q is None else np.full(B, q),
                              rng.uniform(-0.6, 0.6, B), rng.uniform(-0.6, 0.6, B)])
    vD = rng.uniform(0.5, 2.0, (B, K))
    pvR = rng.uniform(0.01, 0.1, (B, K))
    calR = rng.uniform(0.5, 3.0, K)
    i0, stw, p2s, _ = chebyshev_stencil(breaks, phi, C)
    return dict(breaks=breaks, Craw=Craw, phi=phi, p_tau=0, p_xpc=1, dIdx=dIdx, rIdx=rIdx,
                wIdx=wIdx, emm=emm, thetas=thetas, vD=vD, pvR=pvR, calR=calR, i0=i0, stw=stw,
                p2s=p2s)


def elements(breaks, phi):
    E = len(breaks) - 1
    e = np.clip(np.searchsorted(breaks[:E], phi, side="right") - 1, 0, E - 1)
    e[np.isnan(phi)] = 0
    d = phi - breaks[e]
    u = (d + d) / (breaks[e + 1] - breaks[e]) - 1
    return e, u


def clenshaw(c, u):
    """Real Clenshaw sum over the last axis of c at u, in the stage's order."""
    t = u + u
    b1 = np.zeros(np.broadcast(c[..., 0], u).shape)
    b2 = np.zeros_like(b1)
    for k in range(c.shape[-1] - 1, 0, -1):
        b = ((t * b1) + c[..., k]) - b2
        b2, b1 = b1, b
    return ((b1 * u) + c[..., 0]) - b2


def piece_values(Craw, r, e, u):
    """(B, N) complex values of piece r (per row) at the samples."""
    c = Craw[:, r][:, e, :]                        # (B, N, O)
    return clenshaw(c.real, u) + 1j * clenshaw(c.imag, u)


def cmul(ar, ai, br, bi):
    return (ar * br) - (ai * bi), (ar * bi) + (ai * br)


def median_lohi(mag):
    """Median over the last axis: middle value, or (lo + hi) * 0.5."""
    s = np.sort(mag, axis=-1)
    N = mag.shape[-1]
    m = N // 2
    if N % 2:
        return s[..., m]
    return (s[..., m - 1] + s[..., m]) * 0.5


def blend_oracle(rr, case):
    c = case
    Craw, breaks, phi = c["Craw"], c["breaks"], c["phi"]
    B, R, E, O = Craw.shape
    K = len(c["dIdx"])
    e, u = elements(breaks, phi)
    tau = clenshaw(Craw[:, c["p_tau"]][:, e, :].real, u)
    x = clenshaw(Craw[:, c["p_xpc"]][:, e, :].real, u)
    x = np.where(x < 1e-8, 1e-8, x)
    v = np.sqrt(x)
    W = rr.pn4_weights_batch(np.ascontiguousarray(v), c["thetas"])  # (B, 8, N)
    phr, phi_ = phase_factors(c["emm"])
    N = len(phi)
    blend = np.zeros((B, K, N), complex)
    med2 = np.zeros((B, K))
    vR = np.ones((B, K))
    for k in range(K):
        s = c["wIdx"][k]
        wpr, wpi = cmul(W[:, s].real, W[:, s].imag, phr[k], phi_[k])
        if c["rIdx"][k] < 0:
            D = piece_values(Craw, c["dIdx"][k], e, u)
            vr_, vi_ = cmul(D.real, D.imag, wpr, wpi)
            blend[:, k] = vr_ + 1j * vi_
            continue
        med = median_lohi(np.hypot(wpr, wpi))
        m2 = med * med
        med2[:, k] = m2
        vR[:, k] = np.where(m2 != 0.0, (m2 * c["pvR"][:, k]) * c["calR"][k], 1.0)
        Rv = piece_values(Craw, c["rIdx"][k], e, u)
        pr, pi = cmul(Rv.real, Rv.imag, wpr, wpi)
        D = piece_values(Craw, c["dIdx"][k], e, u)
        vd = c["vD"][:, k][:, None]
        vr = vR[:, k][:, None]
        den = (1.0 / vr) + (1.0 / vd)
        br = ((D.real / vd) + (pr / vr)) / den
        bi = ((D.imag / vd) + (pi / vr)) / den
        zero = (m2 == 0.0)[:, None]
        blend[:, k] = np.where(zero, pr, br) + 1j * np.where(zero, pi, bi)
    i0, stw, p2s = c["i0"], c["stw"], c["p2s"]
    Cn = p2s.shape[1]
    j = i0.reshape(E, Cn)
    t = stw.reshape(E, Cn)
    omt = 1.0 - t
    colr = (omt * blend.real[:, :, j]) + (t * blend.real[:, :, j + 1])   # (B, K, E, C)
    coli = (omt * blend.imag[:, :, j]) + (t * blend.imag[:, :, j + 1])
    O2 = p2s.shape[0]
    cr = np.zeros((B, K, E, O2))
    ci = np.zeros((B, K, E, O2))
    for o in range(O2):
        ar = np.zeros((B, K, E))
        ai = np.zeros((B, K, E))
        for cc in range(Cn):
            ar = ar + (p2s[o, cc] * colr[..., cc])
            ai = ai + (p2s[o, cc] * coli[..., cc])
        cr[..., o] = ar
        ci[..., o] = ai
    return dict(coeffs=cr + 1j * ci, tau=tau, blend=blend, med2=med2, vR=vR, W=W, v=v)


# ---------------------------------------------------------------- gradient side

V_COEF = np.array([0.04, 0.03, -0.02])


def v_of(base, thetas):
    """A grid of v that moves with the parameters, and its exact dv/dtheta."""
    f = 1.0 + thetas @ V_COEF                              # (B,)
    v = base * f[:, None]
    dv = base[None, None, :] * V_COEF[None, :, None] * np.ones((len(thetas), 1, 1))
    return np.ascontiguousarray(v), np.ascontiguousarray(dv)


def make_thetas(B, seed=1):
    rng = np.random.default_rng(seed)
    return np.column_stack([rng.uniform(1.2, 4.0, B), rng.uniform(-0.5, 0.5, B),
                            rng.uniform(-0.5, 0.5, B)])


def median_oracle(rr, v, dv, thetas, pnIdx):
    """med2 and dmed2 from the stable ascending order of |h_s| (NaN last, ties by index)."""
    B, N = v.shape
    K = len(pnIdx)
    h = rr.pn4_weights_batch(v, thetas)
    dh = rr.pn4_dmode_batch(v, thetas)
    med2 = np.zeros((B, K))
    dmed2 = np.zeros((B, 3, K))
    m = N // 2
    for b in range(B):
        for k, s in enumerate(pnIdx):
            if s < 0:
                continue
            mag = np.hypot(h[b, s].real, h[b, s].imag)
            order = np.argsort(mag, kind="stable")
            pts = [order[m]] if N % 2 else [order[m - 1], order[m]]
            total = 0.0
            acc = [0.0, 0.0, 0.0]
            for n in pts:
                hr, hi = h[b, s, n].real, h[b, s, n].imag
                a = float(np.hypot(hr, hi))
                total = total + a
                den = a if a > 1e-300 else 1e-300
                for p in range(3):
                    d = dh[b, 4 * s + 1 + p, n]
                    hv = dh[b, 4 * s, n]
                    dhr = (hv.real * dv[b, p, n]) + d.real
                    dhi = (hv.imag * dv[b, p, n]) + d.imag
                    acc[p] = (((hr * dhr) + (hi * dhi)) / den) + acc[p]
            cnt = float(len(pts))
            mean = total / cnt
            med2[b, k] = mean * mean
            for p in range(3):
                dmed2[b, p, k] = (acc[p] / cnt) * (mean + mean)
    return med2, dmed2


def dc_oracle(rr, vals, v, dv, thetas, dIdx, rIdx, pnIdx, emm, W, dW):
    B, G, N = vals.shape
    K = len(dIdx)
    h = rr.pn4_weights_batch(v, thetas)
    dh = rr.pn4_dmode_batch(v, thetas)
    phr, phi = phase_factors(emm)
    out = np.zeros((B, 3, K, N), complex)
    for k in range(K):
        s, d, r = pnIdx[k], dIdx[k], rIdx[k]
        hr, hi = h[:, s].real, h[:, s].imag
        hvr, hvi = dh[:, 4 * s].real, dh[:, 4 * s].imag
        D0 = vals[:, d]
        for p in range(3):
            dhr = (hvr * dv[:, p]) + dh[:, 4 * s + 1 + p].real
            dhi = (hvi * dv[:, p]) + dh[:, 4 * s + 1 + p].imag
            Dp = vals[:, d + 1 + p]
            if r < 0:
                a_r, a_i = cmul(Dp.real, Dp.imag, hr, hi)
                b_r, b_i = cmul(D0.real, D0.imag, dhr, dhi)
                xr, xi = a_r + b_r, a_i + b_i
                o_r, o_i = cmul(xr, xi, phr[k], phi[k])
            else:
                R0, Rp = vals[:, r], vals[:, r + 1 + p]
                w = W[:, k][:, None]
                zr, zi = cmul(R0.real, R0.imag, hr, hi)
                zpr, zpi = cmul(zr, zi, phr[k], phi[k])
                mr, mi = D0.real - zpr, D0.imag - zpi
                omw = 1.0 - w
                a_r, a_i = cmul(Rp.real, Rp.imag, hr, hi)
                b_r, b_i = cmul(R0.real, R0.imag, dhr, dhi)
                yr, yi = a_r + b_r, a_i + b_i
                ypr, ypi = cmul(yr, yi, phr[k], phi[k])
                dWp = dW[:, p, k][:, None]
                o_r = ((w * Dp.real) + (ypr * omw)) + (mr * dWp)
                o_i = ((w * Dp.imag) + (ypi * omw)) + (mi * dWp)
            out[:, p, k] = o_r + 1j * o_i
    return out
