#include "pack/pack.hpp"

namespace radiredide {
void register_pack(pybind11::module_&) {}
}  // namespace radiredide
