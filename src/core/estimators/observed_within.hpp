// The two-way within transformation on the observed cells of a panel with
// missing cells and unit weights: the residual of any N x T array on unit and
// period effects, fitted by weighted least squares over the observed cells.
//
// The fixed effects are solved exactly, not by alternating projections: with
// unit effect a_i eliminated (a_i is the unit's mean of x - g over its
// observed periods; a unit weight cancels inside its own unit), the period
// effects g solve the T x T system
//   A g = b,  A = diag(W_t) - sum_i (w_i / n_i) o_i o_i',
//   b_t = sum_{i observed at t} w_i (x_it - mean_i x),
// with o_i unit i's 0/1 observation pattern, n_i its count and W_t the weight
// observed at t. A is the weighted Laplacian of the graph linking two periods
// through every unit seen in both, so fixing g_0 = 0 leaves a positive-definite
// system exactly when that graph is connected. It is factored once (O(N T^2)
// for the incomplete units, O(N T) for the complete ones, whose patterns are
// all ones) and each residual then costs O(N T + T^2).
//
// Caveat: when some periods share no unit with the others (a disconnected
// graph), the period effects are not identified across the groups; the
// constructor leaves the transformation unusable and `connected()` false, and
// the caller must refuse the panel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/linalg/cholesky.hpp"
#include "core/linalg/matrix.hpp"

namespace quintara::estimators {

class ObservedWithin {
 public:
  // NaN cells of `y` are the missing ones; `weight` holds N positive unit
  // weights, or is empty for weight 1 each.
  ObservedWithin(const linalg::Mat& y, std::span<const double> weight);

  bool connected() const { return factor_.has_value(); }
  bool observed(std::size_t i, std::size_t t) const { return mask_[i + t * n_] != 0; }
  std::size_t n_observed() const { return n_observed_; }

  // Residual of x on the unit and period effects over the observed cells;
  // zero at missing cells, whose values in x are never read. Requires
  // connected().
  linalg::Mat residual(const linalg::Mat& x) const;

 private:
  std::size_t n_ = 0, t_ = 0, n_observed_ = 0;
  std::vector<std::uint8_t> mask_;          // column-major like Mat
  std::vector<double> weight_;              // N, ones when none were given
  std::vector<double> inv_count_;           // 1 / n_i
  std::optional<linalg::Cholesky> factor_;  // of A without period 0
};

}  // namespace quintara::estimators
