// What the method list needs to know of one synthetic-control-family
// estimator, declared once at the end of that estimator's header as
// `<namespace>::Traits`:
//
//   using Options                  the estimator's options record
//   kDisplay, kName, kAlias        "SC"; the parsed name "sc"; an alias or ""
//   kStatistic                     what its placebo test ranks (and so the
//                                  statistic's units)
//   kLinearInPoolPost              whether the counterfactual is linear in the
//                                  pool's post-period, with coefficients the
//                                  pre-period fixes (how a placebo test with
//                                  the treated units in its pools inverts)
//   kSquaredOptions                the options measured in the outcome's
//                                  units squared (ridges and penalties), as
//                                  member pointers; the runs rescale exactly
//                                  these with the outcome.
//   kOutcomeOptions   (optional)   the same for options in the outcome's own
//                                  units. Every other option is unitless or a
//                                  count.
//   kFreeLevel        (optional)   true where the fit holds the treated
//                                  level free, so an in-sample residual is
//                                  taken around its mean (default false)
//   geo_options(min_w, max_w)      the geo design's fixed options
//   batch_options(row)             the batched fits' options
//   fit_at, fit_series             the fit on a panel and on prepared series
//   prepare_at        (optional)   a fit kept for re-assembly (default: the
//                                  fit, re-assembled from its counterfactual)
//   placebo_gram, fit_placebo      (optional, together) the placebo fast
//                                  path: one Gram of the whole donor block,
//                                  each refit reading its pool in place
//
// `ScTraits` checks the required members where the list is formed, so an
// estimator missing one fails to compile at the list, not at a caller.
#pragma once

#include <cmath>
#include <concepts>
#include <cstddef>
#include <limits>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <vector>

#include "core/estimators/fit.hpp"
#include "core/estimators/panel.hpp"
#include "core/estimators/prepared.hpp"
#include "core/linalg/matrix.hpp"

namespace quintara::estimators::sc {

// The statistic an in-space placebo test ranks.
enum class Statistic : unsigned char {
  // Post/pre RMSPE ratio: unitless. For estimators whose post-period
  // residual spread responds to a constant effect.
  RmspeRatio,
  // |att|: in the outcome's units. For estimators whose post-period spread
  // is the effect path's spread around its mean, blind to a constant effect.
  AbsAtt,
  // |att| / pre_rmspe (+inf unless pre_rmspe > 0): unitless, so placebo
  // units of different scales compare. What AbsAtt estimators rank in the
  // matched placebo test.
  StandardisedAtt,
};

constexpr bool in_outcome_units(Statistic s) { return s == Statistic::AbsAtt; }

// The ratios are +inf unless the pre-period RMSPE is a positive number, so a
// perfect (or NaN) pre-fit counts as maximally extreme instead of dividing
// by zero.
inline double statistic_of(Statistic s, const ScFit& fit) {
  if (s == Statistic::AbsAtt) return std::fabs(fit.att);
  if (!(fit.pre_rmspe > 0.0)) return std::numeric_limits<double>::infinity();
  if (s == Statistic::StandardisedAtt) return std::fabs(fit.att) / fit.pre_rmspe;
  return fit.post_rmspe / fit.pre_rmspe;
}

// The batched fits' shared option row; each estimator takes what it has.
struct BatchRow {
  double ridge = 0.0;
  double zeta_scale = 1.0;
  double min_weight = 0.0;
  double max_weight = 1.0;
};

// Default options with the weight bounds set: most geo and batched rows.
template <class Options>
Options with_bounds(double min_weight, double max_weight) {
  Options o;
  o.min_weight = min_weight;
  o.max_weight = max_weight;
  return o;
}

template <class T>
concept ScTraits =
    requires(const Panel& panel, std::size_t t0, const typename T::Options& o,
             const SeriesView& series, std::vector<std::size_t> donors, const BatchRow& row) {
      { T::kDisplay } -> std::convertible_to<std::string_view>;
      { T::kName } -> std::convertible_to<std::string_view>;
      { T::kAlias } -> std::convertible_to<std::string_view>;
      { T::kStatistic } -> std::convertible_to<Statistic>;
      { T::kLinearInPoolPost } -> std::convertible_to<bool>;
      std::tuple_size<std::remove_cvref_t<decltype(T::kSquaredOptions)>>::value;
      { T::geo_options(0.0, 1.0) } -> std::same_as<typename T::Options>;
      { T::batch_options(row) } -> std::same_as<typename T::Options>;
      { T::fit_at(panel, t0, o) } -> std::same_as<ScFit>;
      { T::fit_series(series, std::move(donors), o) } -> std::same_as<ScFit>;
    };

template <class T>
constexpr bool has_free_level() {
  if constexpr (requires { T::kFreeLevel; }) {
    return T::kFreeLevel;
  } else {
    return false;
  }
}

template <class T>
concept HasPrepareAt = requires(const Panel& panel, std::size_t t0, const typename T::Options& o) {
  { T::prepare_at(panel, t0, o) } -> std::same_as<PreparedFit>;
};

template <class T>
concept HasPlaceboFastPath =
    requires(const linalg::MatView& X, const linalg::Mat& gram, std::size_t own,
             std::vector<std::size_t> pool, const typename T::Options& o) {
      { T::placebo_gram(X) } -> std::same_as<linalg::Mat>;
      { T::fit_placebo(X, X, gram, own, std::move(pool), o) } -> std::same_as<ScFit>;
    };

}  // namespace quintara::estimators::sc
