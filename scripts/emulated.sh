#!/usr/bin/env bash
# Run the C++ unit tests and the in-process pytest suite on emulated x86-64
# processors (Debian's qemu-user), one model per tier below this machine's:
#   Haswell-v4  AVX2 and FMA, no AVX-512  -> the avx2 variants
#   Nehalem-v2  no AVX                    -> the generic variants
# An instruction of a higher tier that leaks into a variant stops the process
# (SIGILL), so each leg also checks that none does.  Tests that start child
# interpreters run those natively; the files made of nothing else (the hostile
# inputs, the resident-memory loop), and the build and stub checks, are left
# out.  Arguments name models to run (default:
# both); the module and the C++ tests are built by the set-up first.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
say() { printf '[emulated] %s\n' "$*"; }

declare -A tier=([Haswell-v4]=avx2 [Nehalem-v2]=generic)
# The models less the system features qemu's TCG does not emulate (it would
# warn about each at every start); none of them is an instruction-set one.
declare -A cpu=([Haswell-v4]=Haswell-v4,-pcid,-x2apic,-tsc-deadline,-invpcid,-spec-ctrl
                [Nehalem-v2]=Nehalem-v2,-spec-ctrl)
models=("$@")
[ ${#models[@]} -gt 0 ] || models=(Haswell-v4 Nehalem-v2)
for m in "${models[@]}"; do
  [ -n "${tier[$m]:-}" ] || { echo "[emulated] unknown model $m (known: ${!tier[*]})" >&2; exit 2; }
done

if ! command -v qemu-x86_64 >/dev/null 2>&1; then
  [ "$(id -u)" = 0 ] || { echo "[emulated] qemu-x86_64 is missing: install Debian's qemu-user" >&2; exit 1; }
  say "installing Debian's qemu-user"
  apt-get update -q >/dev/null
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q qemu-user >/dev/null
fi

bash scripts/setup.sh --tests
cpp_tests=build/module/tests/cpp/radiredide_cpp_tests
export OMP_PROC_BIND=${OMP_PROC_BIND:-false}
for m in "${models[@]}"; do
  start=$SECONDS
  say "$m (${tier[$m]} variants): C++ unit tests"
  RADIREDIDE_EXPECT_TIER=${tier[$m]} qemu-x86_64 -cpu "${cpu[$m]}" "$cpp_tests" --gtest_brief=1
  say "$m (${tier[$m]} variants): pytest"
  qemu-x86_64 -cpu "${cpu[$m]}" .venv/bin/python -m pytest tests -q -p no:cacheprovider \
    --ignore=tests/test_build_config.py --ignore=tests/test_stubs.py \
    --ignore=tests/test_hostile.py --ignore=tests/test_memory.py
  say "$m done in $((SECONDS - start)) s"
done
