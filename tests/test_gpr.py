"""Gaussian-process contraction plan: configuration, single point, batch, in-place scatter."""
import math

import numpy as np
import pytest

import radiredide as rr
from conftest import assert_bitwise, misaligned, run_python

E, O = 2, 3
EO = E * O


# ---------------------------------------------------------------- a NumPy oracle

def cheb_cos(x, degree):
    a = math.acos(x)
    return np.array([math.cos(i * a) for i in range(degree + 1)])


def cheb_rec(x, degree):
    t = [1.0, x]
    for _ in range(2, degree + 1):
        t.append(t[-1] * 2 * x - t[-2])
    return np.array(t[:degree + 1])


def default_x(cfg, lq, c1, c2, clamp=True):
    lo, hi = cfg["bounds"][:, 0], cfg["bounds"][:, 1]
    v = np.array([lq, c1, c2])
    w = np.where(hi > lo, hi - lo, 1.0)
    x = 2 * (v - lo) / w - 1
    return np.clip(x, -1, 1) if clamp else x


def sym_x(cfg, lq, c1, c2):
    L0, chi_lo, chi_hi, A0, pn = cfg["sym"]
    chs, cha = (c1 + c2) / 2, (c1 - c2) / 2
    if pn:
        q = math.exp(lq)
        eta = q / (1 + q) ** 2
        chs = chs + (q - 1) / (q + 1) * cha / (1 - 76 * eta / 113)
    w = chi_hi - chi_lo if chi_hi > chi_lo else 1.0
    return np.array([lq / L0, 2 * (chs - chi_lo) / w - 1, cha / A0])


def rbf(x, U, ls):
    d = (x[None, :] - U) / ls[None, :]
    return np.array([math.exp(-0.5 * s) for s in (d * d).sum(axis=1)])


def sym_rbf(x, U, ls, parity):
    r = x * np.array([-1.0, 1.0, -1.0])
    sgn = 1.0 if parity == 0 else -1.0
    return 0.5 * (rbf(x, U, ls) + sgn * rbf(r, U, ls))


def oracle(cfg, q, c1, c2):
    P = cfg["P"]
    lq = math.log(q)
    out = np.zeros((P, EO), complex)
    for g in cfg["groups"]:
        if g["scheme"] == 0:
            x = default_x(cfg, lq, c1, c2)
            tabs = [cheb_cos(xi, cfg["degree"]) for xi in x]
        else:
            x = sym_x(cfg, lq, c1, c2)
            tabs = [cheb_rec(xi, cfg["degree"]) for xi in x]
        f = np.array([tabs[0][a] * tabs[1][b] * tabs[2][c] for a, b, c in g["terms"]])
        val = (f @ g["T"]).reshape(len(g["gidx"]), EO) if len(f) else np.zeros((len(g["gidx"]), EO), complex)
        for ls, loc, A in g["blocks"]:
            k = sym_rbf(x, g["U"], ls, g["parity"]) if g["scheme"] == 1 else rbf(x, g["U"], ls)
            val[loc] += (k @ A).reshape(len(loc), EO)
        out[g["gidx"]] = val
    var = np.zeros(P)
    if cfg["piece_key"] is not None:
        h = []
        for scheme, ls, nug, parity, Minv, U in cfg["keys"]:
            if scheme == 0:
                k = rbf(default_x(cfg, lq, c1, c2, clamp=False), U, ls)
                prior = 1.0
            else:
                x = sym_x(cfg, lq, c1, c2)
                k = sym_rbf(x, U, ls, parity)
                sgn = 1.0 if parity == 0 else -1.0
                prior = 0.5 * (1 + sgn * math.exp(-0.5 * ((2 * x[0] / ls[0]) ** 2 + (2 * x[2] / ls[2]) ** 2)))
            h.append(max(prior - k @ Minv @ k, nug))
        var = np.array(h)[cfg["piece_key"]] * cfg["msv"]
    return out.reshape(P, E, O), var


# ---------------------------------------------------------------- plan fixture

def crand(rng, *shape):
    return rng.normal(size=shape) + 1j * rng.normal(size=shape)


def make_plan(seed=0, pn=True, with_var=True, degree=3):
    """Five pieces: piece 2 is overwritten by a later group, piece 4 is held by no
    group, group 1 has a position served by two blocks and one served by none."""
    rng = np.random.default_rng(seed)
    cfg = {"P": 5, "degree": degree,
           "bounds": np.array([[-0.2, 2.3], [-0.9, 0.9], [-0.8, 0.8]]),
           "sym": (2.0, -0.9, 0.9, 0.8, pn), "groups": [], "keys": [], "piece_key": None}
    plan = rr.GPRContraction(P=5, E=E, O=O, degree=degree)
    plan.set_default_coords(cfg["bounds"])
    plan.set_sym_coords(*cfg["sym"])

    def group(scheme, parity, gidx, n_train, n_terms, blocks):
        gidx = np.array(gidx, np.int32)
        U = rng.uniform(-1, 1, size=(n_train, 3))
        T = crand(rng, n_terms, len(gidx) * EO)
        terms = rng.integers(0, degree + 1, size=(n_terms, 3)).astype(np.int32)
        gid = plan.add_group(scheme=scheme, parity=parity, gidx=gidx, U=U, T=T, terms=terms)
        g = {"scheme": scheme, "parity": parity, "gidx": gidx, "U": U, "T": T,
             "terms": terms, "blocks": []}
        for loc in blocks:
            ls = rng.uniform(0.5, 1.5, size=3)
            loc = np.array(loc, np.int32)
            A = crand(rng, n_train, len(loc) * EO)
            plan.add_block(gid=gid, ls=ls, loc=loc, A=A)
            g["blocks"].append((ls, loc, A))
        cfg["groups"].append(g)

    group(0, 0, [0, 2], 7, 5, [[0], [1]])
    group(1, 1, [1, 3, 2], 6, 4, [[0, 1], [1]])   # position 1 in two blocks, position 2 in none
    group(2, 0, [2], 5, 3, [[0]])
    if with_var:
        for scheme, parity in [(0, 0), (1, 1), (2, 0)]:
            n = 4
            U = rng.uniform(-1, 1, size=(n, 3))
            ls = rng.uniform(0.5, 1.5, size=3)
            M = rng.normal(size=(n, n)) * 0.05
            Minv = M @ M.T
            nug = 1e-6
            assert plan.add_var_key(scheme=scheme, ls=ls, nug=nug, parity=parity, Minv=Minv, U=U) == len(cfg["keys"])
            cfg["keys"].append((scheme, ls, nug, parity, Minv, U))
        cfg["piece_key"] = np.array([0, 1, 2, 1, 0], np.int32)
        cfg["msv"] = rng.uniform(0.5, 2.0, size=5)
        plan.set_var(piece_key=cfg["piece_key"], mean_signal_var=cfg["msv"])
    return plan, cfg


@pytest.fixture(scope="module")
def plan_cfg():
    return make_plan()


THETAS = np.array([[1.5, 0.1, -0.3], [3.0, -0.5, 0.7], [1.0, 0.2, 0.2], [20.0, 0.95, -0.99],
                   [0.7, -0.2, 0.4], [1.2, 0.0, 0.0], [5.0, 0.3, 0.3]])


# ---------------------------------------------------------------- single point

@pytest.mark.parametrize("theta", THETAS.tolist())
def test_evaluate_matches_numpy_oracle(plan_cfg, theta):
    plan, cfg = plan_cfg
    coefs, var = plan.evaluate(q=theta[0], chi1z=theta[1], chi2z=theta[2])
    ref_c, ref_v = oracle(cfg, *theta)
    assert coefs.shape == (5, E, O) and coefs.dtype == np.complex128
    np.testing.assert_allclose(coefs, ref_c, rtol=1e-12, atol=1e-12)
    np.testing.assert_allclose(var, ref_v, rtol=1e-11, atol=1e-13)
    assert np.all(coefs[4] == 0)


@pytest.mark.parametrize("degree", [0, 7])
def test_oracle_without_pn_correction(degree):
    plan, cfg = make_plan(seed=3, pn=False, degree=degree)
    c, _ = plan.evaluate_batch(THETAS)
    for b, theta in enumerate(THETAS):
        assert_bitwise(c[b], plan.evaluate(*theta)[0])
        coefs, var = plan.evaluate(*theta)
        ref_c, ref_v = oracle(cfg, *theta)
        np.testing.assert_allclose(coefs, ref_c, rtol=1e-12, atol=1e-12)
        np.testing.assert_allclose(var, ref_v, rtol=1e-11, atol=1e-13)


def test_empty_plan_and_default_variance():
    plan = rr.GPRContraction(P=2, E=3, O=4, degree=7)
    coefs, var = plan.evaluate(2.0, 0.1, 0.2)
    assert coefs.shape == (2, 3, 4) and np.all(coefs == 0)
    assert_bitwise(var, np.zeros(2))
    c, v = plan.evaluate_batch(np.array([[2.0, 0.1, 0.2]]))
    assert c.shape == (1, 2, 3, 4) and np.all(c == 0) and np.all(v == 0)


def test_position_without_block_is_trend_alone():
    # Same group with and without blocks: the position no block serves keeps its trend bits.
    rng = np.random.default_rng(5)
    U, T = rng.uniform(-1, 1, (4, 3)), crand(rng, 3, 2 * EO)
    terms = rng.integers(0, 3, (3, 3)).astype(np.int32)
    plans = []
    for with_block in (False, True):
        p = rr.GPRContraction(P=2, E=E, O=O, degree=2)
        p.set_default_coords(np.array([[0, 1], [-1, 1], [-1, 1]], float))
        p.add_group(scheme=0, parity=0, gidx=np.array([1, 0], np.int32), U=U, T=T, terms=terms)
        if with_block:
            p.add_block(gid=0, ls=np.ones(3), loc=np.array([1], np.int32), A=crand(rng, 4, EO))
        plans.append(p)
    a, _ = plans[0].evaluate(1.7, 0.3, -0.2)
    b, _ = plans[1].evaluate(1.7, 0.3, -0.2)
    assert_bitwise(a[1], b[1])
    assert not np.array_equal(a[0], b[0])
    bb, _ = plans[1].evaluate_batch(np.array([[1.7, 0.3, -0.2]] * 3))
    for row in bb:
        assert_bitwise(row, b)


@pytest.mark.parametrize("parity,sign", [(0, 1.0), (1, -1.0)])
def test_symmetric_scheme_parity(parity, sign):
    # A trend-free scheme-1 group is even/odd under q -> 1/q with the spins swapped.
    rng = np.random.default_rng(7)
    p = rr.GPRContraction(P=1, E=E, O=O, degree=2)
    p.set_sym_coords(L0=1.5, chi_lo=-1.0, chi_hi=1.0, A0=0.5, pn_coords=False)
    p.add_group(scheme=1, parity=parity, gidx=np.array([0], np.int32), U=rng.uniform(-1, 1, (6, 3)),
                T=np.zeros((0, EO), complex), terms=np.zeros((0, 3), np.int32))
    p.add_block(gid=0, ls=np.array([0.7, 0.9, 1.1]), loc=np.array([0], np.int32), A=crand(rng, 6, EO))
    a, _ = p.evaluate(2.5, 0.3, -0.4)
    b, _ = p.evaluate(1 / 2.5, -0.4, 0.3)
    np.testing.assert_allclose(b, sign * a, rtol=1e-12, atol=1e-14)
    # At the fixed point of the reflection an odd group vanishes.
    c, _ = p.evaluate(1.0, 0.25, 0.25)
    assert np.all(c == 0) if parity else np.any(c != 0)


def test_variance_floor_and_nan_kernel_row():
    p = rr.GPRContraction(P=2, E=1, O=1, degree=0)
    n = 3
    p.add_var_key(scheme=0, ls=np.ones(3), nug=0.25, parity=0, Minv=np.eye(n) * 10, U=np.zeros((n, 3)))
    p.set_var(piece_key=np.array([0, 0], np.int32), mean_signal_var=np.array([1.0, 2.0]))
    # Unconfigured default bounds: x = 2v - 1; the kernel row is near 1, so prior - quad < nug.
    _, v = p.evaluate(1.0, 0.5, 0.5)
    assert_bitwise(v, np.array([0.25, 0.5]))
    _, v = p.evaluate(1.0, float("nan"), 0.0)
    assert_bitwise(v, np.array([0.25, 0.5]))
    _, vb = p.evaluate_batch(np.array([[1.0, 0.5, 0.5], [1.0, float("nan"), 0.0]]))
    assert_bitwise(vb, np.array([[0.25, 0.5], [0.25, 0.5]]))


def test_scheme0_key_needs_no_default_coords_but_group_does():
    p = rr.GPRContraction(P=1, E=1, O=1, degree=0)
    p.add_var_key(scheme=0, ls=np.ones(3), nug=0.0, parity=0, Minv=np.zeros((1, 1)), U=np.zeros((1, 3)))
    p.set_var(piece_key=np.array([0], np.int32), mean_signal_var=np.array([1.0]))
    _, v = p.evaluate(2.0, 0.0, 0.0)
    assert v[0] == 1.0
    p.add_group(scheme=0, parity=0, gidx=np.array([0], np.int32), U=np.zeros((0, 3)),
                T=np.zeros((0, 1), complex), terms=np.zeros((0, 3), np.int32))
    with pytest.raises(RuntimeError, match="^default coords not configured$"):
        p.evaluate(2.0, 0.0, 0.0)


# ---------------------------------------------------------------- batch == single point

@pytest.mark.parametrize("B", [1, 2, 3, 5, 7, 19])
def test_evaluate_batch_bitwise_per_point(plan_cfg, B):
    plan, _ = plan_cfg
    rng = np.random.default_rng(B)
    thetas = np.column_stack([rng.uniform(0.5, 12, B), rng.uniform(-1, 1, B), rng.uniform(-1, 1, B)])
    thetas[0] = THETAS[3]  # a clamped point
    coefs, var = plan.evaluate_batch(thetas)
    assert coefs.shape == (B, 5, E, O) and var.shape == (B, 5)
    for b in range(B):
        c1, v1 = plan.evaluate(*thetas[b])
        assert_bitwise(coefs[b], c1)
        assert_bitwise(var[b], v1)


def test_batch_empty(plan_cfg):
    plan, _ = plan_cfg
    unconfigured = rr.GPRContraction(P=2, E=E, O=O, degree=1)
    unconfigured.add_group(scheme=0, parity=0, gidx=np.array([0], np.int32), U=np.zeros((1, 3)),
                           T=np.zeros((1, EO), complex), terms=np.zeros((1, 3), np.int32))
    for p, P in [(plan, 5), (unconfigured, 2)]:
        c, v = p.evaluate_batch(np.zeros((0, 3)))
        assert c.shape == (0, P, E, O) and v.shape == (0, P)
        n0 = rr.gpr_scatter_calls()
        v = p.evaluate_batch_into(np.zeros((0, 3)), np.zeros((0, 4, E, O), complex),
                                  np.full(P, -1, np.int32))
        assert v.shape == (0, P) and rr.gpr_scatter_calls() == n0 + 1


# ---------------------------------------------------------------- in place

def test_batch_into_bitwise_and_untouched(plan_cfg):
    plan, _ = plan_cfg
    thetas = THETAS[:5]
    ref_c, ref_v = plan.evaluate_batch(thetas)
    dst = np.array([6, -1, 0, -5, 3], np.int32)   # piece 4 (held by no group) -> slot 3
    dest = np.full((5, 7, E, O), 7.5 - 2.5j)
    before = dest.copy()
    n0 = rr.gpr_scatter_calls()
    var = plan.evaluate_batch_into(thetas=thetas, dest=dest, dst=dst)
    assert rr.gpr_scatter_calls() == n0 + 1
    assert_bitwise(var, ref_v)
    for p, s in enumerate(dst):
        if s >= 0:
            assert_bitwise(dest[:, s], ref_c[:, p])
    untouched = [s for s in range(7) if s not in dst]
    assert_bitwise(dest[:, untouched], before[:, untouched])
    assert np.all(dest[:, 3] == 0)


@pytest.mark.parametrize("offset", [8, 4])
def test_batch_into_misaligned_dest(plan_cfg, offset):
    plan, _ = plan_cfg
    thetas = THETAS[:4]
    ref_c, _ = plan.evaluate_batch(thetas)
    base = np.arange(4 * 6 * EO, dtype=float).reshape(4, 6, E, O) * (1 + 1j)
    dest = misaligned(base, offset)
    assert dest.flags.c_contiguous and dest.flags.writeable
    dst = np.array([0, 1, 2, 3, 4], np.int32)
    plan.evaluate_batch_into(thetas, dest, dst)
    assert_bitwise(np.ascontiguousarray(dest[:, :5]), ref_c)
    assert_bitwise(np.ascontiguousarray(dest[:, 5]), base[:, 5])


def test_batch_into_all_negative(plan_cfg):
    plan, _ = plan_cfg
    dest = np.full((2, 3, E, O), 1 + 1j)
    n0 = rr.gpr_scatter_calls()
    v = plan.evaluate_batch_into(THETAS[:2], dest, np.full(5, -1, np.int32))
    assert np.all(dest == 1 + 1j) and rr.gpr_scatter_calls() == n0 + 1
    assert_bitwise(v, plan.evaluate_batch(THETAS[:2])[1])


def _bad_dest_cases():
    good = np.zeros((2, 5, E, O), complex)
    ro = good.copy()
    ro.flags.writeable = False
    return [
        (np.zeros((2, 5, E)), "dest must be (B, P_dst, E, O)"),
        (np.zeros((3, 5, E, O), complex), "dest must be (B, P_dst, E, O) with this plan's B, E and O"),
        (np.zeros((2, 5, E, 2), complex), "dest must be (B, P_dst, E, O) with this plan's B, E and O"),
        (np.zeros((2, 5, E, O)), "dest must be complex128"),
        (np.zeros((2, 5, E, O), np.dtype(">c16")), "dest must be complex128"),
        (np.zeros((2, 10, E, O), complex)[:, ::2], "dest must be C-contiguous"),
        (ro, "dest must be writeable"),
    ]


@pytest.mark.parametrize("dest,msg", _bad_dest_cases())
def test_batch_into_dest_errors(plan_cfg, dest, msg):
    plan, _ = plan_cfg
    n0 = rr.gpr_scatter_calls()
    with pytest.raises(ValueError, match="^" + __import__("re").escape(msg) + "$"):
        plan.evaluate_batch_into(THETAS[:2], dest, np.arange(5, dtype=np.int32))
    assert rr.gpr_scatter_calls() == n0


@pytest.mark.parametrize("dst,msg", [
    (np.arange(4, dtype=np.int32), "dst must be (P,) for this plan"),
    (np.zeros((5, 1), np.int32), "dst must be (P,) for this plan"),
    (np.array([0, 1, 2, 3, 5], np.int32), "dst index out of range for dest"),
    (np.array([0, 1, 2, 1, -1], np.int32), "dst maps two plan pieces to one row slot of dest"),
])
def test_batch_into_dst_errors(plan_cfg, dst, msg):
    plan, _ = plan_cfg
    dest = np.full((2, 5, E, O), 3 + 0j)
    n0 = rr.gpr_scatter_calls()
    with pytest.raises(ValueError, match="^" + __import__("re").escape(msg) + "$"):
        plan.evaluate_batch_into(THETAS[:2], dest, dst)
    assert np.all(dest == 3) and rr.gpr_scatter_calls() == n0


def test_batch_into_dest_not_converted(plan_cfg):
    plan, _ = plan_cfg
    with pytest.raises(TypeError):
        plan.evaluate_batch_into(THETAS[:1], [[[[0j] * O] * E] * 5], np.arange(5, dtype=np.int32))


@pytest.mark.parametrize("thetas", [np.zeros((2, 4)), np.zeros(3), np.zeros((1, 1, 3))])
def test_thetas_shape(plan_cfg, thetas):
    plan, _ = plan_cfg
    with pytest.raises(ValueError, match=r"^thetas must be \(B, 3\)$"):
        plan.evaluate_batch(thetas)
    with pytest.raises(ValueError, match=r"^thetas must be \(B, 3\)$"):
        plan.evaluate_batch_into(thetas, np.zeros((2, 5, E, O), complex), np.arange(5, dtype=np.int32))


def test_configuration_errors_at_evaluation():
    def plan_with(scheme, key_scheme=None, set_var=False):
        p = rr.GPRContraction(P=1, E=1, O=1, degree=0)
        if scheme is not None:
            p.add_group(scheme=scheme, parity=0, gidx=np.array([0], np.int32), U=np.zeros((1, 3)),
                        T=np.ones((1, 1), complex), terms=np.zeros((1, 3), np.int32))
        if key_scheme is not None:
            p.add_var_key(scheme=key_scheme, ls=np.ones(3), nug=0.0, parity=0, Minv=np.eye(1), U=np.zeros((1, 3)))
        if set_var:
            p.set_var(piece_key=np.zeros(1, np.int32), mean_signal_var=np.ones(1))
        return p

    cases = [(plan_with(0), RuntimeError, "default coords not configured"),
             (plan_with(2), RuntimeError, "sym coords not configured"),
             (plan_with(None, 1, True), RuntimeError, "sym coords not configured"),
             (plan_with(0, 1, True), RuntimeError, "default coords not configured"),
             (plan_with(None, None, True), ValueError, r"piece_key entry names no variance key \(add_var_key first\)")]
    for p, exc, msg in cases:
        with pytest.raises(exc, match="^" + msg + "$"):
            p.evaluate(1.0, 0.0, 0.0)
        with pytest.raises(exc, match="^" + msg + "$"):
            p.evaluate_batch(np.ones((2, 3)))
        dest = np.full((2, 1, 1, 1), 9 + 9j)
        n0 = rr.gpr_scatter_calls()
        with pytest.raises(exc, match="^" + msg + "$"):
            p.evaluate_batch_into(np.ones((2, 3)), dest, np.zeros(1, np.int32))
        assert np.all(dest == 9 + 9j) and rr.gpr_scatter_calls() == n0 + 1
    # A sym key is unused (and needs nothing) while piece_key is empty.
    plan_with(None, 1, False).evaluate(1.0, 0.0, 0.0)


def test_scatter_counter_ignores_evaluate_batch(plan_cfg):
    plan, _ = plan_cfg
    n0 = rr.gpr_scatter_calls()
    plan.evaluate_batch(THETAS)
    plan.evaluate(2.0, 0.0, 0.0)
    assert rr.gpr_scatter_calls() == n0
    assert "reachability observable" in rr.gpr_scatter_calls.__doc__


# ---------------------------------------------------------------- configuration

def test_docstrings():
    G = rr.GPRContraction
    assert G.evaluate_batch.__doc__.strip().endswith(
        "bitwise B per-point evaluate() calls (rows independent; within-row order unchanged).")
    assert "PORT ITEM 1d." in G.evaluate_batch_into.__doc__
    assert "Bitwise-inert: only the destination ADDRESS of each store differs from evaluate_batch." in G.evaluate_batch_into.__doc__
    assert rr.gpr_scatter_calls.__doc__.strip().endswith("counted rather than inferred from a Python flag.")
    assert "Number of evaluate_batch_into() calls since load." in rr.gpr_scatter_calls.__doc__


def test_group_index_counts_and_rejected_calls():
    p = rr.GPRContraction(P=2, E=1, O=1, degree=1)
    args = dict(scheme=0, parity=0, U=np.zeros((2, 3)), terms=np.zeros((1, 3), np.int32))
    assert p.add_group(gidx=np.array([0], np.int32), T=np.ones((1, 1), complex), **args) == 0
    with pytest.raises(ValueError):
        p.add_group(gidx=np.array([0], np.int32), T=np.ones((1, 2), complex), **args)
    assert p.add_group(gidx=np.array([1, 0], np.int32), T=np.ones((1, 2), complex), **args) == 1
    assert p.add_group(gidx=np.zeros(0, np.int32), T=np.ones((1, 0), complex), **args) == 2
    with pytest.raises(IndexError, match=r"^invalid vector subscript$"):
        p.add_block(gid=3, ls=np.ones(3), loc=np.zeros(0, np.int32), A=np.zeros((2, 0), complex))


def _cfg_plan():
    p = rr.GPRContraction(P=3, E=1, O=2, degree=2)
    p.add_group(scheme=0, parity=0, gidx=np.array([0, 2], np.int32), U=np.zeros((4, 3)),
                T=np.zeros((2, 4), complex), terms=np.zeros((2, 3), np.int32))
    return p


G_OK = dict(scheme=0, parity=0, gidx=np.array([1], np.int32), U=np.zeros((3, 3)),
            T=np.zeros((2, 2), complex), terms=np.zeros((2, 3), np.int32))
B_OK = dict(gid=0, ls=np.ones(3), loc=np.array([1], np.int32), A=np.zeros((4, 2), complex))
K_OK = dict(scheme=0, ls=np.ones(3), nug=0.0, parity=0, Minv=np.eye(3), U=np.zeros((3, 3)))


@pytest.mark.parametrize("method,changes,exc,msg", [
    ("set_default_coords", dict(bounds=np.zeros((2, 3))), ValueError, r"bounds must be \(3, 2\)"),
    ("add_group", dict(gidx=np.array(1, np.int32)), IndexError, r"invalid axis: 0 \(ndim = 0\)"),
    ("add_group", dict(gidx=np.zeros((1, 1), np.int32)), ValueError, r"gidx must be one-dimensional \(Pg,\)"),
    ("add_group", dict(gidx=np.array([3], np.int32)), ValueError, r"gidx entries must lie in \[0, P\)"),
    ("add_group", dict(gidx=np.array([-1], np.int32)), ValueError, r"gidx entries must lie in \[0, P\)"),
    ("add_group", dict(gidx=np.array([1, 1], np.int32), T=np.zeros((2, 4), complex)), ValueError,
     "gidx entries of one group must be distinct"),
    ("add_group", dict(U=np.zeros((3, 2))), ValueError, r"U must be \(n_train, 3\)"),
    ("add_group", dict(U=np.zeros(3)), ValueError, r"U must be \(n_train, 3\)"),
    ("add_group", dict(T=np.array(1j)), IndexError, r"invalid axis: 0 \(ndim = 0\)"),
    ("add_group", dict(T=np.zeros((2, 3), complex)), ValueError, r"T must be \(n_terms, Pg\*E\*O\)"),
    ("add_group", dict(terms=np.zeros((3, 3), np.int32)), ValueError, r"terms must be \(n_terms, 3\)"),
    ("add_group", dict(terms=np.full((2, 3), 3, np.int32)), ValueError, r"terms entries must lie in \[0, degree\]"),
    ("add_group", dict(terms=np.full((2, 3), -1, np.int32)), ValueError, r"terms entries must lie in \[0, degree\]"),
    ("add_block", dict(gid=-1), IndexError, "invalid vector subscript"),
    ("add_block", dict(gid=1), IndexError, "invalid vector subscript"),
    ("add_block", dict(ls=np.ones(2)), IndexError, "index 2 is out of bounds for axis 0 with size 2"),
    ("add_block", dict(ls=np.ones((3, 1))), IndexError, r"index dimension mismatch: 1 \(ndim = 2\)"),
    ("add_block", dict(loc=np.array(0, np.int32)), IndexError, r"invalid axis: 0 \(ndim = 0\)"),
    ("add_block", dict(loc=np.zeros((1, 1), np.int32)), ValueError, r"loc must be one-dimensional \(k,\)"),
    ("add_block", dict(loc=np.array([2], np.int32)), ValueError, r"loc entries must lie in \[0, Pg\) of the group"),
    ("add_block", dict(loc=np.array([1, 1], np.int32), A=np.zeros((4, 4), complex)), ValueError,
     "loc entries of one block must be distinct"),
    ("add_block", dict(A=np.zeros((3, 2), complex)), ValueError, r"A must be \(n_train, k\*E\*O\)"),
    ("add_block", dict(A=np.zeros((4, 4), complex)), ValueError, r"A must be \(n_train, k\*E\*O\)"),
    ("add_var_key", dict(ls=np.ones(1)), IndexError, "index 1 is out of bounds for axis 0 with size 1"),
    ("add_var_key", dict(U=np.array(0.0)), IndexError, r"invalid axis: 0 \(ndim = 0\)"),
    ("add_var_key", dict(U=np.zeros((3, 4))), ValueError, r"U must be \(n, 3\)"),
    ("add_var_key", dict(Minv=np.zeros((3, 4))), ValueError, r"Minv must be \(n, n\)"),
    ("set_var", dict(piece_key=np.zeros(2, np.int32)), ValueError, r"per-piece var arrays must be \(P,\)"),
    ("set_var", dict(mean_signal_var=np.zeros(4)), ValueError, r"per-piece var arrays must be \(P,\)"),
    ("set_var", dict(piece_key=np.array(0, np.int32)), IndexError, r"invalid axis: 0 \(ndim = 0\)"),
    ("set_var", dict(piece_key=np.zeros((3, 1), np.int32)), ValueError, r"piece_key must be one-dimensional \(P,\)"),
    ("set_var", dict(mean_signal_var=np.zeros((3, 2))), ValueError, r"mean_signal_var must be one-dimensional \(P,\)"),
    ("set_var", dict(piece_key=np.array([0, -1, 0], np.int32)), ValueError, "piece_key entries must be non-negative"),
])
def test_configuration_argument_errors(method, changes, exc, msg):
    p = _cfg_plan()
    base = {"set_default_coords": {}, "add_group": G_OK, "add_block": B_OK, "add_var_key": K_OK,
            "set_var": dict(piece_key=np.zeros(3, np.int32), mean_signal_var=np.ones(3))}[method]
    with pytest.raises(exc, match="^" + msg + "$"):
        getattr(p, method)(**{**base, **changes})
    # A rejected call leaves the plan as it was: the next group still gets index 1 and
    # the first good block is the only one the group has.
    assert p.add_group(**G_OK) == 1
    p.add_block(**B_OK)


def test_rejected_set_var_keeps_earlier_lists():
    p = rr.GPRContraction(P=2, E=1, O=1, degree=0)
    p.add_var_key(scheme=0, ls=np.ones(3), nug=0.5, parity=0, Minv=np.zeros((1, 1)), U=np.zeros((1, 3)))
    p.set_var(piece_key=np.zeros(2, np.int32), mean_signal_var=np.array([2.0, 3.0]))
    with pytest.raises(ValueError):
        p.set_var(piece_key=np.zeros(2, np.int32), mean_signal_var=np.ones(3))
    _, v = p.evaluate(1.0, 0.0, 0.0)
    assert list(v) == [2.0, 3.0]


@pytest.mark.parametrize("args,msg", [
    ((2, 3, 4, 8), r"degree must lie in \[0, 7\]"),
    ((2, 3, 4, -1), r"degree must lie in \[0, 7\]"),
    ((-1, 3, 4, 1), "P, E and O must be non-negative"),
    ((2, 65536, 65536, 1), r"E\*O must be below 2\^31"),
    ((40000, 300, 300, 1), r"P\*E\*O must be below 2\^31"),
])
def test_constructor_limits(args, msg):
    with pytest.raises(ValueError, match="^" + msg + "$"):
        rr.GPRContraction(*args)


def test_configuration_copies_arrays():
    plan, cfg = make_plan(seed=11)
    before = plan.evaluate(*THETAS[0])
    for g in cfg["groups"]:
        g["T"][...] = 0
        g["U"][...] = 0
        for _, _, A in g["blocks"]:
            A[...] = 0
    after = plan.evaluate(*THETAS[0])
    assert_bitwise(before[0], after[0])


# ---------------------------------------------------------------- finalisation

def test_after_finalize_raises_runtime_error():
    run_python("""
        import numpy as np, radiredide as rr
        p = rr.GPRContraction(P=1, E=1, O=1, degree=0)
        rr.finalize_kokkos()
        p.add_group(scheme=0, parity=0, gidx=np.zeros(0, np.int32), U=np.zeros((0, 3)),
                    T=np.zeros((0, 0), complex), terms=np.zeros((0, 3), np.int32))
        calls = [lambda: p.evaluate(1.0, 0.0, 0.0),
                 lambda: p.evaluate_batch(np.ones((2, 3))),
                 lambda: p.evaluate_batch_into(np.ones((2, 3)), np.zeros((2, 1, 1, 1), complex), np.zeros(1, np.int32)),
                 lambda: rr.anchor_contract64(np.ones((1, 1)), np.ones((1, 1), complex), np.ones((1, 1)), np.ones((1, 1), complex))]
        for c in calls:
            try:
                c()
            except RuntimeError as e:
                assert "finalize" in str(e)
            else:
                raise AssertionError("ran after finalize_kokkos")
    """)
