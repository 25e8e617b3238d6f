// The confidence set for l'tau_post under Delta^RM(Mbar): every post-period
// first difference of the trend is at most Mbar times the largest pre-period
// first difference (Rambachan & Roth).
//
// Delta^RM is the union over the location s of the largest pre-period
// difference and its sign of polyhedra, so the set is the union of the
// hybrid tests' acceptance sets (arp_test.hpp) over those 2 n_pre pieces,
// each inverted over one common grid of theta.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/inference/arp_test.hpp"
#include "core/linalg/matrix.hpp"

namespace quintara::inference {

struct RmProblem {
  std::span<const double> betahat;  // n_pre pre, then post coefficients
  const linalg::Mat* sigma = nullptr;
  const linalg::Mat* factor = nullptr;  // factor factor' = sigma
  std::size_t n_pre = 0;
  std::span<const double> l;  // post weights
  double alpha = 0.05;
  std::size_t grid_points = 1000;
  // The least-favourable hybrid (kappa = alpha / 10, its critical value from
  // 1000 draws of a fixed stream); false: the conditional test alone.
  bool hybrid = true;
};

// The constraints A delta <= 0 of the piece (s, sign) of Delta^RM(mbar), on
// the pre and post coefficients (the reference period dropped); s = 0 is the
// difference into the reference period, s = -(n_pre - 1) the earliest.
linalg::Mat rm_constraints(std::size_t n_pre, std::size_t n_post, double mbar, long s,
                           bool positive);

// The theta grid: the post estimate +- (mbar sum_k k |l_k| max pre
// difference + 20 sd), evenly spaced.
std::vector<double> rm_grid(const RmProblem& p, double mbar);

struct GridInterval {
  double lower = 0.0;  // NaN when no theta of the grid is accepted
  double upper = 0.0;
};

// The hull of the accepted grid values. Each piece's acceptance set is taken
// to be an interval of the grid, found from the middle outward and then by
// bisection to both ends (a single post period tests every grid value).
GridInterval rm_confidence_set(const RmProblem& p, double mbar, LpBudget& budget);

}  // namespace quintara::inference
