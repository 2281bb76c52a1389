#pragma once
// Fenced wall-clock timer for single kernels.  Each stop stores the seconds
// since the latest start under the kernel's name in a Python dict.  Both start
// and stop issue a global Kokkos fence first, so that a measurement covers the
// work launched in between and nothing earlier.  A disabled timer (no dict)
// does nothing at all: no fence, no clock reading, no dict entry.
//
// Used on the calling thread only, between launches, with the GIL held.
#include <Kokkos_Core.hpp>
#include <pybind11/pybind11.h>

#include <chrono>
#include <cstdint>

namespace radiredide {

inline int64_t steady_now_ns() {
  return static_cast<int64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                  std::chrono::steady_clock::now().time_since_epoch())
                                  .count());
}

// The unlabelled global fence; Kokkos tools see it as
// "Kokkos::fence: Unnamed Global Fence".
inline void global_fence() { Kokkos::fence(); }

class KernelTimer {
 public:
  // `timings` null: disabled.
  explicit KernelTimer(pybind11::dict* timings)
      : enabled_(timings != nullptr), timings_(timings), start_ns_(steady_now_ns()) {}

  void start() {
    if (!enabled_) return;
    global_fence();
    start_ns_ = steady_now_ns();
  }

  // Seconds since the latest start (or construction); start_ns is kept, so a
  // second stop without a new start measures from the same point again.
  void stop(const char* name) {
    if (!enabled_) return;
    global_fence();
    const int64_t now = steady_now_ns();
    const double secs = static_cast<double>(now - start_ns_) / 1e9;
    (*timings_)[pybind11::str(name)] = pybind11::float_(secs);
  }

  bool enabled() const { return enabled_; }

 private:
  bool enabled_;
  pybind11::dict* timings_;
  int64_t start_ns_;
};

}  // namespace radiredide
