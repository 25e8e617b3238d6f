#include "bindings/api_sc.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "bindings/results.hpp"
#include "core/format.hpp"
#include "core/runs/sc_run.hpp"
#include "core/runs/user_error.hpp"
#include "core/runs/validate.hpp"

namespace quintara::bindings {

namespace est = quintara::estimators;
namespace inf = quintara::inference;
namespace validate = quintara::runs::validate;
using runs::ScInference;

namespace {

// Every block-design entry opens with y, treated and treat_time.

// The leading checks every block-design entry shares, in their order;
// returns the number of donor rows.
template <class BlockArgs>
std::size_t check_block(const BlockArgs& a) {
  const auto [n_units, n_periods] = validate::check_panel(a.y);
  validate::check_treated(a.treated, n_units);
  validate::check_treat_time(a.treat_time, n_periods);
  return n_units - a.treated.size();
}

// Copies the panel (the last step under the interpreter lock), then runs the
// fit and its inference without the lock.
template <class BlockArgs>
Ref run(BlockArgs& a, estimators::sc::ScMethod method, ScInference inference, double level) {
  inf::PlaceboOptions placebo = placebo_options(a);
  runs::ScRequest request{mat_from_numpy(a.y),
                          std::move(a.treated),
                          static_cast<std::size_t>(a.treat_time),
                          std::move(method),
                          inference,
                          level,
                          placebo};
  return wrap(without_gil([&] { return runs::run_sc(std::move(request)); }));
}

ScInference placebo_or_none(bool placebo) {
  return placebo ? ScInference::Placebo : ScInference::None;
}

// The placebo test's options every family entry takes, checked after the
// entry's own; the most matched sets a call may ask for bounds its memory.
constexpr std::uint64_t kMaxPlacebos = 10'000'000;

template <class Args>
inf::PlaceboOptions placebo_options(const Args& a) {
  inf::PlaceboOptions o;
  if (a.placebo_size != "single" && a.placebo_size != "sampled" && a.placebo_size != "matched") {
    throw runs::UserError(
        format("unknown placebo_size '{}' (expected single/sampled/matched)", a.placebo_size));
  }
  o.matched = a.placebo_size == "matched";
  o.sampled = a.placebo_size == "sampled";
  validate::check_min_count("n_placebo", a.n_placebo);
  if (a.n_placebo > kMaxPlacebos) {
    throw runs::UserError(format("n_placebo must be <= {}; got {}", kMaxPlacebos, a.n_placebo));
  }
  o.n_placebo = static_cast<std::size_t>(a.n_placebo);
  o.seed = a.seed;
  validate::check_nonneg("max_pre_ratio", a.max_pre_ratio);
  o.max_pre_ratio = a.max_pre_ratio;
  return o;
}

struct FitScArgs {
  ArrayView y;
  std::vector<std::size_t> treated;
  std::uint64_t treat_time = 0;
  double ridge = 0.0;
  bool placebo = false;
  double level = 0.0;
  double penalty = 0.0;
  double min_weight = 0.0;
  double max_weight = 0.0;
  std::string placebo_size;
  std::uint64_t n_placebo = 0;
  std::uint64_t seed = 0;
  double max_pre_ratio = 0.0;
};

const Params fit_sc_params{"fit_sc",
                           arg("y", &FitScArgs::y),
                           arg("treated", &FitScArgs::treated),
                           arg("treat_time", &FitScArgs::treat_time),
                           arg("ridge", &FitScArgs::ridge, "0.0"),
                           arg("placebo", &FitScArgs::placebo, "False"),
                           arg("level", &FitScArgs::level, "0.95"),
                           arg("penalty", &FitScArgs::penalty, "0.0"),
                           arg("min_weight", &FitScArgs::min_weight, "0.0"),
                           arg("max_weight", &FitScArgs::max_weight, "1.0"),
                           arg("placebo_size", &FitScArgs::placebo_size, "\"single\""),
                           arg("n_placebo", &FitScArgs::n_placebo, "1000"),
                           arg("seed", &FitScArgs::seed, "0"),
                           arg("max_pre_ratio", &FitScArgs::max_pre_ratio, "0.0")};

Ref fit_sc(PyObject* args, PyObject* kwargs) {
  FitScArgs a = fit_sc_params.parse(args, kwargs);
  const std::size_t n_donors = check_block(a);
  est::sc::ScOptions options;
  options.ridge = a.ridge;
  options.penalty = a.penalty;
  validate::check_nonneg("ridge", options.ridge);
  validate::check_multiplier("penalty", options.penalty);
  validate::check_unit_interval("level", a.level);
  std::tie(options.min_weight, options.max_weight) =
      validate::check_weight_bounds(n_donors, a.min_weight, a.max_weight);
  return run(a, {options}, placebo_or_none(a.placebo), a.level);
}

struct FitAscArgs {
  ArrayView y;
  std::vector<std::size_t> treated;
  std::uint64_t treat_time = 0;
  double sc_ridge = 0.0;
  std::optional<double> aug_lambda;
  bool placebo = false;
  double level = 0.0;
  double min_weight = 0.0;
  double max_weight = 0.0;
  std::string placebo_size;
  std::uint64_t n_placebo = 0;
  std::uint64_t seed = 0;
  double max_pre_ratio = 0.0;
};

const Params fit_asc_params{"fit_asc",
                            arg("y", &FitAscArgs::y),
                            arg("treated", &FitAscArgs::treated),
                            arg("treat_time", &FitAscArgs::treat_time),
                            arg("sc_ridge", &FitAscArgs::sc_ridge, "0.0"),
                            opt_arg("aug_lambda", &FitAscArgs::aug_lambda),
                            arg("placebo", &FitAscArgs::placebo, "False"),
                            arg("level", &FitAscArgs::level, "0.95"),
                            arg("min_weight", &FitAscArgs::min_weight, "0.0"),
                            arg("max_weight", &FitAscArgs::max_weight, "1.0"),
                            arg("placebo_size", &FitAscArgs::placebo_size, "\"single\""),
                            arg("n_placebo", &FitAscArgs::n_placebo, "1000"),
                            arg("seed", &FitAscArgs::seed, "0"),
                            arg("max_pre_ratio", &FitAscArgs::max_pre_ratio, "0.0")};

Ref fit_asc(PyObject* args, PyObject* kwargs) {
  FitAscArgs a = fit_asc_params.parse(args, kwargs);
  const std::size_t n_donors = check_block(a);
  est::sc::AscOptions options;
  options.sc_ridge = a.sc_ridge;
  validate::check_nonneg("sc_ridge", options.sc_ridge);
  options.aug_lambda = a.aug_lambda;
  if (options.aug_lambda) validate::check_pos("aug_lambda", *options.aug_lambda);
  validate::check_unit_interval("level", a.level);
  std::tie(options.min_weight, options.max_weight) =
      validate::check_weight_bounds(n_donors, a.min_weight, a.max_weight);
  return run(a, {options}, placebo_or_none(a.placebo), a.level);
}

struct FitSdidArgs {
  ArrayView y;
  std::vector<std::size_t> treated;
  std::uint64_t treat_time = 0;
  double zeta_scale = 0.0;
  std::string inference;
  double level = 0.0;
  double min_weight = 0.0;
  double max_weight = 0.0;
  std::string placebo_size;
  std::uint64_t n_placebo = 0;
  std::uint64_t seed = 0;
  double max_pre_ratio = 0.0;
};

const Params fit_sdid_params{"fit_sdid",
                             arg("y", &FitSdidArgs::y),
                             arg("treated", &FitSdidArgs::treated),
                             arg("treat_time", &FitSdidArgs::treat_time),
                             arg("zeta_scale", &FitSdidArgs::zeta_scale, "1.0"),
                             arg("inference", &FitSdidArgs::inference, "\"none\""),
                             arg("level", &FitSdidArgs::level, "0.95"),
                             arg("min_weight", &FitSdidArgs::min_weight, "0.0"),
                             arg("max_weight", &FitSdidArgs::max_weight, "1.0"),
                             arg("placebo_size", &FitSdidArgs::placebo_size, "\"single\""),
                             arg("n_placebo", &FitSdidArgs::n_placebo, "1000"),
                             arg("seed", &FitSdidArgs::seed, "0"),
                             arg("max_pre_ratio", &FitSdidArgs::max_pre_ratio, "0.0")};

Ref fit_sdid(PyObject* args, PyObject* kwargs) {
  FitSdidArgs a = fit_sdid_params.parse(args, kwargs);
  const std::size_t n_donors = check_block(a);
  est::sc::SdidOptions options;
  options.zeta_scale = a.zeta_scale;
  validate::check_multiplier("zeta_scale", options.zeta_scale);
  validate::check_unit_interval("level", a.level);
  const ScInference inference = runs::parse_sdid_inference(a.inference);
  if (inference == ScInference::Jackknife && a.treated.size() < 2) {
    throw runs::UserError(
        "the SDID jackknife needs >= 2 treated units; use inference='placebo' for a single "
        "treated unit");
  }
  std::tie(options.min_weight, options.max_weight) =
      validate::check_weight_bounds(n_donors, a.min_weight, a.max_weight);
  return run(a, {options}, inference, a.level);
}

struct FitFpArgs {
  ArrayView y;
  std::vector<std::size_t> treated;
  std::uint64_t treat_time = 0;
  double ridge = 0.0;
  bool placebo = false;
  double level = 0.0;
  double min_weight = 0.0;
  double max_weight = 0.0;
  std::string placebo_size;
  std::uint64_t n_placebo = 0;
  std::uint64_t seed = 0;
  double max_pre_ratio = 0.0;
};

const Params fit_fp_params{"fit_fp",
                           arg("y", &FitFpArgs::y),
                           arg("treated", &FitFpArgs::treated),
                           arg("treat_time", &FitFpArgs::treat_time),
                           arg("ridge", &FitFpArgs::ridge, "0.0"),
                           arg("placebo", &FitFpArgs::placebo, "False"),
                           arg("level", &FitFpArgs::level, "0.95"),
                           arg("min_weight", &FitFpArgs::min_weight, "0.0"),
                           arg("max_weight", &FitFpArgs::max_weight, "1.0"),
                           arg("placebo_size", &FitFpArgs::placebo_size, "\"single\""),
                           arg("n_placebo", &FitFpArgs::n_placebo, "1000"),
                           arg("seed", &FitFpArgs::seed, "0"),
                           arg("max_pre_ratio", &FitFpArgs::max_pre_ratio, "0.0")};

Ref fit_fp(PyObject* args, PyObject* kwargs) {
  FitFpArgs a = fit_fp_params.parse(args, kwargs);
  const std::size_t n_donors = check_block(a);
  est::sc::FpOptions options;
  options.ridge = a.ridge;
  validate::check_nonneg("ridge", options.ridge);
  validate::check_unit_interval("level", a.level);
  std::tie(options.min_weight, options.max_weight) =
      validate::check_weight_bounds(n_donors, a.min_weight, a.max_weight);
  return run(a, {options}, placebo_or_none(a.placebo), a.level);
}

struct FitRscArgs {
  ArrayView y;
  std::vector<std::size_t> treated;
  std::uint64_t treat_time = 0;
  std::optional<std::uint64_t> rank;
  double energy = 0.0;
  double ridge = 0.0;
  bool placebo = false;
  double level = 0.0;
  std::string placebo_size;
  std::uint64_t n_placebo = 0;
  std::uint64_t seed = 0;
  double max_pre_ratio = 0.0;
};

const Params fit_rsc_params{"fit_rsc",
                            arg("y", &FitRscArgs::y),
                            arg("treated", &FitRscArgs::treated),
                            arg("treat_time", &FitRscArgs::treat_time),
                            opt_arg("rank", &FitRscArgs::rank),
                            arg("energy", &FitRscArgs::energy, "0.999"),
                            arg("ridge", &FitRscArgs::ridge, "0.0"),
                            arg("placebo", &FitRscArgs::placebo, "False"),
                            arg("level", &FitRscArgs::level, "0.95"),
                            arg("placebo_size", &FitRscArgs::placebo_size, "\"single\""),
                            arg("n_placebo", &FitRscArgs::n_placebo, "1000"),
                            arg("seed", &FitRscArgs::seed, "0"),
                            arg("max_pre_ratio", &FitRscArgs::max_pre_ratio, "0.0")};

Ref fit_rsc(PyObject* args, PyObject* kwargs) {
  FitRscArgs a = fit_rsc_params.parse(args, kwargs);
  check_block(a);
  est::sc::RscOptions options;
  options.ridge = a.ridge;
  validate::check_nonneg("ridge", options.ridge);
  options.energy = a.energy;
  validate::check_unit_interval("energy", options.energy);
  validate::check_unit_interval("level", a.level);
  // The library keeps one component for rank 0; from Python it is an error.
  if (a.rank) {
    validate::check_min_count("rank", *a.rank);
    options.rank = static_cast<std::size_t>(*a.rank);
  }
  return run(a, {options}, placebo_or_none(a.placebo), a.level);
}

const EntryDef fit_sc_entry{
    &fit_sc_params.signature(),
    "Fit synthetic control.\n"
    "\n"
    "`y` is an `N\xC3\x97T` outcome array (rows = units, cols = periods). `treated` are\n"
    "the row indices of treated units; `treat_time` is the first post-period\n"
    "column index. If `placebo` is true, an in-space placebo test is run and the\n"
    "p-value / distribution are attached.",
    cfunction<fit_sc>(),
};

const EntryDef fit_asc_entry{
    &fit_asc_params.signature(),
    "Fit Augmented Synthetic Control (Ben-Michael et al. 2021). If `placebo` is\n"
    "true, an in-space placebo test (refitting ASC per donor) attaches the\n"
    "p-value and ATT-scale SE / CI.",
    cfunction<fit_asc>(),
};

const EntryDef fit_sdid_entry{
    &fit_sdid_params.signature(),
    "Fit Synthetic Difference-in-Differences (Arkhangelsky et al. 2021).\n"
    "\n"
    "`inference` is `\"none\"`, `\"placebo\"` (in-space placebo, refitting SDID per\n"
    "donor) or `\"jackknife\"` (the fixed-weights leave-one-unit-out jackknife of\n"
    "Arkhangelsky et al.; needs >= 2 treated units).",
    cfunction<fit_sdid>(),
};

const EntryDef fit_fp_entry{
    &fit_fp_params.signature(),
    "Fit the demeaned synthetic control (Ferman & Pinto 2021).\n"
    "\n"
    "SC on unit-demeaned data: each unit's pre-treatment mean is removed before\n"
    "the weights are solved, and the treated unit's level is added back to build\n"
    "the counterfactual. Robust to a treated level that no convex combination of\n"
    "donors can match. If `placebo` is true, an in-space placebo test attaches the\n"
    "p-value and ATT-scale SE / CI.",
    cfunction<fit_fp>(),
};

const EntryDef fit_rsc_entry{
    &fit_rsc_params.signature(),
    "Fit robust / spectrally de-noised synthetic control (Amjad, Shah & Shen\n"
    "2018).\n"
    "\n"
    "Hard-thresholds the donor panel's spectrum and regresses the treated\n"
    "pre-period on the de-noised factors. `rank` pins the retained rank; `None`\n"
    "picks the smallest rank carrying `energy` of the squared spectrum. The\n"
    "weights this returns are unconstrained (they may be negative and need not sum\n"
    "to one), which is what lets it extrapolate beyond the donor hull.",
    cfunction<fit_rsc>(),
};

const EntryDef* const kScEntries[] = {&fit_sc_entry, &fit_asc_entry, &fit_sdid_entry, &fit_fp_entry,
                                      &fit_rsc_entry};

}  // namespace

std::span<const EntryDef* const> sc_entries() { return kScEntries; }

}  // namespace quintara::bindings
