#include "core/estimators/sc/robust.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "core/linalg/lstsq.hpp"
#include "core/linalg/svd.hpp"
#include "core/panic.hpp"

namespace quintara::estimators::sc::robust {

namespace {

// Number of singular components to keep. With s in descending order, k_max =
// min(J, t0, r) bounds the rank by what the pre-period regression can
// identify; at least one component is always kept.
std::size_t retained_rank(const std::vector<double>& s, std::size_t J, std::size_t t0,
                          const RscOptions& options) {
  const std::size_t r = s.size();
  const std::size_t k_max = std::min({J, t0, r});
  const std::size_t floor = std::max<std::size_t>(k_max, 1);
  if (options.rank) return *options.rank == 0 ? 1 : std::min(*options.rank, floor);
  if (r == 0) return 1;
  double E = 0.0;
  for (const double v : s) E += v * v;
  if (!(E > 0.0)) return floor;
  // fmax/fmin send a NaN energy to 0 (one component) instead of propagating.
  const double target = std::fmin(std::fmax(options.energy, 0.0), 1.0) * E;
  double sum = 0.0;
  for (std::size_t i = 0;; ++i) {
    if (i + 1 >= k_max) return std::min(floor, i + 1);
    sum += s[i] * s[i];
    if (sum >= target) return std::min(floor, i + 1);
  }
}

}  // namespace

ScFit fit_at(const Panel& panel, std::size_t t0, const RscOptions& options) {
  BlockSeries b = block_series(panel, t0);
  return fit_series(b.y_pre(), b.y_post(), b.X_pre(), b.X_post(), std::move(b.donors), options);
}

ScFit fit_series(std::span<const double> y_pre, std::span<const double> y_post,
                 const linalg::MatView& X_pre, const linalg::MatView& X_post,
                 std::vector<std::size_t> donors, const RscOptions& options) {
  const std::size_t t0 = X_pre.rows, P = X_post.rows, J = X_pre.cols;

  // One SVD of the whole donor panel: the post-period rows share the factors
  // that the pre-period regression is fitted on. Blocks cut as consecutive
  // row ranges of one donor matrix already are that panel; others are
  // stacked into a copy.
  const bool adjacent =
      J > 0 && X_post.cols == J && X_post.ld == X_pre.ld && X_post.data == X_pre.data + t0;
  linalg::MatView Z{X_pre.data, t0 + P, J, X_pre.ld};
  linalg::Mat stacked;
  if (!adjacent) {
    stacked = linalg::Mat(t0 + P, J);
    for (std::size_t j = 0; j < J; ++j) {
      const auto pre = X_pre.col(j);
      const auto post = X_post.col(j);
      auto z = stacked.col_mut(j);
      std::copy(pre.begin(), pre.end(), z.begin());
      std::copy(post.begin(), post.end(), z.begin() + static_cast<std::ptrdiff_t>(t0));
    }
    Z = stacked;
  }
  const linalg::Svd S = linalg::Svd::new_tol(Z, linalg::kJacobiMaxSweeps, linalg::kJacobiTol);
  const std::size_t k = retained_rank(S.s, J, t0, options);

  linalg::Mat A_pre(t0, k), A_post(P, k);
  for (std::size_t i = 0; i < k; ++i) {
    check_index(i, S.s.size());
    const double si = S.s[i];
    for (std::size_t t = 0; t < t0; ++t) A_pre(t, i) = S.u(t, i) * si;
    for (std::size_t s = 0; s < P; ++s) A_post(s, i) = S.u(t0 + s, i) * si;
  }

  auto solved =
      options.ridge > 0.0 ? linalg::ridge(A_pre, y_pre, options.ridge) : linalg::ols(A_pre, y_pre);
  // A failed solve leaves the counterfactual at zero instead of failing the fit.
  const std::vector<double> beta = solved ? std::move(solved).value() : std::vector<double>(k, 0.0);

  // Weights in donor space: the de-noised pre-period donor matrix times w
  // equals A_pre beta.
  std::vector<double> w(J);
  for (std::size_t j = 0; j < J; ++j) {
    double acc = 0.0;
    for (std::size_t i = 0; i < k; ++i) acc += S.v(j, i) * beta[i];
    w[j] = acc;
  }

  std::vector<double> gap_pre(t0), fitted_pre(t0);
  for (std::size_t t = 0; t < t0; ++t) {
    double fitted = 0.0;
    for (std::size_t i = 0; i < k; ++i) fitted += A_pre(t, i) * beta[i];
    fitted_pre[t] = fitted;
    gap_pre[t] = y_pre[t] - fitted;
  }
  std::vector<double> counterfactual(P);
  for (std::size_t s = 0; s < P; ++s) {
    double c = 0.0;
    for (std::size_t i = 0; i < k; ++i) c += A_post(s, i) * beta[i];
    counterfactual[s] = c;
  }
  return assemble_fit(std::move(w), std::move(donors), y_post, std::move(counterfactual),
                      rmspe(gap_pre), std::move(fitted_pre));
}

}  // namespace quintara::estimators::sc::robust
