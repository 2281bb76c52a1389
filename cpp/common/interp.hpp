#pragma once
// Linear interpolation at one abscissa with the semantics of NumPy's compiled
// interp (default left/right): same clamping, search, formula and NaN retry, so
// that for a non-decreasing xp and a non-NaN x the result is NumPy's bit for
// bit.  Pure; called from kernel bodies, once per row.  Requires n >= 1.
#include <Kokkos_Core.hpp>

#include <cmath>
#include <cstdint>

namespace radiredide {

KOKKOS_INLINE_FUNCTION int32_t interp_bisect(double x, const double* xp, int32_t lo, int32_t hi) {
  while (lo < hi) {
    const int32_t mid = lo + ((hi - lo) >> 1);
    if (x >= xp[mid])
      lo = mid + 1;
    else
      hi = mid;
  }
  return lo - 1;
}

// The interval of x on xp by NumPy's search: -1 below xp[0], n above
// xp[n - 1], otherwise the last j with xp[j] <= x (a search with guess 0).
KOKKOS_INLINE_FUNCTION int32_t interp_search(double x, const double* xp, int32_t n) {
  if (x > xp[n - 1]) return n;
  if (xp[0] > x) return -1;
  if (n < 4) return interp_bisect(x, xp, 0, n);
  if (xp[1] > x) return 0;
  if (xp[2] > x) return 1;
  if (xp[3] > x) return 2;
  const int32_t hi = (1 < n - 9 && xp[9] > x) ? 9 : n;
  return interp_bisect(x, xp, 3, hi);
}

// The interpolated value of fp at x, given x's interval j from interp_search.
// The search depends on x and xp only, so callers that interpolate several
// rows over one grid at one x search once.
KOKKOS_INLINE_FUNCTION double interp_at(double x, const double* xp, const double* fp, int32_t n,
                                        int32_t j) {
  if (j == -1) return fp[0];
  if (j == n || j == n - 1) return fp[n - 1];
  if (xp[j] == x) return fp[j];
  const double slope = (fp[j + 1] - fp[j]) / (xp[j + 1] - xp[j]);
  double f = (x - xp[j]) * slope + fp[j];
  if (std::isnan(f)) {
    f = (x - xp[j + 1]) * slope + fp[j + 1];
    if (std::isnan(f) && fp[j] == fp[j + 1]) f = fp[j];
  }
  return f;
}

KOKKOS_INLINE_FUNCTION double interp_scalar(double x, const double* xp, const double* fp,
                                            int32_t n) {
  return interp_at(x, xp, fp, n, interp_search(x, xp, n));
}

}  // namespace radiredide
