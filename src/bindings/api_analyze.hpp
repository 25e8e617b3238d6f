// The entry that analyses a finished geo experiment: effects, lift,
// incremental units and return on spend from one in-time test.
#pragma once

#include "bindings/entry.hpp"

namespace quintara::bindings {

extern const EntryDef geo_analyze_entry;

}  // namespace quintara::bindings
