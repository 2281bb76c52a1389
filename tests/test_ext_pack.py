"""Extension packs: sizing rule, argument checks, and the physics of the pack.

The physics fixture is a synthetic surrogate made from the 4PN closed forms
themselves: its time map, J track and mode fits are Chebyshev element fits of
the PN orbit over a phase range.  A pack built below that range must then
continue the same orbit, so its knots, times and mode content can be checked
against the closed forms directly.
"""
import functools
import math

import numpy as np
import pytest
from numpy.polynomial import chebyshev as npcheb
from scipy.interpolate import CubicSpline

import radiredide as rr
from conftest import assert_bitwise, misaligned

TWO_PI = 6.283185307179586
MODES = [(2, 2, 0), (2, 1, 1), (3, 3, 2), (4, 4, 4)]  # (l, m, weight slot)


# ---------------------------------------------------------------- sizing rule

def grid_size_mirror(q, chi1z, chi2z, lo, hi, n_x_max=6000, err_target=1e-6):
    """The sizing rule written out step by step (a cross-language contract)."""
    with np.errstate(all="ignore"):
        f = np.float64
        nc = (f(lo) ** f(-2.5) - f(hi) ** f(-2.5)) / ((f(q) / ((f(q) + 1.0) * (f(q) + 1.0))) * 100.53096491487338)
        nc1 = f(1.0) if 1.0 > nc else nc
        d = f(err_target) / (nc1 ** f(0.77) * 4.4)
        h = math.sqrt(d) if d >= 0 else math.nan
        ratio = f(hi) / f(lo)
        L = math.log(ratio) if ratio > 0 and math.isfinite(ratio) else (math.inf if ratio == math.inf else math.nan)
    if L > 0 and h > 0:
        m = math.ceil(L / h) + 1.0
        if 0 < m < n_x_max:
            return min(max(int(m), 256), n_x_max)
    return n_x_max


@pytest.mark.parametrize("args, expected", [
    ((1.0, 0.0, 0.0, 0.1, 0.12), 690),                      # worked value
    ((1.0, 0.0, 0.0, 0.15, 0.2, 6000, 1e-4), 256),          # floor
    ((1.0, 0.0, 0.0, 0.01, 0.02), 6000),                    # far above the cap
    ((1.0, 0.0, 0.0, 0.15, 0.2, 200, 1e-4), 200),           # floor never exceeds the cap
    ((1.0, 0.0, 0.0, 0.15, 0.2, 256, 1e-4), 256),
    ((1.0, 0.0, 0.0, 0.12, 0.1), 6000),                     # reversed span
    ((1.0, 0.0, 0.0, 0.1, 0.1), 6000),                      # empty span
    ((1.0, 0.0, 0.0, 0.1, 0.12, 6000, 0.0), 6000),          # zero error target
    ((1.0, 0.0, 0.0, 0.1, 0.12, 6000, -1e-6), 6000),        # negative error target
    ((1.0, 0.0, 0.0, math.nan, 0.12), 6000),
    ((math.nan, 0.0, 0.0, 0.1, 0.12), 6000),
    ((1.0, 0.0, 0.0, 0.1, 0.12, 690), 690),                 # m == cap: the cap
    ((1.0, 0.0, 0.0, 0.1, 0.12, 691), 690),                 # m just below the cap
    ((1.0, 0.0, 0.0, 0.1, 0.12, 689), 689),
])
def test_grid_size_worked_values_and_boundaries(args, expected):
    assert rr.quadrature_grid_size_probe(*args) == expected
    assert grid_size_mirror(*args) == expected


def test_grid_size_matches_mirror_and_ignores_spins():
    rng = np.random.default_rng(4)
    for _ in range(400):
        q = float(rng.uniform(0.2, 12.0))
        lo = float(10 ** rng.uniform(-3.0, -0.8))
        hi = lo * float(10 ** rng.uniform(-0.05, 0.6))
        nmax = int(rng.choice([100, 256, 1000, 6000, 20000]))
        err = float(10 ** rng.uniform(-9, -2))
        want = grid_size_mirror(q, 0, 0, lo, hi, nmax, err)
        assert rr.quadrature_grid_size_probe(q, 0.0, 0.0, lo, hi, nmax, err) == want
        assert rr.quadrature_grid_size_probe(q, 0.9, -0.7, lo, hi, nmax, err) == want
    # Nc below 1 counts as 1: a tiny span at high frequency.
    assert rr.quadrature_grid_size_probe(1.0, 0, 0, 0.3, 0.3001, 6000, 1e-2) == 256


def test_grid_size_defaults_and_types():
    assert rr.quadrature_grid_size_probe(1.0, 0.0, 0.0, 0.1, 0.12) == \
        rr.quadrature_grid_size_probe(1.0, 0.0, 0.0, 0.1, 0.12, 6000, 1e-06)
    assert rr.quadrature_grid_size_probe(q=1, chi1z=0, chi2z=0, x_grid_lo=0.1, x_grid_hi=0.12,
                                         n_x_max=6000, err_target=1e-6) == 690
    with pytest.raises(TypeError):
        rr.quadrature_grid_size_probe(1.0, 0.0, 0.0, 0.1, 0.12, 6000.5)
    assert "CHECKED rather than asserted" in rr.quadrature_grid_size_probe.__doc__


# ---------------------------------------------------------------- synthetic model

@functools.lru_cache(maxsize=None)
def pn_orbit(q, chi1z, chi2z, x_lo=0.02, x_hi=0.14, n=12001):
    """Dense PN orbit from the closed forms: x, t(x), phi(x), L(x)."""
    xs = np.geomspace(x_lo, x_hi, n)
    probe = [rr.pn4_probe(math.sqrt(x), q, chi1z, chi2z) for x in xs]
    L = np.array([p[0] for p in probe])
    dE = np.array([p[3] for p in probe])
    F = np.array([p[4] for p in probe])
    tx = -dE / F
    px = xs ** 1.5 * tx
    t = CubicSpline(xs, tx).antiderivative()(xs)
    phi = CubicSpline(xs, px).antiderivative()(xs)
    return xs, t, phi, L


def rotated_weights(v, q, chi1z, chi2z, modes=MODES):
    w = rr.pn4_weights_grid(np.asarray(v, dtype=np.float64), q, chi1z, chi2z)
    out = []
    for (_, m, slot) in modes:
        ang = ((m * math.pi) * 0.5) - math.pi
        out.append(w[slot] * complex(math.cos(ang), math.sin(ang)))
    return np.array(out)


class Model:
    """Element fits of one PN orbit over [phi(x_a), phi(x_b)]."""

    PHI_A = 100.0  # phase of the model's first knot, shared by every model

    def __init__(self, q=1.5, chi1z=0.2, chi2z=-0.1, x_a=0.045, x_b=0.1, span=None, E=24, O=14,
                 J_scale=1.0, mode_scale=None):
        self.theta = (q, chi1z, chi2z)
        xs, t, phi, L = pn_orbit(q, chi1z, chi2z)
        phi = phi - CubicSpline(xs, phi)(x_a) + self.PHI_A
        self.x_of_phi = CubicSpline(phi, xs)
        self.t_of_phi = CubicSpline(phi, t)
        self.L_of_phi = CubicSpline(phi, L)
        self.phi_of_x = CubicSpline(xs, phi)
        pa = self.PHI_A
        pb = float(self.phi_of_x(x_b)) if span is None else pa + span
        self.breaks = np.linspace(pa, pb, E + 1)
        nodes = np.cos(np.pi * (np.arange(2 * O) + 0.5) / (2 * O))
        tau = np.zeros((E, O), complex)
        J = np.zeros((E, O), complex)
        modes = np.zeros((len(MODES), E, O), complex)
        for e in range(E):
            a, b = self.breaks[e], self.breaks[e + 1]
            ph = a + (nodes + 1) * 0.5 * (b - a)
            tau[e] = npcheb.chebfit(nodes, self.t_of_phi(ph), O - 1)
            J[e] = J_scale * npcheb.chebfit(nodes, self.L_of_phi(ph), O - 1)
            h = self.content(ph)
            if mode_scale is not None:
                h = h * mode_scale(np.sqrt(self.x_of_phi(ph)))
            for k in range(len(MODES)):
                modes[k, e] = npcheb.chebfit(nodes, h[k].real, O - 1) + 1j * npcheb.chebfit(nodes, h[k].imag, O - 1)
        self.tau, self.J, self.modes = tau, J, modes
        self.l = np.array([m[0] for m in MODES], np.int32)
        self.m = np.array([m[1] for m in MODES], np.int32)
        self.w = np.array([m[2] for m in MODES], np.int32)

    def content(self, phi):
        return rotated_weights(np.sqrt(self.x_of_phi(phi)), *self.theta)

    def args(self):
        return (self.breaks, self.tau, self.J, self.modes, self.l, self.m, self.w)

    def single(self, f_low, **kw):
        return rr.build_extension_pack(*self.args(), *self.theta, f_low, **kw)


def f_of_x(x):
    return x ** 1.5 / math.pi


@functools.lru_cache(maxsize=None)
def model(**kw):
    return Model(**kw)


@functools.lru_cache(maxsize=None)
def base_pack():
    return model().single(f_of_x(0.035), n_per_orbit=64)


def eval_cubic(c, knots, x):
    j = np.clip(np.searchsorted(knots, x, side="right") - 1, 0, len(knots) - 2)
    d = x - knots[j]
    return c[3, j] + d * c[2, j] + d * d * c[1, j] + d * d * d * c[0, j]


def test_pack_continues_the_pn_orbit():
    M = model()
    p = base_pack()
    rep = p["report"]
    tk, pk = p["t_knots"], p["phi_knots"]
    C = len(tk)
    assert C >= 64 and p["phi_c"].shape == (4, C - 1) and p["mode_c"].shape == (4, 4, C - 1)
    i_edge = int(np.searchsorted(pk, M.breaks[0], side="left"))
    assert 0 < i_edge < C
    assert pk[0] == rep["Phi_start"] and pk[-1] == M.breaks[-1]
    assert rep["Phi_edge"] == M.breaks[0]
    # Phase at f_low: the PN phase of x_low.
    x_low = (math.pi * f_of_x(0.035)) ** (2 / 3)
    assert abs(rep["Phi_start"] - float(M.phi_of_x(x_low))) < 1e-4
    assert rep["orbits_added"] == pytest.approx((M.breaks[0] - rep["Phi_start"]) / TWO_PI, rel=1e-12)
    assert rep["f22_start"] == pytest.approx(f_of_x(0.035), rel=1e-12)
    assert rep["f22_edge"] == pytest.approx(f_of_x(0.045), rel=1e-8)
    assert rep["anchor"] == "J-action" and rep["n_x"] == 6000 and rep["roll_orbits"] == 4.0
    # The J anchor lies at the anchor phase, and the model and PN times agree there.
    assert rep["Phi_anchor"] == M.breaks[0] + min((M.breaks[-1] - M.breaks[0]) * 0.2, 4 * TWO_PI)
    assert rep["x_anchor"] == pytest.approx(float(M.x_of_phi(rep["Phi_anchor"])), rel=1e-9)
    assert rep["J_anchor"] == pytest.approx(float(M.L_of_phi(rep["Phi_anchor"])), rel=1e-11)
    t_scale = rep["t_added"]
    assert t_scale == pytest.approx(float(M.t_of_phi(pk[i_edge]) - M.t_of_phi(pk[0])), rel=1e-7)
    assert abs(rep["dt_edge"]) < 1e-7 * t_scale
    # Time at every knot, PN arm and model alike.
    assert np.max(np.abs(tk - M.t_of_phi(pk))) < 1e-7 * t_scale
    # Mode content at every knot: the rotated PN weights, continuous across the edge.
    truth = M.content(pk)
    got = p["mode_c"][:, 3, :]
    rel = np.abs(got - truth[:, :-1]) / np.abs(truth[:, :-1])
    assert np.max(rel) < 1e-6
    for key, ent in rep["modes"].items():
        assert ent["R_edge"] == pytest.approx((1.0, 0.0), abs=1e-8)
        assert 0 < ent["edge_step_rel"] < 0.01
    assert list(rep["modes"]) == ["22", "21", "33", "44"]


def test_pack_splines_match_scipy_not_a_knot():
    p = base_pack()
    tk, pk = p["t_knots"], p["phi_knots"]
    ref = CubicSpline(tk, pk, bc_type="not-a-knot").c
    scale = np.abs(ref).max(axis=1, keepdims=True)
    assert np.max(np.abs(p["phi_c"] - ref) / scale) < 1e-9
    mc = p["mode_c"]
    h = np.diff(pk)[-1]
    for k in range(mc.shape[0]):
        c = mc[k]
        last = c[3, -1] + h * c[2, -1] + h * h * c[1, -1] + h * h * h * c[0, -1]
        y = np.append(c[3], last)
        for part in (np.real, np.imag):
            ref = CubicSpline(pk, part(y), bc_type="not-a-knot").c
            scale = np.abs(ref).max(axis=1, keepdims=True) + 1e-300
            assert np.max(np.abs(part(c) - ref) / scale) < 1e-8


def test_keys_and_report_order():
    p = base_pack()
    assert list(p) == ["t_knots", "phi_knots", "phi_c", "mode_c", "report"]
    assert list(p["report"]) == ["Phi_start", "Phi_edge", "Phi_anchor", "anchor", "x_anchor", "J_anchor",
                                 "orbits_added", "t_added", "f22_start", "f22_edge", "dt_edge",
                                 "roll_orbits", "n_x", "modes"]
    assert p["mode_c"].dtype == np.complex128 and p["phi_c"].dtype == np.float64
    assert isinstance(p["report"]["n_x"], int)
    assert list(p["report"]["modes"]["22"]) == ["edge_step_rel", "R_edge"]


def test_declines_inside_reach_and_f_low_errors():
    M = model()
    assert M.single(f_of_x(0.05)) is None
    with pytest.raises(ValueError, match=r"^f_low must be positive \(cycles/M\)$"):
        M.single(0.0)
    with pytest.raises(ValueError, match=r"^f_low must be positive \(cycles/M\)$"):
        M.single(-1e-3)


@pytest.mark.parametrize("n_x", [1, 2, 3])
def test_tiny_pn_grid_refused(n_x):
    with pytest.raises(RuntimeError, match=r"^spline_nak needs n >= 4$"):
        model().single(f_of_x(0.035), n_x=n_x)


def test_omega_seam_anchor():
    M = model()
    j = base_pack()["report"]
    p = M.single(f_of_x(0.035), n_per_orbit=64, seam_anchor_omega=True)
    rep = p["report"]
    assert rep["anchor"] == "omega-seam"
    assert rep["Phi_anchor"] == rep["Phi_edge"]
    assert rep["x_anchor"] == pytest.approx((math.pi * rep["f22_edge"]) ** (2 / 3), rel=1e-14)
    assert rep["J_anchor"] == j["J_anchor"]  # still J at the J-action anchor phase
    assert np.max(np.abs(p["t_knots"] - M.t_of_phi(p["phi_knots"]))) < 1e-5 * rep["t_added"]


def test_n_x_rule_sizes_the_grid():
    M = model()
    rep = base_pack()["report"]
    p = M.single(f_of_x(0.035), n_per_orbit=64, n_x_rule=True, n_x_err_target=1e-6)
    x_low = (math.pi * f_of_x(0.035)) ** 0.6666666666666666
    want = rr.quadrature_grid_size_probe(*M.theta, x_low * 0.995, rep["x_anchor"] * 1.05, 6000, 1e-6)
    assert p["report"]["n_x"] == want < 6000


@pytest.mark.parametrize("O", [14, 3, 2])
def test_single_row_is_the_same_with_kernels_and_loops(O):
    # The batch runs the row's inner loops as plain loops (knots of one element
    # several at a time); the single-row builder launches them one knot per
    # item: the rows must agree bit for bit, whatever the fits' order.
    M = model(O=O)
    p = base_pack() if O == 14 else M.single(f_of_x(0.035), n_per_orbit=64)
    b = rr.build_extension_pack_batch(M.breaks, M.tau[None], M.J[None], M.modes[None], M.l, M.m, M.w,
                                      np.array([M.theta]), np.array([f_of_x(0.035)]), n_per_orbit=64)
    for key in ("t_knots", "phi_knots", "phi_c", "mode_c"):
        assert_bitwise(b[key], p[key])
    assert list(b["offsets"]) == [0, len(p["t_knots"])]
    assert list(b["coffsets"]) == [0, len(p["t_knots"]) - 1]
    for key in ("Phi_start", "Phi_edge", "Phi_anchor", "x_anchor", "J_anchor", "orbits_added",
                "t_added", "f22_start", "f22_edge", "dt_edge"):
        assert_bitwise(b["report"][key], np.array([p["report"][key]]))


# ---------------------------------------------------------------- batch

@functools.lru_cache(maxsize=None)
def batch_inputs():
    """Four rows: three parameter points and f_low values, one row inside reach."""
    thetas = [(1.5, 0.2, -0.1), (1.5, 0.2, -0.1), (2.0, -0.3, 0.4), (1.2, 0.0, 0.0)]
    f_lows = [f_of_x(0.035), f_of_x(0.05), f_of_x(0.038), f_of_x(0.04)]
    span = float(np.ptp(model().breaks))
    models = [model(q=t[0], chi1z=t[1], chi2z=t[2], span=span) for t in thetas]
    for M in models:
        assert_bitwise(M.breaks, models[0].breaks)  # one knot vector for the batch
    stack = lambda name: np.stack([getattr(M, name) for M in models])
    M = models[0]
    return (M.breaks, stack("tau"), stack("J"), stack("modes"), M.l, M.m, M.w,
            np.array(thetas), np.array(f_lows))


def shared_model_rows():
    return batch_inputs()


# At the default 256 knots per orbit two of the rows hold more than 4 MiB of
# mode coefficients (buffers of their own mapping) and one holds less.  The rows
# are not in f_low order, so they are built and copied in an order of their own.
@pytest.mark.parametrize("opts", [dict(n_per_orbit=48), dict(n_per_orbit=48, seam_anchor_omega=True, ratio_powerlaw=True),
                                  dict()])
def test_batch_rows_equal_single_rows(opts):
    args = shared_model_rows()
    breaks, tau, J, modes, l, m, w, thetas, f_low = args
    b = rr.build_extension_pack_batch(*args, **opts)
    assert list(b) == ["offsets", "coffsets", "t_knots", "phi_knots", "phi_c", "mode_c", "engaged", "report"]
    off, coff = b["offsets"], b["coffsets"]
    assert off.dtype == np.int64 and coff.dtype == np.int64
    rep = b["report"]
    for r in range(len(thetas)):
        single = rr.build_extension_pack(breaks, tau[r], J[r], modes[r], l, m, w, *thetas[r], f_low[r], **opts)
        if single is None:
            assert not b["engaged"][r] and off[r + 1] == off[r] and coff[r + 1] == coff[r]
            assert rep["n"][r] == 0 and rep["n_x"][r] == 0 and rep["f22_edge"][r] > 0
            assert not rep["R_edge"][r].any() and not rep["edge_step_rel"][r].any()
            continue
        assert b["engaged"][r]
        sl, cs = slice(off[r], off[r + 1]), slice(coff[r], coff[r + 1])
        assert_bitwise(b["t_knots"][sl], single["t_knots"])
        assert_bitwise(b["phi_knots"][sl], single["phi_knots"])
        assert_bitwise(np.ascontiguousarray(b["phi_c"][:, cs]), single["phi_c"])
        assert_bitwise(np.ascontiguousarray(b["mode_c"][:, :, cs]), single["mode_c"])
        srep = single["report"]
        for key in ("Phi_start", "x_anchor", "J_anchor", "t_added", "dt_edge", "f22_edge"):
            assert_bitwise(rep[key][r:r + 1], np.array([srep[key]]))
        assert rep["n_x"][r] == srep["n_x"] and rep["n"][r] == off[r + 1] - off[r]
        for k, key in enumerate(["22", "21", "33", "44"]):
            if key in srep["modes"]:
                assert rep["edge_step_rel"][r, k] == srep["modes"][key]["edge_step_rel"]
                assert rep["R_edge"][r, k] == complex(*srep["modes"][key]["R_edge"])
    assert not b["engaged"][1]
    assert rep["anchor"] == ("omega-seam" if opts.get("seam_anchor_omega") else "J-action")


def test_batch_layout_and_no_engaged_rows():
    breaks, tau, J, modes, l, m, w, thetas, f_low = shared_model_rows()
    hi = np.full(len(thetas), f_of_x(0.05))
    b = rr.build_extension_pack_batch(breaks, tau, J, modes, l, m, w, thetas, hi)
    assert list(b["offsets"]) == [0] * 5 and list(b["coffsets"]) == [0] * 5
    assert b["t_knots"].shape == (0,) and b["phi_c"].shape == (4, 0) and b["mode_c"].shape == (4, 4, 0)
    assert b["engaged"].dtype == np.bool_ and not b["engaged"].any()
    # K = 0: knots and phi_c only.
    b0 = rr.build_extension_pack_batch(breaks, tau[:1], J[:1], modes[:1, :0], l[:0], m[:0], w[:0],
                                       thetas[:1], f_low[:1], n_per_orbit=16)
    s0 = rr.build_extension_pack(breaks, tau[0], J[0], modes[0, :0], l[:0], m[:0], w[:0], *thetas[0],
                                 f_low[0], n_per_orbit=16)
    assert b0["mode_c"].shape == (0, 4, b0["coffsets"][-1]) and s0["mode_c"].shape == (0, 4, len(s0["t_knots"]) - 1)
    assert_bitwise(b0["phi_c"], s0["phi_c"])
    assert s0["report"]["modes"] == {}


def test_batch_failure_is_the_lowest_row_after_all_rows():
    breaks, tau, J, modes, l, m, w, thetas, f_low = shared_model_rows()
    th = np.array([[1.5, 0.2, -0.1], [1.5, 0.2, -0.1], [1.5, 0.1, -0.2], [2.0, -0.3, 0.4]])
    fl = f_low.copy()
    fl[2] = 0.0
    with pytest.raises(ValueError) as ei:
        rr.build_extension_pack_batch(breaks, tau, J, modes, l, m, w, th, fl, n_per_orbit=16)
    assert str(ei.value) == ("f_low must be positive (cycles/M) (batch row 2, (q, chi1z, chi2z) = "
                             "(1.500000, 0.100000, -0.200000))")
    fl[3] = -1.0
    fl[1] = 0.0
    with pytest.raises(ValueError, match=r"\(batch row 1, "):
        rr.build_extension_pack_batch(breaks, tau, J, modes, l, m, w, th, fl, n_per_orbit=16)
    # RuntimeError for the other statuses.
    with pytest.raises(RuntimeError) as ei:
        rr.build_extension_pack_batch(breaks, tau, J, modes, l, m, w, thetas, f_low, n_x=3)
    assert str(ei.value) == ("spline_nak needs n >= 4 (batch row 0, (q, chi1z, chi2z) = "
                             "(1.500000, 0.200000, -0.100000))")
    # "%f" of a huge value is not cut short.
    th[0, 0] = 1e300
    fl[0] = 0.0
    with pytest.raises(ValueError) as ei:
        rr.build_extension_pack_batch(breaks, tau, J, modes, l, m, w, th, fl)
    assert str(ei.value) == ("f_low must be positive (cycles/M) (batch row 0, (q, chi1z, chi2z) = (" +
                             "%f" % 1e300 + ", 0.200000, -0.100000))")


@pytest.mark.parametrize("change, msg", [
    # J far below the PN angular momentum: L(x) = J_anchor has no root below x = 0.2.
    (dict(J=0.2), r"J anchor has no root in the 4PN bracket"),
    # A time map 100 times too fast puts the omega seam far outside the PN trust region.
    (dict(tau=0.01, seam_anchor_omega=True), r"PN dt/dx not positive on the requested x range; "
                                             r"the 4PN flux is outside its trust region"),
    # A time map that runs backwards cannot join the PN arm.
    (dict(tau=-1.0), r"hybrid time map is not monotonic; the PN arm and the model disagree too "
                     r"strongly at the edge"),
])
def test_row_failures(change, msg):
    M = model()
    change = dict(change)
    tau = M.tau * change.pop("tau", 1.0)
    J = M.J * change.pop("J", 1.0)
    args = (M.breaks, tau, J, M.modes, M.l, M.m, M.w)
    with pytest.raises(RuntimeError, match="^" + msg + "$"):
        rr.build_extension_pack(*args, *M.theta, f_of_x(0.035), n_per_orbit=16, **change)
    with pytest.raises(RuntimeError, match="^" + msg + r" \(batch row 1, "):
        rr.build_extension_pack_batch(M.breaks, np.stack([M.tau, tau]), np.stack([M.J, J]),
                                      np.stack([M.modes] * 2), M.l, M.m, M.w, np.array([M.theta] * 2),
                                      np.array([f_of_x(0.035)] * 2), n_per_orbit=16, **change)


def test_pn_grid_not_increasing_is_refused():
    # A J track far below the PN angular momentum makes an f_low above the
    # model's edge frequency look out of reach; with the omega seam the PN grid
    # would then run downwards.
    M = model(J_scale=0.5)
    with pytest.raises(RuntimeError, match=r"^PN quadrature grid is not increasing"):
        M.single(f_of_x(0.06), seam_anchor_omega=True)


def test_misaligned_inputs_give_the_same_pack():
    M = model()
    p = base_pack()
    q = rr.build_extension_pack(misaligned(M.breaks), misaligned(M.tau), misaligned(M.J), misaligned(M.modes),
                                misaligned(M.l), misaligned(M.m), misaligned(M.w), *M.theta, f_of_x(0.035),
                                n_per_orbit=64)
    for key in ("t_knots", "phi_c", "mode_c"):
        assert_bitwise(q[key], p[key])


# ---------------------------------------------------------------- argument checks

def small_args(B=None, E=3, O=4, K=2):
    breaks = np.linspace(0.0, 30.0, E + 1)
    shape = (E, O) if B is None else (B, E, O)
    mshape = (K, E, O) if B is None else (B, K, E, O)
    tau = np.zeros(shape, complex)
    J = np.zeros(shape, complex)
    modes = np.zeros(mshape, complex)
    l = np.array([2, 2][:K], np.int32)
    m = np.array([2, 1][:K], np.int32)
    w = np.array([0, 1][:K], np.int32)
    return dict(breaks=breaks, tau_coefs=tau, J_coefs=J, mode_coefs=modes, l=l, m=m, weight_index=w)


SINGLE_ERRORS = [
    (dict(breaks=np.zeros((2, 2))), ValueError, "breaks must be 1d"),
    (dict(tau_coefs=np.zeros((4, 4), complex)), ValueError, r"tau coefs must be \(E, O\)"),
    (dict(tau_coefs=np.zeros(3, complex)), ValueError, r"tau coefs must be \(E, O\)"),
    (dict(J_coefs=np.zeros((3, 5), complex)), ValueError, r"J coefs must be \(E, O\)"),
    (dict(mode_coefs=np.zeros((2, 3, 5), complex)), ValueError, r"mode coefs must be \(K, E, O\)"),
    (dict(mode_coefs=np.zeros((3, 4), complex)), ValueError, r"mode coefs must be \(K, E, O\)"),
    (dict(l=np.int32(2)), IndexError, r"invalid axis: 0 \(ndim = 0\)"),
    (dict(m=np.zeros(3, np.int32)), ValueError, r"ell/emm/widx must be \(K,\)"),
    (dict(weight_index=np.int32(0)), IndexError, r"invalid axis: 0 \(ndim = 0\)"),
    # what the row builder assumes, refused up front
    (dict(weight_index=np.array([0, 8], np.int32)), ValueError, r"widx entries must lie in 0\.\.7"),
    (dict(weight_index=np.array([-1, 0], np.int32)), ValueError, r"widx entries must lie in 0\.\.7"),
    (dict(breaks=np.array([0.0, 1.0, 1.0, 2.0])), ValueError, "breaks must be strictly increasing"),
    (dict(breaks=np.array([0.0, 1.0, np.nan, 2.0])), ValueError, "breaks must be strictly increasing"),
    (dict(breaks=np.array([0.0]), tau_coefs=np.zeros((0, 4), complex), J_coefs=np.zeros((0, 4), complex),
          mode_coefs=np.zeros((2, 0, 4), complex)), ValueError, r"breaks must hold at least 2 knots"),
    (dict(tau_coefs=np.zeros((3, 0), complex), J_coefs=np.zeros((3, 0), complex),
          mode_coefs=np.zeros((2, 3, 0), complex)), ValueError, r"coefs must hold at least one coefficient per element \(O >= 1\)"),
    (dict(n_x=0), ValueError, r"n_x must be >= 1"),
    (dict(f_low=math.nan), ValueError, "f_low must be finite"),
    (dict(f_low=math.inf), ValueError, "f_low must be finite"),
]


@pytest.mark.parametrize("change, exc, msg", SINGLE_ERRORS)
def test_single_row_argument_errors(change, exc, msg):
    kw = small_args()
    kw.update(q=1.5, chi1z=0.0, chi2z=0.0, f_low=0.001)
    kw.update(change)
    with pytest.raises(exc, match="^" + msg):
        rr.build_extension_pack(**kw)


BATCH_ERRORS = [
    (dict(breaks=np.zeros((2, 2))), ValueError, "breaks must be 1d"),
    (dict(tau_coefs=np.zeros((2, 4, 4), complex)), ValueError, r"tau coefs must be \(B, E, O\)"),
    (dict(J_coefs=np.zeros((3, 3, 4), complex)), ValueError, r"J coefs must be \(B, E, O\)"),
    (dict(mode_coefs=np.zeros((2, 2, 3, 5), complex)), ValueError, r"mode coefs must be \(B, K, E, O\)"),
    (dict(mode_coefs=np.zeros((3, 2, 3, 4), complex)), ValueError, r"mode coefs must be \(B, K, E, O\)"),
    (dict(l=np.int32(1)), IndexError, r"invalid axis: 0 \(ndim = 0\)"),
    (dict(weight_index=np.zeros(1, np.int32)), ValueError, r"ell/emm/widx must be \(K,\)"),
    (dict(thetas=np.zeros((2, 4))), ValueError, r"thetas must be \(B, 3\)"),
    (dict(thetas=np.zeros(3)), ValueError, r"thetas must be \(B, 3\)"),
    (dict(f_low=np.zeros(3)), ValueError, r"f_low must be \(B,\)"),
    (dict(f_low=np.zeros((2, 1))), ValueError, r"f_low must be \(B,\)"),
    (dict(tau_coefs=np.zeros((0, 3, 4), complex), J_coefs=np.zeros((0, 3, 4), complex),
          mode_coefs=np.zeros((0, 2, 3, 4), complex), thetas=np.zeros((0, 3)), f_low=np.zeros(0)),
     ValueError, "empty batch"),
    (dict(weight_index=np.array([0, 9], np.int32)), ValueError, r"widx entries must lie in 0\.\.7"),
    (dict(n_x=-5), ValueError, r"n_x must be >= 1"),
    (dict(f_low=np.array([0.001, np.nan])), ValueError, "f_low must be finite"),
]


@pytest.mark.parametrize("change, exc, msg", BATCH_ERRORS)
def test_batch_argument_errors(change, exc, msg):
    kw = small_args(B=2)
    kw.update(thetas=np.array([[1.5, 0.0, 0.0], [2.0, 0.0, 0.0]]), f_low=np.array([0.001, 0.001]))
    kw.update(change)
    with pytest.raises(exc, match="^" + msg):
        rr.build_extension_pack_batch(**kw)


def test_binding_signatures():
    for fn in (rr.build_extension_pack, rr.build_extension_pack_batch):
        sig = fn.__doc__.splitlines()[0]
        assert sig.endswith("-> object")
        assert "n_x_err_target: typing.SupportsFloat = 1e-06" in sig
        assert "n_per_orbit: typing.SupportsInt = 256" in sig
    assert "Returns None when f_low is inside the model's reach." in rr.build_extension_pack.__doc__
    assert "per-row arithmetic bitwise the scalar builder's." in rr.build_extension_pack_batch.__doc__
    with pytest.raises(TypeError):
        rr.build_extension_pack(**small_args(), q=1.0, chi1z=0.0, chi2z=0.0, f_low=0.001, n_x=6000.5)


def test_power_law_roll_follows_the_fitted_exponent():
    # Modes that deviate from PN as 1 + a (v/v_a)^p give |ratio - 1| a clean
    # power law in v: the roll below the edge then follows (v/v_edge)^p.
    a, p_exp = 0.01, 3.0
    v_a = math.sqrt(0.045)
    M = Model(mode_scale=lambda v: 1.0 + a * (v / v_a) ** p_exp)
    f_low = f_of_x(0.035)
    on = M.single(f_low, n_per_orbit=64, ratio_powerlaw=True)
    off = M.single(f_low, n_per_orbit=64)
    rep = on["report"]
    pk = on["phi_knots"]
    i_edge = int(np.searchsorted(pk, M.breaks[0], side="left"))
    v = np.sqrt(M.x_of_phi(pk[:i_edge]))
    v_edge = (math.pi * rep["f22_edge"]) ** (1 / 3)
    B = np.clip(v / v_edge, 0.0, 1.0) ** p_exp
    h = M.content(pk[:i_edge])
    for k, key in enumerate(["22", "21", "33", "44"]):
        R = complex(*rep["modes"][key]["R_edge"])
        assert abs(R - (1 + a)) < 2 * a  # the median ratio over the roll window
        want = h[k] * ((R - 1.0) * B + 1.0)
        got = on["mode_c"][k, 3, :i_edge]
        assert np.max(np.abs(got - want) / np.abs(h[k])) < 1e-7
        # Without the power law the raised cosine rolls over four orbits only.
        assert np.max(np.abs(off["mode_c"][k, 3, :i_edge] - want) / np.abs(h[k])) > 1e-4
    # The model's own part is the same either way.
    assert_bitwise(on["mode_c"][:, 3, i_edge:], off["mode_c"][:, 3, i_edge:])


def test_mode_without_pn_weight():
    # Equal masses and spins: the (2, 1) and (3, 3) weights vanish exactly, so
    # these modes get no PN content and a zero edge ratio.
    M = model(q=1.0, chi1z=0.1, chi2z=0.1)
    p = M.single(f_of_x(0.035), n_per_orbit=32)
    i_edge = int(np.searchsorted(p["phi_knots"], M.breaks[0], side="left"))
    modes = p["report"]["modes"]
    for k, key in ((1, "21"), (2, "33")):
        assert modes[key]["R_edge"] == (0.0, 0.0)
        assert not p["mode_c"][k, :, :i_edge - 1].any()
    assert modes["22"]["R_edge"] == pytest.approx((1.0, 0.0), abs=1e-8)
