#!/usr/bin/env bash
# Prepare everything `make test` and `make demo` need, from nothing:
#   1. .venv from the pyenv CPython 3.13 build, with pinned PyPI packages;
#   2. Kokkos 3.4.1 (from Debian's trilinos 13.2.0 source package) in a cache
#      prefix outside the clone, unless Kokkos_ROOT points at another install;
#   3. the extension module built and installed into .venv.
# Every step says what it does and is skipped when its result is already there.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
say() { printf '[setup] %s\n' "$*"; }

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
  say "using Kokkos from Kokkos_ROOT=$Kokkos_ROOT"
  kokkos_root=$Kokkos_ROOT
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
    say "building Kokkos 3.4.1 (OpenMP + Serial, shared, PIC, C++20) into $kokkos_root"
    rm -rf "$cache/kokkos-build"
    cmake -S "$ksrc" -B "$cache/kokkos-build" -G Ninja \
      -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja" \
      -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$kokkos_root" \
      -DCMAKE_CXX_STANDARD=20 -DKokkos_CXX_STANDARD=20 \
      -DKokkos_ENABLE_OPENMP=ON -DKokkos_ENABLE_SERIAL=ON \
      -DBUILD_SHARED_LIBS=ON -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
      -DKokkos_ENABLE_TESTS=OFF -DKokkos_ENABLE_EXAMPLES=OFF >"$cache/kokkos-configure.log" 2>&1 \
      || { cat "$cache/kokkos-configure.log" >&2; exit 1; }
    cmake --build "$cache/kokkos-build" -j "$jobs" >"$cache/kokkos-build.log" 2>&1 \
      || { tail -50 "$cache/kokkos-build.log" >&2; exit 1; }
    cmake --install "$cache/kokkos-build" >/dev/null
    rm -rf "$cache/kokkos-build"
    touch "$kokkos_root/.complete"
  fi
fi

mkdir -p build && echo "$kokkos_root" > build/kokkos-root.txt

# ---------------------------------------------------------------- module
say "building and installing radiredide into .venv (incremental)"
export Kokkos_ROOT=$kokkos_root
"$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
  -C build-dir=build/module -C cmake.define.RADIREDIDE_TESTS=ON -C cmake.define.Kokkos_ROOT="$kokkos_root" .
say "done: $("$venv/bin/python" -c 'import radiredide as r; print("radiredide", r.kokkos_version, "-", r.kokkos_provenance)')"
