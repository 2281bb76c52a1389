#include "gpr.hpp"

namespace radiredide {
void register_gpr(pybind11::module_&) {}
void def_anchor_contract64(pybind11::module_&) {}
void def_anchor_contract64_device(pybind11::module_&) {}
}  // namespace radiredide
