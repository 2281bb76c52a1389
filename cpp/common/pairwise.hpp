#pragma once
// pairwise_sum adds term(0) ... term(n - 1) in the order of NumPy's pairwise
// float64 summation (blocks of at most 128 terms, eight accumulators inside a
// block, halving above 128), so that sums taken inside a kernel row agree bit
// for bit with the NumPy computations they replace.  It runs inside kernel
// bodies: no recursion, no allocation, no shared state.  Each term is evaluated
// exactly once.
//
// The value type of the sum is the term function's return type: a plain
// double, or a small fixed vector (SumVec<N>) whose components are summed
// independently, each in exactly the order a separate double sum would use.
// That lets one pass over the terms produce several sums that share expensive
// per-term work without changing any of their bits.
#include "common/lanes.hpp"

#include <cstdint>

namespace radiredide {

// Eight doubles: the eight accumulators of a pairwise block side by side.
using lanes8d = lanes::d8;

// N values of T added component by component.  An aggregate: Sums<T, N>{} is
// all +0.0, a default-initialised one is left uninitialised.
template <class T, int N>
struct Sums {
  T v[N];
};

template <class T, int N>
RR_INLINE Sums<T, N> operator+(const Sums<T, N>& a, const Sums<T, N>& b) {
  Sums<T, N> r;
  for (int i = 0; i < N; ++i) r.v[i] = a.v[i] + b.v[i];
  return r;
}

// N doubles: N sums formed in one pass.
template <int N>
using SumVec = Sums<double, N>;

// N sums, eight accumulators each.
template <int N>
using LaneSums = Sums<lanes8d, N>;

// Sum of term(s) ... term(s + n - 1) for one block, n <= 128.  Fewer than 8
// terms are added to +0.0 in order; otherwise eight accumulators start from
// the first eight terms themselves (no zero is added), take every further
// group of eight, are combined as ((r0 + r1) + (r2 + r3)) + ((r4 + r5) +
// (r6 + r7)), and the n mod 8 remaining terms are added in order.
template <class Term>
RR_INLINE auto pairwise_block(const Term& term, int64_t s, int32_t n)
    -> decltype(term(int64_t{})) {
  using V = decltype(term(int64_t{}));
  if (n < 8) {
    V acc{};
    for (int32_t i = 0; i < n; ++i) acc = acc + term(s + i);
    return acc;
  }
  V r0 = term(s + 0), r1 = term(s + 1), r2 = term(s + 2), r3 = term(s + 3);
  V r4 = term(s + 4), r5 = term(s + 5), r6 = term(s + 6), r7 = term(s + 7);
  const int32_t m = n - (n % 8);
  for (int32_t i = 8; i < m; i += 8) {
    r0 = r0 + term(s + i + 0);
    r1 = r1 + term(s + i + 1);
    r2 = r2 + term(s + i + 2);
    r3 = r3 + term(s + i + 3);
    r4 = r4 + term(s + i + 4);
    r5 = r5 + term(s + i + 5);
    r6 = r6 + term(s + i + 6);
    r7 = r7 + term(s + i + 7);
  }
  V res = ((r0 + r1) + (r2 + r3)) + ((r4 + r5) + (r6 + r7));
  for (int32_t i = m; i < n; ++i) res = res + term(s + i);
  return res;
}

// The splitting of pairwise_sum: block(s, count) sums one block of at most
// 128 terms.  A range of more than 128 terms is split at k = the largest
// multiple of 8 not above n / 2; the left k terms are summed first, then the
// right n - k, and the two sums are added.  The recursion is unrolled over a
// fixed stack: an entry first holds the count of a right half still to do
// (bit clear), then the finished sum of its left half (bit set).  26 entries
// cover any 32-bit count.
template <class V, class Block>
RR_INLINE V pairwise_reduce(const Block& block, int32_t n) {
  constexpr int depth = 26;
  V left[depth];
  int32_t right[depth];
  uint32_t done = 0;  // bit t set: left[t] holds a finished left sum
  int top = 0;

  int64_t start = 0;
  int32_t count = n < 0 ? 0 : n;
  for (;;) {
    while (count > 128) {
      const int32_t k = (count >> 1) & ~int32_t(7);
      right[top] = count - k;
      done &= ~(uint32_t(1) << top);
      ++top;
      count = k;
    }
    V res = block(start, count);
    for (;;) {
      if (top == 0) return res;
      const int t = top - 1;
      if (done & (uint32_t(1) << t)) {
        res = left[t] + res;
        done &= ~(uint32_t(1) << t);
        --top;
      } else {
        const int32_t r = right[t];
        left[t] = res;
        done |= uint32_t(1) << t;
        start += count;
        count = r;
        break;
      }
    }
  }
}

// Sum of term(0) ... term(n - 1), n >= 0, in NumPy's pairwise order.
template <class Term>
RR_INLINE auto pairwise_sum(const Term& term, int32_t n)
    -> decltype(term(int64_t{})) {
  using V = decltype(term(int64_t{}));
  return pairwise_reduce<V>(
      [&](int64_t s, int32_t c) RR_INLINE_LAMBDA { return pairwise_block(term, s, c); }, n);
}

// The block's combination of its accumulators: ((r0 + r1) + (r2 + r3)) +
// ((r4 + r5) + (r6 + r7)).
RR_INLINE double combine8(const lanes8d& r) {
  return ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
}

template <int N>
RR_INLINE SumVec<N> combine8(const LaneSums<N>& r) {
  SumVec<N> s;
  for (int i = 0; i < N; ++i) s.v[i] = combine8(r.v[i]);
  return s;
}

// pairwise_sum with eight terms at a time where a block takes them in groups
// of eight: term8(i) gives terms i ... i + 7 as the lanes of a vector (a
// lanes8d, or a LaneSums<N> for SumVec<N> terms), term1(i) gives one term.
// Accumulator j of a block is lane j, so every sum is added in exactly the
// order of pairwise_sum over term1; each term is still evaluated once.
template <class Term8, class Term1>
RR_INLINE auto pairwise_sum_lanes(const Term8& term8, const Term1& term1, int32_t n)
    -> decltype(term1(int64_t{})) {
  using V = decltype(term1(int64_t{}));
  return pairwise_reduce<V>(
      [&](int64_t s, int32_t c) RR_INLINE_LAMBDA {
        if (c < 8) {
          V acc{};
          for (int32_t i = 0; i < c; ++i) acc = acc + term1(s + i);
          return acc;
        }
        auto r = term8(s);
        const int32_t m = c - (c % 8);
        for (int32_t i = 8; i < m; i += 8) r = r + term8(s + i);
        V res = combine8(r);
        for (int32_t i = m; i < c; ++i) res = res + term1(s + i);
        return res;
      },
      n);
}

}  // namespace radiredide
