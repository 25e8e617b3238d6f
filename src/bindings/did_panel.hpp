// Turning the difference-in-differences entries' arguments into a staggered
// Panel, and refusing designs that identify nothing.
//
// Cohort encoding: one signed integer per unit; 0 <= c < T is the adoption
// period, a negative value or c >= T means never treated.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "bindings/array.hpp"
#include "bindings/records.hpp"
#include "core/estimators/did/effects.hpp"
#include "core/estimators/panel.hpp"

namespace quintara::bindings {

// check_panel, the cohort count, then the copy into an owned Panel.
estimators::Panel build_panel(const ArrayView& y, std::span<const std::int64_t> cohorts);

// "{label} needs at least one never-treated unit (...) as a control. {hint}"
void require_never_treated(const estimators::Panel& panel, std::string_view label,
                           std::string_view hint);

// Fails unless some unit adopts at a period other than 0.
void require_estimable_cohort(const estimators::Panel& panel, std::string_view label);

// Copies an event study (key, estimate, standard error per entry) into the
// result record's event_time, event_att and event_se.
void fill_event_study(PyDidResult& result, std::span<const estimators::did::AggEffect> events);

}  // namespace quintara::bindings
