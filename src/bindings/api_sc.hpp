// Entry functions of the synthetic-control family.
#pragma once

#include "bindings/entry.hpp"

namespace quintara::bindings {

extern const EntryDef fit_sc_entry;
extern const EntryDef fit_asc_entry;
extern const EntryDef fit_sdid_entry;
extern const EntryDef fit_fp_entry;
extern const EntryDef fit_rsc_entry;

}  // namespace quintara::bindings
