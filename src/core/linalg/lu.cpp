#include "core/linalg/lu.hpp"

#include <cmath>
#include <utility>

#include "core/format.hpp"

namespace quintara::linalg {

std::optional<std::vector<double>> solve_lu(Mat a, std::vector<double> b) {
  const std::size_t n = b.size();
  if (a.rows != n || a.cols != n) {
    panic(format("solve_lu: {}x{} system with {} right-hand sides", a.rows, a.cols, n));
  }
  for (std::size_t k = 0; k < n; ++k) {
    std::size_t piv = k;
    for (std::size_t i = k + 1; i < n; ++i) {
      if (std::abs(a(i, k)) > std::abs(a(piv, k))) piv = i;
    }
    if (a(piv, k) == 0.0) return std::nullopt;
    if (piv != k) {
      for (std::size_t j = 0; j < n; ++j) std::swap(a(k, j), a(piv, j));
      std::swap(b[k], b[piv]);
    }
    for (std::size_t i = k + 1; i < n; ++i) {
      const double f = a(i, k) / a(k, k);
      if (f == 0.0) continue;
      for (std::size_t j = k; j < n; ++j) a(i, j) -= f * a(k, j);
      b[i] -= f * b[k];
    }
  }
  std::vector<double> x(n);
  for (std::size_t k = n; k-- > 0;) {
    double s = b[k];
    for (std::size_t j = k + 1; j < n; ++j) s -= a(k, j) * x[j];
    x[k] = s / a(k, k);
  }
  return x;
}

}  // namespace quintara::linalg
