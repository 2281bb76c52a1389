"""Results do not depend on the number of threads.

One table of cases: each runs its code in a fresh interpreter for every listed
KOKKOS_NUM_THREADS value (OMP_NUM_THREADS as well where marked), and what the
children print (digests of the results) must agree.  A case marked `here`
must also agree with the same code run in this process.  A case with `data`
gets those arrays written to DATA (an .npz file), so every child reads the
same inputs.
"""
import contextlib
import io
import os
import textwrap

import numpy as np
import pytest

import radiredide as rr
from conftest import run_python

TESTS = os.path.dirname(os.path.abspath(__file__))

needs_pn4 = pytest.mark.skipif(not hasattr(rr, "pn4_weights_batch"),
                               reason="4PN weight grids not built into this module")


def case(id, code, threads=(1, 2, 3), omp=False, here=False, data=None, marks=()):
    return pytest.param(textwrap.dedent(code), threads, omp, here, data, id=id, marks=marks)


def _ext_pack_rows():
    from test_ext_pack import shared_model_rows
    names = ["breaks", "tau", "J", "modes", "l", "m", "w", "thetas", "f_low"]
    return dict(zip(names, shared_model_rows()))

CASES = [
    case("evaluators", """
        import hashlib
        import numpy as np
        import radiredide as rr
        import test_evaluator_oracle as orc
        breaks, coefs, gcoefs = orc.make_fit(B=3, P=5, E=40, O=7, D=2, seed=11)
        emm = np.array([1, 0, 2, -3, 17], np.int32)
        ev = rr.BatchEvaluator64(breaks, emm, 1.0)
        ev.set_coefficients(coefs)
        ev.set_rewind_rates(np.linspace(-1, 1, 15).reshape(3, 5))
        ev.set_gradient_coefficients(gcoefs)
        rng = np.random.default_rng(3)
        x = np.sort(rng.uniform(-0.5, 10.5, 3000))
        t = np.sort(rng.uniform(-1.0, 16.0, 2000))
        h = hashlib.sha256()
        for a in [ev.evaluate(x), *ev.evaluate_grad(x), *ev.evaluate_time_grad(t, 0),
                  *ev.evaluate_time(t, 0, True, 0, 2), rr.evaluate_batch(breaks, coefs, x)]:
            h.update(np.ascontiguousarray(a).tobytes())
        mixm = rng.standard_normal((3, 2, 2, 2)) + 1j * rng.standard_normal((3, 2, 2, 2))
        ev.set_mixing(mixm, np.array([[0, 1], [2, 3]], np.int32))
        h.update(ev.evaluate(x).tobytes())
        e32 = rr.BatchEvaluator32(breaks.astype(np.float32), emm, 1.0)
        e32.set_coefficients(coefs.astype(np.complex64))
        for a in e32.evaluate_time(t.astype(np.float32), 0):
            h.update(a.tobytes())
        print(h.hexdigest())
    """, omp=True),
    case("evaluate_hybrid", """
        import numpy as np, radiredide as rr
        rng = np.random.default_rng(2)
        n = 50
        tk = np.sort(rng.uniform(0, 10, n)); pk = np.sort(rng.uniform(-5, 40, n))
        pc = rng.normal(size=(4, n - 1)); pc[2] += 3
        mc = rng.normal(size=(3, 4, n - 1)) + 1j
        t = np.sort(rng.uniform(-1, 11, 9000))
        s, p = rr.evaluate_hybrid(tk, pc, pk, mc, np.array([2, -1, 0], np.int32), 1.0, t)
        print(s.view(np.uint64).sum(dtype=np.uint64), p.view(np.uint64).sum(dtype=np.uint64))
    """, threads=(1, 2)),
    case("evaluate_hybrid_batch", """
        import numpy as np, radiredide as rr
        rng = np.random.default_rng(4)
        n = [64, 80, 70]
        tk = np.concatenate([np.sort(rng.uniform(0, 5, v)) for v in n])
        pk = np.concatenate([np.sort(rng.uniform(-5, 20, v)) for v in n])
        off = np.concatenate([[0], np.cumsum(n)]); coff = np.concatenate([[0], np.cumsum(np.array(n) - 1)])
        pc = rng.normal(size=(4, coff[-1])); pc[2] += 3
        mc = rng.normal(size=(2, 4, coff[-1])) + 0.5j
        t = rng.uniform(-1, 6, (3, 3000))
        out = rr.evaluate_hybrid_batch(tk, off, pc, coff, pk, mc, np.array([2, -2], np.int32), 1.0, t)
        print(out.view(np.uint64).sum(dtype=np.uint64))
    """, threads=(1, 2)),
    case("assemble_imr", """
        import numpy as np, radiredide as rr
        rng = np.random.default_rng(9)
        B, K, N, i0 = 5, 3, 5000, 3000
        h = rng.normal(size=(B, K, N)) + 1j; hm = rng.normal(size=(B, K, N - i0)) - 1j
        idx = np.arange(K, dtype=np.int32)
        t = np.sort(rng.uniform(-10, 110, (B, N)), axis=1)
        w = rng.normal(size=(B, K)) + 0.3j
        for f, c, r in [(rr.assemble_imr64, complex, float), (rr.assemble_imr32, np.complex64, np.float32)]:
            hp, hc = f(h.astype(c), idx, hm.astype(c), idx, i0, t.astype(r), np.full(B, -5.0, r),
                       np.zeros(B, r), np.full(B, 70.0, r), 100.0, 40.0, 60.0, w.astype(c), (2 * w).astype(c))
            print(hp.view(np.uint32).sum(dtype=np.uint64), hc.view(np.uint32).sum(dtype=np.uint64))
    """, threads=(1, 2)),
    case("swsh_weights", """
        import numpy as np, radiredide as rr
        e, m = [], []
        for l in range(2, 9):
            for q in range(-l, l + 1):
                e.append(l); m.append(q)
        rng = np.random.default_rng(1)
        out = rr.swsh_weights64(np.array(e, np.int32), np.array(m, np.int32),
                                rng.uniform(0, 3, 500), rng.uniform(0, 6, 500))
        print(out.view(np.uint64).sum(dtype=np.uint64))
    """, threads=(1, 2)),
    case("gpr_and_anchor", """
        import numpy as np
        import radiredide as rr
        from test_gpr import make_plan
        plan, _ = make_plan(seed=2)
        rng = np.random.default_rng(1)
        th = np.column_stack([rng.uniform(0.5, 9, 37), rng.uniform(-1, 1, 37), rng.uniform(-1, 1, 37)])
        c, v = plan.evaluate_batch(th)
        r = rng.normal(size=(9, 30)); t = rng.normal(size=(30, 11)) + 1j * rng.normal(size=(30, 11))
        a = rr.anchor_contract64(r, t, r[:, :7], t[:7])
        import hashlib
        print(hashlib.sha256(c.tobytes() + v.tobytes() + a.tobytes()).hexdigest())
    """, threads=(1, 3)),
    case("pn4_grids", """
        import hashlib, numpy as np, radiredide as rr
        rng = np.random.default_rng(3)
        v = np.sort(rng.uniform(0.08, 0.45, size=(3, 301)), axis=1)
        th = np.array([[2.0, 0.3, -0.2], [1.0, 0.5, 0.5], [4.5, -0.7, 0.5]])
        h = hashlib.sha256()
        h.update(rr.pn4_weights_batch(v, th).tobytes())
        h.update(rr.pn4_dmode_batch(v, th).tobytes())
        h.update(rr.pn4_weights_grid(v[0], 2.0, 0.3, -0.2).tobytes())
        print(h.hexdigest())
    """),
    case("extension_pack_batch", """
        import hashlib
        import numpy as np
        import radiredide as rr
        z = np.load(DATA)
        names = ["breaks", "tau", "J", "modes", "l", "m", "w", "thetas", "f_low"]
        b = rr.build_extension_pack_batch(*[z[k] for k in names], n_per_orbit=32, n_x=2000)
        h = hashlib.sha256()
        for k in ("offsets", "t_knots", "phi_knots", "phi_c", "mode_c", "engaged"):
            h.update(np.ascontiguousarray(b[k]).tobytes())
        print(h.hexdigest())
    """, omp=True, data=_ext_pack_rows),
    case("blend_project", """
        import hashlib, numpy as np
        import radiredide as rr, fused_cases as fc
        c = fc.make_blend_case(B=5, N=333, K=6)
        out = rr.blend_project(**c)
        print(hashlib.sha256(out[0].tobytes() + out[1].tobytes()).hexdigest())
    """),
    case("dc_grid_and_median_h2", """
        import hashlib, numpy as np
        import radiredide as rr
        import test_fused_grad as t
        a, _ = t.dc_args(B=2, N=301)
        m = t._median_args()
        d = rr.dc_grid_batch(**a)
        x = rr.median_h2_batch(**m)
        print(hashlib.sha256(d.tobytes() + x[0].tobytes() + x[1].tobytes()).hexdigest())
    """, marks=needs_pn4),
    case("glue", """
        import hashlib, numpy as np, radiredide as rr
        rng = np.random.default_rng(11)
        B, S, E, O = 37, 16, 9, 6
        kidx = np.sort(rng.integers(0, E, S)).astype(np.int32)
        V = rng.uniform(0.5, 1.5, (S, O))
        C_tau = rng.normal(size=(B, E, O))
        C_x = np.abs(rng.normal(size=(B, E, O)))
        t_geo = np.cumsum(rng.uniform(0.1, 0.3, (B, 500)), axis=1) - 60.0
        tau0 = rng.uniform(-50.0, -20.0, B)
        outs = list(rr.fmin_starts64(C_tau, C_x, kidx, V, rng.uniform(0, 0.2, B)))
        outs += list(rr.span_pack64(t_geo, tau0, -5.0, 20.0, 0.0, 1e-9)[:5])
        rows = rng.normal(size=(B, 3, 300))
        n0 = rng.integers(-50, 400, B).astype(np.int32)
        outs.append(rr.scatter64(rows, n0, (n0 + 280).astype(np.int32), 500))
        outs.append(rr.scatterc32(rows.astype(np.complex64), n0, (n0 + 299).astype(np.int32), 450))
        big = rng.integers(0, 256, (3, 2, 5 << 20), dtype=np.uint8)
        outs.append(rr.scatterb(big, np.array([-7, 1 << 21, 5], np.int32), np.array([5 << 20, 6 << 20, 3], np.int32), 6 << 20))
        print(hashlib.sha256(b"".join(np.ascontiguousarray(o).tobytes() for o in outs)).hexdigest())
    """, threads=(1, 2)),
    case("swsph", """
        import test_swsph
        print(test_swsph.digest(4))
    """, threads=(1, 2), omp=True, here=True),
    case("merger_ringdown", """
        import numpy as np, radiredide as rr
        from test_mr import segment_problem, contraction_problem
        a = segment_problem(np.random.default_rng(20), B=4, N=300)
        h, dh, dhdt = rr.mr_segment_grad(**a, want_time_derivative=True)
        C, dC = rr.theta_contract_grad(**contraction_problem(np.random.default_rng(21), B=9))
        rng = np.random.default_rng(22)
        hp, hr = (rng.standard_normal((3, 5, 2 * 3001)).view(complex) for _ in range(2))
        w = rng.uniform(0, 1, (3, 3001))
        bl = [rr.mr_blend64(hp, hr, w), rr.mr_blend32(hp.astype(np.complex64), hr.astype(np.complex64), w[:1])]
        out = b"".join(x.tobytes() for x in (h, dh, dhdt, C, dC, *bl))
        import hashlib; print(hashlib.sha256(out).hexdigest())
    """, omp=True),
    # every recorded valid call of every module function, twin and method
    case("every_call", """
        import hashlib
        from test_threads import reference
        ref = reference()
        h = hashlib.sha256()
        for key in sorted(ref, key=str):
            h.update(repr(ref[key]).encode())
        print("digest", h.hexdigest())
    """),
]


@pytest.mark.parametrize("code,threads,omp,here,data", CASES)
def test_results_do_not_depend_on_thread_count(code, threads, omp, here, data, tmp_path):
    header = f"import sys\nsys.path.insert(0, {TESTS!r})\n"
    if data is not None:
        path = tmp_path / "data.npz"
        np.savez(path, **data())
        header += f"DATA = {str(path)!r}\n"
    outs = {}
    for n in threads:
        env = {"KOKKOS_NUM_THREADS": str(n)}
        if omp:
            env["OMP_NUM_THREADS"] = str(n)
        outs[n] = run_python(header + code, env=env).stdout.strip()
    if here:                                  # this process imports from TESTS already
        buf = io.StringIO()
        with contextlib.redirect_stdout(buf):
            exec(code, {})
        outs["here"] = buf.getvalue().strip()
    assert all(outs.values()), outs          # every run printed its digests
    assert len(set(outs.values())) == 1, outs
