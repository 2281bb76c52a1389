"""Benchmarks of the synthesis unit: ragged hybrid synthesis, IMR assembly and
spin-weight -2 harmonic weights, each against a plain vectorised NumPy version."""
import math

import numpy as np

import radiredide as rr
from harness import Bound, Case


def numpy_hybrid_batch(t_knots, offsets, phi_coefs, coffsets, phi_knots, mode_coefs, m, phase_sign, t):
    """evaluate_hybrid_batch in NumPy: a loop over rows, vectorised over samples and modes."""
    B, J = t.shape
    K = mode_coefs.shape[0]
    out = np.empty((B, K, J), complex)
    for b in range(B):
        ks = slice(offsets[b], offsets[b + 1])
        cs = slice(coffsets[b], coffsets[b + 1])
        tk, pk, pc, mc = t_knots[ks], phi_knots[ks], phi_coefs[:, cs], mode_coefs[:, :, cs]
        nb = tk.size
        x = t[b]
        i = np.clip(np.searchsorted(tk, x, side="right") - 1, 0, nb - 2)
        d = x - tk[i]
        phi = ((pc[0, i] * d + pc[1, i]) * d + pc[2, i]) * d + pc[3, i]
        j = np.clip(np.searchsorted(pk, phi, side="right") - 1, 0, nb - 2)
        u = phi - pk[j]
        c = mc[:, :, j]
        v = ((c[:, 0] * u + c[:, 1]) * u + c[:, 2]) * u + c[:, 3]
        # z = exp(i s Phi) once per sample; z^m by repeated products, conjugated for m < 0.
        z = np.exp(1j * (phase_sign * phi))
        powers = [np.ones_like(z), z]
        for _ in range(2, int(np.abs(m).max(initial=0)) + 1):
            powers.append(powers[-1] * z)
        rot = np.stack([powers[mk] if mk >= 0 else powers[-mk].conj() for mk in m.tolist()])
        out[b] = v * rot
    return out


def _hybrid_batch_case(B=64, K=4, J=50_000, seed=0):
    rng = np.random.default_rng(seed)
    n = rng.integers(150, 400, B)
    rows_t, rows_p, rows_pc, rows_mc = [], [], [], []
    for nb in n:
        tk = np.sort(rng.uniform(0.0, 100.0, nb))
        tk[0], tk[-1] = 0.0, 100.0
        pc = 0.01 * rng.normal(size=(4, nb - 1))
        pc[2] += 2.0
        pc[3] = 2.0 * tk[:-1]
        rows_t.append(tk)
        rows_p.append(np.sort(rng.uniform(0.0, 200.0, nb)))
        rows_pc.append(pc)
        rows_mc.append(rng.normal(size=(K, 4, nb - 1)) + 1j * rng.normal(size=(K, 4, nb - 1)))
    offsets = np.concatenate([[0], np.cumsum(n)]).astype(np.int64)
    coffsets = np.concatenate([[0], np.cumsum(n - 1)]).astype(np.int64)
    t_knots = np.concatenate(rows_t)
    phi_knots = np.concatenate(rows_p)
    phi_c = np.concatenate(rows_pc, axis=1)
    mode_c = np.concatenate(rows_mc, axis=2)
    m = np.array([2, 1, -2, 3], np.int32)[:K]
    s = 1.0
    t = np.sort(rng.uniform(0.0, 100.0, (B, J)), axis=1)

    def module():
        return rr.evaluate_hybrid_batch(t_knots, offsets, phi_c, coffsets, phi_knots, mode_c, m,
                                        s, t)

    def numpy():
        return numpy_hybrid_batch(t_knots, offsets, phi_c, coffsets, phi_knots, mode_c, m, s, t)

    # One (cos, sin) pair per sample serves every mode; the (B, K, J) result is written once.
    bound = Bound(bytes=t.nbytes + B * K * J * 16 + t_knots.nbytes + phi_knots.nbytes
                  + phi_c.nbytes + mode_c.nbytes, calls={"sincos": B * J})
    return Case("evaluate_hybrid_batch", f"B={B} K={K} J={J}", module, numpy, repeats=3,
                bound=bound)


def numpy_assemble(h_insp, idx, h_mr, jdx, i0, t_geo, tau0, t_start, tau_end, mr_hi, b0, blend1, wp, wm):
    """assemble_imr64 in NumPy: masks, cosine blend and reflection mode sum, whole arrays."""
    B, _, N = h_insp.shape
    eps = 1e-9
    inside = ((t_geo >= (tau0 - eps)[:, None]) & (t_geo <= mr_hi + eps)
              & ~(t_geo < (t_start - eps)[:, None]))
    tt = np.minimum(np.maximum(t_geo[:, i0:], tau0[:, None]), mr_hi)
    e = np.minimum(blend1, tau_end)[:, None]
    u = np.clip((tt - b0) / (e - b0), 0.0, 1.0)
    w = (1.0 - np.cos(u * np.pi)) * 0.5
    wi = (1.0 - w) * (tau_end[:, None] >= tt)
    S = np.zeros((B, N), complex)
    head, tail = S[:, :i0], S[:, i0:]
    for k in range(len(idx)):
        h = h_insp[:, idx[k]]  # a view: only the blended tail is formed anew
        p, q = wp[:, k : k + 1], wm[:, k : k + 1]
        head += p * h[:, :i0] + q * h[:, :i0].conj()
        ht = w * h_mr[:, jdx[k]] + wi * h[:, i0:]
        tail += p * ht + q * ht.conj()
    S[~inside] = 0.0
    return S.real, -S.imag


def _assemble_case(B=64, K=8, N=100_000, tail=5_000, seed=1):
    rng = np.random.default_rng(seed)
    i0 = N - tail
    h_insp = rng.normal(size=(B, K, N)) + 1j * rng.normal(size=(B, K, N))
    h_mr = rng.normal(size=(B, K, tail)) + 1j * rng.normal(size=(B, K, tail))
    idx = np.arange(K, dtype=np.int32)
    jdx = np.arange(K, dtype=np.int32)[::-1].copy()
    t_geo = np.linspace(-1000.0, 110.0, N)[None, :].repeat(B, axis=0)
    tau0 = rng.uniform(-1000.0, -900.0, B)
    t_start = rng.uniform(-950.0, -800.0, B)
    tau_end = rng.uniform(50.0, 80.0, B)
    mr_hi, b0, blend1 = 100.0, t_geo[0, i0] + 5.0, 70.0
    wp = rng.normal(size=(B, K)) + 1j * rng.normal(size=(B, K))
    wm = rng.normal(size=(B, K)) + 1j * rng.normal(size=(B, K))

    def module():
        return rr.assemble_imr64(h_insp, idx, h_mr, jdx, i0, t_geo, tau0, t_start, tau_end, mr_hi,
                                 b0, blend1, wp, wm)

    def numpy():
        return numpy_assemble(h_insp, idx, h_mr, jdx, i0, t_geo, tau0, t_start, tau_end, mr_hi, b0,
                              blend1, wp, wm)

    # Every mode row is read once, hp and hc written once; one cos per blended sample
    # inside the mask.
    eps = 1e-9
    inside = ((t_geo >= (tau0 - eps)[:, None]) & (t_geo <= mr_hi + eps)
              & ~(t_geo < (t_start - eps)[:, None]))
    bound = Bound(bytes=h_insp.nbytes + h_mr.nbytes + t_geo.nbytes + 2 * B * N * 8,
                  calls={"cos": int(inside[:, i0:].sum())})
    return Case("assemble_imr64", f"B={B} K={K} N={N}", module, numpy, repeats=3, bound=bound)


def numpy_swsh(ells, emms, inclination, azimuth):
    """swsh_weights64 in NumPy: Goldberg's closed form, vectorised over directions."""
    f = math.factorial
    co, si = np.cos(0.5 * inclination), np.sin(0.5 * inclination)
    out = np.empty((len(inclination), len(ells)), complex)
    for k, (l, m) in enumerate(zip(ells.tolist(), emms.tolist())):
        norm = (-1) ** m * math.sqrt(f(l + m) * f(l - m) * (2 * l + 1)
                                     / (4 * math.pi * f(l - 2) * f(l + 2)))
        acc = np.zeros(len(inclination))
        for r in range(max(0, m + 2), min(l + 2, l + m) + 1):
            c = math.comb(l - 2, r - m - 2) * math.comb(l + 2, r) * norm * (-1) ** (l - r)
            acc += c * co ** (2 * r - m - 2) * si ** (2 * l + 2 + m - 2 * r)
        out[:, k] = acc * np.exp(1j * m * azimuth)
    return out


def _swsh_case(B=10_000, lmax=4, seed=2):
    rng = np.random.default_rng(seed)
    modes = [(l, m) for l in range(2, lmax + 1) for m in range(-l, l + 1)]
    ells = np.array([l for l, _ in modes], np.int32)
    emms = np.array([m for _, m in modes], np.int32)
    inc = rng.uniform(0.0, math.pi, B)
    az = rng.uniform(0.0, 2 * math.pi, B)

    def module():
        return rr.swsh_weights64(ells, emms, inc, az)

    def numpy():
        return numpy_swsh(ells, emms, inc, az)

    # Bound: per direction one sincos of inclination/2 and one of m * azimuth per
    # distinct m, and one pow per distinct exponent >= 3 of cos and of sin.
    cos_e = {2 * r - m - 2 for l, m in modes for r in range(max(0, m + 2), min(l + 2, l + m) + 1)}
    sin_e = {2 * l + 2 + m - 2 * r for l, m in modes for r in range(max(0, m + 2), min(l + 2, l + m) + 1)}
    n_pow = sum(e >= 3 for e in cos_e) + sum(e >= 3 for e in sin_e)
    bound = Bound(bytes=16 * B + 16 * B * len(modes),
                  calls={"sincos": B * (1 + len({m for _, m in modes})), "pow": B * n_pow})
    return Case("swsh_weights64", f"B={B} K={len(modes)} (l<={lmax})", module, numpy, bound=bound)


def cases():
    yield _hybrid_batch_case()
    yield _assemble_case()
    yield _swsh_case()
