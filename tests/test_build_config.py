"""CMake's choice of Kokkos: the configure step refuses what the module cannot
use and says what to set.  Each case configures the project in a scratch
directory (no compilation)."""
import functools
import http.server
import os
import pathlib
import re
import subprocess
import sys
import tarfile
import threading

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


def build_info(build_dir):
    subprocess.run(["cmake", "--build", str(build_dir), "--target", "radiredide_build_info"],
                   capture_output=True, check=True, timeout=300)
    return (build_dir / "generated" / "build_info.cpp").read_text()


def installed_components(build_dir):
    found = set()
    for script in build_dir.rglob("cmake_install.cmake"):
        found |= set(re.findall(r'CMAKE_INSTALL_COMPONENT STREQUAL "([^"]*)"', script.read_text()))
    return found


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


@pytest.fixture(scope="module")
def kokkos_source():
    """The Kokkos 3.4.1 source tree the set-up extracted (absent when the set-up
    was given Kokkos_ROOT)."""
    cache = pathlib.Path(os.environ.get("XDG_CACHE_HOME", pathlib.Path.home() / ".cache"))
    src = cache / "radiredide" / "src" / "kokkos-3.4.1"
    if not (src / "CMakeLists.txt").is_file():
        pytest.skip("no Kokkos source tree from the set-up")
    return src


@pytest.mark.parametrize("how", ["fetched", "source"])
def test_in_tree_kokkos_provenance_and_install_rules(tmp_path, kokkos_source, how):
    # The release archive is served from this machine; the provenance names the
    # version actually built, and Kokkos's install rules stay out of the
    # component the wheel holds.
    if how == "fetched":
        with tarfile.open(tmp_path / "kokkos-3.4.1.tar.gz", "w:gz", compresslevel=1) as tar:
            tar.add(kokkos_source, arcname="kokkos-3.4.1")
        handler = functools.partial(QuietHandler, directory=str(tmp_path))
        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        url = f"http://127.0.0.1:{server.server_address[1]}/kokkos-3.4.1.tar.gz"
        try:
            rc, out = configure(tmp_path / "build", f"-DRADIREDIDE_KOKKOS_URL={url}")
        finally:
            server.shutdown()
            server.server_close()
        expected = f"fetched 3.4.1 from {url}"
    else:
        rc, out = configure(tmp_path / "build", f"-DFETCHCONTENT_SOURCE_DIR_KOKKOS={kokkos_source}")
        expected = f"source 3.4.1 from {kokkos_source}"
    assert rc == 0, out
    assert f'kokkos_provenance_text = "{expected}";' in build_info(tmp_path / "build")
    kokkos_components = installed_components(tmp_path / "build" / "_deps" / "kokkos-build")
    assert kokkos_components and "radiredide" not in kokkos_components
    assert "radiredide" in installed_components(tmp_path / "build")
