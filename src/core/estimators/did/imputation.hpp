// Borusyak, Jaravel & Spiess (2024) imputation estimator for staggered
// adoption, with their conservative standard errors and pre-trend test.
//
// Unit and period effects are fitted on the untreated cells only (never-
// treated units, and treated units before adoption), by weighted least
// squares (ObservedWithin, never a dense design); each treated cell's effect
// is its outcome minus the imputed untreated outcome a_i + g_t. An estimand
// averages those effects with the cells' unit weights: all treated cells
// (the overall ATT) or those at one horizon h = t - g >= 0 (the event study).
//
// Each estimand is linear in y, sum v_it y_it: v is the estimand's weight on
// a treated cell and -w_i (b_i + b_t) on an untreated one, b solving the
// untreated cells' normal equations for the treated weights' unit and
// period sums. Its variance (their Theorem 3) is sum over clusters of
// (sum v_it e_it)^2, e the untreated cells' residuals and, on treated cells,
// the effect minus the v^2-weighted mean effect of its cohort at its period
// (their equation 8 with cohort x period groups, one cell per unit each):
// conservative when effects vary within those groups.
//
// The pre-trend test (their Test 1) regresses the untreated cells on the
// effects and K indicators of being k = 1..K periods before adoption; the
// indicators' coefficients are the event study's pre-periods (-k), with
// their cluster-robust covariance (no small-sample factor) in `event_cov`,
// from which the caller forms the joint Wald test. Collinear indicators
// (missing cells can make them so) leave the pre-periods out.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "core/estimators/did/effects.hpp"
#include "core/estimators/panel.hpp"
#include "core/estimators/sampling.hpp"
#include "core/linalg/matrix.hpp"

namespace quintara::estimators::did {

struct ImputationResult {
  bool identified = true;  // false: the untreated cells leave the periods disconnected
  double att = 0.0;
  double se = 0.0;
  // Pre-trend coefficients (-K..-1), then horizons 0..H; influence empty.
  std::vector<AggEffect> event;
  // Covariance of the event entries, column-major E x E, from the cluster
  // sums of each entry's linear weights times residuals.
  linalg::Mat event_cov;
  std::size_t n_imputed = 0;      // treated cells with an imputed effect
  std::size_t n_not_imputed = 0;  // treated cells whose unit or period has no untreated cell
  std::size_t n_clusters = 0;
};

namespace imputation {

// The largest K the pre-trend test can take: the most pre-periods any
// cohort has, minus one (one untreated period of that cohort anchors the
// unit effects), minus two without never-treated units (see the source),
// and 0 with no cohort.
std::size_t max_pretrends(const Panel& panel);

// NaN cells of y are missing. `pretrends` is K, at most max_pretrends (an
// invariant); 0 runs no test. Units treated from period 0 enter nothing.
ImputationResult fit(const Panel& panel, const Sampling& sampling, std::size_t pretrends);

}  // namespace imputation
}  // namespace quintara::estimators::did
