#include "core/estimators/within.hpp"

#include "core/linalg/means.hpp"

namespace quintara::estimators {

using linalg::Mat;

std::vector<double> time_means(const Mat& x) {
  std::vector<double> m(x.cols, 0.0);
  for (std::size_t t = 0; t < x.cols; ++t) m[t] = linalg::mean_div(x.col(t));
  return m;
}

std::vector<double> unit_means(const Mat& x) {
  std::vector<double> m(x.rows, 0.0);
  for (std::size_t t = 0; t < x.cols; ++t) {
    const double* col = x.data.data() + t * x.rows;
    for (std::size_t i = 0; i < x.rows; ++i) m[i] += col[i];
  }
  const double inv = 1.0 / static_cast<double>(x.cols);
  for (double& v : m) v *= inv;
  return m;
}

Mat two_way_within(const Mat& x) {
  const std::vector<double> um = unit_means(x);
  const std::vector<double> tm = time_means(x);
  const double grand = linalg::mean_div(x.data);
  Mat z(x.rows, x.cols);
  for (std::size_t t = 0; t < x.cols; ++t) {
    for (std::size_t i = 0; i < x.rows; ++i) {
      const std::size_t p = i + t * x.rows;
      z.data[p] = x.data[p] - um[i] - tm[t] + grand;
    }
  }
  return z;
}

Mat treatment_matrix(const Panel& panel) {
  Mat d(panel.n_units(), panel.n_periods());
  for (std::size_t i = 0; i < panel.n_units(); ++i) {
    const auto& g = panel.treat_start[i];
    if (!g) continue;
    for (std::size_t t = *g; t < panel.n_periods(); ++t) d.data[i + t * d.rows] = 1.0;
  }
  return d;
}

}  // namespace quintara::estimators
