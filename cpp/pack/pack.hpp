#pragma once
// PN extension unit: 4PN closed forms and weights, extension packs, the fused
// blend-and-project stage and the gradient-side stages.  register_pack adds
// the unit's names; each group of bindings lives in its own source file.
#include <pybind11/pybind11.h>

#include <string>

namespace radiredide {
void register_pack(pybind11::module_& m);

// ext_pack.cpp: extension-pack builders and the sizing-rule probe.
void def_build_extension_pack(pybind11::module_& m);
void def_build_extension_pack_batch(pybind11::module_& m);
void def_quadrature_grid_size_probe(pybind11::module_& m);
// pn4_grids.cpp: 4PN weight grids and probes.
void def_pn4_weights_grid(pybind11::module_& m);
void def_pn4_weights_batch(pybind11::module_& m);
void def_pn4_dmode_batch(pybind11::module_& m);
void def_pn4_probe2(pybind11::module_& m);
void def_pn4_probe(pybind11::module_& m);
// fused.cpp: gradient-side stages and the fused blend-and-project stage.
void def_dc_grid_batch(pybind11::module_& m);
void def_median_h2_batch(pybind11::module_& m);
void def_blend_project(pybind11::module_& m);

// The exec_space argument: the whole string, exactly one of three values, all
// of which run on the default (OpenMP host) execution space.
inline void check_exec_space(const std::string& s) {
  if (s != "host" && s != "device" && s != "default")
    throw std::invalid_argument("exec_space must be 'host', 'device' or 'default'");
}
}  // namespace radiredide
