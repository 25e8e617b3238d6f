#include "core/estimators/fit.hpp"

#include <cmath>
#include <tuple>
#include <utility>

#include "core/format.hpp"
#include "core/linalg/kernels.hpp"
#include "core/linalg/means.hpp"
#include "core/panic.hpp"

namespace quintara::estimators {

double rmspe(std::span<const double> gap) {
  if (gap.empty()) return 0.0;
  // The scaled norm keeps gaps of 1e200 from overflowing in the squares.
  return linalg::norm2(gap) / std::sqrt(static_cast<double>(gap.size()));
}

double mean_or_zero(std::span<const double> path) {
  return path.empty() ? 0.0 : linalg::mean_div(path);
}

BlockSeries block_series(const Panel& panel, std::size_t t0, const char* no_donor_message) {
  const std::vector<std::size_t> treated = panel.treated_units();
  if (treated.empty()) panic("no treated units");
  BlockSeries b;
  b.t0 = t0;
  b.n_treated = treated.size();
  std::tie(b.donor_x, b.donors) = panel.donor_series();
  if (b.donors.empty()) panic(no_donor_message);
  if (t0 > panel.n_periods()) {
    panic(format("block series: t0 {} > n_periods {}", t0, panel.n_periods()));
  }
  b.treated_mean = panel.unit_mean(treated);
  return b;
}

ScFit assemble_fit(std::vector<double> weights, std::vector<std::size_t> donors,
                   std::span<const double> y_post, std::vector<double> counterfactual,
                   double pre_rmspe, std::vector<double> synthetic_pre) {
  ScFit fit;
  fit.att_path.resize(y_post.size());
  for (std::size_t s = 0; s < y_post.size(); ++s) fit.att_path[s] = y_post[s] - counterfactual[s];
  fit.att = mean_or_zero(fit.att_path);
  fit.pre_rmspe = pre_rmspe;
  fit.post_rmspe = rmspe(fit.att_path);
  fit.weights = std::move(weights);
  fit.donor_ids = std::move(donors);
  fit.counterfactual = std::move(counterfactual);
  fit.synthetic_pre = std::move(synthetic_pre);
  fit.treated_post.assign(y_post.begin(), y_post.end());
  return fit;
}

}  // namespace quintara::estimators
