#include "core/linalg/lstsq.hpp"

#include "core/linalg/cholesky.hpp"
#include "core/linalg/kernels.hpp"
#include "core/linalg/qr.hpp"

namespace quintara::linalg {

Expected<std::vector<double>> ols(const MatView& X, std::span<const double> y) {
  auto f = Qr::make(X);
  if (!f) return f.error();
  return f.value().solve_lstsq(y);
}

Expected<std::vector<double>> ridge(const MatView& X, std::span<const double> y, double lambda) {
  const Mat G = syrk_ata(X);
  std::vector<double> c(X.cols, 0.0);
  gemv_t(X, y, c, 1.0, 0.0);
  auto f = Cholesky::new_ridge(G, lambda);
  if (!f) return f.error();
  return f.value().solve_vec(c);
}

}  // namespace quintara::linalg
