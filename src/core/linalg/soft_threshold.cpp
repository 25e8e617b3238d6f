#include "core/linalg/soft_threshold.hpp"

#include <algorithm>
#include <utility>
#include <vector>

#include "core/linalg/kernels.hpp"
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
// the back-transformation costs O(m n) per component kept. Past a third of
// the shorter side kept, X = U diag(s - tau) V^T is formed as X P (P Z when
// wide) with P = W diag((s - tau) / s) W^T from the shorter side's vectors
// W alone, since X W = U diag(s) for them: one m n^2 product replaces the
// longer side's back-transformation and reconstruction, at the same
// rounding level (|P| <= 1).
double threshold(const MatView& Z, const BidiagSvd& S, double tau, Mat& X) {
  const std::size_t rows = Z.rows, cols = Z.cols;
  double nuclear = 0.0;
  const std::vector<double> shrunk = shrink(S.values(), tau, nuclear);
  std::size_t k = shrunk.size();
  while (k > 0 && !(shrunk[k - 1] > 0.0)) --k;
  if (k == 0) {
    X.rows = rows;
    X.cols = cols;
    X.data.assign(rows * cols, 0.0);
    return nuclear;
  }
  const std::size_t side = std::min(rows, cols);
  if (3 * k <= side || !(tau >= 0.0 && S.values()[k - 1] > 0.0)) {
    reconstruct_into(S.left(k), S.right(k), shrunk, X);
    return nuclear;
  }
  const bool wide = rows < cols;
  const Mat W = wide ? S.left(k) : S.right(k);
  std::vector<double> ratio(k);
  for (std::size_t r = 0; r < k; ++r) ratio[r] = shrunk[r] / S.values()[r];
  const Mat P = reconstruct_from_factors(W, W, ratio);
  X.rows = rows;
  X.cols = cols;
  X.data.resize(rows * cols);
  if (wide) {
    gemm(P, Z, X, 1.0, 0.0);
  } else {
    gemm(Z, P, X, 1.0, 0.0);
  }
  return nuclear;
}

}  // namespace

SvtResult svt(const MatView& X, double tau, ExactSvd method) {
  if (method == ExactSvd::jacobi) {
    return threshold(Svd::new_tol(X, kJacobiMaxSweeps, kJacobiTol), tau);
  }
  SvtResult out;
  out.nuclear = threshold(X, BidiagSvd::make(X), tau, out.x);
  return out;
}

double svt_into(const MatView& X, double tau, SvtWorkspace& work, Mat& out) {
  work.svd.refactor(X);
  return threshold(X, work.svd, tau, out);
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
