#include "core/estimators/prepared.hpp"

#include <algorithm>

#include "core/estimators/sc/sdid.hpp"
#include "core/format.hpp"
#include "core/linalg/means.hpp"
#include "core/panic.hpp"

namespace quintara::estimators {

double att_with_post(const PreparedFit& prepared, std::span<const double> y_post) {
  const std::vector<double>& counterfactual = prepared.fit.counterfactual;
  QUINTARA_ASSERT_EQ(y_post.size(), counterfactual.size(),
                     "att_with_post: one post-period value per counterfactual period");
  if (prepared.closed_form_did) {
    return sc::sdid::did_from_parts(y_post, prepared.sdid_pre_level, prepared.sdid_controls);
  }
  // assemble_fit's att: mean_or_zero of y_post - counterfactual, the same
  // left-to-right sum divided by the count, without the path vector.
  if (y_post.empty()) return 0.0;
  return linalg::mean_div(y_post.size(),
                          [&](std::size_t p) { return y_post[p] - counterfactual[p]; });
}

std::vector<double> injected_treated_post(const linalg::MatView& y,
                                          std::span<const std::size_t> treated, std::size_t t0,
                                          std::size_t width, double lift) {
  // The rows Panel::block marks, in the order treated_units lists them.
  std::vector<std::size_t> rows(treated.begin(), treated.end());
  std::sort(rows.begin(), rows.end());
  rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
  if (rows.empty()) panic("no treated units");
  if (rows.back() >= y.rows) panic(format("treated unit index {} out of range", rows.back()));
  if (t0 + width > y.cols) {
    panic(format("injected post series: t0 {} + width {} > n_periods {}", t0, width, y.cols));
  }
  const double factor = 1.0 + lift;
  // Panel::unit_mean's form: sum from 0.0 in row order, then one reciprocal
  // product.
  std::vector<double> mean(width, 0.0);
  for (const std::size_t u : rows) {
    for (std::size_t p = 0; p < width; ++p) mean[p] = mean[p] + y(u, t0 + p) * factor;
  }
  const double inv = 1.0 / static_cast<double>(rows.size());
  for (double& v : mean) v = v * inv;
  return mean;
}

}  // namespace quintara::estimators
