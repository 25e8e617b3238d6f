// Which donors play the treated units in each refit of a placebo test.
//
// The single-donor test treats each donor in turn. A test whose placebos
// treat as many donors as the real design treats units compares like with
// like: an average of N1 series against averages of N1 series, whose spread
// shrinks with N1 the same way. Its sets are every N1-subset of the J donors,
// in lexicographic order, when there are at most `n_placebo` of them, and
// otherwise `n_placebo` sets drawn independently (set i from substream
// (seed, i), so the list is the same for any number of threads); a drawn set
// may repeat an earlier one, as a Monte-Carlo permutation test allows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quintara::inference {

// Number of k-subsets of n, or `cap` + 1 when it exceeds `cap`; cap * n must
// fit in a size_t.
std::size_t binomial_capped(std::size_t n, std::size_t k, std::size_t cap);

// The donor positions (0 .. J-1, ascending within a set) of every placebo.
// k = 1 always gives every donor once, in order; k = 0 or k >= J gives none
// (no pool would remain).
std::vector<std::vector<std::size_t>> placebo_sets(std::size_t J, std::size_t k,
                                                   std::size_t n_placebo, std::uint64_t seed);

// min(n, J) distinct positions of 0 .. J-1, ascending: every position when
// n >= J, else a uniform draw without replacement from substream (seed, 0).
std::vector<std::size_t> sampled_positions(std::size_t J, std::size_t n, std::uint64_t seed);

}  // namespace quintara::inference
