// Sun & Abraham interaction-weighted event study for staggered adoption.
//
// One pooled two-way fixed-effects regression on a fully saturated set of
// cohort x relative-period indicators (never-treated units the only
// reference, relative period -1 omitted), solved through its block structure
// (each unit's indicators belong to one cohort) without forming the design;
// the cell coefficients are averaged per relative period with cohort-size
// weights. Standard errors come from a unit-clustered sandwich without
// small-sample factor; the counts below let a caller apply one.
#pragma once

#include <cstddef>
#include <vector>

#include "core/estimators/did/effects.hpp"
#include "core/estimators/panel.hpp"
#include "core/estimators/sampling.hpp"
#include "core/linalg/matrix.hpp"

namespace quintara::estimators::did {

struct SaResult {
  std::vector<AggEffect> event;  // ascending relative period; influence empty
  double att = 0.0;              // cohort-size-weighted mean of the cells with e >= 0
  double se = 0.0;
  std::size_t n_units = 0;         // of the estimation sample
  std::size_t n_cells = 0;         // cohort x relative-period coefficients estimated
  std::size_t n_clusters = 0;      // of the scores: n_units unless clusters were given
  std::size_t n_observations = 0;  // observed cells of the estimation sample
  linalg::Mat event_cov;           // covariance of `event`'s estimates, E x E
};

namespace sunab {

// Always-treated units (cohort 0) are dropped first. Requires a never-treated
// unit in what remains (an invariant violation otherwise). Memory O(N*T + P^2)
// for P cells.
SaResult fit(const Panel& panel);

// The same regression on the observed (non-NaN) cells of y, weighted least
// squares with the unit weights of `sampling` and scores summed within its
// clusters (units when it has none); `n_units` stays the number of units of
// the estimation sample. Each relative period averages its cells with
// weights proportional to the weight observed in each cell (the cohort sizes
// on a complete, unweighted panel). The observed cells' period graph must be
// connected (ObservedWithin). On a complete panel without weights or
// clusters it equals `fit` to rounding, except that its standard errors are
// free of the bread's ridge (fit's carry a relative pull of order 1e-10).
SaResult fit_observed(const Panel& panel, const Sampling& sampling);

}  // namespace sunab
}  // namespace quintara::estimators::did
