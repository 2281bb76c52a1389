#include "swsph.hpp"

#include <Kokkos_Core.hpp>

namespace radiredide {
namespace py = pybind11;

template <class Space> void def_swsph_scalar_map(py::module_&, const char*) {}
template <class Space> void def_swsph_scalar_map_grad(py::module_&, const char*) {}
template <class Space> void def_swsph_extras64(py::module_&, const char*) {}
template <class Space> void def_swsph_extras32(py::module_&, const char*) {}

#define RADIREDIDE_INSTANTIATE(fn)                                                    \
  template void fn<Kokkos::DefaultExecutionSpace>(py::module_&, const char*);       \
  template void fn<Kokkos::Serial>(py::module_&, const char*);
RADIREDIDE_INSTANTIATE(def_swsph_scalar_map)
RADIREDIDE_INSTANTIATE(def_swsph_scalar_map_grad)
RADIREDIDE_INSTANTIATE(def_swsph_extras64)
RADIREDIDE_INSTANTIATE(def_swsph_extras32)
#undef RADIREDIDE_INSTANTIATE

}  // namespace radiredide
