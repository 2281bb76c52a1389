// The two Chebyshev forms of common/chebyshev.hpp: their sums against a
// long-double reference, their exact operation order on a short series, and
// their lane drivers against the scalar sums bit for bit.
#include "common/chebyshev.hpp"
#include "common/lanes.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

using namespace radiredide;

namespace {

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// sum_k c_k T_k(u) and its u-derivative, T_k and T_k' by their recurrences.
void reference(const std::vector<double>& c, double u, long double& s, long double& ds) {
  long double t0 = 1, t1 = u, d0 = 0, d1 = 1;
  s = c[0];
  ds = 0;
  for (size_t k = 1; k < c.size(); ++k) {
    s += c[k] * t1;
    ds += c[k] * d1;
    const long double t2 = 2 * u * t1 - t0, d2 = 2 * t1 + 2 * u * d1 - d0;
    t0 = t1;
    t1 = t2;
    d0 = d1;
    d1 = d2;
  }
}

std::vector<double> series(int32_t n, std::mt19937_64& gen) {
  std::uniform_real_distribution<double> val(-1.0, 1.0);
  std::vector<double> c(n);
  for (double& v : c) v = val(gen);
  return c;
}

const double kU[] = {-1.0, -0.73, -0.1, 0.0, 0.42, 0.999, 1.0};

}  // namespace

TEST(Chebyshev, BothFormsSumTheSeries) {
  std::mt19937_64 gen(3);
  const double h = 0.25;
  for (int32_t n = 1; n <= 14; ++n) {
    const std::vector<double> c = series(n, gen);
    const auto cf = cheb::strided(c.data(), 1);
    for (double u : kU) {
      long double s, ds;
      reference(c, u, s, ds);
      EXPECT_NEAR(cheb::three_term_sum(n, cf, u), static_cast<double>(s), 1e-14 * n) << n;
      EXPECT_NEAR(cheb::pack_real(n, cf, u), static_cast<double>(s), 1e-14 * n) << n;
      const double t = u + u;
      double v = 0, dv = 0;
      cheb::three_term_d<1, 1, 0, double>(n, cf, cheb::same(u), cheb::same(t), h,
                                          [&](int, int, double a, double b) {
                                            v = a;
                                            dv = b;
                                          });
      EXPECT_TRUE(same_bits(v, cheb::three_term_sum(n, cf, u))) << n;
      EXPECT_NEAR(dv, static_cast<double>(ds / h), 1e-13 * n * n) << n;
    }
  }
}

// The operation order of each form, written out for three coefficients.
TEST(Chebyshev, FormsRoundInTheirOwnOrder) {
  std::mt19937_64 gen(9);
  for (int rep = 0; rep < 50; ++rep) {
    const std::vector<double> c = series(3, gen);
    const auto cf = cheb::strided(c.data(), 1);
    for (double u : kU) {
      const double t = u + u;
      const double b2 = ((t * 0.0) + c[2]) - 0.0;
      const double b1 = ((t * b2) + c[1]) - 0.0;
      EXPECT_TRUE(same_bits(cheb::three_term_sum(3, cf, u), ((u * b1) + c[0]) - b2));
      const double nb = c[1] + t * c[2];
      EXPECT_TRUE(same_bits(cheb::pack_real(3, cf, u), (c[0] - c[2]) + nb * u));
      EXPECT_TRUE(same_bits(cheb::pack_real(2, cf, u), u * c[1] + c[0]));
      EXPECT_TRUE(same_bits(cheb::pack_real(1, cf, u), c[0]));
    }
  }
}

// Lane vectors (one u per lane), interleaved parts, both state layouts of the
// three-term form and the pack form: every lane has the scalar bits.
TEST(Chebyshev, LanesHaveTheScalarBits) {
  using lanes::d4;
  std::mt19937_64 gen(17);
  const double h = 1.5;
  for (int32_t n = 1; n <= 11; ++n) {
    const std::vector<double> c = series(2 * n, gen);  // n interleaved (re, im)
    const auto cf = cheb::interleaved(c.data());
    const d4 u4 = {-0.9, 0.13, 0.5, 1.0}, t4 = u4 + u4;
    d4 s[2][1], ds[2][1], r[2][1], dr[2][1], pk[2];
    const auto put = [](d4 (&x)[2][1], d4 (&dx)[2][1]) {
      return [&x, &dx](int v, int p, const d4& a, const d4& b) {
        x[p][v] = a;
        dx[p][v] = b;
      };
    };
    cheb::three_term_d<1, 2, 0, d4>(n, cf, cheb::same(u4), cheb::same(t4), h, put(s, ds));
    cheb::three_term_rows_d<1, 2, cheb::unroll_lanes, d4>(n, cf, cheb::same(u4), cheb::same(t4),
                                                         h, put(r, dr));
    if (n >= 3) cheb::pack_long<2>(n, cf, u4, pk);
    for (int l = 0; l < 4; ++l) {
      double re, im, dre, dim, pack[2];
      cheb::three_term_complex_d(c.data(), n, u4[l], h, re, im, dre, dim);
      cheb::pack_sum<2>(n, cf, u4[l], pack);
      for (int p = 0; p < 2; ++p) {
        const double want = p == 0 ? re : im, dwant = p == 0 ? dre : dim;
        EXPECT_TRUE(same_bits(s[p][0][l], want)) << n << " " << l;
        EXPECT_TRUE(same_bits(r[p][0][l], want)) << n << " " << l;
        EXPECT_TRUE(same_bits(ds[p][0][l], dwant)) << n << " " << l;
        EXPECT_TRUE(same_bits(dr[p][0][l], dwant)) << n << " " << l;
        if (n >= 3) {
          EXPECT_TRUE(same_bits(pk[p][l], pack[p])) << n << " " << l;
        }
      }
    }
  }
}
