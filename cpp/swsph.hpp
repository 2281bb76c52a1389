#pragma once
// Spheroidal mixing and merger-ringdown kernels.  register_swsph adds the
// unit's names; the spheroidal maps and mixing tensors live in swsph.cpp, the
// merger-ringdown kernels in swsph_mr.cpp.  Each def_* binds one function on
// the execution space Space under `name`.
#include <pybind11/pybind11.h>

namespace radiredide {
void register_swsph(pybind11::module_& m);

// swsph.cpp
template <class Space> void def_swsph_scalar_map(pybind11::module_& m, const char* name);
template <class Space> void def_swsph_scalar_map_grad(pybind11::module_& m, const char* name);
template <class Space> void def_swsph_extras64(pybind11::module_& m, const char* name);
template <class Space> void def_swsph_extras32(pybind11::module_& m, const char* name);
// swsph_mr.cpp
template <class Space> void def_mr_segment_grad(pybind11::module_& m, const char* name);
template <class Space> void def_imr_join_grad(pybind11::module_& m, const char* name);
template <class Space> void def_theta_contract_grad(pybind11::module_& m, const char* name);
template <class Space> void def_mr_blend64(pybind11::module_& m, const char* name);
template <class Space> void def_mr_blend32(pybind11::module_& m, const char* name);
}  // namespace radiredide
