// Hybrid synthesis, inspiral-merger-ringdown assembly and spin-weight -2
// spherical-harmonic weights: argument checks, staging and launches.
#include "synthesis.hpp"

#include "common/chunking.hpp"
#include "common/errors.hpp"
#include "common/kokkos_compat.hpp"
#include "common/pyarray.hpp"
#include "common/staging.hpp"
#include "synthesis_assemble.hpp"
#include "synthesis_hybrid.hpp"
#include "synthesis_swsh.hpp"
#include "workspace.hpp"

#include <Kokkos_Core.hpp>

#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

namespace radiredide {
namespace py = pybind11;

namespace {

using Exec = Kokkos::DefaultExecutionSpace;

constexpr const char* kEvaluateHybridDoc =
    "Hybridised-extension synthesis: Phi(t) from the (4, n-1) cubic of the coarse time map, "
    "per-mode cubic resample of the (K, 4, n-1) coarse c_lm at Phi, fused exp(i m s Phi) "
    "rotation. Returns ((K, N) strain, (N,) Phi_of_t).";
constexpr const char* kEvaluateHybridHostDoc =
    "Host-space twin of evaluate_hybrid (dispatch table, R7)";
constexpr const char* kEvaluateHybridBatchDoc =
    "WI-4/D1: BATCHED hybridised-extension synthesis over RAGGED packs (flat knots + (B+1) "
    "int64 knot/coefficient-column offsets, the build_extension_pack_batch layout) at (B, J) "
    "span-packed times -> (B, K, J) strain. Per-sample body is evaluate_hybrid's verbatim, so "
    "rows are bitwise the per-row scalar call. float64 only; declined rows must be dropped "
    "before the launch.";
constexpr const char* kAssembleImr64Doc =
    "Fused masks + cosine blend + reflection mode sum -> (hp, hc)";
constexpr const char* kAssembleImr64HostDoc =
    "Host-space twin of assemble_imr64 (dispatch table, R7)";
constexpr const char* kSwshDoc =
    "Spin-weight -2 spherical harmonics on the device: (B, K) complex128 with out[b, k] = "
    "-2Y_{l_k m_k}(inclination_b, azimuth_b), the Goldberg closed form of "
    "fisher.spin_weighted_ylm term for term. Any signed m with |m| <= l, 2 <= l <= 8; a "
    "negative m is its own term table, not a reflection.";

// Mode numbers are negated and used as repetition counts: -2^31 has no
// representable magnitude.
struct ModeSummary {
  int32_t max_abs = 0;
  bool any_negative = false;
};
ModeSummary summarize_modes(const int32_t* m, py::ssize_t K) {
  ModeSummary s;
  for (py::ssize_t k = 0; k < K; ++k) {
    const int32_t mk = load_unaligned(m, k);  // the caller's array, possibly misaligned
    if (mk == std::numeric_limits<int32_t>::min())
      value_error("m values must have a magnitude representable as int32 (not -2147483648)");
    const int32_t a = mk < 0 ? -mk : mk;
    if (a > s.max_abs) s.max_abs = a;
    if (mk < 0) s.any_negative = true;
  }
  return s;
}

// ------------------------------------------------------------------ evaluate_hybrid
py::tuple evaluate_hybrid(const carray<double>& t_knots, const carray<double>& phi_coefs,
                          const carray<double>& phi_knots, const carray<cplx>& mode_coefs,
                          const carray<int32_t>& m, double phase_sign, const carray<double>& t,
                          const py::object& weights, long long n_out) {
  // NumPy's own conversion error, if any, comes before every other check.
  carray<double> w;
  const bool weighted = !weights.is_none();
  if (weighted) w = carray<double>(weights);

  require(t_knots.ndim() == 1 && phi_knots.ndim() == 1, "t_knots and phi_knots must be (n,)");
  const py::ssize_t n = t_knots.shape(0);
  require(phi_knots.shape(0) == n && n >= 2, "t_knots and phi_knots must share n >= 2");
  require(phi_coefs.ndim() == 2 && phi_coefs.shape(0) == 4 && phi_coefs.shape(1) == n - 1,
          "phi_coefs must be (4, n-1)");
  require(mode_coefs.ndim() == 3 && mode_coefs.shape(1) == 4 && mode_coefs.shape(2) == n - 1,
          "mode_coefs must be (K, 4, n-1)");
  const py::ssize_t K = mode_coefs.shape(0);
  require(m.ndim() == 1 && m.shape(0) == K, "m must be (K,)");
  require(t.ndim() == 1, "t must be (N,)");
  const py::ssize_t N = t.shape(0);
  const ModeSummary modes = summarize_modes(m.data(), K);
  if (weighted) require(w.ndim() == 1 && w.shape(0) == N, "weights must be (N,), matching t");
  if (n_out != 0 && n_out < static_cast<long long>(N)) value_error("n_out must be 0 or >= len(t)");
  const long long W = n_out > static_cast<long long>(N) ? n_out : static_cast<long long>(N);
  staged_count(K, W);  // the result must fit 32-bit indexing before it is allocated
  require_kokkos();

  WorkspacePool& pool = thread_workspace();
  auto v_tk = stage_in(pool, "hyb_t_knots", t_knots.data(), n);
  auto v_pk = stage_in(pool, "hyb_phi_knots", phi_knots.data(), n);
  auto v_pc = stage_in(pool, "hyb_phi_c", phi_coefs.data(), 4, n - 1);
  auto v_mc = stage_in(pool, "hyb_mode_c", mode_coefs.data(), K, 4, n - 1);
  auto v_m = stage_in(pool, "hyb_m", m.data(), K);
  auto v_t = stage_in(pool, "hyb_t", t.data(), N);
  UView<const double, 1> v_w;
  if (weighted) v_w = stage_in(pool, "hyb_w", w.data(), N);

  auto strain = new_array<cplx>({K, static_cast<py::ssize_t>(W)});
  auto phi_of_t = new_array<double>({N});
  auto o_strain = stage_out(pool, "hyb_out", mutable_ptr(strain), K, W);
  auto o_phi = stage_out(pool, "hyb_phi_of_t", mutable_ptr(phi_of_t), N);
  // Padding columns are zero in whatever the kernel writes into, so that a
  // staged result's copy-back carries zeros there too.
  if (W > N)
    for (py::ssize_t k = 0; k < K; ++k)
      std::memset(static_cast<void*>(&o_strain.target(k, N)), 0,
                  static_cast<size_t>(W - N) * sizeof(cplx));

  hybrid::RowKernel f;
  f.t_knots = v_tk;
  f.phi_knots = v_pk;
  f.phi_c = v_pc;
  f.mode_c = v_mc;
  f.m = v_m;
  f.t = v_t;
  f.w = v_w;
  f.strain = o_strain.target;
  f.phi_of_t = o_phi.target;
  f.s = phase_sign;
  f.n = static_cast<int32_t>(n);
  f.K = static_cast<int32_t>(K);
  f.N = static_cast<int32_t>(N);
  f.M = modes.max_abs;
  f.weighted = weighted;
  f.any_negative = modes.any_negative;
  const int32_t items = static_cast<int32_t>((static_cast<int64_t>(N) + hybrid::kItem - 1) /
                                             hybrid::kItem);
  Kokkos::parallel_for("hybrid_synthesis", Kokkos::RangePolicy<Exec>(0, items), f);
  Exec().fence();
  o_strain.copy_back();
  o_phi.copy_back();
  return py::make_tuple(strain, phi_of_t);
}

// ------------------------------------------------------------ evaluate_hybrid_batch
py::array evaluate_hybrid_batch(const carray<double>& t_knots, const carray<int64_t>& offsets,
                                const carray<double>& phi_coefs, const carray<int64_t>& coffsets,
                                const carray<double>& phi_knots, const carray<cplx>& mode_coefs,
                                const carray<int32_t>& m, double phase_sign,
                                const carray<double>& t) {
  require(t_knots.ndim() == 1 && phi_knots.ndim() == 1, "t_knots and phi_knots must be (T,)");
  require(t_knots.shape(0) == phi_knots.shape(0), "t_knots and phi_knots must share T");
  const py::ssize_t T = t_knots.shape(0);
  require(offsets.ndim() == 1 && coffsets.ndim() == 1 && offsets.shape(0) == coffsets.shape(0) &&
              offsets.shape(0) >= 2,
          "offsets/coffsets must be (B+1,)");
  const py::ssize_t B = offsets.shape(0) - 1;
  require(phi_coefs.ndim() == 2 && phi_coefs.shape(0) == 4, "phi_coefs must be (4, C)");
  const py::ssize_t C = phi_coefs.shape(1);
  require(mode_coefs.ndim() == 3 && mode_coefs.shape(1) == 4 && mode_coefs.shape(2) == C,
          "mode_coefs must be (K, 4, C)");
  const py::ssize_t K = mode_coefs.shape(0);
  require(m.ndim() == 1 && m.shape(0) == K, "m must be (K,)");
  require(t.ndim() == 2 && t.shape(0) == B, "t must be (B, J)");
  const py::ssize_t J = t.shape(1);

  // The offsets index the flat arrays: both vectors must run from 0 to the
  // flat lengths without decreasing before any difference is formed.
  const int64_t* off_p = offsets.data();
  const int64_t* coff_p = coffsets.data();
  // Read bytewise: the caller's offset vectors may be misaligned (they are staged below).
  const auto off = [off_p](py::ssize_t i) { return load_unaligned(off_p, i); };
  const auto coff = [coff_p](py::ssize_t i) { return load_unaligned(coff_p, i); };
  const char* kPrefix = "offsets/coffsets are not a prefix sum of the flat pack lengths";
  require(off(0) == 0 && coff(0) == 0 && off(B) == static_cast<int64_t>(T) &&
              coff(B) == static_cast<int64_t>(C),
          kPrefix);
  for (py::ssize_t b = 0; b < B; ++b) require(off(b) <= off(b + 1) && coff(b) <= coff(b + 1), kPrefix);
  for (py::ssize_t b = 0; b < B; ++b) {
    const int64_t nb = off(b + 1) - off(b);
    require(nb >= 2 && coff(b + 1) - coff(b) == nb - 1,
            "every row needs n_b >= 2 knots and exactly n_b - 1 coefficient columns (declined "
            "rows must be dropped before the launch)");
  }
  const ModeSummary modes = summarize_modes(m.data(), K);
  staged_count(B, K, J);  // the result must fit 32-bit indexing before it is allocated
  require_kokkos();

  WorkspacePool& pool = thread_workspace();
  auto v_tk = stage_in(pool, "hybb_t_knots", t_knots.data(), T);
  auto v_pk = stage_in(pool, "hybb_phi_knots", phi_knots.data(), T);
  auto v_pc = stage_in(pool, "hybb_phi_c", phi_coefs.data(), 4, C);
  auto v_mc = stage_in(pool, "hybb_mode_c", mode_coefs.data(), K, 4, C);
  auto v_m = stage_in(pool, "hybb_m", m.data(), K);
  auto v_off = stage_in(pool, "hybb_off", off_p, B + 1);
  auto v_coff = stage_in(pool, "hybb_coff", coff_p, B + 1);
  auto v_t = stage_in(pool, "hybb_t", t.data(), B, J);

  auto result = new_array<cplx>({B, K, J});
  auto o_out = stage_out(pool, "hybb_out", mutable_ptr(result), B, K, J);

  hybrid::BatchKernel f;
  f.t_knots = v_tk;
  f.phi_knots = v_pk;
  f.phi_c = v_pc;
  f.mode_c = v_mc;
  f.m = v_m;
  f.off = v_off;
  f.coff = v_coff;
  f.t = v_t;
  f.out = o_out.target;
  f.s = phase_sign;
  f.C = static_cast<int32_t>(C);
  f.K = static_cast<int32_t>(K);
  f.M = modes.max_abs;
  f.any_negative = modes.any_negative;
  f.J = static_cast<int32_t>(J);
  f.chunks = sample_chunk_count(f.J, static_cast<int32_t>(B), compat::default_concurrency());
  f.isa = detected_isa();
  Kokkos::parallel_for(
      "hybrid_synthesis_batch",
      Kokkos::RangePolicy<Exec, Kokkos::IndexType<int64_t>>(0, static_cast<int64_t>(B) * f.chunks),
      f);
  Exec().fence();
  o_out.copy_back();
  return result;
}

// ----------------------------------------------------------------- assemble_imr
template <class T>
py::tuple assemble_imr(const carray<std::complex<T>>& h_insp, const carray<int32_t>& idx,
                       const carray<std::complex<T>>& h_mr, const carray<int32_t>& jdx,
                       long long i0, const carray<T>& t_geo, const carray<T>& tau0,
                       const carray<T>& t_start, const carray<T>& tau_end, double mr_hi, double b0,
                       double blend1, const carray<std::complex<T>>& wp,
                       const carray<std::complex<T>>& wm) {
  const py::ssize_t B = extent(h_insp, 0);
  const py::ssize_t Ki = extent(h_insp, 1);
  const py::ssize_t N = extent(h_insp, 2);
  const py::ssize_t K = extent(idx, 0);
  const py::ssize_t Km = extent(h_mr, 1);
  const py::ssize_t Nt = extent(h_mr, 2);
  if (static_cast<__int128>(N) - i0 != static_cast<__int128>(Nt))
    value_error("h_mr tail length must be N - i0");
  // The tail check bounds i0 <= N; a negative i0 puts every sample in the blend
  // branch, which reads column n - i0 < N_t of h_mr.  With N_t < 2^31 (checked
  // below with the other extents) i0 = N - N_t and n - i0 fit 32 bits.
  // The kernel reads the arrays without further checks: refuse what would read
  // outside them.
  require(h_insp.ndim() == 3, "h_insp must be (B, K_i, N)");
  require(idx.ndim() == 1, "idx must be (K,)");
  require(h_mr.ndim() == 3, "h_mr must be (B, K_m, N - i0)");
  for (py::ssize_t k = 0; k < K; ++k)
    require(load_unaligned(idx.data(), k) >= 0 && load_unaligned(idx.data(), k) < Ki,
            "idx entries must lie in [0, K_i)");
  require(jdx.ndim() == 1 && jdx.shape(0) == K, "jdx must be (K,)");
  for (py::ssize_t k = 0; k < K; ++k)
    require(load_unaligned(jdx.data(), k) >= 0 && load_unaligned(jdx.data(), k) < Km,
            "jdx entries must lie in [0, K_m)");
  require(h_mr.shape(0) >= B, "h_mr must have at least B rows");
  require(t_geo.ndim() == 2 && t_geo.shape(0) == B && t_geo.shape(1) == N,
          "t_geo must be (B, N)");
  require(tau0.ndim() == 1 && tau0.shape(0) == B, "tau0 must be (B,)");
  require(t_start.ndim() == 1 && t_start.shape(0) == B, "t_start must be (B,)");
  require(tau_end.ndim() == 1 && tau_end.shape(0) == B, "tau_end must be (B,)");
  require(wp.ndim() == 2 && wp.shape(0) == B && wp.shape(1) == K, "wp must be (B, K)");
  require(wm.ndim() == 2 && wm.shape(0) == B && wm.shape(1) == K, "wm must be (B, K)");
  staged_count(B, N);
  staged_count(h_mr.shape(0), Km, Nt);
  require_kokkos();

  WorkspacePool& pool = thread_workspace();
  auto v_hi = stage_in(pool, "asm_h_insp", h_insp.data(), B, Ki, N);
  auto v_hm = stage_in(pool, "asm_h_mr", h_mr.data(), h_mr.shape(0), Km, Nt);
  auto v_t = stage_in(pool, "asm_t", t_geo.data(), B, N);
  auto v_tau0 = stage_in(pool, "asm_tau0", tau0.data(), B);
  auto v_ts = stage_in(pool, "asm_tstart", t_start.data(), B);
  auto v_te = stage_in(pool, "asm_tauend", tau_end.data(), B);
  auto v_idx = stage_in(pool, "asm_idx", idx.data(), K);
  auto v_jdx = stage_in(pool, "asm_jdx", jdx.data(), K);
  auto v_wp = stage_in(pool, "asm_wp", wp.data(), B, K);
  auto v_wm = stage_in(pool, "asm_wm", wm.data(), B, K);

  auto hp = new_array<T>({B, N});
  auto hc = new_array<T>({B, N});
  auto o_hp = stage_out(pool, "asm_hp", mutable_ptr(hp), B, N);
  auto o_hc = stage_out(pool, "asm_hc", mutable_ptr(hc), B, N);

  const int32_t L = sample_chunk_count(static_cast<int32_t>(N), static_cast<int32_t>(B),
                                       compat::default_concurrency());
  const int32_t len = static_cast<int32_t>((static_cast<int64_t>(N) + L - 1) / L);
  const int32_t items = flat_size_i32("assemble_imr work items", B, L);

  assemble::Kernel<T> f;
  f.h_insp = v_hi;
  f.h_mr = v_hm;
  f.t_geo = v_t;
  f.tau0 = v_tau0;
  f.t_start = v_ts;
  f.tau_end = v_te;
  f.idx = v_idx;
  f.jdx = v_jdx;
  f.wp = v_wp;
  f.wm = v_wm;
  f.hp = o_hp.target;
  f.hc = o_hc.target;
  f.mr_hi = static_cast<T>(mr_hi);
  f.b0 = static_cast<T>(b0);
  f.blend1 = static_cast<T>(blend1);
  f.N = static_cast<int32_t>(N);
  f.K = static_cast<int32_t>(K);
  f.i0 = static_cast<int32_t>(i0);
  f.L = L;
  f.len = len;
  f.isa = detected_isa();
  Kokkos::parallel_for("assemble_imr", Kokkos::RangePolicy<Exec>(0, items), f);
  Exec().fence();
  o_hp.copy_back();
  o_hc.copy_back();
  return py::make_tuple(hp, hc);
}

// ------------------------------------------------------------------ swsh_weights
template <class Space>
py::array swsh_weights(const carray<int32_t>& ells, const carray<int32_t>& emms,
                       const carray<double>& inclination, const carray<double>& azimuth) {
  require(ells.ndim() == 1 && emms.ndim() == 1 && ells.shape(0) == emms.shape(0),
          "ells and emms must be (K,) of equal length");
  require(inclination.ndim() == 1 && azimuth.ndim() == 1 &&
              inclination.shape(0) == azimuth.shape(0),
          "inclination and azimuth must be (B,) of equal length; broadcast a shared angle on "
          "the caller's side");
  const py::ssize_t K = ells.shape(0);
  const py::ssize_t B = inclination.shape(0);
  const int32_t Ki = fit_i32(K, "K");
  SwshTermTable table = build_swsh_term_table(ells.data(), emms.data(), Ki);
  flat_size_i32("B*K", B, K);
  const int32_t rows = static_cast<int32_t>(B);
  require_kokkos();

  WorkspacePool& pool = thread_workspace();
  const auto nt = static_cast<int64_t>(table.coef.size());
  auto v_coef = stage_in(pool, "swsh.coef", table.coef.data(), nt);
  auto v_cp = stage_in(pool, "swsh.cos_power", table.cos_power.data(), nt);
  auto v_sp = stage_in(pool, "swsh.sin_power", table.sin_power.data(), nt);
  auto v_off = stage_in(pool, "swsh.offset", table.offset.data(), K + 1);
  auto v_emm = stage_in(pool, "swsh.emm", table.emm.data(), K);
  auto v_inc = stage_in(pool, "swsh.inclination", inclination.data(), B);
  auto v_az = stage_in(pool, "swsh.azimuth", azimuth.data(), B);
  auto out = new_array<cplx>({B, K});
  auto o_out = stage_out(pool, "swsh.out", mutable_ptr(out), B, K);

  SwshWeightsKernel f{v_coef, v_cp, v_sp, v_off, v_emm, v_inc, v_az, o_out.target, Ki,
                      swsh_uses(table)};
  Kokkos::parallel_for("swsh_weights", Kokkos::RangePolicy<Space>(0, rows), f);
  Space().fence();
  o_out.copy_back();
  return out;
}

template <class T>
void def_assemble(py::module_& mod, const char* name, const char* doc) {
  auto fn = &assemble_imr<T>;
  if (doc)
    mod.def(name, fn, py::arg("h_insp"), py::arg("idx"), py::arg("h_mr"), py::arg("jdx"),
            py::arg("i0"), py::arg("t_geo"), py::arg("tau0"), py::arg("t_start"),
            py::arg("tau_end"), py::arg("mr_hi"), py::arg("b0"), py::arg("blend1"), py::arg("wp"),
            py::arg("wm"), doc);
  else
    mod.def(name, fn, py::arg("h_insp"), py::arg("idx"), py::arg("h_mr"), py::arg("jdx"),
            py::arg("i0"), py::arg("t_geo"), py::arg("tau0"), py::arg("t_start"),
            py::arg("tau_end"), py::arg("mr_hi"), py::arg("b0"), py::arg("blend1"), py::arg("wp"),
            py::arg("wm"));
}

void def_hybrid(py::module_& mod, const char* name, const char* doc) {
  mod.def(name, &evaluate_hybrid, py::arg("t_knots"), py::arg("phi_coefs"), py::arg("phi_knots"),
          py::arg("mode_coefs"), py::arg("m"), py::arg("phase_sign"), py::arg("t"),
          py::arg("weights") = py::none(), py::arg("n_out") = 0, doc);
}

}  // namespace

void def_evaluate_hybrid(py::module_& m) { def_hybrid(m, "evaluate_hybrid", kEvaluateHybridDoc); }
void def_evaluate_hybrid_host(py::module_& m) {
  def_hybrid(m, "evaluate_hybrid_host", kEvaluateHybridHostDoc);
}
void def_evaluate_hybrid_batch(py::module_& m) {
  m.def("evaluate_hybrid_batch", &evaluate_hybrid_batch, py::arg("t_knots"), py::arg("offsets"),
        py::arg("phi_coefs"), py::arg("coffsets"), py::arg("phi_knots"), py::arg("mode_coefs"),
        py::arg("m"), py::arg("phase_sign"), py::arg("t"), kEvaluateHybridBatchDoc);
}
void def_assemble_imr64(py::module_& m) {
  def_assemble<double>(m, "assemble_imr64", kAssembleImr64Doc);
}
void def_assemble_imr64_host(py::module_& m) {
  def_assemble<double>(m, "assemble_imr64_host", kAssembleImr64HostDoc);
}
void def_assemble_imr32(py::module_& m) { def_assemble<float>(m, "assemble_imr32", nullptr); }
void def_assemble_imr32_host(py::module_& m) {
  def_assemble<float>(m, "assemble_imr32_host", nullptr);
}

template <class Space>
void register_swsh_weights(py::module_& m, const char* name) {
  m.def(name, &swsh_weights<Space>, py::arg("ells"), py::arg("emms"), py::arg("inclination"),
        py::arg("azimuth"), kSwshDoc);
}
template void register_swsh_weights<Kokkos::DefaultExecutionSpace>(py::module_&, const char*);
template void register_swsh_weights<Kokkos::Serial>(py::module_&, const char*);

}  // namespace radiredide
