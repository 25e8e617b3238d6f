#include "core/runs/sc_run.hpp"

#include <cmath>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "core/estimators/panel.hpp"
#include "core/estimators/sc/sdid.hpp"
#include "core/format.hpp"
#include "core/inference/intervals.hpp"
#include "core/inference/inversion.hpp"
#include "core/panic.hpp"
#include "core/runs/scale.hpp"
#include "core/runs/user_error.hpp"

namespace quintara::runs {

namespace est = quintara::estimators;
namespace inf = quintara::inference;

ScInference parse_sdid_inference(std::string_view text) {
  if (text == "none") return ScInference::None;
  if (text == "placebo") return ScInference::Placebo;
  if (text == "jackknife") return ScInference::Jackknife;
  throw UserError(format("unknown SDID inference '{}' (expected none/placebo/jackknife)", text));
}

PyScResult result_from_fit(const est::ScFit& fit) {
  PyScResult r;
  r.att = fit.att;
  r.att_path = fit.att_path;
  r.counterfactual = fit.counterfactual;
  r.treated_post = fit.treated_post;
  r.weights = fit.weights;
  r.donor_ids = fit.donor_ids;
  r.pre_rmspe = fit.pre_rmspe;
  r.post_rmspe = fit.post_rmspe;
  r.synthetic = fit.synthetic_pre;
  r.synthetic.insert(r.synthetic.end(), fit.counterfactual.begin(), fit.counterfactual.end());
  return r;
}

namespace {

std::string_view statistic_name(est::sc::Statistic s) {
  switch (s) {
    case est::sc::Statistic::RmspeRatio: return "RMSPE ratio";
    case est::sc::Statistic::AbsAtt: return "|ATT|";
    case est::sc::Statistic::StandardisedAtt: return "|ATT| / pre-period RMSPE";
  }
  return "";
}

// "placebo test over 38 donors (RMSPE ratio), 2 left out for pre-period fit
// over 5x the treated's; interval by test inversion", "placebo test over
// 1000 donors drawn from 5000 (...)...", or "matched placebo
// test over 1000 sets of 5 units (...)..."
std::string placebo_method_text(const inf::PlaceboResult& p, double max_pre_ratio) {
  const std::size_t m = p.placebo_stats.size();
  const std::string_view stat = statistic_name(p.statistic);
  std::string text =
      !p.matched
          ? (p.n_refitted < p.n_donors
                 ? format("placebo test over {} donors drawn from {} ({})", m, p.n_donors, stat)
                 : format("placebo test over {} donors ({})", m, stat))
      : p.set_size == 1
          ? format("matched placebo test over {} other units ({})", m, stat)
          : format("matched placebo test over {} sets of {} units ({})", m, p.set_size, stat);
  if (p.n_excluded > 0) {
    text += format(", {} left out for pre-period fit over {}x the treated's", p.n_excluded,
                   max_pre_ratio);
  }
  return text + "; interval by test inversion";
}

}  // namespace

void attach_placebo(PyScResult& result, const inf::PlaceboResult& placebo, const est::ScFit& fit,
                    double level, double max_pre_ratio) {
  if (placebo.placebo_stats.empty()) return;
  const double att = fit.att;
  result.p_value = placebo.p_value;
  result.inference_distribution = placebo.placebo_stats;
  // The interval is the real effect shifted by the central `level` range of
  // the placebo effects, so att need not lie inside it.
  const inf::Interval i = inf::percentile_ci(placebo.placebo_atts, 0.0, level);
  result.se = i.se;
  result.ci_lower = i.lower + att;
  result.ci_upper = att + i.upper;
  result.placebo_atts = placebo.placebo_atts;
  if (placebo.set_size == 1) result.placebo_ids = placebo.placebo_ids;
  result.placebo_gaps = placebo.placebo_gaps;
  result.placebo_sets = placebo.placebo_sets;
  result.test_ci_lower = placebo.test_lower;
  result.test_ci_upper = placebo.test_upper;
  result.n_placebo_used = placebo.placebo_stats.size();
  result.n_placebo_excluded = placebo.n_excluded;
  result.inference_method = placebo_method_text(placebo, max_pre_ratio);
  result.level = level;
}

void attach_conformal(PyScResult& result, const inf::ConformalResult& conformal, double level) {
  result.p_value = conformal.p_value;
  result.test_ci_lower = conformal.interval.lower;
  result.test_ci_upper = conformal.interval.upper;
  if (!conformal.pointwise_lower.empty()) {
    result.pointwise_lower = conformal.pointwise_lower;
    result.pointwise_upper = conformal.pointwise_upper;
  }
  result.inference_method = format(
      "conformal test ({} moving-block permutations of the null-imposed residuals, "
      "windows of {} periods); interval by test inversion",
      conformal.n_windows, conformal.window);
  result.level = level;
}

namespace {

// The fixed-weights jackknife refits nothing; its interval is normal,
// att +- z * se.
PyScResult run_jackknife(const est::Panel& panel, std::size_t t0,
                         const est::sc::SdidOptions& options, double level) {
  const est::sc::sdid::SdidFit full = est::sc::sdid::fit_with_time_weights(panel, t0, options);
  PyScResult result = result_from_fit(full.fit);
  std::vector<double> loo =
      est::sc::sdid::jackknife_loo_atts(panel, t0, full.fit.weights, full.lambda);
  // A control holding all the unit weight has no leave-one-out replicate
  // (the rest renormalise by 0): the jackknife over the others would be a
  // standard error of about 0, so there is none.
  const bool complete = loo.size() == panel.n_units();
  const double se = complete ? est::sc::sdid::jackknife_se(loo) : std::nan("");
  const double z = inf::normal_critical(level);
  result.se = se;
  result.ci_lower = full.fit.att - z * se;
  result.ci_upper = full.fit.att + z * se;
  result.inference_distribution = std::move(loo);
  result.inference_method =
      complete ? "SDID jackknife (fixed weights); normal interval att +- z se"
               : "SDID jackknife (fixed weights): undefined, as one control holds all the unit "
                 "weight and cannot be left out";
  result.level = level;
  return result;
}

}  // namespace

PyScResult run_sc(ScRequest request) {
  const int k = normalise(request.y);
  const estimators::sc::ScMethod method = normalised_method(request.method, k);
  const est::Panel panel = est::Panel::block(std::move(request.y), request.treated, request.t0);
  if (request.inference == ScInference::Jackknife) {
    const auto* sdid = std::get_if<est::sc::SdidOptions>(&method.options);
    if (sdid == nullptr) panic("the jackknife is defined for SDID only");
    PyScResult result = run_jackknife(panel, request.t0, *sdid, request.level);
    to_caller_units(result, k, true);
    return result;
  }
  const est::ScFit fit = method.fit_at(panel, request.t0);
  PyScResult result = result_from_fit(fit);
  bool statistic_in_y = statistic_in_outcome_units(method);
  if (request.inference == ScInference::Placebo) {
    inf::PlaceboOptions options = request.placebo;
    options.level = request.level;
    const inf::PlaceboResult placebo = inf::sc_placebo_method(panel, method, fit, options);
    attach_placebo(result, placebo, fit, request.level, request.placebo.max_pre_ratio);
    statistic_in_y = est::sc::in_outcome_units(placebo.statistic);
  } else if (request.inference == ScInference::Conformal) {
    inf::ConformalOptions options = request.conformal;
    options.level = request.level;
    attach_conformal(result, inf::conformal_test(panel, request.t0, method, fit, options),
                     request.level);
  }
  to_caller_units(result, k, statistic_in_y);
  // The ends' nudge past 0 is the least subnormal, which a downward rescaling
  // flushes to 0: decide tau = 0 again in the caller's units.
  if (result.test_ci_lower && result.p_value) {
    const inf::TestInterval i = inf::follow_p_value({*result.test_ci_lower, *result.test_ci_upper},
                                                    *result.p_value, request.level);
    result.test_ci_lower = i.lower;
    result.test_ci_upper = i.upper;
  }
  return result;
}

}  // namespace quintara::runs
