// The CP-ASC entry's computation after validation: the mode parsed into its
// enum, then the per-unit fits, the pooling and the permutation test, turned
// into the CPASCResult record.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "core/estimators/sc/cpasc.hpp"
#include "core/linalg/matrix.hpp"
#include "core/runs/records.hpp"

namespace quintara::runs {

// "mspe", "stratified" or "cumulative", exactly; anything else is UserError
// "unknown CP-ASC mode '{}' (expected mspe/stratified/cumulative)".
estimators::sc::CpascMode parse_cpasc_mode(std::string_view text);

// A validated request: y owned and finite, treated valid for y.rows with a
// donor left, 1 <= t0 < y.cols, options checked (n_strata and any block_len
// >= 1, sc_ridge finite and >= 0, aug_lambda finite and > 0 when given).
struct CpascRequest {
  linalg::Mat y;
  std::vector<std::size_t> treated;
  std::size_t t0 = 0;
  estimators::sc::CpascOptions options;
};

// Fits y normalised by a power of two (scale.hpp); results in y's units.
PyCpascResult run_cpasc(CpascRequest request);

}  // namespace quintara::runs
