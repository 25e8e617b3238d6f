#include "core/estimators/sc/cpasc.hpp"

#include <algorithm>
#include <cmath>
#include <compare>
#include <numeric>
#include <utility>

#include "core/estimators/sc/augmented.hpp"
#include "core/estimators/sc/null_refit.hpp"
#include "core/format.hpp"
#include "core/linalg/kernels.hpp"
#include "core/panic.hpp"

namespace quintara::estimators::sc::cpasc {

namespace {

// The smallest positive normal double: the floor that keeps 1 / (MSPE + m)
// finite when the typical unit fits its window exactly.
constexpr double kMinNormal = 2.2250738585072014e-308;

// m when above the floor, else the floor (a NaN median too).
double floored(double m) { return m > kMinNormal ? m : kMinNormal; }

double sum_of_squares(std::span<const double> r) {
  double s = 0.0;
  for (const double v : r) s += v * v;
  return s;
}

double sum(std::span<const double> v) {
  double s = 0.0;
  for (const double x : v) s += x;
  return s;
}

double per_period(double total, std::size_t n) {
  return total / static_cast<double>(std::max<std::size_t>(n, 1));
}

std::vector<double> unit_row(const Panel& panel, std::size_t i) {
  std::vector<double> y(panel.n_periods());
  for (std::size_t t = 0; t < y.size(); ++t) y[t] = panel.y(i, t);
  return y;
}

// y - X w, with the same product the fits use.
std::vector<double> gap(std::span<const double> y, const linalg::MatView& X,
                        std::span<const double> w) {
  std::vector<double> r = linalg::matvec(X, w);
  for (std::size_t t = 0; t < r.size(); ++t) r[t] = y[t] - r[t];
  return r;
}

void assign_mspe(std::span<UnitFit> fits) {
  std::vector<double> mspe(fits.size());
  for (std::size_t i = 0; i < fits.size(); ++i) mspe[i] = fits[i].mspe;
  const double m = floored(median(mspe));
  std::vector<double> raw(fits.size());
  double total = 0.0;
  for (std::size_t i = 0; i < fits.size(); ++i) {
    raw[i] = 1.0 / (fits[i].mspe + m);
    total += raw[i];
  }
  for (std::size_t i = 0; i < fits.size(); ++i) fits[i].weight = raw[i] / total;
}

// Strata are consecutive runs of the units ranked by level; within a stratum
// the members are taken in unit order, like every other sum here.
void assign_stratified(std::span<UnitFit> fits, std::size_t n_strata) {
  const std::size_t n = fits.size();
  const std::size_t k = std::min(std::max<std::size_t>(n_strata, 1), n);
  for (const UnitFit& f : fits) {
    if (std::isnan(f.level)) panic("stratified CP-ASC weights: NaN unit level");
  }
  std::vector<std::size_t> order(n);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return fits[a].level < fits[b].level; });
  std::vector<std::size_t> stratum(n);
  for (std::size_t r = 0; r < n; ++r) stratum[order[r]] = std::min(r * k / n, k - 1);

  std::vector<std::size_t> members;
  std::vector<double> mspe, raw;
  for (std::size_t s = 0; s < k; ++s) {
    members.clear();
    mspe.clear();
    for (std::size_t i = 0; i < n; ++i) {
      if (stratum[i] == s) {
        members.push_back(i);
        mspe.push_back(fits[i].mspe);
      }
    }
    const double m = floored(median(mspe));
    raw.assign(members.size(), 0.0);
    double total = 0.0;
    for (std::size_t a = 0; a < members.size(); ++a) {
      raw[a] = 1.0 / (fits[members[a]].mspe + m);
      total += raw[a];
    }
    const double share = static_cast<double>(members.size()) / static_cast<double>(n);
    for (std::size_t a = 0; a < members.size(); ++a) {
      fits[members[a]].weight = raw[a] * share / total;
    }
  }
}

void assign_cumulative(std::span<UnitFit> fits) {
  double total = 0.0;
  for (const UnitFit& f : fits) total += std::fabs(f.level);
  for (UnitFit& f : fits) {
    // All levels zero: nothing to be proportional to.
    f.weight = total <= 0.0 ? 1.0 / static_cast<double>(fits.size()) : std::fabs(f.level) / total;
  }
}

// Sum over units of weight * path[t], for every period.
std::vector<double> pooled(std::span<const UnitFit> fits, std::size_t n_periods) {
  std::vector<double> p(n_periods);
  for (std::size_t t = 0; t < n_periods; ++t) {
    double s = 0.0;
    for (const UnitFit& f : fits) s += f.weight * f.residual[t];
    p[t] = s;
  }
  return p;
}

}  // namespace

double median(std::span<const double> values) {
  QUINTARA_ASSERT(!values.empty(), "median of an empty list");
  std::vector<double> v(values.begin(), values.end());
  std::sort(v.begin(), v.end(),
            [](double a, double b) { return std::is_lt(std::strong_order(a, b)); });
  const std::size_t n = v.size();
  if (n % 2 == 1) return v[n / 2];
  return (v[n / 2 - 1] + v[n / 2]) * 0.5;
}

void assign_weights(std::span<UnitFit> fits, CpascMode mode, std::size_t n_strata) {
  if (fits.empty()) return;
  switch (mode) {
    case CpascMode::Mspe: assign_mspe(fits); return;
    case CpascMode::Stratified: assign_stratified(fits, n_strata); return;
    case CpascMode::Cumulative: assign_cumulative(fits); return;
  }
}

double block_permutation_p(std::span<const double> q, std::size_t t0,
                           std::optional<std::size_t> block_len) {
  const std::size_t T = q.size();
  const std::size_t b = block_len ? std::min(*block_len, T) : T - t0;
  // Every window is then the whole cycle: the same values, whose sums differ
  // only by the rounding of their order. All tie with the observed one.
  if (b == T) return 1.0;
  auto window = [&](std::size_t s) {
    double total = 0.0;
    for (std::size_t k = 0; k < b; ++k) total += std::fabs(q[(s + k) % T]);
    return total / static_cast<double>(b);
  };
  const double observed = window(t0);
  std::size_t at_least = 0;
  for (std::size_t s = 0; s < T; ++s) {
    if (window(s) >= observed) ++at_least;
  }
  return static_cast<double>(at_least) / static_cast<double>(T);
}

CpascFit fit_at(const Panel& panel, std::size_t t0, const CpascOptions& options) {
  const std::vector<std::size_t> treated = panel.treated_units();
  if (treated.empty()) panic("no treated units");
  const auto [X, donors] = panel.donor_series();
  if (donors.empty()) panic("no donor units");
  const std::size_t T = panel.n_periods();
  if (t0 > T) panic(format("CP-ASC: t0 {} > n_periods {}", t0, T));
  const linalg::MatView X_full = X;
  const linalg::MatView X_pre = X_full.row_range(0, t0);
  const linalg::MatView X_post = X_full.row_range(t0, T - t0);
  const AscOptions asc{options.aug_lambda, options.sc_ridge, 0.0, 1.0};

  // The null of no effect makes every period a pre-period: plain simplex
  // weights over the whole path, whatever aug_lambda is.
  const NullRefit null_refit(ScMethod{ScOptions{0.0, 1.0, options.sc_ridge, 0.0}}, X_full, 1);
  CpascFit fit;
  fit.t0 = t0;
  std::vector<UnitFit> null_fits;
  for (const std::size_t i : treated) {
    const std::vector<double> y = unit_row(panel, i);
    const std::span<const double> y_pre = std::span<const double>(y).first(t0);
    const ScFit f = augmented::fit_series(y_pre, std::span<const double>(y).subspan(t0), X_pre,
                                          X_post, std::vector<std::size_t>(donors), asc);
    UnitFit u;
    // The plain synthetic-control gap: the augmentation has no pre-period fit.
    u.residual = gap(y_pre, X_pre, f.weights);
    u.mspe = per_period(sum_of_squares(u.residual), t0);
    u.residual.insert(u.residual.end(), f.att_path.begin(), f.att_path.end());
    u.unit = i;
    u.effect = f.att;
    u.level = per_period(sum(y_pre), t0);
    fit.units.push_back(std::move(u));

    UnitFit n;
    n.residual = null_refit.residual(y);
    n.unit = i;
    n.mspe = per_period(sum_of_squares(n.residual), T);
    n.level = per_period(sum(y), T);
    null_fits.push_back(std::move(n));
  }

  assign_weights(fit.units, options.mode, options.n_strata);
  // -0.0 is the exact additive identity: a pool of -0.0 products stays -0.0.
  fit.att = -0.0;
  for (const UnitFit& u : fit.units) fit.att += u.weight * u.effect;
  fit.pooled_residual = pooled(fit.units, T);

  assign_weights(null_fits, options.mode, options.n_strata);
  fit.null_residual = pooled(null_fits, T);
  fit.p_value = block_permutation_p(fit.null_residual, t0, options.block_len);
  return fit;
}

}  // namespace quintara::estimators::sc::cpasc
