// Classic synthetic control for a block design.
//
// The treated units' averaged path is reproduced before t0 by a weighted
// combination of never-treated donors, weights on the (optionally bounded)
// simplex, with an optional ridge term and the pairwise-discrepancy penalty
// of Abadie & L'Hour. The same weights after t0 give the counterfactual.
#pragma once

#include <cstddef>
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

struct ScOptions {
  double min_weight = 0.0;
  double max_weight = 1.0;
  double ridge = 0.0;
  double penalty = 0.0;
};

namespace synthetic {

// Weights for the t0 x J donor matrix X_pre and the treated pre-period series.
std::vector<double> solve_weights(const linalg::MatView& X_pre, std::span<const double> y_pre,
                                  const ScOptions& options);

// Requires a treated and a never-treated unit ("no treated units",
// "no donor (never-treated) units") and 1 <= t0 < T.
ScFit fit_at(const Panel& panel, std::size_t t0, const ScOptions& options);

// The estimator on prepared series: y_pre (t0) and y_post (P) the aggregated
// treated series, X_pre (t0 x J) and X_post (P x J) the donor blocks with one
// donor per column; `donors` moves into the result.
ScFit fit_series(std::span<const double> y_pre, std::span<const double> y_post,
                 const linalg::MatView& X_pre, const linalg::MatView& X_post,
                 std::vector<std::size_t> donors, const ScOptions& options);

// The in-space placebo refit in which donor `own` of the whole block plays
// the treated unit and the other donors, in order, form the pool: bit for
// bit fit_series on the block without column `own`, with that column as the
// treated series. `G_all` is syrk_ata(X_pre): the pool's Gram matrix is its
// principal submatrix and the linear term the rest of column `own` (each
// entry the same sum over periods in the same order), so the Gram matrix is
// built once for all placebos and no pool is copied.
ScFit fit_placebo(const linalg::MatView& X_pre, const linalg::MatView& X_post,
                  const linalg::MatView& G_all, std::size_t own, std::vector<std::size_t> donors,
                  const ScOptions& options);

// The method list's description of this estimator (see traits.hpp).
struct Traits {
  using Options = ScOptions;
  static constexpr std::string_view kDisplay = "SC";
  static constexpr std::string_view kName = "sc";
  static constexpr std::string_view kAlias = "";
  static constexpr Statistic kStatistic = Statistic::RmspeRatio;
  // The weights come from the pre-period.
  static constexpr bool kLinearInPoolPost = true;
  static constexpr std::tuple kSquaredOptions{&ScOptions::ridge};

  static Options geo_options(double min_w, double max_w) { return {min_w, max_w, 0.0, 0.0}; }
  static Options batch_options(const BatchRow& r) {
    return {r.min_weight, r.max_weight, r.ridge, 0.0};
  }
  static ScFit fit_at(const Panel& panel, std::size_t t0, const Options& o) {
    return synthetic::fit_at(panel, t0, o);
  }
  static ScFit fit_series(const SeriesView& s, std::vector<std::size_t> donors, const Options& o) {
    return synthetic::fit_series(s.y_pre(), s.y_post(), s.X_pre(), s.X_post(), std::move(donors),
                                 o);
  }
  // The weights read the pool only through its Gram matrix, a principal
  // submatrix of the whole block's.
  static linalg::Mat placebo_gram(const linalg::MatView& X_pre) { return linalg::syrk_ata(X_pre); }
  static ScFit fit_placebo(const linalg::MatView& X_pre, const linalg::MatView& X_post,
                           const linalg::Mat& gram, std::size_t own, std::vector<std::size_t> pool,
                           const Options& o) {
    return synthetic::fit_placebo(X_pre, X_post, gram, own, std::move(pool), o);
  }
};

}  // namespace synthetic
}  // namespace quintara::estimators::sc
