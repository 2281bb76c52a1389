#pragma once
// Kernels and implementations of the time-grid glue, templated on the
// execution space (and, for the row scatter, on the element type).  The
// bindings in glue.cpp instantiate them on the default space and on Serial.
#include "common/errors.hpp"
#include "common/interp.hpp"
#include "common/lanes.hpp"
#include "common/pyarray.hpp"
#include "common/staging.hpp"
#include "workspace.hpp"

#include <Kokkos_Core.hpp>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

namespace radiredide::glue {

// ------------------------------------------------------------------ helpers

// An array with trailing axes beyond the ones a function reads is read as its
// first `need` elements in row-major order; a trailing extent of 0 leaves it
// with fewer than that, which is refused instead of read past its end.
inline void require_elements(const py::array& a, int64_t need, const char* msg) {
  if (static_cast<int64_t>(a.size()) < need) value_error(msg);
}

inline int64_t as_i64(py::ssize_t v) { return static_cast<int64_t>(v); }

template <class Space>
using Policy1 = Kokkos::RangePolicy<Space>;

// ------------------------------------------------------------------ fmin_starts

constexpr double kXFloor = 1e-8;
constexpr double kFreqExponent = 1.5;
constexpr double kPi = 3.141592653589793;
constexpr double kReachFactor = 1.000000000001;

// The (B, S) node tables are computed over contiguous chunks of their flat
// index (a static schedule gives every thread one run of chunks); node (b, j)
// reads block kidx[j] of row b through plain pointers.
constexpr int64_t kFminChunk = 256;

// Node (b, j) reads two scattered blocks of O coefficients, and its pow call
// leaves the core little room to run ahead to the next node's loads: the
// blocks of the node kFminAhead places further on are prefetched, so their
// lines arrive while the pow calls in between run.  A prefetch is only a
// hint; it changes no value.
constexpr int64_t kFminAhead = 16;

// Rows r[0] ... r[W - 1] of a W x W block become its columns: afterwards
// r[c][l] is the old r[l][c].  Only moves elements.
template <class V>
RR_INLINE void transpose_block(V* r) {
  constexpr int W = lanes::width<V>;
  if constexpr (W == 8) {
    V u[8], w[8];
    #pragma GCC unroll 8
    for (int a = 0; a < 4; ++a) {
      u[2 * a] = __builtin_shufflevector(r[2 * a], r[2 * a + 1], 0, 8, 2, 10, 4, 12, 6, 14);
      u[2 * a + 1] = __builtin_shufflevector(r[2 * a], r[2 * a + 1], 1, 9, 3, 11, 5, 13, 7, 15);
    }
    // u[2a + p]: rows 2a, 2a + 1 at c = p, p + 2, p + 4, p + 6.
    #pragma GCC unroll 8
    for (int b = 0; b < 2; ++b)
      #pragma GCC unroll 8
      for (int p = 0; p < 2; ++p) {
        const V& lo = u[4 * b + p];
        const V& hi = u[4 * b + 2 + p];
        w[4 * b + 2 * p] = __builtin_shufflevector(lo, hi, 0, 1, 8, 9, 4, 5, 12, 13);
        w[4 * b + 2 * p + 1] = __builtin_shufflevector(lo, hi, 2, 3, 10, 11, 6, 7, 14, 15);
      }
    // w[4b + 2p + q]: rows 4b ... 4b + 3 at c = p + 2q, then at c = p + 2q + 4.
    #pragma GCC unroll 8
    for (int p = 0; p < 2; ++p)
      #pragma GCC unroll 8
      for (int q = 0; q < 2; ++q) {
        const V& lo = w[2 * p + q];
        const V& hi = w[4 + 2 * p + q];
        r[p + 2 * q] = __builtin_shufflevector(lo, hi, 0, 1, 2, 3, 8, 9, 10, 11);
        r[p + 2 * q + 4] = __builtin_shufflevector(lo, hi, 4, 5, 6, 7, 12, 13, 14, 15);
      }
  } else if constexpr (W == 4) {
    V u[4];
    #pragma GCC unroll 8
    for (int a = 0; a < 2; ++a) {
      u[2 * a] = __builtin_shufflevector(r[2 * a], r[2 * a + 1], 0, 4, 2, 6);
      u[2 * a + 1] = __builtin_shufflevector(r[2 * a], r[2 * a + 1], 1, 5, 3, 7);
    }
    #pragma GCC unroll 8
    for (int p = 0; p < 2; ++p) {
      r[p] = __builtin_shufflevector(u[p], u[2 + p], 0, 1, 4, 5);
      r[p + 2] = __builtin_shufflevector(u[p], u[2 + p], 2, 3, 6, 7);
    }
  } else {
    static_assert(W == 2, "lane vectors of 2, 4 or 8 doubles");
    const V r0 = r[0];
    r[0] = __builtin_shufflevector(r0, r[1], 0, 2);
    r[1] = __builtin_shufflevector(r0, r[1], 1, 3);
  }
}

// Nodes (b, j) ... (b, j + W - 1) of one row are contracted side by side as
// the W lanes of a vector: lane l runs node j + l's two sums, over c in
// ascending order with the product formed first, exactly as the one-node loop
// does.  W coefficients of the W nodes are loaded as rows and turned into
// columns; the last O mod W are gathered one by one.  The frequencies are
// then taken lane by lane, one pow call each.
template <class V>
RR_INLINE void fmin_nodes(const double* ct, const double* cx, const int32_t* kidx,
                                const double* v, int32_t o, int64_t e, int64_t b, int64_t j,
                                double* tg, double* fq) {
  constexpr int W = lanes::width<V>;
  const double* pt[W];
  const double* px[W];
  const double* pv = v + j * o;  // row l of the W nodes' weights at pv + l * o
  #pragma GCC unroll 8
  for (int l = 0; l < W; ++l) {
    const int64_t blk = (b * e + kidx[j + l]) * o;
    pt[l] = ct + blk;
    px[l] = cx + blk;
  }
  V st{};
  V sx{};
  int32_t c = 0;
  #pragma GCC unroll 8
  for (; c + W <= o; c += W) {
    V w[W], a[W];
    #pragma GCC unroll 8
    for (int l = 0; l < W; ++l) w[l] = RR_LANES_LOAD(V, pv + l * o + c);
    transpose_block(w);
    #pragma GCC unroll 8
    for (int l = 0; l < W; ++l) a[l] = RR_LANES_LOAD(V, pt[l] + c);
    transpose_block(a);
    #pragma GCC unroll 8
    for (int q = 0; q < W; ++q) st = st + w[q] * a[q];
    #pragma GCC unroll 8
    for (int l = 0; l < W; ++l) a[l] = RR_LANES_LOAD(V, px[l] + c);
    transpose_block(a);
    #pragma GCC unroll 8
    for (int q = 0; q < W; ++q) sx = sx + w[q] * a[q];
  }
  #pragma GCC unroll 8
  for (; c < o; ++c) {
    V w, a, x;
    #pragma GCC unroll 8
    for (int l = 0; l < W; ++l) {
      w[l] = pv[l * o + c];
      a[l] = pt[l][c];
      x[l] = px[l][c];
    }
    st = st + w * a;
    sx = sx + w * x;
  }
  lanes::store(tg, st);
  #pragma GCC unroll 8
  for (int l = 0; l < W; ++l) {
    const double m = (sx[l] > kXFloor) ? sx[l] : kXFloor;
    fq[l] = std::pow(m, kFreqExponent) / kPi;
  }
}

struct FminStencil {
  UView<const double, 3> c_tau, c_x;
  UView<const int32_t, 1> kidx;
  UView<const double, 2> v;
  UView<double, 2> taug, f22;
  int32_t o, s;
  int64_t e, total;  // e: blocks per row; total = B * S
  Isa isa = Isa::generic;

  // The first and last coefficient: both lines of a block of up to eight.
  // (A loop of prefetches would be deleted as a loop without effects.)
  RR_INLINE void prefetch_block(const double* p) const {
    __builtin_prefetch(p);
    __builtin_prefetch(p + (o - 1));
  }

  // Prefetches the blocks of node (ba, ja) and steps it on by one node.
  RR_INLINE void prefetch_node(int64_t& ba, int64_t& ja) const {
    const int64_t ablk = (ba * e + kidx(ja)) * o;
    prefetch_block(c_tau.data() + ablk);
    prefetch_block(c_x.data() + ablk);
    if (++ja == s) {
      ja = 0;
      ++ba;
    }
  }

  // One node on its own: the row tails shorter than a vector.
  RR_INLINE void node(int64_t b, int64_t j, double* tg, double* fq) const {
    const int64_t blk = (b * e + kidx(j)) * o;
    const double* pt = c_tau.data() + blk;
    const double* px = c_x.data() + blk;
    const double* vj = v.data() + j * o;
    double st = 0.0;
    double sx = 0.0;
    for (int32_t c = 0; c < o; ++c) {
      const double w = vj[c];
      st = st + w * pt[c];
      sx = sx + w * px[c];
    }
    *tg = st;
    const double m = (sx > kXFloor) ? sx : kXFloor;
    *fq = std::pow(m, kFreqExponent) / kPi;
  }

  template <class V>
  RR_INLINE void chunk(const int64_t ck) const {
    constexpr int W = lanes::width<V>;
    const int64_t f0 = ck * kFminChunk;
    const int64_t f1 = (f0 + kFminChunk < total) ? f0 + kFminChunk : total;
    int64_t b = f0 / s;
    int64_t j = f0 - b * s;
    double* tg = taug.data();
    double* fq = f22.data();
    // The node kFminAhead places on; past the chunk's end it is the next
    // chunk's, which a static schedule mostly gives to the same thread.
    const int64_t fa0 = (f0 + kFminAhead < total) ? f0 + kFminAhead : total;
    int64_t ba = fa0 / s;
    int64_t ja = fa0 - ba * s;
    int64_t f = f0;
    while (f < f1) {
      if (f + W <= f1 && j + W <= s) {
        for (int l = 0; l < W; ++l)
          if (f + l + kFminAhead < total) prefetch_node(ba, ja);
        fmin_nodes<V>(c_tau.data(), c_x.data(), kidx.data(), v.data(), o, e, b, j, tg + f,
                      fq + f);
        f += W;
        j += W;
      } else {
        if (f + kFminAhead < total) prefetch_node(ba, ja);
        node(b, j, tg + f, fq + f);
        ++f;
        ++j;
      }
      if (j == s) {
        j = 0;
        ++b;
      }
    }
  }

  void operator()(const int64_t ck) const;
};

inline void FminStencil::operator()(const int64_t ck) const {
  variants::run<Isa::avx512, Isa::avx2, Isa::generic>(
      isa,
      []<Isa I>(const FminStencil& k, int64_t c) RR_INLINE_LAMBDA {
        k.chunk<lanes::vec_t<double, I>>(c);
      },
      *this, ck);
}

struct FminSolve {
  UView<const double, 2> taug, f22;
  UView<const double, 1> f_min;
  UView<double, 1> starts, f22_first;
  UView<uint8_t, 1> low_flag;
  int32_t s;

  KOKKOS_INLINE_FUNCTION void operator()(const int32_t b) const {
    const double first = f22(b, 0);
    f22_first(b) = first;
    const double reach = f_min(b) * kReachFactor;
    low_flag(b) = (first > reach) ? uint8_t(1) : uint8_t(0);
    starts(b) = interp_scalar(f_min(b), &f22(b, 0), &taug(b, 0), s);
  }
};

template <class Space>
py::tuple fmin_starts(const carray<double>& C_tau, const carray<double>& C_x,
                      const carray<int32_t>& kidx, const carray<double>& V,
                      const carray<double>& f_min_geo) {
  WorkspacePool& pool = thread_workspace();

  const int64_t B = as_i64(extent(C_tau, 0));
  const int64_t E = as_i64(extent(C_tau, 1));
  const int64_t O = as_i64(extent(C_tau, 2));
  const int64_t S = as_i64(extent(kidx, 0));
  require(as_i64(extent(C_x, 0)) == B && as_i64(extent(C_x, 1)) == E &&
              as_i64(extent(C_x, 2)) == O,
          "C_x must match C_tau's shape");
  require(as_i64(extent(V, 0)) == S && as_i64(extent(V, 1)) == O,
          "V must be (S, O) matching kidx and C_tau");
  require(as_i64(extent(f_min_geo, 0)) == B, "f_min_geo must be (B,)");
  require(S >= 2, "the phi stencil needs >= 2 nodes");

  // Kernels index with 32-bit integers, and arrays with trailing axes must
  // still hold every element read.
  const int64_t beo = flat_size_i32("C_tau (B, E, O)", B, E, O);
  flat_size_i32("V (S, O)", S, O);
  const int64_t bs = flat_size_i32("the (B, S) node tables", B, S);
  require_elements(C_tau, beo, "C_tau must be (B, E, O)");
  require_elements(C_x, beo, "C_x must match C_tau's shape");
  require_elements(kidx, S, "kidx must be (S,)");
  require_elements(V, S * O, "V must be (S, O) matching kidx and C_tau");
  require_elements(f_min_geo, B, "f_min_geo must be (B,)");
  {
    const auto* kp = reinterpret_cast<const unsigned char*>(kidx.data());
    for (int64_t j = 0; j < S; ++j) {
      int32_t k;
      std::memcpy(&k, kp + j * int64_t(sizeof(int32_t)), sizeof(int32_t));
      if (k < 0 || k >= E) value_error("kidx entries must lie in [0, E)");
    }
  }
  require_kokkos();

  auto ct = stage_in(pool, "glue.fs.C_tau", C_tau.data(), B, E, O);
  auto cx = stage_in(pool, "glue.fs.C_x", C_x.data(), B, E, O);
  auto kv = stage_in(pool, "glue.fs.kidx", kidx.data(), S);
  auto vv = stage_in(pool, "glue.fs.V", V.data(), S, O);
  auto fm = stage_in(pool, "glue.fs.f_min", f_min_geo.data(), B);
  auto taug = make_view(pool.acquire<double>("glue.fs.taug", uint64_t(bs)), B, S);
  auto f22 = make_view(pool.acquire<double>("glue.fs.f22", uint64_t(bs)), B, S);

  auto starts = new_array<double>({B});
  auto f22_first = new_array<double>({B});
  auto low_flag = new_array<uint8_t>({B});
  auto st_out = stage_out(pool, "glue.fs.st", mutable_ptr(starts), B);
  auto f0_out = stage_out(pool, "glue.fs.f0", mutable_ptr(f22_first), B);
  auto flag = make_view(mutable_ptr(low_flag), B);

  const Space space;
  Kokkos::parallel_for("fmin_starts.stencil",
                       Policy1<Space>(space, 0, (bs + kFminChunk - 1) / kFminChunk),
                       FminStencil{ct, cx, kv, vv, taug, f22, static_cast<int32_t>(O),
                                   static_cast<int32_t>(S), E, bs, detected_isa()});
  Kokkos::parallel_for("fmin_starts.solve", Policy1<Space>(space, 0, B),
                       FminSolve{taug, f22, fm, st_out.target, f0_out.target, flag,
                                 static_cast<int32_t>(S)});
  space.fence();

  st_out.copy_back();
  f0_out.copy_back();
  return py::make_tuple(starts, f22_first, low_flag);
}

// ------------------------------------------------------------------ span_pack

struct SpanBounds {
  UView<const double, 2> t_geo;
  UView<const double, 1> tau0;
  UView<int32_t, 1> n0, n1;
  double mr_hi, tol;
  int32_t n;

  KOKKOS_INLINE_FUNCTION void operator()(const int32_t b) const {
    const double* t = &t_geo(b, 0);
    const double lower = tau0(b) - tol;
    int32_t lo = 0, hi = n;
    while (lo < hi) {
      const int32_t mid = lo + ((hi - lo) >> 1);
      if (lower > t[mid])
        lo = mid + 1;
      else
        hi = mid;
    }
    const int32_t first = lo;
    const double upper = tol + mr_hi;
    lo = 0;
    hi = n;
    while (lo < hi) {
      const int32_t mid = lo + ((hi - lo) >> 1);
      if (t[mid] > upper)
        hi = mid;
      else
        lo = mid + 1;
    }
    n0(b) = first;
    n1(b) = (lo > first + 1) ? lo : first + 1;
  }
};

// Gather and clip over the flat (B, J) tables, split into contiguous chunks
// (a static schedule gives every thread one run of them).  Within a row,
// column j reads sample n0 + j up to the row's last in-window sample and
// repeats that sample after it.
constexpr int64_t kSpanChunkElements = 8192;

struct SpanGather {
  UView<const double, 2> t_geo;
  UView<const double, 1> tau0;
  UView<const int32_t, 1> n0, n1;
  UView<double, 2> tg_pack, t_eval;
  double mr_hi;
  int32_t n, J;
  int64_t total;

  KOKKOS_INLINE_FUNCTION void operator()(const int64_t c) const {
    const int64_t f0 = c * kSpanChunkElements;
    const int64_t f1 = (f0 + kSpanChunkElements < total) ? f0 + kSpanChunkElements : total;
    for (int64_t b = f0 / J; b * J < f1; ++b) {
      const int64_t rs = b * J;
      const int64_t j0 = (f0 > rs) ? f0 - rs : 0;
      const int64_t j1 = (f1 - rs < J) ? f1 - rs : J;
      const int32_t last = (n1(b) - 1 >= n - 1) ? n - 1 : n1(b) - 1;
      // Columns j with n0 + j < last read sample n0 + j (64-bit: n0 + j can
      // pass 2^31 for a narrow row of a wide pack).
      int64_t split = int64_t(last) - n0(b);
      split = (split < j0) ? j0 : (split > j1 ? j1 : split);
      const double* row = &t_geo(b, 0);
      const int64_t first = n0(b);
      const double t0 = tau0(b);
      const double hi = mr_hi;
      double* pk = tg_pack.data() + rs;
      double* ev = t_eval.data() + rs;
      for (int64_t j = j0; j < split; ++j) {
        const double t = row[first + j];
        pk[j] = t;
        const double a = (t > t0) ? t : t0;
        ev[j] = (a < hi) ? a : hi;
      }
      if (split < j1) {
        const double t = row[last];
        const double a = (t > t0) ? t : t0;
        const double e = (a < hi) ? a : hi;
        for (int64_t j = split; j < j1; ++j) {
          pk[j] = t;
          ev[j] = e;
        }
      }
    }
  }
};

// The tail over the flat (B, J - i0) table, in the gather's chunks.
struct SpanTail {
  UView<const double, 2> t_eval;
  UView<double, 2> tail;
  double mr_lo, mr_hi;
  int32_t i0, width;
  int64_t total;  // B * width

  KOKKOS_INLINE_FUNCTION void operator()(const int64_t c) const {
    const int64_t f0 = c * kSpanChunkElements;
    const int64_t f1 = (f0 + kSpanChunkElements < total) ? f0 + kSpanChunkElements : total;
    const int64_t J = t_eval.extent(1);
    for (int64_t b = f0 / width; b * width < f1; ++b) {
      const int64_t rs = b * width;
      const int64_t k0 = (f0 > rs) ? f0 - rs : 0;
      const int64_t k1 = (f1 - rs < width) ? f1 - rs : width;
      const double* src = t_eval.data() + b * J + i0;
      double* dst = tail.data() + rs;
      for (int64_t k = k0; k < k1; ++k) {
        const double v = src[k];
        const double a = (v > mr_lo) ? v : mr_lo;
        dst[k] = (a < mr_hi) ? a : mr_hi;
      }
    }
  }
};

template <class Space>
py::tuple span_pack(const carray<double>& t_geo, const carray<double>& tau0, double mr_lo,
                    double mr_hi, double b0, double tol) {
  const int64_t B = as_i64(extent(t_geo, 0));
  const int64_t N = as_i64(extent(t_geo, 1));
  require(as_i64(extent(tau0, 0)) == B, "tau0 must be (B,)");
  require(B >= 1 && N >= 1, "t_geo must be non-empty");
  // The packed tables are at most N + 1 wide (n1 may reach N + 1).
  flat_size_i32("the packed (B, N + 1) tables", B, N + 1);
  require_elements(t_geo, B * N, "t_geo must be (B, N)");
  require_elements(tau0, B, "tau0 must be (B,)");
  require_kokkos();

  WorkspacePool& pool = thread_workspace();
  auto tg = stage_in(pool, "glue.sp.t_geo", t_geo.data(), B, N);
  auto t0 = stage_in(pool, "glue.sp.tau0", tau0.data(), B);
  auto n0 = new_array<int32_t>({B});
  auto n0_out = stage_out(pool, "glue.sp.n0", mutable_ptr(n0), B);
  auto n1 = new_array<int32_t>({B});
  auto n1_out = stage_out(pool, "glue.sp.n1", mutable_ptr(n1), B);

  const Space space;
  const int32_t n = static_cast<int32_t>(N);
  Kokkos::parallel_for("span_pack.bounds", Policy1<Space>(space, 0, B),
                       SpanBounds{tg, t0, n0_out.target, n1_out.target, mr_hi, tol, n});
  space.fence();

  int32_t J = 0;
  for (int64_t b = 0; b < B; ++b) {
    const int32_t w = n1_out.target(b) - n0_out.target(b);
    if (w > J) J = w;
  }

  auto tg_pack = new_array<double>({B, J});
  auto pk_out = stage_out(pool, "glue.sp.pk", mutable_ptr(tg_pack), B, int64_t(J));
  auto t_eval = new_array<double>({B, J});
  auto ev_out = stage_out(pool, "glue.sp.ev", mutable_ptr(t_eval), B, int64_t(J));
  const int64_t packed = B * int64_t(J);
  Kokkos::parallel_for("span_pack.gather",
                       Policy1<Space>(space, 0, (packed + kSpanChunkElements - 1) / kSpanChunkElements),
                       SpanGather{tg, t0, n0_out.target, n1_out.target, pk_out.target,
                                  ev_out.target, mr_hi, n, J, packed});
  space.fence();

  // Blend start: the first packed column at which some row reaches b0.
  int32_t i0 = J;
  for (int64_t b = 0; b < B; ++b) {
    const double* row = &ev_out.target(b, 0);
    int32_t lo = 0, hi = J;
    while (lo < hi) {
      const int32_t mid = lo + ((hi - lo) >> 1);
      if (b0 > row[mid])
        lo = mid + 1;
      else
        hi = mid;
    }
    if (lo < i0) i0 = lo;
  }

  const int32_t width = (J - i0 > 0) ? J - i0 : 0;
  auto tail = new_array<double>({B, int64_t(width)});
  auto tl_out = stage_out(pool, "glue.sp.tl", mutable_ptr(tail), B, int64_t(width));
  if (width > 0) {
    const int64_t tail_size = B * int64_t(width);
    Kokkos::parallel_for(
        "span_pack.tail",
        Policy1<Space>(space, 0, (tail_size + kSpanChunkElements - 1) / kSpanChunkElements),
        SpanTail{ev_out.target, tl_out.target, mr_lo, mr_hi, i0, width, tail_size});
    space.fence();
  }

  pk_out.copy_back();
  ev_out.copy_back();
  tl_out.copy_back();
  n0_out.copy_back();
  n1_out.copy_back();
  return py::make_tuple(tg_pack, t_eval, tail, n0, n1, py::int_(i0));
}

// ------------------------------------------------------------------ grid_bounds

inline py::tuple grid_bounds(const carray<double>& tau_start, const carray<double>& msec,
                             const carray<double>& tc, double mr_hi, double t_first,
                             double t_last, bool check) {
  constexpr const char* kShare = "tau_start/msec/tc must share (B,)";
  const int64_t B = as_i64(extent(tau_start, 0));
  require(as_i64(extent(msec, 0)) == B, kShare);
  require(as_i64(extent(tc, 0)) == B, kShare);
  fit_i32(B, "B");
  require_elements(tau_start, B, kShare);
  require_elements(msec, B, kShare);
  require_elements(tc, B, kShare);
  require_kokkos();

  WorkspacePool& pool = thread_workspace();
  auto ts = stage_in(pool, "glue.gb.tau_start", tau_start.data(), B);
  auto ms = stage_in(pool, "glue.gb.msec", msec.data(), B);
  auto tv = stage_in(pool, "glue.gb.tc", tc.data(), B);

  const double lo_limit = t_first - 1e-12;
  const double hi_limit = 1e-12 + t_last;
  double t_lo_min = std::numeric_limits<double>::infinity();
  double t_hi_max = -std::numeric_limits<double>::infinity();
  long long bad_lo = -1, bad_hi = -1;
  for (int64_t i = 0; i < B; ++i) {
    const double lo_p = ms(i) * ts(i);
    const double lo = lo_p + tv(i);
    const double hi_p = ms(i) * mr_hi;
    const double hi = hi_p + tv(i);
    t_lo_min = (lo < t_lo_min) ? lo : t_lo_min;
    t_hi_max = (hi > t_hi_max) ? hi : t_hi_max;
    if (check) {
      if (lo_limit > lo && bad_lo < 0) bad_lo = i;
      if (hi > hi_limit && bad_hi < 0) bad_hi = i;
    }
  }
  return py::make_tuple(py::float_(t_lo_min), py::float_(t_hi_max), py::int_(bad_lo),
                        py::int_(bad_hi));
}

// ------------------------------------------------------------------ scatter_rows

// The scatter only moves elements, as opaque words of the element's size: byte
// copies and zero fills with no arithmetic, so NaN payloads, -0.0 and
// subnormals arrive bit for bit.
struct Word128 {
  double lo, hi;
};
template <std::size_t Size>
struct word_of;
template <>
struct word_of<1> {
  using type = uint8_t;
};
template <>
struct word_of<4> {
  using type = float;
};
template <>
struct word_of<8> {
  using type = double;
};
template <>
struct word_of<16> {
  using type = Word128;
};

// Grid indices [lo, hi) that row b's packed columns col, col + 1, ... land on:
// columns j < min(J, n1 - n0) at grid index n0 + j inside [0, N).  The window
// arithmetic is 64-bit, so no n0/n1 values can wrap it.  Empty: lo == hi.
struct ScatterWindow {
  int64_t lo, hi, col;
};

KOKKOS_INLINE_FUNCTION ScatterWindow scatter_window(const int64_t s, const int64_t e,
                                                    const int64_t J, const int64_t N) {
  const int64_t w = e - s;
  const int64_t count = (w < J) ? w : J;
  const int64_t j_lo = (s < 0) ? -s : 0;
  const int64_t j_hi = (N - s < count) ? N - s : count;
  if (j_hi <= j_lo) return {0, 0, 0};
  return {s + j_lo, s + j_hi, j_lo};
}

// Both passes split the flat result (B * L * N elements) into the same chunks
// of kScatterChunkBytes, and a static schedule hands every thread one
// contiguous run of chunks: each thread writes (and, in a fresh result, first
// touches) the same pages in both passes.
constexpr int64_t kScatterChunkBytes = int64_t(64) << 10;

// A result of at least this many bytes is allocated zero-filled by NumPy (as
// np.zeros does): the C library then maps fresh zero pages, and only the
// pages that the scatter pass writes are ever touched.  Smaller results come
// from the heap, where a zero-filled allocation is a serial fill, and get the
// gaps filled in parallel by the zero pass instead.
constexpr int64_t kScatterZeroAllocBytes = int64_t(32) << 20;

struct ScatterChunks {
  int64_t total;  // B * L * N
  int64_t chunk;  // elements per chunk
  int64_t count() const { return (total + chunk - 1) / chunk; }
};

// The rows that chunk c of the flat result touches, with their windows: each
// pass visits them in the same order and keeps to the chunk's range [f0, f1).
struct ScatterChunkRows {
  UView<const int32_t, 1> n1, n0;
  int32_t J, N, L;
  int64_t total, chunk;

  // f(f0, f1, rs, r, win) for row r, whose first element is rs = r * N.
  template <class F>
  KOKKOS_INLINE_FUNCTION void rows(const int64_t c, const F& f) const {
    const int64_t f0 = c * chunk;
    const int64_t f1 = (f0 + chunk < total) ? f0 + chunk : total;
    for (int64_t r = f0 / N; r * N < f1; ++r)
      f(f0, f1, r * N, r, scatter_window(n0(r / L), n1(r / L), J, N));
  }
};

// Zero pass: every result element outside its row's window.  The scatter
// pass writes the window, so each element is written once by the two passes.
template <class W>
struct ScatterZero {
  ScatterChunkRows chunks;
  UView<W, 3> out;

  KOKKOS_INLINE_FUNCTION void operator()(const int64_t c) const {
    W* base = out.data();
    const int64_t N = chunks.N;
    chunks.rows(c, [base, N](int64_t f0, int64_t f1, int64_t rs, int64_t, ScatterWindow win) {
      // [rs, rs + lo) and [rs + hi, rs + N), clipped to [f0, f1); an empty
      // window (lo == hi == 0) leaves the whole row to the second range.
      const int64_t g[2][2] = {{rs, rs + win.lo}, {rs + win.hi, rs + N}};
      for (const auto& gap : g) {
        const int64_t a = (gap[0] > f0) ? gap[0] : f0;
        const int64_t e = (gap[1] < f1) ? gap[1] : f1;
        if (e > a) std::memset(static_cast<void*>(base + a), 0, std::size_t(e - a) * sizeof(W));
      }
    });
  }
};

// Scatter pass: the window of every row, as one byte copy per row and chunk.
template <class W>
struct ScatterRows {
  ScatterChunkRows chunks;
  UView<W, 3> out;
  UView<const W, 3> rows;

  KOKKOS_INLINE_FUNCTION void operator()(const int64_t c) const {
    W* base = out.data();
    const W* src0 = rows.data();
    const int64_t J = chunks.J;
    chunks.rows(c, [base, src0, J](int64_t f0, int64_t f1, int64_t rs, int64_t r,
                                   ScatterWindow win) {
      const int64_t a = (rs + win.lo > f0) ? rs + win.lo : f0;
      const int64_t e = (rs + win.hi < f1) ? rs + win.hi : f1;
      if (e > a) {
        const W* src = src0 + r * J + win.col + (a - (rs + win.lo));
        std::memcpy(static_cast<void*>(base + a), static_cast<const void*>(src),
                    std::size_t(e - a) * sizeof(W));
      }
    });
  }
};

template <class T, class Space>
py::array_t<T> scatter_rows(const carray<T>& rows_pack, const carray<int32_t>& n0,
                            const carray<int32_t>& n1, int32_t N) {
  using W = typename word_of<sizeof(T)>::type;
  static_assert(sizeof(W) == sizeof(T));
  if (rows_pack.ndim() != 3) value_error("rows_pack must be collapsed to (B, L, J)");
  const int64_t B = as_i64(rows_pack.shape(0));
  const int64_t L = as_i64(rows_pack.shape(1));
  const int64_t J = as_i64(rows_pack.shape(2));
  require(as_i64(extent(n0, 0)) == B, "n0/n1 must be (B,)");
  require(as_i64(extent(n1, 0)) == B, "n0/n1 must be (B,)");
  require_elements(n0, B, "n0/n1 must be (B,)");
  require_elements(n1, B, "n0/n1 must be (B,)");
  flat_size_i32("rows_pack (B, L, J)", B, L, J);
  // A negative N is left to NumPy, which refuses to create the result.
  const int64_t N_out = N > 0 ? int64_t(N) : 0;
  const int64_t total = flat_size_i32("the result (B, L, N)", B, L, N_out);
  require_kokkos();

  WorkspacePool& pool = thread_workspace();
  const W* rows_data = reinterpret_cast<const W*>(rows_pack.data());
  auto rv = stage_in_aligned(pool, "glue.sc.rows", rows_data, sizeof(T), B, L, J);
  auto v0 = stage_in(pool, "glue.sc.n0", n0.data(), B);
  auto v1 = stage_in(pool, "glue.sc.n1", n1.data(), B);

  const bool zero_alloc = total * int64_t(sizeof(T)) >= kScatterZeroAllocBytes;
  auto out = zero_alloc ? new_zeroed_array<T>({B, L, int64_t(N)})
                        : new_array<T>({B, L, int64_t(N)});
  auto out_s = stage_out_aligned(pool, "glue.sc.out", reinterpret_cast<W*>(mutable_ptr(out)),
                                 sizeof(T), B, L, N_out);
  // A zero-filled result written in place needs no zero pass; a staging slot
  // holds whatever an earlier call left there and does.
  const bool zeros_known = zero_alloc && out_s.dest.data() == nullptr;

  const ScatterChunks chunks{total, std::max<int64_t>(1, kScatterChunkBytes / int64_t(sizeof(T)))};
  const int64_t n_chunks = chunks.count();
  const int32_t j32 = static_cast<int32_t>(J), l32 = static_cast<int32_t>(L);
  const ScatterChunkRows rows_of{v1, v0, j32, N, l32, total, chunks.chunk};
  const Space space;
  Kokkos::parallel_for("scatter_rows.zero",
                       Policy1<Space>(space, 0, zeros_known ? 0 : n_chunks),
                       ScatterZero<W>{rows_of, out_s.target});
  Kokkos::parallel_for("scatter_rows", Policy1<Space>(space, 0, n_chunks),
                       ScatterRows<W>{rows_of, out_s.target, rv});
  space.fence();
  out_s.copy_back();
  return out;
}

}  // namespace radiredide::glue
