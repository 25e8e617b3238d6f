// Columns of a Gram matrix as the active-set solver asks for them.
//
// Either a matrix given whole, or A^T A for a block A whose columns are
// formed the first time they are asked for: a solve reads only the columns
// of coordinates that are free at some step or carry weight, often a small
// share of them. A formed entry is the sum syrk_ata forms for it (the
// products over A's rows in order from 0.0), so both sources give the same
// bits.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "core/linalg/matrix.hpp"

namespace quintara::linalg {

class GramColumns {
 public:
  // The columns of G, which must outlive this.
  explicit GramColumns(const MatView& G);
  // The columns of A^T A, formed on first use; A must outlive this.
  static GramColumns of_block(const MatView& A);

  std::size_t size() const { return diag_.size(); }
  double diag(std::size_t i) const { return diag_[i]; }
  // Column j (size() entries), formed if it was not yet.
  const double* col(std::size_t j) {
    if (!cols_[j]) form(j);
    return cols_[j];
  }
  // Every column as one matrix.
  Mat whole();

 private:
  GramColumns() = default;
  void form(std::size_t j);

  std::vector<const double*> cols_;
  std::vector<double> diag_;
  // The block's rows, one after another (row k = A(k, .)), and the storage
  // of formed columns.
  std::size_t block_rows_ = 0;
  std::vector<double> rows_;
  std::unique_ptr<double[]> formed_;
};

}  // namespace quintara::linalg
