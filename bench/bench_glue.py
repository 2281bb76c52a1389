"""Time-grid glue against plain NumPy: row scatter, in-span packing, start times.

Each case carries its bound: the bytes one call must read and write (the
scatter writes its whole result and reads the packed samples that land on the
grid; the packing reads the in-window samples and writes its tables), and the
pow calls of the start-time solver's frequencies.
"""
import numpy as np

import radiredide as rr
from harness import Bound, Case


def _scatter_inputs(dtype, B=64, L=8, J=50_000, N=100_000, seed=1):
    rng = np.random.default_rng(seed)
    rows = rng.normal(size=(B, L, J))
    if np.dtype(dtype).kind == "c":
        rows = rows + 1j * rng.normal(size=(B, L, J))
    rows = rows.astype(dtype)
    n0 = rng.integers(-J // 10, N - J // 2, B).astype(np.int32)
    n1 = (n0 + rng.integers(J // 2, J + 1, B)).astype(np.int32)
    return rows, n0, n1, N


def _scatter_numpy(rows, n0, n1, N):
    B, L, J = rows.shape
    out = np.zeros((B, L, N), rows.dtype)
    for b in range(B):
        w = min(J, int(n1[b]) - int(n0[b]))
        lo, hi = max(0, int(n0[b])), min(N, int(n0[b]) + w)
        if hi > lo:
            out[b, :, lo:hi] = rows[b, :, lo - int(n0[b]):hi - int(n0[b])]
    return out


def _scatter_bound(rows, n0, n1, N):
    B, L, J = rows.shape
    landed = sum(max(0, min(N, int(n0[b]) + min(J, int(n1[b]) - int(n0[b]))) - max(0, int(n0[b])))
                 for b in range(B))
    return Bound(bytes=B * L * N * rows.itemsize + L * landed * rows.itemsize + 8 * B)


def _span_inputs(B=256, N=100_000, seed=2):
    rng = np.random.default_rng(seed)
    dt = rng.uniform(0.5, 1.5, (B, 1))
    t_geo = -0.9 * N * dt + dt * np.arange(N)[None, :]
    tau0 = -0.9 * N * dt[:, 0] * rng.uniform(0.7, 1.0, B)
    return t_geo, tau0, -50.0, 80.0, -20.0, 1e-9


def _span_numpy(t_geo, tau0, mr_lo, mr_hi, b0, tol):
    B, N = t_geo.shape
    n0 = np.array([np.searchsorted(t_geo[b], tau0[b] - tol, "left") for b in range(B)])
    u = np.array([np.searchsorted(t_geo[b], mr_hi + tol, "right") for b in range(B)])
    n1 = np.maximum(u, n0 + 1)
    J = int((n1 - n0).max())
    idx = np.minimum(n0[:, None] + np.arange(J)[None, :], np.minimum(n1 - 1, N - 1)[:, None])
    tg = np.take_along_axis(t_geo, idx, axis=1)
    t_eval = np.minimum(np.maximum(tg, tau0[:, None]), mr_hi)
    i0 = min(int(np.searchsorted(t_eval[b], b0, "left")) for b in range(B))
    tail = np.clip(t_eval[:, i0:], mr_lo, mr_hi)
    return tg, t_eval, tail, n0.astype(np.int32), n1.astype(np.int32), i0


def _span_bound(t_geo, tau0, mr_lo, mr_hi, b0, tol):
    tg, _, tail, n0, n1, _ = _span_numpy(t_geo, tau0, mr_lo, mr_hi, b0, tol)
    N = t_geo.shape[1]
    read = int(np.sum(np.minimum(n1, N) - n0)) * 8 + tau0.nbytes
    return Bound(bytes=read + 2 * tg.nbytes + tail.nbytes + n0.nbytes + n1.nbytes)


def _fmin_inputs(B=1024, S=64, E=200, O=8, seed=3):
    rng = np.random.default_rng(seed)
    kidx = np.sort(rng.integers(0, E, S)).astype(np.int32)
    V = rng.uniform(0.0, 1.0, (S, O))
    C_tau = rng.normal(size=(B, E, O))
    base = np.linspace(0.01, 0.3, E)
    C_x = base[None, :, None] * rng.uniform(0.9, 1.1, (B, 1, O))
    f_min = rng.uniform(0.001, 0.02, B)
    return C_tau, C_x, kidx, V, f_min


def _fmin_numpy(C_tau, C_x, kidx, V, f_min):
    taug = np.einsum("bjc,jc->bj", C_tau[:, kidx, :], V)
    sx = np.einsum("bjc,jc->bj", C_x[:, kidx, :], V)
    f22 = np.maximum(sx, 1e-8) ** 1.5 / np.pi
    starts = np.array([np.interp(f_min[b], f22[b], taug[b]) for b in range(len(f_min))])
    flag = (f22[:, 0] > f_min * 1.000000000001).astype(np.uint8)
    return starts, f22[:, 0].copy(), flag


def _fmin_bound(C_tau, C_x, kidx, V, f_min):
    B, _, O = C_tau.shape
    S = len(kidx)
    read = 2 * B * len(np.unique(kidx)) * O * 8 + V.nbytes + kidx.nbytes + f_min.nbytes
    return Bound(bytes=read + B * (8 + 8 + 1), calls={"pow": B * S})


def cases():
    sizes = "B=64 L=8 J=50000 N=100000"
    for name, dtype in (("scatter64", np.float64), ("scatterc64", np.complex128)):
        args = _scatter_inputs(dtype)
        fn = getattr(rr, name)
        yield Case(name, sizes, lambda fn=fn, a=args: fn(*a),
                   lambda a=args: _scatter_numpy(*a), bound=_scatter_bound(*args))
    span = _span_inputs()
    yield Case("span_pack64", "B=256 N=100000", lambda a=span: rr.span_pack64(*a),
               lambda a=span: _span_numpy(*a), bound=_span_bound(*span))
    fmin = _fmin_inputs()
    yield Case("fmin_starts64", "B=1024 S=64 E=200 O=8", lambda a=fmin: rr.fmin_starts64(*a),
               lambda a=fmin: _fmin_numpy(*a), bound=_fmin_bound(*fmin))
