#pragma once
// Kernels of the Gaussian-process contraction and of the anchor contraction.
// Every floating-point sum runs sequentially inside one work item in a fixed
// order, so the results depend neither on the thread count nor on the work
// split.  The batched contraction serves several rows per work item with
// lane-wise vector arithmetic (each lane is one row's own sum, in the same
// order as the scalar path), which changes no bits.
#include "common/lanes.hpp"
#include "gpr_math.hpp"

#include <Kokkos_Core.hpp>

#include <cstdint>
#include <cstring>

namespace radiredide::gpr {

using ExecSpace = Kokkos::DefaultExecutionSpace;

// ---------------------------------------------------------------- single point

// The sums of w[j] * (re, im) of pair j of A, j ascending from +0.0, per part.
KOKKOS_INLINE_FUNCTION void pair_dot(const double* w, const double* A, int32_t n, double& re,
                                     double& im) {
  re = 0.0;
  im = 0.0;
  for (int32_t j = 0; j < n; ++j) {
    re = re + w[j] * A[2 * j];
    im = im + w[j] * A[2 * j + 1];
  }
}

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
    double re, im;
    pair_dot(f, T + 2 * static_cast<int64_t>(i) * n_terms, n_terms, re, im);
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
    double kre, kim;
    pair_dot(row, A + 2 * static_cast<int64_t>(g) * n_train, n_train, kre, kim);
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

using lanes::d2;
using lanes::d4;
using lanes::d8;

// Unaligned load of one vector of rows (by reference: no vector passes
// through a call boundary).
template <class V>
RR_INLINE void load_rows(V& v, const double* p) {
  std::memcpy(&v, p, sizeof(V));
}

// Rows of the batch scratch are padded to a multiple of this.
inline constexpr int kRowPad = 16;

// Consecutive coefficients of one group position that a contraction item
// serves: every feature and kernel-row value loaded is used for all of them.
inline constexpr int kCoefBlock = 4;

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

// Items of "gpr_batch_contract": per group position, its coefficients in
// blocks of kCoefBlock (the last block of a position may be shorter).
KOKKOS_INLINE_FUNCTION int32_t coef_blocks(int32_t EO) {
  return (EO + kCoefBlock - 1) / kCoefBlock;
}

// Sums over n values of NV row vectors each (value t of the rows at
// panel[t * W], one lane per row) times the pairs (w[c][2t], w[c][2t + 1]) of
// CI weight columns: re[c] and im[c] start from +0.0 and take the products in
// increasing t.  Both passes of the contraction (features against the trend
// coefficients, kernel rows against a block's weights) run through it.  Each
// weight multiplies the row vectors straight from memory (lanes::mul_bcast): with
// 512-bit vectors its broadcast rides in the multiply instead of taking a slot
// of the floating-point pipes that the multiplies and adds keep busy.
template <Isa I, class V, int NV, int CI>
RR_INLINE void panel_sums(const double* panel, int32_t W, int32_t n,
                                             const double* const* w, V (&re)[CI][NV],
                                             V (&im)[CI][NV]) {
  constexpr int L = static_cast<int>(sizeof(V) / sizeof(double));
  // The sums run in locals, every access fully unrolled, so that they live in
  // registers: the multiplies read the weights through pointers, and sums kept
  // in memory the caller's pointers might reach would be stored at every step.
  V sr[CI][NV];
  V si[CI][NV];
#pragma GCC unroll 8
  for (int c = 0; c < CI; ++c)
#pragma GCC unroll 4
    for (int v = 0; v < NV; ++v) {
      sr[c][v] = V{};
      si[c][v] = V{};
    }
  for (int32_t t = 0; t < n; ++t) {
    const double* pt = panel + static_cast<int64_t>(t) * W;
    V x[NV];
    for (int v = 0; v < NV; ++v) load_rows(x[v], pt + v * L);
#pragma GCC unroll 8
    for (int c = 0; c < CI; ++c) {
      const double* wc = &w[c][2 * t];
#pragma GCC unroll 4
      for (int v = 0; v < NV; ++v) {
        sr[c][v] = sr[c][v] + lanes::mul_bcast<I>(wc, x[v]);
        si[c][v] = si[c][v] + lanes::mul_bcast<I>(wc + 1, x[v]);
      }
    }
  }
#pragma GCC unroll 8
  for (int c = 0; c < CI; ++c)
#pragma GCC unroll 4
    for (int v = 0; v < NV; ++v) {
      re[c][v] = sr[c][v];
      im[c][v] = si[c][v];
    }
}

// Coefficients r .. r + CI - 1 of group position p for every row, NV vectors
// of V (one lane per row) at a time.  Per row and coefficient: the trend sums
// ascending from +0.0, then, for each block serving the position in block
// order, its kernel sum ascending from +0.0 added to the running value.  Each
// lane is one row's own sequence of IEEE operations, exactly as in the one-row
// form.  The running values stay in memory while a kernel sum is formed (the
// empty asm statement lets their address escape), so that the registers hold
// the sums of the inner loop.
template <Isa I, class V, int NV, int CI>
RR_INLINE void contract_coefs(const BatchContractArgs& a, int32_t p, int32_t r,
                                                 int64_t o) {
  constexpr int L = static_cast<int>(sizeof(V) / sizeof(double));
  constexpr int RB = L * NV;  // divides kRowPad
  const double* Tc[CI];
  for (int c = 0; c < CI; ++c)
    Tc[c] = a.T + 2 * (static_cast<int64_t>(p) * a.EO + r + c) * a.n_terms;
  alignas(64) V re[CI][NV];
  alignas(64) V im[CI][NV];
  asm volatile("" : : "r"(re), "r"(im) : "memory");
  for (int32_t b0 = 0; b0 < a.B; b0 += RB) {
    {
      V sr[CI][NV];
      V si[CI][NV];
      panel_sums<I, V, NV, CI>(a.feat + panel_base(b0, a.W, a.n_terms), a.W, a.n_terms, Tc, sr, si);
      for (int c = 0; c < CI; ++c)
        for (int v = 0; v < NV; ++v) {
          re[c][v] = sr[c][v];
          im[c][v] = si[c][v];
        }
    }
    for (int32_t q = a.cov_start[p]; q < a.cov_start[p + 1]; ++q) {
      const int32_t j = a.cov_block[q];
      const int64_t c0 = static_cast<int64_t>(a.cov_pos[q]) * a.EO + r;
      const double* Ac[CI];
      for (int c = 0; c < CI; ++c) Ac[c] = a.A[j] + 2 * (c0 + c) * a.n_train;
      const double* kr =
          a.krow + static_cast<int64_t>(j) * a.n_train * a.Bp + panel_base(b0, a.W, a.n_train);
      V kre[CI][NV];
      V kim[CI][NV];
      panel_sums<I, V, NV, CI>(kr, a.W, a.n_train, Ac, kre, kim);
      for (int c = 0; c < CI; ++c)
        for (int v = 0; v < NV; ++v) {
          re[c][v] = re[c][v] + kre[c][v];
          im[c][v] = im[c][v] + kim[c][v];
        }
    }
    const int nb = a.B - b0 < RB ? a.B - b0 : RB;
    for (int l = 0; l < nb; ++l) {
      double* d = a.dest + 2 * (static_cast<int64_t>(b0 + l) * a.stride + o + r);
      for (int c = 0; c < CI; ++c) {
        d[2 * c] = re[c][l / L][l % L];
        d[2 * c + 1] = im[c][l / L][l % L];
      }
    }
  }
}

// Coefficient block `item` (position item / coef_blocks, its coefficients in
// groups of CI, then one at a time).
template <Isa I, class V, int NV, int CI>
RR_INLINE void contract_rows(const BatchContractArgs& a, const int32_t item) {
  const int32_t nrb = coef_blocks(a.EO);
  const int32_t p = item / nrb;
  const int32_t r0 = (item - p * nrb) * kCoefBlock;
  const int32_t r1 = a.EO - r0 < kCoefBlock ? a.EO : r0 + kCoefBlock;
  const int64_t o = a.off[a.gidx[p]];
  if (o < 0) return;
  int32_t r = r0;
  for (; r + CI <= r1; r += CI) contract_coefs<I, V, NV, CI>(a, p, r, o);
  for (; r < r1; ++r) contract_coefs<I, V, NV, 1>(a, p, r, o);
}

// The one-row form: one row per step, plain doubles, one coefficient at a time.
RR_INLINE void contract_one_row(const BatchContractArgs& a, const int32_t item) {
  const int32_t nrb = coef_blocks(a.EO);
  const int32_t p = item / nrb;
  const int32_t r0 = (item - p * nrb) * kCoefBlock;
  const int32_t r1 = a.EO - r0 < kCoefBlock ? a.EO : r0 + kCoefBlock;
  const int64_t o = a.off[a.gidx[p]];
  if (o < 0) return;
  for (int32_t r = r0; r < r1; ++r) {
    const int32_t i = p * a.EO + r;
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
}


// Rows of one "gpr_batch_var" item: the lanes of its quadratic form.
inline constexpr int kVarRows = 8;

// Scratch of one variance item: the kernel rows of its rows as n x kVarRows
// (one lane per row) and one contiguous reflected row.
KOKKOS_INLINE_FUNCTION int64_t var_scratch(int32_t n) {
  return static_cast<int64_t>(kVarRows + 1) * n;
}

struct BatchVarArgs {
  CoordParams cp;
  const KeyView* keys;
  const int64_t* scratch_off;  // per key, into scratch; var_scratch(n) per item
  const double* rows;
  int32_t B;
  int32_t K;
  double* buf;  // B x K
  double* scratch;
};

// Key v's variance at rows kVarRows*panel ... (those below B).  Each row's
// kernel row and prior are formed by key_row as in key_variance; the
// quadratic form then runs with one lane per row, each lane performing
// key_variance's sequence of operations (lanes past B hold zeros and are
// dropped).
template <class V>
RR_INLINE void variance_rows(const BatchVarArgs& a, int32_t panel, int32_t v) {
  static_assert(sizeof(V) == kVarRows * sizeof(double), "one lane per row");
  const KeyView& key = a.keys[v];
  const int32_t n = key.n;
  double* kt = a.scratch + a.scratch_off[v] + panel * var_scratch(n);
  double* kr = kt + static_cast<int64_t>(kVarRows) * n;
  const int32_t b0 = panel * kVarRows;
  const int32_t nb = a.B - b0 < kVarRows ? a.B - b0 : kVarRows;
  double prior[kVarRows];
  for (int l = 0; l < nb; ++l) {
    const double* row = a.rows + 3 * static_cast<int64_t>(b0 + l);
    prior[l] = key_row(a.cp, key, row[0], row[1], row[2], kt + l, kVarRows, kr);
  }
  for (int l = nb; l < kVarRows; ++l) {
    prior[l] = 0.0;
    for (int32_t j = 0; j < n; ++j) kt[static_cast<int64_t>(j) * kVarRows + l] = 0.0;
  }
  const V quad = minv_quad<V>(key.Minv, n, kt, kVarRows);
  for (int l = 0; l < nb; ++l) {
    const double d = prior[l] - quad[l];
    a.buf[static_cast<int64_t>(b0 + l) * a.K + v] = d > key.nug ? d : key.nug;
  }
}

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
