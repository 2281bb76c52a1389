#pragma once
// Spheroidal mixing and merger-ringdown kernels.
#include <pybind11/pybind11.h>

namespace radiredide {
void register_swsph(pybind11::module_& m);
}
