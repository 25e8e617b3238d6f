#include "bindings/api_sc.hpp"

#include <string>
#include <tuple>
#include <utility>

#include "bindings/results.hpp"
#include "bindings/validate.hpp"
#include "core/estimators/panel.hpp"
#include "core/estimators/sc/augmented.hpp"
#include "core/estimators/sc/demeaned.hpp"
#include "core/estimators/sc/sdid.hpp"
#include "core/estimators/sc/robust.hpp"
#include "core/estimators/sc/synthetic.hpp"
#include "core/format.hpp"
#include "core/inference/intervals.hpp"

namespace quintara::bindings {

namespace est = quintara::estimators;
namespace inf = quintara::inference;

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
  return r;
}

void attach_placebo(PyScResult& result, const inf::PlaceboResult& placebo, double att,
                    double level) {
  if (placebo.placebo_stats.empty()) return;
  result.p_value = placebo.p_value;
  result.inference_distribution = placebo.placebo_stats;
  // The interval is the real effect shifted by the central `level` range of
  // the placebo effects, so att need not lie inside it.
  const inf::Interval i = inf::percentile_ci(placebo.placebo_atts, 0.0, level);
  result.se = i.se;
  result.ci_lower = i.lower + att;
  result.ci_upper = att + i.upper;
  result.placebo_atts = placebo.placebo_atts;
}

namespace {

// The leading checks every block-design entry shares, in their order.
struct BlockInput {
  std::size_t n_units;
  std::size_t n_periods;
  const std::vector<std::size_t>& treated;
  std::uint64_t t0;
};

BlockInput check_block(const Args& a) {
  const auto [n_units, n_periods] = validate::check_panel(a.array("y"));
  const std::vector<std::size_t>& treated = a.indices("treated");
  validate::check_treated(treated, n_units);
  const std::uint64_t t0 = a.count("treat_time");
  validate::check_treat_time(t0, n_periods);
  return {n_units, n_periods, treated, t0};
}

// Fits the block panel and, on request, runs the placebo test, all without the
// interpreter lock; `extra(panel, fit, result)` then adds any other inference
// in the same released section. `y` and `treated` are owned copies.
template <class Extra>
PyScResult fit_block(linalg::Mat y, const std::vector<std::size_t>& treated, std::size_t t0,
                     const inf::ScMethod& method, bool placebo, double level, Extra&& extra) {
  return without_gil([&] {
    const est::Panel panel = est::Panel::block(std::move(y), treated, t0);
    const est::ScFit fit = method.fit_at(panel, t0);
    PyScResult result = result_from_fit(fit);
    if (placebo) attach_placebo(result, inf::sc_placebo_method(panel, method), fit.att, level);
    extra(panel, fit, result);
    return result;
  });
}

PyScResult fit_block_with_placebo(linalg::Mat y, const std::vector<std::size_t>& treated,
                                  std::size_t t0, const inf::ScMethod& method, bool placebo,
                                  double level) {
  return fit_block(std::move(y), treated, t0, method, placebo, level,
                   [](const est::Panel&, const est::ScFit&, PyScResult&) {});
}

const Signature fit_sc_signature{
    "fit_sc",
    {{"y", Kind::Array2},
     {"treated", Kind::IndexList},
     {"treat_time", Kind::Count},
     {"ridge", Kind::Float, "0.0"},
     {"placebo", Kind::Flag, "False"},
     {"level", Kind::Float, "0.95"},
     {"penalty", Kind::Float, "0.0"},
     {"min_weight", Kind::Float, "0.0"},
     {"max_weight", Kind::Float, "1.0"}}};

Ref fit_sc(PyObject* args, PyObject* kwargs) {
  const Args a = parse_args(fit_sc_signature, args, kwargs);
  const auto [n_units, n_periods, treated, t0] = check_block(a);
  est::sc::ScOptions options;
  options.ridge = a.real("ridge");
  options.penalty = a.real("penalty");
  validate::check_nonneg("ridge", options.ridge);
  validate::check_nonneg("penalty", options.penalty);
  const double level = a.real("level");
  validate::check_unit_interval("level", level);
  std::tie(options.min_weight, options.max_weight) = validate::check_weight_bounds(
      n_units - treated.size(), a.real("min_weight"), a.real("max_weight"));

  return wrap(fit_block_with_placebo(mat_from_numpy(a.array("y")), treated, t0,
                                     inf::ScMethod{options}, a.flag("placebo"), level));
}

const Signature fit_asc_signature{
    "fit_asc",
    {{"y", Kind::Array2},
     {"treated", Kind::IndexList},
     {"treat_time", Kind::Count},
     {"sc_ridge", Kind::Float, "0.0"},
     {"aug_lambda", Kind::Float, "None"},
     {"placebo", Kind::Flag, "False"},
     {"level", Kind::Float, "0.95"},
     {"min_weight", Kind::Float, "0.0"},
     {"max_weight", Kind::Float, "1.0"}}};

Ref fit_asc(PyObject* args, PyObject* kwargs) {
  const Args a = parse_args(fit_asc_signature, args, kwargs);
  const auto [n_units, n_periods, treated, t0] = check_block(a);
  est::sc::AscOptions options;
  options.sc_ridge = a.real("sc_ridge");
  validate::check_nonneg("sc_ridge", options.sc_ridge);
  options.aug_lambda = a.opt_real("aug_lambda");
  if (options.aug_lambda) validate::check_pos("aug_lambda", *options.aug_lambda);
  const double level = a.real("level");
  validate::check_unit_interval("level", level);
  std::tie(options.min_weight, options.max_weight) = validate::check_weight_bounds(
      n_units - treated.size(), a.real("min_weight"), a.real("max_weight"));

  return wrap(fit_block_with_placebo(mat_from_numpy(a.array("y")), treated, t0,
                                     inf::ScMethod{options}, a.flag("placebo"), level));
}

const Signature fit_sdid_signature{
    "fit_sdid",
    {{"y", Kind::Array2},
     {"treated", Kind::IndexList},
     {"treat_time", Kind::Count},
     {"zeta_scale", Kind::Float, "1.0"},
     {"inference", Kind::Name, "\"none\""},
     {"level", Kind::Float, "0.95"},
     {"min_weight", Kind::Float, "0.0"},
     {"max_weight", Kind::Float, "1.0"}}};

Ref fit_sdid(PyObject* args, PyObject* kwargs) {
  const Args a = parse_args(fit_sdid_signature, args, kwargs);
  const auto [n_units, n_periods, treated, t0] = check_block(a);
  est::sc::SdidOptions options;
  options.zeta_scale = a.real("zeta_scale");
  validate::check_nonneg("zeta_scale", options.zeta_scale);
  const double level = a.real("level");
  validate::check_unit_interval("level", level);
  const std::string& inference = a.text("inference");
  const bool jackknife = inference == "jackknife";
  if (jackknife) {
    if (treated.size() < 2) {
      throw UserError(
          "the SDID jackknife needs >= 2 treated units; use inference='placebo' for a single "
          "treated unit");
    }
  } else if (inference != "placebo" && inference != "none") {
    throw UserError(
        format("unknown SDID inference '{}' (expected none/placebo/jackknife)", inference));
  }
  std::tie(options.min_weight, options.max_weight) = validate::check_weight_bounds(
      n_units - treated.size(), a.real("min_weight"), a.real("max_weight"));

  // The jackknife holds both weight vectors fixed and refits nothing; its
  // interval is normal, att +- z * se.
  const auto attach_jackknife = [&, t0 = t0](const est::Panel& panel, const est::ScFit& fit,
                                             PyScResult& result) {
    if (!jackknife) return;
    std::vector<double> loo = est::sc::sdid::jackknife_loo_atts(panel, t0, options);
    const double se = est::sc::sdid::jackknife_se(loo);
    const double z = inf::normal_quantile(1.0 - (1.0 - level) / 2.0);
    result.se = se;
    result.ci_lower = fit.att - z * se;
    result.ci_upper = fit.att + z * se;
    result.inference_distribution = std::move(loo);
  };
  return wrap(fit_block(mat_from_numpy(a.array("y")), treated, t0, inf::ScMethod{options},
                        inference == "placebo", level, attach_jackknife));
}

const Signature fit_fp_signature{
    "fit_fp",
    {{"y", Kind::Array2},
     {"treated", Kind::IndexList},
     {"treat_time", Kind::Count},
     {"ridge", Kind::Float, "0.0"},
     {"placebo", Kind::Flag, "False"},
     {"level", Kind::Float, "0.95"},
     {"min_weight", Kind::Float, "0.0"},
     {"max_weight", Kind::Float, "1.0"}}};

Ref fit_fp(PyObject* args, PyObject* kwargs) {
  const Args a = parse_args(fit_fp_signature, args, kwargs);
  const auto [n_units, n_periods, treated, t0] = check_block(a);
  est::sc::FpOptions options;
  options.ridge = a.real("ridge");
  validate::check_nonneg("ridge", options.ridge);
  const double level = a.real("level");
  validate::check_unit_interval("level", level);
  std::tie(options.min_weight, options.max_weight) = validate::check_weight_bounds(
      n_units - treated.size(), a.real("min_weight"), a.real("max_weight"));

  return wrap(fit_block_with_placebo(mat_from_numpy(a.array("y")), treated, t0,
                                     inf::ScMethod{options}, a.flag("placebo"), level));
}

}  // namespace

const EntryDef fit_sc_entry{
    &fit_sc_signature,
    "Fit synthetic control.\n"
    "\n"
    "`y` is an `N\xC3\x97T` outcome array (rows = units, cols = periods). `treated` are\n"
    "the row indices of treated units; `treat_time` is the first post-period\n"
    "column index. If `placebo` is true, an in-space placebo test is run and the\n"
    "p-value / distribution are attached.",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<fit_sc>)),
};

const EntryDef fit_asc_entry{
    &fit_asc_signature,
    "Fit Augmented Synthetic Control (Ben-Michael et al. 2021). If `placebo` is\n"
    "true, an in-space placebo test (refitting ASC per donor) attaches the\n"
    "p-value and ATT-scale SE / CI.",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<fit_asc>)),
};

const EntryDef fit_sdid_entry{
    &fit_sdid_signature,
    "Fit Synthetic Difference-in-Differences (Arkhangelsky et al. 2021).\n"
    "\n"
    "`inference` is `\"none\"`, `\"placebo\"` (in-space placebo, refitting SDID per\n"
    "donor) or `\"jackknife\"` (the fixed-weights leave-one-unit-out jackknife of\n"
    "Arkhangelsky et al.; needs >= 2 treated units).",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<fit_sdid>)),
};

const EntryDef fit_fp_entry{
    &fit_fp_signature,
    "Fit the demeaned synthetic control (Ferman & Pinto 2021).\n"
    "\n"
    "SC on unit-demeaned data: each unit's pre-treatment mean is removed before\n"
    "the weights are solved, and the treated unit's level is added back to build\n"
    "the counterfactual. Robust to a treated level that no convex combination of\n"
    "donors can match. If `placebo` is true, an in-space placebo test attaches the\n"
    "p-value and ATT-scale SE / CI.",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<fit_fp>)),
};

namespace {

const Signature fit_rsc_signature{
    "fit_rsc",
    {{"y", Kind::Array2},
     {"treated", Kind::IndexList},
     {"treat_time", Kind::Count},
     {"rank", Kind::Count, "None"},
     {"energy", Kind::Float, "0.999"},
     {"ridge", Kind::Float, "0.0"},
     {"placebo", Kind::Flag, "False"},
     {"level", Kind::Float, "0.95"}}};

Ref fit_rsc(PyObject* args, PyObject* kwargs) {
  const Args a = parse_args(fit_rsc_signature, args, kwargs);
  const auto [n_units, n_periods, treated, t0] = check_block(a);
  est::sc::RscOptions options;
  options.ridge = a.real("ridge");
  validate::check_nonneg("ridge", options.ridge);
  options.energy = a.real("energy");
  validate::check_unit_interval("energy", options.energy);
  const double level = a.real("level");
  validate::check_unit_interval("level", level);
  // The library keeps one component for rank 0; from Python it is an error.
  if (const auto rank = a.opt_count("rank")) {
    validate::check_min_count("rank", *rank);
    options.rank = static_cast<std::size_t>(*rank);
  }

  return wrap(fit_block_with_placebo(mat_from_numpy(a.array("y")), treated, t0,
                                     inf::ScMethod{options}, a.flag("placebo"), level));
}

}  // namespace

const EntryDef fit_rsc_entry{
    &fit_rsc_signature,
    "Fit robust / spectrally de-noised synthetic control (Amjad, Shah & Shen\n"
    "2018).\n"
    "\n"
    "Hard-thresholds the donor panel's spectrum and regresses the treated\n"
    "pre-period on the de-noised factors. `rank` pins the retained rank; `None`\n"
    "picks the smallest rank carrying `energy` of the squared spectrum. The\n"
    "weights this returns are unconstrained (they may be negative and need not sum\n"
    "to one), which is what lets it extrapolate beyond the donor hull.",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<fit_rsc>)),
};

}  // namespace quintara::bindings
