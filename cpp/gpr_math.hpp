#pragma once
// Numeric building blocks of the Gaussian-process contraction: the two
// coordinate maps, the Chebyshev tables and feature products of the trend,
// the squared-exponential kernel row and its parity symmetrisation, and the
// per-key predictive variance.  Single-point evaluation runs them on the
// calling thread, the batched path inside its row kernels; both must produce
// the same bits, so every expression here is written in one fixed operation
// order (the build forbids FMA contraction) and the transcendental values come
// from the C library, one call per value.
#include "common/lanes.hpp"
#include "common/variants.hpp"

#include <Kokkos_Core.hpp>

#include <cmath>
#include <cstdint>

namespace radiredide::gpr {

inline constexpr int kMaxDegree = 7;
inline constexpr int kTable = kMaxDegree + 1;

// The plan's coordinate configuration, copied by value into kernels.
struct CoordParams {
  int32_t degree = 0;
  bool has_default = false;
  bool has_sym = false;
  bool pn_coords = false;
  double lo[3] = {0.0, 0.0, 0.0};
  double hi[3] = {0.0, 0.0, 0.0};
  double L0 = 1.0;
  double chi_lo = -1.0;
  double chi_hi = 1.0;
  double A0 = 1.0;
};

// Default map, steps shared by the mean and the variance path: the affine map
// of coordinate c onto [-1, 1] (unclamped).
KOKKOS_INLINE_FUNCTION double default_affine(const CoordParams& cp, int c, double v) {
  const double w = (cp.hi[c] > cp.lo[c]) ? cp.hi[c] - cp.lo[c] : 1.0;
  const double d = v - cp.lo[c];
  return (d + d) / w - 1.0;
}

// Default map, mean path: clamped coordinates and their cosine-form tables.
KOKKOS_INLINE_FUNCTION void default_coords_basis(const CoordParams& cp, double lq, double chi1z,
                                                 double chi2z, double x[3],
                                                 double T[3][kTable]) {
  const double v[3] = {lq, chi1z, chi2z};
  for (int c = 0; c < 3; ++c) {
    double xc = default_affine(cp, c, v[c]);
    if (-1.0 > xc) xc = -1.0;
    if (1.0 < xc) xc = 1.0;
    x[c] = xc;
    const double a = std::acos(xc);
    for (int i = 0; i <= cp.degree; ++i) T[c][i] = std::cos(static_cast<double>(i) * a);
  }
}

// Default map, variance path: no clamp, no tables, whatever the bounds hold.
KOKKOS_INLINE_FUNCTION void default_coords_unclamped(const CoordParams& cp, double lq,
                                                     double chi1z, double chi2z, double x[3]) {
  x[0] = default_affine(cp, 0, lq);
  x[1] = default_affine(cp, 1, chi1z);
  x[2] = default_affine(cp, 2, chi2z);
}

// Symmetric map: log q / L0, the mapped effective spin, the scaled
// antisymmetric spin.  No clamp.
KOKKOS_INLINE_FUNCTION void sym_coords(const CoordParams& cp, double lq, double chi1z,
                                       double chi2z, double x[3]) {
  double chi_s = (chi2z + chi1z) * 0.5;
  const double chi_a = (chi1z - chi2z) * 0.5;
  if (cp.pn_coords) {
    const double e = std::exp(lq);
    const double f = e + 1.0;
    chi_s = (((e - 1.0) / f) * chi_a) / (1.0 - ((e / (f * f)) * 76.0) / 113.0) + chi_s;
  }
  const double w = (cp.chi_hi > cp.chi_lo) ? cp.chi_hi - cp.chi_lo : 1.0;
  x[0] = lq / cp.L0;
  x[1] = ((chi_s - cp.chi_lo) + (chi_s - cp.chi_lo)) / w - 1.0;
  x[2] = chi_a / cp.A0;
}

// Tables of the symmetric coordinates by the three-term recurrence.
KOKKOS_INLINE_FUNCTION void recurrence_tables(int32_t degree, const double x[3],
                                              double T[3][kTable]) {
  for (int c = 0; c < 3; ++c) {
    T[c][0] = 1.0;
    if (degree >= 1) T[c][1] = x[c];
    const double two_x = x[c] + x[c];
    for (int i = 2; i <= degree; ++i) T[c][i] = T[c][i - 1] * two_x - T[c][i - 2];
  }
}

// Coordinates and tables of a group's scheme: 0 the default map, anything
// else the symmetric map with recurrence tables.
KOKKOS_INLINE_FUNCTION void group_coords(const CoordParams& cp, int32_t scheme, double lq,
                                         double chi1z, double chi2z, double x[3],
                                         double T[3][kTable]) {
  if (scheme == 0) {
    default_coords_basis(cp, lq, chi1z, chi2z, x, T);
  } else {
    sym_coords(cp, lq, chi1z, chi2z, x);
    recurrence_tables(cp.degree, x, T);
  }
}

// Feature t = (T_1[b] * T_0[a]) * T_2[c] for terms[t] = (a, b, c).  Writes
// n_terms values at out[t * stride].
KOKKOS_INLINE_FUNCTION void features(const double T[3][kTable], const int32_t* terms,
                                     int32_t n_terms, double* out, int64_t stride) {
  for (int32_t t = 0; t < n_terms; ++t) {
    const int32_t a = terms[3 * t], b = terms[3 * t + 1], c = terms[3 * t + 2];
    out[t * stride] = (T[1][b] * T[0][a]) * T[2][c];
  }
}

// Squared-exponential kernel row of x against n training points (n x 3,
// row-major) with length scales ls; out[m * stride].
KOKKOS_INLINE_FUNCTION void rbf_row(const double x[3], const double* U, int32_t n,
                                    const double ls[3], double* out, int64_t stride) {
  for (int32_t m = 0; m < n; ++m) {
    const double d0 = (x[0] - U[3 * m]) / ls[0];
    const double d1 = (x[1] - U[3 * m + 1]) / ls[1];
    const double d2 = (x[2] - U[3 * m + 2]) / ls[2];
    double s = d0 * d0 + 0.0;
    s = d1 * d1 + s;
    s = d2 * d2 + s;
    out[m * stride] = std::exp(s * -0.5);
  }
}

// Parity symmetrisation of a kernel row already in out (stride as above),
// using n doubles of contiguous scratch for the reflected row.
KOKKOS_INLINE_FUNCTION void symmetrise(const double x[3], const double* U, int32_t n,
                                       const double ls[3], int32_t parity, double* out,
                                       int64_t stride, double* scratch) {
  const double r[3] = {-x[0], x[1], -x[2]};
  rbf_row(r, U, n, ls, scratch, 1);
  const double sgn = parity == 0 ? 1.0 : -1.0;
  for (int32_t m = 0; m < n; ++m) out[m * stride] = (sgn * scratch[m] + out[m * stride]) * 0.5;
}

// A variance key as kernels see it.
struct KeyView {
  int32_t scheme;
  int32_t parity;
  double ls[3];
  double nug;
  const double* Minv;  // n x n, row-major
  const double* U;     // n x 3
  int32_t n;
};

// Kernel row of one key at one point, written to k[j * stride] (kr is n
// doubles of contiguous scratch for the reflected row), and the key's prior.
// The caller has checked that the symmetric map is configured for a non-zero
// scheme.
KOKKOS_INLINE_FUNCTION double key_row(const CoordParams& cp, const KeyView& key, double lq,
                                      double chi1z, double chi2z, double* k, int64_t stride,
                                      double* kr) {
  double x[3];
  if (key.scheme == 0) {
    default_coords_unclamped(cp, lq, chi1z, chi2z, x);
    rbf_row(x, key.U, key.n, key.ls, k, stride);
    return 1.0;
  }
  sym_coords(cp, lq, chi1z, chi2z, x);
  rbf_row(x, key.U, key.n, key.ls, k, stride);
  symmetrise(x, key.U, key.n, key.ls, key.parity, k, stride, kr);
  const double sgn = key.parity == 0 ? 1.0 : -1.0;
  const double a = (x[0] * 2.0) / key.ls[0];
  const double b = (x[2] * 2.0) / key.ls[2];
  return (std::exp((b * b + a * a) * -0.5) * sgn + 1.0) * 0.5;
}

// quad = sum_i k_i s_i with s_i = sum_j Minv[i, j] k_j, each sum ascending
// from +0.0.  Four rows of Minv run side by side (independent sums, each in
// its own order), then join quad in row order.  V is double, or a lane vector
// holding one row per lane; k_j is the V stored at k + j * stride.
template <class V>
RR_INLINE V minv_quad(const double* Minv, int32_t n, const double* k, int64_t stride) {
  const auto at = [k, stride](int32_t j) RR_INLINE_LAMBDA {
    return RR_LANES_LOAD(V, k + j * stride);
  };
  V quad = V{};
  int32_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const double* M0 = Minv + static_cast<int64_t>(i) * n;
    const double* M1 = M0 + n;
    const double* M2 = M1 + n;
    const double* M3 = M2 + n;
    V s0 = V{}, s1 = V{}, s2 = V{}, s3 = V{};
    for (int32_t j = 0; j < n; ++j) {
      const V kj = at(j);
      s0 = s0 + M0[j] * kj;
      s1 = s1 + M1[j] * kj;
      s2 = s2 + M2[j] * kj;
      s3 = s3 + M3[j] * kj;
    }
    quad = quad + at(i) * s0;
    quad = quad + at(i + 1) * s1;
    quad = quad + at(i + 2) * s2;
    quad = quad + at(i + 3) * s3;
  }
  for (; i < n; ++i) {
    const double* Mi = Minv + static_cast<int64_t>(i) * n;
    V s = V{};
    for (int32_t j = 0; j < n; ++j) s = s + Mi[j] * at(j);
    quad = quad + at(i) * s;
  }
  return quad;
}

// Predictive variance of one key at one point; k and kr are n doubles of
// scratch each.  The caller has checked that the symmetric map is configured
// for a non-zero scheme.
KOKKOS_INLINE_FUNCTION double key_variance(const CoordParams& cp, const KeyView& key, double lq,
                                           double chi1z, double chi2z, double* k, double* kr) {
  const double prior = key_row(cp, key, lq, chi1z, chi2z, k, 1, kr);
  const double quad = minv_quad<double>(key.Minv, key.n, k, 1);
  const double d = prior - quad;
  return d > key.nug ? d : key.nug;
}

// One step of the Dot2 compensated dot product (Ogita, Rump and Oishi): the
// product's exact error by the one fused multiply-add, the sum's error by
// TwoSum; the value of the sum is cc + S.
KOKKOS_INLINE_FUNCTION void dot2_step(double x, double y, double& S, double& cc) {
  const double p = x * y;
  const double s = S + p;
  const double z = s - S;
  const double e = (S - (s - z)) + (p - z);
  const double err = std::fma(x, y, -p);
  cc = cc + (err + e);
  S = s;
}

}  // namespace radiredide::gpr
