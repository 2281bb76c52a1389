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
V1<const T> cview(const std::vector<T>& v) {
  return V1<const T>(v.data(), v.size());
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

// Shape checks that several stages share.
void check_thetas(const carray<double>& thetas, int32_t B) {
  if (thetas.ndim() != 2 || thetas.shape(0) != B || thetas.shape(1) != 3)
    value_error("thetas must be (B, 3)");
}
void check_dv(const carray<double>& dv, int32_t B, int32_t N) {
  if (dv.ndim() != 3 || dv.shape(0) != B || dv.shape(1) != 3 || dv.shape(2) != N)
    value_error("dv must be (B, 3, N)");
}

// Each row's mode-coefficient table and, with derivatives, its table of
// theta-derivatives, from (q, chi1z, chi2z) = th(3 b .. 3 b + 2).
struct ThetaTables {
  std::vector<double> tables;   // (B, kModeCoeffCount)
  std::vector<double> dtables;  // (B, kDModeCoeffCount); empty without derivatives
};

ThetaTables theta_tables(const V1<const double>& th, int32_t B, bool derivatives) {
  ThetaTables t;
  t.tables.resize(static_cast<size_t>(B) * kModeCoeffCount);
  if (derivatives) t.dtables.resize(static_cast<size_t>(B) * kDModeCoeffCount);
  for (int32_t b = 0; b < B; ++b) {
    mode_coeffs(th(3 * b), th(3 * b + 1), th(3 * b + 2), t.tables.data() + static_cast<size_t>(b) * kModeCoeffCount);
    if (derivatives)
      dmode_coeffs(th(3 * b), th(3 * b + 1), th(3 * b + 2),
                   t.dtables.data() + static_cast<size_t>(b) * kDModeCoeffCount);
  }
  return t;
}

// Each mode's phase factor as a (re, im) pair, from its azimuthal number emm_of(k).
template <class F>
std::vector<double> phase_factors(int32_t K, const F& emm_of) {
  std::vector<double> phase(static_cast<size_t>(K) * 2);
  for (int32_t k = 0; k < K; ++k) fused::phase_factor(emm_of(k), phase[2 * k], phase[2 * k + 1]);
  return phase;
}

// ================================================================ blend_project

// The arrays of a blend_project call.
struct BlendArrays {
  const carray<double>& breaks;
  const carray<cplx>& Craw;
  const carray<double>& phi;
  const carray<int32_t>& dIdx;
  const carray<int32_t>& rIdx;
  const carray<int32_t>& wIdx;
  const carray<int32_t>& emm;
  const carray<double>& thetas;
  const carray<double>& vD;
  const carray<double>& pvR;
  const carray<double>& calR;
  const carray<int64_t>& i0;
  const carray<double>& stw;
  const carray<double>& p2s;
};

// What blend_project reads, validated: the extents, the raw-piece indices of
// tau and x_pc, and the modes' (K, 4) table dIdx, rIdx, wIdx, emm.
struct BlendShape {
  int32_t B, R, E, O, N, K, C, O2;
  int32_t p_tau, p_xpc;
  py::ssize_t E1;   // knots read from breaks: E + 1
  py::ssize_t nst;  // entries of the projection stencil: E C
  std::vector<int32_t> modes;
};

// The ranks, extents and piece indices, checked in the order whose first
// failure the caller sees.
BlendShape blend_extents(const BlendArrays& a, long long p_tau, long long p_xpc) {
  const py::ssize_t E1 = extent(a.breaks, 0);
  if (a.Craw.ndim() != 4 || E1 != a.Craw.shape(2) + 1) value_error("Craw must be (B, R, E, O)");
  // Trailing axes of extent 0 would leave fewer knots than the E + 1 that are read.
  if (a.breaks.size() < E1) value_error("breaks must hold at least two knots (E >= 1)");
  if (a.Craw.shape(2) < 1) value_error("breaks must hold at least two knots (E >= 1)");
  if (a.Craw.shape(3) < 1) value_error("Craw must hold at least one coefficient per element (O >= 1)");
  const int32_t B = fit_i32(a.Craw.shape(0), "B");
  const int32_t R = fit_i32(a.Craw.shape(1), "R");
  const int32_t E = fit_i32(a.Craw.shape(2), "E");
  const int32_t O = fit_i32(a.Craw.shape(3), "O");

  extent(a.phi, 0);
  const py::ssize_t Kx = extent(a.dIdx, 0);
  if (extent(a.rIdx, 0) != Kx || extent(a.wIdx, 0) != Kx || extent(a.emm, 0) != Kx)
    value_error("mode index arrays must be (K,)");
  const int32_t K = fit_i32(Kx, "K");

  check_thetas(a.thetas, B);
  if (a.vD.ndim() != 2 || a.vD.shape(0) != B || a.vD.shape(1) != K || a.pvR.ndim() != 2 ||
      a.pvR.shape(0) != B || a.pvR.shape(1) != K || extent(a.calR, 0) != K || a.calR.size() < K)
    value_error("vD/pvR must be (B, K), calR (K,)");
  const int32_t N = fit_i32(extent(a.phi, 0), "N");
  // Trailing axes of extent 0 would leave fewer samples than the N that are read.
  if (a.phi.size() < N) value_error("phi must be (N,)");

  const py::ssize_t O2x = extent(a.p2s, 0);
  const py::ssize_t Cx = extent(a.p2s, 1);
  const py::ssize_t nst = extent(a.i0, 0);
  {
    long long ec = 0;
    const bool overflow = __builtin_mul_overflow(static_cast<long long>(E), static_cast<long long>(Cx), &ec);
    if (Cx <= 0 || overflow || ec != nst || nst != extent(a.stw, 0) || a.i0.size() < nst ||
        a.stw.size() < nst)
      value_error("projection stencil must be (E * C,)");
  }
  const int32_t C = fit_i32(Cx, "C");
  const int32_t O2 = fit_i32(O2x, "O2");
  // Trailing axes of extent 0 would leave fewer values than the O2 x C that are read.
  if (a.p2s.size() < static_cast<py::ssize_t>(O2) * C) value_error("projection stencil must be (E * C,)");

  if (p_tau < 0 || p_tau >= R || p_xpc < 0 || p_xpc >= R)
    value_error("tau/xpc piece index out of range");
  return BlendShape{B, R, E, O, N, K, C, O2, static_cast<int32_t>(p_tau), static_cast<int32_t>(p_xpc),
                    E1, nst, {}};
}

// Every stencil index i0 leaves i0 + 1 among the N samples.
void check_stencil(const carray<int64_t>& i0, py::ssize_t nst, int32_t N) {
  const int64_t* s = i0.data();
  const int64_t last = static_cast<int64_t>(N) - 2;  // i0 + 1 < N, without overflow
  for (int64_t j = 0; j < nst; ++j) {
    const int64_t v = load_unaligned(s, j);
    if (v < 0 || v > last) value_error("stencil index out of range");
  }
}

// The modes' (K, 4) table dIdx, rIdx, wIdx, emm, each mode checked as it is read.
std::vector<int32_t> mode_table(const BlendArrays& a, int32_t K, int32_t R) {
  std::vector<int32_t> modes(static_cast<size_t>(K) * 4);
  for (int32_t k = 0; k < K; ++k) {
    const int32_t d = index_entry(a.dIdx, k), r = index_entry(a.rIdx, k);
    const int32_t w = index_entry(a.wIdx, k), m = index_entry(a.emm, k);
    modes[4 * k] = d;
    modes[4 * k + 1] = r;
    modes[4 * k + 2] = w;
    modes[4 * k + 3] = m;
    if (d < 0 || d >= R || r >= R || w < 0 || w > 7) value_error("mode piece index out of range");
  }
  return modes;
}

BlendShape validate_blend(const BlendArrays& a, long long p_tau, long long p_xpc) {
  BlendShape s = blend_extents(a, p_tau, p_xpc);
  check_stencil(a.i0, s.nst, s.N);
  s.modes = mode_table(a, s.K, s.R);
  return s;
}

// The host-side arrays of the kernels: every sample's element of breaks and
// its local coordinate there, each row's mode-coefficient table and each
// mode's phase factor.
struct BlendHost {
  std::vector<int32_t> elem;   // (N,)
  std::vector<double> ucoord;  // (N,)
  ThetaTables rows;            // tables only
  std::vector<double> phase;   // (K,) complex
};

BlendHost prepare_blend(WorkspacePool& pool, const BlendArrays& a, const BlendShape& s) {
  const V1<const double> brk = input_view(pool, "bp_breaks", a.breaks.data(), s.E1);
  const V1<const double> ph = input_view(pool, "bp_phi", a.phi.data(), s.N);
  const V1<const double> th = input_view(pool, "bp_thetas", a.thetas.data(), static_cast<int64_t>(s.B) * 3);
  BlendHost h;
  h.elem.resize(static_cast<size_t>(s.N));
  h.ucoord.resize(static_cast<size_t>(s.N));
  int32_t* elem = h.elem.data();
  double* ucoord = h.ucoord.data();
  for (int32_t n = 0; n < s.N; ++n) {
    const double x = ph(n);
    const int32_t e = fit::find_element(brk.data(), s.E, x);
    elem[n] = e;
    ucoord[n] = fit::local_coord(brk.data(), e, x);
  }
  h.rows = theta_tables(th, s.B, /*derivatives=*/false);
  h.phase = phase_factors(s.K, [&](int32_t k) { return s.modes[4 * k + 3]; });
  return h;
}

// Views over the inputs and the prepared arrays: the shared inputs of every
// kernel.
fused::BlendInputs stage_blend(WorkspacePool& pool, const BlendArrays& a, const BlendShape& s,
                               const BlendHost& h) {
  const int64_t n_craw = checked_mul(checked_mul(checked_mul(s.B, s.R, "Craw"), s.E, "Craw"), s.O, "Craw");
  fused::BlendInputs in;
  in.B = s.B, in.R = s.R, in.E = s.E, in.O = s.O, in.N = s.N, in.K = s.K, in.C = s.C, in.O2 = s.O2;
  in.p_tau = s.p_tau;
  in.p_xpc = s.p_xpc;
  // Complex input read as float64 pairs: alignment to one real part suffices.
  in.craw = input_view(pool, "bp_craw", reinterpret_cast<const double*>(a.Craw.data()),
                       checked_mul(n_craw, 2, "Craw"), sizeof(double));
  in.elem = cview(h.elem);
  in.ucoord = cview(h.ucoord);
  in.tables = cview(h.rows.tables);
  in.phase = cview(h.phase);
  in.modes = cview(s.modes);
  const int64_t BK = static_cast<int64_t>(s.B) * s.K;
  in.vD = input_view(pool, "bp_vD", a.vD.data(), BK);
  in.pvR = input_view(pool, "bp_pvR", a.pvR.data(), BK);
  in.calR = input_view(pool, "bp_calR", a.calR.data(), s.K);
  in.i0 = input_view(pool, "bp_i0", a.i0.data(), s.nst);
  in.stw = input_view(pool, "bp_stw", a.stw.data(), s.nst);
  in.p2s = input_view(pool, "bp_p2s", a.p2s.data(), static_cast<int64_t>(s.O2) * s.C);
  return in;
}

// Scratch of the kernels, in the calling thread's pool: the eight 4PN weights
// (B, 8, N) complex, the blended pieces (B, K, N) complex, the medians and
// variances (B, K) and the magnitudes (B, K, N).
struct BlendScratch {
  double *W, *blend, *med, *vR, *mag;
};

BlendScratch blend_scratch(WorkspacePool& pool, int32_t B, int32_t K, int32_t N) {
  const int64_t BK = static_cast<int64_t>(B) * K;
  const int64_t BN = static_cast<int64_t>(B) * N;
  const int64_t BKN = BK * N;
  BlendScratch w;
  w.W = reinterpret_cast<double*>(pool.acquire<cplx>("bp_W", static_cast<uint64_t>(8 * BN)));
  w.blend = reinterpret_cast<double*>(pool.acquire<cplx>("bp_blend", static_cast<uint64_t>(BKN)));
  w.med = pool.acquire<double>("bp_med", static_cast<uint64_t>(BK));
  w.vR = pool.acquire<double>("bp_vR", static_cast<uint64_t>(BK));
  w.mag = pool.acquire<double>("bp_mag", static_cast<uint64_t>(BKN));
  return w;
}

// The four kernels, each timed by `timer`: raw pieces and 4PN weights,
// medians, blend and projection into tau (B, N) and coeffs (B, K, E, O2)
// complex.  A collocation order above 32 is refused after the blend.
void launch_blend(const fused::BlendInputs& in, const BlendScratch& w, double* tau, double* coeffs,
                  KernelTimer& timer) {
  const int32_t B = in.B, N = in.N;
  const int64_t BK = static_cast<int64_t>(B) * in.K;
  const int64_t BN = static_cast<int64_t>(B) * N;
  const int64_t BKN = BK * N;
  const ChunkSplit split = make_split(B, N);
  const int64_t chunk_items = static_cast<int64_t>(split.chunks) * B;

  timer.start();
  Kokkos::parallel_for("fused_pieces_weights", Policy(0, chunk_items),
                       fused::PiecesWeightsKernel{in, split, mview(tau, BN), mview(w.W, 16 * BN)});
  timer.stop("fused_pieces_weights");

  timer.start();
  Kokkos::parallel_for("fused_median", Policy(0, BK),
                       fused::MedianKernel{in, cview<double>(w.W, 16 * BN), mview(w.med, BK),
                                           mview(w.vR, BK), mview(w.mag, BKN)});
  timer.stop("fused_median");

  timer.start();
  Kokkos::parallel_for("fused_blend", Policy(0, chunk_items),
                       fused::BlendKernel{in, split, cview<double>(w.W, 16 * BN),
                                              cview<double>(w.med, BK), cview<double>(w.vR, BK),
                                              mview(w.blend, 2 * BKN)});
  timer.stop("fused_blend");

  if (in.C > fused::kMaxCollocation) {
    Exec().fence();
    value_error("collocation order > 32");
  }

  const int64_t n_coef = BK * in.E * in.O2;
  timer.start();
  Kokkos::parallel_for("fused_project", Policy(0, BK * in.E),
                       fused::ProjectKernel{in, cview<double>(w.blend, 2 * BKN),
                                            mview(coeffs, 2 * n_coef)});
  timer.stop("fused_project");
}

// The timing dict's entries of the host-side steps (the kernels' entries come
// from a KernelTimer): fenced seconds of the host preparation, the upload and
// the download.  Without timing nothing is fenced for them or entered.
struct BlendTimes {
  bool on;
  py::dict timings;

  void host_prep(int64_t t0) {
    if (!on) return;
    timings["host_prep"] = py::float_(seconds_since(t0));
    global_fence();
  }
  void upload(int64_t t0) {
    if (!on) return;
    global_fence();
    timings["upload"] = py::float_(seconds_since(t0));
    timings["bytes_up"] = py::float_(0.0);
    timings["bytes_down"] = py::float_(0.0);
  }
  // The kernels' end, then the download (the results already live in the
  // NumPy arrays) and the result tuple, with the dict as its third element.
  py::object finish(const py::array& coeffs, const py::array& tau) {
    if (on) {
      global_fence();
    } else {
      Exec().fence();
    }
    const int64_t t_down = steady_now_ns();
    const int64_t t_down_end = steady_now_ns();
    if (on) {
      timings["download"] = py::float_(static_cast<double>(t_down_end - t_down) / 1e9);
      return py::make_tuple(coeffs, tau, timings);
    }
    return py::make_tuple(coeffs, tau);
  }
};

py::object blend_project(const carray<double>& breaks, const carray<cplx>& Craw,
                         const carray<double>& phi, long long p_tau, long long p_xpc,
                         const carray<int32_t>& dIdx, const carray<int32_t>& rIdx,
                         const carray<int32_t>& wIdx, const carray<int32_t>& emm,
                         const carray<double>& thetas, const carray<double>& vD,
                         const carray<double>& pvR, const carray<double>& calR,
                         const carray<int64_t>& i0, const carray<double>& stw,
                         const carray<double>& p2s, const std::string& exec_space, bool timing) {
  BlendTimes times{timing, py::dict()};
  check_exec_space(exec_space);
  const BlendArrays a{breaks, Craw, phi, dIdx, rIdx, wIdx, emm, thetas, vD, pvR, calR, i0, stw, p2s};
  const BlendShape s = validate_blend(a, p_tau, p_xpc);
  require_kokkos();

  const int64_t t_prep = steady_now_ns();
  WorkspacePool& pool = thread_workspace();
  const BlendHost host = prepare_blend(pool, a, s);
  times.host_prep(t_prep);
  const int64_t t_up = steady_now_ns();
  const fused::BlendInputs in = stage_blend(pool, a, s, host);
  times.upload(t_up);

  auto tau = new_array<double>({s.B, s.N});
  auto coeffs = new_array<cplx>({s.B, s.K, s.E, s.O2});
  const BlendScratch scratch = blend_scratch(pool, s.B, s.K, s.N);
  KernelTimer timer(timing ? &times.timings : nullptr);
  launch_blend(in, scratch, mutable_ptr(tau), reinterpret_cast<double*>(mutable_ptr(coeffs)), timer);
  return times.finish(coeffs, tau);
}

// ================================================================ median_h2_batch

py::tuple median_h2_batch(const carray<double>& v, const carray<double>& dv,
                          const carray<double>& thetas, const carray<int32_t>& pnIdx) {
  if (v.ndim() != 2) value_error("v must be (B, N)");
  const int32_t B = fit_i32(v.shape(0), "B");
  const int32_t N = fit_i32(v.shape(1), "N");
  const int32_t K = fit_i32(extent(pnIdx, 0), "K");
  check_dv(dv, B, N);
  check_thetas(thetas, B);
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
  const ThetaTables tt = theta_tables(th, B, /*derivatives=*/true);
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
  const V1<const double> tv = cview(tt.tables);
  const V1<const double> dtv = cview(tt.dtables);

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
  check_dv(dv, B, N);
  check_thetas(thetas, B);
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
  const std::vector<double> phase = phase_factors(K, [&](int32_t k) { return index_entry(emm, k); });

  require_kokkos();

  WorkspacePool& pool = thread_workspace();
  const V1<const double> th = input_view(pool, "bp_dc_thetas", thetas.data(), static_cast<int64_t>(B) * 3);
  const ThetaTables tt = theta_tables(th, B, /*derivatives=*/true);
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
  kern.tables = cview(tt.tables);
  kern.dtables = cview(tt.dtables);
  kern.modes = cview(modes);
  kern.phase = cview(phase);
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
