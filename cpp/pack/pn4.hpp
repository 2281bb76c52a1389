#pragma once
// 4PN closed forms (flux, energy derivative, angular momentum, mode series) and
// the two-stage mode weights and their partials.  All pure, double precision,
// callable from kernel bodies.  Parameter point (q, chi1z, chi2z), q = m1/m2.
// The series live in pn4_series.hpp, the two-stage tables in pn4_tables.hpp;
// everything is inline so that kernels in every unit can fold it.
#include "pack/pn4_series.hpp"
#include "pack/pn4_tables.hpp"

#include <cmath>
#include <cstdint>
#include <utility>

namespace radiredide {

inline constexpr int kModeCoeffCount = 102;   // mode_coeffs table size
inline constexpr int kDModeCoeffCount = 358;  // dmode_coeffs table size
inline constexpr int kModeSlots = 8;          // (2,2) (2,1) (3,3) (3,2) (4,4) (4,3) (5,5) (5,5)/delta
inline constexpr int kDModeSlots = 32;        // slot 4j + p, p over (v, q, chi1z, chi2z)

namespace pn4 {
// pow(x, y) from the C library.  The exponent passes through an empty asm so
// that the compiler can neither fold the call (pow(x, 2.0) into x * x) nor
// replace it: every power below is the library's value.
inline double libm_pow(double x, double y) {
  __asm__("" : "+x"(y));
  return std::pow(x, y);
}

// One term c x^(p/2) (ln x)^lg of a series, x^(p/2) taken from xp[p].
template <Term T>
RR_INLINE double x_term(const double* xp, double lnx, double c) {
  double term = c * (T.p == 0 ? 1.0 : xp[T.p]);
  if constexpr (T.lg != 0) term = term * lnx;
  return term;
}

// sum(c_k x^(p_k/2) (ln x)^lg_k) over the N rows of a fixed table, x^(p/2)
// taken from xp[p] (= pow(x, 0.5 p)): the terms are added from the first row
// on, each row's shape known when the sum is compiled.
template <const Term* Rows, int N>
RR_INLINE double x_series(const double* xp, double lnx,
                                                      const double* c) {
  return [&]<int... K>(std::integer_sequence<int, K...>) {
    double sum = 0.0;
    ((sum += x_term<Rows[K]>(xp, lnx, c[K])), ...);
    return sum;
  }(std::make_integer_sequence<int, N>{});
}

// The powers x^(p/2) = pow(x, 0.5 p), p = 2 .. 8, that the flux and orbit
// series use, each one library call.
inline void x_half_powers(double x, double* xp /* 9 */) {
  xp[0] = 1.0;
  xp[1] = 0.0;  // x^(1/2) is no term of these series
  for (int p = 2; p <= 8; ++p) xp[p] = libm_pow(x, 0.5 * p);
}

// The flux, energy-derivative and angular-momentum series of one parameter
// point: the parameters and the series coefficients depend on (q, chi1z,
// chi2z) only, so they are formed once and kept for every x.
struct OrbitSeries {
  PnParams P;
  double cF[kFluxTerms], cE[kOrbitTerms], cL[kOrbitTerms];

  OrbitSeries(double q, double chi1z, double chi2z) : P(pn_params(q, chi1z, chi2z)) {
    flux_terms(P, cF);
    energy_derivative_terms(P, cE);
    angular_momentum_terms(P, cL);
  }

  // F from the powers and ln x of its x.
  double flux_from(const double* xp, double lnx, double x5) const {
    const double sum = x_series<kFluxRows, kFluxTerms>(xp, lnx, cF);
    return fr(32, 5) * P.eta * P.eta * x5 * sum;
  }
  double energy_derivative_from(const double* xp, double lnx) const {
    const double sum = x_series<kOrbitRows, kOrbitTerms>(xp, lnx, cE);
    return -(P.eta / 2.0) * sum;
  }

  double flux(double x) const {
    double xp[9];
    x_half_powers(x, xp);
    const double lnx = 2.0 * std::log(std::sqrt(x));
    return flux_from(xp, lnx, libm_pow(x, 5.0));
  }
  double energy_derivative(double x) const {
    double xp[9];
    x_half_powers(x, xp);
    const double lnx = 2.0 * std::log(std::sqrt(x));
    return energy_derivative_from(xp, lnx);
  }
  double angular_momentum(double x) const {
    double xp[9];
    x_half_powers(x, xp);
    const double lnx = 2.0 * std::log(std::sqrt(x));
    const double sum = x_series<kOrbitRows, kOrbitTerms>(xp, lnx, cL);
    return (P.eta / std::sqrt(x)) * sum;
  }
  // F(x), dE/dx(x) and x^(3/2) at one x, sharing its powers and logarithm.
  void flux_energy(double x, double* F, double* dE, double* x3_2) const {
    double xp[9];
    x_half_powers(x, xp);
    const double lnx = 2.0 * std::log(std::sqrt(x));
    *F = flux_from(xp, lnx, libm_pow(x, 5.0));
    *dE = energy_derivative_from(xp, lnx);
    *x3_2 = xp[3];
  }
};
}  // namespace pn4

// Energy flux F(x).
inline double pn4_flux(double x, double q, double chi1z, double chi2z) {
  return pn4::OrbitSeries(q, chi1z, chi2z).flux(x);
}

// dE/dx of the binding energy.
inline double pn4_energy_derivative(double x, double q, double chi1z, double chi2z) {
  return pn4::OrbitSeries(q, chi1z, chi2z).energy_derivative(x);
}

// Orbital angular momentum L(x).
inline double pn4_angular_momentum(double x, double q, double chi1z, double chi2z) {
  return pn4::OrbitSeries(q, chi1z, chi2z).angular_momentum(x);
}

// Single-call mode series of slots 0, 1, 2 (one pass, no table).
inline void pn4_mode_h22(double v, double q, double chi1z, double chi2z, double* re, double* im) {
  pn4::mode_single<0>(v, q, chi1z, chi2z, re, im);
}
inline void pn4_mode_h21(double v, double q, double chi1z, double chi2z, double* re, double* im) {
  pn4::mode_single<1>(v, q, chi1z, chi2z, re, im);
}
inline void pn4_mode_h33(double v, double q, double chi1z, double chi2z, double* re, double* im) {
  pn4::mode_single<2>(v, q, chi1z, chi2z, re, im);
}

// Stage 1: per-parameter-point coefficient table; stage 2: weights at v.
inline void mode_coeffs(double q, double chi1z, double chi2z, double* table /* kModeCoeffCount */) {
  pn4::fill_mode_coeffs(q, chi1z, chi2z, table);
}
// Stage 2 is forced inline so that kernels fold the table walk into their loop.
RR_INLINE void mode_weights(double v, const double* table, double* re /* 8 */, double* im /* 8 */) {
  pn4::eval_weights<false, 1>(&v, table, re, im);
}
inline void dmode_coeffs(double q, double chi1z, double chi2z, double* table /* kDModeCoeffCount */) {
  pn4::fill_dmode_coeffs(q, chi1z, chi2z, table);
}
RR_INLINE void dmode_weights(double v, const double* table, double* re /* 32 */, double* im /* 32 */) {
  pn4::eval_weights<true, 1>(&v, table, re, im);
}

namespace pn4 {
// Binding energy E(x), E(0) = 0, integrated row by row from the dE/dx series:
// x^k -> x^(k+1)/(k+1) and x^k ln x -> x^(k+1) ln x/(k+1) - x^(k+1)/(k+1)^2.
inline double binding_energy(double x, double q, double chi1z, double chi2z) {
  const PnParams P = pn_params(q, chi1z, chi2z);
  double c[kOrbitTerms];
  energy_derivative_terms(P, c);
  const double lnx = 2.0 * std::log(std::sqrt(x));
  double sum = 0.0;
  for (int k = 0; k < kOrbitTerms; ++k) {
    const double kp1 = 0.5 * kOrbitRows[k].p + 1.0;
    const double xk = kOrbitRows[k].p == 0 ? 1.0 : std::pow(x, 0.5 * kOrbitRows[k].p);
    if (kOrbitRows[k].lg)
      sum += (c[k] / kp1) * xk * lnx - (c[k] / (kp1 * kp1)) * xk;
    else
      sum += (c[k] / kp1) * xk;
  }
  return -(P.eta * x / 2.0) * sum;
}

// dL/dx of L = eta sum(c_k x^(k-1/2) (ln x)^lg_k), differentiated row by row.
inline double angular_momentum_derivative(double x, double q, double chi1z, double chi2z) {
  const PnParams P = pn_params(q, chi1z, chi2z);
  double c[kOrbitTerms];
  angular_momentum_terms(P, c);
  const double lnx = 2.0 * std::log(std::sqrt(x));
  double sum = 0.0;
  for (int k = 0; k < kOrbitTerms; ++k) {
    const double e = 0.5 * kOrbitRows[k].p - 0.5;  // power of x in L
    const double xe1 = std::pow(x, e - 1.0);
    if (kOrbitRows[k].lg)
      sum += c[k] * (e * xe1 * lnx + xe1);
    else
      sum += c[k] * e * xe1;
  }
  return P.eta * sum;
}
}  // namespace pn4

}  // namespace radiredide
