#pragma once
// Kernels of the fused blend-and-project stage (blend_project) and of the
// gradient-side stages median_h2_batch and dc_grid_batch.
//
// Every floating-point expression is written in its fixed operation order
// (the build has no FMA contraction); complex products are spelled out as real
// operations.  Flat offsets are formed in 64-bit.  The Clenshaw sums here run
// b_k = ((t b_(k+1)) + c_k) - b_(k+2) down to k = 1 and close with
// ((b_1 u) + c_0) - b_2: this is not the evaluator's recurrence, so it is kept
// apart from it.
#include "common/lanes.hpp"
#include "pack/pack_numerics.hpp"  // select_kth: Hoare selection, NaN ordered last
#include "pack/pn4.hpp"

#include <Kokkos_Core.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace radiredide {
namespace fused {

using Exec = Kokkos::DefaultExecutionSpace;
using Policy = Kokkos::RangePolicy<Exec, Kokkos::IndexType<int64_t>>;

template <class T>
using V1 = Kokkos::View<T*, Kokkos::LayoutRight, Kokkos::HostSpace,
                        Kokkos::MemoryTraits<Kokkos::Unmanaged>>;

inline constexpr double kPi = 3.141592653589793;
inline constexpr int kMaxCollocation = 32;

// ---------------------------------------------------------------- host helpers
// Phase factor of azimuthal number m: (cos a, sin a), a = ((m pi) 0.5) - pi.
inline void phase_factor(int32_t m, double& re, double& im) {
  const double a = ((static_cast<double>(m) * kPi) * 0.5) - kPi;
  re = std::cos(a);
  im = std::sin(a);
}

// Work split of the 4PN batch kernels: item i serves row i / chunks and the
// samples [c L, min(c L + L, N)) with c = i mod chunks.
struct ChunkSplit {
  int32_t chunks, L, N;
  KOKKOS_INLINE_FUNCTION void range(int64_t i, int32_t& b, int32_t& n0, int32_t& n1) const {
    b = static_cast<int32_t>(i / chunks);
    const int32_t c = static_cast<int32_t>(i % chunks);
    const int64_t s = static_cast<int64_t>(c) * L;
    const int64_t e = s + L < N ? s + L : N;
    n0 = static_cast<int32_t>(s < N ? s : N);
    n1 = static_cast<int32_t>(e);
  }
};

// ---------------------------------------------------------------- 4PN lanes
// Stage 2 of the 4PN weights for kLanes samples at a time (fused_lanes.cpp):
// every lane takes exactly the operations of mode_weights / dmode_weights at
// its sample, so the values are bit for bit those of the scalar calls.
inline constexpr int kLanes = 4;

// Weights at the samples v[0 .. valid) (valid <= kWeightsBlock) written to
// W[s, n0 + l] of one row's (8, N) complex block: with AVX-512 (VL) as one
// block of lane arrays, whose sums form independent chains; else kLanes at a
// time.
inline constexpr int kWeightsBlock = 16;
void weights_block(const double* v, int valid, const double* table, double* W, int64_t N,
                   int64_t n0);
// Squared amplitudes q = re * re + im * im of h_s(v_n) for n in [n0, n1) and
// every slot s with bit s of `used` set, written to mag[plane[s] + n] (plane:
// eight offsets; only those of the used slots are read).  q orders the samples
// as hypot(re, im) does, up to near-ties (relative differences of a few ulps),
// as long as no square under- or overflows: unsafe[s] is set when a sample of slot s leaves that range
// (q outside [kOrderSafeLo, kOrderSafeHi], not an exact zero, or NaN).
// range[2 s] and range[2 s + 1] receive the smallest and largest q of slot s
// over the samples (+inf and -inf for an empty range); they are meaningful
// only while unsafe[s] stays clear.
inline constexpr double kOrderSafeLo = 1e-280;
inline constexpr double kOrderSafeHi = 1e280;
void magnitude_chunk(const double* v, int32_t n0, int32_t n1, const double* table,
                     uint32_t used, double* mag, const int64_t* plane, unsigned char* unsafe,
                     double* range);

// The samples of q[0 .. N) inside [lo, hi]: their indices, ascending, go to
// idx (at most N entries) and their number is returned; `under` receives the
// number of samples below lo.  q holds no NaN.
int32_t window_scan(const double* q, int32_t N, double lo, double hi, int32_t* idx,
                    int32_t& under);

// The band [lo, hi] around the median of v[0 .. N) (v is reordered by
// the selection): q_hi is the value of rank N / 2 and, for even N, q_lo the
// largest of the N / 2 smallest (q_lo = q_hi for odd N), widened by 1e-10
// relative on each side.
KOKKOS_INLINE_FUNCTION void median_band(double* v, int32_t N, double& lo, double& hi) {
  const int32_t m = N / 2;
  const double q_hi = select_kth(v, N, m);
  double q_lo = q_hi;
  if (N % 2 == 0) {
    q_lo = v[0];
    for (int32_t j = 1; j < m; ++j)
      if (v[j] > q_lo) q_lo = v[j];
  }
  lo = q_lo * (1.0 - 1e-10);
  hi = q_hi * (1.0 + 1e-10);
}

// ---------------------------------------------------------------- blend_project
// Shared, read-only inputs of the blend_project kernels.  Pointers index flat
// row-major arrays; complex arrays are (re, im) pairs of doubles.
struct BlendInputs {
  int32_t B, R, E, O, N, K, C, O2;
  int32_t p_tau, p_xpc;
  V1<const double> craw;     // (B, R, E, O) complex
  V1<const int32_t> elem;    // (N,)
  V1<const double> ucoord;   // (N,)
  V1<const double> tables;   // (B, kModeCoeffCount)
  V1<const double> phase;    // (K,) complex
  V1<const int32_t> modes;   // (K, 4): dIdx, rIdx, wIdx, emm
  V1<const double> vD;       // (B, K)
  V1<const double> pvR;      // (B, K)
  V1<const double> calR;     // (K,)
  V1<const int64_t> i0;      // (E C,)
  V1<const double> stw;      // (E C,)
  V1<const double> p2s;      // (O2, C)

  KOKKOS_INLINE_FUNCTION const double* piece(int32_t b, int32_t r, int32_t e) const {
    const int64_t off = ((static_cast<int64_t>(b) * R + r) * E + e) * O;
    return craw.data() + 2 * off;
  }
};

// tau and the eight 4PN weights of row b at the samples [n0, n1)
// (fused_lanes.cpp): the two real Clenshaw sums of kLanes samples run side by
// side as lanes of one vector, each lane the scalar recurrence of its sample.
void pieces_chunk(const BlendInputs& in, double* tau, double* W, int32_t b, int32_t n0,
                  int32_t n1);

// "fused_pieces_weights": tau and the eight 4PN weights at every sample.
struct PiecesWeightsKernel {
  BlendInputs in;
  ChunkSplit split;
  V1<double> tau;  // (B, N)
  V1<double> W;    // (B, 8, N) complex

  KOKKOS_INLINE_FUNCTION void operator()(int64_t i) const {
    int32_t b, n0, n1;
    split.range(i, b, n0, n1);
    pieces_chunk(in, tau.data(), W.data(), b, n0, n1);
  }
};

// "fused_median": med2 of the phased 4PN amplitude per (row, mode) and the
// variance of the 4PN-based estimate.  Each item reorders its own row of mag.
struct MedianKernel {
  BlendInputs in;
  V1<const double> W;  // (B, 8, N) complex
  V1<double> med;      // (B, K)
  V1<double> vR;       // (B, K)
  V1<double> mag;      // (B, K, N)

  static constexpr int kBandMax = 64;

  // The median of the amplitudes hypot(p) of the phased weights p, without an
  // amplitude per sample: the squares p.re^2 + p.im^2 are selected instead
  // (row receives them), and only the samples whose squares lie within a
  // relative 1e-10 of the middle squares get their amplitude, which settles
  // the middle values exactly (outside that band the two orders agree).
  // False, with nothing decided, when a square is NaN, infinite or out of the
  // range where it orders as the amplitude does, or when the band is large.
  KOKKOS_INLINE_FUNCTION bool median_by_squares(const double* w, double phr, double phi,
                                                double* row, double& mval) const {
    const int32_t N = in.N;
    for (int32_t n = 0; n < N; ++n) {
      const double wr = w[2 * n], wi = w[2 * n + 1];
      const double pr = (wr * phr) - (wi * phi);
      const double pi = (wr * phi) + (wi * phr);
      const double q = pr * pr + pi * pi;
      if (!(q >= kOrderSafeLo && q <= kOrderSafeHi) && !(pr == 0.0 && pi == 0.0)) return false;
      row[n] = q;
    }
    double lo, hi;
    median_band(row, N, lo, hi);
    int32_t below = 0, nb = 0;
    double amp[kBandMax];
    for (int32_t n = 0; n < N; ++n) {
      const double x = w[2 * n], y = w[2 * n + 1];
      const double pr = (x * phr) - (y * phi);
      const double pi = (x * phi) + (y * phr);
      const double q = pr * pr + pi * pi;
      if (q < lo) {
        ++below;
      } else if (!(hi < q)) {
        if (nb == kBandMax) return false;
        amp[nb++] = q == 0.0 ? 0.0 : std::hypot(pr, pi);
      }
    }
    std::sort(amp, amp + nb);
    const int32_t m = N / 2;
    if (N % 2 == 1) {
      mval = amp[m - below];
    } else {
      mval = (amp[m - 1 - below] + amp[m - below]) * 0.5;
    }
    return true;
  }

  KOKKOS_INLINE_FUNCTION void operator()(int64_t i) const {
    const int32_t K = in.K, N = in.N;
    const int32_t b = static_cast<int32_t>(i / K);
    const int32_t k = static_cast<int32_t>(i % K);
    const int64_t bk = static_cast<int64_t>(b) * K + k;
    vR(bk) = 1.0;
    med(bk) = 0.0;
    const int32_t r = in.modes(4 * k + 1);
    if (r < 0 || N < 1) return;
    const int32_t s = in.modes(4 * k + 2);
    const double phr = in.phase(2 * k), phi = in.phase(2 * k + 1);
    const double* w = W.data() + 2 * ((static_cast<int64_t>(b) * kModeSlots + s) * N);
    double* row = mag.data() + bk * N;
    double mval;
    if (!median_by_squares(w, phr, phi, row, mval)) {
      for (int32_t n = 0; n < N; ++n) {
        const double wr = w[2 * n], wi = w[2 * n + 1];
        const double pr = (wr * phr) - (wi * phi);
        const double pi = (wr * phi) + (wi * phr);
        row[n] = std::hypot(pr, pi);
      }
      const int32_t m = N / 2;
      if (N % 2 == 1) {
        mval = select_kth(row, N, m);
      } else {
        const double hi = select_kth(row, N, m);
        double lo = row[0];
        for (int32_t j = 1; j < m; ++j)
          if (row[j] > lo) lo = row[j];
        mval = (lo + hi) * 0.5;
      }
    }
    const double med2 = mval * mval;
    med(bk) = med2;
    if (med2 != 0.0) vR(bk) = (med2 * in.pvR(bk)) * in.calR(k);
  }
};

// The blended values of row b at the samples [n0, n1), every mode
// (fused_lanes.cpp).  Within a call the modes run outside the samples, so that
// each mode's table entries, phase factor and variances stay in registers;
// the Clenshaw sums of several samples run side by side as lanes of one
// vector, and every value is formed exactly as it would be sample by sample.
void blend_chunk(const BlendInputs& in, const double* W, const double* med, const double* vR,
                 double* blend, int32_t b, int32_t n0, int32_t n1);

// "fused_blend": the blended value of every mode at every sample.
struct BlendKernel {
  BlendInputs in;
  ChunkSplit split;
  V1<const double> W;    // (B, 8, N) complex
  V1<const double> med;  // (B, K)
  V1<const double> vR;   // (B, K)
  V1<double> blend;      // (B, K, N) complex

  KOKKOS_INLINE_FUNCTION void operator()(int64_t i) const {
    int32_t b, n0, n1;
    split.range(i, b, n0, n1);
    blend_chunk(in, W.data(), med.data(), vR.data(), blend.data(), b, n0, n1);
  }
};

// "fused_project": collocation values by the two-sample stencil, then the
// projection onto O2 coefficients per element.
struct ProjectKernel {
  BlendInputs in;
  V1<const double> blend;  // (B, K, N) complex
  V1<double> coeffs;       // (B, K, E, O2) complex

  KOKKOS_INLINE_FUNCTION void operator()(int64_t g) const {
    const int32_t E = in.E, C = in.C, O2 = in.O2, N = in.N;
    const int32_t e = static_cast<int32_t>(g % E);
    const int64_t bk = g / E;
    const double* row = blend.data() + 2 * (bk * N);
    double cr[kMaxCollocation], ci[kMaxCollocation];
    for (int32_t c = 0; c < C; ++c) {
      const int64_t s = static_cast<int64_t>(e) * C + c;
      const int64_t j = in.i0(s);
      const double t = in.stw(s);
      const double omt = 1.0 - t;
      cr[c] = (omt * row[2 * j]) + (t * row[2 * (j + 1)]);
      ci[c] = (omt * row[2 * j + 1]) + (t * row[2 * (j + 1) + 1]);
    }
    double* out = coeffs.data() + 2 * ((bk * E + e) * O2);
    for (int32_t o = 0; o < O2; ++o) {
      const double* p = in.p2s.data() + static_cast<int64_t>(o) * C;
      double ar = 0.0, ai = 0.0;
      for (int32_t c = 0; c < C; ++c) {
        ar = ar + (p[c] * cr[c]);
        ai = ai + (p[c] * ci[c]);
      }
      out[2 * o] = ar;
      out[2 * o + 1] = ai;
    }
  }
};

// ---------------------------------------------------------------- median_h2_batch
// The squares' scratch holds one (B, N) plane per slot that some mode
// measures (bit s of `used`), in slot order: slot s's plane starts at at[s]
// (0 for the slots not measured, which are never read).
struct MagPlanes {
  int64_t at[kModeSlots];
  MagPlanes(uint32_t used, int64_t BN) {
    int64_t next = 0;
    for (int s = 0; s < kModeSlots; ++s) {
      const bool measured = (used & (1u << s)) != 0;
      at[s] = measured ? next : 0;
      next += measured ? BN : 0;
    }
  }
};

// "median_h2_mag": the squared amplitude of h_s(v) at every sample, for the
// slots that some mode measures.  Item i records in unsafe[i, s] whether its
// samples all allow ordering by the square (magnitude_chunk).
struct MedianMagKernel {
  ChunkSplit split;
  int32_t N;
  uint32_t used;
  MagPlanes planes;
  V1<const double> v;       // (B, N)
  V1<const double> tables;  // (B, kModeCoeffCount)
  V1<double> mag;           // (used slots, B, N)
  V1<unsigned char> unsafe;  // (B chunks, 8)
  V1<double> range;          // (B chunks, 8, 2): smallest and largest square

  KOKKOS_INLINE_FUNCTION void operator()(int64_t i) const {
    int32_t b, n0, n1;
    split.range(i, b, n0, n1);
    unsigned char* flags = unsafe.data() + 8 * i;
    for (int s = 0; s < kModeSlots; ++s) flags[s] = 0;
    magnitude_chunk(v.data() + static_cast<int64_t>(b) * N, n0, n1,
                    tables.data() + static_cast<int64_t>(b) * kModeCoeffCount, used,
                    mag.data() + static_cast<int64_t>(b) * N, planes.at, flags,
                    range.data() + 16 * i);
  }
};

// "median_h2_select": the median points of |h_s| over the row (ascending
// hypot(re, im), NaN last, ties by the smaller sample index) and the squared
// median with its theta-gradient.  The squares of the scratch are only read:
// modes that share a slot share the row; each item orders its own index array.
//
// The points are found in the order of the squares, then settled exactly: a
// sample whose square lies clearly (relative 1e-10, far beyond rounding) below
// or above the middle squares is below or above the median points in the
// hypot order too, so only the samples inside that band get their amplitude
// hypot(re, im) (from mode_weights, the values the first kernel evaluates) and
// are ordered exactly.  When the squares cannot be trusted (a NaN, an
// infinity, a square out of range) or the band is large, every amplitude is
// formed on demand and the order is the exact one throughout.
//
// The middle squares of a long row come from a radix selection on their bits
// (finite squares are >= +0.0, so their bit patterns order as their values):
// one pass counts the samples per bucket of the row's range of bits, a second
// collects the indices of the samples around the buckets of the middle ranks,
// and the middle squares are selected among those.  Any selection yields the
// same two order statistics, so the band and the points do not depend on it.
struct MedianSelectKernel {
  int32_t K, N, chunks;
  V1<const double> v;        // (B, N)
  V1<const double> dv;       // (B, 3, N)
  V1<const double> tables;   // (B, kModeCoeffCount)
  V1<const double> dtables;  // (B, kDModeCoeffCount)
  V1<const int32_t> slots;   // (K,)
  MagPlanes planes;
  V1<const double> mag;      // (used slots, B, N) squares
  V1<const unsigned char> unsafe;  // (B chunks, 8)
  V1<const double> range;    // (B chunks, 8, 2): smallest and largest square
  V1<double> work;          // (B, K, N) scratch: squares, indices, or the index array of exact_points
  V1<double> med2;           // (B, K)
  V1<double> dmed2;          // (B, 3, K)

  static constexpr int kBandMax = 64;
  static constexpr int32_t kRadixMinN = 64;   // shorter rows: a plain selection
  static constexpr int kRadixBins = 1024;
  static constexpr int kRadixWays = 4;        // interleaved counters
  static constexpr int32_t kSample = 512;
  static constexpr int32_t kSampleMargin = 32;
  static constexpr int32_t kSampleMinN = 8 * kSample;  // shorter rows: the radix selection

  KOKKOS_INLINE_FUNCTION double amplitude(int32_t b, int32_t s, int32_t n) const {
    double re[kModeSlots], im[kModeSlots];
    mode_weights(v(static_cast<int64_t>(b) * N + n),
                 tables.data() + static_cast<int64_t>(b) * kModeCoeffCount, re, im);
    return std::hypot(re[s], im[s]);
  }

  // The exact order on every sample, amplitudes formed on demand.
  KOKKOS_INLINE_FUNCTION void exact_points(int32_t b, int32_t s, int32_t* idx, int32_t* points) const {
    const auto before = [&](int32_t x, int32_t y) {
      const double a = amplitude(b, s, x), c = amplitude(b, s, y);
      if (a < c) return true;
      if (c < a) return false;
      const bool na = a != a, nc = c != c;
      if (na != nc) return nc;  // the number comes first
      return x < y;             // equal (or both NaN): the smaller index
    };
    for (int32_t n = 0; n < N; ++n) idx[n] = n;
    const int32_t m = N / 2;
    std::nth_element(idx, idx + m, idx + N, before);
    if (N % 2 == 1) {
      points[0] = idx[m];
    } else {
      points[0] = *std::max_element(idx, idx + m, before);
      points[1] = idx[m];
    }
  }

  // The median points from the band's samples bidx[0 .. nb) (ascending sample
  // index) with `below` samples under the band: their amplitudes, ordered by
  // (amplitude, index); all amplitudes are finite here.
  KOKKOS_INLINE_FUNCTION void settle_band(int32_t b, int32_t s, const double* q, int32_t* bidx,
                                          int32_t nb, int32_t below, int32_t* points) const {
    const int32_t m = N / 2;
    double bkey[kBandMax];
    for (int32_t j = 0; j < nb; ++j) bkey[j] = q[bidx[j]] == 0.0 ? 0.0 : amplitude(b, s, bidx[j]);
    for (int32_t j = 1; j < nb; ++j) {
      const double kj = bkey[j];
      const int32_t ij = bidx[j];
      int32_t t = j - 1;
      while (t >= 0 && (kj < bkey[t] || (!(bkey[t] < kj) && ij < bidx[t]))) {
        bkey[t + 1] = bkey[t];
        bidx[t + 1] = bidx[t];
        --t;
      }
      bkey[t + 1] = kj;
      bidx[t + 1] = ij;
    }
    if (N % 2 == 1) {
      points[0] = bidx[m - below];
    } else {
      points[0] = bidx[m - 1 - below];
      points[1] = bidx[m - below];
    }
  }

  // The median points by the squares, settled exactly inside the band; false
  // when the band is too large for that.  The middle squares are selected on
  // a private copy of the row (`sel`, N values): the squares are finite here,
  // so their order statistics are those of any order that breaks ties.
  KOKKOS_INLINE_FUNCTION bool band_points(int32_t b, int32_t s, const double* q, double* sel,
                                          int32_t* points) const {
    for (int32_t n = 0; n < N; ++n) sel[n] = q[n];
    double lo, hi;
    median_band(sel, N, lo, hi);
    int32_t below = 0, nb = 0;
    int32_t bidx[kBandMax];
    for (int32_t n = 0; n < N; ++n) {
      const double x = q[n];
      if (x < lo) {
        ++below;
      } else if (!(hi < x)) {
        if (nb == kBandMax) return false;
        bidx[nb++] = n;  // ascending sample index
      }
    }
    settle_band(b, s, q, bidx, nb, below, points);
    return true;
  }

  // band_points by a radix selection of the middle squares, for rows whose
  // squares lie in [qmin, qmax] (finite, >= +0.0).  False, with nothing
  // decided, when the samples around the middle buckets are too many or the
  // band is large.
  KOKKOS_INLINE_FUNCTION bool radix_band_points(int32_t b, int32_t s, const double* q, double qmin,
                                                double qmax, double* scratch,
                                                int32_t* points) const {
    const int32_t m = N / 2;
    const bool even = N % 2 == 0;
    uint64_t kmin, kmax;
    __builtin_memcpy(&kmin, &qmin, sizeof kmin);
    __builtin_memcpy(&kmax, &qmax, sizeof kmax);
    if (!(kmin < kmax)) return false;
    const uint64_t span = kmax - kmin;
    int shift = 0;
    while ((span >> shift) >= static_cast<uint64_t>(kRadixBins)) ++shift;
    const int32_t nbins = static_cast<int32_t>(span >> shift) + 1;
    uint32_t hist[kRadixWays][kRadixBins];
    for (int w = 0; w < kRadixWays; ++w)
      for (int32_t d = 0; d < nbins; ++d) hist[w][d] = 0;
    const auto bucket = [&](int32_t n) {
      uint64_t key;
      __builtin_memcpy(&key, q + n, sizeof key);
      return static_cast<int32_t>((key - kmin) >> shift);
    };
    int32_t n = 0;
    for (; n + kRadixWays <= N; n += kRadixWays)
      for (int w = 0; w < kRadixWays; ++w) ++hist[w][bucket(n + w)];
    for (; n < N; ++n) ++hist[0][bucket(n)];
    // Buckets of the ranks m - 1 (even N) and m.
    int32_t d_lo = -1, d_hi = -1;
    {
      int64_t cum = 0;
      const int64_t r_lo = even ? m - 1 : m;
      for (int32_t d = 0; d < nbins; ++d) {
        cum += static_cast<int64_t>(hist[0][d]) + hist[1][d] + hist[2][d] + hist[3][d];
        if (d_lo < 0 && cum > r_lo) d_lo = d;
        if (cum > m) {
          d_hi = d;
          break;
        }
      }
    }
    if (d_lo < 0 || d_hi < 0) return false;
    // Those buckets span [edge_lo, edge_hi]: q_lo >= edge_lo, q_hi <= edge_hi.
    const uint64_t k_lo = kmin + (static_cast<uint64_t>(d_lo) << shift);
    uint64_t k_hi = kmin + ((static_cast<uint64_t>(d_hi) + 1) << shift) - 1;
    if (k_hi > kmax) k_hi = kmax;
    double edge_lo, edge_hi;
    __builtin_memcpy(&edge_lo, &k_lo, sizeof edge_lo);
    __builtin_memcpy(&edge_hi, &k_hi, sizeof edge_hi);
    return window_points(b, s, q, edge_lo, edge_hi, N / 2, scratch, points);
  }

  // band_points for rows whose squares are finite and >= +0.0, given a guess
  // [a, z] of the range of the middle squares: one pass counts the samples
  // below the window [a (1 - 1e-10), z (1 + 1e-10)] and collects the indices
  // of those inside it (`scratch` as int32), the middle squares are selected
  // among the window's values (a copy after the indices), and the band is
  // taken from the window.  The guess holds when the middle ranks fall inside
  // the window and a <= q_lo, q_hi <= z: the band edges, formed by the same
  // rounded products, then lie inside the window.  False, with nothing
  // decided, when the guess fails, the window holds more than `cap` samples
  // or the band is large.
  KOKKOS_INLINE_FUNCTION bool window_points(int32_t b, int32_t s, const double* q, double a,
                                            double z, int32_t cap, double* scratch,
                                            int32_t* points) const {
    const int32_t m = N / 2;
    const bool even = N % 2 == 0;
    const double e_lo = a * (1.0 - 1e-10), e_hi = z * (1.0 + 1e-10);
    int32_t* idx = reinterpret_cast<int32_t*>(scratch);
    int32_t under = 0;
    const int32_t c = window_scan(q, N, e_lo, e_hi, idx, under);
    const int64_t r_hi = static_cast<int64_t>(m) - under;
    if (c > cap || c > N / 2 || r_hi < (even ? 1 : 0) || r_hi >= c) return false;
    double* sel = scratch + (c + 1) / 2;
    for (int32_t j = 0; j < c; ++j) sel[j] = q[idx[j]];
    const double q_hi = select_kth(sel, c, static_cast<int32_t>(r_hi));
    double q_lo = q_hi;
    if (even) {  // the largest of the r_hi smallest
      q_lo = sel[0];
      for (int32_t j = 1; j < r_hi; ++j)
        if (sel[j] > q_lo) q_lo = sel[j];
    }
    if (!(a <= q_lo && q_hi <= z)) return false;
    const double lo = q_lo * (1.0 - 1e-10), hi = q_hi * (1.0 + 1e-10);
    int32_t below = static_cast<int32_t>(under), nb = 0;
    int32_t bidx[kBandMax];
    for (int32_t j = 0; j < c; ++j) {
      const double x = q[idx[j]];
      if (x < lo) {
        ++below;
      } else if (!(hi < x)) {
        if (nb == kBandMax) return false;
        bidx[nb++] = idx[j];  // ascending sample index
      }
    }
    settle_band(b, s, q, bidx, nb, below, points);
    return true;
  }

  // window_points with the window guessed from an evenly strided sample of
  // kSample squares: the sample's order statistics kSampleMargin ranks either
  // side of the middle ranks' places.
  KOKKOS_INLINE_FUNCTION bool sampled_points(int32_t b, int32_t s, const double* q,
                                             double* scratch, int32_t* points) const {
    const int32_t m = N / 2;
    const bool even = N % 2 == 0;
    double smp[kSample];
    for (int32_t j = 0; j < kSample; ++j) smp[j] = q[static_cast<int64_t>(j) * N / kSample];
    std::sort(smp, smp + kSample);
    const int64_t p_lo = static_cast<int64_t>(even ? m - 1 : m) * kSample / N - kSampleMargin;
    const int64_t p_hi = static_cast<int64_t>(m) * kSample / N + kSampleMargin;
    const double a = smp[p_lo < 0 ? 0 : p_lo];
    const double z = smp[p_hi >= kSample ? kSample - 1 : p_hi];
    return window_points(b, s, q, a, z, N / 4, scratch, points);
  }

  KOKKOS_INLINE_FUNCTION void operator()(int64_t i) const {
    const int32_t b = static_cast<int32_t>(i / K);
    const int32_t k = static_cast<int32_t>(i % K);
    const int32_t s = slots(k);
    if (s < 0) return;
    const double* row = mag.data() + planes.at[s] + static_cast<int64_t>(b) * N;
    double* wrow = work.data() + (static_cast<int64_t>(b) * K + k) * N;
    bool safe = true;
    double qmin = __builtin_inf(), qmax = -__builtin_inf();
    for (int32_t c = 0; c < chunks; ++c) {
      const int64_t cs = (static_cast<int64_t>(b) * chunks + c) * 8 + s;
      if (unsafe(cs)) safe = false;
      qmin = range(2 * cs) < qmin ? range(2 * cs) : qmin;
      qmax = range(2 * cs + 1) > qmax ? range(2 * cs + 1) : qmax;
    }
    int32_t points[2];
    const int32_t cnt_i = N % 2 == 1 ? 1 : 2;
    if (!safe ||
        !((N >= kSampleMinN && sampled_points(b, s, row, wrow, points)) ||
          (N >= kRadixMinN && radix_band_points(b, s, row, qmin, qmax, wrow, points)) ||
          band_points(b, s, row, wrow, points)))
      exact_points(b, s, reinterpret_cast<int32_t*>(wrow), points);
    const double* table = tables.data() + static_cast<int64_t>(b) * kModeCoeffCount;
    const double* dtable = dtables.data() + static_cast<int64_t>(b) * kDModeCoeffCount;
    double re[kModeSlots], im[kModeSlots], dre[kDModeSlots], dim[kDModeSlots];
    double sum = 0.0;
    double acc[3] = {0.0, 0.0, 0.0};
    for (int32_t q = 0; q < cnt_i; ++q) {
      const int32_t n = points[q];
      const double vn = v(static_cast<int64_t>(b) * N + n);
      mode_weights(vn, table, re, im);
      dmode_weights(vn, dtable, dre, dim);
      const double hr = re[s], hi = im[s];
      const double hvr = dre[4 * s], hvi = dim[4 * s];
      const double a = std::hypot(hr, hi);
      sum = sum + a;
      const double den = a > 1e-300 ? a : 1e-300;
      for (int p = 0; p < 3; ++p) {
        const double dvp = dv((static_cast<int64_t>(b) * 3 + p) * N + n);
        const double dhr = (hvr * dvp) + dre[4 * s + 1 + p];
        const double dhi = (hvi * dvp) + dim[4 * s + 1 + p];
        const double term = ((hr * dhr) + (hi * dhi)) / den;
        acc[p] = term + acc[p];
      }
    }
    const double cnt = static_cast<double>(cnt_i);
    const double mean = sum / cnt;
    med2(static_cast<int64_t>(b) * K + k) = mean * mean;
    for (int p = 0; p < 3; ++p)
      dmed2((static_cast<int64_t>(b) * 3 + p) * K + k) = (acc[p] / cnt) * (mean + mean);
  }
};

// ---------------------------------------------------------------- dc_grid_batch
// "dc_grid_batch": dc_k/dtheta_p for every mode at every sample.
struct DcGridKernel {
  ChunkSplit split;
  int32_t G, N, K;
  V1<const double> vals;     // (B, G, N) complex
  V1<const double> v;        // (B, N)
  V1<const double> dv;       // (B, 3, N)
  V1<const double> tables;   // (B, kModeCoeffCount)
  V1<const double> dtables;  // (B, kDModeCoeffCount)
  V1<const int32_t> modes;   // (K, 3): dIdx, rIdx, pnIdx
  V1<const double> phase;    // (K,) complex
  V1<const double> W;        // (B, K)
  V1<const double> dW;       // (B, 3, K)
  V1<double> out;            // (B, 3, K, N) complex

  // Samples [n0, n1) of row b, kLanes at a time (fused_lanes.cpp).
  void chunk(int32_t b, int32_t n0, int32_t n1) const;

  KOKKOS_INLINE_FUNCTION void operator()(int64_t i) const {
    int32_t b, n0, n1;
    split.range(i, b, n0, n1);
    chunk(b, n0, n1);
  }
};

}  // namespace fused
}  // namespace radiredide
