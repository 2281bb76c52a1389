#include "glue.hpp"

#include "glue_kernels.hpp"

#include <Kokkos_Core.hpp>

#include <string>

namespace radiredide {
namespace {

constexpr const char* kFminStartsDoc =
    "f_min -> tau start solve for a whole batch: the (tau, x) stencil contractions, the x^1.5/pi "
    "frequency and the per-row np.interp inversion. Returns (starts, f22_first, low_flag); the "
    "reach violation is DEFERRED (a flag, not a mid-pipeline stall).";
constexpr const char* kSpanPackDoc =
    "In-span packing plan + gather + clip + blend-start reduction + merger-ringdown tail, in one "
    "call. Returns (tg_pack, t_eval, tail, n0, n1, i0); J and i0 are reduced on-device and "
    "returned only as allocation sizes.";
constexpr const char* kGridBoundsDoc =
    "Shared-grid bounds + the DEFERRED window-violation check, as one reduction at the point "
    "where the grid length already forces a sync. Returns (t_lo_min, t_hi_max, bad_lo, bad_hi).";
constexpr const char* kScatterbDoc = "Scatter packed rows (B, L, J) into zeros (B, L, N).";

// The eight names, in registration order.
constexpr const char* kNames[] = {"fmin_starts64", "span_pack64", "scatter64",  "scatter32",
                                  "scatterc64",    "scatterc32",  "scatterb",   "grid_bounds64"};

template <class T, class Space>
void def_scatter(py::module_& m, const std::string& name, const char* doc) {
  if (doc)
    m.def(name.c_str(), &glue::scatter_rows<T, Space>, py::arg("rows_pack"), py::arg("n0"),
          py::arg("n1"), py::arg("N"), doc);
  else
    m.def(name.c_str(), &glue::scatter_rows<T, Space>, py::arg("rows_pack"), py::arg("n0"),
          py::arg("n1"), py::arg("N"));
}

template <class Space>
void def_all(py::module_& m, const std::string& suffix) {
  m.def(("fmin_starts64" + suffix).c_str(), &glue::fmin_starts<Space>, py::arg("C_tau"),
        py::arg("C_x"), py::arg("kidx"), py::arg("V"), py::arg("f_min_geo"), kFminStartsDoc);
  m.def(("span_pack64" + suffix).c_str(), &glue::span_pack<Space>, py::arg("t_geo"),
        py::arg("tau0"), py::arg("mr_lo"), py::arg("mr_hi"), py::arg("b0"), py::arg("tol"),
        kSpanPackDoc);
  def_scatter<double, Space>(m, "scatter64" + suffix, nullptr);
  def_scatter<float, Space>(m, "scatter32" + suffix, nullptr);
  def_scatter<cplx, Space>(m, "scatterc64" + suffix, nullptr);
  def_scatter<cplxf, Space>(m, "scatterc32" + suffix, nullptr);
  def_scatter<uint8_t, Space>(m, "scatterb" + suffix, kScatterbDoc);
  // No kernel: both spaces bind the same host loop.
  m.def(("grid_bounds64" + suffix).c_str(), &glue::grid_bounds, py::arg("tau_start"),
        py::arg("msec"), py::arg("tc"), py::arg("mr_hi"), py::arg("t_first"), py::arg("t_last"),
        py::arg("check"), kGridBoundsDoc);
}

}  // namespace

void register_glue(py::module_& m) {
  def_all<Kokkos::DefaultExecutionSpace>(m, "");
  for (const char* name : kNames) m.attr((std::string(name) + "_host").c_str()) = m.attr(name);
  def_all<Kokkos::Serial>(m, "_serial");
}

}  // namespace radiredide
