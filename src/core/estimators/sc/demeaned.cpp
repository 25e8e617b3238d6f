#include "core/estimators/sc/demeaned.hpp"

#include <utility>

#include "core/linalg/means.hpp"
#include "core/linalg/simplex.hpp"
#include "core/panic.hpp"

namespace quintara::estimators::sc::demeaned {

ScFit fit_at(const Panel& panel, std::size_t t0, const FpOptions& options) {
  BlockSeries b = block_series(panel, t0);
  return fit_series(b.y_pre(), b.y_post(), b.X_pre(), b.X_post(), std::move(b.donors), options);
}

ScFit fit_series(std::span<const double> y_pre, std::span<const double> y_post,
                 const linalg::MatView& X_pre, const linalg::MatView& X_post,
                 std::vector<std::size_t> donors, const FpOptions& options) {
  const std::size_t t0 = X_pre.rows;
  const std::size_t J = X_pre.cols;
  const std::size_t P = y_post.size();

  // The pre-means are sums times 1/t0; with no pre-period they are 0.
  const auto pre_mean = [t0](std::span<const double> v) {
    return t0 == 0 ? 0.0 : linalg::mean_recip(v);
  };
  std::vector<double> mu(J);
  for (std::size_t j = 0; j < J; ++j) mu[j] = pre_mean(X_pre.col(j));
  const double m = pre_mean(y_pre);

  linalg::Mat X_c(t0, J);
  for (std::size_t j = 0; j < J; ++j) {
    for (std::size_t t = 0; t < t0; ++t) X_c(t, j) = X_pre(t, j) - mu[j];
  }
  std::vector<double> y_c(t0);
  for (std::size_t t = 0; t < t0; ++t) y_c[t] = y_pre[t] - m;

  std::vector<double> w =
      linalg::sc_weights_bounded(X_c, y_c, options.ridge, options.min_weight, options.max_weight)
          .weights;

  std::vector<double> e(t0);
  for (std::size_t t = 0; t < t0; ++t) {
    double fit = 0.0;
    for (std::size_t j = 0; j < J; ++j) fit += w[j] * X_c(t, j);
    e[t] = y_c[t] - fit;
  }

  // The treated level comes back through m, the donors enter only as
  // deviations from their own pre-means.
  std::vector<double> counterfactual(P);
  for (std::size_t p = 0; p < P; ++p) {
    double dev = 0.0;
    for (std::size_t j = 0; j < J; ++j) dev += (X_post(p, j) - mu[j]) * w[j];
    counterfactual[p] = m + dev;
  }
  return assemble_fit(std::move(w), std::move(donors), y_post, std::move(counterfactual), rmspe(e));
}

}  // namespace quintara::estimators::sc::demeaned
