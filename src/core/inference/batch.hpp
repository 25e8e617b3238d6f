// Batched fits: one estimator with one set of options applied to a stack of
// panels that share a design, for Monte-Carlo, power and robustness runs.
//
// Panels are fitted independently on the worker pool and only each fit's att
// is kept, placed by panel index, so the result does not depend on the number
// of workers. A panel is released as soon as its fit is done.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/estimators/panel.hpp"
#include "core/inference/placebo.hpp"

namespace quintara::inference {

// `method.fit_at(panels[r], t0).att` in slot r. Consumes the panels.
std::vector<double> att_many(std::vector<estimators::Panel> panels, std::size_t t0,
                             const estimators::sc::ScMethod& method);

// The same with panel r fitted by methods[r] (one per panel, an invariant):
// for options that differ by panel, such as a ridge in each panel's units.
std::vector<double> att_many(std::vector<estimators::Panel> panels, std::size_t t0,
                             std::span<const estimators::sc::ScMethod> methods);

}  // namespace quintara::inference
