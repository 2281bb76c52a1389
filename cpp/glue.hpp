#pragma once
// Time-grid packing glue: start times, in-span packing, row scatter and
// shared-grid bounds.
#include <pybind11/pybind11.h>

namespace radiredide {
void register_glue(pybind11::module_& m);
}
