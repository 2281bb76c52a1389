"""Hostile-input cases and the child processes that run them.

A case is a plain description of one call: the target (a module function, or a
method of an object built by a recipe below), and every argument either as a
value or as an array together with the layout to give it in the child
(misaligned, non-contiguous, Fortran order, read-only, or a zero-size array
with an extent near 2^31).  Layouts are applied in the child because pickling
an array loses them.

`WorkerPool` keeps a few child interpreters that run cases one at a time; a
child that dies (signal, abort, sanitizer report) or does not answer within the
time limit is reported with the case that killed it and replaced.
"""
import os
import pickle
import select
import struct
import subprocess
import sys
import tempfile
import time

import numpy as np

ALLOWED = ("ValueError", "TypeError", "IndexError", "RuntimeError", "MemoryError")
HUGE = (2**31 - 1, 2**31, 2**31 + 1, 2**32 + 3, 2**62)

# Functions that take no arguments, or end the module's runtime: covered elsewhere.
NOT_HOSTILE = {"finalize_kokkos", "release_workspaces", "residency_begin", "residency_end",
               "residency_active", "workspace_bytes", "workspace_high_water", "execution_space",
               "host_execution_space", "gpr_scatter_calls", "pack_kernel_names",
               "pack_device_available"}


# ---------------------------------------------------------------- arguments

class Arr:
    """An array argument: the data and the layout it is given in the child."""

    def __init__(self, data, layout="plain", huge=None):
        self.data = np.asarray(data)
        self.layout = layout
        self.huge = huge  # (axis, extent) of a zero-size array

    def __repr__(self):
        a = self.data
        body = a.tolist() if a.size <= 12 and a.dtype != object else f"<{a.size} elements>"
        extra = f", huge={self.huge}" if self.huge else ""
        return f"Arr({a.dtype.str} {a.shape} {body}, layout={self.layout!r}{extra})"


def build_array(spec):
    a = spec.data
    if a.dtype.isnative and a.dtype.kind != "V":
        # Unpickled dtypes are copies; hand out NumPy's built-in descriptors.
        a = a.view(np.dtype(a.dtype.str)) if a.dtype.kind != "O" else a
    if spec.huge is not None:
        axis, extent = spec.huge
        shape = list(a.shape) or [1]
        axis = min(axis, len(shape))
        shape.insert(axis, extent)
        if 0 not in shape:
            shape[(axis + 1) % len(shape)] = 0
        return np.lib.stride_tricks.as_strided(np.zeros(1, a.dtype), shape=shape,
                                               strides=[0] * len(shape))
    layout = spec.layout
    if layout == "misaligned" and a.dtype.itemsize > 1 and a.dtype != object:
        off = 8 if a.dtype.itemsize == 16 else (4 if a.dtype.itemsize >= 8 else 1)
        buf = bytearray(a.nbytes + 64)
        base = np.frombuffer(buf, np.uint8)
        start = (-base.ctypes.data) % 64 + off
        out = np.frombuffer(buf, a.dtype, count=a.size, offset=start).reshape(a.shape)
        out[...] = a
        return out
    if layout == "noncontig" and a.ndim >= 1:
        big = np.zeros(a.shape[:-1] + (2 * a.shape[-1],), a.dtype)
        big[..., ::2] = a
        return big[..., ::2]
    if layout == "fortran":
        return np.asfortranarray(a)
    if layout == "readonly":
        out = a.copy()
        out.flags.writeable = False
        return out
    if layout == "broadcast" and a.ndim >= 1 and a.size:
        # A stride-0 view of the first element, of the same shape.
        return np.broadcast_to(a.reshape(-1)[:1].reshape((1,) * a.ndim), a.shape)
    return a.copy()


def materialise(x):
    if isinstance(x, Arr):
        return build_array(x)
    if isinstance(x, np.ndarray):
        return build_array(Arr(x))
    if isinstance(x, list):
        return [materialise(v) for v in x]
    if isinstance(x, tuple):
        return tuple(materialise(v) for v in x)
    return x


# ---------------------------------------------------------------- results

def summary(x):
    """A small, comparable description of a result: kinds, dtypes and ranks."""
    if isinstance(x, np.ndarray):
        return ("array", x.dtype.str, x.ndim)
    if isinstance(x, tuple):
        return ("tuple",) + tuple(summary(v) for v in x)
    if isinstance(x, list):
        return ("list", len(x))
    if isinstance(x, dict):
        return ("dict",) + tuple(sorted((k, summary(v)) for k, v in x.items()))
    if x is None:
        return ("none",)
    return (type(x).__name__,)


def digest(x):
    """A hash of every array's dtype, shape and bytes and every other value's repr."""
    import hashlib
    h = hashlib.sha256()

    def walk(v):
        if isinstance(v, np.ndarray):
            h.update(f"{v.dtype.str}{v.shape}".encode())
            h.update(np.ascontiguousarray(v).tobytes())
        elif isinstance(v, (tuple, list)):
            for e in v:
                walk(e)
        elif isinstance(v, dict):
            for k in sorted(v):
                h.update(repr(k).encode())
                walk(v[k])
        elif v is None or isinstance(v, (bool, int, float, complex, str, np.generic)):
            h.update(repr(v).encode())
        else:
            h.update(type(v).__name__.encode())  # an object: its kind, not its address
    walk(x)
    return h.hexdigest()


def same_kind(got, ref):
    """Whether a result summary matches the valid call's: same kinds and dtypes;
    arrays keep their rank (extents follow the inputs)."""
    if got == ref:
        return True
    if got[0] != ref[0] or len(got) != len(ref):
        return got[0] == "none" or ref[0] == "none"
    if got[0] == "dict":
        return [k for k, _ in got[1:]] == [k for k, _ in ref[1:]] and all(
            same_kind(a[1], b[1]) for a, b in zip(got[1:], ref[1:]))
    if got[0] == "tuple":
        return all(same_kind(a, b) for a, b in zip(got[1:], ref[1:]))
    if got[0] == "list":
        return True
    return False


# ---------------------------------------------------------------- targets

def _gpr_plan(rr):
    p = rr.GPRContraction(P=3, E=1, O=2, degree=2)
    p.set_default_coords(np.array([[-0.2, 2.3], [-0.9, 0.9], [-0.8, 0.8]]))
    p.set_sym_coords(2.0, -0.9, 0.9, 0.8, True)
    gid = p.add_group(scheme=0, parity=0, gidx=np.array([0, 2], np.int32),
                      U=np.linspace(-1, 1, 12).reshape(4, 3),
                      T=np.ones((2, 4), complex), terms=np.array([[0, 1, 2], [2, 0, 1]], np.int32))
    p.add_block(gid=gid, ls=np.ones(3), loc=np.array([1], np.int32),
                A=np.full((4, 2), 0.5 + 0.5j))
    p.add_var_key(scheme=0, ls=np.ones(3), nug=1e-6, parity=0, Minv=np.eye(2) * 0.1,
                  U=np.zeros((2, 3)))
    p.set_var(piece_key=np.zeros(3, np.int32), mean_signal_var=np.ones(3))
    return p


def _fresh_gpr(rr):
    return rr.GPRContraction(P=3, E=1, O=2, degree=2)


def _gpr_group(rr):
    p = _fresh_gpr(rr)
    p.add_group(scheme=0, parity=0, gidx=np.array([0, 2], np.int32), U=np.zeros((4, 3)),
                T=np.zeros((2, 4), complex), terms=np.zeros((2, 3), np.int32))
    return p


RECIPES = {"gpr_plan": _gpr_plan, "gpr_fresh": _fresh_gpr, "gpr_group": _gpr_group}

def load_bases(path=None):
    """The recorded valid calls: {name: (args, kwargs)} for the module functions and
    {(class, method): [(method, args, kwargs), ...]} for the methods, each a history
    of calls on one object whose last entry is the call of interest."""
    import json
    path = path or os.path.join(os.path.dirname(os.path.abspath(__file__)), "data",
                                "hostile_bases.npz")
    with np.load(path, allow_pickle=False) as d:
        index = json.loads(str(d["__index__"]))

        def dec(e):
            if "array" in e:
                return np.array(d[e["array"]])
            if "list" in e:
                return [dec(v) for v in e["list"]]
            if "scalar" in e:
                return np.dtype(e["numpy"]).type(e["scalar"])
            return e["value"]

        def call(v):
            return [dec(a) for a in v["args"]], {k: dec(a) for k, a in v["kwargs"].items()}
        functions = {name: call(v) for name, v in index["functions"].items()}
        methods = {tuple(key.split(".")): [(h["method"],) + call(h) for h in hist]
                   for key, hist in index["methods"].items()}
    return functions, methods


def resolve(rr, target, setup=()):
    """`target` is a module attribute name, or (class or recipe, method) called on an
    object that `setup` (a history of calls, constructor first) configures."""
    if isinstance(target, str):
        return getattr(rr, target)
    owner, method = target
    if owner in RECIPES:
        return getattr(RECIPES[owner](rr), method)
    if method == "__init__":
        return getattr(rr, owner)
    obj = None
    for name, args, kwargs in setup:
        args = materialise(args)
        kwargs = {k: materialise(v) for k, v in kwargs.items()}
        if name == "__init__":
            obj = getattr(rr, owner)(*args, **kwargs)
        else:
            getattr(obj, name)(*args, **kwargs)
    return getattr(obj, method)


def execute(case):
    import radiredide as rr
    try:
        fn = resolve(rr, case["target"], case.get("setup", ()))
        args = materialise(case["args"])
        kwargs = {k: materialise(v) for k, v in case["kwargs"].items()}
        out = fn(*args, **kwargs)
        if case.get("digest"):
            return ("ok", summary(out), digest(out))
        return ("ok", summary(out))
    except BaseException as e:  # noqa: BLE001 - reported to the parent
        return ("exc", type(e).__name__, str(e)[:300])


# ---------------------------------------------------------------- child side

def _read_exact(f, n):
    data = b""
    while len(data) < n:
        chunk = f.read(n - len(data))
        if not chunk:
            return None
        data += chunk
    return data


def worker_main():
    inp, out = sys.stdin.buffer, sys.stdout.buffer
    limit_memory()
    import radiredide  # noqa: F401  (import once, before the first case)
    out.write(b"R")
    out.flush()
    while True:
        head = _read_exact(inp, 8)
        if head is None:
            return
        case = pickle.loads(_read_exact(inp, struct.unpack("<Q", head)[0]))
        reply = pickle.dumps(execute(case))
        out.write(struct.pack("<Q", len(reply)) + reply)
        out.flush()


# ---------------------------------------------------------------- parent side

class Worker:
    def __init__(self, env):
        self.err = tempfile.TemporaryFile()
        here = os.path.dirname(os.path.abspath(__file__))
        self.proc = subprocess.Popen(
            [sys.executable, "-c", "import hostile_cases; hostile_cases.worker_main()"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.err, cwd=here, env=env)
        self._wait_bytes(1, 120)

    def _wait_bytes(self, n, timeout):
        fd = self.proc.stdout.fileno()
        data = b""
        end = time.monotonic() + timeout
        while len(data) < n:
            left = end - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                return None
            chunk = os.read(fd, n - len(data))
            if not chunk:
                return None
            data += chunk
        return data

    def stderr_tail(self, limit=6000):
        """The child's stderr from the sanitizer's report on (or its end)."""
        self.err.seek(0)
        text = self.err.read().decode(errors="replace")
        starts = [i for i in (text.find("==ERROR"), text.find("runtime error")) if i >= 0]
        start = max(0, min(starts) - 200) if starts else max(0, len(text) - limit)
        return text[start:start + limit]

    def run(self, case, timeout):
        blob = pickle.dumps(case)
        try:
            self.proc.stdin.write(struct.pack("<Q", len(blob)) + blob)
            self.proc.stdin.flush()
        except BrokenPipeError:
            pass
        head = self._wait_bytes(8, timeout)
        if head is None:
            return self._dead(timeout)
        body = self._wait_bytes(struct.unpack("<Q", head)[0], timeout)
        if body is None:
            return self._dead(timeout)
        return pickle.loads(body)

    def _dead(self, timeout):
        try:
            rc = self.proc.wait(timeout=2)
            kind = "crash"
        except subprocess.TimeoutExpired:
            self.proc.kill()
            rc = self.proc.wait()
            kind = f"hang (no answer within {timeout} s)"
        return (kind, rc, self.stderr_tail())

    def close(self):
        try:
            self.proc.stdin.close()  # end of input: the child leaves its loop
        except BrokenPipeError:      # it died with a case still buffered
            pass
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.proc.stdout.close()
        self.err.close()


class WorkerPool:
    """Child interpreters running cases; a dead or hung child is replaced."""

    def __init__(self, timeout=120):
        self.timeout = timeout
        self.env = dict(os.environ)
        self.env.setdefault("OMP_PROC_BIND", "false")
        self.env.setdefault("KOKKOS_NUM_THREADS", "2")
        here = os.path.dirname(os.path.abspath(__file__))
        self.env["PYTHONPATH"] = os.pathsep.join(
            [here] + [p for p in self.env.get("PYTHONPATH", "").split(os.pathsep) if p])
        self.env["PYTHONFAULTHANDLER"] = "1"
        # Refuse allocations beyond a few GiB, so that a huge result is a MemoryError
        # instead of an exhausted machine.
        if "asan" in self.env.get("LD_PRELOAD", ""):
            opts = self.env.get("ASAN_OPTIONS", "")
            self.env["ASAN_OPTIONS"] = (opts + ":" if opts else "") + \
                "max_allocation_size_mb=3072:allocator_may_return_null=1"
        self.worker = None

    def run(self, case):
        if self.worker is None:
            self.worker = Worker(self._env())
        reply = self.worker.run(case, self.timeout)
        if reply[0] not in ("ok", "exc"):
            self.worker.close()
            self.worker = None
        return reply

    def _env(self):
        return self.env

    def close(self):
        if self.worker is not None:
            self.worker.close()
            self.worker = None


def limit_memory():
    """In a child without the address sanitizer: cap the address space at 6 GiB."""
    import resource
    if "asan" not in os.environ.get("LD_PRELOAD", ""):
        cap = 6 << 30
        resource.setrlimit(resource.RLIMIT_AS, (cap, cap))


def describe(case):
    args = ", ".join(repr(a) for a in case["args"])
    kw = ", ".join(f"{k}={v!r}" for k, v in case["kwargs"].items())
    return f"{case['target']}({', '.join(x for x in (args, kw) if x)})"
