#include "core/estimators/sc/synthetic.hpp"

#include "core/linalg/kernels.hpp"
#include "core/linalg/simplex.hpp"
#include "core/panic.hpp"

namespace quintara::estimators::sc::synthetic {

std::vector<double> solve_weights(const linalg::MatView& X_pre, std::span<const double> y_pre,
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
  const std::size_t max_iter = bounded ? linalg::kBoundedMaxIter : linalg::kFwMaxIter;
  const double tol = bounded ? linalg::kBoundedTol : linalg::kFwTol;

  return linalg::solve_bounded(G, c, max_iter, options.ridge, options.min_weight,
                               options.max_weight, tol)
      .weights;
}

ScFit fit_at(const Panel& panel, std::size_t t0, const ScOptions& options) {
  BlockSeries b = block_series(panel, t0);
  return fit_series(b.y_pre(), b.y_post(), b.X_pre(), b.X_post(), std::move(b.donors), options);
}

ScFit fit_series(std::span<const double> y_pre, std::span<const double> y_post,
                 const linalg::MatView& X_pre, const linalg::MatView& X_post,
                 std::vector<std::size_t> donors, const ScOptions& options) {
  const std::size_t t0 = X_pre.rows;
  std::vector<double> w = solve_weights(X_pre, y_pre, options);

  const std::vector<double> s_pre = linalg::matvec(X_pre, w);
  std::vector<double> gap_pre(t0);
  for (std::size_t t = 0; t < t0; ++t) gap_pre[t] = y_pre[t] - s_pre[t];

  std::vector<double> counterfactual = linalg::matvec(X_post, w);
  return assemble_fit(std::move(w), std::move(donors), y_post, std::move(counterfactual),
                      rmspe(gap_pre));
}

}  // namespace quintara::estimators::sc::synthetic
