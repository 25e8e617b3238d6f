#include "core/linalg/soft_threshold.hpp"

#include <vector>

#include "core/linalg/bidiag_svd.hpp"
#include "core/linalg/randomized_svd.hpp"
#include "core/linalg/svd.hpp"

namespace quintara::linalg {

namespace {

// Range finder of the truncated variant: a few extra sample columns and one
// power pass separate the kept components from the tail well enough for a
// threshold, at two products with X per pass.
constexpr std::size_t kOversample = 6;
constexpr std::size_t kPowerIters = 1;

// max(s - tau, 0) per value, with a NaN difference mapped to 0; the nuclear
// norm is summed from -0.0 so that an all-zero spectrum sums to +0.0 only
// through the additions themselves (and an empty one stays -0.0).
std::vector<double> shrink(const std::vector<double>& s, double tau, double& nuclear) {
  std::vector<double> shrunk(s.size());
  nuclear = -0.0;
  for (std::size_t r = 0; r < s.size(); ++r) {
    const double d = s[r] - tau;
    shrunk[r] = d > 0.0 ? d : 0.0;
    nuclear += shrunk[r];
  }
  return shrunk;
}

template <class Factors>
SvtResult threshold(const Factors& S, double tau) {
  double nuclear = 0.0;
  const std::vector<double> shrunk = shrink(S.s, tau, nuclear);
  return {S.reconstruct_with(shrunk), nuclear};
}

// Only the components before the last positive shrunk value are formed:
// the back-transformation costs O(m n) per component kept.
SvtResult threshold(const BidiagSvd& S, std::size_t rows, std::size_t cols, double tau) {
  double nuclear = 0.0;
  const std::vector<double> shrunk = shrink(S.values(), tau, nuclear);
  std::size_t k = shrunk.size();
  while (k > 0 && !(shrunk[k - 1] > 0.0)) --k;
  if (k == 0) return {Mat(rows, cols), nuclear};
  return {reconstruct_from_factors(S.left(k), S.right(k), shrunk), nuclear};
}

}  // namespace

SvtResult svt(const MatView& X, double tau, ExactSvd method) {
  if (method == ExactSvd::jacobi) {
    return threshold(Svd::new_tol(X, kJacobiMaxSweeps, kJacobiTol), tau);
  }
  return threshold(BidiagSvd::make(X), X.rows, X.cols, tau);
}

double sigma_max(const MatView& X, ExactSvd method) {
  const std::vector<double> s = method == ExactSvd::jacobi
                                    ? Svd::new_tol(X, kJacobiMaxSweeps, kJacobiTol).s
                                    : BidiagSvd::make(X, BandVectors::none).values();
  return s.empty() ? 0.0 : s.front();
}

SvtResult svt_truncated(const MatView& X, std::size_t rank, std::uint64_t seed, double tau) {
  return threshold(randomized_svd(X, rank, kOversample, kPowerIters, seed), tau);
}

}  // namespace quintara::linalg
