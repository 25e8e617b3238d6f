// Entry functions of the synthetic-control family.
#pragma once

#include <span>

#include "bindings/entry.hpp"

namespace quintara::bindings {

// fit_sc, fit_asc, fit_sdid, fit_fp, fit_rsc: the family's entries in the
// order of the module's `__all__`.
std::span<const EntryDef* const> sc_entries();

}  // namespace quintara::bindings
