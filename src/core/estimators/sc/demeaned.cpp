#include "core/estimators/sc/demeaned.hpp"

#include <utility>

#include "core/linalg/simplex.hpp"
#include "core/panic.hpp"

namespace quintara::estimators::sc::demeaned {

ScFit fit_at(const Panel& panel, std::size_t t0, const FpOptions& options) {
  const std::vector<std::size_t> treated = panel.treated_units();
  if (treated.empty()) panic("no treated units");
  auto [X_pre, donors] = panel.donor_pre(t0);
  if (donors.empty()) panic("no donor (never-treated) units");
  const linalg::Mat X_post = panel.donor_post(t0).first;

  const std::vector<double> ybar = panel.unit_mean(treated);
  const std::span<const double> all(ybar);
  return fit_series(all.first(t0), all.subspan(t0), X_pre, X_post, std::move(donors), options);
}

ScFit fit_series(std::span<const double> y_pre, std::span<const double> y_post,
                 const linalg::Mat& X_pre, const linalg::Mat& X_post,
                 std::vector<std::size_t> donors, const FpOptions& options) {
  const std::size_t t0 = X_pre.rows;
  const std::size_t J = X_pre.cols;
  const std::size_t P = y_post.size();

  // One reciprocal, then products: the pre-means are sums times 1/t0.
  const double r = t0 == 0 ? 0.0 : 1.0 / static_cast<double>(t0);
  std::vector<double> mu(J);
  for (std::size_t j = 0; j < J; ++j) {
    double s = 0.0;
    for (const double v : X_pre.col(j)) s += v;
    mu[j] = s * r;
  }
  double s = 0.0;
  for (const double v : y_pre) s += v;
  const double m = s * r;

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
  std::vector<double> att_path(P);
  for (std::size_t p = 0; p < P; ++p) {
    double dev = 0.0;
    for (std::size_t j = 0; j < J; ++j) dev += (X_post(p, j) - mu[j]) * w[j];
    counterfactual[p] = m + dev;
    att_path[p] = y_post[p] - counterfactual[p];
  }

  ScFit fit;
  fit.att = mean_or_zero(att_path);
  fit.pre_rmspe = rmspe(e);
  fit.post_rmspe = rmspe(att_path);
  fit.weights = std::move(w);
  fit.donor_ids = std::move(donors);
  fit.att_path = std::move(att_path);
  fit.counterfactual = std::move(counterfactual);
  fit.treated_post.assign(y_post.begin(), y_post.end());
  return fit;
}

}  // namespace quintara::estimators::sc::demeaned
