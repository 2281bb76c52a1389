// The extension-pack row builder and the launch-or-loop wrappers of its three
// inner loops.
#include "pack/pack_row.hpp"

#include <Kokkos_Core.hpp>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <vector>

#include "common/chebyshev.hpp"
#include "common/lanes.hpp"
#include "pack/pack_numerics.hpp"
#include "pack/pn4.hpp"

namespace radiredide {
namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 6.283185307179586;
constexpr double kTwoThirds = 0.6666666666666666;
constexpr double kOneThird = 0.3333333333333333;
constexpr int32_t kRollSamples = 256;
constexpr int32_t kPowerlawSamples = 64;
constexpr int32_t kPowerlawMinPoints = 32;

// a * b elements of `elem` bytes each, or bad_alloc when that cannot be a
// buffer size.
size_t checked_count(int64_t a, int64_t b, size_t elem) {
  int64_t n;
  if (a < 0 || b < 0 || __builtin_mul_overflow(a, b, &n) ||
      static_cast<uint64_t>(n) > static_cast<uint64_t>(PTRDIFF_MAX) / elem)
    throw std::bad_alloc();
  return static_cast<size_t>(n);
}

// Run f(i) for i in [0, n): a labelled Kokkos launch on the default execution
// space, or f.run_all(n), the items in ascending order on the calling thread
// (which may share work between neighbouring items, never changing a value).
template <class F>
void launch_or_loop(bool use_kernels, const char* label, int32_t n, const F& f) {
  if (use_kernels) {
    Kokkos::parallel_for(label, Kokkos::RangePolicy<Kokkos::DefaultExecutionSpace>(0, n), f);
    Kokkos::DefaultExecutionSpace().fence();
  } else {
    f.run_all(n);
  }
}

// Model-to-PN ratio (a + ib)/(c + id) with NaN for a NaN or vanishing
// denominator.
inline void complex_divide(double a, double b, double c, double d, double* re, double* im) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  if (c != c || d != d) {
    *re = *im = nan;
    return;
  }
  if (std::fabs(c) > std::fabs(d)) {
    const double r = d / c;
    const double den = r * d + c;
    if (den != den || den == 0.0) {
      *re = *im = nan;
      return;
    }
    *re = (r * b + a) / den;
    *im = (b - r * a) / den;
    return;
  }
  if (d == 0.0) {
    *re = a / c;
    *im = b / c;
    return;
  }
  const double r = c / d;
  const double den = r * c + d;
  if (den != den || den == 0.0) {
    *re = *im = nan;
    return;
  }
  *re = (r * a + b) / den;
  *im = (r * b - a) / den;
}

// ---------------------------------------------------------------- items

// The time values of knots i0 .. i0 + width<V> - 1 above the edge, all in
// element e of the time fit, one knot per lane: each lane takes exactly
// clenshaw_real's steps (the pack form for O >= 3, stride 2) at its own u.
template <class V>
RR_INLINE void time_above_lanes(const double* phi, const PackFit& f, int32_t e, int32_t i0,
                                      double* t) {
  const V x = RR_LANES_LOAD(V, phi + i0);
  const double b0 = f.breaks[e];
  const double w = f.breaks[e + 1] - b0;
  const V d = x - b0;
  const V u = (d + d) / w - 1.0;
  V s[1];
  cheb::pack_long<1>(f.O, cheb::strided(f.coefs + 2 * static_cast<int64_t>(e) * f.O, 2), u, s);
  lanes::store(t + i0, s[0]);
}

// "pack_time_map", knot i.
struct PackTimeMapItem {
  const double* phi_knots;
  double* t_knots;
  int32_t i_edge;
  const double* pn_phase;  // knots of S_t
  const double* S_t;
  int32_t n_int;
  double dt_edge;
  PackFit tau;

  // Knot i; `hint` carries the interval search from the previous knot.
  KOKKOS_INLINE_FUNCTION void run(int32_t i, int32_t& hint) const {
    const double x = phi_knots[i];
    if (i < i_edge)
      t_knots[i] = spline_eval_from(pn_phase, S_t, n_int, x, hint) + dt_edge;
    else
      t_knots[i] = chebyshev_fit_eval(tau, x);
  }
  KOKKOS_INLINE_FUNCTION void operator()(int32_t i) const {
    int32_t hint = -1;
    run(i, hint);
  }
  // Below the edge one by one; above it, knots that share an element of the
  // time fit go through the lanes together, a group that straddles an
  // element boundary and the tail one by one.
  void run_all(int32_t n) const {
    int32_t hint = -1;
    const int32_t below = i_edge < n ? i_edge : n;
    int32_t i = 0;
    for (; i < below; ++i) run(i, hint);
    if (tau.O >= 3) {
      const Isa isa = detected_isa();
      const int width = lanes::width_at<double>(isa);
      int32_t eh = -1;  // element search carried from knot to knot
      for (; i + width <= n; i += width) {
        const int32_t e = shared_element(tau.breaks, tau.E, phi_knots + i, width, eh);
        if (e >= 0)
          variants::run<Isa::avx512, Isa::avx2, Isa::generic>(
              isa,
              []<Isa I>(const double* phi, const PackFit& f, int32_t el, int32_t i0, double* t)
                  RR_INLINE_LAMBDA { time_above_lanes<lanes::vec_t<double, I>>(phi, f, el, i0, t); },
              phi_knots, tau, e, i, t_knots);
        else
          for (int l = 0; l < width; ++l) run(i + l, hint);
      }
    }
    for (; i < n; ++i) run(i, hint);
  }
};

// The K content values of knots i0 .. i0 + width<V> - 1 above the edge, all in
// element e, one knot per lane: each lane takes exactly clenshaw_pair's steps
// (the pack form for O >= 3) at its own u, with the element's coefficients
// shared by all lanes.
template <class V>
RR_INLINE void content_above_lanes(const double* phi, const double* breaks, int32_t e,
                                         const double* mode_coefs, int32_t E, int32_t O,
                                         int32_t K, int32_t C, int32_t i0, double* content) {
  const V x = RR_LANES_LOAD(V, phi + i0);
  const double b0 = breaks[e];
  const double w = breaks[e + 1] - b0;
  const V d = x - b0;
  const V u = (d + d) / w - 1.0;
  for (int32_t k = 0; k < K; ++k) {
    const double* c = mode_coefs + 2 * (static_cast<int64_t>(k) * E + e) * O;
    V s[2];
    cheb::pack_long<2>(O, cheb::interleaved(c), u, s);
    lanes::store_pairs(content + 2 * (static_cast<int64_t>(k) * C + i0), s[0], s[1]);
  }
}

// content_above_lanes at tier I.
struct ContentAbove {
  template <Isa I>
  RR_INLINE void operator()(const double* phi, const double* breaks, int32_t e,
                            const double* mode_coefs, int32_t E, int32_t O, int32_t K, int32_t C,
                            int32_t i0, double* content) const {
    content_above_lanes<lanes::vec_t<double, I>>(phi, breaks, e, mode_coefs, E, O, K, C, i0,
                                                 content);
  }
};

// "pack_mode_content", knot i: the K content values of the knot.
struct PackModeContentItem {
  const double* phi_knots;
  int32_t i_edge;
  int32_t C;
  int32_t K;
  const double* pn_phase;  // knots of S_x
  const double* S_x;
  int32_t n_int;
  double phi_edge;
  double roll_width;
  double v_edge;
  const double* weight_table;
  const double* cos_m;
  const double* sin_m;
  const int32_t* widx;
  const double* p_exp;
  const double* R_edge;  // K interleaved
  const unsigned char* no_pn;
  const double* breaks;
  const double* mode_coefs;  // (K, E, O) interleaved
  int32_t E;
  int32_t O;
  double* content;  // (K, C) interleaved

  // Knot i; `hint` carries the interval search from the previous knot.  Above
  // the edge every mode's fit is evaluated on the same element at the same u.
  KOKKOS_INLINE_FUNCTION void run(int32_t i, int32_t& hint) const {
    const double phi = phi_knots[i];
    if (i >= i_edge) {
      const int32_t e = pack_element(breaks, E, phi);
      const double u = O == 1 ? 0.0 : pack_local_u(breaks, e, phi);
      for (int32_t k = 0; k < K; ++k) {
        const double* c = mode_coefs + 2 * (static_cast<int64_t>(k) * E + e) * O;
        double* out = content + 2 * (static_cast<int64_t>(k) * C + i);
        clenshaw_pair(u, c, O, out, out + 1);
      }
      return;
    }
    double v, w_roll;
    arm_sample(i, hint, v, w_roll);
    double wre[kModeSlots], wim[kModeSlots];
    mode_weights(v, weight_table, wre, wim);
    arm_content(i, v, w_roll, wre, wim);
  }

  // Below the edge: v and the raised-cosine roll weight of knot i.
  KOKKOS_INLINE_FUNCTION void arm_sample(int32_t i, int32_t& hint, double& v,
                                         double& w_roll) const {
    const double phi = phi_knots[i];
    double xs = spline_eval_from(pn_phase, S_x, n_int, phi, hint);
    if (1e-10 > xs) xs = 1e-10;
    v = std::sqrt(xs);
    double a = (phi - (phi_edge - roll_width)) / roll_width;
    if (0.0 > a) a = 0.0;
    if (1.0 < a) a = 1.0;
    w_roll = (1.0 - std::cos(a * kPi)) * 0.5;
  }

  // Below the edge: the K content values of knot i from its eight weights.
  KOKKOS_INLINE_FUNCTION void arm_content(int32_t i, double v, double w_roll, const double* wre,
                                          const double* wim) const {
    for (int32_t k = 0; k < K; ++k) {
      double* out = content + 2 * (static_cast<int64_t>(k) * C + i);
      if (no_pn[k]) {
        out[0] = 0.0;
        out[1] = 0.0;
        continue;
      }
      const double cs = cos_m[k], sn = sin_m[k];
      const double wr = wre[widx[k]], wi = wim[widx[k]];
      double B;
      if (p_exp[k] > 0.0) {
        double r = v / v_edge;
        if (0.0 > r) r = 0.0;
        if (1.0 < r) r = 1.0;
        B = std::pow(r, p_exp[k]);
      } else {
        B = w_roll;
      }
      const double Cr = (R_edge[2 * k] - 1.0) * B + 1.0;
      const double Ci = B * R_edge[2 * k + 1];
      const double Er = Cr * wr - Ci * wi;
      const double Fi = Cr * wi + Ci * wr;
      out[0] = Er * cs - Fi * sn;
      out[1] = Fi * cs + Er * sn;
    }
  }

  KOKKOS_INLINE_FUNCTION void operator()(int32_t i) const {
    int32_t hint = -1;
    run(i, hint);
  }
  // In order; below the edge a group of knots (one per lane, as many as the
  // processor's vectors hold) takes its weights and content together.
  void run_all(int32_t n) const;
};

// The K content values of knots i0 .. i0 + width<V> - 1 below the edge, one
// knot per lane, from their v and roll weights: the eight weights of all lanes
// at once, then for each mode exactly arm_content's operations lane by lane.
template <class V>
RR_INLINE void arm_content_lanes(const PackModeContentItem& it, int32_t i0,
                                       const double* v, const double* w_roll) {
  constexpr int W = lanes::width<V>;
  double wre[kModeSlots * W], wim[kModeSlots * W];  // slot s, lane l at s * W + l
  pn4::eval_weights<false, W>(v, it.weight_table, wre, wim);
  const V roll = RR_LANES_LOAD(V, w_roll);
  for (int32_t k = 0; k < it.K; ++k) {
    double* out = it.content + 2 * (static_cast<int64_t>(k) * it.C + i0);
    if (it.no_pn[k]) {
      for (int l = 0; l < W; ++l) {
        out[2 * l] = 0.0;
        out[2 * l + 1] = 0.0;
      }
      continue;
    }
    const double cs = it.cos_m[k], sn = it.sin_m[k];
    const V wr = RR_LANES_LOAD(V, wre + it.widx[k] * W);
    const V wi = RR_LANES_LOAD(V, wim + it.widx[k] * W);
    V B;
    if (it.p_exp[k] > 0.0) {
      for (int l = 0; l < W; ++l) {
        double r = v[l] / it.v_edge;
        if (0.0 > r) r = 0.0;
        if (1.0 < r) r = 1.0;
        B[l] = std::pow(r, it.p_exp[k]);
      }
    } else {
      B = roll;
    }
    const V Cr = (it.R_edge[2 * k] - 1.0) * B + 1.0;
    const V Ci = B * it.R_edge[2 * k + 1];
    const V Er = Cr * wr - Ci * wi;
    const V Fi = Cr * wi + Ci * wr;
    lanes::store_pairs(out, Er * cs - Fi * sn, Fi * cs + Er * sn);
  }
}

constexpr int kArmLanesMax = 8;


void PackModeContentItem::run_all(int32_t n) const {
  const Isa isa = detected_isa();
  int32_t hint = -1;
  const int32_t arm = i_edge < n ? i_edge : n;
  int32_t i = 0;
  {
    const int width = lanes::width_at<double>(isa);
    for (; i + width <= arm; i += width) {
      double v[kArmLanesMax], w_roll[kArmLanesMax];
      for (int l = 0; l < width; ++l) arm_sample(i + l, hint, v[l], w_roll[l]);
      variants::run<Isa::avx512, Isa::avx2, Isa::generic>(
          isa,
          []<Isa I>(const PackModeContentItem& it, int32_t i0, const double* vs, const double* wr)
              RR_INLINE_LAMBDA { arm_content_lanes<lanes::vec_t<double, I>>(it, i0, vs, wr); },
          *this, i, v, w_roll);
    }
  }
  for (; i < arm; ++i) run(i, hint);
  // Above the edge: knots that share an element go through the lanes
  // together; a group that straddles an element boundary, and the tail, go
  // one by one.
  if (O >= 3) {
    const int width = lanes::width_at<double>(isa);
    int32_t eh = -1;  // element search carried from knot to knot
    for (; i + width <= n; i += width) {
      const int32_t e = shared_element(breaks, E, phi_knots + i, width, eh);
      if (e >= 0)
        variants::run<Isa::avx512, Isa::avx2, Isa::generic>(
            isa, ContentAbove{}, phi_knots, breaks, e, mode_coefs, E, O, K, C, i, content);
      else
        for (int l = 0; l < width; ++l) run(i + l, hint);
    }
  }
  for (; i < n; ++i) run(i, hint);
}

// "pack_mode_splines", mode k: real and imaginary splines of its content over
// the phase knots, whose knot part is formed once for all modes.  An
// allocation failure is recorded for the mode (never thrown out of an item).
struct PackModeSplinesItem {
  const SplineKnots* knots;
  int32_t C;
  const double* content;  // (K, C) interleaved
  double* mode_c;         // (K, 4, C - 1) interleaved
  unsigned char* failed;  // K

  // Modes [k0, k1): each mode's real and imaginary series side by side.
  void fit(int32_t k0, int32_t k1) const {
    const int64_t nt = 4 * static_cast<int64_t>(C - 1);
    std::vector<const double*> y;
    std::vector<double*> out;
    for (int32_t k = k0; k < k1; ++k) {
      y.push_back(content + 2 * static_cast<int64_t>(k) * C);
      out.push_back(mode_c + 2 * static_cast<int64_t>(k) * nt);
    }
    spline_series_pairs(*knots, static_cast<int32_t>(y.size()), y.data(), 2, out.data(), 2);
  }
  void operator()(int32_t k) const {
    try {
      fit(k, k + 1);
    } catch (...) {
      failed[k] = 1;
    }
  }
  void run_all(int32_t K) const {
    try {
      fit(0, K);
    } catch (...) {
      for (int32_t k = 0; k < K; ++k) failed[k] = 1;
    }
  }
};

}  // namespace

const char* pack_failure_message(int32_t status) {
  switch (status) {
    case kPackBadFlow:
      return "f_low must be positive (cycles/M)";
    case kPackNoJRoot:
      return "J anchor has no root in the 4PN bracket";
    case kPackBadDtDx:
      return "PN dt/dx not positive on the requested x range; the 4PN flux is outside its "
             "trust region";
    case kPackNotMonotonic:
      return "hybrid time map is not monotonic; the PN arm and the model disagree too strongly "
             "at the edge";
    case kPackSplineRefused:
      return "spline_nak needs n >= 4";
    case kPackGridNotIncreasing:
      return "PN quadrature grid is not increasing; f_low lies at or above the PN anchor "
             "frequency";
    case kPackNoMemory:
      return "out of memory while building the extension pack";
    default:
      return "unknown extension-pack failure";
  }
}

int32_t quadrature_grid_size(double q, double /*chi1z*/, double /*chi2z*/, double x_grid_lo,
                             double x_grid_hi, int32_t n_x_max, double err_target) {
  const double x_lo = x_grid_lo, x_hi = x_grid_hi;
  const double Nc = (std::pow(x_lo, -2.5) - std::pow(x_hi, -2.5)) /
                    ((q / ((q + 1.0) * (q + 1.0))) * 100.53096491487338);
  const double nc1 = (1.0 > Nc) ? 1.0 : Nc;
  const double d = err_target / (std::pow(nc1, 0.77) * 4.4);
  const double h = std::sqrt(d);
  const double L = std::log(x_hi / x_lo);
  if (L > 0.0 && h > 0.0) {
    const double m = std::ceil(L / h) + 1.0;
    if (m > 0.0 && m < static_cast<double>(n_x_max)) {
      int32_t r = static_cast<int32_t>(m);
      if (r < 256) r = 256;
      if (r > n_x_max) r = n_x_max;
      return r;
    }
  }
  return n_x_max;
}

namespace {

// ---------------------------------------------------------------- row steps
//
// The steps of pack_one_row.  A step that can end the row returns its status
// (kPackBuilt to go on).

// What every step reads: the request, its time and J fits, the derivative of
// the time fit and the 4PN series of the row's parameter point, formed once.
struct RowFits {
  const PackRowRequest& req;
  const PackFit tau, Jfit;
  const pn4::OrbitSeries orbit;
  const double phi_start, phi_end, span, eps;
  const PackFitDerivative dtau_owned;
  const PackFitDerivativeView dtau;

  explicit RowFits(const PackRowRequest& r)
      : req(r),
        tau{r.breaks, r.tau_coefs, r.E, r.O},
        Jfit{r.breaks, r.J_coefs, r.E, r.O},
        orbit(r.q, r.chi1z, r.chi2z),
        phi_start(r.breaks[0]),
        phi_end(r.breaks[r.E]),
        span(phi_end - phi_start),
        eps(span * 1e-9),
        dtau_owned(derivative_fit(tau)),
        dtau(view_of(dtau_owned)) {}

  RR_INLINE PackFit mode_fit(int32_t k) const {
    return PackFit{req.breaks, req.mode_coefs + 2 * static_cast<int64_t>(k) * req.E * req.O,
                   req.E, req.O};
  }
};

// Where the PN arm starts and where it is pinned to the model.
struct RowAnchor {
  double omega_edge = 0, x_low = 0, roll_width = 0;
  double phi_anchor = 0, J_anchor = 0, x_anchor = 0, x_hi = 0;
};

// The x at which L(x) = J_anchor, by bisection of the sign of L(x) - J_anchor
// over the 4PN bracket [1e-4, 0.2]; false when the bracket holds no root.
bool j_anchor_root(const RowFits& f, double J_anchor, double& x_anchor) {
  auto g_le0 = [&](double x) { return f.orbit.angular_momentum(x) - J_anchor <= 0.0; };
  const bool s_lo = g_le0(1e-4);
  const bool s_hi = g_le0(0.2);
  if (s_lo == s_hi) return false;
  double lo = 1e-4, hi = 0.2;
  int32_t count = 0;
  while (hi - lo > hi * 1e-17 && count < 200) {
    const double mid = (hi + lo) * 0.5;
    if (g_le0(mid) == s_lo)
      lo = mid;
    else
      hi = mid;
    ++count;
  }
  x_anchor = (hi + lo) * 0.5;
  return true;
}

// Steps 1 to 4: the edge frequency (reported also for a row that goes no
// further), the low end, the reach test and the anchor.
int32_t find_anchor(const RowFits& f, ExtensionPackRow& row, RowAnchor& a) {
  const PackRowRequest& req = f.req;
  // 1. Edge frequency.
  a.omega_edge = 1.0 / derivative_fit_eval(f.dtau, f.eps + f.phi_start);
  row.f22_edge = a.omega_edge / kPi;

  // 2. Low end.
  const double c_low = kPi * req.f_low;
  if (c_low <= 0.0) return kPackBadFlow;
  a.x_low = std::pow(c_low, kTwoThirds);

  // 3. Reach test.
  const double J0 = chebyshev_fit_eval(f.Jfit, f.phi_start);
  if (f.orbit.angular_momentum(a.x_low) <= J0 * 1.000000000001) return kPackDeclined;
  if (f.orbit.energy_derivative(a.x_low) >= 0.0) return kPackDeclined;

  // 4. Anchor.
  const double a_span = f.span * 0.2;
  const double a_orb = req.anchor_orbits * kTwoPi;
  a.phi_anchor = ((a_span < a_orb) ? a_span : a_orb) + f.phi_start;
  a.roll_width = req.roll_orbits * kTwoPi;
  a.J_anchor = chebyshev_fit_eval(f.Jfit, a.phi_anchor);
  if (req.seam_anchor_omega) {
    a.x_anchor = std::pow(a.omega_edge, kTwoThirds);
    a.phi_anchor = f.phi_start;
    a.x_hi = a.x_anchor;
  } else {
    if (!j_anchor_root(f, a.J_anchor, a.x_anchor)) return kPackNoJRoot;
    const double xo = std::pow(a.omega_edge, kTwoThirds);
    a.x_hi = (xo > a.x_anchor) ? xo : a.x_anchor;
  }
  return kPackBuilt;
}

// The PN track on its quadrature grid, and its maps of phase.
// The integrands tx, px are read only by step 7, but live as long as the rest:
// a row builder that frees them early leaves holes among the row's later
// allocations, and the heap then keeps megabytes it cannot return.
struct PnTrack {
  int32_t n = 0;
  std::vector<double> grid, tx, px, t_pn, phi_pn;
  PackDoubles S_x, S_t;  // x and t of phase, (4, n - 1) each
  double Phi_start = 0, dt_edge = 0;
};

// Steps 5 and 6: the grid and the integrands dt/dx (tx) and dphi/dx (px).
int32_t pn_integrands(const RowFits& f, const RowAnchor& a, ExtensionPackRow& row, PnTrack& tr,
                      std::vector<double>& tx, std::vector<double>& px) {
  const PackRowRequest& req = f.req;
  // 5. PN grid.
  int32_t n = req.n_x;
  if (req.n_x_rule)
    n = quadrature_grid_size(req.q, req.chi1z, req.chi2z, a.x_low * 0.995, a.x_hi * 1.05, req.n_x,
                             req.n_x_err_target);
  row.n_x = static_cast<double>(n);
  tr.n = n;
  tr.grid = logspace(a.x_low * 0.995, a.x_hi * 1.05, n);
  const std::vector<double>& grid = tr.grid;

  // 6. PN integrands dt/dx and dphi/dx.
  const size_t nn = static_cast<size_t>(n);
  tx.resize(nn);
  px.resize(nn);
  for (int32_t j = 0; j < n; ++j) {
    double F, dE, x3_2;  // one set of powers of x serves F, dE/dx and x^(3/2)
    f.orbit.flux_energy(grid[j], &F, &dE, &x3_2);
    const double t = (-dE) / F;
    if (!(t > 0.0)) return kPackBadDtDx;
    tx[j] = t;
    px[j] = x3_2 * t;
  }
  // A grid that does not increase (its ends out of order) would give the
  // splines below unordered knots.
  for (int32_t j = 1; j < n; ++j)
    if (!(grid[j] > grid[j - 1])) return kPackGridNotIncreasing;
  return kPackBuilt;
}

// Step 7: PN time and phase, pinned to the model at the anchor.  Both
// integrands are fitted over the grid's knots at once, then each spline is
// integrated from the grid's start.
int32_t pn_time_phase(const RowFits& f, const RowAnchor& a, PnTrack& tr,
                      const std::vector<double>& tx, const std::vector<double>& px) {
  const int32_t n = tr.n;
  const std::vector<double>& grid = tr.grid;
  std::vector<double>& t_pn = tr.t_pn;
  std::vector<double>& phi_pn = tr.phi_pn;
  {
    SplineKnots kg;
    if (!spline_knots(grid.data(), n, kg)) return kPackSplineRefused;
    const int64_t nt = 4 * static_cast<int64_t>(n - 1);
    PackDoubles ct(static_cast<size_t>(nt)), cp(static_cast<size_t>(nt));
    const double* y[2] = {tx.data(), px.data()};
    double* tab[2] = {ct.data(), cp.data()};
    spline_series(kg, 2, y, 1, tab, 1);
    spline_running_integral(grid, ct, n, t_pn);
    spline_running_integral(grid, cp, n, phi_pn);
  }
  const double t_last = t_pn[n - 1];
  const double p_last = phi_pn[n - 1];
  for (int32_t j = 0; j < n; ++j) {
    t_pn[j] = t_pn[j] - t_last;
    phi_pn[j] = phi_pn[j] - p_last;
  }
  const double a_p = interp_linear_clamped(a.x_anchor, grid, phi_pn);
  const double a_t = interp_linear_clamped(a.x_anchor, grid, t_pn);
  const double tau_a = chebyshev_fit_eval(f.tau, a.phi_anchor);
  for (int32_t j = 0; j < n; ++j) {
    phi_pn[j] = (phi_pn[j] - a_p) + a.phi_anchor;
    t_pn[j] = (t_pn[j] - a_t) + tau_a;
  }
  for (int32_t j = 1; j < n; ++j)
    if (!(phi_pn[j] > phi_pn[j - 1])) return kPackGridNotIncreasing;
  return kPackBuilt;
}

// Step 8: PN maps of phase, the phase of the low end and the time offset of
// the PN arm at the model's first phase.
int32_t pn_phase_maps(const RowFits& f, const RowAnchor& a, PnTrack& tr) {
  const int32_t n = tr.n;
  {
    SplineKnots kp;
    if (!spline_knots(tr.phi_pn.data(), n, kp)) return kPackSplineRefused;
    tr.S_x.resize(static_cast<size_t>(4) * (n - 1));
    tr.S_t.resize(static_cast<size_t>(4) * (n - 1));
    const double* y[2] = {tr.grid.data(), tr.t_pn.data()};
    double* tab[2] = {tr.S_x.data(), tr.S_t.data()};
    spline_series(kp, 2, y, 1, tab, 1);
  }
  tr.Phi_start = interp_linear_clamped(a.x_low, tr.grid, tr.phi_pn);
  tr.dt_edge = chebyshev_fit_eval(f.tau, f.phi_start) -
               spline_eval(tr.phi_pn.data(), tr.S_t.data(), n - 1, f.phi_start);
  return kPackBuilt;
}

// Steps 5 to 8: the PN track from the low end to beyond the anchor.
int32_t pn_track(const RowFits& f, const RowAnchor& a, ExtensionPackRow& row, PnTrack& tr) {
  if (const int32_t st = pn_integrands(f, a, row, tr, tr.tx, tr.px); st != kPackBuilt) return st;
  if (const int32_t st = pn_time_phase(f, a, tr, tr.tx, tr.px); st != kPackBuilt) return st;
  return pn_phase_maps(f, a, tr);
}

// The coarse knots of the pack: phase, and time from the PN arm below the
// model's first phase and from the model's time fit above it.
struct RowKnots {
  int32_t C = 64;
  int32_t i_edge = 0;
  std::vector<double> phi_knots;
  PackDoubles t_knots;
};

// Steps 9 and 10: the knots ("pack_time_map"), refused unless time increases.
int32_t time_knots(const RowFits& f, const PnTrack& tr, bool use_kernels, RowKnots& kn) {
  // 9. Knots.
  {
    const double cd =
        ((f.phi_end - tr.Phi_start) / kTwoPi) * static_cast<double>(f.req.n_per_orbit);
    if (cd > -2147483649.0 && cd < 2147483648.0) {
      const int32_t ct = static_cast<int32_t>(cd);
      if (ct > 64) kn.C = ct;
    }
  }
  const int32_t C = kn.C;
  kn.phi_knots = linspace(tr.Phi_start, f.phi_end, C);
  kn.i_edge = lower_index(kn.phi_knots.data(), C, f.phi_start);

  // 10. Time knots.
  kn.t_knots.resize(static_cast<size_t>(C));
  launch_or_loop(use_kernels, "pack_time_map", C,
                 PackTimeMapItem{kn.phi_knots.data(), kn.t_knots.data(), kn.i_edge,
                                 tr.phi_pn.data(), tr.S_t.data(), tr.n - 1, tr.dt_edge, f.tau});
  for (int32_t i = 1; i < C; ++i)
    if (!(kn.t_knots[i] > kn.t_knots[i - 1])) return kPackNotMonotonic;
  return kPackBuilt;
}

// Per-mode phase factor exp(i (m pi/2 - pi)) and the row's table of the
// eight PN mode weights.
struct ModePhases {
  std::vector<double> cos_m, sin_m, table;

  explicit ModePhases(const PackRowRequest& req)
      : cos_m(static_cast<size_t>(req.K)), sin_m(static_cast<size_t>(req.K)) {
    for (int32_t k = 0; k < req.K; ++k) {
      const double ang = ((static_cast<double>(req.m[k]) * kPi) * 0.5) - kPi;
      cos_m[k] = std::cos(ang);
      sin_m[k] = std::sin(ang);
    }
    table.resize(kModeCoeffCount);
    mode_coeffs(req.q, req.chi1z, req.chi2z, table.data());
  }

  // PN value of mode k from the eight weights: slot w turned by the mode's
  // phase factor.
  RR_INLINE void pn_mode(int32_t k, int32_t w, const double* wre, const double* wim,
                               double* re, double* im) const {
    *re = cos_m[k] * wre[w] - sin_m[k] * wim[w];
    *im = cos_m[k] * wim[w] + sin_m[k] * wre[w];
  }
};

// Step 11: the edge ratios, medians over 256 roll samples of the model over
// the PN value; a mode whose PN magnitudes have median 0 gets no PN arm.
void edge_ratios(const RowFits& f, const RowAnchor& a, const ModePhases& ph,
                 std::vector<double>& R_edge, std::vector<unsigned char>& no_pn) {
  const int32_t K = f.req.K;
  const double a0 = kTwoPi + f.phi_start;
  const double b_cap = a0 + a.roll_width;
  const double b_end = f.phi_end - f.eps;
  const std::vector<double> psi = linspace(a0, (b_end < b_cap) ? b_end : b_cap, kRollSamples);
  const size_t ns = checked_count(K, kRollSamples, sizeof(double));
  std::vector<double> rre(ns), rim(ns), mag(ns);
  double wre[kModeSlots], wim[kModeSlots];
  for (int32_t s = 0; s < kRollSamples; ++s) {
    const double v = std::pow(1.0 / derivative_fit_eval(f.dtau, psi[s]), kOneThird);
    mode_weights(v, ph.table.data(), wre, wim);
    for (int32_t k = 0; k < K; ++k) {
      double pr, pi, fr, fi;
      ph.pn_mode(k, f.req.weight_index[k], wre, wim, &pr, &pi);
      chebyshev_fit_eval_complex(f.mode_fit(k), psi[s], &fr, &fi);
      const size_t at = static_cast<size_t>(k) * kRollSamples + s;
      complex_divide(fr, fi, pr, pi, &rre[at], &rim[at]);
      mag[at] = std::hypot(pr, pi);
    }
  }
  for (int32_t k = 0; k < K; ++k) {
    const size_t at = static_cast<size_t>(k) * kRollSamples;
    if (sort_median(mag.data() + at, kRollSamples) == 0.0) {
      no_pn[k] = 1;
      continue;
    }
    R_edge[2 * k] = sort_median(rre.data() + at, kRollSamples);
    R_edge[2 * k + 1] = sort_median(rim.data() + at, kRollSamples);
  }
}

// The samples the roll exponents are fitted on: v and phase of the points of
// 64 over the first 60 % of the span whose PN flow is valid and whose |dE/dx|
// exceeds a fifth of its largest value.
void powerlaw_samples(const RowFits& f, std::vector<double>& kv, std::vector<double>& kphi) {
  const std::vector<double> ph =
      linspace(f.eps + f.phi_start, f.span * 0.6 + f.phi_start, kPowerlawSamples);
  std::vector<double> sv, sphi, sabs;
  for (int32_t s = 0; s < kPowerlawSamples; ++s) {
    const double v = std::pow(1.0 / derivative_fit_eval(f.dtau, ph[s]), kOneThird);
    if (!(v > 0.0 && std::isfinite(v))) continue;
    const double x = v * v;
    const double e = f.orbit.energy_derivative(x);
    const double fl = f.orbit.flux(x);
    const double r = (-e) / fl;
    if (!(r > 0.0 && std::isfinite(r) && e < 0.0)) continue;
    sv.push_back(v);
    sphi.push_back(ph[s]);
    sabs.push_back(std::fabs(e));
  }
  double e_max = 0.0;
  for (double a : sabs)
    if (a > e_max) e_max = a;
  for (size_t s = 0; s < sabs.size(); ++s)
    if (sabs[s] > 0.2 * e_max) {
      kv.push_back(sv[s]);
      kphi.push_back(sphi[s]);
    }
}

// The roll exponent of mode k: the slope of log|R - 1| over log v at the
// kept samples (their eight weights in kw), when the fit is good (R^2 >= 0.9)
// and the slope lies in [1, 12]; otherwise p_exp keeps its -1.  X and Y are
// the caller's scratch.
void powerlaw_exponent(const RowFits& f, const ModePhases& ph, int32_t k,
                       const std::vector<double>& kv, const std::vector<double>& kphi,
                       const std::vector<double>& kw, std::vector<double>& X,
                       std::vector<double>& Y, double& p_exp) {
  const int32_t nk = static_cast<int32_t>(kv.size());
  double wre[kModeSlots], wim[kModeSlots];
  X.clear();
  Y.clear();
  for (int32_t s = 0; s < nk; ++s) {
    for (int32_t w = 0; w < kModeSlots; ++w) {
      wre[w] = kw[static_cast<size_t>(s) * 2 * kModeSlots + w];
      wim[w] = kw[static_cast<size_t>(s) * 2 * kModeSlots + kModeSlots + w];
    }
    double pr, pi;
    ph.pn_mode(k, f.req.weight_index[k], wre, wim, &pr, &pi);
    if (std::hypot(pr, pi) <= 0.0) continue;
    double fr, fi, rr, ri;
    chebyshev_fit_eval_complex(f.mode_fit(k), kphi[s], &fr, &fi);
    complex_divide(fr, fi, pr, pi, &rr, &ri);
    const double y = std::fabs(std::hypot(rr, ri) - 1.0);
    if (!(y > 0.0 && std::isfinite(y))) continue;
    X.push_back(std::log(kv[s]));
    Y.push_back(std::log(y));
  }
  const int32_t np = static_cast<int32_t>(X.size());
  if (np < kPowerlawMinPoints) return;
  const double N = static_cast<double>(np);
  double Sx = 0.0, Sy = 0.0, Sxx = 0.0, Sxy = 0.0;
  for (int32_t i = 0; i < np; ++i) {
    Sx = Sx + X[i];
    Sy = Sy + Y[i];
    Sxx = Sxx + X[i] * X[i];
    Sxy = Sxy + X[i] * Y[i];
  }
  const double den = N * Sxx - Sx * Sx;
  if (!(std::fabs(den) > 0.0)) return;
  const double slope = (N * Sxy - Sy * Sx) / den;
  const double icpt = (Sy - slope * Sx) / N;
  const double ybar = Sy / N;
  double SSres = 0.0, SStot = 0.0;
  for (int32_t i = 0; i < np; ++i) {
    const double r1 = Y[i] - (slope * X[i] + icpt);
    SSres = SSres + r1 * r1;
    const double r2 = Y[i] - ybar;
    SStot = SStot + r2 * r2;
  }
  const double R2 = (SStot > 0.0) ? 1.0 - SSres / SStot : 0.0;
  if (std::isfinite(slope) && R2 >= 0.9 && slope >= 1.0 && slope <= 12.0) p_exp = slope;
}

// Step 12: the roll exponents of the modes with a PN arm (with ratio_powerlaw).
void roll_exponents(const RowFits& f, const ModePhases& ph, const std::vector<unsigned char>& no_pn,
                    std::vector<double>& p_exp) {
  std::vector<double> kv, kphi;
  powerlaw_samples(f, kv, kphi);
  const int32_t nk = static_cast<int32_t>(kv.size());
  if (nk < kPowerlawMinPoints) return;
  // The eight weights at every kept sample, shared by all modes.
  std::vector<double> kw(static_cast<size_t>(nk) * 2 * kModeSlots);
  for (int32_t s = 0; s < nk; ++s)
    mode_weights(kv[s], ph.table.data(), &kw[static_cast<size_t>(s) * 2 * kModeSlots],
                 &kw[static_cast<size_t>(s) * 2 * kModeSlots + kModeSlots]);
  std::vector<double> X, Y;
  for (int32_t k = 0; k < f.req.K; ++k) {
    if (no_pn[k]) continue;
    powerlaw_exponent(f, ph, k, kv, kphi, kw, X, Y, p_exp[k]);
  }
}

// Step 14: splines of phase over time and of every mode's content over phase
// ("pack_mode_splines").  The knot parts of the time and the phase knots are
// formed together.
int32_t pack_splines(const RowKnots& kn, int32_t K, const double* content, bool use_kernels,
                     PackDoubles& phi_c, PackComplexVector& mode_c) {
  const int32_t C = kn.C;
  SplineKnots kt, kphi;
  if (!spline_knots_two(kn.t_knots.data(), kn.phi_knots.data(), C, kt, kphi))
    return kPackSplineRefused;
  {
    phi_c.resize(static_cast<size_t>(4) * (C - 1));
    const double* y[1] = {kn.phi_knots.data()};
    double* tab[1] = {phi_c.data()};
    spline_series(kt, 1, y, 1, tab, 1);
  }
  // Interleaved (re, im) pairs; every entry is written by the kernel.
  mode_c.resize(
      2 * checked_count(K, 4 * static_cast<int64_t>(C - 1), sizeof(std::complex<double>)));
  std::vector<unsigned char> failed(static_cast<size_t>(K), 0);
  launch_or_loop(use_kernels, "pack_mode_splines", K,
                 PackModeSplinesItem{&kphi, C, content, mode_c.data(), failed.data()});
  for (int32_t k = 0; k < K; ++k)
    if (failed[k]) throw std::bad_alloc();
  return kPackBuilt;
}

// Step 15: the relative step of every mode's content across the edge knot
// (zero unless the edge lies inside the knots).
std::vector<double> edge_steps(const RowKnots& kn, int32_t K, const double* content) {
  const int32_t C = kn.C, i_edge = kn.i_edge;
  std::vector<double> edge_step_rel(static_cast<size_t>(K), 0.0);
  if (0 < i_edge && i_edge < C) {
    for (int32_t k = 0; k < K; ++k) {
      const double* c1 = &content[2 * (static_cast<size_t>(k) * C + i_edge)];
      const double* c0 = c1 - 2;
      const double mag = std::hypot(c1[0], c1[1]);
      const double d = (1e-300 > mag) ? 1e-300 : mag;
      edge_step_rel[k] = std::hypot(c1[0] - c0[0], c1[1] - c0[1]) / d;
    }
  }
  return edge_step_rel;
}

}  // namespace

int32_t pack_one_row(const PackRowRequest& req, ExtensionPackRow& row, bool use_kernels) {
  const int32_t K = req.K;
  const RowFits f(req);
  RowAnchor a;
  if (const int32_t st = find_anchor(f, row, a); st != kPackBuilt) return st;
  PnTrack tr;
  if (const int32_t st = pn_track(f, a, row, tr); st != kPackBuilt) return st;
  RowKnots kn;
  if (const int32_t st = time_knots(f, tr, use_kernels, kn); st != kPackBuilt) return st;
  const int32_t C = kn.C;

  const size_t kk = static_cast<size_t>(K);
  const ModePhases ph(req);
  // 11. Edge ratios.
  std::vector<double> R_edge(2 * kk, 0.0);
  std::vector<unsigned char> no_pn(kk, 0);
  edge_ratios(f, a, ph, R_edge, no_pn);
  // 12. Roll exponents.
  std::vector<double> p_exp(kk, -1.0);
  if (req.ratio_powerlaw) roll_exponents(f, ph, no_pn, p_exp);

  // 13. Mode content on every knot.
  const double v_edge = std::pow(a.omega_edge, kOneThird);
  // Every value is written by the kernel before it is read.
  PackDoubles content_hold(2 * checked_count(K, C, 2 * sizeof(double)));
  double* const content_p = content_hold.data();
  launch_or_loop(use_kernels, "pack_mode_content", C,
                 PackModeContentItem{kn.phi_knots.data(), kn.i_edge, C, K, tr.phi_pn.data(),
                                     tr.S_x.data(), tr.n - 1, f.phi_start, a.roll_width, v_edge,
                                     ph.table.data(), ph.cos_m.data(), ph.sin_m.data(),
                                     req.weight_index, p_exp.data(), R_edge.data(), no_pn.data(),
                                     req.breaks, req.mode_coefs, req.E, req.O, content_p});

  // 14. Splines.
  PackDoubles phi_c;
  PackComplexVector mode_c;
  if (const int32_t st = pack_splines(kn, K, content_p, use_kernels, phi_c, mode_c);
      st != kPackBuilt)
    return st;

  // 15. Report.
  std::vector<double> edge_step_rel = edge_steps(kn, K, content_p);
  std::vector<std::complex<double>> r_edge(kk);
  for (int32_t k = 0; k < K; ++k)
    r_edge[k] = std::complex<double>(R_edge[2 * k], R_edge[2 * k + 1]);

  const int32_t i_edge = kn.i_edge;
  row.C = C;
  row.i_edge = i_edge;
  row.Phi_start = tr.Phi_start;
  row.Phi_edge = f.phi_start;
  row.Phi_anchor = a.phi_anchor;
  row.x_anchor = a.x_anchor;
  row.J_anchor = a.J_anchor;
  row.orbits_added = (f.phi_start - tr.Phi_start) / kTwoPi;
  row.t_added = kn.t_knots[i_edge < C ? i_edge : C - 1] - kn.t_knots[0];
  row.f22_start = std::pow(a.x_low, 1.5) / kPi;
  row.dt_edge = tr.dt_edge;
  row.edge_step_rel = std::move(edge_step_rel);
  row.R_edge = std::move(r_edge);
  row.t_knots = std::move(kn.t_knots);
  row.phi_knots = std::move(kn.phi_knots);
  row.phi_c = std::move(phi_c);
  row.mode_c = std::move(mode_c);
  return kPackBuilt;
}

}  // namespace radiredide
