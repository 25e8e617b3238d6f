// The geo_select entry: search and rank candidate treated-market sets.
#pragma once

#include "bindings/entry.hpp"

namespace quintara::bindings {

extern const EntryDef geo_select_entry;

}  // namespace quintara::bindings
