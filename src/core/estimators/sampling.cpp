#include "core/estimators/sampling.hpp"

#include <limits>

namespace quintara::estimators {

Sampling Sampling::subset(std::span<const std::size_t> units) const {
  Sampling out;
  if (weighted()) {
    out.weight.reserve(units.size());
    for (const std::size_t i : units) out.weight.push_back(weight[i]);
  }
  if (clustered()) {
    constexpr std::size_t kUnseen = std::numeric_limits<std::size_t>::max();
    std::vector<std::size_t> code(n_clusters, kUnseen);
    out.cluster.reserve(units.size());
    for (const std::size_t i : units) {
      std::size_t& c = code[cluster[i]];
      if (c == kUnseen) c = out.n_clusters++;
      out.cluster.push_back(c);
    }
  }
  return out;
}

}  // namespace quintara::estimators
