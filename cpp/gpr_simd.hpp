#pragma once
// Tier variants of the batched contraction, of the batched variance and of
// the anchor contraction (common/variants.hpp), and the kernels that choose
// between them at run time.  Every variant performs the same IEEE operations
// lane by lane in the same order as the generic code (plain adds and
// multiplies; in the anchor contraction the one fused multiply-subtract
// x*y - p, which equals fma(x, y, -p) exactly), so the choice changes no bits.
#include "common/variants.hpp"
#include "gpr_kernels.hpp"

#include <Kokkos_Core.hpp>

#if RR_X86
#include <immintrin.h>
#endif

#include <cstdint>

namespace radiredide::gpr {

// Coefficient block `item` of the batched contraction at tier I: row vectors
// of the tier's width (two of them, and four weight columns at once with
// AVX-512).
struct ContractRows {
  template <Isa I>
  RR_INLINE void operator()(const BatchContractArgs& a, int32_t item) const {
    if constexpr (I >= Isa::avx512)
      contract_rows<I, d8, 2, 4>(a, item);
    else if constexpr (I == Isa::avx2)
      contract_rows<I, d4, 2, 2>(a, item);
    else
      contract_rows<I, d2, 2, 2>(a, item);
  }
};

// Complex columns per tile of the anchor contraction at tier isa.
inline int32_t anchor_tile(Isa isa) {
  if (isa >= Isa::avx512) return 8;
  if (isa == Isa::avx2) return 4;
  return 1;
}

#if RR_X86
RR_TARGET_AVX2 RR_INLINE void dot2_step_avx2(__m256d x, __m256d y,
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

RR_TARGET_AVX512 RR_INLINE void dot2_step_avx512(__m512d x,
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
RR_TARGET_AVX2 inline void anchor_tile_avx2(const AnchorArgs& a, int32_t r,
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
RR_TARGET_AVX512 inline void anchor_tile_avx512(const AnchorArgs& a, int32_t r,
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

// A full tile of anchor columns c0 .. c0 + anchor_tile(I) - 1 of row r.
struct AnchorTile {
  template <Isa I>
  RR_INLINE void operator()(const AnchorArgs& a, int32_t r, int32_t c0) const {
#if RR_X86
    if constexpr (I >= Isa::avx512)
      anchor_tile_avx512(a, r, c0);
    else if constexpr (I == Isa::avx2)
      anchor_tile_avx2(a, r, c0);
    else
#endif
      a.element(r, c0);
  }
};

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
    variants::run<Isa::avx512, Isa::avx2, Isa::generic>(isa, ContractRows{}, a, i);
  }
};

// "gpr_batch_var": item (panel, v) is key v's variance at the kVarRows rows
// of the panel; every tier runs the same 8-row vectors.
struct BatchVar {
  BatchVarArgs a;
  Isa isa;

  void operator()(const int32_t panel, const int32_t v) const {
    variants::run<Isa::avx512, Isa::avx2, Isa::generic>(
        isa,
        []<Isa>(const BatchVarArgs& args, int32_t pn, int32_t key)
            RR_INLINE_LAMBDA { variance_rows<d8>(args, pn, key); },
        a, panel, v);
  }
};

// "anchor_contract": one work item per tile of columns of one row (a single
// element on the generic path); every element's sums run inside one item.
// Rows vary fastest, so that consecutive items reuse the same columns of
// trend and alpha from cache.
struct AnchorContract {
  AnchorArgs a;
  int32_t R;
  int32_t tile;  // anchor_tile(isa)
  Isa isa;

  void operator()(const int32_t t) const {
    const int32_t ct = t / R;
    const int32_t r = t - ct * R;
    const int32_t c0 = ct * tile;
    if (tile > 1 && c0 + tile <= a.C) {
      variants::run<Isa::avx512, Isa::avx2, Isa::generic>(isa, AnchorTile{}, a, r, c0);
      return;
    }
    const int32_t c1 = a.C - c0 < tile ? a.C : c0 + tile;
    for (int32_t c = c0; c < c1; ++c) a.element(r, c);
  }
};

}  // namespace radiredide::gpr
