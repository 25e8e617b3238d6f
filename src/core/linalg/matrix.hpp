// Dense float64 matrix in column-major order.
//
// Element (i, j) lives at data[i + j*rows], so a column is one contiguous run.
// In a panel the rows are units and the columns periods. Copying is deep; a
// Mat is plain data that may be moved to and read from any thread. A Mat
// converts implicitly to a MatView, which is what read-only code takes.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/linalg/matrix_view.hpp"
#include "core/panic.hpp"

namespace quintara::linalg {

struct Mat {
  std::size_t rows = 0;
  std::size_t cols = 0;
  std::vector<double> data;

  Mat() = default;
  Mat(std::size_t r, std::size_t c) : rows(r), cols(c), data(r * c, 0.0) {}

  static Mat zeros(std::size_t r, std::size_t c) { return Mat(r, c); }
  static Mat identity(std::size_t n);

  // Checked on the storage position, not on i and j separately: a position at
  // or beyond rows*cols is an invariant violation.
  double& operator()(std::size_t i, std::size_t j) {
    const std::size_t p = i + j * rows;
    check_index(p, data.size());
    return data[p];
  }
  double operator()(std::size_t i, std::size_t j) const {
    const std::size_t p = i + j * rows;
    check_index(p, data.size());
    return data[p];
  }

  std::span<const double> col(std::size_t j) const {
    check_index(j, cols);
    return {data.data() + j * rows, rows};
  }
  std::span<double> col_mut(std::size_t j) {
    check_index(j, cols);
    return {data.data() + j * rows, rows};
  }

  MatView view() const { return {data.data(), rows, cols, rows}; }
  operator MatView() const { return view(); }  // NOLINT: implicit by design

  Mat transpose() const { return view().transpose(); }
};

}  // namespace quintara::linalg
