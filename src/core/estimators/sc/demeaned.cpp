#include "core/estimators/sc/demeaned.hpp"

#include <utility>

#include "core/estimators/sc/donor_pool.hpp"
#include "core/linalg/active_set.hpp"
#include "core/linalg/kernels.hpp"
#include "core/linalg/means.hpp"
#include "core/linalg/simplex.hpp"
#include "core/panic.hpp"

namespace quintara::estimators::sc::demeaned {

ScFit fit_at(const Panel& panel, std::size_t t0, const FpOptions& options) {
  BlockSeries b = block_series(panel, t0);
  return fit_series(b.y_pre(), b.y_post(), b.X_pre(), b.X_post(), std::move(b.donors), options);
}

namespace {

// The pre-means are sums times 1/t0; with no pre-period they are 0.
double pre_mean(std::size_t t0, const double* v) {
  return t0 == 0 ? 0.0 : linalg::mean_recip(t0, [v](std::size_t t) { return v[t]; });
}

// The fit on a pool; `solve(mu, m)` returns the weights for the donors'
// pre-means mu and the treated pre-mean m.
template <class Solve>
ScFit fit_pool(std::span<const double> y_pre, std::span<const double> y_post, const DonorPool& pool,
               std::vector<std::size_t> donors, Solve&& solve) {
  const std::size_t t0 = pool.X_pre.rows;
  const std::size_t J = pool.size();
  const std::size_t P = y_post.size();

  std::vector<double> mu(J);
  for (std::size_t j = 0; j < J; ++j) mu[j] = pre_mean(t0, pool.pre(j));
  const double m = pre_mean(t0, y_pre.data());
  std::vector<double> w = solve(mu, m);

  // Sums over the donors in donor order, for all periods at once (each
  // period's sum is the same sequence of additions as one at a time).
  // The treated level comes back through m, the donors enter only as
  // deviations from their own pre-means.
  std::vector<double> fit(t0, 0.0), counterfactual(P, 0.0);
  for (std::size_t j = 0; j < J; ++j) {
    const double* x = pool.pre(j);
    for (std::size_t t = 0; t < t0; ++t) fit[t] += w[j] * (x[t] - mu[j]);
    const double* xp = pool.post(j);
    for (std::size_t p = 0; p < P; ++p) counterfactual[p] += (xp[p] - mu[j]) * w[j];
  }
  std::vector<double> e(t0);
  for (std::size_t t = 0; t < t0; ++t) e[t] = (y_pre[t] - m) - fit[t];
  for (std::size_t p = 0; p < P; ++p) counterfactual[p] = m + counterfactual[p];
  // The path carries the treated pre-mean back as its level, as the
  // counterfactual does.
  for (std::size_t t = 0; t < t0; ++t) fit[t] = m + fit[t];
  return assemble_fit(std::move(w), std::move(donors), y_post, std::move(counterfactual), rmspe(e),
                      std::move(fit));
}

}  // namespace

ScFit fit_series(std::span<const double> y_pre, std::span<const double> y_post,
                 const linalg::MatView& X_pre, const linalg::MatView& X_post,
                 std::vector<std::size_t> donors, const FpOptions& options) {
  const std::size_t t0 = X_pre.rows;
  const DonorPool pool{X_pre, X_post};
  return fit_pool(y_pre, y_post, pool, std::move(donors), [&](const auto& mu, double m) {
    const std::size_t J = X_pre.cols;
    linalg::Mat X_c(t0, J);
    for (std::size_t j = 0; j < J; ++j) {
      for (std::size_t t = 0; t < t0; ++t) X_c(t, j) = X_pre(t, j) - mu[j];
    }
    std::vector<double> y_c(t0);
    for (std::size_t t = 0; t < t0; ++t) y_c[t] = y_pre[t] - m;
    return linalg::sc_weights_bounded(X_c, y_c, options.ridge, options.min_weight,
                                      options.max_weight)
        .weights;
  });
}

linalg::Mat pre_period_gram(const linalg::MatView& X_pre) {
  const std::size_t t0 = X_pre.rows, J = X_pre.cols;
  linalg::Mat X_c(t0, J);
  for (std::size_t j = 0; j < J; ++j) {
    const double* x = X_pre.data + j * X_pre.ld;
    const double mu = pre_mean(t0, x);
    for (std::size_t t = 0; t < t0; ++t) X_c(t, j) = x[t] - mu;
  }
  return linalg::syrk_ata(X_c);
}

ScFit fit_placebo(const linalg::MatView& X_pre, const linalg::MatView& X_post,
                  const linalg::MatView& G_all, std::size_t own, std::vector<std::size_t> donors,
                  const FpOptions& options) {
  const std::size_t J = X_pre.cols;
  QUINTARA_ASSERT_EQ(G_all.rows, J, "demeaned fit_placebo: one Gram row per donor");
  const DonorPool pool{X_pre, X_post, own};
  return fit_pool(
      X_pre.col(own), X_post.col(own), pool, std::move(donors), [&](const auto&, double) {
        const auto [G, g] = placebo_gram(G_all, pool);
        return linalg::solve_simplex_qp(G, g, options.ridge, options.min_weight, options.max_weight)
            .weights;
      });
}

}  // namespace quintara::estimators::sc::demeaned
