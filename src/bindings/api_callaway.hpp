// The fit_callaway_py entry: Callaway & Sant'Anna group-time effects with
// their aggregations and optional multiplier-bootstrap event-study bands.
#pragma once

#include "bindings/entry.hpp"

namespace quintara::bindings {

extern const EntryDef fit_callaway_entry;

}  // namespace quintara::bindings
