#pragma once
// Lane vectors for kernels that run the same scalar sequence on many samples
// at once.  A lane vector is a GCC vector of doubles or floats: every
// arithmetic operator on it is the element-wise IEEE operation, so each lane
// gets exactly the bits of the scalar code (the build keeps -ffp-contract=off,
// so no multiply-add is fused).  A kernel body written as an always-inline
// template over the vector type is compiled once per tier by
// variants::run (common/variants.hpp), with the widest vectors of the tier.
#include "common/variants.hpp"

#include <cstdint>

namespace radiredide::lanes {

typedef double d2 __attribute__((vector_size(16)));
typedef double d4 __attribute__((vector_size(32)));
typedef double d8 __attribute__((vector_size(64)));
typedef float f4 __attribute__((vector_size(16)));
typedef float f8 __attribute__((vector_size(32)));
typedef float f16 __attribute__((vector_size(64)));
// The lane masks of a comparison of d4 vectors (all bits set where true).
typedef long long m4 __attribute__((vector_size(32)));


using radiredide::Isa;

// The lane vectors of tier I: 128 bits in the generic build, 256 with AVX2,
// 512 with AVX-512 (the same types as d2 .. d8 and f4 .. f16).
constexpr int vector_bytes(Isa i) { return i == Isa::generic ? 16 : i == Isa::avx2 ? 32 : 64; }
template <class T, Isa I>
using vec_t __attribute__((vector_size(vector_bytes(I)))) = T;

template <class V>
inline constexpr int width = static_cast<int>(sizeof(V) / sizeof(V{}[0]));

// Lanes of the vectors of tier isa, for loops that step by the width of the
// variant that variants::run picks for a kernel having every tier up to isa.
template <class T>
inline int width_at(Isa isa) {
  return vector_bytes(isa) / static_cast<int>(sizeof(T));
}

// Unaligned load of one vector from p.  A statement expression, not a function:
// no vector is ever passed or returned across a call (which would bind it to the
// generic ABI); vectors move between helpers only by reference.
#define RR_LANES_LOAD(V, p)                  \
  ({                                         \
    V rr_lanes_v_;                           \
    __builtin_memcpy(&rr_lanes_v_, (p), sizeof(V)); \
    rr_lanes_v_;                             \
  })

template <class V, class T>
RR_INLINE void store(T* p, const V& v) {
  __builtin_memcpy(p, &v, sizeof(V));
}

// (*p) x w, the scalar at p multiplied into every lane of w: the same IEEE
// multiply as `*p * w`.  In a body compiled for AVX-512 (tier I) with 512-bit
// vectors the broadcast of *p travels in the multiply's memory operand
// ({1to8}); a separate broadcast instruction would take a slot on the
// floating-point pipes, which a loop of multiplies and adds keeps full.  Below
// that tier, or for other widths, it is the plain multiply.  Always inlined,
// so the vector never crosses a call.
template <Isa I, class V, class T>
RR_INLINE V mul_bcast(const T* p, const V& w) {
#if RR_X86
  if constexpr (I >= Isa::avx512 && sizeof(V) == 64 && sizeof(T) == 8) {
    V r;
    __asm__("vmulpd %2%{1to8%}, %1, %0" : "=v"(r) : "v"(w), "m"(*p));
    return r;
  }
#endif
  return *p * w;
}

// a + (*p) and a - (*p), every lane of a with the scalar at p, the broadcast
// riding in the memory operand as in mul_bcast (vaddpd / vsubpd m64{1to8},
// a, r computes a + m / a - m: the operands keep their order).
template <Isa I, class V, class T>
RR_INLINE V add_bcast(const V& a, const T* p) {
#if RR_X86
  if constexpr (I >= Isa::avx512 && sizeof(V) == 64 && sizeof(T) == 8) {
    V r;
    __asm__("vaddpd %2%{1to8%}, %1, %0" : "=v"(r) : "v"(a), "m"(*p));
    return r;
  }
#endif
  return a + *p;
}
template <Isa I, class V, class T>
RR_INLINE V sub_bcast(const V& a, const T* p) {
#if RR_X86
  if constexpr (I >= Isa::avx512 && sizeof(V) == 64 && sizeof(T) == 8) {
    V r;
    __asm__("vsubpd %2%{1to8%}, %1, %0" : "=v"(r) : "v"(a), "m"(*p));
    return r;
  }
#endif
  return a - *p;
}

// Stores (re[0], im[0], re[1], im[1], ...) of one vector pair at p, and loads
// such pairs into one vector pair.
#define RR_LANES_PAIRS(V, T, LO, HI, EVEN, ODD)                  \
  RR_INLINE void store_pairs(T* p, const V& re, const V& im) {           \
    store(p, __builtin_shufflevector(re, im, LO));               \
    store(p + width<V>, __builtin_shufflevector(re, im, HI));    \
  }                                                              \
  RR_INLINE void load_pairs(const T* p, V& re, V& im) {    \
    const V a = RR_LANES_LOAD(V, p), b = RR_LANES_LOAD(V, p + width<V>);           \
    re = __builtin_shufflevector(a, b, EVEN);                    \
    im = __builtin_shufflevector(a, b, ODD);                     \
  }
#define RR_L(...) __VA_ARGS__
RR_LANES_PAIRS(d2, double, RR_L(0, 2), RR_L(1, 3), RR_L(0, 2), RR_L(1, 3))
RR_LANES_PAIRS(d4, double, RR_L(0, 4, 1, 5), RR_L(2, 6, 3, 7), RR_L(0, 2, 4, 6), RR_L(1, 3, 5, 7))
RR_LANES_PAIRS(d8, double, RR_L(0, 8, 1, 9, 2, 10, 3, 11), RR_L(4, 12, 5, 13, 6, 14, 7, 15),
               RR_L(0, 2, 4, 6, 8, 10, 12, 14), RR_L(1, 3, 5, 7, 9, 11, 13, 15))
RR_LANES_PAIRS(f4, float, RR_L(0, 4, 1, 5), RR_L(2, 6, 3, 7), RR_L(0, 2, 4, 6), RR_L(1, 3, 5, 7))
RR_LANES_PAIRS(f8, float, RR_L(0, 8, 1, 9, 2, 10, 3, 11), RR_L(4, 12, 5, 13, 6, 14, 7, 15),
               RR_L(0, 2, 4, 6, 8, 10, 12, 14), RR_L(1, 3, 5, 7, 9, 11, 13, 15))
RR_LANES_PAIRS(f16, float,
               RR_L(0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23),
               RR_L(8, 24, 9, 25, 10, 26, 11, 27, 12, 28, 13, 29, 14, 30, 15, 31),
               RR_L(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30),
               RR_L(1, 3, 5, 7, 9, 11, 13, 15, 17, 19, 21, 23, 25, 27, 29, 31))
#undef RR_L
#undef RR_LANES_PAIRS

}  // namespace radiredide::lanes
