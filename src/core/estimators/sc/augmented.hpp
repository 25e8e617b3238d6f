// Ridge-augmented synthetic control (Ben-Michael, Feller & Rothstein).
//
// A synthetic control is fitted first (simplex weights, no discrepancy
// penalty); its remaining pre-period imbalance is then corrected period by
// period with a ridge regression of the donors' post-period outcomes on their
// centred pre-period outcomes. The reported weights are the synthetic-control
// weights; the augmentation enters the counterfactual only.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <tuple>
#include <utility>
#include <vector>

#include "core/estimators/fit.hpp"
#include "core/estimators/panel.hpp"
#include "core/estimators/sc/traits.hpp"
#include "core/linalg/kernels.hpp"
#include "core/linalg/matrix.hpp"

namespace quintara::estimators::sc {

struct AscOptions {
  // Ridge penalty of the augmentation; none means 0.1 * trace(G) / t0 with G
  // the centred pre-period Gram matrix.
  std::optional<double> aug_lambda;
  double sc_ridge = 0.0;  // ridge of the synthetic-control weight problem
  double min_weight = 0.0;
  double max_weight = 1.0;
};

namespace augmented {

// Requires a treated and a never-treated unit ("no treated units",
// "no donor units") and 1 <= t0 < T.
ScFit fit_at(const Panel& panel, std::size_t t0, const AscOptions& options);

// The estimator on prepared series (t0 x J and P x J donor blocks, one donor
// per column); `donors` moves into the result.
ScFit fit_series(std::span<const double> y_pre, std::span<const double> y_post,
                 const linalg::MatView& X_pre, const linalg::MatView& X_post,
                 std::vector<std::size_t> donors, const AscOptions& options);

// The in-space placebo refit in which donor `own` of the whole block plays
// the treated unit and the other donors, in order, form the pool: bit for
// bit fit_series on the block without column `own`, with that column as the
// treated series. `G_all` is syrk_ata(X_pre), whose principal submatrix is
// the pool's synthetic-control Gram matrix; no pool is copied.
ScFit fit_placebo(const linalg::MatView& X_pre, const linalg::MatView& X_post,
                  const linalg::MatView& G_all, std::size_t own, std::vector<std::size_t> donors,
                  const AscOptions& options);

// The method list's description of this estimator (see traits.hpp).
struct Traits {
  using Options = AscOptions;
  static constexpr std::string_view kDisplay = "ASC";
  static constexpr std::string_view kName = "asc";
  static constexpr std::string_view kAlias = "";
  // Its pre_rmspe is the plain synthetic-control residual's.
  static constexpr Statistic kStatistic = Statistic::RmspeRatio;
  // Both weight parts come from the pre-period.
  static constexpr bool kLinearInPoolPost = true;
  static constexpr std::tuple kSquaredOptions{&AscOptions::sc_ridge, &AscOptions::aug_lambda};

  // The augmentation on its own default ridge.
  static Options geo_options(double min_w, double max_w) {
    return with_bounds<Options>(min_w, max_w);
  }
  static Options batch_options(const BatchRow& r) {
    Options o = with_bounds<Options>(r.min_weight, r.max_weight);
    o.sc_ridge = r.ridge;
    return o;
  }
  static ScFit fit_at(const Panel& panel, std::size_t t0, const Options& o) {
    return augmented::fit_at(panel, t0, o);
  }
  static ScFit fit_series(const SeriesView& s, std::vector<std::size_t> donors, const Options& o) {
    return augmented::fit_series(s.y_pre(), s.y_post(), s.X_pre(), s.X_post(), std::move(donors),
                                 o);
  }
  // Its weights read the same Gram matrix as synthetic control's.
  static linalg::Mat placebo_gram(const linalg::MatView& X_pre) { return linalg::syrk_ata(X_pre); }
  static ScFit fit_placebo(const linalg::MatView& X_pre, const linalg::MatView& X_post,
                           const linalg::Mat& gram, std::size_t own, std::vector<std::size_t> pool,
                           const Options& o) {
    return augmented::fit_placebo(X_pre, X_post, gram, own, std::move(pool), o);
  }
};

}  // namespace augmented
}  // namespace quintara::estimators::sc
