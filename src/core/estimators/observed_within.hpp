// The two-way fixed effects of a panel with missing cells and unit weights:
// unit and period effects fitted by weighted least squares over the observed
// cells, the residual of any N x T array on them, and the solution of their
// normal equations for any right-hand side.
//
// The effects are solved exactly, not by alternating projections: with unit
// effect a_i eliminated (a_i is the unit's mean of x - g over its observed
// periods; a unit weight cancels inside its own unit), the period effects g
// solve the T x T system
//   A g = b,  A = diag(W_t) - sum_i (w_i / n_i) o_i o_i',
//   b_t = sum_{i observed at t} w_i (x_it - mean_i x),
// with o_i unit i's 0/1 observation pattern, n_i its count and W_t the weight
// observed at t. A is the weighted Laplacian of the graph linking two periods
// through every unit seen in both, so fixing g = 0 at the first observed
// period leaves a positive-definite system exactly when that graph is
// connected. It is factored once (O(N T) to group the units by observation
// pattern, O(T^2) per distinct pattern) and each solve then costs
// O(N T + T^2).
//
// Caveats: periods without any observed cell, and units without any, have
// no effect (0); the caller decides what that means. When the observed
// periods share no unit across some split (a disconnected graph), the period
// effects are not identified across it; the constructor leaves the
// transformation unusable and `connected()` false, and the caller must refuse
// the panel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/linalg/cholesky.hpp"
#include "core/linalg/matrix.hpp"

namespace quintara::estimators {

struct TwoWayEffects {
  std::vector<double> unit;    // N
  std::vector<double> period;  // T
};

class ObservedWithin {
 public:
  // NaN cells of `y` are the missing ones; `weight` holds N positive unit
  // weights, or is empty for weight 1 each.
  ObservedWithin(const linalg::Mat& y, std::span<const double> weight);

  bool connected() const { return factor_.has_value(); }
  bool observed(std::size_t i, std::size_t t) const { return mask_[i + t * n_] != 0; }
  std::size_t n_observed() const { return n_observed_; }
  bool unit_observed(std::size_t i) const { return inv_count_[i] > 0.0; }
  bool period_observed(std::size_t t) const { return period_weight_[t] > 0.0; }

  // The weighted least-squares effects of x over the observed cells (x's
  // values at missing cells are never read), with the effect of the first
  // observed period 0. Requires connected().
  TwoWayEffects fit(const linalg::Mat& x) const;
  // A solution b of the normal equations Z'WZ b = (r, c), Z the unit and
  // period dummies of the observed cells and W their weights; r and c must
  // have equal sums (any rhs of the form Z'u has). The same normalisation.
  TwoWayEffects solve(std::span<const double> unit_rhs, std::span<const double> period_rhs) const;
  // x minus its fitted effects on the observed cells; zero at missing cells.
  linalg::Mat residual(const linalg::Mat& x) const;

 private:
  std::size_t n_ = 0, t_ = 0, n_observed_ = 0;
  std::vector<std::uint8_t> mask_;     // column-major like Mat
  std::vector<double> weight_;         // N, ones when none were given
  std::vector<double> inv_count_;      // 1 / n_i, 0 for a unit never observed
  std::vector<double> period_weight_;  // W_t
  std::vector<std::size_t> free_;      // observed periods but the first: the system's
  std::optional<linalg::Cholesky> factor_;

  // The period effects from the reduced system's rhs, then each unit's
  // level minus its mean period effect.
  TwoWayEffects finish(std::span<const double> reduced_rhs, std::vector<double> unit_level) const;
};

}  // namespace quintara::estimators
