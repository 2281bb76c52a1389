#pragma once
// Vectors of the pack builder that are written in full before they are read:
// their allocator leaves value-less elements uninitialised, so creating or
// growing them costs no zeroing pass.
//
// Large buffers (a row's mode coefficients are several MiB) are mapped on
// their own, aligned to 2 MiB and marked for transparent huge pages where the
// kernel offers them: their first touch then costs a few page faults instead
// of one per 4 KiB page.  Smaller ones come from the C library as usual.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/huge_pages.hpp"

namespace radiredide {

namespace uninit_detail {

// Buffers from this size on get a mapping of their own.
constexpr std::size_t kMapFrom = std::size_t{4} << 20;
inline constexpr bool kCanMap = huge_pages::kAvailable;

}  // namespace uninit_detail

template <class T>
struct DefaultInitAllocator : std::allocator<T> {
  using std::allocator<T>::allocator;
  DefaultInitAllocator() = default;
  template <class U>
  DefaultInitAllocator(const DefaultInitAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(T)) throw std::bad_alloc();
    const std::size_t bytes = n * sizeof(T);
    if (uninit_detail::kCanMap && bytes >= uninit_detail::kMapFrom) {
      if (void* p = huge_pages::map_aligned(huge_pages::rounded(bytes))) return static_cast<T*>(p);
      throw std::bad_alloc();
    }
    return std::allocator<T>::allocate(n);
  }
  void deallocate(T* p, std::size_t n) noexcept {
    const std::size_t bytes = n * sizeof(T);
    if (uninit_detail::kCanMap && bytes >= uninit_detail::kMapFrom) {
      huge_pages::unmap(p, huge_pages::rounded(bytes));
      return;
    }
    std::allocator<T>::deallocate(p, n);
  }

  template <class U>
  void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... A>
  void construct(U* p, A&&... a) {
    ::new (static_cast<void*>(p)) U(std::forward<A>(a)...);
  }
};

template <class T, class U>
bool operator==(const DefaultInitAllocator<T>&, const DefaultInitAllocator<U>&) noexcept {
  return true;
}

using PackDoubles = std::vector<double, DefaultInitAllocator<double>>;

}  // namespace radiredide
