#pragma once
// Turning NumPy buffers into Kokkos views.  An input buffer aligned to its
// element size is viewed in place; a misaligned one is copied into a named
// slot of a workspace pool first.  A misaligned result buffer is replaced by a
// slot that copy_back() copies into the caller's buffer after the kernels.
#include "common/errors.hpp"
#include "workspace.hpp"

#include <Kokkos_Core.hpp>

#include <cstdint>
#include <cstring>
#include <type_traits>

namespace radiredide {

namespace detail {
template <class T, int R>
struct add_pointers {
  using type = typename add_pointers<T, R - 1>::type*;
};
template <class T>
struct add_pointers<T, 0> {
  using type = T;
};
}  // namespace detail

// Unmanaged, row-major host view of rank R.
template <class T, int R>
using UView = Kokkos::View<typename detail::add_pointers<T, R>::type, Kokkos::LayoutRight,
                           Kokkos::HostSpace, Kokkos::MemoryTraits<Kokkos::Unmanaged>>;

// Address test on the low bits: a buffer is aligned when its address is a
// multiple of `align` (the element size, or one real part for real pairs).
inline bool is_aligned(const void* p, std::size_t align) {
  return (reinterpret_cast<std::uintptr_t>(p) & (align - 1)) == 0;
}

// Element i of a buffer that may not be aligned to its element size (host-side
// reads of index and offset arrays during validation, before any staging).
template <class T>
inline T load_unaligned(const T* base, int64_t i) {
  T v;
  std::memcpy(&v, reinterpret_cast<const unsigned char*>(base) + i * int64_t(sizeof(T)), sizeof(T));
  return v;
}

// Extents of staged views are 32-bit: check every extent and their product.
template <class... I>
inline int64_t staged_count(I... extents) {
  int64_t n = 1;
  ((fit_i32(static_cast<long long>(extents), "array extent")), ...);
  ((n = checked_mul(n, static_cast<int64_t>(extents), "array size")), ...);
  return n;
}

template <class T, class... I>
inline UView<T, sizeof...(I)> make_view(T* p, I... extents) {
  return UView<T, sizeof...(I)>(p, static_cast<size_t>(extents)...);
}

// Plain byte copy that is a no-op for empty ranges (no memcpy on nullptr).
inline void copy_bytes(void* dst, const void* src, std::size_t n) {
  if (n != 0 && dst != nullptr && src != nullptr && dst != src) std::memcpy(dst, src, n);
}

template <class T, class... I>
UView<const T, sizeof...(I)> stage_in_aligned(WorkspacePool& pool, const char* name,
                                              const T* data, std::size_t align, I... extents) {
  const int64_t n = staged_count(extents...);
  const T* p = data;
  if (!is_aligned(data, align)) {
    T* slot = pool.acquire<T>(name, static_cast<uint64_t>(n));
    copy_bytes(slot, data, static_cast<std::size_t>(n) * sizeof(T));
    p = slot;
  }
  return make_view<const T>(p, extents...);
}

// View over `data`, or over a copy in slot `name` when `data` is misaligned.
// `align` defaults to the element size.
template <class T, class... I>
UView<const T, sizeof...(I)> stage_in(WorkspacePool& pool, const char* name, const T* data,
                                      I... extents) {
  return stage_in_aligned<T>(pool, name, data, sizeof(T),
                             extents...);
}

// Always a copy, held in a configuration slot of `pool` (kept across release()).
template <class T, class... I>
UView<T, sizeof...(I)> copy_in(WorkspacePool& pool, const char* name, const T* data,
                               I... extents) {
  const int64_t n = staged_count(extents...);
  T* slot = pool.acquire_config<T>(name, static_cast<uint64_t>(n));
  copy_bytes(slot, data, static_cast<std::size_t>(n) * sizeof(T));
  return make_view<T>(slot, extents...);
}

template <class T, int R>
struct StagedOutput {
  UView<T, R> target;  // what the kernel writes
  UView<T, R> dest;    // the caller's buffer when target is a slot; empty otherwise

  void copy_back() const {
    if (dest.data() != nullptr && dest.data() != target.data())
      copy_bytes(dest.data(), target.data(), dest.span() * sizeof(T));
  }
};

template <class T, class... I>
StagedOutput<T, sizeof...(I)> stage_out_aligned(WorkspacePool& pool, const char* name, T* data,
                                                std::size_t align, I... extents) {
  const int64_t n = staged_count(extents...);
  StagedOutput<T, sizeof...(I)> out;
  if (is_aligned(data, align)) {
    out.target = make_view<T>(data, extents...);
  } else {
    out.target = make_view<T>(pool.acquire<T>(name, static_cast<uint64_t>(n)), extents...);
    out.dest = make_view<T>(data, extents...);
  }
  return out;
}

template <class T, class... I>
StagedOutput<T, sizeof...(I)> stage_out(WorkspacePool& pool, const char* name, T* data,
                                        I... extents) {
  return stage_out_aligned<T>(pool, name, data, sizeof(T),
                              extents...);
}

}  // namespace radiredide
