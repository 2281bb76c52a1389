#pragma once
// Chebyshev sums S(u) = sum_k c_k T_k(u) by Clenshaw's recurrence.  The module
// uses two forms of it.  They are the same recurrence, associated differently,
// so they round differently and are NOT interchangeable: every kernel keeps the
// form its results were defined with.
//
// Three-term form (zero start).  With t = u + u and b_n = b_(n+1) = 0,
//     b_k = ((t * b_(k+1)) + c_k) - b_(k+2)          for k = n-1 .. 1,
//     S   = ((u * b_1) + c_0) - b_2;
// the derivative in u runs alongside (d_n = d_(n+1) = 0),
//     d_k = ((b_(k+1) + b_(k+1)) + (t * d_(k+1))) - d_(k+2),
//     dS  = (((u * d_1) + b_1) - d_2) / h,
// h being the half width of the element, so that dS is the derivative in x.
// Used by the element-fit evaluators (common/element_fit.hpp, evaluator_*),
// the merger-ringdown segments (swsph_mr.cpp) and the fused blend and pieces
// lanes (pack/fused_lanes.cpp).
//
// Pack form (two registers started at the top two coefficients).  For n >= 3,
//     b = c_(n-1), a = c_(n-2);
//     for k = n-3 .. 0:  nb = a + t*b;  a = c_k - b;  b = nb;
//     S = a + b*u;
// n == 1 gives S = c_0 and n == 2 gives S = u*c_1 + c_0.  Here a holds
// c_k - b_(k+2) before t*b_(k+1) is added, where the three-term form adds the
// coefficient first; one- and two-coefficient series are exact, with no
// operation on a zero state.  Used by the PN-extension pack stage (pack/
// pack_numerics.hpp, pack_row.cpp), whose single-row and batched builders
// promise bitwise equal rows through it: it stays a form of its own.
//
// Both forms are written for a lane type V that is a scalar (double, float) or
// a GCC vector (lanes::vec_t<T, I>, lanes::d4, lanes::d8, ...): the operators
// are the element-wise IEEE operations, so every lane does exactly the scalar
// sequence (the build keeps -ffp-contract=off).  Coefficients come from an
// accessor cf(k, p) -> c_k of part p (a scalar, broadcast over the lanes, or a
// V, e.g. gathered from several pieces); see interleaved() and strided().
//
// The lane drivers evaluate NP parts (e.g. real and imaginary) in each of NV
// lane groups: group v at uf(v) with tf(v) = uf(v) + uf(v), every part with
// its own state, all groups sharing the coefficients.  Results go to
// out(v, p, S) (with the derivative: out(v, p, S, dS)).  Options:
//   unroll_lanes   the loops over the groups unrolled at compile time (for
//                  small arrays of lane vectors that are to stay registers;
//                  otherwise they are plain loops, which GCC vectorises when
//                  the groups are scalar lanes);
//   unroll_orders  the loop over the orders unrolled (GCC unroll 32).
// Everything is always inlined (variant bodies inline it); the accessors are
// lambdas marked RR_INLINE_LAMBDA.
#include "common/variants.hpp"

#include <cstdint>
#include <type_traits>
#include <utility>

namespace radiredide::cheb {

inline constexpr unsigned unroll_lanes = 1u;
inline constexpr unsigned unroll_orders = 2u;

// ----------------------------------------------------------------- accessors

// c_k of part p of interleaved (re, im) coefficients: c[2k + p].
template <class T>
RR_INLINE auto interleaved(const T* c) {
  return [c](int32_t k, int p) RR_INLINE_LAMBDA { return c[2 * k + p]; };
}

// c_k of one part stored with a stride: c[k * stride].
template <class T>
RR_INLINE auto strided(const T* c, int32_t stride) {
  return [c, stride](int32_t k, int) RR_INLINE_LAMBDA {
    return c[static_cast<int64_t>(k) * stride];
  };
}

// The same u (or t) for every lane group.
template <class V>
RR_INLINE auto same(const V& x) {
  return [&x](int) RR_INLINE_LAMBDA -> const V& { return x; };
}

// Lane group v's entry of an array.
template <class V>
RR_INLINE auto at(const V* a) {
  return [a](int v) RR_INLINE_LAMBDA -> const V& { return a[v]; };
}

// f(i) for i = 0 .. N-1, unrolled at compile time or as a plain loop.
template <int N, bool Unroll, class F>
RR_INLINE void each(const F& f) {
  if constexpr (Unroll) {
    [&]<int... i>(std::integer_sequence<int, i...>) RR_INLINE_LAMBDA {
      (f(i), ...);
    }(std::make_integer_sequence<int, N>{});
  } else {
    for (int i = 0; i < N; ++i) f(i);
  }
}

// f(v, p) for every part p (unrolled) of every lane group v.
template <int NV, int NP, bool Unroll, class F>
RR_INLINE void each_state(const F& f) {
  each<NV, Unroll>([&](int v) RR_INLINE_LAMBDA {
    each<NP, true>([&](int p) RR_INLINE_LAMBDA { f(v, p); });
  });
}

// x in every lane of V (x itself for a scalar V), lane by lane from zero.
template <class V, class T>
RR_INLINE V splat(T x) {
  if constexpr (std::is_arithmetic_v<V>) {
    return x;
  } else {
    V v{};
    for (int l = 0; l < static_cast<int>(sizeof(V) / sizeof(T)); ++l) v[l] = x;
    return v;
  }
}

// --------------------------------------------------------- three-term form

// b_k from b_(k+1) = b1, b_(k+2) = b2 and c_k.
template <class V, class C>
RR_INLINE V three_term_step(const V& t, const V& b1, const C& c, const V& b2) {
  return ((t * b1) + c) - b2;
}
// S from b_1, b_2 and c_0.
template <class V, class C>
RR_INLINE V three_term_close(const V& u, const V& b1, const C& c0, const V& b2) {
  return ((u * b1) + c0) - b2;
}
// d_k from b_(k+1) = b1, d_(k+1) = d1, d_(k+2) = d2.
template <class V>
RR_INLINE V three_term_dstep(const V& t, const V& b1, const V& d1, const V& d2) {
  return ((b1 + b1) + (t * d1)) - d2;
}
// dS from b_1, d_1, d_2 and the half width h.
template <class V, class H>
RR_INLINE V three_term_dclose(const V& u, const V& b1, const V& d1, const V& d2, const H& h) {
  return (((u * d1) + b1) - d2) / h;
}

namespace detail {

template <unsigned Opt, class F>
RR_INLINE void orders_down(int32_t hi, int32_t lo, const F& f) {
  if constexpr ((Opt & unroll_orders) != 0) {
#pragma GCC unroll 32
    for (int32_t k = hi; k >= lo; --k) f(k);
  } else {
    for (int32_t k = hi; k >= lo; --k) f(k);
  }
}

// The coefficients c_k of the NP parts, read once per order, before the loops
// over the lane groups.
template <int NP, class CF>
struct Coefs {
  using C = std::remove_cv_t<std::remove_reference_t<decltype(std::declval<const CF&>()(0, 0))>>;
  C c[NP];
  RR_INLINE Coefs(const CF& cf, int32_t k) {
    each<NP, true>([&](int p) RR_INLINE_LAMBDA { c[p] = cf(k, p); });
  }
};

// The state of NV x NP three-term recurrences is kept in separate arrays per
// quantity (b_j, d_j), not in one structure: GCC then walks all of them with
// one index in the plain lane loops.
template <class V, int NV, int NP>
using State = V[NV][NP];

template <int NV, int NP, bool U, bool D, class V>
RR_INLINE void zero(State<V, NV, NP>& b, State<V, NV, NP>& d) {
  each_state<NV, NP, U>([&](int v, int p) RR_INLINE_LAMBDA {
    b[v][p] = V{};
    if constexpr (D) d[v][p] = V{};
  });
}

// S (and dS) to out from b_1, d_1 (xb, xd) and b_2, d_2 (yb, yd).
template <int NV, int NP, bool U, bool D, class V, class CF, class UF, class H, class Out>
RR_INLINE void finish(const CF& cf, const UF& uf, const H& h, const Out& out,
                      const State<V, NV, NP>& xb, const State<V, NV, NP>& xd,
                      const State<V, NV, NP>& yb, const State<V, NV, NP>& yd) {
  const Coefs<NP, CF> c0(cf, 0);
  each_state<NV, NP, U>([&](int v, int p) RR_INLINE_LAMBDA {
    const V& u = uf(v);
    const V s = three_term_close(u, xb[v][p], c0.c[p], yb[v][p]);
    if constexpr (D)
      out(v, p, s, three_term_dclose(u, xb[v][p], xd[v][p], yd[v][p], h));
    else
      out(v, p, s);
  });
}

// f(v, p, t, c_k) for every state at order k: t of the lane group, c_k of
// the part (read once per order).
template <int NV, int NP, bool U, class CF, class TF, class F>
RR_INLINE void at_order(int32_t k, const CF& cf, const TF& tf, const F& f) {
  const Coefs<NP, CF> ck(cf, k);
  each_state<NV, NP, U>([&](int v, int p) RR_INLINE_LAMBDA { f(v, p, tf(v), ck.c[p]); });
}

// x2 <- x1, x1 <- x (the state moved down one order).
template <class V>
RR_INLINE void shift(V& x1, V& x2, const V& x) {
  x2 = x1;
  x1 = x;
}

// The three-term sums.  Rows == false: the state shifted after every order
// (b1, d1 hold b_(k+1), d_(k+1); b2, d2 hold b_(k+2), d_(k+2)).  Rows ==
// true: the two state rows used in turn (b1, d1 hold b_(k+1) and b2, d2 hold
// b_(k+2) at the start of each pair of orders), the same operations renamed,
// with no shifting.
template <bool Rows, int NV, int NP, unsigned Opt, bool D, class V, class CF, class UF, class TF,
          class H, class Out>
RR_INLINE void three_term_run(int32_t n, const CF& cf, const UF& uf, const TF& tf, const H& h,
                              const Out& out) {
  constexpr bool U = (Opt & unroll_lanes) != 0;
  State<V, NV, NP> b1, b2, d1, d2;
  zero<NV, NP, U, D>(b1, d1);
  zero<NV, NP, U, D>(b2, d2);
  if constexpr (!Rows) {
    orders_down<Opt>(n - 1, 1, [&](int32_t k) RR_INLINE_LAMBDA {
      at_order<NV, NP, U>(k, cf, tf, [&](int v, int p, const V& t, const auto& c)
                                         RR_INLINE_LAMBDA {
        if constexpr (D)
          shift(d1[v][p], d2[v][p], three_term_dstep(t, b1[v][p], d1[v][p], d2[v][p]));
        shift(b1[v][p], b2[v][p], three_term_step(t, b1[v][p], c, b2[v][p]));
      });
    });
    finish<NV, NP, U, D>(cf, uf, h, out, b1, d1, b2, d2);
  } else {
    // Order k into row y (b_k, d_k) from row x (b_(k+1), d_(k+1)); y held
    // b_(k+2), d_(k+2).
    const auto order = [&](int32_t k, const State<V, NV, NP>& xb, const State<V, NV, NP>& xd,
                           State<V, NV, NP>& yb, State<V, NV, NP>& yd) RR_INLINE_LAMBDA {
      at_order<NV, NP, U>(k, cf, tf, [&](int v, int p, const V& t, const auto& c)
                                         RR_INLINE_LAMBDA {
        if constexpr (D) yd[v][p] = three_term_dstep(t, xb[v][p], xd[v][p], yd[v][p]);
        yb[v][p] = three_term_step(t, xb[v][p], c, yb[v][p]);
      });
    };
    int32_t q = n - 1;
    for (; q >= 2; q -= 2) {
      order(q, b1, d1, b2, d2);
      order(q - 1, b2, d2, b1, d1);
    }
    if (q == 1) {
      order(1, b1, d1, b2, d2);
      finish<NV, NP, U, D>(cf, uf, h, out, b2, d2, b1, d1);
    } else {
      finish<NV, NP, U, D>(cf, uf, h, out, b1, d1, b2, d2);
    }
  }
}

}  // namespace detail

// S of NP parts in NV lane groups, shifting state: out(v, p, S).
template <int NV, int NP, unsigned Opt = 0, class V, class CF, class UF, class TF, class Out>
RR_INLINE void three_term(int32_t n, const CF& cf, const UF& uf, const TF& tf, const Out& out) {
  detail::three_term_run<false, NV, NP, Opt, false, V>(n, cf, uf, tf, 0, out);
}
// S and dS, shifting state: out(v, p, S, dS).
template <int NV, int NP, unsigned Opt = 0, class V, class CF, class UF, class TF, class H,
          class Out>
RR_INLINE void three_term_d(int32_t n, const CF& cf, const UF& uf, const TF& tf, const H& h,
                            const Out& out) {
  detail::three_term_run<false, NV, NP, Opt, true, V>(n, cf, uf, tf, h, out);
}
// S with the two state rows used in turn: out(v, p, S).
template <int NV, int NP, unsigned Opt = 0, class V, class CF, class UF, class TF, class Out>
RR_INLINE void three_term_rows(int32_t n, const CF& cf, const UF& uf, const TF& tf,
                               const Out& out) {
  detail::three_term_run<true, NV, NP, Opt, false, V>(n, cf, uf, tf, 0, out);
}
// S and dS with the two state rows used in turn: out(v, p, S, dS).
template <int NV, int NP, unsigned Opt = 0, class V, class CF, class UF, class TF, class H,
          class Out>
RR_INLINE void three_term_rows_d(int32_t n, const CF& cf, const UF& uf, const TF& tf,
                                 const H& h, const Out& out) {
  detail::three_term_run<true, NV, NP, Opt, true, V>(n, cf, uf, tf, h, out);
}

// One part at u (one lane vector or one scalar): S.
template <unsigned Opt = 0, class V, class CF>
RR_INLINE V three_term_sum(int32_t n, const CF& cf, const V& u) {
  const V t = u + u;
  V s;
  three_term<1, 1, Opt, V>(n, cf, same(u), same(t),
                           [&](int, int, const V& r) RR_INLINE_LAMBDA { s = r; });
  return s;
}

// Complex sum of n interleaved (re, im) coefficients at u.
template <class T>
RR_INLINE void three_term_complex(const T* c, int32_t n, T u, T& re, T& im) {
  const T t = u + u;
  three_term<1, 2, 0, T>(n, interleaved(c), same(u), same(t),
                         [&](int, int p, T s) RR_INLINE_LAMBDA { (p == 0 ? re : im) = s; });
}

// Complex sum and its derivative in x (h the half width of the element).
template <class T>
RR_INLINE void three_term_complex_d(const T* c, int32_t n, T u, T h, T& re, T& im, T& dre,
                                    T& dim) {
  const T t = u + u;
  three_term_d<1, 2, 0, T>(n, interleaved(c), same(u), same(t), h,
                           [&](int, int p, T s, T ds) RR_INLINE_LAMBDA {
                             (p == 0 ? re : im) = s;
                             (p == 0 ? dre : dim) = ds;
                           });
}

// ---------------------------------------------------------------- pack form

// One order k: (b, a) = (b_(k+1), c_(k+1) - b_(k+2)) becomes (b_k, c_k - b_(k+1)).
template <class V, class C>
RR_INLINE void pack_step(V& b, V& a, const V& t, const C& ck) {
  const V nb = a + t * b;
  a = ck - b;
  b = nb;
}
// S from the final (b, a).
template <class V>
RR_INLINE V pack_close(const V& u, const V& b, const V& a) {
  return a + b * u;
}

// S of NP parts at u for n >= 3 coefficients, parts side by side: s[p].
// Scalar coefficients are copied into every lane of a vector V.
template <int NP, class V, class CF>
RR_INLINE void pack_long(int32_t n, const CF& cf, const V& u, V (&s)[NP]) {
  const V t = u + u;
  V b[NP], a[NP];
  each<NP, true>([&](int p) RR_INLINE_LAMBDA {
    using C = std::remove_cv_t<std::remove_reference_t<decltype(cf(0, 0))>>;
    b[p] = splat<V, C>(cf(n - 1, p));
    a[p] = splat<V, C>(cf(n - 2, p));
  });
  for (int32_t k = n - 3; k >= 0; --k)
    each<NP, true>([&](int p) RR_INLINE_LAMBDA { pack_step(b[p], a[p], t, cf(k, p)); });
  each<NP, true>([&](int p) RR_INLINE_LAMBDA { s[p] = pack_close(u, b[p], a[p]); });
}

// S of NP parts at a scalar u, any n >= 1.
template <int NP, class T, class CF>
RR_INLINE void pack_sum(int32_t n, const CF& cf, T u, T (&s)[NP]) {
  if (n == 1) {
    each<NP, true>([&](int p) RR_INLINE_LAMBDA { s[p] = cf(0, p); });
    return;
  }
  if (n == 2) {
    each<NP, true>([&](int p) RR_INLINE_LAMBDA { s[p] = u * cf(1, p) + cf(0, p); });
    return;
  }
  pack_long<NP>(n, cf, u, s);
}

// One real part at u, any n >= 1.
template <class T, class CF>
RR_INLINE T pack_real(int32_t n, const CF& cf, T u) {
  T s[1];
  pack_sum<1>(n, cf, u, s);
  return s[0];
}

}  // namespace radiredide::cheb
