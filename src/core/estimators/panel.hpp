// The panel: N units x T periods of outcomes, one optional adoption period per
// unit, and optional unit covariates; with the slicing queries the
// synthetic-control family is built from.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/linalg/matrix.hpp"

namespace quintara::estimators {

// Adoption periods, one per unit (none: never treated). A million units make
// 16 MB: from the kept blocks, so a fit called again on a panel of the same
// size does not fault fresh pages in for them. The allocator default-
// initialises elements, which for std::optional runs its constructor: a
// sized vector starts with every unit never treated, as a std::vector would.
using TreatStarts =
    std::vector<std::optional<std::size_t>, linalg::NoInitAllocator<std::optional<std::size_t>>>;

struct Panel {
  linalg::Mat y;                          // N x T, rows = units
  TreatStarts treat_start;                // adoption period per unit
  std::optional<linalg::Mat> covariates;  // N x K when attached

  // Block design: every listed unit adopts at t0 (a repeated index is simply
  // set twice). An index >= N is an invariant violation.
  static Panel block(linalg::Mat y, std::span<const std::size_t> treated, std::size_t t0);
  // Staggered adoption; asserts treat_start has one entry per unit.
  static Panel make(linalg::Mat y, TreatStarts treat_start);
  // Attaches covariates (replacing any), asserting one row per unit.
  Panel with_covariates(linalg::Mat x) &&;

  std::size_t n_units() const { return y.rows; }
  std::size_t n_periods() const { return y.cols; }

  std::vector<std::size_t> treated_units() const;        // ascending
  std::vector<std::size_t> never_treated_units() const;  // ascending: the donor pool
  std::vector<std::size_t> cohorts() const;              // distinct adoption periods, ascending

  // (T x J matrix, donors): column j is donor j's whole series. A unit's
  // periods are strided in `y`, so the donors are gathered once, here; any
  // period range of them is then a row-range view of this matrix.
  std::pair<linalg::Mat, std::vector<std::size_t>> donor_series() const;

  // Period-wise mean of the listed units' rows (a unit listed twice counts
  // twice); T zeros for an empty list.
  std::vector<double> unit_mean(std::span<const std::size_t> units) const;
};

}  // namespace quintara::estimators
