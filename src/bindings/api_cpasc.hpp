// The CP-ASC-family entry function.
#pragma once

#include "bindings/entry.hpp"

namespace quintara::bindings {

extern const EntryDef fit_cpasc_entry;

}  // namespace quintara::bindings
