#include "core/estimators/did/twfe.hpp"

#include <cmath>

#include "core/estimators/observed_within.hpp"
#include "core/estimators/within.hpp"

namespace quintara::estimators::did::twfe {

using linalg::Mat;

TwfeFit fit(const Panel& panel) {
  const std::size_t n = panel.n_units(), t_len = panel.n_periods();
  const Mat yz = two_way_within(panel.y);
  const Mat dz = two_way_within(treatment_matrix(panel));

  double sxy = 0.0, sxx = 0.0;
  for (std::size_t p = 0; p < dz.data.size(); ++p) {
    sxy += dz.data[p] * yz.data[p];
    sxx += dz.data[p] * dz.data[p];
  }
  const double beta = sxx > 0.0 ? sxy / sxx : 0.0;

  // Cluster score of unit i: its residuals times its demeaned indicator,
  // summed over its periods.
  double meat = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    double s = 0.0;
    for (std::size_t t = 0; t < t_len; ++t) {
      const std::size_t p = i + t * n;
      s += (yz.data[p] - beta * dz.data[p]) * dz.data[p];
    }
    meat += s * s;
  }
  // N/(N-1) is the only small-sample factor: no (NT-1)/(NT-K) and no
  // correction for the absorbed fixed effects.
  if (n >= 2) {
    const double nd = static_cast<double>(n);
    meat *= nd / (nd - 1.0);
  }
  const double se = sxx > 0.0 ? std::sqrt(meat / (sxx * sxx)) : 0.0;
  return TwfeFit{beta, se, n};
}

TwfeFit fit_observed(const Panel& panel, const Sampling& sampling) {
  const std::size_t n = panel.n_units(), t_len = panel.n_periods();
  const ObservedWithin within(panel.y, sampling.weight);
  const Mat yz = within.residual(panel.y);
  const Mat dz = within.residual(treatment_matrix(panel));

  double sxy = 0.0, sxx = 0.0;
  for (std::size_t t = 0; t < t_len; ++t) {
    for (std::size_t i = 0; i < n; ++i) {
      const double w = sampling.weight_of(i);
      sxy += w * dz(i, t) * yz(i, t);
      sxx += w * dz(i, t) * dz(i, t);
    }
  }
  const double beta = sxx > 0.0 ? sxy / sxx : 0.0;

  // Missing cells are zero in both residuals, so they add nothing here.
  const std::size_t g = sampling.clusters(n);
  std::vector<double> unit(n, 0.0), score(g, 0.0);
  for (std::size_t t = 0; t < t_len; ++t) {
    for (std::size_t i = 0; i < n; ++i) unit[i] += (yz(i, t) - beta * dz(i, t)) * dz(i, t);
  }
  for (std::size_t i = 0; i < n; ++i)
    score[sampling.cluster_of(i)] += sampling.weight_of(i) * unit[i];
  double meat = 0.0;
  for (const double s : score) meat += s * s;
  if (g >= 2) {
    const double gd = static_cast<double>(g);
    meat *= gd / (gd - 1.0);
  }
  const double se = sxx > 0.0 ? std::sqrt(meat / (sxx * sxx)) : 0.0;
  return TwfeFit{beta, se, g};
}

}  // namespace quintara::estimators::did::twfe
