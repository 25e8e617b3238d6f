#include "bindings/api_callaway.hpp"

#include <cmath>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "bindings/did_panel.hpp"
#include "bindings/results.hpp"
#include "bindings/validate.hpp"
#include "core/estimators/did/callaway.hpp"
#include "core/format.hpp"
#include "core/inference/bootstrap.hpp"

namespace quintara::bindings {

namespace did = quintara::estimators::did;
namespace inf = quintara::inference;

namespace {

const Signature fit_callaway_signature{
    "fit_callaway_py",
    {{"y", Kind::Array2},
     {"cohorts", Kind::IntList},
     {"control", Kind::Name, "\"never\""},
     {"covariates", Kind::Array2, "None"},
     {"anticipation", Kind::Count, "0"},
     {"bands", Kind::Flag, "False"},
     {"n_reps", Kind::Count, "999"},
     {"seed", Kind::Count, "0"},
     {"level", Kind::Float, "0.95"}}};

struct BandOptions {
  bool run = false;
  std::uint64_t n_reps = 0;
  std::uint64_t seed = 0;
  double level = 0.0;
};

// Everything after validation; runs without the interpreter lock.
PyDidResult fit_and_aggregate(const estimators::Panel& panel, bool not_yet,
                              std::size_t anticipation, const BandOptions& bands) {
  const did::CsResult cs = did::fit_with_anticipation(panel, not_yet, anticipation);
  PyDidResult r;
  r.att = cs.overall_att;
  r.se = cs.overall_se;
  fill_event_study(r, cs.event_study);
  if (bands.run) {
    std::vector<std::vector<double>> ifs;
    ifs.reserve(cs.event_study.size());
    for (const did::AggEffect& e : cs.event_study) ifs.push_back(e.influence);
    const inf::EventBands b = inf::multiplier_event_bands(ifs, r.event_att, r.event_se,
                                                          bands.n_reps, bands.seed, bands.level);
    for (const auto& [lo, hi] : b.bands) {
      r.event_lo.push_back(lo);
      r.event_hi.push_back(hi);
    }
    r.band_crit = b.crit;
  }
  for (const did::AggEffect& g : cs.groups) {
    r.group_cohort.push_back(g.key);
    r.group_att.push_back(g.estimate);
    r.group_se.push_back(g.se);
  }
  r.overall_group_att = cs.group_overall_att;
  r.overall_group_se = cs.group_overall_se;
  return r;
}

Ref fit_callaway_py(PyObject* args, PyObject* kwargs) {
  const Args a = parse_args(fit_callaway_signature, args, kwargs);
  const std::string& control = a.text("control");
  bool not_yet = false;
  if (control == "notyet" || control == "not_yet_treated") {
    not_yet = true;
  } else if (control != "never") {
    throw UserError(format("unknown control group '{}' (expected never/notyet)", control));
  }
  estimators::Panel panel = build_panel(a.array("y"), a.ints("cohorts"));
  require_estimable_cohort(panel, "Callaway-Sant'Anna");
  BandOptions bands{a.flag("bands"), a.count("n_reps"), a.count("seed"), a.real("level")};
  validate::check_unit_interval("level", bands.level);
  validate::check_min_count("n_reps", bands.n_reps);

  const std::uint64_t anticipation = a.count("anticipation");
  bool usable = false;
  for (const std::size_t g : panel.cohorts()) usable = usable || g > anticipation;
  if (!usable) {
    throw UserError(format(
        "anticipation={}: no cohort has a usable base period              (need treat_start >= {})",
        anticipation, anticipation + 1));
  }
  if (!not_yet) {
    require_never_treated(panel, "Callaway-Sant'Anna with control='never'",
                          "If every unit eventually adopts, pass control='notyet' to compare "
                          "against not-yet-treated units instead.");
  }
  if (const ArrayView* x = a.opt_array("covariates")) {
    const std::size_t n_units = panel.n_units();
    if (x->dim(0) != n_units) {
      throw UserError(format("covariates must have one row per unit ({}); got {}", n_units,
                             x->dim(0)));
    }
    for (std::size_t i = 0; i < x->dim(0); ++i) {
      for (std::size_t k = 0; k < x->dim(1); ++k) {
        if (!std::isfinite(x->at(i, k))) {
          throw UserError("covariates contain NaN or inf; provide complete, finite covariates");
        }
      }
    }
    panel = std::move(panel).with_covariates(mat_from_numpy(*x));
  }

  return wrap(without_gil([&] {
    return fit_and_aggregate(panel, not_yet, static_cast<std::size_t>(anticipation), bands);
  }));
}

}  // namespace

const EntryDef fit_callaway_entry{
    &fit_callaway_signature,
    "Callaway & Sant'Anna group-time ATTs aggregated to overall + event study.\n"
    "`control` is \"never\" (never-treated units as the comparison group) or\n"
    "\"notyet\" (not-yet-treated units). If `covariates` (an `N\xC3\x97K` array) is\n"
    "given, the group-time ATTs are covariate-adjusted (regression adjustment).",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<fit_callaway_py>)),
};

}  // namespace quintara::bindings
