#pragma once
// How batched kernels split rows into sample chunks.
#include <cstdint>

namespace radiredide {

// Evaluator kernels, mixing pass and assembly: ceil(N/256) chunks per row,
// clamped to [1, ceil(4 * threads / B)].
inline int32_t sample_chunk_count(int32_t n_samples, int32_t n_rows, int32_t threads) {
  const int32_t t = threads > 1 ? threads : 1;
  const int32_t by_size = n_samples > 0 ? (n_samples - 1) / 256 + 1 : 1;
  const int32_t want = by_size > 1 ? by_size : 1;
  if (n_rows <= 0) return 1;
  const int64_t cap = (4 * static_cast<int64_t>(t) + n_rows - 1) / n_rows;
  const int64_t c = want < cap ? want : cap;
  return static_cast<int32_t>(c > 1 ? c : 1);
}

// The 4PN batch kernels: max(1, min(ceil(8 * threads / B), ceil(N/4))).
inline int32_t pn_sample_chunk_count(int32_t n_samples, int32_t n_rows, int32_t threads) {
  if (n_rows <= 0) return 1;
  const int64_t by_threads = (8 * static_cast<int64_t>(threads) + n_rows - 1) / n_rows;
  const int64_t by_size = n_samples > 0 ? (static_cast<int64_t>(n_samples) + 3) / 4 : 0;
  const int64_t c = by_threads < by_size ? by_threads : by_size;
  return static_cast<int32_t>(c > 1 ? c : 1);
}

}  // namespace radiredide
