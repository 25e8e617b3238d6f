// The batched-fit entry function.
#pragma once

#include "bindings/entry.hpp"

namespace quintara::bindings {

extern const EntryDef fit_many_entry;

}  // namespace quintara::bindings
