#include "core/runs/callaway_run.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "core/estimators/did/callaway.hpp"
#include "core/inference/bootstrap.hpp"
#include "core/panic.hpp"
#include "core/runs/did_run.hpp"
#include "core/runs/scale.hpp"

namespace quintara::runs {

namespace did = quintara::estimators::did;
namespace inf = quintara::inference;

Control parse_control(std::string_view text) {
  if (text == "notyet" || text == "not_yet_treated") return Control::NotYet;
  if (text == "never") return Control::Never;
  throw UserError(format("unknown control group '{}' (expected never/notyet)", text));
}

did::EstMethod parse_est_method(std::string_view text) {
  if (text == "reg") return did::EstMethod::Reg;
  if (text == "ipw") return did::EstMethod::Ipw;
  if (text == "dr") return did::EstMethod::Dr;
  throw UserError(format("unknown est_method '{}' (expected reg/ipw/dr)", text));
}

std::string_view est_method_name(did::EstMethod method) {
  switch (method) {
    case did::EstMethod::Reg: return "reg";
    case did::EstMethod::Ipw: return "ipw";
    case did::EstMethod::Dr: return "dr";
  }
  return "reg";
}

void check_est_method_balance(did::EstMethod method, bool y_has_missing) {
  if (method == did::EstMethod::Reg || !y_has_missing) return;
  throw UserError(format(
      "est_method='{}' needs a balanced panel; y has missing cells, which missing='keep' fits "
      "as repeated cross-sections with est_method='reg' only (or fit the complete units: "
      "balance='drop' in staggered)",
      est_method_name(method)));
}

void check_anticipation(const estimators::Panel& panel, std::uint64_t anticipation) {
  for (const std::size_t g : panel.cohorts()) {
    if (g > anticipation) return;
  }
  throw UserError(format(
      "anticipation={}: no cohort has a usable base period              (need treat_start >= {})",
      anticipation, anticipation + 1));
}

void check_event_window(const did::EventWindow& window) {
  if (window.min_e && window.max_e && *window.min_e > *window.max_e) {
    throw UserError(
        format("min_e must be <= max_e; got min_e={} and max_e={}", *window.min_e, *window.max_e));
  }
  if (window.balance_e && *window.balance_e < 0) {
    throw UserError(format("balance_e must be >= 0; got {}", *window.balance_e));
  }
}

namespace {

void fill_calendar(PyDidResult& r, const did::CsResult& cs) {
  for (const did::AggEffect& c : cs.calendar) {
    r.calendar_period.push_back(c.key);
    r.calendar_att.push_back(c.estimate);
    r.calendar_se.push_back(c.se);
  }
  if (cs.calendar_overall) {
    r.overall_calendar_att = cs.calendar_overall->estimate;
    r.overall_calendar_se = cs.calendar_overall->se;
  }
  if (cs.dynamic_overall) {
    r.overall_dynamic_att = cs.dynamic_overall->estimate;
    r.overall_dynamic_se = cs.dynamic_overall->se;
  }
}

}  // namespace

namespace {

// The fit of `panel`, request.panel normalised by 2^-k. The bands are formed
// in normalised units too: their critical value is in standard errors,
// unitless.
PyDidResult run_normalised(const CallawayRequest& request, const estimators::Panel& panel, int k) {
  const estimators::Sampling& sampling = request.sampling;
  // A request that does not keep missing cells comes from an entry that
  // refused NaN, so the fit need not scan the panel for one (a pass over
  // every cell, as long as a streamed fit's own).
  const std::optional<bool> complete =
      request.keep_missing ? std::nullopt : std::optional<bool>(true);
  did::CsResult cs = [&] {
    try {
      // Only the bands read the influence functions after the fit.
      return did::fit_with_anticipation(panel, request.control == Control::NotYet,
                                        request.anticipation, request.varying_base, sampling,
                                        request.est_method, request.window,
                                        {.influences = request.bands.run, .complete = complete});
    } catch (const did::CellFitError& e) {
      throw UserError(format(
          "est_method='{}' cannot fit the cell of cohort {} in period {} (base period {}): {}; "
          "drop or recode the covariates, or use est_method='reg'",
          est_method_name(request.est_method), e.cohort, e.period, e.base, e.what()));
    }
  }();
  PyDidResult r;
  r.att = cs.overall_att;
  r.se = cs.overall_se;
  fill_event_study(r, cs.event_study);
  // Effects may start `anticipation` periods before adoption, so only the
  // earlier event times are tested for pre-trends.
  set_event_cov(r,
                cs.event_cov ? *cs.event_cov : did::influence_covariance(cs.event_study, sampling),
                1.0, -static_cast<std::int64_t>(request.anticipation));
  fill_calendar(r, cs);
  if (request.bands.run) {
    // The event times' influence functions are not read again: moved, not
    // copied (N values each).
    std::vector<std::vector<double>> ifs;
    ifs.reserve(cs.event_study.size());
    for (did::AggEffect& e : cs.event_study) ifs.push_back(std::move(e.influence));
    const BandOptions& b = request.bands;
    const inf::EventBands bands =
        inf::multiplier_event_bands(ifs, r.event_att, r.event_se, b.n_reps, b.seed, b.level,
                                    sampling.cluster, sampling.n_clusters);
    for (const auto& [lo, hi] : bands.bands) {
      r.event_lo.push_back(lo);
      r.event_hi.push_back(hi);
    }
    r.band_crit = bands.crit;
  }
  for (const did::AggEffect& g : cs.groups) {
    r.group_cohort.push_back(g.key);
    r.group_att.push_back(g.estimate);
    r.group_se.push_back(g.se);
  }
  r.overall_group_att = cs.group_overall_att;
  r.overall_group_se = cs.group_overall_se;
  to_caller_units(r, k);
  set_normal_intervals(r, request.bands.level);
  r.base_period = request.varying_base ? "varying" : "universal";
  r.se_correction = "none (influence function)";
  if (sampling.clustered()) r.n_clusters = sampling.n_clusters;
  return r;
}

}  // namespace

PyDidResult run_callaway(const CallawayRequest& request) {
  if (request.normalised_by) return run_normalised(request, request.panel, *request.normalised_by);
  const auto [panel, k] = normalised_copy(request.panel);
  return run_normalised(request, panel, k);
}

PyDidResult run_callaway(CallawayRequest&& request) {
  const int k = request.normalised_by ? *request.normalised_by : normalise(request.panel.y);
  return run_normalised(request, request.panel, k);
}

}  // namespace quintara::runs
