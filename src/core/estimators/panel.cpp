#include "core/estimators/panel.hpp"

#include <algorithm>
#include <cstdint>

#include "core/format.hpp"
#include "core/panic.hpp"

namespace quintara::estimators {

Panel Panel::block(linalg::Mat y, std::span<const std::size_t> treated, std::size_t t0) {
  const std::size_t n = y.rows;
  TreatStarts starts(n);
  for (const std::size_t i : treated) {
    if (i >= n) panic(format("treated unit index {} out of range", i));
    starts[i] = t0;
  }
  return Panel{std::move(y), std::move(starts), std::nullopt};
}

Panel Panel::make(linalg::Mat y, TreatStarts treat_start) {
  QUINTARA_ASSERT_EQ(treat_start.size(), y.rows,
                     format("treat_start length {} != n_units {}", treat_start.size(), y.rows));
  return Panel{std::move(y), std::move(treat_start), std::nullopt};
}

Panel Panel::with_covariates(linalg::Mat x) && {
  QUINTARA_ASSERT_EQ(x.rows, y.rows, format("covariate rows {} != n_units {}", x.rows, y.rows));
  covariates = std::move(x);
  return std::move(*this);
}

std::vector<std::size_t> Panel::treated_units() const {
  std::vector<std::size_t> out;
  for (std::size_t i = 0; i < treat_start.size(); ++i) {
    if (treat_start[i].has_value()) out.push_back(i);
  }
  return out;
}

std::vector<std::size_t> Panel::never_treated_units() const {
  std::vector<std::size_t> out;
  for (std::size_t i = 0; i < treat_start.size(); ++i) {
    if (!treat_start[i].has_value()) out.push_back(i);
  }
  return out;
}

std::vector<std::size_t> Panel::cohorts() const {
  // One pass, no sort of every unit: periods below 64 are marked in a bit
  // set, the rare others inserted into a short sorted list.
  std::uint64_t small = 0;
  std::vector<std::size_t> large;
  for (const auto& s : treat_start) {
    if (!s.has_value()) continue;
    if (*s < 64) {
      small |= std::uint64_t{1} << *s;
    } else if (const auto at = std::lower_bound(large.begin(), large.end(), *s);
               at == large.end() || *at != *s) {
      large.insert(at, *s);
    }
  }
  std::vector<std::size_t> out;
  for (std::size_t p = 0; p < 64; ++p) {
    if (small >> p & 1) out.push_back(p);
  }
  out.insert(out.end(), large.begin(), large.end());
  return out;
}

std::pair<linalg::Mat, std::vector<std::size_t>> Panel::donor_series() const {
  std::vector<std::size_t> donors = never_treated_units();
  const std::size_t N = n_units(), T = n_periods();
  linalg::Mat m(T, donors.size());
  for (std::size_t j = 0; j < donors.size(); ++j) {
    // donors[j] < N by construction: unit i's period t sits at i + t*N.
    const double* src = y.data.data() + donors[j];
    double* dst = m.col_mut(j).data();
    for (std::size_t t = 0; t < T; ++t) dst[t] = src[t * N];
  }
  return {std::move(m), std::move(donors)};
}

std::vector<double> Panel::unit_mean(std::span<const std::size_t> units) const {
  const std::size_t T = n_periods();
  std::vector<double> mean(T, 0.0);
  if (units.empty()) return mean;
  for (const std::size_t u : units) {
    for (std::size_t t = 0; t < T; ++t) mean[t] = mean[t] + y(u, t);
  }
  // One reciprocal, then products: the rounding differs from dividing each
  // entry, and every estimator's treated series depends on this exact form.
  const double inv = 1.0 / static_cast<double>(units.size());
  for (double& v : mean) v = v * inv;
  return mean;
}

}  // namespace quintara::estimators
