// The conditional and least-favourable hybrid test of moment inequalities
// with nuisance parameters (Andrews, Roth & Pakes): H0: E[y] - X delta <= 0
// for some delta, with y ~ N(mu, sigma).
//
// The statistic is eta = min over delta of max_i (y_i - (X delta)_i) / sd_i,
// a linear program whose dual, max y'lambda over {lambda >= 0, sd'lambda = 1,
// X'lambda = 0}, gives both eta and the active moments. The test conditions
// on the optimal vertex: eta is compared with a normal quantile truncated to
// [vlo, vup], the range of eta's direction over which that vertex stays
// optimal (closed form at a non-degenerate vertex, found by bisection over
// dual programs otherwise). The hybrid first rejects when eta exceeds the
// least-favourable critical value at size kappa, then runs the conditional
// test at size (alpha - kappa) / (1 - kappa) with vup capped at that value.
//
// Every linear program counts against a budget, so the work of a call is
// fixed by its inputs, never by the machine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <vector>

#include "core/linalg/matrix.hpp"

namespace quintara::inference {

// Thrown when a call would solve more linear programs than its budget.
class WorkBudgetExceeded : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct LpBudget {
  std::uint64_t limit = 0;
  std::uint64_t used = 0;
  // Counts one program; throws WorkBudgetExceeded past the limit.
  void take();
};

// The moments the test sees: y = w - theta * a (one theta at a time), X and
// the covariance of y.
struct MomentProblem {
  linalg::Mat x;      // n x k nuisance directions (k may be 0)
  linalg::Mat sigma;  // n x n
};

struct HybridOptions {
  double alpha = 0.05;
  double kappa = 0.005;  // size of the least-favourable first stage
  double lf_cv = 0.0;    // its critical value
};

// Whether the hybrid test rejects H0 for moments y.
bool hybrid_rejects(const MomentProblem& p, std::span<const double> y, const HybridOptions& o,
                    LpBudget& budget);

// The 1 - kappa quantile of eta under y ~ N(0, sigma), from `draws` draws
// xi = factor * z with z standard normal from the system generator (seed,
// stream): `factor` is any matrix with factor factor' = sigma.
double least_favourable_cv(const MomentProblem& p, const linalg::Mat& factor, double kappa,
                           std::size_t draws, std::uint64_t seed, std::uint64_t stream,
                           LpBudget& budget);

// The p quantile of the standard normal truncated to [lower, upper] (either
// may be infinite); the bound itself when the interval carries no mass.
double truncated_normal_quantile(double p, double lower, double upper);

double normal_cdf(double x);

}  // namespace quintara::inference
