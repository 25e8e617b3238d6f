// Goodman-Bacon decomposition of the two-way fixed-effects coefficient.
//
// On a balanced panel without always-treated units the TWFE coefficient is a
// weighted average of 2x2 difference-in-differences between timing groups:
// each cohort against the never-treated units, and each pair of cohorts both
// ways (the later-treated cohort against the already-treated earlier one is
// the "forbidden" comparison). Everything comes from group-by-window means; no
// regression is run.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "core/estimators/panel.hpp"

namespace quintara::estimators::did {

enum class BaconKind { TreatedVsUntreated, EarlierVsLater, LaterVsEarlier };

struct BaconComponent {
  std::optional<std::size_t> comparison_cohort;  // absent: the never-treated units
  std::size_t treated_cohort = 0;
  double weight = 0.0;  // normalised over all components
  double estimate = 0.0;
  BaconKind kind = BaconKind::TreatedVsUntreated;
};

struct BaconDecomposition {
  std::vector<BaconComponent> components;  // creation order
  double twfe = 0.0;                       // sum of weight * estimate
  double forbidden_weight = 0.0;           // weight of the later-vs-earlier components
};

namespace bacon {

// The panel must have no always-treated unit (cohort 0) for the weighted sum
// to equal the TWFE coefficient; cohort 0 is ignored here.
BaconDecomposition decompose(const Panel& panel);

}  // namespace bacon
}  // namespace quintara::estimators::did
