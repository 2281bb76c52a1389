#pragma once
// Page mappings for large scratch buffers.  A buffer's first touch costs one
// page fault per 4 KiB page; a region marked for transparent huge pages, where
// the kernel offers them, faults once per 2 MiB.  Everything here is advice:
// where the kernel refuses it, nothing changes but the fault count.
#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace radiredide::huge_pages {

constexpr std::size_t kHugePage = std::size_t{1} << 21;

// bytes rounded up to whole huge pages; 0 when that overflows.
inline std::size_t rounded(std::size_t bytes) {
  if (bytes > SIZE_MAX - (kHugePage - 1)) return 0;
  return (bytes + kHugePage - 1) & ~(kHugePage - 1);
}

#if defined(__linux__) && defined(MADV_HUGEPAGE)
inline constexpr bool kAvailable = true;

// Marks the whole huge pages inside [p, p + bytes) for transparent huge pages.
inline void advise(void* p, std::size_t bytes) {
  const auto lo = reinterpret_cast<std::uintptr_t>(p);
  if (bytes < kHugePage || lo > UINTPTR_MAX - bytes) return;
  const std::uintptr_t mask = static_cast<std::uintptr_t>(kHugePage) - 1;
  const std::uintptr_t a = (lo + mask) & ~mask;
  const std::uintptr_t b = (lo + bytes) & ~mask;
  if (b > a) ::madvise(reinterpret_cast<void*>(a), b - a, MADV_HUGEPAGE);
}

// A private anonymous mapping of len bytes (a multiple of kHugePage), aligned
// to kHugePage and marked for huge pages; null when the kernel refuses.
inline void* map_aligned(std::size_t len) {
  if (len == 0 || len > SIZE_MAX - kHugePage) return nullptr;
  void* raw = ::mmap(nullptr, len + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                     -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const auto r = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t a = (r + kHugePage - 1) & ~(static_cast<std::uintptr_t>(kHugePage) - 1);
  if (a > r) ::munmap(raw, a - r);
  const std::size_t tail = (r + len + kHugePage) - (a + len);
  if (tail > 0) ::munmap(reinterpret_cast<void*>(a + len), tail);
  ::madvise(reinterpret_cast<void*>(a), len, MADV_HUGEPAGE);
  return reinterpret_cast<void*>(a);
}

inline void unmap(void* p, std::size_t len) {
  if (p) ::munmap(p, len);
}
#else
inline constexpr bool kAvailable = false;
inline void advise(void*, std::size_t) {}
inline void* map_aligned(std::size_t) { return nullptr; }
inline void unmap(void*, std::size_t) {}
#endif

}  // namespace radiredide::huge_pages
