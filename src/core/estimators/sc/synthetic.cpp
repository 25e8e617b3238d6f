#include "core/estimators/sc/synthetic.hpp"

#include "core/linalg/kernels.hpp"
#include "core/linalg/simplex.hpp"
#include "core/panic.hpp"

namespace quintara::estimators::sc::synthetic {

std::vector<double> solve_weights(const linalg::Mat& X_pre, std::span<const double> y_pre,
                                  const ScOptions& options) {
  const std::size_t J = X_pre.cols;
  const std::size_t t0 = X_pre.rows;

  // The solver works on the J x J Gram matrix, so its cost after this point
  // does not grow with the number of pre-periods.
  const linalg::Mat G = linalg::syrk_ata(X_pre);
  std::vector<double> c(J, 0.0);
  linalg::gemv_t(X_pre, y_pre, c, 1.0, 0.0);

  // Pairwise-discrepancy penalty: it is linear in w on the simplex, so it
  // only shifts the linear term, by half the penalty times each donor's own
  // squared distance to the treated path.
  if (options.penalty > 0.0) {
    for (std::size_t j = 0; j < J; ++j) {
      const auto xj = X_pre.col(j);
      double d = 0.0;
      for (std::size_t t = 0; t < t0; ++t) {
        const double diff = y_pre[t] - xj[t];
        d += diff * diff;
      }
      c[j] = c[j] - 0.5 * options.penalty * d;
    }
  }

  // Active bounds make the projected-gradient path slower to settle, hence
  // the larger budget and the tighter tolerance there.
  const bool bounded = options.min_weight > 0.0 || options.max_weight < 1.0;
  const std::size_t max_iter = bounded ? 20000 : 5000;
  const double tol = bounded ? 1e-12 : 1e-10;

  return linalg::solve_bounded(G, c, max_iter, options.ridge, options.min_weight,
                               options.max_weight, tol)
      .weights;
}

ScFit fit_at(const Panel& panel, std::size_t t0, const ScOptions& options) {
  const std::vector<std::size_t> treated = panel.treated_units();
  if (treated.empty()) panic("no treated units");
  auto [X_pre, donors] = panel.donor_pre(t0);
  if (donors.empty()) panic("no donor (never-treated) units");
  const linalg::Mat X_post = panel.donor_post(t0).first;

  // Several treated units are fitted as one averaged unit.
  const std::vector<double> ybar = panel.unit_mean(treated);
  const std::span<const double> y_pre(ybar.data(), t0);
  std::vector<double> y_post(ybar.begin() + static_cast<std::ptrdiff_t>(t0), ybar.end());

  std::vector<double> w = solve_weights(X_pre, y_pre, options);

  const std::vector<double> s_pre = linalg::matvec(X_pre, w);
  std::vector<double> gap_pre(t0);
  for (std::size_t t = 0; t < t0; ++t) gap_pre[t] = y_pre[t] - s_pre[t];

  std::vector<double> counterfactual = linalg::matvec(X_post, w);
  std::vector<double> att_path(y_post.size());
  for (std::size_t s = 0; s < y_post.size(); ++s) att_path[s] = y_post[s] - counterfactual[s];

  ScFit fit;
  fit.att = mean_or_zero(att_path);
  fit.pre_rmspe = rmspe(gap_pre);
  fit.post_rmspe = rmspe(att_path);
  fit.weights = std::move(w);
  fit.donor_ids = std::move(donors);
  fit.att_path = std::move(att_path);
  fit.counterfactual = std::move(counterfactual);
  fit.treated_post = std::move(y_post);
  return fit;
}

}  // namespace quintara::estimators::sc::synthetic
