"""Module frame: start-up, attributes, pools, administration, residency."""
import json
import os
import re
import subprocess
import sys

import numpy as np
import pytest

import radiredide as rr
from conftest import run_python


def test_build_attributes():
    assert re.fullmatch(r"[0-9a-f]{40}", rr.build_source_commit)
    assert isinstance(rr.build_cpp_dirty, bool)
    assert re.fullmatch(r"\d+\.\d+\.\d+", rr.kokkos_version)
    assert rr.__doc__ == "Kokkos-batched evaluation of ZOLT surrogate element fits"
    # Where the linked Kokkos came from, with the version actually linked: a
    # download, a local source tree built in-tree, or an installed Kokkos.
    assert re.fullmatch(rf"(fetched|source|system) {re.escape(rr.kokkos_version)} from \S.*",
                        rr.kokkos_provenance), rr.kokkos_provenance


def test_first_attributes_in_order():
    names = [n for n in vars(rr) if not n.startswith("__")]
    assert names[:4] == ["build_source_commit", "build_cpp_dirty", "kokkos_version",
                         "kokkos_provenance"]
    assert names[-6:] == ["workspace_bytes", "workspace_high_water", "finalize_kokkos",
                          "release_workspaces", "execution_space", "host_execution_space"]


def test_execution_spaces():
    assert rr.execution_space() == "OpenMP"
    assert rr.host_execution_space() == "OpenMP"


@pytest.mark.parametrize("fn", ["workspace_bytes", "workspace_high_water", "finalize_kokkos",
                                "release_workspaces", "execution_space", "host_execution_space",
                                "residency_end", "residency_active"])
def test_admin_functions_take_no_arguments(fn):
    with pytest.raises(TypeError):
        getattr(rr, fn)(1)


def test_docstrings():
    assert rr.workspace_bytes.__doc__.strip().endswith(
        "Bytes currently retained by ALL persistent workspace pools.")
    paras = rr.release_workspaces.__doc__.split("\n\n")
    text = "\n\n".join(paras)
    assert "Release every registered workspace pool, on every thread." in text
    assert "Only safe from a QUIESCENT state -- never with an evaluation in flight on any thread." in text
    assert "ROUGHLY ONE BATCH OF THE LARGEST B EVER REQUESTED" in text


def test_counters_are_ints():
    assert isinstance(rr.workspace_bytes(), int)
    assert rr.workspace_high_water() >= rr.workspace_bytes() >= 0


def test_reimport_returns_same_module():
    run_python("""
        import sys, importlib
        import radiredide as a
        del sys.modules['radiredide']
        import radiredide as b
        assert a is b
    """)


BIND_WARNING = "OMP_PROC_BIND environment variable not set"


def _import_child(code="import radiredide", **env):
    """A fresh interpreter without the binding and warning variables the suite sets,
    plus `env`."""
    full = {k: v for k, v in os.environ.items()
            if k not in ("OMP_PROC_BIND", "KOKKOS_DISABLE_WARNINGS")}
    full.update(env, OPENBLAS_NUM_THREADS="1")
    proc = subprocess.run([sys.executable, "-c", code], env=full, capture_output=True,
                          text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return proc


def test_import_is_silent():
    """Nothing on stdout or stderr, even where Kokkos would advise on OMP_PROC_BIND,
    so a host whose stdout is data keeps it parseable."""
    proc = _import_child()
    assert proc.stdout == "" and proc.stderr == ""
    proc = _import_child("import radiredide, json; print(json.dumps({'a': 1}))")
    assert json.loads(proc.stdout) == {"a": 1} and proc.stderr == ""


# Values every supported Kokkos reads alike (4.x aborts on "on" and "off").
@pytest.mark.parametrize("env, warns", [
    (dict(KOKKOS_DISABLE_WARNINGS="false"), True),
    (dict(KOKKOS_DISABLE_WARNINGS="0"), True),
    (dict(KOKKOS_DISABLE_WARNINGS="no"), True),
    (dict(KOKKOS_DISABLE_WARNINGS="TRUE"), False),
    (dict(KOKKOS_DISABLE_WARNINGS="yes"), False),
    (dict(KOKKOS_DISABLE_WARNINGS="0", OMP_PROC_BIND="false"), False),
])
def test_kokkos_variables_keep_their_meaning(env, warns):
    """A user who sets KOKKOS_DISABLE_WARNINGS gets Kokkos's own reading of it; the
    binding variable still silences the binding advice."""
    proc = _import_child(**env)
    assert (BIND_WARNING in proc.stdout + proc.stderr) == warns


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs /proc")
def test_kokkos_thread_variable_is_honoured():
    """KOKKOS_NUM_THREADS beyond the core count still starts that many threads."""
    n = max(5, (os.cpu_count() or 1) + 3)
    proc = _import_child("import os, radiredide; print(len(os.listdir('/proc/self/task')))",
                         KOKKOS_NUM_THREADS=str(n))
    assert int(proc.stdout) >= n and proc.stderr == ""


def test_version_check_message():
    # The check runs before anything else: fake the version text in a child.
    proc = run_python("""
        import sys, ctypes
        # Py_GetVersion reads a static buffer; patch the version text it returns.
        v = ctypes.pythonapi.Py_GetVersion
        v.restype = ctypes.c_char_p
        text = v()
        addr = ctypes.cast(v(), ctypes.c_void_p).value
        fake = b"3.12.4" + text[6:]
        ctypes.memmove(addr, fake, len(fake))
        try:
            import radiredide
        except ImportError as e:
            print(str(e))
        else:
            print("imported")
    """, check=False)
    out = proc.stdout.strip()
    if out == "imported":
        pytest.skip("the interpreter's version text is not writable here")
    assert out.startswith("Python version mismatch: module was compiled for Python 3.13, "
                          "but the interpreter version is incompatible: 3.12.4")


def test_subinterpreter_refused():
    run_python("""
        import _interpreters
        interp = _interpreters.create()
        try:
            r = _interpreters.run_string(interp, "import radiredide")
        finally:
            _interpreters.destroy(interp)
        assert r is not None and "radiredide" in str(r) or "subinterpreter" in str(r).lower(), r
    """)


def test_finalize_semantics():
    run_python("""
        import radiredide as rr
        assert rr.finalize_kokkos() is True
        assert rr.workspace_bytes() == 0
        assert rr.finalize_kokkos() is False
    """)


def test_after_finalize_raises_runtime_error():
    # Anything that would allocate or launch after finalisation is a RuntimeError,
    # never an abort of the interpreter.
    run_python("""
        import numpy as np, radiredide as rr
        rr.finalize_kokkos()
        candidates = [n for n in dir(rr) if n in ("evaluate_batch", "pn4_weights_grid", "scatter64")]
        for n in candidates:
            try:
                if n == "evaluate_batch":
                    rr.evaluate_batch(np.array([0.0, 1.0]), np.zeros((1, 1, 1, 2), complex), np.zeros(3))
                elif n == "scatter64":
                    rr.scatter64(np.zeros((1, 1, 2)), np.zeros(1, np.int64), np.zeros(1, np.int64), 4)
                else:
                    rr.pn4_weights_grid(np.linspace(0.1, 0.2, 5), 1.0, 0.0, 0.0)
            except RuntimeError as e:
                assert "finalize" in str(e)
            else:
                raise AssertionError(n + " ran after finalize_kokkos")
        print("ok", candidates)
    """)


class TestResidency:
    def test_begin_end_and_nesting(self):
        rr.residency_begin()
        try:
            assert rr.residency_active() is True
            with pytest.raises(RuntimeError, match=r"^residency tracking is already active \(nesting is not supported: one global Kokkos::Tools callback set\)$"):
                rr.residency_begin()
        finally:
            d = rr.residency_end()
        assert list(d) == ["h2d", "d2h", "h2h", "d2d", "bytes_h2d", "bytes_d2h", "bytes_h2h",
                           "bytes_d2d", "fences", "launches", "dropped_events", "events"]
        assert rr.residency_active() is False
        with pytest.raises(RuntimeError, match="^residency tracking is not active$"):
            rr.residency_end()

    @pytest.mark.parametrize("bad", [-1, 1.5, 2**64])
    def test_max_events_conversion(self, bad):
        with pytest.raises(TypeError):
            rr.residency_begin(bad)
        assert rr.residency_active() is False

    def test_restart_resets(self):
        rr.residency_begin(0)
        d1 = rr.residency_end()
        rr.residency_begin(5)
        d2 = rr.residency_end()
        assert d2["events"] == [] and d2["dropped_events"] == 0

    @pytest.mark.parametrize("fn", [rr.scatter64, rr.scatter64_serial], ids=["default", "serial"])
    def test_counts_only_what_the_call_does(self, fn):
        # Two launches and nothing else: neither the fences Kokkos inserts around
        # launches while tools listen nor the wait behind the launches is counted.
        rows = np.arange(24.0).reshape(2, 3, 4)
        rr.residency_begin()
        try:
            fn(rows, np.zeros(2, np.int32), np.full(2, 4, np.int32), 4)
        finally:
            d = rr.residency_end()
        assert d["events"] == [("launch", "scatter_rows.zero", "", "", 0),
                               ("launch", "scatter_rows", "", "", 0)]
        assert (d["fences"], d["launches"], d["dropped_events"]) == (0, 2, 0)


def test_module_body_order():
    glue = ["fmin_starts64", "span_pack64", "scatter64", "scatter32", "scatterc64", "scatterc32",
            "scatterb", "grid_bounds64"]
    sw = ["swsph_scalar_map", "swsph_scalar_map_grad", "swsph_extras64", "swsph_extras32",
          "mr_segment_grad", "imr_join_grad", "theta_contract_grad", "mr_blend64", "mr_blend32"]
    sw_host = ["mr_blend64", "mr_blend32"] + sw[:7]
    expected = (
        ["build_source_commit", "build_cpp_dirty", "kokkos_version", "kokkos_provenance"]
        + ["evaluate_batch", "project_phi", "evaluate_hybrid", "evaluate_hybrid_batch",
           "assemble_imr64", "assemble_imr32", "evaluate_batch_host", "evaluate_hybrid_host",
           "assemble_imr64_host", "assemble_imr32_host"]
        + ["BatchEvaluator64", "BatchEvaluator32", "BatchEvaluatorHost64", "BatchEvaluatorHost32"]
        + ["normaliser_uniform_35pn", "dmode_normaliser_uniform_35pn", "build_extension_pack",
           "build_extension_pack_batch", "quadrature_grid_size_probe", "pn4_weights_grid",
           "pn4_weights_batch", "pn4_dmode_batch", "dc_grid_batch", "median_h2_batch",
           "blend_project", "pack_device_available", "pack_kernel_names", "pn4_probe2", "pn4_probe"]
        + ["GPRContraction", "gpr_scatter_calls", "anchor_contract64", "anchor_contract64_device"]
        + glue + [g + "_host" for g in glue] + [g + "_serial" for g in glue]
        + ["residency_begin", "residency_end", "residency_active"]
        + ["theta_contract_column_tile"] + sw + [s + "_host" for s in sw_host]
        + [s + "_serial" for s in sw]
        + ["swsh_weights64", "swsh_weights64_host", "swsh_weights64_serial"]
        + ["workspace_bytes", "workspace_high_water", "finalize_kokkos", "release_workspaces",
           "execution_space", "host_execution_space"])
    names = [n for n in vars(rr) if not n.startswith("__")]
    assert names == expected


def test_aliases_are_identical_objects():
    assert rr.BatchEvaluatorHost64 is rr.BatchEvaluator64
    assert rr.BatchEvaluatorHost32 is rr.BatchEvaluator32
    assert rr.swsh_weights64_host is rr.swsh_weights64
    assert rr.evaluate_batch_host is not rr.evaluate_batch
