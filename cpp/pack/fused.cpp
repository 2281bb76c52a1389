// The fused blend-and-project stage (blend_project) and the gradient-side
// stages median_h2_batch and dc_grid_batch: host side, validation, scratch,
// launches and bindings.  The kernels are in fused_kernels.hpp.
#include "common/chunking.hpp"
#include "common/element_fit.hpp"
#include "common/errors.hpp"
#include "common/kokkos_compat.hpp"
#include "common/pyarray.hpp"
#include "common/staging.hpp"
#include "pack/fused_kernels.hpp"
#include "pack/kernel_timer.hpp"
#include "pack/pack.hpp"
#include "pack/pn4.hpp"
#include "workspace.hpp"

#include <pybind11/stl.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace radiredide {
namespace py = pybind11;

namespace {

using fused::ChunkSplit;
using fused::Exec;
using fused::Policy;
using fused::V1;

template <class T>
V1<const T> cview(const T* p, int64_t n) {
  return V1<const T>(p, static_cast<size_t>(n));
}
template <class T>
V1<T> mview(T* p, int64_t n) {
  return V1<T>(p, static_cast<size_t>(n));
}


// Element k of a one-dimensional index array, with pybind11's bounds and
// dimension checks and messages ("index dimension mismatch: 1 (ndim = ...)",
// "index k is out of bounds for axis 0 with size n", as IndexError), read
// without a misaligned load (the caller's array may be misaligned).
inline int32_t index_entry(const carray<int32_t>& a, py::ssize_t k) {
  if (a.ndim() != 1)
    throw py::index_error("index dimension mismatch: 1 (ndim = " + std::to_string(a.ndim()) + ")");
  if (k >= a.shape(0))
    throw py::index_error("index " + std::to_string(k) + " is out of bounds for axis 0 with size " +
                          std::to_string(a.shape(0)));
  return load_unaligned(a.data(), k);
}

// A view over the first `count` elements of an input, read in place when the
// buffer is aligned to `align`, else through a copy in the pool slot `slot`.
template <class T>
V1<const T> input_view(WorkspacePool& pool, const char* slot, const T* data, int64_t count,
                       std::size_t align = sizeof(T)) {
  if (count == 0) return V1<const T>(data, 0);
  if (is_aligned(data, align)) return cview(data, count);
  T* copy = pool.acquire<T>(slot, static_cast<uint64_t>(count));
  copy_bytes(copy, data, static_cast<std::size_t>(count) * sizeof(T));
  return cview<T>(copy, count);
}

inline int32_t chunks_for(int32_t B, int32_t N) {
  return pn_sample_chunk_count(N, B, compat::default_concurrency());
}

inline ChunkSplit make_split(int32_t B, int32_t N) {
  const int32_t chunks = chunks_for(B, N);
  const int32_t L = static_cast<int32_t>((static_cast<int64_t>(N) + chunks - 1) / chunks);
  return ChunkSplit{chunks, L, N};
}

inline double seconds_since(int64_t t0) {
  return static_cast<double>(steady_now_ns() - t0) / 1e9;
}

// ================================================================ blend_project

py::object blend_project(const carray<double>& breaks, const carray<cplx>& Craw,
                         const carray<double>& phi, long long p_tau, long long p_xpc,
                         const carray<int32_t>& dIdx, const carray<int32_t>& rIdx,
                         const carray<int32_t>& wIdx, const carray<int32_t>& emm,
                         const carray<double>& thetas, const carray<double>& vD,
                         const carray<double>& pvR, const carray<double>& calR,
                         const carray<int64_t>& i0, const carray<double>& stw,
                         const carray<double>& p2s, const std::string& exec_space, bool timing) {
  py::dict timings;
  check_exec_space(exec_space);
  // ---- validation
  const py::ssize_t E1 = extent(breaks, 0);
  if (Craw.ndim() != 4 || E1 != Craw.shape(2) + 1) value_error("Craw must be (B, R, E, O)");
  // Trailing axes of extent 0 would leave fewer knots than the E + 1 that are read.
  if (breaks.size() < E1) value_error("breaks must hold at least two knots (E >= 1)");
  if (Craw.shape(2) < 1) value_error("breaks must hold at least two knots (E >= 1)");
  if (Craw.shape(3) < 1) value_error("Craw must hold at least one coefficient per element (O >= 1)");
  const int32_t B = fit_i32(Craw.shape(0), "B");
  const int32_t R = fit_i32(Craw.shape(1), "R");
  const int32_t E = fit_i32(Craw.shape(2), "E");
  const int32_t O = fit_i32(Craw.shape(3), "O");

  extent(phi, 0);
  const py::ssize_t Kx = extent(dIdx, 0);
  if (extent(rIdx, 0) != Kx || extent(wIdx, 0) != Kx || extent(emm, 0) != Kx)
    value_error("mode index arrays must be (K,)");
  const int32_t K = fit_i32(Kx, "K");

  if (thetas.ndim() != 2 || thetas.shape(0) != B || thetas.shape(1) != 3)
    value_error("thetas must be (B, 3)");
  if (vD.ndim() != 2 || vD.shape(0) != B || vD.shape(1) != K || pvR.ndim() != 2 ||
      pvR.shape(0) != B || pvR.shape(1) != K || extent(calR, 0) != K || calR.size() < K)
    value_error("vD/pvR must be (B, K), calR (K,)");
  const int32_t N = fit_i32(extent(phi, 0), "N");
  // Trailing axes of extent 0 would leave fewer samples than the N that are read.
  if (phi.size() < N) value_error("phi must be (N,)");

  const py::ssize_t O2x = extent(p2s, 0);
  const py::ssize_t Cx = extent(p2s, 1);
  const py::ssize_t nst = extent(i0, 0);
  {
    long long ec = 0;
    const bool overflow = __builtin_mul_overflow(static_cast<long long>(E), static_cast<long long>(Cx), &ec);
    if (Cx <= 0 || overflow || ec != nst || nst != extent(stw, 0) || i0.size() < nst ||
        stw.size() < nst)
      value_error("projection stencil must be (E * C,)");
  }
  const int32_t C = fit_i32(Cx, "C");
  const int32_t O2 = fit_i32(O2x, "O2");
  // Trailing axes of extent 0 would leave fewer values than the O2 x C that are read.
  if (p2s.size() < static_cast<py::ssize_t>(O2) * C) value_error("projection stencil must be (E * C,)");

  if (p_tau < 0 || p_tau >= R || p_xpc < 0 || p_xpc >= R)
    value_error("tau/xpc piece index out of range");

  {
    const int64_t* s = i0.data();
    const int64_t last = static_cast<int64_t>(N) - 2;  // i0 + 1 < N, without overflow
    for (int64_t j = 0; j < nst; ++j) {
      const int64_t v = load_unaligned(s, j);
      if (v < 0 || v > last) value_error("stencil index out of range");
    }
  }

  std::vector<int32_t> modes(static_cast<size_t>(K) * 4);
  for (int32_t k = 0; k < K; ++k) {
    const int32_t d = index_entry(dIdx, k), r = index_entry(rIdx, k);
    const int32_t w = index_entry(wIdx, k), m = index_entry(emm, k);
    modes[4 * k] = d;
    modes[4 * k + 1] = r;
    modes[4 * k + 2] = w;
    modes[4 * k + 3] = m;
    if (d < 0 || d >= R || r >= R || w < 0 || w > 7) value_error("mode piece index out of range");
  }

  require_kokkos();

  // ---- host preparation
  const int64_t t_prep = steady_now_ns();
  WorkspacePool& pool = thread_workspace();
  const V1<const double> brk = input_view(pool, "bp_breaks", breaks.data(), E1);
  const V1<const double> ph = input_view(pool, "bp_phi", phi.data(), N);
  const V1<const double> th = input_view(pool, "bp_thetas", thetas.data(), static_cast<int64_t>(B) * 3);
  std::vector<int32_t> elem(static_cast<size_t>(N));
  std::vector<double> ucoord(static_cast<size_t>(N));
  for (int32_t n = 0; n < N; ++n) {
    const double x = ph(n);
    const int32_t e = fit::find_element(brk.data(), E, x);
    elem[n] = e;
    ucoord[n] = fit::local_coord(brk.data(), e, x);
  }
  std::vector<double> tables(static_cast<size_t>(B) * kModeCoeffCount);
  for (int32_t b = 0; b < B; ++b)
    mode_coeffs(th(3 * b), th(3 * b + 1), th(3 * b + 2), tables.data() + static_cast<size_t>(b) * kModeCoeffCount);
  std::vector<double> phase(static_cast<size_t>(K) * 2);
  for (int32_t k = 0; k < K; ++k) fused::phase_factor(modes[4 * k + 3], phase[2 * k], phase[2 * k + 1]);

  // ---- upload: views over the inputs and the prepared arrays
  if (timing) {
    timings["host_prep"] = py::float_(seconds_since(t_prep));
    global_fence();
  }
  const int64_t t_up = steady_now_ns();
  const int64_t n_craw = checked_mul(checked_mul(checked_mul(B, R, "Craw"), E, "Craw"), O, "Craw");
  fused::BlendInputs in;
  in.B = B, in.R = R, in.E = E, in.O = O, in.N = N, in.K = K, in.C = C, in.O2 = O2;
  in.p_tau = static_cast<int32_t>(p_tau);
  in.p_xpc = static_cast<int32_t>(p_xpc);
  // Complex input read as float64 pairs: alignment to one real part suffices.
  in.craw = input_view(pool, "bp_craw", reinterpret_cast<const double*>(Craw.data()),
                       checked_mul(n_craw, 2, "Craw"), sizeof(double));
  in.elem = cview<int32_t>(elem.data(), N);
  in.ucoord = cview<double>(ucoord.data(), N);
  in.tables = cview<double>(tables.data(), static_cast<int64_t>(tables.size()));
  in.phase = cview<double>(phase.data(), static_cast<int64_t>(phase.size()));
  in.modes = cview<int32_t>(modes.data(), static_cast<int64_t>(modes.size()));
  const int64_t BK = static_cast<int64_t>(B) * K;
  in.vD = input_view(pool, "bp_vD", vD.data(), BK);
  in.pvR = input_view(pool, "bp_pvR", pvR.data(), BK);
  in.calR = input_view(pool, "bp_calR", calR.data(), K);
  in.i0 = input_view(pool, "bp_i0", i0.data(), nst);
  in.stw = input_view(pool, "bp_stw", stw.data(), nst);
  in.p2s = input_view(pool, "bp_p2s", p2s.data(), static_cast<int64_t>(O2) * C);
  if (timing) {
    global_fence();
    timings["upload"] = py::float_(seconds_since(t_up));
    timings["bytes_up"] = py::float_(0.0);
    timings["bytes_down"] = py::float_(0.0);
  }

  // ---- results and scratch
  auto tau = new_array<double>({B, N});
  auto coeffs = new_array<cplx>({B, K, E, O2});
  const int64_t BN = static_cast<int64_t>(B) * N;
  const int64_t BKN = BK * N;
  auto* W = reinterpret_cast<double*>(pool.acquire<cplx>("bp_W", static_cast<uint64_t>(8 * BN)));
  auto* blend = reinterpret_cast<double*>(pool.acquire<cplx>("bp_blend", static_cast<uint64_t>(BKN)));
  double* med = pool.acquire<double>("bp_med", static_cast<uint64_t>(BK));
  double* vR = pool.acquire<double>("bp_vR", static_cast<uint64_t>(BK));
  double* mag = pool.acquire<double>("bp_mag", static_cast<uint64_t>(BKN));

  // ---- kernels
  const ChunkSplit split = make_split(B, N);
  const int64_t chunk_items = static_cast<int64_t>(split.chunks) * B;
  KernelTimer timer(timing ? &timings : nullptr);

  timer.start();
  Kokkos::parallel_for("fused_pieces_weights", Policy(0, chunk_items),
                       fused::PiecesWeightsKernel{in, split, mview(mutable_ptr(tau), BN),
                                                      mview(W, 16 * BN)});
  timer.stop("fused_pieces_weights");

  timer.start();
  Kokkos::parallel_for("fused_median", Policy(0, BK),
                       fused::MedianKernel{in, cview<double>(W, 16 * BN), mview(med, BK),
                                           mview(vR, BK), mview(mag, BKN)});
  timer.stop("fused_median");

  timer.start();
  Kokkos::parallel_for("fused_blend", Policy(0, chunk_items),
                       fused::BlendKernel{in, split, cview<double>(W, 16 * BN),
                                              cview<double>(med, BK), cview<double>(vR, BK),
                                              mview(blend, 2 * BKN)});
  timer.stop("fused_blend");

  if (C > fused::kMaxCollocation) {
    Exec().fence();
    value_error("collocation order > 32");
  }

  const int64_t n_coef = BK * E * O2;
  timer.start();
  Kokkos::parallel_for("fused_project", Policy(0, BK * E),
                       fused::ProjectKernel{in, cview<double>(blend, 2 * BKN),
                                            mview(reinterpret_cast<double*>(mutable_ptr(coeffs)),
                                                  2 * n_coef)});
  timer.stop("fused_project");

  // ---- download: the results already live in the NumPy arrays
  if (timing) {
    global_fence();
  } else {
    Exec().fence();
  }
  const int64_t t_down = steady_now_ns();
  const int64_t t_down_end = steady_now_ns();
  if (timing) {
    timings["download"] = py::float_(static_cast<double>(t_down_end - t_down) / 1e9);
    return py::make_tuple(coeffs, tau, timings);
  }
  return py::make_tuple(coeffs, tau);
}

// ================================================================ median_h2_batch

py::tuple median_h2_batch(const carray<double>& v, const carray<double>& dv,
                          const carray<double>& thetas, const carray<int32_t>& pnIdx) {
  if (v.ndim() != 2) value_error("v must be (B, N)");
  const int32_t B = fit_i32(v.shape(0), "B");
  const int32_t N = fit_i32(v.shape(1), "N");
  const int32_t K = fit_i32(extent(pnIdx, 0), "K");
  if (dv.ndim() != 3 || dv.shape(0) != B || dv.shape(1) != 3 || dv.shape(2) != N)
    value_error("dv must be (B, 3, N)");
  if (thetas.ndim() != 2 || thetas.shape(0) != B || thetas.shape(1) != 3)
    value_error("thetas must be (B, 3)");
  if (N < 2) value_error("need at least 2 grid points");
  // Grown entry by entry: an index array whose shape promises more entries than
  // it holds is refused at its first entry, before K slots are allocated.
  std::vector<int32_t> slots;
  uint32_t used = 0;
  for (int32_t k = 0; k < K; ++k) {
    slots.push_back(index_entry(pnIdx, k));
    if (slots[k] > 7) value_error("pn slot out of range");
    if (slots[k] >= 0) used |= 1u << slots[k];
  }

  require_kokkos();

  WorkspacePool& pool = thread_workspace();
  const int64_t BN = static_cast<int64_t>(B) * N;
  const int64_t BK = static_cast<int64_t>(B) * K;
  const V1<const double> th = input_view(pool, "bp_mh2_thetas", thetas.data(), static_cast<int64_t>(B) * 3);
  std::vector<double> tables(static_cast<size_t>(B) * kModeCoeffCount);
  std::vector<double> dtables(static_cast<size_t>(B) * kDModeCoeffCount);
  for (int32_t b = 0; b < B; ++b) {
    mode_coeffs(th(3 * b), th(3 * b + 1), th(3 * b + 2), tables.data() + static_cast<size_t>(b) * kModeCoeffCount);
    dmode_coeffs(th(3 * b), th(3 * b + 1), th(3 * b + 2), dtables.data() + static_cast<size_t>(b) * kDModeCoeffCount);
  }
  auto med2 = new_array<double>({B, K});
  auto dmed2 = new_array<double>({B, 3, K});
  double* pm = mutable_ptr(med2);
  double* pd = mutable_ptr(dmed2);
  std::fill(pm, pm + BK, 0.0);
  std::fill(pd, pd + 3 * BK, 0.0);
  // |h_s|^2 of the measured slots, one (B, N) plane each: a slot of the grow-only
  // pool, so that repeated calls do not fault fresh pages in again.
  const int64_t mag_len = checked_mul(BN, std::popcount(used), "mag");
  const fused::MagPlanes planes(used, BN);
  double* mag = pool.acquire<double>("bp_mh2_mag", static_cast<uint64_t>(mag_len));
  // One work row per (row, mode), taken before the launch: a copy of the
  // squares to select on, or the index array of the exact order.
  double* work = pool.acquire<double>("bp_mh2_work", static_cast<uint64_t>(BK * N));

  const V1<const double> vv = input_view(pool, "bp_mh2_v", v.data(), BN);
  const V1<const double> dvv = input_view(pool, "bp_mh2_dv", dv.data(), 3 * BN);
  const ChunkSplit split = make_split(B, N);
  const V1<const double> tv = cview<double>(tables.data(), static_cast<int64_t>(tables.size()));
  const V1<const double> dtv = cview<double>(dtables.data(), static_cast<int64_t>(dtables.size()));

  // Per mag item and slot: whether its squares may stand in for the amplitudes.
  const int64_t mag_items = static_cast<int64_t>(split.chunks) * B;
  std::unique_ptr<unsigned char[]> unsafe(new unsigned char[static_cast<size_t>(8 * mag_items)]);
  // Per mag item and slot: the smallest and largest of its squares.
  std::unique_ptr<double[]> qrange(new double[static_cast<size_t>(16 * mag_items)]);
  Kokkos::parallel_for("median_h2_mag", Policy(0, mag_items),
                       fused::MedianMagKernel{split, N, used, planes, vv, tv, mview(mag, mag_len),
                                              mview(unsafe.get(), 8 * mag_items),
                                              mview(qrange.get(), 16 * mag_items)});
  Kokkos::parallel_for("median_h2_select", Policy(0, BK),
                       fused::MedianSelectKernel{K, N, split.chunks, vv, dvv, tv, dtv,
                                                 cview<int32_t>(slots.data(), K),
                                                 planes, cview<double>(mag, mag_len),
                                                 cview<unsigned char>(unsafe.get(), 8 * mag_items),
                                                 cview<double>(qrange.get(), 16 * mag_items),
                                                 mview(work, BK * N), mview(pm, BK),
                                                 mview(pd, 3 * BK)});
  Exec().fence();
  return py::make_tuple(med2, dmed2);
}

// ================================================================ dc_grid_batch

py::array dc_grid_batch(const carray<cplx>& vals, const carray<double>& v,
                        const carray<double>& dv, const carray<double>& thetas,
                        const carray<int32_t>& dIdx, const carray<int32_t>& rIdx,
                        const carray<int32_t>& pnIdx, const carray<int32_t>& emm,
                        const carray<double>& W, const carray<double>& dW) {
  if (vals.ndim() != 3) value_error("vals must be (B, G, N)");
  const int32_t B = fit_i32(vals.shape(0), "B");
  const int32_t G = fit_i32(vals.shape(1), "G");
  const int32_t N = fit_i32(vals.shape(2), "N");
  const py::ssize_t Kx = extent(dIdx, 0);
  if (v.ndim() != 2 || v.shape(0) != B || v.shape(1) != N) value_error("v must be (B, N)");
  if (dv.ndim() != 3 || dv.shape(0) != B || dv.shape(1) != 3 || dv.shape(2) != N)
    value_error("dv must be (B, 3, N)");
  if (thetas.ndim() != 2 || thetas.shape(0) != B || thetas.shape(1) != 3)
    value_error("thetas must be (B, 3)");
  if (extent(rIdx, 0) != Kx || extent(pnIdx, 0) != Kx || extent(emm, 0) != Kx)
    value_error("mode index arrays must be (K,)");
  const int32_t K = fit_i32(Kx, "K");
  if (W.ndim() != 2 || W.shape(0) != B || W.shape(1) != K) value_error("W must be (B, K)");
  if (dW.ndim() != 3 || dW.shape(0) != B || dW.shape(1) != 3 || dW.shape(2) != K)
    value_error("dW must be (B, 3, K)");
  std::vector<int32_t> modes(static_cast<size_t>(K) * 3);
  const int32_t last_slot = G - 4;  // a piece occupies four slots; G >= 0, no overflow
  for (int32_t k = 0; k < K; ++k) {
    const int32_t d = index_entry(dIdx, k), r = index_entry(rIdx, k), s = index_entry(pnIdx, k);
    modes[3 * k] = d;
    modes[3 * k + 1] = r;
    modes[3 * k + 2] = s;
    if (d < 0 || d > last_slot || r > last_slot) value_error("piece slot out of range in vals");
    if (s < 0 || s > 7) value_error("pn slot out of range");
  }
  std::vector<double> phase(static_cast<size_t>(K) * 2);
  for (int32_t k = 0; k < K; ++k) {
    fused::phase_factor(index_entry(emm, k), phase[2 * k], phase[2 * k + 1]);
  }

  require_kokkos();

  WorkspacePool& pool = thread_workspace();
  const V1<const double> th = input_view(pool, "bp_dc_thetas", thetas.data(), static_cast<int64_t>(B) * 3);
  std::vector<double> tables(static_cast<size_t>(B) * kModeCoeffCount);
  std::vector<double> dtables(static_cast<size_t>(B) * kDModeCoeffCount);
  for (int32_t b = 0; b < B; ++b) {
    mode_coeffs(th(3 * b), th(3 * b + 1), th(3 * b + 2), tables.data() + static_cast<size_t>(b) * kModeCoeffCount);
    dmode_coeffs(th(3 * b), th(3 * b + 1), th(3 * b + 2), dtables.data() + static_cast<size_t>(b) * kDModeCoeffCount);
  }
  auto out = new_array<cplx>({B, 3, K, N});

  const int64_t BN = static_cast<int64_t>(B) * N;
  const int64_t BK = static_cast<int64_t>(B) * K;
  const int64_t n_vals = checked_mul(checked_mul(B, G, "vals"), N, "vals");
  fused::DcGridKernel kern;
  kern.split = make_split(B, N);
  kern.G = G, kern.N = N, kern.K = K;
  kern.vals = input_view(pool, "bp_dc_vals", reinterpret_cast<const double*>(vals.data()),
                         checked_mul(n_vals, 2, "vals"), sizeof(double));
  kern.v = input_view(pool, "bp_dc_v", v.data(), BN);
  kern.dv = input_view(pool, "bp_dc_dv", dv.data(), 3 * BN);
  kern.tables = cview<double>(tables.data(), static_cast<int64_t>(tables.size()));
  kern.dtables = cview<double>(dtables.data(), static_cast<int64_t>(dtables.size()));
  kern.modes = cview<int32_t>(modes.data(), static_cast<int64_t>(modes.size()));
  kern.phase = cview<double>(phase.data(), static_cast<int64_t>(phase.size()));
  kern.W = input_view(pool, "bp_dc_W", W.data(), BK);
  kern.dW = input_view(pool, "bp_dc_dW", dW.data(), 3 * BK);
  kern.out = mview(reinterpret_cast<double*>(mutable_ptr(out)), 2 * 3 * BK * N);
  Kokkos::parallel_for("dc_grid_batch", Policy(0, static_cast<int64_t>(kern.split.chunks) * B), kern);
  Exec().fence();
  return out;
}

}  // namespace

void def_dc_grid_batch(py::module_& m) {
  m.def("dc_grid_batch", &dc_grid_batch, py::arg("vals"), py::arg("v"), py::arg("dv"),
        py::arg("thetas"), py::arg("dIdx"), py::arg("rIdx"), py::arg("pnIdx"), py::arg("emm"),
        py::arg("W"), py::arg("dW"),
        "The gradient-side dc stage: dc_lm/dtheta on the phi grid for a whole batch, (B, 3, K, N) "
        "complex -- the compiled replacement for aa_grad_device._dc_row and its fork pool.");
}

void def_median_h2_batch(py::module_& m) {
  m.def("median_h2_batch", &median_h2_batch, py::arg("v"), py::arg("dv"), py::arg("thetas"),
        py::arg("pnIdx"),
        "Batched median(|h^PN_lm|)**2 and its theta-gradient: (med2 (B, K), dmed2 (B, 3, K)) -- "
        "the compiled replacement for aa_gradients._median_h2_grads.  pnIdx < 0 skips a mode.");
}

void def_blend_project(py::module_& m) {
  m.def("blend_project", &blend_project, py::arg("breaks"), py::arg("Craw"), py::arg("phi"),
        py::arg("p_tau"), py::arg("p_xpc"), py::arg("dIdx"), py::arg("rIdx"), py::arg("wIdx"),
        py::arg("emm"), py::arg("thetas"), py::arg("vD"), py::arg("pvR"), py::arg("calR"),
        py::arg("i0"), py::arg("stw"), py::arg("p2s"), py::arg("exec_space") = "host",
        py::arg("timing") = false,
        "Fused host coefficient stage: raw-piece synthesis on the shared phi grid + two-stage 4PN "
        "weights + inverse-variance blend + element projection.  Returns ((B, K, E, O2) blended "
        "mode coefficients, (B, N) tau grid for the monotonicity check); with timing=True a third "
        "element carries per-kernel fenced seconds.  exec_space ('host' | 'device') picks the "
        "execution space for all four kernels; the default reproduces the pre-port behaviour.");
}

}  // namespace radiredide
