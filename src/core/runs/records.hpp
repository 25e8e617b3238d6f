// The plain native records behind the Python result classes.
//
// The runs fill these (without the interpreter lock where the entries release
// it); the bindings wrap them into immutable Python objects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quintara::runs {

struct PyScResult {
  double att = 0.0;
  std::vector<double> att_path;
  std::vector<double> counterfactual;
  std::vector<double> treated_post;
  std::vector<double> weights;
  std::vector<std::size_t> donor_ids;
  double pre_rmspe = 0.0;
  double post_rmspe = 0.0;
  std::optional<double> p_value;
  std::optional<double> se;
  std::optional<double> ci_lower;
  std::optional<double> ci_upper;
  std::optional<std::vector<double>> inference_distribution;
  std::optional<std::vector<double>> placebo_atts;
  std::vector<double> synthetic;
  std::optional<std::vector<std::size_t>> placebo_ids;
  std::optional<std::vector<std::vector<double>>> placebo_gaps;
  // The placebo test's own interval (its inversion) and what it ran on.
  std::optional<std::vector<std::vector<std::size_t>>> placebo_sets;
  std::optional<double> test_ci_lower;
  std::optional<double> test_ci_upper;
  std::optional<std::size_t> n_placebo_used;
  std::optional<std::size_t> n_placebo_excluded;
  std::optional<std::string> inference_method;
  std::optional<double> level;
  // The conformal test's interval for each post period's effect.
  std::optional<std::vector<double>> pointwise_lower;
  std::optional<std::vector<double>> pointwise_upper;
};

struct PyDidResult {
  double att = 0.0;
  double se = 0.0;
  std::vector<std::int64_t> event_time;
  std::vector<double> event_att;
  std::vector<double> event_se;
  std::vector<double> event_lo;
  std::vector<double> event_hi;
  std::optional<double> band_crit;
  std::vector<std::int64_t> group_cohort;
  std::vector<double> group_att;
  std::vector<double> group_se;
  std::optional<double> overall_group_att;
  std::optional<double> overall_group_se;
  // Normal intervals estimate +- z se at `level`.
  double ci_lower = 0.0;
  double ci_upper = 0.0;
  std::vector<double> event_ci_lower;
  std::vector<double> event_ci_upper;
  std::vector<double> group_ci_lower;
  std::vector<double> group_ci_upper;
  std::optional<double> overall_group_ci_lower;
  std::optional<double> overall_group_ci_upper;
  double level = 0.0;
  // Two-sided normal p-values of estimate / se, beside each interval.
  double p_value = 0.0;
  std::vector<double> event_p_value;
  std::vector<double> group_p_value;
  std::optional<double> overall_group_p_value;
  std::optional<std::string> base_period;    // Callaway-Sant'Anna: "universal" or "varying"
  std::optional<std::string> se_correction;  // the small-sample factor of `se`, named
  std::optional<std::size_t> n_clusters;     // clusters of the SEs, when given by the caller
  // Joint test that every pre-period coefficient is 0 (imputation: the
  // untreated cells' lead indicators).
  std::optional<double> pretrend_wald;
  std::optional<std::size_t> pretrend_df;
  std::optional<double> pretrend_p_value;
  std::vector<double> event_cov;             // E x E, row-major; empty when not formed
  std::optional<std::size_t> n_not_imputed;  // imputation: treated cells left out
  // Callaway-Sant'Anna's calendar-time aggregation and the plain means over
  // calendar periods and over post-period event times.
  std::vector<std::int64_t> calendar_period;
  std::vector<double> calendar_att;
  std::vector<double> calendar_se;
  std::vector<double> calendar_ci_lower;
  std::vector<double> calendar_ci_upper;
  std::vector<double> calendar_p_value;
  std::optional<double> overall_calendar_att;
  std::optional<double> overall_calendar_se;
  std::optional<double> overall_calendar_ci_lower;
  std::optional<double> overall_calendar_ci_upper;
  std::optional<double> overall_calendar_p_value;
  std::optional<double> overall_dynamic_att;
  std::optional<double> overall_dynamic_se;
  std::optional<double> overall_dynamic_ci_lower;
  std::optional<double> overall_dynamic_ci_upper;
  std::optional<double> overall_dynamic_p_value;
};

struct PyCpascResult {
  double att = 0.0;
  double p_value = 0.0;
  std::vector<std::size_t> unit_ids;
  std::vector<double> unit_att;
  std::vector<double> unit_mspe;
  std::vector<double> unit_weight;
  std::vector<double> pooled_residual;
  std::vector<double> null_residual;
  std::size_t t0 = 0;
};

struct PyBaconComponent {
  std::string kind;
  std::size_t treated_cohort = 0;
  std::optional<std::size_t> comparison_cohort;
  double weight = 0.0;
  double estimate = 0.0;
};

struct PyBaconResult {
  double twfe = 0.0;
  double forbidden_weight = 0.0;
  std::vector<PyBaconComponent> components;
};

struct PyPowerResult {
  std::string method;
  std::vector<double> lifts;
  std::vector<double> power;
  std::vector<double> est_mean;
  std::vector<double> est_lo;
  std::vector<double> est_hi;
  std::optional<double> mde_pct;
  std::optional<double> mde_abs_per_period;
  std::optional<double> mde_cumulative;
  double crit = 0.0;
  double se_null = 0.0;
  std::size_t n_windows = 0;
  std::optional<std::vector<double>> ensemble_weights;
};

struct PyGeoDiagnostics {
  double holdout_pct = 0.0;
  double pre_fit_rel = 0.0;
  double improvement_vs_naive = 0.0;
  double seasonality_strength = 0.0;
  double stability_score = 0.0;
  double confidence = 0.0;
  std::vector<std::string> warnings;
};

struct PyMarketCandidate {
  std::vector<std::size_t> treated;
  double power_at_target = 0.0;
  std::optional<double> mde_pct;
  double holdout_pct = 0.0;
  double pre_fit_rel = 0.0;
  double stability_score = 0.0;
  double confidence = 0.0;
  double score = 0.0;
  std::optional<double> cost;  // with a budget: the markets' costs summed
};

// One joint multi-cell design (geo_select_cells): a scored set per cell.
struct PyCellDesign {
  std::vector<PyMarketCandidate> cells;
  double score = 0.0;
  double total = 0.0;
};

struct PyCellSelection {
  std::vector<PyCellDesign> designs;
  double n_designs = 0.0;
  std::size_t n_scored = 0;
  std::string search;
};

// A finished geo experiment analysed (geo_analyze): the in-time test's
// average effect, the paths with their bands, and what follows from them.
struct PyGeoAnalysis {
  double att = 0.0;
  double se = 0.0;
  double p_value = 1.0;
  double ci_lower = 0.0;
  double ci_upper = 0.0;
  double level = 0.9;
  std::string alternative;
  std::string inference_method;
  std::size_t n_treated = 0;
  std::size_t n_pre = 0;
  std::size_t n_post = 0;
  std::size_t n_windows = 0;
  std::vector<double> observed;
  std::vector<double> synthetic;
  std::vector<double> effect;
  std::vector<double> effect_lower;
  std::vector<double> effect_upper;
  std::vector<double> cumulative;
  std::vector<double> cumulative_lower;
  std::vector<double> cumulative_upper;
  double incremental = 0.0;
  double incremental_se = 0.0;
  double incremental_lower = 0.0;
  double incremental_upper = 0.0;
  double counterfactual_total = 0.0;
  double lift_pct = 0.0;
  double lift_pct_lower = 0.0;
  double lift_pct_upper = 0.0;
  std::optional<double> spend;
  std::optional<double> iroas;
  std::optional<double> iroas_se;
  std::optional<double> iroas_lower;
  std::optional<double> iroas_upper;
  std::optional<double> cost_per_incremental;
  std::optional<double> cost_per_incremental_lower;
  std::optional<double> cost_per_incremental_upper;
  std::vector<double> weights;
  std::vector<std::size_t> donor_ids;
  std::vector<double> null_atts;
};

// Text of each class's __repr__ (kept apart from the Python wrapping so the
// templates are testable on plain records).
std::string repr(const PyScResult& r);
std::string repr(const PyDidResult& r);
std::string repr(const PyCpascResult& r);
std::string repr(const PyBaconComponent& r);
std::string repr(const PyBaconResult& r);
std::string repr(const PyPowerResult& r);
std::string repr(const PyGeoDiagnostics& r);
std::string repr(const PyMarketCandidate& r);
std::string repr(const PyGeoAnalysis& r);
std::string repr(const PyCellDesign& r);
std::string repr(const PyCellSelection& r);

}  // namespace quintara::runs
