#pragma once
// The 4PN series themselves: flux, energy derivative, angular momentum and the
// eight mode-amplitude brackets, each written once as a table of
// (term, coefficient) rows.  The coefficients are polynomials in eta, delta,
// S and Sigma; the mode brackets are templates on the scalar type so that one
// transcription serves plain values, forward-mode partials and table readers.
#include "common/variants.hpp"

#include <cmath>
#include <type_traits>

namespace radiredide::pn4 {

// ------------------------------------------------------------------ constants
inline constexpr double kPi = 3.141592653589793;
inline constexpr double kGammaE = 0.5772156649015329;
inline constexpr double kLn2 = 0.6931471805599453;     // ln 2
inline constexpr double kLn3_2 = 0.4054651081081644;   // ln(3/2)
inline constexpr double kLn5_2 = 0.9162907318741551;   // ln(5/2)
// 8 sqrt(pi/5), correctly rounded.  (The decimal 6.341323676169605 quoted
// with the series elsewhere is 14 ulps off the value of this expression.)
inline constexpr double kEightSqrtPiOver5 = 6.341323676169617;

// An exact fraction of two integers, rounded once.
constexpr double fr(long long n, long long d) {
  return static_cast<double>(n) / static_cast<double>(d);
}

// A series term x^(p/2), times ln x when lg is set.  p counts powers of v.
struct Term {
  int p;
  int lg;
};
inline constexpr Term X0{0, 0}, X1_2{1, 0}, X1{2, 0}, X3_2{3, 0}, X2{4, 0}, X5_2{5, 0},
    X3{6, 0}, X3_LN{6, 1}, X7_2{7, 0}, X7_2_LN{7, 1}, X4{8, 0}, X4_LN{8, 1};

// A part of a mode bracket that is identically zero.
struct Zero {};
inline constexpr Zero zero{};

// ------------------------------------------------------------------ parameters
// The combinations every series is written in, from (q, chi1z, chi2z).
struct PnParams {
  double m1, m2, inv1q2, eta, delta, S, Sigma;
};

constexpr RR_INLINE PnParams pn_params(double q, double chi1z, double chi2z) {
  PnParams P;
  const double opq = 1.0 + q;
  P.m1 = q / opq;
  P.m2 = 1.0 / opq;
  P.inv1q2 = 1.0 / (opq * opq);
  P.eta = q * P.inv1q2;
  P.delta = P.m1 - P.m2;
  P.S = P.m1 * P.m1 * chi1z + P.m2 * P.m2 * chi2z;
  P.Sigma = P.m2 * chi2z - P.m1 * chi1z;
  return P;
}

// Mode normalisations 8 sqrt(pi/5) N_j, slot order (2,2) (2,1) (3,3) (3,2)
// (4,4) (4,3) (5,5) (5,5)/delta.
inline double mode_norm(int slot) {
  switch (slot) {
    case 0: return kEightSqrtPiOver5;
    case 1: return kEightSqrtPiOver5 * fr(1, 3);
    case 2: return kEightSqrtPiOver5 * (0.75 * std::sqrt(fr(15, 14)));
    case 3: return kEightSqrtPiOver5 * (fr(1, 3) * std::sqrt(fr(5, 7)));
    case 4: return kEightSqrtPiOver5 * (fr(8, 9) * std::sqrt(fr(5, 7)));
    case 5: return kEightSqrtPiOver5 * (9.0 / (4.0 * std::sqrt(70.0)));
    default: return kEightSqrtPiOver5 * (625.0 / (96.0 * std::sqrt(66.0)));
  }
}

// ------------------------------------------------------------------ x-series
// Rows of the flux, energy-derivative and angular-momentum series; the
// coefficient of each row is written by the *_terms functions below.
inline constexpr int kFluxTerms = 10;
inline constexpr Term kFluxRows[kFluxTerms] = {X0, X1, X3_2, X2, X5_2, X3, X3_LN, X7_2, X4, X4_LN};
inline constexpr int kOrbitTerms = 9;
inline constexpr Term kOrbitRows[kOrbitTerms] = {X0, X1, X3_2, X2, X5_2, X3, X7_2, X4, X4_LN};

// Closed forms of the decimal entries of the energy and angular-momentum
// series (more digits than the decimals, and the pair stays consistent).
inline constexpr double kEp3_1 = fr(34445, 144) - fr(205, 24) * kPi * kPi;
inline constexpr double kEp4_1 = fr(-446323, 5760) + fr(45185, 1536) * kPi * kPi +
                                 fr(896, 3) * kGammaE + fr(1792, 3) * kLn2;
inline constexpr double kEp4_2 = fr(-2492245, 3456) + fr(15785, 576) * kPi * kPi;
inline constexpr double kL3_1 = fr(-6889, 144) + fr(41, 24) * kPi * kPi;
inline constexpr double kL4_1 = fr(98869, 5760) - fr(6455, 1536) * kPi * kPi -
                                fr(128, 3) * kGammaE - fr(256, 3) * kLn2;
inline constexpr double kL4_2 = fr(356035, 3456) - fr(2255, 576) * kPi * kPi;

// Energy flux F = (32/5) eta^2 x^5 * sum(c * term).
constexpr RR_INLINE void flux_terms(const PnParams& P, double* c) {
  const double eta = P.eta, delta = P.delta, S = P.S, Sg = P.Sigma;
  const double eta2 = eta * eta, eta3 = eta2 * eta, eta4 = eta3 * eta;
  const double S2 = S * S, S3 = S2 * S, Sg2 = Sg * Sg, Sg3 = Sg2 * Sg;
  // clang-format off
  c[0] = 1.0;                                                                          // 1
  c[1] = fr(-1247, 336) - fr(35, 12) * eta;                                            // x
  c[2] = 4 * kPi - 4 * S - fr(5, 4) * delta * Sg;                                      // x^(3/2)
  c[3] = fr(-44711, 9072) + fr(9271, 504) * eta + fr(65, 18) * eta2 + 8 * S2
         + (fr(33, 16) - 8 * eta) * Sg2 + 8 * delta * S * Sg;                          // x^2
  c[4] = fr(-8191, 672) * kPi + fr(-583, 24) * kPi * eta + (fr(-9, 2) + fr(272, 9) * eta) * S
         + (fr(-13, 16) + fr(43, 4) * eta) * delta * Sg;                               // x^(5/2)
  c[5] = 115.73171667561132 - 8.872053442382265 * eta - fr(94403, 3024) * eta2
         - fr(775, 324) * eta3 - 16 * kPi * S + fr(-31, 6) * kPi * delta * Sg
         + (fr(-3839, 252) - 43 * eta) * S2 + (fr(-227, 28) + fr(3481, 168) * eta + 43 * eta2) * Sg2
         + (fr(-1375, 56) - 43 * eta) * delta * S * Sg;                                // x^3
  c[6] = fr(-856, 105);                                                                // x^3 ln x
  c[7] = fr(-16285, 504) * kPi + fr(214745, 1728) * kPi * eta + fr(193385, 3024) * kPi * eta2
         + (fr(476645, 6804) + fr(6172, 189) * eta - fr(2810, 27) * eta2) * S
         + (fr(9535, 336) + fr(1849, 126) * eta - fr(1501, 36) * eta2) * delta * Sg
         - fr(16, 3) * S3 + (fr(9, 2) - fr(56, 3) * eta) * S * Sg2 + fr(2, 3) * delta * S2 * Sg
         + (fr(35, 24) - 6 * eta) * delta * Sg3;                                       // x^(7/2)
  c[8] = -117.50439072267731 - 1180.9793953462527 * eta + 155.06145557561007 * eta2
         + fr(6875, 504) * eta3 + fr(5, 6) * eta4
         + (fr(-3485, 96) * kPi + fr(13879, 72) * kPi * eta) * S
         + (fr(-7163, 672) * kPi + fr(130583, 2016) * kPi * eta) * delta * Sg;         // x^4
  c[9] = fr(232597, 8820) + fr(20739, 245) * eta;                                      // x^4 ln x
  // clang-format on
}

// Energy derivative dE/dx = -(eta/2) * sum(c * term).
constexpr RR_INLINE void energy_derivative_terms(const PnParams& P, double* c) {
  const double eta = P.eta, delta = P.delta, S = P.S, Sg = P.Sigma;
  const double eta2 = eta * eta, eta3 = eta2 * eta, eta4 = eta3 * eta;
  const double S2 = S * S, Sg2 = Sg * Sg;
  // clang-format off
  c[0] = 1.0;                                                                          // 1
  c[1] = fr(-3, 2) - fr(1, 6) * eta;                                                   // x
  c[2] = fr(35, 3) * S + 5 * delta * Sg;                                               // x^(3/2)
  c[3] = fr(-81, 8) + fr(57, 8) * eta - fr(1, 8) * eta2 - 12 * S2 + (-3 + 12 * eta) * Sg2
         - 12 * delta * S * Sg;                                                        // x^2
  c[4] = (fr(77, 2) - fr(427, 18) * eta) * S + (fr(21, 2) - fr(35, 3) * eta) * delta * Sg;  // x^(5/2)
  c[5] = fr(-675, 16) + kEp3_1 * eta - fr(155, 24) * eta2 - fr(35, 1296) * eta3;       // x^3
  c[6] = (fr(1215, 8) - fr(3303, 8) * eta + fr(87, 8) * eta2) * S
         + (fr(243, 8) - fr(351, 2) * eta + fr(45, 8) * eta2) * delta * Sg;            // x^(7/2)
  c[7] = fr(-19845, 128) + kEp4_1 * eta + kEp4_2 * eta2 + fr(1505, 1728) * eta3
         + fr(385, 31104) * eta4;                                                      // x^4
  c[8] = fr(448, 3) * eta;                                                             // x^4 ln x
  // clang-format on
}

// Orbital angular momentum L = (eta / sqrt(x)) * sum(c * term).
constexpr RR_INLINE void angular_momentum_terms(const PnParams& P, double* c) {
  const double eta = P.eta, delta = P.delta, S = P.S, Sg = P.Sigma;
  const double eta2 = eta * eta, eta3 = eta2 * eta, eta4 = eta3 * eta;
  const double S2 = S * S, Sg2 = Sg * Sg;
  // clang-format off
  c[0] = 1.0;                                                                          // 1
  c[1] = fr(3, 2) + fr(1, 6) * eta;                                                    // x
  c[2] = fr(-35, 6) * S - fr(5, 2) * delta * Sg;                                       // x^(3/2)
  c[3] = fr(27, 8) - fr(19, 8) * eta + fr(1, 24) * eta2 + 4 * S2 + (1 - 4 * eta) * Sg2
         + 4 * delta * S * Sg;                                                         // x^2
  c[4] = (fr(-77, 8) + fr(427, 72) * eta) * S + (fr(-21, 8) + fr(35, 12) * eta) * delta * Sg;  // x^(5/2)
  c[5] = fr(135, 16) + kL3_1 * eta + fr(31, 24) * eta2 + fr(7, 1296) * eta3;           // x^3
  c[6] = (fr(-405, 16) + fr(1101, 16) * eta - fr(29, 16) * eta2) * S
         + (fr(-81, 16) + fr(117, 4) * eta - fr(15, 16) * eta2) * delta * Sg;          // x^(7/2)
  c[7] = fr(2835, 128) + kL4_1 * eta + kL4_2 * eta2 - fr(215, 1728) * eta3
         - fr(55, 31104) * eta4;                                                       // x^4
  c[8] = -fr(64, 3) * eta;                                                             // x^4 ln x
  // clang-format on
}

// ------------------------------------------------------------------ mode brackets
// h_j(v) = 8 sqrt(pi/5) N_j eta x * sum over the slot's rows of
// (real + i imaginary) * term.  Each row calls vis(slot, term, part, value)
// for its non-zero parts (part 0 real, 1 imaginary), in row order.

template <class V, class A, class B>
constexpr RR_INLINE void row(V& vis, int slot, Term t, const A& re, const B& im) {
  if constexpr (!std::is_same_v<A, Zero>) vis(slot, t, 0, re);
  if constexpr (!std::is_same_v<B, Zero>) vis(slot, t, 1, im);
}

// clang-format off
template <class TE, class TD, class TS, class TG, class V>
constexpr RR_INLINE void slot0_22(V& v, const TE& eta, const TD& delta, const TS& S, const TG& Sg) {
  const auto eta2 = eta * eta, eta3 = eta2 * eta, eta4 = eta3 * eta;
  const auto S2 = S * S, S3 = S2 * S, Sg2 = Sg * Sg, Sg3 = Sg2 * Sg;
  const int s = 0;
  //     term     real part                                                                     imaginary part
  row(v, s, X0,   1.0,                                                                          zero);
  row(v, s, X1,   fr(-107, 42) + fr(55, 42) * eta,                                              zero);
  row(v, s, X3_2, 2 * kPi - 2 * S - fr(2, 3) * delta * Sg,                                      zero);
  row(v, s, X2,   fr(-2173, 1512) - fr(1069, 216) * eta + fr(2047, 1512) * eta2 + 4 * S2
                  + (1 - 4 * eta) * Sg2 + 4 * delta * S * Sg,                                   zero);
  row(v, s, X5_2, fr(-107, 21) * kPi + fr(34, 21) * kPi * eta + (fr(-163, 63) - fr(92, 63) * eta) * S
                  + (fr(-1, 21) + fr(20, 63) * eta) * delta * Sg,                               -24 * eta);
  row(v, s, X3,   32.35880116100775 - 4.1478013791463475 * eta - fr(20261, 2772) * eta2
                  + fr(114635, 99792) * eta3 - 4 * kPi * S + fr(-4, 3) * kPi * delta * Sg
                  + (fr(-71, 9) + fr(136, 21) * eta) * S2
                  + (fr(-26, 7) + fr(347, 21) * eta - fr(136, 21) * eta2) * Sg2
                  + (fr(-739, 63) + fr(136, 21) * eta) * delta * S * Sg,                        fr(428, 105) * kPi - fr(4, 3) * S);
  row(v, s, X3_LN, fr(-428, 105),                                                               zero);
  row(v, s, X7_2, fr(-2173, 756) * kPi + fr(-2495, 378) * kPi * eta + fr(40, 27) * kPi * eta2
                  + (fr(1061, 84) + fr(4043, 84) * eta + fr(499, 84) * eta2) * S
                  + (fr(3931, 756) + fr(7813, 378) * eta + fr(1025, 252) * eta2) * delta * Sg
                  + 8 * kPi * S2 + (2 * kPi - 8 * kPi * eta) * Sg2 + 8 * kPi * delta * S * Sg
                  + fr(16, 3) * S3 + (fr(20, 3) - fr(80, 3) * eta) * S * Sg2
                  + fr(32, 3) * delta * S2 * Sg + (fr(4, 3) - fr(16, 3) * eta) * delta * Sg3,  fr(14333, 162) * eta - fr(4066, 945) * eta2);
  row(v, s, X4,   -42.56949104316741 - 14.221439471739842 * eta + 24.558054244515475 * eta2
                  - 5.240334960821071 * eta3 + 0.8431399169246391 * eta4,                       fr(-22898, 2205) * kPi + fr(-219314, 2205) * kPi * eta);
  row(v, s, X4_LN, fr(22898, 2205) + fr(7642, 441) * eta,                                       zero);
}

template <class TE, class TD, class TS, class TG, class V>
constexpr RR_INLINE void slot1_21(V& v, const TE& eta, const TD& delta, const TS& S, const TG& Sg) {
  const auto eta2 = eta * eta, eta3 = eta2 * eta;
  const auto S2 = S * S, Sg2 = Sg * Sg, Sg3 = Sg2 * Sg;
  const int s = 1;
  //     term     real part                                                                     imaginary part
  row(v, s, X1_2, zero,                                                                         delta);
  row(v, s, X1,   zero,                                                                         fr(3, 2) * Sg);
  row(v, s, X3_2, zero,                                                                         (fr(-17, 28) + fr(5, 7) * eta) * delta);
  row(v, s, X2,   (fr(1, 2) + 2 * kLn2) * delta,                                                kPi * delta + (fr(-79, 14) + fr(139, 14) * eta) * Sg
                                                                                                - fr(43, 7) * delta * S);
  row(v, s, X5_2, (fr(3, 4) + 3 * kLn2) * Sg,                                                   (fr(-43, 126) - fr(509, 126) * eta + fr(79, 168) * eta2) * delta
                                                                                                + fr(3, 2) * kPi * Sg + (4 - 24 * eta) * S * Sg
                                                                                                + 6 * delta * S2 + (1 - 6 * eta) * delta * Sg2);
  row(v, s, X3,   (-1.145250147823 + 12.90420593453 * eta) * delta,                             (fr(-17, 28) * kPi + fr(3, 14) * kPi * eta) * delta
                                                                                                + (fr(293, 252) - fr(2615, 504) * eta - fr(1723, 126) * eta2) * Sg
                                                                                                + (fr(-331, 252) + fr(386, 63) * eta) * delta * S
                                                                                                + 3 * S2 * Sg + (fr(3, 4) - 3 * eta) * Sg3 + 3 * delta * S * Sg2);
  row(v, s, X7_2, 2.724535993744 * delta + (-10.64408960918 + 33.62777324314 * eta) * Sg
                  - 11.10152250402 * delta * S,                                                 (7.862676354808 - 27.17258880576 * eta - fr(4211, 8316) * eta2
                                                                                                 + fr(2263, 8316) * eta3) * delta
                                                                                                + (fr(-79, 14) * kPi + fr(257, 28) * kPi * eta) * Sg
                                                                                                + fr(-43, 7) * kPi * delta * S
                                                                                                + (fr(-173, 28) + fr(317, 12) * eta + fr(24, 7) * eta2) * S * Sg
                                                                                                + (fr(211, 56) - fr(6, 7) * eta) * delta * S2
                                                                                                + (fr(-201, 56) + fr(46, 3) * eta + fr(6, 7) * eta2) * delta * Sg2);
  row(v, s, X7_2_LN, zero,                                                                      fr(-107, 105) * delta);
}

template <class TE, class TD, class TS, class TG, class V>
constexpr RR_INLINE void slot2_33(V& v, const TE& eta, const TD& delta, const TS& S, const TG& Sg) {
  const auto eta2 = eta * eta, eta3 = eta2 * eta;
  const auto S2 = S * S, Sg2 = Sg * Sg;
  const int s = 2;
  //     term     real part                                                                     imaginary part
  row(v, s, X1_2, zero,                                                                         -delta);
  row(v, s, X3_2, zero,                                                                         (4 - 2 * eta) * delta);
  row(v, s, X2,   (fr(-21, 5) + 6 * kLn3_2) * delta,                                            -3 * kPi * delta + (fr(3, 2) - fr(9, 2) * eta) * Sg
                                                                                                + fr(7, 2) * delta * S);
  row(v, s, X5_2, zero,                                                                         (fr(-123, 110) + fr(1838, 165) * eta - fr(887, 330) * eta2) * delta
                                                                                                + (-6 + 24 * eta) * S * Sg - 6 * delta * S2
                                                                                                + (fr(-3, 2) + 6 * eta) * delta * Sg2);
  row(v, s, X3,   ((fr(84, 5) - 24 * kLn3_2) + (fr(-48103, 1215) + 9 * kLn3_2) * eta) * delta,  (12 * kPi + fr(-9, 2) * kPi * eta) * delta
                                                                                                + (fr(-43, 10) + 12 * eta + fr(5, 2) * eta2) * Sg
                                                                                                + (fr(-139, 30) + fr(83, 30) * eta) * delta * S);
  row(v, s, X7_2, 0.8476033233217 * delta
                  + ((fr(63, 10) - 9 * kLn3_2) + (fr(-8797, 540) + 27 * kLn3_2) * eta) * Sg
                  + (fr(213, 20) - 21 * kLn3_2) * delta * S,                                    (-64.83994859622 - 4.267062638795 * eta + fr(318841, 17160) * eta2
                                                                                                 - fr(8237, 2860) * eta3) * delta
                                                                                                + (fr(9, 2) * kPi + fr(-27, 2) * kPi * eta) * Sg
                                                                                                + fr(21, 2) * kPi * delta * S
                                                                                                + (24 - 116 * eta + 48 * eta2) * S * Sg
                                                                                                + (19 - 12 * eta) * delta * S2
                                                                                                + (7 - fr(69, 2) * eta + 12 * eta2) * delta * Sg2);
  row(v, s, X7_2_LN, zero,                                                                      fr(39, 7) * delta);
}

template <class TE, class TD, class TS, class TG, class V>
constexpr RR_INLINE void slot3_32(V& v, const TE& eta, const TD& delta, const TS& S, const TG& Sg) {
  const auto eta2 = eta * eta, eta3 = eta2 * eta;
  const auto S2 = S * S, S3 = S2 * S, Sg2 = Sg * Sg, Sg3 = Sg2 * Sg;
  const int s = 3;
  //     term     real part                                                                     imaginary part
  row(v, s, X1,   1 - 3 * eta,                                                                  zero);
  row(v, s, X3_2, 2 * S + 2 * delta * Sg,                                                       zero);
  row(v, s, X2,   fr(-193, 90) + fr(145, 18) * eta - fr(73, 18) * eta2,                         zero);
  row(v, s, X5_2, 2 * kPi - 6 * kPi * eta + (-13 + fr(73, 3) * eta) * S
                  + (fr(-31, 3) + 10 * eta) * delta * Sg,                                       -3 + fr(66, 5) * eta);
  row(v, s, X3,   fr(-1451, 3960) - fr(17387, 3960) * eta + fr(5557, 220) * eta2
                  - fr(5341, 1320) * eta3 + 4 * kPi * S + 4 * kPi * delta * Sg
                  + (fr(10, 3) - 24 * eta) * S2 + (-8 * eta + 24 * eta2) * Sg2
                  + (fr(4, 3) - 24 * eta) * delta * S * Sg,                                     -2 * S - 6 * delta * Sg);
  row(v, s, X7_2, fr(-193, 45) * kPi + fr(136, 9) * kPi * eta + fr(-46, 9) * kPi * eta2
                  + (fr(4859, 660) - fr(15413, 396) * eta - fr(419, 44) * eta2) * S
                  + (fr(19241, 1980) - fr(1616, 55) * eta - fr(16153, 1980) * eta2) * delta * Sg
                  + 8 * S3 + (10 - 40 * eta) * S * Sg2 + 16 * delta * S2 * Sg
                  + (2 - 8 * eta) * delta * Sg3,                                                fr(193, 30) - fr(258929, 5400) * eta + fr(33751, 450) * eta2);
}

template <class TE, class TD, class TS, class TG, class V>
constexpr RR_INLINE void slot4_44(V& v, const TE& eta, const TD& delta, const TS& S, const TG& Sg) {
  const auto eta2 = eta * eta, eta3 = eta2 * eta;
  const auto S2 = S * S, Sg2 = Sg * Sg;
  const int s = 4;
  //     term     real part                                                                     imaginary part
  row(v, s, X1,   -1 + 3 * eta,                                                                 zero);
  row(v, s, X2,   fr(593, 110) - fr(1273, 66) * eta + fr(175, 22) * eta2,                       zero);
  row(v, s, X5_2, -4 * kPi + 12 * kPi * eta + (fr(76, 15) - fr(76, 5) * eta) * S
                  + (fr(12, 5) - fr(24, 5) * eta) * delta * Sg,                                 (fr(42, 5) - 8 * kLn2) + (fr(-1193, 40) + 24 * kLn2) * eta);
  row(v, s, X3,   fr(-1068671, 200200) + fr(1088119, 28600) * eta - fr(146879, 2340) * eta2
                  + fr(226097, 17160) * eta3 + (-8 + 24 * eta) * S2
                  + (-2 + 14 * eta - 24 * eta2) * Sg2 + (-8 + 24 * eta) * delta * S * Sg,       zero);
  row(v, s, X7_2, fr(1186, 55) * kPi + fr(-2480, 33) * kPi * eta + fr(284, 11) * kPi * eta2
                  + (fr(-874, 55) + fr(10063, 165) * eta - fr(971, 55) * eta2) * S
                  + (fr(-612, 55) + fr(866, 33) * eta + fr(67, 55) * eta2) * delta * Sg,        -15.39008886749 + 119.7205700772 * eta - 158.1590156614 * eta2);
}

template <class TE, class TD, class TS, class TG, class V>
constexpr RR_INLINE void slot5_43(V& v, const TE& eta, const TD& delta, const TS& S, const TG& Sg) {
  const auto eta2 = eta * eta, eta3 = eta2 * eta;
  const auto S2 = S * S, Sg2 = Sg * Sg;
  const int s = 5;
  //     term     real part                                                                     imaginary part
  row(v, s, X3_2, zero,                                                                         (-1 + 2 * eta) * delta);
  row(v, s, X2,   zero,                                                                         (fr(-5, 2) + fr(15, 2) * eta) * Sg - fr(5, 2) * delta * S);
  row(v, s, X5_2, zero,                                                                         (fr(39, 11) - fr(1267, 132) * eta + fr(131, 33) * eta2) * delta);
  row(v, s, X3,   ((fr(-32, 5) + 6 * kLn3_2) + (fr(16301, 810) - 12 * kLn3_2) * eta) * delta,   (-3 * kPi + 6 * kPi * eta) * delta
                                                                                                + (fr(361, 22) - fr(710, 11) * eta + fr(815, 22) * eta2) * Sg
                                                                                                + (fr(1303, 66) - fr(1451, 66) * eta) * delta * S);
  row(v, s, X7_2, ((-16 + 15 * kLn3_2) + (fr(6007, 108) - 45 * kLn3_2) * eta) * Sg
                  + (fr(-53, 4) + 15 * kLn3_2) * delta * S,                                     (fr(-7206, 5005) + fr(82869, 5720) * eta - fr(104839, 3432) * eta2
                                                                                                 + fr(2987, 572) * eta3) * delta
                                                                                                + (fr(-15, 2) * kPi + fr(45, 2) * kPi * eta) * Sg
                                                                                                + fr(-15, 2) * kPi * delta * S
                                                                                                + (4 + 18 * eta - 80 * eta2) * S * Sg
                                                                                                + (fr(-1, 2) + 20 * eta) * delta * S2
                                                                                                + (2 + 6 * eta - 20 * eta2) * delta * Sg2);
}

template <class TE, class TD, class TS, class TG, class V>
constexpr RR_INLINE void slot6_55(V& v, const TE& eta, const TD& delta, const TS& S, const TG& Sg) {
  const auto eta2 = eta * eta, eta3 = eta2 * eta;
  const auto S2 = S * S, Sg2 = Sg * Sg;
  const int s = 6;
  //     term     real part                                                                     imaginary part
  row(v, s, X3_2, zero,                                                                         (1 - 2 * eta) * delta);
  row(v, s, X5_2, zero,                                                                         (fr(-263, 39) + fr(688, 39) * eta - fr(256, 39) * eta2) * delta);
  row(v, s, X3,   ((fr(181, 14) - 10 * kLn5_2) + (fr(-105834, 3125) + 20 * kLn5_2) * eta) * delta,
                                                                                                (5 * kPi - 10 * kPi * eta) * delta
                                                                                                + (fr(-10, 3) + fr(50, 3) * eta - fr(50, 3) * eta2) * Sg
                                                                                                + (fr(-20, 3) + fr(40, 3) * eta) * delta * S);
  row(v, s, X7_2, zero,                                                                         (fr(9185, 819) - fr(188765, 3276) * eta + fr(54428, 819) * eta2
                                                                                                 - fr(10567, 819) * eta3) * delta
                                                                                                + (10 - 60 * eta + 80 * eta2) * S * Sg
                                                                                                + (10 - 20 * eta) * delta * S2
                                                                                                + (fr(5, 2) - 15 * eta + 20 * eta2) * delta * Sg2);
}

template <class TE, class TD, class TS, class TG, class V>
constexpr RR_INLINE void slot7_55_stripped(V& v, const TE& eta, const TD& delta, const TS& S, const TG& Sg) {
  (void)delta;
  const auto eta2 = eta * eta, eta3 = eta2 * eta;
  const auto S2 = S * S, Sg2 = Sg * Sg;
  const int s = 7;
  //     term     real part                                                                     imaginary part
  row(v, s, X3_2, zero,                                                                         1 - 2 * eta);
  row(v, s, X5_2, zero,                                                                         fr(-263, 39) + fr(688, 39) * eta - fr(256, 39) * eta2);
  row(v, s, X3,   (fr(181, 14) - 10 * kLn5_2) + (fr(-105834, 3125) + 20 * kLn5_2) * eta,       5 * kPi - 10 * kPi * eta + (fr(-20, 3) + fr(40, 3) * eta) * S);
  row(v, s, X7_2, zero,                                                                         fr(9185, 819) - fr(188765, 3276) * eta + fr(54428, 819) * eta2
                                                                                                - fr(10567, 819) * eta3 + (10 - 20 * eta) * S2
                                                                                                + (fr(5, 2) - 15 * eta + 20 * eta2) * Sg2);
}
// clang-format on

// One slot's rows, chosen at compile time.
template <int Slot, class TE, class TD, class TS, class TG, class V>
constexpr RR_INLINE void mode_slot(V& v, const TE& eta, const TD& delta, const TS& S, const TG& Sg) {
  if constexpr (Slot == 0) slot0_22(v, eta, delta, S, Sg);
  else if constexpr (Slot == 1) slot1_21(v, eta, delta, S, Sg);
  else if constexpr (Slot == 2) slot2_33(v, eta, delta, S, Sg);
  else if constexpr (Slot == 3) slot3_32(v, eta, delta, S, Sg);
  else if constexpr (Slot == 4) slot4_44(v, eta, delta, S, Sg);
  else if constexpr (Slot == 5) slot5_43(v, eta, delta, S, Sg);
  else if constexpr (Slot == 6) slot6_55(v, eta, delta, S, Sg);
  else slot7_55_stripped(v, eta, delta, S, Sg);
}

// All eight slots in slot order.
template <class TE, class TD, class TS, class TG, class V>
constexpr RR_INLINE void mode_series(V& v, const TE& eta, const TD& delta, const TS& S, const TG& Sg) {
  slot0_22(v, eta, delta, S, Sg);
  slot1_21(v, eta, delta, S, Sg);
  slot2_33(v, eta, delta, S, Sg);
  slot3_32(v, eta, delta, S, Sg);
  slot4_44(v, eta, delta, S, Sg);
  slot5_43(v, eta, delta, S, Sg);
  slot6_55(v, eta, delta, S, Sg);
  slot7_55_stripped(v, eta, delta, S, Sg);
}

// Number of non-zero (row, part) entries over all eight slots.
inline constexpr int kModeEntries = 69;

}  // namespace radiredide::pn4
