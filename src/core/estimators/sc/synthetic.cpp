#include "core/estimators/sc/synthetic.hpp"

#include "core/estimators/sc/donor_pool.hpp"
#include "core/linalg/active_set.hpp"
#include "core/linalg/kernels.hpp"
#include "core/panic.hpp"

namespace quintara::estimators::sc::synthetic {

namespace {

// Pairwise-discrepancy penalty: it is linear in w on the simplex, so it only
// shifts the linear term, by half the penalty times each donor's own squared
// distance to the treated path. Column `skip` of X_pre is not a donor.
void shift_for_penalty(std::vector<double>& c, const linalg::MatView& X_pre,
                       std::span<const double> y_pre, std::size_t skip, double penalty) {
  if (!(penalty > 0.0)) return;
  std::size_t k = 0;
  for (std::size_t j = 0; j < X_pre.cols; ++j) {
    if (j == skip) continue;
    const auto xj = X_pre.col(j);
    double d = 0.0;
    for (std::size_t t = 0; t < X_pre.rows; ++t) {
      const double diff = y_pre[t] - xj[t];
      d += diff * diff;
    }
    c[k] = c[k] - 0.5 * penalty * d;
    ++k;
  }
}

ScFit assemble(std::vector<double> w, std::span<const double> w_all, std::span<const double> y_pre,
               std::span<const double> y_post, const linalg::MatView& X_pre,
               const linalg::MatView& X_post, std::vector<std::size_t> donors) {
  const std::size_t t0 = X_pre.rows;
  std::vector<double> s_pre = linalg::matvec(X_pre, w_all);
  std::vector<double> gap_pre(t0);
  for (std::size_t t = 0; t < t0; ++t) gap_pre[t] = y_pre[t] - s_pre[t];
  std::vector<double> counterfactual = linalg::matvec(X_post, w_all);
  return assemble_fit(std::move(w), std::move(donors), y_post, std::move(counterfactual),
                      rmspe(gap_pre), std::move(s_pre));
}

}  // namespace

std::vector<double> solve_weights(const linalg::MatView& X_pre, std::span<const double> y_pre,
                                  const ScOptions& options) {
  const std::size_t J = X_pre.cols;
  // The solver works on the J x J Gram matrix, so its cost after this point
  // does not grow with the number of pre-periods.
  const linalg::Mat G = linalg::syrk_ata(X_pre);
  std::vector<double> c(J, 0.0);
  linalg::gemv_t(X_pre, y_pre, c, 1.0, 0.0);
  shift_for_penalty(c, X_pre, y_pre, J, options.penalty);
  return linalg::solve_simplex_qp(G, c, options.ridge, options.min_weight, options.max_weight)
      .weights;
}

ScFit fit_placebo(const linalg::MatView& X_pre, const linalg::MatView& X_post,
                  const linalg::MatView& G_all, std::size_t own, std::vector<std::size_t> donors,
                  const ScOptions& options) {
  const std::size_t J = X_pre.cols;
  QUINTARA_ASSERT_EQ(G_all.rows, J, "fit_placebo: one Gram row per donor");
  auto [G, c] = placebo_gram(G_all, DonorPool{X_pre, X_post, own});
  const std::span<const double> y_pre = X_pre.col(own);
  shift_for_penalty(c, X_pre, y_pre, own, options.penalty);
  std::vector<double> w =
      linalg::solve_simplex_qp(G, c, options.ridge, options.min_weight, options.max_weight).weights;
  // The whole block with a zero weight on `own`: the products skip zero
  // weights, so the sums are those over the pool alone.
  std::vector<double> w_all(J, 0.0);
  for (std::size_t k = 0, j = 0; j < J; ++j) {
    if (j != own) w_all[j] = w[k++];
  }
  return assemble(std::move(w), w_all, y_pre, X_post.col(own), X_pre, X_post, std::move(donors));
}

ScFit fit_at(const Panel& panel, std::size_t t0, const ScOptions& options) {
  BlockSeries b = block_series(panel, t0);
  return fit_series(b.y_pre(), b.y_post(), b.X_pre(), b.X_post(), std::move(b.donors), options);
}

ScFit fit_series(std::span<const double> y_pre, std::span<const double> y_post,
                 const linalg::MatView& X_pre, const linalg::MatView& X_post,
                 std::vector<std::size_t> donors, const ScOptions& options) {
  std::vector<double> w = solve_weights(X_pre, y_pre, options);
  return assemble(w, w, y_pre, y_post, X_pre, X_post, std::move(donors));
}

}  // namespace quintara::estimators::sc::synthetic
