// The geo_power entry: a power curve for one method by historical placebo
// with injected lift.
#pragma once

#include "bindings/entry.hpp"

namespace quintara::bindings {

extern const EntryDef geo_power_entry;

}  // namespace quintara::bindings
