// The module's entry into CPython 3.13: the initialisation entry, the
// multi-phase definition, the exec step and the module body, which sets the
// build attributes, starts Kokkos when nobody has, and adds every name in one
// fixed order.
#include <pybind11/pybind11.h>

#include "build_info.hpp"
#include "common/kokkos_compat.hpp"
#include "common/version_check.hpp"
#include "evaluator.hpp"
#include "glue.hpp"
#include "gpr.hpp"
#include "pack/pack.hpp"
#include "residency.hpp"
#include "swsph.hpp"
#include "synthesis.hpp"
#include "workspace.hpp"

#include <Kokkos_Core.hpp>

namespace py = pybind11;

namespace radiredide {
namespace {

bool kokkos_initialized_here = false;

constexpr const char* kReleaseWorkspacesDoc =
    "Release every registered workspace pool, on every thread.\n"
    "\n"
    "The pools are grow-only and sized as ROUGHLY ONE BATCH OF THE LARGEST B EVER REQUESTED -- "
    "not by elapsed time or call count. A process that only ever evaluates batches of 64 rows "
    "retains a few megabytes, while one that has evaluated a single batch of 100000 rows keeps "
    "buffers for 100000 rows, gigabytes, for as long as it lives.\n"
    "\n"
    "CALL THIS when a single large batch is followed by many small ones: the large allocation "
    "is otherwise held for the life of the process, because a slot that is never requested "
    "again is never revisited and nothing reclaims it. One call after the large batch and the "
    "next evaluation rebuilds at the smaller size.\n"
    "\n"
    "Only safe from a QUIESCENT state -- never with an evaluation in flight on any thread.";

bool finalize_kokkos() {
  if (!kokkos_initialized_here || !Kokkos::is_initialized()) return false;
  release_device_states();
  release_all_pools_completely();
  Kokkos::finalize();
  kokkos_initialized_here = false;
  return true;
}

std::string execution_space_name() { return Kokkos::DefaultExecutionSpace::name(); }
std::string host_execution_space_name() { return Kokkos::DefaultHostExecutionSpace::name(); }

void start_kokkos() {
  if (Kokkos::is_initialized()) return;
  if (compat::was_finalized())
    throw std::runtime_error(
        "radiredide: Kokkos was already finalized in this process by another component and "
        "cannot be initialized again");
  compat::initialize_default();
  kokkos_initialized_here = true;
}

void register_module(py::module_& m) {
  m.attr("build_source_commit") = py::str(build_source_commit);
  m.attr("build_cpp_dirty") = py::bool_(std::string(build_cpp_dirty_marker) == "1");
  m.attr("kokkos_version") = py::str(compat::version_text());
  m.attr("kokkos_provenance") = py::str(kokkos_provenance_text);
  m.attr("__doc__") = py::str("Kokkos-batched evaluation of ZOLT surrogate element fits");

  start_kokkos();

  def_evaluate_batch(m);
  def_project_phi(m);
  def_evaluate_hybrid(m);
  def_evaluate_hybrid_batch(m);
  def_assemble_imr64(m);
  def_assemble_imr32(m);
  def_evaluate_batch_host(m);
  def_evaluate_hybrid_host(m);
  def_assemble_imr64_host(m);
  def_assemble_imr32_host(m);

  register_batch_evaluator<double>(m, "BatchEvaluator64");
  register_batch_evaluator<float>(m, "BatchEvaluator32");
  m.attr("BatchEvaluatorHost64") = m.attr("BatchEvaluator64");
  m.attr("BatchEvaluatorHost32") = m.attr("BatchEvaluator32");

  register_pack(m);
  register_gpr(m);
  def_anchor_contract64(m);
  def_anchor_contract64_device(m);
  register_glue(m);
  def_residency_functions(m);
  register_swsph(m);

  register_swsh_weights<Kokkos::DefaultExecutionSpace>(m, "swsh_weights64");
  m.attr("swsh_weights64_host") = m.attr("swsh_weights64");
  register_swsh_weights<Kokkos::Serial>(m, "swsh_weights64_serial");

  m.def("workspace_bytes", &workspace_live_bytes,
        "Bytes currently retained by ALL persistent workspace pools.");
  m.def("workspace_high_water", &workspace_peak_bytes,
        "Peak bytes ever retained by the workspace pools (design hazard 3: persistence trades "
        "memory for synchronization).");
  m.def("finalize_kokkos", &finalize_kokkos,
        "Release every evaluator's device state and finalize Kokkos, if this module initialized "
        "it. Returns whether it finalized; safe to call more than once.");
  m.def("release_workspaces", &release_all_pools_scratch, kReleaseWorkspacesDoc);
  m.def("execution_space", &execution_space_name);
  m.def("host_execution_space", &host_execution_space_name);
}

int module_exec(PyObject* pm) {
  try {
    auto m = py::reinterpret_borrow<py::module_>(pm);
    if (!py::detail::get_cached_module(m.attr("__spec__").attr("name"))) {
      register_module(m);
      py::detail::cache_completed_module(m);
    }
    return 0;
  }
  PYBIND11_CATCH_INIT_EXCEPTIONS
  return -1;
}

}  // namespace
}  // namespace radiredide

PYBIND11_PLUGIN_IMPL(radiredide) {
  static const char* compiled = PYBIND11_TOSTRING(PY_MAJOR_VERSION) "." PYBIND11_TOSTRING(PY_MINOR_VERSION);
  const char* runtime = Py_GetVersion();
  if (!radiredide::interpreter_version_compatible(runtime, compiled)) {
    PyErr_Format(PyExc_ImportError,
                 "Python version mismatch: module was compiled for Python %s, but the interpreter "
                 "version is incompatible: %s.",
                 compiled, runtime);
    return nullptr;
  }
  pybind11::detail::get_num_interpreters_seen() += 1;
  PYBIND11_ENSURE_INTERNALS_READY
  static ::pybind11::detail::slots_array slots = ::pybind11::detail::init_slots(
      &radiredide::module_exec, pybind11::multiple_interpreters::not_supported());
  static PyModuleDef def{PyModuleDef_HEAD_INIT,
                         "radiredide",
                         nullptr,
                         0,
                         nullptr,
                         slots.data(),
                         nullptr,
                         nullptr,
                         nullptr};
  return PyModuleDef_Init(&def);
}
