#pragma once
// Time-map inversion: the real part of the tau piece is the time t(phi) of a
// batch row; find the phase of every target time.  A bracket of 1024 equal
// phase cells over [breaks[0], breaks[E]] (ten levels of bisection, then
// walked upward for later targets) and a safeguarded Newton iteration capped
// at 30 passes.  Samples go in 256-sample blocks per row; each block runs
// either the 16-lane tile solver (cold starts at the cell midpoints) or the
// sequential solver (secant starts from the two previous solutions).
#include "common/chebyshev.hpp"
#include "common/element_fit.hpp"

#include <Kokkos_Core.hpp>

#include <cstdint>
#include <limits>

namespace radiredide {

inline constexpr int32_t tau_block = 256;
inline constexpr int32_t tau_cells = 1024;
inline constexpr int32_t tau_max_passes = 30;
inline constexpr int32_t tau_lanes = 16;

// Adds f to the counter with a compare-and-swap loop that stops at INT32_MAX.
KOKKOS_INLINE_FUNCTION void saturating_atomic_add(int32_t* counter, int32_t f) {
  if (f <= 0) return;
  int32_t cur = Kokkos::atomic_fetch_add(counter, 0);
  while (true) {
    const int32_t next = cur > std::numeric_limits<int32_t>::max() - f
                             ? std::numeric_limits<int32_t>::max()
                             : cur + f;
    if (next == cur) return;
    const int32_t seen = Kokkos::atomic_compare_exchange(counter, cur, next);
    if (seen == cur) return;
    cur = seen;
  }
}

template <class T>
struct TauBracketState {
  T lo_end, hi_end;
  T t_lo, t_hi;
  T cell_lo, cell_hi;
  T t_cell_hi;
  T prev_target;
  int32_t cell;
  T t1, phi1, t2, phi2;
  int32_t history;
};

// The time map of one batch row: real parts of coefs[b, tau_piece, :, :].
// The knots are strictly increasing (checked before any launch), so an
// element found once can be confirmed by two comparisons on later passes.
template <class T>
struct TauMap {
  const T* breaks;
  int32_t E;
  int32_t O;
  const T* c;  // coefs[b, tau_piece, 0, 0], interleaved complex

  KOKKOS_INLINE_FUNCTION const T* elem(int32_t e) const {
    return c + 2 * (static_cast<int64_t>(e) * O);
  }

  KOKKOS_INLINE_FUNCTION T value(T x) const {
    const int32_t e = E < 2 ? 0 : fit::find_element(breaks, E, x);
    const T u = (x - breaks[e]) * T(2) / (breaks[e + 1] - breaks[e]) - T(1);
    return cheb::three_term_sum(O, cheb::strided(elem(e), 2), u);
  }

  // One Newton pass quantities at x: value v, phase derivative tp.
  KOKKOS_INLINE_FUNCTION void value_deriv(int32_t e, T x, T& v, T& tp) const {
    const T hw = (breaks[e + 1] - breaks[e]) * T(0.5);
    const T u = (x - breaks[e]) / hw - T(1);
    const T tu = u + u;
    cheb::three_term_d<1, 1, 0, T>(O, cheb::strided(elem(e), 2), cheb::same(u), cheb::same(tu),
                                   hw, [&](int, int, T s, T ds) RR_INLINE_LAMBDA {
                                     v = s;
                                     tp = ds;
                                   });
  }

  // Safeguarded Newton in (lo, hi) from x0; the threshold belongs to x0.
  KOKKOS_INLINE_FUNCTION T newton(T target, T eps, T lo, T hi, T x0, bool& converged) const {
    const T thr = (fit::fit_abs(x0) + T(1)) * (T(4) * eps);
    T x = x0;
    int32_t e = -1;
    for (int32_t pass = 0; pass < tau_max_passes; ++pass) {
      e = e < 0 ? fit::find_element(breaks, E, x) : fit::find_element_from(breaks, E, x, e);
      T v, tp;
      value_deriv(e, x, v, tp);
      const T step = (v - target) / tp;
      if (thr >= fit::fit_abs(step)) {
        converged = true;
        return x;
      }
      if (v <= target)
        lo = x;
      else
        hi = x;
      T xn = x - step;
      if (!(lo < xn && xn < hi)) xn = (lo + hi) * T(0.5);
      x = xn;
    }
    converged = false;
    return x;
  }

  KOKKOS_INLINE_FUNCTION T newton_cold(T target, T eps, T lo, T hi, bool& converged) const {
    return newton(target, eps, lo, hi, (lo + hi) * T(0.5), converged);
  }

  KOKKOS_INLINE_FUNCTION void state_init(TauBracketState<T>& s) const {
    s.lo_end = breaks[0];
    s.hi_end = breaks[E];
    s.t_lo = value(s.lo_end);
    s.t_hi = value(s.hi_end);
    s.cell_lo = s.lo_end;
    s.cell_hi = s.hi_end;
    s.t_cell_hi = s.t_hi;
    s.prev_target = T(0);
    s.cell = -1;
    s.t1 = s.phi1 = s.t2 = s.phi2 = T(0);
    s.history = 0;
  }

  // Bounds of cell k by ten halvings of [lo_end, hi_end].
  KOKKOS_INLINE_FUNCTION void cell_bounds(const TauBracketState<T>& s, int32_t k, T& lo,
                                          T& hi) const {
    lo = s.lo_end;
    hi = s.hi_end;
    for (int32_t j = 9; j >= 0; --j) {
      const T mid = (hi + lo) * T(0.5);
      if ((k >> j) & 1)
        lo = mid;
      else
        hi = mid;
    }
  }

  // Finds or walks to the cell of a bracketed target (cell search, walk, keep).
  KOKKOS_INLINE_FUNCTION void locate_cell(TauBracketState<T>& s, T target) const {
    if (s.cell < 0) {
      T lo = s.lo_end, hi = s.hi_end;
      int32_t index = 0;
      for (int32_t j = 9; j >= 0; --j) {
        const T mid = (hi + lo) * T(0.5);
        if (target >= value(mid)) {
          lo = mid;
          index |= (1 << j);
        } else {
          hi = mid;
        }
      }
      s.cell = index;
      s.cell_lo = lo;
      s.cell_hi = hi;
      s.t_cell_hi = index == tau_cells - 1 ? s.t_hi : value(hi);
    } else if (target >= s.t_cell_hi) {
      while (s.cell < tau_cells - 1) {
        s.cell = s.cell + 1;
        cell_bounds(s, s.cell, s.cell_lo, s.cell_hi);
        s.t_cell_hi = s.cell == tau_cells - 1 ? s.t_hi : value(s.cell_hi);
        if (target < s.t_cell_hi) break;
      }
    }
  }

  // Returns true when the target is clamped (phase set), false when bracketed.
  KOKKOS_INLINE_FUNCTION bool clamp(const TauBracketState<T>& s, T target, T& phase) const {
    if (target <= s.t_lo) {
      phase = s.lo_end;
      return true;
    }
    if (target >= s.t_hi) {
      phase = s.hi_end;
      return true;
    }
    return false;
  }

  KOKKOS_INLINE_FUNCTION bool bracket_walk(TauBracketState<T>& s, T target, T& phase) const {
    if (target < s.prev_target) s.cell = -1;
    s.prev_target = target;
    if (clamp(s, target, phase)) return true;
    locate_cell(s, target);
    return false;
  }

  KOKKOS_INLINE_FUNCTION T solve_sequential(TauBracketState<T>& s, T target, T eps,
                                            int32_t warm_start, bool& converged) const {
    if (target < s.prev_target) {
      s.cell = -1;
      if (warm_start == 1) s.history = 0;
    }
    s.prev_target = target;
    T phase;
    if (clamp(s, target, phase)) {
      converged = true;
      return phase;
    }
    locate_cell(s, target);
    if (warm_start == 0) return newton_cold(target, eps, s.cell_lo, s.cell_hi, converged);
    T x0 = (s.cell_hi + s.cell_lo) * T(0.5);
    if (s.history == 2 && !(s.t1 == s.t2)) {
      const T g = ((s.phi1 - s.phi2) * (target - s.t1)) / (s.t1 - s.t2) + s.phi1;
      if (s.cell_lo < g && g < s.cell_hi) x0 = g;
    }
    phase = newton(target, eps, s.cell_lo, s.cell_hi, x0, converged);
    s.t2 = s.t1;
    s.phi2 = s.phi1;
    s.t1 = target;
    s.phi1 = phase;
    s.history = s.history + 1 < 2 ? s.history + 1 : 2;
    return phase;
  }

  // 16 lanes sharing one element per pass; any divergence of elements sends
  // the lanes still active to the cold scalar Newton on their cells.  Every
  // phase equals that of the cold scalar Newton for the sample alone.
  KOKKOS_INLINE_FUNCTION int32_t newton_tile16(const T* tgt, const T* lo, const T* hi,
                                               const bool* active_in, T eps, T* phase) const {
    constexpr int32_t W = tau_lanes;
    T x[W], thr[W], L[W], H[W], v[W], step[W];
    bool active[W];
    for (int32_t j = 0; j < W; ++j) {
      active[j] = active_in[j];
      x[j] = T(0);
      thr[j] = T(0);
      L[j] = lo[j];
      H[j] = hi[j];
      if (active[j]) {
        x[j] = (hi[j] + lo[j]) * T(0.5);
        thr[j] = (fit::fit_abs(x[j]) + T(1)) * (T(4) * eps);
      }
    }
    int32_t passes = 0;
    int32_t e = -1;  // element of the previous pass
    while (passes < tau_max_passes) {
      int32_t first = -1;
      bool diverged = false;
      for (int32_t j = 0; j < W; ++j) {
        if (!active[j]) continue;
        if (first < 0) {
          first = j;
          e = e < 0 ? fit::find_element(breaks, E, x[j])
                    : fit::find_element_from(breaks, E, x[j], e);
        } else if (!fit::element_is(breaks, E, e, x[j])) {
          diverged = true;
          break;
        }
      }
      if (first < 0) break;
      if (diverged) {
        int32_t failures = 0;
        for (int32_t j = 0; j < W; ++j) {
          if (!active[j]) {
            phase[j] = x[j];
            continue;
          }
          bool conv;
          phase[j] = newton_cold(tgt[j], eps, lo[j], hi[j], conv);
          if (!conv) ++failures;
        }
        return failures;
      }
      // All lanes in element e: value, derivative and step per lane.
      const T b0 = breaks[e];
      const T hw = (breaks[e + 1] - b0) * T(0.5);
      const T* ce = elem(e);
      T u[W], tu[W];
      for (int32_t j = 0; j < W; ++j) {
        u[j] = (x[j] - b0) / hw - T(1);
        tu[j] = u[j] + u[j];
      }
      cheb::three_term_d<W, 1, 0, T>(O, cheb::strided(ce, 2), cheb::at(u), cheb::at(tu), hw,
                                     [&](int j, int, T s, T tp) RR_INLINE_LAMBDA {
                                       v[j] = s;
                                       step[j] = (v[j] - tgt[j]) / tp;
                                     });
      for (int32_t j = 0; j < W; ++j) {
        const bool still = active[j] && !(thr[j] >= fit::fit_abs(step[j]));
        if (still) {
          T lo_j, hi_j;
          if (tgt[j] >= v[j]) {
            lo_j = x[j];
            hi_j = H[j];
          } else {
            lo_j = L[j];
            hi_j = x[j];
          }
          T xn = x[j] - step[j];
          if (!(lo_j < xn && xn < hi_j)) xn = (lo_j + hi_j) * T(0.5);
          L[j] = lo_j;
          H[j] = hi_j;
          x[j] = xn;
        }
        active[j] = still;
      }
      ++passes;
    }
    int32_t failures = 0;
    for (int32_t j = 0; j < W; ++j) {
      phase[j] = x[j];
      if (active[j]) ++failures;
    }
    return failures;
  }

  // Tiled block: bracket every sample in order, then Newton 16 lanes at a time.
  KOKKOS_INLINE_FUNCTION int32_t solve_block_tiled(const T* tgt, int32_t n, T eps,
                                                   T* out) const {
    TauBracketState<T> s;
    state_init(s);
    T lo[tau_block], hi[tau_block], ph[tau_block];
    bool act[tau_block];
    for (int32_t i = 0; i < n; ++i) {
      T phase;
      if (bracket_walk(s, tgt[i], phase)) {
        ph[i] = phase;
        act[i] = false;
        lo[i] = hi[i] = phase;
      } else {
        lo[i] = s.cell_lo;
        hi[i] = s.cell_hi;
        ph[i] = T(0);
        act[i] = true;
      }
    }
    int32_t failures = 0;
    for (int32_t q = 0; q < n; q += tau_lanes) {
      T tt[tau_lanes], tl[tau_lanes], th[tau_lanes], tp[tau_lanes];
      bool ta[tau_lanes];
      bool any = false;
      for (int32_t j = 0; j < tau_lanes; ++j) {
        const int32_t i = q + j;
        const bool exists = i < n;
        ta[j] = exists && act[i];
        any = any || ta[j];
        tt[j] = exists ? tgt[i] : T(0);
        tl[j] = exists ? lo[i] : T(0);
        th[j] = exists ? hi[i] : T(0);
      }
      if (!any) continue;
      failures += newton_tile16(tt, tl, th, ta, eps, tp);
      for (int32_t j = 0; j < tau_lanes; ++j)
        if (ta[j]) ph[q + j] = tp[j];
    }
    for (int32_t i = 0; i < n; ++i) out[i] = ph[i];
    return failures;
  }

  KOKKOS_INLINE_FUNCTION int32_t solve_block_sequential(const T* tgt, int32_t n, T eps,
                                                        int32_t warm_start, T* out) const {
    TauBracketState<T> s;
    state_init(s);
    int32_t failures = 0;
    for (int32_t i = 0; i < n; ++i) {
      bool conv;
      out[i] = solve_sequential(s, tgt[i], eps, warm_start, conv);
      if (!conv) ++failures;
    }
    return failures;
  }
};

// Stage 1 of evaluate_time / evaluate_time_grad: work item i takes row
// b = i / chunks and whole 256-sample blocks of it.
template <class T>
struct TauSolveKernel {
  const T* breaks;
  const T* coefs;  // (B, P, E, O) complex, interleaved
  const T* targets;  // (R, N)
  T* phi;            // (B, N)
  int32_t* counter;
  int32_t E, P, O, tau_piece, N, R, chunks, bpc, nblocks, warm_start;
  T eps;
  Isa isa = Isa::generic;  // instruction set the lane loops are compiled for

  KOKKOS_INLINE_FUNCTION void operator()(const int64_t i) const;

  KOKKOS_INLINE_FUNCTION void run(const int64_t i) const {
    const int32_t b = static_cast<int32_t>(i / chunks);
    const int32_t c = static_cast<int32_t>(i % chunks);
    const int64_t k_begin = static_cast<int64_t>(c) * bpc;
    const int64_t k_end = k_begin + bpc < nblocks ? k_begin + bpc : nblocks;
    TauMap<T> map{breaks, E, O,
                  coefs + 2 * ((static_cast<int64_t>(b) * P + tau_piece) * E) * O};
    const T* trow = targets + (R == 1 ? int64_t(0) : static_cast<int64_t>(b) * N);
    T* prow = phi + static_cast<int64_t>(b) * N;
    int32_t failures = 0;
    for (int64_t k = k_begin; k < k_end; ++k) {
      const int64_t start = k * tau_block;
      const int64_t stop = start + tau_block < N ? start + tau_block : N;
      if (start >= stop) continue;
      const int32_t n = static_cast<int32_t>(stop - start);
      int32_t f = warm_start == 0
                      ? map.solve_block_tiled(trow + start, n, eps, prow + start)
                      : map.solve_block_sequential(trow + start, n, eps, warm_start,
                                                   prow + start);
      failures = failures > std::numeric_limits<int32_t>::max() - f
                     ? std::numeric_limits<int32_t>::max()
                     : failures + f;
    }
    saturating_atomic_add(counter, failures);
  }
};

// The work item compiled whole (every callee inlined) for each tier; the lane
// loops are the same IEEE operations at every width.
template <class T>
KOKKOS_INLINE_FUNCTION void TauSolveKernel<T>::operator()(const int64_t i) const {
  variants::run_flat<Isa::avx512, Isa::avx2, Isa::generic>(
      isa, []<Isa>(const TauSolveKernel& k, int64_t j) RR_INLINE_LAMBDA { k.run(j); }, *this, i);
}

}  // namespace radiredide
