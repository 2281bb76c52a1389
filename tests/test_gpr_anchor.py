"""Anchor contraction: Dot2 sums in fixed order, bit for bit."""
import math
import re

import numpy as np
import pytest

import radiredide as rr
from conftest import assert_bitwise, misaligned

FUNCS = [rr.anchor_contract64, rr.anchor_contract64_device]


def dot2(xs, ys):
    S = cc = 0.0
    for x, y in zip(xs, ys):
        p = x * y
        s = S + p
        z = s - S
        e = (S - (s - z)) + (p - z)
        err = math.fma(x, y, -p)
        cc = cc + (err + e)
        S = s
    return cc + S


def reference(rows, trend, krows, alpha):
    R, C = rows.shape[0], trend.shape[1]
    out = np.empty((R, C), complex)
    for r in range(R):
        for c in range(C):
            parts = []
            for part in ("real", "imag"):
                pt = dot2(rows[r].tolist(), getattr(trend[:, c], part).tolist())
                pk = dot2(krows[r].tolist(), getattr(alpha[:, c], part).tolist())
                parts.append(pk + pt)
            out[r, c] = complex(*parts)
    return out


def random_case(seed, R, C, Kt, Kk, spread=True):
    rng = np.random.default_rng(seed)
    scale = 10.0 ** rng.integers(-8, 9, size=(R, Kt)) if spread else 1.0
    rows = rng.normal(size=(R, Kt)) * scale
    krows = rng.normal(size=(R, Kk))
    trend = rng.normal(size=(Kt, C)) + 1j * rng.normal(size=(Kt, C))
    alpha = rng.normal(size=(Kk, C)) * 1e6 + 1j * rng.normal(size=(Kk, C))
    return rows, trend, krows, alpha


@pytest.mark.parametrize("fn", FUNCS)
@pytest.mark.parametrize("R,C,Kt,Kk", [(3, 5, 7, 11), (1, 1, 1, 1), (4, 9, 0, 6), (2, 3, 5, 0),
                                       (2, 2, 0, 0), (17, 13, 20, 40)])
def test_matches_python_dot2_bitwise(fn, R, C, Kt, Kk):
    args = random_case(R * 1000 + C, R, C, Kt, Kk)
    out = fn(*args)
    assert out.shape == (R, C) and out.dtype == np.complex128
    assert_bitwise(out, reference(*args))


def test_both_parts_zero_give_positive_zero():
    out = rr.anchor_contract64(np.zeros((2, 0)), np.zeros((0, 3), complex), np.zeros((2, 0)),
                               np.zeros((0, 3), complex))
    assert_bitwise(out, np.zeros((2, 3), complex))


@pytest.mark.parametrize("R,C", [(0, 4), (3, 0), (0, 0)])
def test_empty_result(R, C):
    out = rr.anchor_contract64(np.ones((R, 2)), np.ones((2, C), complex), np.ones((R, 3)),
                               np.ones((3, C), complex))
    assert out.shape == (R, C)


def test_compensation_example():
    rows = np.array([[1e16, 1.0, -1e16]])
    trend = np.array([[1.0 + 0j], [1.0], [1.0]])
    out = rr.anchor_contract64(rows, trend, np.zeros((1, 0)), np.zeros((0, 1), complex))
    assert out[0, 0] == 1.0
    assert (rows[0] @ trend.real[:, 0]) == 0.0  # what plain summation gives


def test_misaligned_inputs_and_output_give_same_bits():
    args = random_case(4, 5, 6, 7, 8)
    ref = rr.anchor_contract64(*args)
    rows, trend, krows, alpha = args
    for m in [(misaligned(rows), trend, krows, alpha),
              (rows, misaligned(trend, 8), krows, misaligned(alpha, 8)),
              (rows, misaligned(trend, 4), misaligned(krows), alpha)]:
        assert_bitwise(rr.anchor_contract64(*m), ref)
        assert_bitwise(rr.anchor_contract64_device(*m), ref)


def test_host_and_device_names_agree_and_are_distinct_bindings():
    args = random_case(9, 8, 31, 12, 33)
    assert_bitwise(rr.anchor_contract64(*args), rr.anchor_contract64_device(*args))
    assert rr.anchor_contract64 is not rr.anchor_contract64_device
    assert "Canonical reproducible (Dot2, fixed-order) anchor contraction" in rr.anchor_contract64.__doc__


MISMATCH = "anchor_contract: shape mismatch"


@pytest.mark.parametrize("shapes,exc,msg", [
    (((2, 3), (3, 4), (2, 5), (6, 4)), ValueError, MISMATCH),      # alpha has Kk + 1 rows
    (((2, 3), (4, 4), (2, 5), (5, 4)), ValueError, MISMATCH),      # trend rows != Kt
    (((2, 3), (3, 4), (2, 5), (5, 3)), ValueError, MISMATCH),      # alpha columns != C
    (((2, 3), (3, 4), (3, 5), (5, 4)), ValueError, MISMATCH),      # krows rows != R
    (((2, 3), (3,), (2, 5), (5, 4)), IndexError, r"invalid axis: 1 \(ndim = 1\)"),
    (((2,), (3, 4), (2, 5), (5, 4)), IndexError, r"invalid axis: 1 \(ndim = 1\)"),
    (((2, 3), (3, 4), (2, 5), (5,)), IndexError, r"invalid axis: 1 \(ndim = 1\)"),
    (((), (3, 4), (2, 5), (5, 4)), IndexError, r"invalid axis: 0 \(ndim = 0\)"),
    (((2, 3, 1), (3, 4), (2, 5), (5, 4)), ValueError,
     "anchor_contract: rows, trend, krows and alpha must be two-dimensional"),
    (((2, 3), (3, 4), (2, 5), (5, 4, 1)), ValueError,
     "anchor_contract: rows, trend, krows and alpha must be two-dimensional"),
])
def test_shape_errors(shapes, exc, msg):
    r, t, k, a = shapes
    with pytest.raises(exc, match="^" + msg + "$"):
        rr.anchor_contract64(np.ones(r), np.ones(t, complex), np.ones(k), np.ones(a, complex))


def test_flat_size_limit_refused_before_any_work():
    # Zero-size inputs whose result would hold 2^31 elements: refused, nothing allocated.
    R, C = 2**16, 2**15
    with pytest.raises(ValueError, match="^anchor_contract: the result must have fewer than 2\\^31 elements$"):
        rr.anchor_contract64(np.ones((R, 0)), np.ones((0, C), complex), np.ones((R, 0)),
                             np.ones((0, C), complex))
