#pragma once
// Gaussian-process coefficient contraction (GPRContraction) and the anchor
// contraction.
#include <pybind11/pybind11.h>

namespace radiredide {
void register_gpr(pybind11::module_& m);
void def_anchor_contract64(pybind11::module_& m);
void def_anchor_contract64_device(pybind11::module_& m);
}  // namespace radiredide
