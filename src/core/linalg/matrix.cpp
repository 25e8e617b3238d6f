#include "core/linalg/matrix.hpp"

namespace quintara::linalg {

Mat Mat::identity(std::size_t n) {
  Mat m(n, n);
  for (std::size_t i = 0; i < n; ++i) m.data[i + i * n] = 1.0;
  return m;
}

}  // namespace quintara::linalg
