// The instruction-set variants of the batched GP contraction and of the anchor
// contraction give the bits of the scalar code, including the row and column
// tails that do not fill a vector.
#include "gpr_simd.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

using namespace radiredide;
using namespace radiredide::gpr;

namespace {

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

struct BatchFixture {
  int32_t B = 19, n_terms = 5, n_train = 37, EO = 6, Pg = 3;
  std::vector<int32_t> gidx{2, 0, 1};
  std::vector<int64_t> off{0, 6, 12};
  // Position 0: blocks 0 and 1 (in that order); position 1: block 1; position 2: none.
  std::vector<int32_t> cov_start{0, 2, 3, 3}, cov_block{0, 1, 1}, cov_pos{0, 0, 1};
  std::vector<double> T, A0, A1;
  std::vector<std::vector<double>> feat_rows, krow_rows[2];  // [b][value]
  std::mt19937_64 rng{42};

  BatchFixture() {
    std::normal_distribution<double> nd;
    auto fill = [&](std::vector<double>& v, std::size_t n) {
      v.resize(n);
      for (auto& x : v) x = nd(rng) * std::pow(10.0, static_cast<int>(rng() % 9) - 4);
    };
    fill(T, 2 * static_cast<std::size_t>(n_terms) * Pg * EO);
    fill(A0, 2 * static_cast<std::size_t>(n_train) * 1 * EO);
    fill(A1, 2 * static_cast<std::size_t>(n_train) * 2 * EO);
    feat_rows.resize(B);
    for (auto& r : feat_rows) fill(r, n_terms);
    for (auto& k : krow_rows) {
      k.resize(B);
      for (auto& r : k) fill(r, n_train);
    }
  }

  // Panel layout of width W over Bp rows, padding rows repeating the last row.
  std::vector<double> panels(const std::vector<std::vector<double>>& rows, int32_t n, int32_t W,
                             int32_t Bp) const {
    std::vector<double> out(static_cast<std::size_t>(n) * Bp);
    for (int32_t b = 0; b < Bp; ++b)
      for (int32_t v = 0; v < n; ++v)
        out[panel_base(b, W, n) + static_cast<int64_t>(v) * W] = rows[b < B ? b : B - 1][v];
    return out;
  }

  template <class F>
  std::vector<double> run(int32_t W, F contract) const {
    const int32_t Bp = (B + W - 1) / W * W;
    std::vector<double> feat = panels(feat_rows, n_terms, W, Bp);
    std::vector<double> k0 = panels(krow_rows[0], n_train, W, Bp);
    std::vector<double> k1 = panels(krow_rows[1], n_train, W, Bp);
    std::vector<double> krow(k0);
    krow.insert(krow.end(), k1.begin(), k1.end());
    const double* A[2] = {A0.data(), A1.data()};
    std::vector<double> dest(2 * static_cast<std::size_t>(B) * 3 * EO, -7.0);
    BatchContractArgs a{feat.data(), T.data(), n_terms, krow.data(), n_train, B, Bp, W, EO,
                        gidx.data(), off.data(), cov_start.data(), cov_block.data(),
                        cov_pos.data(), A, dest.data(), 3 * EO};
    for (int32_t i = 0; i < Pg * coef_blocks(EO); ++i) contract(a, i);
    return dest;
  }
};

}  // namespace

TEST(GprKernels, BatchVariantsMatchOneRowForm) {
  BatchFixture f;
  const auto ref = f.run(1, [](const BatchContractArgs& a, int32_t i) { contract_one_row(a, i); });
  // Position 2 is served by no block: its values are the trend sums alone, and
  // no element keeps the fill value.
  for (double v : ref) EXPECT_NE(v, -7.0);
  for (Isa isa : {Isa::generic, Isa::avx2, Isa::avx512}) {
    if (!runs(isa)) continue;
    EXPECT_TRUE(same_bits(ref, f.run(kRowPad, [isa](const BatchContractArgs& a, int32_t i) {
      variants::run<Isa::avx512, Isa::avx2, Isa::generic>(isa, ContractRows{}, a, i);
    }))) << int(isa);
  }
}

TEST(GprKernels, AnchorTilesMatchScalarDot2) {
  const int32_t R = 5, C = 19, Kt = 7, Kk = 13;
  std::mt19937_64 rng(7);
  std::normal_distribution<double> nd;
  auto fill = [&](std::size_t n) {
    std::vector<double> v(n);
    for (auto& x : v) x = nd(rng) * std::pow(10.0, static_cast<int>(rng() % 17) - 8);
    return v;
  };
  std::vector<double> rows = fill(R * Kt), krows = fill(R * Kk), trend = fill(2 * Kt * C),
                      alpha = fill(2 * Kk * C);
  auto run = [&](Isa isa, int32_t tile) {
    std::vector<double> out(2 * R * C, -7.0);
    AnchorArgs a{rows.data(), trend.data(), krows.data(), alpha.data(), out.data(), C, Kt, Kk};
    AnchorContract k{a, R, tile, isa};
    const int32_t n = R * ((C + tile - 1) / tile);
    for (int32_t t = 0; t < n; ++t) k(t);
    return out;
  };
  const auto ref = run(Isa::generic, 1);
  for (double v : ref) EXPECT_NE(v, -7.0);
  for (Isa isa : {Isa::avx2, Isa::avx512}) {
    if (runs(isa)) {
      EXPECT_TRUE(same_bits(ref, run(isa, anchor_tile(isa)))) << int(isa);
    }
  }
}
