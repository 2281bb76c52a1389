"""Merger-ringdown kernels against plain vectorised NumPy implementations."""
import numpy as np

import radiredide as rr
from harness import Bound, Case


def _crand(rng, *shape):
    return rng.standard_normal(shape) + 1j * rng.standard_normal(shape)


def _np_fit(breaks, coefs, x):
    """Vectorised element fit: coefs (B, P, E, O), x (B, N) -> (B, P, N) values."""
    E = len(breaks) - 1
    xc = np.clip(x, breaks[0], breaks[-1])
    e = np.clip(np.searchsorted(breaks, xc, side="right") - 1, 0, E - 1)
    u = 2 * (xc - breaks[e]) / (breaks[e + 1] - breaks[e]) - 1
    B, P, _, O = coefs.shape
    c = coefs[np.arange(B)[:, None, None], np.arange(P)[None, :, None], e[:, None, :]]  # (B,P,N,O)
    b1 = np.zeros(c.shape[:3], complex)
    b2 = np.zeros_like(b1)
    for k in range(O - 1, 0, -1):
        b1, b2 = 2 * u[:, None] * b1 + c[..., k] - b2, b1
    return xc, u[:, None] * b1 + c[..., 0] - b2


def _segment_case():
    rng = np.random.default_rng(0)
    B, P, E, O, N = 32, 8, 40, 8, 1000
    rb = np.linspace(0.0, 100.0, E + 1)
    pb = np.linspace(-50.0, 50.0, E + 1)
    blocks = np.arange(P, dtype=np.int32).reshape(P // 2, 2)
    a = dict(ring_breaks=rb, ring_coefficients=_crand(rng, B, P, E, O),
             ring_coefficient_gradients=_crand(rng, B, 3, P, E, O), plunge_breaks=pb,
             plunge_coefficients=_crand(rng, B, P, E, O),
             plunge_coefficient_gradients=_crand(rng, B, 3, P, E, O),
             rewind_rate=rng.uniform(0.1, 0.5, (B, P)), rewind_rate_gradient=rng.standard_normal((B, 3, P)),
             mixing_blocks=blocks, mixing_matrices=_crand(rng, B, P // 2, 2, 2),
             mixing_matrix_chi_slopes=_crand(rng, B, P // 2, 2, 2),
             remnant_spin_gradient=rng.standard_normal((B, 3)),
             t=np.tile(np.linspace(-60, 110, N), (B, 1)), t_split=0.0, t_blend_end=20.0)

    def numpy_version():
        x = a["t"]
        s = np.clip((x - 0.0) / 20.0, 0, 1)
        w = (1 - np.cos(s * np.pi)) * 0.5
        tr, R = _np_fit(rb, a["ring_coefficients"], x)
        ph = np.exp(1j * a["rewind_rate"][:, :, None] * tr[:, None])
        rot = R * ph
        G = np.stack([_np_fit(rb, a["ring_coefficient_gradients"][:, m], x)[1] for m in range(3)], 1)
        grot = (G + 1j * tr[:, None, None] * a["rewind_rate_gradient"][..., None] * R[:, None]) * ph[:, None]
        blk = rot.reshape(B, P // 2, 2, N)
        M = a["mixing_matrices"]
        mixed = np.einsum("bkjq,bkqn->bkjn", M, blk).reshape(B, P, N)
        slope = np.einsum("bkjq,bkqn->bkjn", a["mixing_matrix_chi_slopes"], blk).reshape(B, P, N)
        gm = np.einsum("bkjq,bmkqn->bmkjn", M, grot.reshape(B, 3, P // 2, 2, N)).reshape(B, 3, P, N)
        _, Pv = _np_fit(pb, a["plunge_coefficients"], x)
        Q = np.stack([_np_fit(pb, a["plunge_coefficient_gradients"][:, m], x)[1] for m in range(3)], 1)
        h = Pv * (1 - w[:, None]) + w[:, None] * mixed
        dh = (slope[:, None] * a["remnant_spin_gradient"][:, :, None, None] + gm) * w[:, None, None] \
            + Q * (1 - w[:, None, None])
        return h, dh

    # Reads: the four coefficient tensors, t and the small per-row arrays; writes h and dh.
    nbytes = 16 * (2 * B * P * E * O + 2 * B * 3 * P * E * O + B * P * N + B * 3 * P * N) \
        + 8 * (B * N + B * P + B * 3 * P + B * 3) + 16 * 2 * B * (P // 2) * 4
    x = a["t"]
    # The window's cos at every sample, its sin strictly inside (t_split, t_blend_end),
    # and one sin/cos pair of the rotation per sample and piece.
    inside = int(np.count_nonzero((x > 0.0) & (x < 20.0)))
    calls = {"cos": B * N, "sin": inside, "sincos": B * N * P}
    return Case("mr_segment_grad", f"B={B} P={P} E={E} O={O} N={N}",
                lambda: rr.mr_segment_grad(**a), numpy_version, repeats=3,
                bound=Bound(bytes=nbytes, calls=calls))


def _join_case():
    rng = np.random.default_rng(1)
    B, P, N, Nw = 64, 8, 8000, 2000
    h = _crand(rng, B, P, N)
    dh = _crand(rng, B, 3, P, N)
    hm, dhm, dhmdt = _crand(rng, B, P, Nw), _crand(rng, B, 3, P, Nw), _crand(rng, B, P, Nw)
    w, dw, dte = rng.uniform(0, 1, (B, Nw)), rng.standard_normal((B, 3, Nw)), rng.standard_normal((B, 3))
    s = 3000

    def numpy_version():
        sl = slice(s, s + Nw)
        v = 1.0 - w
        diff = hm - h[:, :, sl]
        dh[:, :, :, sl] = (v[:, None, None] * dh[:, :, :, sl]
                           + (dte[:, :, None, None] * dhmdt[:, None] + dhm) * w[:, None, None]
                           + dw[:, :, None, :] * diff[:, None])
        h[:, :, sl] = h[:, :, sl] * v[:, None] + hm * w[:, None]

    # Reads the window of h and dh and every merger-ringdown input; writes the window back.
    nbytes = 16 * (2 * (B * P * Nw + B * 3 * P * Nw) + B * P * Nw + B * 3 * P * Nw + B * P * Nw) \
        + 8 * (B * Nw + B * 3 * Nw + B * 3)
    return Case("imr_join_grad", f"B={B} P={P} N={N} Nw={Nw}",
                lambda: rr.imr_join_grad(h, dh, hm, dhm, dhmdt, w, dw, dte, s), numpy_version,
                bound=Bound(bytes=nbytes))


def _contract_case():
    rng = np.random.default_rng(2)
    B, P, E, O, n_train, nt = 256, 8, 200, 8, 200, 5
    groups = [(0, 1), (2, 3), (4, 5), (6, 7)]
    EO = E * O
    G = len(groups)
    nc = np.array([len(g) * EO for g in groups], np.int32)
    npad = nc.copy()
    rows = nt + n_train
    bofs = np.concatenate([[0], np.cumsum(npad.astype(np.int64) * rows)])
    re = rng.standard_normal(bofs[-1])
    im = rng.standard_normal(bofs[-1])
    a = dict(kernel_coordinates=rng.uniform(-1, 1, (B, 3)), coordinate_jacobian=rng.standard_normal((B, 3, 3)),
             trend_rows=rng.standard_normal((B, G, 4, nt)), training_coordinates=rng.uniform(-1, 1, (n_train, 3)),
             group_parity_sign=np.ones(G), group_length_scale=rng.uniform(0.5, 1.5, (G, 3)),
             group_term_count=np.full(G, nt, np.int32), group_column_count=nc,
             group_padded_column_count=npad, group_piece_offset=np.arange(0, 2 * G + 1, 2, dtype=np.int32),
             group_piece_index=np.arange(P, dtype=np.int32), group_block_offset=bofs,
             coefficient_blocks_real=re, coefficient_blocks_imag=im, n_pieces=P, n_elements=E, n_order=O)
    Wre = [re[bofs[g]:bofs[g + 1]].reshape(rows, npad[g]) for g in range(G)]
    Wim = [im[bofs[g]:bofs[g + 1]].reshape(rows, npad[g]) for g in range(G)]
    u, J, U = a["kernel_coordinates"], a["coordinate_jacobian"], a["training_coordinates"]
    sig = np.array([-1.0, 1.0, -1.0])

    def numpy_version():
        C = np.empty((B, P, EO), complex)
        dC = np.empty((B, 3, P, EO), complex)
        for g in range(G):
            ls = a["group_length_scale"][g]
            d = (u[:, None, :] - U[None]) / ls
            dm = (u[:, None, :] * sig - U[None]) / ls
            k = np.exp(-0.5 * (d ** 2).sum(-1))
            km = np.exp(-0.5 * (dm ** 2).sum(-1))
            K0 = 0.5 * (k + km)
            dK_du = 0.5 * (-(u[:, None, :] - U[None]) / ls ** 2 * k[..., None]
                           - (u[:, None, :] - U[None] * sig) / ls ** 2 * km[..., None])
            dK = np.einsum("bil,blm->bmi", dK_du, J)
            r = np.concatenate([a["trend_rows"][:, g], np.concatenate([K0[:, None], dK], 1)], 2)
            # The rows are real: one real matrix product per plane, all rows at once.
            r = r.reshape(B * 4, rows)
            out_re = (r @ Wre[g]).reshape(B, 4, 2, EO)
            out_im = (r @ Wim[g]).reshape(B, 4, 2, EO)
            C[:, 2 * g:2 * g + 2].real = out_re[:, 0]
            C[:, 2 * g:2 * g + 2].imag = out_im[:, 0]
            dC[:, :, 2 * g:2 * g + 2].real = out_re[:, 1:]
            dC[:, :, 2 * g:2 * g + 2].imag = out_im[:, 1:]
        return C, dC

    # Reads both planes and the rows' inputs; writes C and dC.
    nbytes = 8 * (2 * int(bofs[-1]) + B * 3 + B * 9 + B * G * 4 * nt + n_train * 3 + 4 * G) \
        + 16 * (B * P * EO + B * 3 * P * EO)

    return Case("theta_contract_grad", f"B={B} P={P} E*O={EO} n_train={n_train}",
                lambda: rr.theta_contract_grad(**a), numpy_version, repeats=3,
                note="numpy uses BLAS (not bitwise)",
                bound=Bound(bytes=nbytes, calls={"exp": 2 * B * G * n_train}))


def _blend_case():
    rng = np.random.default_rng(3)
    B, P, N = 64, 8, 20000
    hp, hr, w = _crand(rng, B, P, N), _crand(rng, B, P, N), rng.uniform(0, 1, (B, N))
    # Bound: h_p and h_r read, w read, the complex128 result written, once each.
    return Case("mr_blend64", f"B={B} P={P} N={N}", lambda: rr.mr_blend64(hp, hr, w),
                lambda: (1.0 - w)[:, None] * hp + w[:, None] * hr,
                bound=Bound(bytes=3 * hp.nbytes + w.nbytes))


def cases():
    yield _segment_case()
    yield _join_case()
    yield _contract_case()
    yield _blend_case()
