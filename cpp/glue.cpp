#include "glue.hpp"

namespace radiredide {
void register_glue(pybind11::module_&) {}
}  // namespace radiredide
