#include "pack/pack.hpp"

namespace radiredide {
void def_dc_grid_batch(pybind11::module_&) {}
void def_median_h2_batch(pybind11::module_&) {}
void def_blend_project(pybind11::module_&) {}
}  // namespace radiredide
