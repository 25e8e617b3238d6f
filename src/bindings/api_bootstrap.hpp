// The bootstrap_mean entry: block or stationary bootstrap of a series' mean.
#pragma once

#include "bindings/entry.hpp"

namespace quintara::bindings {

extern const EntryDef bootstrap_mean_entry;

}  // namespace quintara::bindings
