#pragma once
// Spin-weight -2 spherical harmonics: the term table of Goldberg's closed form
// (built once per call on the calling thread) and the kernel that evaluates it
// at every (direction, mode) pair.
#include "common/errors.hpp"
#include "common/staging.hpp"

#include <Kokkos_Core.hpp>

#include <cmath>
#include <complex>
#include <cstdint>
#include <string>
#include <vector>

namespace radiredide {

inline constexpr int32_t kSwshMaxL = 8;
// 4*pi in double precision (bit pattern 0x402921FB54442D18).
inline constexpr double kFourPi = 12.566370614359172;

// n! as 1.0 * 2 * 3 * ... * n (1.0 for n < 2); exact for n <= 18.
inline double factorial_double(int32_t n) {
  double f = 1.0;
  for (int32_t i = 2; i <= n; ++i) f = f * static_cast<double>(i);
  return f;
}

// C(n, q) in 64-bit integers, exact division after each multiplication.
inline int64_t binomial_i64(int64_t n, int64_t q) {
  int64_t c = 1;
  for (int64_t i = 1; i <= q; ++i) c = c * (n - q + i) / i;
  return c;
}

inline bool is_odd(int64_t v) { return (v % 2) != 0; }  // also for negative v

struct SwshTermTable {
  std::vector<double> coef;
  std::vector<int32_t> cos_power;
  std::vector<int32_t> sin_power;
  std::vector<int32_t> offset;
  std::vector<int32_t> emm;

  // Terms r = max(0, m+2) .. min(l+2, l+m) of mode (l, m); the caller has
  // checked 2 <= l <= 8 and |m| <= l.
  void append_mode(int32_t l, int32_t m) {
    double norm = std::sqrt(((factorial_double(l + m) * ((2 * l + 1) / kFourPi)) *
                             factorial_double(l - m)) /
                            (factorial_double(l - 2) * factorial_double(l + 2)));
    if (is_odd(m)) norm = -norm;
    const int32_t r_lo = m + 2 > 0 ? m + 2 : 0;
    const int32_t r_hi = l + 2 < l + m ? l + 2 : l + m;
    for (int32_t r = r_lo; r <= r_hi; ++r) {
      const int32_t j = r - m - 2;
      double c = static_cast<double>(binomial_i64(l - 2, j)) *
                 (static_cast<double>(binomial_i64(l + 2, r)) * norm);
      if (is_odd(l - r)) c = -c;
      coef.push_back(c);
      cos_power.push_back(2 * r - m - 2);
      sin_power.push_back(2 * l + 2 + m - 2 * r);
    }
    offset.push_back(static_cast<int32_t>(coef.size()));
    emm.push_back(m);
  }
};

// Validates every mode in order (the l test before the m test) and builds the
// table; the first bad mode raises and the partial table is dropped.
inline SwshTermTable build_swsh_term_table(const int32_t* ells, const int32_t* emms, int32_t K) {
  SwshTermTable table;
  table.coef.reserve(static_cast<size_t>(K) * 7);
  table.cos_power.reserve(static_cast<size_t>(K) * 7);
  table.sin_power.reserve(static_cast<size_t>(K) * 7);
  table.offset.reserve(static_cast<size_t>(K) + 1);
  table.emm.reserve(static_cast<size_t>(K));
  table.offset.push_back(0);
  for (int32_t k = 0; k < K; ++k) {
    const int32_t l = load_unaligned(ells, k);  // the caller's arrays, possibly misaligned
    const int32_t m = load_unaligned(emms, k);
    if (l < 2 || l > kSwshMaxL)
      value_error("swsh_weights: l = " + std::to_string(l) + " is outside [2, " +
                  std::to_string(kSwshMaxL) + "]");
    if (m < -l || m > l)
      value_error("swsh_weights: |m| > l for (l, m) = (" + std::to_string(l) + ", " +
                  std::to_string(m) + ")");
    table.append_mode(l, m);
  }
  return table;
}

// base^e with 0, 1 and 2 formed without pow.
KOKKOS_INLINE_FUNCTION double swsh_power(double base, int32_t e) {
  if (e == 0) return 1.0;
  if (e == 1) return base;
  if (e == 2) return base * base;
  return std::pow(base, static_cast<double>(e));
}

// Largest exponent of cos(iota/2) or sin(iota/2) in a table with l <= 8.
inline constexpr int32_t kSwshMaxPower = 2 * kSwshMaxL;

// Which exponents of cos(iota/2) and of sin(iota/2), and which m, a table
// uses: bit e of `cos_powers` / `sin_powers`, bit m + kSwshMaxL of `emms`.
struct SwshUses {
  uint32_t cos_powers = 0, sin_powers = 0, emms = 0;
};

inline SwshUses swsh_uses(const SwshTermTable& table) {
  SwshUses u;
  for (const int32_t e : table.cos_power) u.cos_powers |= uint32_t(1) << e;
  for (const int32_t e : table.sin_power) u.sin_powers |= uint32_t(1) << e;
  for (const int32_t m : table.emm) u.emms |= uint32_t(1) << (m + kSwshMaxL);
  return u;
}

// One work item per direction b evaluates every mode (b, k) with the
// operations of the per-(b, k) formula: cos(a) and sin(a), the power of each
// exponent the table uses and the pair cos(m phi), sin(m phi) of each m it
// uses are computed once per direction, before the modes, and shared by the
// modes that need the same value, so each transcendental value still comes
// from one library call on the same argument.
struct SwshWeightsKernel {
  UView<const double, 1> coef;
  UView<const int32_t, 1> cos_power;
  UView<const int32_t, 1> sin_power;
  UView<const int32_t, 1> offset;
  UView<const int32_t, 1> emm;
  UView<const double, 1> inclination;
  UView<const double, 1> azimuth;
  UView<std::complex<double>, 2> out;
  int32_t K;
  SwshUses uses;

  KOKKOS_INLINE_FUNCTION void operator()(const int32_t b) const {
    const double a = 0.5 * inclination(b);
    const double co = std::cos(a);
    const double si = std::sin(a);
    const double az = azimuth(b);
    double pc[kSwshMaxPower + 1], ps[kSwshMaxPower + 1];
    double ca[2 * kSwshMaxL + 1], sa[2 * kSwshMaxL + 1];
    for (uint32_t bits = uses.cos_powers; bits != 0; bits &= bits - 1) {
      const int e = __builtin_ctz(bits);
      pc[e] = swsh_power(co, e);
    }
    for (uint32_t bits = uses.sin_powers; bits != 0; bits &= bits - 1) {
      const int e = __builtin_ctz(bits);
      ps[e] = swsh_power(si, e);
    }
    for (uint32_t bits = uses.emms; bits != 0; bits &= bits - 1) {
      const int slot = __builtin_ctz(bits);
      const double alpha = static_cast<double>(slot - kSwshMaxL) * az;
      ca[slot] = std::cos(alpha);
      sa[slot] = std::sin(alpha);
    }
    std::complex<double>* row = &out(b, 0);
    int32_t t = offset(0);
    for (int32_t k = 0; k < K; ++k) {
      double sum = 0.0;
      const int32_t t_end = offset(k + 1);
      for (; t < t_end; ++t) sum = sum + ((pc[cos_power(t)] * coef(t)) * ps[sin_power(t)]);
      const int32_t slot = emm(k) + kSwshMaxL;
      row[k] = std::complex<double>(ca[slot] * sum, sa[slot] * sum);
    }
  }
};

}  // namespace radiredide
