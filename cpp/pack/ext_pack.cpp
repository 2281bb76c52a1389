#include "pack/pack.hpp"

namespace radiredide {
void def_build_extension_pack(pybind11::module_&) {}
void def_build_extension_pack_batch(pybind11::module_&) {}
void def_quadrature_grid_size_probe(pybind11::module_&) {}
}  // namespace radiredide
