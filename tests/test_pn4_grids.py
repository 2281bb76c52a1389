"""4PN weight grids, batches, partials, probes and the pack unit's registration."""
import numpy as np
import pytest

import radiredide as rr
from conftest import assert_bitwise, misaligned

EXEC_MSG = r"^exec_space must be 'host', 'device' or 'default'$"

THETAS = np.array([
    [2.0, 0.3, -0.2],
    [1.0, 0.5, 0.5],
    [4.5, -0.7, 0.5],
    [0.3, 0.8, 0.1],
    [1.2, 0.0, 0.0],
])


def vgrid(B, N, lo=0.08, hi=0.45, seed=0):
    rng = np.random.default_rng(seed)
    return np.sort(rng.uniform(lo, hi, size=(B, N)), axis=1)


# ----------------------------------------------------------------- bitwise promises

@pytest.mark.parametrize("B,N", [(1, 1), (1, 7), (3, 5), (5, 1000), (2, 4097)])
def test_batch_is_stacked_grid_bitwise(B, N):
    th = THETAS[np.arange(B) % len(THETAS)]
    v = vgrid(B, N)
    batch = rr.pn4_weights_batch(v, th)
    assert batch.shape == (B, 8, N) and batch.dtype == np.complex128
    stacked = np.stack([rr.pn4_weights_grid(v[b], *th[b]) for b in range(B)])
    assert_bitwise(batch, stacked)


def test_probe2_is_grid_column_bitwise():
    for q, c1, c2 in THETAS:
        for v in (0.01, 0.2, 0.44):
            assert_bitwise(rr.pn4_probe2(v, q, c1, c2), rr.pn4_weights_grid(np.array([v]), q, c1, c2)[:, 0])


@pytest.mark.parametrize("space", ["device", "default", "host"])
def test_exec_space_values_same_result(space):
    v = vgrid(3, 50)
    base_g = rr.pn4_weights_grid(v[0], 2.0, 0.1, 0.2)
    base_b = rr.pn4_weights_batch(v, THETAS[:3])
    assert_bitwise(rr.pn4_weights_grid(v[0], 2.0, 0.1, 0.2, exec_space=space), base_g)
    assert_bitwise(rr.pn4_weights_batch(v, THETAS[:3], exec_space=space), base_b)


def test_misaligned_inputs_read_in_place():
    v = vgrid(3, 33)
    th = THETAS[:3]
    assert_bitwise(rr.pn4_weights_batch(misaligned(v), misaligned(th)), rr.pn4_weights_batch(v, th))
    assert_bitwise(rr.pn4_dmode_batch(misaligned(v), misaligned(th)), rr.pn4_dmode_batch(v, th))
    assert_bitwise(rr.pn4_weights_grid(misaligned(v[0]), 2.0, 0.3, -0.2),
                   rr.pn4_weights_grid(v[0], 2.0, 0.3, -0.2))


# ----------------------------------------------------------------- partials

def _weights_at(v, th):
    return rr.pn4_weights_batch(v, th)


def test_partials_match_central_differences():
    B, N = len(THETAS), 9
    v = vgrid(B, N, lo=0.1, hi=0.4)
    d = rr.pn4_dmode_batch(v, THETAS)
    assert d.shape == (B, 32, N) and d.dtype == np.complex128
    for p in range(4):
        h = 1e-6
        if p == 0:
            fd = (_weights_at(v + h, THETAS) - _weights_at(v - h, THETAS)) / (2 * h)
        else:
            tp, tm = THETAS.copy(), THETAS.copy()
            tp[:, p - 1] += h
            tm[:, p - 1] -= h
            fd = (_weights_at(v, tp) - _weights_at(v, tm)) / (2 * h)
        exact = d[:, p::4, :]
        for b in range(B):
            scale = np.abs(exact[b]).max(axis=1, keepdims=True) + 1e-12
            assert np.all(np.abs(fd[b] - exact[b]) <= 1e-6 * scale + 1e-9), (p, b)


def test_partials_structural_zeros():
    d = rr.pn4_dmode_batch(vgrid(len(THETAS), 17), THETAS)
    assert np.all(d[:, [18, 19], :].imag == 0)
    assert np.all(d[:, [26, 27, 30, 31], :].real == 0)


@pytest.mark.parametrize("chi", [0.0, 0.4])
def test_partials_equal_masses_equal_spins(chi):
    v = vgrid(1, 11)
    d = rr.pn4_dmode_batch(v, np.array([[1.0, chi, chi]]))[0]
    for j in (1, 2, 5, 6):
        assert np.all(d[4 * j] == 0)                      # the weight vanishes at every v
        assert np.all(np.abs(d[4 * j + 1]) > 0)           # but not its q-partial
        np.testing.assert_allclose(d[4 * j + 2], -d[4 * j + 3], rtol=1e-12)
    for j in (0, 3, 4, 7):
        np.testing.assert_allclose(d[4 * j + 2], d[4 * j + 3], rtol=1e-12)


def test_partials_body_exchange():
    v = vgrid(1, 11)
    q, c1, c2 = 2.5, 0.3, -0.6
    a = rr.pn4_dmode_batch(v, np.array([[q, c1, c2]]))[0]
    b = rr.pn4_dmode_batch(v, np.array([[1 / q, c2, c1]]))[0]
    sign = np.array([1, -1, -1, 1, 1, -1, -1, 1])[:, None]
    # v-partials map like the weights; the spin partials swap.
    np.testing.assert_allclose(b[0::4], sign * a[0::4], rtol=1e-11, atol=1e-15)
    np.testing.assert_allclose(b[2::4], sign * a[3::4], rtol=1e-11, atol=1e-15)
    # d/dq at 1/q = -q^2 d/dq at q for the even slots (odd slots also flip).
    np.testing.assert_allclose(b[1::4], -q * q * sign * a[1::4], rtol=1e-10, atol=1e-15)


# ----------------------------------------------------------------- shapes and errors

@pytest.mark.parametrize("N", [0, 1, 3])
def test_small_and_empty_grids(N):
    v = vgrid(2, N)
    assert rr.pn4_weights_grid(v[0], 2.0, 0.0, 0.0).shape == (8, N)
    assert rr.pn4_weights_batch(v, THETAS[:2]).shape == (2, 8, N)
    assert rr.pn4_dmode_batch(v, THETAS[:2]).shape == (2, 32, N)


def test_empty_batch():
    v = np.zeros((0, 5))
    th = np.zeros((0, 3))
    assert rr.pn4_weights_batch(v, th).shape == (0, 8, 5)
    assert rr.pn4_dmode_batch(v, th).shape == (0, 32, 5)


@pytest.mark.parametrize("fn,v,th,msg", [
    ("grid", np.zeros((2, 3)), None, r"^v must be \(N,\)$"),
    ("grid", np.float64(0.2), None, r"^v must be \(N,\)$"),
    ("batch", np.zeros(3), np.zeros((1, 3)), r"^v must be \(B, N\)$"),
    ("batch", np.zeros((2, 3, 1)), np.zeros((2, 3)), r"^v must be \(B, N\)$"),
    ("batch", np.zeros((2, 3)), np.zeros(3), r"^thetas must be \(B, 3\)$"),
    ("batch", np.zeros((2, 3)), np.zeros((2, 4)), r"^thetas must be \(B, 3\)$"),
    ("batch", np.zeros((2, 3)), np.zeros((3, 3)), r"^thetas must be \(B, 3\)$"),
    ("batch", np.zeros((2, 3)), np.zeros((2, 3, 1)), r"^thetas must be \(B, 3\)$"),
    ("batch", np.zeros(3), np.zeros(3), r"^v must be \(B, N\)$"),
    ("dmode", np.zeros(3), np.zeros((1, 3)), r"^v must be \(B, N\)$"),
    ("dmode", np.zeros((2, 3)), np.zeros((2, 2)), r"^thetas must be \(B, 3\)$"),
    ("dmode", np.zeros((1, 3)), np.zeros((2, 3)), r"^thetas must be \(B, 3\)$"),
])
def test_shape_errors(fn, v, th, msg):
    with pytest.raises(ValueError, match=msg):
        if fn == "grid":
            rr.pn4_weights_grid(v, 2.0, 0.0, 0.0)
        elif fn == "batch":
            rr.pn4_weights_batch(v, th)
        else:
            rr.pn4_dmode_batch(v, th)


@pytest.mark.parametrize("bad", ["Host", "host ", "", "cuda", "DEVICE"])
def test_exec_space_rejected_before_shape_checks(bad):
    with pytest.raises(ValueError, match=EXEC_MSG):
        rr.pn4_weights_grid(np.zeros((2, 2)), 1.0, 0.0, 0.0, exec_space=bad)
    with pytest.raises(ValueError, match=EXEC_MSG):
        rr.pn4_weights_batch(np.zeros(3), np.zeros(3), exec_space=bad)


def test_argument_conversion_and_keywords():
    with pytest.raises(TypeError):
        rr.pn4_weights_grid(np.zeros(3), "two", 0.0, 0.0)
    with pytest.raises(TypeError):
        rr.pn4_probe2(0.2, None, 0.0, 0.0)
    a = rr.pn4_weights_grid(v=[0.1, 0.2], q=2, chi1z=0, chi2z=0, exec_space="device")
    assert_bitwise(a, rr.pn4_weights_grid(np.array([0.1, 0.2]), 2.0, 0.0, 0.0))
    b = rr.pn4_weights_batch(v=np.array([[0.1, 0.2]], dtype=np.float32), thetas=[[2, 0, 0]])
    assert_bitwise(b, rr.pn4_weights_batch(np.array([[0.1, 0.2]], dtype=np.float32).astype(np.float64),
                                           np.array([[2.0, 0.0, 0.0]])))


# ----------------------------------------------------------------- registration

def test_module_attributes_and_constant_queries():
    assert rr.normaliser_uniform_35pn is True
    assert rr.dmode_normaliser_uniform_35pn is True
    assert rr.pack_device_available() is False
    names = rr.pack_kernel_names()
    assert names == ("fused_pieces_weights", "fused_median", "fused_blend", "fused_project")
    assert type(names) is tuple and all(type(n) is str for n in names)


@pytest.mark.parametrize("name,sig", [
    ("pack_device_available", "pack_device_available() -> bool"),
    ("pack_kernel_names", "pack_kernel_names() -> tuple[str, str, str, str]"),
])
def test_advertised_signatures(name, sig):
    assert getattr(rr, name).__doc__.splitlines()[0] == sig


def test_pack_names_registered_in_order():
    order = ["build_extension_pack", "build_extension_pack_batch", "quadrature_grid_size_probe",
             "pn4_weights_grid", "pn4_weights_batch", "pn4_dmode_batch", "dc_grid_batch",
             "median_h2_batch", "blend_project", "pack_device_available", "pack_kernel_names",
             "pn4_probe2", "pn4_probe"]
    keys = list(vars(rr))
    present = [n for n in order if n in keys]
    assert [k for k in keys if k in order] == present
    for n in ("pn4_weights_grid", "pn4_weights_batch", "pn4_dmode_batch", "pack_device_available",
              "pack_kernel_names", "pn4_probe2", "pn4_probe"):
        assert n in keys
    # Names after the pack unit's attributes.
    assert keys.index("normaliser_uniform_35pn") < keys.index("pn4_weights_grid")
