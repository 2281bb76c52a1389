#pragma once
// Hybridised-extension synthesis: Phi(t) from the cubic spline of the coarse
// time map, every mode's complex amplitude from its cubic spline in Phi, and
// the rotation exp(i m s Phi).  One-row kernel (cursor searches, 16-sample
// blocks with a shared power table) and ragged-batch kernel (independent
// bisections per sample).  Both perform the same floating-point operations in
// the same order, so a batch row equals the one-row result bit for bit.
//
// Spline tables are (4, n-1) row-major: column i holds interval i's
// coefficients of d^3, d^2, d, 1 with d measured from knot i.
#include "common/lanes.hpp"
#include "common/staging.hpp"

#include <Kokkos_Core.hpp>

#include <cmath>
#include <cstddef>
#include <complex>
#include <cstdint>

namespace radiredide {
namespace hybrid {

// Largest i in [0, n-2] with knots[i] <= x, 0 when there is none (also for NaN).
KOKKOS_INLINE_FUNCTION int32_t bisect(const double* knots, int32_t n, double x) {
  int32_t lo = 0, hi = n - 2;
  while (lo < hi) {
    const int32_t mid = (lo + hi + 1) / 2;
    if (x < knots[mid] || x != x)
      hi = mid - 1;
    else
      lo = mid;
  }
  return lo;
}

// The same interval found by walking from a previous result c (NaN keeps c).
KOKKOS_INLINE_FUNCTION int32_t walk(const double* knots, int32_t n, double x, int32_t c) {
  while (c > 0 && knots[c] > x) --c;
  while (c + 1 <= n - 2 && x >= knots[c + 1]) ++c;
  return c;
}

// (((+0 + c3) + c2 d) + c1 d^2) + c0 d^3: the leading +0.0 is part of the
// result's definition (it turns a -0.0 constant term into +0.0).
KOKKOS_INLINE_FUNCTION double cubic(double c0, double c1, double c2, double c3, double d,
                                    double d2, double d3) {
  return (((+0.0 + c3) + c2 * d) + c1 * d2) + c0 * d3;
}

// One step of the power chain: (re, im) <- g * (re, im).
KOKKOS_INLINE_FUNCTION void power_step(double gre, double gim, double& re, double& im) {
  const double nre = gre * re - gim * im;
  const double nim = gim * re + gre * im;
  re = nre;
  im = nim;
}

// z^m by repeated multiplication with base z (m > 0) or conj(z) (m < 0); m != 0.
KOKKOS_INLINE_FUNCTION void rotation_chain(double zre, double zim, int32_t m, double& wre,
                                           double& wim) {
  const double gre = zre;
  const double gim = m > 0 ? zim : -zim;
  const int32_t am = m > 0 ? m : -m;
  wre = gre;
  wim = gim;
  for (int32_t s = 1; s < am; ++s) power_step(gre, gim, wre, wim);
}

// v <- w * v.
KOKKOS_INLINE_FUNCTION void rotate(double wre, double wim, double& vre, double& vim) {
  const double nre = wre * vre - wim * vim;
  const double nim = wre * vim + wim * vre;
  vre = nre;
  vim = nim;
}

inline constexpr int32_t kBlock = 16;       // samples per block of the one-row kernel
inline constexpr int32_t kItem = 1024;      // samples per work item of the one-row kernel
inline constexpr int32_t kTableMax = 16;    // largest |m| served by the power table

// Phi at x from interval i of the time map: the cubic of the table columns
// c0 .. c3 at d = x - knots[i].
RR_INLINE double cubic_at(const double* knots, const double* c0, const double* c1,
                          const double* c2, const double* c3, int32_t i, double x) {
  const double d = x - knots[i];
  const double d2 = d * d;
  const double d3 = d2 * d;
  return cubic(c0[i], c1[i], c2[i], c3[i], d, d2, d3);
}

// v <- z^m v with z^m from the chain of products (m != 0): the rotation of a
// mode whose |m| lies beyond the power table.
RR_INLINE void rotate_by_chain(double zre, double zim, int32_t m, double& vre, double& vim) {
  double wr, wi;
  rotation_chain(zre, zim, m, wr, wi);
  rotate(wr, wi, vre, vim);
}

// -------------------------------------------------------------- one row

// Phi, its intervals of phi_knots, the trigonometric pairs and the power
// table of one block of the one-row kernel (its first kb entries).
struct RowBlock {
  double phi[kBlock], zre[kBlock], zim[kBlock];
  int32_t jv[kBlock];
  // pw[p][i]: z^p (and cw[p][i]: conj(z)^p) of sample i of the block, p = 1 .. M.
  double pwre[kTableMax + 1][kBlock], pwim[kTableMax + 1][kBlock];
  double cwre[kTableMax + 1][kBlock], cwim[kTableMax + 1][kBlock];
};

// Work item = kItem samples, taken in blocks of 16: Phi and its intervals
// come from cursors that walk on from the previous sample's intervals.
struct RowKernel {
  UView<const double, 1> t_knots;
  UView<const double, 1> phi_knots;
  UView<const double, 2> phi_c;                // (4, n-1)
  UView<const std::complex<double>, 3> mode_c; // (K, 4, n-1)
  UView<const int32_t, 1> m;
  UView<const double, 1> t;
  UView<const double, 1> w;  // empty without weights
  UView<std::complex<double>, 2> strain;  // (K, W)
  UView<double, 1> phi_of_t;
  double s;
  int32_t n, K, N, M;
  bool weighted, any_negative;

  KOKKOS_INLINE_FUNCTION void operator()(const int32_t q) const {
    const bool table = M <= kTableMax;
    const int64_t begin64 = static_cast<int64_t>(q) * kItem;
    const int32_t begin = static_cast<int32_t>(begin64);
    const int32_t end = static_cast<int32_t>(N - begin64 < kItem ? N : begin64 + kItem);
    int32_t tcur = -1, pcur = -1;  // the cursors in t_knots and phi_knots

    RowBlock bk;
    for (int32_t j0 = begin; j0 < end; j0 += kBlock) {
      const int32_t kb = end - j0 < kBlock ? end - j0 : kBlock;
      const bool p_uniform = block_phase(j0, kb, tcur, pcur, bk);
      if (table && M >= 1) power_table(kb, bk);
      for (int32_t k = 0; k < K; ++k) block_mode(k, j0, kb, p_uniform, table, bk);
    }
  }

  // Phi and its interval of phi_knots for the samples j0 .. j0 + kb - 1,
  // sample by sample with the two cursors (Phi also to phi_of_t), then their
  // trigonometric pairs.  Returns whether all lie in one interval of
  // phi_knots.
  RR_INLINE bool block_phase(int32_t j0, int32_t kb, int32_t& tcur, int32_t& pcur,
                             RowBlock& bk) const {
    const double* tk = t_knots.data();
    const double* pk = phi_knots.data();
    const std::ptrdiff_t nc = n - 1;
    const double* p0 = phi_c.data();
    const double* p1 = p0 + nc;
    const double* p2 = p1 + nc;
    const double* p3 = p2 + nc;
    for (int32_t i = 0; i < kb; ++i) {
      const double x = t(j0 + i);
      tcur = tcur < 0 ? bisect(tk, n, x) : walk(tk, n, x, tcur);
      const double ph = cubic_at(tk, p0, p1, p2, p3, tcur, x);
      bk.phi[i] = ph;
      phi_of_t(j0 + i) = ph;
      pcur = pcur < 0 ? bisect(pk, n, ph) : walk(pk, n, ph, pcur);
      bk.jv[i] = pcur;
    }
    bool p_uniform = true;
    for (int32_t i = 1; i < kb; ++i) p_uniform = p_uniform && bk.jv[i] == bk.jv[0];

    for (int32_t i = 0; i < kb; ++i) {
      const double a = bk.phi[i] * s;
      bk.zre[i] = std::cos(a);
      bk.zim[i] = std::sin(a);
    }
    return p_uniform;
  }

  // The block's power table: z^p and, with negative m, conj(z)^p for
  // p = 1 .. M, each the previous one times the base.
  RR_INLINE void power_table(int32_t kb, RowBlock& bk) const {
    powers<false>(kb, bk, bk.pwre, bk.pwim);
    if (any_negative) powers<true>(kb, bk, bk.cwre, bk.cwim);
  }

  // The powers of z (Conj: of conj(z)) into wre, wim.
  template <bool Conj>
  RR_INLINE void powers(int32_t kb, const RowBlock& bk, double (&wre)[kTableMax + 1][kBlock],
                        double (&wim)[kTableMax + 1][kBlock]) const {
    for (int32_t i = 0; i < kb; ++i) {
      wre[1][i] = bk.zre[i];
      wim[1][i] = Conj ? -bk.zim[i] : bk.zim[i];
    }
    for (int32_t p = 2; p <= M; ++p)
      for (int32_t i = 0; i < kb; ++i) {
        double re = wre[p - 1][i], im = wim[p - 1][i];
        power_step(bk.zre[i], Conj ? -bk.zim[i] : bk.zim[i], re, im);
        wre[p][i] = re;
        wim[p][i] = im;
      }
  }

  // Mode k on the block: its values, rotated by z^m, weighted and stored.
  RR_INLINE void block_mode(int32_t k, int32_t j0, int32_t kb, bool p_uniform, bool table,
                            const RowBlock& bk) const {
    const int32_t mk = m(k);
    double vre[kBlock], vim[kBlock];
    mode_values(k, kb, p_uniform, bk, vre, vim);
    if (mk != 0) rotate_mode(mk, kb, table, bk, vre, vim);
    if (weighted) weight_mode(j0, kb, vre, vim);
    std::complex<double>* out = &strain(k, j0);
    for (int32_t i = 0; i < kb; ++i) out[i] = std::complex<double>(vre[i], vim[i]);
  }

  // Mode k's cubic at the block's samples: a block in one interval of
  // phi_knots reads that interval's coefficients once, any other one each
  // sample's own.
  RR_INLINE void mode_values(int32_t k, int32_t kb, bool p_uniform, const RowBlock& bk,
                             double (&vre)[kBlock], double (&vim)[kBlock]) const {
    const double* pk = phi_knots.data();
    const std::ptrdiff_t nc = n - 1;
    const std::complex<double>* c0 = &mode_c(k, 0, 0);
    const std::complex<double>* c1 = c0 + nc;
    const std::complex<double>* c2 = c1 + nc;
    const std::complex<double>* c3 = c2 + nc;
    if (p_uniform) {
      const int32_t j = bk.jv[0];
      const double a0 = c0[j].real(), a1 = c1[j].real(), a2 = c2[j].real(), a3 = c3[j].real();
      const double b0 = c0[j].imag(), b1 = c1[j].imag(), b2 = c2[j].imag(), b3 = c3[j].imag();
      const double kn = pk[j];
      for (int32_t i = 0; i < kb; ++i) {
        const double u = bk.phi[i] - kn;
        const double u2 = u * u;
        const double u3 = u2 * u;
        vre[i] = cubic(a0, a1, a2, a3, u, u2, u3);
        vim[i] = cubic(b0, b1, b2, b3, u, u2, u3);
      }
    } else {
      for (int32_t i = 0; i < kb; ++i) {
        const int32_t j = bk.jv[i];
        const double u = bk.phi[i] - pk[j];
        const double u2 = u * u;
        const double u3 = u2 * u;
        vre[i] = cubic(c0[j].real(), c1[j].real(), c2[j].real(), c3[j].real(), u, u2, u3);
        vim[i] = cubic(c0[j].imag(), c1[j].imag(), c2[j].imag(), c3[j].imag(), u, u2, u3);
      }
    }
  }

  // The rotation of a mode with m = mk != 0: by the table's power, or beyond
  // the table by each sample's chain of products.
  RR_INLINE void rotate_mode(int32_t mk, int32_t kb, bool table, const RowBlock& bk,
                             double (&vre)[kBlock], double (&vim)[kBlock]) const {
    const int32_t am = mk > 0 ? mk : -mk;
    if (table) {
      const double* wr = mk > 0 ? bk.pwre[am] : bk.cwre[am];
      const double* wi = mk > 0 ? bk.pwim[am] : bk.cwim[am];
      for (int32_t i = 0; i < kb; ++i) rotate(wr[i], wi[i], vre[i], vim[i]);
    } else {
      for (int32_t i = 0; i < kb; ++i) rotate_by_chain(bk.zre[i], bk.zim[i], mk, vre[i], vim[i]);
    }
  }

  // v <- omega v, the real weight taken as the complex (omega, 0).
  RR_INLINE void weight_mode(int32_t j0, int32_t kb, double (&vre)[kBlock],
                             double (&vim)[kBlock]) const {
    for (int32_t i = 0; i < kb; ++i) {
      const double om = w(j0 + i);
      const double re = (vre[i] * om - 0.0 * vim[i]) + 0.0;
      const double im = (0.0 * vre[i] + vim[i] * om) + 0.0;
      vre[i] = re;
      vim[i] = im;
    }
  }
};

// -------------------------------------------------------------- ragged batch

// The interval of x among non-decreasing knots, trying interval c and then
// c + 1 before a bisection.  Interval i holds x when (i = 0 or knots[i] <= x)
// and (i = n-2 or x < knots[i+1]); for non-decreasing knots that is the
// interval bisect() finds (a NaN x fails the test unless n = 2 and bisects).
KOKKOS_INLINE_FUNCTION bool holds(const double* knots, int32_t n, int32_t i, double x) {
  return (i == 0 || knots[i] <= x) && (i == n - 2 || x < knots[i + 1]);
}
KOKKOS_INLINE_FUNCTION int32_t search_from(const double* knots, int32_t n, double x, int32_t c) {
  if (holds(knots, n, c, x)) return c;
  if (c + 1 <= n - 2 && holds(knots, n, c + 1, x)) return c + 1;
  return bisect(knots, n, x);
}
KOKKOS_INLINE_FUNCTION bool non_decreasing(const double* knots, int32_t n) {
  for (int32_t i = 0; i + 1 < n; ++i)
    if (!(knots[i] <= knots[i + 1])) return false;
  return true;
}

inline constexpr int32_t kLanes = 16;  // samples per block of the batch kernel

// Whether interval i holds every lane of the NV vectors x (the test of holds(),
// lane-wise): the lane masks of all vectors are combined first and tested once.
// One plane of a mode's cubic at offsets u (u2 = u u, u3 = u2 u):
// ((c3 + c2 u) + c1 u2) + c0 u3, with c3 already in every lane and c2, c1, c0
// read from the table at q[4 cs], q[2 cs], q[0] as broadcasts in the products.
template <Isa I, class V>
RR_INLINE V cubic_plane(const V& c3, const double* q, std::ptrdiff_t cs, const V& u,
                              const V& u2, const V& u3) {
  return ((c3 + lanes::mul_bcast<I>(q + 4 * cs, u)) + lanes::mul_bcast<I>(q + 2 * cs, u2)) +
         lanes::mul_bcast<I>(q, u3);
}

template <class V, int NV>
RR_INLINE bool in_interval(const V (&x)[NV], const double* knots, int32_t n, int32_t i) {
  using M = decltype(x[0] < x[0]);
  M ok = ~M{};  // every lane set
  if (i != 0) {
    const double lo = knots[i];
    _Pragma("GCC unroll 16") for (int32_t v = 0; v < NV; ++v) ok &= x[v] >= lo;
  }
  if (i != n - 2) {
    const double hi = knots[i + 1];
    _Pragma("GCC unroll 16") for (int32_t v = 0; v < NV; ++v) ok &= x[v] < hi;
  }
  bool all = true;
  for (int32_t l = 0; l < lanes::width<V>; ++l) all = all && ok[l] != 0;
  return all;
}

// One row of the batch as the batch kernel reads it: its knots, the columns
// of its Phi table and its samples.
struct BatchRow {
  const double* tk;    // t_knots of the row
  const double* pk;    // phi_knots of the row
  const double* p0;    // Phi table rows 0 .. 3, column 0 of the row
  const double* p1;
  const double* p2;
  const double* p3;
  const double* trow;  // t(b, 0)
  int32_t b, n, cofs;
  bool sorted;  // both knot vectors non-decreasing
};

// Phi, its intervals and the rotation powers of one block of 16 samples.
// Lanes past the block's samples repeat its first sample.
struct BatchBlock {
  alignas(64) double pwre[kTableMax + 1][kLanes], pwim[kTableMax + 1][kLanes];
  alignas(64) double cwre[kTableMax + 1][kLanes], cwim[kTableMax + 1][kLanes];
  alignas(64) double ph[kLanes], zre[kLanes], zim[kLanes], u[kLanes];
  int32_t jv[kLanes];
};

// Work item = one row and one chunk of its samples, taken in blocks of 16.
// Every sample gets the per-sample synthesis; the intervals are those of the
// bisection (found from the previous sample's interval when the row's knots
// are non-decreasing), the trigonometric pair is computed once per sample and
// the powers z^p, conj(z)^p of the table are each the previous one times the
// base, so every value is the per-sample sequence's, bit for bit.
struct BatchKernel {
  UView<const double, 1> t_knots;
  UView<const double, 1> phi_knots;
  UView<const double, 2> phi_c;                // (4, C)
  UView<const std::complex<double>, 3> mode_c; // (K, 4, C)
  UView<const int32_t, 1> m;
  UView<const int64_t, 1> off;   // (B+1,) knot offsets, validated: 0 <= off <= T < 2^31
  UView<const int64_t, 1> coff;  // (B+1,) column offsets, validated: 0 <= coff <= C < 2^31
  UView<const double, 2> t;      // (B, J)
  UView<std::complex<double>, 3> out;  // (B, K, J)
  double s;
  int32_t C, K, M;
  bool any_negative;
  int32_t J = 0, chunks = 1;
  Isa isa = Isa::generic;

  KOKKOS_INLINE_FUNCTION void operator()(const int64_t item) const;

  RR_INLINE BatchRow row(int32_t b) const {
    const int32_t kofs = static_cast<int32_t>(off(b));
    const int32_t n = static_cast<int32_t>(off(b + 1)) - kofs;
    const int32_t cofs = static_cast<int32_t>(coff(b));
    const double* tk = t_knots.data() + kofs;
    const double* pk = phi_knots.data() + kofs;
    const double* p0 = phi_c.data() + cofs;
    const std::ptrdiff_t cs = C;  // column stride of the coefficient tables
    const double* p1 = p0 + cs;
    const double* p2 = p1 + cs;
    const double* p3 = p2 + cs;
    const bool sorted = non_decreasing(tk, n) && non_decreasing(pk, n);
    return BatchRow{tk, pk, p0, p1, p2, p3, &t(b, 0), b, n, cofs, sorted};
  }

  template <Isa I, class V>
  RR_INLINE void run(const int64_t item) const {
    const int32_t b = static_cast<int32_t>(item / chunks);
    const int32_t part = static_cast<int32_t>(item % chunks);
    const int64_t len = (static_cast<int64_t>(J) + chunks - 1) / chunks;
    const int64_t begin64 = part * len;
    if (begin64 >= J) return;
    const int32_t begin = static_cast<int32_t>(begin64);
    const int32_t end = static_cast<int32_t>(begin64 + len < J ? begin64 + len : J);
    const BatchRow r = row(b);
    const bool table = M <= kTableMax;

    BatchBlock bk;
    int32_t ti = 0, pi = 0;  // the previous sample's intervals

    for (int32_t j0 = begin; j0 < end; j0 += kLanes) {
      const int32_t kb = end - j0 < kLanes ? end - j0 : kLanes;
      const bool p_one = block_phase<I, V>(r, j0, kb, ti, pi, bk);
      if (table && M >= 1) power_table<V>(bk);
      block_modes<I, V>(r, j0, kb, p_one, table, bk);
    }
  }

  // Phi and its intervals of the samples j0 .. j0 + kb - 1, then their
  // trigonometric pairs in a loop of their own; the padding lanes repeat the
  // first sample.  A full block whose samples all lie in one interval (of
  // t_knots for Phi, of phi_knots for the modes) takes that interval's
  // coefficients once for every lane; the others search sample by sample.
  // Returns whether every lane lies in one interval of phi_knots, found so.
  template <Isa I, class V>
  RR_INLINE bool block_phase(const BatchRow& r, int32_t j0, int32_t kb, int32_t& ti,
                                   int32_t& pi, BatchBlock& bk) const {
    bool t_one = false, p_one = false;
    if (r.sorted && kb == kLanes) t_one = shared_intervals<I, V>(r, j0, ti, pi, bk, p_one);
    if (!t_one) {
      for (int32_t i = 0; i < kb; ++i) {
        const double x = r.trow[j0 + i];
        ti = r.sorted ? search_from(r.tk, r.n, x, ti) : bisect(r.tk, r.n, x);
        bk.ph[i] = cubic_at(r.tk, r.p0, r.p1, r.p2, r.p3, ti, x);
      }
    }
    if (!p_one) {
      for (int32_t i = 0; i < kb; ++i) {
        pi = r.sorted ? search_from(r.pk, r.n, bk.ph[i], pi) : bisect(r.pk, r.n, bk.ph[i]);
        bk.jv[i] = pi;
        bk.u[i] = bk.ph[i] - r.pk[pi];
      }
    }
    for (int32_t i = 0; i < kb; ++i) {
      const double a = bk.ph[i] * s;
      bk.zre[i] = std::cos(a);
      bk.zim[i] = std::sin(a);
    }
    for (int32_t i = kb; i < kLanes; ++i) {  // padding lanes repeat the first sample
      bk.zre[i] = bk.zre[0];
      bk.zim[i] = bk.zim[0];
      bk.jv[i] = bk.jv[0];
      bk.ph[i] = bk.ph[0];
      bk.u[i] = bk.u[0];
    }
    return p_one;
  }

  // A full block of a sorted row: whether all its samples lie in the interval
  // of t_knots of its first sample, and if so their Phi, and then (p_one)
  // whether all their Phi lie in the interval of phi_knots of the first, and
  // if so their offsets u and intervals.
  template <Isa I, class V>
  RR_INLINE bool shared_intervals(const BatchRow& r, int32_t j0, int32_t& ti, int32_t& pi,
                                        BatchBlock& bk, bool& p_one) const {
    constexpr int32_t W = lanes::width<V>;
    constexpr int32_t NV = kLanes / W;
    ti = search_from(r.tk, r.n, r.trow[j0], ti);
    V xv[NV];
    _Pragma("GCC unroll 16") for (int32_t v = 0; v < NV; ++v)
      xv[v] = RR_LANES_LOAD(V, r.trow + j0 + v * W);
    if (!in_interval(xv, r.tk, r.n, ti)) return false;
    // The interval's scalars enter the lane operations as broadcasts in
    // their memory operands (lanes.hpp).
    const V c3 = lanes::add_bcast<I>(V{}, r.p3 + ti);
    _Pragma("GCC unroll 16") for (int32_t v = 0; v < NV; ++v) {
      const V d = lanes::sub_bcast<I>(xv[v], r.tk + ti);
      const V d2 = d * d;
      const V d3 = d2 * d;
      lanes::store(bk.ph + v * W, ((c3 + lanes::mul_bcast<I>(r.p2 + ti, d)) +
                                   lanes::mul_bcast<I>(r.p1 + ti, d2)) +
                                      lanes::mul_bcast<I>(r.p0 + ti, d3));
    }
    pi = search_from(r.pk, r.n, bk.ph[0], pi);
    V pv[NV];
    _Pragma("GCC unroll 16") for (int32_t v = 0; v < NV; ++v)
      pv[v] = RR_LANES_LOAD(V, bk.ph + v * W);
    p_one = in_interval(pv, r.pk, r.n, pi);
    if (p_one) {
      _Pragma("GCC unroll 16") for (int32_t v = 0; v < NV; ++v)
        lanes::store(bk.u + v * W, lanes::sub_bcast<I>(pv[v], r.pk + pi));
      for (int32_t i = 0; i < kLanes; ++i) bk.jv[i] = pi;
    }
    return true;
  }

  // The power table of the block: z^p and, with negative m, conj(z)^p for
  // p = 1 .. M, each the previous one times the base.
  template <class V>
  RR_INLINE void power_table(BatchBlock& bk) const {
    constexpr int32_t W = lanes::width<V>;
    constexpr int32_t NV = kLanes / W;
    _Pragma("GCC unroll 16") for (int32_t v = 0; v < NV; ++v) {
      const V zr = RR_LANES_LOAD(V, bk.zre + v * W), zi = RR_LANES_LOAD(V, bk.zim + v * W);
      power_rows(zr, zi, bk.pwre, bk.pwim, v * W);
      if (any_negative) {
        const V gi = -zi;
        power_rows(zr, gi, bk.cwre, bk.cwim, v * W);
      }
    }
  }

  // (br, bi)^p for p = 1 .. M of one vector of lanes into rows wre[p], wim[p]
  // at lane o, each the previous one times the base.
  template <class V>
  RR_INLINE void power_rows(const V& br, const V& bi, double (&wre)[kTableMax + 1][kLanes],
                            double (&wim)[kTableMax + 1][kLanes], int32_t o) const {
    V re = br, im = bi;
    lanes::store(wre[1] + o, re);
    lanes::store(wim[1] + o, im);
    for (int32_t p = 2; p <= M; ++p) {
      const V nre = br * re - bi * im;
      const V nim = bi * re + br * im;
      re = nre;
      im = nim;
      lanes::store(wre[p] + o, re);
      lanes::store(wim[p] + o, im);
    }
  }

  // Every mode's values on the block, rotated and stored.  A block whose lanes
  // lie in one interval of phi_knots reads that interval's coefficients once;
  // a block that crosses one knot of Phi holds two intervals: every lane is
  // evaluated with both intervals' coefficients and keeps its own one.  Any
  // other block gathers every lane's coefficients.
  template <Isa I, class V>
  RR_INLINE void block_modes(const BatchRow& r, int32_t j0, int32_t kb, bool p_one,
                                   bool table, const BatchBlock& bk) const {
    constexpr int32_t W = lanes::width<V>;
    constexpr int32_t NV = kLanes / W;
    bool uniform = p_one;
    if (!uniform) {
      uniform = true;
      for (int32_t i = 1; i < kLanes; ++i) uniform = uniform && bk.jv[i] == bk.jv[0];
    }
    using Mask = decltype(V{} < V{});
    const int32_t ja = bk.jv[0], jb = bk.jv[kLanes - 1];
    bool pair = false;
    Mask in_b[NV];
    if (!uniform) {
      pair = true;
      alignas(64) int64_t sel[kLanes];
      for (int32_t i = 0; i < kLanes; ++i) {
        pair = pair && (bk.jv[i] == ja || bk.jv[i] == jb);
        sel[i] = bk.jv[i] == jb ? -1 : 0;
      }
      _Pragma("GCC unroll 16") for (int32_t v = 0; v < NV; ++v)
        in_b[v] = RR_LANES_LOAD(Mask, sel + v * W) != 0;
    }

    V uv[NV], u2[NV], u3[NV];
    _Pragma("GCC unroll 16") for (int32_t v = 0; v < NV; ++v) {
      uv[v] = RR_LANES_LOAD(V, bk.u + v * W);
      u2[v] = uv[v] * uv[v];
      u3[v] = u2[v] * uv[v];
    }
    const std::ptrdiff_t cs = C;
    // Mode k of the block's samples is stored from ob + k * os on.
    std::complex<double>* const ob = &out(r.b, 0, j0);
    const std::ptrdiff_t os = static_cast<std::ptrdiff_t>(out.stride_1());
    for (int32_t k = 0; k < K; ++k) {
      const std::complex<double>* c0 = &mode_c(k, 0, r.cofs);
      V vre[NV], vim[NV];
      // The coefficients (re, im pairs, one row of the table every 2 cs
      // doubles) enter the products as broadcasts in their memory operands.
      const double* cd = reinterpret_cast<const double*>(c0);
      if (uniform) {
        const double* q = cd + 2 * static_cast<std::ptrdiff_t>(bk.jv[0]);
        const V r3 = lanes::add_bcast<I>(V{}, q + 6 * cs);
        const V i3 = lanes::add_bcast<I>(V{}, q + 6 * cs + 1);
        _Pragma("GCC unroll 16") for (int32_t v = 0; v < NV; ++v) {
          vre[v] = cubic_plane<I>(r3, q, cs, uv[v], u2[v], u3[v]);
          vim[v] = cubic_plane<I>(i3, q + 1, cs, uv[v], u2[v], u3[v]);
        }
      } else if (pair) {
        const double* qa = cd + 2 * static_cast<std::ptrdiff_t>(ja);
        const double* qb = cd + 2 * static_cast<std::ptrdiff_t>(jb);
        const V ra3 = lanes::add_bcast<I>(V{}, qa + 6 * cs);
        const V ia3 = lanes::add_bcast<I>(V{}, qa + 6 * cs + 1);
        const V rb3 = lanes::add_bcast<I>(V{}, qb + 6 * cs);
        const V ib3 = lanes::add_bcast<I>(V{}, qb + 6 * cs + 1);
        _Pragma("GCC unroll 16") for (int32_t v = 0; v < NV; ++v) {
          const V ra = cubic_plane<I>(ra3, qa, cs, uv[v], u2[v], u3[v]);
          const V ia = cubic_plane<I>(ia3, qa + 1, cs, uv[v], u2[v], u3[v]);
          const V rb = cubic_plane<I>(rb3, qb, cs, uv[v], u2[v], u3[v]);
          const V ib = cubic_plane<I>(ib3, qb + 1, cs, uv[v], u2[v], u3[v]);
          vre[v] = in_b[v] ? rb : ra;
          vim[v] = in_b[v] ? ib : ia;
        }
      } else {
        gathered_values<V>(c0, bk, uv, u2, u3, vre, vim);
      }
      rotate_mode<V>(m(k), table, bk, vre, vim);
      store_mode<V>(reinterpret_cast<double*>(ob + k * os), kb, vre, vim);
    }
  }

  // A mode's values on a block whose lanes lie in more than two intervals:
  // every lane's coefficients gathered into planes first.
  template <class V>
  RR_INLINE void gathered_values(const std::complex<double>* c0, const BatchBlock& bk,
                                       const V (&uv)[kLanes / lanes::width<V>],
                                       const V (&u2)[kLanes / lanes::width<V>],
                                       const V (&u3)[kLanes / lanes::width<V>],
                                       V (&vre)[kLanes / lanes::width<V>],
                                       V (&vim)[kLanes / lanes::width<V>]) const {
    constexpr int32_t W = lanes::width<V>;
    constexpr int32_t NV = kLanes / W;
    const std::ptrdiff_t cs = C;
    alignas(64) double g[8][kLanes];
    for (int32_t i = 0; i < kLanes; ++i) {
      const int32_t jj = bk.jv[i];
      for (int32_t r = 0; r < 4; ++r) {
        const std::complex<double> q = c0[r * cs + jj];
        g[2 * r][i] = q.real();
        g[2 * r + 1][i] = q.imag();
      }
    }
    _Pragma("GCC unroll 16") for (int32_t v = 0; v < NV; ++v) {
      const int32_t o = v * W;
      vre[v] = (((V{} + RR_LANES_LOAD(V, g[6] + o)) + RR_LANES_LOAD(V, g[4] + o) * uv[v]) +
                RR_LANES_LOAD(V, g[2] + o) * u2[v]) +
               RR_LANES_LOAD(V, g[0] + o) * u3[v];
      vim[v] = (((V{} + RR_LANES_LOAD(V, g[7] + o)) + RR_LANES_LOAD(V, g[5] + o) * uv[v]) +
                RR_LANES_LOAD(V, g[3] + o) * u2[v]) +
               RR_LANES_LOAD(V, g[1] + o) * u3[v];
    }
  }

  // The rotation of a mode with m = mk != 0: by the table's power, or beyond
  // the table by the chain of products of each lane.
  template <class V>
  RR_INLINE void rotate_mode(int32_t mk, bool table, const BatchBlock& bk,
                                   V (&vre)[kLanes / lanes::width<V>],
                                   V (&vim)[kLanes / lanes::width<V>]) const {
    constexpr int32_t W = lanes::width<V>;
    constexpr int32_t NV = kLanes / W;
    if (mk == 0) return;
    const int32_t am = mk > 0 ? mk : -mk;
    if (__builtin_expect(table, 1)) {  // |m| <= 16: the power table
      const double* wr = mk > 0 ? bk.pwre[am] : bk.cwre[am];
      const double* wi = mk > 0 ? bk.pwim[am] : bk.cwim[am];
      _Pragma("GCC unroll 16") for (int32_t v = 0; v < NV; ++v) {
        const V r = RR_LANES_LOAD(V, wr + v * W), q = RR_LANES_LOAD(V, wi + v * W);
        const V nre = r * vre[v] - q * vim[v];
        const V nim = r * vim[v] + q * vre[v];
        vre[v] = nre;
        vim[v] = nim;
      }
    } else {
      for (int32_t v = 0; v < NV; ++v)
        for (int32_t l = 0; l < W; ++l) {
          double xr = vre[v][l], xi = vim[v][l];
          rotate_by_chain(bk.zre[v * W + l], bk.zim[v * W + l], mk, xr, xi);
          vre[v][l] = xr;
          vim[v][l] = xi;
        }
    }
  }

  // A mode's kb values to o as (re, im) pairs.
  template <class V>
  RR_INLINE void store_mode(double* o, int32_t kb, const V (&vre)[kLanes / lanes::width<V>],
                                  const V (&vim)[kLanes / lanes::width<V>]) const {
    constexpr int32_t W = lanes::width<V>;
    constexpr int32_t NV = kLanes / W;
    if (__builtin_expect(kb == kLanes, 1)) {  // only a chunk's last block is partial
      _Pragma("GCC unroll 16") for (int32_t v = 0; v < NV; ++v)
        lanes::store_pairs(o + 2 * v * W, vre[v], vim[v]);
    } else {
      for (int32_t v = 0; v < NV; ++v)
        for (int32_t l = 0; l < W; ++l)
          if (v * W + l < kb) {
            o[2 * (v * W + l)] = vre[v][l];
            o[2 * (v * W + l) + 1] = vim[v][l];
          }
    }
  }
};

KOKKOS_INLINE_FUNCTION void BatchKernel::operator()(const int64_t item) const {
  variants::run<Isa::avx512, Isa::avx2, Isa::generic>(
      isa,
      []<Isa I>(const BatchKernel& k, int64_t i) RR_INLINE_LAMBDA {
        k.run<I, lanes::vec_t<double, I>>(i);
      },
      *this, item);
}

}  // namespace hybrid
}  // namespace radiredide
