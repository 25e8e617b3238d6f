#include "core/estimators/fit.hpp"

#include <cmath>

#include "core/linalg/kernels.hpp"

namespace quintara::estimators {

double rmspe(std::span<const double> gap) {
  if (gap.empty()) return 0.0;
  // The scaled norm keeps gaps of 1e200 from overflowing in the squares.
  return linalg::norm2(gap) / std::sqrt(static_cast<double>(gap.size()));
}

double mean_or_zero(std::span<const double> path) {
  if (path.empty()) return 0.0;
  double sum = 0.0;
  for (const double v : path) sum += v;
  return sum / static_cast<double>(path.size());
}

}  // namespace quintara::estimators
