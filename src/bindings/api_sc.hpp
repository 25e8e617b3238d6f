// Entry functions of the synthetic-control family, and the conversion of an
// estimator's fit record into the SCResult record.
#pragma once

#include "bindings/entry.hpp"
#include "bindings/records.hpp"
#include "core/estimators/fit.hpp"
#include "core/inference/placebo.hpp"

namespace quintara::bindings {

// The fit without inference: every inference attribute absent.
PyScResult result_from_fit(const estimators::ScFit& fit);

// Fills the inference attributes from a placebo test; leaves them absent when
// no placebo statistic survived. `level` is already validated.
void attach_placebo(PyScResult& result, const inference::PlaceboResult& placebo, double att,
                    double level);

extern const EntryDef fit_sc_entry;
extern const EntryDef fit_asc_entry;
extern const EntryDef fit_sdid_entry;
extern const EntryDef fit_fp_entry;
extern const EntryDef fit_rsc_entry;

}  // namespace quintara::bindings
