// What the two ways of forming the Callaway & Sant'Anna aggregates share:
// the cohort bookkeeping, the lists of cells each aggregate averages, and
// each aggregate's weights and share-estimation terms. callaway.cpp applies
// them to stored influence functions unit by unit; callaway_fused.cpp
// applies the same numbers, in the same order, block by block without
// storing the cells' influence functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/estimators/did/callaway.hpp"
#include "core/estimators/panel.hpp"
#include "core/estimators/sampling.hpp"
#include "core/linalg/matrix.hpp"

namespace quintara::estimators::did::agg {

// Cohort bookkeeping shared by every aggregation: the class of each unit (0
// for never treated, 1 + position in `cohorts` otherwise), the unit count of
// each class and its total weight (the count when unweighted).
struct Shares {
  std::size_t n_units = 0;
  std::vector<std::size_t> cohorts;  // every distinct adoption period, ascending
  // One per unit: from the reused large blocks.
  std::vector<std::size_t, linalg::NoInitAllocator<std::size_t>> class_of;
  std::vector<std::size_t> class_size;
  std::vector<double> class_weight;
  const Sampling& sampling;  // weights relative to their mean

  Shares(const Panel& panel, const Sampling& s);
  std::size_t class_of_cohort(std::size_t g) const;
};

// One term of an aggregate: a cell (or a first-level aggregate) by its
// position `source` in the list it comes from; `influence` is its stored
// influence function, null when it was not stored.
struct AggInput {
  std::size_t cohort;
  double estimate;
  const std::vector<double>* influence;
  std::size_t source;
};

// Cohort-share weights of the items (`c`, summing to one) and the estimate;
// a unit's influence is sum_r c[r] psi_r(i), from 0.0 in item order, plus
// share_term(class of i, weight of i).
struct AggPlan {
  std::vector<std::size_t> cls;
  std::vector<double> w;
  std::vector<double> c;
  std::vector<double> estimate;
  double S = 0.0;
  double theta = 0.0;

  double share_term(std::size_t k, double wi) const;
  // share_term(k, 1.0) for every class k: the unweighted units' terms.
  std::vector<double> by_class(std::size_t n_classes) const;
};

// None without items or without weight.
std::optional<AggPlan> plan_aggregate(std::span<const AggInput> items, const Shares& shares);

// The first-level aggregates' item lists, in the order they are reported:
// the event times, the overall effect, the cohorts, the calendar periods.
struct AggLists {
  std::vector<std::vector<AggInput>> lists;
  std::vector<std::int64_t> keys;
  std::size_t n_events = 0;
  std::size_t n_groups = 0;
};

AggLists aggregate_lists(std::span<const GroupTimeAtt> cells, std::span<const std::size_t> kept,
                         const EventWindow& window, std::size_t n_periods);

}  // namespace quintara::estimators::did::agg

namespace quintara::estimators::did::fused {

// The fit of a complete panel without covariates, weights or clusters by
// outcome regression (callaway_fused.cpp): the cell-wise fit's every number,
// with the event times' covariance formed on the way and the influence
// functions stored only when `influences` asks for them.
CsResult fit(const Panel& panel, const agg::Shares& shares, std::span<const std::size_t> kept,
             bool not_yet_treated, std::size_t anticipation, bool varying_base,
             const EventWindow& window, bool influences);

}  // namespace quintara::estimators::did::fused
