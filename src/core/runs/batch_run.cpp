#include "core/runs/batch_run.hpp"

#include <cmath>
#include <utility>

#include "core/format.hpp"
#include "core/inference/batch.hpp"
#include "core/runs/methods.hpp"
#include "core/runs/scale.hpp"
#include "core/runs/user_error.hpp"

namespace quintara::runs {

void check_stack_shape(std::size_t n_reps, std::size_t n_units, std::size_t n_periods) {
  if (n_reps == 0 || n_units == 0 || n_periods == 0) {
    throw UserError(format("panel stack must be non-empty; got shape ({}, {}, {})", n_reps, n_units,
                           n_periods));
  }
}

void check_replication_finite(const linalg::Mat& y, std::size_t rep) {
  // Row by row, although the matrix is stored by column: the message names
  // the first offender in (unit, period) order.
  for (std::size_t i = 0; i < y.rows; ++i) {
    for (std::size_t t = 0; t < y.cols; ++t) {
      if (!std::isfinite(y(i, t))) {
        throw UserError(
            format("panel stack contains a non-finite value at [{}, {}, {}]; quintara requires "
                   "complete, finite panels",
                   rep, i, t));
      }
    }
  }
}

std::vector<double> run_batch(BatchRequest request) {
  const Method method = parse_exact_method(request.method);
  const estimators::sc::ScMethod options = batch_method(method, request.ridge, request.zeta_scale,
                                                        request.min_weight, request.max_weight);
  // Each panel on its own scale, so that its att is bit for bit that of the
  // single fit of the same panel.
  std::vector<int> exponents;
  std::vector<estimators::sc::ScMethod> methods;
  exponents.reserve(request.panels.size());
  methods.reserve(request.panels.size());
  for (estimators::Panel& panel : request.panels) {
    exponents.push_back(normalise(panel.y));
    methods.push_back(normalised_method(options, exponents.back()));
  }
  std::vector<double> atts = inference::att_many(std::move(request.panels), request.t0, methods);
  for (std::size_t r = 0; r < atts.size(); ++r) atts[r] = in_caller_units(atts[r], exponents[r]);
  return atts;
}

}  // namespace quintara::runs
