// The chi-square upper tail, for Wald tests of several coefficients at once.
//
// P(X >= x) for X ~ chi2(k) is the regularised upper incomplete gamma
// Q(k / 2, x / 2), evaluated by its power series below a + 1 and by its
// continued fraction (modified Lentz) above, each to relative 1e-15; both
// converge in O(sqrt(a)) terms near the switch and faster elsewhere, and the
// loop bound (kMaxTerms) is far beyond what any finite a below 1e6 needs.
#pragma once

#include <cstddef>

namespace quintara::inference {

// P(X >= x) for X ~ chi2(dof), dof >= 1: 1 for x <= 0, NaN for NaN x.
double chi_square_sf(double x, std::size_t dof);

}  // namespace quintara::inference
