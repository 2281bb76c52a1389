// The lane kernels of blend_project and of the gradient-side stages: the
// 4PN weights (weights_block), the squared magnitudes and window scan of
// median_h2, the blend and pieces chunks, and the dc grid.  Samples run in
// lanes (kLanes per vector, wider blocks of lane arrays with AVX-512 VL);
// each lane performs exactly the scalar operations of mode_weights /
// dmode_weights and of the scalar recurrences at its own sample, so the values
// are the scalar ones bit for bit.  Each entry point runs the widest of its
// tier variants that the processor has (common/variants.hpp).
#include "pack/fused_kernels.hpp"
#include "common/chebyshev.hpp"
#include "common/lanes.hpp"
#include "pack/pn4.hpp"

#include <cmath>
#include <cstdint>
#include <utility>

namespace radiredide {
namespace fused {

namespace {
// W lanes from v[0 .. valid): the lanes past `valid` repeat the last valid
// sample; their values are dropped.
template <int W = kLanes>
inline void pad_lanes(const double* v, int valid, double* vv) {
  for (int l = 0; l < W; ++l) vv[l] = v[l < valid ? l : valid - 1];
}

// ---------------------------------------------------------------- selected slots
// Stage 2 restricted to the slots whose bit is set in `mask`.  A slot's sums
// take only its own table entries, in their order, so a selected slot gets the
// bits of the full evaluation; the other slots are not formed.

// First table entry of every slot, and whether a slot has a ln x term.
struct SlotLayout {
  int first[kModeSlots + 1] = {};
  bool lg[kModeSlots] = {};
};
struct LayoutVisitor {
  SlotLayout* out;
  int k = 0;
  template <class A>
  constexpr void operator()(int s, pn4::Term t, int, const A&) {
    out->first[s + 1] = ++k;
    if (t.lg) out->lg[s] = true;
  }
};
constexpr SlotLayout slot_layout() {
  SlotLayout L;
  LayoutVisitor vis{&L};
  const pn4::Skip z{};
  pn4::mode_series(vis, z, z, z, z);
  for (int s = 1; s <= kModeSlots; ++s)
    if (L.first[s] < L.first[s - 1]) L.first[s] = L.first[s - 1];
  return L;
}
inline constexpr SlotLayout kLayout = slot_layout();
static_assert(kLayout.first[kModeSlots] == pn4::kModeEntries, "slot layout");

// Slots of `mask` that need ln x.
inline constexpr uint32_t log_slots() {
  uint32_t m = 0;
  for (int s = 0; s < kModeSlots; ++s)
    if (kLayout.lg[s]) m |= 1u << s;
  return m;
}

// Powers v^0 .. v^8 and, when a slot of `mask` needs it, ln x = 2 ln v.
template <int W>
RR_INLINE void v_terms_for(const double* v, uint32_t mask, double (*vp)[W], double* lnx) {
  if (mask & log_slots()) {
    pn4::v_terms<W>(v, vp, lnx);
  } else {
    pn4::v_powers<W>(v, vp);
    for (int l = 0; l < W; ++l) lnx[l] = 0.0;  // not read
  }
}

}  // namespace

namespace {
// Weights at the samples v[0 .. valid) (valid <= W) written to W[s, n0 + l]
// of one row's (8, N) complex block.
template <int Wd>
RR_INLINE void weights_lanes(const double* v, int valid, const double* table, double* W,
                             int64_t N, int64_t n0) {
  double vv[Wd];
  pad_lanes<Wd>(v, valid, vv);
  pn4::eval_weights_to<false, Wd>(vv, table, [&](int s, int l, double re, double im) {
    if (l < valid) {
      const int64_t o = 2 * (static_cast<int64_t>(s) * N + n0 + l);
      W[o] = re;
      W[o + 1] = im;
    }
  });
}

// With AVX-512 (VL) one block of lane arrays; else kLanes samples at a time.
struct WeightsBlock {
  template <Isa I>
  RR_INLINE void operator()(const double* v, int valid, const double* table, double* W, int64_t N,
                            int64_t n0) const {
    if constexpr (I == Isa::avx512vl) {
      weights_lanes<kWeightsBlock>(v, valid, table, W, N, n0);
    } else {
      for (int l0 = 0; l0 < valid; l0 += kLanes)
        weights_lanes<kLanes>(v + l0, valid - l0 < kLanes ? valid - l0 : kLanes, table, W, N,
                              n0 + l0);
    }
  }
};
}  // namespace

void weights_block(const double* v, int valid, const double* table, double* W, int64_t N,
                   int64_t n0) {
  variants::run<Isa::avx512vl, Isa::avx2, Isa::generic>(detected_isa(), WeightsBlock{}, v, valid,
                                                        table, W, N, n0);
}

namespace {
using lanes::m4;

// Per slot of magnitude_chunk: the smallest and largest square and the flag
// lanes, carried across the blocks.
struct SquareStats {
  lanes::d4 lo, hi;
  m4 bad;
};

// Samples per block of the magnitude kernel with AVX-512 (VL): the sums of a
// slot run as lane arrays over four lane vectors, four independent chains
// where one lane vector would wait on each add in turn.
constexpr int kMagWide = 16;

// The squares of slot S at one block of W samples (W = kLanes: the sums in one
// lane vector; W = kMagWide: as lane arrays): the slot's own bracket sums (its
// table entries in their order, as the full evaluation takes them), the
// weights as eval_mode_weights_terms forms them, then q = re re + im im.
template <int S, int W>
RR_INLINE void square_slot(const double (*vp)[W], const double* lnx, const double* table,
                                 double* out, int valid, SquareStats& st) {
  using lanes::d4;
  pn4::SlotWeightSums<W> w{table + pn4::kTabCoef + pn4::slot_entry_offset<S>(), vp, lnx};
  const pn4::Skip z{};
  pn4::mode_slot<S>(w, z, z, z, z);
  const double eta = table[pn4::kTabQ] * table[pn4::kTabInv1q2];
  const double Ke = table[pn4::kTabNorm + S] * eta;
  const double* sre = reinterpret_cast<const double*>(&w.re);
  const double* sim = reinterpret_cast<const double*>(&w.im);
  double part[W];  // a partial block's squares
  for (int h = 0; h < W / kLanes; ++h) {
    const d4 f = Ke * RR_LANES_LOAD(d4, vp[2] + kLanes * h);
    const d4 r = f * RR_LANES_LOAD(d4, sre + kLanes * h);
    const d4 i = f * RR_LANES_LOAD(d4, sim + kLanes * h);
    const d4 q = (r * r) + (i * i);
    // The lanes past `valid` repeat the last valid sample: they change neither
    // the flag nor the range.
    st.bad |= ~(((q >= kOrderSafeLo) & (q <= kOrderSafeHi)) | ((r == 0.0) & (i == 0.0)));
    st.lo = q < st.lo ? q : st.lo;
    st.hi = q > st.hi ? q : st.hi;
    lanes::store(valid == W ? out + kLanes * h : part + kLanes * h, q);
  }
  if (valid < W)
    for (int l = 0; l < valid; ++l) out[l] = part[l];
}

template <int W, int... S>
RR_INLINE void square_slots(uint32_t used, const double (*vp)[W], const double* lnx,
                                  const double* table, double* mag, const int64_t* plane,
                                  int32_t n, int valid, SquareStats* st,
                                  std::integer_sequence<int, S...>) {
  ((used & (1u << S) ? square_slot<S, W>(vp, lnx, table, mag + plane[S] + n, valid, st[S])
                     : void()),
   ...);
}

template <int W>
RR_INLINE void magnitude_lanes(const double* v, int32_t n0, int32_t n1, const double* table,
                                     uint32_t used, double* mag, const int64_t* plane,
                                     unsigned char* unsafe, double* range) {
  using lanes::d4;
  static_assert(lanes::width<d4> == kLanes && W % kLanes == 0, "whole lane vectors per block");
  const double inf = __builtin_inf();
  SquareStats st[kModeSlots];
  for (int s = 0; s < kModeSlots; ++s) {
    st[s].lo = d4{inf, inf, inf, inf};
    st[s].hi = -st[s].lo;
    st[s].bad = m4{0, 0, 0, 0};
  }
  for (int32_t n = n0; n < n1; n += W) {
    const int valid = n1 - n < W ? n1 - n : W;
    double vv[W];
    const double* vb = v + n;
    if (valid < W) {
      pad_lanes<W>(vb, valid, vv);
      vb = vv;
    }
    double vp[9][W], lnx[W];
    v_terms_for<W>(vb, used, vp, lnx);
    square_slots<W>(used, vp, lnx, table, mag, plane, n, valid, st,
                    std::make_integer_sequence<int, kModeSlots>{});
  }
  for (int s = 0; s < kModeSlots; ++s) {
    double a = st[s].lo[0], z = st[s].hi[0];
    for (int l = 1; l < kLanes; ++l) {
      a = st[s].lo[l] < a ? st[s].lo[l] : a;
      z = st[s].hi[l] > z ? st[s].hi[l] : z;
    }
    range[2 * s] = a;
    range[2 * s + 1] = z;
    if (st[s].bad[0] | st[s].bad[1] | st[s].bad[2] | st[s].bad[3]) unsafe[s] = 1;
  }
}

}  // namespace

void magnitude_chunk(const double* v, int32_t n0, int32_t n1, const double* table, uint32_t used,
                     double* mag, const int64_t* plane, unsigned char* unsafe, double* range) {
  variants::run<Isa::avx512vl, Isa::avx2, Isa::generic>(
      detected_isa(),
      []<Isa I>(const double* vs, int32_t a, int32_t z, const double* t, uint32_t u, double* m,
                const int64_t* pl, unsigned char* us, double* rg) RR_INLINE_LAMBDA {
        magnitude_lanes<(I == Isa::avx512vl ? kMagWide : kLanes)>(vs, a, z, t, u, m, pl, us, rg);
      },
      v, n0, n1, table, used, mag, plane, unsafe, range);
}

namespace {
RR_INLINE int32_t window_scan_lanes(const double* q, int32_t N, double lo, double hi,
                                   int32_t* idx, int32_t& under) {
  using lanes::d4;
  int32_t c = 0, n = 0;
  m4 low_acc = {0, 0, 0, 0};
  for (; n + 8 <= N; n += 8) {
    const d4 x0 = RR_LANES_LOAD(d4, q + n), x1 = RR_LANES_LOAD(d4, q + n + 4);
    const m4 low0 = x0 < lo, low1 = x1 < lo;
    const m4 in0 = ~low0 & (x0 <= hi), in1 = ~low1 & (x1 <= hi);
    low_acc += low0 + low1;  // -1 per sample below
    const m4 any = in0 | in1;
    if (any[0] | any[1] | any[2] | any[3]) {
      for (int l = 0; l < 4; ++l)
        if (in0[l]) idx[c++] = n + l;
      for (int l = 0; l < 4; ++l)
        if (in1[l]) idx[c++] = n + 4 + l;
    }
  }
  int64_t below = -(low_acc[0] + low_acc[1] + low_acc[2] + low_acc[3]);
  for (; n < N; ++n) {
    if (q[n] < lo)
      ++below;
    else if (q[n] <= hi)
      idx[c++] = n;
  }
  under = static_cast<int32_t>(below);
  return c;
}
}  // namespace

int32_t window_scan(const double* q, int32_t N, double lo, double hi, int32_t* idx,
                    int32_t& under) {
  return variants::run<Isa::avx2, Isa::generic>(
      detected_isa(),
      []<Isa>(const double* qs, int32_t n, double l, double h, int32_t* ix, int32_t& u)
          RR_INLINE_LAMBDA { return window_scan_lanes(qs, n, l, h, ix, u); },
      q, N, lo, hi, idx, under);
}

// ---------------------------------------------------------------- blend
namespace {
using lanes::d2;
using lanes::d4;
using lanes::d8;

// Samples per step of blend_chunk: one d8 holds the (re, im) pairs of four
// samples, so every lane runs the scalar recurrence on one part of one sample.
constexpr int kBlendLanes = 4;

// The (re, im) pairs at p[l] + off of the four samples as one vector.
RR_INLINE void load_four(const double* const* p, int64_t off, d8& v) {
  const d2 a = RR_LANES_LOAD(d2, p[0] + off), b = RR_LANES_LOAD(d2, p[1] + off);
  const d2 c = RR_LANES_LOAD(d2, p[2] + off), d = RR_LANES_LOAD(d2, p[3] + off);
  const d4 ab = __builtin_shufflevector(a, b, 0, 1, 2, 3);
  const d4 cd = __builtin_shufflevector(c, d, 0, 1, 2, 3);
  v = __builtin_shufflevector(ab, cd, 0, 1, 2, 3, 4, 5, 6, 7);
}

// The complex Chebyshev sums (three-term form, common/chebyshev.hpp) of four
// pieces p[l] at u (each u repeated for the real and the imaginary lane), the
// coefficients of order k gathered from the four pieces.  OO > 0 fixes the
// order at compile time, OO == 0 reads `order`; both perform the same
// operations in the same order.
template <int OO>
RR_INLINE void clenshaw_four(const double* const* p, int32_t order, const d8& u, d8& r) {
  r = cheb::three_term_sum<cheb::unroll_orders>(
      OO > 0 ? OO : order,
      [p](int32_t k, int) RR_INLINE_LAMBDA {
        d8 c;
        load_four(p, 2 * static_cast<int64_t>(k), c);
        return c;
      },
      u);
}

// One mode k of row b at the samples [n0, n1).  The lanes past the last
// sample repeat it; their values are dropped.
template <int OO>
RR_INLINE void blend_mode(const BlendInputs& in, const double* W, const double* med,
                                const double* vR, double* blend, int32_t b, int32_t k, int32_t n0,
                                int32_t n1) {
  const int32_t N = in.N, K = in.K, O = in.O;
  const int32_t d = in.modes(4 * k), r = in.modes(4 * k + 1), s = in.modes(4 * k + 2);
  const double phr = in.phase(2 * k), phi = in.phase(2 * k + 1);
  const int64_t bk = static_cast<int64_t>(b) * K + k;
  const double* w = W + 2 * ((static_cast<int64_t>(b) * kModeSlots + s) * N);
  double* out = blend + 2 * (bk * N);
  // 0: direct piece alone; 1: direct and estimate blended; 2: zero median
  // amplitude (NaN counts as not equal: the blend runs), the estimate alone.
  const int how = r < 0 ? 0 : (med[bk] != 0.0 ? 1 : 2);
  const double vd = how == 1 ? in.vD(bk) : 1.0, vr = how == 1 ? vR[bk] : 1.0;
  const double den = (1.0 / vr) + (1.0 / vd);
  for (int32_t n = n0; n < n1; n += kBlendLanes) {
    const int valid = n1 - n < kBlendLanes ? n1 - n : kBlendLanes;
    const double* pd[kBlendLanes];
    const double* pr[kBlendLanes];
    double uu[kBlendLanes];
    for (int l = 0; l < kBlendLanes; ++l) {
      const int32_t j = n + (l < valid ? l : valid - 1);
      const int32_t e = in.elem(j);
      uu[l] = in.ucoord(j);
      pd[l] = in.piece(b, d, e);
      pr[l] = in.piece(b, r < 0 ? d : r, e);
    }
    const d8 u = {uu[0], uu[0], uu[1], uu[1], uu[2], uu[2], uu[3], uu[3]};
    d8 Dv = u, Rv = u;
    if (how != 2) clenshaw_four<OO>(pd, O, u, Dv);
    if (how != 0) clenshaw_four<OO>(pr, O, u, Rv);
    // The weights of the four samples (the last one repeated past `valid`),
    // phased, then the blended value, every lane the scalar sequence.
    d4 wr, wi;
    if (valid == kBlendLanes) {
      lanes::load_pairs(w + 2 * static_cast<int64_t>(n), wr, wi);
    } else {
      double wb[2 * kBlendLanes];
      for (int l = 0; l < kBlendLanes; ++l) {
        const int64_t m = n + (l < valid ? l : valid - 1);
        wb[2 * l] = w[2 * m];
        wb[2 * l + 1] = w[2 * m + 1];
      }
      lanes::load_pairs(wb, wr, wi);
    }
    const d4 wpr = (wr * phr) - (wi * phi);
    const d4 wpi = (wr * phi) + (wi * phr);
    d4 o_r, o_i;
    if (how == 0) {
      const d4 dr = __builtin_shufflevector(Dv, Dv, 0, 2, 4, 6);
      const d4 di = __builtin_shufflevector(Dv, Dv, 1, 3, 5, 7);
      o_r = (dr * wpr) - (di * wpi);
      o_i = (dr * wpi) + (di * wpr);
    } else {
      const d4 rr = __builtin_shufflevector(Rv, Rv, 0, 2, 4, 6);
      const d4 ri = __builtin_shufflevector(Rv, Rv, 1, 3, 5, 7);
      const d4 qr = (rr * wpr) - (ri * wpi);
      const d4 qi = (rr * wpi) + (ri * wpr);
      if (how == 2) {
        o_r = qr;
        o_i = qi;
      } else {
        const d4 dr = __builtin_shufflevector(Dv, Dv, 0, 2, 4, 6);
        const d4 di = __builtin_shufflevector(Dv, Dv, 1, 3, 5, 7);
        o_r = ((dr / vd) + (qr / vr)) / den;
        o_i = ((di / vd) + (qi / vr)) / den;
      }
    }
    if (valid == kBlendLanes) {
      lanes::store_pairs(out + 2 * static_cast<int64_t>(n), o_r, o_i);
    } else {
      double ob[2 * kBlendLanes];
      lanes::store_pairs(ob, o_r, o_i);
      for (int l = 0; l < 2 * valid; ++l) out[2 * static_cast<int64_t>(n) + l] = ob[l];
    }
  }
}

template <int OO>
RR_INLINE void blend_rows(const BlendInputs& in, const double* W, const double* med,
                                const double* vR, double* blend, int32_t b, int32_t n0,
                                int32_t n1) {
  for (int32_t k = 0; k < in.K; ++k) blend_mode<OO>(in, W, med, vR, blend, b, k, n0, n1);
}

// The orders the models use run with the order fixed at compile time.
RR_INLINE void blend_orders(const BlendInputs& in, const double* W, const double* med,
                            const double* vR, double* blend, int32_t b, int32_t n0, int32_t n1) {
  switch (in.O) {
    case 8:
      blend_rows<8>(in, W, med, vR, blend, b, n0, n1);
      break;
    case 12:
      blend_rows<12>(in, W, med, vR, blend, b, n0, n1);
      break;
    case 25:
      blend_rows<25>(in, W, med, vR, blend, b, n0, n1);
      break;
    default:
      blend_rows<0>(in, W, med, vR, blend, b, n0, n1);
  }
}
}  // namespace

// The blend's lane vectors are as wide as the processor runs them.
void blend_chunk(const BlendInputs& in, const double* W, const double* med, const double* vR,
                 double* blend, int32_t b, int32_t n0, int32_t n1) {
  variants::run<Isa::avx512, Isa::avx2, Isa::generic>(
      detected_isa(),
      []<Isa>(const BlendInputs& i, const double* w, const double* m, const double* r, double* o,
              int32_t row, int32_t a, int32_t z)
          RR_INLINE_LAMBDA { blend_orders(i, w, m, r, o, row, a, z); },
      in, W, med, vR, blend, b, n0, n1);
}

namespace {
// The real Chebyshev sums (three-term form) of four pieces p[l] at u[l], the
// coefficients of order k gathered from the four pieces.
template <int OO>
RR_INLINE d4 clenshaw_re_four(const double* const* p, int32_t order, const d4& u) {
  return cheb::three_term_sum<cheb::unroll_orders>(
      OO > 0 ? OO : order,
      [p](int32_t k, int) RR_INLINE_LAMBDA {
        return d4{p[0][2 * k], p[1][2 * k], p[2][2 * k], p[3][2 * k]};
      },
      u);
}

// The lanes past the last sample repeat it; their values are dropped.
template <int OO>
RR_INLINE void pieces_rows(const BlendInputs& in, double* tau, double* W, int32_t b,
                                 int32_t n0, int32_t n1) {
  static_assert(kBlendLanes == kLanes, "one block of weights per block of sums");
  const int32_t N = in.N;
  const double* table = in.tables.data() + static_cast<int64_t>(b) * kModeCoeffCount;
  double* Wrow = W + 2 * (static_cast<int64_t>(b) * kModeSlots * N);
  double* trow = tau + static_cast<int64_t>(b) * N;
  // The weights run kWeightsBlock samples at a time, from the v of the
  // blocks of sums gathered in v[0 .. nv) (samples nw ...).
  double v[kWeightsBlock];
  int nv = 0;
  int64_t nw = n0;
  for (int32_t n = n0; n < n1; n += kLanes) {
    const int valid = n1 - n < kLanes ? n1 - n : kLanes;
    const double* pt[kLanes];
    const double* px[kLanes];
    d4 u;
    for (int l = 0; l < kLanes; ++l) {
      const int32_t j = n + (l < valid ? l : valid - 1);
      const int32_t e = in.elem(j);
      u[l] = in.ucoord(j);
      pt[l] = in.piece(b, in.p_tau, e);
      px[l] = in.piece(b, in.p_xpc, e);
    }
    const d4 t4 = clenshaw_re_four<OO>(pt, in.O, u);
    const d4 x4 = clenshaw_re_four<OO>(px, in.O, u);
    for (int l = 0; l < valid; ++l) {
      trow[n + l] = t4[l];
      double x = x4[l];
      if (x < 1e-8) x = 1e-8;
      v[nv++] = std::sqrt(x);
    }
    if (nv == kWeightsBlock || n + valid >= n1) {
      weights_block(v, nv, table, Wrow, N, nw);
      nw += nv;
      nv = 0;
    }
  }
}

// The orders the models use run with the order fixed at compile time.
RR_INLINE void pieces_orders(const BlendInputs& in, double* tau, double* W, int32_t b, int32_t n0,
                             int32_t n1) {
  switch (in.O) {
    case 8:
      pieces_rows<8>(in, tau, W, b, n0, n1);
      break;
    case 12:
      pieces_rows<12>(in, tau, W, b, n0, n1);
      break;
    case 25:
      pieces_rows<25>(in, tau, W, b, n0, n1);
      break;
    default:
      pieces_rows<0>(in, tau, W, b, n0, n1);
  }
}
}  // namespace

void pieces_chunk(const BlendInputs& in, double* tau, double* W, int32_t b, int32_t n0,
                  int32_t n1) {
  variants::run<Isa::avx512, Isa::avx2, Isa::generic>(
      detected_isa(),
      []<Isa>(const BlendInputs& i, double* t, double* w, int32_t row, int32_t a, int32_t z)
          RR_INLINE_LAMBDA { pieces_orders(i, t, w, row, a, z); },
      in, tau, W, b, n0, n1);
}

namespace {
// One mode at kLanes consecutive samples n .. n + kLanes - 1 of row b, as
// lane vectors: every lane takes the scalar operations of its sample.  The
// partials by v, q, chi1z, chi2z of those samples start at dre / dim + p stride.
RR_INLINE void dc_mode_full(const DcGridKernel& kern, int64_t b64, int32_t n, int32_t k,
                                  const lanes::d4* dvp, const double* re, const double* im,
                                  const double* dre, const double* dim, int stride) {
  using lanes::d4;
  const int32_t G = kern.G, N = kern.N, K = kern.K;
  const int32_t di = kern.modes(3 * k), ri = kern.modes(3 * k + 1);
  const d4 hr = RR_LANES_LOAD(d4, re), hi = RR_LANES_LOAD(d4, im);
  const d4 hvr = RR_LANES_LOAD(d4, dre), hvi = RR_LANES_LOAD(d4, dim);
  d4 dhr[3], dhi[3];
  for (int p = 0; p < 3; ++p) {
    dhr[p] = (hvr * dvp[p]) + RR_LANES_LOAD(d4, dre + (1 + p) * stride);
    dhi[p] = (hvi * dvp[p]) + RR_LANES_LOAD(d4, dim + (1 + p) * stride);
  }
  const double phr = kern.phase(2 * k), phi = kern.phase(2 * k + 1);
  const auto slot = [&](int32_t g) { return kern.vals.data() + 2 * ((b64 * G + g) * N + n); };
  d4 D0r, D0i;
  lanes::load_pairs(slot(di), D0r, D0i);
  if (ri < 0) {
    for (int p = 0; p < 3; ++p) {
      d4 Dr, Di;
      lanes::load_pairs(slot(di + 1 + p), Dr, Di);
      const d4 xr = ((Dr * hr) - (Di * hi)) + ((D0r * dhr[p]) - (D0i * dhi[p]));
      const d4 xi = ((Dr * hi) + (Di * hr)) + ((D0r * dhi[p]) + (D0i * dhr[p]));
      const int64_t off = 2 * (((b64 * 3 + p) * K + k) * N + n);
      lanes::store_pairs(kern.out.data() + off, (xr * phr) - (xi * phi), (xr * phi) + (xi * phr));
    }
  } else {
    d4 R0r, R0i;
    lanes::load_pairs(slot(ri), R0r, R0i);
    const double w = kern.W(b64 * K + k);
    const d4 zr = (R0r * hr) - (R0i * hi);
    const d4 zi = (R0r * hi) + (R0i * hr);
    const d4 mr = D0r - ((zr * phr) - (zi * phi));
    const d4 mi = D0i - ((zr * phi) + (zi * phr));
    const double omw = 1.0 - w;
    for (int p = 0; p < 3; ++p) {
      d4 Dr, Di, Rr, Ri;
      lanes::load_pairs(slot(di + 1 + p), Dr, Di);
      lanes::load_pairs(slot(ri + 1 + p), Rr, Ri);
      const d4 yr = ((Rr * hr) - (Ri * hi)) + ((R0r * dhr[p]) - (R0i * dhi[p]));
      const d4 yi = ((Rr * hi) + (Ri * hr)) + ((R0r * dhi[p]) + (R0i * dhr[p]));
      const double dWp = kern.dW((b64 * 3 + p) * K + k);
      const int64_t off = 2 * (((b64 * 3 + p) * K + k) * N + n);
      lanes::store_pairs(kern.out.data() + off,
                         ((w * Dr) + (((yr * phr) - (yi * phi)) * omw)) + (mr * dWp),
                         ((w * Di) + (((yr * phi) + (yi * phr)) * omw)) + (mi * dWp));
    }
  }
}

// One mode at one sample n (lane l of the block's weights and partials, the
// partials by p at dre / dim + p stride).
RR_INLINE void dc_mode_one(const DcGridKernel& kern, int64_t b64, int32_t n, int32_t k,
                           const double* dvp, double hr, double hi, const double* dre,
                           const double* dim, int l, int stride) {
  const int32_t G = kern.G, N = kern.N, K = kern.K;
  const int32_t di = kern.modes(3 * k), ri = kern.modes(3 * k + 1);
  const double hvr = dre[l], hvi = dim[l];
  double dhr[3], dhi[3];
  for (int p = 0; p < 3; ++p) {
    dhr[p] = (hvr * dvp[p]) + dre[(1 + p) * stride + l];
    dhi[p] = (hvi * dvp[p]) + dim[(1 + p) * stride + l];
  }
  const double phr = kern.phase(2 * k), phi = kern.phase(2 * k + 1);
  const auto slot = [&](int32_t g) { return kern.vals.data() + 2 * ((b64 * G + g) * N + n); };
  const double* D0 = slot(di);
  double* out = kern.out.data();
  if (ri < 0) {
    for (int p = 0; p < 3; ++p) {
      const double* D = slot(di + 1 + p);
      const double xr = ((D[0] * hr) - (D[1] * hi)) + ((D0[0] * dhr[p]) - (D0[1] * dhi[p]));
      const double xi = ((D[0] * hi) + (D[1] * hr)) + ((D0[0] * dhi[p]) + (D0[1] * dhr[p]));
      const int64_t off = 2 * (((b64 * 3 + p) * K + k) * N + n);
      out[off] = (xr * phr) - (xi * phi);
      out[off + 1] = (xr * phi) + (xi * phr);
    }
  } else {
    const double* R0 = slot(ri);
    const double w = kern.W(b64 * K + k);
    const double zr = (R0[0] * hr) - (R0[1] * hi);
    const double zi = (R0[0] * hi) + (R0[1] * hr);
    const double mr = D0[0] - ((zr * phr) - (zi * phi));
    const double mi = D0[1] - ((zr * phi) + (zi * phr));
    const double omw = 1.0 - w;
    for (int p = 0; p < 3; ++p) {
      const double* D = slot(di + 1 + p);
      const double* Rp = slot(ri + 1 + p);
      const double yr = ((Rp[0] * hr) - (Rp[1] * hi)) + ((R0[0] * dhr[p]) - (R0[1] * dhi[p]));
      const double yi = ((Rp[0] * hi) + (Rp[1] * hr)) + ((R0[0] * dhi[p]) + (R0[1] * dhr[p]));
      const double dWp = kern.dW((b64 * 3 + p) * K + k);
      const int64_t off = 2 * (((b64 * 3 + p) * K + k) * N + n);
      out[off] = ((w * D[0]) + (((yr * phr) - (yi * phi)) * omw)) + (mr * dWp);
      out[off + 1] = ((w * D[1]) + (((yr * phi) + (yi * phr)) * omw)) + (mi * dWp);
    }
  }
}

// The weights and partials of slot S at one block of kLanes samples from the
// slot's own bracket sums (its table entries in their order, as the full
// evaluations take them), formed as eval_mode_weights_terms and
// eval_dmode_weights_terms form them; the partials of slot S (4 S + p, p over
// v, q, chi1z, chi2z) land at dre/dim[p * W + l].
template <int S, int W>
RR_INLINE void dc_slot(const double (*vp)[W], const double* lnx, const double* table,
                             const double* dtable, double* re, double* im, double* dre,
                             double* dim) {
  constexpr int e0 = pn4::slot_entry_offset<S>();
  {
    pn4::SlotWeightSums<W> w{table + pn4::kTabCoef + e0, vp, lnx};
    const pn4::Skip z{};
    pn4::mode_slot<S>(w, z, z, z, z);
    const double eta = table[pn4::kTabQ] * table[pn4::kTabInv1q2];
    const double Ke = table[pn4::kTabNorm + S] * eta;
    for (int l = 0; l < W; ++l) {
      const double f = Ke * vp[2][l];
      re[l] = f * w.re[l];
      im[l] = f * w.im[l];
    }
  }
  pn4::SlotPartialSums<W> w{dtable + pn4::kTabCoef + e0, dtable + pn4::kDTabPartials + 3 * e0, vp,
                            lnx};
  const pn4::Dep<true, false> by_q{};  // eta, delta
  const pn4::Dep<true, true> by_all{};  // S, Sigma
  pn4::mode_slot<S>(w, by_q, by_q, by_all, by_all);
  const double eta = dtable[pn4::kTabQ] * dtable[pn4::kTabInv1q2];
  const double deta = dtable[pn4::kDTabDEta];
  const double K = dtable[pn4::kTabNorm + S];
  const double Ke = K * eta;
  for (int part = 0; part < 2; ++part) {
    double* o = part == 0 ? dre : dim;
    for (int l = 0; l < W; ++l) {
      const double v2 = vp[2][l], two_v = 2.0 * vp[1][l];
      o[0 * W + l] = Ke * (two_v * w.b[part][l] + v2 * w.bv[part][l]);
      o[1 * W + l] = K * v2 * (deta * w.b[part][l] + eta * w.bq[part][l]);
      o[2 * W + l] = Ke * v2 * w.b1[part][l];
      o[3 * W + l] = Ke * v2 * w.b2[part][l];
    }
  }
}

template <int W, int... S>
RR_INLINE void dc_slots(uint32_t used, const double (*vp)[W], const double* lnx,
                              const double* table, const double* dtable, double (*re)[W],
                              double (*im)[W], double (*dre)[4 * W], double (*dim)[4 * W],
                              std::integer_sequence<int, S...>) {
  ((used & (1u << S) ? dc_slot<S, W>(vp, lnx, table, dtable, re[S], im[S], dre[S], dim[S])
                     : void()),
   ...);
}

// The body of DcGridKernel::chunk, W samples per block (a multiple of
// kLanes).  Only the slots that some mode reads are evaluated; the modes run
// as lane vectors over the block's whole groups of kLanes samples, and sample
// by sample over the rest of the row's last block.
template <int W>
RR_INLINE void dc_grid_blocks(const DcGridKernel& kern, int32_t b, int32_t n0, int32_t n1) {
  using lanes::d4;
  static_assert(lanes::width<d4> == kLanes && W % kLanes == 0, "whole lane vectors per block");
  const int32_t N = kern.N, K = kern.K;
  const int64_t b64 = b;
  const double* table = kern.tables.data() + b64 * kModeCoeffCount;
  const double* dtable = kern.dtables.data() + b64 * kDModeCoeffCount;
  uint32_t used = 0;
  for (int32_t k = 0; k < K; ++k) used |= 1u << kern.modes(3 * k + 2);
  // Per slot: weights re/im [s][lane], partials dre/dim [s][p W + lane].
  double re[kModeSlots][W], im[kModeSlots][W];
  double dre[kModeSlots][4 * W], dim[kModeSlots][4 * W];
  for (int32_t n_blk = n0; n_blk < n1; n_blk += W) {
    const int valid = n1 - n_blk < W ? n1 - n_blk : W;
    double vv[W];
    pad_lanes<W>(kern.v.data() + b64 * N + n_blk, valid, vv);
    // One logarithm and one set of powers of v serve the weights and partials.
    double vp[9][W], lnx[W];
    v_terms_for<W>(vv, used, vp, lnx);
    dc_slots<W>(used, vp, lnx, table, dtable, re, im, dre, dim,
                std::make_integer_sequence<int, kModeSlots>{});
    int h = 0;
    for (; h + kLanes <= valid; h += kLanes) {
      d4 dvp[3];
      for (int p = 0; p < 3; ++p)
        dvp[p] = RR_LANES_LOAD(d4, kern.dv.data() + (b64 * 3 + p) * N + n_blk + h);
      for (int32_t k = 0; k < K; ++k) {
        const int32_t s = kern.modes(3 * k + 2);
        dc_mode_full(kern, b64, n_blk + h, k, dvp, re[s] + h, im[s] + h, dre[s] + h, dim[s] + h, W);
      }
    }
    for (int l = h; l < valid; ++l) {
      const int32_t n = n_blk + l;
      double dvp[3];
      for (int p = 0; p < 3; ++p) dvp[p] = kern.dv((b64 * 3 + p) * N + n);
      for (int32_t k = 0; k < K; ++k) {
        const int32_t s = kern.modes(3 * k + 2);
        dc_mode_one(kern, b64, n, k, dvp, re[s][l], im[s][l], dre[s], dim[s], l, W);
      }
    }
  }
}

// With AVX-512 (VL) a block is kDcWide samples whose slot sums run as lane
// arrays, two independent add chains per sum; else one lane vector of kLanes
// samples.
constexpr int kDcWide = 8;
}  // namespace

void DcGridKernel::chunk(int32_t b, int32_t n0, int32_t n1) const {
  variants::run<Isa::avx512vl, Isa::avx2, Isa::generic>(
      detected_isa(),
      []<Isa I>(const DcGridKernel& k, int32_t row, int32_t a, int32_t z) RR_INLINE_LAMBDA {
        dc_grid_blocks<(I == Isa::avx512vl ? kDcWide : kLanes)>(k, row, a, z);
      },
      *this, b, n0, n1);
}

}  // namespace fused
}  // namespace radiredide
