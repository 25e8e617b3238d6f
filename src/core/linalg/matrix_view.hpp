// Read-only view of column-major storage owned elsewhere.
//
// Column j starts at data + j*ld and holds `rows` contiguous entries, so a
// whole Mat, a block of its rows or columns, or a period range of a gathered
// donor matrix is a view without a copy. A view owns nothing: it dangles once
// the storage it points into is resized or destroyed. It only reads, so views
// of one matrix may be handed to any number of threads while the owner lives.
// Functions take it as `const MatView&`: passed by value, its four words would
// be copied through the stack at every call, which shows in solver loops.
#pragma once

#include <cstddef>
#include <span>

#include "core/panic.hpp"

namespace quintara::linalg {

struct Mat;

struct MatView {
  const double* data = nullptr;
  std::size_t rows = 0;
  std::size_t cols = 0;
  std::size_t ld = 0;  // distance between column starts; >= rows

  // Checked on i and j separately: with ld > rows, a position past the end
  // of a column would silently read a row outside the view.
  double operator()(std::size_t i, std::size_t j) const {
    check_index(i, rows);
    check_index(j, cols);
    return data[i + j * ld];
  }

  std::span<const double> col(std::size_t j) const {
    check_index(j, cols);
    return {data + j * ld, rows};
  }

  // The nr x nc block whose top-left entry is (r0, c0). A block reaching past
  // the view is an invariant violation; empty blocks at the edges are fine.
  MatView block(std::size_t r0, std::size_t c0, std::size_t nr, std::size_t nc) const;
  MatView row_range(std::size_t r0, std::size_t nr) const { return block(r0, 0, nr, cols); }
  MatView col_range(std::size_t c0, std::size_t nc) const { return block(0, c0, rows, nc); }

  // Owning copies, for the few consumers that need storage of their own.
  Mat to_mat() const;
  Mat transpose() const;
};

}  // namespace quintara::linalg
