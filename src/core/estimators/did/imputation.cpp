#include "core/estimators/did/imputation.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "core/estimators/observed_within.hpp"
#include "core/linalg/cholesky.hpp"
#include "core/linalg/kernels.hpp"
#include "core/panic.hpp"

namespace quintara::estimators::did::imputation {

using linalg::Mat;

namespace {

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

// What every estimand reads: the untreated cells' fit, the treated cells'
// effects, and each unit's cohort index and cluster.
struct Fitted {
  const Panel& panel;
  const Sampling& s;
  ObservedWithin within;       // over the untreated cells
  Mat resid0;                  // untreated residuals, 0 elsewhere
  Mat tau;                     // imputed effects, NaN where none
  std::vector<std::size_t> k;  // cohort index per unit, kNone if never treated
  std::vector<std::size_t> cohorts;
  std::size_t n_clusters = 0;
};

Mat untreated_cells(const Panel& p) {
  Mat y0 = p.y;
  for (std::size_t i = 0; i < p.n_units(); ++i) {
    if (!p.treat_start[i]) continue;
    for (std::size_t t = *p.treat_start[i]; t < p.n_periods(); ++t) y0(i, t) = NAN;
  }
  return y0;
}

bool is_treated(const Panel& p, std::size_t i, std::size_t t) {
  return p.treat_start[i] && t >= *p.treat_start[i] && !std::isnan(p.y(i, t));
}

// The estimand that averages the imputed effects on the cells `in` selects,
// as its estimate and its per-cluster sums of v e; nullopt without cells.
template <class Pred>
std::optional<std::pair<double, std::vector<double>>> estimand(const Fitted& f, Pred in) {
  const std::size_t n = f.panel.n_units(), t_len = f.panel.n_periods();
  Mat v(n, t_len);
  double total = 0.0;
  for (std::size_t t = 0; t < t_len; ++t) {
    for (std::size_t i = 0; i < n; ++i) {
      if (!std::isnan(f.tau(i, t)) && in(i, t)) {
        v(i, t) = f.s.weight_of(i);
        total += v(i, t);
      }
    }
  }
  if (!(total > 0.0)) return std::nullopt;
  std::vector<double> r(n, 0.0), c(t_len, 0.0);
  // v^2-weighted mean effect per (cohort, period) for the treated residuals.
  Mat num(f.cohorts.size(), t_len), den(f.cohorts.size(), t_len);
  double estimate = 0.0;
  for (std::size_t t = 0; t < t_len; ++t) {
    for (std::size_t i = 0; i < n; ++i) {
      if (v(i, t) == 0.0) continue;
      v(i, t) /= total;
      r[i] += v(i, t);
      c[t] += v(i, t);
      estimate += v(i, t) * f.tau(i, t);
      num(f.k[i], t) += v(i, t) * v(i, t) * f.tau(i, t);
      den(f.k[i], t) += v(i, t) * v(i, t);
    }
  }
  const TwoWayEffects b = f.within.solve(r, c);
  std::vector<double> unit(n, 0.0);
  for (std::size_t t = 0; t < t_len; ++t) {
    for (std::size_t i = 0; i < n; ++i) {
      if (v(i, t) != 0.0) {
        unit[i] += v(i, t) * (f.tau(i, t) - num(f.k[i], t) / den(f.k[i], t));
      } else if (f.within.observed(i, t)) {
        unit[i] -= f.s.weight_of(i) * (b.unit[i] + b.period[t]) * f.resid0(i, t);
      }
    }
  }
  std::vector<double> score(f.n_clusters, 0.0);
  for (std::size_t i = 0; i < n; ++i) score[f.s.cluster_of(i)] += unit[i];
  return std::pair{estimate, std::move(score)};
}

// The pre-trend regression on the untreated cells: coefficients of the K
// lead indicators and each cluster's contribution B^-1 s_c to them (so
// that their covariance is the sum of its outer products); nullopt when
// the indicators are collinear with the effects.
struct Leads {
  std::vector<double> coef;
  Mat cluster_terms;  // clusters x K
};

std::optional<Leads> leads(const Fitted& f, std::size_t k_max) {
  const Panel& p = f.panel;
  const std::size_t n = p.n_units(), t_len = p.n_periods();
  std::vector<Mat> x;
  for (std::size_t lead = 1; lead <= k_max; ++lead) {
    Mat d(n, t_len);
    for (std::size_t i = 0; i < n; ++i) {
      if (p.treat_start[i] && *p.treat_start[i] >= lead) d(i, *p.treat_start[i] - lead) = 1.0;
    }
    x.push_back(f.within.residual(d));
  }
  Mat gram(k_max, k_max);
  std::vector<double> xty(k_max, 0.0);
  for (std::size_t a = 0; a < k_max; ++a) {
    for (std::size_t b = 0; b <= a; ++b) {
      double g = 0.0;
      for (std::size_t t = 0; t < t_len; ++t) {
        for (std::size_t i = 0; i < n; ++i) g += f.s.weight_of(i) * x[a](i, t) * x[b](i, t);
      }
      gram(a, b) = gram(b, a) = g;
    }
    for (std::size_t t = 0; t < t_len; ++t) {
      for (std::size_t i = 0; i < n; ++i) xty[a] += f.s.weight_of(i) * x[a](i, t) * f.resid0(i, t);
    }
  }
  auto chol = linalg::Cholesky::make(gram);
  if (!chol) return std::nullopt;
  const linalg::Cholesky& bread = chol.value();
  Leads out{bread.solve_vec(xty), Mat(f.n_clusters, k_max)};
  // resid0 is the outcome's residual on the effects (FWL), so u = resid0 - X delta.
  Mat scores(f.n_clusters, k_max);
  std::vector<double> u(n);
  for (std::size_t t = 0; t < t_len; ++t) {
    for (std::size_t i = 0; i < n; ++i) {
      double ui = f.resid0(i, t);
      for (std::size_t a = 0; a < k_max; ++a) ui -= out.coef[a] * x[a](i, t);
      for (std::size_t a = 0; a < k_max; ++a) {
        scores(f.s.cluster_of(i), a) += f.s.weight_of(i) * x[a](i, t) * ui;
      }
    }
  }
  for (std::size_t c = 0; c < f.n_clusters; ++c) {
    std::vector<double> s(k_max);
    for (std::size_t a = 0; a < k_max; ++a) s[a] = scores(c, a);
    const std::vector<double> term = bread.solve_vec(s);
    for (std::size_t a = 0; a < k_max; ++a) out.cluster_terms(c, a) = term[a];
  }
  return out;
}

}  // namespace

std::size_t max_pretrends(const Panel& panel) {
  std::size_t most = 0;
  for (const std::size_t g : panel.cohorts()) most = std::max(most, g);
  return most > 0 ? most - 1 : 0;
}

ImputationResult fit(const Panel& panel, const Sampling& sampling, std::size_t pretrends) {
  QUINTARA_ASSERT(pretrends <= max_pretrends(panel), "pre-trend leads identified");
  const std::size_t n = panel.n_units(), t_len = panel.n_periods();
  const Mat y0 = untreated_cells(panel);
  Fitted f{panel,
           sampling,
           ObservedWithin(y0, sampling.weight),
           Mat(n, t_len),
           Mat(n, t_len),
           {},
           panel.cohorts(),
           sampling.clusters(n)};
  ImputationResult out;
  out.n_clusters = f.n_clusters;
  if (!f.within.connected()) {
    out.identified = false;
    return out;
  }
  f.k.assign(n, kNone);
  for (std::size_t i = 0; i < n; ++i) {
    if (panel.treat_start[i]) {
      f.k[i] = static_cast<std::size_t>(
          std::lower_bound(f.cohorts.begin(), f.cohorts.end(), *panel.treat_start[i]) -
          f.cohorts.begin());
    }
  }
  const TwoWayEffects e = f.within.fit(y0);
  std::int64_t horizons = -1;
  for (std::size_t t = 0; t < t_len; ++t) {
    for (std::size_t i = 0; i < n; ++i) {
      const double fitted = e.unit[i] + e.period[t];
      f.tau(i, t) = NAN;
      if (f.within.observed(i, t)) {
        f.resid0(i, t) = y0(i, t) - fitted;
      } else if (is_treated(panel, i, t)) {
        if (f.within.unit_observed(i) && f.within.period_observed(t)) {
          f.tau(i, t) = panel.y(i, t) - fitted;
          ++out.n_imputed;
          horizons = std::max(horizons, static_cast<std::int64_t>(t - *panel.treat_start[i]));
        } else {
          ++out.n_not_imputed;
        }
      }
    }
  }

  Mat scores(f.n_clusters, 0);
  const auto append = [&](std::int64_t key, double estimate, std::span<const double> s) {
    Mat grown(f.n_clusters, scores.cols + 1);
    std::copy(scores.data.begin(), scores.data.end(), grown.data.begin());
    double var = 0.0;
    for (std::size_t c = 0; c < f.n_clusters; ++c) {
      grown(c, scores.cols) = s[c];
      var += s[c] * s[c];
    }
    scores = std::move(grown);
    out.event.push_back(AggEffect{{}, key, estimate, std::sqrt(var)});
  };
  if (pretrends > 0) {
    if (const auto l = leads(f, pretrends)) {
      for (std::size_t lead = pretrends; lead >= 1; --lead) {
        std::vector<double> s(f.n_clusters);
        for (std::size_t c = 0; c < f.n_clusters; ++c) s[c] = l->cluster_terms(c, lead - 1);
        append(-static_cast<std::int64_t>(lead), l->coef[lead - 1], s);
      }
    }
  }
  for (std::int64_t h = 0; h <= horizons; ++h) {
    const auto at_h = [&](std::size_t i, std::size_t t) {
      return static_cast<std::int64_t>(t - *panel.treat_start[i]) == h;
    };
    if (const auto est = estimand(f, at_h)) append(h, est->first, est->second);
  }
  if (const auto all = estimand(f, [](std::size_t, std::size_t) { return true; })) {
    out.att = all->first;
    double var = 0.0;
    for (const double s : all->second) var += s * s;
    out.se = std::sqrt(var);
  }
  out.event_cov = linalg::syrk_ata(scores);
  return out;
}

}  // namespace quintara::estimators::did::imputation
