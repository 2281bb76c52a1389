"""Run every benchmark under bench/ and print one table (also written as JSON).

    make bench                      # all benchmarks, default thread count
    KOKKOS_NUM_THREADS=1 make bench # one thread
    .venv/bin/python bench/run.py evaluator glue   # a subset, by module name

The JSON file under bench/results/ holds {"meta": {...}, "rows": [...]}: the
build and thread count of the run, then one row per case with the columns of
the table (module and NumPy times in seconds).  A case that raises is kept in
the table with its error in the note column; the run then exits with status 1.
"""
import importlib
import json
import os
import pathlib
import platform
import sys
import time
import traceback

os.environ.setdefault("OMP_PROC_BIND", "false")
here = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(here))

from harness import format_table, run_case, threads  # noqa: E402


def _failed_row(function, sizes, exc):
    return {"function": function, "sizes": sizes, "threads": threads(), "module_s": float("nan"),
            "numpy_s": float("nan"), "ratio": float("nan"),
            "note": f"FAILED: {type(exc).__name__}: {exc}"[:160]}


def main(argv):
    import radiredide as rr

    wanted = set(argv[1:])
    known = sorted(p.stem[len("bench_"):] for p in here.glob("bench_*.py"))
    unknown = wanted - set(known)
    if unknown:
        print(f"unknown benchmark(s) {sorted(unknown)}; known: {known}", file=sys.stderr)
        return 2
    meta = {"threads": threads(), "kokkos_version": rr.kokkos_version,
            "kokkos_provenance": rr.kokkos_provenance, "build_source_commit": rr.build_source_commit,
            "build_cpp_dirty": rr.build_cpp_dirty, "execution_space": rr.execution_space(),
            "machine": platform.machine(), "cpu_count": os.cpu_count(),
            "started": time.strftime("%Y-%m-%dT%H:%M:%S%z")}
    print(f"radiredide {rr.build_source_commit[:12]}  Kokkos {rr.kokkos_version}  "
          f"{rr.execution_space()}  threads {meta['threads']}  (median of repeats after a warm-up)\n")
    rows, failed = [], False
    for name in known:
        if wanted and name not in wanted:
            continue
        try:
            cases = list(importlib.import_module(f"bench_{name}").cases())
        except Exception as exc:  # a broken bench module must not hide the others
            traceback.print_exc()
            rows.append(_failed_row(f"bench_{name}", "(set-up)", exc))
            failed = True
            continue
        for case in cases:
            try:
                row = run_case(case)
            except Exception as exc:
                row = _failed_row(case.function, case.sizes, exc)
                failed = True
            rows.append(row)
            print(format_table([row]).splitlines()[-1], flush=True)
    print()
    print(format_table(rows))
    out = here / "results"
    out.mkdir(exist_ok=True)
    stamp = time.strftime("%Y%m%dT%H%M%S")
    path = out / f"bench-{stamp}-t{threads()}.json"
    path.write_text(json.dumps({"meta": meta, "rows": rows}, indent=2))
    print(f"\nwrote {path.relative_to(here.parent)}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
