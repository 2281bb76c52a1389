#include "swsph.hpp"

#include <Kokkos_Core.hpp>

#include <string>

namespace radiredide {
namespace py = pybind11;
namespace {

template <class Space>
void def_all(py::module_& m, const std::string& suffix) {
  def_swsph_scalar_map<Space>(m, ("swsph_scalar_map" + suffix).c_str());
  def_swsph_scalar_map_grad<Space>(m, ("swsph_scalar_map_grad" + suffix).c_str());
  def_swsph_extras64<Space>(m, ("swsph_extras64" + suffix).c_str());
  def_swsph_extras32<Space>(m, ("swsph_extras32" + suffix).c_str());
  def_mr_segment_grad<Space>(m, ("mr_segment_grad" + suffix).c_str());
  def_imr_join_grad<Space>(m, ("imr_join_grad" + suffix).c_str());
  def_theta_contract_grad<Space>(m, ("theta_contract_grad" + suffix).c_str());
  def_mr_blend64<Space>(m, ("mr_blend64" + suffix).c_str());
  def_mr_blend32<Space>(m, ("mr_blend32" + suffix).c_str());
}

}  // namespace

void register_swsph(py::module_& m) {
  m.attr("theta_contract_column_tile") = py::int_(8);
  def_all<Kokkos::DefaultExecutionSpace>(m, "");
  for (const char* name : {"mr_blend64", "mr_blend32", "swsph_scalar_map", "swsph_scalar_map_grad",
                           "swsph_extras64", "swsph_extras32", "mr_segment_grad", "imr_join_grad",
                           "theta_contract_grad"}) {
    m.attr((std::string(name) + "_host").c_str()) = m.attr(name);
  }
  def_all<Kokkos::Serial>(m, "_serial");
}

}  // namespace radiredide
