// Columns of a Gram matrix as the active-set solver asks for them.
//
// A matrix given whole, a principal submatrix of one, or A^T A for a block A
// whose columns are
// formed the first time they are asked for: a solve reads only the columns
// of coordinates that are free at some step or carry weight, often a small
// share of them. A formed entry is the sum syrk_ata forms for it (the
// products over A's rows in order from 0.0), so both sources give the same
// bits.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "core/linalg/matrix.hpp"

namespace quintara::linalg {

class GramColumns {
 public:
  // The columns of G, which must outlive this.
  explicit GramColumns(const MatView& G);
  // The columns of A^T A, formed on first use; A must outlive this.
  static GramColumns of_block(const MatView& A);
  // The principal submatrix of G on rows and columns `idx` (in that order),
  // each column gathered on first use; G and idx must outlive this. Its
  // entries are G's, so a solve on it is the solve on the copied block.
  static GramColumns principal(const MatView& G, std::span<const std::size_t> idx);

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
  // With a principal submatrix: the whole matrix and the kept indices.
  MatView source_{};
  std::span<const std::size_t> idx_;
  // idx_ as runs of consecutive indices (first position, first index,
  // length): a control set is mostly such runs, copied whole.
  struct Run {
    std::size_t at, from, len;
  };
  std::vector<Run> runs_;
};

}  // namespace quintara::linalg
