// A donor pool read in place from one block of donor columns.
//
// Placebo refits use every donor but the one playing the treated unit. Rather
// than copy the block once per placebo, the pool skips that column when it
// hands out columns, so the refits read the same memory as the real fit and
// keep the donors in column order (the order every weight sum runs in).
#pragma once

#include <cstddef>

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

}  // namespace quintara::estimators::sc
