#include "bindings/api_did.hpp"

#include <optional>
#include <utility>

#include "bindings/did_panel.hpp"
#include "bindings/records.hpp"
#include "bindings/results.hpp"
#include "bindings/user_error.hpp"
#include "core/estimators/did/bacon.hpp"
#include "core/estimators/did/sunab.hpp"
#include "core/estimators/did/twfe.hpp"

namespace quintara::bindings {

namespace est = quintara::estimators;
namespace did = quintara::estimators::did;

namespace {

// The three entries share one parameter list.
const Signature fit_twfe_signature{"fit_twfe_py",
                                   {{"y", Kind::Array2}, {"cohorts", Kind::IntList}}};
const Signature fit_sunab_signature{"fit_sunab_py",
                                    {{"y", Kind::Array2}, {"cohorts", Kind::IntList}}};
const Signature bacon_signature{"bacon_decompose_py",
                                {{"y", Kind::Array2}, {"cohorts", Kind::IntList}}};

Ref fit_twfe(PyObject* args, PyObject* kwargs) {
  const Args a = parse_args(fit_twfe_signature, args, kwargs);
  const est::Panel panel = build_panel(a.array("y"), a.ints("cohorts"));
  require_estimable_cohort(panel, "TWFE");
  if (panel.never_treated_units().empty() && panel.cohorts().size() == 1) {
    throw UserError(
        "TWFE: every unit adopts at the same period and there are no control units, so the "
        "unit and time fixed effects absorb the treatment indicator entirely.");
  }
  const did::TwfeFit fit = did::twfe::fit(panel);
  PyDidResult r;
  r.att = fit.att;
  r.se = fit.se;
  return wrap(std::move(r));
}

Ref fit_sunab(PyObject* args, PyObject* kwargs) {
  const Args a = parse_args(fit_sunab_signature, args, kwargs);
  const est::Panel panel = build_panel(a.array("y"), a.ints("cohorts"));
  require_estimable_cohort(panel, "Sun-Abraham");
  require_never_treated(
      panel, "Sun-Abraham",
      "The interaction-weighted estimator uses never-treated units as the reference group.");
  const did::SaResult fit = did::sunab::fit(panel);
  PyDidResult r;
  r.att = fit.att;
  r.se = fit.se;
  fill_event_study(r, fit.event);
  return wrap(std::move(r));
}

const char* kind_label(did::BaconKind kind) {
  switch (kind) {
    case did::BaconKind::TreatedVsUntreated: return "treated_vs_untreated";
    case did::BaconKind::EarlierVsLater: return "earlier_vs_later";
    case did::BaconKind::LaterVsEarlier: return "later_vs_earlier_forbidden";
  }
  return "";
}

Ref bacon_decompose(PyObject* args, PyObject* kwargs) {
  const Args a = parse_args(bacon_signature, args, kwargs);
  const est::Panel panel = build_panel(a.array("y"), a.ints("cohorts"));
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
  const did::BaconDecomposition d = did::bacon::decompose(panel);
  PyBaconResult r;
  r.twfe = d.twfe;
  r.forbidden_weight = d.forbidden_weight;
  for (const did::BaconComponent& c : d.components) {
    r.components.push_back(PyBaconComponent{kind_label(c.kind), c.treated_cohort,
                                            c.comparison_cohort, c.weight, c.estimate});
  }
  return wrap(std::move(r));
}

template <EntryFn F>
PyCFunction cfunction() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<F>));
}

}  // namespace

const EntryDef fit_twfe_py_entry{&fit_twfe_signature,
                                 "Two-way fixed-effects DiD with cluster-robust SE.",
                                 cfunction<fit_twfe>()};

const EntryDef fit_sunab_py_entry{&fit_sunab_signature,
                                  "Sun & Abraham interaction-weighted event study.",
                                  cfunction<fit_sunab>()};

const EntryDef bacon_decompose_py_entry{
    &bacon_signature,
    "Goodman-Bacon decomposition of the TWFE estimate into 2\xC3\x97" "2 comparisons.",
    cfunction<bacon_decompose>()};

}  // namespace quintara::bindings
