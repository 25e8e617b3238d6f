#include "core/estimators/observed_within.hpp"

#include <cmath>

#include "core/panic.hpp"

namespace quintara::estimators {

using linalg::Mat;

ObservedWithin::ObservedWithin(const Mat& y, std::span<const double> weight)
    : n_(y.rows), t_(y.cols), mask_(y.data.size()), weight_(n_, 1.0), inv_count_(n_, 0.0) {
  QUINTARA_ASSERT(weight.empty() || weight.size() == n_, "one weight per unit");
  if (!weight.empty()) weight_.assign(weight.begin(), weight.end());
  std::vector<std::size_t> count(n_, 0);
  for (std::size_t p = 0; p < y.data.size(); ++p) {
    mask_[p] = std::isnan(y.data[p]) ? 0 : 1;
    count[p % n_] += mask_[p];
  }
  // A = diag(W) - C. Complete units add w_i / T to every entry of C, so
  // their total is added once; the others add their own pattern.
  Mat a(t_, t_);
  double complete = 0.0;
  for (std::size_t i = 0; i < n_; ++i) {
    n_observed_ += count[i];
    if (count[i] == 0) continue;
    inv_count_[i] = 1.0 / static_cast<double>(count[i]);
    const double c = weight_[i] * inv_count_[i];
    if (count[i] == t_) {
      complete += c;
      for (std::size_t t = 0; t < t_; ++t) a(t, t) += weight_[i];
      continue;
    }
    for (std::size_t s = 0; s < t_; ++s) {
      if (!observed(i, s)) continue;
      a(s, s) += weight_[i];
      for (std::size_t t = 0; t < t_; ++t) {
        if (observed(i, t)) a(t, s) -= c;
      }
    }
  }
  if (t_ < 2) {
    factor_ = linalg::Cholesky{Mat(0, 0)};
    return;
  }
  Mat reduced(t_ - 1, t_ - 1);
  for (std::size_t s = 1; s < t_; ++s) {
    for (std::size_t t = 1; t < t_; ++t) reduced(t - 1, s - 1) = a(t, s) - complete;
  }
  // A pivot that is not clearly positive means a disconnected period graph
  // (the Laplacian's null space grew); relative to the diagonal, rounding
  // alone stays many orders below this.
  double scale = 0.0;
  for (std::size_t t = 0; t + 1 < t_; ++t) scale = std::fmax(scale, reduced(t, t));
  auto chol = linalg::Cholesky::make(reduced);
  if (!chol) return;
  for (std::size_t t = 0; t + 1 < t_; ++t) {
    const double l = chol.value().l(t, t);
    if (!(l * l > 1e-12 * scale)) return;
  }
  factor_ = std::move(chol).value();
}

Mat ObservedWithin::residual(const Mat& x) const {
  QUINTARA_ASSERT(connected(), "period effects identified");
  QUINTARA_ASSERT(x.rows == n_ && x.cols == t_, "x has the panel's shape");
  std::vector<double> mean(n_, 0.0);
  for (std::size_t t = 0; t < t_; ++t) {
    for (std::size_t i = 0; i < n_; ++i) {
      if (observed(i, t)) mean[i] += x(i, t);
    }
  }
  for (std::size_t i = 0; i < n_; ++i) mean[i] *= inv_count_[i];
  std::vector<double> g(t_, 0.0);
  if (t_ >= 2) {
    std::vector<double> b(t_ - 1, 0.0);
    for (std::size_t t = 1; t < t_; ++t) {
      double s = 0.0;
      for (std::size_t i = 0; i < n_; ++i) {
        if (observed(i, t)) s += weight_[i] * (x(i, t) - mean[i]);
      }
      b[t - 1] = s;
    }
    const std::vector<double> sol = factor_->solve_vec(b);
    for (std::size_t t = 1; t < t_; ++t) g[t] = sol[t - 1];
  }
  std::vector<double> unit(n_, 0.0);
  for (std::size_t t = 0; t < t_; ++t) {
    for (std::size_t i = 0; i < n_; ++i) {
      if (observed(i, t)) unit[i] += g[t];
    }
  }
  for (std::size_t i = 0; i < n_; ++i) unit[i] = mean[i] - unit[i] * inv_count_[i];
  Mat r(n_, t_);
  for (std::size_t t = 0; t < t_; ++t) {
    for (std::size_t i = 0; i < n_; ++i) {
      if (observed(i, t)) r(i, t) = x(i, t) - unit[i] - g[t];
    }
  }
  return r;
}

}  // namespace quintara::estimators
