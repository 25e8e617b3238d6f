// The CP-ASC family: per-unit augmented synthetic control, pooled, with a
// conformal block-permutation test.
//
// Every treated unit is fitted on its own by augmented synthetic control;
// the per-unit effects are pooled with weights from one of three rules
// (inverse pre-fit MSPE, the same within strata of outcome level, or
// proportional to the outcome level). The null of no effect is tested on the
// pooled residual path of a refit that imposes the null, i.e. plain simplex
// weights over all T periods: under the null that path is exchangeable in
// time, so the post-period window is ranked among all cyclic windows of the
// same length. Nothing is resampled; the p-value is deterministic.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <tuple>
#include <vector>

#include "core/estimators/panel.hpp"

namespace quintara::estimators::sc {

enum class CpascMode {
  Mspe,        // CP-ASC: inverse pre-fit MSPE
  Stratified,  // Strat-CP-ASC: inverse pre-fit MSPE within level strata
  Cumulative,  // C-AS-CP-ASC: proportional to |level|
};

// The augmentation options of AscOptions; the weight bounds are not options
// here: every per-unit fit uses the plain simplex [0, 1].
struct CpascOptions {
  std::optional<double> aug_lambda;
  double sc_ridge = 0.0;
  // Length of the permutation windows; none means the post-period length.
  std::optional<std::size_t> block_len;
  CpascMode mode = CpascMode::Mspe;
  std::size_t n_strata = 3;
};

namespace cpasc {

struct UnitFit {
  std::vector<double> residual;  // T values: pre-period gap, then the effect path
  std::size_t unit = 0;          // panel row
  double effect = 0.0;
  double mspe = 0.0;    // mean squared gap over the fitted window
  double level = 0.0;   // the unit's mean outcome over the fitted window
  double weight = 0.0;  // set by assign_weights
};

struct CpascFit {
  std::vector<UnitFit> units;           // main fits, treated units ascending
  std::vector<double> pooled_residual;  // T values
  std::vector<double> null_residual;    // T values, from the null-imposed refit
  double att = 0.0;
  double p_value = 0.0;
  std::size_t t0 = 0;
};

// Requires a treated and a never-treated unit ("no treated units",
// "no donor units") and t0 <= T.
CpascFit fit_at(const Panel& panel, std::size_t t0, const CpascOptions& options);

// Fills the weight of every fit from its MSPE and level. A NaN level in the
// stratified rule is an invariant violation.
void assign_weights(std::span<UnitFit> fits, CpascMode mode, std::size_t n_strata);

// Middle of the ascending sorted copy, or the mean of the two middle values;
// the list must not be empty.
double median(std::span<const double> values);

// Share of the T cyclic windows of length b whose mean |q| is at least the
// window starting at t0 (counted itself). b = min(block_len, T) when given,
// else T - t0. A window of the whole cycle gives 1 exactly.
double block_permutation_p(std::span<const double> q, std::size_t t0,
                           std::optional<std::size_t> block_len);

// How the options scale with the outcome: sc_ridge and aug_lambda in its
// units squared; block length, mode and strata are counts.
struct Traits {
  using Options = CpascOptions;
  static constexpr std::tuple kSquaredOptions{&CpascOptions::sc_ridge, &CpascOptions::aug_lambda};
};

}  // namespace cpasc
}  // namespace quintara::estimators::sc
