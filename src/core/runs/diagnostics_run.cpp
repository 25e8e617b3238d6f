#include "core/runs/diagnostics_run.hpp"

#include <utility>

#include "core/format.hpp"
#include "core/runs/scale.hpp"
#include "core/runs/user_error.hpp"

namespace quintara::runs {

void check_diagnostics_window(std::uint64_t test_len, std::size_t n_periods) {
  if (test_len < 1 || test_len >= n_periods) {
    throw UserError(format("test_len must be in [1, {}) so at least one pre-period remains; got {}",
                           n_periods, test_len));
  }
}

PyGeoDiagnostics diagnostics_record(geo::Diagnostics d) {
  PyGeoDiagnostics r;
  r.holdout_pct = d.holdout_pct;
  r.pre_fit_rel = d.pre_fit_rel;
  r.improvement_vs_naive = d.improvement_vs_naive;
  r.seasonality_strength = d.seasonality_strength;
  r.stability_score = d.stability_score;
  r.confidence = d.confidence;
  r.warnings = std::move(d.warnings);
  return r;
}

PyGeoDiagnostics run_diagnostics(const linalg::Mat& y, std::span<const std::size_t> treated,
                                 std::size_t test_len) {
  // Every diagnostic is a ratio, so nothing is scaled back; the floors and
  // the synthetic-control fit inside are what the normalisation is for.
  return diagnostics_record(geo::diagnostics(normalised_copy(y).first, treated, test_len));
}

}  // namespace quintara::runs
