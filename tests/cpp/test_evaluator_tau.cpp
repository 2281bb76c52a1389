// Time-map inversion building blocks: the saturating counter, the element
// search with a hint, and the 16-lane tile against the scalar cold Newton.
#include "common/element_fit.hpp"
#include "evaluator_tau.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

using namespace radiredide;

TEST(TauCounter, SaturatesAtInt32Max) {
  int32_t c = std::numeric_limits<int32_t>::max() - 3;
  saturating_atomic_add(&c, 2);
  EXPECT_EQ(c, std::numeric_limits<int32_t>::max() - 1);
  saturating_atomic_add(&c, 256);
  EXPECT_EQ(c, std::numeric_limits<int32_t>::max());
  saturating_atomic_add(&c, 1);
  EXPECT_EQ(c, std::numeric_limits<int32_t>::max());
  int32_t z = 0;
  saturating_atomic_add(&z, 0);
  saturating_atomic_add(&z, 7);
  EXPECT_EQ(z, 7);
}

TEST(ElementSearch, HintAgreesWithSearch) {
  const std::vector<double> br = {0.0, 0.5, 1.25, 2.0, 3.5, 4.0};
  const int32_t E = 5;
  const double xs[] = {-1.0, 0.0, 0.25, 0.5, 1.25, 1.9, 2.0, 3.99, 4.0, 7.0, std::nan("")};
  for (double x : xs)
    for (int32_t hint = 0; hint < E; ++hint)
      EXPECT_EQ(fit::find_element_from(br.data(), E, x, hint), fit::find_element(br.data(), E, x))
          << x << " " << hint;
}

namespace {
template <class T>
void tile_matches_scalar(int seed) {
  // Increasing time map t(phi) = 3 phi + sin(2 phi) on 7 elements, O = 6.
  const int32_t E = 7, O = 6;
  std::vector<T> br(E + 1);
  for (int32_t e = 0; e <= E; ++e) br[e] = T(e) * T(0.75) + T(e * e) * T(0.05);
  std::vector<T> c(2 * E * O, T(0));
  for (int32_t e = 0; e < E; ++e) {
    // Chebyshev coefficients of the map on element e by collocation.
    const double a = br[e], b = br[e + 1];
    for (int32_t k = 0; k < O; ++k) {
      double s = 0.0;
      for (int32_t j = 0; j < O; ++j) {
        const double th = M_PI * (j + 0.5) / O;
        const double x = a + (std::cos(th) + 1.0) * (b - a) / 2.0;
        s += (3.0 * x + std::sin(2.0 * x)) * std::cos(k * th);
      }
      c[2 * (e * O + k)] = T((k == 0 ? 1.0 : 2.0) * s / O);
    }
  }
  TauMap<T> map{br.data(), E, O, c.data()};
  std::mt19937 rng(seed);
  TauBracketState<T> st;
  map.state_init(st);
  std::uniform_real_distribution<double> dist(double(st.t_lo) + 0.01, double(st.t_hi) - 0.01);
  const T eps = std::numeric_limits<T>::epsilon();
  for (int rep = 0; rep < 50; ++rep) {
    T tgt[16], lo[16], hi[16], ph[16];
    bool act[16];
    for (int j = 0; j < 16; ++j) {
      tgt[j] = T(dist(rng));
      if (rep % 3 == 0) tgt[j] = T(double(st.t_lo) + 1.0 + 0.01 * j);  // one element mostly
      TauBracketState<T> s2;
      map.state_init(s2);
      T phase;
      ASSERT_FALSE(map.bracket_walk(s2, tgt[j], phase));
      lo[j] = s2.cell_lo;
      hi[j] = s2.cell_hi;
      act[j] = (j % 5) != 4;
    }
    map.newton_tile16(tgt, lo, hi, act, eps, ph);
    for (int j = 0; j < 16; ++j) {
      if (!act[j]) continue;
      bool conv;
      const T ref = map.newton_cold(tgt[j], eps, lo[j], hi[j], conv);
      EXPECT_EQ(std::memcmp(&ref, &ph[j], sizeof(T)), 0) << rep << " lane " << j;
    }
  }
}
}  // namespace

TEST(TauTile, EveryLaneEqualsScalarColdNewtonDouble) { tile_matches_scalar<double>(1); }
TEST(TauTile, EveryLaneEqualsScalarColdNewtonFloat) { tile_matches_scalar<float>(2); }
