#include "core/linalg/matrix_view.hpp"

#include <algorithm>

#include "core/format.hpp"
#include "core/linalg/matrix.hpp"

namespace quintara::linalg {

MatView MatView::block(std::size_t r0, std::size_t c0, std::size_t nr, std::size_t nc) const {
  // Written as differences so that a huge start cannot wrap around.
  if (r0 > rows || nr > rows - r0 || c0 > cols || nc > cols - c0) {
    panic(format("block rows {}+{}, cols {}+{} out of range for a {} x {} view", r0, nr, c0, nc,
                 rows, cols));
  }
  // An empty block never reads, so it keeps the base pointer rather than
  // stepping past the end of the storage.
  if (nr == 0 || nc == 0) return {data, nr, nc, ld};
  return {data + r0 + c0 * ld, nr, nc, ld};
}

Mat MatView::to_mat() const {
  Mat m(rows, cols);
  for (std::size_t j = 0; j < cols; ++j) {
    const double* src = data + j * ld;
    std::copy(src, src + rows, m.data.data() + j * rows);
  }
  return m;
}

Mat MatView::transpose() const {
  Mat t(cols, rows);
  for (std::size_t j = 0; j < cols; ++j) {
    const double* src = data + j * ld;
    for (std::size_t i = 0; i < rows; ++i) t.data[j + i * cols] = src[i];
  }
  return t;
}

}  // namespace quintara::linalg
