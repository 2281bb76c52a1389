#include "common/chunking.hpp"
#include "pack/pn4.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using namespace radiredide;

TEST(Pn4Chunks, EightItemsPerThreadAndFourSamplesPerChunk) {
  EXPECT_EQ(pn_sample_chunk_count(1000, 1, 4), 32);
  EXPECT_EQ(pn_sample_chunk_count(1000, 64, 4), 1);
  EXPECT_EQ(pn_sample_chunk_count(5, 3, 4), 2);
  EXPECT_EQ(pn_sample_chunk_count(0, 3, 4), 1);
  EXPECT_EQ(pn_sample_chunk_count(100, 0, 4), 1);  // empty batch: no division by zero
}

TEST(Pn4Tables, DeterministicAndPartialTableHoldsWeightTable) {
  std::vector<double> a(kModeCoeffCount, 1.0), b(kModeCoeffCount, 2.0), d(kDModeCoeffCount, 3.0);
  mode_coeffs(2.5, 0.3, -0.7, a.data());
  mode_coeffs(2.5, 0.3, -0.7, b.data());
  dmode_coeffs(2.5, 0.3, -0.7, d.data());
  EXPECT_EQ(std::memcmp(a.data(), b.data(), sizeof(double) * kModeCoeffCount), 0);
  EXPECT_EQ(std::memcmp(a.data(), d.data(), sizeof(double) * kModeCoeffCount), 0);
  // so mode_weights may be fed the partial table
  double r1[8], i1[8], r2[8], i2[8];
  mode_weights(0.3, a.data(), r1, i1);
  mode_weights(0.3, d.data(), r2, i2);
  EXPECT_EQ(std::memcmp(r1, r2, sizeof r1), 0);
  EXPECT_EQ(std::memcmp(i1, i2, sizeof i1), 0);
}

TEST(Pn4Tables, LanesGiveTheScalarBits) {
  double t[kModeCoeffCount], dt[kDModeCoeffCount];
  mode_coeffs(3.0, -0.2, 0.6, t);
  dmode_coeffs(3.0, -0.2, 0.6, dt);
  const double v[4] = {0.07, 0.19, 0.33, 0.41};
  double re4[8 * 4], im4[8 * 4], dre4[32 * 4], dim4[32 * 4];
  pn4::eval_weights<false, 4>(v, t, re4, im4);
  pn4::eval_weights<true, 4>(v, dt, dre4, dim4);
  for (int l = 0; l < 4; ++l) {
    double re[8], im[8], dre[32], dim[32];
    mode_weights(v[l], t, re, im);
    dmode_weights(v[l], dt, dre, dim);
    for (int k = 0; k < 8; ++k) {
      EXPECT_EQ(std::memcmp(&re[k], &re4[k * 4 + l], 8), 0);
      EXPECT_EQ(std::memcmp(&im[k], &im4[k * 4 + l], 8), 0);
    }
    for (int k = 0; k < 32; ++k) {
      EXPECT_EQ(std::memcmp(&dre[k], &dre4[k * 4 + l], 8), 0);
      EXPECT_EQ(std::memcmp(&dim[k], &dim4[k * 4 + l], 8), 0);
    }
  }
}
