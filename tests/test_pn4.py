"""4PN closed forms through the probes: physics identities, limits, symmetries.

The oracles are independent of the coefficient tables: the circular-orbit
balance between dE/dx and dL/dx, finite differences, the Schwarzschild and
Kerr test-mass limits, leading-order amplitudes and the symmetries of the
modes under exchange of the bodies.
"""
import math

import numpy as np
import pytest

import radiredide as rr

PI = math.pi
GAMMA_E = 0.5772156649015329
K22 = 8.0 * math.sqrt(PI / 5.0)

# (q, chi1z, chi2z): unequal, comparable, equal masses; aligned/anti-aligned spins.
PARAMS = [
    (1.0, 0.0, 0.0),
    (1.0, 0.4, 0.4),
    (2.0, 0.3, -0.2),
    (4.5, -0.7, 0.5),
    (0.3, 0.8, 0.1),
    (8.0, 0.95, -0.95),
]


def eta_of(q):
    return q / (1.0 + q) ** 2


def probe(x, q, c1, c2):
    return rr.pn4_probe(math.sqrt(x), q, c1, c2)


# ----------------------------------------------------------------- orbital quantities

@pytest.mark.parametrize("q,c1,c2", PARAMS)
def test_energy_balance_circular_orbits(q, c1, c2):
    # dE = omega dJ with omega = x^(3/2): holds identically in the two series.
    for x in (1e-4, 0.003, 0.02, 0.08, 0.15):
        L, dL, E, dE, F, h = probe(x, q, c1, c2)
        assert dE == pytest.approx(x ** 1.5 * dL, rel=1e-12, abs=1e-300)


@pytest.mark.parametrize("q,c1,c2", PARAMS)
def test_energy_and_angular_momentum_derivatives(q, c1, c2):
    # E against its derivative and L against dL/dx by central differences.
    for x in (0.01, 0.05, 0.12):
        hx = 1e-5 * x
        _, dL, _, dE, _, _ = probe(x, q, c1, c2)
        Lp, _, Ep, _, _, _ = probe(x + hx, q, c1, c2)
        Lm, _, Em, _, _, _ = probe(x - hx, q, c1, c2)
        assert (Ep - Em) / (2 * hx) == pytest.approx(dE, rel=1e-8)
        assert (Lp - Lm) / (2 * hx) == pytest.approx(dL, rel=1e-8)


@pytest.mark.parametrize("q,c1,c2", PARAMS)
def test_leading_order_limits(q, c1, c2):
    # Every normalised quantity tends to 1, with a residual of order x.
    eta = eta_of(q)
    for x in (1e-6, 1e-8):
        L, dL, E, dE, F, h = probe(x, q, c1, c2)
        tol = 10 * x
        assert F / (6.4 * eta * eta * x ** 5) == pytest.approx(1.0, abs=tol)
        assert -2 * dE / eta == pytest.approx(1.0, abs=tol)
        assert -2 * E / (eta * x) == pytest.approx(1.0, abs=tol)
        assert L * math.sqrt(x) / eta == pytest.approx(1.0, abs=tol)
        assert abs(h[0]) / (K22 * eta * x) == pytest.approx(1.0, abs=tol)


def _slope(xs, res):
    return np.polyfit(np.log(xs), np.log(np.abs(res)), 1)[0]


def test_schwarzschild_limit():
    # eta -> 0: E/eta and L/eta are the truncated geodesic expansions of
    # (1 - 2x)/sqrt(1 - 3x) - 1 and 1/sqrt(x (1 - 3x)).
    q = 1e-9
    eta = eta_of(q)
    xs = np.array([0.02, 0.01, 0.005])
    rE, rL = [], []
    for x in xs:
        L, dL, E, dE, F, h = probe(x, q, 0.0, 0.0)
        rE.append(E / eta - ((1 - 2 * x) / math.sqrt(1 - 3 * x) - 1))
        rL.append(L / eta - 1 / math.sqrt(x * (1 - 3 * x)))
    # E is complete through x^5 (residual x^6), L through x^(7/2) (residual x^(9/2)).
    assert _slope(xs, rE) == pytest.approx(6.0, abs=0.25)
    assert _slope(xs, rL) == pytest.approx(4.5, abs=0.25)


def _kerr_orbit(x, a):
    # Prograde equatorial circular geodesic of a Kerr hole: radius variable
    # u = sqrt(M/r) from x = (M omega)^(2/3), omega = u^3 / (1 + a u^3).
    u = math.sqrt(x)
    for _ in range(60):
        u = (x ** 1.5 * (1 + a * u ** 3)) ** (1.0 / 3.0)
    e = (1 - 2 * u * u + a * u ** 3) / math.sqrt(1 - 3 * u * u + 2 * a * u ** 3) - 1
    return e


@pytest.mark.parametrize("a", [0.6, -0.5])
def test_kerr_test_mass_energy(a):
    # Small body 1 around a spinning body 2: the spin terms of E through x^(5/2)
    # of the bracket are the geodesic's, so the residual falls as x^4.
    q = 1e-9
    eta = eta_of(q)
    xs = np.array([0.01, 0.005, 0.0025])
    res = [probe(x, q, 0.0, a)[2] / eta - _kerr_orbit(x, a) for x in xs]
    assert _slope(xs, res) == pytest.approx(4.0, abs=0.3)


@pytest.mark.parametrize("a", [0.0, 0.6, -0.5])
def test_kerr_test_mass_flux(a):
    # Test-mass flux around a Kerr hole (Tagoshi-Shibata-Tanaka-Sasaki), through
    # x^3; what remains is of order x^(7/2).
    q = 1e-9
    eta = eta_of(q)

    def lit(x):
        c = [1.0, -1247 / 336, 4 * PI - 11 / 4 * a, -44711 / 9072 + 33 / 16 * a * a,
             -8191 / 672 * PI - 59 / 16 * a,
             6643739519 / 69854400 + 16 / 3 * PI ** 2 - 1712 / 105 * GAMMA_E
             - 856 / 105 * math.log(16 * x) - 65 / 6 * PI * a + 611 / 504 * a * a]
        return sum(ci * x ** p for ci, p in zip(c, (0, 1, 1.5, 2, 2.5, 3)))

    xs = np.array([0.01, 0.005, 0.0025])
    res = [probe(x, q, 0.0, a)[4] / (6.4 * eta * eta * x ** 5) - lit(x) for x in xs]
    assert _slope(xs, res) == pytest.approx(3.5, abs=0.3)


def test_non_finite_at_zero_x():
    L, dL, E, dE, F, h = rr.pn4_probe(0.0, 2.0, 0.1, 0.2)
    assert not math.isfinite(L) and not math.isfinite(dE) and not math.isfinite(F)


# ----------------------------------------------------------------- probe shape and modes

def test_probe_result_types():
    out = rr.pn4_probe(0.3, 2.0, 0.1, -0.3)
    assert isinstance(out, tuple) and len(out) == 6
    assert all(type(v) is float for v in out[:5])
    assert out[5].dtype == np.complex128 and out[5].shape == (7,)
    p2 = rr.pn4_probe2(0.3, 2.0, 0.1, -0.3)
    assert p2.dtype == np.complex128 and p2.shape == (8,)


def test_probe_orbital_items_even_in_v():
    a = rr.pn4_probe(0.31, 1.7, 0.2, -0.4)
    b = rr.pn4_probe(-0.31, 1.7, 0.2, -0.4)
    assert a[:5] == b[:5]


@pytest.mark.parametrize("q,c1,c2", PARAMS)
def test_single_call_series_match_two_stage(q, c1, c2):
    # The probe's one-pass series against slots 0-6 of the two-stage weights.
    for v in (0.05, 0.2, 0.4):
        h = rr.pn4_probe(v, q, c1, c2)[5]
        w = rr.pn4_probe2(v, q, c1, c2)[:7]
        scale = np.abs(w).max()
        np.testing.assert_allclose(h, w, rtol=1e-13, atol=1e-14 * scale)


@pytest.mark.parametrize("slot,norm,lead", [
    (3, math.sqrt(5 / 7) / 3, lambda eta, d: 1 - 3 * eta),
    (4, 8 / 9 * math.sqrt(5 / 7), lambda eta, d: 1 - 3 * eta),
    (5, 9 / (4 * math.sqrt(70)), lambda eta, d: d * (1 - 2 * eta)),
    (6, 625 / (96 * math.sqrt(66)), lambda eta, d: d * (1 - 2 * eta)),
])
def test_leading_amplitudes_higher_modes(slot, norm, lead):
    q = 3.0
    eta, d = eta_of(q), (q - 1) / (q + 1)
    power = 2 if slot in (3, 4) else 3
    for v in (1e-3, 1e-4):
        h = rr.pn4_probe(v, q, 0.0, 0.0)[5][slot]
        expect = K22 * eta * v ** 2 * norm * lead(eta, d) * v ** power
        assert abs(h) == pytest.approx(abs(expect), rel=20 * v)


@pytest.mark.parametrize("q,c1,c2", PARAMS)
def test_body_exchange_symmetry(q, c1, c2):
    # q -> 1/q with the spins swapped: odd-m slots flip sign, the rest stay.
    for v in (0.1, 0.35):
        a = rr.pn4_probe2(v, q, c1, c2)
        b = rr.pn4_probe2(v, 1.0 / q, c2, c1)
        sign = np.array([1, -1, -1, 1, 1, -1, -1, 1])
        np.testing.assert_allclose(b, sign * a, rtol=1e-12, atol=1e-15 * np.abs(a).max())
        pa, pb = rr.pn4_probe(v, q, c1, c2), rr.pn4_probe(v, 1.0 / q, c2, c1)
        np.testing.assert_allclose(pb[:5], pa[:5], rtol=1e-12)


@pytest.mark.parametrize("chi", [0.0, 0.5, -0.8])
def test_equal_masses_equal_spins(chi):
    w = rr.pn4_probe2(0.3, 1.0, chi, chi)
    for s in (1, 2, 5, 6):
        assert w[s] == 0
    assert w[7] != 0


@pytest.mark.parametrize("q,c1", [(2.0, 0.3), (5.0, -0.1), (0.4, 0.6)])
def test_55_is_delta_times_stripped_without_sigma(q, c1):
    # With Sigma = m2 chi2z - m1 chi1z = 0 the (5, 5) weight is delta times the
    # delta-stripped one.
    c2 = q * c1
    d = (q - 1) / (q + 1)
    for v in (0.1, 0.3):
        w = rr.pn4_probe2(v, q, c1, c2)
        assert w[6] == pytest.approx(d * w[7], rel=1e-12)


def test_negative_v_nan_pattern():
    w = rr.pn4_probe2(-0.2, 2.0, 0.3, -0.1)
    nan_re = np.isnan(w.real)
    nan_im = np.isnan(w.imag)
    assert nan_re.tolist() == [True] + [False] * 7
    assert nan_im.tolist() == [False, True, True] + [False] * 5
