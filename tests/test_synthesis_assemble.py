"""assemble_imr64 / assemble_imr32 (and their _host bindings): masks, cosine
blend into the merger-ringdown modes and the reflection mode sum."""
import math

import numpy as np
import pytest

from conftest import assert_bitwise, cosf, misaligned

ARGS = ("h_insp", "idx", "h_mr", "jdx", "i0", "t_geo", "tau0", "t_start", "tau_end", "mr_hi",
        "b0", "blend1", "wp", "wm")


def oracle(a, dtype=np.float64):
    """The per-sample steps, vectorised over (B, N) with one IEEE operation per step."""
    T = dtype
    cosfn = math.cos if T == np.float64 else (lambda x: cosf(float(x)))
    eps, pi = T(1e-9), T(math.pi)
    mr_hi, b0, blend1 = T(a["mr_hi"]), T(a["b0"]), T(a["blend1"])
    h_insp, h_mr, i0 = a["h_insp"], a["h_mr"], a["i0"]
    t, tau0, t_start, tau_end = a["t_geo"], a["tau0"][:, None], a["t_start"][:, None], a["tau_end"][:, None]
    B, _, N = h_insp.shape
    inside = (t >= tau0 - eps) & (t <= mr_hi + eps) & ~(t < t_start - eps)
    tf = np.where(tau0 > t, tau0, t)
    tt = np.where(mr_hi < tf, mr_hi, tf)
    e = np.where(tau_end > blend1, blend1, tau_end)
    with np.errstate(all="ignore"):
        u = (tt - b0) / (e - b0)
    uc = np.where(u < T(0), T(0), np.where(u > T(1), T(1), u)).astype(T)
    x = (uc * pi).astype(T)
    c = np.array([cosfn(v) for v in x.ravel()], dtype=T).reshape(x.shape)
    w = ((T(1) - c) * T(0.5)).astype(T)
    wi = (T(1) - w).astype(T)
    insp = tau_end >= tt
    blend = np.arange(N)[None, :] >= i0
    col = np.arange(N) - i0  # column of h_mr read by sample n in the blend branch
    sr = np.zeros((B, N), T)
    si = np.zeros((B, N), T)
    for k in range(len(a["idx"])):
        hi = h_insp[:, a["idx"][k], :]
        hm = np.zeros((B, N), h_insp.dtype)
        hm[:, col >= 0] = h_mr[:B, a["jdx"][k], col[col >= 0]]
        ir, ii = np.where(insp, hi.real, T(0)), np.where(insp, hi.imag, T(0))
        hr = np.where(blend, w * hm.real + wi * ir, hi.real)
        hj = np.where(blend, w * hm.imag + wi * ii, hi.imag)
        p, q = a["wp"][:, k : k + 1], a["wm"][:, k : k + 1]
        pre = p.real * hr - p.imag * hj
        pim = p.real * hj + p.imag * hr
        nh = -hj
        qre = q.real * hr - q.imag * nh
        qim = q.imag * hr + q.real * nh
        sr = sr + (pre + qre)
        si = si + (pim + qim)
    hp = np.where(inside, sr, T(0)).astype(T)
    hc = np.where(inside, -si, T(0)).astype(T)
    return hp, hc


def make_args(i0=100, N=600, K=5, seed=0):
    rng = np.random.default_rng(seed)
    B, Ki, Km = 3, 4, 3
    eps = 1e-9
    mr_hi, b0, blend1 = 100.0, 40.0, 60.0
    tau0 = np.array([-50.0, -20.0, 0.0])
    t_start = np.array([-40.0, -30.0, 0.0])  # row 1 starts below its domain edge
    tau_end = np.array([80.0, 50.0, 40.0])   # row 1 ends inside the window, row 2 has e = b0
    t = np.linspace(-60.0, 110.0, N)[None, :] + rng.uniform(-0.1, 0.1, (B, N))
    t = np.sort(t, axis=1)
    for b in range(B):  # mask edges: exactly on them is inside, one ulp beyond is outside
        t[b, 1] = tau0[b] - eps
        t[b, 2] = np.nextafter(tau0[b] - eps, -np.inf)
        t[b, -3] = np.nextafter(mr_hi + eps, np.inf)
        t[b, -2] = mr_hi + eps
        t[b, 3] = t_start[b] - eps
        t[b, 4] = np.nextafter(t_start[b] - eps, -np.inf)
    if 0 < i0 <= 150 < N:
        t[1, 150] = tau0[1] - 0.5 * eps  # floored to tau0 in the blend branch
    if i0 <= 400 < N:
        t[2, 400] = b0                   # zero-length window at tt = b0: NaN
    h_insp = rng.normal(size=(B, Ki, N)) + 1j * rng.normal(size=(B, Ki, N))
    h_mr = rng.normal(size=(B + 1, Km, N - i0)) + 1j * rng.normal(size=(B + 1, Km, N - i0))
    return dict(h_insp=h_insp, idx=np.array([0, 2, 3, 1, 0][:K], np.int32), h_mr=h_mr,
                jdx=np.array([0, 1, 2, 2, 1][:K], np.int32), i0=i0, t_geo=t, tau0=tau0,
                t_start=t_start, tau_end=tau_end, mr_hi=mr_hi, b0=b0, blend1=blend1,
                wp=rng.normal(size=(B, K)) + 1j * rng.normal(size=(B, K)),
                wm=rng.normal(size=(B, K)) + 1j * rng.normal(size=(B, K)))


def to32(a):
    out = dict(a)
    for key, v in a.items():
        if isinstance(v, np.ndarray) and v.dtype == np.float64:
            out[key] = v.astype(np.float32)
        elif isinstance(v, np.ndarray) and v.dtype == np.complex128:
            out[key] = v.astype(np.complex64)
    return out


def call(f, a):
    return f(*[a[k] for k in ARGS])


@pytest.mark.parametrize("i0", [-250, 0, 100, 600])
@pytest.mark.parametrize("name", ["assemble_imr64", "assemble_imr64_host"])
def test_imr64_matches_oracle_bitwise(rr, name, i0):
    a = make_args(i0=i0)
    hp, hc = call(getattr(rr, name), a)
    assert hp.shape == hc.shape == (3, 600) and hp.dtype == np.float64
    ref_hp, ref_hc = oracle(a)
    assert_bitwise(hp, ref_hp, nan_equal=True)  # row 2 holds a 0/0 sample
    assert_bitwise(hc, ref_hc, nan_equal=True)  # row 2 holds a 0/0 sample


def test_imr64_edge_samples(rr):
    a = make_args(i0=100)
    hp, hc = call(rr.assemble_imr64, a)
    assert hp[1, 1] != 0 and hp[1, 2] == 0 and hc[1, 2] == 0       # tau0 - eps edge (row 1)
    assert hp[0, -2] != 0 and hp[0, -3] == 0                        # mr_hi + eps edge
    assert hp[0, 3] != 0 and hp[0, 4] == 0 and hp[0, 1] == 0        # t_start - eps edge (row 0)
    assert np.isnan(hp[2, 400]) and np.isnan(hc[2, 400])            # e = b0 and tt = b0
    assert np.isfinite(np.delete(hp[2], 400)).all()
    # row 1 past tau_end: pure merger-ringdown, no inspiral left
    n = np.nonzero((a["t_geo"][1] > 60.0) & (a["t_geo"][1] < 99.0))[0][5]
    hm = a["h_mr"][1, a["jdx"], n - 100]
    S = (a["wp"][1] * hm + a["wm"][1] * hm.conj()).sum()
    np.testing.assert_allclose([hp[1, n], hc[1, n]], [S.real, -S.imag], rtol=1e-12)


def test_k0_signs(rr):
    """No terms: hp is +0.0 everywhere, hc is -0.0 inside the mask and +0.0 outside."""
    a = make_args(K=0)
    hp, hc = call(rr.assemble_imr64, a)
    t, eps = a["t_geo"], 1e-9
    inside = ((t >= a["tau0"][:, None] - eps) & (t <= a["mr_hi"] + eps)
              & ~(t < a["t_start"][:, None] - eps))
    assert not np.any(hp) and not np.signbit(hp).any()
    assert not np.any(hc)
    np.testing.assert_array_equal(np.signbit(hc), inside)
    assert inside.any() and not inside.all()


@pytest.mark.parametrize("bits", [64, 32])
def test_negative_i0_at_the_32bit_limit(rr, bits):
    """i0 = N - N_t is as low as a 32-bit tail extent allows: N_t = 2^31 - 1 is
    taken (no terms, so no column is read), N_t = 2^31 is refused."""
    a = make_args(K=0)
    f = rr.assemble_imr64
    if bits == 32:
        a, f = to32(a), rr.assemble_imr32
    ref = call(f, a)
    for Nt in (2**31 - 1, 2**31):
        a.update(i0=600 - Nt, h_mr=np.zeros((3, 0, Nt), a["h_mr"].dtype))
        if Nt < 2**31:
            for x, y in zip(call(f, a), ref):
                assert_bitwise(x, y)
        else:
            with pytest.raises(ValueError, match=r"does not fit 32-bit indexing \(2147483648\)"):
                call(f, a)


@pytest.mark.parametrize("i0", [-250, 0, 100, 600])
@pytest.mark.parametrize("name", ["assemble_imr32", "assemble_imr32_host"])
def test_imr32_float_bits_and_accuracy(rr, name, i0):
    a = to32(make_args(i0=i0))
    hp, hc = call(getattr(rr, name), a)
    assert hp.dtype == hc.dtype == np.float32
    ref_hp, ref_hc = oracle(a, np.float32)
    assert_bitwise(hp, ref_hp, nan_equal=True)
    assert_bitwise(hc, ref_hc, nan_equal=True)
    # against the float64 path on the same (rounded) inputs, away from the mask edges
    a64 = {k: (v.astype(np.complex128) if getattr(v, "dtype", None) == np.complex64 else
               v.astype(np.float64) if getattr(v, "dtype", None) == np.float32 else v)
           for k, v in a.items()}
    hp64, hc64 = call(rr.assemble_imr64, a64)
    t = a64["t_geo"]
    far = np.ones_like(t, bool)
    for edge in (a64["tau0"][:, None], a64["t_start"][:, None], 100.0, 40.0, 60.0):
        far &= np.abs(t - edge) > 1e-3
    far &= np.isfinite(hp64)
    scale = np.abs(hp64[far]).max()
    np.testing.assert_allclose(hp[far], hp64[far], rtol=0, atol=2e-5 * scale)
    np.testing.assert_allclose(hc[far], hc64[far], rtol=0, atol=2e-5 * scale)


def test_twins_misaligned_and_empty(rr):
    a = make_args()
    ref = call(rr.assemble_imr64, a)
    for f in (rr.assemble_imr64_host,):
        for x, y in zip(call(f, a), ref):
            assert_bitwise(x, y)
    mis = {k: (misaligned(v) if isinstance(v, np.ndarray) else v) for k, v in a.items()}
    for x, y in zip(call(rr.assemble_imr64, mis), ref):
        assert_bitwise(x, y)
    a32 = to32(a)
    ref32 = call(rr.assemble_imr32, a32)
    mis32 = {k: (misaligned(v) if isinstance(v, np.ndarray) else v) for k, v in a32.items()}
    for x, y in zip(call(rr.assemble_imr32, mis32), ref32):
        assert_bitwise(x, y)
    # a row's result does not depend on the other rows
    one = dict(a, h_insp=a["h_insp"][1:2], h_mr=a["h_mr"][1:2], t_geo=a["t_geo"][1:2],
               tau0=a["tau0"][1:2], t_start=a["t_start"][1:2], tau_end=a["tau_end"][1:2],
               wp=a["wp"][1:2], wm=a["wm"][1:2])
    assert_bitwise(call(rr.assemble_imr64, one)[0], ref[0][1:2])
    # an empty batch gives empty (0, N) results
    empty = dict(a, h_insp=a["h_insp"][:0], h_mr=a["h_mr"][:0], t_geo=a["t_geo"][:0],
                 tau0=a["tau0"][:0], t_start=a["t_start"][:0], tau_end=a["tau_end"][:0],
                 wp=a["wp"][:0], wm=a["wm"][:0])
    hp, hc = call(rr.assemble_imr64, empty)
    assert hp.shape == hc.shape == (0, 600)


def test_docstrings(rr):
    assert "Fused masks + cosine blend + reflection mode sum -> (hp, hc)" in rr.assemble_imr64.__doc__
    assert "Host-space twin of assemble_imr64 (dispatch table, R7)" in rr.assemble_imr64_host.__doc__
    assert rr.assemble_imr64 is not rr.assemble_imr64_host


@pytest.mark.parametrize("change, exc, msg", [
    (lambda a: dict(h_insp=a["h_insp"][:, 0]), IndexError, "invalid axis: 2 (ndim = 2)"),
    (lambda a: dict(idx=np.int32(0)), IndexError, "invalid axis: 0 (ndim = 0)"),
    (lambda a: dict(h_mr=a["h_mr"][:, 0]), IndexError, "invalid axis: 2 (ndim = 2)"),
    (lambda a: dict(h_mr=a["h_mr"][:, :, 1:]), ValueError, "h_mr tail length must be N - i0"),
    (lambda a: dict(i0=601, h_mr=a["h_mr"][:, :, :0]), ValueError, "h_mr tail length must be N - i0"),
    (lambda a: dict(i0=-1, h_mr=a["h_mr"]), ValueError, "h_mr tail length must be N - i0"),
    (lambda a: dict(i0=-2**31, h_mr=np.zeros((4, 3, 0), complex)), ValueError,
     "h_mr tail length must be N - i0"),
    (lambda a: dict(h_insp=a["h_insp"][..., None]), ValueError, "h_insp must be (B, K_i, N)"),
    (lambda a: dict(idx=np.array([[0, 1]], np.int32)), ValueError, "idx must be (K,)"),
    (lambda a: dict(idx=np.array([0, 2, 4, 1, 0], np.int32)), ValueError,
     "idx entries must lie in [0, K_i)"),
    (lambda a: dict(idx=np.array([0, -1, 3, 1, 0], np.int32)), ValueError,
     "idx entries must lie in [0, K_i)"),
    (lambda a: dict(jdx=np.array([0, 1], np.int32)), ValueError, "jdx must be (K,)"),
    (lambda a: dict(jdx=np.array([0, 1, 3, 2, 1], np.int32)), ValueError,
     "jdx entries must lie in [0, K_m)"),
    (lambda a: dict(jdx=np.array([0, 1, -2, 2, 1], np.int32)), ValueError,
     "jdx entries must lie in [0, K_m)"),
    (lambda a: dict(h_mr=a["h_mr"][:2]), ValueError, "h_mr must have at least B rows"),
    (lambda a: dict(t_geo=a["t_geo"][:, :-1]), ValueError, "t_geo must be (B, N)"),
    (lambda a: dict(t_geo=a["t_geo"].ravel()), ValueError, "t_geo must be (B, N)"),
    (lambda a: dict(tau0=a["tau0"][:2]), ValueError, "tau0 must be (B,)"),
    (lambda a: dict(t_start=a["t_start"][:2]), ValueError, "t_start must be (B,)"),
    (lambda a: dict(tau_end=np.zeros(4)), ValueError, "tau_end must be (B,)"),
    (lambda a: dict(wp=a["wp"][:, :4]), ValueError, "wp must be (B, K)"),
    (lambda a: dict(wm=a["wm"].ravel()), ValueError, "wm must be (B, K)"),
])
@pytest.mark.parametrize("bits", [64, 32])
def test_errors(rr, change, exc, msg, bits):
    a = make_args()
    a.update(change(a))
    f = rr.assemble_imr64
    if bits == 32:
        a, f = to32(a), rr.assemble_imr32
    with pytest.raises(exc) as ei:
        call(f, a)
    assert str(ei.value) == msg


def test_i0_must_be_int(rr):
    a = make_args()
    a["i0"] = 100.0
    with pytest.raises(TypeError):
        call(rr.assemble_imr64, a)
