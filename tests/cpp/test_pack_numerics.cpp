// Extension-pack numerics: element fits, derivative series, not-a-knot spline,
// running integral, grids, interpolation and selection.
#include "pack/pack_numerics.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <utility>
#include <vector>

using namespace radiredide;

namespace {

double cheb_direct(const std::vector<double>& c, double u) {
  double s = 0.0;
  for (size_t k = 0; k < c.size(); ++k) s += c[k] * std::cos(k * std::acos(u));
  return s;
}

double cheb_direct_deriv(const std::vector<double>& c, double u) {
  // d/du T_k(u) = k U_{k-1}(u), U_{k-1}(cos t) = sin(k t)/sin t.
  const double t = std::acos(u);
  double s = 0.0;
  for (size_t k = 1; k < c.size(); ++k) s += c[k] * k * std::sin(k * t) / std::sin(t);
  return s;
}

}  // namespace

TEST(PackNumerics, ClenshawMatchesDirectSumForEveryOrder) {
  std::mt19937 gen(7);
  std::uniform_real_distribution<double> dist(-1.0, 1.0);
  for (int n = 1; n <= 9; ++n) {
    std::vector<double> c(n);
    for (double& x : c) x = dist(gen);
    for (double u : {-0.93, -0.3, 0.0, 0.41, 0.97})
      EXPECT_NEAR(clenshaw_real(u, c.data(), n, 1), cheb_direct(c, u), 1e-13) << n;
  }
}

TEST(PackNumerics, OneCoefficientElementSkipsTheLocalCoordinate) {
  // A zero-width element would make u NaN; one coefficient never forms u.
  const double breaks[2] = {1.0, 1.0};
  const double coefs[2] = {2.5, -0.5};
  const PackFit f{breaks, coefs, 1, 1};
  EXPECT_EQ(chebyshev_fit_eval(f, 1.0), 2.5);
  double re, im;
  chebyshev_fit_eval_complex(f, 7.0, &re, &im);
  EXPECT_EQ(re, 2.5);
  EXPECT_EQ(im, -0.5);
}

TEST(PackNumerics, ElementSearchOnKnotsAndOutside) {
  const double b[4] = {0.0, 1.0, 2.0, 4.0};
  EXPECT_EQ(pack_element(b, 3, 1.0), 1);  // interior knot: its own element
  EXPECT_EQ(pack_element(b, 3, 4.0), 2);  // last knot: last element
  EXPECT_EQ(pack_element(b, 3, -5.0), 0);
  EXPECT_EQ(pack_element(b, 3, 9.0), 2);
  EXPECT_EQ(pack_element(b, 3, std::nan("")), 2);
  EXPECT_EQ(pack_local_u(b, 1, 1.0), -1.0);
  EXPECT_EQ(pack_local_u(b, 2, 4.0), 1.0);
}

TEST(PackNumerics, DerivativeSeriesIsTheDerivative) {
  EXPECT_EQ(chebyshev_derivative_series({3.0}), std::vector<double>{0.0});
  EXPECT_EQ(chebyshev_derivative_series({3.0, -2.0}), std::vector<double>{-2.0});
  std::mt19937 gen(11);
  std::uniform_real_distribution<double> dist(-1.0, 1.0);
  for (int n = 3; n <= 10; ++n) {
    std::vector<double> c(n);
    for (double& x : c) x = dist(gen);
    const std::vector<double> d = chebyshev_derivative_series(c);
    ASSERT_EQ(static_cast<int>(d.size()), n - 1);
    for (double u : {-0.8, -0.1, 0.35, 0.9})
      EXPECT_NEAR(clenshaw_real(u, d.data(), n - 1, 1), cheb_direct_deriv(c, u), 1e-11) << n;
  }
}

TEST(PackNumerics, DerivativeFitScalesToX) {
  // Re f = x^3 on [1, 3] in two elements, written exactly in Chebyshev form.
  const double breaks[3] = {1.0, 2.0, 3.0};
  // Per element, coefficients of x^3 in u: x = mid + half*u.
  std::vector<double> coefs(2 * 2 * 4, 0.0);
  for (int e = 0; e < 2; ++e) {
    const double mid = breaks[e] + 0.5, half = 0.5;
    // (mid + half u)^3 = mid^3 + 3 mid^2 half u + 3 mid half^2 u^2 + half^3 u^3
    // u^2 = (T0 + T2)/2, u^3 = (3 T1 + T3)/4
    const double a0 = mid * mid * mid, a1 = 3 * mid * mid * half, a2 = 3 * mid * half * half,
                 a3 = half * half * half;
    const double t[4] = {a0 + a2 / 2, a1 + 3 * a3 / 4, a2 / 2, a3 / 4};
    for (int k = 0; k < 4; ++k) coefs[2 * (e * 4 + k)] = t[k];
  }
  const PackFit f{breaks, coefs.data(), 2, 4};
  const PackFitDerivative d = derivative_fit(f);
  for (double x : {1.0, 1.3, 2.0, 2.7, 3.0}) {
    EXPECT_NEAR(chebyshev_fit_eval(f, x), x * x * x, 1e-13);
    EXPECT_NEAR(derivative_fit_eval(d, x), 3 * x * x, 1e-12);
  }
}

TEST(PackNumerics, SplineReproducesCubicAndIntegratesExactly) {
  auto p = [](double x) { return 0.5 * x * x * x - 2.0 * x * x + x - 3.0; };
  auto P = [](double x) { return 0.125 * x * x * x * x - 2.0 / 3.0 * x * x * x + 0.5 * x * x - 3.0 * x; };
  std::vector<double> s = {0.0, 0.3, 1.1, 1.5, 2.8, 3.0, 4.2};
  std::vector<double> y(s.size());
  for (size_t i = 0; i < s.size(); ++i) y[i] = p(s[i]);
  std::vector<double> c;
  ASSERT_TRUE(spline_nak(s, y.data(), 7, c));
  ASSERT_EQ(c.size(), 24u);
  for (double x : {-0.5, 0.0, 0.2, 1.3, 2.9, 4.2, 5.0})
    EXPECT_NEAR(spline_eval(s, c, 6, x), p(x), 1e-11);
  std::vector<double> I;
  ASSERT_TRUE(cumulative_spline_integral(s, y.data(), 7, I));
  EXPECT_EQ(std::memcmp(&I[0], "\0\0\0\0\0\0\0\0", 8), 0);  // +0.0 exactly
  for (size_t i = 0; i < s.size(); ++i) EXPECT_NEAR(I[i], P(s[i]) - P(s[0]), 1e-11);
  // Knot values are the constant row.
  for (int j = 0; j < 6; ++j) EXPECT_EQ(c[3 * 6 + j], y[j]);
}

// The series fitted together over one knot vector (one, two, four or eight per
// pass, a partial last pass) give spline_nak's tables bit for bit, also
// through strides.
TEST(PackNumerics, SplineSeriesEqualSplineNakBitwise) {
  std::mt19937_64 gen(11);
  std::uniform_real_distribution<double> step(0.01, 1.0), val(-5.0, 5.0);
  for (int n : {4, 5, 9, 64, 301}) {
    std::vector<double> s(n);
    s[0] = -1.0;
    for (int j = 1; j < n; ++j) s[j] = s[j - 1] + step(gen);
    for (int nser : {1, 2, 3, 4, 7, 8, 10, 13}) {
      // Interleaved input (stride 2 within pairs of series) and output.
      std::vector<double> y(static_cast<size_t>(nser) * n);
      for (double& v : y) v = val(gen);
      std::vector<double> tab(static_cast<size_t>(nser) * 4 * (n - 1), -7.0);
      std::vector<const double*> yp;
      std::vector<double*> op;
      for (int i = 0; i < nser; ++i) {
        yp.push_back(y.data() + i);
        op.push_back(tab.data() + i);
      }
      SplineKnots kn;
      ASSERT_TRUE(spline_knots(s.data(), n, kn));
      spline_series(kn, nser, yp.data(), nser, op.data(), nser);
      for (int i = 0; i < nser; ++i) {
        std::vector<double> yi(n), want;
        for (int j = 0; j < n; ++j) yi[j] = y[static_cast<size_t>(j) * nser + i];
        ASSERT_TRUE(spline_nak(s, yi.data(), n, want));
        for (size_t e = 0; e < want.size(); ++e)
          ASSERT_EQ(std::memcmp(&want[e], &tab[e * nser + i], 8), 0) << n << " " << nser << " " << e;
      }
    }
  }
  SplineKnots kn;
  const double s3[3] = {0.0, 1.0, 2.0};
  EXPECT_FALSE(spline_knots(s3, 3, kn));
  EXPECT_EQ(kn.n, 0);
}

// The guided interval search and the paired Clenshaw sums are the plain ones.
// Two knot vectors eliminated together give spline_knots' parts bit for bit.
TEST(PackNumerics, SplineKnotsTwoEqualSplineKnots) {
  std::mt19937_64 gen(13);
  std::uniform_real_distribution<double> step(0.01, 1.0);
  for (int n : {4, 5, 64}) {
    std::vector<double> s1(n), s2(n);
    s1[0] = -1.0;
    s2[0] = 3.0;
    for (int j = 1; j < n; ++j) {
      s1[j] = s1[j - 1] + step(gen);
      s2[j] = s2[j - 1] + step(gen);
    }
    SplineKnots a1, a2, b1, b2;
    ASSERT_TRUE(spline_knots_two(s1.data(), s2.data(), n, a1, a2));
    ASSERT_TRUE(spline_knots(s1.data(), n, b1));
    ASSERT_TRUE(spline_knots(s2.data(), n, b2));
    for (auto [x, y] : {std::pair{&a1, &b1}, std::pair{&a2, &b2}}) {
      ASSERT_EQ(x->n, y->n);
      for (auto [u, v] : {std::pair{&x->h, &y->h}, std::pair{&x->p, &y->p},
                          std::pair{&x->g, &y->g}, std::pair{&x->f, &y->f}}) {
        ASSERT_EQ(u->size(), v->size());
        EXPECT_EQ(std::memcmp(u->data(), v->data(), 8 * u->size()), 0) << n;
      }
      const double xe[6] = {x->a0, x->b0, x->w0, x->a1, x->b1, x->w1};
      const double ye[6] = {y->a0, y->b0, y->w0, y->a1, y->b1, y->w1};
      EXPECT_EQ(std::memcmp(xe, ye, sizeof xe), 0) << n;
    }
  }
  SplineKnots k1, k2;
  const double s3[3] = {0.0, 1.0, 2.0};
  EXPECT_FALSE(spline_knots_two(s3, s3, 3, k1, k2));
  EXPECT_EQ(k1.n, 0);
  EXPECT_EQ(k2.n, 0);
}

// Series in (re, im) pairs, each pair at its own base (four, two and one pair
// per pass), give spline_nak's tables bit for bit and write nothing else, with
// the tables packed or with a wider row stride.
TEST(PackNumerics, SplineSeriesPairsEqualSplineNakBitwise) {
  std::mt19937_64 gen(12);
  std::uniform_real_distribution<double> step(0.01, 1.0), val(-5.0, 5.0);
  for (int n : {4, 5, 9, 301}) {
    std::vector<double> s(n);
    s[0] = 2.0;
    for (int j = 1; j < n; ++j) s[j] = s[j - 1] + step(gen);
    SplineKnots kn;
    ASSERT_TRUE(spline_knots(s.data(), n, kn));
    for (int npairs : {1, 2, 3, 4, 5, 7})
    for (int64_t orow : {int64_t{-1}, int64_t{n + 2}}) {
      // Pair p: values at y + p * (2n + 3), interleaved; tables (rows of `row`
      // entries) at tab + p * (8 row + 5).
      const int64_t row = orow < 0 ? n - 1 : orow;
      const int64_t ys = 2 * n + 3, ts = 8 * row + 5;
      std::vector<double> y(static_cast<size_t>(npairs * ys));
      for (double& v : y) v = val(gen);
      std::vector<double> tab(static_cast<size_t>(npairs * ts), -7.0);
      std::vector<const double*> yp;
      std::vector<double*> op;
      for (int p = 0; p < npairs; ++p) {
        yp.push_back(y.data() + p * ys);
        op.push_back(tab.data() + p * ts);
      }
      spline_series_pairs(kn, npairs, yp.data(), 2, op.data(), 2, orow);
      for (int p = 0; p < npairs; ++p)
        for (int part = 0; part < 2; ++part) {
          std::vector<double> yi(n), want;
          for (int j = 0; j < n; ++j) yi[j] = y[p * ys + 2 * j + part];
          ASSERT_TRUE(spline_nak(s, yi.data(), n, want));
          for (int r = 0; r < 4; ++r)
            for (int j = 0; j < n - 1; ++j) {
              const int64_t at = p * ts + 2 * (r * row + j) + part;
              ASSERT_EQ(std::memcmp(&want[r * (n - 1) + j], &tab[at], 8), 0)
                  << n << " " << npairs << " " << orow << " " << p << " " << part;
              tab[at] = -7.0;
            }
        }
      for (double v : tab) ASSERT_EQ(v, -7.0);  // nothing else written
    }
  }
}

TEST(PackNumerics, GuidedSearchAndPairedClenshaw) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  std::vector<double> a = {-2.0, -1.0, 0.0, 0.5, 1.0, 3.0, 4.0, 8.0, 9.0, 10.0, 11.0, 12.0};
  const int32_t n = static_cast<int32_t>(a.size());
  const double xs[] = {-5.0, -2.0, -1.5, 0.0, 0.7, 1.0, 11.5, 12.0, 20.0, nan, 0.2, -3.0, 5.0, 12.5};
  for (int32_t hint = -1; hint <= n + 1; ++hint)
    for (double x : xs) EXPECT_EQ(upper_index_from(a.data(), n, x, hint), upper_index(a.data(), n, x));
  int32_t h = -1;
  for (double x : xs) {  // a walk through the list, guided by each answer
    const int32_t want = upper_index(a.data(), n, x);
    h = upper_index_from(a.data(), n, x, h);
    EXPECT_EQ(h, want);
  }
  std::mt19937_64 gen(5);
  std::uniform_real_distribution<double> val(-1.0, 1.0);
  for (int32_t m = 1; m <= 9; ++m) {
    std::vector<double> c(2 * m);
    for (double& v : c) v = val(gen);
    for (double u : {-1.0, -0.3, 0.0, 0.61, 1.0, 1.7}) {
      double re, im, pr, pi;
      clenshaw_complex(u, c.data(), m, &re, &im);
      clenshaw_pair(u, c.data(), m, &pr, &pi);
      EXPECT_EQ(std::memcmp(&re, &pr, 8), 0);
      EXPECT_EQ(std::memcmp(&im, &pi, 8), 0);
    }
  }
}

TEST(PackNumerics, SplineRefusesFewerThanFourPoints) {
  std::vector<double> s = {0.0, 1.0, 2.0, 3.0}, y = {1.0, 2.0, 0.0, 5.0};
  std::vector<double> out = {42.0};
  EXPECT_FALSE(spline_nak(s, y.data(), 3, out));
  EXPECT_EQ(out, std::vector<double>{42.0});
  std::vector<double> I = {7.0};
  EXPECT_FALSE(cumulative_spline_integral(std::vector<double>{0.0, 1.0, 2.0}, y.data(), 3, I));
  EXPECT_EQ(I, std::vector<double>{7.0});
  EXPECT_TRUE(spline_nak(s, y.data(), 4, out));
  EXPECT_EQ(out.size(), 12u);
  // Four points: the not-a-knot spline is the interpolating cubic itself.
  for (int j = 0; j < 3; ++j) {
    EXPECT_NEAR(out[j], out[0], 1e-10);  // one cubic coefficient across intervals
  }
}

TEST(PackNumerics, GridsEndExactly) {
  EXPECT_EQ(linspace(3.0, 7.0, 1), std::vector<double>{7.0});
  const std::vector<double> a = linspace(0.1, 0.7, 13);
  EXPECT_EQ(a.front(), 0.1);
  EXPECT_EQ(a.back(), 0.7);
  for (int i = 0; i < 13; ++i) EXPECT_EQ(a[i], i == 12 ? 0.7 : i * ((0.7 - 0.1) / 12.0) + 0.1);
  const std::vector<double> g = logspace(0.013, 0.21, 1000);
  EXPECT_EQ(g.front(), 0.013);
  EXPECT_EQ(g.back(), 0.21);
  for (int i = 1; i < 1000; ++i) EXPECT_GT(g[i], g[i - 1]);
  EXPECT_EQ(logspace(0.2, 0.5, 1), std::vector<double>{0.5});
}

TEST(PackNumerics, InterpClamps) {
  const std::vector<double> g = {1.0, 2.0, 4.0}, v = {10.0, 20.0, 0.0};
  EXPECT_EQ(interp_linear_clamped(0.0, g, v), 10.0);
  EXPECT_EQ(interp_linear_clamped(4.0, g, v), 0.0);
  EXPECT_EQ(interp_linear_clamped(9.0, g, v), 0.0);
  EXPECT_EQ(interp_linear_clamped(1.5, g, v), 15.0);
  EXPECT_EQ(interp_linear_clamped(3.0, g, v), 10.0);
  // NaN: any value, but only from inside the grid.
  const double r = interp_linear_clamped(std::nan(""), g, v);
  (void)r;
  const std::vector<double> one = {1.0}, vone = {5.0};
  EXPECT_EQ(interp_linear_clamped(1.0, one, vone), 5.0);
}

TEST(PackNumerics, SelectKthAndMedianRule) {
  std::vector<double> a = {3.0, 1.0, 2.0, 4.0};
  EXPECT_EQ(select_kth(a.data(), 4, 2), 3.0);
  const double lower = *std::max_element(a.begin(), a.begin() + 2);
  EXPECT_EQ((lower + 3.0) * 0.5, 2.5);
  std::vector<double> dup(50, 1.5);
  EXPECT_EQ(select_kth(dup.data(), 50, 17), 1.5);
  std::mt19937 gen(3);
  std::uniform_int_distribution<int> small(0, 5);
  for (int trial = 0; trial < 200; ++trial) {
    const int n = 1 + trial % 37;
    std::vector<double> v(n);
    for (double& x : v) x = small(gen);  // many duplicates
    std::vector<double> sorted(v);
    std::sort(sorted.begin(), sorted.end());
    const int k = trial % n;
    const double got = select_kth(v.data(), n, k);
    ASSERT_EQ(got, sorted[k]);
    for (int i = 0; i < k; ++i) ASSERT_LE(v[i], got);
    for (int i = k + 1; i < n; ++i) ASSERT_GE(v[i], got);
  }
}

TEST(PackNumerics, NaNSortsLastInSelectionAndMedian) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  std::mt19937 gen(5);
  std::uniform_real_distribution<double> dist(-1.0, 1.0);
  for (int trial = 0; trial < 200; ++trial) {
    const int n = 2 + trial % 31;
    std::vector<double> v(n);
    int nnan = 0;
    for (double& x : v) {
      x = (gen() % 3 == 0) ? nan : dist(gen);
      nnan += x != x;
    }
    std::vector<double> sorted(v);
    std::sort(sorted.begin(), sorted.end(), nan_last_less);
    for (int i = 0; i < n - nnan; ++i) ASSERT_FALSE(std::isnan(sorted[i]));
    const int k = trial % n;
    std::vector<double> w(v);
    const double got = select_kth(w.data(), n, k);
    if (k >= n - nnan)
      ASSERT_TRUE(std::isnan(got));
    else
      ASSERT_EQ(got, sorted[k]);
    const double med = sort_median(v.data(), n);
    const double ref = (n % 2) ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) * 0.5;
    if (std::isnan(ref))
      ASSERT_TRUE(std::isnan(med));
    else
      ASSERT_EQ(med, ref);
  }
}
