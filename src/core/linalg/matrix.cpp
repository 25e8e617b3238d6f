#include "core/linalg/matrix.hpp"

namespace quintara::linalg {

Mat Mat::identity(std::size_t n) {
  Mat m(n, n);
  for (std::size_t i = 0; i < n; ++i) m.data[i + i * n] = 1.0;
  return m;
}

Mat Mat::transpose() const {
  Mat t(cols, rows);
  for (std::size_t j = 0; j < cols; ++j) {
    const double* src = data.data() + j * rows;
    for (std::size_t i = 0; i < rows; ++i) t.data[j + i * cols] = src[i];
  }
  return t;
}

}  // namespace quintara::linalg
