#pragma once
// Kernels of the element-fit evaluators: values at phase samples (also stage 2
// of evaluate_time), values with parameter gradients, the spheroidal mixing
// pass, values and gradients at inverted phases, and the phi-grid projection.
// Every work item takes one batch row and one contiguous range of its samples.
#include "common/chebyshev.hpp"
#include "common/element_fit.hpp"

#include <Kokkos_Core.hpp>

#include <cstdint>

namespace radiredide {

// Samples [begin, end) of work item i: row b = i / chunks, chunk c = i % chunks.
struct SampleRange {
  int32_t b;
  int64_t begin, end;
};
KOKKOS_INLINE_FUNCTION SampleRange sample_range(int64_t i, int32_t chunks, int64_t N) {
  SampleRange r;
  r.b = static_cast<int32_t>(i / chunks);
  const int64_t c = i % chunks;
  const int64_t len = (N + chunks - 1) / chunks;
  r.begin = c * len;
  r.end = r.begin + len < N ? r.begin + len : N;
  if (r.begin > N) r.begin = N;
  return r;
}

// Walks samples [begin, end) of x in runs of one element and calls
// fn(e, j0, k) for consecutive groups of at most `group` samples of each run.
template <class T, class Fn>
KOKKOS_INLINE_FUNCTION void for_each_run_group(const T* breaks, int32_t E, const T* x,
                                               int64_t begin, int64_t end, int32_t group,
                                               Fn&& fn) {
  int64_t n = begin;
  while (n < end) {
    const int32_t e = fit::find_element(breaks, E, x[n]);
    int64_t stop = n + 1;
    while (stop < end && fit::in_run(breaks, E, e, x[stop])) ++stop;
    for (int64_t j0 = n; j0 < stop; j0 += group) {
      const int64_t k = stop - j0 < group ? stop - j0 : group;
      fn(e, j0, static_cast<int32_t>(k));
    }
    n = stop;
  }
}

// Values of pieces p0 .. P-1 at the samples x (row r = 0 when shared, else b),
// written to out (B, P - p0, N).  Kernel "evaluate" and "evaluate_time_pieces".
// With shared samples a work item takes `group` consecutive rows over one
// part of the samples (the rows x chunks items of the launch cut into groups
// of rows times group x chunks sample parts), so that the element runs, local
// coordinates and rotation powers of a block serve every row of the group.
template <class T>
struct ValueKernel {
  fit::ElementFitRef<T> fit;
  const T* x;       // (R, N)
  bool shared;      // R == 1
  T* out;           // (B, P - p0, N) complex, interleaved
  int64_t N;
  int32_t chunks, p0;
  int64_t M;
  int32_t group = 1;  // rows per work item; divides B, 1 unless shared
  Isa isa = Isa::generic;

  KOKKOS_INLINE_FUNCTION void operator()(const int64_t i) const;

  template <class V>
  RR_INLINE void item(const int64_t i) const {
    const int32_t parts = chunks * group;
    const SampleRange r = sample_range(i, parts, N);
    const int32_t b0 = r.b * group;
    const T* xr = x + (shared ? int64_t(0) : static_cast<int64_t>(b0) * N);
    const int64_t row = 2 * static_cast<int64_t>(fit.P - p0) * N;
    int64_t n = r.begin;
    while (n < r.end) {
      const int32_t e = fit::find_element(fit.breaks, fit.E, xr[n]);
      int64_t stop = n + 1;
      while (stop < r.end && fit::in_run(fit.breaks, fit.E, e, xr[stop])) ++stop;
      for (int64_t j0 = n; j0 < stop; j0 += fit::value_block_size) {
        const int32_t k = static_cast<int32_t>(
            stop - j0 < fit::value_block_size ? stop - j0 : fit::value_block_size);
        fit::ValueBlockLanes<T> s;
        fit::value_block_setup(fit, xr, j0, k, e, M, s);
        for (int32_t b = b0; b < b0 + group; ++b)
          fit::value_block_pieces<V>(fit, b, s, p0, out + b * row, N);
      }
      n = stop;
    }
  }
};

template <class T>
KOKKOS_INLINE_FUNCTION void ValueKernel<T>::operator()(const int64_t i) const {
  variants::run<Isa::avx512, Isa::avx2, Isa::generic>(
      isa,
      []<Isa I>(const ValueKernel& k, int64_t j)
          RR_INLINE_LAMBDA { k.template item<lanes::vec_t<T, I>>(j); },
      *this, i);
}

// Rows per work item of a value launch: with samples shared by every row, the
// largest divisor of B up to 16; otherwise 1.
inline int32_t value_row_group(int32_t B, bool shared) {
  if (!shared) return 1;
  for (int32_t g = 16; g > 1; --g)
    if (B % g == 0) return g;
  return 1;
}

// Rotation powers z^h = e^(i h s x) of up to W samples, tabulated for
// h <= power_table_max, and the rotation of one mode number m taken from the
// table (conjugated for negative m) or, beyond it, by repeated products.
template <class T, int32_t W>
struct RotationTable {
  static constexpr int32_t TM = fit::power_table_max;
  T zr[W], zi[W], tr[TM + 1][W], ti[TM + 1][W];

  KOKKOS_INLINE_FUNCTION void build(const T* x, int32_t n, T s, int64_t M) {
    if (M < 1) return;
    const int64_t TMx = M < TM ? M : TM;
    for (int32_t j = 0; j < n; ++j) {
      const T a = s * x[j];
      zr[j] = fit::fit_cos(a);
      zi[j] = fit::fit_sin(a);
      tr[0][j] = T(1);
      ti[0][j] = T(0);
      tr[1][j] = zr[j];
      ti[1][j] = zi[j];
    }
    for (int64_t h = 2; h <= TMx; ++h)
      for (int32_t j = 0; j < n; ++j) {
        T wr = tr[h - 1][j], wi = ti[h - 1][j];
        fit::times_z(wr, wi, zr[j], zi[j]);
        tr[h][j] = wr;
        ti[h][j] = wi;
      }
  }

  KOKKOS_INLINE_FUNCTION void rotation(int32_t m, int32_t n, T* rr, T* ri) const {
    for (int32_t j = 0; j < n; ++j) {
      if (m == 0) {
        rr[j] = T(1);
        ri[j] = T(0);
      } else if (m >= -TM && m <= TM) {
        const int32_t am = m < 0 ? -m : m;
        rr[j] = tr[am][j];
        ri[j] = m < 0 ? -ti[am][j] : ti[am][j];
      } else {
        fit::rotation_power(m, zr[j], zi[j], rr[j], ri[j]);
      }
    }
  }
};

// Values and gradients at phase samples, groups of at most 16 samples.
// Kernel "evaluate_grad".  No rates, no mixing.
template <class T>
struct GradKernel {
  fit::ElementFitRef<T> fit;  // rates unused
  const T* gcoefs;            // (B, D*P, E, O) complex
  int32_t D;
  const T* x;
  bool shared;
  T* val;   // (B, P, N)
  T* grad;  // (B, D, P, N)
  int64_t N;
  int32_t chunks;
  int64_t M;

  KOKKOS_INLINE_FUNCTION void operator()(const int64_t i) const {
    const SampleRange r = sample_range(i, chunks, N);
    const T* xr = x + (shared ? int64_t(0) : static_cast<int64_t>(r.b) * N);
    for_each_run_group(fit.breaks, fit.E, xr, r.begin, r.end, 16,
                       [&](int32_t e, int64_t j0, int32_t k) { group(r.b, xr, e, j0, k); });
  }

  KOKKOS_INLINE_FUNCTION void group(int32_t b, const T* xr, int32_t e, int64_t j0,
                                    int32_t k) const {
    constexpr int32_t W = 16;
    T u[W];
    RotationTable<T, W> rot;
    const int32_t P = fit.P, O = fit.O, E = fit.E;
    for (int32_t j = 0; j < k; ++j) u[j] = fit::local_coord(fit.breaks, e, xr[j0 + j]);
    rot.build(xr + j0, k, fit.phase_sign, M);
    for (int32_t p = 0; p < P; ++p) {
      const int32_t m = fit.emm[p];
      T rr[W], ri[W];
      rot.rotation(m, k, rr, ri);
      for (int32_t l = 0; l <= D; ++l) {
        const T* c = l == 0 ? fit.coef_row(b, p, e)
                            : gcoefs + 2 * (((static_cast<int64_t>(b) * D * P +
                                              static_cast<int64_t>(l - 1) * P + p) *
                                                 E +
                                             e) *
                                            O);
        T* o = l == 0 ? val + 2 * ((static_cast<int64_t>(b) * P + p) * N)
                      : grad + 2 * (((static_cast<int64_t>(b) * D + (l - 1)) * P + p) * N);
        for (int32_t j = 0; j < k; ++j) {
          T sr, si;
          cheb::three_term_complex(c, O, u[j], sr, si);
          const T vr = rr[j] * sr - ri[j] * si;
          const T vi = rr[j] * si + ri[j] * sr;
          o[2 * (j0 + j)] = vr;
          o[2 * (j0 + j) + 1] = vi;
        }
      }
    }
  }
};

// Spheroidal mixing pass, in place on values (B, P, N).  Kernel "swsph_mixing".
template <class T>
struct MixKernel {
  T* values;         // (B, P, N)
  const T* mix;      // (B, nblk, nl, nl)
  const int32_t* blk;  // (nblk, nl)
  int32_t P, nblk, nl, chunks;
  int64_t N;

  KOKKOS_INLINE_FUNCTION void operator()(const int64_t i) const {
    const SampleRange r = sample_range(i, chunks, N);
    T* vrow = values + 2 * (static_cast<int64_t>(r.b) * P * N);
    const T* mrow = mix + 2 * (static_cast<int64_t>(r.b) * nblk * nl * nl);
    for (int64_t n = r.begin; n < r.end; ++n) {
      for (int32_t j = 0; j < nblk; ++j) {
        T xr[4], xi[4];
        int32_t idx[4];
        const int32_t* list = blk + static_cast<int64_t>(j) * nl;
        int32_t k = 0;
        while (k < nl && list[k] >= 0) {
          idx[k] = list[k];
          const T* v = vrow + 2 * (static_cast<int64_t>(idx[k]) * N + n);
          xr[k] = v[0];
          xi[k] = v[1];
          ++k;
        }
        const T* mj = mrow + 2 * (static_cast<int64_t>(j) * nl * nl);
        for (int32_t l = 0; l < k; ++l) {
          T ar = T(0), ai = T(0);
          for (int32_t c = 0; c < k; ++c) {
            const T mr = mj[2 * (l * nl + c)], mi = mj[2 * (l * nl + c) + 1];
            ar = ar + (mr * xr[c] - mi * xi[c]);
            ai = ai + (xi[c] * mr + mi * xr[c]);
          }
          T* v = vrow + 2 * (static_cast<int64_t>(idx[l]) * N + n);
          v[0] = ar;
          v[1] = ai;
        }
      }
    }
  }
};

// Values and gradients at inverted phases, blocks of 16 lanes.
// Kernel "evaluate_time_grad_pieces".
template <class T>
struct TimeGradKernel {
  fit::ElementFitRef<T> fit;  // rates unused
  const T* gcoefs;            // (B, D*P, E, O)
  int32_t D, tau_piece;
  const T* phi;   // (B, N)
  T* val;         // (B, P, N)
  T* grad;        // (B, D, P, N)
  int64_t N;
  int32_t chunks;
  int64_t M;

  KOKKOS_INLINE_FUNCTION const T* grow(int32_t b, int32_t d, int32_t p, int32_t e) const {
    return gcoefs + 2 * (((static_cast<int64_t>(b) * D * fit.P +
                           static_cast<int64_t>(d) * fit.P + p) *
                              fit.E +
                          e) *
                         fit.O);
  }

  Isa isa = Isa::generic;

  KOKKOS_INLINE_FUNCTION void operator()(const int64_t i) const;

  KOKKOS_INLINE_FUNCTION void run(const int64_t i) const {
    const SampleRange r = sample_range(i, chunks, N);
    const T* xr = phi + static_cast<int64_t>(r.b) * N;
    int64_t n = r.begin;
    while (n < r.end) {
      const int32_t e = fit::find_element(fit.breaks, fit.E, xr[n]);
      int64_t stop = n + 1;
      while (stop < r.end && fit::in_run(fit.breaks, fit.E, e, xr[stop])) ++stop;
      for (int64_t j0 = n; j0 < stop; j0 += 16)
        block(r.b, xr, e, j0, static_cast<int32_t>(stop - j0 < 16 ? stop - j0 : 16));
      n = stop;
    }
  }

  // Real-coefficient Clenshaw (three-term form) with its derivative
  // recurrence, per lane.
  KOKKOS_INLINE_FUNCTION void block(int32_t b, const T* xr, int32_t e, int64_t j0,
                                    int32_t L) const {
    constexpr int32_t W = 16;
    const int32_t P = fit.P, O = fit.O;
    const T* br = fit.breaks;
    const T s = fit.phase_sign;
    T x[W], u[W], w[W];
    const T h = (br[e + 1] - br[e]) * T(0.5);
    for (int32_t j = 0; j < W; ++j) {
      x[j] = xr[j0 + (j < L ? j : 0)];
      u[j] = (x[j] - br[e]) / h - T(1);
      w[j] = u[j] + u[j];
    }
    // Three-term sums of one part of a coefficient row (stride 2 between
    // orders), per lane, the two state rows used in turn: values v, and with
    // sum_d the derivatives dv as well.
    const auto sum_d = [&](const T* c, T* v, T* dv) RR_INLINE_LAMBDA {
      cheb::three_term_rows_d<W, 1, 0, T>(O, cheb::strided(c, 2), cheb::at(u), cheb::at(w), h,
                                          [&](int j, int, T s, T ds) RR_INLINE_LAMBDA {
                                            v[j] = s;
                                            dv[j] = ds;
                                          });
    };
    const auto sum = [&](const T* c, T* v) RR_INLINE_LAMBDA {
      cheb::three_term_rows<W, 1, 0, T>(O, cheb::strided(c, 2), cheb::at(u), cheb::at(w),
                                        [&](int j, int, T s) RR_INLINE_LAMBDA { v[j] = s; });
    };
    // Time-map derivative T' (the value of the recurrence is not needed).
    T tpr[W];
    {
      T unused[W];
      sum_d(fit.coef_row(b, tau_piece, e), unused, tpr);
    }
    // Phase factors q_d = -G_d / T'.
    T q[8][W];
    for (int32_t d = 0; d < D; ++d) {
      T G[W];
      sum(grow(b, d, tau_piece, e), G);
      for (int32_t j = 0; j < W; ++j) q[d][j] = (-G[j]) / tpr[j];
    }
    // Rotation powers.
    RotationTable<T, W> rot;
    rot.build(x, W, s, M);
    for (int32_t p = 0; p < P; ++p) {
      const int32_t m = fit.emm[p];
      T rr[W], ri[W];
      rot.rotation(m, W, rr, ri);
      const T mu = m == 0 ? T(0) : static_cast<T>(m) * s;
      // Value and phase derivative, real and imaginary parts.
      T vr[W], vi[W], dvr[W], dvi[W];
      {
        const T* c = fit.coef_row(b, p, e);
        sum_d(c, vr, dvr);
        sum_d(c + 1, vi, dvi);
      }
      T* vo = val + 2 * ((static_cast<int64_t>(b) * P + p) * N + j0);
      T ar[W], ai[W];
      for (int32_t j = 0; j < L; ++j) {
        vo[2 * j] = (vr[j] * rr[j]) - (vi[j] * ri[j]);
        vo[2 * j + 1] = (vi[j] * rr[j]) + (vr[j] * ri[j]);
      }
      for (int32_t j = 0; j < W; ++j) {
        ar[j] = dvr[j] - mu * vi[j];
        ai[j] = mu * vr[j] + dvi[j];
      }
      for (int32_t d = 0; d < D; ++d) {
        const T* g = grow(b, d, p, e);
        T gpr[W], gpi[W];
        sum(g, gpr);
        sum(g + 1, gpi);
        T* go = grad + 2 * (((static_cast<int64_t>(b) * D + d) * P + p) * N + j0);
        for (int32_t j = 0; j < L; ++j) {
          const T hr = gpr[j] + q[d][j] * ar[j];
          const T hi = gpi[j] + q[d][j] * ai[j];
          go[2 * j] = (rr[j] * hr) - (ri[j] * hi);
          go[2 * j + 1] = (rr[j] * hi) + (ri[j] * hr);
        }
      }
    }
  }
};

// The work item compiled whole (every callee inlined) for each tier.
template <class T>
KOKKOS_INLINE_FUNCTION void TimeGradKernel<T>::operator()(const int64_t i) const {
  variants::run_flat<Isa::avx512, Isa::avx2, Isa::generic>(
      isa, []<Isa>(const TimeGradKernel& k, int64_t j) RR_INLINE_LAMBDA { k.run(j); }, *this, i);
}

// Phi-grid projection: node values by linear interpolation on the stencil,
// then the physical-to-spectral matrix.  Kernel "project_phi".
struct ProjectPhiKernel {
  const double* y;    // (B*K, N) complex, interleaved
  const int64_t* i0;  // (E*C,)
  const double* w;    // (E*C,)
  const double* p2s;  // (O, C)
  double* out;        // (B*K, E, O) complex
  int64_t N;
  int32_t E, C, O;

  KOKKOS_INLINE_FUNCTION void operator()(const int64_t g) const {
    const int64_t r = g / E;
    const int32_t e = static_cast<int32_t>(g % E);
    double vr[64], vi[64];
    const double* yr = y + 2 * (r * N);
    for (int32_t c = 0; c < C; ++c) {
      const int64_t s = static_cast<int64_t>(e) * C + c;
      const int64_t j = i0[s];
      const double f = w[s];
      const double omf = 1.0 - f;
      vr[c] = omf * yr[2 * j] + f * yr[2 * (j + 1)];
      vi[c] = omf * yr[2 * j + 1] + f * yr[2 * (j + 1) + 1];
    }
    double* o = out + 2 * ((r * E + e) * O);
    for (int32_t q = 0; q < O; ++q) {
      double ar = 0.0, ai = 0.0;
      const double* row = p2s + static_cast<int64_t>(q) * C;
      for (int32_t c = 0; c < C; ++c) {
        ar = ar + row[c] * vr[c];
        ai = ai + row[c] * vi[c];
      }
      o[2 * q] = ar;
      o[2 * q + 1] = ai;
    }
  }
};

}  // namespace radiredide
