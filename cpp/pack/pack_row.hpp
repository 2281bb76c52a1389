#pragma once
// One extension pack: the 4PN continuation of a row's element fits below their
// first phase, condensed into cubic-spline tables on coarse phase knots.
// pack_one_row runs on the host; its three inner loops run either as labelled
// Kokkos kernels (single-row builder) or as plain ascending loops on the
// calling thread (inside the batch kernel), with the same arithmetic.
#include <complex>
#include <cstdint>
#include <vector>

#include "pack/pack_numerics.hpp"
#include "pack/uninit_vector.hpp"

namespace radiredide {

// Complex values as interleaved (re, im) doubles, not zeroed on creation.
using PackComplexVector = PackDoubles;

// Row statuses.  0 and 1 are not failures; 2..7 have messages; kPackNoMemory
// (an allocation failed while the row was built inside a batch kernel item)
// becomes MemoryError, kPackInternal any other exception caught there.
enum : int32_t {
  kPackBuilt = 0,
  kPackDeclined = 1,
  kPackBadFlow = 2,
  kPackNoJRoot = 3,
  kPackBadDtDx = 4,
  kPackNotMonotonic = 5,
  kPackSplineRefused = 6,
  kPackGridNotIncreasing = 7,
  kPackNoMemory = 8,
  kPackInternal = 9,
};

const char* pack_failure_message(int32_t status);

// The span-sizing rule of the PN quadrature grid (chi1z, chi2z unused).
int32_t quadrature_grid_size(double q, double chi1z, double chi2z, double x_grid_lo,
                             double x_grid_hi, int32_t n_x_max, double err_target);

// What one row is built from.  Complex arrays are interleaved (re, im) pairs.
struct PackRowRequest {
  const double* breaks = nullptr;      // E + 1
  const double* tau_coefs = nullptr;   // (E, O) complex
  const double* J_coefs = nullptr;     // (E, O) complex
  const double* mode_coefs = nullptr;  // (K, E, O) complex
  const int32_t* l = nullptr;          // K
  const int32_t* m = nullptr;          // K
  const int32_t* weight_index = nullptr;  // K, each in 0..7
  int32_t E = 0, O = 0, K = 0;
  double q = 0, chi1z = 0, chi2z = 0, f_low = 0;
  double roll_orbits = 4.0, anchor_orbits = 4.0;
  int32_t n_per_orbit = 256, n_x = 6000;
  bool seam_anchor_omega = false, ratio_powerlaw = false, n_x_rule = false;
  double n_x_err_target = 1e-6;
};

// The row record; zero-initialised by the caller and filled by pack_one_row.
struct ExtensionPackRow {
  int32_t C = 0;       // knot count (0: nothing built)
  int32_t i_edge = 0;  // first knot not below the model's first phase
  PackDoubles t_knots;             // C
  std::vector<double> phi_knots;   // C
  PackDoubles phi_c;               // (4, C - 1)
  PackComplexVector mode_c;  // (K, 4, C - 1) complex, interleaved
  std::vector<std::complex<double>> R_edge;  // K
  std::vector<double> edge_step_rel;         // K
  double Phi_start = 0, Phi_edge = 0, Phi_anchor = 0, x_anchor = 0, J_anchor = 0;
  double orbits_added = 0, t_added = 0, f22_start = 0, f22_edge = 0, dt_edge = 0, n_x = 0;
};

// Builds one pack; returns its status.  With use_kernels the three inner
// loops are Kokkos launches ("pack_time_map", "pack_mode_content",
// "pack_mode_splines"), otherwise sequential loops.  Allocation failures
// propagate as std::bad_alloc.
int32_t pack_one_row(const PackRowRequest& req, ExtensionPackRow& row, bool use_kernels);

}  // namespace radiredide
