#include "swsph.hpp"

#include <Kokkos_Core.hpp>

namespace radiredide {
namespace py = pybind11;

template <class Space> void def_mr_segment_grad(py::module_&, const char*) {}
template <class Space> void def_imr_join_grad(py::module_&, const char*) {}
template <class Space> void def_theta_contract_grad(py::module_&, const char*) {}
template <class Space> void def_mr_blend64(py::module_&, const char*) {}
template <class Space> void def_mr_blend32(py::module_&, const char*) {}

#define RADIREDIDE_INSTANTIATE(fn)                                                    \
  template void fn<Kokkos::DefaultExecutionSpace>(py::module_&, const char*);       \
  template void fn<Kokkos::Serial>(py::module_&, const char*);
RADIREDIDE_INSTANTIATE(def_mr_segment_grad)
RADIREDIDE_INSTANTIATE(def_imr_join_grad)
RADIREDIDE_INSTANTIATE(def_theta_contract_grad)
RADIREDIDE_INSTANTIATE(def_mr_blend64)
RADIREDIDE_INSTANTIATE(def_mr_blend32)
#undef RADIREDIDE_INSTANTIATE

}  // namespace radiredide
