// The uniqueness test that lets a warm start stand in for a cold solve:
// on seeded problems with more coordinates than rows (a singular Gram
// matrix, no ridge) it certifies most cold minimisers, and every certified
// one is what a solve begun elsewhere reaches; the solver's reported room
// is the held multipliers' least; it refuses the non-unique or loosely
// pinned cases (a perfect fit, near-duplicate columns sharing the weight),
// records not ended on the KKT test, and bounds it does not cover.
#include "core/linalg/isolated_minimiser.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <span>
#include <vector>

#include "core/linalg/active_set.hpp"
#include "core/linalg/kernels.hpp"
#include "core/linalg/rng.hpp"

namespace quintara::linalg {
namespace {

using V = std::vector<double>;

struct Problem {
  Mat G;
  V b;
  std::vector<std::size_t> idx;
};

// n columns over m < n rows, target y; idx every column.
Problem least_squares(const Mat& X, const V& y) {
  Problem p{syrk_ata(X), V(X.cols, 0.0), std::vector<std::size_t>(X.cols)};
  gemv_t(X, y, p.b, 1.0, 0.0);
  std::iota(p.idx.begin(), p.idx.end(), std::size_t{0});
  return p;
}

Mat random_matrix(std::size_t m, std::size_t n, Xoshiro256pp& rng) {
  Mat X(m, n);
  for (double& v : X.data) v = rng.next_f64() - 0.5;
  return X;
}

// The exact solve, from the cheapest vertex or from `start`.
SimplexSolution solve(const Problem& p, double hi, std::span<const double> start = {}) {
  GramColumns cols(p.G.view());
  return solve_simplex_qp(cols, p.b, 0.0, 0.0, hi, start);
}

// The least multiplier of a held coordinate, from the gradient formed here.
double least_held_multiplier(const Problem& p, const V& w, double hi) {
  const std::size_t n = w.size();
  V g(n);
  for (std::size_t i = 0; i < n; ++i) {
    g[i] = -p.b[i];
    for (std::size_t k = 0; k < n; ++k) g[i] += p.G.data[i + k * n] * w[k];
  }
  double free_sum = 0.0, least = std::numeric_limits<double>::infinity();
  std::size_t n_free = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (w[i] > 0.0 && !(hi < 1.0 && w[i] >= hi)) free_sum += g[i], ++n_free;
  }
  const double mu = -free_sum / static_cast<double>(n_free);
  for (std::size_t i = 0; i < n; ++i) {
    if (w[i] == 0.0) least = std::fmin(least, g[i] + mu);
    if (hi < 1.0 && w[i] >= hi) least = std::fmin(least, -(g[i] + mu));
  }
  return least;
}

TEST(IsolatedMinimiser, CertifiedMinimisersAreTheOnesEveryStartReaches) {
  auto rng = Xoshiro256pp::make(11);
  int certified = 0;
  const int reps = 60;
  for (int rep = 0; rep < reps; ++rep) {
    const std::size_t m = 4 + static_cast<std::size_t>(rng.gen_range(12));
    const std::size_t n = m + 2 + static_cast<std::size_t>(rng.gen_range(30));
    const double hi = rep % 4 == 0 ? 0.5 : 1.0;
    V y(m);
    const Mat X = random_matrix(m, n, rng);
    for (double& v : y) v = rng.next_f64() - 0.5;
    const Problem p = least_squares(X, y);
    const SimplexSolution cold = solve(p, hi);
    // The reported room is the held multipliers' least, in tolerances.
    double scale = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      scale = std::fmax(scale, std::fmax(p.G(i, i), std::fabs(p.b[i])));
    }
    const double tol = kkt_tolerance(scale, n);
    EXPECT_NEAR(cold.held_room * tol, least_held_multiplier(p, cold.weights, hi), tol) << rep;
    if (!isolated_minimiser(cold, 0.0, hi)) continue;
    ++certified;
    V reversed = cold.weights;
    std::reverse(reversed.begin(), reversed.end());
    const V uniform(n, 1.0 / static_cast<double>(n));
    for (const V& start : {reversed, uniform}) {
      const SimplexSolution warm = solve(p, hi, start);
      for (std::size_t i = 0; i < n; ++i) {
        EXPECT_NEAR(warm.weights[i], cold.weights[i], 1e-9) << rep << " " << i;
      }
      EXPECT_TRUE(isolated_minimiser(warm, 0.0, hi)) << rep;
    }
  }
  // Random targets are fitted imperfectly by a few donors: nearly all
  // minimisers are unique with room, and a test refusing them all fails.
  EXPECT_GE(certified, reps * 3 / 4);
}

TEST(IsolatedMinimiser, RefusesWhatIsNotAnIsolatedMinimiser) {
  auto rng = Xoshiro256pp::make(5);
  const std::size_t m = 6, n = 12;
  const Mat X = random_matrix(m, n, rng);
  // A target some donor fits exactly: every gradient is zero, so the held
  // coordinates have no multiplier to spare (other exact fits exist, as
  // there are more donors than rows).
  const V exact(X.data.begin() + 3 * m, X.data.begin() + 4 * m);
  EXPECT_FALSE(isolated_minimiser(solve(least_squares(X, exact), 1.0), 0.0, 1.0));
  // Three columns, two of them all but equal, and a target they fit
  // exactly with weight on each: nothing is held, and only the reduced
  // Hessian (nearly singular along e0 - e1) shows how loosely the weights
  // are pinned. Pulled apart, the same fit is certified.
  for (const double apart : {1e-5, 0.5}) {
    Mat D = random_matrix(m, 3, rng);
    for (std::size_t r = 0; r < m; ++r) D.data[r + m] = D.data[r] + apart * D.data[r + 2 * m];
    V y(m);
    for (std::size_t r = 0; r < m; ++r) {
      y[r] = 0.3 * D.data[r] + 0.3 * D.data[r + m] + 0.4 * D.data[r + 2 * m];
    }
    const SimplexSolution s = solve(least_squares(D, y), 1.0);
    ASSERT_TRUE(s.weights[0] > 0.0 && s.weights[1] > 0.0) << apart;
    EXPECT_EQ(isolated_minimiser(s, 0.0, 1.0), apart > 0.1) << apart;
  }
  // A generic target's minimiser passes; with a floor (every coordinate
  // carrying weight), a free weight too close to its bound, or a record
  // that did not end on the KKT test, it does not.
  V y(m);
  for (double& v : y) v = rng.next_f64() - 0.5;
  SimplexSolution s = solve(least_squares(random_matrix(m, n, rng), y), 1.0);
  ASSERT_TRUE(isolated_minimiser(s, 0.0, 1.0));
  EXPECT_FALSE(isolated_minimiser(s, 0.01, 1.0));
  SimplexSolution tiny = s;
  const auto big = std::max_element(tiny.weights.begin(), tiny.weights.end());
  *big -= 1e-12;
  *std::find(tiny.weights.begin(), tiny.weights.end(), 0.0) = 1e-12;
  EXPECT_FALSE(isolated_minimiser(tiny, 0.0, 1.0));
  EXPECT_FALSE(isolated_minimiser(SimplexSolution{s.weights, 0, 0.0}, 0.0, 1.0));
}

}  // namespace
}  // namespace quintara::linalg
