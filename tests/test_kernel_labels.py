"""Kernel labels and launch counts, as the residency counters record them through
the Kokkos tools interface.

One table of cases: each prepares its inputs, then the recorded part makes the
calls; the labels of the launches it made (those the case keeps: all of them,
a prefix or a set of names) must be the listed ones, in launch order.  A quiet
case also makes no deep copy in any direction.
"""
import functools

import numpy as np
import pytest

import radiredide as rr
import fused_cases as fc
import test_evaluator as te
import test_evaluator_oracle as orc
import test_evaluator_time as tet
import test_ext_pack as xp
import test_fused_blend as fb
import test_glue_fmin as gf
import test_glue_pack as gp
import test_glue_scatter as gs
import test_gpr as gpr
import test_gpr_anchor as ga
import test_pn4_grids as pg
import test_swsph as sw
import test_synthesis_assemble as sa
import test_synthesis_hybrid as sh
import test_threads as tt


def record(run):
    """Launch labels of run(), in order, and the residency record."""
    rr.residency_begin()
    try:
        run()
    finally:
        d = rr.residency_end()
    return [e[1] for e in d["events"] if e[0] == "launch"], d


def kept(labels, keep):
    if keep is None:
        return labels
    if isinstance(keep, str):
        return [label for label in labels if label.startswith(keep)]
    return [label for label in labels if label in keep]


def case(id, prepare, want, keep=None, quiet=False):
    return pytest.param(prepare, want, keep, quiet, id=id)


# --------------------------------------------------------------- preparations

def evaluate_then_mixed():
    fit = orc.make_fit(B=3, P=5, E=9, O=7, D=3, seed=1)
    breaks, coefs, _ = fit
    mixm, blk = te.mixing_setup(fit, [[0, 1, 2, 3]], identity=True)
    x = np.linspace(breaks[0], breaks[-1], 100)
    ev = te.evaluator(rr.BatchEvaluator64, breaks, [1, 0, 2, -3, 4], 1.0, coefs)

    def run():
        ev.evaluate(x)
        ev.set_mixing(mixm, blk)
        ev.evaluate(x)
    return run


def time_fit():
    return orc.make_fit(B=3, P=5, E=30, O=7, D=3, seed=21)


def evaluate_time_mixed():
    ev = tet.make(time_fit())
    t = tet.targets(400, seed=7)
    rng = np.random.default_rng(8)
    mixm = rng.standard_normal((3, 1, 3, 3)) + 1j * rng.standard_normal((3, 1, 3, 3))
    ev.set_mixing(mixm, np.array([[1, 3, 4]], np.int32))
    return lambda: ev.evaluate_time(t, 0)


def evaluate_time_grad_empty():
    ev = tet.make(time_fit())
    return lambda: ev.evaluate_time_grad(np.empty(0), 0)


@functools.cache
def pack_model():
    return xp.model()


PACK_KERNELS = {"pack_time_map", "pack_mode_content", "pack_mode_splines", "pack_batch_rows",
                "pack_batch_compact"}


def pack_single():
    M = pack_model()
    return lambda: M.single(xp.f_of_x(0.035), n_per_orbit=16, n_x=400)


def pack_batch():
    M = pack_model()
    return lambda: rr.build_extension_pack_batch(
        M.breaks, np.stack([M.tau] * 2), np.stack([M.J] * 2), np.stack([M.modes] * 2), M.l, M.m,
        M.w, np.array([M.theta] * 2), np.array([xp.f_of_x(0.035)] * 2), n_per_orbit=16, n_x=400)


def blend_project():
    c = fc.make_blend_case()
    return lambda: rr.blend_project(**c)


def fmin(fn):
    def prepare():
        a = gf.general_inputs()
        return lambda: fn(*a)
    return prepare


def scatter(fn, dtype, empty):
    def prepare():
        rows = gs.random_rows(dtype, (5, 3, 40))
        n0 = gs.RNG.integers(-10, 60, 5).astype(np.int32)
        n1 = (n0 + gs.RNG.integers(-5, 50, 5)).astype(np.int32)
        if empty:                     # empty ranges still launch both passes
            return lambda: fn(rows[:0], n0[:0], n1[:0], 0)
        return lambda: fn(rows, n0, n1, 64)
    return prepare


def span_pack(fn, b0):
    def prepare():
        t_geo, tau0 = gp.random_grids(B=3, N=50)
        return lambda: fn(t_geo, tau0, -5.0, 20.0, b0, 0.0)
    return prepare


@functools.cache
def gpr_plan():
    return gpr.make_plan()[0]


GPR_KERNELS = {"gpr_contract", "gpr_kernel", "gpr_batch_rows", "gpr_batch_contract", "gpr_batch_var"}


def anchor():
    a = ga.random_case(1, 2, 3, 4, 5)
    return lambda: rr.anchor_contract64(*a)


def pn4_grids():
    v = pg.vgrid(2, 20)

    def run():
        rr.pn4_weights_grid(v[0], 2.0, 0.1, 0.2)
        rr.pn4_weights_batch(v, pg.THETAS[:2])
        rr.pn4_dmode_batch(v, pg.THETAS[:2])
        rr.pn4_probe2(0.2, 2.0, 0.1, 0.2)
        rr.pn4_probe(0.2, 2.0, 0.1, 0.2)
    return run


def swsph():
    calls = sw.all_calls(3)

    def run():
        for name, args in calls.items():
            getattr(rr, name)(*args)
    return run


def assemble():
    a = sa.make_args()
    a32 = sa.to32(sa.make_args())

    def run():
        sa.call(rr.assemble_imr64, a)
        sa.call(rr.assemble_imr32, a32)
    return run


def hybrid():
    tk, pc, pk, mc, t = sh.hybrid_row()

    def run():
        rr.evaluate_hybrid(tk, pc, pk, mc, sh.M16, 1.0, t)
        rr.evaluate_hybrid_batch(tk, np.array([0, tk.size]), pc, np.array([0, tk.size - 1]), pk, mc,
                                 sh.M16, 1.0, t[None, :])
    return run


def probe(name):
    return lambda: lambda: tt.call(name, 0)


# --------------------------------------------------------------- the table

CASES = [
    case("evaluate-then-mixed", evaluate_then_mixed, ["evaluate", "evaluate", "swsph_mixing"],
         keep={"evaluate", "swsph_mixing"}),
    case("evaluate_time-mixed", evaluate_time_mixed,
         ["evaluate_time", "evaluate_time_pieces", "swsph_mixing"]),
    case("evaluate_time_grad-empty", evaluate_time_grad_empty,
         ["evaluate_time_grad", "evaluate_time_grad_pieces"]),
    case("extension_pack", pack_single, ["pack_time_map", "pack_mode_content", "pack_mode_splines"],
         keep=PACK_KERNELS),
    case("extension_pack_batch", pack_batch, ["pack_batch_rows", "pack_batch_compact"],
         keep=PACK_KERNELS),
    case("blend_project", blend_project, list(fb.KERNELS), keep=set(fb.KERNELS)),
    *[case(fn.__name__, fmin(fn), ["fmin_starts.stencil", "fmin_starts.solve"], quiet=True)
      for fn in gf.FMIN],
    *[case(name, scatter(fn, dtype, False), ["scatter_rows.zero", "scatter_rows"], quiet=True)
      for (fn, dtype), name in zip(gs.FUNCS, gs.IDS)],
    *[case(name + "-empty", scatter(fn, dtype, True), ["scatter_rows.zero", "scatter_rows"])
      for (fn, dtype), name in zip(gs.FUNCS, gs.IDS)],
    *[case(fn.__name__ + "-empty_tail", span_pack(fn, 1e9), ["span_pack.bounds", "span_pack.gather"])
      for fn in gp.PACK],
    *[case(fn.__name__ + "-tail", span_pack(fn, -1e9),
           ["span_pack.bounds", "span_pack.gather", "span_pack.tail"], quiet=True)
      for fn in gp.PACK],
    # per group: one trend launch, then one launch per block
    case("GPRContraction.evaluate", lambda: lambda: gpr_plan().evaluate(2.0, 0.1, 0.1),
         ["gpr_contract", "gpr_kernel", "gpr_kernel"] * 2 + ["gpr_contract", "gpr_kernel"],
         keep=GPR_KERNELS),
    case("GPRContraction.evaluate_batch", lambda: lambda: gpr_plan().evaluate_batch(gpr.THETAS),
         ["gpr_batch_rows", "gpr_batch_contract"] * 3 + ["gpr_batch_var"], keep=GPR_KERNELS),
    case("anchor_contract64", anchor, ["anchor_contract"], keep="anchor"),
    case("pn4_grids_and_probes", pn4_grids, ["pn4_weights_grid", "pn4_weights_batch", "pn4_dmode_batch"],
         keep="pn4_"),
    case("swsph", swsph, ["swsph_scalar_map", "swsph_scalar_map_grad", "swsph_rates",
                          "swsph_mixing", "swsph_rates", "swsph_mixing"], keep="swsph"),
    case("assemble_imr", assemble, ["assemble_imr"] * 2, keep={"assemble_imr"}),
    case("evaluate_hybrid", hybrid, ["hybrid_synthesis", "hybrid_synthesis_batch"],
         keep={"hybrid_synthesis", "hybrid_synthesis_batch"}),
    # scalar closed forms that launch nothing
    *[case(name, probe(name), []) for name in sorted(tt.NO_KERNEL)],
]


@pytest.mark.parametrize("prepare,want,keep,quiet", CASES)
def test_kernel_labels(prepare, want, keep, quiet):
    labels, d = record(prepare())
    assert kept(labels, keep) == want
    if quiet:
        assert d["h2d"] == d["d2h"] == d["h2h"] == d["d2d"] == 0
