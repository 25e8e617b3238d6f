// Small dense square systems by Gaussian elimination with partial pivoting.
//
// For the few-by-few systems of the sensitivity analysis (active moments,
// the change of basis of the post-period weights), where a factorization
// object would be overhead. Among equal pivot magnitudes the lowest row wins,
// so one system always takes the same steps.
#pragma once

#include <optional>
#include <vector>

#include "core/linalg/matrix.hpp"

namespace quintara::linalg {

// x with a x = b; nullopt when elimination meets an exactly zero pivot. A b
// of the wrong length or a non-square a is an invariant violation.
std::optional<std::vector<double>> solve_lu(Mat a, std::vector<double> b);

}  // namespace quintara::linalg
