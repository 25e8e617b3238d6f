// The field table of every result record: member, Python name, units and
// docstring, once per field (field.hpp says what is derived from them).
// The class names and docstrings are those of the Python classes.
#pragma once

#include <tuple>

#include "core/inference/bootstrap.hpp"
#include "core/runs/field.hpp"
#include "core/runs/records.hpp"

namespace quintara::runs {

template <auto Member>
using F = Field<Member>;

template <>
struct RecordFields<PyScResult> {
  using R = PyScResult;
  static constexpr const char* name = "SCResult";
  static constexpr const char* doc = "Result of a synthetic-control-family fit, exposed to Python.";
  static constexpr std::tuple fields{
      F<&R::att>{"att", units::y, "Average post-period ATT."},
      F<&R::att_path>{"att_path", units::y, "Per-post-period ATT path."},
      F<&R::counterfactual>{"counterfactual", units::y, "Estimated post-period counterfactual."},
      F<&R::treated_post>{"treated_post", units::y,
                          "Observed (aggregated) treated outcome on the post-period."},
      F<&R::weights>{"weights", units::unitless, "Donor weights."},
      F<&R::donor_ids>{"donor_ids", units::count, "Donor unit indices matching `weights`."},
      F<&R::pre_rmspe>{"pre_rmspe", units::y, "Pre-period RMSPE (fit quality)."},
      F<&R::post_rmspe>{"post_rmspe", units::y, "Post-period RMSPE."},
      F<&R::p_value>{"p_value", units::unitless, "Placebo p-value, if inference was requested."},
      F<&R::se>{"se", units::y,
                "ATT-scale standard error (outcome units), if inference was requested.\n"
                "For placebo inference this is the spread of the placebo ATTs, not of\n"
                "the dimensionless RMSPE ratios."},
      F<&R::ci_lower>{"ci_lower", units::y,
                      "ATT-scale confidence bounds, if inference was requested."},
      F<&R::ci_upper>{"ci_upper", units::y},
      F<&R::inference_distribution>{
          "inference_distribution", units::statistic,
          "The test-statistic null distribution (placebo RMSPE ratios \xE2\x80\x94 the\n"
          "dimensionless statistics behind `p_value`), if available."},
      F<&R::placebo_atts>{
          "placebo_atts", units::y,
          "Placebo ATTs in outcome units (one per donor refit as pseudo-treated)\n"
          "\xE2\x80\x94 the ATT-scale null behind `se`/`ci_*`, if placebo inference ran."},
      F<&R::synthetic>{
          "synthetic", units::y,
          "The synthetic (untreated) path of the treated average over all T periods:\n"
          "`counterfactual` after the start; before it, the method's in-sample path\n"
          "(sc, rsc: donors times weights (rsc's de-noised donors); fp: the demeaned\n"
          "fit plus the treated pre-period mean; asc: its synthetic-control part, as\n"
          "the augmentation corrects the post-period only; sdid: the weighted controls\n"
          "shifted to the treated time-weighted level; mcnnm: the completed treated rows)."},
      F<&R::placebo_ids>{"placebo_ids", units::count,
                         "Panel rows of the units behind `placebo_atts`, in the same order, if\n"
                         "placebo inference ran with one unit per placebo."},
      F<&R::placebo_gaps>{"placebo_gaps", units::y,
                          "One gap path (observed minus synthetic, all T periods) per entry of\n"
                          "`placebo_atts`, if placebo inference ran."},
      F<&R::placebo_sets>{"placebo_sets", units::count,
                          "Panel rows of the units each placebo treated, one list per entry of\n"
                          "`placebo_atts`, if placebo inference ran (the matched test draws them\n"
                          "from every unit, treated ones included)."},
      F<&R::test_ci_lower>{
          "test_ci_lower", units::y,
          "The constant effects the test behind `p_value` does not reject at `level`\n"
          "(the test inverted): 0 lies outside [test_ci_lower, test_ci_upper] exactly\n"
          "when p_value <= alpha, alpha = 1 - level rounded to 12 decimals (0.1 at\n"
          "level 0.9). Both NaN when it rejects every effect."},
      F<&R::test_ci_upper>{"test_ci_upper", units::y},
      F<&R::n_placebo_used>{"n_placebo_used", units::count,
                            "Placebos behind `p_value`, if placebo inference ran."},
      F<&R::n_placebo_excluded>{
          "n_placebo_excluded", units::count,
          "Placebos left out for a pre-period RMSPE above `max_pre_ratio` times the\n"
          "treated fit's, if placebo inference ran."},
      F<&R::inference_method>{"inference_method", units::unitless,
                              "What the inference was, in a few words, if it ran."},
      F<&R::level>{"level", units::unitless, "The level of the intervals, if inference ran."},
      F<&R::pointwise_lower>{
          "pointwise_lower", units::y,
          "Per post period, the effects the conformal test of that period alone does\n"
          "not reject at `level` (matching `att_path`), if conformal inference ran."},
      F<&R::pointwise_upper>{"pointwise_upper", units::y},
  };
};

template <>
struct RecordFields<PyDidResult> {
  using R = PyDidResult;
  static constexpr const char* name = "DiDResult";
  static constexpr const char* doc =
      "Result of a difference-in-differences fit, exposed to Python.";
  static constexpr std::tuple fields{
      F<&R::att>{"att", units::y, "Overall ATT."},
      F<&R::se>{"se", units::y, "Standard error of the overall ATT (cluster-robust / IF-based)."},
      F<&R::event_time>{"event_time", units::count, "Event-study relative periods."},
      F<&R::event_att>{"event_att", units::y, "Event-study coefficients matching `event_time`."},
      F<&R::event_se>{"event_se", units::y, "Event-study standard errors matching `event_time`."},
      F<&R::event_lo>{"event_lo", units::y,
                      "Simultaneous (sup-t) band bounds per event time, when the multiplier\n"
                      "bootstrap ran (`bands=True`); empty otherwise."},
      F<&R::event_hi>{"event_hi", units::y},
      F<&R::band_crit>{"band_crit", units::unitless,
                       "The sup-t band critical value (in SE units), when bands ran."},
      F<&R::group_cohort>{"group_cohort", units::count,
                          "Per-cohort (\"group\") aggregation: cohorts, their ATT_g and SEs.\n"
                          "Callaway & Sant'Anna only; empty for TWFE / Sun-Abraham."},
      F<&R::group_att>{"group_att", units::y},
      F<&R::group_se>{"group_se", units::y},
      F<&R::overall_group_att>{"overall_group_att", units::y,
                               "Cohort-size-weighted average of ATT_g (C&S's recommended headline\n"
                               "aggregation), when available."},
      F<&R::overall_group_se>{"overall_group_se", units::y},
      F<&R::ci_lower>{"ci_lower", units::y,
                      "Normal confidence interval of the overall ATT at `level`:\n"
                      "`att \xC2\xB1 z\xC2\xB7se`."},
      F<&R::ci_upper>{"ci_upper", units::y},
      F<&R::event_ci_lower>{"event_ci_lower", units::y,
                            "Pointwise normal intervals per event time at `level`, matching\n"
                            "`event_time`."},
      F<&R::event_ci_upper>{"event_ci_upper", units::y},
      F<&R::group_ci_lower>{"group_ci_lower", units::y,
                            "Normal intervals per cohort at `level`, matching `group_cohort`."},
      F<&R::group_ci_upper>{"group_ci_upper", units::y},
      F<&R::overall_group_ci_lower>{
          "overall_group_ci_lower", units::y,
          "Normal interval of `overall_group_att` at `level`, when available."},
      F<&R::overall_group_ci_upper>{"overall_group_ci_upper", units::y},
      F<&R::level>{"level", units::unitless, "Confidence level of the normal intervals."},
      F<&R::p_value>{"p_value", units::unitless,
                     "Two-sided normal p-value of the overall ATT, P(|Z| >= |att / se|)."},
      F<&R::event_p_value>{"event_p_value", units::unitless,
                           "Pointwise normal p-values per event time, matching `event_time`."},
      F<&R::group_p_value>{"group_p_value", units::unitless,
                           "Normal p-values per cohort, matching `group_cohort`."},
      F<&R::overall_group_p_value>{"overall_group_p_value", units::unitless,
                                   "Normal p-value of `overall_group_att`, when available."},
      F<&R::base_period>{"base_period", units::unitless,
                         "Callaway & Sant'Anna's base period: \"universal\" (every cell of a\n"
                         "cohort against the period before adoption) or \"varying\" (pre-periods\n"
                         "against the period before each); None for the other estimators."},
      F<&R::se_correction>{"se_correction", units::unitless,
                           "The small-sample correction of the standard errors, named."},
      F<&R::n_clusters>{"n_clusters", units::count,
                        "Number of clusters of the standard errors when `clusters` was given;\n"
                        "None when each unit is its own cluster."},
      F<&R::pretrend_wald>{"pretrend_wald", units::unitless,
                           "Wald statistic of the joint test that every pre-period coefficient\n"
                           "is 0, when the estimator runs one."},
      F<&R::pretrend_df>{"pretrend_df", units::count, "Its degrees of freedom."},
      F<&R::pretrend_p_value>{"pretrend_p_value", units::unitless, "Its chi-square p-value."},
      F<&R::event_cov>{"event_cov", units::y2,
                       "Covariance of `event_att`, row-major (len(event_time) squared\n"
                       "entries); empty when the estimator does not form it."},
      F<&R::n_not_imputed>{"n_not_imputed", units::count,
                           "Imputation: treated cells whose unit or period has no untreated\n"
                           "cell, left out of every estimand; None for the other estimators."},
      F<&R::calendar_period>{"calendar_period", units::count,
                             "Calendar-time aggregation (Callaway & Sant'Anna only): each period\n"
                             "index from the first adoption on, with the cohort-share weighted\n"
                             "mean of the effects of the cohorts treated by then."},
      F<&R::calendar_att>{"calendar_att", units::y},
      F<&R::calendar_se>{"calendar_se", units::y},
      F<&R::calendar_ci_lower>{
          "calendar_ci_lower", units::y,
          "Normal intervals per period at `level`, matching `calendar_period`."},
      F<&R::calendar_ci_upper>{"calendar_ci_upper", units::y},
      F<&R::calendar_p_value>{"calendar_p_value", units::unitless,
                              "Normal p-values per period, matching `calendar_period`."},
      F<&R::overall_calendar_att>{"overall_calendar_att", units::y,
                                  "The mean of `calendar_att` over its periods, when available."},
      F<&R::overall_calendar_se>{"overall_calendar_se", units::y},
      F<&R::overall_calendar_ci_lower>{"overall_calendar_ci_lower", units::y,
                                       "Normal interval of `overall_calendar_att` at `level`."},
      F<&R::overall_calendar_ci_upper>{"overall_calendar_ci_upper", units::y},
      F<&R::overall_calendar_p_value>{"overall_calendar_p_value", units::unitless,
                                      "Normal p-value of `overall_calendar_att`."},
      F<&R::overall_dynamic_att>{"overall_dynamic_att", units::y,
                                 "The mean of the event study over its event times >= 0\n"
                                 "(Callaway & Sant'Anna only), when available."},
      F<&R::overall_dynamic_se>{"overall_dynamic_se", units::y},
      F<&R::overall_dynamic_ci_lower>{"overall_dynamic_ci_lower", units::y,
                                      "Normal interval of `overall_dynamic_att` at `level`."},
      F<&R::overall_dynamic_ci_upper>{"overall_dynamic_ci_upper", units::y},
      F<&R::overall_dynamic_p_value>{"overall_dynamic_p_value", units::unitless,
                                     "Normal p-value of `overall_dynamic_att`."},
  };
};

template <>
struct RecordFields<PyCpascResult> {
  using R = PyCpascResult;
  static constexpr const char* name = "CPASCResult";
  static constexpr const char* doc = "Result of a CP-ASC-family fit, exposed to Python.";
  static constexpr std::tuple fields{
      F<&R::att>{"att", units::y, "Pooled ATT."},
      F<&R::p_value>{"p_value", units::unitless, "Conformal block-permutation p-value."},
      F<&R::unit_ids>{"unit_ids", units::count, "Treated unit indices."},
      F<&R::unit_att>{"unit_att", units::y, "Per-unit ATT."},
      F<&R::unit_mspe>{"unit_mspe", units::y2, "Per-unit pre-period MSPE (fit quality)."},
      F<&R::unit_weight>{"unit_weight", units::unitless, "Per-unit pooling weight."},
      F<&R::pooled_residual>{"pooled_residual", units::y,
                             "Pooled residual path of the main fit (length T; descriptive)."},
      F<&R::null_residual>{"null_residual", units::y,
                           "Pooled residual path of the null-imposed full-sample refit (length T)\n"
                           "\xE2\x80\x94 the exchangeable path the conformal permutation tests."},
      F<&R::t0>{"t0", units::count, "First post-period index."},
  };
};

template <>
struct RecordFields<PyBaconComponent> {
  using R = PyBaconComponent;
  static constexpr const char* name = "BaconComponent";
  static constexpr const char* doc =
      "One 2\xC3\x97"
      "2 comparison in a Goodman-Bacon decomposition.";
  static constexpr std::tuple fields{
      F<&R::kind>{
          "kind", units::unitless,
          "\"treated_vs_untreated\", \"earlier_vs_later\", or \"later_vs_earlier_forbidden\"."},
      F<&R::treated_cohort>{"treated_cohort", units::count},
      F<&R::comparison_cohort>{"comparison_cohort", units::count},
      F<&R::weight>{"weight", units::unitless},
      F<&R::estimate>{"estimate", units::y},
  };
};

template <>
struct RecordFields<PyBaconResult> {
  using R = PyBaconResult;
  static constexpr const char* name = "BaconResult";
  static constexpr const char* doc = "Result of a Goodman-Bacon decomposition.";
  static constexpr std::tuple fields{
      F<&R::twfe>{"twfe", units::y,
                  "Weighted-average estimate `\xCE\xA3 w\xE1\xB5\xA2 \xCE\xB2\xE1\xB5\xA2` "
                  "\xE2\x80\x94 equals the TWFE coefficient."},
      F<&R::forbidden_weight>{"forbidden_weight", units::unitless,
                              "Total weight on forbidden (later-vs-earlier) comparisons."},
      F<&R::components>{"components", units::record,
                        "All 2\xC3\x97"
                        "2 comparisons."},
  };
};

template <>
struct RecordFields<PyPowerResult> {
  using R = PyPowerResult;
  static constexpr const char* name = "PowerResult";
  static constexpr const char* doc =
      "Power-analysis result for one estimator (flattened for easy plotting).";
  static constexpr std::tuple fields{
      F<&R::method>{"method", units::unitless},
      F<&R::lifts>{"lifts", units::unitless, "True injected lifts (x-axis), as fractions."},
      F<&R::power>{"power", units::unitless, "Detection rate at each lift."},
      F<&R::est_mean>{"est_mean", units::unitless, "Mean estimated lift (%) at each true lift."},
      F<&R::est_lo>{"est_lo", units::unitless},
      F<&R::est_hi>{"est_hi", units::unitless},
      F<&R::mde_pct>{"mde_pct", units::unitless},
      F<&R::mde_abs_per_period>{"mde_abs_per_period", units::y},
      F<&R::mde_cumulative>{"mde_cumulative", units::y},
      F<&R::crit>{"crit", units::y},
      F<&R::se_null>{"se_null", units::y},
      F<&R::n_windows>{"n_windows", units::count},
      F<&R::ensemble_weights>{
          "ensemble_weights", units::unitless,
          "For the ensemble method: the normalized `[w_sc, w_asc, w_sdid]` weights\n"
          "used. `None` for single-method results."},
  };
};

template <>
struct RecordFields<PyGeoDiagnostics> {
  using R = PyGeoDiagnostics;
  static constexpr const char* name = "GeoDiagnostics";
  static constexpr const char* doc = "Design diagnostics, exposed to Python.";
  static constexpr std::tuple fields{
      F<&R::holdout_pct>{"holdout_pct", units::unitless},
      F<&R::pre_fit_rel>{"pre_fit_rel", units::unitless},
      F<&R::improvement_vs_naive>{"improvement_vs_naive", units::unitless},
      F<&R::seasonality_strength>{"seasonality_strength", units::unitless},
      F<&R::stability_score>{"stability_score", units::unitless},
      F<&R::confidence>{"confidence", units::unitless},
      F<&R::warnings>{"warnings", units::unitless},
  };
};

template <>
struct RecordFields<PyMarketCandidate> {
  using R = PyMarketCandidate;
  static constexpr const char* name = "MarketCandidate";
  static constexpr const char* doc = "One ranked candidate treatment-market set.";
  static constexpr std::tuple fields{
      F<&R::treated>{"treated", units::count},
      F<&R::power_at_target>{"power_at_target", units::unitless},
      F<&R::mde_pct>{"mde_pct", units::unitless},
      F<&R::holdout_pct>{"holdout_pct", units::unitless},
      F<&R::pre_fit_rel>{"pre_fit_rel", units::unitless},
      F<&R::stability_score>{"stability_score", units::unitless},
      F<&R::confidence>{"confidence", units::unitless},
      F<&R::score>{"score", units::unitless},
      F<&R::cost>{"cost", units::unitless,
                  "With a budget: the set's required investment, its markets' costs summed\n"
                  "(caller's money)."},
  };
};

template <>
struct RecordFields<PyCellDesign> {
  using R = PyCellDesign;
  static constexpr const char* name = "CellDesign";
  static constexpr const char* doc = "One joint multi-cell design: a scored treated set per cell.";
  static constexpr std::tuple fields{
      F<&R::cells>{"cells", units::record,
                   "One MarketCandidate per cell, in cell order; each cell's fits exclude\n"
                   "every other cell's markets."},
      F<&R::score>{"score", units::unitless, "The weakest cell's score (the ranking key)."},
      F<&R::total>{"total", units::unitless, "The cells' scores summed (breaks ties)."},
  };
};

template <>
struct RecordFields<PyCellSelection> {
  using R = PyCellSelection;
  static constexpr const char* name = "CellDesigns";
  static constexpr const char* doc = "Ranked joint multi-cell designs (geo_select_cells).";
  static constexpr std::tuple fields{
      F<&R::designs>{"designs", units::record, "The scored designs, best first."},
      F<&R::n_designs>{"n_designs", units::unitless,
                       "Feasible joint designs in all (search \"exhaustive\" or \"listed\"),\n"
                       "or the count without budgets, an upper bound (\"sampled\")."},
      F<&R::n_scored>{"n_scored", units::count},
      F<&R::search>{"search", units::unitless,
                    "\"exhaustive\": every feasible design scored; \"listed\": all listed, a\n"
                    "seeded subset scored; \"sampled\": distinct random designs."},
  };
};

template <>
struct RecordFields<PyGeoAnalysis> {
  using R = PyGeoAnalysis;
  static constexpr const char* name = "GeoAnalysis";
  static constexpr const char* doc =
      "A finished geo experiment analysed by the in-time test, exposed to Python.";
  static constexpr std::tuple fields{
      F<&R::att>{"att", units::y, "Average effect per treated market and post-period."},
      F<&R::se>{"se", units::y,
                "Standard deviation of the historical windows' ATTs (the null spread)."},
      F<&R::p_value>{"p_value", units::unitless,
                     "The in-time test's p-value; every interval below inverts the same test."},
      F<&R::ci_lower>{"ci_lower", units::y, "The effects the test does not reject at `level`."},
      F<&R::ci_upper>{"ci_upper", units::y},
      F<&R::level>{"level", units::unitless, "1 - alpha."},
      F<&R::alternative>{"alternative", units::unitless},
      F<&R::inference_method>{"inference_method", units::unitless},
      F<&R::n_treated>{"n_treated", units::count},
      F<&R::n_pre>{"n_pre", units::count},
      F<&R::n_post>{"n_post", units::count},
      F<&R::n_windows>{"n_windows", units::count},
      F<&R::observed>{"observed", units::y, "The treated markets' mean, every period."},
      F<&R::synthetic>{"synthetic", units::y,
                       "The method's untreated path of that mean, every period."},
      F<&R::effect>{"effect", units::y, "Observed minus synthetic, each post-period."},
      F<&R::effect_lower>{"effect_lower", units::y,
                          "Pointwise band of `effect` from the windows at each offset."},
      F<&R::effect_upper>{"effect_upper", units::y},
      F<&R::cumulative>{"cumulative", units::y,
                        "Incremental units through each post-period, all treated markets."},
      F<&R::cumulative_lower>{"cumulative_lower", units::y,
                              "Pointwise band of `cumulative`; its last point is the test's."},
      F<&R::cumulative_upper>{"cumulative_upper", units::y},
      F<&R::incremental>{"incremental", units::y,
                         "att x n_post x n_treated: the test's incremental units."},
      F<&R::incremental_se>{"incremental_se", units::y},
      F<&R::incremental_lower>{"incremental_lower", units::y},
      F<&R::incremental_upper>{"incremental_upper", units::y},
      F<&R::counterfactual_total>{"counterfactual_total", units::y,
                                  "The untreated outcome summed over the test."},
      F<&R::lift_pct>{"lift_pct", units::unitless,
                      "incremental / counterfactual_total, in percent."},
      F<&R::lift_pct_lower>{"lift_pct_lower", units::unitless},
      F<&R::lift_pct_upper>{"lift_pct_upper", units::unitless},
      F<&R::spend>{"spend", units::unitless, "The test's spend, if given (caller's money)."},
      F<&R::iroas>{"iroas", units::unitless, "incremental / spend, if spend was given."},
      F<&R::iroas_se>{"iroas_se", units::unitless},
      F<&R::iroas_lower>{"iroas_lower", units::unitless},
      F<&R::iroas_upper>{"iroas_upper", units::unitless},
      F<&R::cost_per_incremental>{
          "cost_per_incremental", units::unitless,
          "spend / incremental; its bounds are NaN when the interval holds 0."},
      F<&R::cost_per_incremental_lower>{"cost_per_incremental_lower", units::unitless},
      F<&R::cost_per_incremental_upper>{"cost_per_incremental_upper", units::unitless},
      F<&R::weights>{"weights", units::unitless, "Control weights."},
      F<&R::donor_ids>{"donor_ids", units::count, "Panel rows of the controls."},
      F<&R::null_atts>{"null_atts", units::y, "The historical windows' ATTs, in window order."},
  };
};

// Not Python classes, but scaled back by the same walker.
template <>
struct RecordFields<inference::Interval> {
  using R = inference::Interval;
  static constexpr const char* name = "Interval";
  static constexpr const char* doc = "";
  static constexpr std::tuple fields{
      F<&R::estimate>{"estimate", units::y},  F<&R::se>{"se", units::y},
      F<&R::lower>{"lower", units::y},        F<&R::upper>{"upper", units::y},
      F<&R::level>{"level", units::unitless},
  };
};

template <>
struct RecordFields<inference::BootstrapResult> {
  using R = inference::BootstrapResult;
  static constexpr const char* name = "BootstrapResult";
  static constexpr const char* doc = "";
  static constexpr std::tuple fields{
      F<&R::interval>{"interval", units::record},
      F<&R::replicates>{"replicates", units::y},
  };
};

// A units declaration that does not fit its member's type (outcome units on
// an index, say) stops the build here.
static_assert(units_fit_every_field<PyScResult>());
static_assert(units_fit_every_field<PyDidResult>());
static_assert(units_fit_every_field<PyCpascResult>());
static_assert(units_fit_every_field<PyBaconComponent>());
static_assert(units_fit_every_field<PyBaconResult>());
static_assert(units_fit_every_field<PyPowerResult>());
static_assert(units_fit_every_field<PyGeoDiagnostics>());
static_assert(units_fit_every_field<PyMarketCandidate>());
static_assert(units_fit_every_field<PyGeoAnalysis>());
static_assert(units_fit_every_field<PyCellDesign>());
static_assert(units_fit_every_field<PyCellSelection>());
static_assert(units_fit_every_field<inference::Interval>());
static_assert(units_fit_every_field<inference::BootstrapResult>());

}  // namespace quintara::runs
