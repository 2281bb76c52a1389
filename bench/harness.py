"""Shared benchmark harness: warm-up, repeats, median, ratio against NumPy.

Each bench/bench_*.py module defines `cases()`, yielding `Case` objects.  A case
names the function, the sizes, a callable for the module and one for the plain
NumPy implementation of the same computation.
"""
from __future__ import annotations

import dataclasses
import os
import statistics
import time
from typing import Callable


@dataclasses.dataclass
class Case:
    function: str
    sizes: str
    module: Callable[[], object]
    numpy: Callable[[], object] | None
    repeats: int = 5
    note: str = ""


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


def run_case(case: Case) -> dict:
    t_mod = median_time(case.module, case.repeats)
    t_np = median_time(case.numpy, case.repeats) if case.numpy is not None else float("nan")
    return {
        "function": case.function,
        "sizes": case.sizes,
        "threads": threads(),
        "module_s": t_mod,
        "numpy_s": t_np,
        "ratio": t_np / t_mod if t_mod > 0 else float("nan"),
        "note": case.note,
    }


def format_table(rows: list[dict]) -> str:
    """One line per row; the function and sizes columns widen to their longest entry."""
    wf = max([34] + [len(r["function"]) for r in rows])
    ws = max([36] + [len(r["sizes"]) for r in rows])
    head = f"{'function':<{wf}} {'sizes':<{ws}} {'thr':>3} {'module ms':>10} {'numpy ms':>10} {'ratio':>8}"
    lines = [head, "-" * len(head)]
    for r in rows:
        lines.append(
            f"{r['function']:<{wf}} {r['sizes']:<{ws}} {r['threads']:>3} {1e3 * r['module_s']:>10.2f} "
            f"{1e3 * r['numpy_s']:>10.2f} {r['ratio']:>7.1f}x" + (f"  {r['note']}" if r["note"] else ""))
    return "\n".join(lines)
