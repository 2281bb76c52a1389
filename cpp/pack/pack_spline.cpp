// Not-a-knot cubic splines of several series over one knot vector.
//
// The knot part of the tridiagonal system (interval widths, diagonal after
// elimination, elimination factors) is the same for every series fitted over
// the same knots, so it is formed once; the series themselves are solved one
// per lane, up to eight at a time.  Every lane performs exactly the operations
// of spline_nak on its own series, in the same order, so each table is bit for
// bit the one spline_nak writes.  The passes run at the widest tier the
// processor has among their variants (common/variants.hpp).
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

#include "common/lanes.hpp"
#include "pack/pack_numerics.hpp"

namespace radiredide {

namespace {

// Everything of spline_knots but the elimination, whose factors f and
// diagonal g form one chain of divisions from knot to knot.
void knots_setup(const double* s, int32_t n, SplineKnots& kn) {
  const size_t nn = static_cast<size_t>(n);
  kn.n = n;
  kn.h.resize(nn - 1);
  kn.p.resize(nn);
  kn.g.resize(nn);
  kn.f.resize(nn);
  double* h = kn.h.data();
  double* p = kn.p.data();
  double* g = kn.g.data();
  for (int32_t j = 0; j <= n - 2; ++j) h[j] = s[j + 1] - s[j];
  for (int32_t i = 1; i <= n - 2; ++i) {
    g[i] = (h[i - 1] + h[i]) + (h[i - 1] + h[i]);
    p[i] = h[i - 1];
  }
  {
    const double w = s[2] - s[0];
    g[0] = h[1];
    p[0] = w;
    kn.w0 = w;
    kn.a0 = ((w + w) + h[0]) * h[1];
    kn.b0 = h[0] * h[0];
  }
  {
    const double w = s[n - 1] - s[n - 3];
    g[n - 1] = h[n - 3];
    p[n - 1] = 0.0;
    kn.w1 = w;
    kn.a1 = ((w + w) + h[n - 2]) * h[n - 3];
    kn.b1 = h[n - 2] * h[n - 2];
  }
  kn.f[0] = 0.0;
}

// Elimination step j of kn.
inline void knots_eliminate(SplineKnots& kn, int32_t j) {
  const double l = j <= kn.n - 2 ? kn.h[j] : kn.w1;
  kn.f[j] = l / kn.g[j - 1];
  kn.g[j] = kn.g[j] - kn.f[j] * kn.p[j - 1];
}

}  // namespace

bool spline_knots(const double* s, int32_t n, SplineKnots& kn) {
  if (n < 4) return false;
  knots_setup(s, n, kn);
  for (int32_t j = 1; j <= n - 1; ++j) knots_eliminate(kn, j);
  return true;
}

bool spline_knots_two(const double* s1, const double* s2, int32_t n, SplineKnots& kn1,
                      SplineKnots& kn2) {
  if (n < 4) return false;
  knots_setup(s1, n, kn1);
  knots_setup(s2, n, kn2);
  // The two chains side by side: each step of one overlaps the other's.
  for (int32_t j = 1; j <= n - 1; ++j) {
    knots_eliminate(kn1, j);
    knots_eliminate(kn2, j);
  }
  return true;
}

namespace {

constexpr int kW = 4;      // series per pass
constexpr int kWideW = 8;  // series per pass when more than kW remain

// Series lane[0 .. valid) of one pass of kW lanes; the lanes past `valid`
// repeat the last valid series and are not written.  m and r are scratch of
// (n - 1) and n entries per lane.  Two sweeps: the forward one forms the
// slopes, the right-hand side and its elimination knot by knot; the backward
// one substitutes back and writes each interval's table entries as soon as
// both of its knot slopes are known.
template <int kW>
RR_INLINE void spline_pass_lanes(const SplineKnots& kn,
                                                             const double* const* y, int64_t yinc,
                                                             double* const* out, int64_t oinc,
                                                             int valid, double* m, double* r) {
  const int32_t n = kn.n;
  const double* h = kn.h.data();
  const double* p = kn.p.data();
  const double* g = kn.g.data();
  const double* f = kn.f.data();
  const double* ys[kW];
  for (int l = 0; l < kW; ++l) ys[l] = y[l < valid ? l : valid - 1];

  // Forward: slopes m, right-hand side, elimination with the shared factors.
  double ya[kW], yb[kW], ma[kW], mb[kW], rp[kW];
  for (int l = 0; l < kW; ++l) {
    ya[l] = ys[l][0];
    yb[l] = ys[l][yinc];
  }
  {
    const double h0 = h[0];
    for (int l = 0; l < kW; ++l) ma[l] = (yb[l] - ya[l]) / h0;
    for (int l = 0; l < kW; ++l) ya[l] = ys[l][2 * yinc];
    const double h1 = h[1];
    for (int l = 0; l < kW; ++l) mb[l] = (ya[l] - yb[l]) / h1;
    for (int l = 0; l < kW; ++l) {
      m[l] = ma[l];
      rp[l] = (kn.a0 * ma[l] + kn.b0 * mb[l]) / kn.w0;
      r[l] = rp[l];
    }
  }
  // Here ma = m[i - 1], mb = m[i], ya = y[i + 1].
  for (int32_t i = 1; i <= n - 2; ++i) {
    const double ha = h[i - 1], hb = h[i], fi = f[i];
    for (int l = 0; l < kW; ++l) {
      m[i * kW + l] = mb[l];
      const double ri = (ha * mb[l] + ma[l] * hb) * 3.0;
      rp[l] = ri - fi * rp[l];
      r[i * kW + l] = rp[l];
    }
    if (i + 1 <= n - 2) {
      const double hn = h[i + 1];
      for (int l = 0; l < kW; ++l) {
        yb[l] = ys[l][(i + 2) * yinc];
        ma[l] = mb[l];
        mb[l] = (yb[l] - ya[l]) / hn;
        ya[l] = yb[l];
      }
    }
  }
  {
    const double fz = f[n - 1], gl = g[n - 1];
    // mb = m[n - 2], ma = m[n - 3]
    for (int l = 0; l < kW; ++l) {
      const double rz = (kn.a1 * mb[l] + kn.b1 * ma[l]) / kn.w1;
      rp[l] = (rz - fz * rp[l]) / gl;  // the last knot slope
    }
  }
  // Backward: knot slopes D (rp holds D[k + 1]) and the table of interval k.
  const int64_t ni = n - 1;
  for (int32_t k = n - 2; k >= 0; --k) {
    const double pk = p[k], gk = g[k], hk = h[k];
    double c0[kW], c1[kW], c2[kW], c3[kW];
    for (int l = 0; l < kW; ++l) {
      const double Dn = rp[l];
      const double Dk = (r[k * kW + l] - Dn * pk) / gk;
      const double mk = m[k * kW + l];
      const double K = ((Dn + Dk) - (mk + mk)) / hk;
      c0[l] = K / hk;
      c1[l] = (mk - Dk) / hk - K;
      c2[l] = Dk;
      rp[l] = Dk;
    }
    for (int l = 0; l < kW; ++l) c3[l] = ys[l][k * yinc];
    for (int l = 0; l < valid; ++l) {
      double* o = out[l];
      o[k * oinc] = c0[l];
      o[(ni + k) * oinc] = c1[l];
      o[(2 * ni + k) * oinc] = c2[l];
      o[(3 * ni + k) * oinc] = c3[l];
    }
  }
}

// kW series at once, with AVX2 or the baseline.
void spline_pass(const SplineKnots& kn, const double* const* y, int64_t yinc, double* const* out,
                 int64_t oinc, int valid, double* m, double* r) {
  variants::run<Isa::avx2, Isa::generic>(
      detected_isa(),
      []<Isa>(const SplineKnots& k, const double* const* ys, int64_t yi, double* const* o,
              int64_t oi, int v, double* mm, double* rr) RR_INLINE_LAMBDA {
        spline_pass_lanes<kW>(k, ys, yi, o, oi, v, mm, rr);
      },
      kn, y, yinc, out, oinc, valid, m, r);
}

// One or two series: no lane repeats another series' work.
void spline_pass_one(const SplineKnots& kn, const double* const* y, int64_t yinc,
                     double* const* out, int64_t oinc, double* m, double* r) {
  spline_pass_lanes<1>(kn, y, yinc, out, oinc, 1, m, r);
}
void spline_pass_two(const SplineKnots& kn, const double* const* y, int64_t yinc,
                     double* const* out, int64_t oinc, double* m, double* r) {
  spline_pass_lanes<2>(kn, y, yinc, out, oinc, 2, m, r);
}

// Eight series at once: the back substitution's chains of eight series overlap.
void spline_pass_wide(const SplineKnots& kn, const double* const* y, int64_t yinc,
                      double* const* out, int64_t oinc, int valid, double* m, double* r) {
  variants::run<Isa::avx512, Isa::avx2, Isa::generic>(
      detected_isa(),
      []<Isa>(const SplineKnots& k, const double* const* ys, int64_t yi, double* const* o,
              int64_t oi, int v, double* mm, double* rr) RR_INLINE_LAMBDA {
        spline_pass_lanes<kWideW>(k, ys, yi, o, oi, v, mm, rr);
      },
      kn, y, yinc, out, oinc, valid, m, r);
}

// ------------------------------------------------ series in (re, im) pairs

// Lane vector of P pairs.
template <int P>
struct PairVec;
template <>
struct PairVec<1> {
  using type = lanes::d2;
};
template <>
struct PairVec<2> {
  using type = lanes::d4;
};
template <>
struct PairVec<4> {
  using type = lanes::d8;
};

// The P pairs at entry `at` of each pair's base, as one lane vector (pair p in
// lanes 2p, 2p + 1), and back.
template <int P, class V>
RR_INLINE void load_pairs_at(const double* const* y, int64_t at, V& v) {
  const lanes::d2 a = RR_LANES_LOAD(lanes::d2, y[0] + at);
  if constexpr (P == 1) {
    v = a;
  } else {
    const lanes::d2 b = RR_LANES_LOAD(lanes::d2, y[1] + at);
    const lanes::d4 ab = __builtin_shufflevector(a, b, 0, 1, 2, 3);
    if constexpr (P == 2) {
      v = ab;
    } else {
      const lanes::d2 c = RR_LANES_LOAD(lanes::d2, y[2] + at);
      const lanes::d2 d = RR_LANES_LOAD(lanes::d2, y[3] + at);
      const lanes::d4 cd = __builtin_shufflevector(c, d, 0, 1, 2, 3);
      v = __builtin_shufflevector(ab, cd, 0, 1, 2, 3, 4, 5, 6, 7);
    }
  }
}
template <int P, class V>
RR_INLINE void store_pairs_at(double* const* out, int64_t at, const V& v) {
  if constexpr (P == 1) {
    lanes::store(out[0] + at, v);
  } else if constexpr (P == 2) {
    lanes::store(out[0] + at, __builtin_shufflevector(v, v, 0, 1));
    lanes::store(out[1] + at, __builtin_shufflevector(v, v, 2, 3));
  } else {
    lanes::store(out[0] + at, __builtin_shufflevector(v, v, 0, 1));
    lanes::store(out[1] + at, __builtin_shufflevector(v, v, 2, 3));
    lanes::store(out[2] + at, __builtin_shufflevector(v, v, 4, 5));
    lanes::store(out[3] + at, __builtin_shufflevector(v, v, 6, 7));
  }
}

// spline_pass_lanes over the 2P series of P pairs, each series in one lane of
// a vector: the same two sweeps and, lane by lane, the same operations.  m and
// r are scratch of (n - 1) and n vectors.
template <int P>
RR_INLINE void spline_pairs_pass(const SplineKnots& kn, const double* const* y,
                                       int64_t yinc, double* const* out, int64_t oinc,
                                       int64_t orow, double* m, double* r) {
  using V = typename PairVec<P>::type;
  constexpr int W = 2 * P;
  const int32_t n = kn.n;
  const double* h = kn.h.data();
  const double* p = kn.p.data();
  const double* g = kn.g.data();
  const double* f = kn.f.data();

  V ya, yb, ma, mb, rp;
  load_pairs_at<P>(y, 0, ya);
  load_pairs_at<P>(y, yinc, yb);
  ma = (yb - ya) / h[0];
  load_pairs_at<P>(y, 2 * yinc, ya);
  mb = (ya - yb) / h[1];
  lanes::store(m, ma);
  rp = (kn.a0 * ma + kn.b0 * mb) / kn.w0;
  lanes::store(r, rp);
  // Here ma = m[i - 1], mb = m[i], ya = y[i + 1].
  for (int32_t i = 1; i <= n - 2; ++i) {
    const double ha = h[i - 1], hb = h[i], fi = f[i];
    lanes::store(m + i * W, mb);
    const V ri = (ha * mb + ma * hb) * 3.0;
    rp = ri - fi * rp;
    lanes::store(r + i * W, rp);
    if (i + 1 <= n - 2) {
      load_pairs_at<P>(y, (i + 2) * yinc, yb);
      ma = mb;
      mb = (yb - ya) / h[i + 1];
      ya = yb;
    }
  }
  {
    const V rz = (kn.a1 * mb + kn.b1 * ma) / kn.w1;
    rp = (rz - f[n - 1] * rp) / g[n - 1];  // the last knot slope
  }
  // Backward: knot slopes D (rp holds D[k + 1]) and the table of interval k.
  const int64_t ni = orow;
  for (int32_t k = n - 2; k >= 0; --k) {
    const double pk = p[k], gk = g[k], hk = h[k];
    const V Dn = rp;
    const V Dk = (RR_LANES_LOAD(V, r + k * W) - Dn * pk) / gk;
    const V mk = RR_LANES_LOAD(V, m + k * W);
    const V K = ((Dn + Dk) - (mk + mk)) / hk;
    store_pairs_at<P>(out, k * oinc, K / hk);
    store_pairs_at<P>(out, (ni + k) * oinc, (mk - Dk) / hk - K);
    store_pairs_at<P>(out, (2 * ni + k) * oinc, Dk);
    V yk;
    load_pairs_at<P>(y, k * yinc, yk);
    store_pairs_at<P>(out, (3 * ni + k) * oinc, yk);
    rp = Dk;
  }
}

// Four pairs per pass while four remain, then two, then one.
RR_INLINE void spline_pairs_all(const SplineKnots& kn, int32_t npairs,
                                      const double* const* y, int64_t yinc, double* const* out,
                                      int64_t oinc, int64_t orow, double* m, double* r) {
  for (int32_t p0 = 0; p0 < npairs;) {
    const int32_t left = npairs - p0;
    if (left >= 4) {
      spline_pairs_pass<4>(kn, y + p0, yinc, out + p0, oinc, orow, m, r);
      p0 += 4;
    } else if (left >= 2) {
      spline_pairs_pass<2>(kn, y + p0, yinc, out + p0, oinc, orow, m, r);
      p0 += 2;
    } else {
      spline_pairs_pass<1>(kn, y + p0, yinc, out + p0, oinc, orow, m, r);
      p0 += 1;
    }
  }
}

}  // namespace

void spline_series(const SplineKnots& kn, int32_t nser, const double* const* y, int64_t yinc,
                   double* const* out, int64_t oinc) {
  if (nser <= 0) return;
  const size_t n = static_cast<size_t>(kn.n);
  const int w = nser > kW ? kWideW : kW;
  std::unique_ptr<double[]> m(new double[(n - 1) * w]);
  std::unique_ptr<double[]> r(new double[n * w]);
  for (int32_t s0 = 0; s0 < nser;) {
    const int32_t left = nser - s0;
    if (left > kW) {
      const int valid = left < kWideW ? left : kWideW;
      spline_pass_wide(kn, y + s0, yinc, out + s0, oinc, valid, m.get(), r.get());
      s0 += valid;
    } else if (left == 1) {
      spline_pass_one(kn, y + s0, yinc, out + s0, oinc, m.get(), r.get());
      s0 += left;
    } else if (left == 2) {
      spline_pass_two(kn, y + s0, yinc, out + s0, oinc, m.get(), r.get());
      s0 += left;
    } else {
      spline_pass(kn, y + s0, yinc, out + s0, oinc, left, m.get(), r.get());
      s0 += left;
    }
  }
}

}  // namespace radiredide

namespace radiredide {

void spline_series_pairs(const SplineKnots& kn, int32_t npairs, const double* const* y,
                         int64_t yinc, double* const* out, int64_t oinc, int64_t orow) {
  if (npairs <= 0) return;
  const size_t n = static_cast<size_t>(kn.n);
  if (orow < 0) orow = kn.n - 1;
  const int w = npairs >= 4 ? 8 : npairs >= 2 ? 4 : 2;
  std::unique_ptr<double[]> m(new double[(n - 1) * w]);
  std::unique_ptr<double[]> r(new double[n * w]);
  variants::run<Isa::avx512, Isa::avx2, Isa::generic>(
      detected_isa(),
      []<Isa>(const SplineKnots& k, int32_t np, const double* const* ys, int64_t yi,
              double* const* o, int64_t oi, int64_t orw, double* mm, double* rr)
          RR_INLINE_LAMBDA { spline_pairs_all(k, np, ys, yi, o, oi, orw, mm, rr); },
      kn, npairs, y, yinc, out, oinc, orow, m.get(), r.get());
}

}  // namespace radiredide
