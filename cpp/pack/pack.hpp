#pragma once
// PN extension unit: 4PN closed forms and weights, extension packs, the fused
// blend-and-project stage and the gradient-side stages.
#include <pybind11/pybind11.h>

namespace radiredide {
void register_pack(pybind11::module_& m);
}
