#pragma once
// Instruction-set variants of the batched contraction and of the anchor
// contraction, and the kernels that choose between them at run time.  Every
// variant performs the same IEEE operations lane by lane in the same order as
// the generic code (plain adds and multiplies; in the anchor contraction the
// one fused multiply-subtract x*y - p, which equals fma(x, y, -p) exactly), so
// the choice changes no bits.
#include "common/isa.hpp"
#include "gpr_kernels.hpp"

#include <Kokkos_Core.hpp>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <cstdint>

namespace radiredide::gpr {

using radiredide::detected_isa;
using radiredide::Isa;

#if defined(__x86_64__)
inline constexpr int kAnchorTileAvx2 = 4;    // complex columns per tile
inline constexpr int kAnchorTileAvx512 = 8;

__attribute__((target("avx2"))) inline void contract_rows_avx2(const BatchContractArgs& a,
                                                               int32_t item) {
  contract_rows<vec4d, 2, 2>(a, item);
}
__attribute__((target("avx512f"))) inline void contract_rows_avx512(const BatchContractArgs& a,
                                                                    int32_t item) {
  contract_rows<vec8d, 2, 4>(a, item);
}

__attribute__((target("avx2"))) inline void variance_rows_avx2(const BatchVarArgs& a, int32_t panel,
                                                                int32_t v) {
  variance_rows<vec8d>(a, panel, v);
}
__attribute__((target("avx512f"))) inline void variance_rows_avx512(const BatchVarArgs& a,
                                                                     int32_t panel, int32_t v) {
  variance_rows<vec8d>(a, panel, v);
}

__attribute__((target("avx2,fma"), always_inline)) inline void dot2_step_avx2(__m256d x, __m256d y,
                                                                              __m256d& S,
                                                                              __m256d& cc) {
  const __m256d p = _mm256_mul_pd(x, y);
  const __m256d s = _mm256_add_pd(S, p);
  const __m256d z = _mm256_sub_pd(s, S);
  const __m256d e = _mm256_add_pd(_mm256_sub_pd(S, _mm256_sub_pd(s, z)), _mm256_sub_pd(p, z));
  const __m256d err = _mm256_fmsub_pd(x, y, p);
  cc = _mm256_add_pd(cc, _mm256_add_pd(err, e));
  S = s;
}

__attribute__((target("avx512f"), always_inline)) inline void dot2_step_avx512(__m512d x,
                                                                               __m512d y,
                                                                               __m512d& S,
                                                                               __m512d& cc) {
  const __m512d p = _mm512_mul_pd(x, y);
  const __m512d s = _mm512_add_pd(S, p);
  const __m512d z = _mm512_sub_pd(s, S);
  const __m512d e = _mm512_add_pd(_mm512_sub_pd(S, _mm512_sub_pd(s, z)), _mm512_sub_pd(p, z));
  const __m512d err = _mm512_fmsub_pd(x, y, p);
  cc = _mm512_add_pd(cc, _mm512_add_pd(err, e));
  S = s;
}

// Two vectors of (re, im) pairs: columns c0 .. c0 + 3.
__attribute__((target("avx2,fma"))) inline void anchor_tile_avx2(const AnchorArgs& a, int32_t r,
                                                                 int32_t c0) {
  const double* xr = a.rows + static_cast<int64_t>(r) * a.Kt;
  const double* xk = a.krows + static_cast<int64_t>(r) * a.Kk;
  const int64_t C = a.C;
  __m256d S0 = _mm256_setzero_pd(), S1 = S0, q0 = S0, q1 = S0;
  for (int32_t j = 0; j < a.Kt; ++j) {
    const __m256d x = _mm256_set1_pd(xr[j]);
    const double* y = a.trend + 2 * (j * C + c0);
    dot2_step_avx2(x, _mm256_loadu_pd(y), S0, q0);
    dot2_step_avx2(x, _mm256_loadu_pd(y + 4), S1, q1);
  }
  const __m256d pt0 = _mm256_add_pd(q0, S0), pt1 = _mm256_add_pd(q1, S1);
  S0 = _mm256_setzero_pd(), S1 = S0, q0 = S0, q1 = S0;
  for (int32_t j = 0; j < a.Kk; ++j) {
    const __m256d x = _mm256_set1_pd(xk[j]);
    const double* y = a.alpha + 2 * (j * C + c0);
    dot2_step_avx2(x, _mm256_loadu_pd(y), S0, q0);
    dot2_step_avx2(x, _mm256_loadu_pd(y + 4), S1, q1);
  }
  const __m256d pk0 = _mm256_add_pd(q0, S0), pk1 = _mm256_add_pd(q1, S1);
  double* o = a.out + 2 * (r * C + c0);
  _mm256_storeu_pd(o, _mm256_add_pd(pk0, pt0));
  _mm256_storeu_pd(o + 4, _mm256_add_pd(pk1, pt1));
}

// Two vectors of (re, im) pairs: columns c0 .. c0 + 7.
__attribute__((target("avx512f"))) inline void anchor_tile_avx512(const AnchorArgs& a, int32_t r,
                                                                  int32_t c0) {
  const double* xr = a.rows + static_cast<int64_t>(r) * a.Kt;
  const double* xk = a.krows + static_cast<int64_t>(r) * a.Kk;
  const int64_t C = a.C;
  __m512d S0 = _mm512_setzero_pd(), S1 = S0, q0 = S0, q1 = S0;
  for (int32_t j = 0; j < a.Kt; ++j) {
    const __m512d x = _mm512_set1_pd(xr[j]);
    const double* y = a.trend + 2 * (j * C + c0);
    dot2_step_avx512(x, _mm512_loadu_pd(y), S0, q0);
    dot2_step_avx512(x, _mm512_loadu_pd(y + 8), S1, q1);
  }
  const __m512d pt0 = _mm512_add_pd(q0, S0), pt1 = _mm512_add_pd(q1, S1);
  S0 = _mm512_setzero_pd(), S1 = S0, q0 = S0, q1 = S0;
  for (int32_t j = 0; j < a.Kk; ++j) {
    const __m512d x = _mm512_set1_pd(xk[j]);
    const double* y = a.alpha + 2 * (j * C + c0);
    dot2_step_avx512(x, _mm512_loadu_pd(y), S0, q0);
    dot2_step_avx512(x, _mm512_loadu_pd(y + 8), S1, q1);
  }
  const __m512d pk0 = _mm512_add_pd(q0, S0), pk1 = _mm512_add_pd(q1, S1);
  double* o = a.out + 2 * (r * C + c0);
  _mm512_storeu_pd(o, _mm512_add_pd(pk0, pt0));
  _mm512_storeu_pd(o + 8, _mm512_add_pd(pk1, pt1));
}
#endif

// "gpr_batch_contract": one work item per block of a group position's
// coefficients (coef_blocks per position), all rows.
struct BatchContract {
  BatchContractArgs a;
  Isa isa;

  void operator()(const int32_t i) const {
    if (a.B <= 2) {
      contract_one_row(a, i);
      return;
    }
#if defined(__x86_64__)
    if (isa == Isa::avx512) {
      contract_rows_avx512(a, i);
      return;
    }
    if (isa == Isa::avx2) {
      contract_rows_avx2(a, i);
      return;
    }
#endif
    contract_rows<vec2d, 2, 2>(a, i);
  }
};

// "gpr_batch_var": item (panel, v) is key v's variance at the kVarRows rows
// of the panel.
struct BatchVar {
  BatchVarArgs a;
  Isa isa;

  void operator()(const int32_t panel, const int32_t v) const {
#if defined(__x86_64__)
    if (isa == Isa::avx512) {
      variance_rows_avx512(a, panel, v);
      return;
    }
    if (isa == Isa::avx2) {
      variance_rows_avx2(a, panel, v);
      return;
    }
#endif
    variance_rows<vec8d>(a, panel, v);
  }
};

// "anchor_contract": one work item per tile of columns of one row (a single
// element on the generic path); every element's sums run inside one item.
// Rows vary fastest, so that consecutive items reuse the same columns of
// trend and alpha from cache.
struct AnchorContract {
  AnchorArgs a;
  int32_t R;
  int32_t tile;
  Isa isa;

  void operator()(const int32_t t) const {
    const int32_t ct = t / R;
    const int32_t r = t - ct * R;
    const int32_t c0 = ct * tile;
#if defined(__x86_64__)
    if (c0 + tile <= a.C) {
      if (isa == Isa::avx512) {
        anchor_tile_avx512(a, r, c0);
        return;
      }
      if (isa == Isa::avx2) {
        anchor_tile_avx2(a, r, c0);
        return;
      }
    }
#endif
    const int32_t c1 = a.C - c0 < tile ? a.C : c0 + tile;
    for (int32_t c = c0; c < c1; ++c) a.element(r, c);
  }
};

}  // namespace radiredide::gpr
