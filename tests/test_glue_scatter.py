"""Row scatter: scatter64, scatter32, scatterc64, scatterc32, scatterb."""
import numpy as np
import pytest

import radiredide as rr
from conftest import misaligned

I32_MIN, I32_MAX = -2**31, 2**31 - 1
DTYPES = {
    "scatter64": np.float64,
    "scatter32": np.float32,
    "scatterc64": np.complex128,
    "scatterc32": np.complex64,
    "scatterb": np.uint8,
}
FUNCS = [(getattr(rr, name + suffix), dt) for name, dt in DTYPES.items()
         for suffix in ("", "_serial")]
IDS = [name + suffix for name in DTYPES for suffix in ("", "_serial")]
RNG = np.random.default_rng(3)


def raw(a):
    """Bytes of the array as unsigned words of its element size (bitwise comparison)."""
    a = np.ascontiguousarray(a)
    return a.view(np.uint8).reshape(a.shape + (a.dtype.itemsize,))


def same_bits(a, b):
    assert a.shape == b.shape and a.dtype == b.dtype, (a.shape, a.dtype, b.shape, b.dtype)
    np.testing.assert_array_equal(raw(a), raw(b))


def reference(rows, n0, n1, N):
    """Index assignment row by row, with the window arithmetic in Python integers."""
    B, L, J = rows.shape
    out = np.zeros((B, L, N), rows.dtype)
    n0 = np.ravel(n0)[:B].astype(np.int64)
    n1 = np.ravel(n1)[:B].astype(np.int64)
    j = np.arange(J, dtype=np.int64)
    for b in range(B):
        d = n0[b] + j
        keep = (j < n1[b] - n0[b]) & (d >= 0) & (d < N)
        out[b][:, d[keep]] = rows[b][:, j[keep]]
    return out


def random_rows(dtype, shape):
    if dtype == np.uint8:
        return RNG.integers(1, 256, shape).astype(np.uint8)
    a = RNG.normal(size=shape)
    if np.dtype(dtype).kind == "c":
        a = a + 1j * RNG.normal(size=shape)
    return a.astype(dtype)


# Windows (n0, n1) per row, for J = 6 and N = 10.
WINDOWS = [
    (0, 6),            # inside, full width
    (2, 5),            # inside, narrower than J
    (-3, 4),           # across the grid start: columns 0..2 dropped
    (7, 13),           # across the grid end
    (10, 16),          # starts at N: all zero
    (25, 30),          # beyond the grid
    (5, 5),            # empty window
    (6, 2),            # inverted window
    (1, 40),           # wider than J: J columns, the rest stays zero
    (5, I32_MIN + 3),  # n1 - n0 wraps in 32 bits: still an inverted window
    (I32_MAX - 2, I32_MAX),
    (I32_MIN, I32_MAX),
    (I32_MAX, I32_MIN),
]


@pytest.mark.parametrize("fn, dtype", FUNCS, ids=IDS)
def test_windows_against_index_assignment(fn, dtype):
    B, L, J, N = len(WINDOWS), 3, 6, 10
    rows = random_rows(dtype, (B, L, J))
    n0 = np.array([w[0] for w in WINDOWS], np.int32)
    n1 = np.array([w[1] for w in WINDOWS], np.int32)
    got = fn(rows, n0, n1, N)
    same_bits(got, reference(rows, n0, n1, N))
    assert got.flags.c_contiguous
    assert np.all(got[[4, 5, 6, 7, 9, 10, 11, 12]] == 0)


@pytest.mark.parametrize("fn, dtype", FUNCS, ids=IDS)
@pytest.mark.parametrize("B, L, J, N, n0, n1", [
    (2, 2, 5, 5, [0, 0], [5, 5]),        # identity
    (1, 2, 8, 5, [0], [8], ),            # rows longer than the grid
    (2, 1, 0, 4, [0, 1], [3, 2]),        # J = 0: zeros
    (2, 0, 3, 4, [0, 1], [3, 2]),        # L = 0
    (2, 3, 3, 0, [0, 1], [3, 2]),        # N = 0
    (0, 3, 3, 4, [], []),                # B = 0
])
def test_shapes_and_degenerate_extents(fn, dtype, B, L, J, N, n0, n1):
    rows = random_rows(dtype, (B, L, J))
    n0 = np.array(n0, np.int32)
    n1 = np.array(n1, np.int32)
    got = fn(rows, n0, n1, N)
    assert got.shape == (B, L, N)
    same_bits(got, reference(rows, n0, n1, N))


@pytest.mark.parametrize("fn, dtype", FUNCS, ids=IDS)
def test_large_result_and_rows_across_work_chunks(fn, dtype):
    # A result of 32 MiB or more is allocated zero-filled and its zero pass has
    # nothing left to write; both passes split the flat result into chunks that
    # rows and windows straddle.
    B, L = 5, 3
    N = (32 << 20) // (B * L * np.dtype(dtype).itemsize) + 4097
    J = N // 2 + 3
    n0 = np.array([-(J // 3), N - J // 2, 1, N + 5, 17], np.int32)
    n1 = np.array([n0[0] + J, n0[1] + J, N // 3, n0[3] + 2, 10], np.int32)
    rows = random_rows(dtype, (B, L, J))
    got = fn(rows, n0, n1, N)
    same_bits(got, reference(rows, n0, n1, N))
    # Below the threshold: the same windows, gaps filled by the zero pass.
    small = slice(0, N // 16)
    n0s = np.array([-3, 100, 1, N // 16 + 5, 17], np.int32)
    n1s = np.array([N // 20, 100 + N // 10, N // 3, N // 16 + 7, 10], np.int32)
    got = fn(rows[:, :, small], n0s, n1s, N // 16)
    same_bits(got, reference(rows[:, :, small], n0s, n1s, N // 16))


PAYLOAD_BITS = {
    np.float64: [0x7FF0000000000123, 0xFFF8DEADBEEF0001, 0x8000000000000000, 0x0000000000000001,
                 0x7FF0000000000000],
    np.float32: [0x7F800123, 0xFFC0BEEF, 0x80000000, 0x00000001, 0x7F800000],
}


@pytest.mark.parametrize("fn, dtype", [f for f in FUNCS if f[1] != np.uint8],
                         ids=[i for i in IDS if not i.startswith("scatterb")])
def test_nan_payloads_and_negative_zero_move_bit_for_bit(fn, dtype):
    real = np.float32 if dtype in (np.float32, np.complex64) else np.float64
    words = np.array(PAYLOAD_BITS[real], dtype=np.uint64 if real == np.float64 else np.uint32)
    per = np.dtype(dtype).itemsize // np.dtype(real).itemsize
    flat = np.resize(words, 5 * per * 2).view(real)
    rows = flat.view(dtype).reshape(1, 2, 5)
    got = fn(rows, np.array([1], np.int32), np.array([6], np.int32), 7)
    same_bits(got[:, :, 1:6], rows)
    same_bits(got, reference(rows, [1], [6], 7))


@pytest.mark.parametrize("fn, dtype", FUNCS, ids=IDS)
def test_misaligned_and_trailing_window_axes(fn, dtype):
    rows = random_rows(dtype, (4, 2, 7))
    n0 = np.array([0, -2, 3, 9], np.int32)
    n1 = np.array([7, 3, 8, 12], np.int32)
    base = fn(rows, n0, n1, 9)
    same_bits(base, reference(rows, n0, n1, 9))
    if dtype != np.uint8:
        same_bits(fn(misaligned(rows), n0, n1, 9), base)
    same_bits(fn(rows, misaligned(n0), misaligned(n1), 9), base)
    # (B, k) windows: the first B values in memory order.
    wide0 = np.concatenate([n0, np.full(4, 99, np.int32)]).reshape(4, 2)
    wide1 = np.concatenate([n1, np.full(4, -99, np.int32)]).reshape(4, 2)
    same_bits(fn(rows, wide0, wide1, 9), base)


@pytest.mark.parametrize("fn, dtype", FUNCS, ids=IDS)
def test_serial_twin(fn, dtype):
    rows = random_rows(dtype, (5, 3, 40))
    n0 = RNG.integers(-10, 60, 5).astype(np.int32)
    n1 = (n0 + RNG.integers(-5, 50, 5)).astype(np.int32)
    name = fn.__name__.removesuffix("_serial")
    got = fn(rows, n0, n1, 64)
    same_bits(got, getattr(rr, name)(rows, n0, n1, 64))
    same_bits(got, getattr(rr, name + "_serial")(rows, n0, n1, 64))


GOOD = dict(rows_pack=np.zeros((2, 1, 3)), n0=np.zeros(2, np.int32), n1=np.zeros(2, np.int32), N=4)


@pytest.mark.parametrize("change, exc, msg", [
    (dict(rows_pack=np.zeros((2, 3))), ValueError, "rows_pack must be collapsed to (B, L, J)"),
    (dict(rows_pack=np.zeros((2, 1, 3, 1))), ValueError, "rows_pack must be collapsed to (B, L, J)"),
    (dict(rows_pack=np.zeros((2, 3)), n0=np.int32(0)), ValueError,
     "rows_pack must be collapsed to (B, L, J)"),
    (dict(n0=np.int32(0)), IndexError, "invalid axis: 0 (ndim = 0)"),
    (dict(n0=np.zeros(3, np.int32)), ValueError, "n0/n1 must be (B,)"),
    (dict(n0=np.zeros(3, np.int32), n1=np.int32(0)), ValueError, "n0/n1 must be (B,)"),
    (dict(n1=np.int32(0)), IndexError, "invalid axis: 0 (ndim = 0)"),
    (dict(n1=np.zeros(1, np.int32)), ValueError, "n0/n1 must be (B,)"),
    # (B, 0) windows hold no values to read.
    (dict(n0=np.zeros((2, 0), np.int32)), ValueError, "n0/n1 must be (B,)"),
    (dict(n1=np.zeros((2, 0), np.int32)), ValueError, "n0/n1 must be (B,)"),
    (dict(N=-1), ValueError, "negative dimensions are not allowed"),
])
@pytest.mark.parametrize("fn", [rr.scatter64, rr.scatterb_serial, rr.scatterc64])
def test_errors(fn, change, exc, msg):
    kw = dict(GOOD)
    kw.update(change)
    with pytest.raises(exc) as info:
        fn(**kw)
    assert str(info.value) == msg


@pytest.mark.parametrize("N", [4.0, 2**31, -2**31 - 1, "4"])
def test_N_conversion(N):
    with pytest.raises(TypeError):
        rr.scatter64(GOOD["rows_pack"], GOOD["n0"], GOOD["n1"], N)


def test_index_extent_limits():
    # B*L*N beyond 32-bit flat indexing is refused before anything is allocated.
    rows = np.zeros((2, 1, 1))
    n = np.zeros(2, np.int32)
    with pytest.raises(ValueError, match="does not fit 32-bit indexing"):
        rr.scatter64(rows, n, n, 2**30 + 1)
