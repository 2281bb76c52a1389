"""blend_project: the fused raw-piece synthesis, 4PN weights, inverse-variance blend
and collocation projection, its timing dict, kernels and argument checks."""
import json

import numpy as np
import pytest

import radiredide as rr
from conftest import assert_bitwise, misaligned
import fused_cases as fc

KERNELS = ("fused_pieces_weights", "fused_median", "fused_blend", "fused_project")
ORDER = ["breaks", "Craw", "phi", "p_tau", "p_xpc", "dIdx", "rIdx", "wIdx", "emm", "thetas",
         "vD", "pvR", "calR", "i0", "stw", "p2s"]

needs_pn4 = pytest.mark.skipif(not hasattr(rr, "pn4_weights_batch"),
                               reason="4PN weight grids not built into this module")


def call(case, **kw):
    args = dict(case)
    args.update(kw)
    return rr.blend_project(**args)


@pytest.fixture(scope="module")
def case():
    return fc.make_blend_case()


def test_binding_surface():
    assert rr.pack_kernel_names() == KERNELS
    doc = rr.blend_project.__doc__
    assert "-> object" in doc.splitlines()[0]
    assert doc.rstrip().endswith(
        "exec_space ('host' | 'device') picks the execution space for all four kernels; the "
        "default reproduces the pre-port behaviour.")


@needs_pn4
# Orders 8, 12 and 25 run with the order fixed at compile time, the others read it;
# sample counts off a multiple of four leave partly filled lane blocks.
@pytest.mark.parametrize("O, N, shape", [(7, 121, {}), (25, 120, {}), (1, 41, dict(E=3, C=4)),
                                         (8, 118, {}), (12, 123, dict(E=5)), (2, 7, dict(E=2, C=3))])
def test_matches_numpy_oracle_bitwise(O, N, shape):
    c = fc.make_blend_case(O=O, N=N, **shape)
    coeffs, tau = call(c)
    ref = fc.blend_oracle(rr, c)
    assert coeffs.shape == (3, 4, len(c["breaks"]) - 1, c["p2s"].shape[0])
    assert np.isfinite(coeffs).all()
    assert_bitwise(tau, ref["tau"])
    assert_bitwise(coeffs, ref["coeffs"])


@needs_pn4
def test_small_and_negative_x_use_the_floor():
    c = fc.make_blend_case(N=70)
    Craw = c["Craw"].copy()
    Craw[:, 1, :2] = 0.0             # x = 0
    Craw[:, 1, 2:4, 0] = -0.2        # x < 0
    c = dict(c, Craw=Craw)
    ref = fc.blend_oracle(rr, c)
    assert (ref["v"][:, :20] == 1e-4).all()
    coeffs, tau = call(c)
    assert_bitwise(coeffs, ref["coeffs"])


@needs_pn4
def test_coefficients_reproduce_blend_at_collocation_points(case):
    coeffs, _ = call(case)
    ref = fc.blend_oracle(rr, case)
    E = len(case["breaks"]) - 1
    C = case["p2s"].shape[1]
    _, _, _, uc = fc.chebyshev_stencil(case["breaks"], case["phi"], C)
    T = np.polynomial.chebyshev.chebvander(uc, coeffs.shape[-1] - 1)     # (C, O2)
    back = np.einsum("co,bkeo->bkec", T, coeffs)
    j = case["i0"].reshape(E, C)
    t = case["stw"].reshape(E, C)
    colloc = (1 - t) * ref["blend"][:, :, j] + t * ref["blend"][:, :, j + 1]
    np.testing.assert_allclose(back, colloc, rtol=1e-10, atol=1e-12 * np.abs(colloc).max())


@needs_pn4
def test_blend_limits(case):
    """A mode without ratio piece is D * phased weight; a blended mode lies between its
    direct value and its estimate with the inverse-variance weight.  The module's
    coefficients are those limits interpolated to the collocation points and projected."""
    ref = fc.blend_oracle(rr, case)
    e, u = fc.elements(case["breaks"], case["phi"])
    phr, phi = fc.phase_factors(case["emm"])
    limit = np.zeros_like(ref["blend"])
    for k in range(len(case["dIdx"])):
        s = case["wIdx"][k]
        wp = ref["W"][:, s] * (phr[k] + 1j * phi[k])
        D = fc.piece_values(case["Craw"], case["dIdx"][k], e, u)
        if case["rIdx"][k] < 0:
            limit[:, k] = D * wp
            np.testing.assert_allclose(ref["blend"][:, k], limit[:, k], rtol=1e-13)
        else:
            P = fc.piece_values(case["Craw"], case["rIdx"][k], e, u) * wp
            med = np.median(np.abs(wp), axis=-1)
            vR = med**2 * case["pvR"][:, k] * case["calR"][k]
            wd = (1 / case["vD"][:, k]) / (1 / case["vD"][:, k] + 1 / vR)
            limit[:, k] = wd[:, None] * D + (1 - wd[:, None]) * P
            np.testing.assert_allclose(ref["blend"][:, k], limit[:, k], rtol=1e-12)
    coeffs, _ = call(case)
    E, C = len(case["breaks"]) - 1, case["p2s"].shape[1]
    j, t = case["i0"].reshape(E, C), case["stw"].reshape(E, C)
    colloc = (1 - t) * limit[:, :, j] + t * limit[:, :, j + 1]          # (B, K, E, C)
    expect = np.einsum("oc,bkec->bkeo", case["p2s"], colloc)
    np.testing.assert_allclose(coeffs, expect, rtol=1e-11, atol=1e-13 * np.abs(expect).max())


@needs_pn4
def test_order_25_matches_zero_padded_generic_order():
    c = fc.make_blend_case(O=25, N=90)
    padded = dict(c, Craw=np.concatenate([c["Craw"], np.zeros(c["Craw"].shape[:3] + (3,))], -1))
    a = call(c)
    b = call(padded)
    assert_bitwise(a[0], b[0])
    assert_bitwise(a[1], b[1])


@needs_pn4
def test_zero_median_amplitude_takes_estimate_without_direct_piece():
    # q = 1 with equal spins: the (5, 5) weight (slot 6) vanishes, so med2 = 0 and the
    # value is the estimate alone; a NaN direct piece must then not be read.
    c = fc.make_blend_case(q=1.0, K=4, R=6)
    c["thetas"] = np.array([[1.0, 0.2, 0.2], [1.0, -0.4, -0.4], [1.0, 0.0, 0.0]])
    assert (rr.pn4_weights_batch(np.full((3, 4), 0.3), c["thetas"])[:, 6] == 0).all()
    c["dIdx"] = c["dIdx"].copy()
    c["dIdx"][3] = 5                  # a piece that only mode 3 uses
    assert c["wIdx"][3] == 6 and c["rIdx"][3] >= 0
    Craw = c["Craw"].copy()
    Craw[:, 5] = np.nan
    coeffs, _ = call(c, Craw=Craw)
    assert np.isfinite(coeffs).all()
    assert (coeffs[:, 3] == 0).all()
    assert_bitwise(coeffs[:, :3], call(c)[0][:, :3])


@needs_pn4
def test_samples_outside_and_nan_sample():
    c = fc.make_blend_case(N=61)
    phi = c["phi"].copy()
    phi[0] = c["breaks"][0] - 0.7     # extrapolated on element 0
    phi[-1] = c["breaks"][-1] + 0.4   # extrapolated on the last element
    phi[30] = np.nan                  # element 0, NaN value
    i0, stw, p2s, _ = fc.chebyshev_stencil(c["breaks"], np.where(np.isnan(phi), 0.5 * (phi[29] + phi[31]), phi), 8)
    c = dict(c, phi=phi, i0=i0, stw=stw, p2s=p2s)
    _, tau = call(c)
    ref = fc.blend_oracle(rr, c)
    assert_bitwise(tau, ref["tau"])
    assert np.isnan(tau[:, 30]).all() and np.isfinite(np.delete(tau, 30, axis=1)).all()


@needs_pn4
def test_stencil_weights_pick_samples():
    c = fc.make_blend_case(N=80, C=4, E=3)
    ref = fc.blend_oracle(rr, c)
    # One Chebyshev coefficient per element read straight off the left or right sample.
    for t, off in ((0.0, 0), (1.0, 1)):
        i0 = np.full(12, 10, np.int64) + np.arange(12)
        stw = np.full(12, t)
        p2s = np.zeros((1, 4))
        p2s[0, 2] = 1.0
        coeffs, _ = call(c, i0=i0, stw=stw, p2s=p2s)
        j = i0.reshape(3, 4)[:, 2] + off
        assert_bitwise(coeffs[..., 0], np.ascontiguousarray(ref["blend"][:, :, j]))


def test_tau_without_weights(case):
    # tau depends on the raw pieces only.
    _, tau = call(case)
    e, u = fc.elements(case["breaks"], case["phi"])
    assert_bitwise(tau, fc.clenshaw(case["Craw"][:, 0][:, e, :].real, u))


@pytest.mark.parametrize("space", ["device", "default"])
def test_exec_space_values_give_same_bits(case, space):
    a = call(case)
    b = call(case, exec_space=space)
    assert_bitwise(a[0], b[0])
    assert_bitwise(a[1], b[1])


def test_misaligned_inputs_give_same_bits(case):
    ref = call(case)
    for off in (8, 4):
        m = dict(case, Craw=misaligned(case["Craw"], off), breaks=misaligned(case["breaks"]),
                 phi=misaligned(case["phi"]), thetas=misaligned(case["thetas"]),
                 vD=misaligned(case["vD"]), pvR=misaligned(case["pvR"]),
                 calR=misaligned(case["calR"]), i0=misaligned(case["i0"]),
                 stw=misaligned(case["stw"]), p2s=misaligned(case["p2s"]))
        got = call(m)
        assert_bitwise(got[0], ref[0])
        assert_bitwise(got[1], ref[1])


def test_timing_dict(case):
    out = call(case, timing=True)
    assert len(out) == 3
    t = out[2]
    assert list(t) == ["host_prep", "upload", "bytes_up", "bytes_down", *rr.pack_kernel_names(),
                       "download"]
    assert all(type(x) is float and x >= 0.0 for x in t.values())
    assert t["bytes_up"] == 0.0 and t["bytes_down"] == 0.0
    assert_bitwise(out[0], call(case)[0])
    assert len(call(case, timing=False)) == 2


def _residency(fn):
    rr.residency_begin()
    try:
        fn()
    finally:
        d = rr.residency_end()
    return d


def test_fences(case):
    d = _residency(lambda: call(case))
    # With timing off no fence is counted: neither one of the stage's own nor
    # one that Kokkos inserts around the launches for the tools.
    assert d["fences"] == 0 and not [e for e in d["events"] if e[0] == "fence"]
    d = _residency(lambda: call(case, timing=True))
    fences = [e for e in d["events"] if e[0] == "fence"]
    major, minor, _ = map(int, rr.kokkos_version.split("."))
    if (major, minor) >= (3, 5):
        # after host_prep, after upload, around each kernel, before download;
        # each global fence once, however many execution spaces report it
        assert fences == [("fence", "Kokkos::fence: Unnamed Global Fence", "", "", 0)] * 11
        assert d["fences"] == 11
    else:
        assert fences == [] and d["fences"] == 0  # Kokkos 3.4 does not report fences to tools


def test_collocation_order_limit():
    c = fc.make_blend_case(E=2, C=32, N=200)
    coeffs, _ = call(c)
    assert coeffs.shape[-1] == 32
    c33 = fc.make_blend_case(E=2, C=33, N=200)

    def run():
        with pytest.raises(ValueError, match=r"^collocation order > 32$"):
            call(c33)
    ev = _residency(run)["events"]
    assert [e[1] for e in ev if e[0] == "launch" and e[1] in KERNELS] == list(KERNELS[:3])


@pytest.mark.parametrize("B, K", [(0, 4), (3, 0), (0, 0)])
def test_empty_batch_and_no_modes(B, K):
    c = fc.make_blend_case(B=max(B, 1), K=max(K, 1))
    c = dict(c, Craw=c["Craw"][:B], thetas=c["thetas"][:B], vD=c["vD"][:B, :K],
             pvR=c["pvR"][:B, :K], calR=c["calR"][:K], dIdx=c["dIdx"][:K], rIdx=c["rIdx"][:K],
             wIdx=c["wIdx"][:K], emm=c["emm"][:K])
    coeffs, tau = call(c)
    E = len(c["breaks"]) - 1
    assert coeffs.shape == (B, K, E, c["p2s"].shape[0])
    assert tau.shape == (B, len(c["phi"]))
    if B:
        assert_bitwise(tau, call(fc.make_blend_case())[1])


def _bad(case, **kw):
    c = dict(case)
    c.update(kw)
    return c


def bad_cases():
    c = fc.make_blend_case(N=50)
    E, C = 6, 8
    V, I = ValueError, IndexError
    two = np.zeros((4, 1), np.int32)
    rows = [
        ("exec_space", dict(exec_space="Host"), V, "exec_space must be 'host', 'device' or 'default'"),
        ("exec_space_blank", dict(exec_space="host "), V, "exec_space must be 'host', 'device' or 'default'"),
        ("exec_space_first", dict(exec_space="gpu", Craw=np.zeros(3, complex)), V, "exec_space must be"),
        ("breaks_0d", dict(breaks=np.float64(1.0)), I, r"invalid axis: 0 \(ndim = 0\)"),
        ("craw_3d", dict(Craw=c["Craw"][0]), V, r"Craw must be \(B, R, E, O\)"),
        ("breaks_len", dict(breaks=c["breaks"][:-1]), V, r"Craw must be \(B, R, E, O\)"),
        ("E_zero", dict(breaks=c["breaks"][:1], Craw=c["Craw"][:, :, :0]), V, r"at least two knots"),
        ("O_zero", dict(Craw=c["Craw"][..., :0]), V, r"at least one coefficient"),
        ("phi_0d", dict(phi=np.float64(0.0)), I, r"invalid axis: 0 \(ndim = 0\)"),
        ("dIdx_0d", dict(dIdx=np.int32(2)), I, r"invalid axis: 0 \(ndim = 0\)"),
        ("K_mismatch", dict(rIdx=c["rIdx"][:3]), V, r"mode index arrays must be \(K,\)"),
        ("emm_mismatch", dict(emm=np.zeros(5, np.int32)), V, r"mode index arrays must be \(K,\)"),
        ("thetas", dict(thetas=c["thetas"][:2]), V, r"thetas must be \(B, 3\)"),
        ("thetas_1d", dict(thetas=c["thetas"][0]), V, r"thetas must be \(B, 3\)"),
        ("vD", dict(vD=c["vD"][:, :3]), V, r"vD/pvR must be \(B, K\), calR \(K,\)"),
        ("pvR", dict(pvR=c["pvR"].ravel()), V, r"vD/pvR must be \(B, K\), calR \(K,\)"),
        ("calR", dict(calR=c["calR"][:3]), V, r"vD/pvR must be \(B, K\), calR \(K,\)"),
        ("p2s_1d", dict(p2s=c["p2s"][0]), I, r"invalid axis: 1 \(ndim = 1\)"),
        ("stencil_len", dict(i0=c["i0"][:-1]), V, r"projection stencil must be \(E \* C,\)"),
        ("stw_len", dict(stw=c["stw"][:-1]), V, r"projection stencil must be \(E \* C,\)"),
        ("C_zero", dict(p2s=np.zeros((8, 0)), i0=c["i0"][:0], stw=c["stw"][:0]), V, r"projection stencil"),
        ("p_tau", dict(p_tau=5), V, "tau/xpc piece index out of range"),
        ("p_xpc_neg", dict(p_xpc=-1), V, "tau/xpc piece index out of range"),
        ("i0_last", dict(i0=np.where(np.arange(E * C) == 3, 49, c["i0"])), V, "stencil index out of range"),
        ("i0_neg", dict(i0=np.where(np.arange(E * C) == 3, -1, c["i0"])), V, "stencil index out of range"),
        ("i0_huge", dict(i0=np.where(np.arange(E * C) == 3, 2**63 - 1, c["i0"])), V, "stencil index out of range"),
        ("dIdx_R", dict(dIdx=np.array([2, 3, 5, 2], np.int32)), V, "mode piece index out of range"),
        ("dIdx_neg", dict(dIdx=np.array([2, -1, 4, 2], np.int32)), V, "mode piece index out of range"),
        ("rIdx_R", dict(rIdx=np.array([3, -1, 5, 4], np.int32)), V, "mode piece index out of range"),
        ("wIdx_8", dict(wIdx=np.array([0, 8, 2, 6], np.int32)), V, "mode piece index out of range"),
        ("wIdx_neg", dict(wIdx=np.array([0, -1, 2, 6], np.int32)), V, "mode piece index out of range"),
        ("dIdx_2d", dict(dIdx=two + 2), I, r"index dimension mismatch: 1 \(ndim = 2\)"),
        ("emm_2d", dict(emm=two), I, r"index dimension mismatch: 1 \(ndim = 2\)"),
    ]
    return c, rows


_C, _ROWS = bad_cases()


@pytest.mark.parametrize("name, kw, exc, msg", _ROWS, ids=[r[0] for r in _ROWS])
def test_errors(name, kw, exc, msg):
    with pytest.raises(exc, match=msg):
        call(_C, **kw)


def test_stencil_edge_accepted_and_negative_ratio_accepted():
    i0 = _C["i0"].copy()
    i0[3] = 48  # N - 2
    call(_C, i0=i0)
    call(_C, rIdx=np.array([-7, -1, 2, 4], np.int32))


def test_type_errors():
    with pytest.raises(TypeError):
        call(_C, p_tau=0.0)
    with pytest.raises(TypeError):
        call(_C, Craw="x")
