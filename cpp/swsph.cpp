#include "swsph.hpp"

namespace radiredide {
void register_swsph(pybind11::module_&) {}
}  // namespace radiredide
