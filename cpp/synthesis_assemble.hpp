#pragma once
// Inspiral-merger-ringdown assembly: per sample, the time-window mask, the
// cosine blend of the inspiral into the merger-ringdown modes from sample i0 on,
// and the reflection mode sum S = sum_k (wp h_k + wm conj(h_k)), giving
// hp = Re S and hc = -Im S.  One template serves float64 and float32; the
// float32 twin computes in float throughout.
#include "common/lanes.hpp"
#include "common/staging.hpp"

#include <Kokkos_Core.hpp>

#include <cmath>
#include <complex>
#include <cstdint>

namespace radiredide {
namespace assemble {

template <class T>
struct Consts;
template <>
struct Consts<double> {
  static constexpr double eps = 1e-9;
  static constexpr double pi = 3.141592653589793;
  static KOKKOS_INLINE_FUNCTION double cos(double x) { return std::cos(x); }
};
template <>
struct Consts<float> {
  static constexpr float eps = 1e-9f;
  static constexpr float pi = 3.14159274f;
  static KOKKOS_INLINE_FUNCTION float cos(float x) { return cosf(x); }
};

template <class T>
struct Kernel {
  using C = std::complex<T>;
  UView<const C, 3> h_insp;  // (B, K_i, N)
  UView<const C, 3> h_mr;    // (>= B, K_m, N - i0)
  UView<const T, 2> t_geo;   // (B, N)
  UView<const T, 1> tau0, t_start, tau_end;
  UView<const int32_t, 1> idx, jdx;
  UView<const C, 2> wp, wm;  // (B, K)
  UView<T, 2> hp, hc;        // (B, N)
  T mr_hi, b0, blend1;
  int32_t N, K, i0, L, len;

  Isa isa = Isa::generic;

  // Per-row constants of the mask and the blend window.
  struct Row {
    int32_t b;
    T tau0_b, lo_edge, hi_edge, start_edge, tau_end_b, span;
  };

  KOKKOS_INLINE_FUNCTION void operator()(const int32_t item) const;

  // Samples lo .. hi-1 of row b.  Inspiral samples whose lanes all lie inside
  // the mask go W at a time through the lane vectors V; every other sample
  // takes the per-sample path.  Both do each sample's operations in the same
  // order, so the bits do not depend on which path a sample takes.
  template <class V>
  RR_INLINE void run(const int32_t item) const {
    constexpr int32_t W = lanes::width<V>;
    const int32_t b = item / L;
    const int32_t q = item % L;
    const int64_t lo64 = static_cast<int64_t>(q) * len;
    if (lo64 >= N) return;
    const int32_t lo = static_cast<int32_t>(lo64);
    const int32_t hi = static_cast<int32_t>(lo64 + len < N ? lo64 + len : N);
    const T eps = Consts<T>::eps;
    Row r;
    r.b = b;
    r.tau0_b = tau0(b);
    r.lo_edge = r.tau0_b - eps;
    r.hi_edge = mr_hi + eps;
    r.start_edge = t_start(b) - eps;
    r.tau_end_b = tau_end(b);
    const T e = r.tau_end_b > blend1 ? blend1 : r.tau_end_b;
    r.span = e - b0;
    const int32_t insp_end = hi < i0 ? hi : i0;  // samples before it take the inspiral branch
    const T* trow = &t_geo(b, 0);
    T* hprow = &hp(b, 0);
    T* hcrow = &hc(b, 0);
    int32_t n = lo;
    for (; n + W <= insp_end; n += W) {
      const V tv = RR_LANES_LOAD(V, trow + n);
      const auto in = (tv >= r.lo_edge) & (tv <= r.hi_edge) & ~(tv < r.start_edge);
      bool all = true;
      for (int32_t l = 0; l < W; ++l) all = all && in[l] != 0;
      if (!all) {
        for (int32_t l = 0; l < W; ++l) sample(r, n + l);
        continue;
      }
      V sre = V{}, sim = V{};
      for (int32_t k = 0; k < K; ++k) {
        V hre, him;
        lanes::load_pairs(reinterpret_cast<const T*>(&h_insp(b, idx(k), n)), hre, him);
        accumulate(wp(b, k), wm(b, k), hre, him, sre, sim);
      }
      lanes::store(hprow + n, sre);
      lanes::store(hcrow + n, -sim);
    }
    for (; n < hi; ++n) sample(r, n);
  }

  RR_INLINE void sample(const Row& r, const int32_t n) const {
    const int32_t b = r.b;
    const T t = t_geo(b, n);
    if (!(t >= r.lo_edge && t <= r.hi_edge && !(t < r.start_edge))) {
      hp(b, n) = T(0);
      hc(b, n) = T(0);
      return;
    }
    const T tf = r.tau0_b > t ? r.tau0_b : t;
    T sre = T(0), sim = T(0);
    if (n < i0) {
      for (int32_t k = 0; k < K; ++k) {
        const C h = h_insp(b, idx(k), n);
        accumulate(wp(b, k), wm(b, k), h.real(), h.imag(), sre, sim);
      }
    } else {
      const T tt = mr_hi < tf ? mr_hi : tf;
      const T u = (tt - b0) / r.span;
      const T uc = u < T(0) ? T(0) : (u > T(1) ? T(1) : u);
      const T c = Consts<T>::cos(uc * Consts<T>::pi);
      const T w = (T(1) - c) * T(0.5);
      const T wi = T(1) - w;
      const bool insp = r.tau_end_b >= tt;
      const int32_t nm = n - i0;
      for (int32_t k = 0; k < K; ++k) {
        T ire = T(0), iim = T(0);
        if (insp) {
          const C hi_ = h_insp(b, idx(k), n);
          ire = hi_.real();
          iim = hi_.imag();
        }
        const C hm = h_mr(b, jdx(k), nm);
        const T hre = w * hm.real() + wi * ire;
        const T him = w * hm.imag() + wi * iim;
        accumulate(wp(b, k), wm(b, k), hre, him, sre, sim);
      }
    }
    hp(b, n) = sre;
    hc(b, n) = -sim;
  }

  // S += wp h + wm conj(h), part by part; V is T or a lane vector of T (the
  // weights are the same in every lane).
  template <class V>
  static RR_INLINE void accumulate(const C& p, const C& q, const V& hre, const V& him, V& sre,
                                   V& sim) {
    const V pre = p.real() * hre - p.imag() * him;
    const V pim = p.real() * him + p.imag() * hre;
    const V nhim = -him;
    const V qre = q.real() * hre - q.imag() * nhim;
    const V qim = q.imag() * hre + q.real() * nhim;
    sre = sre + (pre + qre);
    sim = sim + (pim + qim);
  }
};

template <class T>
KOKKOS_INLINE_FUNCTION void Kernel<T>::operator()(const int32_t item) const {
  variants::run<Isa::avx512, Isa::avx2, Isa::generic>(
      isa,
      []<Isa I>(const Kernel& k, int32_t i) RR_INLINE_LAMBDA { k.template run<lanes::vec_t<T, I>>(i); },
      *this, item);
}

}  // namespace assemble
}  // namespace radiredide
