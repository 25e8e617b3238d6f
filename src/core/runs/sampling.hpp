// The staggered entries' sampling arguments checked and turned into a
// Sampling: unit weights, cluster codes, and whether missing cells are kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/estimators/sampling.hpp"

namespace quintara::runs {

// One weight per unit, each finite and > 0 ("weights must have one entry per
// unit (N); got n", "weights must be positive and finite; weights[i] is v"),
// of a ratio below 2^1022 ("weights span too wide a range: ..."), scaled by
// the power of two that puts the largest in [1, 2) (exact: only the ratios
// matter, so every estimate and standard error is unchanged by it),
// and one cluster code per unit, any integers, of at least two distinct
// values. Codes are renumbered densely in order of first appearance, so the
// clusters' order (and so every sum over them) follows the units'.
estimators::Sampling make_sampling(const std::optional<std::vector<double>>& weights,
                                   const std::optional<std::vector<std::int64_t>>& clusters,
                                   std::size_t n_units);

// "refuse" (false) or "keep" (true); anything else is UserError.
bool parse_missing(std::string_view text);

}  // namespace quintara::runs
