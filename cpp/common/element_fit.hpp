#pragma once
// Element fits: knots breaks[0..E] cut the axis into E elements, each element
// of each piece carries O complex Chebyshev coefficients.  These are the shared
// rules every unit uses to evaluate such a fit: the element search, the local
// coordinate, the phase rotation e^{i m s x}, the rewind-rate factor e^{i r x},
// and the 32-sample value block; the Chebyshev sums are the three-term form of
// common/chebyshev.hpp.
//
// Everything is templated on the element type T (double or float) and done in
// T, one IEEE operation at a time in the order written here (the build uses
// -ffp-contract=off): results are reproducible bit for bit.  Complex data are
// read as interleaved (re, im) pairs of T; no complex operators are used.
#include "common/chebyshev.hpp"
#include "common/lanes.hpp"

#include <Kokkos_Core.hpp>

#include <cmath>
#include <cstdint>

namespace radiredide::fit {

// C library trigonometry: cos/sin on double, cosf/sinf on float.
KOKKOS_INLINE_FUNCTION double fit_cos(double x) { return std::cos(x); }
KOKKOS_INLINE_FUNCTION double fit_sin(double x) { return std::sin(x); }
KOKKOS_INLINE_FUNCTION float fit_cos(float x) { return ::cosf(x); }
KOKKOS_INLINE_FUNCTION float fit_sin(float x) { return ::sinf(x); }
KOKKOS_INLINE_FUNCTION double fit_abs(double x) { return std::fabs(x); }
KOKKOS_INLINE_FUNCTION float fit_abs(float x) { return ::fabsf(x); }

// Read-only description of one fit layout and its coefficient batch.
template <class T>
struct ElementFitRef {
  const T* breaks = nullptr;   // E + 1 knots
  int32_t E = 0;
  const int32_t* emm = nullptr;  // P mode numbers
  int32_t P = 0;
  T phase_sign = T(0);
  const T* coefs = nullptr;    // (B, P, E, O) complex, interleaved
  int32_t O = 0;
  const T* rates = nullptr;    // (B, P) rewind rates, or nullptr for none

  // First T of coefs[b, p, e, 0] (offsets in 64 bits).
  KOKKOS_INLINE_FUNCTION const T* coef_row(int32_t b, int32_t p, int32_t e) const {
    return coefs + 2 * (((static_cast<int64_t>(b) * P + p) * E + e) * O);
  }
};

// The largest e in [1, E-1] with breaks[e] <= x, else 0 (also for NaN x).
// breaks[0] and breaks[E] are never compared; E <= 1 reads no knot.
template <class T>
KOKKOS_INLINE_FUNCTION int32_t find_element(const T* breaks, int32_t E, T x) {
  int32_t lo = 0, hi = E - 1;
  while (lo < hi) {
    const int32_t mid = lo + (hi - lo + 1) / 2;  // (lo + hi + 1) / 2 without overflow
    if (breaks[mid] <= x)
      lo = mid;
    else
      hi = mid - 1;
  }
  return lo;
}

// Whether x still belongs to the run of element e (ends extrapolate).
template <class T>
KOKKOS_INLINE_FUNCTION bool in_run(const T* breaks, int32_t E, int32_t e, T x) {
  return (e == 0 || x >= breaks[e]) && (e == E - 1 || x < breaks[e + 1]);
}

// Whether find_element(x) == e, for strictly increasing knots, without the
// search (NaN samples belong to element 0).
template <class T>
KOKKOS_INLINE_FUNCTION bool element_is(const T* breaks, int32_t E, int32_t e, T x) {
  return in_run(breaks, E, e, x) || (e == 0 && x != x);
}

// find_element(x), trying the element `hint` first (strictly increasing knots).
template <class T>
KOKKOS_INLINE_FUNCTION int32_t find_element_from(const T* breaks, int32_t E, T x,
                                                 int32_t hint) {
  return element_is(breaks, E, hint, x) ? hint : find_element(breaks, E, x);
}

// u = (d + d) / (breaks[e+1] - breaks[e]) - 1 with d = x - breaks[e].
template <class T>
KOKKOS_INLINE_FUNCTION T local_coord(const T* breaks, int32_t e, T x) {
  const T d = x - breaks[e];
  return (d + d) / (breaks[e + 1] - breaks[e]) - T(1);
}

// One step of the power recurrence: w <- w * z, as
// (w.re*z.re - w.im*z.im, w.re*z.im + w.im*z.re).
template <class T>
KOKKOS_INLINE_FUNCTION void times_z(T& wr, T& wi, T zr, T zi) {
  const T nr = wr * zr - wi * zi;
  const T ni = wr * zi + wi * zr;
  wr = nr;
  wi = ni;
}

// Rotation factor R = z^|m| by |m| - 1 successive products, conjugated for
// m < 0.  Requires m != 0 (m = 0 carries no factor).
template <class T>
KOKKOS_INLINE_FUNCTION void rotation_power(int32_t m, T zr, T zi, T& rr, T& ri) {
  const int64_t am = m < 0 ? -static_cast<int64_t>(m) : static_cast<int64_t>(m);
  T wr = zr, wi = zi;
  for (int64_t i = 1; i < am; ++i) times_z(wr, wi, zr, zi);
  rr = wr;
  ri = m < 0 ? -wi : wi;
}

// V = S * R as (S.re*R.re - S.im*R.im, S.im*R.re + S.re*R.im).
template <class T>
KOKKOS_INLINE_FUNCTION void rotate(T& vr, T& vi, T rr, T ri) {
  const T nr = vr * rr - vi * ri;
  const T ni = vi * rr + vr * ri;
  vr = nr;
  vi = ni;
}

// Rate factor: a = r * x, V = (V.re*cos a - V.im*sin a, V.im*cos a + V.re*sin a).
template <class T>
KOKKOS_INLINE_FUNCTION void rate_factor(T& vr, T& vi, T r, T x) {
  const T a = r * x;
  const T ca = fit_cos(a), sa = fit_sin(a);
  const T nr = vr * ca - vi * sa;
  const T ni = vi * ca + vr * sa;
  vr = nr;
  vi = ni;
}

// Largest |m_p| over pieces p0 .. P-1 (0 when there are none).
inline int64_t max_abs_mode(const int32_t* emm, int32_t p0, int32_t P) {
  int64_t M = 0;
  for (int32_t p = p0; p < P; ++p) {
    const int64_t a = emm[p] < 0 ? -static_cast<int64_t>(emm[p]) : emm[p];
    if (a > M) M = a;
  }
  return M;
}

inline constexpr int32_t value_block_size = 32;
inline constexpr int32_t power_table_max = 16;

// Samples, local coordinates and rotation powers of one value block: k <= 32
// samples x[j0 .. j0+k-1], all in element e.  Lanes past k repeat sample j0
// (their results are never stored) so that the lane loops run over all 32.
template <class T>
struct ValueBlockLanes {
  static constexpr int32_t L = value_block_size;
  alignas(64) T xs[L];
  alignas(64) T u[L];
  alignas(64) T t[L];
  alignas(64) T zr[L];
  alignas(64) T zi[L];
  alignas(64) T tr[power_table_max + 1][L];
  alignas(64) T ti[power_table_max + 1][L];
  int64_t j0;
  int32_t k, e;
  int64_t M;
  bool table;
};

// The sample part of a value block: local coordinates, and for M >= 1 the
// rotation base z = (cos(s x), sin(s x)) with, for M <= 16, its powers
// z^1 .. z^M.  M is the largest |m_p| over the pieces the block evaluates.
template <class T>
RR_INLINE void value_block_setup(const ElementFitRef<T>& f, const T* x, int64_t j0,
                                       int32_t k, int32_t e, int64_t M, ValueBlockLanes<T>& s) {
  constexpr int32_t L = value_block_size;
  const T* br = f.breaks;
  s.j0 = j0;
  s.k = k;
  s.e = e;
  s.M = M;
  for (int32_t j = 0; j < L; ++j) s.xs[j] = x[j0 + (j < k ? j : 0)];
  {
    const T b0 = br[e], w = br[e + 1] - br[e];
    for (int32_t j = 0; j < L; ++j) {
      const T d = s.xs[j] - b0;
      s.u[j] = (d + d) / w - T(1);
      s.t[j] = s.u[j] + s.u[j];
    }
  }
  if (M >= 1) {
    for (int32_t j = 0; j < k; ++j) {
      const T a = f.phase_sign * s.xs[j];
      s.zr[j] = fit_cos(a);
      s.zi[j] = fit_sin(a);
    }
    for (int32_t j = k; j < L; ++j) {
      s.zr[j] = s.zr[0];
      s.zi[j] = s.zi[0];
    }
  }
  s.table = M >= 1 && M <= power_table_max;
  if (s.table) {
    for (int32_t j = 0; j < L; ++j) {
      s.tr[1][j] = s.zr[j];
      s.ti[1][j] = s.zi[j];
    }
    for (int64_t h = 2; h <= M; ++h)
      for (int32_t j = 0; j < L; ++j) {
        s.tr[h][j] = s.tr[h - 1][j] * s.zr[j] - s.ti[h - 1][j] * s.zi[j];
        s.ti[h][j] = s.tr[h - 1][j] * s.zi[j] + s.ti[h - 1][j] * s.zr[j];
      }
  }
}

// The steps of value_block_pieces on one pass of NV lane vectors V (W lanes
// each), lanes l0 .. l0 + NV*W - 1 of the block; vr, vi carry the pass's
// values from step to step.

// f(v, j, lane) for lane j of every vector v of the pass (lane: its index in
// the block), unrolled.
template <class V, int NV, class F>
RR_INLINE void each_lane(int32_t l0, const F& f) {
  constexpr int32_t W = lanes::width<V>;
  _Pragma("GCC unroll 8")
  for (int32_t v = 0; v < NV; ++v)
    _Pragma("GCC unroll 16")
    for (int32_t j = 0; j < W; ++j) f(v, j, l0 + v * W + j);
}

// Clenshaw: the three-term sums S of both parts of coefficient row c, the two
// state rows used in turn.
template <class V, int NV, class T>
RR_INLINE void block_clenshaw(const T* c, int32_t O, const ValueBlockLanes<T>& s, int32_t l0,
                              V (&vr)[NV], V (&vi)[NV]) {
  constexpr int32_t W = lanes::width<V>;
  V tv[NV];
  _Pragma("GCC unroll 8")
  for (int32_t v = 0; v < NV; ++v) tv[v] = RR_LANES_LOAD(V, s.t + l0 + v * W);
  cheb::three_term_rows<NV, 2, cheb::unroll_lanes, V>(
      O, cheb::interleaved(c),
      [&](int v) RR_INLINE_LAMBDA { return RR_LANES_LOAD(V, s.u + l0 + v * W); }, cheb::at(tv),
      [&](int v, int p, const V& r) RR_INLINE_LAMBDA { (p == 0 ? vr : vi)[v] = r; });
}

// Rotation V = (S.re*R.re - S.im*R.im, S.im*R.re + S.re*R.im) by R = z^|m|
// (conjugated for m < 0), m != 0: from the block's power table, or per lane by
// |m| - 1 products.
template <class V, int NV, class T>
RR_INLINE void block_rotate(const ValueBlockLanes<T>& s, int32_t m, int32_t l0, V (&vr)[NV],
                            V (&vi)[NV]) {
  constexpr int32_t W = lanes::width<V>;
  if (s.table) {
    const int32_t am = m < 0 ? -m : m;
    _Pragma("GCC unroll 8")
    for (int32_t v = 0; v < NV; ++v) {
      const V rr = RR_LANES_LOAD(V, s.tr[am] + l0 + v * W);
      const V tim = RR_LANES_LOAD(V, s.ti[am] + l0 + v * W);
      const V ri = m > 0 ? tim : -tim;  // R = (re, -im) of the entry for m < 0
      const V nr = vr[v] * rr - vi[v] * ri;
      const V ni = vi[v] * rr + vr[v] * ri;
      vr[v] = nr;
      vi[v] = ni;
    }
  } else {
    each_lane<V, NV>(l0, [&](int32_t v, int32_t j, int32_t lane) RR_INLINE_LAMBDA {
      T rr, ri, xr = vr[v][j], xi = vi[v][j];
      rotation_power(m, s.zr[lane], s.zi[lane], rr, ri);
      rotate(xr, xi, rr, ri);
      vr[v][j] = xr;
      vi[v][j] = xi;
    });
  }
}

// cos a, sin a of the rate angles a = r*x of the block's k samples.
template <class T>
RR_INLINE void block_rate_angles(T r, const ValueBlockLanes<T>& s, T* ca, T* sa) {
  for (int32_t j = 0; j < s.k; ++j) {
    const T a = r * s.xs[j];
    ca[j] = fit_cos(a);
    sa[j] = fit_sin(a);
  }
}

// Rate factor V = (V.re*cos a - V.im*sin a, V.im*cos a + V.re*sin a); lanes
// past the block's k samples take sample 0's angle.
template <class V, int NV, class T>
RR_INLINE void block_rate(const T* ca, const T* sa, int32_t k, int32_t l0, V (&vr)[NV],
                          V (&vi)[NV]) {
  constexpr int32_t W = lanes::width<V>;
  _Pragma("GCC unroll 8")
  for (int32_t v = 0; v < NV; ++v) {
    V cv, sv;
    _Pragma("GCC unroll 16")
    for (int32_t j = 0; j < W; ++j) {
      const int32_t lane = l0 + v * W + j < k ? l0 + v * W + j : 0;
      cv[j] = ca[lane];
      sv[j] = sa[lane];
    }
    const V nr = vr[v] * cv - vi[v] * sv;
    const V ni = vi[v] * cv + vr[v] * sv;
    vr[v] = nr;
    vi[v] = ni;
  }
}

// Store of the pass's lanes below k as (re, im) pairs at o.
template <class V, int NV, class T>
RR_INLINE void block_store(T* o, int32_t k, int32_t l0, const V (&vr)[NV], const V (&vi)[NV]) {
  constexpr int32_t W = lanes::width<V>;
  if (l0 + NV * W <= k) {
    _Pragma("GCC unroll 8")
    for (int32_t v = 0; v < NV; ++v) lanes::store_pairs(o + 2 * (l0 + v * W), vr[v], vi[v]);
  } else {
    each_lane<V, NV>(l0, [&](int32_t v, int32_t j, int32_t lane) RR_INLINE_LAMBDA {
      if (lane < k) {
        o[2 * lane] = vr[v][j];
        o[2 * lane + 1] = vi[v][j];
      }
    });
  }
}

// The piece part of a value block for batch row b: pieces p0 .. P-1 of the
// block's samples, piece p of sample n to out[(p - p0) * N + n] (complex,
// interleaved; `out` points at row b of a (B, P - p0, N) output).  Lane
// vectors V of W lanes, passes of up to 4 vectors; each lane does the scalar
// sequence:
//   Clenshaw  the three-term form (common/chebyshev.hpp) of both parts,
//   rotation  V = (S.re*R.re - S.im*R.im, S.im*R.re + S.re*R.im), R = z^|m|
//             (conjugated for m < 0) from the table or by |m| - 1 products,
//   rate      a = r*x, V = (V.re*cos a - V.im*sin a, V.im*cos a + V.re*sin a).
template <class V, class T>
RR_INLINE void value_block_pieces(const ElementFitRef<T>& f, int32_t b,
                                  const ValueBlockLanes<T>& s, int32_t p0, T* out, int64_t N) {
  constexpr int32_t L = value_block_size;
  constexpr int32_t W = lanes::width<V>;
  constexpr int32_t PL = 4 * W < L ? 4 * W : L;  // lanes per pass
  constexpr int32_t NV = PL / W;
  const int32_t O = f.O, k = s.k;
  for (int32_t p = p0; p < f.P; ++p) {
    const T* c = f.coef_row(b, p, s.e);
    const int32_t m = f.emm[p];
    const T* rates = f.rates;
    T ca[L], sa[L];
    if (rates != nullptr) block_rate_angles(rates[static_cast<int64_t>(b) * f.P + p], s, ca, sa);
    T* o = out + 2 * (static_cast<int64_t>(p - p0) * N + s.j0);
    for (int32_t l0 = 0; l0 < k; l0 += PL) {
      V vr[NV], vi[NV];
      block_clenshaw<V>(c, O, s, l0, vr, vi);
      if (m != 0) block_rotate<V>(s, m, l0, vr, vi);
      if (rates != nullptr) block_rate<V>(ca, sa, k, l0, vr, vi);
      block_store<V>(o, k, l0, vr, vi);
    }
  }
}

// Value block: pieces p0 .. P-1 of batch row b at the k <= 32 samples
// x[j0 .. j0+k-1], all in element e, with lane vectors V.  M is the largest
// |m_p| over p0 .. P-1: for 1 <= M <= 16 one power table z^1 .. z^M per
// sample serves every piece.
template <class V, class T>
RR_INLINE void value_block(const ElementFitRef<T>& f, int32_t b, const T* x, int64_t j0,
                                 int32_t k, int32_t e, int32_t p0, int64_t M, T* out,
                                 int64_t N) {
  ValueBlockLanes<T> s;
  value_block_setup(f, x, j0, k, e, M, s);
  value_block_pieces<V>(f, b, s, p0, out, N);
}

}  // namespace radiredide::fit
