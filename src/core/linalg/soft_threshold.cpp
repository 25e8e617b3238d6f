#include "core/linalg/soft_threshold.hpp"

#include <vector>

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
template <class Factors>
SvtResult threshold(const Factors& S, double tau) {
  std::vector<double> shrunk(S.s.size());
  double nuclear = -0.0;
  for (std::size_t r = 0; r < S.s.size(); ++r) {
    const double d = S.s[r] - tau;
    shrunk[r] = d > 0.0 ? d : 0.0;
    nuclear += shrunk[r];
  }
  return {S.reconstruct_with(shrunk), nuclear};
}

}  // namespace

SvtResult svt(const MatView& X, double tau) {
  return threshold(Svd::new_tol(X, kJacobiMaxSweeps, kJacobiTol), tau);
}

SvtResult svt_truncated(const MatView& X, std::size_t rank, std::uint64_t seed, double tau) {
  return threshold(randomized_svd(X, rank, kOversample, kPowerIters, seed), tau);
}

}  // namespace quintara::linalg
