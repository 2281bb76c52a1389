#pragma once
// Double-precision numerics of the extension-pack builder: element-fit
// evaluation (real part, complex value, derivative of the real part), the
// Chebyshev derivative series, the not-a-knot cubic spline with its evaluation
// and exact running integral, grids with exact end points, clamped linear
// interpolation and k-th-smallest selection.
//
// The single-row and the batched builders promise bitwise equal rows, and both
// rest on these routines: every expression is written in the order it has to
// be rounded in (the build forbids FMA contraction).  The Chebyshev sums are
// the pack form of common/chebyshev.hpp, deliberately not the evaluators'
// three-term form: the operation order and the handling of one-coefficient
// series differ.
//
// Complex coefficients are read as interleaved (re, im) double pairs, and the
// real and imaginary parts follow the same real steps.
#include <Kokkos_Core.hpp>

#include "common/chebyshev.hpp"
#include "common/element_fit.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "pack/uninit_vector.hpp"

namespace radiredide {

// NaN-last total order: a strict weak ordering on all doubles (NaN compares
// equal to NaN and greater than every number), equal to `<` on numbers.
KOKKOS_INLINE_FUNCTION bool nan_last_less(double a, double b) {
  if (b != b) return a == a;
  return a < b;
}

// Index of the first of the n values a[i] for which before(a[i]) is false,
// for a predicate that holds on a leading run of the values (the bisection of
// std::lower_bound and std::upper_bound).
template <class Before>
KOKKOS_INLINE_FUNCTION int32_t partition_index(const double* a, int32_t n, const Before& before) {
  int32_t lo = 0;
  int32_t count = n;
  while (count > 0) {
    const int32_t step = count / 2;
    const int32_t it = lo + step;
    if (before(a[it])) {
      lo = it + 1;
      count -= step + 1;
    } else {
      count = step;
    }
  }
  return lo;
}

// Index of the first of the n values greater than x (std::upper_bound): a NaN
// x gives n.
KOKKOS_INLINE_FUNCTION int32_t upper_index(const double* a, int32_t n, double x) {
  return partition_index(a, n, [x](double v) { return !(x < v); });
}

// Index of the first of the n values not less than x (std::lower_bound).
KOKKOS_INLINE_FUNCTION int32_t lower_index(const double* a, int32_t n, double x) {
  return partition_index(a, n, [x](double v) { return v < x; });
}

// upper_index over increasing values, started from a guess: when no value
// before `hint` is greater than x, the answer lies at or after it and is found
// by a short walk (then bisection); otherwise by bisection over all n.  Either
// way the index is upper_index's, so a caller that walks through increasing x
// keeps the previous answer as the next guess.
KOKKOS_INLINE_FUNCTION int32_t upper_index_from(const double* a, int32_t n, double x,
                                                int32_t hint) {
  if (hint < 0 || hint > n || (hint > 0 && x < a[hint - 1])) return upper_index(a, n, x);
  for (int32_t steps = 0; steps < 8; ++steps, ++hint) {
    if (hint == n || x < a[hint]) return hint;
  }
  return hint + upper_index(a + hint, n - hint, x);
}

// ------------------------------------------------------------ element fits

// Non-owning view of one element fit: E + 1 increasing breaks and E x O
// complex coefficients (entry e*O + k, interleaved re/im).
struct PackFit {
  const double* breaks = nullptr;
  const double* coefs = nullptr;  // 2 * E * O doubles
  int32_t E = 0;
  int32_t O = 0;
};

// Element of x: last element whose left knot is not above x, clamped; a NaN x
// lands in the last element.
KOKKOS_INLINE_FUNCTION int32_t pack_element(const double* breaks, int32_t E, double x) {
  int32_t e = upper_index(breaks, E + 1, x) - 1;
  if (e < 0) e = 0;
  if (e > E - 1) e = E - 1;
  return e;
}

// pack_element of w consecutive values x[0 .. w-1] when they all lie in one
// element, else -1.  The first is searched from `hint` (upper_index_from's
// guess, updated); the others are only tested against that element's breaks,
// which decides exactly as pack_element would.
KOKKOS_INLINE_FUNCTION int32_t shared_element(const double* breaks, int32_t E, const double* x,
                                              int w, int32_t& hint) {
  hint = upper_index_from(breaks, E + 1, x[0], hint);
  int32_t e = hint - 1;
  if (e < 0) e = 0;
  if (e > E - 1) e = E - 1;
  const double lo = breaks[e], hi = breaks[e + 1];
  for (int l = 1; l < w; ++l) {
    if (e > 0 && x[l] < lo) return -1;
    if (e < E - 1 && !(x[l] < hi)) return -1;
  }
  return e;
}

KOKKOS_INLINE_FUNCTION double pack_local_u(const double* breaks, int32_t e, double x) {
  return fit::local_coord(breaks, e, x);
}

// Chebyshev sum (pack form) of n real coefficients with stride `stride` (n >= 1).
KOKKOS_INLINE_FUNCTION double clenshaw_real(double u, const double* c, int32_t n,
                                            int32_t stride) {
  return cheb::pack_real(n, cheb::strided(c, stride), u);
}

// Complex Chebyshev sum at u of n interleaved coefficients, the real part
// first, then the imaginary one.
KOKKOS_INLINE_FUNCTION void clenshaw_complex(double u, const double* c, int32_t n, double* re,
                                             double* im) {
  *re = clenshaw_real(u, c, n, 2);
  *im = clenshaw_real(u, c + 1, n, 2);
}

// clenshaw_complex with the real and the imaginary sums formed side by side
// (each part takes exactly the steps of clenshaw_real).
KOKKOS_INLINE_FUNCTION void clenshaw_pair(double u, const double* c, int32_t n, double* re,
                                          double* im) {
  double s[2];
  cheb::pack_sum<2>(n, cheb::interleaved(c), u, s);
  *re = s[0];
  *im = s[1];
}

// Real part of the fit at x.
KOKKOS_INLINE_FUNCTION double chebyshev_fit_eval(const PackFit& f, double x) {
  const int32_t e = pack_element(f.breaks, f.E, x);
  const double* c = f.coefs + 2 * static_cast<int64_t>(e) * f.O;
  if (f.O == 1) return c[0];
  const double u = pack_local_u(f.breaks, e, x);
  return clenshaw_real(u, c, f.O, 2);
}

// Complex value of the fit at x.
KOKKOS_INLINE_FUNCTION void chebyshev_fit_eval_complex(const PackFit& f, double x, double* re,
                                                       double* im) {
  const int32_t e = pack_element(f.breaks, f.E, x);
  const double* c = f.coefs + 2 * static_cast<int64_t>(e) * f.O;
  if (f.O == 1) {
    *re = c[0];
    *im = c[1];
    return;
  }
  const double u = pack_local_u(f.breaks, e, x);
  clenshaw_complex(u, c, f.O, re, im);
}

// Coefficients of the u-derivative of a Chebyshev series (max(1, n - 1) of
// them), with the recurrence folded into a working copy of the input.
inline std::vector<double> chebyshev_derivative_series(const std::vector<double>& c) {
  const int32_t n = static_cast<int32_t>(c.size());
  std::vector<double> out(static_cast<size_t>(n > 1 ? n - 1 : 1), 0.0);
  if (n <= 1) return out;
  std::vector<double> w(c);
  for (int32_t k = n - 1; k >= 3; --k) {
    const double dk = static_cast<double>(k);
    out[k - 1] = (dk + dk) * w[k];
    w[k - 2] = (dk * w[k]) / static_cast<double>(k - 2) + w[k - 2];
  }
  if (n >= 3) out[1] = w[2] * 4.0;
  out[0] = w[1];
  return out;
}

// Derivative fit of the real part of a PackFit, flat: element e's nd
// coefficients of d(Re f)/dx start at entry e*nd.
struct PackFitDerivative {
  std::vector<double> coefs;
  const double* breaks = nullptr;
  int32_t E = 0;
  int32_t nd = 1;
};

inline PackFitDerivative derivative_fit(const PackFit& f) {
  PackFitDerivative d;
  d.breaks = f.breaks;
  d.E = f.E;
  d.nd = f.O > 1 ? f.O - 1 : 1;
  d.coefs.resize(static_cast<size_t>(f.E) * static_cast<size_t>(d.nd));
  std::vector<double> re(static_cast<size_t>(f.O));
  for (int32_t e = 0; e < f.E; ++e) {
    const double* c = f.coefs + 2 * static_cast<int64_t>(e) * f.O;
    for (int32_t k = 0; k < f.O; ++k) re[k] = c[2 * k];
    const std::vector<double> s = chebyshev_derivative_series(re);
    const double scale = 2.0 / (f.breaks[e + 1] - f.breaks[e]);
    double* out = d.coefs.data() + static_cast<int64_t>(e) * d.nd;
    for (int32_t k = 0; k < d.nd; ++k) out[k] = s[k] * scale;
  }
  return d;
}

// Kernel-callable view of a PackFitDerivative.
struct PackFitDerivativeView {
  const double* coefs = nullptr;
  const double* breaks = nullptr;
  int32_t E = 0;
  int32_t nd = 1;
};

inline PackFitDerivativeView view_of(const PackFitDerivative& d) {
  return PackFitDerivativeView{d.coefs.data(), d.breaks, d.E, d.nd};
}

KOKKOS_INLINE_FUNCTION double derivative_fit_eval(const PackFitDerivativeView& d, double x) {
  const int32_t e = pack_element(d.breaks, d.E, x);
  const double* c = d.coefs + static_cast<int64_t>(e) * d.nd;
  if (d.nd == 1) return c[0];
  const double u = pack_local_u(d.breaks, e, x);
  return clenshaw_real(u, c, d.nd, 1);
}

inline double derivative_fit_eval(const PackFitDerivative& d, double x) {
  return derivative_fit_eval(view_of(d), x);
}

// ------------------------------------------------------------ cubic splines

// Not-a-knot cubic spline through (s_j, y_j), j < n: the (4, n - 1) table, rows
// cubic .. constant in powers of (s - s_j).  False, output untouched, when
// n < 4.  No pivoting and no knot check: repeated knots give inf/NaN.
inline bool spline_nak(const double* s, const double* y, int32_t n, std::vector<double>& out) {
  if (n < 4) return false;
  const size_t nn = static_cast<size_t>(n);
  std::vector<double> h(nn - 1), m(nn - 1), l(nn), g(nn), p(nn), r(nn);
  for (int32_t j = 0; j <= n - 2; ++j) {
    h[j] = s[j + 1] - s[j];
    m[j] = (y[j + 1] - y[j]) / h[j];
  }
  for (int32_t i = 1; i <= n - 2; ++i) {
    l[i] = h[i];
    g[i] = (h[i - 1] + h[i]) + (h[i - 1] + h[i]);
    p[i] = h[i - 1];
    r[i] = (h[i - 1] * m[i] + m[i - 1] * h[i]) * 3.0;
  }
  {
    const double w = s[2] - s[0];
    l[0] = 0.0;
    g[0] = h[1];
    p[0] = w;
    r[0] = ((((w + w) + h[0]) * h[1]) * m[0] + (h[0] * h[0]) * m[1]) / w;
  }
  {
    const int32_t z = n - 1;
    const double w = s[n - 1] - s[n - 3];
    l[z] = w;
    g[z] = h[n - 3];
    p[z] = 0.0;
    r[z] = ((((w + w) + h[n - 2]) * h[n - 3]) * m[n - 2] + (h[n - 2] * h[n - 2]) * m[n - 3]) / w;
  }
  for (int32_t j = 1; j <= n - 1; ++j) {
    const double f = l[j] / g[j - 1];
    g[j] = g[j] - f * p[j - 1];
    r[j] = r[j] - f * r[j - 1];
  }
  std::vector<double>& D = l;  // l is no longer needed
  D[n - 1] = r[n - 1] / g[n - 1];
  for (int32_t k = n - 2; k >= 0; --k) D[k] = (r[k] - D[k + 1] * p[k]) / g[k];
  const int64_t ni = n - 1;
  out.resize(static_cast<size_t>(4 * ni));
  for (int32_t j = 0; j < n - 1; ++j) {
    const double K = ((D[j + 1] + D[j]) - (m[j] + m[j])) / h[j];
    out[j] = K / h[j];
    out[ni + j] = (m[j] - D[j]) / h[j] - K;
    out[2 * ni + j] = D[j];
    out[3 * ni + j] = y[j];
  }
  return true;
}

inline bool spline_nak(const std::vector<double>& s, const double* y, int32_t n,
                       std::vector<double>& out) {
  return spline_nak(s.data(), y, n, out);
}

// The cubic of interval j, clamped to 0 .. n_int - 1, at x, of the spline with
// n_int intervals over knots s (n_int + 1 of them) and (4, n_int) table c.
KOKKOS_INLINE_FUNCTION double spline_piece(const double* s, const double* c, int32_t n_int,
                                           int32_t j, double x) {
  if (j < 0) j = 0;
  if (j > n_int - 1) j = n_int - 1;
  const double d = x - s[j];
  const int64_t st = n_int;
  return (((0.0 + c[3 * st + j]) + d * c[2 * st + j]) + (d * d) * c[st + j]) +
         ((d * d) * d) * c[j];
}

// Value at x of that spline; the end cubics extrapolate.
KOKKOS_INLINE_FUNCTION double spline_eval(const double* s, const double* c, int32_t n_int,
                                          double x) {
  return spline_piece(s, c, n_int, upper_index(s, n_int + 1, x) - 1, x);
}

inline double spline_eval(const std::vector<double>& s, const std::vector<double>& c,
                          int32_t n_int, double x) {
  return spline_eval(s.data(), c.data(), n_int, x);
}

// spline_eval with the interval search started from `hint` (upper_index_from),
// which receives the search's answer for the next call.
KOKKOS_INLINE_FUNCTION double spline_eval_from(const double* s, const double* c, int32_t n_int,
                                               double x, int32_t& hint) {
  hint = upper_index_from(s, n_int + 1, x, hint);
  return spline_piece(s, c, n_int, hint - 1, x);
}

// The part of spline_nak's system that depends on the knots alone: interval
// widths, the diagonal after elimination with its factors, the super-diagonal
// and the products of the two end rows.  Formed once, it serves every series
// fitted over the same knots.
struct SplineKnots {
  int32_t n = 0;
  PackDoubles h, p, g, f;
  double a0 = 0, b0 = 0, w0 = 0, a1 = 0, b1 = 0, w1 = 0;
};

// False, kn untouched, when n < 4 (as spline_nak).
bool spline_knots(const double* s, int32_t n, SplineKnots& kn);

// spline_knots of two knot vectors of n points each, the two eliminations
// interleaved; false, both untouched, when n < 4.
bool spline_knots_two(const double* s1, const double* s2, int32_t n, SplineKnots& kn1,
                      SplineKnots& kn2);

// Fits nser series over the knots of kn: series i has the values
// y[i][j * yinc] (j < n) and its (4, n - 1) table entry (r, j) goes to
// out[i][(r * (n - 1) + j) * oinc].  Every table is bit for bit spline_nak's.
void spline_series(const SplineKnots& kn, int32_t nser, const double* const* y, int64_t yinc,
                   double* const* out, int64_t oinc);

// spline_series for series that come in (re, im) pairs: pair p has the
// values y[p][j * yinc] (re) and y[p][j * yinc + 1] (im), and the table entry
// (r, j) of its real series goes to out[p][(r * orow + j) * oinc], of its
// imaginary series right after it; orow < 0 means n - 1 (tables packed).
// Every table is bit for bit spline_nak's.
void spline_series_pairs(const SplineKnots& kn, int32_t npairs, const double* const* y,
                         int64_t yinc, double* const* out, int64_t oinc, int64_t orow = -1);

// Running integral from x_0 of the spline with table c over the grid x (n
// points): out_0 = 0 and each interval's exact integral added in turn.
template <class Table>
inline void spline_running_integral(const std::vector<double>& x, const Table& c, int32_t n,
                                    std::vector<double>& out) {
  out.assign(static_cast<size_t>(n), 0.0);
  const int64_t st = n - 1;
  for (int32_t i = 0; i <= n - 2; ++i) {
    const double h = x[i + 1] - x[i];
    const double h2 = h * h;
    const double h3 = h2 * h;
    const double h4 = h3 * h;
    out[i + 1] = (((((0.0 + out[i]) + h * c[3 * st + i]) + (0.5 * c[2 * st + i]) * h2) +
                   (c[st + i] / 3.0) * h3) +
                  (0.25 * c[i]) * h4);
  }
}

// Running integral from x_0 of the not-a-knot spline through (x_i, y_i).
inline bool cumulative_spline_integral(const std::vector<double>& x, const double* y, int32_t n,
                                       std::vector<double>& out) {
  std::vector<double> c;
  if (!spline_nak(x.data(), y, n, c)) return false;
  spline_running_integral(x, c, n, out);
  return true;
}

// ------------------------------------------------------------ grids

// n >= 1 points from a to b; the last is b exactly (n = 1 gives [b]).
inline std::vector<double> linspace(double a, double b, int32_t n) {
  std::vector<double> v(static_cast<size_t>(n));
  const double step = (b - a) / static_cast<double>(n - 1);
  for (int32_t i = 0; i < n; ++i) v[i] = static_cast<double>(i) * step + a;
  v[n - 1] = b;
  return v;
}

// n >= 1 logarithmically spaced points from a to b (both positive), with both
// ends exact.
inline std::vector<double> logspace(double a, double b, int32_t n) {
  const double lb = std::log10(b);
  const double la = std::log10(a);
  std::vector<double> v = linspace(la, lb, n);
  for (double& e : v) e = std::pow(10.0, e);
  v[0] = a;
  v[n - 1] = b;
  return v;
}

// Linear interpolation on an increasing non-empty grid, clamped to the end
// values.  A NaN x reads only points inside the grid.
inline double interp_linear_clamped(double x, const std::vector<double>& g,
                                    const double* v) {
  const int32_t n = static_cast<int32_t>(g.size());
  if (x < g[0]) return v[0];
  if (x >= g[n - 1]) return v[n - 1];
  if (n < 2) return v[0];
  int32_t j = upper_index(g.data(), n, x);
  if (j < 1) j = 1;
  if (j > n - 1) j = n - 1;
  return ((v[j] - v[j - 1]) / (g[j] - g[j - 1])) * (x - g[j - 1]) + v[j - 1];
}

inline double interp_linear_clamped(double x, const std::vector<double>& g,
                                    const std::vector<double>& v) {
  return interp_linear_clamped(x, g, v.data());
}

// ------------------------------------------------------------ selection

// k-th smallest of n >= 1 values (k in [0, n)), reordering them in place by
// Hoare's selection around the middle pivot.  Comparisons use the NaN-last
// total order, so NaN-free data behaves exactly as with `<`, and data with NaN
// still partitions soundly (NaN sorts above every number).  On return no value
// before position k is greater and none after it is smaller.
KOKKOS_INLINE_FUNCTION double select_kth(double* values, int32_t n, int32_t k) {
  int32_t lo = 0;
  int32_t hi = n - 1;
  while (lo < hi) {
    const double pivot = values[(lo + hi) / 2];
    int32_t i = lo;
    int32_t j = hi;
    do {
      while (nan_last_less(values[i], pivot)) ++i;
      while (nan_last_less(pivot, values[j])) --j;
      if (i <= j) {
        const double t = values[i];
        values[i] = values[j];
        values[j] = t;
        ++i;
        --j;
      }
    } while (i <= j);
    if (k <= j)
      hi = j;
    else if (k >= i)
      lo = i;
    else
      break;
  }
  return values[k];
}

// Median by sorting a copy (NaN-last order): s[n/2] for odd n, else
// (s[n/2 - 1] + s[n/2]) * 0.5.  n >= 1.
inline double sort_median(const double* v, int32_t n) {
  std::vector<double> s(v, v + n);
  std::sort(s.begin(), s.end(), nan_last_less);
  if (n % 2 == 1) return s[n / 2];
  return (s[n / 2 - 1] + s[n / 2]) * 0.5;
}

}  // namespace radiredide
