#!/usr/bin/env bash
# Prepare everything `make test` and `make demo` need, from nothing:
#   1. .venv from the pyenv CPython 3.13 build, with pinned PyPI packages;
#   2. Kokkos 3.4.1 (from Debian's trilinos 13.2.0 source package) in a cache
#      prefix outside the clone, unless Kokkos_ROOT points at another install;
#   3. the extension module built and installed into .venv, with the C++ unit
#      tests when called as `setup.sh --tests` (make test; they need GoogleTest).
# Every step says what it does and is skipped when its result is already there.
# RADIREDIDE_WERROR=ON builds with warnings as errors (CI does).
set -euo pipefail

with_tests=0
for arg in "$@"; do
  case $arg in
    --tests) with_tests=1 ;;
    *) echo "usage: $0 [--tests]" >&2; exit 2 ;;
  esac
done

here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
say() { printf '[setup] %s\n' "$*"; }
# Filters a build's output down to its progress: the step lines ([n/N] ...),
# compiler warnings and this project's configure messages.  With
# --no-warnings (Kokkos's own build) the warnings stay in the log only.
steps() {
  local warnings=(-e '/warning:/p')
  [ "${1:-}" = --no-warnings ] && warnings=()
  sed -un -e 's/^ *\(\[[0-9]*\/[0-9]*\] .*\)$/[setup]   \1/p' "${warnings[@]}" \
          -e 's/^ *-- \(radiredide: .*\)$/[setup]   \1/p'
}

cache=${XDG_CACHE_HOME:-$HOME/.cache}/radiredide
mkdir -p "$cache"
jobs=$(nproc 2>/dev/null || echo 2)

# ---------------------------------------------------------------- venv
venv=$here/.venv
stamp_req=$venv/.requirements.sha
req_sha=$(sha256sum requirements-dev.txt | cut -d' ' -f1)
if [ ! -x "$venv/bin/python" ]; then
  py=""
  for cand in "$(pyenv root 2>/dev/null)"/versions/3.13.*/bin/python3 "$HOME"/.pyenv/versions/3.13.*/bin/python3; do
    [ -x "$cand" ] && { py=$cand; break; }
  done
  [ -n "$py" ] || { echo "[setup] no CPython 3.13 found under \$(pyenv root)/versions" >&2; exit 1; }
  say "creating .venv from $py"
  "$py" -m venv "$venv"
fi
if [ "$(cat "$stamp_req" 2>/dev/null)" != "$req_sha" ]; then
  say "installing pinned Python packages (requirements-dev.txt)"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check -r requirements-dev.txt
  echo "$req_sha" > "$stamp_req"
else
  say ".venv is up to date"
fi

# ---------------------------------------------------------------- Kokkos
if [ -n "${Kokkos_ROOT:-}" ]; then
  kokkos_root=$(cd "$Kokkos_ROOT" 2>/dev/null && pwd) || {
    echo "[setup] Kokkos_ROOT=$Kokkos_ROOT does not exist; set it to the install prefix of a Kokkos (the directory holding lib/cmake/Kokkos), or unset it to use the cached Kokkos 3.4.1" >&2
    exit 1
  }
  found=""
  for d in "$kokkos_root"/lib/cmake/Kokkos "$kokkos_root"/lib64/cmake/Kokkos \
           "$kokkos_root"/lib/*/cmake/Kokkos "$kokkos_root"/share/cmake/Kokkos; do
    [ -f "$d/KokkosConfig.cmake" ] && { found=$d; break; }
  done
  [ -n "$found" ] || {
    echo "[setup] Kokkos_ROOT=$Kokkos_ROOT holds no Kokkos CMake package (no lib/cmake/Kokkos/KokkosConfig.cmake under it); set it to the install prefix of a Kokkos built with OpenMP and Serial, or unset it to use the cached Kokkos 3.4.1" >&2
    exit 1
  }
  say "using Kokkos from Kokkos_ROOT=$kokkos_root"
else
  kokkos_root=$cache/kokkos-3.4.1
  if [ -f "$kokkos_root/.complete" ]; then
    say "Kokkos 3.4.1 cached at $kokkos_root"
  else
    apt_dir=$cache/apt
    src_dir=$cache/src
    mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$src_dir"
    orig=$src_dir/trilinos_13.2.0.orig.tar.gz
    if [ ! -f "$orig" ]; then
      say "fetching Debian's trilinos 13.2.0 source package (private apt source list in $apt_dir)"
      cat > "$apt_dir/sources.list" <<LIST
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian bookworm main
LIST
      aptopt=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
              -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache"
              -o APT::Sandbox::User=root)
      apt-get -q "${aptopt[@]}" update >/dev/null
      (cd "$src_dir" && apt-get -q "${aptopt[@]}" source --download-only trilinos=13.2.0-4 >/dev/null)
    fi
    ksrc=$src_dir/kokkos-3.4.1
    if [ ! -f "$ksrc/CMakeLists.txt" ]; then
      say "extracting packages/kokkos from the trilinos archive"
      rm -rf "$src_dir/extract" && mkdir -p "$src_dir/extract"
      tar -xzf "$orig" -C "$src_dir/extract" --wildcards '*/packages/kokkos/*'
      rm -rf "$ksrc" && mv "$src_dir"/extract/*/packages/kokkos "$ksrc"
      rm -rf "$src_dir/extract"
    fi
    say "building Kokkos 3.4.1 (OpenMP + Serial, shared, PIC, C++20) into $kokkos_root;"
    say "this takes several minutes on two cores (whole output in $cache/kokkos-build.log)"
    rm -rf "$cache/kokkos-build"
    cmake -S "$ksrc" -B "$cache/kokkos-build" -G Ninja \
      -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja" \
      -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$kokkos_root" \
      -DCMAKE_CXX_STANDARD=20 -DKokkos_CXX_STANDARD=20 \
      -DKokkos_ENABLE_OPENMP=ON -DKokkos_ENABLE_SERIAL=ON \
      -DBUILD_SHARED_LIBS=ON -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
      -DKokkos_ENABLE_TESTS=OFF -DKokkos_ENABLE_EXAMPLES=OFF >"$cache/kokkos-configure.log" 2>&1 \
      || { cat "$cache/kokkos-configure.log" >&2; exit 1; }
    if ! cmake --build "$cache/kokkos-build" -j "$jobs" 2>&1 | tee "$cache/kokkos-build.log" \
        | steps --no-warnings; then
      tail -50 "$cache/kokkos-build.log" >&2
      exit 1
    fi
    n_warn=$(grep -c 'warning:' "$cache/kokkos-build.log" || true)
    [ "$n_warn" = 0 ] || say "Kokkos's own sources gave $n_warn compiler warnings (in $cache/kokkos-build.log)"
    cmake --install "$cache/kokkos-build" >/dev/null
    rm -rf "$cache/kokkos-build"
    touch "$kokkos_root/.complete"
  fi
fi

mkdir -p build && echo "$kokkos_root" > build/kokkos-root.txt

# ---------------------------------------------------------------- module
# The module is built in build/module (a user's `pip install .` uses a build
# directory of its own).  Switching Kokkos_ROOT reconfigures against the new
# Kokkos and rebuilds what depends on it.
bdir=build/module
log=build/module-build.log
pip_args=(-C build-dir=$bdir -C cmake.define.Kokkos_ROOT="$kokkos_root"
          -C cmake.define.RADIREDIDE_WERROR="${RADIREDIDE_WERROR:-OFF}")
# Only `make test` asks for the C++ unit tests; `make demo` keeps whatever an
# earlier set-up chose, so a machine without GoogleTest can run the demo.
[ "$with_tests" = 1 ] && pip_args+=(-C cmake.define.RADIREDIDE_TESTS=ON)
if [ ! -f "$bdir/build.ninja" ]; then
  say "first build of the module: about 30 compile steps, several minutes on two cores"
else
  say "building and installing radiredide into .venv (incremental)"
fi
export Kokkos_ROOT=$kokkos_root
# The whole output goes to $log; the terminal gets the build's progress.
set +e
"$venv/bin/python" -m pip install -v --disable-pip-version-check --no-build-isolation --no-deps \
  "${pip_args[@]}" . 2>&1 | tee "$log" | steps
rc=${PIPESTATUS[0]}
set -e
if [ "$rc" != 0 ]; then
  echo "[setup] building the module failed (whole output in $log):" >&2
  first=$(grep -n -m1 -E '^ *(CMake Error|FAILED:)' "$log" | cut -d: -f1)
  if [ -n "$first" ]; then
    sed -n "$first,/\*\*\* CMake .* failed/p" "$log" | head -150 >&2
  else
    tail -60 "$log" >&2
  fi
  exit "$rc"
fi
built=$("$venv/bin/python" -c 'import radiredide as r; print("radiredide", r.kokkos_version, "-", r.kokkos_provenance)')
say "done: $built"
