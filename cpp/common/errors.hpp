#pragma once
// Error helpers shared by every unit.  Exceptions map to Python as:
//   std::invalid_argument -> ValueError   (argument, shape, range errors)
//   std::runtime_error    -> RuntimeError (use before configuration, numerics)
//   std::out_of_range     -> IndexError   ("invalid axis: ...")
//   std::bad_alloc        -> MemoryError
#include <Kokkos_Core.hpp>

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

namespace radiredide {

[[noreturn]] inline void value_error(const std::string& msg) { throw std::invalid_argument(msg); }
[[noreturn]] inline void runtime_error(const std::string& msg) { throw std::runtime_error(msg); }

inline void require(bool ok, const char* msg) {
  if (!ok) throw std::invalid_argument(msg);
}

// "invalid axis: <axis> (ndim = <ndim>)" as IndexError.
[[noreturn]] inline void invalid_axis(long long axis, long long ndim) {
  throw std::out_of_range("invalid axis: " + std::to_string(axis) + " (ndim = " +
                          std::to_string(ndim) + ")");
}

// Kernels index with 32-bit signed integers: refuse what does not fit.
inline int32_t fit_i32(long long v, const char* what) {
  if (v < 0 || v > std::numeric_limits<int32_t>::max())
    throw std::invalid_argument(std::string(what) + " does not fit 32-bit indexing (" +
                                std::to_string(v) + ")");
  return static_cast<int32_t>(v);
}

// Product of non-negative extents, checked against 64-bit overflow.
inline int64_t checked_mul(int64_t a, int64_t b, const char* what) {
  int64_t r;
  if (a < 0 || b < 0 || __builtin_mul_overflow(a, b, &r))
    throw std::invalid_argument(std::string(what) + ": size overflows");
  return r;
}

// Product of extents that kernels index with 32-bit flat indices.
template <class... I>
inline int32_t flat_size_i32(const char* what, I... extents) {
  int64_t n = 1;
  ((n = checked_mul(n, static_cast<int64_t>(extents), what)), ...);
  return fit_i32(n, what);
}

// After finalize_kokkos no kernel can run and no view can be allocated: say so
// instead of letting Kokkos abort the interpreter.
inline void require_kokkos() {
  if (!Kokkos::is_initialized())
    throw std::runtime_error(
        "Kokkos is not initialized (finalize_kokkos() was called): radiredide cannot run "
        "kernels or allocate any more in this process");
}

}  // namespace radiredide
