#include "bindings/api_sc.hpp"

#include <tuple>
#include <utility>

#include "bindings/results.hpp"
#include "bindings/validate.hpp"
#include "core/estimators/panel.hpp"
#include "core/estimators/sc/robust.hpp"
#include "core/estimators/sc/synthetic.hpp"
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

// Fits the block panel and, on request, runs the placebo test, all without the
// interpreter lock. `y` and `treated` are owned copies.
PyScResult fit_block_with_placebo(linalg::Mat y, const std::vector<std::size_t>& treated,
                                  std::size_t t0, const inf::ScMethod& method, bool placebo,
                                  double level) {
  return without_gil([&] {
    const est::Panel panel = est::Panel::block(std::move(y), treated, t0);
    const est::ScFit fit = method.fit_at(panel, t0);
    PyScResult result = result_from_fit(fit);
    if (placebo) attach_placebo(result, inf::sc_placebo_method(panel, method), fit.att, level);
    return result;
  });
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
  const auto [n_units, n_periods] = validate::check_panel(a.array("y"));
  const std::vector<std::size_t>& treated = a.indices("treated");
  validate::check_treated(treated, n_units);
  const std::uint64_t t0 = a.count("treat_time");
  validate::check_treat_time(t0, n_periods);
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
  const auto [n_units, n_periods] = validate::check_panel(a.array("y"));
  const std::vector<std::size_t>& treated = a.indices("treated");
  validate::check_treated(treated, n_units);
  const std::uint64_t t0 = a.count("treat_time");
  validate::check_treat_time(t0, n_periods);
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
