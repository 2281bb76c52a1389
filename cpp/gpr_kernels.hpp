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

// Row panels of the batch scratch: rows are grouped in panels of W
// consecutive rows (W = 1 for the one-row form), and inside a panel value v
// of row b stands at v*W + b mod W, so that the W rows one contraction item
// serves are contiguous and a sweep over the values is one sequential stream.
KOKKOS_INLINE_FUNCTION int64_t panel_base(int32_t b, int32_t W, int32_t n_values) {
  return static_cast<int64_t>(b / W) * n_values * W + b % W;
}

// "gpr_batch_rows": per (padded) row, the group's coordinates, features and
// kernel rows, written into the row panels.  Padding rows repeat the last row.
struct BatchRows {
  CoordParams cp;
  int32_t scheme;
  int32_t parity;
  const double* rows;  // B x (lq, chi1z, chi2z)
  int32_t B;
  int32_t Bp;
  int32_t W;
  const double* U;
  int32_t n_train;
  const int32_t* terms;
  int32_t n_terms;
  const double* ls;  // n_blocks x 3
  int32_t n_blocks;
  double* feat;      // Bp x n_terms in panels
  double* krow;      // n_blocks x (Bp x n_train in panels)
  double* sym;       // Bp x n_train (scheme 1 only)

  KOKKOS_INLINE_FUNCTION void operator()(const int32_t b) const {
    const int32_t s = b < B ? b : B - 1;
    double x[3];
    double T[3][kTable];
    group_coords(cp, scheme, rows[3 * s], rows[3 * s + 1], rows[3 * s + 2], x, T);
    features(T, terms, n_terms, feat + panel_base(b, W, n_terms), W);
    for (int32_t j = 0; j < n_blocks; ++j) {
      double* out = krow + static_cast<int64_t>(j) * n_train * Bp + panel_base(b, W, n_train);
      rbf_row(x, U, n_train, ls + 3 * j, out, W);
      if (scheme == 1)
        symmetrise(x, U, n_train, ls + 3 * j, parity, out, W,
                   sym + static_cast<int64_t>(b) * n_train);
    }
  }
};

#if defined(__GNUC__)
typedef double vec2d __attribute__((vector_size(16)));
typedef double vec4d __attribute__((vector_size(32)));
typedef double vec8d __attribute__((vector_size(64)));
#define RADIREDIDE_GPR_ALWAYS_INLINE __attribute__((always_inline)) inline
#else
#error "the batched contraction needs GCC-style vector extensions"
#endif

// Unaligned load of one vector of rows (by reference: no vector passes
// through a call boundary).
template <class V>
RADIREDIDE_GPR_ALWAYS_INLINE void load_rows(V& v, const double* p) {
  std::memcpy(&v, p, sizeof(V));
}

// Rows of the batch scratch are padded to a multiple of this.
inline constexpr int kRowPad = 16;

// Arguments of "gpr_batch_contract".
struct BatchContractArgs {
  const double* feat;
  const double* T;
  int32_t n_terms;
  const double* krow;
  int32_t n_train;
  int32_t B;
  int32_t Bp;
  int32_t W;
  int32_t EO;
  const int32_t* gidx;
  const int64_t* off;
  const int32_t* cov_start;  // per group position, into cov_block / cov_pos
  const int32_t* cov_block;
  const int32_t* cov_pos;
  const double* const* A;    // per block
  double* dest;              // pairs
  int64_t stride;            // complex elements per row
};

// Group coefficient i for every row, NV vectors of V (one lane per row) at a
// time.  Per row: trend sums ascending from +0.0, then, for each block
// serving the position in block order, its kernel sum ascending from +0.0,
// added to the running value.  Each lane is one row's own sequence of IEEE
// operations, exactly as in the one-row form.
template <class V, int NV>
RADIREDIDE_GPR_ALWAYS_INLINE void contract_rows(const BatchContractArgs& a, const int32_t i) {
  constexpr int L = static_cast<int>(sizeof(V) / sizeof(double));
  constexpr int RB = L * NV;
  const int32_t p = i / a.EO;
  const int32_t r = i - p * a.EO;
  const int64_t o = a.off[a.gidx[p]];
  if (o < 0) return;
  const double* Ti = a.T + 2 * static_cast<int64_t>(i) * a.n_terms;
  for (int32_t b0 = 0; b0 < a.B; b0 += RB) {
    const double* fb = a.feat + panel_base(b0, a.W, a.n_terms);
    V re[NV];
    V im[NV];
    for (int v = 0; v < NV; ++v) {
      re[v] = V{};
      im[v] = V{};
    }
    for (int32_t t = 0; t < a.n_terms; ++t) {
      const double tr = Ti[2 * t];
      const double ti = Ti[2 * t + 1];
      const double* ft = fb + static_cast<int64_t>(t) * a.W;
      for (int v = 0; v < NV; ++v) {
        V f;
        load_rows(f, ft + v * L);
        re[v] = re[v] + f * tr;
        im[v] = im[v] + f * ti;
      }
    }
    for (int32_t q = a.cov_start[p]; q < a.cov_start[p + 1]; ++q) {
      const int32_t j = a.cov_block[q];
      const int64_t c = static_cast<int64_t>(a.cov_pos[q]) * a.EO + r;
      const double* Ac = a.A[j] + 2 * c * a.n_train;
      const double* kr =
          a.krow + static_cast<int64_t>(j) * a.n_train * a.Bp + panel_base(b0, a.W, a.n_train);
      V kre[NV];
      V kim[NV];
      for (int v = 0; v < NV; ++v) {
        kre[v] = V{};
        kim[v] = V{};
      }
      for (int32_t n = 0; n < a.n_train; ++n) {
        const double ar = Ac[2 * n];
        const double ai = Ac[2 * n + 1];
        const double* kn = kr + static_cast<int64_t>(n) * a.W;
        for (int v = 0; v < NV; ++v) {
          V x;
          load_rows(x, kn + v * L);
          kre[v] = kre[v] + x * ar;
          kim[v] = kim[v] + x * ai;
        }
      }
      for (int v = 0; v < NV; ++v) {
        re[v] = re[v] + kre[v];
        im[v] = im[v] + kim[v];
      }
    }
    const int nb = a.B - b0 < RB ? a.B - b0 : RB;
    for (int l = 0; l < nb; ++l) {
      double* d = a.dest + 2 * (static_cast<int64_t>(b0 + l) * a.stride + o + r);
      d[0] = re[l / L][l % L];
      d[1] = im[l / L][l % L];
    }
  }
}

// The one-row form: one row per step, plain doubles.
RADIREDIDE_GPR_ALWAYS_INLINE void contract_one_row(const BatchContractArgs& a, const int32_t i) {
  const int32_t p = i / a.EO;
  const int32_t r = i - p * a.EO;
  const int64_t o = a.off[a.gidx[p]];
  if (o < 0) return;
  const double* Ti = a.T + 2 * static_cast<int64_t>(i) * a.n_terms;
  for (int32_t b = 0; b < a.B; ++b) {
    const double* fb = a.feat + panel_base(b, a.W, a.n_terms);
    double re = 0.0;
    double im = 0.0;
    for (int32_t t = 0; t < a.n_terms; ++t) {
      const double f = fb[static_cast<int64_t>(t) * a.W];
      re = re + f * Ti[2 * t];
      im = im + f * Ti[2 * t + 1];
    }
    for (int32_t q = a.cov_start[p]; q < a.cov_start[p + 1]; ++q) {
      const int32_t j = a.cov_block[q];
      const int64_t c = static_cast<int64_t>(a.cov_pos[q]) * a.EO + r;
      const double* Ac = a.A[j] + 2 * c * a.n_train;
      const double* kr =
          a.krow + static_cast<int64_t>(j) * a.n_train * a.Bp + panel_base(b, a.W, a.n_train);
      double kre = 0.0;
      double kim = 0.0;
      for (int32_t n = 0; n < a.n_train; ++n) {
        const double x = kr[static_cast<int64_t>(n) * a.W];
        kre = kre + x * Ac[2 * n];
        kim = kim + x * Ac[2 * n + 1];
      }
      re = re + kre;
      im = im + kim;
    }
    double* d = a.dest + 2 * (static_cast<int64_t>(b) * a.stride + o + r);
    d[0] = re;
    d[1] = im;
  }
}


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

// The anchor contraction's arguments and its scalar element: real part then
// imaginary part, each the kernel Dot2 sum plus the trend Dot2 sum.
struct AnchorArgs {
  const double* rows;   // R x Kt
  const double* trend;  // Kt x C pairs
  const double* krows;  // R x Kk
  const double* alpha;  // Kk x C pairs
  double* out;          // R x C pairs
  int32_t C;
  int32_t Kt;
  int32_t Kk;

  KOKKOS_INLINE_FUNCTION void element(const int32_t r, const int32_t c) const {
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
      out[2 * (static_cast<int64_t>(r) * C + c) + part] = pk + pt;
    }
  }
};


}  // namespace radiredide::gpr
