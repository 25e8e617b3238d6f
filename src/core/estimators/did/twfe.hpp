// Two-way fixed-effects difference-in-differences for staggered adoption.
//
// The coefficient of the treatment indicator in a regression with unit and
// period fixed effects, obtained by partialling both out (the two-way within
// transformation) rather than by forming dummies, with a unit-clustered
// standard error.
#pragma once

#include <cstddef>

#include "core/estimators/panel.hpp"
#include "core/estimators/sampling.hpp"

namespace quintara::estimators::did {

struct TwfeFit {
  double att = 0.0;         // the TWFE coefficient
  double se = 0.0;          // its unit-clustered standard error
  std::size_t n_units = 0;  // N, the number of clusters
};

namespace twfe {

// A design whose indicator has no within variation gives att = se = 0.
TwfeFit fit(const Panel& panel);

// The same regression on the observed (non-NaN) cells of y, weighted least
// squares with the unit weights of `sampling`, and the standard error
// clustered by its clusters (units when it has none): the variance is
// G / (G - 1) times the sandwich, G the number of clusters, which `n_units`
// then holds. The observed cells' period graph must be connected
// (ObservedWithin). On a complete panel without weights or clusters it
// equals `fit` to rounding.
TwfeFit fit_observed(const Panel& panel, const Sampling& sampling);

}  // namespace twfe
}  // namespace quintara::estimators::did
