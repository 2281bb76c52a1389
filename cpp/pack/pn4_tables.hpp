#pragma once
// Two-stage evaluation of the eight mode brackets of pn4_series.hpp.
//
// Stage 1 (host, once per parameter point) walks the brackets with plain
// doubles, or with forward-mode partials in (q, chi1z, chi2z), and stores the
// value of every non-zero row part.  Stage 2 (kernels, once per sample) walks
// the same brackets with a placeholder scalar whose arithmetic vanishes, so
// that only the table reads and the powers of v remain.
//
// Weight table (102 doubles):
//   [0] q   [1] 1/(1+q)^2   [2..9] 8 sqrt(pi/5) N_j   [10..78] row coefficients
//   [79..101] unused (zero)
// Partial table (358 doubles):
//   [0..101] the weight table   [102] d eta/dq
//   [103 + 3k + (0,1,2)] d/dq, d/dchi1z, d/dchi2z of row coefficient k
//   [310..357] unused (zero)
#include "common/lanes.hpp"
#include "pack/pn4_series.hpp"

#include <cmath>

namespace radiredide::pn4 {

inline constexpr int kTabQ = 0;
inline constexpr int kTabInv1q2 = 1;
inline constexpr int kTabNorm = 2;
inline constexpr int kTabCoef = 10;
inline constexpr int kDTabDEta = 102;
inline constexpr int kDTabPartials = 103;

// ------------------------------------------------------------------ scalar types
// Placeholder scalar: every operation is a no-op, so stage 2 can walk the
// brackets for their structure only.  Its two flags record, at compile time,
// whether the value depends on q and on the spins, so that partial sums which
// are identically zero are never formed.
template <bool Q, bool C>
struct Dep {
  constexpr Dep() = default;
  constexpr explicit Dep(double) {}
};
using Skip = Dep<true, true>;
template <bool a, bool b, bool c, bool d>
constexpr RR_INLINE Dep<a || c, b || d> operator+(Dep<a, b>, Dep<c, d>) { return {}; }
template <bool a, bool b, bool c, bool d>
constexpr RR_INLINE Dep<a || c, b || d> operator-(Dep<a, b>, Dep<c, d>) { return {}; }
template <bool a, bool b, bool c, bool d>
constexpr RR_INLINE Dep<a || c, b || d> operator*(Dep<a, b>, Dep<c, d>) { return {}; }
template <bool a, bool b>
constexpr RR_INLINE Dep<a, b> operator+(double, Dep<a, b>) { return {}; }
template <bool a, bool b>
constexpr RR_INLINE Dep<a, b> operator-(double, Dep<a, b>) { return {}; }
template <bool a, bool b>
constexpr RR_INLINE Dep<a, b> operator*(double, Dep<a, b>) { return {}; }
template <bool a, bool b>
constexpr RR_INLINE Dep<a, b> operator+(Dep<a, b>, double) { return {}; }
template <bool a, bool b>
constexpr RR_INLINE Dep<a, b> operator-(Dep<a, b>, double) { return {}; }
template <bool a, bool b>
constexpr RR_INLINE Dep<a, b> operator*(Dep<a, b>, double) { return {}; }
template <bool a, bool b>
constexpr RR_INLINE Dep<a, b> operator-(Dep<a, b>) { return {}; }

template <class A>
struct DepOf {  // a plain double: a constant row
  static constexpr bool q = false, spin = false;
};
template <bool Q, bool C>
struct DepOf<Dep<Q, C>> {
  static constexpr bool q = Q, spin = C;
};

// A value with its partials in (q, chi1z, chi2z).  The value part takes
// exactly the operations of the plain-double walk.
struct Dual {
  double v = 0.0, dq = 0.0, d1 = 0.0, d2 = 0.0;
  constexpr Dual() = default;
  constexpr Dual(double v_, double dq_, double d1_, double d2_) : v(v_), dq(dq_), d1(d1_), d2(d2_) {}
  constexpr explicit Dual(double x) : v(x) {}
};
constexpr RR_INLINE Dual operator+(const Dual& a, const Dual& b) {
  return {a.v + b.v, a.dq + b.dq, a.d1 + b.d1, a.d2 + b.d2};
}
constexpr RR_INLINE Dual operator-(const Dual& a, const Dual& b) {
  return {a.v - b.v, a.dq - b.dq, a.d1 - b.d1, a.d2 - b.d2};
}
constexpr RR_INLINE Dual operator*(const Dual& a, const Dual& b) {
  return {a.v * b.v, a.dq * b.v + a.v * b.dq, a.d1 * b.v + a.v * b.d1, a.d2 * b.v + a.v * b.d2};
}
constexpr RR_INLINE Dual operator+(double a, const Dual& b) { return {a + b.v, b.dq, b.d1, b.d2}; }
constexpr RR_INLINE Dual operator+(const Dual& a, double b) { return {a.v + b, a.dq, a.d1, a.d2}; }
constexpr RR_INLINE Dual operator-(double a, const Dual& b) { return {a - b.v, -b.dq, -b.d1, -b.d2}; }
constexpr RR_INLINE Dual operator-(const Dual& a, double b) { return {a.v - b, a.dq, a.d1, a.d2}; }
constexpr RR_INLINE Dual operator*(double a, const Dual& b) { return {a * b.v, a * b.dq, a * b.d1, a * b.d2}; }
constexpr RR_INLINE Dual operator*(const Dual& a, double b) { return {a.v * b, a.dq * b, a.d1 * b, a.d2 * b}; }
constexpr RR_INLINE Dual operator-(const Dual& a) { return {-a.v, -a.dq, -a.d1, -a.d2}; }

// ------------------------------------------------------------------ visitors
struct CountEntries {
  int n = 0;
  template <class A>
  constexpr RR_INLINE void operator()(int, Term, int, const A&) { ++n; }
};

constexpr int count_mode_entries() {
  CountEntries c;
  const Skip z{};
  mode_series(c, z, z, z, z);
  return c.n;
}
static_assert(count_mode_entries() == kModeEntries, "mode bracket entry count");
static_assert(kTabCoef + kModeEntries <= 102, "weight table layout");
static_assert(kDTabPartials + 3 * kModeEntries <= 358, "partial table layout");

// Stage 1: store each row part's value.
struct StoreValues {
  double* out;
  int k = 0;
  template <class A>
  constexpr RR_INLINE void operator()(int, Term, int, const A& c) { out[k++] = static_cast<double>(c); }
};

struct StorePartials {
  double* out;  // d/dq, d/dchi1z, d/dchi2z per entry
  int k = 0;
  constexpr RR_INLINE void operator()(int, Term, int, double) { out[3 * k] = out[3 * k + 1] = out[3 * k + 2] = 0.0; ++k; }
  constexpr RR_INLINE void operator()(int, Term, int, const Dual& c) {
    out[3 * k] = c.dq;
    out[3 * k + 1] = c.d1;
    out[3 * k + 2] = c.d2;
    ++k;
  }
};

// Entries of the slots before Slot: where Slot's rows begin in the tables.
template <int Slot>
constexpr int slot_entry_offset() {
  CountEntries c;
  const Skip z{};
  if constexpr (Slot > 0) mode_slot<0>(c, z, z, z, z);
  if constexpr (Slot > 1) mode_slot<1>(c, z, z, z, z);
  if constexpr (Slot > 2) mode_slot<2>(c, z, z, z, z);
  if constexpr (Slot > 3) mode_slot<3>(c, z, z, z, z);
  if constexpr (Slot > 4) mode_slot<4>(c, z, z, z, z);
  if constexpr (Slot > 5) mode_slot<5>(c, z, z, z, z);
  if constexpr (Slot > 6) mode_slot<6>(c, z, z, z, z);
  return c.n;
}
static_assert(slot_entry_offset<7>() < kModeEntries, "slot offsets");

// Stage 2: the bracket sums of one slot from the stored values, for W samples
// at once (lane l of every array belongs to sample l; each lane takes exactly
// the scalar operations, so any W gives the bits of W = 1).  A slot's sums are
// few enough to stay in registers; c points at the slot's first entry.
// The sums of W lanes: one lane vector where a 128- or 256-bit vector holds
// them, else an array run lane by lane.  Either way every lane takes the
// scalar operations.  Eight lanes and more stay arrays: as 512-bit vectors the
// powers of v were reloaded from the stack for every multiply.
template <int W>
struct LaneVec {
  using type = void;
  using acc = double[W];
};
template <>
struct LaneVec<2> {
  using type = lanes::d2;
  using acc = lanes::d2;
};
template <>
struct LaneVec<4> {
  using type = lanes::d4;
  using acc = lanes::d4;
};
template <int W>
using LaneAcc = typename LaneVec<W>::acc;

// One table entry's term, c v^p (times ln x), added to the sums of W lanes;
// c[k] is the entry's coefficient.
template <int W>
constexpr RR_INLINE void add_weight_term(LaneAcc<W>& acc, const double* c, int k, Term t,
                                  const double (*vp)[W], const double* lnx) {
  using V = typename LaneVec<W>::type;
  if constexpr (!std::is_void_v<V>) {
    V term = c[k] * RR_LANES_LOAD(V, vp[t.p]);
    if (t.lg) term = term * RR_LANES_LOAD(V, lnx);
    acc += term;
  } else {
    for (int l = 0; l < W; ++l) {
      double term = c[k] * vp[t.p][l];
      if (t.lg) term = term * lnx[l];
      acc[l] += term;
    }
  }
}

// One table entry's bracket term and its partials (c points at the entry's
// coefficient, dc at its three parameter partials), added to W lanes' sums.
template <class A, int W>
constexpr RR_INLINE void add_partial_terms(const double* c, const double* dc, Term t,
                                    const double (*vp)[W], const double* lnx, double (&b)[W],
                                    double (&bv)[W], double (&bq)[W], double (&b1)[W],
                                    double (&b2)[W]) {
  const double cv = *c;
  const double dq = dc[0], d1 = dc[1], d2 = dc[2];
  for (int l = 0; l < W; ++l) {
    double base = vp[t.p][l];
    if (t.lg) base = base * lnx[l];
    // d/dv v^p = p v^(p-1);  d/dv (v^p ln x) = p v^(p-1) ln x + 2 v^(p-1)
    double dbase = 0.0;
    if (t.p > 0) {
      dbase = static_cast<double>(t.p) * vp[t.p - 1][l];
      if (t.lg) dbase = dbase * lnx[l] + 2.0 * vp[t.p - 1][l];
    }
    b[l] += cv * base;
    bv[l] += cv * dbase;
    if constexpr (DepOf<A>::q) bq[l] += dq * base;
    if constexpr (DepOf<A>::spin) {
      b1[l] += d1 * base;
      b2[l] += d2 * base;
    }
  }
}

template <int W>
struct SlotWeightSums {
  const double* c;
  const double (*vp)[W];  // v^0 .. v^8
  const double* lnx;
  int k = 0;
  LaneAcc<W> re = {}, im = {};
  template <class A>
  constexpr RR_INLINE void operator()(int, Term t, int part, const A&) {
    add_weight_term<W>(part == 0 ? re : im, c, k++, t, vp, lnx);
  }
};

template <int W>
struct SlotPartialSums {
  const double* c;   // the slot's first entry
  const double* dc;  // its partials, three per entry
  const double (*vp)[W];
  const double* lnx;
  int k = 0;
  // [part][lane]: bracket, d/dv, d/dq, d/dchi1z, d/dchi2z
  double b[2][W] = {}, bv[2][W] = {}, bq[2][W] = {}, b1[2][W] = {}, b2[2][W] = {};
  template <class A>
  constexpr RR_INLINE void operator()(int, Term t, int part, const A&) {
    add_partial_terms<A, W>(c + k, dc + 3 * k, t, vp, lnx, b[part], bv[part], bq[part], b1[part],
                            b2[part]);
    ++k;
  }
};

// The bracket sums of every slot ([slot][lane], [slot][part][lane]) for
// visitors that choose the slots they walk; c points at the first entry of
// the table and k is where the next visited row's entry stands.
template <int W>
struct WeightSums {
  const double* c;
  const double (*vp)[W];  // v^0 .. v^8
  const double* lnx;
  int k = 0;
  LaneAcc<W> re[8] = {}, im[8] = {};
  template <class A>
  constexpr RR_INLINE void operator()(int s, Term t, int part, const A&) {
    add_weight_term<W>(part == 0 ? re[s] : im[s], c, k++, t, vp, lnx);
  }
};

template <int W>
struct PartialSums {
  const double* c;
  const double* dc;
  const double (*vp)[W];
  const double* lnx;
  int k = 0;
  // [slot][part][lane]: bracket, d/dv, d/dq, d/dchi1z, d/dchi2z
  double b[8][2][W] = {}, bv[8][2][W] = {}, bq[8][2][W] = {}, b1[8][2][W] = {}, b2[8][2][W] = {};
  template <class A>
  constexpr RR_INLINE void operator()(int s, Term t, int part, const A&) {
    add_partial_terms<A, W>(c + k, dc + 3 * k, t, vp, lnx, b[s][part], bv[s][part], bq[s][part],
                            b1[s][part], b2[s][part]);
    ++k;
  }
};

template <int W>
constexpr RR_INLINE void v_powers(const double* v, double (*vp)[W]) {
  for (int l = 0; l < W; ++l) {
    vp[0][l] = 1.0;
    vp[1][l] = v[l];
  }
  for (int i = 2; i <= 8; ++i)
    for (int l = 0; l < W; ++l) vp[i][l] = vp[i - 1][l] * v[l];
}

// ------------------------------------------------------------------ the two stages
inline void fill_mode_coeffs(double q, double chi1z, double chi2z, double* t) {
  for (int i = 0; i < 102; ++i) t[i] = 0.0;
  const PnParams P = pn_params(q, chi1z, chi2z);
  t[kTabQ] = q;
  t[kTabInv1q2] = P.inv1q2;
  for (int j = 0; j < 8; ++j) t[kTabNorm + j] = mode_norm(j);
  StoreValues st{t + kTabCoef};
  mode_series(st, P.eta, P.delta, P.S, P.Sigma);
}

// The powers v^0 .. v^8 and ln x = 2 ln v of W samples: what both stages 2
// take from v (one logarithm per sample, shared when both are evaluated).
template <int W>
RR_INLINE void v_terms(const double* v, double (*vp)[W], double* lnx) {
  v_powers<W>(v, vp);
  for (int l = 0; l < W; ++l) lnx[l] = 2.0 * std::log(v[l]);
}

// Slot Slot's weights of W samples, handed to sink(slot, lane, real,
// imaginary).
template <int Slot, int W, class Sink>
RR_INLINE void eval_mode_slot(const double (*vp)[W], const double* lnx, const double* t,
                              double eta, Sink& sink) {
  SlotWeightSums<W> w{t + kTabCoef + slot_entry_offset<Slot>(), vp, lnx};
  const Skip z{};
  mode_slot<Slot>(w, z, z, z, z);
  const double Ke = t[kTabNorm + Slot] * eta;
  using V = typename LaneVec<W>::type;
  if constexpr (!std::is_void_v<V>) {
    const V f = Ke * RR_LANES_LOAD(V, vp[2]);
    double re[W], im[W];
    lanes::store(re, f * w.re);
    lanes::store(im, f * w.im);
    for (int l = 0; l < W; ++l) sink(Slot, l, re[l], im[l]);
  } else {
    for (int l = 0; l < W; ++l) {
      const double f = Ke * vp[2][l];
      sink(Slot, l, f * w.re[l], f * w.im[l]);
    }
  }
}

// Weights of W samples from their v_terms, handed to sink(slot, lane, real,
// imaginary), slot by slot.
template <int W, class Sink>
RR_INLINE void eval_mode_weights_terms(const double (*vp)[W], const double* lnx, const double* t,
                                       Sink&& sink) {
  const double eta = t[kTabQ] * t[kTabInv1q2];
  eval_mode_slot<0, W>(vp, lnx, t, eta, sink);
  eval_mode_slot<1, W>(vp, lnx, t, eta, sink);
  eval_mode_slot<2, W>(vp, lnx, t, eta, sink);
  eval_mode_slot<3, W>(vp, lnx, t, eta, sink);
  eval_mode_slot<4, W>(vp, lnx, t, eta, sink);
  eval_mode_slot<5, W>(vp, lnx, t, eta, sink);
  eval_mode_slot<6, W>(vp, lnx, t, eta, sink);
  eval_mode_slot<7, W>(vp, lnx, t, eta, sink);
}


inline void fill_dmode_coeffs(double q, double chi1z, double chi2z, double* t) {
  for (int i = 0; i < 358; ++i) t[i] = 0.0;
  fill_mode_coeffs(q, chi1z, chi2z, t);
  const PnParams P = pn_params(q, chi1z, chi2z);
  const double opq = 1.0 + q;
  const double deta_dq = (1.0 - q) / (opq * opq * opq);
  t[kDTabDEta] = deta_dq;
  const Dual eta(P.eta, deta_dq, 0.0, 0.0);
  const Dual delta(P.delta, 2.0 * P.inv1q2, 0.0, 0.0);
  const Dual S(P.S, 2.0 * (P.m1 * chi1z - P.m2 * chi2z) * P.inv1q2, P.m1 * P.m1, P.m2 * P.m2);
  const Dual Sg(P.Sigma, -(chi1z + chi2z) * P.inv1q2, -P.m1, P.m2);
  StorePartials st{t + kDTabPartials};
  mode_series(st, eta, delta, S, Sg);
}

// Slot Slot's partials of W samples, handed to sink(4 Slot + p, lane, real,
// imaginary).
template <int Slot, int W, class Sink>
RR_INLINE void eval_dmode_slot(const double (*vp)[W], const double* lnx, const double* t,
                               double eta, double deta, Sink& sink) {
  constexpr int e0 = slot_entry_offset<Slot>();
  SlotPartialSums<W> w{t + kTabCoef + e0, t + kDTabPartials + 3 * e0, vp, lnx};
  const Dep<true, false> by_q{};  // eta, delta
  const Dep<true, true> by_all{};  // S, Sigma
  mode_slot<Slot>(w, by_q, by_q, by_all, by_all);
  const double K = t[kTabNorm + Slot];
  const double Ke = K * eta;
  double o[4][2][W];
  for (int part = 0; part < 2; ++part)
    for (int l = 0; l < W; ++l) {
      const double v2 = vp[2][l], two_v = 2.0 * vp[1][l];
      // W = K eta v^2 B
      o[0][part][l] = Ke * (two_v * w.b[part][l] + v2 * w.bv[part][l]);
      o[1][part][l] = K * v2 * (deta * w.b[part][l] + eta * w.bq[part][l]);
      o[2][part][l] = Ke * v2 * w.b1[part][l];
      o[3][part][l] = Ke * v2 * w.b2[part][l];
    }
  for (int p = 0; p < 4; ++p)
    for (int l = 0; l < W; ++l) sink(4 * Slot + p, l, o[p][0][l], o[p][1][l]);
}

// Partials of W samples from their v_terms, handed to sink(slot 4 j + p,
// lane, real, imaginary), slot by slot.
template <int W, class Sink>
RR_INLINE void eval_dmode_weights_terms(const double (*vp)[W], const double* lnx,
                                        const double* t, Sink&& sink) {
  const double eta = t[kTabQ] * t[kTabInv1q2];
  const double deta = t[kDTabDEta];
  eval_dmode_slot<0, W>(vp, lnx, t, eta, deta, sink);
  eval_dmode_slot<1, W>(vp, lnx, t, eta, deta, sink);
  eval_dmode_slot<2, W>(vp, lnx, t, eta, deta, sink);
  eval_dmode_slot<3, W>(vp, lnx, t, eta, deta, sink);
  eval_dmode_slot<4, W>(vp, lnx, t, eta, deta, sink);
  eval_dmode_slot<5, W>(vp, lnx, t, eta, deta, sink);
  eval_dmode_slot<6, W>(vp, lnx, t, eta, deta, sink);
  eval_dmode_slot<7, W>(vp, lnx, t, eta, deta, sink);
}

// The weights (Partials false: slot s) or their partials (Partials true: slot
// 4 j + p) of W samples v[0..W), from their v_terms, handed to sink(slot,
// lane, real, imaginary).
template <bool Partials, int W, class Sink>
RR_INLINE void eval_weights_to(const double* v, const double* t, Sink&& sink) {
  double vp[9][W], lnx[W];
  v_terms<W>(v, vp, lnx);
  if constexpr (Partials)
    eval_dmode_weights_terms<W>(vp, lnx, t, sink);
  else
    eval_mode_weights_terms<W>(vp, lnx, t, sink);
}

// eval_weights_to into arrays: re/im[k * W + l] is slot k at sample l.
template <bool Partials, int W>
RR_INLINE void eval_weights(const double* v, const double* t, double* re, double* im) {
  eval_weights_to<Partials, W>(v, t, [&](int k, int l, double r, double i) {
    re[k * W + l] = r;
    im[k * W + l] = i;
  });
}

// ------------------------------------------------------------------ one-pass slots
// A single slot summed straight from its rows, powers of v by pow.
struct DirectSum {
  double v, lnx;
  double re = 0.0, im = 0.0;
  RR_INLINE void operator()(int, Term t, int part, double c) {
    double term = c * (t.p == 0 ? 1.0 : std::pow(v, t.p));
    if (t.lg) term = term * lnx;
    if (part == 0)
      re += term;
    else
      im += term;
  }
};

template <int Slot>
inline void mode_single(double v, double q, double chi1z, double chi2z, double* re, double* im) {
  const PnParams P = pn_params(q, chi1z, chi2z);
  DirectSum d{v, 2.0 * std::log(v)};
  mode_slot<Slot>(d, P.eta, P.delta, P.S, P.Sigma);
  const double f = mode_norm(Slot) * P.eta * std::pow(v, 2);
  *re = f * d.re;
  *im = f * d.im;
}

}  // namespace radiredide::pn4
