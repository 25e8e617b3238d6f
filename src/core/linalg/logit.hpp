// Weighted logistic regression by Newton's method, and the Cholesky factor of
// a Gram or information matrix that refuses matrices singular to working
// precision.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "core/linalg/cholesky.hpp"
#include "core/linalg/matrix.hpp"

namespace quintara::linalg {

// Newton steps the logit fit takes at most.
constexpr std::size_t kLogitMaxIter = 100;

enum class LogitStatus {
  Converged,
  NotConverged,  // the step cap was reached, or no step length raised the likelihood
  Singular,      // X^T diag(w) X (the information at coef = 0) is singular: collinear columns
  Separated,     // the information X^T diag(w p (1 - p)) X became singular on the way, the
                 // probabilities running to 0 and 1: X separates the ones from the zeros
};

struct LogitFit {
  LogitStatus status = LogitStatus::NotConverged;
  std::vector<double> coef;  // X.cols coefficients (the last iterate when not converged)
  std::vector<double> prob;  // X.rows fitted probabilities 1 / (1 + exp(-x_i . coef))
  std::size_t iterations = 0;
};

// Maximises sum_i w_i (y_i eta_i - log(1 + exp(eta_i))), eta = X coef, from
// coef = 0 by Newton's method (IRLS): each step solves the information
// matrix against the score by Cholesky, and while the Newton decrement is
// large (above 1e-8 (sum w + 1)) the step is halved until the likelihood
// does not fall. It stops when the decrement (twice the predicted gain) is
// at most 1e-16 (sum w + 1), after taking that last step. The intercept, if
// any, is a column of X. `w` holds one non-negative weight per row, or is
// empty for unit weights; `y` lies in [0, 1]. Deterministic: every sum runs
// over the rows in order.
LogitFit logit(const MatView& X, std::span<const double> y, std::span<const double> w,
               std::size_t max_iter = kLogitMaxIter);

// The Cholesky factor of the symmetric positive semi-definite A (lower
// triangle read), or none when A is singular to working precision: a pivot
// is not positive, or the smallest squared pivot is at most 1e-14 times the
// largest diagonal entry.
std::optional<Cholesky> factor_nonsingular(const MatView& A);

// X^T diag(v) X, lower triangle and its mirror, each entry summed over the
// rows in order.
Mat weighted_gram(const MatView& X, std::span<const double> v);

}  // namespace quintara::linalg
