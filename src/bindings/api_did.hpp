// Entry functions of the difference-in-differences estimators that run with
// the interpreter lock held: two-way fixed effects, the Sun-Abraham event
// study, the imputation estimator and the Goodman-Bacon decomposition.
#pragma once

#include "bindings/entry.hpp"

namespace quintara::bindings {

extern const EntryDef fit_twfe_py_entry;
extern const EntryDef fit_sunab_py_entry;
extern const EntryDef bacon_decompose_py_entry;
extern const EntryDef fit_imputation_py_entry;

}  // namespace quintara::bindings
