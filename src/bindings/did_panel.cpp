#include "bindings/did_panel.hpp"

#include <optional>
#include <vector>

#include "bindings/user_error.hpp"
#include "bindings/validate.hpp"
#include "core/format.hpp"

namespace quintara::bindings {

estimators::Panel build_panel(const ArrayView& y, std::span<const std::int64_t> cohorts) {
  const auto [n_units, n_periods] = validate::check_panel(y);
  if (cohorts.size() != n_units) {
    throw UserError(format("treat_start has {} entries but the panel has {} units",
                           cohorts.size(), n_units));
  }
  linalg::Mat outcomes = mat_from_numpy(y);
  std::vector<std::optional<std::size_t>> start(n_units);
  for (std::size_t i = 0; i < n_units; ++i) {
    const std::int64_t c = cohorts[i];
    if (c >= 0 && static_cast<std::uint64_t>(c) < n_periods) start[i] = static_cast<std::size_t>(c);
  }
  return estimators::Panel::make(std::move(outcomes), std::move(start));
}

void require_never_treated(const estimators::Panel& panel, std::string_view label,
                           std::string_view hint) {
  if (!panel.never_treated_units().empty()) return;
  throw UserError(format(
      "{} needs at least one never-treated unit (treat_start < 0, or at/after the last period) "
      "as a control. {}",
      label, hint));
}

void require_estimable_cohort(const estimators::Panel& panel, std::string_view label) {
  for (const std::size_t g : panel.cohorts()) {
    if (g != 0) return;
  }
  throw UserError(format(
      "{}: no estimable cohort. Every unit is either never treated or treated from period 0 (no "
      "pre-period), so no treatment effect is identified.",
      label));
}

void fill_event_study(PyDidResult& result, std::span<const estimators::did::AggEffect> events) {
  for (const estimators::did::AggEffect& e : events) {
    result.event_time.push_back(e.key);
    result.event_att.push_back(e.estimate);
    result.event_se.push_back(e.se);
  }
}

}  // namespace quintara::bindings
