"""Shared benchmark harness: warm-up, repeats, median, ratio against NumPy, and
the hardware bound of each case.

Each bench/bench_*.py module defines `cases()`, yielding `Case` objects.  A case
names the function, the sizes, a callable for the module and one for the plain
NumPy implementation of the same computation, and optionally a `Bound`: the
bytes one call must move at the least and the C-library calls its bits require.
The bound time of a case is the larger of

    bytes / copy bandwidth        (a NumPy copy into a fresh array, T threads)
    sum(calls * cost per call) / T (each function timed here, one thread)

both measured in the same run (`machine()`), so a row can be read against what
the hardware allows as well as against NumPy.
"""
from __future__ import annotations

import concurrent.futures
import dataclasses
import json
import os
import pathlib
import shutil
import statistics
import subprocess
import time
from typing import Callable

HERE = pathlib.Path(__file__).resolve().parent


@dataclasses.dataclass
class Bound:
    """Least work of one call: bytes read plus bytes written, and the C-library
    calls (by libm name, e.g. {"sincos": B * K * N}) that its bits require."""
    bytes: float = 0.0
    calls: dict[str, float] = dataclasses.field(default_factory=dict)


@dataclasses.dataclass
class Case:
    function: str
    sizes: str
    module: Callable[[], object]
    numpy: Callable[[], object] | None
    repeats: int = 5
    note: str = ""
    bound: Bound | None = None


def threads() -> int:
    for var in ("KOKKOS_NUM_THREADS", "OMP_NUM_THREADS"):
        if os.environ.get(var):
            return int(os.environ[var])
    return os.cpu_count() or 1


def median_time(fn: Callable[[], object], repeats: int) -> float:
    fn()  # warm-up: pools grow, caches fill
    times = []
    for _ in range(max(1, repeats)):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


# ---------------------------------------------------------------- machine bounds
_MACHINE: dict | None = None


def _libm_costs() -> dict[str, float]:
    """ns per call of each C-library function, from bench/bound_probe.c."""
    src = HERE / "bound_probe.c"
    exe = HERE / "results" / ".bound_probe"
    exe.parent.mkdir(exist_ok=True)
    if not exe.exists() or exe.stat().st_mtime < src.stat().st_mtime:
        cc = shutil.which("cc") or shutil.which("gcc")
        if cc is None:
            return {}
        subprocess.run([cc, "-O2", "-ffp-contract=off", "-o", str(exe), str(src), "-lm"], check=True)
    out = subprocess.run([str(exe)], check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def _copy_bandwidth(nthreads: int, nbytes: int = 256 << 20) -> float:
    """Bytes per second (read + written) of NumPy copies into fresh arrays, split
    over `nthreads` Python threads (NumPy releases the GIL while it copies)."""
    import numpy as np

    part = nbytes // nthreads // 8
    srcs = [np.ones(part) for _ in range(nthreads)]
    best = float("inf")
    with concurrent.futures.ThreadPoolExecutor(nthreads) as pool:
        for _ in range(5):
            t0 = time.perf_counter()
            list(pool.map(np.copy, srcs))
            best = min(best, time.perf_counter() - t0)
    return 2.0 * part * 8 * nthreads / best


def machine() -> dict:
    """The run's measured constants: libm costs (ns/call) and copy bandwidth (B/s)."""
    global _MACHINE
    if _MACHINE is None:
        _MACHINE = {"libm_ns": _libm_costs(), "copy_bw": _copy_bandwidth(threads())}
    return _MACHINE


def bound_seconds(bound: Bound | None) -> tuple[float, str]:
    """(bound time, what binds: "bytes" or "libm") for one call at this thread count."""
    if bound is None:
        return float("nan"), ""
    m = machine()
    t_bytes = bound.bytes / m["copy_bw"]
    t_libm = sum(n * m["libm_ns"][f] for f, n in bound.calls.items()) * 1e-9 / threads()
    return (t_bytes, "bytes") if t_bytes >= t_libm else (t_libm, "libm")


def run_case(case: Case, numpy: bool = True) -> dict:
    t_mod = median_time(case.module, case.repeats)
    t_np = (median_time(case.numpy, case.repeats)
            if numpy and case.numpy is not None else float("nan"))
    t_bound, kind = bound_seconds(case.bound)
    return {
        "function": case.function,
        "sizes": case.sizes,
        "threads": threads(),
        "module_s": t_mod,
        "numpy_s": t_np,
        "ratio": t_np / t_mod if t_mod > 0 else float("nan"),
        "bound_s": t_bound,
        "bound_kind": kind,
        "note": case.note,
    }


RATIO_HEAD = "numpy/mod"
TABLE_LEGEND = ("numpy/mod = NumPy time / module time (above 1: the module is faster); "
                "bound = least time the hardware allows (bytes / copy bandwidth, or required libm "
                "calls x their cost / threads); %bound = bound / module time")


def format_table(rows: list[dict]) -> str:
    """One line per row; the function and sizes columns widen to their longest entry."""
    wf = max([34] + [len(r["function"]) for r in rows])
    ws = max([36] + [len(r["sizes"]) for r in rows])
    head = (f"{'function':<{wf}} {'sizes':<{ws}} {'thr':>3} {'module ms':>10} {'numpy ms':>10} "
            f"{RATIO_HEAD:>9} {'bound ms':>9} {'%bound':>7}")
    lines = [head, "-" * len(head)]
    for r in rows:
        b = r.get("bound_s", float("nan"))
        pct = 100.0 * b / r["module_s"] if b == b and r["module_s"] > 0 else float("nan")
        bcol = f"{1e3 * b:>7.2f} {r.get('bound_kind', '')[:1]}" if b == b else f"{'-':>9}"
        pcol = f"{pct:>6.0f}%" if pct == pct else f"{'-':>7}"
        lines.append(
            f"{r['function']:<{wf}} {r['sizes']:<{ws}} {r['threads']:>3} {1e3 * r['module_s']:>10.2f} "
            f"{1e3 * r['numpy_s']:>10.2f} {r['ratio']:>8.1f}x {bcol} {pcol}"
            + (f"  {r['note']}" if r["note"] else ""))
    return "\n".join(lines)
