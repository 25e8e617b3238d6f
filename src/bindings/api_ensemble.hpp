// The geo_power_ensemble entry: a power curve for a weighted average of
// methods by historical placebo with injected lift.
#pragma once

#include "bindings/entry.hpp"

namespace quintara::bindings {

extern const EntryDef geo_power_ensemble_entry;

}  // namespace quintara::bindings
