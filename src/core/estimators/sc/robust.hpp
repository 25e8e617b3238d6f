// Robust (spectrally de-noised) synthetic control, after Amjad, Shah & Shen.
//
// The donor panel, pre- and post-period stacked, is hard-thresholded to its
// leading singular components; the treated pre-period is regressed (least
// squares, or ridge) on the retained pre-period factors, and the same
// coefficients applied to the post-period factors give the counterfactual.
// The implied donor weights are unconstrained: they may be negative and need
// not sum to one.
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
#include "core/linalg/matrix.hpp"

namespace quintara::estimators::sc {

struct RscOptions {
  // Singular components kept; none chooses the smallest rank carrying
  // `energy` of the squared spectrum. Capped at min(J, t0); 0 keeps one.
  std::optional<std::size_t> rank;
  double energy = 0.999;
  double ridge = 0.0;  // 0 (or not > 0) means ordinary least squares
};

namespace robust {

// Requires a treated and a never-treated unit ("no treated units",
// "no donor (never-treated) units") and 1 <= t0 < T.
ScFit fit_at(const Panel& panel, std::size_t t0, const RscOptions& options);

// The fit on prepared series: X_pre is t0 x J and X_post P x J (column j =
// donor j), y_pre and y_post the treated series over the same periods. A
// failed regression gives zero coefficients rather than an error.
ScFit fit_series(std::span<const double> y_pre, std::span<const double> y_post,
                 const linalg::MatView& X_pre, const linalg::MatView& X_post,
                 std::vector<std::size_t> donors, const RscOptions& options);

// The method list's description of this estimator (see traits.hpp). No
// placebo fast path: each refit de-noises its own pool.
struct Traits {
  using Options = RscOptions;
  static constexpr std::string_view kDisplay = "RSC";
  static constexpr std::string_view kName = "rsc";
  static constexpr std::string_view kAlias = "";
  static constexpr Statistic kStatistic = Statistic::RmspeRatio;
  // Its de-noising reads the pool's post-period.
  static constexpr bool kLinearInPoolPost = false;
  static constexpr std::tuple kSquaredOptions{&RscOptions::ridge};

  // Its own defaults: it takes neither bounds nor a shared ridge.
  static Options geo_options(double, double) { return {}; }
  static Options batch_options(const BatchRow&) { return {}; }
  static ScFit fit_at(const Panel& panel, std::size_t t0, const Options& o) {
    return robust::fit_at(panel, t0, o);
  }
  static ScFit fit_series(const SeriesView& s, std::vector<std::size_t> donors, const Options& o) {
    return robust::fit_series(s.y_pre(), s.y_post(), s.X_pre(), s.X_post(), std::move(donors), o);
  }
};

}  // namespace robust
}  // namespace quintara::estimators::sc
