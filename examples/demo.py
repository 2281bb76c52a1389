"""A short demonstration of radiredide: build attributes, execution spaces and
a small run of each stage that is available."""
import os

os.environ.setdefault("OMP_PROC_BIND", "false")

import radiredide as rr  # noqa: E402


def main():
    print("radiredide:", rr.__doc__)
    print(f"  source commit   {rr.build_source_commit} (cpp dirty: {rr.build_cpp_dirty})")
    print(f"  Kokkos          {rr.kokkos_version} ({rr.kokkos_provenance})")
    print(f"  execution space {rr.execution_space()} / host {rr.host_execution_space()}")
    print(f"  threads         {os.environ.get('KOKKOS_NUM_THREADS') or os.environ.get('OMP_NUM_THREADS') or os.cpu_count()}")
    print(f"  workspace bytes {rr.workspace_bytes()} (high water {rr.workspace_high_water()})")


if __name__ == "__main__":
    main()
