#pragma once
// Gaussian-process coefficient contraction (GPRContraction) and the anchor
// contraction.
#include <pybind11/pybind11.h>

#include "common/pyarray.hpp"
#include "gpr_math.hpp"

#include <cstdint>
#include <vector>

namespace radiredide {
void register_gpr(pybind11::module_& m);
void def_anchor_contract64(pybind11::module_& m);
void def_anchor_contract64_device(pybind11::module_& m);

namespace gpr {

// One GP block of a group: length scales, the group positions it serves and
// its weights, stored column-major (entry (n, j) at n + j*n_train) as
// interleaved real/imaginary pairs.
struct GPRBlock {
  double ls[3] = {1.0, 1.0, 1.0};
  std::vector<int32_t> loc;
  std::vector<double> A;
  int32_t k = 0;
};

// A trend-plus-GP group: training points, trend coefficients (column-major,
// entry (t, j) at t + j*n_terms, interleaved pairs), feature degrees, blocks.
struct GPRGroup {
  int32_t scheme = 0;
  int32_t parity = 0;
  std::vector<int32_t> gidx;
  std::vector<double> U;
  int32_t n_train = 0;
  std::vector<double> T;
  std::vector<int32_t> terms;
  int32_t n_terms = 0;
  std::vector<GPRBlock> blocks;
};

// A predictive-variance key.
struct GPRVarKey {
  int32_t scheme = 0;
  int32_t parity = 0;
  double ls[3] = {1.0, 1.0, 1.0};
  double nug = 0.0;
  std::vector<double> Minv;
  std::vector<double> U;
  int32_t n = 0;
};

// The contraction plan.  Configuration copies every array it is given and
// launches nothing; evaluation allocates its scratch per call.
class GPRContraction {
 public:
  GPRContraction(int P, int E, int O, int degree);

  void set_default_coords(const carray<double>& bounds);
  void set_sym_coords(double L0, double chi_lo, double chi_hi, double A0, bool pn_coords);
  int add_group(int scheme, int parity, const carray<int32_t>& gidx, const carray<double>& U,
                const carray<cplx>& T, const carray<int32_t>& terms);
  void add_block(int gid, const carray<double>& ls, const carray<int32_t>& loc,
                 const carray<cplx>& A);
  int add_var_key(int scheme, const carray<double>& ls, double nug, int parity,
                  const carray<double>& Minv, const carray<double>& U);
  void set_var(const carray<int32_t>& piece_key, const carray<double>& mean_signal_var);

  py::tuple evaluate(double q, double chi1z, double chi2z) const;
  py::tuple evaluate_batch(const carray<double>& thetas) const;
  py::array_t<double> evaluate_batch_into(const carray<double>& thetas, const py::array& dest,
                                          const carray<int32_t>& dst) const;

 private:
  // Map and key configuration needed by an evaluation, in group order then
  // key order; RuntimeError (or ValueError for a piece_key entry that names
  // no key) before anything is written.
  void check_evaluation_config() const;
  // Shared by evaluate_batch and evaluate_batch_into: rows of thetas (B x 3),
  // destination as interleaved pairs with a row stride and per-piece offsets
  // (complex elements, -1 for pieces not wanted), variance (B x P).
  void batch_core(const double* thetas, int32_t B, double* dest, int64_t stride,
                  const int64_t* off, double* var) const;

  int32_t P_;
  int32_t EO_;
  int32_t E_;
  int32_t O_;
  int32_t degree_;
  CoordParams cp_;  // has_default_coords, has_sym_coords, pn_coords, lo, hi, L0, chi_lo, chi_hi, A0
  std::vector<GPRGroup> groups_;
  std::vector<GPRVarKey> var_keys_;
  std::vector<int32_t> piece_key_;
  std::vector<double> mean_signal_var_;
};

}  // namespace gpr
}  // namespace radiredide
