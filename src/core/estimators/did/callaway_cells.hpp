// The group-time cells of callaway.cpp other than the unweighted balanced
// one, and what every cell shares: the covariate row product and the squared
// norm of an influence function under clustering.
//
// Every cell fills `influence` with the N per-unit values whose mean square
// over n gives its variance (an estimate's influence function scaled so that
// its standard error is sqrt(sum psi_i^2) / N), zero outside G and C.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

#include "core/estimators/did/callaway.hpp"
#include "core/estimators/did/callaway_method.hpp"
#include "core/estimators/panel.hpp"
#include "core/estimators/sampling.hpp"
#include "core/linalg/matrix.hpp"

namespace quintara::estimators::did::cells {

// Ridge of the covariate Gram matrix (a mean of x x^T) in the estimation
// effect of beta: far below its real eigenvalues, it only makes a matrix
// that is singular by rounding factorable.
constexpr double kGramRidge = 1e-12;

// x_i . coef with x_i = (1, X(i, 0), ..., X(i, K-1)).
inline double dot_row(const linalg::Mat& X, std::size_t i, std::span<const double> coef) {
  double s = 0.0;
  s += 1.0 * coef[0];
  for (std::size_t k = 0; k < X.cols; ++k) s += X(i, k) * coef[k + 1];
  return s;
}

// sum over clusters c of (sum over units i in c of psi_i)^2, clusters and
// their units in ascending order. Unclustered, each unit is its own cluster
// and this is sum psi_i^2 in unit order, bit for bit.
double squared_norm(std::span<const double> psi, const Sampling& sampling);

// The balanced cell with sampling weights (weighted means, a weighted
// regression, weighted shares of G and C); G and C disjoint and non-empty.
GroupTimeAtt fit_weighted(const Panel& panel, const Sampling& sampling,
                          std::span<const std::size_t> G, std::span<const std::size_t> C,
                          std::size_t g, std::size_t t, std::size_t b);

// The balanced cell by inverse probability weighting (Ipw) or doubly
// robust estimation (Dr) with a logit propensity score of G against C on
// the covariates (callaway_dr.cpp), weighted or not; G and C disjoint and
// non-empty. Throws CellFitError when the propensity score or the outcome
// regression cannot be fitted.
GroupTimeAtt fit_propensity(const Panel& panel, const Sampling& sampling, EstMethod method,
                            std::span<const std::size_t> G, std::span<const std::size_t> C,
                            std::size_t g, std::size_t t, std::size_t b);

// The cell from the observations present at t and b (repeated
// cross-sections): the change of the treated means less the change that the
// comparison units' per-period regressions predict, averaged over the
// treated observations. None when G or C has no observation at t or at b.
std::optional<GroupTimeAtt> fit_repeated(const Panel& panel, const Sampling& sampling,
                                         std::span<const std::size_t> G,
                                         std::span<const std::size_t> C, std::size_t g,
                                         std::size_t t, std::size_t b);

}  // namespace quintara::estimators::did::cells
