// The geo_select_cells entry: joint multi-cell designs sharing one control
// pool.
#pragma once

#include "bindings/entry.hpp"

namespace quintara::bindings {

extern const EntryDef geo_select_cells_entry;

}  // namespace quintara::bindings
