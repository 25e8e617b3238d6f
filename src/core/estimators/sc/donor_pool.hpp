// A donor pool read in place from one block of donor columns.
//
// Placebo refits use every donor but the one playing the treated unit. Rather
// than copy the block once per placebo, the pool skips that column when it
// hands out columns, so the refits read the same memory as the real fit and
// keep the donors in column order (the order every weight sum runs in).
#pragma once

#include <cstddef>
#include <vector>

#include "core/linalg/matrix.hpp"
#include "core/linalg/matrix_view.hpp"

namespace quintara::estimators::sc {

// The columns of X_pre (t0 rows) and X_post (the remaining rows), all of
// them or all but column `skip`, in column order.
struct DonorPool {
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

  const linalg::MatView& X_pre;
  const linalg::MatView& X_post;
  std::size_t skip = kNone;

  std::size_t size() const { return skip < X_pre.cols ? X_pre.cols - 1 : X_pre.cols; }
  std::size_t at(std::size_t j) const { return j < skip ? j : j + 1; }
  const double* pre(std::size_t j) const { return X_pre.data + at(j) * X_pre.ld; }
  const double* post(std::size_t j) const { return X_post.data + at(j) * X_post.ld; }
};

// The weight problem of a placebo refit, taken from the Gram matrix of the
// whole block: a pool's Gram is the principal submatrix without column
// `skip`, and its linear term is the rest of column `skip`. Each element is
// the same sum over periods as when the pool's own Gram is built, so a refit
// from here equals one on a copied pool bit for bit.
struct PlaceboGram {
  linalg::Mat G;
  std::vector<double> b;
};

inline PlaceboGram placebo_gram(const linalg::MatView& G_all, const DonorPool& pool) {
  const std::size_t n = pool.size();
  PlaceboGram p{linalg::Mat(n, n), std::vector<double>(n)};
  for (std::size_t c = 0; c < n; ++c) {
    const double* src = G_all.data + pool.at(c) * G_all.ld;
    double* dst = p.G.data.data() + c * n;
    for (std::size_t r = 0; r < n; ++r) dst[r] = src[pool.at(r)];
    p.b[c] = src[pool.skip];
  }
  return p;
}

}  // namespace quintara::estimators::sc
