// Stage-2 4PN evaluation of the fused and gradient-side kernels, kLanes
// samples per step.  Each lane performs exactly the scalar operations of
// mode_weights / dmode_weights at its own sample, so the values are the
// scalar ones bit for bit.  On x86-64 ELF targets an AVX2 clone is chosen at
// load time when the processor has it (AVX2 without FMA: same results).
#include "pack/fused_kernels.hpp"
#include "pack/pn4.hpp"

#include <cmath>
#include <cstdint>

#if defined(__x86_64__) && defined(__ELF__) && (defined(__GNUC__) || defined(__clang__))
#define RR_FUSED_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define RR_FUSED_CLONES
#endif

namespace radiredide {
namespace fused {

namespace {
// The lanes past `valid` repeat the last valid sample; their values are dropped.
inline void pad_lanes(const double* v, int valid, double* vv) {
  for (int l = 0; l < kLanes; ++l) vv[l] = v[l < valid ? l : valid - 1];
}
}  // namespace

RR_FUSED_CLONES void weights_lanes(const double* v, int valid, const double* table, double* W,
                                   int64_t N, int64_t n0) {
  double vv[kLanes];
  pad_lanes(v, valid, vv);
  pn4::eval_mode_weights_to<kLanes>(vv, table, [&](int s, int l, double re, double im) {
    if (l < valid) {
      const int64_t o = 2 * (static_cast<int64_t>(s) * N + n0 + l);
      W[o] = re;
      W[o + 1] = im;
    }
  });
}

RR_FUSED_CLONES void magnitude_chunk(const double* v, int32_t n0, int32_t n1,
                                     const double* table, uint32_t used, double* mag,
                                     int64_t N, unsigned char* unsafe) {
  for (int32_t n = n0; n < n1; n += kLanes) {
    const int valid = n1 - n < kLanes ? n1 - n : kLanes;
    double vv[kLanes];
    pad_lanes(v + n, valid, vv);
    pn4::eval_mode_weights_to<kLanes>(vv, table, [&](int s, int l, double re, double im) {
      if (l < valid && (used & (1u << s))) {
        const double q = re * re + im * im;
        mag[static_cast<int64_t>(s) * N + n + l] = q;
        if (!(q >= kOrderSafeLo && q <= kOrderSafeHi) && !(re == 0.0 && im == 0.0)) unsafe[s] = 1;
      }
    });
  }
}

namespace {
// The body of DcGridKernel::chunk.  It is cloned as a function of this file:
// the clones attribute on the member's definition alone would give the class a
// second definition (-Wodr), and on its declaration it would make the callers
// in other files name the default clone, which only this file defines.
RR_FUSED_CLONES void dc_grid_lanes(const DcGridKernel& kern, int32_t b, int32_t n0, int32_t n1) {
  const auto& [split, G, N, K, vals, v, dv, tables, dtables, modes, phase, W, dW, out] = kern;
  constexpr int Wl = kLanes;
  const int64_t b64 = b;
  const double* table = tables.data() + b64 * kModeCoeffCount;
  const double* dtable = dtables.data() + b64 * kDModeCoeffCount;
  double re[kModeSlots * Wl], im[kModeSlots * Wl], dre[kDModeSlots * Wl], dim[kDModeSlots * Wl];
  for (int32_t n_blk = n0; n_blk < n1; n_blk += Wl) {
    const int valid = n1 - n_blk < Wl ? n1 - n_blk : Wl;
    double vv[Wl];
    pad_lanes(v.data() + b64 * N + n_blk, valid, vv);
    // One logarithm and one set of powers of v serve the weights and partials.
    double vp[9][Wl], lnx[Wl];
    pn4::v_terms<Wl>(vv, vp, lnx);
    pn4::eval_mode_weights_terms<Wl>(vp, lnx, table, [&](int k, int l, double r, double i) {
      re[k * Wl + l] = r;  // re[s * Wl + l]
      im[k * Wl + l] = i;
    });
    pn4::eval_dmode_weights_terms<Wl>(vp, lnx, dtable, [&](int k, int l, double r, double i) {
      dre[k * Wl + l] = r;  // dre[(4 j + p) * Wl + l]
      dim[k * Wl + l] = i;
    });
    for (int l = 0; l < valid; ++l) {
      const int32_t n = n_blk + l;
      double dvp[3];
      for (int p = 0; p < 3; ++p) dvp[p] = dv((b64 * 3 + p) * N + n);
      for (int32_t k = 0; k < K; ++k) {
        const int32_t di = modes(3 * k), ri = modes(3 * k + 1), s = modes(3 * k + 2);
        const double hr = re[s * Wl + l], hi = im[s * Wl + l];
        const double hvr = dre[(4 * s) * Wl + l], hvi = dim[(4 * s) * Wl + l];
        double dhr[3], dhi[3];
        for (int p = 0; p < 3; ++p) {
          dhr[p] = (hvr * dvp[p]) + dre[(4 * s + 1 + p) * Wl + l];
          dhi[p] = (hvi * dvp[p]) + dim[(4 * s + 1 + p) * Wl + l];
        }
        const double phr = phase(2 * k), phi = phase(2 * k + 1);
        const auto slot = [&](int32_t g) { return vals.data() + 2 * ((b64 * G + g) * N + n); };
        const double* D0 = slot(di);
        if (ri < 0) {
          for (int p = 0; p < 3; ++p) {
            const double* D = slot(di + 1 + p);
            const double xr = ((D[0] * hr) - (D[1] * hi)) + ((D0[0] * dhr[p]) - (D0[1] * dhi[p]));
            const double xi = ((D[0] * hi) + (D[1] * hr)) + ((D0[0] * dhi[p]) + (D0[1] * dhr[p]));
            const int64_t off = 2 * (((b64 * 3 + p) * K + k) * N + n);
            out(off) = (xr * phr) - (xi * phi);
            out(off + 1) = (xr * phi) + (xi * phr);
          }
        } else {
          const double* R0 = slot(ri);
          const double w = W(b64 * K + k);
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
            const double dWp = dW((b64 * 3 + p) * K + k);
            const int64_t off = 2 * (((b64 * 3 + p) * K + k) * N + n);
            out(off) = ((w * D[0]) + (((yr * phr) - (yi * phi)) * omw)) + (mr * dWp);
            out(off + 1) = ((w * D[1]) + (((yr * phi) + (yi * phr)) * omw)) + (mi * dWp);
          }
        }
      }
    }
  }
}
}  // namespace

void DcGridKernel::chunk(int32_t b, int32_t n0, int32_t n1) const { dc_grid_lanes(*this, b, n0, n1); }

}  // namespace fused
}  // namespace radiredide
