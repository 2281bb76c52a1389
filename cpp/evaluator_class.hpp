#pragma once
// BatchEvaluatorT: the stateful element-fit evaluator.  It keeps the knots,
// mode numbers, phase sign and the uploaded coefficient batch (with optional
// rewind rates, mixing blocks and gradient coefficients) as copies in
// configuration slots of its own workspace pool, and evaluates the batch at
// phase samples or, through the inversion of a time map, at time samples.
//
// Configuration slots survive release_workspace()/release_workspaces() (only
// scratch is dropped there), so an evaluation after a release reads live
// memory and returns the same bits.  The registry release action run by
// finalize_kokkos drops everything.
#include "common/element_fit.hpp"
#include "common/errors.hpp"
#include "common/pyarray.hpp"
#include "common/staging.hpp"
#include "workspace.hpp"

#include <Kokkos_Core.hpp>

#include <complex>
#include <cstdint>
#include <memory>

namespace radiredide {

template <class T, class Space = Kokkos::DefaultExecutionSpace>
class BatchEvaluatorT {
 public:
  using C = std::complex<T>;
  static constexpr int32_t max_D = 8;

  BatchEvaluatorT(const carray<T>& breaks, const carray<int32_t>& m, double phase_sign);
  ~BatchEvaluatorT();
  BatchEvaluatorT(const BatchEvaluatorT&) = delete;
  BatchEvaluatorT& operator=(const BatchEvaluatorT&) = delete;

  void set_coefficients(const carray<C>& coefs);
  void set_rewind_rates(const carray<T>& rates);
  void set_mixing(const carray<C>& mix, const carray<int32_t>& blocks);
  void set_gradient_coefficients(const carray<C>& gcoefs);

  py::array_t<C> evaluate(const carray<T>& phi);
  py::tuple evaluate_grad(const carray<T>& phi);
  py::tuple evaluate_time(const carray<T>& t, int32_t tau_piece, bool want_phi, int32_t out_lo,
                          int32_t warm_start);
  py::tuple evaluate_time_grad(const carray<T>& t, int32_t tau_piece, int32_t warm_start);
  // In-place mixing of a (B, P, N) value view; nothing while nblk == 0.
  void mix_pass(const UView<C, 3>& values, int32_t N);

  void release_workspace() { pool.release(); }
  uint64_t workspace_bytes() const { return pool.bytes(); }
  uint64_t workspace_grows() const { return pool.grows(); }
  int32_t tau_nonconverged_count() const;
  void reset_tau_nonconverged_count();

  int32_t batch_rows() const { return B; }
  int32_t pieces() const { return P; }

 private:
  void release_device_state();
  void require_coefficients() const;
  void require_fit() const;
  fit::ElementFitRef<T> fit_ref(bool with_rates) const;
  // Rows of a (N,) or (B, N) sample array: 1 or B; N set; else ValueError msg.
  int32_t sample_rows(const py::array& a, int32_t& N, const char* msg) const;

  WorkspacePool pool;
  Kokkos::View<int32_t, typename Space::memory_space> tau_nonconverged_counter;
  std::shared_ptr<bool> alive;
  UView<T, 1> breaks;
  UView<int32_t, 1> emm;
  T phase_sign = T(0);
  UView<C, 4> coefs;
  UView<C, 4> gcoefs;
  UView<T, 2> rates;
  UView<C, 4> mix;
  UView<int32_t, 1> blk;
  int32_t nblk = 0;
  int32_t nl = 0;
  int32_t E = 0;
  int32_t P = 0;
  int32_t B = 0;
  int32_t O = 0;
  int32_t D = 0;
  bool knots_increasing = false;
};

}  // namespace radiredide
