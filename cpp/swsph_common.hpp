#pragma once
// Helpers shared by the spheroidal-mixing and merger-ringdown kernels: the
// NumPy-order pairwise sums (common/pairwise.hpp) and NumPy's interp on a
// table row.
#include "common/interp.hpp"
#include "common/pairwise.hpp"

#include <Kokkos_Core.hpp>

#include <cmath>
#include <cstdint>

namespace radiredide {

// NumPy's interp for one x on a table row whose left and right values are the
// row's first and last entries, with a NaN x returned as it is before any
// search.  n >= 1.
KOKKOS_FORCEINLINE_FUNCTION double interp_row(double x, const double* grid, const double* row,
                                         int32_t n) {
  if (std::isnan(x)) return x;
  return interp_scalar(x, grid, row, n);
}

}  // namespace radiredide
