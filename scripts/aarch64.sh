#!/usr/bin/env bash
# Cross-build the module and its C++ unit tests for aarch64 (64-bit Arm
# Linux) and run the tests under qemu-aarch64: the kernels' generic lanes, the
# only ones a processor other than x86-64 runs, compiled by a compiler for
# that processor, with warnings as errors.
#   1. the cross compiler and qemu-user, from Debian's apt when missing (as root);
#   2. Kokkos 3.4.1 (OpenMP + Serial, shared, PIC, C++20, as the set-up builds
#      it natively) and GoogleTest (Debian's /usr/src/googletest), each built
#      once with aarch64-linux-gnu-g++ into ~/.cache/radiredide;
#   3. this project configured with cmake/aarch64-linux-gnu.cmake in
#      build/aarch64 and built: every unit of the module, the module itself
#      and the C++ unit tests;
#   4. the C++ unit tests under qemu-aarch64 (CTest).
# Needs .venv (pybind11, ninja) and the Kokkos sources the set-up caches; runs
# scripts/setup.sh first when either is missing.  Every step is skipped when
# its result is there, and the build is incremental.  Build output goes to log
# files; the terminal gets the progress and, on a failure, the part of the log
# that tells why.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
say() { printf '[aarch64] %s\n' "$*"; }
die() { printf '[aarch64] %s\n' "$*" >&2; exit 1; }
# As setup.sh: a build's output filtered down to its step lines ([n/N] ...),
# compiler warnings and this project's configure messages.  The libraries
# built into the cache show their steps only (their warnings are not ours).
steps() {
  sed -un -e 's/^ *\(\[[0-9]*\/[0-9]*\] .*\)$/[aarch64]   \1/p' -e '/warning:/p' \
          -e 's/^ *-- \(radiredide: .*\)$/[aarch64]   \1/p'
}
steps_config() { sed -n -e 's/^ *-- \(radiredide: .*\)$/[aarch64]   \1/p'; }
steps_only() { sed -un -e 's/^ *\(\[[0-9]*\/[0-9]*\] .*\)$/[aarch64]   \1/p'; }
# Wall-clock time since the step started (SECONDS reset by the caller).
took() { printf '%dm%02ds' $((SECONDS / 60)) $((SECONDS % 60)); }
# The lines of a failed build log from its first error on.
show_failure() {
  local log=$1 first
  first=$(grep -n -m1 -E '^ *(CMake Error|FAILED:)' "$log" | cut -d: -f1 || true)
  if [ -n "$first" ]; then
    tail -n "+$first" "$log" | head -150 >&2
  else
    tail -60 "$log" >&2
  fi
}

triple=aarch64-linux-gnu
toolchain=$here/cmake/$triple.cmake
cache=${XDG_CACHE_HOME:-$HOME/.cache}/radiredide
mkdir -p "$cache" build
jobs=$(nproc 2>/dev/null || echo 2)

# ---------------------------------------------------------------- tools
pkgs=()
command -v $triple-g++ >/dev/null || pkgs+=(g++-$triple)
command -v qemu-aarch64 >/dev/null || pkgs+=(qemu-user)
[ -f /usr/src/googletest/CMakeLists.txt ] || pkgs+=(googletest)
if [ ${#pkgs[@]} -gt 0 ]; then
  [ "$(id -u)" = 0 ] || die "missing ${pkgs[*]}: install them (apt-get install ${pkgs[*]}) or run this as root"
  SECONDS=0
  say "installing ${pkgs[*]} (apt-get; output in build/aarch64-apt.log)"
  if ! { apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${pkgs[@]}"; } \
       >build/aarch64-apt.log 2>&1; then
    tail -30 build/aarch64-apt.log >&2
    die "installing ${pkgs[*]} failed"
  fi
  say "installed ($(took))"
  command -v $triple-g++ >/dev/null && command -v qemu-aarch64 >/dev/null ||
    die "apt-get installed ${pkgs[*]}, but $triple-g++ or qemu-aarch64 is still not on PATH"
fi

# ---------------------------------------------------------------- set-up
venv=$here/.venv
ksrc=$cache/src/kokkos-3.4.1
if [ ! -x "$venv/bin/python" ] || [ ! -x "$venv/bin/ninja" ] || [ ! -f "$ksrc/CMakeLists.txt" ]; then
  say "running scripts/setup.sh first (.venv and the cached Kokkos 3.4.1 sources)"
  bash scripts/setup.sh
  [ -f "$ksrc/CMakeLists.txt" ] ||
    die "no Kokkos 3.4.1 sources in $ksrc: scripts/setup.sh fetches them when Kokkos_ROOT is unset"
fi
py=$venv/bin/python
ninja=$venv/bin/ninja

# A library built once with the cross compiler into the cache: configure,
# build (progress to the terminal, output to a log), install, mark complete.
#   cross_build <name> <source dir> <prefix> <cmake option>...
cross_build() {
  local name=$1 src=$2 prefix=$3 tag
  shift 3
  tag=$(basename "$prefix")
  if [ -f "$prefix/.complete" ]; then
    say "$name for aarch64 cached at $prefix"
    return
  fi
  SECONDS=0
  say "building $name for aarch64 into $prefix (whole output in $cache/$tag-build.log)"
  rm -rf "$cache/$tag-build" "$prefix"
  cmake -S "$src" -B "$cache/$tag-build" -G Ninja -DCMAKE_MAKE_PROGRAM="$ninja" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR=lib "$@" \
    >"$cache/$tag-configure.log" 2>&1 \
    || { show_failure "$cache/$tag-configure.log"; die "configuring $name for aarch64 failed"; }
  if ! cmake --build "$cache/$tag-build" -j "$jobs" 2>&1 | tee "$cache/$tag-build.log" | steps_only; then
    show_failure "$cache/$tag-build.log"
    die "building $name for aarch64 failed"
  fi
  cmake --install "$cache/$tag-build" >/dev/null
  rm -rf "$cache/$tag-build"
  touch "$prefix/.complete"
  say "$name for aarch64 built ($(took))"
}

# ---------------------------------------------------------------- Kokkos
kokkos_root=$cache/kokkos-3.4.1-aarch64
cross_build "Kokkos 3.4.1 (OpenMP + Serial, shared, PIC, C++20)" "$ksrc" "$kokkos_root" \
  -DCMAKE_CXX_STANDARD=20 -DKokkos_CXX_STANDARD=20 \
  -DKokkos_ENABLE_OPENMP=ON -DKokkos_ENABLE_SERIAL=ON \
  -DBUILD_SHARED_LIBS=ON -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
  -DKokkos_ENABLE_TESTS=OFF -DKokkos_ENABLE_EXAMPLES=OFF

# ---------------------------------------------------------------- GoogleTest
# The native build links the system's GoogleTest; the cross build needs one
# compiled for the target, from the sources the same Debian package ships.
gtest_version=$(sed -n 's/^ *set(GOOGLETEST_VERSION \([0-9.]*\)).*/\1/p' /usr/src/googletest/CMakeLists.txt)
gtest_root=$cache/googletest-${gtest_version:-unknown}-aarch64
cross_build "GoogleTest $gtest_version" /usr/src/googletest "$gtest_root" \
  -DCMAKE_CXX_STANDARD=20 -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON -DBUILD_SHARED_LIBS=OFF

# ---------------------------------------------------------------- Python headers
# The module is compiled against the build machine's CPython 3.13 headers: its
# pyconfig.h describes x86-64 Linux, whose type sizes and byte order aarch64
# Linux shares (both LP64, little-endian).  Checked here with the cross
# compiler, so a header that does not suit the target stops the build.
py_include=$("$py" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
if ! $triple-g++ -std=c++20 -fsyntax-only -I"$py_include" -x c++ - 2>build/aarch64-pyconfig.log <<'CHECK'
#include <pyconfig.h>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <pthread.h>
#include <sys/types.h>
static_assert(SIZEOF_SHORT == sizeof(short) && SIZEOF_INT == sizeof(int));
static_assert(SIZEOF_LONG == sizeof(long) && SIZEOF_LONG_LONG == sizeof(long long));
static_assert(SIZEOF_VOID_P == sizeof(void*) && SIZEOF_SIZE_T == sizeof(size_t));
static_assert(SIZEOF_UINTPTR_T == sizeof(uintptr_t) && SIZEOF_WCHAR_T == sizeof(wchar_t));
static_assert(SIZEOF_FLOAT == sizeof(float) && SIZEOF_DOUBLE == sizeof(double));
static_assert(SIZEOF_LONG_DOUBLE == sizeof(long double) && SIZEOF__BOOL == sizeof(bool));
static_assert(SIZEOF_OFF_T == sizeof(off_t) && SIZEOF_PID_T == sizeof(pid_t));
static_assert(SIZEOF_TIME_T == sizeof(time_t) && SIZEOF_FPOS_T == sizeof(fpos_t));
static_assert(SIZEOF_PTHREAD_T == sizeof(pthread_t) && SIZEOF_PTHREAD_KEY_T == sizeof(pthread_key_t));
static_assert(ALIGNOF_LONG == alignof(long) && ALIGNOF_SIZE_T == alignof(size_t));
static_assert(ALIGNOF_MAX_ALIGN_T == alignof(max_align_t));
#if defined(WORDS_BIGENDIAN) != (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__)
#error "pyconfig.h's byte order is not the target's"
#endif
CHECK
then
  cat build/aarch64-pyconfig.log >&2
  die "the CPython headers in $py_include do not suit aarch64 Linux"
fi

# ---------------------------------------------------------------- module and tests
# The extension module gets the file name CPython on aarch64 Linux imports.
# No link-time optimisation here: with it, compiling a unit stops before code
# generation, where the late warnings (-Wmaybe-uninitialized among them) come
# from, and the link does not run -Wall -Wextra; without it every object is
# compiled to aarch64 code under -Wall -Wextra -Werror.
bdir=build/aarch64
log=build/aarch64-build.log
SECONDS=0
[ -f "$bdir/build.ninja" ] || say "first configure of $bdir"
if ! cmake -S . -B "$bdir" -G Ninja -DCMAKE_MAKE_PROGRAM="$ninja" \
     -DCMAKE_TOOLCHAIN_FILE="$toolchain" "-DCMAKE_FIND_ROOT_PATH=$kokkos_root;$gtest_root" \
     -DCMAKE_BUILD_TYPE=Release -DRADIREDIDE_WERROR=ON -DRADIREDIDE_TESTS=ON \
     -DCMAKE_INTERPROCEDURAL_OPTIMIZATION=OFF \
     -DKokkos_ROOT="$kokkos_root" -DGTest_ROOT="$gtest_root" \
     -DPython_EXECUTABLE="$py" -DPython_INCLUDE_DIR="$py_include" \
     -Dpybind11_DIR="$("$py" -m pybind11 --cmakedir)" \
     -DPYTHON_MODULE_EXTENSION=".cpython-313-$triple.so" \
     >build/aarch64-configure.log 2>&1; then
  show_failure build/aarch64-configure.log
  die "configuring $bdir failed (whole output in build/aarch64-configure.log)"
fi
steps_config <build/aarch64-configure.log
say "building the module and the C++ unit tests for aarch64 in $bdir (whole output in $log)"
if ! cmake --build "$bdir" -j "$jobs" 2>&1 | tee "$log" | steps; then
  echo "[aarch64] building failed (whole output in $log):" >&2
  show_failure "$log"
  exit 1
fi
say "built ($(took))"

tlog=build/aarch64-ctest.log
SECONDS=0
say "C++ unit tests under qemu-aarch64 (whole output in $tlog)"
# OMP_PROC_BIND=false unless it is set, as for the Python tests.
if ! OMP_PROC_BIND=${OMP_PROC_BIND:-false} \
     ctest --test-dir "$bdir" --output-on-failure --no-tests=error -j "$jobs" >"$tlog" 2>&1; then
  # The failed tests with their output, and CTest's summary.
  grep -v -E '^ *(Start +[0-9]+:|[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed|Internal ctest changing)' "$tlog" >&2
  die "C++ unit tests failed under qemu-aarch64"
fi
say "$(grep -m1 'tests passed' "$tlog") ($(took))"
