#include "synthesis.hpp"

#include <Kokkos_Core.hpp>

namespace radiredide {
void def_evaluate_hybrid(pybind11::module_&) {}
void def_evaluate_hybrid_batch(pybind11::module_&) {}
void def_assemble_imr64(pybind11::module_&) {}
void def_assemble_imr32(pybind11::module_&) {}
void def_evaluate_hybrid_host(pybind11::module_&) {}
void def_assemble_imr64_host(pybind11::module_&) {}
void def_assemble_imr32_host(pybind11::module_&) {}
template <class Space>
void register_swsh_weights(pybind11::module_&, const char*) {}
template void register_swsh_weights<Kokkos::DefaultExecutionSpace>(pybind11::module_&, const char*);
template void register_swsh_weights<Kokkos::Serial>(pybind11::module_&, const char*);
}  // namespace radiredide
