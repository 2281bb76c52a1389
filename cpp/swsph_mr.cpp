// Merger-ringdown kernels: segment values and parameter gradients, the
// differentiated inspiral/merger-ringdown join, the symmetrised
// coefficient-gradient contraction and the merger-ringdown blend.
#include "swsph.hpp"

#include "common/chebyshev.hpp"
#include "common/errors.hpp"
#include "common/huge_pages.hpp"
#include "common/variants.hpp"
#include "common/lanes.hpp"
#include "common/pyarray.hpp"
#include "common/staging.hpp"
#include "workspace.hpp"

#include <Kokkos_Core.hpp>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace radiredide {
namespace py = pybind11;

namespace {

constexpr int kMaxNl = 4;  // mixing-block slots a segment kernel item holds on its stack
constexpr double kPi = 3.141592653589793;
constexpr double kHalfPi = 1.5707963267948966;

template <class Space>
using MD2 = Kokkos::MDRangePolicy<Space, Kokkos::Rank<2>, Kokkos::IndexType<int64_t>>;
template <class Space>
using MD3 = Kokkos::MDRangePolicy<Space, Kokkos::Rank<3>, Kokkos::IndexType<int64_t>>;

const double* real_pairs(const cplx* p) { return reinterpret_cast<const double*>(p); }
double* real_pairs(cplx* p) { return reinterpret_cast<double*>(p); }

// ---------------------------------------------------------------- segment helpers

// Element of y among E elements: the last knot not above y, 0 for NaN.
KOKKOS_INLINE_FUNCTION int32_t mr_find_element(const double* breaks, int32_t E, double y) {
  if (E <= 1) return 0;
  int32_t lo = 0, hi = E - 1;
  while (lo < hi) {
    const int32_t mid = (lo + hi + 1) / 2;
    if (y >= breaks[mid])
      lo = mid;
    else
      hi = mid - 1;
  }
  return lo;
}

// Clamp to [lo, hi]; a NaN x stays NaN.
KOKKOS_INLINE_FUNCTION double mr_clamp(double x, double lo, double hi) {
  if (x < lo) return lo;
  return (hi < x) ? hi : x;
}

struct Cx {
  double re, im;
};

// Chebyshev sum (three-term form, common/chebyshev.hpp) of O coefficients
// stored as real pairs, at u.
KOKKOS_INLINE_FUNCTION Cx mr_clenshaw(const double* c, int32_t O, double u) {
  Cx r;
  cheb::three_term_complex(c, O, u, r.re, r.im);
  return r;
}

// Value and time derivative (the derivative recurrence run alongside; half is
// the half width of the element).
KOKKOS_INLINE_FUNCTION Cx mr_clenshaw_dt(const double* c, int32_t O, double u, double half,
                                         Cx* deriv) {
  Cx r;
  cheb::three_term_complex_d(c, O, u, half, r.re, r.im, deriv->re, deriv->im);
  return r;
}

KOKKOS_INLINE_FUNCTION void cmul_acc(Cx& acc, double xr, double xi, double yr, double yi) {
  acc.re = acc.re + ((xr * yr) - (xi * yi));
  acc.im = acc.im + ((xr * yi) + (xi * yr));
}

struct SegmentKernel {
  UView<const double, 2> t;
  const double* rbrk;
  const double* pbrk;
  const double* rc;    // (B, P, Er, O) real pairs
  const double* rg;    // (B, 3, P, Er, O)
  const double* pc;    // (B, P, Ep, O)
  const double* pg;    // (B, 3, P, Ep, O)
  UView<const double, 2> rate;
  UView<const double, 3> drate;
  UView<const int32_t, 2> blocks;
  const double* mix;   // (B, nblk, nl, nl) real pairs
  const double* dmix;
  UView<const double, 2> dchi;
  double* h;           // (B, P, N) real pairs
  double* dh;          // (B, 3, P, N)
  double* dhdt;        // (B, P, N) or null
  double ts, te;
  double rb0, rbE, pb0, pbE;
  int32_t Er, Ep, nblk, nl, O;
  int64_t P, N;
  bool want_dt;

  KOKKOS_INLINE_FUNCTION void operator()(int64_t b, int64_t n) const {
    const double x = t(b, n);
    double w, dw;
    if (ts < te) {
      double s = (x - ts) / (te - ts);
      s = (s < 0) ? 0.0 : ((1.0 < s) ? 1.0 : s);
      const double sp = s * kPi;
      w = (1 - std::cos(sp)) * 0.5;
      dw = (ts < x && x < te) ? (std::sin(sp) * kHalfPi) / (te - ts) : 0.0;
    } else {
      w = (ts <= x) ? 1.0 : 0.0;
      dw = 0.0;
    }
    const double tr = mr_clamp(x, rb0, rbE);
    const double tp = mr_clamp(x, pb0, pbE);
    const int32_t er = mr_find_element(rbrk, Er, tr);
    const int32_t ep = mr_find_element(pbrk, Ep, tp);
    const double wr = rbrk[er + 1] - rbrk[er];
    const double ur = ((tr - rbrk[er]) + (tr - rbrk[er])) / wr - 1;
    const double halfr = wr * 0.5;
    const double wp = pbrk[ep + 1] - pbrk[ep];
    const double up = ((tp - pbrk[ep]) + (tp - pbrk[ep])) / wp - 1;
    const double halfp = wp * 0.5;
    const int64_t EOr = int64_t(Er) * O, EOp = int64_t(Ep) * O;

    for (int32_t k = 0; k < nblk; ++k) {
      Cx rot[kMaxNl] = {}, trot[kMaxNl] = {}, grot[3][kMaxNl] = {};
      int32_t piece[kMaxNl];
      int32_t L = 0;
      while (L < nl && blocks(k, L) >= 0) {
        piece[L] = blocks(k, L);
        ++L;
      }
      for (int32_t q = 0; q < L; ++q) {
        const int64_t p = piece[q];
        const double* cr = rc + 2 * ((b * P + p) * EOr + int64_t(er) * O);
        Cx R, Rd{0.0, 0.0};
        if (want_dt)
          R = mr_clenshaw_dt(cr, O, ur, halfr, &Rd);
        else
          R = mr_clenshaw(cr, O, ur);
        const double om = rate(b, p);
        const double arg = om * tr;
        const double c = std::cos(arg);
        const double sg = std::sin(arg);
        rot[q] = Cx{c * R.re - R.im * sg, R.re * sg + c * R.im};
        for (int m = 0; m < 3; ++m) {
          const double* cg = rg + 2 * ((((b * 3 + m) * P) + p) * EOr + int64_t(er) * O);
          const Cx G = mr_clenshaw(cg, O, ur);
          const double kap = tr * drate(b, m, p);
          const double a = ((R.re * 0.0) - (kap * R.im)) + G.re;
          const double be = ((R.re * kap) + (R.im * 0.0)) + G.im;
          grot[m][q] = Cx{a * c - be * sg, c * be + a * sg};
        }
        if (want_dt) {
          const double a = Rd.re + ((R.re * 0.0) - (om * R.im));
          const double be = Rd.im + ((R.re * om) + (R.im * 0.0));
          trot[q] = Cx{c * a - be * sg, a * sg + c * be};
        }
      }
      for (int32_t j = 0; j < L; ++j) {
        const int64_t p = piece[j];
        const int64_t mrow = ((b * nblk + k) * nl + j) * nl;  // M[b, k, j, 0]
        Cx mixed{0.0, 0.0}, slope{0.0, 0.0}, tmix{0.0, 0.0};
        Cx gmix[3] = {{0.0, 0.0}, {0.0, 0.0}, {0.0, 0.0}};
        for (int32_t q = 0; q < L; ++q) {
          const double Mr = mix[2 * (mrow + q)], Mi = mix[2 * (mrow + q) + 1];
          const double Sr = dmix[2 * (mrow + q)], Si = dmix[2 * (mrow + q) + 1];
          cmul_acc(mixed, rot[q].re, rot[q].im, Mr, Mi);
          cmul_acc(slope, Sr, Si, rot[q].re, rot[q].im);
          for (int m = 0; m < 3; ++m) cmul_acc(gmix[m], grot[m][q].re, grot[m][q].im, Mr, Mi);
          if (want_dt) cmul_acc(tmix, trot[q].re, trot[q].im, Mr, Mi);
        }
        const double* cp = pc + 2 * ((b * P + p) * EOp + int64_t(ep) * O);
        Cx Pv, Pd{0.0, 0.0};
        if (want_dt)
          Pv = mr_clenshaw_dt(cp, O, up, halfp, &Pd);
        else
          Pv = mr_clenshaw(cp, O, up);
        const int64_t out = 2 * (b * P + p) * N + 2 * n;
        h[out] = (Pv.re * (1 - w)) + (w * mixed.re);
        h[out + 1] = (Pv.im * (1 - w)) + (w * mixed.im);
        for (int m = 0; m < 3; ++m) {
          const double* cq = pg + 2 * ((((b * 3 + m) * P) + p) * EOp + int64_t(ep) * O);
          const Cx Q = mr_clenshaw(cq, O, up);
          const double d = dchi(b, m);
          const int64_t o = 2 * (((b * 3 + m) * P + p) * N + n);
          dh[o] = (((slope.re * d) + gmix[m].re) * w) + (Q.re * (1 - w));
          dh[o + 1] = (((slope.im * d) + gmix[m].im) * w) + (Q.im * (1 - w));
        }
        if (want_dt) {
          dhdt[out] = ((w * tmix.re) + (Pd.re * (1 - w))) + ((mixed.re - Pv.re) * dw);
          dhdt[out + 1] = ((w * tmix.im) + (Pd.im * (1 - w))) + ((mixed.im - Pv.im) * dw);
        }
      }
    }
  }
};

bool same_shape(const py::array& a, std::initializer_list<py::ssize_t> shape) {
  if (a.ndim() != static_cast<py::ssize_t>(shape.size())) return false;
  py::ssize_t i = 0;
  for (py::ssize_t s : shape)
    if (a.shape(i++) != s) return false;
  return true;
}

// The arguments of mr_segment_grad, named as its keywords.
struct SegmentGradArgs {
  carray<double> ring_breaks;
  carray<cplx> ring_coefficients;
  carray<cplx> ring_coefficient_gradients;
  carray<double> plunge_breaks;
  carray<cplx> plunge_coefficients;
  carray<cplx> plunge_coefficient_gradients;
  carray<double> rewind_rate;
  carray<double> rewind_rate_gradient;
  carray<int32_t> mixing_blocks;
  carray<cplx> mixing_matrices;
  carray<cplx> mixing_matrix_chi_slopes;
  carray<double> remnant_spin_gradient;
  carray<double> t;
  double t_split;
  double t_blend_end;
  bool want_time_derivative;
};

// The extents of a segment call: B rows of N samples, P pieces, Er ring and
// Ep plunge elements of O coefficients, nblk mixing blocks of nl slots.
struct SegmentShape {
  py::ssize_t B, P, N, Er, Ep, O, nblk, nl;
};

// Every piece must stand in exactly one block's slot list: the kernel writes
// block by block, so anything else leaves output uninitialised or written
// twice.
void check_mixing_blocks(const carray<int32_t>& mixing_blocks, py::ssize_t P) {
  const py::ssize_t nblk = mixing_blocks.shape(0), nl = mixing_blocks.shape(1);
  std::vector<int32_t> count(static_cast<size_t>(P), 0);
  std::vector<char> covered(static_cast<size_t>(P), 0);
  const int32_t* blk = mixing_blocks.data();
  for (py::ssize_t k = 0; k < nblk; ++k) {
    bool in_slots = true;
    for (py::ssize_t q = 0; q < nl; ++q) {
      const int32_t v = load_unaligned(blk, k * nl + q);
      if (v < 0) {
        in_slots = false;
        continue;
      }
      require(v < P, "a mixing block names a piece index outside the coefficient tensor");
      require(count[v]++ == 0, "a piece appears in two mixing blocks");
      if (in_slots) covered[v] = 1;
    }
  }
  for (py::ssize_t p = 0; p < P; ++p)
    require(covered[p] != 0,
            "the mixing blocks do not cover every piece; this kernel writes its output block "
            "by block, so an uncovered piece would come back uninitialised");
}

// Every check of a segment call, in the order that decides which message a
// caller sees; nothing is allocated.
SegmentShape check_segment_args(const SegmentGradArgs& a) {
  require(a.ring_coefficients.ndim() == 4, "ring coefficients must be (B, P, E, O)");
  require(a.plunge_coefficients.ndim() == 4, "plunge coefficients must be (B, P, E, O)");
  const py::ssize_t B = a.ring_coefficients.shape(0), P = a.ring_coefficients.shape(1);
  require(a.plunge_coefficients.shape(0) == B && a.plunge_coefficients.shape(1) == P,
          "ring and plunge must share (B, P)");
  require(a.plunge_coefficients.shape(3) == a.ring_coefficients.shape(3),
          "ring and plunge must share the order O");
  const py::ssize_t Er = a.ring_coefficients.shape(2), Ep = a.plunge_coefficients.shape(2);
  const py::ssize_t O = a.ring_coefficients.shape(3);
  require(extent(a.ring_breaks, 0) == Er + 1, "breaks must be one longer than the elements");
  require(extent(a.plunge_breaks, 0) == Ep + 1, "breaks must be one longer than the elements");
  // Trailing axes of extent 0 would leave fewer knots than are read.
  require(a.ring_breaks.size() >= Er + 1 && a.plunge_breaks.size() >= Ep + 1,
          "breaks must be one longer than the elements");
  require(same_shape(a.ring_coefficient_gradients, {B, 3, P, Er, O}),
          "ring gradients must be (B, 3, P, E, O)");
  require(same_shape(a.plunge_coefficient_gradients, {B, 3, P, Ep, O}),
          "plunge gradients must be (B, 3, P, E, O)");
  require(same_shape(a.rewind_rate, {B, P}), "rewind rate must be (B, P)");
  require(same_shape(a.rewind_rate_gradient, {B, 3, P}),
          "rewind rate gradient must be (B, 3, P)");
  require(a.mixing_blocks.ndim() == 2, "mixing blocks must be (nblk, nlmax)");
  const py::ssize_t nblk = a.mixing_blocks.shape(0), nl = a.mixing_blocks.shape(1);
  require(nl <= kMaxNl, "nlmax exceeds the kernel's MAXNL of 4");
  require(same_shape(a.mixing_matrices, {B, nblk, nl, nl}),
          "mixing matrices must be (B, nblk, nl, nl)");
  require(same_shape(a.mixing_matrix_chi_slopes, {B, nblk, nl, nl}),
          "mixing slopes must match the matrices");
  check_mixing_blocks(a.mixing_blocks, P);
  require(same_shape(a.remnant_spin_gradient, {B, 3}), "dchi_f/dtheta must be (B, 3)");
  require(a.t.ndim() == 2 && a.t.shape(0) == B, "t must be (B, N)");
  const py::ssize_t N = a.t.shape(1);
  // The kernel reads knot e + 1 and coefficient 0 of every sample's element.
  if (B > 0 && N > 0 && P > 0)
    require(Er >= 1 && Ep >= 1 && O >= 1,
            "the ring and plunge fits need at least one element and one coefficient");
  flat_size_i32("ring gradients", B, 3, P, Er, O);
  flat_size_i32("plunge gradients", B, 3, P, Ep, O);
  flat_size_i32("dh", B, 3, P, N);
  return SegmentShape{B, P, N, Er, Ep, O, nblk, nl};
}

// The segment kernel over the staged inputs (its outputs are set once the
// results are allocated).
SegmentKernel segment_kernel(WorkspacePool& ws, const SegmentGradArgs& a, const SegmentShape& s) {
  const py::ssize_t B = s.B, P = s.P, N = s.N, Er = s.Er, Ep = s.Ep, O = s.O;
  SegmentKernel k{};
  k.rbrk = stage_in(ws, "mrg_rbrk", a.ring_breaks.data(), Er + 1).data();
  k.pbrk = stage_in(ws, "mrg_pbrk", a.plunge_breaks.data(), Ep + 1).data();
  k.rc = real_pairs(stage_in(ws, "mrg_rc", a.ring_coefficients.data(), B, P, Er, O).data());
  k.rg = real_pairs(
      stage_in(ws, "mrg_rg", a.ring_coefficient_gradients.data(), B, 3, P, Er, O).data());
  k.pc = real_pairs(stage_in(ws, "mrg_pc", a.plunge_coefficients.data(), B, P, Ep, O).data());
  k.pg = real_pairs(
      stage_in(ws, "mrg_pg", a.plunge_coefficient_gradients.data(), B, 3, P, Ep, O).data());
  k.rate = stage_in(ws, "mrg_rate", a.rewind_rate.data(), B, P);
  k.drate = stage_in(ws, "mrg_drate", a.rewind_rate_gradient.data(), B, 3, P);
  k.blocks = stage_in(ws, "mrg_blk", a.mixing_blocks.data(), s.nblk, s.nl);
  k.mix = real_pairs(
      stage_in(ws, "mrg_mix", a.mixing_matrices.data(), B, s.nblk, s.nl, s.nl).data());
  k.dmix = real_pairs(
      stage_in(ws, "mrg_dmix", a.mixing_matrix_chi_slopes.data(), B, s.nblk, s.nl, s.nl).data());
  k.dchi = stage_in(ws, "mrg_dchi", a.remnant_spin_gradient.data(), B, 3);
  k.t = stage_in(ws, "mrg_t", a.t.data(), B, N);
  k.ts = a.t_split;
  k.te = a.t_blend_end;
  k.rb0 = k.rbrk[0];
  k.rbE = k.rbrk[Er];
  k.pb0 = k.pbrk[0];
  k.pbE = k.pbrk[Ep];
  k.Er = static_cast<int32_t>(Er);
  k.Ep = static_cast<int32_t>(Ep);
  k.nblk = static_cast<int32_t>(s.nblk);
  k.nl = static_cast<int32_t>(s.nl);
  k.O = static_cast<int32_t>(O);
  k.P = static_cast<int64_t>(P);
  k.N = static_cast<int64_t>(N);
  k.want_dt = a.want_time_derivative;
  return k;
}

// The result arrays of a segment call, h (B, P, N), dh (B, 3, P, N) and,
// when asked for, dh/dt (B, P, N), and the views the kernel writes them
// through.
struct SegmentResults {
  py::array_t<cplx> h, dh, dhdt;
  bool want_dt;
  StagedOutput<cplx, 3> h_out, dhdt_out;
  StagedOutput<cplx, 4> dh_out;

  SegmentResults(WorkspacePool& ws, const SegmentShape& s, bool want_time_derivative)
      : h(new_array<cplx>({s.B, s.P, s.N})),
        dh(new_array<cplx>({s.B, 3, s.P, s.N})),
        want_dt(want_time_derivative) {
    if (want_dt) dhdt = new_array<cplx>({s.B, s.P, s.N});
    h_out = stage_out(ws, "mrg_h", mutable_ptr(h), s.B, s.P, s.N);
    dh_out = stage_out(ws, "mrg_dh", mutable_ptr(dh), s.B, 3, s.P, s.N);
    if (want_dt) dhdt_out = stage_out(ws, "mrg_dhdt", mutable_ptr(dhdt), s.B, s.P, s.N);
  }
  void copy_back() const {
    h_out.copy_back();
    dh_out.copy_back();
    if (want_dt) dhdt_out.copy_back();
  }
  py::tuple result() const {
    return py::make_tuple(h, dh, want_dt ? py::object(dhdt) : py::object(py::none()));
  }
};

template <class Space>
void launch_segment(const SegmentKernel& k, const SegmentShape& s) {
  if (s.B > 0 && s.N > 0) {
    Kokkos::parallel_for("mr_segment_grad", MD2<Space>({0, 0}, {int64_t(s.B), int64_t(s.N)}), k);
    Space().fence();
  }
}

template <class Space>
py::tuple mr_segment_grad(const SegmentGradArgs& a) {
  const SegmentShape s = check_segment_args(a);
  require_kokkos();
  WorkspacePool& ws = thread_workspace();
  SegmentKernel k = segment_kernel(ws, a, s);
  const SegmentResults r(ws, s, a.want_time_derivative);
  k.h = real_pairs(r.h_out.target.data());
  k.dh = real_pairs(r.dh_out.target.data());
  k.dhdt = r.want_dt ? real_pairs(r.dhdt_out.target.data()) : nullptr;
  launch_segment<Space>(k, s);
  r.copy_back();
  return r.result();
}

// ---------------------------------------------------------------- blend

// The flat (B * P) x N samples are split into contiguous chunks of
// kBlendChunk samples; a static schedule gives every thread one run of
// chunks, and within a chunk each (b, p) row is a plain loop over n.
constexpr int64_t kBlendChunk = 4096;

template <class T>
struct BlendKernel {
  UView<const double, 2> w;
  int64_t r;  // 0 when one weight row serves every batch row
  UView<const T, 3> hp, hr;  // (B, P, 2N)
  UView<double, 3> out;
  int64_t P, N, total;  // total = B * P * N samples
  KOKKOS_INLINE_FUNCTION void operator()(const int64_t c) const {
    const int64_t f0 = c * kBlendChunk;
    const int64_t f1 = (f0 + kBlendChunk < total) ? f0 + kBlendChunk : total;
    for (int64_t row = f0 / N; row * N < f1; ++row) {
      const int64_t b = row / P;
      const int64_t rs = row * N;
      const int64_t n_lo = (f0 > rs) ? f0 - rs : 0;
      const int64_t n_hi = (f1 - rs < N) ? f1 - rs : N;
      const double* wrow = &w(b * r, 0);
      const T* p_ = hp.data() + 2 * rs;
      const T* q_ = hr.data() + 2 * rs;
      double* o_ = out.data() + 2 * rs;
      for (int64_t n = n_lo; n < n_hi; ++n) {
        const double wv = wrow[n];
        const double v = 1.0 - wv;
        const double pr = static_cast<double>(p_[2 * n]), pi = static_cast<double>(p_[2 * n + 1]);
        const double rr = static_cast<double>(q_[2 * n]), ri = static_cast<double>(q_[2 * n + 1]);
        const double Are = (v * pr) - (pi * 0.0);
        const double Aim = (v * pi) + (pr * 0.0);
        const double Wre = (rr * wv) - (ri * 0.0);
        const double Wim = (ri * wv) + (rr * 0.0);
        o_[2 * n] = Wre + Are;
        o_[2 * n + 1] = Wim + Aim;
      }
    }
  }
};

template <class Space, class T>
py::array_t<cplx> mr_blend(carray<std::complex<T>> h_p, carray<std::complex<T>> h_r,
                           carray<double> w) {
  require(h_p.ndim() == 3 && h_r.ndim() == 3, "h_p and h_r must be (B, P, N)");
  require(h_p.shape(0) == h_r.shape(0) && h_p.shape(1) == h_r.shape(1) &&
              h_p.shape(2) == h_r.shape(2),
          "h_p and h_r must have the same shape");
  const py::ssize_t B = h_p.shape(0), P = h_p.shape(1), N = h_p.shape(2);
  require(w.ndim() == 2 && w.shape(1) == N, "w must be (B, N) or (1, N)");
  require(w.shape(0) == B || w.shape(0) == 1, "w's batch axis must be B or 1");
  const py::ssize_t wrows = w.shape(0);
  flat_size_i32("h_p", B, P, 2 * N);
  require_kokkos();

  WorkspacePool& ws = thread_workspace();
  auto hp = stage_in_aligned<T>(ws, "blend_hp", reinterpret_cast<const T*>(h_p.data()), sizeof(T),
                                B, P, 2 * N);
  auto hr = stage_in_aligned<T>(ws, "blend_hr", reinterpret_cast<const T*>(h_r.data()), sizeof(T),
                                B, P, 2 * N);
  auto wv = stage_in(ws, "blend_w", w.data(), wrows, N);
  auto res = new_array<cplx>({B, P, N});
  auto out = stage_out_aligned<double>(ws, "blend_out", real_pairs(mutable_ptr(res)), 8, B, P,
                                       2 * N);
  const int64_t total = int64_t(B) * int64_t(P) * int64_t(N);
  BlendKernel<T> k{wv, (wrows == 1) ? int64_t(0) : int64_t(1), hp, hr, out.target,
                   int64_t(P), int64_t(N), total};
  if (B > 0 && P > 0 && N > 0) {
    Kokkos::parallel_for("mr_blend",
                         Kokkos::RangePolicy<Space, Kokkos::IndexType<int64_t>>(
                             0, (total + kBlendChunk - 1) / kBlendChunk),
                         k);
    Space().fence();
  }
  out.copy_back();
  return res;
}

// ---------------------------------------------------------------- join

// One work item per (b, p) row: a plain loop over the window's samples with
// every row's base address formed once.
struct JoinKernel {
  int64_t start;
  const double* ramp;  // (B, Nw)
  double* h;           // (B, P, N) real pairs
  const double* hm;    // (B, P, Nw) real pairs
  const double* hmdt;  // (B, P, Nw) real pairs
  const double* dhm;   // (B, 3, P, Nw) real pairs
  const double* dte;   // (B, 3)
  double* dh;          // (B, 3, P, N) real pairs
  const double* dw;    // (B, 3, Nw)
  int64_t P, N, Nw;

  KOKKOS_INLINE_FUNCTION void operator()(const int64_t row) const {
    const int64_t b = row / P, p = row - b * P;
    const double* wr = ramp + b * Nw;
    double* hr = h + 2 * (row * N + start);
    const double* mr = hm + 2 * row * Nw;
    const double* mtr = hmdt + 2 * row * Nw;
    const double* dmr[3];
    double* dhr[3];
    const double* dwr[3];
    double tau[3];
    for (int i = 0; i < 3; ++i) {
      dmr[i] = dhm + 2 * (((b * 3 + i) * P + p) * Nw);
      dhr[i] = dh + 2 * (((b * 3 + i) * P + p) * N + start);
      dwr[i] = dw + (b * 3 + i) * Nw;
      tau[i] = dte[b * 3 + i];
    }
    for (int64_t n = 0; n < Nw; ++n) {
      const double w = wr[n];
      const double v = 1.0 - w;
      const double hre = hr[2 * n], him = hr[2 * n + 1];
      const double mre = mr[2 * n], mim = mr[2 * n + 1];
      const double tre = mtr[2 * n], tim = mtr[2 * n + 1];
      const double diff_re = mre - hre, diff_im = mim - him;
      for (int i = 0; i < 3; ++i) {
        const double g = dwr[i][n];
        double* d = dhr[i] + 2 * n;
        d[0] = ((v * d[0]) + (((tau[i] * tre) + dmr[i][2 * n]) * w)) + (g * diff_re);
        d[1] = ((v * d[1]) + (((tau[i] * tim) + dmr[i][2 * n + 1]) * w)) + (g * diff_im);
      }
      hr[2 * n] = (hre * v) + (mre * w);
      hr[2 * n + 1] = (him * v) + (mim * w);
    }
  }
};

// h and dh are updated in place: only a C-contiguous complex128 ndarray can
// be the caller's own buffer, so anything NumPy would have to convert is
// refused rather than updated as a temporary copy.
py::array inplace_complex128(py::handle obj, const char* name) {
  if (!py::isinstance<py::array>(obj))
    throw py::type_error(std::string(name) + " must be a C-contiguous complex128 numpy array "
                                             "(it is updated in place)");
  auto a = py::reinterpret_borrow<py::array>(obj);
  if (!a.dtype().equal(py::dtype::of<cplx>()))
    throw py::type_error(std::string(name) + " must be a C-contiguous complex128 numpy array "
                                             "(it is updated in place); got dtype " +
                         std::string(py::str(a.dtype())));
  if (!(a.flags() & py::array::c_style))
    throw py::type_error(std::string(name) + " must be a C-contiguous complex128 numpy array "
                                             "(it is updated in place); got a non-contiguous "
                                             "array");
  return a;
}

template <class Space>
void imr_join_grad(py::object h_obj, py::object dh_obj, carray<cplx> h_mr, carray<cplx> dh_mr,
                   carray<cplx> dh_mr_dt, carray<double> ramp, carray<double> ramp_gradient,
                   carray<double> peak_time_gradient, int64_t window_start) {
  py::array h = inplace_complex128(h_obj, "h");
  py::array dh = inplace_complex128(dh_obj, "dh");
  require(h.ndim() == 3, "h must be (B, P, N)");
  const py::ssize_t B = h.shape(0), P = h.shape(1), N = h.shape(2);
  require(same_shape(dh, {B, 3, P, N}), "dh must be (B, 3, P, N)");
  require(h_mr.ndim() == 3 && h_mr.shape(0) == B && h_mr.shape(1) == P,
          "h_mr must be (B, P, Nw)");
  const py::ssize_t Nw = h_mr.shape(2);
  require(same_shape(dh_mr, {B, 3, P, Nw}), "dh_mr must be (B, 3, P, Nw)");
  require(same_shape(dh_mr_dt, {B, P, Nw}), "dh_mr/dt must be (B, P, Nw)");
  require(same_shape(ramp, {B, Nw}), "the ramp must be (B, Nw)");
  require(same_shape(ramp_gradient, {B, 3, Nw}), "the ramp gradient must be (B, 3, Nw)");
  require(same_shape(peak_time_gradient, {B, 3}), "dtau_end/dtheta must be (B, 3)");
  // N and Nw are non-negative, so N - Nw cannot overflow.
  require(window_start >= 0 && window_start <= static_cast<int64_t>(N) - static_cast<int64_t>(Nw),
          "the join window leaves the sample grid");
  if (!h.writeable()) value_error("array is not writeable");
  if (!dh.writeable()) value_error("array is not writeable");
  flat_size_i32("dh", B, 3, P, N);
  require_kokkos();

  WorkspacePool& ws = thread_workspace();
  auto hm = stage_in(ws, "join_hm", h_mr.data(), B, P, Nw);
  auto dhm = stage_in(ws, "join_dhm", dh_mr.data(), B, 3, P, Nw);
  auto hmdt = stage_in(ws, "join_dhmdt", dh_mr_dt.data(), B, P, Nw);
  auto wv = stage_in(ws, "join_w", ramp.data(), B, Nw);
  auto dwv = stage_in(ws, "join_dw", ramp_gradient.data(), B, 3, Nw);
  auto dte = stage_in(ws, "join_dte", peak_time_gradient.data(), B, 3);

  // h and dh are read and written as float64 pairs in place; only a buffer
  // not even aligned to 8 bytes goes through a slot and back.
  auto* hp = static_cast<double*>(h.mutable_data());
  auto* dhp = static_cast<double*>(dh.mutable_data());
  auto h_io = stage_out_aligned<double>(ws, "join_h", hp, 8, B, P, 2 * N);
  auto dh_io = stage_out_aligned<double>(ws, "join_dh", dhp, 8, B, 3, P, 2 * N);
  copy_bytes(h_io.target.data(), hp, h_io.target.span() * sizeof(double));
  copy_bytes(dh_io.target.data(), dhp, dh_io.target.span() * sizeof(double));

  JoinKernel k{window_start,
               wv.data(),
               h_io.target.data(),
               real_pairs(hm.data()),
               real_pairs(hmdt.data()),
               real_pairs(dhm.data()),
               dte.data(),
               dh_io.target.data(),
               dwv.data(),
               int64_t(P),
               int64_t(N),
               int64_t(Nw)};
  if (B > 0 && P > 0 && Nw > 0) {
    Kokkos::parallel_for("imr_join_grad",
                         Kokkos::RangePolicy<Space, Kokkos::IndexType<int64_t>>(0, int64_t(B) * P), k);
    Space().fence();
  }
  h_io.copy_back();
  dh_io.copy_back();
}

// ---------------------------------------------------------------- contraction

// The kernel rows of one point and group, the lanes of a vector being
// training points: every lane does the scalar sequence of its training point
// (the exponentials one C-library call per value), so any lane count gives
// the same bits.
struct KernelRowArgs {
  double uu[3], um[3], l[3];
  double s;
  double J[3][3];       // J[l][m] of the point
  const double* U;      // training coordinates (n_train, 3)
  double* out;          // rows(b, g, 0, 0); channel ch at ch x n
  int32_t n;
};

// Training points [i, i + lanes of V) (V is double or a lane vector).
template <class V>
RR_INLINE void kernel_rows_at(const KernelRowArgs& a, int32_t i) {
  constexpr int L = static_cast<int>(sizeof(V) / sizeof(double));
  const double sig[3] = {-1.0, 1.0, -1.0};
  V U[3];
  for (int d = 0; d < 3; ++d) {
    double t[L];
    for (int j = 0; j < L; ++j) t[j] = a.U[3 * int64_t(i + j) + d];
    std::memcpy(&U[d], t, sizeof(V));
  }
  V z[3], zm[3];
  for (int d = 0; d < 3; ++d) {
    z[d] = (a.uu[d] - U[d]) / a.l[d];
    zm[d] = (a.um[d] - U[d]) / a.l[d];
  }
  const V S = ((0.0 + z[0] * z[0]) + z[1] * z[1]) + z[2] * z[2];
  const V Sm = ((0.0 + zm[0] * zm[0]) + zm[1] * zm[1]) + zm[2] * zm[2];
  double e[L], em[L];
  const V x = S * (-0.5), xm = Sm * (-0.5);
  std::memcpy(e, &x, sizeof(V));
  std::memcpy(em, &xm, sizeof(V));
  for (int j = 0; j < L; ++j) {
    e[j] = std::exp(e[j]);
    em[j] = std::exp(em[j]);
  }
  V k, km;
  std::memcpy(&k, e, sizeof(V));
  std::memcpy(&km, em, sizeof(V));
  const V r0 = ((km * a.s) + k) * 0.5;
  std::memcpy(a.out + i, &r0, sizeof(V));
  V R[3];
  for (int d = 0; d < 3; ++d) {
    const double lam = a.l[d] * a.l[d];
    R[d] = ((((-(a.uu[d] - U[d] * sig[d])) / lam) * km) * a.s + ((-(a.uu[d] - U[d])) / lam) * k) *
           0.5;
  }
  for (int m = 0; m < 3; ++m) {
    const V r = (R[0] * a.J[0][m] + R[1] * a.J[1][m]) + R[2] * a.J[2][m];
    std::memcpy(a.out + int64_t(1 + m) * a.n + i, &r, sizeof(V));
  }
}

template <class V>
RR_INLINE void kernel_rows_with(const KernelRowArgs& a) {
  constexpr int L = static_cast<int>(sizeof(V) / sizeof(double));
  int32_t i = 0;
  for (; i + L <= a.n; i += L) kernel_rows_at<V>(a, i);
  for (; i < a.n; ++i) kernel_rows_at<double>(a, i);
}


struct ContractRowsKernel {
  UView<const double, 2> u;
  UView<const double, 3> jac;
  UView<const double, 2> trainU;
  UView<const double, 1> sign;
  UView<const double, 2> ls;
  UView<double, 4> rows;  // (B, G, 4, n_train)
  int32_t n_train;
  Isa isa;

  KOKKOS_INLINE_FUNCTION void operator()(int64_t b, int64_t g) const {
    if (n_train == 0) return;
    KernelRowArgs a;
    for (int d = 0; d < 3; ++d) {
      a.uu[d] = u(b, d);
      a.l[d] = ls(g, d);
      for (int m = 0; m < 3; ++m) a.J[d][m] = jac(b, d, m);
    }
    a.um[0] = -a.uu[0];
    a.um[1] = a.uu[1];
    a.um[2] = -a.uu[2];
    a.s = sign(g);
    a.U = trainU.data();
    a.out = &rows(b, g, 0, 0);
    a.n = n_train;
    variants::run<Isa::avx512, Isa::avx2, Isa::generic>(
        isa,
        []<Isa I>(const KernelRowArgs& args)
            RR_INLINE_LAMBDA { kernel_rows_with<lanes::vec_t<double, I>>(args); },
        a);
  }
};

// One work item sums two neighbouring column tiles of one group (16 columns;
// a group's last tile alone when its tile count is odd) over batch rows
// [b0, b1).  Each lane performs exactly the scalar sequence of one output:
// block rows r in chunks of 32, each chunk's products (v x weight) added in
// increasing r to a partial sum started from +0.0, the partial then added to
// the column's total (also started from +0.0).  The item runs chunk by chunk.
// It first copies the chunk's block rows of its columns into a small
// contiguous buffer: they lie a whole padded row apart, which crowds them into
// a few cache sets and onto many pages, while the buffer stays in the
// first-level cache for all the item's batch rows.  Then the item's row
// values, (batch row, channel) pairs taken K at a time, are summed from the
// buffer: every weight vector loaded serves K sums and every row value
// broadcast serves all the vectors of both planes; the lanes of a vector are
// columns.  The totals wait in a buffer of the item until its last chunk.
constexpr int32_t kApplyChunk = 32;  // block rows per partial sum

// Batch rows per work item of the apply kernel: items are (column tiles, chunk
// of rows), so that a batch too small for many tiles still spreads over the
// threads.
constexpr int32_t kApplyRowChunk = 24;

// Columns per work item: two column tiles.
constexpr int32_t kApplyWidth = 16;

struct ApplyTileArgs {
  const double* wre;     // block row 0, column c0 of the real plane
  const double* wim;     // the same in the imaginary plane
  int64_t wg;            // block row stride (the padded column count)
  const double* trend;   // trend(0, g, 0, 0)
  int64_t trend_b;       // stride of b in the trend rows (G x 4 x nt_max)
  int64_t trend_ch;      // stride of a channel (nt_max)
  const double* krows;   // kernel rows (0, g, 0, 0)
  int64_t krow_b;        // G x 4 x n_train
  int64_t krow_ch;       // n_train
  int32_t tg, nrows;
  int32_t b0, b1;
  int32_t width;         // columns summed: 8 or 16
  const int64_t* pos;    // output position of each stored column
  int32_t ncols;         // stored columns (the rest is padding)
  double* C;             // (B, P*E*O) real pairs
  double* dC;            // (B, 3, P*E*O) real pairs
  int64_t PEO;
};

// The item's buffers: the chunk's weights as [row][plane][column] and the
// totals as [batch row x 4 + channel][plane][column].
struct ApplyBuffers {
  alignas(64) double w[kApplyChunk * 2 * kApplyWidth];
  alignas(64) double tot[kApplyRowChunk * 4 * 2 * kApplyWidth];
};

// n buffered block rows from w (NV vectors of columns per plane), row values
// src[k][0 .. n - 1].
template <Isa I, class V, int NV, int K>
RR_INLINE void apply_steps(const double* w, const double* const* src,
                                                       int32_t n, V (&pre)[K][NV],
                                                       V (&pim)[K][NV]) {
  constexpr int L = static_cast<int>(sizeof(V) / sizeof(double));
  for (int32_t r = 0; r < n; ++r) {
    V wr[NV], wi[NV];
#pragma GCC unroll 4
    for (int j = 0; j < NV; ++j) {
      std::memcpy(&wr[j], w + 2 * kApplyWidth * r + j * L, sizeof(V));
      std::memcpy(&wi[j], w + 2 * kApplyWidth * r + kApplyWidth + j * L, sizeof(V));
    }
#pragma GCC unroll 12
    for (int k = 0; k < K; ++k) {
      const double* v = src[k] + r;  // broadcast inside the multiplies
#pragma GCC unroll 4
      for (int j = 0; j < NV; ++j) {
        pre[k][j] = lanes::mul_bcast<I>(v, wr[j]) + pre[k][j];
        pim[k][j] = lanes::mul_bcast<I>(v, wi[j]) + pim[k][j];
      }
    }
  }
}

// Block rows [r0, r1) of columns [col, col + NV x lanes) for the K row values
// from the item's pair kb (pair q is batch row b0 + q / 4, channel q % 4),
// added to their totals.  A chunk that holds both trend and kernel rows runs
// the steps twice on the same partial sums, first over its trend rows, then
// over its kernel rows, so the partial sums stay in registers throughout.
template <Isa I, class V, int NV, int K>
RR_INLINE void apply_rows(const ApplyTileArgs& a, ApplyBuffers& buf,
                                                      int32_t kb, int32_t col, int32_t r0,
                                                      int32_t r1) {
  constexpr int L = static_cast<int>(sizeof(V) / sizeof(double));
  const double* src[K];
  const auto trend_row = [&](int k) {
    return a.trend + int64_t(a.b0 + (kb + k) / 4) * a.trend_b + ((kb + k) % 4) * a.trend_ch;
  };
  const auto kernel_row = [&](int k) {
    return a.krows + int64_t(a.b0 + (kb + k) / 4) * a.krow_b + ((kb + k) % 4) * a.krow_ch;
  };
  V pre[K][NV], pim[K][NV];
#pragma GCC unroll 12
  for (int k = 0; k < K; ++k) {
#pragma GCC unroll 4
    for (int j = 0; j < NV; ++j) {
      pre[k][j] = V{};
      pim[k][j] = V{};
    }
  }
  // Rows below tg multiply the trend rows, the others the kernel rows.
  const int32_t rt = (r1 < a.tg) ? r1 : (r0 > a.tg ? r0 : a.tg);
  if (rt > r0) {
    for (int k = 0; k < K; ++k) src[k] = trend_row(k) + r0;
    apply_steps<I, V, NV, K>(buf.w + col, src, rt - r0, pre, pim);
  }
  if (r1 > rt) {
    for (int k = 0; k < K; ++k) src[k] = kernel_row(k) + (rt - a.tg);
    apply_steps<I, V, NV, K>(buf.w + col + 2 * kApplyWidth * (rt - r0), src, r1 - rt, pre, pim);
  }
  double* tot = buf.tot + 2 * kApplyWidth * kb + col;
#pragma GCC unroll 12
  for (int k = 0; k < K; ++k) {
#pragma GCC unroll 4
    for (int j = 0; j < NV; ++j) {
      V tr, ti;
      std::memcpy(&tr, tot + 2 * kApplyWidth * k + j * L, sizeof(V));
      std::memcpy(&ti, tot + 2 * kApplyWidth * k + kApplyWidth + j * L, sizeof(V));
      tr = tr + pre[k][j];
      ti = ti + pim[k][j];
      std::memcpy(tot + 2 * kApplyWidth * k + j * L, &tr, sizeof(V));
      std::memcpy(tot + 2 * kApplyWidth * k + kApplyWidth + j * L, &ti, sizeof(V));
    }
  }
}

// All the item's (batch row, channel) pairs over block rows [r0, r1) of
// columns [col, col + NV x lanes): K at a time, the rest (the pair count is a
// multiple of 4) four and two at a time.
template <Isa I, class V, int NV, int K>
RR_INLINE void apply_pairs(const ApplyTileArgs& a, ApplyBuffers& buf,
                                                       int32_t col, int32_t r0, int32_t r1) {
  const int32_t n = 4 * (a.b1 - a.b0);
  int32_t kb = 0;
  for (; kb + K <= n; kb += K) apply_rows<I, V, NV, K>(a, buf, kb, col, r0, r1);
  if constexpr (K > 4)
    for (; kb + 4 <= n; kb += 4) apply_rows<I, V, NV, 4>(a, buf, kb, col, r0, r1);
  if constexpr (K % 4 != 0)
    for (; kb + 2 <= n; kb += 2) apply_rows<I, V, NV, 2>(a, buf, kb, col, r0, r1);
}

// Columns are summed NV x lanes at a time: the tiles of a 16-column item with
// K16 row values per step, a lone tile with K8 (when NV x lanes is 16, a lone
// tile takes NV / 2 vectors).
template <Isa I, class V, int NV, int K16, int K8>
RR_INLINE void apply_tile_with(const ApplyTileArgs& a) {
  constexpr int L = static_cast<int>(sizeof(V) / sizeof(double));
  constexpr int step = NV * L;
  static_assert(kApplyWidth % step == 0 && (step <= 8 || step == 16), "column steps");
  ApplyBuffers buf;
  const int32_t nb = a.b1 - a.b0;
  for (int32_t i = 0; i < 4 * nb * 2 * kApplyWidth; ++i) buf.tot[i] = 0.0;
  for (int32_t r0 = 0; r0 < a.nrows; r0 += kApplyChunk) {
    const int32_t r1 = (r0 + kApplyChunk < a.nrows) ? r0 + kApplyChunk : a.nrows;
    for (int32_t r = r0; r < r1; ++r) {
      double* w = buf.w + 2 * kApplyWidth * (r - r0);
      if (a.width == kApplyWidth) {
        std::memcpy(w, a.wre + int64_t(r) * a.wg, kApplyWidth * sizeof(double));
        std::memcpy(w + kApplyWidth, a.wim + int64_t(r) * a.wg, kApplyWidth * sizeof(double));
      } else {
        std::memcpy(w, a.wre + int64_t(r) * a.wg, 8 * sizeof(double));
        std::memcpy(w + kApplyWidth, a.wim + int64_t(r) * a.wg, 8 * sizeof(double));
      }
    }
    if (step == 16 && a.width == 8) {
      if constexpr (step == 16) apply_pairs<I, V, NV / 2, K8>(a, buf, 0, r0, r1);
    } else {
      for (int32_t col = 0; col < a.width; col += step) apply_pairs<I, V, NV, K16>(a, buf, col, r0, r1);
    }
  }
  // Columns that land side by side (all stored, one piece) are written as
  // interleaved vector pairs, the others one by one.
  bool run = a.ncols == a.width;
  for (int32_t l = 1; run && l < a.ncols; ++l) run = a.pos[l] == a.pos[0] + l;
  for (int32_t bl = 0; bl < nb; ++bl) {
    const int64_t bb = a.b0 + bl;
    for (int ch = 0; ch < 4; ++ch) {
      double* dst = (ch == 0) ? a.C + 2 * (bb * a.PEO) : a.dC + 2 * ((bb * 3 + (ch - 1)) * a.PEO);
      const double* t = buf.tot + 2 * kApplyWidth * (4 * bl + ch);
      if (run) {
        double* d = dst + 2 * a.pos[0];
        for (int32_t c = 0; c < a.width; c += L) {
          V re, im;
          std::memcpy(&re, t + c, sizeof(V));
          std::memcpy(&im, t + kApplyWidth + c, sizeof(V));
          lanes::store_pairs(d + 2 * c, re, im);
        }
        continue;
      }
      for (int32_t l = 0; l < a.ncols; ++l) {
        dst[2 * a.pos[l]] = t[l];
        dst[2 * a.pos[l] + 1] = t[kApplyWidth + l];
      }
    }
  }
}

// The tile at tier I.  AVX-512's 32 vector registers hold 24 partial sums, 4
// weight vectors, a broadcast row value and a product; AVX2's 16 hold 8
// partial sums, 4 weight vectors, the row value and a product.
struct ApplyTile {
  template <Isa I>
  RR_INLINE void operator()(const ApplyTileArgs& a) const {
    if constexpr (I >= Isa::avx512)
      apply_tile_with<I, lanes::d8, 2, 6, 12>(a);
    else if constexpr (I == Isa::avx2)
      apply_tile_with<I, lanes::d4, 2, 2, 2>(a);
    else
      apply_tile_with<I, lanes::d2, 1, 4, 4>(a);
  }
};

void apply_tile(const ApplyTileArgs& a, Isa isa) {
  variants::run<Isa::avx512, Isa::avx2, Isa::generic>(isa, ApplyTile{}, a);
}

struct ContractApplyKernel {
  Kokkos::View<const int32_t*, Kokkos::HostSpace> tile_g, tile_c0;
  UView<const double, 4> trend;  // (B, G, 4, nt_max)
  UView<const double, 4> rows;   // (B, G, 4, n_train)
  UView<const int32_t, 1> nt, nc, np, pofs, pidx;
  UView<const int64_t, 1> bofs;
  const double* re;
  const double* im;
  double* C;   // (B, P*E*O) real pairs
  double* dC;  // (B, 3, P*E*O) real pairs
  int64_t B, PEO;
  int32_t n_train, EO;
  int64_t n_chunks;  // row chunks per tile
  Isa isa;

  // Items are (tile, row chunk).  A tile at an even position of its group
  // also sums the group's next tile, when there is one; a tile at an odd
  // position has nothing left to do.
  KOKKOS_INLINE_FUNCTION void operator()(int64_t t) const {
    const int64_t item = t / n_chunks;
    const int32_t chunk = static_cast<int32_t>(t - item * n_chunks);
    const int32_t g = tile_g(item), c0 = tile_c0(item);
    if (c0 % kApplyWidth != 0) return;
    const int32_t tg = nt(g), cg = nc(g), wg = np(g);
    const int32_t width = (c0 + kApplyWidth <= wg) ? kApplyWidth : 8;
    int64_t pos[kApplyWidth];
    int32_t ncols = 0;
    for (int32_t j = 0; j < width && c0 + j < cg; ++j, ++ncols) {
      const int32_t kcol = c0 + j;
      const int64_t p = pidx(pofs(g) + kcol / EO);
      pos[j] = p * EO + (kcol % EO);
    }
    ApplyTileArgs a;
    a.wre = re + bofs(g) + c0;
    a.wim = im + bofs(g) + c0;
    a.wg = wg;
    const int64_t G = int64_t(trend.extent(1));
    a.trend_ch = int64_t(trend.extent(3));
    a.trend_b = G * 4 * a.trend_ch;
    a.trend = trend.data() + int64_t(g) * 4 * a.trend_ch;
    a.krow_ch = n_train;
    a.krow_b = G * 4 * a.krow_ch;
    a.krows = rows.data() + int64_t(g) * 4 * a.krow_ch;
    a.tg = tg;
    a.nrows = tg + n_train;
    a.b0 = chunk * kApplyRowChunk;
    a.b1 = static_cast<int32_t>((B - a.b0 < kApplyRowChunk) ? B : a.b0 + kApplyRowChunk);
    a.width = width;
    a.pos = pos;
    a.ncols = ncols;
    a.C = C;
    a.dC = dC;
    a.PEO = PEO;
    apply_tile(a, isa);
  }
};

// The arguments of theta_contract_grad, named as its keywords.
struct ThetaContractArgs {
  carray<double> kernel_coordinates;
  carray<double> coordinate_jacobian;
  carray<double> trend_rows;
  carray<double> training_coordinates;
  carray<double> group_parity_sign;
  carray<double> group_length_scale;
  carray<int32_t> group_term_count;
  carray<int32_t> group_column_count;
  carray<int32_t> group_padded_column_count;
  carray<int32_t> group_piece_offset;
  carray<int32_t> group_piece_index;
  carray<int64_t> group_block_offset;
  carray<double> coefficient_blocks_real;
  carray<double> coefficient_blocks_imag;
  int32_t n_pieces;
  int32_t n_elements;
  int32_t n_order;
};

// The extents of a contraction: B points, G groups, n_train training points,
// nt_max trend rows, L piece indices, EO = E x O coefficients per piece,
// PEO = P x EO per point and channel, plane values per coefficient plane.
struct ContractShape {
  py::ssize_t B, G, n_train, nt_max, L;
  int64_t EO, PEO, plane;
};

// The shape rules of the arguments (PEO is left to contract_plan).
ContractShape contract_shape(const ThetaContractArgs& a) {
  require(a.kernel_coordinates.ndim() == 2 && a.kernel_coordinates.shape(1) == 3,
          "the kernel coordinates must be (B, 3)");
  const py::ssize_t B = a.kernel_coordinates.shape(0);
  require(a.coordinate_jacobian.ndim() == 3 && a.coordinate_jacobian.shape(1) == 3 &&
              a.coordinate_jacobian.shape(2) == 3,
          "the coordinate Jacobian must be (B, 3, 3)");
  require(a.training_coordinates.ndim() == 2 && a.training_coordinates.shape(1) == 3,
          "the training coordinates must be (n, 3)");
  require(a.coordinate_jacobian.shape(0) == B,
          "the Jacobian and the coordinates disagree about the batch size");
  const py::ssize_t G = extent(a.group_parity_sign, 0);
  require(a.group_parity_sign.size() >= G, "a per-group array has the wrong length");
  require(a.group_length_scale.ndim() == 2 && a.group_length_scale.shape(0) == G &&
              a.group_length_scale.shape(1) == 3,
          "the group length scales must be (G, 3)");
  const py::ssize_t n_train = a.training_coordinates.shape(0);
  require(extent(a.group_term_count, 0) == G, "a per-group array has the wrong length");
  require(extent(a.group_column_count, 0) == G, "a per-group array has the wrong length");
  require(extent(a.group_padded_column_count, 0) == G, "a per-group array has the wrong length");
  require(extent(a.group_piece_offset, 0) == G + 1, "a per-group offset array must be G + 1 long");
  require(extent(a.group_block_offset, 0) == G + 1, "a per-group offset array must be G + 1 long");
  // Trailing axes of extent 0 would leave fewer values than the G or G + 1 that are read.
  require(a.group_term_count.size() >= G && a.group_column_count.size() >= G &&
              a.group_padded_column_count.size() >= G,
          "a per-group array has the wrong length");
  require(a.group_piece_offset.size() >= G + 1 && a.group_block_offset.size() >= G + 1,
          "a per-group offset array must be G + 1 long");
  require(a.coefficient_blocks_real.size() == a.coefficient_blocks_imag.size(),
          "the two coefficient planes differ in size");
  require(a.trend_rows.ndim() == 4 && a.trend_rows.shape(0) == B &&
              a.trend_rows.shape(1) == G && a.trend_rows.shape(2) == 4,
          "the trend rows must be (B, G, 4, nt_max)");
  const py::ssize_t nt_max = a.trend_rows.shape(3);
  require(a.n_elements >= 1 && a.n_order >= 1 && a.n_pieces >= 1,
          "the output shape must be positive");
  const int64_t EO = checked_mul(a.n_elements, a.n_order, "E x O");
  fit_i32(EO, "E x O");
  const py::ssize_t L = extent(a.group_piece_index, 0);
  // Trailing axes of extent 0 leave fewer values than the L that are read.
  require(a.group_piece_index.size() >= L,
          "the piece index list holds fewer values than its first extent");
  const int64_t plane = static_cast<int64_t>(a.coefficient_blocks_real.size());
  return ContractShape{B, G, n_train, nt_max, L, EO, 0, plane};
}

// The work the group arrays describe: one column tile (group, first column)
// per 8 padded columns of every group, and whether some group lists a piece.
struct ContractTiles {
  std::vector<int32_t> g, c0;
  std::vector<char> listed;  // n_pieces
};

// Reads the group arrays on the host (the buffers need not be aligned),
// checks them group by group and lists the tiles.
ContractTiles contract_tiles(const ThetaContractArgs& a, const ContractShape& s) {
  const py::ssize_t G = s.G, L = s.L;
  auto host_copy = [](const auto* p, py::ssize_t n) {
    std::vector<std::remove_const_t<std::remove_pointer_t<decltype(p)>>> v(static_cast<size_t>(n));
    for (py::ssize_t i = 0; i < n; ++i) v[i] = load_unaligned(p, i);
    return v;
  };
  const auto nt = host_copy(a.group_term_count.data(), G);
  const auto nc = host_copy(a.group_column_count.data(), G);
  const auto npad = host_copy(a.group_padded_column_count.data(), G);
  const auto pofs = host_copy(a.group_piece_offset.data(), G + 1);
  const auto pidx = host_copy(a.group_piece_index.data(), L);
  const auto bofs = host_copy(a.group_block_offset.data(), G + 1);
  ContractTiles tiles{{}, {}, std::vector<char>(static_cast<size_t>(a.n_pieces), 0)};
  for (py::ssize_t g = 0; g < G; ++g) {
    require(nt[g] >= 0 && nt[g] <= s.nt_max,
            "a group's term count exceeds the trend rows it was given");
    const int64_t npieces = int64_t(pofs[g + 1]) - int64_t(pofs[g]);
    require(npieces >= 1, "a group carries no pieces");
    int64_t cols = 0;
    require(!__builtin_mul_overflow(npieces, s.EO, &cols) && nc[g] == cols,
            "a group's column count is not (pieces x E x O)");
    require(npad[g] % 8 == 0 && npad[g] >= nc[g] && npad[g] - nc[g] <= 7,
            "a group's padded column count must be its column count rounded up to a whole "
            "number of column tiles");
    const int64_t rows = int64_t(nt[g]) + int64_t(s.n_train);
    int64_t need = 0;
    require(!__builtin_sub_overflow(bofs[g + 1], bofs[g], &need) &&
                need == int64_t(npad[g]) * rows,
            "a group's coefficient block is not (terms + n_train) by its padded column count");
    // Beyond the shape rules: the piece list and the block must lie inside
    // their arrays, and no piece may be written by two groups.
    require(pofs[g] >= 0 && pofs[g + 1] <= L,
            "a group's piece offsets fall outside the piece index list");
    require(bofs[g] >= 0 && bofs[g + 1] <= s.plane,
            "a group's coefficient block lies outside the coefficient planes");
    for (int32_t i = pofs[g]; i < pofs[g + 1]; ++i) {
      require(pidx[i] >= 0 && pidx[i] < a.n_pieces,
              "a group's piece index lies outside 0 ... n_pieces - 1");
      require(!tiles.listed[pidx[i]], "a piece is listed by two groups");
      tiles.listed[pidx[i]] = 1;
    }
    for (int32_t c0 = 0; c0 < npad[g]; c0 += 8) {
      tiles.g.push_back(static_cast<int32_t>(g));
      tiles.c0.push_back(c0);
    }
  }
  require(bofs[G] == s.plane, "the block offsets do not cover the blocks");
  return tiles;
}

// What validation hands on: the extents and the tiles.
struct ContractPlan {
  ContractShape shape;
  ContractTiles tiles;
};

// Every check of a contraction, in the order that decides which message a
// caller sees; nothing is allocated.
ContractPlan contract_plan(const ThetaContractArgs& a) {
  ContractPlan plan{contract_shape(a), {}};
  plan.tiles = contract_tiles(a, plan.shape);
  ContractShape& s = plan.shape;
  s.PEO = checked_mul(a.n_pieces, s.EO, "P x E x O");
  flat_size_i32("dC", s.B, 3, s.PEO);
  flat_size_i32("kernel rows", s.B, s.G, 4, s.n_train);
  return plan;
}

// The contraction's two kernels over the staged inputs, the tiles and the
// kernel-row scratch, which krows owns (the kernels view it unmanaged);
// apply's C and dC are set once the results are staged.
struct ContractKernels {
  Kokkos::View<double****, Kokkos::LayoutRight, Kokkos::HostSpace> krows;  // (B, G, 4, n_train)
  ContractRowsKernel rows;
  ContractApplyKernel apply;
};

// The tiles in host views, allocated without the initialising kernel: that
// also lets the call run on a thread other than the one that initialised the
// OpenMP space.
Kokkos::View<int32_t*, Kokkos::HostSpace> tile_view(const std::vector<int32_t>& v,
                                                    const char* name) {
  Kokkos::View<int32_t*, Kokkos::HostSpace> out(
      Kokkos::view_alloc(Kokkos::WithoutInitializing, std::string(name)),
      static_cast<int64_t>(v.size()));
  for (size_t i = 0; i < v.size(); ++i) out(i) = v[i];
  return out;
}

ContractKernels contract_kernels(WorkspacePool& ws, const ThetaContractArgs& a,
                                 const ContractPlan& plan) {
  const ContractShape& s = plan.shape;
  const py::ssize_t B = s.B, G = s.G, n_train = s.n_train;
  auto u = stage_in(ws, "tcg_u", a.kernel_coordinates.data(), B, 3);
  auto jac = stage_in(ws, "tcg_jac", a.coordinate_jacobian.data(), B, 3, 3);
  auto trend = stage_in(ws, "tcg_trend", a.trend_rows.data(), B, G, 4, s.nt_max);
  auto trainU = stage_in(ws, "tcg_trainU", a.training_coordinates.data(), n_train, 3);
  auto sign = stage_in(ws, "tcg_sign", a.group_parity_sign.data(), G);
  auto ls = stage_in(ws, "tcg_ls", a.group_length_scale.data(), G, 3);
  auto ntv = stage_in(ws, "tcg_nt", a.group_term_count.data(), G);
  auto ncv = stage_in(ws, "tcg_nc", a.group_column_count.data(), G);
  auto npv = stage_in(ws, "tcg_np", a.group_padded_column_count.data(), G);
  auto pofsv = stage_in(ws, "tcg_pofs", a.group_piece_offset.data(), G + 1);
  auto pidxv = stage_in(ws, "tcg_pidx", a.group_piece_index.data(), s.L);
  auto bofsv = stage_in(ws, "tcg_bofs", a.group_block_offset.data(), G + 1);
  auto bre = stage_in(ws, "tcg_blk_re", a.coefficient_blocks_real.data(), s.plane);
  auto bim = stage_in(ws, "tcg_blk_im", a.coefficient_blocks_imag.data(), s.plane);

  const auto tg = tile_view(plan.tiles.g, "tcg_tile_g");
  const auto tc0 = tile_view(plan.tiles.c0, "tcg_tile_c0");
  Kokkos::View<double****, Kokkos::LayoutRight, Kokkos::HostSpace> krows(
      Kokkos::view_alloc(Kokkos::WithoutInitializing, "tcg_kernel_rows"), B, G, 4, n_train);
  // Several MiB, first touched by the kernel: in huge pages it faults a few
  // times instead of once per 4 KiB wherever the C library maps it afresh.
  huge_pages::advise(krows.data(), krows.span() * sizeof(double));

  const int64_t n_chunks = (int64_t(B) + kApplyRowChunk - 1) / kApplyRowChunk;
  return ContractKernels{
      krows,
      ContractRowsKernel{u, jac, trainU, sign, ls, krows, static_cast<int32_t>(n_train),
                         detected_isa()},
      ContractApplyKernel{tg,    tc0,   trend, krows, ntv,        ncv,
                          npv,   pofsv, pidxv, bofsv, bre.data(), bim.data(),
                          nullptr, nullptr, int64_t(B), s.PEO, static_cast<int32_t>(n_train),
                          static_cast<int32_t>(s.EO), n_chunks, detected_isa()}};
}

// The results C (B, P, E, O) and dC (B, 3, P, E, O) and the views the apply
// kernel writes them through.
struct ContractResults {
  py::array_t<cplx> C, dC;
  StagedOutput<cplx, 2> C_out;
  StagedOutput<cplx, 3> dC_out;

  ContractResults(WorkspacePool& ws, const ThetaContractArgs& a, const ContractShape& s)
      : C(new_array<cplx>({s.B, a.n_pieces, a.n_elements, a.n_order})),
        dC(new_array<cplx>({s.B, 3, a.n_pieces, a.n_elements, a.n_order})) {
    C_out = stage_out(ws, "tcg_C", mutable_ptr(C), s.B, s.PEO);
    dC_out = stage_out(ws, "tcg_dC", mutable_ptr(dC), s.B, 3, s.PEO);
  }

  // A piece that no group lists receives zeros rather than uninitialised memory.
  void zero_unlisted(const std::vector<char>& listed, py::ssize_t B, int64_t EO) const {
    for (int32_t p = 0; p < static_cast<int32_t>(listed.size()); ++p) {
      if (listed[p]) continue;
      for (py::ssize_t b = 0; b < B; ++b) {
        for (int64_t e = 0; e < EO; ++e) {
          C_out.target(b, p * EO + e) = cplx(0.0, 0.0);
          for (int m = 0; m < 3; ++m) dC_out.target(b, m, p * EO + e) = cplx(0.0, 0.0);
        }
      }
    }
  }
};

// The kernel rows of every (point, group), then the tiles over them.
template <class Space>
void launch_contract(const ContractKernels& k, const ContractShape& s, int64_t n_items) {
  if (s.B > 0 && s.G > 0) {
    Kokkos::parallel_for("theta_contract_grad_rows",
                         MD2<Space>({0, 0}, {int64_t(s.B), int64_t(s.G)}), k.rows);
    Space().fence();
  }
  if (n_items > 0 && s.B > 0) {
    Kokkos::parallel_for(
        "theta_contract_grad_apply",
        Kokkos::RangePolicy<Space, Kokkos::IndexType<int64_t>>(0, n_items * k.apply.n_chunks),
        k.apply);
    Space().fence();
  }
}

template <class Space>
py::tuple theta_contract_grad(const ThetaContractArgs& a) {
  const ContractPlan plan = contract_plan(a);
  require_kokkos();
  WorkspacePool& ws = thread_workspace();
  ContractKernels k = contract_kernels(ws, a, plan);
  const ContractResults r(ws, a, plan.shape);
  r.zero_unlisted(plan.tiles.listed, plan.shape.B, plan.shape.EO);
  k.apply.C = real_pairs(r.C_out.target.data());
  k.apply.dC = real_pairs(r.dC_out.target.data());
  launch_contract<Space>(k, plan.shape, static_cast<int64_t>(plan.tiles.g.size()));
  r.C_out.copy_back();
  r.dC_out.copy_back();
  return py::make_tuple(r.C, r.dC);
}

constexpr const char* kSegmentDoc =
    "Merger-ringdown values and parameter gradients for a batch: the per-sample body of "
    "physics.spin_weighted_angular_harmonics.spherical_plunge_spheroidal_ringdown_grad, fused. "
    "Returns (h (B,P,N), dh (B,3,P,N), dh/dt (B,P,N) or None). All three theta channels -- "
    "coefficients, detrend, mixing -- are carried.";
constexpr const char* kBlendDoc =
    "Fused merger-ringdown blend: (1 - w) h_p + w h_r over (B, P, N) in one pass, no "
    "temporaries. w is (B, N) or (1, N). Returns complex128 in BOTH precisions, reproducing the "
    "numpy path's complex64 * float64 -> complex128 promotion. Bitwise vs numpy: the "
    "complex-times-real products carry numpy's dead +0.0 terms.";
constexpr const char* kJoinDoc =
    "The inspiral/merger-ringdown cosine join, differentiated, applied IN PLACE to h and dh over "
    "the contiguous sample window [window_start, window_start + Nw). Carries the dw (h_MR - "
    "h_insp) term and the peak-alignment clock term dh_MR/dt dtau_end/dtheta.";
constexpr const char* kContractDoc =
    "gradients._symmetrised_gradient for a batch: the exchange-adapted coefficient tensor C (B, "
    "P, E, O) and its parameter gradient dC (B, 3, P, E, O), with the coordinate Jacobian folded "
    "into the rows so the (B, 3, P, E, O) d/du tensor is never materialised. NOT bitwise vs "
    "numpy (the reference goes through BLAS); bitwise across execution spaces at fixed flags.";

}  // namespace

template <class Space>
void def_mr_segment_grad(py::module_& m, const char* name) {
  py::options opts;  // __doc__ is exactly the docstring, alike for every twin
  opts.disable_function_signatures();
  m.def(
      name,
      [](carray<double> ring_breaks, carray<cplx> ring_coefficients,
         carray<cplx> ring_coefficient_gradients, carray<double> plunge_breaks,
         carray<cplx> plunge_coefficients, carray<cplx> plunge_coefficient_gradients,
         carray<double> rewind_rate, carray<double> rewind_rate_gradient,
         carray<int32_t> mixing_blocks, carray<cplx> mixing_matrices,
         carray<cplx> mixing_matrix_chi_slopes, carray<double> remnant_spin_gradient,
         carray<double> t, double t_split, double t_blend_end, bool want_time_derivative) {
        return mr_segment_grad<Space>(SegmentGradArgs{
            std::move(ring_breaks), std::move(ring_coefficients),
            std::move(ring_coefficient_gradients), std::move(plunge_breaks),
            std::move(plunge_coefficients), std::move(plunge_coefficient_gradients),
            std::move(rewind_rate), std::move(rewind_rate_gradient), std::move(mixing_blocks),
            std::move(mixing_matrices), std::move(mixing_matrix_chi_slopes),
            std::move(remnant_spin_gradient), std::move(t), t_split, t_blend_end,
            want_time_derivative});
      },
      py::arg("ring_breaks"), py::arg("ring_coefficients"), py::arg("ring_coefficient_gradients"),
      py::arg("plunge_breaks"), py::arg("plunge_coefficients"),
      py::arg("plunge_coefficient_gradients"), py::arg("rewind_rate"),
      py::arg("rewind_rate_gradient"), py::arg("mixing_blocks"), py::arg("mixing_matrices"),
      py::arg("mixing_matrix_chi_slopes"), py::arg("remnant_spin_gradient"), py::arg("t"),
      py::arg("t_split"), py::arg("t_blend_end"), py::arg("want_time_derivative") = false,
      kSegmentDoc);
}

template <class Space>
void def_imr_join_grad(py::module_& m, const char* name) {
  py::options opts;
  opts.disable_function_signatures();
  m.def(name, &imr_join_grad<Space>, py::arg("h"), py::arg("dh"), py::arg("h_mr"),
        py::arg("dh_mr"), py::arg("dh_mr_dt"), py::arg("ramp"), py::arg("ramp_gradient"),
        py::arg("peak_time_gradient"), py::arg("window_start"), kJoinDoc);
}

template <class Space>
void def_theta_contract_grad(py::module_& m, const char* name) {
  py::options opts;
  opts.disable_function_signatures();
  m.def(
      name,
      [](carray<double> kernel_coordinates, carray<double> coordinate_jacobian,
         carray<double> trend_rows, carray<double> training_coordinates,
         carray<double> group_parity_sign, carray<double> group_length_scale,
         carray<int32_t> group_term_count, carray<int32_t> group_column_count,
         carray<int32_t> group_padded_column_count, carray<int32_t> group_piece_offset,
         carray<int32_t> group_piece_index, carray<int64_t> group_block_offset,
         carray<double> coefficient_blocks_real, carray<double> coefficient_blocks_imag,
         int32_t n_pieces, int32_t n_elements, int32_t n_order) {
        return theta_contract_grad<Space>(ThetaContractArgs{
            std::move(kernel_coordinates), std::move(coordinate_jacobian), std::move(trend_rows),
            std::move(training_coordinates), std::move(group_parity_sign),
            std::move(group_length_scale), std::move(group_term_count),
            std::move(group_column_count), std::move(group_padded_column_count),
            std::move(group_piece_offset), std::move(group_piece_index),
            std::move(group_block_offset), std::move(coefficient_blocks_real),
            std::move(coefficient_blocks_imag), n_pieces, n_elements, n_order});
      },
      py::arg("kernel_coordinates"), py::arg("coordinate_jacobian"), py::arg("trend_rows"),
      py::arg("training_coordinates"), py::arg("group_parity_sign"),
      py::arg("group_length_scale"), py::arg("group_term_count"), py::arg("group_column_count"),
      py::arg("group_padded_column_count"), py::arg("group_piece_offset"),
      py::arg("group_piece_index"), py::arg("group_block_offset"),
      py::arg("coefficient_blocks_real"), py::arg("coefficient_blocks_imag"),
      py::arg("n_pieces"), py::arg("n_elements"), py::arg("n_order"), kContractDoc);
}

template <class Space>
void def_mr_blend64(py::module_& m, const char* name) {
  py::options opts;
  opts.disable_function_signatures();
  m.def(name, &mr_blend<Space, double>, py::arg("h_p"), py::arg("h_r"), py::arg("w"), kBlendDoc);
}

template <class Space>
void def_mr_blend32(py::module_& m, const char* name) {
  py::options opts;
  opts.disable_function_signatures();
  m.def(name, &mr_blend<Space, float>, py::arg("h_p"), py::arg("h_r"), py::arg("w"), kBlendDoc);
}

#define RADIREDIDE_INSTANTIATE(fn)                                              \
  template void fn<Kokkos::DefaultExecutionSpace>(py::module_&, const char*); \
  template void fn<Kokkos::Serial>(py::module_&, const char*);
RADIREDIDE_INSTANTIATE(def_mr_segment_grad)
RADIREDIDE_INSTANTIATE(def_imr_join_grad)
RADIREDIDE_INSTANTIATE(def_theta_contract_grad)
RADIREDIDE_INSTANTIATE(def_mr_blend64)
RADIREDIDE_INSTANTIATE(def_mr_blend32)
#undef RADIREDIDE_INSTANTIATE

}  // namespace radiredide
