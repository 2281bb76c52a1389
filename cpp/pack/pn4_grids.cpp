#include "pack/pack.hpp"

namespace radiredide {
void def_pn4_weights_grid(pybind11::module_&) {}
void def_pn4_weights_batch(pybind11::module_&) {}
void def_pn4_dmode_batch(pybind11::module_&) {}
void def_pn4_probe2(pybind11::module_&) {}
void def_pn4_probe(pybind11::module_&) {}
}  // namespace radiredide
