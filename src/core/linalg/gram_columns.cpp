#include "core/linalg/gram_columns.hpp"

#include <algorithm>

#include "core/linalg/wide_clones.hpp"

namespace quintara::linalg {

namespace {

// y <- y + x t; the two never overlap, so the loop vectorises.
void axpy(double* __restrict y, const double* __restrict x, double t, std::size_t n) {
  for (std::size_t k = 0; k < n; ++k) y[k] = y[k] + x[k] * t;
}

}  // namespace

GramColumns::GramColumns(const MatView& G) : cols_(G.cols), diag_(G.cols) {
  for (std::size_t j = 0; j < G.cols; ++j) {
    cols_[j] = G.data + j * G.ld;
    diag_[j] = G.data[j + j * G.ld];
  }
}

GramColumns GramColumns::of_block(const MatView& A) {
  const std::size_t m = A.rows, n = A.cols;
  GramColumns out;
  out.cols_.assign(n, nullptr);
  out.block_rows_ = m;
  out.rows_.resize(m * n);
  for (std::size_t j = 0; j < n; ++j) {
    for (std::size_t k = 0; k < m; ++k) out.rows_[k * n + j] = A.data[k + j * A.ld];
  }
  out.diag_.assign(n, 0.0);
  for (std::size_t k = 0; k < m; ++k) {
    const double* r = out.rows_.data() + k * n;
    for (std::size_t i = 0; i < n; ++i) out.diag_[i] = out.diag_[i] + r[i] * r[i];
  }
  out.formed_ = std::make_unique_for_overwrite<double[]>(n * n);
  return out;
}

GramColumns GramColumns::principal(const MatView& G, std::span<const std::size_t> idx) {
  const std::size_t n = idx.size();
  GramColumns out;
  out.cols_.assign(n, nullptr);
  out.diag_.resize(n);
  for (std::size_t i = 0; i < n; ++i) out.diag_[i] = G.data[idx[i] + idx[i] * G.ld];
  out.source_ = G;
  out.idx_ = idx;
  for (std::size_t i = 0; i < n; ++i) {
    if (i > 0 && idx[i] == idx[i - 1] + 1) {
      ++out.runs_.back().len;
    } else {
      out.runs_.push_back({i, idx[i], 1});
    }
  }
  out.formed_ = std::make_unique_for_overwrite<double[]>(n * n);
  return out;
}

// Entry (i, j) is sum_k A(k, i) * A(k, j) over k in order: one pass of the
// block's rows updates every entry of the column together.
QUINTARA_WIDE_CLONES void GramColumns::form(std::size_t j) {
  const std::size_t n = size();
  double* out = formed_.get() + j * n;
  if (source_.data != nullptr) {
    const double* src = source_.data + idx_[j] * source_.ld;
    for (const Run& r : runs_) std::copy_n(src + r.from, r.len, out + r.at);
    cols_[j] = out;
    return;
  }
  for (std::size_t i = 0; i < n; ++i) out[i] = 0.0;
  for (std::size_t k = 0; k < block_rows_; ++k) {
    const double* r = rows_.data() + k * n;
    axpy(out, r, r[j], n);
  }
  cols_[j] = out;
}

Mat GramColumns::whole() {
  const std::size_t n = size();
  Mat G(n, n);
  for (std::size_t j = 0; j < n; ++j) {
    const double* c = col(j);
    for (std::size_t i = 0; i < n; ++i) G.data[i + j * n] = c[i];
  }
  return G;
}

}  // namespace quintara::linalg
