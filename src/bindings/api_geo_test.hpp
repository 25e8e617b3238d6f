// The entry that analyses a finished geo experiment with the power design's
// detection test.
#pragma once

#include "bindings/entry.hpp"

namespace quintara::bindings {

extern const EntryDef geo_test_entry;

}  // namespace quintara::bindings
