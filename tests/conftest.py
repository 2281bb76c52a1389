import ctypes
import ctypes.util
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

os.environ.setdefault("OMP_PROC_BIND", "false")

import radiredide  # noqa: E402

# The C library's single-precision cosf and sinf, called one value at a time.
_libm = ctypes.CDLL(ctypes.util.find_library("m"))
for _fn in (_libm.cosf, _libm.sinf):
    _fn.restype = ctypes.c_float
    _fn.argtypes = [ctypes.c_float]
cosf, sinf = _libm.cosf, _libm.sinf


def run_python(code, env=None, check=True):
    """Run `code` in a fresh interpreter (finalisation, import order, threads)."""
    full_env = dict(os.environ)
    full_env.setdefault("OMP_PROC_BIND", "false")
    if env:
        full_env.update(env)
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=full_env,
                          capture_output=True, text=True, timeout=600)
    if check and proc.returncode != 0:
        raise AssertionError(f"child failed ({proc.returncode}):\n{proc.stdout}\n{proc.stderr}")
    return proc


def misaligned(a, offset=None):
    """A C-contiguous copy of `a` whose data pointer is not aligned to its element size."""
    a = np.ascontiguousarray(a)
    if offset is None:
        offset = 4 if a.dtype.itemsize >= 8 else 1
        if a.dtype.kind == "c" and a.dtype.itemsize == 16:
            offset = 8
    buf = bytearray(a.nbytes + 64)
    base = np.frombuffer(buf, dtype=np.uint8)
    start = (-base.ctypes.data) % 64 + offset
    out = np.frombuffer(buf, dtype=a.dtype, count=a.size, offset=start).reshape(a.shape)
    out[...] = a
    assert out.ctypes.data % a.dtype.itemsize != 0
    return out


def bits(a):
    """Exact bit patterns of a float or complex array, for bitwise comparisons."""
    a = np.ascontiguousarray(a)
    if a.dtype.kind == "c":
        a = a.view(a.real.dtype)
    return a.view({2: np.uint16, 4: np.uint32, 8: np.uint64}[a.dtype.itemsize])


def assert_bitwise(a, b, nan_equal=False):
    """Exact bit equality.  With nan_equal, NaN results only have to stand at the
    same places: IEEE arithmetic leaves the sign and payload of a NaN computed
    from NaN operands to the operand order the compiler picks."""
    a = np.asarray(a)
    b = np.asarray(b)
    assert a.shape == b.shape and a.dtype == b.dtype, (a.shape, a.dtype, b.shape, b.dtype)
    if nan_equal and a.dtype.kind in "fc":
        na, nb = np.isnan(a.view(a.real.dtype) if a.dtype.kind == "c" else a), \
            np.isnan(b.view(b.real.dtype) if b.dtype.kind == "c" else b)
        assert np.array_equal(na, nb), f"NaN at different places: {np.argwhere(na != nb)[:5].tolist()}"
        a = np.where(na, 0, a.view(a.real.dtype) if a.dtype.kind == "c" else a)
        b = np.where(nb, 0, b.view(b.real.dtype) if b.dtype.kind == "c" else b)
    ba, bb = bits(a), bits(b)
    if not np.array_equal(ba, bb):
        idx = np.argwhere(ba != bb)[:5]
        raise AssertionError(f"bits differ at {idx.tolist()}")


@pytest.fixture
def rr():
    return radiredide
