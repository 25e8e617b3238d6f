// The matrix-completion entry's computation after validation: the block panel,
// the MC-NNM fit and its SCResult record (no inference attributes).
#pragma once

#include <cstddef>
#include <vector>

#include "core/estimators/mcnnm/softimpute.hpp"
#include "core/linalg/matrix.hpp"
#include "core/runs/records.hpp"

namespace quintara::runs {

// A validated request: y owned, treated non-empty, distinct and < y.rows,
// 1 <= t0 < y.cols, a given lambda finite and > 0, max_iter, max_rank >= 1
// and tol finite and > 0.
struct McnnmRequest {
  linalg::Mat y;
  std::vector<std::size_t> treated;
  std::size_t t0 = 0;
  estimators::mcnnm::McnnmOptions options;
};

// Fits y normalised by a power of two (scale.hpp); results in y's units.
PyScResult run_mcnnm(McnnmRequest request);

}  // namespace quintara::runs
