"""Run every benchmark under bench/ and print one table (also written as JSON).

    make bench                      # all benchmarks, default thread count
    KOKKOS_NUM_THREADS=1 make bench # one thread
    .venv/bin/python bench/run.py evaluator glue   # a subset, by module name
"""
import importlib
import json
import os
import pathlib
import sys
import time

os.environ.setdefault("OMP_PROC_BIND", "false")
here = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(here))

from harness import format_table, run_case, threads  # noqa: E402


def main(argv):
    wanted = set(argv[1:])
    rows = []
    for path in sorted(here.glob("bench_*.py")):
        name = path.stem[len("bench_"):]
        if wanted and name not in wanted:
            continue
        mod = importlib.import_module(path.stem)
        for case in mod.cases():
            row = run_case(case)
            rows.append(row)
            print(format_table([row]).splitlines()[-1], flush=True)
    print()
    print(format_table(rows))
    out = here / "results"
    out.mkdir(exist_ok=True)
    stamp = time.strftime("%Y%m%dT%H%M%S")
    (out / f"bench-{stamp}-t{threads()}.json").write_text(json.dumps(rows, indent=2))
    print(f"\nwrote bench/results/bench-{stamp}-t{threads()}.json")


if __name__ == "__main__":
    main(sys.argv)
