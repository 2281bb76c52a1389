// Extension-pack builders (single row and batch, ragged result) and the
// sizing-rule probe.
#include <Kokkos_Core.hpp>

#include "common/variants.hpp"

#if RR_X86
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "common/errors.hpp"
#include "common/pyarray.hpp"
#include "pack/pack.hpp"
#include "pack/pack_row.hpp"

namespace radiredide {
namespace {

// The caller's buffer when it is aligned to `align`, else a per-call copy.
template <class T>
const T* aligned_or_copy(const void* p, size_t count, std::vector<T>& hold) {
  if ((reinterpret_cast<uintptr_t>(p) % alignof(T)) == 0) return static_cast<const T*>(p);
  hold.resize(count);
  if (count != 0) std::memcpy(hold.data(), p, count * sizeof(T));
  return hold.data();
}

// Complex arrays are read as float64 (re, im) pairs.
const double* cplx_pairs(const carray<cplx>& a, std::vector<double>& hold) {
  return aligned_or_copy<double>(a.data(), 2 * static_cast<size_t>(a.size()), hold);
}
const double* doubles(const carray<double>& a, std::vector<double>& hold) {
  return aligned_or_copy<double>(a.data(), static_cast<size_t>(a.size()), hold);
}
const int32_t* ints(const carray<int32_t>& a, std::vector<int32_t>& hold) {
  return aligned_or_copy<int32_t>(a.data(), static_cast<size_t>(a.size()), hold);
}

int32_t ext32(const py::array& a, py::ssize_t axis) {
  return fit_i32(static_cast<long long>(a.shape(axis)), "array extent");
}

// l, m and weight_index: IndexError for a 0-d array, ValueError for a length
// other than K.
void check_mode_list(const py::array& a, int32_t K) {
  if (a.ndim() == 0) invalid_axis(0, 0);
  if (a.shape(0) != K) value_error("ell/emm/widx must be (K,)");
  // Trailing axes of extent 0 would leave fewer entries than the K that are read.
  if (a.size() < K) value_error("ell/emm/widx must be (K,)");
}

// What the row builder assumes of its inputs, refused before any row is built.
void check_row_inputs(const double* breaks, int32_t E, int32_t O, const int32_t* widx,
                      int32_t K, int32_t n_x) {
  if (E < 1) value_error("breaks must hold at least 2 knots (E >= 1)");
  if (O < 1) value_error("coefs must hold at least one coefficient per element (O >= 1)");
  for (int32_t e = 0; e < E; ++e)
    if (!(breaks[e + 1] > breaks[e])) value_error("breaks must be strictly increasing");
  for (int32_t k = 0; k < K; ++k)
    if (widx[k] < 0 || widx[k] > 7) value_error("widx entries must lie in 0..7");
  if (n_x < 1) value_error("n_x must be >= 1");
}

// "%f" of any double, without truncation.
std::string fixed6(double v) {
  const int n = std::snprintf(nullptr, 0, "%f", v);
  std::string s(static_cast<size_t>(n > 0 ? n : 0) + 1, '\0');
  std::snprintf(s.data(), s.size(), "%f", v);
  s.resize(static_cast<size_t>(n > 0 ? n : 0));
  return s;
}

[[noreturn]] void raise_status(int32_t status, const std::string& msg) {
  if (status == kPackBadFlow) throw std::invalid_argument(msg);
  if (status == kPackNoMemory) {
    PyErr_SetString(PyExc_MemoryError, msg.c_str());
    throw py::error_already_set();
  }
  throw std::runtime_error(msg);
}

// a * b * c elements of `elem` bytes, or MemoryError.
py::ssize_t alloc_count(int64_t a, int64_t b, int64_t c, size_t elem) {
  int64_t n, nn;
  if (__builtin_mul_overflow(a, b, &n) || __builtin_mul_overflow(n, c, &nn) || nn < 0 ||
      static_cast<uint64_t>(nn) > static_cast<uint64_t>(PTRDIFF_MAX) / elem)
    throw std::bad_alloc();
  return static_cast<py::ssize_t>(nn);
}

template <class T, class A>
py::array_t<T> array_from(const std::vector<T, A>& v, std::vector<py::ssize_t> shape) {
  py::array_t<T> a = new_array<T>(std::move(shape));
  if (!v.empty()) std::memcpy(mutable_ptr(a), v.data(), v.size() * sizeof(T));
  return a;
}

// A complex128 array from interleaved (re, im) doubles.
py::array_t<cplx> complex_array_from(const PackComplexVector& v, std::vector<py::ssize_t> shape) {
  py::array_t<cplx> a = new_array<cplx>(std::move(shape));
  if (!v.empty()) std::memcpy(static_cast<void*>(mutable_ptr(a)), v.data(), v.size() * sizeof(double));
  return a;
}

struct PackOptions {
  bool seam_anchor_omega, ratio_powerlaw;
  double roll_orbits, anchor_orbits;
  int32_t n_per_orbit, n_x;
  bool n_x_rule;
  double n_x_err_target;

  // The report's name of the anchor condition.
  const char* anchor() const { return seam_anchor_omega ? "omega-seam" : "J-action"; }
};

void apply_options(PackRowRequest& r, const PackOptions& o) {
  r.seam_anchor_omega = o.seam_anchor_omega;
  r.ratio_powerlaw = o.ratio_powerlaw;
  r.roll_orbits = o.roll_orbits;
  r.anchor_orbits = o.anchor_orbits;
  r.n_per_orbit = o.n_per_orbit;
  r.n_x = o.n_x;
  r.n_x_rule = o.n_x_rule;
  r.n_x_err_target = o.n_x_err_target;
}

// The extents of a call: B rows (1 for the single-row builder) of E elements
// of O coefficients, K modes.
struct PackShape {
  int32_t B, E, O, K;
};

// The elements of breaks, which must be 1-d.
int32_t break_elements(const carray<double>& breaks) {
  if (breaks.ndim() != 1) value_error("breaks must be 1d");
  return ext32(breaks, 0) - 1;
}

void check_mode_lists(const carray<int32_t>& l, const carray<int32_t>& m,
                      const carray<int32_t>& weight_index, int32_t K) {
  check_mode_list(l, K);
  check_mode_list(m, K);
  check_mode_list(weight_index, K);
}

// The row request over the caller's buffers, which are read in place where
// they are aligned and else through the copies held here.  check() reads the
// breaks and weight indices and refuses what the row builder does not
// accept; stage() then reads the coefficient tensors and the mode lists.
struct StagedRequest {
  std::vector<double> hb, ht, hj, hm;
  std::vector<int32_t> hl, hmm, hw;
  PackRowRequest req;

  void check(const carray<double>& breaks, const carray<int32_t>& weight_index,
             const PackShape& s, int32_t n_x) {
    req.breaks = doubles(breaks, hb);
    req.weight_index = ints(weight_index, hw);
    check_row_inputs(req.breaks, s.E, s.O, req.weight_index, s.K, n_x);
  }

  void stage(const carray<cplx>& tau_coefs, const carray<cplx>& J_coefs,
             const carray<cplx>& mode_coefs, const carray<int32_t>& l, const carray<int32_t>& m,
             const PackShape& s, const PackOptions& opt) {
    req.tau_coefs = cplx_pairs(tau_coefs, ht);
    req.J_coefs = cplx_pairs(J_coefs, hj);
    req.mode_coefs = cplx_pairs(mode_coefs, hm);
    req.l = ints(l, hl);
    req.m = ints(m, hmm);
    req.E = s.E;
    req.O = s.O;
    req.K = s.K;
    apply_options(req, opt);
  }
};

// ------------------------------------------------------------ single row

PackShape row_shape(const carray<double>& breaks, const carray<cplx>& tau_coefs,
                    const carray<cplx>& J_coefs, const carray<cplx>& mode_coefs,
                    const carray<int32_t>& l, const carray<int32_t>& m,
                    const carray<int32_t>& weight_index) {
  const int32_t E = break_elements(breaks);
  if (tau_coefs.ndim() != 2 || ext32(tau_coefs, 0) != E) value_error("tau coefs must be (E, O)");
  const int32_t O = ext32(tau_coefs, 1);
  if (J_coefs.ndim() != 2 || ext32(J_coefs, 0) != E || ext32(J_coefs, 1) != O)
    value_error("J coefs must be (E, O)");
  if (mode_coefs.ndim() != 3 || ext32(mode_coefs, 1) != E || ext32(mode_coefs, 2) != O)
    value_error("mode coefs must be (K, E, O)");
  const int32_t K = ext32(mode_coefs, 0);
  check_mode_lists(l, m, weight_index, K);
  return PackShape{1, E, O, K};
}

// The pack's report: the row's phases, anchor and edge figures, and per mode
// (named by l and m) its edge step and R_edge when the edge lies inside the
// pack.
py::dict row_report(const ExtensionPackRow& row, const PackRowRequest& req,
                    const PackOptions& opt) {
  py::dict rep;
  rep["Phi_start"] = row.Phi_start;
  rep["Phi_edge"] = row.Phi_edge;
  rep["Phi_anchor"] = row.Phi_anchor;
  rep["anchor"] = opt.anchor();
  rep["x_anchor"] = row.x_anchor;
  rep["J_anchor"] = row.J_anchor;
  rep["orbits_added"] = row.orbits_added;
  rep["t_added"] = row.t_added;
  rep["f22_start"] = row.f22_start;
  rep["f22_edge"] = row.f22_edge;
  rep["dt_edge"] = row.dt_edge;
  rep["roll_orbits"] = opt.roll_orbits;
  rep["n_x"] = static_cast<long long>(row.n_x);
  py::dict modes;
  if (0 < row.i_edge && row.i_edge < row.C) {
    for (int32_t k = 0; k < req.K; ++k) {
      py::dict e;
      e["edge_step_rel"] = row.edge_step_rel[k];
      e["R_edge"] = py::make_tuple(row.R_edge[k].real(), row.R_edge[k].imag());
      modes[py::str(std::to_string(req.l[k]) + std::to_string(req.m[k]))] = e;
    }
  }
  rep["modes"] = modes;
  return rep;
}

py::object build_extension_pack(const carray<double>& breaks, const carray<cplx>& tau_coefs,
                                const carray<cplx>& J_coefs, const carray<cplx>& mode_coefs,
                                const carray<int32_t>& l, const carray<int32_t>& m,
                                const carray<int32_t>& weight_index, double q, double chi1z,
                                double chi2z, double f_low, const PackOptions& opt) {
  const PackShape s = row_shape(breaks, tau_coefs, J_coefs, mode_coefs, l, m, weight_index);
  StagedRequest sr;
  sr.check(breaks, weight_index, s, opt.n_x);
  if (!std::isfinite(f_low)) value_error("f_low must be finite");
  require_kokkos();

  sr.stage(tau_coefs, J_coefs, mode_coefs, l, m, s, opt);
  PackRowRequest& req = sr.req;
  req.q = q;
  req.chi1z = chi1z;
  req.chi2z = chi2z;
  req.f_low = f_low;

  ExtensionPackRow row;
  const int32_t status = pack_one_row(req, row, /*use_kernels=*/true);
  if (status == kPackDeclined) return py::none();
  if (status != kPackBuilt) raise_status(status, pack_failure_message(status));

  const int32_t C = row.C;
  py::dict out;
  out["t_knots"] = array_from(row.t_knots, {C});
  out["phi_knots"] = array_from(row.phi_knots, {C});
  out["phi_c"] = array_from(row.phi_c, {4, C - 1});
  out["mode_c"] = complex_array_from(row.mode_c, {s.K, 4, C - 1});
  out["report"] = row_report(row, req, opt);
  return out;
}

// ------------------------------------------------------------ batch

// The rows 0 .. B-1 in the order the items of a launch over B items take
// them.  The launch gives each of its P threads a contiguous block of
// ceil(B / P) items (the last one shorter) and lets threads that run dry take
// items from the ends of the other blocks.  Ranked by key, largest first, the
// rows are dealt to the blocks back and forth (1, 2, .., P, P, .., 2, 1, 1,
// ..), so that every block starts with a large row, the blocks' totals are
// close and the items left to be taken from their ends are small.  The order
// depends on the keys and P alone: a row is built by the same thread in every
// call with the same inputs.
std::vector<int32_t> dealt_order(int32_t B, const auto& key) {
  std::vector<int32_t> ranked(static_cast<size_t>(B));
  for (int32_t b = 0; b < B; ++b) ranked[b] = b;
  std::stable_sort(ranked.begin(), ranked.end(),
                   [&](int32_t a, int32_t b) { return key(a) > key(b); });
  const int64_t P = std::max<int64_t>(1, Kokkos::DefaultExecutionSpace().concurrency());
  const int64_t L = (B + P - 1) / P;
  std::vector<int64_t> filled(static_cast<size_t>(P), 0);
  std::vector<int32_t> order(static_cast<size_t>(B));
  for (int64_t j = 0; j < B; ++j) {
    const int64_t pos = j % P;
    int64_t t = ((j / P) % 2 == 0) ? pos : P - 1 - pos;
    // A full block passes the row on to the next one with room.
    while (filled[t] == std::min<int64_t>(L, std::max<int64_t>(0, B - t * L))) t = (t + 1) % P;
    order[t * L + filled[t]++] = ranked[j];
  }
  return order;
}

// "pack_batch_rows", row b: one whole row, built sequentially on the worker
// thread that takes it.  Nothing is thrown out of the item: an allocation
// failure or any other exception becomes the row's status.
struct PackBatchRowsItem {
  const int32_t* order;
  PackRowRequest shared;
  const double* thetas;
  const double* f_low;
  ExtensionPackRow* rows;
  int32_t* status;

  void operator()(int32_t i) const {
    const int32_t b = order[i];
    PackRowRequest r = shared;
    const int64_t eo = static_cast<int64_t>(shared.E) * shared.O;
    r.tau_coefs = shared.tau_coefs + 2 * b * eo;
    r.J_coefs = shared.J_coefs + 2 * b * eo;
    r.mode_coefs = shared.mode_coefs + 2 * b * static_cast<int64_t>(shared.K) * eo;
    r.q = thetas[3 * static_cast<int64_t>(b)];
    r.chi1z = thetas[3 * static_cast<int64_t>(b) + 1];
    r.chi2z = thetas[3 * static_cast<int64_t>(b) + 2];
    r.f_low = f_low[b];
    try {
      status[b] = pack_one_row(r, rows[b], /*use_kernels=*/false);
    } catch (const std::bad_alloc&) {
      status[b] = kPackNoMemory;
    } catch (...) {
      status[b] = kPackInternal;
    }
  }
};

// n doubles from src to dst with streaming stores: the flat arrays are far
// larger than the caches and are not read again here, so their lines are
// written without first being fetched.  A bitwise copy.
void stream_copy(double* dst, const double* src, size_t n) {
#if RR_X86
  if (n != 0 && (reinterpret_cast<uintptr_t>(dst) & 15) != 0) {
    *dst++ = *src++;
    --n;
  }
  size_t i = 0;
  for (; i + 2 <= n; i += 2) _mm_stream_pd(dst + i, _mm_loadu_pd(src + i));
  if (i < n) dst[i] = src[i];
#else
  if (n != 0) std::memcpy(dst, src, n * sizeof(double));
#endif
}

// Orders the streaming stores before what follows.
void stream_fence() {
#if RR_X86
  _mm_sfence();
#endif
}

// "pack_batch_compact", row b: copy the row's knots and phase spline into
// their slices of the flat arrays and fit its mode splines straight into
// theirs, then release the row's vectors.  An allocation failure of the fit
// becomes the row's status.
struct PackBatchCompactItem {
  const int32_t* order;
  ExtensionPackRow* rows;
  const int64_t* offsets;
  const int64_t* coffsets;
  double* t_knots;
  double* phi_knots;
  double* phi_c;   // (4, Ct)
  double* mode_c;  // (K, 4, Ct) interleaved
  int32_t* status;
  int64_t Ct;
  int32_t K;

  void operator()(int32_t i) const {
    const int32_t b = order[i];
    ExtensionPackRow& row = rows[b];
    const int32_t n = row.C;
    if (n <= 0) return;
    const int64_t o = offsets[b], co = coffsets[b], nc = n - 1;
    stream_copy(t_knots + o, row.t_knots.data(), static_cast<size_t>(n));
    stream_copy(phi_knots + o, row.phi_knots.data(), static_cast<size_t>(n));
    for (int64_t r = 0; r < 4; ++r)
      stream_copy(phi_c + r * Ct + co, row.phi_c.data() + r * nc, static_cast<size_t>(nc));
    for (int64_t k = 0; k < K; ++k)
      for (int64_t r = 0; r < 4; ++r)
        stream_copy(mode_c + 2 * ((k * 4 + r) * Ct + co), row.mode_c.data() + 2 * (k * 4 + r) * nc,
                    static_cast<size_t>(nc) * 2);
    stream_fence();  // the streamed lines are visible before the launch ends
    PackDoubles().swap(row.t_knots);
    std::vector<double>().swap(row.phi_knots);
    PackDoubles().swap(row.phi_c);
    PackComplexVector().swap(row.mode_c);
  }
};

PackShape batch_shape(const carray<double>& breaks, const carray<cplx>& tau_coefs,
                      const carray<cplx>& J_coefs, const carray<cplx>& mode_coefs,
                      const carray<int32_t>& l, const carray<int32_t>& m,
                      const carray<int32_t>& weight_index, const carray<double>& thetas,
                      const carray<double>& f_low) {
  const int32_t E = break_elements(breaks);
  if (tau_coefs.ndim() != 3 || ext32(tau_coefs, 1) != E)
    value_error("tau coefs must be (B, E, O)");
  const int32_t B = ext32(tau_coefs, 0);
  const int32_t O = ext32(tau_coefs, 2);
  if (J_coefs.ndim() != 3 || ext32(J_coefs, 0) != B || ext32(J_coefs, 1) != E ||
      ext32(J_coefs, 2) != O)
    value_error("J coefs must be (B, E, O)");
  if (mode_coefs.ndim() != 4 || ext32(mode_coefs, 0) != B || ext32(mode_coefs, 2) != E ||
      ext32(mode_coefs, 3) != O)
    value_error("mode coefs must be (B, K, E, O)");
  const int32_t K = ext32(mode_coefs, 1);
  check_mode_lists(l, m, weight_index, K);
  if (thetas.ndim() != 2 || thetas.shape(0) != B || thetas.shape(1) != 3)
    value_error("thetas must be (B, 3)");
  if (f_low.ndim() != 1 || f_low.shape(0) != B) value_error("f_low must be (B,)");
  if (B < 1) value_error("empty batch");
  return PackShape{B, E, O, K};
}

// The rows of the batch and their statuses.
struct BatchRows {
  std::vector<ExtensionPackRow> rows;
  std::vector<int32_t> status;
};

// "pack_batch_rows": every row built on the worker thread that takes it, the
// rows dealt out by f_low.
BatchRows build_rows(const PackRowRequest& req, const double* th, const double* fl, int32_t B) {
  BatchRows br{std::vector<ExtensionPackRow>(static_cast<size_t>(B)),
               std::vector<int32_t>(static_cast<size_t>(B), 0)};
  // Rows differ in cost by more than 2x: a lower f_low means a longer
  // extension and more knots.
  const std::vector<int32_t> build_order = dealt_order(B, [&](int32_t b) { return -fl[b]; });
  Kokkos::parallel_for(
      "pack_batch_rows",
      Kokkos::RangePolicy<Kokkos::DefaultExecutionSpace, Kokkos::Schedule<Kokkos::Dynamic>>(0, B),
      PackBatchRowsItem{build_order.data(), req, th, fl, br.rows.data(), br.status.data()});
  Kokkos::DefaultExecutionSpace().fence();
  return br;
}

// The lowest failing row raises, its message naming the row.
void raise_first_failure(const std::vector<int32_t>& status, const double* th, int32_t B) {
  for (int32_t b = 0; b < B; ++b) {
    if (status[b] > kPackDeclined) {
      const double* t = th + 3 * static_cast<int64_t>(b);
      raise_status(status[b], std::string(pack_failure_message(status[b])) + " (batch row " +
                                  std::to_string(b) + ", (q, chi1z, chi2z) = (" + fixed6(t[0]) +
                                  ", " + fixed6(t[1]) + ", " + fixed6(t[2]) + "))");
    }
  }
}

// Where each row's knots (offsets) and coefficient columns (coffsets) start
// in the flat arrays, and their totals T and Ct.
struct RaggedLayout {
  std::vector<int64_t> offsets, coffsets;
  int64_t T, Ct;
};

RaggedLayout ragged_layout(const std::vector<ExtensionPackRow>& rows, int32_t B) {
  std::vector<int64_t> offsets(static_cast<size_t>(B) + 1, 0), coffsets(offsets);
  for (int32_t b = 0; b < B; ++b) {
    const int64_t n = rows[b].C;
    offsets[b + 1] = offsets[b] + n;
    coffsets[b + 1] = coffsets[b] + (n >= 1 ? n - 1 : 0);
  }
  const int64_t T = offsets[B], Ct = coffsets[B];
  return RaggedLayout{std::move(offsets), std::move(coffsets), T, Ct};
}

// The result's arrays: the offsets, the flat knots and spline tables (filled
// by compact_rows) and the engaged flags.
struct BatchArrays {
  py::array_t<int64_t> off, coff;
  py::array_t<double> t, p, pc;
  py::array_t<cplx> mc;
  py::array_t<bool> eng;
};

BatchArrays batch_arrays(const RaggedLayout& lay, const std::vector<ExtensionPackRow>& rows,
                         int32_t B, int32_t K) {
  py::array_t<int64_t> a_off = array_from(lay.offsets, {B + 1});
  py::array_t<int64_t> a_coff = array_from(lay.coffsets, {B + 1});
  py::array_t<double> a_t = new_array<double>({alloc_count(lay.T, 1, 1, sizeof(double))});
  py::array_t<double> a_p = new_array<double>({alloc_count(lay.T, 1, 1, sizeof(double))});
  alloc_count(4, lay.Ct, 1, sizeof(double));
  py::array_t<double> a_pc = new_array<double>({4, static_cast<py::ssize_t>(lay.Ct)});
  alloc_count(K, 4, lay.Ct, sizeof(cplx));
  py::array_t<cplx> a_mc = new_array<cplx>({K, 4, static_cast<py::ssize_t>(lay.Ct)});
  py::array_t<bool> a_eng = new_array<bool>({B});
  bool* eng = mutable_ptr(a_eng);
  for (int32_t b = 0; b < B; ++b) eng[b] = rows[b].C > 0;
  return BatchArrays{std::move(a_off), std::move(a_coff), std::move(a_t),  std::move(a_p),
                     std::move(a_pc),  std::move(a_mc),   std::move(a_eng)};
}

// "pack_batch_compact": every row's slices of the flat arrays written, and
// its vectors released, by the thread that takes it.
void compact_rows(BatchRows& br, const RaggedLayout& lay, BatchArrays& a, int32_t B, int32_t K) {
  // Row sizes differ by more than 2x.  Each row's slices are first touched
  // by the thread that writes them.
  const std::vector<ExtensionPackRow>& rows = br.rows;
  const std::vector<int32_t> copy_order = dealt_order(B, [&](int32_t b) { return rows[b].C; });
  Kokkos::parallel_for(
      "pack_batch_compact",
      Kokkos::RangePolicy<Kokkos::DefaultExecutionSpace, Kokkos::Schedule<Kokkos::Dynamic>>(0, B),
      PackBatchCompactItem{copy_order.data(), br.rows.data(), lay.offsets.data(),
                           lay.coffsets.data(), mutable_ptr(a.t), mutable_ptr(a.p),
                           mutable_ptr(a.pc), reinterpret_cast<double*>(mutable_ptr(a.mc)),
                           br.status.data(), lay.Ct, K});
  Kokkos::DefaultExecutionSpace().fence();
}

// One (B,) array of the report: field of every row.
void per_row(py::dict& rep, const std::vector<ExtensionPackRow>& rows, int32_t B, const char* key,
             double ExtensionPackRow::*field) {
  py::array_t<double> a = new_array<double>({B});
  double* p = mutable_ptr(a);
  for (int32_t b = 0; b < B; ++b) p[b] = rows[b].*field;
  rep[key] = a;
}

// The batch's report as arrays over its rows (zeros for the per-mode figures
// of rows that were not built).
py::dict batch_report(const std::vector<ExtensionPackRow>& rows, int32_t B, int32_t K,
                      const PackOptions& opt) {
  py::dict rep;
  per_row(rep, rows, B, "Phi_start", &ExtensionPackRow::Phi_start);
  per_row(rep, rows, B, "Phi_edge", &ExtensionPackRow::Phi_edge);
  per_row(rep, rows, B, "Phi_anchor", &ExtensionPackRow::Phi_anchor);
  per_row(rep, rows, B, "x_anchor", &ExtensionPackRow::x_anchor);
  per_row(rep, rows, B, "J_anchor", &ExtensionPackRow::J_anchor);
  per_row(rep, rows, B, "orbits_added", &ExtensionPackRow::orbits_added);
  per_row(rep, rows, B, "t_added", &ExtensionPackRow::t_added);
  per_row(rep, rows, B, "f22_start", &ExtensionPackRow::f22_start);
  per_row(rep, rows, B, "f22_edge", &ExtensionPackRow::f22_edge);
  per_row(rep, rows, B, "dt_edge", &ExtensionPackRow::dt_edge);
  per_row(rep, rows, B, "n_x", &ExtensionPackRow::n_x);
  {
    py::array_t<int64_t> ie = new_array<int64_t>({B});
    py::array_t<int64_t> nn = new_array<int64_t>({B});
    int64_t* pi = mutable_ptr(ie);
    int64_t* pn = mutable_ptr(nn);
    for (int32_t b = 0; b < B; ++b) {
      pi[b] = rows[b].i_edge;
      pn[b] = rows[b].C;
    }
    rep["i_edge"] = ie;
    rep["n"] = nn;
  }
  {
    py::array_t<double> es = new_array<double>({B, K});
    py::array_t<cplx> re = new_array<cplx>({B, K});
    double* pe = mutable_ptr(es);
    cplx* pr = mutable_ptr(re);
    for (int32_t b = 0; b < B; ++b)
      for (int32_t k = 0; k < K; ++k) {
        const bool have = rows[b].C > 0;
        const size_t at = static_cast<size_t>(b) * K + k;
        pe[at] = have ? rows[b].edge_step_rel[k] : 0.0;
        pr[at] = have ? rows[b].R_edge[k] : cplx(0.0, 0.0);
      }
    rep["edge_step_rel"] = es;
    rep["R_edge"] = re;
  }
  rep["roll_orbits"] = opt.roll_orbits;
  rep["anchor"] = opt.anchor();
  return rep;
}

py::dict build_extension_pack_batch(const carray<double>& breaks, const carray<cplx>& tau_coefs,
                                    const carray<cplx>& J_coefs, const carray<cplx>& mode_coefs,
                                    const carray<int32_t>& l, const carray<int32_t>& m,
                                    const carray<int32_t>& weight_index,
                                    const carray<double>& thetas, const carray<double>& f_low,
                                    const PackOptions& opt) {
  const PackShape s = batch_shape(breaks, tau_coefs, J_coefs, mode_coefs, l, m, weight_index,
                                  thetas, f_low);
  StagedRequest sr;
  sr.check(breaks, weight_index, s, opt.n_x);
  std::vector<double> hth, hf;
  const double* fl = doubles(f_low, hf);
  for (int32_t b = 0; b < s.B; ++b)
    if (!std::isfinite(fl[b])) value_error("f_low must be finite");
  require_kokkos();

  sr.stage(tau_coefs, J_coefs, mode_coefs, l, m, s, opt);
  const double* th = doubles(thetas, hth);

  BatchRows br = build_rows(sr.req, th, fl, s.B);
  raise_first_failure(br.status, th, s.B);
  const RaggedLayout lay = ragged_layout(br.rows, s.B);
  BatchArrays a = batch_arrays(lay, br.rows, s.B, s.K);
  compact_rows(br, lay, a, s.B, s.K);
  raise_first_failure(br.status, th, s.B);  // an allocation failure of a mode-spline fit

  py::dict rep = batch_report(br.rows, s.B, s.K, opt);
  py::dict out;
  out["offsets"] = a.off;
  out["coffsets"] = a.coff;
  out["t_knots"] = a.t;
  out["phi_knots"] = a.p;
  out["phi_c"] = a.pc;
  out["mode_c"] = a.mc;
  out["engaged"] = a.eng;
  out["report"] = rep;
  return out;
}

}  // namespace

void def_build_extension_pack(py::module_& mod) {
  mod.def(
      "build_extension_pack",
      [](const carray<double>& breaks, const carray<cplx>& tau_coefs, const carray<cplx>& J_coefs,
         const carray<cplx>& mode_coefs, const carray<int32_t>& l, const carray<int32_t>& m,
         const carray<int32_t>& weight_index, double q, double chi1z, double chi2z, double f_low,
         bool seam_anchor_omega, bool ratio_powerlaw, double roll_orbits, double anchor_orbits,
         int32_t n_per_orbit, int32_t n_x, bool n_x_rule, double n_x_err_target) -> py::object {
        return build_extension_pack(
            breaks, tau_coefs, J_coefs, mode_coefs, l, m, weight_index, q, chi1z, chi2z, f_low,
            PackOptions{seam_anchor_omega, ratio_powerlaw, roll_orbits, anchor_orbits, n_per_orbit,
                        n_x, n_x_rule, n_x_err_target});
      },
      py::arg("breaks"), py::arg("tau_coefs"), py::arg("J_coefs"), py::arg("mode_coefs"),
      py::arg("l"), py::arg("m"), py::arg("weight_index"), py::arg("q"), py::arg("chi1z"),
      py::arg("chi2z"), py::arg("f_low"), py::arg("seam_anchor_omega") = false,
      py::arg("ratio_powerlaw") = false, py::arg("roll_orbits") = 4.0,
      py::arg("anchor_orbits") = 4.0, py::arg("n_per_orbit") = 256, py::arg("n_x") = 6000,
      py::arg("n_x_rule") = false, py::arg("n_x_err_target") = 1e-06,
      "Compiled stage-1 of the call-time hybridisation: the coarse extension pack (J-anchored "
      "4PN continuation, R_edge, R_roll*h^PN content, spline tensors) from predicted "
      "coefficient tensors. Returns None when f_low is inside the model's reach.");
}

void def_build_extension_pack_batch(py::module_& mod) {
  mod.def(
      "build_extension_pack_batch",
      [](const carray<double>& breaks, const carray<cplx>& tau_coefs, const carray<cplx>& J_coefs,
         const carray<cplx>& mode_coefs, const carray<int32_t>& l, const carray<int32_t>& m,
         const carray<int32_t>& weight_index, const carray<double>& thetas,
         const carray<double>& f_low, bool seam_anchor_omega, bool ratio_powerlaw,
         double roll_orbits, double anchor_orbits, int32_t n_per_orbit, int32_t n_x,
         bool n_x_rule, double n_x_err_target) -> py::object {
        return build_extension_pack_batch(
            breaks, tau_coefs, J_coefs, mode_coefs, l, m, weight_index, thetas, f_low,
            PackOptions{seam_anchor_omega, ratio_powerlaw, roll_orbits, anchor_orbits, n_per_orbit,
                        n_x, n_x_rule, n_x_err_target});
      },
      py::arg("breaks"), py::arg("tau_coefs"), py::arg("J_coefs"), py::arg("mode_coefs"),
      py::arg("l"), py::arg("m"), py::arg("weight_index"), py::arg("thetas"), py::arg("f_low"),
      py::arg("seam_anchor_omega") = false, py::arg("ratio_powerlaw") = false,
      py::arg("roll_orbits") = 4.0, py::arg("anchor_orbits") = 4.0, py::arg("n_per_orbit") = 256,
      py::arg("n_x") = 6000, py::arg("n_x_rule") = false, py::arg("n_x_err_target") = 1e-06,
      "WI-3/H1: BATCHED extension-pack build -- one call for the whole chunk, rows parallel on "
      "the host execution space, per-row arithmetic bitwise the scalar builder's.  Returns a "
      "dict with RAGGED packs (flat t_knots/phi_knots + (4, C) phi_c + (K, 4, C) mode_c, with "
      "(B+1) int64 knot and coefficient-column offsets), a (B,) engaged flag (False = f_low "
      "inside that row's reach), and a dict-of-arrays report.");
}

void def_quadrature_grid_size_probe(py::module_& mod) {
  mod.def("quadrature_grid_size_probe", &quadrature_grid_size, py::arg("q"), py::arg("chi1z"),
          py::arg("chi2z"), py::arg("x_grid_lo"), py::arg("x_grid_hi"),
          py::arg("n_x_max") = 6000, py::arg("err_target") = 1e-06,
          "The span-sizing rule, exposed so the two-language mirror can be CHECKED rather than "
          "asserted.  Returns the number of 4PN quadrature points this build would use for a "
          "grid spanning [x_grid_lo, x_grid_hi]; must equal "
          "dodarozadevir.pn_extend.quadrature_grid_size as an INTEGER, since a one-point "
          "difference is a different quadrature and therefore a different PN track under h than "
          "under dh.  A probe only -- the builder calls the rule itself.");
}

}  // namespace radiredide
