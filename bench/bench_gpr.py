"""Gaussian-process contraction: batched plan evaluation and the anchor contraction,
against plain vectorised NumPy (BLAS matrix products) doing the same prediction.

Run with the same thread count for both sides, e.g.
    KOKKOS_NUM_THREADS=2 OMP_NUM_THREADS=2 OPENBLAS_NUM_THREADS=2 .venv/bin/python bench/run.py gpr
"""
import numpy as np

import radiredide as rr
from harness import Bound, Case

B, P, E, O = 256, 8, 40, 40
EO = E * O
N_TRAIN, N_TERMS, DEGREE = 200, 20, 4
N_KEY = 200


def _build(seed=0):
    rng = np.random.default_rng(seed)
    plan = rr.GPRContraction(P=P, E=E, O=O, degree=DEGREE)
    bounds = np.array([[0.0, 2.5], [-0.8, 0.8], [-0.8, 0.8]])
    sym = (2.5, -0.8, 0.8, 0.8, True)
    plan.set_default_coords(bounds)
    plan.set_sym_coords(*sym)
    groups = []
    # Two groups of four pieces, each with two blocks of two positions.
    for scheme, parity, gidx in [(0, 0, [0, 1, 2, 3]), (1, 1, [4, 5, 6, 7])]:
        gidx = np.array(gidx, np.int32)
        U = rng.uniform(-1, 1, (N_TRAIN, 3))
        T = rng.normal(size=(N_TERMS, len(gidx) * EO)) + 1j * rng.normal(size=(N_TERMS, len(gidx) * EO))
        terms = rng.integers(0, DEGREE + 1, (N_TERMS, 3)).astype(np.int32)
        gid = plan.add_group(scheme=scheme, parity=parity, gidx=gidx, U=U, T=T, terms=terms)
        blocks = []
        for loc in ([0, 1], [2, 3]):
            loc = np.array(loc, np.int32)
            ls = rng.uniform(0.5, 1.5, 3)
            A = rng.normal(size=(N_TRAIN, len(loc) * EO)) + 1j * rng.normal(size=(N_TRAIN, len(loc) * EO))
            plan.add_block(gid=gid, ls=ls, loc=loc, A=A)
            blocks.append((ls, loc, A))
        groups.append((scheme, parity, gidx, U, T, terms, blocks))
    keys = []
    for scheme, parity in [(0, 0), (1, 1)]:
        U = rng.uniform(-1, 1, (N_KEY, 3))
        ls = rng.uniform(0.5, 1.5, 3)
        M = rng.normal(size=(N_KEY, N_KEY)) / N_KEY
        Minv = M @ M.T
        plan.add_var_key(scheme=scheme, ls=ls, nug=1e-8, parity=parity, Minv=Minv, U=U)
        keys.append((scheme, parity, ls, Minv, U))
    piece_key = np.array([0, 0, 0, 0, 1, 1, 1, 1], np.int32)
    msv = rng.uniform(0.5, 2, P)
    plan.set_var(piece_key=piece_key, mean_signal_var=msv)
    thetas = np.column_stack([rng.uniform(1, 8, B), rng.uniform(-0.8, 0.8, B), rng.uniform(-0.8, 0.8, B)])
    return plan, thetas, (bounds, sym, groups, keys, piece_key, msv)


def _numpy_predict(thetas, model):
    """The same prediction in plain vectorised NumPy (complex matrix products)."""
    bounds, sym, groups, keys, piece_key, msv = model
    lq = np.log(thetas[:, 0])
    v = np.column_stack([lq, thetas[:, 1], thetas[:, 2]])
    lo, hi = bounds[:, 0], bounds[:, 1]
    xd_raw = 2 * (v - lo) / np.where(hi > lo, hi - lo, 1.0) - 1
    xd = np.clip(xd_raw, -1, 1)
    L0, chi_lo, chi_hi, A0, _ = sym
    chs, cha = (v[:, 1] + v[:, 2]) / 2, (v[:, 1] - v[:, 2]) / 2
    q = np.exp(lq)
    chs = chs + (q - 1) / (q + 1) * cha / (1 - 76 * q / (1 + q) ** 2 / 113)
    xs = np.column_stack([lq / L0, 2 * (chs - chi_lo) / (chi_hi - chi_lo) - 1, cha / A0])
    refl = np.array([-1.0, 1.0, -1.0])

    def rbf(x, U, ls):
        d = (x[:, None, :] - U[None]) / ls
        return np.exp(-0.5 * np.einsum("bnk,bnk->bn", d, d))

    out = np.zeros((len(thetas), P, EO), complex)
    for scheme, parity, gidx, U, T, terms, blocks in groups:
        x = xd if scheme == 0 else xs
        if scheme == 0:
            tab = np.cos(np.arange(DEGREE + 1)[None, None, :] * np.arccos(x)[:, :, None])
        else:
            tab = np.polynomial.chebyshev.chebvander(x, DEGREE)
        f = tab[:, 0, terms[:, 0]] * tab[:, 1, terms[:, 1]] * tab[:, 2, terms[:, 2]]
        val = (f @ T).reshape(len(thetas), len(gidx), EO)
        sgn = 1.0 if parity == 0 else -1.0
        for ls, loc, A in blocks:
            k = rbf(x, U, ls)
            if scheme == 1:
                k = 0.5 * (k + sgn * rbf(x * refl, U, ls))
            val[:, loc] += (k @ A).reshape(len(thetas), len(loc), EO)
        out[:, gidx] = val
    h = []
    for scheme, parity, ls, Minv, U in keys:
        if scheme == 0:
            k, prior = rbf(xd_raw, U, ls), 1.0
        else:
            sgn = 1.0 if parity == 0 else -1.0
            k = 0.5 * (rbf(xs, U, ls) + sgn * rbf(xs * refl, U, ls))
            prior = 0.5 * (1 + sgn * np.exp(-0.5 * ((2 * xs[:, 0] / ls[0]) ** 2 + (2 * xs[:, 2] / ls[2]) ** 2)))
        h.append(np.maximum(prior - np.einsum("bi,bi->b", k @ Minv, k), 1e-8))
    var = np.stack(h, axis=1)[:, piece_key] * msv
    return out.reshape(len(thetas), P, E, O), var


def _bound(model, write_var=True):
    """Bytes every batch call moves (coefficient blocks read once, the result written
    once) and the C-library calls of its rows: log q per row; per group the default
    map's acos and cos tables or the symmetric map's exp (pn_coords), one exp per
    training point per block, twice for a symmetrised group; per variance key one exp
    per training point, twice and one more (the prior) for a symmetrised key."""
    _, _, groups, keys, _, _ = model
    nbytes = 8 * (B * 3 + B * P) + 16 * B * P * EO
    calls = {"log": B, "exp": 0, "acos": 0, "cos": 0}
    for scheme, parity, gidx, U, T, terms, blocks in groups:
        nbytes += 16 * T.size + sum(16 * A.size for _, _, A in blocks)
        if scheme == 0:
            calls["acos"] += 3 * B
            calls["cos"] += 3 * (DEGREE + 1) * B
        else:
            calls["exp"] += B
        calls["exp"] += B * N_TRAIN * len(blocks) * (2 if scheme == 1 else 1)
    for scheme, parity, ls, Minv, U in keys:
        nbytes += 8 * Minv.size
        calls["exp"] += B * len(U) * (1 if scheme == 0 else 2) + (0 if scheme == 0 else B)
    return Bound(bytes=nbytes, calls=calls)


def cases():
    plan, thetas, model = _build()
    # Sanity: both sides compute the same prediction.
    c_mod, v_mod = plan.evaluate_batch(thetas)
    c_np, v_np = _numpy_predict(thetas, model)
    assert np.allclose(c_mod, c_np, rtol=1e-10, atol=1e-9) and np.allclose(v_mod, v_np, rtol=1e-8)
    yield Case("GPRContraction.evaluate_batch",
               f"B={B} P={P} EO={EO} n_train={N_TRAIN} 2x2 blocks",
               lambda: plan.evaluate_batch(thetas), lambda: _numpy_predict(thetas, model),
               bound=_bound(model))
    dest = np.empty((B, P, E, O), complex)
    dst = np.arange(P, dtype=np.int32)
    yield Case("GPRContraction.evaluate_batch_into",
               f"B={B} P={P} EO={EO} n_train={N_TRAIN} 2x2 blocks",
               lambda: plan.evaluate_batch_into(thetas, dest, dst), lambda: _numpy_predict(thetas, model),
               bound=_bound(model))

    R, C, Kt, Kk = 256, 12800, 20, 200
    rng = np.random.default_rng(1)
    rows, krows = rng.normal(size=(R, Kt)), rng.normal(size=(R, Kk))
    trend = rng.normal(size=(Kt, C)) + 1j * rng.normal(size=(Kt, C))
    alpha = rng.normal(size=(Kk, C)) + 1j * rng.normal(size=(Kk, C))
    yield Case("anchor_contract64", f"R={R} C={C} Kt={Kt} Kk={Kk}",
               lambda: rr.anchor_contract64(rows, trend, krows, alpha),
               lambda: rows @ trend + krows @ alpha, repeats=3, note="numpy: uncompensated",
               bound=Bound(bytes=8 * (R * Kt + R * Kk) + 16 * (Kt * C + Kk * C + R * C)))
