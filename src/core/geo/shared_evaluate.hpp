// One candidate scored from the matrices a search shares (shared_grams.hpp).
//
// The same problems as evaluate() solves, posed from shared sums: every
// window's SDID (or SC) fit on the candidate's controls, the power curve
// from those fits, and the diagnostics' synthetic control. The quadratic
// programs are the same exact solver on matrices equal to the refit's up to
// rounding, so weights, effects and scores agree with the refit path to
// rounding, and powers and MDEs exactly unless an effect lies within
// rounding of a critical value. A problem with several minimisers (SDID's
// time weights with fewer controls than pre-periods, SC with more controls
// than pre-periods) is begun at the same vertex on both paths, which
// usually ends at the same minimiser; rounding can still part them, and
// then the effects differ by more than rounding. Per window this costs a principal
// submatrix's columns as the solver reads them and a few vectors of length
// n_markets, instead of passes over the whole pre-period block.
#pragma once

#include <cstddef>
#include <span>

#include "core/geo/selection.hpp"
#include "core/geo/shared_grams.hpp"
#include "core/linalg/matrix.hpp"

namespace quintara::geo {

// `grams` from shared_grams(y, window_set(...), settings.test_len,
// settings.method); `treated_sorted` ascending, without repeats, leaving a
// control on fit_rows.
MarketCandidate evaluate_shared(const linalg::Mat& y, const SharedGrams& grams,
                                std::span<const std::size_t> treated_sorted,
                                const SelectionSettings& settings);

}  // namespace quintara::geo
