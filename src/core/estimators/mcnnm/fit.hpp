// Matrix completion with a nuclear-norm penalty (MC-NNM, after Athey et al.)
// for one common treatment time.
//
// The treated units' post-period cells are treated as missing; the rest of
// the panel is fitted as low-rank part + unit effects + period effects by
// SoftImpute, and the completed cells are the treated units' counterfactual.
// The penalty is given or chosen on held-out cells; the final fit walks five
// warm-started steps from sigma/2 down to it, which takes far fewer
// iterations than one cold fit at a small penalty.
#pragma once

#include <cstddef>

#include "core/estimators/fit.hpp"
#include "core/estimators/mcnnm/fixed_effects.hpp"
#include "core/estimators/mcnnm/softimpute.hpp"
#include "core/estimators/panel.hpp"

namespace quintara::estimators::mcnnm {

// Observed unless the unit has adopted by then: one flag per cell in storage
// order.
Mask observed_mask(const Panel& panel);

// Requires a treated unit ("no treated units") and t0 <= T. The record's
// weights and donor_ids are empty; the effect path averages the treated
// units' gaps Y - (L + alpha + beta) period by period.
ScFit fit_at(const Panel& panel, std::size_t t0, const McnnmOptions& options);

}  // namespace quintara::estimators::mcnnm
