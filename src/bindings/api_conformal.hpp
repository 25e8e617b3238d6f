// The conformal-inference entry of the synthetic-control family.
#pragma once

#include "bindings/entry.hpp"

namespace quintara::bindings {

extern const EntryDef fit_conformal_entry;

}  // namespace quintara::bindings
