#include "core/runs/mcnnm_run.hpp"

#include <utility>

#include "core/estimators/mcnnm/fit.hpp"
#include "core/estimators/panel.hpp"
#include "core/runs/sc_run.hpp"
#include "core/runs/scale.hpp"

namespace quintara::runs {

PyScResult run_mcnnm(McnnmRequest request) {
  const int k = normalise(request.y);
  const estimators::Panel panel =
      estimators::Panel::block(std::move(request.y), request.treated, request.t0);
  PyScResult r = result_from_fit(
      estimators::mcnnm::fit_at(panel, request.t0, normalised_options(request.options, k)));
  to_caller_units(r, k, false);
  return r;
}

}  // namespace quintara::runs
