"""build_extension_pack_batch against a Python loop over build_extension_pack.

The rows come from the synthetic 4PN surrogate of the tests (element fits of
the PN orbit itself), at default options (n_x = 6000, 256 knots per orbit).
The loop side builds the same ragged result a Python caller would need for the
hybrid synthesis (row packs concatenated, prefix offsets).  The ratio column is
the speed-up of the batch over that loop; rows per second are B / module time.
"""
import pathlib
import sys

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))

import radiredide as rr  # noqa: E402
from harness import Bound, Case  # noqa: E402


def _rows(B):
    import test_ext_pack as t
    thetas = [(1.5, 0.2, -0.1), (2.0, -0.3, 0.4), (1.2, 0.0, 0.0), (3.0, 0.5, 0.1)]
    span = float(np.ptp(t.model().breaks))
    models = [t.model(q=q, chi1z=c1, chi2z=c2, span=span) for (q, c1, c2) in thetas]
    pick = [models[b % len(models)] for b in range(B)]
    x_low = np.linspace(0.03, 0.04, B)
    M = models[0]
    return (M.breaks, np.stack([m.tau for m in pick]), np.stack([m.J for m in pick]),
            np.stack([m.modes for m in pick]), M.l, M.m, M.w,
            np.array([m.theta for m in pick]), x_low ** 1.5 / np.pi)


def row_loop(breaks, tau, J, modes, l, m, w, thetas, f_low, **options):
    """The batch built by a Python loop over build_extension_pack, ragged like the batch."""
    packs = [rr.build_extension_pack(breaks, tau[b], J[b], modes[b], l, m, w, *thetas[b], f_low[b],
                                     **options)
             for b in range(len(thetas))]
    packs = [p for p in packs if p is not None]
    n = [len(p["t_knots"]) for p in packs]
    return (np.concatenate([[0], np.cumsum(n)]), np.concatenate([p["t_knots"] for p in packs]),
            np.concatenate([p["phi_knots"] for p in packs]),
            np.concatenate([p["phi_c"] for p in packs], axis=1),
            np.concatenate([p["mode_c"] for p in packs], axis=2))


def bound_of(args, n_x=6000):
    """Bytes of the result and the C-library calls of the rows' PN arithmetic:
    per grid point 8 pow (x^(p/2), x^5), one pow (the logarithmic grid) and one
    log; per knot below the model one cos and one log (4PN weights); per roll
    sample one pow and one log."""
    r = rr.build_extension_pack_batch(*args)
    nbytes = sum(v.nbytes for v in r.values() if isinstance(v, np.ndarray))
    rows = int(np.count_nonzero(r["engaged"]))
    below = int(r["report"]["i_edge"].sum())
    return Bound(bytes=nbytes + sum(np.asarray(a).nbytes for a in args),
                 calls={"pow": rows * (9 * n_x + 256), "log": rows * (n_x + 256) + below,
                        "cos": below})


def cases():
    B = 64
    args = _rows(B)

    def batch():
        return rr.build_extension_pack_batch(*args)

    def loop():
        return row_loop(*args)

    yield Case("build_extension_pack_batch", f"B={B} K=4 n_x=6000 (vs row loop)", batch, loop,
               repeats=3, note="ratio = speed-up over the single-row loop", bound=bound_of(args))
