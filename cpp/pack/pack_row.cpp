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
// clenshaw_real's steps (O >= 3, stride 2) at its own u.
template <class V>
RR_INLINE void time_above_lanes(const double* phi, const PackFit& f, int32_t e, int32_t i0,
                                      double* t) {
  const V x = RR_LANES_LOAD(V, phi + i0);
  const double b0 = f.breaks[e];
  const double w = f.breaks[e + 1] - b0;
  const V d = x - b0;
  const V u = (d + d) / w - 1.0;
  const V tu = u + u;
  const int32_t O = f.O;
  const double* c = f.coefs + 2 * static_cast<int64_t>(e) * O;
  V b{}, a{};
  for (int l = 0; l < lanes::width<V>; ++l) {
    b[l] = c[2 * (O - 1)];
    a[l] = c[2 * (O - 2)];
  }
  for (int32_t j = O - 3; j >= 0; --j) {
    const V nb = a + tu * b;
    a = c[2 * j] - b;
    b = nb;
  }
  lanes::store(t + i0, a + b * u);
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
// (O >= 3) at its own u, with the element's coefficients shared by all lanes.
template <class V>
RR_INLINE void content_above_lanes(const double* phi, const double* breaks, int32_t e,
                                         const double* mode_coefs, int32_t E, int32_t O,
                                         int32_t K, int32_t C, int32_t i0, double* content) {
  const V x = RR_LANES_LOAD(V, phi + i0);
  const double b0 = breaks[e];
  const double w = breaks[e + 1] - b0;
  const V d = x - b0;
  const V u = (d + d) / w - 1.0;
  const V t = u + u;
  for (int32_t k = 0; k < K; ++k) {
    const double* c = mode_coefs + 2 * (static_cast<int64_t>(k) * E + e) * O;
    V br{}, bi{}, ar{}, ai{};
    for (int l = 0; l < lanes::width<V>; ++l) {
      br[l] = c[2 * (O - 1)];
      bi[l] = c[2 * (O - 1) + 1];
      ar[l] = c[2 * (O - 2)];
      ai[l] = c[2 * (O - 2) + 1];
    }
    for (int32_t j = O - 3; j >= 0; --j) {
      const V nbr = ar + t * br;
      const V nbi = ai + t * bi;
      ar = c[2 * j] - br;
      ai = c[2 * j + 1] - bi;
      br = nbr;
      bi = nbi;
    }
    const V re = ar + br * u;
    const V im = ai + bi * u;
    lanes::store_pairs(content + 2 * (static_cast<int64_t>(k) * C + i0), re, im);
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
  pn4::eval_mode_weights<W>(v, it.weight_table, wre, wim);
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

int32_t pack_one_row(const PackRowRequest& req, ExtensionPackRow& row, bool use_kernels) {
  const int32_t E = req.E, O = req.O, K = req.K;
  const double* breaks = req.breaks;
  const double q = req.q, chi1z = req.chi1z, chi2z = req.chi2z;
  const PackFit tau{breaks, req.tau_coefs, E, O};
  const PackFit Jfit{breaks, req.J_coefs, E, O};
  auto mode_fit = [&](int32_t k) {
    return PackFit{breaks, req.mode_coefs + 2 * static_cast<int64_t>(k) * E * O, E, O};
  };
  // The 4PN series of the row's parameter point, formed once.
  const pn4::OrbitSeries orbit(q, chi1z, chi2z);
  auto L_of = [&](double x) { return orbit.angular_momentum(x); };
  auto dE_of = [&](double x) { return orbit.energy_derivative(x); };
  auto F_of = [&](double x) { return orbit.flux(x); };

  const double phi_start = breaks[0];
  const double phi_end = breaks[E];
  const double span = phi_end - phi_start;
  const double eps = span * 1e-9;

  // 1. Edge frequency.
  const PackFitDerivative dtau_owned = derivative_fit(tau);
  const PackFitDerivativeView dtau = view_of(dtau_owned);
  const double omega_edge = 1.0 / derivative_fit_eval(dtau, eps + phi_start);
  row.f22_edge = omega_edge / kPi;

  // 2. Low end.
  const double c_low = kPi * req.f_low;
  if (c_low <= 0.0) return kPackBadFlow;
  const double x_low = std::pow(c_low, kTwoThirds);

  // 3. Reach test.
  const double J0 = chebyshev_fit_eval(Jfit, phi_start);
  if (L_of(x_low) <= J0 * 1.000000000001) return kPackDeclined;
  if (dE_of(x_low) >= 0.0) return kPackDeclined;

  // 4. Anchor.
  const double a_span = span * 0.2;
  const double a_orb = req.anchor_orbits * kTwoPi;
  double phi_anchor = ((a_span < a_orb) ? a_span : a_orb) + phi_start;
  const double roll_width = req.roll_orbits * kTwoPi;
  const double J_anchor = chebyshev_fit_eval(Jfit, phi_anchor);
  double x_anchor, x_hi;
  if (req.seam_anchor_omega) {
    x_anchor = std::pow(omega_edge, kTwoThirds);
    phi_anchor = phi_start;
    x_hi = x_anchor;
  } else {
    auto g_le0 = [&](double x) { return L_of(x) - J_anchor <= 0.0; };
    const bool s_lo = g_le0(1e-4);
    const bool s_hi = g_le0(0.2);
    if (s_lo == s_hi) return kPackNoJRoot;
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
    const double xo = std::pow(omega_edge, kTwoThirds);
    x_hi = (xo > x_anchor) ? xo : x_anchor;
  }

  // 5. PN grid.
  int32_t n = req.n_x;
  if (req.n_x_rule)
    n = quadrature_grid_size(q, chi1z, chi2z, x_low * 0.995, x_hi * 1.05, req.n_x,
                             req.n_x_err_target);
  row.n_x = static_cast<double>(n);
  const std::vector<double> grid = logspace(x_low * 0.995, x_hi * 1.05, n);

  // 6. PN integrands dt/dx and dphi/dx.
  const size_t nn = static_cast<size_t>(n);
  std::vector<double> tx(nn), px(nn);
  for (int32_t j = 0; j < n; ++j) {
    double F, dE, x3_2;  // one set of powers of x serves F, dE/dx and x^(3/2)
    orbit.flux_energy(grid[j], &F, &dE, &x3_2);
    const double t = (-dE) / F;
    if (!(t > 0.0)) return kPackBadDtDx;
    tx[j] = t;
    px[j] = x3_2 * t;
  }
  // A grid that does not increase (its ends out of order) would give the
  // splines below unordered knots.
  for (int32_t j = 1; j < n; ++j)
    if (!(grid[j] > grid[j - 1])) return kPackGridNotIncreasing;

  // 7. PN time and phase, pinned to the model at the anchor.
  // Both integrands are fitted over the grid's knots at once, then each
  // spline is integrated from the grid's start.
  std::vector<double> t_pn, phi_pn;
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
  {
    const double t_last = t_pn[n - 1];
    const double p_last = phi_pn[n - 1];
    for (int32_t j = 0; j < n; ++j) {
      t_pn[j] = t_pn[j] - t_last;
      phi_pn[j] = phi_pn[j] - p_last;
    }
    const double a_p = interp_linear_clamped(x_anchor, grid, phi_pn);
    const double a_t = interp_linear_clamped(x_anchor, grid, t_pn);
    const double tau_a = chebyshev_fit_eval(tau, phi_anchor);
    for (int32_t j = 0; j < n; ++j) {
      phi_pn[j] = (phi_pn[j] - a_p) + phi_anchor;
      t_pn[j] = (t_pn[j] - a_t) + tau_a;
    }
  }
  for (int32_t j = 1; j < n; ++j)
    if (!(phi_pn[j] > phi_pn[j - 1])) return kPackGridNotIncreasing;

  // 8. PN maps of phase.
  PackDoubles S_x, S_t;
  {
    SplineKnots kp;
    if (!spline_knots(phi_pn.data(), n, kp)) return kPackSplineRefused;
    S_x.resize(static_cast<size_t>(4) * (n - 1));
    S_t.resize(static_cast<size_t>(4) * (n - 1));
    const double* y[2] = {grid.data(), t_pn.data()};
    double* tab[2] = {S_x.data(), S_t.data()};
    spline_series(kp, 2, y, 1, tab, 1);
  }
  const double Phi_start = interp_linear_clamped(x_low, grid, phi_pn);
  const double dt_edge = chebyshev_fit_eval(tau, phi_start) -
                         spline_eval(phi_pn.data(), S_t.data(), n - 1, phi_start);

  // 9. Knots.
  int32_t C = 64;
  {
    const double cd =
        ((phi_end - Phi_start) / kTwoPi) * static_cast<double>(req.n_per_orbit);
    if (cd > -2147483649.0 && cd < 2147483648.0) {
      const int32_t ct = static_cast<int32_t>(cd);
      if (ct > 64) C = ct;
    }
  }
  std::vector<double> phi_knots = linspace(Phi_start, phi_end, C);
  const int32_t i_edge = lower_index(phi_knots.data(), C, phi_start);

  // 10. Time knots.
  PackDoubles t_knots(static_cast<size_t>(C));
  launch_or_loop(use_kernels, "pack_time_map", C,
                 PackTimeMapItem{phi_knots.data(), t_knots.data(), i_edge, phi_pn.data(),
                                 S_t.data(), n - 1, dt_edge, tau});
  for (int32_t i = 1; i < C; ++i)
    if (!(t_knots[i] > t_knots[i - 1])) return kPackNotMonotonic;

  // Per-mode weight slot and phase factor exp(i (m pi/2 - pi)).
  const size_t kk = static_cast<size_t>(K);
  std::vector<double> cos_m(kk), sin_m(kk);
  for (int32_t k = 0; k < K; ++k) {
    const double ang = ((static_cast<double>(req.m[k]) * kPi) * 0.5) - kPi;
    cos_m[k] = std::cos(ang);
    sin_m[k] = std::sin(ang);
  }
  std::vector<double> table(kModeCoeffCount);
  mode_coeffs(q, chi1z, chi2z, table.data());
  double wre[kModeSlots], wim[kModeSlots];
  // PN value of mode k from the eight weights: slot weight_index[k] turned by
  // the mode's phase factor.
  auto pn_mode = [&](int32_t k, double* re, double* im) {
    const int32_t w = req.weight_index[k];
    *re = cos_m[k] * wre[w] - sin_m[k] * wim[w];
    *im = cos_m[k] * wim[w] + sin_m[k] * wre[w];
  };

  // 11. Edge ratios: medians over 256 roll samples.
  std::vector<double> R_edge(2 * kk, 0.0);
  std::vector<unsigned char> no_pn(kk, 0);
  {
    const double a0 = kTwoPi + phi_start;
    const double b_cap = a0 + roll_width;
    const double b_end = phi_end - eps;
    const std::vector<double> psi =
        linspace(a0, (b_end < b_cap) ? b_end : b_cap, kRollSamples);
    const size_t ns = checked_count(K, kRollSamples, sizeof(double));
    std::vector<double> rre(ns), rim(ns), mag(ns);
    for (int32_t s = 0; s < kRollSamples; ++s) {
      const double v = std::pow(1.0 / derivative_fit_eval(dtau, psi[s]), kOneThird);
      mode_weights(v, table.data(), wre, wim);
      for (int32_t k = 0; k < K; ++k) {
        double pr, pi, fr, fi;
        pn_mode(k, &pr, &pi);
        chebyshev_fit_eval_complex(mode_fit(k), psi[s], &fr, &fi);
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

  // 12. Roll exponents.
  std::vector<double> p_exp(kk, -1.0);
  if (req.ratio_powerlaw) {
    const std::vector<double> ph =
        linspace(eps + phi_start, span * 0.6 + phi_start, kPowerlawSamples);
    std::vector<double> sv, sphi, sabs;
    for (int32_t s = 0; s < kPowerlawSamples; ++s) {
      const double v = std::pow(1.0 / derivative_fit_eval(dtau, ph[s]), kOneThird);
      if (!(v > 0.0 && std::isfinite(v))) continue;
      const double x = v * v;
      const double e = dE_of(x);
      const double f = F_of(x);
      const double r = (-e) / f;
      if (!(r > 0.0 && std::isfinite(r) && e < 0.0)) continue;
      sv.push_back(v);
      sphi.push_back(ph[s]);
      sabs.push_back(std::fabs(e));
    }
    double e_max = 0.0;
    for (double a : sabs)
      if (a > e_max) e_max = a;
    std::vector<double> kv, kphi;
    for (size_t s = 0; s < sabs.size(); ++s)
      if (sabs[s] > 0.2 * e_max) {
        kv.push_back(sv[s]);
        kphi.push_back(sphi[s]);
      }
    const int32_t nk = static_cast<int32_t>(kv.size());
    if (nk >= kPowerlawMinPoints) {
      // The eight weights at every kept sample, shared by all modes.
      std::vector<double> kw(static_cast<size_t>(nk) * 2 * kModeSlots);
      for (int32_t s = 0; s < nk; ++s)
        mode_weights(kv[s], table.data(), &kw[static_cast<size_t>(s) * 2 * kModeSlots],
                     &kw[static_cast<size_t>(s) * 2 * kModeSlots + kModeSlots]);
      std::vector<double> X, Y;
      for (int32_t k = 0; k < K; ++k) {
        if (no_pn[k]) continue;
        X.clear();
        Y.clear();
        for (int32_t s = 0; s < nk; ++s) {
          for (int32_t w = 0; w < kModeSlots; ++w) {
            wre[w] = kw[static_cast<size_t>(s) * 2 * kModeSlots + w];
            wim[w] = kw[static_cast<size_t>(s) * 2 * kModeSlots + kModeSlots + w];
          }
          double pr, pi;
          pn_mode(k, &pr, &pi);
          if (std::hypot(pr, pi) <= 0.0) continue;
          double fr, fi, rr, ri;
          chebyshev_fit_eval_complex(mode_fit(k), kphi[s], &fr, &fi);
          complex_divide(fr, fi, pr, pi, &rr, &ri);
          const double y = std::fabs(std::hypot(rr, ri) - 1.0);
          if (!(y > 0.0 && std::isfinite(y))) continue;
          X.push_back(std::log(kv[s]));
          Y.push_back(std::log(y));
        }
        const int32_t np = static_cast<int32_t>(X.size());
        if (np < kPowerlawMinPoints) continue;
        const double N = static_cast<double>(np);
        double Sx = 0.0, Sy = 0.0, Sxx = 0.0, Sxy = 0.0;
        for (int32_t i = 0; i < np; ++i) {
          Sx = Sx + X[i];
          Sy = Sy + Y[i];
          Sxx = Sxx + X[i] * X[i];
          Sxy = Sxy + X[i] * Y[i];
        }
        const double den = N * Sxx - Sx * Sx;
        if (!(std::fabs(den) > 0.0)) continue;
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
        if (std::isfinite(slope) && R2 >= 0.9 && slope >= 1.0 && slope <= 12.0) p_exp[k] = slope;
      }
    }
  }

  // 13. Mode content on every knot.
  const double v_edge = std::pow(omega_edge, kOneThird);
  // Every value is written by the kernel before it is read.
  PackDoubles content_hold(2 * checked_count(K, C, 2 * sizeof(double)));
  double* const content_p = content_hold.data();
  launch_or_loop(use_kernels, "pack_mode_content", C,
                 PackModeContentItem{phi_knots.data(), i_edge, C, K, phi_pn.data(), S_x.data(),
                                     n - 1, phi_start, roll_width, v_edge, table.data(),
                                     cos_m.data(), sin_m.data(), req.weight_index, p_exp.data(),
                                     R_edge.data(), no_pn.data(), breaks, req.mode_coefs, E, O,
                                     content_p});

  // 14. Splines: phase of time, and every mode's content of phase.  The knot
  // parts of the time and the phase knots are formed together.
  SplineKnots kt, kphi;
  if (!spline_knots_two(t_knots.data(), phi_knots.data(), C, kt, kphi))
    return kPackSplineRefused;
  PackDoubles phi_c;
  {
    phi_c.resize(static_cast<size_t>(4) * (C - 1));
    const double* y[1] = {phi_knots.data()};
    double* tab[1] = {phi_c.data()};
    spline_series(kt, 1, y, 1, tab, 1);
  }
  // Interleaved (re, im) pairs; every entry is written by the kernel.
  PackComplexVector mode_c(
      2 * checked_count(K, 4 * static_cast<int64_t>(C - 1), sizeof(std::complex<double>)));
  {
    std::vector<unsigned char> failed(kk, 0);
    launch_or_loop(use_kernels, "pack_mode_splines", K,
                   PackModeSplinesItem{&kphi, C, content_p, mode_c.data(), failed.data()});
    for (int32_t k = 0; k < K; ++k)
      if (failed[k]) throw std::bad_alloc();
  }

  // 15. Report.
  std::vector<double> edge_step_rel(kk, 0.0);
  if (0 < i_edge && i_edge < C) {
    for (int32_t k = 0; k < K; ++k) {
      const double* c1 = &content_p[2 * (static_cast<size_t>(k) * C + i_edge)];
      const double* c0 = c1 - 2;
      const double mag = std::hypot(c1[0], c1[1]);
      const double d = (1e-300 > mag) ? 1e-300 : mag;
      edge_step_rel[k] = std::hypot(c1[0] - c0[0], c1[1] - c0[1]) / d;
    }
  }
  std::vector<std::complex<double>> r_edge(kk);
  for (int32_t k = 0; k < K; ++k) r_edge[k] = std::complex<double>(R_edge[2 * k], R_edge[2 * k + 1]);

  row.C = C;
  row.i_edge = i_edge;
  row.Phi_start = Phi_start;
  row.Phi_edge = phi_start;
  row.Phi_anchor = phi_anchor;
  row.x_anchor = x_anchor;
  row.J_anchor = J_anchor;
  row.orbits_added = (phi_start - Phi_start) / kTwoPi;
  row.t_added = t_knots[i_edge < C ? i_edge : C - 1] - t_knots[0];
  row.f22_start = std::pow(x_low, 1.5) / kPi;
  row.dt_edge = dt_edge;
  row.edge_step_rel = std::move(edge_step_rel);
  row.R_edge = std::move(r_edge);
  row.t_knots = std::move(t_knots);
  row.phi_knots = std::move(phi_knots);
  row.phi_c = std::move(phi_c);
  row.mode_c = std::move(mode_c);
  return kPackBuilt;
}

}  // namespace radiredide
