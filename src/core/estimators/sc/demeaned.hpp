// Demeaned synthetic control (Ferman & Pinto).
//
// Synthetic control on unit-demeaned data: every unit's pre-period mean is
// removed before the simplex weights are solved, and the treated series' own
// pre-period mean is added back to the weighted donor deviations to build the
// counterfactual. A treated level outside the donors' convex hull is thus no
// obstacle; only the shape of the pre-period path has to be matched.
#pragma once

#include <cstddef>
#include <span>
#include <tuple>
#include <utility>
#include <vector>

#include "core/estimators/fit.hpp"
#include "core/estimators/panel.hpp"
#include "core/estimators/sc/traits.hpp"
#include "core/linalg/matrix.hpp"

namespace quintara::estimators::sc {

struct FpOptions {
  double min_weight = 0.0;
  double max_weight = 1.0;
  double ridge = 0.0;
};

namespace demeaned {

// Requires a treated and a never-treated unit ("no treated units",
// "no donor (never-treated) units") and 1 <= t0 < T.
ScFit fit_at(const Panel& panel, std::size_t t0, const FpOptions& options);

// The estimator on prepared series: y_pre (t0) and y_post (P) the aggregated
// treated series, X_pre (t0 x J) and X_post (P x J) the donor blocks with one
// donor per column; `donors` moves into the result.
ScFit fit_series(std::span<const double> y_pre, std::span<const double> y_post,
                 const linalg::MatView& X_pre, const linalg::MatView& X_post,
                 std::vector<std::size_t> donors, const FpOptions& options);

// Gram matrix of the pre-period block with every column centred on its own
// pre-mean: a placebo pool's Gram matrix is a principal submatrix of it.
linalg::Mat pre_period_gram(const linalg::MatView& X_pre);

// The in-space placebo refit in which donor `own` of the whole block plays
// the treated unit and the other donors, in order, form the pool: bit for
// bit fit_series on the block without column `own`, with that column as the
// treated series. `G_all` is pre_period_gram(X_pre); no pool is copied.
ScFit fit_placebo(const linalg::MatView& X_pre, const linalg::MatView& X_post,
                  const linalg::MatView& G_all, std::size_t own, std::vector<std::size_t> donors,
                  const FpOptions& options);

// The method list's description of this estimator (see traits.hpp).
struct Traits {
  using Options = FpOptions;
  static constexpr std::string_view kDisplay = "FP";
  static constexpr std::string_view kName = "fp";
  static constexpr std::string_view kAlias = "dsc";
  // Ranked by |att|, as SDID is.
  static constexpr Statistic kStatistic = Statistic::AbsAtt;
  // The weights and level come from the pre-period.
  static constexpr bool kLinearInPoolPost = true;
  static constexpr std::tuple kSquaredOptions{&FpOptions::ridge};

  static Options geo_options(double min_w, double max_w) {
    return with_bounds<Options>(min_w, max_w);
  }
  static Options batch_options(const BatchRow& r) {
    Options o = with_bounds<Options>(r.min_weight, r.max_weight);
    o.ridge = r.ridge;
    return o;
  }
  static ScFit fit_at(const Panel& panel, std::size_t t0, const Options& o) {
    return demeaned::fit_at(panel, t0, o);
  }
  static ScFit fit_series(const SeriesView& s, std::vector<std::size_t> donors, const Options& o) {
    return demeaned::fit_series(s.y_pre(), s.y_post(), s.X_pre(), s.X_post(), std::move(donors), o);
  }
  // Its weights read the pre-period Gram with every column centred.
  static linalg::Mat placebo_gram(const linalg::MatView& X_pre) { return pre_period_gram(X_pre); }
  static ScFit fit_placebo(const linalg::MatView& X_pre, const linalg::MatView& X_post,
                           const linalg::Mat& gram, std::size_t own, std::vector<std::size_t> pool,
                           const Options& o) {
    return demeaned::fit_placebo(X_pre, X_post, gram, own, std::move(pool), o);
  }
};

}  // namespace demeaned
}  // namespace quintara::estimators::sc
