#include "core/estimators/observed_within.hpp"

#include <cmath>
#include <string>
#include <unordered_map>

#include "core/panic.hpp"

namespace quintara::estimators {

using linalg::Mat;

ObservedWithin::ObservedWithin(const Mat& y, std::span<const double> weight)
    : n_(y.rows), t_(y.cols), mask_(y.data.size()), weight_(n_, 1.0), inv_count_(n_, 0.0),
      period_weight_(t_, 0.0) {
  QUINTARA_ASSERT(weight.empty() || weight.size() == n_, "one weight per unit");
  if (!weight.empty()) weight_.assign(weight.begin(), weight.end());
  std::vector<std::size_t> count(n_, 0);
  for (std::size_t p = 0; p < y.data.size(); ++p) {
    mask_[p] = std::isnan(y.data[p]) ? 0 : 1;
    count[p % n_] += mask_[p];
  }
  // A = diag(W) - C. Units sharing an observation pattern add the same
  // outer product, so C is built once per distinct pattern (in order of
  // first appearance) from the sum of its units' w_i / n_i: a staggered
  // panel has about one pattern per cohort, however many units.
  Mat a(t_, t_);
  std::unordered_map<std::string, std::size_t> pattern_of;
  std::vector<std::size_t> first_unit;
  std::vector<double> pattern_weight;
  std::string key(t_, '\0');
  for (std::size_t i = 0; i < n_; ++i) {
    n_observed_ += count[i];
    if (count[i] == 0) continue;
    inv_count_[i] = 1.0 / static_cast<double>(count[i]);
    for (std::size_t t = 0; t < t_; ++t) {
      key[t] = static_cast<char>(mask_[i + t * n_]);
      if (mask_[i + t * n_]) period_weight_[t] += weight_[i];
    }
    const auto [it, fresh] = pattern_of.try_emplace(key, first_unit.size());
    if (fresh) {
      first_unit.push_back(i);
      pattern_weight.push_back(0.0);
    }
    pattern_weight[it->second] += weight_[i] * inv_count_[i];
  }
  for (std::size_t k = 0; k < first_unit.size(); ++k) {
    const std::size_t i = first_unit[k];
    for (std::size_t s = 0; s < t_; ++s) {
      if (!observed(i, s)) continue;
      for (std::size_t t = 0; t < t_; ++t) {
        if (observed(i, t)) a(t, s) -= pattern_weight[k];
      }
    }
  }
  bool first = true;
  for (std::size_t t = 0; t < t_; ++t) {
    if (!period_observed(t)) continue;
    if (!first) free_.push_back(t);
    first = false;
  }
  const std::size_t m = free_.size();
  Mat reduced(m, m);
  for (std::size_t s = 0; s < m; ++s) {
    for (std::size_t t = 0; t < m; ++t) reduced(t, s) = a(free_[t], free_[s]);
    reduced(s, s) += period_weight_[free_[s]];
  }
  if (m == 0) {
    factor_ = linalg::Cholesky{Mat(0, 0)};
    return;
  }
  // A pivot that is not clearly positive means a disconnected period graph
  // (the Laplacian's null space grew); relative to the diagonal, rounding
  // alone stays many orders below this.
  double scale = 0.0;
  for (std::size_t t = 0; t < m; ++t) scale = std::fmax(scale, reduced(t, t));
  auto chol = linalg::Cholesky::make(reduced);
  if (!chol) return;
  for (std::size_t t = 0; t < m; ++t) {
    const double l = chol.value().l(t, t);
    if (!(l * l > 1e-12 * scale)) return;
  }
  factor_ = std::move(chol).value();
}

TwoWayEffects ObservedWithin::finish(std::span<const double> reduced_rhs,
                                     std::vector<double> unit_level) const {
  TwoWayEffects e{std::move(unit_level), std::vector<double>(t_, 0.0)};
  const std::vector<double> sol = factor_->solve_vec(reduced_rhs);
  for (std::size_t k = 0; k < free_.size(); ++k) e.period[free_[k]] = sol[k];
  std::vector<double> sum(n_, 0.0);
  for (std::size_t t = 0; t < t_; ++t) {
    for (std::size_t i = 0; i < n_; ++i) {
      sum[i] += static_cast<double>(mask_[i + t * n_]) * e.period[t];  // finite: no branch
    }
  }
  for (std::size_t i = 0; i < n_; ++i) e.unit[i] -= sum[i] * inv_count_[i];
  return e;
}

TwoWayEffects ObservedWithin::solve(std::span<const double> unit_rhs,
                                    std::span<const double> period_rhs) const {
  QUINTARA_ASSERT(connected(), "period effects identified");
  QUINTARA_ASSERT(unit_rhs.size() == n_ && period_rhs.size() == t_, "rhs has the panel's shape");
  // share_i = r_i / n_i: w_i times unit i's rhs per observed period.
  std::vector<double> share(n_), level(n_);
  for (std::size_t i = 0; i < n_; ++i) {
    share[i] = unit_rhs[i] * inv_count_[i];
    level[i] = share[i] / weight_[i];
  }
  std::vector<double> b(free_.size());
  for (std::size_t k = 0; k < free_.size(); ++k) {
    const std::size_t t = free_[k];
    double s = period_rhs[t];
    for (std::size_t i = 0; i < n_; ++i) {
      s -= static_cast<double>(mask_[i + t * n_]) * share[i];
    }
    b[k] = s;
  }
  return finish(b, std::move(level));
}

TwoWayEffects ObservedWithin::fit(const Mat& x) const {
  QUINTARA_ASSERT(connected(), "period effects identified");
  QUINTARA_ASSERT(x.rows == n_ && x.cols == t_, "x has the panel's shape");
  // Centred within each unit first, so that the period sums cancel nothing
  // of the outcome's level.
  std::vector<double> mean(n_, 0.0);
  for (std::size_t t = 0; t < t_; ++t) {
    for (std::size_t i = 0; i < n_; ++i) {
      if (observed(i, t)) mean[i] += x(i, t);
    }
  }
  for (std::size_t i = 0; i < n_; ++i) mean[i] *= inv_count_[i];
  std::vector<double> b(free_.size());
  for (std::size_t k = 0; k < free_.size(); ++k) {
    const std::size_t t = free_[k];
    double s = 0.0;
    for (std::size_t i = 0; i < n_; ++i) {
      if (observed(i, t)) s += weight_[i] * (x(i, t) - mean[i]);
    }
    b[k] = s;
  }
  return finish(b, std::move(mean));
}

Mat ObservedWithin::residual(const Mat& x) const {
  const TwoWayEffects e = fit(x);
  Mat r(n_, t_);
  for (std::size_t t = 0; t < t_; ++t) {
    for (std::size_t i = 0; i < n_; ++i) {
      if (observed(i, t)) r(i, t) = x(i, t) - e.unit[i] - e.period[t];
    }
  }
  return r;
}

}  // namespace quintara::estimators
