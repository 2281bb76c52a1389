#include "evaluator.hpp"

#include "common/chunking.hpp"
#include "common/kokkos_compat.hpp"
#include "evaluator_class.hpp"
#include "evaluator_kernels.hpp"
#include "evaluator_tau.hpp"

#include <cstring>
#include <limits>

namespace radiredide {

namespace {

template <class Space>
using Range = Kokkos::RangePolicy<Space, Kokkos::IndexType<int64_t>>;

template <class T>
const T* as_real(const std::complex<T>* p) {
  return reinterpret_cast<const T*>(p);
}
template <class T>
T* as_real(std::complex<T>* p) {
  return reinterpret_cast<T*>(p);
}

int32_t chunks_for(int32_t rows, int32_t n) {
  return sample_chunk_count(n, rows, compat::default_concurrency());
}

}  // namespace

// ------------------------------------------------------------------ construction

template <class T, class Space>
BatchEvaluatorT<T, Space>::BatchEvaluatorT(const carray<T>& breaks_in, const carray<int32_t>& m,
                                           double phase_sign_in) {
  phase_sign = static_cast<T>(phase_sign_in);
  if (breaks_in.ndim() != 1 || m.ndim() != 1) value_error("breaks and m must be 1d");
  const int64_t nk = fit_i32(breaks_in.shape(0), "breaks length");
  const int32_t np = fit_i32(m.shape(0), "m length");
  // |m| of INT32_MIN does not exist in 32 bits: such a mode number is refused.
  for (int32_t p = 0; p < np; ++p)
    if (load_unaligned(m.data(), p) == std::numeric_limits<int32_t>::min())
      value_error("mode number -2147483648 is out of range");
  require_kokkos();
  // Allocated without the initialising kernel (which Kokkos 3's OpenMP space refuses on
  // threads other than the one that initialised it) and zeroed here.
  tau_nonconverged_counter = Kokkos::View<int32_t, typename Space::memory_space>(
      Kokkos::view_alloc(Kokkos::WithoutInitializing, "tau_nonconverged_counter"));
  if constexpr (Kokkos::SpaceAccessibility<Kokkos::HostSpace,
                                           typename Space::memory_space>::accessible)
    tau_nonconverged_counter() = 0;
  else
    Kokkos::deep_copy(tau_nonconverged_counter, int32_t(0));
  alive = std::make_shared<bool>(true);
  E = static_cast<int32_t>(nk - 1);
  P = np;
  breaks = copy_in(pool, "breaks", breaks_in.data(), nk);
  emm = copy_in(pool, "emm", m.data(), np);
  knots_increasing = true;
  for (int64_t i = 0; i + 1 < nk; ++i)
    if (!(breaks(i) < breaks(i + 1))) knots_increasing = false;
  register_device_state(alive, [this]() { release_device_state(); });
}

template <class T, class Space>
BatchEvaluatorT<T, Space>::~BatchEvaluatorT() {
  if (alive) *alive = false;
  alive.reset();
  tau_nonconverged_counter = Kokkos::View<int32_t, typename Space::memory_space>();
  // pool: leaves the pool registry and frees every slot as a member.
}

template <class T, class Space>
void BatchEvaluatorT<T, Space>::release_device_state() {
  tau_nonconverged_counter = Kokkos::View<int32_t, typename Space::memory_space>();
  breaks = {};
  emm = {};
  coefs = {};
  gcoefs = {};
  rates = {};
  mix = {};
  blk = {};
  pool.release_all();
}

// ------------------------------------------------------------------ setters

template <class T, class Space>
void BatchEvaluatorT<T, Space>::require_coefficients() const {
  if (B == 0) runtime_error("set_coefficients first");
}

template <class T, class Space>
void BatchEvaluatorT<T, Space>::require_fit() const {
  if (E < 1 || O < 1)
    value_error("element fit needs E >= 1 elements and O >= 1 coefficients per element");
  if (!knots_increasing) value_error("breaks must be strictly increasing");
}

template <class T, class Space>
void BatchEvaluatorT<T, Space>::set_coefficients(const carray<C>& c) {
  if (c.ndim() != 4 || c.shape(1) != P || c.shape(2) != E)
    value_error("coefs must be (B, P, E, O)");
  const int32_t nb = fit_i32(c.shape(0), "coefs extent B");
  const int32_t no = fit_i32(c.shape(3), "coefs extent O");
  staged_count(c.shape(0), c.shape(1), c.shape(2), c.shape(3));
  require_kokkos();
  // Nothing of the previous batch stays reachable while the slot is replaced.
  B = 0;
  D = 0;
  nblk = 0;
  nl = 0;
  rates = {};
  mix = {};
  blk = {};
  coefs = copy_in(pool, "coefs", c.data(), nb, P, E, no);
  B = nb;
  O = no;
}

template <class T, class Space>
void BatchEvaluatorT<T, Space>::set_rewind_rates(const carray<T>& r) {
  require_coefficients();
  if (r.ndim() != 2 || r.shape(0) != B || r.shape(1) != P)
    value_error("rewind rates must be (B, P)");
  require_kokkos();
  rates = {};
  rates = copy_in(pool, "rate", r.data(), B, P);
}

template <class T, class Space>
void BatchEvaluatorT<T, Space>::set_mixing(const carray<C>& mx, const carray<int32_t>& blocks) {
  require_coefficients();
  if (mx.ndim() != 4 || mx.shape(0) != B) value_error("mix must be (B, swsph_nblk, nl, nl)");
  if (blocks.ndim() != 2 || blocks.shape(0) != mx.shape(1) || blocks.shape(1) != mx.shape(2))
    value_error("blocks must be (swsph_nblk, nl) matching mix");
  if (mx.shape(2) > 4) value_error("nl > 4 unsupported");
  if (mx.shape(3) != mx.shape(2)) value_error("mix blocks must be square");
  const int32_t new_nblk = fit_i32(mx.shape(1), "mix extent nblk");
  const int32_t new_nl = static_cast<int32_t>(mx.shape(2));
  const int64_t nentries = static_cast<int64_t>(new_nblk) * new_nl;
  const int32_t* bp = blocks.data();
  for (int64_t i = 0; i < nentries; ++i)
    if (load_unaligned(bp, i) >= P) value_error("block piece index >= P");
  staged_count(mx.shape(0), mx.shape(1), mx.shape(2), mx.shape(3));
  require_kokkos();
  nblk = 0;
  nl = 0;
  mix = {};
  blk = {};
  mix = copy_in(pool, "mix", mx.data(), B, new_nblk, new_nl, new_nl);
  blk = copy_in(pool, "blk", bp, nentries);
  nblk = new_nblk;
  nl = new_nl;
}

template <class T, class Space>
void BatchEvaluatorT<T, Space>::set_gradient_coefficients(const carray<C>& g) {
  require_coefficients();
  if (g.ndim() != 4 || g.shape(0) != B) value_error("gradient coefs must be (B, D*P, E, O)");
  // D = shape[1] / P: a fit without pieces has no gradient layout.
  if (P == 0) value_error("gradient coefs need a fit with P >= 1 pieces");
  if (g.shape(1) % P != 0 || g.shape(2) != E || g.shape(3) != O)
    value_error("gradient coefs must be (B, D*P, E, O)");
  const int64_t nd = g.shape(1) / P;
  if (nd > max_D) value_error("more than max_D parameter directions");
  require_kokkos();
  D = 0;
  gcoefs = {};
  gcoefs = copy_in(pool, "gcoefs", g.data(), B, static_cast<int32_t>(nd * P), E, O);
  D = static_cast<int32_t>(nd);
}

template <class T, class Space>
int32_t BatchEvaluatorT<T, Space>::tau_nonconverged_count() const {
  require_kokkos();
  if (tau_nonconverged_counter.data() == nullptr) runtime_error("evaluator was released");
  int32_t v = 0;
  Kokkos::deep_copy(v, tau_nonconverged_counter);
  return v;
}

template <class T, class Space>
void BatchEvaluatorT<T, Space>::reset_tau_nonconverged_count() {
  require_kokkos();
  if (tau_nonconverged_counter.data() == nullptr) runtime_error("evaluator was released");
  Kokkos::deep_copy(tau_nonconverged_counter, int32_t(0));
}

// ------------------------------------------------------------------ evaluation

template <class T, class Space>
fit::ElementFitRef<T> BatchEvaluatorT<T, Space>::fit_ref(bool with_rates) const {
  fit::ElementFitRef<T> f;
  f.breaks = breaks.data();
  f.E = E;
  f.emm = emm.data();
  f.P = P;
  f.phase_sign = phase_sign;
  f.coefs = as_real(coefs.data());
  f.O = O;
  f.rates = with_rates && rates.data() != nullptr && rates.extent(0) == static_cast<size_t>(B)
                ? rates.data()
                : nullptr;
  return f;
}

template <class T, class Space>
int32_t BatchEvaluatorT<T, Space>::sample_rows(const py::array& a, int32_t& N,
                                               const char* msg) const {
  if (a.ndim() == 1) {
    N = fit_i32(a.shape(0), "samples per row");
    return 1;
  }
  if (a.ndim() == 2 && a.shape(0) == B) {
    N = fit_i32(a.shape(1), "samples per row");
    return B;
  }
  value_error(msg);
}

template <class T, class Space>
py::array_t<std::complex<T>> BatchEvaluatorT<T, Space>::evaluate(const carray<T>& phi) {
  require_coefficients();
  int32_t N = 0;
  const int32_t R = sample_rows(phi, N, "phi must be (N,) or (B, N)");
  require_fit();
  require_kokkos();
  auto x = stage_in(pool, "in_phi", phi.data(), R, N);
  auto values = new_array<C>({B, P, N});
  auto out = stage_out(pool, "out_val", mutable_ptr(values), B, P, N);
  const int32_t chunks = chunks_for(B, N);
  ValueKernel<T> k{fit_ref(true), x.data(), R == 1, as_real(out.target.data()), N, chunks, 0,
                   fit::max_abs_mode(emm.data(), 0, P), value_row_group(B, R == 1),
                   detected_isa()};
  Kokkos::parallel_for("evaluate", Range<Space>(0, static_cast<int64_t>(chunks) * B), k);
  Space().fence();
  mix_pass(out.target, N);
  out.copy_back();
  return values;
}

template <class T, class Space>
py::tuple BatchEvaluatorT<T, Space>::evaluate_grad(const carray<T>& phi) {
  require_coefficients();
  if (D == 0) runtime_error("set_gradient_coefficients first");
  int32_t N = 0;
  const int32_t R = sample_rows(phi, N, "phi must be (N,) or (B, N)");
  require_fit();
  require_kokkos();
  auto x = stage_in(pool, "in_phi", phi.data(), R, N);
  auto values = new_array<C>({B, P, N});
  auto grads = new_array<C>({B, D, P, N});
  auto vout = stage_out(pool, "out_val", mutable_ptr(values), B, P, N);
  auto gout = stage_out(pool, "out_grad", mutable_ptr(grads), B, D, P, N);
  const int32_t chunks = chunks_for(B, N);
  GradKernel<T> k{fit_ref(false),
                  as_real(gcoefs.data()),
                  D,
                  x.data(),
                  R == 1,
                  as_real(vout.target.data()),
                  as_real(gout.target.data()),
                  N,
                  chunks,
                  fit::max_abs_mode(emm.data(), 0, P)};
  Kokkos::parallel_for("evaluate_grad", Range<Space>(0, static_cast<int64_t>(chunks) * B), k);
  Space().fence();
  vout.copy_back();
  gout.copy_back();
  return py::make_tuple(values, grads);
}

template <class T, class Space>
void BatchEvaluatorT<T, Space>::mix_pass(const UView<C, 3>& values, int32_t N) {
  if (nblk == 0) return;
  const int32_t chunks = chunks_for(B, N);
  MixKernel<T> k{as_real(values.data()), as_real(mix.data()), blk.data(), P, nblk, nl, chunks,
                 N};
  Kokkos::parallel_for("swsph_mixing", Range<Space>(0, static_cast<int64_t>(chunks) * B), k);
  Space().fence();
}

namespace {
// Stage-1 launch shared by evaluate_time and evaluate_time_grad.
template <class T, class Space>
void launch_tau_solve(const char* label, const T* breaks, const T* coefs, int32_t E, int32_t P,
                      int32_t O, int32_t B, int32_t tau_piece, const T* targets, int32_t R,
                      int32_t N, T* phi, int32_t* counter, int32_t warm_start) {
  const int32_t nblocks = N > 0 ? (N - 1) / tau_block + 1 : 1;
  const int32_t chunks = chunks_for(B, N);  // min(nblocks, ceil(4 conc / B)), at least 1
  const int32_t bpc = (nblocks - 1) / chunks + 1;
  TauSolveKernel<T> k{breaks, coefs, targets,  phi,     counter,    E,
                      P,      O,     tau_piece, N,      R,          chunks,
                      bpc,    nblocks, warm_start, std::numeric_limits<T>::epsilon(),
                      detected_isa()};
  Kokkos::parallel_for(label, Range<Space>(0, static_cast<int64_t>(chunks) * B), k);
  Space().fence();
}
}  // namespace

template <class T, class Space>
py::tuple BatchEvaluatorT<T, Space>::evaluate_time(const carray<T>& t, int32_t tau_piece,
                                                   bool want_phi, int32_t out_lo,
                                                   int32_t warm_start) {
  require_coefficients();
  if (tau_piece < 0 || tau_piece >= P) value_error("tau_piece out of range");
  if (out_lo < 0 || out_lo > P) value_error("out_lo out of range");
  if (out_lo != 0 && nblk != 0)
    value_error(
        "out_lo != 0 is not supported with SWSpH mixing uploaded (set_mixing): mixing blocks "
        "index absolute pieces");
  int32_t N = 0;
  const int32_t R = sample_rows(t, N, "t must be (N,) or (B, N)");
  require_fit();
  require_kokkos();
  auto tv = stage_in(pool, "in_t", t.data(), R, N);
  const int32_t npieces = P - out_lo;
  auto values = new_array<C>({B, npieces, N});
  auto vout = stage_out(pool, "out_val", mutable_ptr(values), B, npieces, N);
  py::object phi_obj = py::none();
  StagedOutput<T, 2> pout;
  T* phi_ptr = nullptr;
  if (want_phi) {
    auto phi = new_array<T>({B, N});
    pout = stage_out(pool, "out_phi", mutable_ptr(phi), B, N);
    phi_ptr = pout.target.data();
    phi_obj = phi;
  } else {
    phi_ptr = pool.acquire<T>("out_phi",
                              static_cast<uint64_t>(checked_mul(B, N, "phase scratch")));
  }
  launch_tau_solve<T, Space>("evaluate_time", breaks.data(), as_real(coefs.data()), E, P, O, B,
                             tau_piece, tv.data(), R, N, phi_ptr,
                             tau_nonconverged_counter.data(), warm_start);
  const int32_t chunks = chunks_for(B, N);
  ValueKernel<T> k{fit_ref(true), phi_ptr, false, as_real(vout.target.data()), N, chunks, out_lo,
                   fit::max_abs_mode(emm.data(), out_lo, P), 1, detected_isa()};
  Kokkos::parallel_for("evaluate_time_pieces",
                       Range<Space>(0, static_cast<int64_t>(chunks) * B), k);
  Space().fence();
  if (nblk != 0) mix_pass(vout.target, N);
  vout.copy_back();
  if (want_phi) pout.copy_back();
  return py::make_tuple(values, phi_obj);
}

template <class T, class Space>
py::tuple BatchEvaluatorT<T, Space>::evaluate_time_grad(const carray<T>& t, int32_t tau_piece,
                                                        int32_t warm_start) {
  require_coefficients();
  if (D == 0) runtime_error("set_gradient_coefficients first");
  if (tau_piece < 0 || tau_piece >= P) value_error("tau_piece out of range");
  int32_t N = 0;
  const int32_t R = sample_rows(t, N, "t must be (N,) or (B, N)");
  require_fit();
  require_kokkos();
  auto tv = stage_in(pool, "in_t", t.data(), R, N);
  auto values = new_array<C>({B, P, N});
  auto grads = new_array<C>({B, D, P, N});
  auto phi = new_array<T>({B, N});
  auto vout = stage_out(pool, "out_val", mutable_ptr(values), B, P, N);
  auto gout = stage_out(pool, "out_grad", mutable_ptr(grads), B, D, P, N);
  auto pout = stage_out(pool, "out_phi", mutable_ptr(phi), B, N);
  launch_tau_solve<T, Space>("evaluate_time_grad", breaks.data(), as_real(coefs.data()), E, P, O,
                             B, tau_piece, tv.data(), R, N, pout.target.data(),
                             tau_nonconverged_counter.data(), warm_start);
  const int32_t chunks = chunks_for(B, N);
  TimeGradKernel<T> k{fit_ref(false),
                      as_real(gcoefs.data()),
                      D,
                      tau_piece,
                      pout.target.data(),
                      as_real(vout.target.data()),
                      as_real(gout.target.data()),
                      N,
                      chunks,
                      fit::max_abs_mode(emm.data(), 0, P),
                      detected_isa()};
  Kokkos::parallel_for("evaluate_time_grad_pieces",
                       Range<Space>(0, static_cast<int64_t>(chunks) * B), k);
  Space().fence();
  vout.copy_back();
  gout.copy_back();
  pout.copy_back();
  return py::make_tuple(values, grads, phi);
}

// ------------------------------------------------------------------ one-shot functions

namespace {

py::array_t<cplx> evaluate_batch_impl(const carray<double>& breaks, const carray<cplx>& coefs,
                                      const carray<double>& phi) {
  const py::ssize_t P = extent(coefs, 1);
  carray<int32_t> m(std::vector<py::ssize_t>{P});
  if (P > 0) std::memset(m.mutable_data(), 0, static_cast<std::size_t>(P) * sizeof(int32_t));
  BatchEvaluatorT<double> ev(breaks, m, 0.0);
  ev.set_coefficients(coefs);
  if (ev.batch_rows() == 0) {
    // An empty batch evaluates to an empty result.
    py::ssize_t N = 0;
    if (phi.ndim() == 1)
      N = phi.shape(0);
    else if (phi.ndim() == 2 && phi.shape(0) == 0)
      N = phi.shape(1);
    else
      value_error("phi must be (N,) or (B, N)");
    return new_array<cplx>({0, P, N});
  }
  return ev.evaluate(phi);
}

constexpr const char* evaluate_batch_doc =
    "Evaluate (B, P, E, O) element coefficients at (B, N) samples";
constexpr const char* evaluate_batch_host_doc =
    "Host-space twin of evaluate_batch (dispatch table, R7)";
constexpr const char* project_phi_doc =
    "Project (B, K, N) phi-grid samples onto (B, K, E, O) element coefficients through the "
    "cached interpolation stencil + phys->spec transform (the _project einsum, compiled).";

py::array_t<cplx> project_phi_impl(const carray<cplx>& y, const carray<int64_t>& i0,
                                   const carray<double>& w, const carray<double>& p2s) {
  if (y.ndim() != 3) value_error("y must be (B, K, N)");
  if (p2s.ndim() != 2) value_error("p2s must be (O, C)");
  const py::ssize_t L = extent(i0, 0);
  if (i0.ndim() != 1) value_error("i0 must be (E * C,)");
  const py::ssize_t C = p2s.shape(1);
  if (C < 1 || L % C != 0) value_error("stencil length must be E * C");
  const py::ssize_t E = L / C;
  const py::ssize_t Lw = extent(w, 0);
  if (w.ndim() != 1 || Lw != L) value_error("w must match i0");
  if (C > 64) value_error("collocation order > 64");
  const int64_t N = y.shape(2);
  const auto* raw = reinterpret_cast<const unsigned char*>(i0.data());
  for (py::ssize_t k = 0; k < L; ++k) {
    int64_t j;
    std::memcpy(&j, raw + k * sizeof(int64_t), sizeof(int64_t));  // i0 may be misaligned
    if (j < 0 || j > N - 2) value_error("stencil index out of range");
  }
  const int32_t b32 = fit_i32(y.shape(0), "y extent B");
  const int32_t k32 = fit_i32(y.shape(1), "y extent K");
  const int32_t n32 = fit_i32(N, "y extent N");
  const int32_t e32 = fit_i32(E, "element count E");
  const int32_t c32 = static_cast<int32_t>(C);
  const int32_t o32 = fit_i32(p2s.shape(0), "p2s extent O");
  const int64_t items = checked_mul(checked_mul(b32, k32, "project_phi work"), e32,
                                    "project_phi work");
  require_kokkos();
  WorkspacePool& pool = thread_workspace();
  // Complex samples are read as float64 pairs: 8-byte alignment suffices.
  auto yv = stage_in_aligned(pool, "pphi_y", y.data(), alignof(double), b32, k32, n32);
  auto iv = stage_in(pool, "pphi_i0", i0.data(), static_cast<int32_t>(L));
  auto wv = stage_in(pool, "pphi_w", w.data(), static_cast<int32_t>(L));
  auto pv = stage_in(pool, "pphi_p2s", p2s.data(), o32, c32);
  auto result = new_array<cplx>({b32, k32, static_cast<py::ssize_t>(E), o32});
  ProjectPhiKernel k{reinterpret_cast<const double*>(yv.data()),
                     iv.data(),
                     wv.data(),
                     pv.data(),
                     reinterpret_cast<double*>(mutable_ptr(result)),
                     N,
                     e32,
                     c32,
                     o32};
  using Space = Kokkos::DefaultExecutionSpace;
  Kokkos::parallel_for("project_phi", Range<Space>(0, items), k);
  Space().fence();
  return result;
}

}  // namespace

void def_evaluate_batch(py::module_& m) {
  m.def("evaluate_batch", &evaluate_batch_impl, py::arg("breaks"), py::arg("coefs"),
        py::arg("phi"), evaluate_batch_doc);
}

void def_project_phi(py::module_& m) {
  m.def("project_phi", &project_phi_impl, py::arg("y"), py::arg("i0"), py::arg("w"),
        py::arg("p2s"), project_phi_doc);
}

void def_evaluate_batch_host(py::module_& m) {
  m.def("evaluate_batch_host", &evaluate_batch_impl, py::arg("breaks"), py::arg("coefs"),
        py::arg("phi"), evaluate_batch_host_doc);
}

// ------------------------------------------------------------------ class binding

template <class T>
void register_batch_evaluator(py::module_& m, const char* name) {
  using Ev = BatchEvaluatorT<T>;
  using C = std::complex<T>;
  py::class_<Ev>(m, name)
      .def(py::init<const carray<T>&, const carray<int32_t>&, double>(), py::arg("breaks"),
           py::arg("m"), py::arg("phase_sign"))
      .def("set_coefficients", &Ev::set_coefficients, py::arg("coefs"))
      .def("set_rewind_rates", &Ev::set_rewind_rates, py::arg("rates"))
      .def("set_mixing", &Ev::set_mixing, py::arg("mix"), py::arg("blocks"))
      .def("set_gradient_coefficients", &Ev::set_gradient_coefficients, py::arg("gcoefs"))
      .def("evaluate", &Ev::evaluate, py::arg("phi"))
      .def("evaluate_grad", &Ev::evaluate_grad, py::arg("phi"))
      .def("evaluate_time", &Ev::evaluate_time, py::arg("t"), py::arg("tau_piece"),
           py::arg("want_phi") = true, py::arg("out_lo") = 0, py::arg("warm_start") = 0)
      .def("evaluate_time_grad", &Ev::evaluate_time_grad, py::arg("t"), py::arg("tau_piece"),
           py::arg("warm_start") = 0)
      .def("release_workspace", &Ev::release_workspace,
           "Drop this evaluator's retained workspace buffers.  Safe only between invocations; "
           "the next call reallocates.")
      .def("workspace_bytes", &Ev::workspace_bytes,
           "Bytes currently retained by this evaluator's workspace.")
      .def("workspace_grows", &Ev::workspace_grows,
           "Number of slot (re)allocations since construction -- the shape-class churn counter.")
      .def("tau_nonconverged_count", &Ev::tau_nonconverged_count,
           "Samples whose tau-inversion Newton exhausted its iteration cap without converging, "
           "cumulative over evaluate_time / evaluate_time_grad calls since construction or the "
           "last reset.  Zero is the healthy state.")
      .def("reset_tau_nonconverged_count", &Ev::reset_tau_nonconverged_count,
           "Reset the tau-inversion non-convergence counter to zero.");
  (void)sizeof(C);
}

template class BatchEvaluatorT<double>;
template class BatchEvaluatorT<float>;
template void register_batch_evaluator<double>(py::module_&, const char*);
template void register_batch_evaluator<float>(py::module_&, const char*);

}  // namespace radiredide
