#pragma once
// Hybrid synthesis, inspiral-merger-ringdown assembly and spin-weight -2
// spherical-harmonic weights.
#include <pybind11/pybind11.h>

namespace radiredide {
void def_evaluate_hybrid(pybind11::module_& m);
void def_evaluate_hybrid_batch(pybind11::module_& m);
void def_assemble_imr64(pybind11::module_& m);
void def_assemble_imr32(pybind11::module_& m);
void def_evaluate_hybrid_host(pybind11::module_& m);
void def_assemble_imr64_host(pybind11::module_& m);
void def_assemble_imr32_host(pybind11::module_& m);
// Instantiated for Kokkos::DefaultExecutionSpace and Kokkos::Serial.
template <class Space>
void register_swsh_weights(pybind11::module_& m, const char* name);
}  // namespace radiredide
