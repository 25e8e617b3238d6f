// Two-way fixed-effects building blocks: period and unit means, the two-way
// within transformation, and the staggered treatment indicator.
//
// Summation orders are fixed (period means: units in order, then a division;
// unit means: periods in order, then a product with 1/T; grand mean: storage
// order, then a division) so that the estimators built on these are
// bit-reproducible.
#pragma once

#include <vector>

#include "core/estimators/panel.hpp"
#include "core/linalg/matrix.hpp"

namespace quintara::estimators {

// Entry t: mean over the N units of column t.
std::vector<double> time_means(const linalg::Mat& x);
// Entry i: mean over the T periods of row i.
std::vector<double> unit_means(const linalg::Mat& x);
// Z(i, t) = x(i, t) - unit_means[i] - time_means[t] + grand mean.
linalg::Mat two_way_within(const linalg::Mat& x);
// D(i, t) = 1 when unit i has a cohort g and t >= g, else 0.
linalg::Mat treatment_matrix(const Panel& panel);

}  // namespace quintara::estimators
