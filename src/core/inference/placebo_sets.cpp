#include "core/inference/placebo_sets.hpp"

#include <algorithm>
#include <numeric>

#include "core/linalg/rng.hpp"

namespace quintara::inference {

std::size_t binomial_capped(std::size_t n, std::size_t k, std::size_t cap) {
  if (k > n) return 0;
  k = std::min(k, n - k);
  // c = C(n - k + i, i) after step i, an integer at every step; past `cap`
  // the exact value no longer matters. c <= cap before each product, and
  // callers keep cap small (n_placebo is at most 10^7), so c * num fits.
  std::size_t c = 1;
  for (std::size_t i = 1; i <= k; ++i) {
    c = c * (n - k + i) / i;
    if (c > cap) return cap + 1;
  }
  return c;
}

namespace {

// Every k-subset of 0 .. J-1 in lexicographic order.
std::vector<std::vector<std::size_t>> all_subsets(std::size_t J, std::size_t k) {
  std::vector<std::vector<std::size_t>> out;
  std::vector<std::size_t> s(k);
  std::iota(s.begin(), s.end(), std::size_t{0});
  while (true) {
    out.push_back(s);
    std::size_t i = k;
    while (i > 0 && s[i - 1] == J - k + (i - 1)) --i;
    if (i == 0) return out;
    ++s[i - 1];
    for (std::size_t j = i; j < k; ++j) s[j] = s[j - 1] + 1;
  }
}

// k distinct positions by a partial Fisher-Yates shuffle from the front.
std::vector<std::size_t> drawn_subset(std::size_t J, std::size_t k, std::uint64_t seed,
                                      std::uint64_t index) {
  linalg::Xoshiro256pp rng = linalg::Xoshiro256pp::substream(seed, index);
  std::vector<std::size_t> pos(J);
  std::iota(pos.begin(), pos.end(), std::size_t{0});
  for (std::size_t a = 0; a < k; ++a) {
    const std::size_t b = a + static_cast<std::size_t>(rng.gen_range(J - a));
    std::swap(pos[a], pos[b]);
  }
  pos.resize(k);
  std::sort(pos.begin(), pos.end());
  return pos;
}

}  // namespace

std::vector<std::vector<std::size_t>> placebo_sets(std::size_t J, std::size_t k,
                                                   std::size_t n_placebo, std::uint64_t seed) {
  if (k == 0 || k >= J) return {};
  if (k == 1 || binomial_capped(J, k, n_placebo) <= n_placebo) return all_subsets(J, k);
  std::vector<std::vector<std::size_t>> out;
  out.reserve(n_placebo);
  for (std::size_t i = 0; i < n_placebo; ++i) out.push_back(drawn_subset(J, k, seed, i));
  return out;
}

std::vector<std::size_t> sampled_positions(std::size_t J, std::size_t n, std::uint64_t seed) {
  if (n >= J) {
    std::vector<std::size_t> all(J);
    std::iota(all.begin(), all.end(), std::size_t{0});
    return all;
  }
  return drawn_subset(J, n, seed, 0);
}

}  // namespace quintara::inference
