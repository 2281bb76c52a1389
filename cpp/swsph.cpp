// Spheroidal scalar maps (value and closed-form gradient) and the rewind rates
// and padded mixing tensors of the merger-ringdown stage.
//
// Every sum over trend terms or training points follows NumPy's pairwise order
// (pairwise_sum), and every expression is written in the order the host
// package's NumPy body evaluates it, so that the results are that body's bits.
#include "swsph.hpp"

#include "common/errors.hpp"
#include "common/variants.hpp"
#include "common/pyarray.hpp"
#include "common/staging.hpp"
#include "swsph_common.hpp"
#include "workspace.hpp"

#include <Kokkos_Core.hpp>

#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>

namespace radiredide {
namespace py = pybind11;

namespace {

// ======================================================================
// Scalar map
// ======================================================================

constexpr const char* kScalarMapDoc =
    "swsph._ScalarMap.predict for a batch, WITHOUT the target transform. Bitwise: numpy "
    "pairwise reductions, _rbf's leading 0. + , and std::exp (bitwise numpy's on this build).";

constexpr const char* kScalarMapGradDoc =
    "swsph._ScalarMap._raw_value_and_gradient for a batch: (B, 4) as (y, dy/dlog q, dy/dchi1z, "
    "dy/dchi2z) of the RAW output, WITHOUT the target transform. Closed-form GPR gradient; "
    "bitwise the numpy body on a non-contracting build.";

// One work item per parameter row, 32-bit row index.
template <class Space>
using RowPolicy = Kokkos::RangePolicy<Space, Kokkos::IndexType<int32_t>>;

// Highest Chebyshev index the per-row tables hold.
constexpr int kMaxDegree = 7;

// What both map kernels read, in the order the kernels hold it.
struct MapInputs {
  UView<const double, 2> thetas;  // (B, 3): log q, chi1z, chi2z
  double L0;
  double chi_lo;
  double w;  // spin width: chi_hi - chi_lo, or 1.0 for an empty or NaN interval
  double A0;
  int32_t degree;
  UView<const int32_t, 2> terms;  // (n_terms, 3)
  UView<const double, 1> trend;   // (n_terms,)
  int32_t n_terms;
  UView<const double, 2> U;      // (n_train, 3)
  UView<const double, 1> ls;     // (3,)
  UView<const double, 1> alpha;  // (n_train,)
  int32_t n_train;
};

// Row locals shared by the value and gradient kernels: the mapped point, its
// mirror under exchange of the bodies, and the Chebyshev tables (slot k holds
// T_k of that coordinate; slots above degree are never written or read).
struct MapRow {
  double x[3];
  double xm[3];
  double T[3][kMaxDegree + 1];
};

KOKKOS_INLINE_FUNCTION void map_row(const MapInputs& in, int32_t b, MapRow& r) {
  const double lq = in.thetas(b, 0);
  const double c1 = in.thetas(b, 1);
  const double c2 = in.thetas(b, 2);
  r.x[0] = lq / in.L0;
  r.x[1] = (((((c1 + c2) * 0.5) - in.chi_lo) * 2.0) / in.w) - 1.0;
  r.x[2] = ((c1 - c2) * 0.5) / in.A0;
  r.xm[0] = r.x[0] * -1.0;
  r.xm[1] = r.x[1];
  r.xm[2] = r.x[2] * -1.0;
  for (int a = 0; a < 3; ++a) {
    double* T = r.T[a];
    const double xa = r.x[a];
    T[0] = 1.0;
    if (in.degree >= 1) T[1] = xa;
    for (int k = 2; k <= in.degree; ++k) T[k] = (T[k - 1] * (xa + xa)) - T[k - 2];
  }
}

// Squared-exponential kernel values of training point j at the mapped point
// (k) and at the mirrored point (km); the squared distance is a short sum
// started from +0.0.
// The mirror leaves coordinate 1 unchanged (xm[1] is x[1]), so its distance
// and square are the direct ones, bit for bit, and are formed once.
KOKKOS_FORCEINLINE_FUNCTION void rbf_pair(const MapInputs& in, const MapRow& r, int32_t j,
                                          double& k, double& km) {
  const double u0 = in.U(j, 0), u1 = in.U(j, 1), u2 = in.U(j, 2);
  const double l0 = in.ls(0), l1 = in.ls(1), l2 = in.ls(2);
  const double d0 = (r.x[0] - u0) / l0;
  const double dm0 = (r.xm[0] - u0) / l0;
  const double d1 = (r.x[1] - u1) / l1;
  const double d2 = (r.x[2] - u2) / l2;
  const double dm2 = (r.xm[2] - u2) / l2;
  const double q1 = d1 * d1;
  const double s = ((0.0 + d0 * d0) + q1) + d2 * d2;
  const double sm = ((0.0 + dm0 * dm0) + q1) + dm2 * dm2;
  k = std::exp(s * -0.5);
  km = std::exp(sm * -0.5);
}

// A row's scalars that enter the lane operations, each in every lane of a
// vector: formed once per row, they are read from memory inside the loop over
// the training points (whose exponential calls leave no vector register
// live), instead of being broadcast again for every eight points.
struct RowLanes {
  lanes8d x[3];
  lanes8d xm[3];
  lanes8d ls[3];
};

RR_INLINE void row_lanes(const MapInputs& in, const MapRow& r, RowLanes& rl) {
  for (int a = 0; a < 3; ++a) {
    for (int l = 0; l < 8; ++l) {
      rl.x[a][l] = r.x[a];
      rl.xm[a][l] = r.xm[a];
      rl.ls[a][l] = in.ls(a);
    }
  }
}

// The same for training points j ... j + 7 as the lanes of vectors: the
// divisions and products lane by lane, the exponentials one C-library call per
// value.  u0, u1, u2 are the points' coordinates.
RR_INLINE void rbf_pair8(const RowLanes& rl, const lanes8d& u0, const lanes8d& u1,
                                      const lanes8d& u2, lanes8d& k, lanes8d& km) {
  const lanes8d d0 = (rl.x[0] - u0) / rl.ls[0];
  const lanes8d dm0 = (rl.xm[0] - u0) / rl.ls[0];
  const lanes8d d1 = (rl.x[1] - u1) / rl.ls[1];
  const lanes8d d2 = (rl.x[2] - u2) / rl.ls[2];
  const lanes8d dm2 = (rl.xm[2] - u2) / rl.ls[2];
  const lanes8d q1 = d1 * d1;
  const lanes8d hs = (((0.0 + d0 * d0) + q1) + d2 * d2) * -0.5;
  const lanes8d hsm = (((0.0 + dm0 * dm0) + q1) + dm2 * dm2) * -0.5;
  for (int l = 0; l < 8; ++l) {
    k[l] = std::exp(hs[l]);
    km[l] = std::exp(hsm[l]);
  }
}

// Coordinates of training points j ... j + 7 and their weights.
RR_INLINE void train8(const MapInputs& in, int32_t j, lanes8d& u0, lanes8d& u1,
                                   lanes8d& u2, lanes8d& a) {
  for (int l = 0; l < 8; ++l) {
    u0[l] = in.U(j + l, 0);
    u1[l] = in.U(j + l, 1);
    u2[l] = in.U(j + l, 2);
    a[l] = in.alpha(j + l);
  }
}

RR_INLINE double scalar_map_row(const MapInputs& in, const int32_t b) {
  MapRow r;
  map_row(in, b, r);
  RowLanes rl;
  row_lanes(in, r, rl);
  const double tr = pairwise_sum(
      [&](int64_t ii) RR_INLINE_LAMBDA {
        const int32_t i = static_cast<int32_t>(ii);
        return ((r.T[0][in.terms(i, 0)] * r.T[1][in.terms(i, 1)]) * r.T[2][in.terms(i, 2)]) *
               in.trend(i);
      },
      in.n_terms);
  const double gp = pairwise_sum_lanes(
      [&](int64_t jj) RR_INLINE_LAMBDA {
        lanes8d u0, u1, u2, a, k, km;
        train8(in, static_cast<int32_t>(jj), u0, u1, u2, a);
        rbf_pair8(rl, u0, u1, u2, k, km);
        return ((k + km) * 0.5) * a;
      },
      [&](int64_t jj) RR_INLINE_LAMBDA {
        const int32_t j = static_cast<int32_t>(jj);
        double k, km;
        rbf_pair(in, r, j, k, km);
        return ((k + km) * 0.5) * in.alpha(j);
      },
      in.n_train);
  return gp + tr;
}

// The gradient kernel takes its four trend sums in one pass over the terms
// and its four kernel sums (value and three derivatives) in one pass over the
// training points.  Each component of a SumVec is added in exactly the order
// of a separate pairwise sum, so the bits are those of eight separate sums;
// the pass merely evaluates each training point's two exponentials once
// instead of four times.
RR_INLINE void scalar_map_grad_row(const MapInputs& in, const int32_t b,
                                                double* out) {
  MapRow r;
  map_row(in, b, r);

  // Derivative tables: D[k] = k U_(k-1), with U the Chebyshev polynomials of
  // the second kind.
  double D[3][kMaxDegree + 1];
  for (int a = 0; a < 3; ++a) {
    const double xa = r.x[a];
    D[a][0] = 0.0;
    if (in.degree >= 1) {
      double V[kMaxDegree + 1];
      V[0] = 1.0;
      if (in.degree >= 2) V[1] = xa + xa;
      for (int k = 2; k <= in.degree - 1; ++k) V[k] = (V[k - 1] * (xa + xa)) - V[k - 2];
      for (int k = 1; k <= in.degree; ++k) D[a][k] = static_cast<double>(k) * V[k - 1];
    }
  }

  const SumVec<4> trs = pairwise_sum(
      [&](int64_t ii) RR_INLINE_LAMBDA {
        const int32_t i = static_cast<int32_t>(ii);
        const int32_t t0 = in.terms(i, 0), t1 = in.terms(i, 1), t2 = in.terms(i, 2);
        const double c = in.trend(i);
        SumVec<4> v;
        v.v[0] = ((r.T[0][t0] * r.T[1][t1]) * r.T[2][t2]) * c;
        v.v[1] = ((D[0][t0] * r.T[1][t1]) * r.T[2][t2]) * c;
        v.v[2] = ((r.T[0][t0] * D[1][t1]) * r.T[2][t2]) * c;
        v.v[3] = ((r.T[0][t0] * r.T[1][t1]) * D[2][t2]) * c;
        return v;
      },
      in.n_terms);

  const double sigma[3] = {-1.0, 1.0, -1.0};
  double lam[3];
  for (int p = 0; p < 3; ++p) lam[p] = in.ls(p) * in.ls(p);
  RowLanes rl;
  row_lanes(in, r, rl);
  lanes8d lam8[3];
  for (int p = 0; p < 3; ++p)
    for (int l = 0; l < 8; ++l) lam8[p][l] = lam[p];

  const SumVec<4> kgs = pairwise_sum_lanes(
      [&](int64_t jj) RR_INLINE_LAMBDA {
        lanes8d u[3], a, k, km;
        train8(in, static_cast<int32_t>(jj), u[0], u[1], u[2], a);
        rbf_pair8(rl, u[0], u[1], u[2], k, km);
        LaneSums<4> v;
        v.v[0] = ((k + km) * 0.5) * a;
        for (int p = 0; p < 3; ++p) {
          // For p = 1 the mirrored offset is the direct one (xm[1] is x[1]).
          const lanes8d e = (u[p] - rl.x[p]) / lam8[p];
          const lanes8d em = (p == 1) ? e : (u[p] - rl.xm[p]) / lam8[p];
          v.v[1 + p] = (((((em * km) * sigma[p]) + (e * k)) * 0.5) * a);
        }
        return v;
      },
      [&](int64_t jj) RR_INLINE_LAMBDA {
        const int32_t j = static_cast<int32_t>(jj);
        double k, km;
        rbf_pair(in, r, j, k, km);
        const double a = in.alpha(j);
        SumVec<4> v;
        v.v[0] = ((k + km) * 0.5) * a;
        for (int p = 0; p < 3; ++p) {
          const double u = in.U(j, p);
          const double e = (u - r.x[p]) / lam[p];
          const double em = (p == 1) ? e : (u - r.xm[p]) / lam[p];
          v.v[1 + p] = (((((em * km) * sigma[p]) + (e * k)) * 0.5) * a);
        }
        return v;
      },
      in.n_train);

  const double y = kgs.v[0] + trs.v[0];
  const double g0 = kgs.v[1] + trs.v[1];
  const double g1 = kgs.v[2] + trs.v[2];
  const double g2 = kgs.v[3] + trs.v[3];
  out[0] = y;
  out[1] = g0 / in.L0;
  out[2] = ((g2 / in.A0) * 0.5) + (g1 / in.w);
  out[3] = (g1 / in.w) - ((g2 / in.A0) * 0.5);
}

// Rows run the widest vector variant of the processor (every variant gives
// the same bits).
struct ScalarMapKernel {
  MapInputs in;
  UView<double, 1> out;  // (B,)
  Isa isa;

  void operator()(const int32_t b) const {
    out(b) = variants::run<Isa::avx512, Isa::avx2, Isa::generic>(
        isa,
        []<Isa>(const MapInputs& m, int32_t row) RR_INLINE_LAMBDA { return scalar_map_row(m, row); },
        in, b);
  }
};

struct ScalarMapGradKernel {
  MapInputs in;
  UView<double, 2> out;  // (B, 4)
  Isa isa;

  void operator()(const int32_t b) const {
    double v[4];
    variants::run<Isa::avx512, Isa::avx2, Isa::generic>(
        isa,
        []<Isa>(const MapInputs& m, int32_t row, double* o)
            RR_INLINE_LAMBDA { scalar_map_grad_row(m, row, o); },
        in, b, v);
    for (int c = 0; c < 4; ++c) out(b, c) = v[c];
  }
};

struct MapSlots {
  const char* th;
  const char* terms;
  const char* trend;
  const char* alpha;
  const char* U;
  const char* ls;
  const char* out;
};
constexpr MapSlots kMapSlots{"smap_th", "smap_terms", "smap_trend", "smap_alpha",
                             "smap_U",  "smap_ls",    "smap_out"};
constexpr MapSlots kGradSlots{"smapg_th", "smapg_terms", "smapg_trend", "smapg_alpha",
                              "smapg_U",  "smapg_ls",    "smapg_out"};

struct MapSizes {
  int32_t B, n_terms, n_train;
};

// Argument checks shared by both maps, all before anything is staged or
// allocated.  The first six are the documented ones, in their order; the
// rest refuse input the kernels could otherwise read past the end of.
MapSizes check_map_args(const carray<double>& thetas, const carray<int32_t>& terms,
                        const carray<double>& trend, const carray<double>& alpha,
                        const carray<double>& U, const carray<double>& ls, int32_t degree,
                        int out_cols) {
  require(thetas.ndim() == 2 && thetas.shape(1) == 3,
          "thetas must be (B, 3) with log q in col 0");
  require(U.ndim() == 2 && U.shape(1) == 3, "U must be (n_train, 3)");
  require(static_cast<uint32_t>(degree) <= static_cast<uint32_t>(kMaxDegree),
          "degree must be 0..7");
  const py::ssize_t n_terms = extent(terms, 0);
  require(n_terms == extent(trend, 0), "trend/alpha do not match terms/U");
  require(extent(alpha, 0) == U.shape(0), "trend/alpha do not match terms/U");
  require(extent(ls, 0) == 3, "ls must be (3,)");

  // The term table is indexed as (n_terms, 3) and its entries address table
  // slots 0 .. degree; trend, alpha and ls must hold the values read from them.
  require(terms.ndim() == 2 && terms.shape(1) == 3, "terms must be (n_terms, 3)");
  require(trend.size() >= n_terms, "trend/alpha do not match terms/U");
  require(alpha.size() >= U.shape(0), "trend/alpha do not match terms/U");
  require(ls.size() >= 3, "ls must be (3,)");

  MapSizes sz;
  sz.B = fit_i32(thetas.shape(0), "thetas extent");
  sz.n_terms = fit_i32(n_terms, "terms extent");
  sz.n_train = fit_i32(U.shape(0), "U extent");
  flat_size_i32("thetas size", sz.B, 3);
  flat_size_i32("result size", sz.B, out_cols);
  flat_size_i32("terms size", sz.n_terms, 3);
  flat_size_i32("U size", sz.n_train, 3);

  // Entries may sit at any address (misaligned int32 buffers are legal input).
  const auto* raw = reinterpret_cast<const unsigned char*>(terms.data());
  for (int64_t e = 0; e < int64_t(sz.n_terms) * 3; ++e) {
    int32_t t;
    std::memcpy(&t, raw + e * int64_t(sizeof(int32_t)), sizeof(int32_t));
    if (t < 0 || t > degree) value_error("terms entries must be in 0..degree");
  }
  return sz;
}

MapInputs stage_map_inputs(WorkspacePool& pool, const MapSlots& slots, const MapSizes& sz,
                           const carray<double>& thetas, const carray<int32_t>& terms,
                           const carray<double>& trend, const carray<double>& alpha,
                           const carray<double>& U, const carray<double>& ls, double L0,
                           double chi_lo, double chi_hi, double A0, int32_t degree) {
  MapInputs in;
  in.thetas = stage_in(pool, slots.th, thetas.data(), sz.B, 3);
  in.terms = stage_in(pool, slots.terms, terms.data(), sz.n_terms, 3);
  in.trend = stage_in(pool, slots.trend, trend.data(), sz.n_terms);
  in.alpha = stage_in(pool, slots.alpha, alpha.data(), sz.n_train);
  in.U = stage_in(pool, slots.U, U.data(), sz.n_train, 3);
  in.ls = stage_in(pool, slots.ls, ls.data(), 3);
  in.L0 = L0;
  in.chi_lo = chi_lo;
  in.w = (chi_hi > chi_lo) ? (chi_hi - chi_lo) : 1.0;
  in.A0 = A0;
  in.degree = degree;
  in.n_terms = sz.n_terms;
  in.n_train = sz.n_train;
  return in;
}

template <class Space>
py::array_t<double> scalar_map(carray<double> thetas, carray<int32_t> terms, carray<double> trend,
                               carray<double> alpha, carray<double> U, carray<double> ls,
                               double L0, double chi_lo, double chi_hi, double A0,
                               int32_t degree) {
  const MapSizes sz = check_map_args(thetas, terms, trend, alpha, U, ls, degree, 1);
  require_kokkos();
  WorkspacePool& pool = thread_workspace();
  ScalarMapKernel kern;
  kern.in = stage_map_inputs(pool, kMapSlots, sz, thetas, terms, trend, alpha, U, ls, L0, chi_lo,
                             chi_hi, A0, degree);
  py::array_t<double> result = new_array<double>({sz.B});
  auto staged = stage_out(pool, kMapSlots.out, mutable_ptr(result), sz.B);
  kern.out = staged.target;
  kern.isa = detected_isa();
  Kokkos::parallel_for("swsph_scalar_map", RowPolicy<Space>(0, sz.B), kern);
  Space().fence();
  staged.copy_back();
  return result;
}

template <class Space>
py::array_t<double> scalar_map_grad(carray<double> thetas, carray<int32_t> terms,
                                    carray<double> trend, carray<double> alpha, carray<double> U,
                                    carray<double> ls, double L0, double chi_lo, double chi_hi,
                                    double A0, int32_t degree) {
  const MapSizes sz = check_map_args(thetas, terms, trend, alpha, U, ls, degree, 4);
  require_kokkos();
  WorkspacePool& pool = thread_workspace();
  ScalarMapGradKernel kern;
  kern.in = stage_map_inputs(pool, kGradSlots, sz, thetas, terms, trend, alpha, U, ls, L0, chi_lo,
                             chi_hi, A0, degree);
  py::array_t<double> result = new_array<double>({sz.B, py::ssize_t(4)});
  auto staged = stage_out(pool, kGradSlots.out, mutable_ptr(result), sz.B, 4);
  kern.out = staged.target;
  kern.isa = detected_isa();
  Kokkos::parallel_for("swsph_scalar_map_grad", RowPolicy<Space>(0, sz.B), kern);
  Space().fence();
  staged.copy_back();
  return result;
}

// ======================================================================
// Rewind rates and mixing tensors
// ======================================================================

constexpr const char* kExtrasDoc =
    "enable_swsph's NumPy body: (B, P) re-wind rates and the padded (B, nblk, nlmax, nlmax) "
    "mixing tensor from ~175 np.interp calls reduced to one dispatch. Bitwise: np.interp "
    "verbatim, the rate cast on store, and explicit +0.0 padding.";

// interp_at at one x whose interval j on the grid is known, with what depends
// on x and the grid alone (the answering node of the end and on-node cases,
// the offset from node j and the node spacing) formed once for every table
// row read there.  The values and the order of operations are interp_at's.
struct InterpAtX {
  const double* xp;
  double x, dx, dg;
  int32_t j;
  int32_t node;  // >= 0: the result is that node's table value

  KOKKOS_FORCEINLINE_FUNCTION InterpAtX(double x_, const double* xp_, int32_t n, int32_t j_)
      : xp(xp_), x(x_), dx(0.0), dg(1.0), j(j_), node(-1) {
    if (j == -1)
      node = 0;
    else if (j == n || j == n - 1)
      node = n - 1;
    else if (xp[j] == x)
      node = j;
    else {
      dx = x - xp[j];
      dg = xp[j + 1] - xp[j];
    }
  }

  KOKKOS_FORCEINLINE_FUNCTION double at(const double* fp) const {
    if (node >= 0) return fp[node];
    const double slope = (fp[j + 1] - fp[j]) / dg;
    double f = dx * slope + fp[j];
    if (std::isnan(f)) {
      f = (x - xp[j + 1]) * slope + fp[j + 1];
      if (std::isnan(f) && fp[j] == fp[j + 1]) f = fp[j];
    }
    return f;
  }
};

// Both kernels take one batch row per work item: the row's spin is located on
// the grid once and every table row of the item is interpolated there
// (interp_row's search depends on the spin and the grid only).
template <class R>
struct RatesKernel {
  UView<R, 2> rates;  // (B, P)
  UView<const int32_t, 1> is_mode;
  UView<const double, 1> chi_f;
  UView<const double, 1> chi_grid;
  UView<const double, 2> wtab;  // (P, G)
  int32_t G;
  double s_rot;
  UView<const double, 1> M_f;
  int64_t P;

  KOKKOS_FORCEINLINE_FUNCTION void operator()(const int64_t b) const {
    const double x = chi_f(b);
    const bool nan = std::isnan(x);
    const InterpAtX at(x, chi_grid.data(), G, nan ? 0 : interp_search(x, chi_grid.data(), G));
    const double m = M_f(b);
    for (int64_t p = 0; p < P; ++p) {
      if (is_mode(p) == 0) {
        rates(b, p) = R(0);
        continue;
      }
      const double v = nan ? x : at.at(wtab.data() + p * int64_t(G));
      rates(b, p) = static_cast<R>((v * s_rot) / m);
    }
  }
};

template <class R>
struct MixingKernel {
  int64_t nlmax;
  int64_t nblk;
  UView<const int32_t, 1> kvalid;
  UView<R, 4> mix;  // (B, nblk, nlmax, 2 nlmax): real part at 2j, imaginary at 2j + 1
  int32_t G;
  UView<const double, 1> chi_f;
  UView<const double, 1> chi_grid;
  UView<const double, 4> ctab_re;  // (nblk, nlmax, nlmax, G)
  UView<const double, 4> ctab_im;

  KOKKOS_FORCEINLINE_FUNCTION void operator()(const int64_t b) const {
    const double x = chi_f(b);
    const bool nan = std::isnan(x);
    const InterpAtX at(x, chi_grid.data(), G, nan ? 0 : interp_search(x, chi_grid.data(), G));
    for (int64_t k = 0; k < nblk; ++k) {
      const int64_t kv = static_cast<int64_t>(kvalid(k));
      for (int64_t i = 0; i < nlmax; ++i) {
        for (int64_t j = 0; j < nlmax; ++j) {
          if (i < kv && j < kv) {
            const int64_t off = ((k * nlmax + i) * nlmax + j) * int64_t(G);
            const double re = nan ? x : at.at(ctab_re.data() + off);
            mix(b, k, i, 2 * j) = static_cast<R>(re);
            const double im = nan ? x : at.at(ctab_im.data() + off);
            mix(b, k, i, 2 * j + 1) = static_cast<R>(im);
          } else {
            mix(b, k, i, 2 * j) = R(0);
            mix(b, k, i, 2 * j + 1) = R(0);
          }
        }
      }
    }
  }
};

template <class Space, class R>
py::tuple swsph_extras(carray<double> chi_grid, carray<double> wtab, carray<int32_t> is_mode,
                       carray<double> ctab_re, carray<double> ctab_im, carray<int32_t> kvalid,
                       carray<double> chi_f, carray<double> M_f, double s_rot) {
  // Documented checks, in order.
  const py::ssize_t G_ext = extent(chi_grid, 0);
  require(G_ext >= 2, "chi grid needs >= 2 nodes");
  require(wtab.ndim() == 2 && wtab.shape(1) == G_ext, "wtab must be (P, G)");
  const py::ssize_t P = wtab.shape(0);
  require(ctab_re.ndim() == 4 && ctab_re.shape(3) == G_ext,
          "ctab must be (nblk, nlmax, nlmax, G)");
  const py::ssize_t nblk = ctab_re.shape(0);
  const py::ssize_t nlmax = ctab_re.shape(1);
  constexpr const char* kMatch = "ctab_re and ctab_im must match";
  require(ctab_re.shape(2) == nlmax, kMatch);
  require(extent(ctab_im, 0) == nblk, kMatch);
  require(extent(ctab_im, 1) == nlmax, kMatch);
  require(extent(ctab_im, 2) == nlmax, kMatch);
  require(extent(ctab_im, 3) == G_ext, kMatch);
  require(extent(kvalid, 0) == nblk, "kvalid must be (nblk,)");
  const py::ssize_t B = extent(chi_f, 0);
  require(B == extent(M_f, 0), "chi_f and M_f must have the same length");

  // Every array must hold the values the kernels read: is_mode one flag per
  // piece, and no array short of its checked extents (an extra axis of
  // length 0 leaves none).
  require(is_mode.ndim() >= 1 && is_mode.shape(0) == P && is_mode.size() >= P,
          "is_mode must be (P,)");
  require(chi_grid.size() >= G_ext, "chi_grid must be (G,)");
  require(kvalid.size() >= nblk, "kvalid must be (nblk,)");
  require(chi_f.size() >= B, "chi_f must be (B,)");
  require(M_f.size() >= B, "M_f must be (B,)");

  // 32-bit extents and element counts.
  const int32_t G = fit_i32(G_ext, "chi_grid extent");
  flat_size_i32("wtab size", P, G);
  const int32_t n_ctab = flat_size_i32("ctab size", nblk, nlmax, nlmax, G);
  require(ctab_im.size() >= n_ctab, kMatch);
  flat_size_i32("rates size", B, P);
  flat_size_i32("mixing size", B, nblk, nlmax, nlmax, 2);
  require_kokkos();

  WorkspacePool& pool = thread_workspace();
  const auto grid_v = stage_in(pool, "ex_chigrid", chi_grid.data(), G);
  const auto wtab_v = stage_in(pool, "ex_wtab", wtab.data(), P, G);
  const auto mode_v = stage_in(pool, "ex_ismode", is_mode.data(), P);
  const auto re_v = stage_in(pool, "ex_ctabre", ctab_re.data(), nblk, nlmax, nlmax, G);
  const auto im_v = stage_in(pool, "ex_ctabim", ctab_im.data(), nblk, nlmax, nlmax, G);
  const auto kv_v = stage_in(pool, "ex_kvalid", kvalid.data(), nblk);
  const auto chif_v = stage_in(pool, "ex_chif", chi_f.data(), B);
  const auto mf_v = stage_in(pool, "ex_Mf", M_f.data(), B);

  py::array_t<R> rates = new_array<R>({B, P});
  py::array_t<std::complex<R>> mixing = new_array<std::complex<R>>({B, nblk, nlmax, nlmax});
  auto rates_out = stage_out(pool, "ex_rate", mutable_ptr(rates), B, P);
  auto mix_out = stage_out_aligned(pool, "ex_mats", reinterpret_cast<R*>(mutable_ptr(mixing)),
                                   sizeof(R), B, nblk, nlmax, 2 * nlmax);

  using RowRange = Kokkos::RangePolicy<Space, Kokkos::IndexType<int64_t>>;
  RatesKernel<R> rk{rates_out.target, mode_v, chif_v, grid_v, wtab_v, G, s_rot, mf_v, int64_t(P)};
  Kokkos::parallel_for("swsph_rates", RowRange(0, int64_t(B)), rk);

  MixingKernel<R> mk{int64_t(nlmax), int64_t(nblk), kv_v, mix_out.target, G, chif_v, grid_v, re_v, im_v};
  Kokkos::parallel_for("swsph_mixing", RowRange(0, int64_t(B)), mk);
  Space().fence();

  rates_out.copy_back();
  mix_out.copy_back();
  return py::make_tuple(rates, mixing);
}

template <class Space, class R>
void def_extras(py::module_& m, const char* name) {
  py::options opts;
  opts.disable_function_signatures();
  m.def(name, &swsph_extras<Space, R>, kExtrasDoc, py::arg("chi_grid"), py::arg("wtab"),
        py::arg("is_mode"), py::arg("ctab_re"), py::arg("ctab_im"), py::arg("kvalid"),
        py::arg("chi_f"), py::arg("M_f"), py::arg("s_rot"));
}

}  // namespace

// __doc__ is the docstring alone (no generated signature line), so that the
// _serial twins carry exactly the docstring of their default-space names.
template <class Space>
void def_swsph_scalar_map(py::module_& m, const char* name) {
  py::options opts;
  opts.disable_function_signatures();
  m.def(name, &scalar_map<Space>, kScalarMapDoc, py::arg("thetas"), py::arg("terms"),
        py::arg("trend"), py::arg("alpha"), py::arg("U"), py::arg("ls"), py::arg("L0"),
        py::arg("chi_lo"), py::arg("chi_hi"), py::arg("A0"), py::arg("degree"));
}

template <class Space>
void def_swsph_scalar_map_grad(py::module_& m, const char* name) {
  py::options opts;
  opts.disable_function_signatures();
  m.def(name, &scalar_map_grad<Space>, kScalarMapGradDoc, py::arg("thetas"), py::arg("terms"),
        py::arg("trend"), py::arg("alpha"), py::arg("U"), py::arg("ls"), py::arg("L0"),
        py::arg("chi_lo"), py::arg("chi_hi"), py::arg("A0"), py::arg("degree"));
}

template <class Space>
void def_swsph_extras64(py::module_& m, const char* name) {
  def_extras<Space, double>(m, name);
}

template <class Space>
void def_swsph_extras32(py::module_& m, const char* name) {
  def_extras<Space, float>(m, name);
}

#define RADIREDIDE_INSTANTIATE(fn)                                                    \
  template void fn<Kokkos::DefaultExecutionSpace>(py::module_&, const char*);       \
  template void fn<Kokkos::Serial>(py::module_&, const char*);
RADIREDIDE_INSTANTIATE(def_swsph_scalar_map)
RADIREDIDE_INSTANTIATE(def_swsph_scalar_map_grad)
RADIREDIDE_INSTANTIATE(def_swsph_extras64)
RADIREDIDE_INSTANTIATE(def_swsph_extras32)
#undef RADIREDIDE_INSTANTIATE

}  // namespace radiredide
