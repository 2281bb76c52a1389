#pragma once
// Kernels of the Gaussian-process contraction and of the anchor contraction.
// Every floating-point sum runs sequentially inside one work item in a fixed
// order, so the results depend neither on the thread count nor on the work
// split.  The batched contraction serves several rows per work item with
// lane-wise vector arithmetic (each lane is one row's own sum, in the same
// order as the scalar path), which changes no bits.
#include "gpr_math.hpp"

#include <Kokkos_Core.hpp>

#include <cstdint>
#include <cstring>

namespace radiredide::gpr {

using ExecSpace = Kokkos::DefaultExecutionSpace;

// ---------------------------------------------------------------- single point

// "gpr_contract": item i stores the trend sums of group coefficient i.
struct ContractTrend {
  const double* f;     // n_terms features
  const double* T;     // column-major pairs
  const int32_t* gidx;
  double* out;         // (P, E, O) as pairs
  int32_t n_terms;
  int32_t EO;

  KOKKOS_INLINE_FUNCTION void operator()(const int32_t i) const {
    const int32_t p = i / EO;
    const int32_t r = i - p * EO;
    const double* Ti = T + 2 * static_cast<int64_t>(i) * n_terms;
    double re = 0.0;
    double im = 0.0;
    for (int32_t t = 0; t < n_terms; ++t) {
      re = re + f[t] * Ti[2 * t];
      im = im + f[t] * Ti[2 * t + 1];
    }
    const int64_t o = 2 * (static_cast<int64_t>(gidx[p]) * EO + r);
    out[o] = re;
    out[o + 1] = im;
  }
};

// "gpr_kernel": item g adds the completed kernel sum of block coefficient g to
// the stored value.
struct ContractKernel {
  const double* row;   // n_train kernel-row values
  const double* A;     // column-major pairs
  const int32_t* gidx;
  const int32_t* loc;
  double* out;
  int32_t n_train;
  int32_t EO;

  KOKKOS_INLINE_FUNCTION void operator()(const int32_t g) const {
    const int32_t b = g / EO;
    const int32_t r = g - b * EO;
    const double* Ag = A + 2 * static_cast<int64_t>(g) * n_train;
    double kre = 0.0;
    double kim = 0.0;
    for (int32_t n = 0; n < n_train; ++n) {
      kre = kre + row[n] * Ag[2 * n];
      kim = kim + row[n] * Ag[2 * n + 1];
    }
    const int64_t o = 2 * (static_cast<int64_t>(gidx[loc[b]]) * EO + r);
    out[o] = kre + out[o];
    out[o + 1] = kim + out[o + 1];
  }
};

// ---------------------------------------------------------------- batch

// "gpr_batch_rows": per (padded) row, the group's coordinates, features and
// kernel rows, stored row-minor (value v of row b at v*Bp + b) so that the
// rows served by one contraction item are contiguous.  Padding rows repeat
// the last row.
struct BatchRows {
  CoordParams cp;
  int32_t scheme;
  int32_t parity;
  const double* rows;  // B x (lq, chi1z, chi2z)
  int32_t B;
  int32_t Bp;
  const double* U;
  int32_t n_train;
  const int32_t* terms;
  int32_t n_terms;
  const double* ls;  // n_blocks x 3
  int32_t n_blocks;
  double* featT;     // n_terms x Bp
  double* krowT;     // n_blocks x n_train x Bp
  double* sym;       // Bp x n_train (scheme 1 only)

  KOKKOS_INLINE_FUNCTION void operator()(const int32_t b) const {
    const int32_t s = b < B ? b : B - 1;
    double x[3];
    double T[3][kTable];
    group_coords(cp, scheme, rows[3 * s], rows[3 * s + 1], rows[3 * s + 2], x, T);
    features(T, terms, n_terms, featT + b, Bp);
    for (int32_t j = 0; j < n_blocks; ++j) {
      double* out = krowT + static_cast<int64_t>(j) * n_train * Bp + b;
      rbf_row(x, U, n_train, ls + 3 * j, out, Bp);
      if (scheme == 1)
        symmetrise(x, U, n_train, ls + 3 * j, parity, out, Bp,
                   sym + static_cast<int64_t>(b) * n_train);
    }
  }
};

#if defined(__GNUC__)
typedef double vec4d __attribute__((vector_size(32)));
typedef double vec8d __attribute__((vector_size(64)));
#endif

template <class V>
KOKKOS_INLINE_FUNCTION double lane(const V& v, int l) {
  return v[l];
}
KOKKOS_INLINE_FUNCTION double lane(const double& v, int) { return v; }

template <class V>
KOKKOS_INLINE_FUNCTION V load_rows(const double* p) {
  V v;
  std::memcpy(&v, p, sizeof(V));
  return v;
}

// "gpr_batch_contract": item i is one group coefficient for every row, RB rows
// at a time.  Per row: trend sums ascending from +0.0, then, for each block
// serving the position in block order, its kernel sum ascending from +0.0,
// added to the running value.  Rows are independent lanes.
template <class V, int RB>
struct BatchContract {
  const double* featT;
  const double* T;
  int32_t n_terms;
  const double* krowT;
  int32_t n_train;
  int32_t B;
  int32_t Bp;
  int32_t EO;
  const int32_t* gidx;
  const int64_t* off;
  const int32_t* cov_start;  // per group position, into cov_block / cov_pos
  const int32_t* cov_block;
  const int32_t* cov_pos;
  const double* const* A;    // per block
  double* dest;              // pairs
  int64_t stride;            // complex elements per row

  KOKKOS_INLINE_FUNCTION void operator()(const int32_t i) const {
    const int32_t p = i / EO;
    const int32_t r = i - p * EO;
    const int64_t o = off[gidx[p]];
    if (o < 0) return;
    const double* Ti = T + 2 * static_cast<int64_t>(i) * n_terms;
    for (int32_t b0 = 0; b0 < B; b0 += RB) {
      V re{};
      V im{};
      for (int32_t t = 0; t < n_terms; ++t) {
        const V f = load_rows<V>(featT + static_cast<int64_t>(t) * Bp + b0);
        re = re + f * Ti[2 * t];
        im = im + f * Ti[2 * t + 1];
      }
      for (int32_t q = cov_start[p]; q < cov_start[p + 1]; ++q) {
        const int32_t j = cov_block[q];
        const int64_t c = static_cast<int64_t>(cov_pos[q]) * EO + r;
        const double* Ac = A[j] + 2 * c * n_train;
        const double* kr = krowT + static_cast<int64_t>(j) * n_train * Bp + b0;
        V kre{};
        V kim{};
        for (int32_t n = 0; n < n_train; ++n) {
          const V x = load_rows<V>(kr + static_cast<int64_t>(n) * Bp);
          kre = kre + x * Ac[2 * n];
          kim = kim + x * Ac[2 * n + 1];
        }
        re = re + kre;
        im = im + kim;
      }
      const int nb = B - b0 < RB ? B - b0 : RB;
      for (int l = 0; l < nb; ++l) {
        double* d = dest + 2 * (static_cast<int64_t>(b0 + l) * stride + o + r);
        d[0] = lane(re, l);
        d[1] = lane(im, l);
      }
    }
  }
};

// "gpr_batch_var": item (b, v) is key v's variance at row b.
struct BatchVar {
  CoordParams cp;
  const KeyView* keys;
  const int64_t* scratch_off;  // per key, into scratch; 2*n doubles per row
  const double* rows;
  int32_t K;
  double* buf;  // B x K
  double* scratch;

  KOKKOS_INLINE_FUNCTION void operator()(const int32_t b, const int32_t v) const {
    const KeyView& key = keys[v];
    double* k = scratch + scratch_off[v] + 2 * static_cast<int64_t>(b) * key.n;
    buf[static_cast<int64_t>(b) * K + v] =
        key_variance(cp, key, rows[3 * b], rows[3 * b + 1], rows[3 * b + 2], k, k + key.n);
  }
};

// ---------------------------------------------------------------- anchor

// "anchor_contract": item i = r*C + c; real part then imaginary part, each the
// kernel Dot2 sum plus the trend Dot2 sum.
struct AnchorContract {
  const double* rows;   // R x Kt
  const double* trend;  // Kt x C pairs
  const double* krows;  // R x Kk
  const double* alpha;  // Kk x C pairs
  double* out;          // R x C pairs
  int32_t C;
  int32_t Kt;
  int32_t Kk;

  KOKKOS_INLINE_FUNCTION void operator()(const int32_t i) const {
    const int32_t r = i / C;
    const int32_t c = i - r * C;
    const double* xr = rows + static_cast<int64_t>(r) * Kt;
    const double* xk = krows + static_cast<int64_t>(r) * Kk;
    for (int part = 0; part < 2; ++part) {
      double S = 0.0;
      double cc = 0.0;
      for (int32_t j = 0; j < Kt; ++j)
        dot2_step(xr[j], trend[2 * (static_cast<int64_t>(j) * C + c) + part], S, cc);
      const double pt = cc + S;
      S = 0.0;
      cc = 0.0;
      for (int32_t j = 0; j < Kk; ++j)
        dot2_step(xk[j], alpha[2 * (static_cast<int64_t>(j) * C + c) + part], S, cc);
      const double pk = cc + S;
      out[2 * static_cast<int64_t>(i) + part] = pk + pt;
    }
  }
};

}  // namespace radiredide::gpr
