#include "pack/pack.hpp"

#include <pybind11/stl.h>

#include <string>
#include <tuple>

namespace radiredide {
namespace py = pybind11;

void register_pack(py::module_& m) {
  m.attr("normaliser_uniform_35pn") = py::bool_(true);
  m.attr("dmode_normaliser_uniform_35pn") = py::bool_(true);

  def_build_extension_pack(m);
  def_build_extension_pack_batch(m);
  def_quadrature_grid_size_probe(m);
  def_pn4_weights_grid(m);
  def_pn4_weights_batch(m);
  def_pn4_dmode_batch(m);
  def_dc_grid_batch(m);
  def_median_h2_batch(m);
  def_blend_project(m);
  m.def(
      "pack_device_available", []() { return false; },
      "True when this build has a device execution space distinct from the host one, i.e. when "
      "exec_space='device' actually goes to a device.  False on a CPU-only build, where "
      "'device' silently means host.");
  m.def(
      "pack_kernel_names",
      []() {
        return std::tuple<std::string, std::string, std::string, std::string>(
            "fused_pieces_weights", "fused_median", "fused_blend", "fused_project");
      },
      "The blend_project kernels, in dispatch order, as they are keyed in the timing dict.");
  def_pn4_probe2(m);
  def_pn4_probe(m);
}

}  // namespace radiredide
