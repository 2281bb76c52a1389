#pragma once
// Residency counters: deep copies, fences and kernel launches seen through the
// Kokkos Tools callbacks between residency_begin and residency_end.
#include <pybind11/pybind11.h>

namespace radiredide {
void def_residency_functions(pybind11::module_& m);
}
