#include "core/estimators/sc/null_refit.hpp"

#include <numeric>
#include <utility>

#include "core/panic.hpp"

namespace quintara::estimators::sc {

NullRefit::NullRefit(ScMethod method, const linalg::MatView& X, std::size_t n_treated)
    : method_(std::move(method)), T_(X.rows), n_treated_(n_treated), stacked_(2 * X.rows, X.cols),
      donors_(X.cols) {
  QUINTARA_ASSERT(T_ >= 1, "null refit: no periods");
  for (std::size_t j = 0; j < X.cols; ++j) {
    for (std::size_t t = 0; t < T_; ++t) {
      stacked_(t, j) = X(t, j);
      stacked_(T_ + t, j) = X(t, j);
    }
  }
  // The residual path does not report donors; any labels do.
  std::iota(donors_.begin(), donors_.end(), std::size_t{0});
}

std::vector<double> NullRefit::residual(std::span<const double> y) const {
  QUINTARA_ASSERT_EQ(y.size(), T_, "null refit: one value per period");
  std::vector<double> yy(2 * T_);
  for (std::size_t t = 0; t < T_; ++t) yy[t] = yy[T_ + t] = y[t];
  const SeriesView series{yy, n_treated_, stacked_.view(), T_};
  std::vector<double> r = method_.fit_series(series, donors_).att_path;
  const bool free_level =
      method_.visit([]<class T>(const typename T::Options&) { return has_free_level<T>(); });
  if (free_level) {
    double mean = 0.0;
    for (const double v : r) mean += v;
    mean /= static_cast<double>(T_);
    for (double& v : r) v = v - mean;
  }
  return r;
}

}  // namespace quintara::estimators::sc
