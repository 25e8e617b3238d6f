#include "core/estimators/did/sunab_design.hpp"

#include <algorithm>
#include <cmath>

#include "core/linalg/cholesky.hpp"
#include "core/linalg/kernels.hpp"
#include "core/panic.hpp"

namespace quintara::estimators::did::sunab {

using linalg::Mat;

namespace {

// Ridge of the bread (X'X + kBreadRidge I)^-1. X'X sums unit weights, so the
// ridge is set beside a weight of 1: the entries scale sampling weights to
// put the largest in [1, 2) (runs::make_sampling), which keeps it as small
// whatever the scale the weights were given in.
constexpr double kBreadRidge = 1e-10;

// The panel without its always-treated units, rows kept in order; nullopt
// when there is none to drop (the panel is then used as given).
std::vector<std::size_t> not_always_treated(const Panel& panel) {
  std::vector<std::size_t> keep;
  for (std::size_t i = 0; i < panel.n_units(); ++i) {
    if (panel.treat_start[i] != std::optional<std::size_t>(0)) keep.push_back(i);
  }
  return keep;
}

std::optional<Panel> drop_always_treated(const Panel& panel) {
  const std::vector<std::size_t> keep = not_always_treated(panel);
  if (keep.size() == panel.n_units()) return std::nullopt;
  const std::size_t t_len = panel.n_periods();
  Mat y(keep.size(), t_len);
  TreatStarts start;
  start.reserve(keep.size());
  for (std::size_t k = 0; k < keep.size(); ++k) {
    for (std::size_t t = 0; t < t_len; ++t) y(k, t) = panel.y(keep[k], t);
    start.push_back(panel.treat_start[keep[k]]);
  }
  return Panel::make(std::move(y), std::move(start));
}

// Weighted sum a.beta and its standard error sqrt(max(a' B M B a, 0)), with
// B a from the bread's factor (B is symmetric), so B itself is never formed.
// With B a returned through `ba_out`, for the aggregates' covariance.
AggEffect aggregate(std::int64_t key, const std::vector<double>& a, const std::vector<double>& beta,
                    const linalg::Cholesky& bread, const Mat& meat, const Mat* gram,
                    std::vector<double>* ba_out = nullptr) {
  AggEffect out;
  out.key = key;
  double theta = 0.0;
  for (std::size_t p = 0; p < a.size(); ++p) theta += a[p] * beta[p];
  out.estimate = theta;
  std::vector<double> ba = bread.solve_vec(a);
  if (gram != nullptr) {
    const std::vector<double> g_ba = linalg::matvec(*gram, ba);
    std::vector<double> r(a.size());
    for (std::size_t p = 0; p < a.size(); ++p) r[p] = a[p] - g_ba[p];
    const std::vector<double> step = bread.solve_vec(r);
    for (std::size_t p = 0; p < a.size(); ++p) ba[p] += step[p];
  }
  const std::vector<double> mba = linalg::matvec(meat, ba);
  out.se = std::sqrt(std::max(linalg::dot(ba, mba), 0.0));
  if (ba_out != nullptr) *ba_out = std::move(ba);
  return out;
}

// Weights proportional to the cells' masses (their cohorts' sizes on a complete,
// unweighted panel) over the cells selected by `in`; empty when they carry
// no units.
template <class Pred>
std::vector<double> cell_weights(const Design& d, Pred in) {
  double w = 0.0;
  for (std::size_t p = 0; p < d.cells.size(); ++p) {
    if (in(d.cells[p])) w += d.mass(p);
  }
  if (!(w > 0.0)) return {};
  std::vector<double> a(d.cells.size(), 0.0);
  for (std::size_t p = 0; p < d.cells.size(); ++p) {
    if (in(d.cells[p])) a[p] = d.mass(p) / w;
  }
  return a;
}

}  // namespace

Design::Design(const Panel& full)
    : kept(not_always_treated(full)), full_(full), reduced_(drop_always_treated(full)) {
  const Panel& panel = sample();
  QUINTARA_ASSERT(!panel.never_treated_units().empty(),
                  "Sun\xE2\x80\x93"
                  "Abraham (this variant) uses never-treated units as the reference");
  cohorts = panel.cohorts();
  std::erase(cohorts, std::size_t{0});
  const std::size_t t_len = panel.n_periods();

  unit_cohort.assign(panel.n_units(), cohorts.size());
  cohort_units.assign(cohorts.size(), 0.0);
  for (std::size_t i = 0; i < panel.n_units(); ++i) {
    const auto& s = panel.treat_start[i];
    if (!s) continue;
    const auto k = static_cast<std::size_t>(std::lower_bound(cohorts.begin(), cohorts.end(), *s) -
                                            cohorts.begin());
    unit_cohort[i] = k;
    cohort_units[k] += 1.0;
  }

  // Every observable relative period of every cohort gets its own cell,
  // except the reference period -1.
  for (const std::size_t g : cohorts) {
    const auto gi = static_cast<std::int64_t>(g);
    for (std::int64_t e = -gi; e <= static_cast<std::int64_t>(t_len) - 1 - gi; ++e) {
      if (e != -1) cells.push_back({g, e});
    }
  }
}

linalg::Cholesky bread_factor(const Mat& gram) {
  return linalg::Cholesky::new_ridge(gram, kBreadRidge).expect("XtX SPD");
}

SaResult summarize(const Design& d, const std::vector<double>& beta, const linalg::Cholesky& bread,
                   const Mat& meat, const Mat* gram) {
  SaResult out;
  out.n_units = d.sample().n_units();
  out.n_cells = d.cells.size();
  out.n_clusters = out.n_units;
  out.n_observations = out.n_units * d.sample().n_periods();
  std::vector<std::int64_t> periods;
  for (const Cell& c : d.cells) periods.push_back(c.e);
  std::sort(periods.begin(), periods.end());
  periods.erase(std::unique(periods.begin(), periods.end()), periods.end());
  std::vector<std::vector<double>> bas;
  for (const std::int64_t e : periods) {
    const auto a = cell_weights(d, [e](const Cell& c) { return c.e == e; });
    if (a.empty()) continue;
    bas.emplace_back();
    out.event.push_back(aggregate(e, a, beta, bread, meat, gram, &bas.back()));
  }
  // (B a_e)' M (B a_f); its diagonal holds the squared SEs before clamping.
  out.event_cov = Mat(bas.size(), bas.size());
  for (std::size_t f = 0; f < bas.size(); ++f) {
    const std::vector<double> m_ba = linalg::matvec(meat, bas[f]);
    for (std::size_t e = 0; e < bas.size(); ++e) out.event_cov(e, f) = linalg::dot(bas[e], m_ba);
  }
  const auto a = cell_weights(d, [](const Cell& c) { return c.e >= 0; });
  if (!a.empty()) {
    const AggEffect overall = aggregate(0, a, beta, bread, meat, gram);
    out.att = overall.estimate;
    out.se = overall.se;
  }
  return out;
}

}  // namespace quintara::estimators::did::sunab
