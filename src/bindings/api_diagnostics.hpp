// The geo_diagnostics entry: design diagnostics for a treated-market set.
#pragma once

#include "bindings/entry.hpp"

namespace quintara::bindings {

extern const EntryDef geo_diagnostics_entry;

}  // namespace quintara::bindings
