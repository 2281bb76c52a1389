#!/usr/bin/env bash
# Build the module and its C++ tests with AddressSanitizer and
# UndefinedBehaviorSanitizer (GCC's runtimes) and run the whole test suite on
# that build: the C++ tests with leak detection, pytest with the sanitizer
# runtimes preloaded into the interpreter (leak detection off there: the
# interpreter's own allocations at exit are not this module's).
# Output is captured at the Python level only, so that a sanitizer report of a
# test that aborts reaches the log.  Arguments replace the default "tests".
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
bash scripts/setup.sh
kokkos_root=$(cat build/kokkos-root.txt)
py=$here/.venv/bin/python
bdir=build/sanitize
echo "[sanitize] configuring $bdir"
cmake -S . -B "$bdir" -G Ninja -DCMAKE_MAKE_PROGRAM="$here/.venv/bin/ninja" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRADIREDIDE_TESTS=ON -DRADIREDIDE_SANITIZE=ON \
  -DRADIREDIDE_WERROR="${RADIREDIDE_WERROR:-OFF}" \
  -DKokkos_ROOT="$kokkos_root" -DPython_EXECUTABLE="$py" \
  -Dpybind11_DIR="$("$py" -m pybind11 --cmakedir)" >/dev/null
echo "[sanitize] building"
cmake --build "$bdir"
# The type stub package sits beside the module, as in an installed wheel.
rm -f "$bdir/radiredide.pyi"
mkdir -p "$bdir/radiredide-stubs"
cp radiredide.pyi "$bdir/radiredide-stubs/__init__.pyi"
asan=$(g++ -print-file-name=libasan.so)
ubsan=$(g++ -print-file-name=libubsan.so)
echo "[sanitize] C++ unit tests (leak detection on)"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir "$bdir" --output-on-failure --no-tests=error
echo "[sanitize] pytest with $asan and $ubsan preloaded"
LD_PRELOAD="$asan $ubsan" \
ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
PYTHONPATH="$here/$bdir" OMP_PROC_BIND=false \
  "$py" -m pytest -q -p no:cacheprovider --capture=sys "${@:-tests}"
