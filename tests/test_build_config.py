"""CMake's choice of Kokkos: the configure step refuses what the module cannot
use and says what to set.  Each case configures the project in a scratch
directory (no compilation)."""
import os
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]


def configure(build_dir, *defines, kokkos_root=None):
    # CMake and the compiler run without the sanitizer runtimes that the
    # sanitizer build's test run preloads.
    env = {k: v for k, v in os.environ.items()
           if k not in ("Kokkos_ROOT", "CMAKE_PREFIX_PATH", "LD_PRELOAD")}
    if kokkos_root is not None:
        env["Kokkos_ROOT"] = str(kokkos_root)
    pybind11_dir = subprocess.run([sys.executable, "-m", "pybind11", "--cmakedir"],
                                  capture_output=True, text=True, check=True).stdout.strip()
    proc = subprocess.run(
        ["cmake", "-S", str(ROOT), "-B", str(build_dir), "-G", "Unix Makefiles",
         f"-DPython_EXECUTABLE={sys.executable}", f"-Dpybind11_DIR={pybind11_dir}", *defines],
        env=env, capture_output=True, text=True, timeout=300)
    # CMake wraps its messages: compare with the line breaks folded.
    return proc.returncode, " ".join((proc.stdout + proc.stderr).split())


def fake_kokkos(prefix, devices):
    """A Kokkos CMake package that only declares its version and execution spaces."""
    d = prefix / "lib" / "cmake" / "Kokkos"
    d.mkdir(parents=True)
    (d / "KokkosConfig.cmake").write_text(f"set(Kokkos_DEVICES {';'.join(devices)})\n")
    (d / "KokkosConfigVersion.cmake").write_text(
        'set(PACKAGE_VERSION "4.6.1")\nset(PACKAGE_VERSION_COMPATIBLE TRUE)\n')
    return prefix


@pytest.mark.parametrize("devices, missing", [
    (["OPENMP"], "built without Serial"),
    (["SERIAL", "THREADS"], "built without OpenMP (its execution spaces: SERIAL;THREADS)"),
    ([], "built without OpenMP and Serial"),
])
def test_kokkos_without_openmp_or_serial_is_refused(tmp_path, devices, missing):
    prefix = fake_kokkos(tmp_path / "kokkos", devices)
    rc, out = configure(tmp_path / "build", kokkos_root=prefix)
    assert rc != 0
    assert f"the Kokkos 4.6.1 at {prefix} was {missing}" in out
    assert "-DKokkos_ENABLE_OPENMP=ON -DKokkos_ENABLE_SERIAL=ON" in out


def test_kokkos_root_without_a_package_is_refused(tmp_path):
    rc, out = configure(tmp_path / "build", kokkos_root=tmp_path)
    assert rc != 0
    assert f"Kokkos_ROOT={tmp_path} holds no Kokkos CMake package" in out
    assert "CMAKE_PREFIX_PATH" in out


def test_no_kokkos_and_no_download_says_what_to_set(tmp_path):
    # Nothing listens on port 1: the download fails at once.
    url = "http://127.0.0.1:1/kokkos.tar.gz"
    rc, out = configure(tmp_path / "build", f"-DRADIREDIDE_KOKKOS_URL={url}")
    assert rc != 0
    assert "no installed Kokkos was found" in out
    assert f"could not be downloaded from {url}" in out
    assert "set the environment variable Kokkos_ROOT" in out
    assert "add that prefix to CMAKE_PREFIX_PATH" in out
    assert "FETCHCONTENT_SOURCE_DIR_KOKKOS" in out


def test_changed_kokkos_root_replaces_the_cached_kokkos(tmp_path):
    # The Kokkos the set-up built; a second configure of the same build
    # directory against another Kokkos must look at that one, not keep the
    # package found first.
    cached = (ROOT / "build" / "kokkos-root.txt").read_text().strip()
    rc, out = configure(tmp_path / "build", kokkos_root=cached)
    assert rc == 0, out
    assert "radiredide: using Kokkos" in out
    other = fake_kokkos(tmp_path / "other", ["OPENMP"])
    rc, out = configure(tmp_path / "build", kokkos_root=other)
    assert rc != 0
    assert f"the Kokkos 4.6.1 at {other} was built without Serial" in out


def test_only_the_cpp_tests_need_googletest(tmp_path):
    # The module's own configure (as `make demo` runs it) does not look for
    # GoogleTest; asking for the C++ tests without it says what to install.
    cached = (ROOT / "build" / "kokkos-root.txt").read_text().strip()
    no_gtest = "-DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON"
    rc, out = configure(tmp_path / "build", no_gtest, kokkos_root=cached)
    assert rc == 0, out
    rc, out = configure(tmp_path / "build", no_gtest, "-DRADIREDIDE_TESTS=ON", kokkos_root=cached)
    assert rc != 0
    assert "need GoogleTest: install Debian's libgtest-dev" in out
