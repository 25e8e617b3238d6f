// The entry of the sensitivity analysis to violations of parallel trends.
#pragma once

#include "bindings/entry.hpp"

namespace quintara::bindings {

extern const EntryDef honest_did_py_entry;

}  // namespace quintara::bindings
