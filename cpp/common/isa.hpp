#pragma once
// Run-time choice between the vector variants of a kernel: the widest
// instruction set this processor runs, determined once.  Every variant does
// the scalar path's IEEE operations lane by lane and in the same order, so the
// choice changes no bits.
namespace radiredide {

enum class Isa : int { generic = 0, avx2 = 1, avx512 = 2 };

inline Isa detected_isa() {
  static const Isa isa = [] {
#if defined(__x86_64__) && defined(__GNUC__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return Isa::avx512;
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return Isa::avx2;
#endif
    return Isa::generic;
  }();
  return isa;
}

}  // namespace radiredide
