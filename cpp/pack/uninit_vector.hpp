#pragma once
// Vectors of the pack builder that are written in full before they are read:
// their allocator leaves value-less elements uninitialised, so creating or
// growing them costs no zeroing pass.
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace radiredide {

template <class T>
struct DefaultInitAllocator : std::allocator<T> {
  using std::allocator<T>::allocator;
  template <class U>
  void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... A>
  void construct(U* p, A&&... a) {
    ::new (static_cast<void*>(p)) U(std::forward<A>(a)...);
  }
};

using PackDoubles = std::vector<double, DefaultInitAllocator<double>>;

}  // namespace radiredide
