// 4PN weight grids (one parameter point on a v grid, and batches of rows) and
// the two scalar probes used to gate the compiled series against Python.
//
// Stage 1 of the weights (mode_coeffs / dmode_coeffs) always runs here on the
// calling host thread, once per parameter point; only stage 2 runs in the
// kernels.  exec_space is accepted for interface symmetry: every value runs on
// the default (OpenMP host) execution space.
#include "common/chunking.hpp"
#include "common/errors.hpp"
#include "common/variants.hpp"
#include "common/kokkos_compat.hpp"
#include "common/pyarray.hpp"
#include "common/staging.hpp"
#include "pack/pack.hpp"
#include "pack/pn4.hpp"

#include <Kokkos_Core.hpp>

#include <string>
#include <vector>

namespace radiredide {
namespace py = pybind11;

namespace {

using Space = Kokkos::DefaultExecutionSpace;

// Sample chunks per row for the batched 4PN kernels (about eight work items
// per thread over the batch, no chunk under four samples).  B = 0 gives 1.
int32_t pn4_chunks(int32_t B, int32_t N) {
  int conc = compat::default_concurrency();
  if (conc <= 0) conc = 1;
  return pn_sample_chunk_count(N, B, conc);
}

// Result element [.., s, n] of a complex (.., S, N) array as a double pair.
struct WeightsGridKernel {
  UView<const double, 1> v;
  UView<const double, 1> table;
  UView<double, 1> out;  // (8, N) complex as 16 N doubles
  int32_t n;
  KOKKOS_INLINE_FUNCTION void operator()(const int32_t i) const {
    double re[kModeSlots], im[kModeSlots];
    mode_weights(load_unaligned(v.data(), i), table.data(), re, im);  // v may be misaligned
    for (int k = 0; k < kModeSlots; ++k) {
      const int64_t o = 2 * (static_cast<int64_t>(k) * n + i);
      out(o) = re[k];
      out(o + 1) = im[k];
    }
  }
};

// Writes lane l of slot k to element (k, s + l) of a complex (Slots, n) row.
struct RowSink {
  double* out;
  int64_t n, s;
  int valid;
  RR_INLINE void operator()(int k, int l, double re, double im) const {
    if (l < valid) {
      const int64_t o = 2 * (static_cast<int64_t>(k) * n + s + l);
      out[o] = re;
      out[o + 1] = im;
    }
  }
};

// Stage 2 over samples [s0, s1) of one row, W samples per step (the lanes
// take exactly the scalar operations, so the bits are those of mode_weights /
// dmode_weights at each sample, whatever W).  v is the caller's buffer, read
// in place but possibly misaligned: its samples are loaded bytewise.
template <int W, bool Partials>
RR_INLINE void stage2_span(const double* v, int64_t s0, int64_t s1, const double* table,
                           double* out, int64_t n) {
  int64_t s = s0;
  for (; s + W <= s1; s += W) {
    double vv[W];
    for (int l = 0; l < W; ++l) vv[l] = load_unaligned(v, s + l);
    pn4::eval_weights_to<Partials, W>(vv, table, RowSink{out, n, s, W});
  }
  if (s < s1) {
    double vv[W];
    for (int l = 0; l < W; ++l) vv[l] = load_unaligned(v, s + l < s1 ? s + l : s1 - 1);
    pn4::eval_weights_to<Partials, W>(vv, table, RowSink{out, n, s, static_cast<int>(s1 - s)});
  }
}

// The span at tier isa (common/variants.hpp): eight samples per step with
// AVX-512, whose 32 vector registers hold a slot's sums and the powers of v;
// four with AVX2 and in the generic build.
template <bool Partials>
void stage2_chunk(Isa isa, const double* v, int64_t s0, int64_t s1, const double* table,
                  double* out, int64_t n) {
  variants::run<Isa::avx512, Isa::avx2, Isa::generic>(
      isa,
      []<Isa I>(const double* vv, int64_t a, int64_t b, const double* t, double* o, int64_t m)
          RR_INLINE_LAMBDA { stage2_span<(I >= Isa::avx512 ? 8 : 4), Partials>(vv, a, b, t, o, m); },
      v, s0, s1, table, out, n);
}

// Rows times chunks over a (B, N) v grid; out is (B, Slots, N) complex.
template <int Slots, int TableSize, bool Partials>
struct BatchKernel {
  UView<const double, 2> v;      // (B, N)
  UView<const double, 1> tables;  // B * TableSize
  UView<double, 1> out;          // (B, Slots, N) complex as doubles
  int32_t n, chunks, len;
  Isa isa;
  KOKKOS_INLINE_FUNCTION void operator()(const int32_t i) const {
    const int32_t b = i / chunks;
    const int32_t c = i % chunks;
    const int64_t start = static_cast<int64_t>(c) * len;
    if (start >= n) return;
    const int64_t stop = start + len < n ? start + len : n;
    const double* table = tables.data() + static_cast<int64_t>(b) * TableSize;
    const double* vrow = v.data() + static_cast<int64_t>(b) * n;
    double* orow = out.data() + 2 * static_cast<int64_t>(b) * Slots * n;
    stage2_chunk<Partials>(isa, vrow, start, stop, table, orow, n);
  }
};

// v (B, N) and thetas (B, 3): the checks shared by the batched functions.
void check_batch_shapes(const carray<double>& v, const carray<double>& thetas) {
  if (v.ndim() != 2) value_error("v must be (B, N)");
  if (thetas.ndim() != 2 || thetas.shape(0) != v.shape(0) || thetas.shape(1) != 3)
    value_error("thetas must be (B, 3)");
}

template <int Slots, int TableSize, bool Partials>
py::array_t<cplx> run_batch(const carray<double>& v, const carray<double>& thetas,
                            const char* label) {
  const int32_t B = fit_i32(v.shape(0), "B");
  const int32_t N = fit_i32(v.shape(1), "N");
  checked_mul(checked_mul(B, Slots, "result size"), N, "result size");
  require_kokkos();
  auto result = new_array<cplx>({B, Slots, N});
  if (B == 0 || N == 0) return result;

  const double* th = thetas.data();
  std::vector<double> tables(static_cast<size_t>(B) * TableSize);
  for (int32_t b = 0; b < B; ++b) {
    double* t = tables.data() + static_cast<size_t>(b) * TableSize;
    if constexpr (Partials)
      dmode_coeffs(load_unaligned(th, 3 * b), load_unaligned(th, 3 * b + 1),
                   load_unaligned(th, 3 * b + 2), t);
    else
      mode_coeffs(load_unaligned(th, 3 * b), load_unaligned(th, 3 * b + 1),
                  load_unaligned(th, 3 * b + 2), t);
  }
  const int32_t chunks = pn4_chunks(B, N);
  const int32_t len = static_cast<int32_t>((static_cast<int64_t>(N) + chunks - 1) / chunks);
  const int32_t items = fit_i32(static_cast<int64_t>(B) * chunks, "B * chunks");

  BatchKernel<Slots, TableSize, Partials> k{
      make_view(v.data(), B, N), make_view(static_cast<const double*>(tables.data()), tables.size()),
      make_view(reinterpret_cast<double*>(mutable_ptr(result)),
                static_cast<size_t>(2) * B * Slots * N),
      N, chunks, len, detected_isa()};
  Kokkos::parallel_for(label, Kokkos::RangePolicy<Space>(0, items), k);
  Space().fence();
  return result;
}

constexpr const char* kWeightsGridDoc =
    "Two-stage 4PN mode weights on a v grid: (8, N) complex (7 AA modes + the delta-stripped "
    "(5, 5)).  exec_space selects the Kokkos execution space ('host' | 'device'); mode_coeffs "
    "always runs host-side (see the source note).";
constexpr const char* kWeightsBatchDoc =
    "Batched two-stage 4PN mode weights: (B, 8, N) complex, bitwise np.stack of per-row "
    "pn4_weights_grid calls (one dispatch).";
constexpr const char* kDModeBatchDoc =
    "Batched exact 4PN mode-weight partials: (B, 32, N) complex, slot 4 * j + p = d h_j / d (v, "
    "q, chi1z, chi2z)[p] over the 7 AA modes then the delta-stripped (5, 5).";
constexpr const char* kProbe2Doc = "Two-stage weight probe: (8,) complex at one v (gate vs Python).";
constexpr const char* kProbeDoc =
    "Autogenerated 4PN series probe: (L, dL/dx, E, dE/dx, F, h_lm[7]) at x = v^2 (gate vs the "
    "certified Python implementations).";

}  // namespace

void def_pn4_weights_grid(py::module_& m) {
  m.def(
      "pn4_weights_grid",
      [](const carray<double>& v, double q, double chi1z, double chi2z,
         const std::string& exec_space) {
        check_exec_space(exec_space);
        if (v.ndim() != 1) value_error("v must be (N,)");
        const int32_t N = fit_i32(v.shape(0), "N");
        checked_mul(kModeSlots, N, "result size");
        require_kokkos();
        auto result = new_array<cplx>({kModeSlots, N});
        std::vector<double> table(kModeCoeffCount);
        mode_coeffs(q, chi1z, chi2z, table.data());
        if (N == 0) return result;
        WeightsGridKernel k{make_view(v.data(), N),
                            make_view(static_cast<const double*>(table.data()), table.size()),
                            make_view(reinterpret_cast<double*>(mutable_ptr(result)),
                                      static_cast<size_t>(2) * kModeSlots * N),
                            N};
        Kokkos::parallel_for("pn4_weights_grid", Kokkos::RangePolicy<Space>(0, N), k);
        Space().fence();
        return result;
      },
      kWeightsGridDoc, py::arg("v"), py::arg("q"), py::arg("chi1z"), py::arg("chi2z"),
      py::arg("exec_space") = "host");
}

void def_pn4_weights_batch(py::module_& m) {
  m.def(
      "pn4_weights_batch",
      [](const carray<double>& v, const carray<double>& thetas, const std::string& exec_space) {
        check_exec_space(exec_space);
        check_batch_shapes(v, thetas);
        return run_batch<kModeSlots, kModeCoeffCount, false>(v, thetas, "pn4_weights_batch");
      },
      kWeightsBatchDoc, py::arg("v"), py::arg("thetas"), py::arg("exec_space") = "host");
}

void def_pn4_dmode_batch(py::module_& m) {
  m.def(
      "pn4_dmode_batch",
      [](const carray<double>& v, const carray<double>& thetas) {
        check_batch_shapes(v, thetas);
        return run_batch<kDModeSlots, kDModeCoeffCount, true>(v, thetas, "pn4_dmode_batch");
      },
      kDModeBatchDoc, py::arg("v"), py::arg("thetas"));
}

void def_pn4_probe2(py::module_& m) {
  m.def(
      "pn4_probe2",
      [](double v, double q, double chi1z, double chi2z) {
        double table[kModeCoeffCount];
        double re[kModeSlots], im[kModeSlots];
        mode_coeffs(q, chi1z, chi2z, table);
        mode_weights(v, table, re, im);
        auto out = new_array<cplx>({kModeSlots});
        cplx* o = mutable_ptr(out);
        for (int k = 0; k < kModeSlots; ++k) o[k] = cplx(re[k], im[k]);
        return out;
      },
      kProbe2Doc, py::arg("v"), py::arg("q"), py::arg("chi1z"), py::arg("chi2z"));
}

void def_pn4_probe(py::module_& m) {
  m.def(
      "pn4_probe",
      [](double v, double q, double chi1z, double chi2z) {
        double re[7], im[7];
        pn4_mode_h22(v, q, chi1z, chi2z, &re[0], &im[0]);
        pn4_mode_h21(v, q, chi1z, chi2z, &re[1], &im[1]);
        pn4_mode_h33(v, q, chi1z, chi2z, &re[2], &im[2]);
        pn4::mode_single<3>(v, q, chi1z, chi2z, &re[3], &im[3]);
        pn4::mode_single<4>(v, q, chi1z, chi2z, &re[4], &im[4]);
        pn4::mode_single<5>(v, q, chi1z, chi2z, &re[5], &im[5]);
        pn4::mode_single<6>(v, q, chi1z, chi2z, &re[6], &im[6]);
        auto h = new_array<cplx>({7});
        cplx* o = mutable_ptr(h);
        for (int k = 0; k < 7; ++k) o[k] = cplx(re[k], im[k]);

        const double x = v * v;
        const double F = pn4_flux(x, q, chi1z, chi2z);
        const double dE = pn4_energy_derivative(x, q, chi1z, chi2z);
        const double E = pn4::binding_energy(x, q, chi1z, chi2z);
        const double L = pn4_angular_momentum(x, q, chi1z, chi2z);
        const double dL = pn4::angular_momentum_derivative(x, q, chi1z, chi2z);
        return py::make_tuple(L, dL, E, dE, F, h);
      },
      kProbeDoc, py::arg("v"), py::arg("q"), py::arg("chi1z"), py::arg("chi2z"));
}

}  // namespace radiredide
