#include "core/runs/records.hpp"

#include "core/format.hpp"

namespace quintara::runs {

std::string repr(const PyScResult& r) {
  const std::string p = r.p_value ? format(", p={:.4}", *r.p_value) : std::string();
  return format("SCResult(att={:.6}{}, pre_rmspe={:.4}, post_rmspe={:.4}, n_donors={})", r.att, p,
                r.pre_rmspe, r.post_rmspe, r.donor_ids.size());
}

std::string repr(const PyDidResult& r) {
  return format("DiDResult(att={:.6}, se={:.6}, n_event_times={})", r.att, r.se,
                r.event_time.size());
}

std::string repr(const PyCpascResult& r) {
  return format("CPASCResult(att={:.6}, p={:.4}, n_treated={})", r.att, r.p_value,
                r.unit_ids.size());
}

std::string repr(const PyBaconComponent& r) {
  const std::string cmp =
      r.comparison_cohort ? format("Some({})", *r.comparison_cohort) : std::string("None");
  return format("BaconComponent(kind={}, treated={}, comparison={}, weight={:.4}, estimate={:.4})",
                r.kind, r.treated_cohort, cmp, r.weight, r.estimate);
}

std::string repr(const PyBaconResult& r) {
  return format("BaconResult(twfe={:.6}, forbidden_weight={:.4}, n_components={})", r.twfe,
                r.forbidden_weight, r.components.size());
}

std::string repr(const PyPowerResult& r) {
  const std::string mde =
      r.mde_pct ? "Some(" + format_float_debug(*r.mde_pct) + ")" : std::string("None");
  return format("PowerResult(method={}, mde_pct={}, n_windows={})", r.method, mde, r.n_windows);
}

std::string repr(const PyGeoDiagnostics& r) {
  return format("GeoDiagnostics(confidence={:.0}, holdout={:.1}%, n_warnings={})", r.confidence,
                r.holdout_pct * 100.0, r.warnings.size());
}

std::string repr(const PyMarketCandidate& r) {
  std::string treated = "[";
  for (std::size_t i = 0; i < r.treated.size(); ++i) {
    if (i > 0) treated += ", ";
    treated += std::to_string(r.treated[i]);
  }
  treated += "]";
  return format("MarketCandidate(treated={}, power={:.2}, confidence={:.0}, score={:.3})", treated,
                r.power_at_target, r.confidence, r.score);
}

std::string repr(const PyGeoAnalysis& r) {
  return format("GeoAnalysis(att={:.4}, lift={:.2}%, p={:.3}, n_treated={})", r.att, r.lift_pct,
                r.p_value, r.n_treated);
}

std::string repr(const PyCellDesign& r) {
  return format("CellDesign(n_cells={}, score={:.3}, total={:.3})", r.cells.size(), r.score,
                r.total);
}

std::string repr(const PyCellSelection& r) {
  return format("CellDesigns(n_designs={:.0}, n_scored={}, search={})", r.n_designs, r.n_scored,
                r.search);
}

}  // namespace quintara::runs
