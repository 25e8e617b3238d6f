// The two arithmetic means the estimators use, each written once.
//
// Both sum from 0.0 in index order. mean_div then divides the sum by the
// count; mean_recip forms 1/n once and multiplies the sum by it. The two
// round differently, and every result is defined by its exact operation
// order, so each caller keeps the form it was built on: swapping one for the
// other changes the last bits of published figures. An empty input gives
// 0/0 = NaN (mean_div) or 0*inf = NaN (mean_recip); callers that want
// another value for no entries test for it first.
#pragma once

#include <cstddef>
#include <span>

namespace quintara::linalg {

// (value(0) + ... + value(n-1)) / n, summed left to right from 0.0.
template <class F>
double mean_div(std::size_t n, F&& value) {
  double s = 0.0;
  for (std::size_t k = 0; k < n; ++k) s += value(k);
  return s / static_cast<double>(n);
}

// (1/n) * (value(0) + ... + value(n-1)), the reciprocal formed once and the
// sum run left to right from 0.0.
template <class F>
double mean_recip(std::size_t n, F&& value) {
  double s = 0.0;
  for (std::size_t k = 0; k < n; ++k) s += value(k);
  return (1.0 / static_cast<double>(n)) * s;
}

inline double mean_div(std::span<const double> v) {
  return mean_div(v.size(), [v](std::size_t k) { return v[k]; });
}

inline double mean_recip(std::span<const double> v) {
  return mean_recip(v.size(), [v](std::size_t k) { return v[k]; });
}

}  // namespace quintara::linalg
