#pragma once
// Element fits: knots breaks[0..E] cut the axis into E elements, each element
// of each piece carries O complex Chebyshev coefficients.  These are the shared
// rules every unit uses to evaluate such a fit: the element search, the local
// coordinate, the Clenshaw sum, the phase rotation e^{i m s x}, the rewind-rate
// factor e^{i r x}, and the 32-sample value block.
//
// Everything is templated on the element type T (double or float) and done in
// T, one IEEE operation at a time in the order written here (the build uses
// -ffp-contract=off): results are reproducible bit for bit.  Complex data are
// read as interleaved (re, im) pairs of T; no complex operators are used.
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

// Complex Clenshaw sum of O coefficients c (interleaved) at u, per part:
// y = (t*y1 + c_k) - y2 for k = O-1 .. 1, then S = (u*y1 + c_0) - y2.
template <class T>
KOKKOS_INLINE_FUNCTION void clenshaw(const T* c, int32_t O, T u, T& s_re, T& s_im) {
  const T t = u + u;
  T y1r = T(0), y1i = T(0), y2r = T(0), y2i = T(0);
  for (int32_t k = O - 1; k >= 1; --k) {
    const T yr = (t * y1r + c[2 * k]) - y2r;
    const T yi = (t * y1i + c[2 * k + 1]) - y2i;
    y2r = y1r;
    y2i = y1i;
    y1r = yr;
    y1i = yi;
  }
  s_re = (u * y1r + c[0]) - y2r;
  s_im = (u * y1i + c[1]) - y2i;
}

// Real-part Clenshaw sum (the time map); bitwise the real part of clenshaw().
template <class T>
KOKKOS_INLINE_FUNCTION T clenshaw_re(const T* c, int32_t O, T u) {
  const T t = u + u;
  T s1 = T(0), s2 = T(0);
  for (int32_t k = O - 1; k >= 1; --k) {
    const T s = (t * s1 + c[2 * k]) - s2;
    s2 = s1;
    s1 = s;
  }
  return (s1 * u + c[0]) - s2;
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

// The piece part of a value block for batch row b: pieces p0 .. P-1 of the
// block's samples, piece p of sample n to out[(p - p0) * N + n] (complex,
// interleaved; `out` points at row b of a (B, P - p0, N) output).  Lane
// vectors V of W lanes; each lane does the scalar sequence:
//   Clenshaw  y = (t*y1 + c_k) - y2 (k = O-1 .. 1), S = (u*y1 + c_0) - y2,
//   rotation  V = (S.re*R.re - S.im*R.im, S.im*R.re + S.re*R.im), R = z^|m|
//             (conjugated for m < 0) from the table or by |m| - 1 products,
//   rate      a = r*x, V = (V.re*cos a - V.im*sin a, V.im*cos a + V.re*sin a).
template <class V, class T>
RR_INLINE void value_block_pieces(const ElementFitRef<T>& f, int32_t b,
                                        const ValueBlockLanes<T>& s, int32_t p0, T* out,
                                        int64_t N) {
  constexpr int32_t L = value_block_size;
  constexpr int32_t W = lanes::width<V>;
  constexpr int32_t PL = 4 * W < L ? 4 * W : L;  // lanes per pass
  constexpr int32_t NV = PL / W;
  const int32_t O = f.O, e = s.e, k = s.k;
  for (int32_t p = p0; p < f.P; ++p) {
    const T* c = f.coef_row(b, p, e);
    const int32_t m = f.emm[p];
    const T* rates = f.rates;
    T ca[L], sa[L];
    if (rates != nullptr) {
      const T r = rates[static_cast<int64_t>(b) * f.P + p];
      for (int32_t j = 0; j < k; ++j) {
        const T a = r * s.xs[j];
        ca[j] = fit_cos(a);
        sa[j] = fit_sin(a);
      }
    }
    T* o = out + 2 * (static_cast<int64_t>(p - p0) * N + s.j0);
    for (int32_t l0 = 0; l0 < k; l0 += PL) {
      V tv[NV], vr[NV], vi[NV];
      {
        // Clenshaw with the two state rows used in turn (a = y1, b = y2 at
        // the start of each pair of steps).
        V ar[NV], ai[NV], bre[NV], bim[NV];
        _Pragma("GCC unroll 8")
        for (int32_t v = 0; v < NV; ++v) {
          tv[v] = RR_LANES_LOAD(V, s.t + l0 + v * W);
          ar[v] = ai[v] = bre[v] = bim[v] = V{};
        }
        int32_t q = O - 1;
        for (; q >= 2; q -= 2) {
          const T c1r = c[2 * q], c1i = c[2 * q + 1];
          const T c2r = c[2 * q - 2], c2i = c[2 * q - 1];
          _Pragma("GCC unroll 8")
          for (int32_t v = 0; v < NV; ++v) {
            bre[v] = (tv[v] * ar[v] + c1r) - bre[v];
            bim[v] = (tv[v] * ai[v] + c1i) - bim[v];
          }
          _Pragma("GCC unroll 8")
          for (int32_t v = 0; v < NV; ++v) {
            ar[v] = (tv[v] * bre[v] + c2r) - ar[v];
            ai[v] = (tv[v] * bim[v] + c2i) - ai[v];
          }
        }
        const T c0r = c[0], c0i = c[1];
        if (q == 1) {
          const T c1r = c[2], c1i = c[3];
          _Pragma("GCC unroll 8")
          for (int32_t v = 0; v < NV; ++v) {
            bre[v] = (tv[v] * ar[v] + c1r) - bre[v];
            bim[v] = (tv[v] * ai[v] + c1i) - bim[v];
            const V uv = RR_LANES_LOAD(V, s.u + l0 + v * W);
            vr[v] = (uv * bre[v] + c0r) - ar[v];
            vi[v] = (uv * bim[v] + c0i) - ai[v];
          }
        } else {
          _Pragma("GCC unroll 8")
          for (int32_t v = 0; v < NV; ++v) {
            const V uv = RR_LANES_LOAD(V, s.u + l0 + v * W);
            vr[v] = (uv * ar[v] + c0r) - bre[v];
            vi[v] = (uv * ai[v] + c0i) - bim[v];
          }
        }
      }
      if (m != 0) {
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
          _Pragma("GCC unroll 8")
          for (int32_t v = 0; v < NV; ++v)
            _Pragma("GCC unroll 16")
            for (int32_t j = 0; j < W; ++j) {
              const int32_t lane = l0 + v * W + j;
              T rr, ri, xr = vr[v][j], xi = vi[v][j];
              rotation_power(m, s.zr[lane], s.zi[lane], rr, ri);
              rotate(xr, xi, rr, ri);
              vr[v][j] = xr;
              vi[v][j] = xi;
            }
        }
      }
      if (rates != nullptr) {
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
      if (l0 + PL <= k) {
        _Pragma("GCC unroll 8")
        for (int32_t v = 0; v < NV; ++v) lanes::store_pairs(o + 2 * (l0 + v * W), vr[v], vi[v]);
      } else {
        _Pragma("GCC unroll 8")
        for (int32_t v = 0; v < NV; ++v)
          _Pragma("GCC unroll 16")
          for (int32_t j = 0; j < W; ++j) {
            const int32_t lane = l0 + v * W + j;
            if (lane < k) {
              o[2 * lane] = vr[v][j];
              o[2 * lane + 1] = vi[v][j];
            }
          }
      }
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
