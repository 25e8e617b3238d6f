#include "core/runs/did_run.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/estimators/did/bacon.hpp"
#include "core/estimators/did/imputation.hpp"
#include "core/estimators/did/sunab.hpp"
#include "core/estimators/did/twfe.hpp"
#include "core/format.hpp"
#include "core/inference/chi_square.hpp"
#include "core/inference/intervals.hpp"
#include "core/linalg/cholesky.hpp"
#include "core/linalg/kernels.hpp"
#include "core/runs/scale.hpp"
#include "core/runs/user_error.hpp"

namespace quintara::runs {

namespace est = quintara::estimators;
namespace did = quintara::estimators::did;

namespace {
// The share of each pre-period effect's variance the others must leave for
// the pre-trend Wald test (see Cholesky::keeps_share): a condition number
// beyond about 1e10, where the statistic keeps fewer than six digits.
constexpr double kWaldShare = 1e-10;
}  // namespace

void check_cohort_count(std::size_t n_cohorts, std::size_t n_units) {
  if (n_cohorts != n_units) {
    throw UserError(
        format("treat_start has {} entries but the panel has {} units", n_cohorts, n_units));
  }
}

est::Panel staggered_panel(linalg::Mat y, std::span<const std::int64_t> cohorts) {
  const std::size_t n_periods = y.cols;
  est::TreatStarts start(cohorts.size());
  for (std::size_t i = 0; i < cohorts.size(); ++i) {
    const std::int64_t c = cohorts[i];
    if (c >= 0 && static_cast<std::uint64_t>(c) < n_periods) start[i] = static_cast<std::size_t>(c);
  }
  return est::Panel::make(std::move(y), std::move(start));
}

void require_never_treated(const est::Panel& panel, std::string_view label, std::string_view hint) {
  const auto& starts = panel.treat_start;
  if (std::any_of(starts.begin(), starts.end(), [](const auto& s) { return !s.has_value(); })) {
    return;
  }
  throw UserError(format(
      "{} needs at least one never-treated unit (treat_start < 0, or at/after the last period) "
      "as a control. {}",
      label, hint));
}

void require_estimable_cohort(const est::Panel& panel, std::string_view label) {
  const auto cohorts = panel.cohorts();
  if (std::all_of(cohorts.begin(), cohorts.end(), [](std::size_t g) { return g == 0; })) {
    throw UserError(format(
        "{}: no estimable cohort. Every unit is either never treated or treated from period 0 "
        "(no pre-period), so no treatment effect is identified.",
        label));
  }
  // With missing cells kept, a treated unit may be observed only before it
  // adopts: with no treated cell at all the fits average nothing, an effect
  // of 0 with SE 0.
  const std::size_t t_len = panel.n_periods();
  for (std::size_t i = 0; i < panel.n_units(); ++i) {
    const std::optional<std::size_t> s = panel.treat_start[i];
    if (!s || *s == 0) continue;
    for (std::size_t t = *s; t < t_len; ++t) {
      if (!std::isnan(panel.y(i, t))) return;
    }
  }
  throw UserError(format(
      "{}: no treated cell is observed (every unit's cells from its adoption on are missing), "
      "so no treatment effect is identified.",
      label));
}

void check_twfe_design(const est::Panel& panel) {
  require_estimable_cohort(panel, "TWFE");
  if (panel.never_treated_units().empty() && panel.cohorts().size() == 1) {
    throw UserError(
        "TWFE: every unit adopts at the same period and there are no control units, so the "
        "unit and time fixed effects absorb the treatment indicator entirely.");
  }
}

void check_sunab_design(const est::Panel& panel) {
  require_estimable_cohort(panel, "Sun-Abraham");
  require_never_treated(
      panel, "Sun-Abraham",
      "The interaction-weighted estimator uses never-treated units as the reference group.");
}

void check_bacon_design(const est::Panel& panel) {
  require_estimable_cohort(panel, "Goodman-Bacon");
  for (const auto& s : panel.treat_start) {
    if (s == std::optional<std::size_t>(0)) {
      throw UserError(
          "Goodman-Bacon: units already treated at period 0 have no pre-period and cannot "
          "enter the decomposition, which would break the `twfe == sum(weight * estimate)` "
          "identity against the full-panel TWFE. Drop those units (or start the panel earlier) "
          "and re-run.");
    }
  }
}

void check_connected_periods(const est::Panel& panel, bool without_always_treated) {
  const std::size_t t_len = panel.n_periods();
  // Union-find over periods: each unit joins the periods it is observed in.
  std::vector<std::size_t> parent(t_len);
  for (std::size_t t = 0; t < t_len; ++t) parent[t] = t;
  const auto root = [&](std::size_t t) {
    while (parent[t] != t) t = parent[t] = parent[parent[t]];
    return t;
  };
  std::vector<bool> seen(t_len, false);
  for (std::size_t i = 0; i < panel.n_units(); ++i) {
    if (without_always_treated && panel.treat_start[i] == std::optional<std::size_t>(0)) continue;
    std::optional<std::size_t> first;
    for (std::size_t t = 0; t < t_len; ++t) {
      if (std::isnan(panel.y(i, t))) continue;
      seen[t] = true;
      if (!first) {
        first = root(t);
      } else {
        parent[root(t)] = *first;
        first = root(*first);
      }
    }
  }
  for (std::size_t t = 0; t < t_len; ++t) {
    if (!seen[t]) {
      throw UserError(format("period {} has no observed unit in the estimation sample", t));
    }
  }
  for (std::size_t t = 1; t < t_len; ++t) {
    if (root(t) != root(0)) {
      throw UserError(format(
          "periods 0 and {} are linked by no unit observed in both, directly or through other "
          "periods, so the unit and period effects are not identified; drop periods or add "
          "units observed across them",
          t));
    }
  }
}

bool needs_observed_path(const est::Panel& panel, const est::Sampling& sampling) {
  if (sampling.weighted() || sampling.clustered()) return true;
  for (const double v : panel.y.data) {
    if (std::isnan(v)) return true;
  }
  return false;
}

Ssc parse_ssc(std::string_view text) {
  if (text == "cluster") return Ssc::Cluster;
  if (text == "none") return Ssc::None;
  if (text == "fixest") return Ssc::Fixest;
  if (text == "statsmodels") return Ssc::Statsmodels;
  throw UserError(format("unknown ssc '{}' (expected cluster/none/fixest/statsmodels)", text));
}

namespace {

// What the small-sample factors count for one fit: G clusters (the units it
// used), n observations, each peer's K with the text naming it, and whether
// the fit's variance already carries G / (G - 1).
struct SscCounts {
  std::size_t clusters, observations;
  std::size_t fixest_k, statsmodels_k;
  std::string fixest_k_text, statsmodels_k_text;
  bool fit_has_cluster_factor;
};

// The chosen factor over the one the fit applied, as a factor of the
// standard error; with the text that names it.
std::pair<double, std::string> ssc_rescale(Ssc ssc, const SscCounts& c) {
  const double G = static_cast<double>(c.clusters);
  const double cluster = c.clusters >= 2 ? G / (G - 1.0) : 1.0;
  const double n = static_cast<double>(c.observations);
  const auto dof = [&](std::size_t k) {
    const double K = static_cast<double>(k);
    return n > K ? (n - 1.0) / (n - K) : 1.0;
  };
  // The G / (G - 1) still to apply on top of the fit's own.
  const double g = c.fit_has_cluster_factor ? 1.0 : cluster;
  switch (ssc) {
    case Ssc::Cluster: return {std::sqrt(g), "cluster: G/(G-1)"};
    case Ssc::None: return {c.fit_has_cluster_factor ? std::sqrt(1.0 / cluster) : 1.0, "none"};
    case Ssc::Fixest:
      return {std::sqrt(g * dof(c.fixest_k)),
              "fixest: G/(G-1) (n-1)/(n-K), K = " + c.fixest_k_text};
    case Ssc::Statsmodels:
      return {std::sqrt(g * dof(c.statsmodels_k)),
              "statsmodels: G/(G-1) (n-1)/(n-K), K = " + c.statsmodels_k_text};
  }
  return {1.0, ""};
}

}  // namespace

namespace {

std::size_t observed_cells(const est::Panel& panel) {
  std::size_t n = 0;
  for (const double v : panel.y.data) n += std::isnan(v) ? 0 : 1;
  return n;
}

}  // namespace

PyDidResult run_twfe(const est::Panel& panel, double level, Ssc ssc,
                     const est::Sampling& sampling) {
  const auto [normalised, k] = normalised_copy(panel);
  const bool observed = needs_observed_path(panel, sampling);
  const did::TwfeFit fit =
      observed ? did::twfe::fit_observed(normalised, sampling) : did::twfe::fit(normalised);
  PyDidResult r;
  r.att = fit.att;
  r.se = fit.se;
  if (sampling.clustered()) r.n_clusters = fit.n_units;
  // fixest leaves out the unit effects nested in the clusters (units nest in
  // any coarser clusters too); statsmodels' dummy regression counts every
  // dummy.
  const std::size_t N = panel.n_units(), T = panel.n_periods();
  const std::size_t n_obs = observed ? observed_cells(panel) : N * T;
  const auto [factor, text] =
      ssc_rescale(ssc, {fit.n_units, n_obs, T + 1, N + T, "T + 1", "N + T", true});
  r.se *= factor;
  r.se_correction = text;
  to_caller_units(r, k);
  set_normal_intervals(r, level);
  return r;
}

PyDidResult run_sunab(const est::Panel& panel, double level, Ssc ssc,
                      const est::Sampling& sampling) {
  const auto [normalised, k] = normalised_copy(panel);
  const did::SaResult fit = needs_observed_path(panel, sampling)
                                ? did::sunab::fit_observed(normalised, sampling)
                                : did::sunab::fit(normalised);
  PyDidResult r;
  r.att = fit.att;
  r.se = fit.se;
  if (sampling.clustered()) r.n_clusters = fit.n_clusters;
  fill_event_study(r, fit.event);
  // The counts of the regression actually fitted: always-treated units
  // dropped, P cells beside the unit and period effects (intercept, N - 1
  // unit and T - 1 period dummies in statsmodels' count).
  const std::size_t N = fit.n_units, T = panel.n_periods(), P = fit.n_cells;
  const auto [factor, text] =
      ssc_rescale(ssc, {fit.n_clusters, fit.n_observations, T + P, N + T - 1 + P,
                        format("T + {} cells", P), format("N + T - 1 + {} cells", P), false});
  r.se *= factor;
  for (double& se : r.event_se) se *= factor;
  set_event_cov(r, fit.event_cov, factor);
  r.se_correction = text;
  to_caller_units(r, k);
  set_normal_intervals(r, level);
  return r;
}

std::size_t check_pretrends(const est::Panel& panel, std::optional<std::uint64_t> pretrends) {
  const std::size_t most = did::imputation::max_pretrends(panel);
  if (!pretrends) return most;
  if (*pretrends > most) {
    throw UserError(format(
        "pretrends must be <= {} (the most pre-periods of any cohort, minus {}); got {}", most,
        panel.never_treated_units().empty() ? "two, as no unit is never treated" : "one",
        *pretrends));
  }
  return static_cast<std::size_t>(*pretrends);
}

PyDidResult run_imputation(const est::Panel& panel, double level, const est::Sampling& sampling,
                           std::size_t pretrends) {
  const auto [normalised, k] = normalised_copy(panel);
  const did::ImputationResult fit = did::imputation::fit(normalised, sampling, pretrends);
  if (!fit.identified) {
    throw UserError(
        "Imputation: the untreated cells link no unit across some periods, so the unit and "
        "period effects of the untreated outcome are not identified");
  }
  if (fit.n_imputed == 0) {
    // An average over no cell would read as an effect of 0 with SE 0.
    throw UserError(format(
        "Imputation: none of the {} treated cells has an untreated cell in its period to impute "
        "from, so no effect is identified (every unit adopts at once and none is never treated?)",
        fit.n_not_imputed));
  }
  PyDidResult r;
  r.att = fit.att;
  r.se = fit.se;
  if (sampling.clustered()) r.n_clusters = fit.n_clusters;
  fill_event_study(r, fit.event);
  set_event_cov(r, fit.event_cov);
  r.n_not_imputed = fit.n_not_imputed;
  r.se_correction = "none (conservative, clustered)";
  to_caller_units(r, k);
  set_normal_intervals(r, level);
  return r;
}

namespace {

const char* kind_label(did::BaconKind kind) {
  switch (kind) {
    case did::BaconKind::TreatedVsUntreated: return "treated_vs_untreated";
    case did::BaconKind::EarlierVsLater: return "earlier_vs_later";
    case did::BaconKind::LaterVsEarlier: return "later_vs_earlier_forbidden";
  }
  return "";
}

}  // namespace

PyBaconResult run_bacon(const est::Panel& panel) {
  const auto [normalised, k] = normalised_copy(panel);
  const did::BaconDecomposition d = did::bacon::decompose(normalised);
  PyBaconResult r;
  r.twfe = d.twfe;
  r.forbidden_weight = d.forbidden_weight;
  for (const did::BaconComponent& c : d.components) {
    r.components.push_back(PyBaconComponent{kind_label(c.kind), c.treated_cohort,
                                            c.comparison_cohort, c.weight, c.estimate});
  }
  to_caller_units(r, k);
  return r;
}

void set_event_cov(PyDidResult& result, const linalg::Mat& cov, double factor,
                   std::int64_t pre_before) {
  const std::size_t e = cov.rows;
  result.event_cov.resize(e * e);
  for (std::size_t a = 0; a < e; ++a) {
    for (std::size_t b = 0; b < e; ++b) result.event_cov[a * e + b] = cov(a, b) * factor * factor;
  }
  std::vector<std::size_t> pre;
  for (std::size_t a = 0; a < result.event_time.size(); ++a) {
    if (result.event_time[a] < pre_before) pre.push_back(a);
  }
  if (pre.empty()) return;
  linalg::Mat v(pre.size(), pre.size());
  std::vector<double> d(pre.size());
  for (std::size_t a = 0; a < pre.size(); ++a) {
    d[a] = result.event_att[pre[a]];
    for (std::size_t b = 0; b < pre.size(); ++b) v(a, b) = result.event_cov[pre[a] * e + pre[b]];
  }
  auto chol = linalg::Cholesky::make(v);
  // A covariance singular to rounding gives a statistic of rounding noise
  // (1e14 and p = 0 on a cond of 1e15): no test, as for an exactly singular one.
  if (!chol || !chol.value().keeps_share(v, kWaldShare)) return;
  const double wald = linalg::dot(d, chol.value().solve_vec(d));
  result.pretrend_wald = wald;
  result.pretrend_df = pre.size();
  result.pretrend_p_value = inference::chi_square_sf(wald, pre.size());
}

void fill_event_study(PyDidResult& result, std::span<const did::AggEffect> events) {
  for (const did::AggEffect& e : events) {
    result.event_time.push_back(e.key);
    result.event_att.push_back(e.estimate);
    result.event_se.push_back(e.se);
  }
}

namespace {

// Two-sided normal p-values beside each interval.
void set_normal_p_values(PyDidResult& result) {
  const auto p_values = [](std::span<const double> estimate, std::span<const double> se) {
    std::vector<double> p(estimate.size());
    for (std::size_t i = 0; i < p.size(); ++i) p[i] = inference::normal_p_value(estimate[i], se[i]);
    return p;
  };
  result.p_value = inference::normal_p_value(result.att, result.se);
  result.event_p_value = p_values(result.event_att, result.event_se);
  result.group_p_value = p_values(result.group_att, result.group_se);
  if (result.overall_group_att && result.overall_group_se) {
    result.overall_group_p_value =
        inference::normal_p_value(*result.overall_group_att, *result.overall_group_se);
  }
  result.calendar_p_value = p_values(result.calendar_att, result.calendar_se);
  if (result.overall_calendar_att && result.overall_calendar_se) {
    result.overall_calendar_p_value =
        inference::normal_p_value(*result.overall_calendar_att, *result.overall_calendar_se);
  }
  if (result.overall_dynamic_att && result.overall_dynamic_se) {
    result.overall_dynamic_p_value =
        inference::normal_p_value(*result.overall_dynamic_att, *result.overall_dynamic_se);
  }
}

}  // namespace

void set_normal_intervals(PyDidResult& result, double level) {
  const double z = inference::normal_critical(level);
  const auto lower = [z](double estimate, double se) { return estimate - z * se; };
  const auto upper = [z](double estimate, double se) { return estimate + z * se; };
  const auto bounds = [&](std::span<const double> estimate, std::span<const double> se,
                          std::vector<double>& lo, std::vector<double>& hi) {
    lo.resize(estimate.size());
    hi.resize(estimate.size());
    for (std::size_t i = 0; i < estimate.size(); ++i) {
      lo[i] = lower(estimate[i], se[i]);
      hi[i] = upper(estimate[i], se[i]);
    }
  };
  result.level = level;
  result.ci_lower = lower(result.att, result.se);
  result.ci_upper = upper(result.att, result.se);
  bounds(result.event_att, result.event_se, result.event_ci_lower, result.event_ci_upper);
  bounds(result.group_att, result.group_se, result.group_ci_lower, result.group_ci_upper);
  if (result.overall_group_att && result.overall_group_se) {
    result.overall_group_ci_lower = lower(*result.overall_group_att, *result.overall_group_se);
    result.overall_group_ci_upper = upper(*result.overall_group_att, *result.overall_group_se);
  }
  bounds(result.calendar_att, result.calendar_se, result.calendar_ci_lower,
         result.calendar_ci_upper);
  if (result.overall_calendar_att && result.overall_calendar_se) {
    result.overall_calendar_ci_lower =
        lower(*result.overall_calendar_att, *result.overall_calendar_se);
    result.overall_calendar_ci_upper =
        upper(*result.overall_calendar_att, *result.overall_calendar_se);
  }
  if (result.overall_dynamic_att && result.overall_dynamic_se) {
    result.overall_dynamic_ci_lower =
        lower(*result.overall_dynamic_att, *result.overall_dynamic_se);
    result.overall_dynamic_ci_upper =
        upper(*result.overall_dynamic_att, *result.overall_dynamic_se);
  }
  set_normal_p_values(result);
}

}  // namespace quintara::runs
