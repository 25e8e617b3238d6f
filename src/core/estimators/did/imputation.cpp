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

// The share of a lead's own variation (its Gram diagonal) the fixed effects
// and earlier leads must leave: below it the lead is numerically a
// combination of them, and its coefficient rounding noise.
constexpr double kIdentifiedShare = 1e-10;

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

// Every horizon's estimand (0..H) and the overall one (last), formed in one
// sweep over the cells: each treated cell belongs to its horizon's and the
// overall estimand, so each sweep serves all of them.
struct Estimands {
  std::vector<double> total;  // weight of each estimand's cells; 0: empty
  std::vector<double> estimate;
  Mat scores;  // clusters x estimands: sum of v e per cluster
};

Estimands estimands(const Fitted& f, std::size_t n_horizons) {
  const Panel& p = f.panel;
  const std::size_t n = p.n_units(), t_len = p.n_periods(), ne = n_horizons + 1;
  const std::size_t all = n_horizons, n_groups = f.cohorts.size() * t_len;
  Estimands out{std::vector<double>(ne, 0.0), std::vector<double>(ne, 0.0), Mat(f.n_clusters, ne)};
  const auto horizon = [&](std::size_t i, std::size_t t) { return t - *p.treat_start[i]; };
  for (std::size_t t = 0; t < t_len; ++t) {
    for (std::size_t i = 0; i < n; ++i) {
      if (std::isnan(f.tau(i, t))) continue;
      out.total[horizon(i, t)] += f.s.weight_of(i);
      out.total[all] += f.s.weight_of(i);
    }
  }
  // Unit and period sums of each estimand's weights v (the normal
  // equations' rhs), and the v^2-weighted mean effect per (cohort, period).
  Mat r(ne, n), c(ne, t_len), num(ne, n_groups), den(ne, n_groups);
  for (std::size_t t = 0; t < t_len; ++t) {
    for (std::size_t i = 0; i < n; ++i) {
      if (std::isnan(f.tau(i, t))) continue;
      const std::size_t group = f.k[i] * t_len + t;
      for (const std::size_t e : {horizon(i, t), all}) {
        const double v = f.s.weight_of(i) / out.total[e];
        r(e, i) += v;
        c(e, t) += v;
        out.estimate[e] += v * f.tau(i, t);
        num(e, group) += v * v * f.tau(i, t);
        den(e, group) += v * v;
      }
    }
  }
  Mat bu(ne, n), bt(ne, t_len);
  for (std::size_t e = 0; e < ne; ++e) {
    if (!(out.total[e] > 0.0)) continue;
    std::vector<double> re(n), ce(t_len);
    for (std::size_t i = 0; i < n; ++i) re[i] = r(e, i);
    for (std::size_t t = 0; t < t_len; ++t) ce[t] = c(e, t);
    const TwoWayEffects b = f.within.solve(re, ce);
    for (std::size_t i = 0; i < n; ++i) bu(e, i) = b.unit[i];
    for (std::size_t t = 0; t < t_len; ++t) bt(e, t) = b.period[t];
  }
  // Unit i's sum of v e: its treated cells' v (tau - mean), and its
  // untreated cells' v = -w_i (b_i + b_t) times their residuals.
  Mat unit(ne, n);
  for (std::size_t t = 0; t < t_len; ++t) {
    for (std::size_t i = 0; i < n; ++i) {
      if (!std::isnan(f.tau(i, t))) {
        const std::size_t group = f.k[i] * t_len + t;
        for (const std::size_t e : {horizon(i, t), all}) {
          const double v = f.s.weight_of(i) / out.total[e];
          unit(e, i) += v * (f.tau(i, t) - num(e, group) / den(e, group));
        }
      } else if (f.within.observed(i, t)) {
        const double wr = f.s.weight_of(i) * f.resid0(i, t);
        for (std::size_t e = 0; e < ne; ++e) unit(e, i) -= (bu(e, i) + bt(e, t)) * wr;
      }
    }
  }
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t e = 0; e < ne; ++e) out.scores(f.s.cluster_of(i), e) += unit(e, i);
  }
  return out;
}

// The pre-trend regression on the untreated cells: coefficients of the K
// lead indicators and each cluster's contribution B^-1 s_c to them (so
// that their covariance is the sum of its outer products); nullopt when
// the indicators are collinear with the effects.
struct Leads {
  std::vector<double> coef;
  Mat cluster_terms;  // clusters x K
};

// Lead a's cell of unit i (period g_i - a) when it is an observed untreated
// cell, else nullopt.
std::optional<std::size_t> lead_cell(const Fitted& f, std::size_t i, std::size_t a) {
  const auto& g = f.panel.treat_start[i];
  if (!g || *g < a || !f.within.observed(i, *g - a)) return std::nullopt;
  return *g - a;
}

// By Frisch-Waugh-Lovell with each indicator's residual x_a = D_a - a^a_i
// - g^a_t kept as its effects (never as an N x T array): X'WX = D'W X needs
// x_a at the indicators' cells only, and the scores need, per unit, the
// residual u at its lead cells, its sum, and its products with g^a.
std::optional<Leads> leads(const Fitted& f, std::size_t k_max) {
  const std::size_t n = f.panel.n_units(), t_len = f.panel.n_periods();
  Mat ea(k_max, n), eg(k_max, t_len);
  for (std::size_t a = 0; a < k_max; ++a) {
    std::vector<double> r(n, 0.0), c(t_len, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
      if (const auto t = lead_cell(f, i, a + 1)) {
        r[i] = f.s.weight_of(i);
        c[*t] += f.s.weight_of(i);
      }
    }
    const TwoWayEffects e = f.within.solve(r, c);
    for (std::size_t i = 0; i < n; ++i) ea(a, i) = e.unit[i];
    for (std::size_t t = 0; t < t_len; ++t) eg(a, t) = e.period[t];
  }
  Mat gram(k_max, k_max);
  std::vector<double> xty(k_max, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t a = 0; a < k_max; ++a) {
      const auto t = lead_cell(f, i, a + 1);
      if (!t) continue;
      const double w = f.s.weight_of(i);
      xty[a] += w * f.resid0(i, *t);
      for (std::size_t b = 0; b < k_max; ++b) {
        gram(a, b) += w * ((a == b ? 1.0 : 0.0) - ea(b, i) - eg(b, *t));
      }
    }
  }
  for (std::size_t a = 0; a < k_max; ++a) {
    for (std::size_t b = 0; b < a; ++b) gram(b, a) = gram(a, b);
  }
  auto chol = linalg::Cholesky::make(gram);
  // Leads the fixed effects (nearly) span are not identified: no test.
  if (!chol || !chol.value().keeps_share(gram, kIdentifiedShare)) return std::nullopt;
  const linalg::Cholesky& bread = chol.value();
  Leads out{bread.solve_vec(xty), Mat(f.n_clusters, k_max)};
  // u = resid0 - sum_b delta_b x_b = resid0 - delta_(lead) + A_i + G_t.
  std::vector<double> a_shift(n, 0.0), g_shift(t_len, 0.0);
  for (std::size_t b = 0; b < k_max; ++b) {
    for (std::size_t i = 0; i < n; ++i) a_shift[i] += out.coef[b] * ea(b, i);
    for (std::size_t t = 0; t < t_len; ++t) g_shift[t] += out.coef[b] * eg(b, t);
  }
  std::vector<double> usum(n, 0.0);
  Mat ug(k_max, n), at_lead(k_max, n);
  for (std::size_t t = 0; t < t_len; ++t) {
    for (std::size_t i = 0; i < n; ++i) {
      if (!f.within.observed(i, t)) continue;
      double u = f.resid0(i, t) + a_shift[i] + g_shift[t];
      const auto& g = f.panel.treat_start[i];
      const std::size_t lead = g ? *g - t : 0;  // untreated cells have t < g
      if (g && lead <= k_max) u -= out.coef[lead - 1];
      usum[i] += u;
      for (std::size_t a = 0; a < k_max; ++a) ug(a, i) += eg(a, t) * u;
      if (g && lead <= k_max) at_lead(lead - 1, i) = u;
    }
  }
  Mat scores(f.n_clusters, k_max);
  for (std::size_t i = 0; i < n; ++i) {
    const double w = f.s.weight_of(i);
    for (std::size_t a = 0; a < k_max; ++a) {
      scores(f.s.cluster_of(i), a) += w * (at_lead(a, i) - ea(a, i) * usum[i] - ug(a, i));
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
  // Without never-treated units every untreated cell has a lead, and the
  // relative time t - g, a sum of a period and a unit effect, is then also a
  // function of the leads: one lead fewer leaves it out.
  const std::size_t anchors = panel.never_treated_units().empty() ? 2 : 1;
  return most > anchors ? most - anchors : 0;
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
  const Estimands est = estimands(f, static_cast<std::size_t>(horizons + 1));
  const std::size_t all = static_cast<std::size_t>(horizons + 1);
  for (std::size_t h = 0; h < all; ++h) {
    if (!(est.total[h] > 0.0)) continue;
    std::vector<double> s(f.n_clusters);
    for (std::size_t c = 0; c < f.n_clusters; ++c) s[c] = est.scores(c, h);
    append(static_cast<std::int64_t>(h), est.estimate[h], s);
  }
  if (est.total[all] > 0.0) {
    out.att = est.estimate[all];
    double var = 0.0;
    for (std::size_t c = 0; c < f.n_clusters; ++c) var += est.scores(c, all) * est.scores(c, all);
    out.se = std::sqrt(var);
  }
  out.event_cov = linalg::syrk_ata(scores);
  return out;
}

}  // namespace quintara::estimators::did::imputation
