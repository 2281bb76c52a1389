// Placeholder definitions until the closed forms land; every value is NaN.
#include "pack/pn4.hpp"

#include <limits>

namespace radiredide {
namespace {
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
}
double pn4_flux(double, double, double, double) { return kNaN; }
double pn4_energy_derivative(double, double, double, double) { return kNaN; }
double pn4_angular_momentum(double, double, double, double) { return kNaN; }
void pn4_mode_h22(double, double, double, double, double* re, double* im) { *re = *im = kNaN; }
void pn4_mode_h21(double, double, double, double, double* re, double* im) { *re = *im = kNaN; }
void pn4_mode_h33(double, double, double, double, double* re, double* im) { *re = *im = kNaN; }
void mode_coeffs(double, double, double, double* t) {
  for (int i = 0; i < kModeCoeffCount; ++i) t[i] = kNaN;
}
void mode_weights(double, const double*, double* re, double* im) {
  for (int i = 0; i < kModeSlots; ++i) re[i] = im[i] = kNaN;
}
void dmode_coeffs(double, double, double, double* t) {
  for (int i = 0; i < kDModeCoeffCount; ++i) t[i] = kNaN;
}
void dmode_weights(double, const double*, double* re, double* im) {
  for (int i = 0; i < kDModeSlots; ++i) re[i] = im[i] = kNaN;
}
}  // namespace radiredide
