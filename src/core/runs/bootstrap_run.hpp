// The bootstrap entry's computation after validation: the option parsed into
// its kind, then the moving-block or stationary bootstrap of the mean.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "core/inference/bootstrap.hpp"

namespace quintara::runs {

enum class BootstrapKind { Block, Stationary };

// "block" or "stationary"; anything else is UserError "unknown bootstrap kind
// '{}' (expected block/stationary)".
BootstrapKind parse_bootstrap_kind(std::string_view text);

// Non-empty and finite, or UserError "series must be non-empty and finite".
void check_series(std::span<const double> series);

struct BootstrapRequest {
  std::vector<double> series;
  BootstrapKind kind = BootstrapKind::Block;
  std::uint64_t block_len = 1;
  std::uint64_t n_reps = 1;
  std::uint64_t seed = 0;
  double level = 0.95;
};

// Resamples the series normalised by a power of two (scale.hpp); results in
// the series' units.
inference::BootstrapResult run_bootstrap(const BootstrapRequest& request);

}  // namespace quintara::runs
