// Improving the best candidate by single swaps.
//
// Random and enumerated candidates sample the space of treated sets; the
// best of them is usually a few swaps from a better one. Starting from the
// best-ranked candidate, each step scores its neighbours (one non-included
// market swapped for one pool market outside the set, in lexicographic order
// of the pair, sets already scored and sets above the settings' budget
// skipped) in fixed batches, and moves to the best of a batch that beats the
// current centre. It stops at a local
// optimum (no neighbour beats the centre) or when `budget` evaluations are
// spent. Batches have a fixed size and each is one parallel map, so the
// path, like every score, is the same for any number of workers.
#pragma once

#include <cstddef>
#include <vector>

#include "core/geo/selection.hpp"
#include "core/linalg/matrix.hpp"

namespace quintara::geo {

// Neighbours scored together; the parallel grain of the search.
inline constexpr std::size_t kSwapBatch = 8;

// The scored neighbours, in the order they were scored; `ranked` must be
// the candidates already scored by `evaluate`, best first (their sets are
// not rescored).
std::vector<MarketCandidate> swap_search(const Evaluator& evaluate,
                                         const std::vector<MarketCandidate>& ranked,
                                         std::size_t budget);

}  // namespace quintara::geo
