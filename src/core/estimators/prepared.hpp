// A block-design fit solved once and re-assembled for other treated
// post-period series.
//
// Every estimator of the synthetic-control family fixes its weights (donor
// and time weights, augmentation, factors) from the donors and the treated
// pre-period alone; the treated post-period series enters only the last
// step, the effect. A fit kept with what that step needs gives the effect
// for any other post-period series, bit for bit the one a refit on the
// changed panel returns. Lift injection (treated rows scaled after t0) is
// the use: one solve per window, one cheap assembly per lift.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/estimators/fit.hpp"
#include "core/linalg/matrix.hpp"

namespace quintara::estimators {

// Everything of a block-design fit that does not depend on the treated
// post-period series: the fit at the observed series, and for SDID the two
// terms of its closed-form effect besides the treated post-period mean.
struct PreparedFit {
  ScFit fit;
  bool closed_form_did = false;  // SDID: att from sdid_pre_level and sdid_controls
  double sdid_pre_level = 0.0;   // time-weighted treated pre-period level
  double sdid_controls = 0.0;    // the controls' weighted change
};

// The att the prepared estimator returns on the same panel with `y_post` as
// the treated post-period series (one value per post-period, as many as
// fit.counterfactual holds), in the fit's own operation order.
double att_with_post(const PreparedFit& prepared, std::span<const double> y_post);

// The treated post-period series (periods t0 .. t0 + width - 1) of the block
// panel whose treated rows are `treated` and whose entries y(i, t) of those
// rows at t >= t0 are replaced by y(i, t) * (1.0 + lift): the period-wise
// mean of the injected rows, formed as Panel::unit_mean forms it (each row
// once, ascending, a repeated index counting once as in Panel::block).
// Columns of `y` past t0 + width are never read.
std::vector<double> injected_treated_post(const linalg::MatView& y,
                                          std::span<const std::size_t> treated, std::size_t t0,
                                          std::size_t width, double lift);

}  // namespace quintara::estimators
