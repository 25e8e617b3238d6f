// How the units of a panel were sampled: a weight per unit and the clusters
// its standard errors treat as independent.
//
// Weights are sampling (inverse-probability) weights, constant within a unit:
// they scale each unit's squared residuals in a regression and its share in
// a mean, never its number of observations. Clusters are the units of
// independent sampling (states for a county panel); a unit belongs to one.
// Empty vectors mean every unit weighs 1 and is its own cluster, and the
// estimators then take their unweighted, unit-clustered paths unchanged.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace quintara::estimators {

struct Sampling {
  std::vector<double> weight;        // N positive weights, or empty
  std::vector<std::size_t> cluster;  // N codes in [0, n_clusters), or empty
  std::size_t n_clusters = 0;        // when `cluster` is empty: unused

  bool weighted() const { return !weight.empty(); }
  bool clustered() const { return !cluster.empty(); }
  double weight_of(std::size_t unit) const { return weight.empty() ? 1.0 : weight[unit]; }
  // Cluster of a unit: the unit itself when no clusters were given.
  std::size_t cluster_of(std::size_t unit) const { return cluster.empty() ? unit : cluster[unit]; }
  std::size_t clusters(std::size_t n_units) const { return cluster.empty() ? n_units : n_clusters; }

  // The sampling of the listed units (ascending indices), cluster codes
  // renumbered densely in order of first appearance.
  Sampling subset(std::span<const std::size_t> units) const;
};

}  // namespace quintara::estimators
