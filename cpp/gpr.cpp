// Gaussian-process coefficient contraction: the GPRContraction plan (its
// configuration, single-point, batched and in-place batched evaluation), the
// process-wide count of in-place batch calls, and the reproducible anchor
// contraction.
#include "gpr.hpp"

#include "common/errors.hpp"
#include "common/staging.hpp"
#include "gpr_kernels.hpp"
#include "gpr_simd.hpp"
#include "workspace.hpp"

#include <Kokkos_Core.hpp>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

namespace radiredide {
namespace gpr {
namespace {

std::atomic<int64_t> scatter_call_counter{0};

constexpr int64_t kMaxFlat = std::numeric_limits<int32_t>::max();

// Buffers of per-call scratch, uninitialised.
template <class T>
std::unique_ptr<T[]> scratch(int64_t n) {
  return std::make_unique_for_overwrite<T[]>(static_cast<std::size_t>(n > 0 ? n : 1));
}

// Flat sizes that kernels index with 32-bit arithmetic.
void require_flat(int64_t a, int64_t b, const char* msg) {
  if (a < 0 || b < 0 || (a != 0 && b > kMaxFlat / a)) value_error(msg);
}

// Caller arrays may be misaligned (the binding layer makes them contiguous, not
// aligned): host-side reads copy them bytewise.
template <class T>
std::vector<T> read_all(const T* src, int64_t n) {
  std::vector<T> out(static_cast<std::size_t>(n > 0 ? n : 0));
  if (n > 0) std::memcpy(out.data(), src, static_cast<std::size_t>(n) * sizeof(T));
  return out;
}

// The length scales of add_block and add_var_key, with the messages of a
// bounds-checked element access.
void read_length_scales(const carray<double>& ls, double out[3]) {
  if (ls.ndim() != 1)
    throw std::out_of_range("index dimension mismatch: 1 (ndim = " + std::to_string(ls.ndim()) +
                            ")");
  const py::ssize_t n = ls.shape(0);
  for (py::ssize_t i = 0; i < 3; ++i) {
    if (i >= n)
      throw std::out_of_range("index " + std::to_string(i) + " is out of bounds for axis 0 with size " +
                              std::to_string(n));
    out[i] = load_unaligned(ls.data(), i);
  }
}

// Row-major (rows, cols) complex array to column-major interleaved pairs.
std::vector<double> transpose_pairs(const cplx* src, int64_t rows, int64_t cols) {
  std::vector<double> out(static_cast<std::size_t>(2 * rows * cols));
  for (int64_t i = 0; i < rows; ++i)
    for (int64_t j = 0; j < cols; ++j) {
      const cplx v = load_unaligned(src, i * cols + j);
      out[2 * (i + j * rows)] = v.real();
      out[2 * (i + j * rows) + 1] = v.imag();
    }
  return out;
}

template <class F>
void launch_range(const char* label, int64_t n, const F& f) {
  Kokkos::parallel_for(label, Kokkos::RangePolicy<ExecSpace>(0, n), f);
  ExecSpace().fence();
}

}  // namespace

// ---------------------------------------------------------------- configuration

GPRContraction::GPRContraction(int P, int E, int O, int degree)
    : P_(P), EO_(0), E_(E), O_(O), degree_(degree) {
  if (P < 0 || E < 0 || O < 0) value_error("P, E and O must be non-negative");
  require_flat(E, O, "E*O must be below 2^31");
  require_flat(P, static_cast<int64_t>(E) * O, "P*E*O must be below 2^31");
  if (degree < 0 || degree > kMaxDegree) value_error("degree must lie in [0, 7]");
  EO_ = E * O;
  cp_.degree = degree;
}

void GPRContraction::set_default_coords(const carray<double>& bounds) {
  if (bounds.ndim() != 2 || bounds.shape(0) != 3 || bounds.shape(1) != 2)
    value_error("bounds must be (3, 2)");
  const double* b = bounds.data();
  for (int i = 0; i < 3; ++i) {
    cp_.lo[i] = load_unaligned(b, 2 * i);
    cp_.hi[i] = load_unaligned(b, 2 * i + 1);
  }
  cp_.has_default = true;
}

void GPRContraction::set_sym_coords(double L0, double chi_lo, double chi_hi, double A0,
                                    bool pn_coords) {
  cp_.L0 = L0;
  cp_.chi_lo = chi_lo;
  cp_.chi_hi = chi_hi;
  cp_.A0 = A0;
  cp_.pn_coords = pn_coords;
  cp_.has_sym = true;
}

int GPRContraction::add_group(int scheme, int parity, const carray<int32_t>& gidx,
                              const carray<double>& U, const carray<cplx>& T,
                              const carray<int32_t>& terms) {
  GPRGroup g;
  g.scheme = scheme;
  g.parity = parity;

  const int64_t Pg = extent(gidx, 0);
  if (gidx.ndim() != 1) value_error("gidx must be one-dimensional (Pg,)");
  g.gidx = read_all(gidx.data(), Pg);
  {
    std::vector<char> seen(static_cast<std::size_t>(P_), 0);
    for (const int32_t p : g.gidx) {
      if (p < 0 || p >= P_) value_error("gidx entries must lie in [0, P)");
      if (seen[p]) value_error("gidx entries of one group must be distinct");
      seen[p] = 1;
    }
  }

  if (U.ndim() != 2 || U.shape(1) != 3) value_error("U must be (n_train, 3)");
  const int64_t n_train = U.shape(0);
  require_flat(n_train, 3, "U must have fewer than 2^31 elements");
  g.n_train = static_cast<int32_t>(n_train);
  g.U = read_all(U.data(), 3 * n_train);

  const int64_t n_terms = extent(T, 0);
  const int64_t cols = Pg * EO_;  // Pg <= P, so below 2^31
  if (T.ndim() != 2 || T.shape(1) != cols) value_error("T must be (n_terms, Pg*E*O)");
  require_flat(n_terms, cols, "T must have fewer than 2^31 elements");

  if (terms.ndim() != 2 || terms.shape(0) != n_terms || terms.shape(1) != 3)
    value_error("terms must be (n_terms, 3)");
  std::vector<int32_t> tr = read_all(terms.data(), 3 * n_terms);
  for (const int32_t t : tr)
    if (t < 0 || t > degree_) value_error("terms entries must lie in [0, degree]");

  g.n_terms = static_cast<int32_t>(n_terms);
  g.T = transpose_pairs(T.data(), n_terms, cols);
  g.terms = std::move(tr);
  groups_.push_back(std::move(g));
  return static_cast<int>(groups_.size()) - 1;
}

void GPRContraction::add_block(int gid, const carray<double>& ls, const carray<int32_t>& loc,
                               const carray<cplx>& A) {
  if (gid < 0 || static_cast<std::size_t>(gid) >= groups_.size())
    throw std::out_of_range("invalid vector subscript");
  const GPRGroup& g = groups_[static_cast<std::size_t>(gid)];
  GPRBlock blk;
  read_length_scales(ls, blk.ls);

  const int64_t k = extent(loc, 0);
  if (loc.ndim() != 1) value_error("loc must be one-dimensional (k,)");
  blk.loc = read_all(loc.data(), k);
  {
    const int64_t Pg = static_cast<int64_t>(g.gidx.size());
    std::vector<char> seen(static_cast<std::size_t>(Pg), 0);
    for (const int32_t p : blk.loc) {
      if (p < 0 || p >= Pg) value_error("loc entries must lie in [0, Pg) of the group");
      if (seen[p]) value_error("loc entries of one block must be distinct");
      seen[p] = 1;
    }
  }
  blk.k = static_cast<int32_t>(k);

  const int64_t cols = k * EO_;  // k <= Pg <= P, so below 2^31
  if (A.ndim() != 2 || A.shape(0) != g.n_train || A.shape(1) != cols)
    value_error("A must be (n_train, k*E*O)");
  require_flat(g.n_train, cols, "A must have fewer than 2^31 elements");
  blk.A = transpose_pairs(A.data(), g.n_train, cols);
  groups_[static_cast<std::size_t>(gid)].blocks.push_back(std::move(blk));
}

int GPRContraction::add_var_key(int scheme, const carray<double>& ls, double nug, int parity,
                                const carray<double>& Minv, const carray<double>& U) {
  GPRVarKey key;
  key.scheme = scheme;
  key.parity = parity;
  key.nug = nug;
  read_length_scales(ls, key.ls);
  const int64_t n = extent(U, 0);
  if (U.ndim() != 2 || U.shape(1) != 3) value_error("U must be (n, 3)");
  if (Minv.ndim() != 2 || Minv.shape(0) != n || Minv.shape(1) != n)
    value_error("Minv must be (n, n)");
  require_flat(n, n, "Minv must have fewer than 2^31 elements");
  key.n = static_cast<int32_t>(n);
  key.Minv = read_all(Minv.data(), n * n);
  key.U = read_all(U.data(), 3 * n);
  var_keys_.push_back(std::move(key));
  return static_cast<int>(var_keys_.size()) - 1;
}

void GPRContraction::set_var(const carray<int32_t>& piece_key,
                             const carray<double>& mean_signal_var) {
  if (extent(piece_key, 0) != P_) value_error("per-piece var arrays must be (P,)");
  if (extent(mean_signal_var, 0) != P_) value_error("per-piece var arrays must be (P,)");
  if (piece_key.ndim() != 1) value_error("piece_key must be one-dimensional (P,)");
  if (mean_signal_var.ndim() != 1) value_error("mean_signal_var must be one-dimensional (P,)");
  std::vector<int32_t> pk = read_all(piece_key.data(), P_);
  for (const int32_t k : pk)
    if (k < 0) value_error("piece_key entries must be non-negative");
  piece_key_ = std::move(pk);
  mean_signal_var_ = read_all(mean_signal_var.data(), P_);
}

// ---------------------------------------------------------------- evaluation

void GPRContraction::check_evaluation_config() const {
  for (const GPRGroup& g : groups_) {
    if (g.scheme == 0) {
      if (!cp_.has_default) runtime_error("default coords not configured");
    } else if (!cp_.has_sym) {
      runtime_error("sym coords not configured");
    }
  }
  if (piece_key_.empty()) return;
  for (const GPRVarKey& key : var_keys_)
    if (key.scheme != 0 && !cp_.has_sym) runtime_error("sym coords not configured");
  const int32_t K = static_cast<int32_t>(var_keys_.size());
  for (const int32_t v : piece_key_)
    if (v >= K) value_error("piece_key entry names no variance key (add_var_key first)");
}

namespace {
KeyView key_view(const GPRVarKey& k) {
  KeyView v{};
  v.scheme = k.scheme;
  v.parity = k.parity;
  for (int i = 0; i < 3; ++i) v.ls[i] = k.ls[i];
  v.nug = k.nug;
  v.Minv = k.Minv.data();
  v.U = k.U.data();
  v.n = k.n;
  return v;
}
}  // namespace

py::tuple GPRContraction::evaluate(double q, double chi1z, double chi2z) const {
  require_kokkos();
  check_evaluation_config();
  const double lq = std::log(q);

  auto coefs = new_array<cplx>({P_, E_, O_});
  double* out = reinterpret_cast<double*>(mutable_ptr(coefs));
  std::fill(out, out + 2 * static_cast<int64_t>(P_) * EO_, 0.0);

  for (const GPRGroup& g : groups_) {
    double x[3];
    double T[3][kTable];
    group_coords(cp_, g.scheme, lq, chi1z, chi2z, x, T);
    std::vector<double> f(static_cast<std::size_t>(g.n_terms));
    features(T, g.terms.data(), g.n_terms, f.data(), 1);
    const std::size_t nb = g.blocks.size();
    std::vector<double> rows(nb * static_cast<std::size_t>(g.n_train));
    std::vector<double> sym(g.scheme == 1 ? static_cast<std::size_t>(g.n_train) : 0);
    for (std::size_t j = 0; j < nb; ++j) {
      double* row = rows.data() + j * g.n_train;
      rbf_row(x, g.U.data(), g.n_train, g.blocks[j].ls, row, 1);
      if (g.scheme == 1)
        symmetrise(x, g.U.data(), g.n_train, g.blocks[j].ls, g.parity, row, 1, sym.data());
    }

    const int64_t Pg = static_cast<int64_t>(g.gidx.size());
    launch_range("gpr_contract", Pg * EO_,
                 ContractTrend{f.data(), g.T.data(), g.gidx.data(), out, g.n_terms, EO_});
    for (std::size_t j = 0; j < nb; ++j) {
      const GPRBlock& blk = g.blocks[j];
      launch_range("gpr_kernel", static_cast<int64_t>(blk.k) * EO_,
                   ContractKernel{rows.data() + j * g.n_train, blk.A.data(), g.gidx.data(),
                                  blk.loc.data(), out, g.n_train, EO_});
    }
  }

  auto var = new_array<double>({P_});
  double* v = mutable_ptr(var);
  if (piece_key_.empty()) {
    std::fill(v, v + P_, 0.0);
  } else {
    const std::size_t K = var_keys_.size();
    std::vector<double> h(K, std::numeric_limits<double>::quiet_NaN());
    for (std::size_t i = 0; i < K; ++i) {
      const KeyView kv = key_view(var_keys_[i]);
      std::vector<double> k(2 * static_cast<std::size_t>(kv.n));
      h[i] = key_variance(cp_, kv, lq, chi1z, chi2z, k.data(), k.data() + kv.n);
    }
    for (int32_t i = 0; i < P_; ++i) v[i] = h[piece_key_[i]] * mean_signal_var_[i];
  }
  return py::make_tuple(coefs, var);
}

void GPRContraction::batch_core(const double* thetas, int32_t B, double* dest, int64_t stride,
                                const int64_t* off, double* var) const {
  if (B == 0) return;
  check_evaluation_config();

  // Pieces held by no group are zero in every wanted row slot.
  {
    std::vector<char> covered(static_cast<std::size_t>(P_), 0);
    for (const GPRGroup& g : groups_)
      for (const int32_t p : g.gidx) covered[p] = 1;
    for (int32_t p = 0; p < P_; ++p) {
      if (covered[p] || off[p] < 0) continue;
      for (int32_t b = 0; b < B; ++b) {
        double* d = dest + 2 * (static_cast<int64_t>(b) * stride + off[p]);
        std::fill(d, d + 2 * static_cast<int64_t>(EO_), 0.0);
      }
    }
  }

  auto rows = scratch<double>(3 * static_cast<int64_t>(B));
  for (int32_t b = 0; b < B; ++b) {
    rows[3 * b] = std::log(load_unaligned(thetas, 3 * b));
    rows[3 * b + 1] = load_unaligned(thetas, 3 * b + 1);
    rows[3 * b + 2] = load_unaligned(thetas, 3 * b + 2);
  }

  const int32_t Bp = B <= 2 ? B
                             : static_cast<int32_t>((static_cast<int64_t>(B) + kRowPad - 1) /
                                                    kRowPad * kRowPad);
  const int32_t W = B <= 2 ? 1 : kRowPad;
  const Isa isa = detected_isa();

  for (const GPRGroup& g : groups_) {
    const int32_t Pg = static_cast<int32_t>(g.gidx.size());
    const int32_t nb = static_cast<int32_t>(g.blocks.size());

    // Blocks serving each group position, in block order.
    std::vector<int32_t> cov_start(static_cast<std::size_t>(Pg) + 1, 0);
    for (const GPRBlock& blk : g.blocks)
      for (const int32_t p : blk.loc) ++cov_start[p + 1];
    for (int32_t p = 0; p < Pg; ++p) cov_start[p + 1] += cov_start[p];
    std::vector<int32_t> cov_block(static_cast<std::size_t>(cov_start[Pg]));
    std::vector<int32_t> cov_pos(cov_block.size());
    {
      std::vector<int32_t> fill(cov_start.begin(), cov_start.end() - 1);
      for (int32_t j = 0; j < nb; ++j) {
        const GPRBlock& blk = g.blocks[j];
        for (int32_t c = 0; c < blk.k; ++c) {
          const int32_t q = fill[blk.loc[c]]++;
          cov_block[q] = j;
          cov_pos[q] = c;
        }
      }
    }
    std::vector<double> ls(3 * static_cast<std::size_t>(nb));
    std::vector<const double*> A(static_cast<std::size_t>(nb));
    for (int32_t j = 0; j < nb; ++j) {
      for (int i = 0; i < 3; ++i) ls[3 * j + i] = g.blocks[j].ls[i];
      A[j] = g.blocks[j].A.data();
    }

    auto feat = scratch<double>(static_cast<int64_t>(g.n_terms) * Bp);
    auto krow = scratch<double>(static_cast<int64_t>(nb) * g.n_train * Bp);
    auto sym = scratch<double>(g.scheme == 1 ? static_cast<int64_t>(Bp) * g.n_train : 0);
    launch_range("gpr_batch_rows", Bp,
                 BatchRows{cp_, g.scheme, g.parity, rows.get(), B, Bp, W, g.U.data(), g.n_train,
                           g.terms.data(), g.n_terms, ls.data(), nb, feat.get(), krow.get(),
                           sym.get()});

    launch_range("gpr_batch_contract", static_cast<int64_t>(Pg) * coef_blocks(EO_),
                 BatchContract{{feat.get(), g.T.data(), g.n_terms, krow.get(), g.n_train, B, Bp,
                                W, EO_, g.gidx.data(), off, cov_start.data(), cov_block.data(),
                                cov_pos.data(), A.data(), dest, stride},
                               isa});
  }

  if (piece_key_.empty()) {
    std::fill(var, var + static_cast<int64_t>(B) * P_, 0.0);
    return;
  }
  const int32_t K = static_cast<int32_t>(var_keys_.size());
  std::vector<KeyView> keys(static_cast<std::size_t>(K));
  const int32_t panels = (B + kVarRows - 1) / kVarRows;
  std::vector<int64_t> soff(static_cast<std::size_t>(K) + 1, 0);
  for (int32_t v = 0; v < K; ++v) {
    keys[v] = key_view(var_keys_[v]);
    soff[v + 1] = soff[v] + panels * var_scratch(keys[v].n);
  }
  auto buf = scratch<double>(static_cast<int64_t>(B) * K);
  std::fill(buf.get(), buf.get() + static_cast<int64_t>(B) * K,
            std::numeric_limits<double>::quiet_NaN());
  auto vscr = scratch<double>(soff[K]);
  Kokkos::parallel_for(
      "gpr_batch_var", Kokkos::MDRangePolicy<ExecSpace, Kokkos::Rank<2>>({0, 0}, {panels, K}),
      BatchVar{{cp_, keys.data(), soff.data(), rows.get(), B, K, buf.get(), vscr.get()}, isa});
  ExecSpace().fence();
  for (int32_t b = 0; b < B; ++b)
    for (int32_t p = 0; p < P_; ++p)
      var[static_cast<int64_t>(b) * P_ + p] =
          mean_signal_var_[p] * buf[static_cast<int64_t>(b) * K + piece_key_[p]];
}

namespace {
int32_t batch_rows(const carray<double>& thetas) {
  if (thetas.ndim() != 2 || thetas.shape(1) != 3) value_error("thetas must be (B, 3)");
  // Rows are padded to whole panels in 32-bit arithmetic.
  if (thetas.shape(0) > std::numeric_limits<int32_t>::max() - kRowPad)
    value_error("thetas must have fewer than 2^31 - 16 rows");
  return static_cast<int32_t>(thetas.shape(0));
}
}  // namespace

py::tuple GPRContraction::evaluate_batch(const carray<double>& thetas) const {
  const int32_t B = batch_rows(thetas);
  require_kokkos();
  auto coefs = new_array<cplx>({B, P_, E_, O_});
  std::vector<int64_t> off(static_cast<std::size_t>(P_));
  for (int32_t p = 0; p < P_; ++p) off[p] = static_cast<int64_t>(p) * EO_;
  auto var = new_array<double>({B, P_});
  batch_core(thetas.data(), B, reinterpret_cast<double*>(mutable_ptr(coefs)),
             static_cast<int64_t>(P_) * EO_, off.data(), mutable_ptr(var));
  return py::make_tuple(coefs, var);
}

py::array_t<double> GPRContraction::evaluate_batch_into(const carray<double>& thetas,
                                                        const py::array& dest,
                                                        const carray<int32_t>& dst) const {
  const int32_t B = batch_rows(thetas);
  if (dest.ndim() != 4) value_error("dest must be (B, P_dst, E, O)");
  if (dest.shape(0) != B || dest.shape(2) != E_ || dest.shape(3) != O_)
    value_error("dest must be (B, P_dst, E, O) with this plan's B, E and O");
  {
    auto& api = py::detail::npy_api::get();
    PyObject* cdouble = api.PyArray_DescrFromType_(py::detail::npy_api::NPY_CDOUBLE_);
    const bool same = reinterpret_cast<PyObject*>(py::detail::array_proxy(dest.ptr())->descr) ==
                      cdouble;
    Py_XDECREF(cdouble);
    if (!same) value_error("dest must be complex128");
  }
  if (!(dest.flags() & py::array::c_style)) value_error("dest must be C-contiguous");
  if (!dest.writeable()) value_error("dest must be writeable");
  if (dst.ndim() != 1 || dst.shape(0) != P_) value_error("dst must be (P,) for this plan");
  const int64_t P_dst = dest.shape(1);
  std::vector<int64_t> off(static_cast<std::size_t>(P_));
  const std::vector<int32_t> d = read_all(dst.data(), P_);
  for (int32_t p = 0; p < P_; ++p) {
    if (d[p] >= P_dst) value_error("dst index out of range for dest");
    off[p] = d[p] < 0 ? -1 : static_cast<int64_t>(d[p]) * EO_;
  }
  {
    // Two plan pieces in one row slot would be two writers to the same elements.
    std::vector<int32_t> slots;
    for (int32_t p = 0; p < P_; ++p)
      if (d[p] >= 0) slots.push_back(d[p]);
    std::sort(slots.begin(), slots.end());
    if (std::adjacent_find(slots.begin(), slots.end()) != slots.end())
      value_error("dst maps two plan pieces to one row slot of dest");
  }
  require_kokkos();

  auto var = new_array<double>({B, P_});
  scatter_call_counter.fetch_add(1);

  const int64_t stride = P_dst * EO_;
  const int64_t n_pairs = static_cast<int64_t>(B) * stride;
  double* target = static_cast<double*>(const_cast<void*>(dest.data()));
  if (is_aligned(target, alignof(double))) {
    batch_core(thetas.data(), B, target, stride, off.data(), mutable_ptr(var));
  } else {
    // A destination that is not even 8-byte aligned is contracted into an
    // aligned copy of itself (so untouched slots keep their values) and
    // copied back.
    auto staged = scratch<double>(2 * n_pairs);
    copy_bytes(staged.get(), target, static_cast<std::size_t>(2 * n_pairs) * sizeof(double));
    batch_core(thetas.data(), B, staged.get(), stride, off.data(), mutable_ptr(var));
    copy_bytes(target, staged.get(), static_cast<std::size_t>(2 * n_pairs) * sizeof(double));
  }
  return var;
}

}  // namespace gpr

// ---------------------------------------------------------------- bindings

namespace {

constexpr const char* kEvaluateBatchDoc =
    "Batched contraction: (B, P, E, O) coefficients + (B, P) variance means, bitwise B per-point "
    "evaluate() calls (rows independent; within-row order unchanged).";
constexpr const char* kEvaluateBatchIntoDoc =
    "PORT ITEM 1d.  As evaluate_batch, but contracts STRAIGHT INTO `dest` -- a caller-owned, "
    "WRITEABLE, C-CONTIGUOUS complex128 (B, P_dst, E, O) array -- and returns only the (B, P) "
    "variance means.  `dst` is (P,) int32 mapping each plan piece to its row slot in `dest`; a "
    "NEGATIVE entry means the piece is not wanted and its column is skipped before any "
    "arithmetic.  Bitwise-inert: only the destination ADDRESS of each store differs from "
    "evaluate_batch.";
constexpr const char* kScatterCallsDoc =
    "Number of evaluate_batch_into() calls since load.  A reachability observable for the item-1d "
    "A/B arm: a null from an arm that never executed is indistinguishable from a null from a real "
    "no-op, so the scatter path is counted rather than inferred from a Python flag.";

int32_t gpr_scatter_calls() {
  const uint64_t v = static_cast<uint64_t>(gpr::scatter_call_counter.load());
  return static_cast<int32_t>(static_cast<uint32_t>(v & 0xffffffffu));
}

py::array_t<cplx> anchor_contract_impl(const carray<double>& rows, const carray<cplx>& trend,
                                       const carray<double>& krows, const carray<cplx>& alpha) {
  const char* mismatch = "anchor_contract: shape mismatch";
  const int64_t R = extent(rows, 0);
  const int64_t Kt = extent(rows, 1);
  const int64_t Kk = extent(krows, 1);
  const int64_t C = extent(trend, 1);
  if (extent(trend, 0) != Kt) value_error(mismatch);
  if (extent(alpha, 0) != Kk) value_error(mismatch);
  if (extent(alpha, 1) != C) value_error(mismatch);
  if (extent(krows, 0) != R) value_error(mismatch);
  if (rows.ndim() != 2 || trend.ndim() != 2 || krows.ndim() != 2 || alpha.ndim() != 2)
    value_error("anchor_contract: rows, trend, krows and alpha must be two-dimensional");
  gpr::require_flat(R, Kt, "anchor_contract: rows must have fewer than 2^31 elements");
  gpr::require_flat(Kt, C, "anchor_contract: trend must have fewer than 2^31 elements");
  gpr::require_flat(R, Kk, "anchor_contract: krows must have fewer than 2^31 elements");
  gpr::require_flat(Kk, C, "anchor_contract: alpha must have fewer than 2^31 elements");
  gpr::require_flat(R, C, "anchor_contract: the result must have fewer than 2^31 elements");
  require_kokkos();

  WorkspacePool& pool = thread_workspace();
  auto v_rows = stage_in(pool, "anch_rows", rows.data(), R, Kt);
  auto v_krows = stage_in(pool, "anch_krows", krows.data(), R, Kk);
  auto v_trend = stage_in(pool, "anch_trend", trend.data(), Kt, C);
  auto v_alpha = stage_in(pool, "anch_alpha", alpha.data(), Kk, C);
  auto result = new_array<cplx>({R, C});
  auto out = stage_out(pool, "anch_out", mutable_ptr(result), R, C);
  if (R * C > 0) {
    const Isa isa = detected_isa();
    const int32_t tile = gpr::anchor_tile(isa);
    const int32_t tiles_per_row = static_cast<int32_t>((C + tile - 1) / tile);
    const gpr::AnchorArgs args{v_rows.data(), reinterpret_cast<const double*>(v_trend.data()),
                               v_krows.data(), reinterpret_cast<const double*>(v_alpha.data()),
                               reinterpret_cast<double*>(out.target.data()),
                               static_cast<int32_t>(C), static_cast<int32_t>(Kt),
                               static_cast<int32_t>(Kk)};
    Kokkos::parallel_for("anchor_contract",
                         Kokkos::RangePolicy<gpr::ExecSpace>(0, R * tiles_per_row),
                         gpr::AnchorContract{args, static_cast<int32_t>(R), tile, isa});
    gpr::ExecSpace().fence();
  }
  out.copy_back();
  return result;
}

}  // namespace

void register_gpr(py::module_& m) {
  using gpr::GPRContraction;
  py::class_<GPRContraction>(m, "GPRContraction")
      .def(py::init<int, int, int, int>(), py::arg("P"), py::arg("E"), py::arg("O"),
           py::arg("degree"))
      .def("set_default_coords", &GPRContraction::set_default_coords, py::arg("bounds"))
      .def("set_sym_coords", &GPRContraction::set_sym_coords, py::arg("L0"), py::arg("chi_lo"),
           py::arg("chi_hi"), py::arg("A0"), py::arg("pn_coords"))
      .def("add_group", &GPRContraction::add_group, py::arg("scheme"), py::arg("parity"),
           py::arg("gidx"), py::arg("U"), py::arg("T"), py::arg("terms"))
      .def("add_block", &GPRContraction::add_block, py::arg("gid"), py::arg("ls"),
           py::arg("loc"), py::arg("A"))
      .def("add_var_key", &GPRContraction::add_var_key, py::arg("scheme"), py::arg("ls"),
           py::arg("nug"), py::arg("parity"), py::arg("Minv"), py::arg("U"))
      .def("set_var", &GPRContraction::set_var, py::arg("piece_key"), py::arg("mean_signal_var"))
      .def("evaluate", &GPRContraction::evaluate, py::arg("q"), py::arg("chi1z"),
           py::arg("chi2z"))
      .def("evaluate_batch", &GPRContraction::evaluate_batch, py::arg("thetas"),
           kEvaluateBatchDoc)
      .def("evaluate_batch_into", &GPRContraction::evaluate_batch_into, py::arg("thetas"),
           py::arg("dest").noconvert(), py::arg("dst"), kEvaluateBatchIntoDoc);
  m.def("gpr_scatter_calls", &gpr_scatter_calls, kScatterCallsDoc);
}

void def_anchor_contract64(py::module_& m) {
  m.def("anchor_contract64", &anchor_contract_impl, py::arg("rows"), py::arg("trend"),
        py::arg("krows"), py::arg("alpha"),
        "Canonical reproducible (Dot2, fixed-order) anchor contraction, host execution space");
}

void def_anchor_contract64_device(py::module_& m) {
  m.def("anchor_contract64_device", &anchor_contract_impl, py::arg("rows"), py::arg("trend"),
        py::arg("krows"), py::arg("alpha"),
        "Canonical anchor contraction on the default (device) space -- bitwise identical to the "
        "host path by construction");
}

}  // namespace radiredide
