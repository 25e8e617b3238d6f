#include "core/estimators/sc/augmented.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "core/estimators/sc/donor_pool.hpp"
#include "core/linalg/active_set.hpp"
#include "core/linalg/cholesky.hpp"
#include "core/linalg/kernels.hpp"
#include "core/linalg/means.hpp"
#include "core/linalg/simplex.hpp"
#include "core/panic.hpp"

namespace quintara::estimators::sc::augmented {

ScFit fit_at(const Panel& panel, std::size_t t0, const AscOptions& options) {
  BlockSeries b = block_series(panel, t0, "no donor units");
  return fit_series(b.y_pre(), b.y_post(), b.X_pre(), b.X_post(), std::move(b.donors), options);
}

namespace {

// Doublings of a floored ridge the factorisation may still need: far more
// than rounding can ask for, and the loop has a bound.
constexpr int kRidgeDoublings = 64;

// The factor of G + lambda I. A ridge below the rounding level of G's sums
// (t0 * eps * its largest diagonal element) is lost in them, and a null
// direction of the donors (constant or duplicated rows, more donors than
// periods) then leaves a pivot of zero or below: such a ridge is raised to
// that level, and doubled while rounding still defeats it. A ridge at or
// above the level that factors is used as given.
linalg::Cholesky ridge_factor(const linalg::Mat& G, double lambda) {
  const std::size_t n = G.rows;
  double max_diag = 0.0;
  for (std::size_t t = 0; t < n; ++t) max_diag = std::fmax(max_diag, G(t, t));
  const double floor = static_cast<double>(n) * std::numeric_limits<double>::epsilon() * max_diag;
  double ridge = std::fmax(lambda, floor);
  linalg::Expected<linalg::Cholesky> chol = linalg::Cholesky::new_ridge(G, ridge);
  for (int k = 0; !chol && k < kRidgeDoublings; ++k) {
    ridge = ridge + ridge;
    chol = linalg::Cholesky::new_ridge(G, ridge);
  }
  return std::move(chol).expect("centered Gram + ridge at its rounding level is SPD");
}

// The fit on a pool; `sc_weights()` returns its synthetic-control weights.
template <class Weights>
ScFit fit_pool(std::span<const double> y_pre, std::span<const double> y_post, const DonorPool& pool,
               std::vector<std::size_t> donors, const AscOptions& options, Weights&& sc_weights) {
  const std::size_t t0 = pool.X_pre.rows;
  const std::size_t J = pool.size();
  const std::size_t P = y_post.size();

  std::vector<double> w = sc_weights();
  // The pre-period synthetic series as matvec forms it: columns of zero
  // weight are skipped, the others added in donor order.
  std::vector<double> s_pre(t0, 0.0);
  for (std::size_t j = 0; j < J; ++j) {
    const double t = w[j] * 1.0;
    if (t == 0.0) continue;
    const double* x = pool.pre(j);
    for (std::size_t k = 0; k < t0; ++k) s_pre[k] = s_pre[k] + x[k] * t;
  }
  std::vector<double> r(t0);
  for (std::size_t t = 0; t < t0; ++t) r[t] = y_pre[t] - s_pre[t];

  // Centre across donors period by period, so the ridge regression has no
  // intercept to shrink. A division per period, not a reciprocal product.
  linalg::Mat X_c(t0, J);
  for (std::size_t t = 0; t < t0; ++t) {
    // With no donor the mean is 0/0 but never read.
    const double mean = linalg::mean_div(J, [&](std::size_t k) { return pool.pre(k)[t]; });
    for (std::size_t j = 0; j < J; ++j) X_c(t, j) = pool.pre(j)[t] - mean;
  }
  // The ridge system lives in period space (t0 x t0): one factorisation
  // serves every post-period.
  const linalg::Mat G = linalg::syrk_ata(X_c.transpose());
  double lambda = 0.0;
  if (options.aug_lambda) {
    lambda = *options.aug_lambda;
  } else {
    double trace = 0.0;
    for (std::size_t t = 0; t < t0; ++t) trace += G(t, t);
    lambda = 0.1 * trace / static_cast<double>(std::max<std::size_t>(t0, 1));
  }
  // lambda <= 0 only when every donor equals the donor mean over the
  // pre-period (one donor, say): X_c = 0 and plain synthetic control remains.
  std::optional<linalg::Cholesky> chol;
  if (lambda > 0.0) chol = ridge_factor(G, lambda);

  std::vector<double> counterfactual(P);
  std::vector<double> x_s(J);
  for (std::size_t p = 0; p < P; ++p) {
    for (std::size_t j = 0; j < J; ++j) x_s[j] = pool.post(j)[p];
    double c = 0.0;
    for (std::size_t j = 0; j < J; ++j) c += x_s[j] * w[j];
    double d = 0.0;
    if (chol) {
      const std::vector<double> b = chol->solve_vec(linalg::matvec(X_c, x_s));
      const std::size_t n = std::min(r.size(), b.size());
      for (std::size_t t = 0; t < n; ++t) d += r[t] * b[t];
    }
    counterfactual[p] = c + d;
  }
  // pre_rmspe is the plain synthetic-control residual's: the augmentation has
  // no pre-period fit of its own to report.
  // The augmentation corrects the post-period only; before it the path is
  // the synthetic-control part whose residual pre_rmspe measures.
  return assemble_fit(std::move(w), std::move(donors), y_post, std::move(counterfactual), rmspe(r),
                      std::move(s_pre));
}

}  // namespace

ScFit fit_series(std::span<const double> y_pre, std::span<const double> y_post,
                 const linalg::MatView& X_pre, const linalg::MatView& X_post,
                 std::vector<std::size_t> donors, const AscOptions& options) {
  const DonorPool pool{X_pre, X_post};
  return fit_pool(y_pre, y_post, pool, std::move(donors), options, [&] {
    return linalg::sc_weights_bounded(X_pre, y_pre, options.sc_ridge, options.min_weight,
                                      options.max_weight)
        .weights;
  });
}

ScFit fit_placebo(const linalg::MatView& X_pre, const linalg::MatView& X_post,
                  const linalg::MatView& G_all, std::size_t own, std::vector<std::size_t> donors,
                  const AscOptions& options) {
  const std::size_t J = X_pre.cols;
  QUINTARA_ASSERT_EQ(G_all.rows, J, "augmented fit_placebo: one Gram row per donor");
  const DonorPool pool{X_pre, X_post, own};
  return fit_pool(X_pre.col(own), X_post.col(own), pool, std::move(donors), options, [&] {
    const auto [G, g] = placebo_gram(G_all, pool);
    return linalg::solve_simplex_qp(G, g, options.sc_ridge, options.min_weight, options.max_weight)
        .weights;
  });
}

}  // namespace quintara::estimators::sc::augmented
