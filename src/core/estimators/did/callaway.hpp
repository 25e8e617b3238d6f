// Callaway & Sant'Anna group-time effects for staggered adoption.
//
// Every (cohort g, period t) cell is a two-period difference in differences
// against a comparison group (never-treated, or not yet treated at t and at
// the cohort's base period g - anticipation - 1), optionally adjusted for unit
// covariates by outcome regression, and carries its per-unit influence
// function. The cells are aggregated by event time, by cohort, overall and
// cohort-weighted overall; each aggregate's influence function includes the
// term for estimating the cohort shares, and standard errors come from it.
//
// Sampling weights weigh every mean, regression and cohort share; clusters
// sum the influence functions of their units before squaring. A panel with
// missing cells (NaN in y) is taken as repeated cross-sections: each cell
// from the observations present in its two periods, its influence function
// summed over each unit's observations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/estimators/did/callaway_method.hpp"
#include "core/estimators/did/effects.hpp"
#include "core/estimators/panel.hpp"
#include "core/estimators/sampling.hpp"
#include "core/linalg/matrix.hpp"

namespace quintara::estimators::did {

struct GroupTimeAtt {
  // N entries, unit order, zero outside G and C; empty when the fit was
  // asked not to store influence functions (CsOutputs).
  std::vector<double> influence;
  std::size_t cohort = 0;
  std::size_t period = 0;
  std::int64_t event_time = 0;  // period - cohort
  double att = 0.0;
  double se = 0.0;
};

// Which event times the dynamic aggregation reports. `min_e` / `max_e`
// bound them; `balance_e` keeps only the cohorts observed for at least
// `balance_e` periods after adoption and the event times every such cohort
// spans up to `balance_e`, so that each event time averages the same
// cohorts. None of them touches the cells, the cohort or the calendar
// aggregations, or the overall effect.
struct EventWindow {
  std::optional<std::int64_t> min_e;
  std::optional<std::int64_t> max_e;
  std::optional<std::int64_t> balance_e;
};

struct CsResult {
  std::vector<GroupTimeAtt> cells;     // creation order: cohort ascending, then period
  std::vector<AggEffect> event_study;  // ascending event time (pre-periods included)
  std::vector<AggEffect> groups;       // ascending cohort, post-period cells only
  std::vector<AggEffect> calendar;     // ascending period (key), its post-period cells
  // The plain means over the post-period event times of `event_study` and
  // over the periods of `calendar` (influence: the mean of theirs); none
  // when there is nothing to average.
  std::optional<AggEffect> dynamic_overall;
  std::optional<AggEffect> calendar_overall;
  std::vector<double> overall_influence;  // empty when no post-period cell exists
  double overall_att = 0.0;
  double overall_se = 0.0;
  double group_overall_att = 0.0;
  double group_overall_se = 0.0;
  // influence_covariance(event_study, sampling), when the fit formed it on
  // the way (the streamed path does).
  std::optional<linalg::Mat> event_cov;
};

// What a fit stores and which way it runs. A complete panel without
// covariates, weights or clusters, by outcome regression, is fitted in two
// streamed passes over the units that never hold a cell's N-long influence
// function; every other fit, and any fit with `cellwise`, stores each cell's
// and each aggregate's. Both give the same numbers bit for bit.
struct CsOutputs {
  // The influence functions of the cells and aggregates (what
  // influence_covariance and the bands read). Without them the streamed
  // pass stores none, and still gives every estimate, standard error and
  // event_cov.
  bool influences = true;
  bool cellwise = false;  // the reference path, also where streaming applies
  // Whether y has no NaN cell, when the caller knows (an entry that refused
  // NaN): otherwise the fit scans y to tell.
  std::optional<bool> complete;
};

// `anticipation` periods before adoption may already be affected, so a cohort
// g needs g > anticipation. With never-treated comparisons the panel must have
// a never-treated unit (invariant; the entry checks it first). Nothing here
// fails on data: empty comparison sets skip the cell, a failed regression or a
// singular Gram matrix falls back to the unadjusted cell or the uncorrected
// influence function.
//
// The base period of a cell (g, t): with a universal base every cell of
// cohort g compares t with b = g - anticipation - 1 (the cell t = b is
// omitted); with a varying base the pre-periods t <= b compare t with t - 1
// (from t = 1), the post-periods still with b. Post-period cells, and so the
// overall and cohort effects, are the same either way.
//
// `sampling` holds one weight (> 0) and cluster code per unit, or neither;
// weights are taken relative to their mean, so only their ratios matter.
// Unweighted and unclustered, the balanced panel takes the path it always
// had, bit for bit. With missing cells every unit and period must keep an
// observation (the entry checks it); a cell lacking treated or comparison
// observations in either of its periods is skipped.
//
// `method` picks each cell's estimator (callaway_method.hpp); ipw and dr need
// a complete panel and throw CellFitError for a cell whose propensity score
// or outcome regression cannot be fitted. The default, reg, is the cell
// above, bit for bit.
CsResult fit_with_anticipation(const Panel& panel, bool not_yet_treated, std::size_t anticipation,
                               bool varying_base = false, const Sampling& sampling = {},
                               EstMethod method = EstMethod::Reg, const EventWindow& window = {},
                               const CsOutputs& outputs = {});

// The covariance of aggregates from their influence functions: entry (a, b)
// is sum over clusters of (sum psi_a)(sum psi_b) / N^2 (each unit its own
// cluster when unclustered), so the diagonal is the squared standard errors.
linalg::Mat influence_covariance(std::span<const AggEffect> aggregates, const Sampling& sampling);

}  // namespace quintara::estimators::did
