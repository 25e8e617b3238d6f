// The matrix-completion entry function.
#pragma once

#include "bindings/entry.hpp"

namespace quintara::bindings {

extern const EntryDef fit_mcnnm_entry;

}  // namespace quintara::bindings
