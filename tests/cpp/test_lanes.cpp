// The lane-vector kernels give the same bits at every instruction set: the
// value block (double and float, power table, repeated products, rates), the
// ragged batch synthesis and the assembly, each run work item by work item
// with the generic, AVX2 and AVX-512 lanes the processor supports.
#include "common/element_fit.hpp"
#include "evaluator_kernels.hpp"
#include "synthesis_assemble.hpp"
#include "synthesis_hybrid.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <complex>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

using namespace radiredide;

namespace {

template <class T>
bool same_bits(const std::vector<T>& a, const std::vector<T>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0;
}

std::vector<lanes::Isa> supported() {
  std::vector<lanes::Isa> v{lanes::Isa::generic};
#if defined(__x86_64__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) v.push_back(lanes::Isa::avx2);
  if (__builtin_cpu_supports("avx512f")) v.push_back(lanes::Isa::avx512);
#endif
  return v;
}

template <class T>
void value_kernel_case(const std::vector<int32_t>& emm, bool shared, bool with_rates) {
  const int32_t B = 4, P = static_cast<int32_t>(emm.size()), E = 6, O = 7, N = 203;
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> ud(-1.0, 1.0);
  std::vector<T> breaks(E + 1);
  for (int32_t e = 0; e <= E; ++e) breaks[e] = static_cast<T>(e * 1.5 + 0.3 * ud(rng));
  std::vector<T> coefs(2 * B * P * E * O), rates(B * P), x((shared ? 1 : B) * N);
  for (auto& c : coefs) c = static_cast<T>(ud(rng));
  for (auto& r : rates) r = static_cast<T>(ud(rng));
  for (auto& v : x) v = static_cast<T>(-1.0 + 11.0 * (ud(rng) + 1.0) * 0.5);
  fit::ElementFitRef<T> f;
  f.breaks = breaks.data();
  f.E = E;
  f.emm = emm.data();
  f.P = P;
  f.phase_sign = T(-1);
  f.coefs = coefs.data();
  f.O = O;
  f.rates = with_rates ? rates.data() : nullptr;
  auto run = [&](lanes::Isa isa) {
    std::vector<T> out(2 * B * P * N, T(-7));
    const int32_t chunks = 3;
    ValueKernel<T> k{f,      x.data(), shared, out.data(), N, chunks, 0,
                     fit::max_abs_mode(emm.data(), 0, P), value_row_group(B, shared), isa};
    for (int64_t i = 0; i < int64_t(chunks) * B; ++i) k(i);
    return out;
  };
  const auto ref = run(lanes::Isa::generic);
  for (T v : ref) ASSERT_NE(v, T(-7));
  for (lanes::Isa isa : supported()) EXPECT_TRUE(same_bits(ref, run(isa))) << int(isa);
}

// a + s, a - s and s * a with the scalar s at p, as the helpers form them on
// 512-bit lanes (the broadcast in the memory operand) and on 128-bit lanes.
#if defined(__x86_64__)
RR_LANES_AVX512 void bcast_ops_avx512(const double* a, const double* p, double* out) {
  const lanes::d8 x = RR_LANES_LOAD(lanes::d8, a);
  lanes::store(out, lanes::add_bcast(x, p));
  lanes::store(out + 8, lanes::sub_bcast(x, p));
  lanes::store(out + 16, lanes::mul_bcast(p, x));
}
#endif
void bcast_ops_generic(const double* a, const double* p, double* out) {
  for (int h = 0; h < 8; h += 2) {
    const lanes::d2 x = RR_LANES_LOAD(lanes::d2, a + h);
    lanes::store(out + h, lanes::add_bcast(x, p));
    lanes::store(out + 8 + h, lanes::sub_bcast(x, p));
    lanes::store(out + 16 + h, lanes::mul_bcast(p, x));
  }
}

}  // namespace

// The operand order is the scalar code's: a - s (not s - a), and signed zeros
// and a NaN scalar come out with the scalar operation's bits.
TEST(Lanes, BroadcastOperandsKeepTheScalarOperations) {
  const double a[8] = {1.0, -0.0, 0.0, 3.25, -2.5, 1e300, -1e-310, 7.0};
  const double nan = __builtin_nan("0x5");
  for (const double s : {1.5, -0.0, 0.0, -1e300, nan}) {
    std::vector<double> want(24);
    for (int l = 0; l < 8; ++l) {
      want[l] = a[l] + s;
      want[8 + l] = a[l] - s;
      want[16 + l] = s * a[l];
    }
    std::vector<double> got(24, -7.0);
    bcast_ops_generic(a, &s, got.data());
    EXPECT_TRUE(same_bits(want, got)) << s;
#if defined(__x86_64__)
    if (__builtin_cpu_supports("avx512f")) {
      std::fill(got.begin(), got.end(), -7.0);
      bcast_ops_avx512(a, &s, got.data());
      EXPECT_TRUE(same_bits(want, got)) << s;
    }
#endif
  }
}

TEST(Lanes, ValueKernelBitsAtEveryWidth) {
  for (bool shared : {true, false})
    for (bool rates : {false, true}) {
      value_kernel_case<double>({2, 0, -3, 1}, shared, rates);
      value_kernel_case<double>({2, 0, -17, 1}, shared, rates);
      value_kernel_case<float>({2, 0, -3, 1}, shared, rates);
      value_kernel_case<float>({17, 0, -3, 1}, shared, rates);
    }
}

TEST(Lanes, BatchSynthesisBitsAtEveryWidth) {
  const int32_t B = 3, K = 3, J = 301;
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> ud(0.0, 1.0);
  std::vector<int64_t> off{0}, coff{0};
  std::vector<double> tk, pk;
  for (int32_t b = 0; b < B; ++b) {
    const int32_t n = 9 + 4 * b;
    for (int32_t i = 0; i < n; ++i) {
      tk.push_back(10.0 * i / (n - 1) + (b == 2 && i == 4 ? 30.0 : 0.0));  // row 2 unsorted
      pk.push_back(20.0 * i / (n - 1));
    }
    off.push_back(off.back() + n);
    coff.push_back(coff.back() + n - 1);
  }
  const int32_t C = static_cast<int32_t>(coff.back());
  std::vector<double> pc(4 * C);
  for (int32_t c = 0; c < C; ++c) {
    pc[c] = 0.01 * ud(rng);
    pc[C + c] = 0.02 * ud(rng);
    pc[2 * C + c] = 2.0;
    pc[3 * C + c] = 2.0 * ud(rng);
  }
  std::vector<std::complex<double>> mc(K * 4 * C);
  for (auto& v : mc) v = {ud(rng) - 0.5, ud(rng) - 0.5};
  std::vector<double> t(B * J);
  for (int32_t b = 0; b < B; ++b)
    for (int32_t j = 0; j < J; ++j) t[b * J + j] = -1.0 + 12.0 * j / (J - 1) + (j % 37 == 0 ? 0.7 : 0.0);
  for (const std::vector<int32_t>& m : {std::vector<int32_t>{2, -1, 0}, std::vector<int32_t>{17, -2, 1}}) {
    int32_t M = 0;
    bool neg = false;
    for (int32_t v : m) {
      M = std::max(M, v < 0 ? -v : v);
      neg = neg || v < 0;
    }
    auto run = [&](lanes::Isa isa) {
      std::vector<std::complex<double>> out(B * K * J, {-7.0, -7.0});
      hybrid::BatchKernel f;
      f.t_knots = UView<const double, 1>(tk.data(), tk.size());
      f.phi_knots = UView<const double, 1>(pk.data(), pk.size());
      f.phi_c = UView<const double, 2>(pc.data(), 4, C);
      f.mode_c = UView<const std::complex<double>, 3>(mc.data(), K, 4, C);
      f.m = UView<const int32_t, 1>(m.data(), K);
      f.off = UView<const int64_t, 1>(off.data(), B + 1);
      f.coff = UView<const int64_t, 1>(coff.data(), B + 1);
      f.t = UView<const double, 2>(t.data(), B, J);
      f.out = UView<std::complex<double>, 3>(out.data(), B, K, J);
      f.s = -1.0;
      f.C = C;
      f.K = K;
      f.M = M;
      f.any_negative = neg;
      f.J = J;
      f.chunks = 2;
      f.isa = isa;
      for (int64_t i = 0; i < int64_t(B) * f.chunks; ++i) f(i);
      return out;
    };
    const auto ref = run(lanes::Isa::generic);
    for (auto v : ref) ASSERT_NE(v.real(), -7.0);
    for (lanes::Isa isa : supported()) EXPECT_TRUE(same_bits(ref, run(isa))) << int(isa);
  }
}

template <class T>
void assemble_case() {
  using C = std::complex<T>;
  const int32_t B = 3, Ki = 4, K = 3, N = 517, i0 = 400;
  std::mt19937_64 rng(9);
  std::uniform_real_distribution<double> ud(-1.0, 1.0);
  auto cfill = [&](std::size_t n) {
    std::vector<C> v(n);
    for (auto& x : v) x = C(static_cast<T>(ud(rng)), static_cast<T>(ud(rng)));
    return v;
  };
  std::vector<C> hi = cfill(B * Ki * N), hm = cfill(B * Ki * (N - i0)), wp = cfill(B * K),
                 wm = cfill(B * K);
  std::vector<T> tg(B * N), tau0{T(-90), T(-80.5), T(-95)}, ts{T(-85), T(-90), T(-60.25)},
      te{T(50), T(12), T(30)};
  for (int32_t b = 0; b < B; ++b)
    for (int32_t n = 0; n < N; ++n) tg[b * N + n] = static_cast<T>(-100.0 + 0.25 * n);
  std::vector<int32_t> idx{2, 0, 3}, jdx{1, 1, 0};
  auto run = [&](lanes::Isa isa) {
    std::vector<T> hp(B * N, T(-7)), hc(B * N, T(-7));
    assemble::Kernel<T> f;
    f.h_insp = UView<const C, 3>(hi.data(), B, Ki, N);
    f.h_mr = UView<const C, 3>(hm.data(), B, Ki, N - i0);
    f.t_geo = UView<const T, 2>(tg.data(), B, N);
    f.tau0 = UView<const T, 1>(tau0.data(), B);
    f.t_start = UView<const T, 1>(ts.data(), B);
    f.tau_end = UView<const T, 1>(te.data(), B);
    f.idx = UView<const int32_t, 1>(idx.data(), K);
    f.jdx = UView<const int32_t, 1>(jdx.data(), K);
    f.wp = UView<const C, 2>(wp.data(), B, K);
    f.wm = UView<const C, 2>(wm.data(), B, K);
    f.hp = UView<T, 2>(hp.data(), B, N);
    f.hc = UView<T, 2>(hc.data(), B, N);
    f.mr_hi = T(20);
    f.b0 = T(0);
    f.blend1 = T(15);
    f.N = N;
    f.K = K;
    f.i0 = i0;
    f.L = 2;
    f.len = (N + 1) / 2;
    f.isa = isa;
    for (int32_t i = 0; i < B * f.L; ++i) f(i);
    hp.insert(hp.end(), hc.begin(), hc.end());
    return hp;
  };
  const auto ref = run(lanes::Isa::generic);
  for (T v : ref) ASSERT_NE(v, T(-7));
  for (lanes::Isa isa : supported()) EXPECT_TRUE(same_bits(ref, run(isa))) << int(isa);
}

TEST(Lanes, AssemblyBitsAtEveryWidth) {
  assemble_case<double>();
  assemble_case<float>();
}
