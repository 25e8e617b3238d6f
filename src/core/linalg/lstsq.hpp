// Least-squares front doors.
#pragma once

#include <span>
#include <vector>

#include "core/linalg/error.hpp"
#include "core/linalg/matrix.hpp"

namespace quintara::linalg {

// Ordinary least squares through Householder QR; a QR failure (wide X) is
// returned unchanged.
Expected<std::vector<double>> ols(const MatView& X, std::span<const double> y);

// Solves (X^T X + lambda I) beta = X^T y by Cholesky. No centring and no
// unpenalised intercept: every coefficient is shrunk.
Expected<std::vector<double>> ridge(const MatView& X, std::span<const double> y, double lambda);

}  // namespace quintara::linalg
