#pragma once
// Vector variants of kernels, chosen at run time.  Every place in the module
// that compiles code for a wider instruction set than the build's baseline
// goes through this header: its tiers, its target macros and its dispatch.
//
// Tiers (Isa), from narrowest to widest, and what a processor needs for each:
//   generic   nothing: the build's baseline (SSE2 on x86-64; the only tier
//             on every other processor, e.g. aarch64).
//   avx2      AVX2 and FMA.
//   avx512    AVX-512F.
//   avx512vl  the whole x86-64-v4 level: AVX-512F, VL, BW, DQ and CD on top
//             of x86-64-v3 (AVX2, FMA, BMI1/2, F16C, LZCNT, MOVBE).
// detected_isa() is the widest tier this processor runs, read once.  A
// kernel has some of these variants, always generic among them; dispatch
// runs the widest one it has that the processor runs.
//
// Every variant does the generic code's IEEE operations lane by lane and in
// the same order; the build keeps -ffp-contract=off, so no multiply and add
// are fused unless a variant says so with an fma it also does on the generic
// path.  The choice of variant therefore changes no bits.
//
// Rules for variant bodies:
//   - A body is written once, as a template over the tier (or over the lane
//     vector type the tier picks, lanes::vec_t), and is always inlined
//     (RR_INLINE, RR_INLINE_LAMBDA) into the one function per tier that
//     carries the target attribute (Variant<I>::run); only there is it
//     compiled for that tier.  A callee that is not inlined is compiled for
//     the baseline.
//   - No vector is passed or returned across a call that may stay a call: a
//     vector's calling convention differs between tiers.  Vectors move
//     between inlined helpers by reference.
//   - Inline assembly names the tier it needs as a template parameter and
//     falls back to the plain operation below it (lanes::mul_bcast<I>): the
//     assembler accepts any instruction, so the tier is the only guard.
//   - Intrinsics may stay the code inside a variant; such a variant is a
//     function of its own carrying RR_TARGET_<tier>, called from the body of
//     that tier.
//
// Adding a variant to a kernel:
//   1. write the body as a template over the tier, RR_INLINE;
//   2. call it through variants::run<tiers...>(isa, body, args...), naming the
//      kernel's tiers widest first and ending with Isa::generic, with isa
//      taken from detected_isa() (kernels keep it in a field, so that tests
//      can run every variant the processor has);
//   3. extend the kernel's bitwise tests; CI runs the suite on emulated
//      processors of each x86 tier (make test-emulated) and on aarch64.
#include <utility>

// ---------------------------------------------------------------- platforms
// RR_X86: x86-64 with GCC's function-level target attributes and run-time
// processor checks (ELF: the detection reads the processor at load time).
#if defined(__x86_64__) && defined(__GNUC__) && defined(__ELF__)
#define RR_X86 1
#else
#define RR_X86 0
#endif

#if !defined(__GNUC__)
#error "radiredide's kernels need GCC-style vector extensions and attributes"
#endif

// Always inlined, whatever the optimiser's heuristics: variant bodies and the
// helpers on their hot paths.  The lambda form goes after a lambda's
// parameter list.
#define RR_INLINE __attribute__((always_inline)) inline
#define RR_INLINE_LAMBDA __attribute__((always_inline))

// The target attribute of each tier's functions.
#if RR_X86
#define RR_TARGET_AVX2 __attribute__((target("avx2,fma")))
#define RR_TARGET_AVX512 __attribute__((target("avx512f")))
#define RR_TARGET_AVX512VL __attribute__((target("arch=x86-64-v4")))
#else
#define RR_TARGET_AVX2
#define RR_TARGET_AVX512
#define RR_TARGET_AVX512VL
#endif

namespace radiredide {

enum class Isa : int { generic = 0, avx2 = 1, avx512 = 2, avx512vl = 3 };

// The widest tier this processor runs, determined once.
inline Isa detected_isa() {
  static const Isa isa = [] {
#if RR_X86
    __builtin_cpu_init();
    if (__builtin_cpu_supports("x86-64-v4")) return Isa::avx512vl;
    if (__builtin_cpu_supports("avx512f")) return Isa::avx512;
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return Isa::avx2;
#endif
    return Isa::generic;
  }();
  return isa;
}

// Whether this processor runs tier I (tests use it to run every variant).
inline bool runs(Isa i) { return static_cast<int>(detected_isa()) >= static_cast<int>(i); }

namespace variants {

// Variant<I>::run(body, args...) calls body.operator()<I>(args...) inside a
// function compiled for tier I; run_flat also inlines every callee it can
// into it (for bodies whose hot path is not written all of always-inline
// helpers; their generic variant is an ordinary call).
template <Isa I>
struct Variant;

#define RR_VARIANT_TIER(TIER, TARGET)                                                  \
  template <>                                                                          \
  struct Variant<Isa::TIER> {                                                          \
    template <class Body, class... A>                                                  \
    TARGET static decltype(auto) run(const Body& body, A&&... a) {                     \
      return body.template operator()<Isa::TIER>(std::forward<A>(a)...);               \
    }                                                                                  \
    template <class Body, class... A>                                                  \
    TARGET __attribute__((flatten)) static decltype(auto) run_flat(const Body& body,   \
                                                                   A&&... a) {         \
      return body.template operator()<Isa::TIER>(std::forward<A>(a)...);               \
    }                                                                                  \
  };
template <>
struct Variant<Isa::generic> {
  template <class Body, class... A>
  static decltype(auto) run(const Body& body, A&&... a) {
    return body.template operator()<Isa::generic>(std::forward<A>(a)...);
  }
};
RR_VARIANT_TIER(avx2, RR_TARGET_AVX2)
RR_VARIANT_TIER(avx512, RR_TARGET_AVX512)
RR_VARIANT_TIER(avx512vl, RR_TARGET_AVX512VL)
#undef RR_VARIANT_TIER

// The body's variant for the widest of the tiers Has (widest first, ending
// with generic) that isa reaches; Flat: through run_flat.  Off x86-64 only
// the generic one is compiled.
template <bool Flat, Isa First, Isa... Rest, class Body, class... A>
RR_INLINE decltype(auto) pick(Isa isa, const Body& body, A&&... a) {
  if constexpr (sizeof...(Rest) == 0) {
    static_assert(First == Isa::generic, "a kernel's last variant is the generic one");
    return Variant<Isa::generic>::run(body, std::forward<A>(a)...);
  } else {
    constexpr Isa next[] = {Rest...};
    static_assert(static_cast<int>(First) > static_cast<int>(next[0]),
                  "list a kernel's tiers widest first");
    if constexpr (RR_X86) {
      if (static_cast<int>(isa) >= static_cast<int>(First)) {
        if constexpr (Flat)
          return Variant<First>::run_flat(body, std::forward<A>(a)...);
        else
          return Variant<First>::run(body, std::forward<A>(a)...);
      }
    }
    return pick<Flat, Rest...>(isa, body, std::forward<A>(a)...);
  }
}

template <Isa... Has, class Body, class... A>
RR_INLINE decltype(auto) run(Isa isa, const Body& body, A&&... a) {
  return pick<false, Has...>(isa, body, std::forward<A>(a)...);
}
template <Isa... Has, class Body, class... A>
RR_INLINE decltype(auto) run_flat(Isa isa, const Body& body, A&&... a) {
  return pick<true, Has...>(isa, body, std::forward<A>(a)...);
}

}  // namespace variants
}  // namespace radiredide
