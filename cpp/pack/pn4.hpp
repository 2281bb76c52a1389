#pragma once
// 4PN closed forms (flux, energy derivative, angular momentum, mode series) and
// the two-stage mode weights and their partials.  All pure, double precision,
// callable from kernel bodies.  Parameter point (q, chi1z, chi2z), q = m1/m2.
#include <cstdint>

namespace radiredide {

inline constexpr int kModeCoeffCount = 102;   // mode_coeffs table size
inline constexpr int kDModeCoeffCount = 358;  // dmode_coeffs table size
inline constexpr int kModeSlots = 8;          // (2,2) (2,1) (3,3) (3,2) (4,4) (4,3) (5,5) (5,5)/delta
inline constexpr int kDModeSlots = 32;        // slot 4j + p, p over (v, q, chi1z, chi2z)

double pn4_flux(double x, double q, double chi1z, double chi2z);
double pn4_energy_derivative(double x, double q, double chi1z, double chi2z);
double pn4_angular_momentum(double x, double q, double chi1z, double chi2z);
void pn4_mode_h22(double v, double q, double chi1z, double chi2z, double* re, double* im);
void pn4_mode_h21(double v, double q, double chi1z, double chi2z, double* re, double* im);
void pn4_mode_h33(double v, double q, double chi1z, double chi2z, double* re, double* im);

// Stage 1: per-parameter-point coefficient table; stage 2: weights at v.
void mode_coeffs(double q, double chi1z, double chi2z, double* table /* kModeCoeffCount */);
void mode_weights(double v, const double* table, double* re /* 8 */, double* im /* 8 */);
void dmode_coeffs(double q, double chi1z, double chi2z, double* table /* kDModeCoeffCount */);
void dmode_weights(double v, const double* table, double* re /* 32 */, double* im /* 32 */);

}  // namespace radiredide
