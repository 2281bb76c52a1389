"""swsh_weights64 / _host / _serial: spin-weight -2 spherical harmonics."""
import math

import numpy as np
import pytest

from conftest import assert_bitwise, misaligned

NAMES = ["swsh_weights64", "swsh_weights64_serial"]


def all_modes(lmax):
    ells, emms = [], []
    for l in range(2, lmax + 1):
        for m in range(-l, l + 1):
            ells.append(l)
            emms.append(m)
    return np.array(ells, np.int32), np.array(emms, np.int32)


@pytest.fixture
def angles():
    rng = np.random.default_rng(7)
    inc = np.concatenate([[0.0, math.pi, math.pi / 2], rng.uniform(-1.0, 4.5, 40)])
    az = np.concatenate([[0.0, 1.0, -2.0], rng.uniform(-7.0, 7.0, 40)])
    return inc, az


@pytest.mark.parametrize("name", NAMES)
def test_l2_closed_forms(rr, name, angles):
    inc, az = angles
    ells = np.full(5, 2, np.int32)
    emms = np.arange(-2, 3, dtype=np.int32)
    out = getattr(rr, name)(ells, emms, inc, az)
    assert out.shape == (inc.size, 5) and out.dtype == np.complex128
    c, s = np.cos(inc), np.sin(inc)
    ref = {
        2: np.sqrt(5 / (64 * np.pi)) * (1 + c) ** 2,
        1: np.sqrt(5 / (16 * np.pi)) * s * (1 + c),
        0: np.sqrt(15 / (32 * np.pi)) * s ** 2,
        -1: np.sqrt(5 / (16 * np.pi)) * s * (1 - c),
        -2: np.sqrt(5 / (64 * np.pi)) * (1 - c) ** 2,
    }
    for k, m in enumerate(emms):
        np.testing.assert_allclose(out[:, k], ref[int(m)] * np.exp(1j * m * az), rtol=0, atol=1e-14)


def test_l2_m2_bits(rr):
    """(2, +-2) have one term each; the kernel's operation order gives these exact bits.
    19 directions: groups of directions evaluated side by side and a shorter last group."""
    rng = np.random.default_rng(3)
    inc = np.concatenate([[0.3, 1.7, -2.9, 4.0], rng.uniform(-4.0, 7.0, 15)])
    az = np.concatenate([[0.1, -3.0, 2.5, 0.0], rng.uniform(-9.0, 9.0, 15)])
    out = rr.swsh_weights64(np.array([2, 2], np.int32), np.array([2, -2], np.int32), inc, az)
    x = 5 / 12.566370614359172
    n_pos = math.sqrt(((24.0 * x) * 1.0) / (1.0 * 24.0))   # (l+m)! = 24, (l-m)! = 1
    n_neg = math.sqrt(((1.0 * x) * 24.0) / (1.0 * 24.0))   # (l+m)! = 1, (l-m)! = 24
    ref = np.empty((inc.size, 2), complex)
    for b in range(inc.size):
        co, si = math.cos(0.5 * inc[b]), math.sin(0.5 * inc[b])
        sums = [0.0 + ((math.pow(co, 4.0) * n_pos) * 1.0), 0.0 + ((1.0 * n_neg) * math.pow(si, 4.0))]
        for k, m in enumerate((2, -2)):
            a = float(m) * az[b]
            ref[b, k] = complex(math.cos(a) * sums[k], math.sin(a) * sums[k])
    assert_bitwise(out, ref)


def test_orthonormal_up_to_l8(rr):
    """Gauss-Legendre in cos(iota) x uniform azimuth integrates the products exactly."""
    ells, emms = all_modes(8)
    x, wx = np.polynomial.legendre.leggauss(24)
    nphi = 40
    phi = 2 * np.pi * np.arange(nphi) / nphi
    inc = np.repeat(np.arccos(x), nphi)
    az = np.tile(phi, x.size)
    w = np.repeat(wx, nphi) * (2 * np.pi / nphi)
    Y = rr.swsh_weights64(ells, emms, inc, az)
    gram = (Y.conj().T * w) @ Y
    np.testing.assert_allclose(gram, np.eye(ells.size), rtol=0, atol=1e-12)


def test_m_and_minus_m_symmetry(rr, angles):
    """-2Y_{l,-m}(i, p) = (-1)^(l+m) conj(-2Y_{l,m}(pi - i, p + pi))."""
    inc, az = angles
    ells, emms = all_modes(8)
    pos = rr.swsh_weights64(ells, emms, inc, az)
    mirror = rr.swsh_weights64(ells, -emms, np.pi - inc, az + np.pi)
    sign = (-1.0) ** (ells + emms)
    np.testing.assert_allclose(pos, sign * mirror.conj(), rtol=0, atol=1e-12)


def test_twins_identical(rr, angles):
    inc, az = angles
    ells, emms = all_modes(8)
    assert rr.swsh_weights64_host is rr.swsh_weights64
    for f in (rr.swsh_weights64, rr.swsh_weights64_serial):
        assert "a negative m is its own term table, not a reflection." in f.__doc__
    a = rr.swsh_weights64(ells, emms, inc, az)
    assert_bitwise(a, rr.swsh_weights64_serial(ells, emms, inc, az))
    # misaligned inputs take the staging copies
    assert_bitwise(a, rr.swsh_weights64(misaligned(ells), misaligned(emms), misaligned(inc),
                                        misaligned(az)))
    # a direction's row does not depend on the others, nor on its place in the batch
    for b in range(inc.size):
        assert_bitwise(a[b:b + 1], rr.swsh_weights64(ells, emms, inc[b:b + 1], az[b:b + 1]))
    assert_bitwise(a[3:], rr.swsh_weights64(ells, emms, inc[3:], az[3:]))


@pytest.mark.parametrize("name", NAMES)
def test_empty_shapes(rr, name):
    f = getattr(rr, name)
    out = f(np.zeros(0, np.int32), np.zeros(0, np.int32), np.ones(3), np.ones(3))
    assert out.shape == (3, 0)
    out = f(np.array([3], np.int32), np.array([-1], np.int32), np.zeros(0), np.zeros(0))
    assert out.shape == (0, 1)
    with pytest.raises(ValueError, match=r"l = 9"):  # modes are validated even for B = 0
        f(np.array([9], np.int32), np.array([0], np.int32), np.zeros(0), np.zeros(0))


def test_nan_angle(rr):
    out = rr.swsh_weights64(np.array([2], np.int32), np.array([1], np.int32),
                            np.array([np.nan, 0.5]), np.array([0.0, 0.0]))
    assert np.isnan(out[0]).all() and np.isfinite(out[1]).all()


INC_MSG = ("inclination and azimuth must be (B,) of equal length; broadcast a shared angle on "
           "the caller's side")
ELL_MSG = "ells and emms must be (K,) of equal length"


@pytest.mark.parametrize("ells, emms, inc, az, msg", [
    ([2, 2, 2], [0, 1], [0.1], [0.1], ELL_MSG),
    ([[2]], [[0]], [0.1], [0.1], ELL_MSG),
    ([2], [0], 0.1, [0.1], INC_MSG),
    ([2], [0], [0.1, 0.2], [0.1], INC_MSG),
    ([9], [0], [0.1], [0.1], "swsh_weights: l = 9 is outside [2, 8]"),
    ([1], [0], [0.1], [0.1], "swsh_weights: l = 1 is outside [2, 8]"),
    ([2], [3], [0.1], [0.1], "swsh_weights: |m| > l for (l, m) = (2, 3)"),
    ([2], [-3], [0.1], [0.1], "swsh_weights: |m| > l for (l, m) = (2, -3)"),
    ([2, 4], [1, -5], [0.1], [0.1], "swsh_weights: |m| > l for (l, m) = (4, -5)"),
    ([2, 1], [5, 0], [0.1], [0.1], "swsh_weights: |m| > l for (l, m) = (2, 5)"),
    ([9], [0], [0.1, 0.2], [0.1], INC_MSG),  # shape checks come before the modes
])
@pytest.mark.parametrize("name", NAMES)
def test_errors(rr, name, ells, emms, inc, az, msg):
    with pytest.raises(ValueError) as ei:
        getattr(rr, name)(np.array(ells, np.int32), np.array(emms, np.int32), np.array(inc),
                          np.array(az))
    assert str(ei.value) == msg


def test_bad_conversion_is_type_error(rr):
    with pytest.raises(TypeError):
        rr.swsh_weights64("abc", [0], [0.1], [0.1])
