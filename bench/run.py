"""Run the benchmarks under bench/ and print their tables (also written as JSON).

    make bench                                # 1 and 2 threads, alternating, best of 3 rounds
    .venv/bin/python bench/run.py --rounds 3  # the same; --threads 1,2 picks the counts
    .venv/bin/python bench/run.py glue        # one run of a subset at the current thread count
    KOKKOS_NUM_THREADS=1 .venv/bin/python bench/run.py

One run times each case's module and NumPy sides (median of repeats after a
warm-up) and measures the run's bounds (bench/harness.py).  With --rounds, each
round runs every thread count once in a fresh process, alternating; a row's
figure is its best module time over the rounds, with the spread (worst / best
- 1) beside it; NumPy is timed in the first round of each thread count.  The
parallel efficiency of a row is t(1 thread) / (2 x t(2 threads)).

The JSON file under bench/results/ holds {"meta": {...}, "rows": [...]} (and,
with --rounds, "efficiency").  A case that raises is kept in the table with its
error in the note column; the run then exits with status 1.
"""
import argparse
import importlib
import json
import os
import pathlib
import platform
import subprocess
import sys
import time
import traceback

os.environ.setdefault("OMP_PROC_BIND", "false")
here = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(here))

from harness import TABLE_LEGEND, format_table, machine, run_case, threads  # noqa: E402


def _failed_row(function, sizes, exc):
    return {"function": function, "sizes": sizes, "threads": threads(), "module_s": float("nan"),
            "numpy_s": float("nan"), "ratio": float("nan"), "bound_s": float("nan"),
            "bound_kind": "", "note": f"FAILED: {type(exc).__name__}: {exc}"[:160]}


def _meta(rr):
    return {"threads": threads(), "kokkos_version": rr.kokkos_version,
            "kokkos_provenance": rr.kokkos_provenance, "build_source_commit": rr.build_source_commit,
            "build_cpp_dirty": rr.build_cpp_dirty, "execution_space": rr.execution_space(),
            "machine": platform.machine(), "cpu_count": os.cpu_count(),
            "load_average": os.getloadavg(), "started": time.strftime("%Y-%m-%dT%H:%M:%S%z")}


def _write(doc, suffix):
    out = here / "results"
    out.mkdir(exist_ok=True)
    path = out / f"bench-{time.strftime('%Y%m%dT%H%M%S')}-{suffix}.json"
    path.write_text(json.dumps(doc, indent=2))
    return path


def run_once(names, numpy=True, quiet=False):
    """One run at the current thread count; returns (meta, rows, failed)."""
    import radiredide as rr

    known = sorted(p.stem[len("bench_"):] for p in here.glob("bench_*.py"))
    unknown = set(names) - set(known)
    if unknown:
        raise SystemExit(f"unknown benchmark(s) {sorted(unknown)}; known: {known}")
    meta = _meta(rr)
    meta["machine_bounds"] = machine()
    if not quiet:
        m = meta["machine_bounds"]
        print(f"radiredide {rr.build_source_commit[:12]}  Kokkos {rr.kokkos_version}  "
              f"{rr.execution_space()}  threads {meta['threads']}  (median of repeats after a warm-up)")
        print(f"copy bandwidth {m['copy_bw'] / 1e9:.1f} GB/s at {threads()} thread(s); libm ns/call: "
              + ", ".join(f"{k} {v:.1f}" for k, v in m["libm_ns"].items()) + "\n")
    rows, failed = [], False
    for name in known:
        if names and name not in names:
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
                row = run_case(case, numpy=numpy)
            except Exception as exc:
                row = _failed_row(case.function, case.sizes, exc)
                failed = True
            rows.append(row)
            if not quiet:
                print(format_table([row]).splitlines()[-1], flush=True)
    return meta, rows, failed


def _child(args):
    meta, rows, failed = run_once(args.names, numpy=not args.no_numpy, quiet=True)
    json.dump({"meta": meta, "rows": rows, "failed": failed}, sys.stdout)
    return 0


def _rounds(args):
    counts = [int(t) for t in args.threads.split(",")]
    runs = {t: [] for t in counts}
    for r in range(args.rounds):
        for t in counts:
            env = dict(os.environ, KOKKOS_NUM_THREADS=str(t), OMP_NUM_THREADS=str(t))
            cmd = [sys.executable, __file__, "--child", *args.names] + ([] if r == 0 else ["--no-numpy"])
            print(f"[bench] round {r + 1}/{args.rounds}, {t} thread(s)", flush=True)
            out = subprocess.run(cmd, env=env, check=False, capture_output=True, text=True)
            if out.returncode != 0:
                sys.stderr.write(out.stderr)
                return 1
            runs[t].append(json.loads(out.stdout))
    failed = any(run["failed"] for t in counts for run in runs[t])
    tables, best_by_t = {}, {}
    for t in counts:
        first = runs[t][0]
        best = []
        for i, row in enumerate(first["rows"]):
            times = [run["rows"][i]["module_s"] for run in runs[t]]
            b = dict(row, module_s=min(times))
            b["ratio"] = b["numpy_s"] / b["module_s"] if b["module_s"] > 0 else float("nan")
            b["spread"] = max(times) / min(times) - 1.0 if min(times) > 0 else float("nan")
            best.append(b)
        best_by_t[t] = best
        tables[t] = best
        m = first["meta"]["machine_bounds"]
        print(f"\n{t} thread(s): best of {args.rounds} rounds; copy bandwidth {m['copy_bw'] / 1e9:.1f} GB/s; "
              f"load average at start {first['meta']['load_average'][0]:.2f}")
        print(format_table(best))
    eff = []
    if 1 in best_by_t and 2 in best_by_t:
        print("\nparallel efficiency t1 / (2 t2), from the best times; spread = worst / best - 1 over the rounds")
        head = f"{'function':<36} {'sizes':<48} {'eff':>6} {'spread t1':>10} {'spread t2':>10}  bound"
        print(head + "\n" + "-" * len(head))
        for r1, r2 in zip(best_by_t[1], best_by_t[2]):
            e = r1["module_s"] / (2.0 * r2["module_s"]) if r2["module_s"] > 0 else float("nan")
            eff.append({"function": r1["function"], "sizes": r1["sizes"], "efficiency": e,
                        "spread_t1": r1["spread"], "spread_t2": r2["spread"],
                        "bound_kind": r2.get("bound_kind", "")})
            print(f"{r1['function']:<36} {r1['sizes']:<48} {100 * e:>5.0f}% {100 * r1['spread']:>9.0f}% "
                  f"{100 * r2['spread']:>9.0f}%  {r2.get('bound_kind', '')}")
    print("\n" + TABLE_LEGEND)
    path = _write({"meta": {t: runs[t][0]["meta"] for t in counts}, "rounds": args.rounds,
                   "rows": {t: tables[t] for t in counts}, "efficiency": eff}, "rounds")
    print(f"wrote {path.relative_to(here.parent)}")
    return 1 if failed else 0


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("names", nargs="*", help="benchmark modules (bench_<name>.py); default all")
    p.add_argument("--rounds", type=int, default=0, help="alternate thread counts over this many rounds")
    p.add_argument("--threads", default="1,2", help="thread counts for --rounds (default 1,2)")
    p.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    p.add_argument("--no-numpy", action="store_true", help=argparse.SUPPRESS)
    args = p.parse_args(argv[1:])
    if args.child:
        return _child(args)
    if args.rounds > 0:
        return _rounds(args)
    meta, rows, failed = run_once(args.names)
    print()
    print(format_table(rows))
    print("\n" + TABLE_LEGEND)
    path = _write({"meta": meta, "rows": rows}, f"t{threads()}")
    print(f"wrote {path.relative_to(here.parent)}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
