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

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace radiredide {

namespace uninit_detail {

constexpr std::size_t kHugePage = std::size_t{1} << 21;
// Buffers from this size on get a mapping of their own.
constexpr std::size_t kMapFrom = std::size_t{4} << 20;

inline std::size_t mapped_length(std::size_t bytes) {
  return (bytes + kHugePage - 1) & ~(kHugePage - 1);
}

#if defined(__linux__) && defined(MADV_HUGEPAGE)
// A private anonymous mapping of mapped_length(bytes), aligned to kHugePage;
// null when the kernel refuses.
inline void* map_huge(std::size_t bytes) {
  const std::size_t len = mapped_length(bytes);
  if (len < bytes || len > SIZE_MAX - kHugePage) return nullptr;
  void* raw = ::mmap(nullptr, len + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                     -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const auto r = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t a = (r + kHugePage - 1) & ~(static_cast<std::uintptr_t>(kHugePage) - 1);
  if (a > r) ::munmap(raw, a - r);
  const std::size_t tail = (r + len + kHugePage) - (a + len);
  if (tail > 0) ::munmap(reinterpret_cast<void*>(a + len), tail);
  ::madvise(reinterpret_cast<void*>(a), len, MADV_HUGEPAGE);  // advice only
  return reinterpret_cast<void*>(a);
}
inline void unmap_huge(void* p, std::size_t bytes) { ::munmap(p, mapped_length(bytes)); }
inline constexpr bool kCanMap = true;
#else
inline void* map_huge(std::size_t) { return nullptr; }
inline void unmap_huge(void*, std::size_t) {}
inline constexpr bool kCanMap = false;
#endif

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
      if (void* p = uninit_detail::map_huge(bytes)) return static_cast<T*>(p);
      throw std::bad_alloc();
    }
    return std::allocator<T>::allocate(n);
  }
  void deallocate(T* p, std::size_t n) noexcept {
    const std::size_t bytes = n * sizeof(T);
    if (uninit_detail::kCanMap && bytes >= uninit_detail::kMapFrom) {
      uninit_detail::unmap_huge(p, bytes);
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
