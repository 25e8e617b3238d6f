#include "core/estimators/did/callaway.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <map>
#include <optional>
#include <span>
#include <utility>

#include "core/estimators/did/callaway_agg.hpp"
#include "core/estimators/did/callaway_cells.hpp"
#include "core/linalg/cholesky.hpp"
#include "core/linalg/kernels.hpp"
#include "core/linalg/lstsq.hpp"
#include "core/linalg/means.hpp"
#include "core/panic.hpp"
#include "core/parallel/pool.hpp"

namespace quintara::estimators::did {

namespace {

using agg::AggInput;
using agg::Shares;
using cells::dot_row;
using cells::kGramRidge;
using linalg::Mat;

// (1/n) * sum, the reciprocal formed once and the sum run in list order.
template <class F>
double mean_over(std::span<const std::size_t> units, F&& value) {
  return linalg::mean_recip(units.size(), [&](std::size_t k) { return value(units[k]); });
}

// Comparison units of cell (g, t) with base b, ascending. Units of cohort g
// never enter; with anticipation d a cohort c counts as untreated at s while
// max(c - d, 0) > s.
std::vector<std::size_t> comparison_set(const Panel& panel, bool not_yet_treated, std::size_t g,
                                        std::size_t t, std::size_t b, std::size_t d) {
  std::vector<std::size_t> out;
  const std::size_t horizon = std::max(t, b);
  for (std::size_t i = 0; i < panel.n_units(); ++i) {
    const auto& c = panel.treat_start[i];
    if (!c) {
      out.push_back(i);
    } else if (not_yet_treated && *c != g) {
      const std::size_t effective = *c > d ? *c - d : 0;
      if (effective > horizon) out.push_back(i);
    }
  }
  return out;
}

// One group-time cell, its standard error left to the caller; G and C are
// disjoint and non-empty.
GroupTimeAtt fit_cell(const Panel& panel, std::span<const std::size_t> G,
                      std::span<const std::size_t> C, std::size_t g, std::size_t t, std::size_t b) {
  const std::size_t N = panel.n_units();
  const double n = static_cast<double>(N);
  const Mat& Y = panel.y;
  const Mat* X = panel.covariates ? &*panel.covariates : nullptr;
  const auto e = static_cast<std::int64_t>(t) - static_cast<std::int64_t>(g);

  if (X == nullptr) {
    // The residuals are the changes themselves: formed where they are read,
    // the same differences, without an N-long vector per cell.
    const double* yt = Y.data.data() + t * N;
    const double* yb = Y.data.data() + b * N;
    const auto change = [&](std::size_t i) { return yt[i] - yb[i]; };
    const double mu_g = mean_over(G, change);
    const double mu_c = mean_over(C, change);
    const double p_g = static_cast<double>(G.size()) / n;
    const double p_c = static_cast<double>(C.size()) / n;
    std::vector<double> psi(N, 0.0);
    for (const std::size_t i : G) psi[i] = (change(i) - mu_g) / p_g;
    for (const std::size_t j : C) psi[j] = -(change(j) - mu_c) / p_c;
    return GroupTimeAtt{std::move(psi), g, t, e, mu_g - mu_c, 0.0};
  }

  std::vector<double> resid(N, 0.0);  // dY - m(x), filled on G and C
  for (const std::size_t i : G) resid[i] = Y(i, t) - Y(i, b);
  for (const std::size_t j : C) resid[j] = Y(j, t) - Y(j, b);

  // Outcome regression on the comparison units' changes, only when it has
  // more observations than coefficients.
  std::optional<std::vector<double>> beta;
  Mat design;
  if (X != nullptr && C.size() > X->cols + 1) {
    const std::size_t K = X->cols;
    design = Mat(C.size(), K + 1);
    std::vector<double> dy(C.size());
    for (std::size_t r = 0; r < C.size(); ++r) {
      design(r, 0) = 1.0;
      for (std::size_t k = 0; k < K; ++k) design(r, k + 1) = (*X)(C[r], k);
      dy[r] = resid[C[r]];
    }
    auto fit = linalg::ols(design, dy);
    if (fit) beta = std::move(fit).value();
  }
  if (beta) {
    for (const std::size_t i : G) resid[i] = resid[i] - dot_row(*X, i, *beta);
    for (const std::size_t j : C) resid[j] = resid[j] - dot_row(*X, j, *beta);
  }

  const double mu_g = mean_over(G, [&](std::size_t i) { return resid[i]; });
  const double mu_c = mean_over(C, [&](std::size_t j) { return resid[j]; });
  const double p_g = static_cast<double>(G.size()) / n;
  const double p_c = static_cast<double>(C.size()) / n;

  std::vector<double> psi(N, 0.0);
  for (const std::size_t i : G) psi[i] = (resid[i] - mu_g) / p_g;
  for (const std::size_t j : C) psi[j] = -(resid[j] - mu_c) / p_c;

  // Estimation effect of beta: A = mean of x_j x_j^T over C, v = difference of
  // the treated and comparison covariate means (0 for the intercept). The tiny
  // ridge keeps a Gram matrix that is singular only by rounding factorable.
  if (beta) {
    const std::size_t K = X->cols;
    Mat A = linalg::syrk_ata(design);
    const double inv_c = 1.0 / static_cast<double>(C.size());
    for (double& a : A.data) a = inv_c * a;
    std::vector<double> v(K + 1, 0.0);
    for (std::size_t k = 0; k < K; ++k) {
      const double xg = mean_over(G, [&](std::size_t i) { return (*X)(i, k); });
      const double xc = mean_over(C, [&](std::size_t j) { return (*X)(j, k); });
      v[k + 1] = xg - xc;
    }
    auto chol = linalg::Cholesky::new_ridge(A, kGramRidge);
    if (chol) {
      const std::vector<double> w = chol.value().solve_vec(v);
      for (const std::size_t j : C) psi[j] = psi[j] - dot_row(*X, j, w) * resid[j] / p_c;
    }
  }

  return GroupTimeAtt{std::move(psi), g, t, e, mu_g - mu_c, 0.0};
}

// Cohort-share weighted average of estimates with its influence function,
// including the influence of estimating the shares; none without weight.
std::optional<AggEffect> aggregate(std::span<const AggInput> items, const Shares& shares,
                                   std::int64_t key) {
  const std::optional<agg::AggPlan> plan = agg::plan_aggregate(items, shares);
  if (!plan) return std::nullopt;
  const std::size_t N = shares.n_units;
  const double n = static_cast<double>(N);
  // Each unit's value in one pass over the items' influence functions: the
  // first sum, from 0.0 over r in order, then the share term added.
  std::vector<const double*> psi(items.size());
  for (std::size_t r = 0; r < items.size(); ++r) psi[r] = items[r].influence->data();
  const auto first_sum = [&](std::size_t i) {
    double v = 0.0;
    for (std::size_t r = 0; r < items.size(); ++r) v += plan->c[r] * psi[r][i];
    return v;
  };
  const Sampling& sampling = shares.sampling;
  std::vector<double> inf(N);
  if (sampling.weighted()) {
    for (std::size_t i = 0; i < N; ++i) {
      inf[i] = first_sum(i) + plan->share_term(shares.class_of[i], sampling.weight[i]);
    }
  } else {
    // Unweighted, a unit's share term depends on its class only.
    const std::vector<double> by_class = plan->by_class(shares.class_size.size());
    for (std::size_t i = 0; i < N; ++i) inf[i] = first_sum(i) + by_class[shares.class_of[i]];
  }
  const double se = std::sqrt(cells::squared_norm(inf, sampling)) / n;
  return AggEffect{std::move(inf), key, plan->theta, se};
}

// Weights divided by their mean: every share and mean then reads as in the
// unweighted estimator with w_i in place of 1.
Sampling relative_weights(const Sampling& sampling) {
  Sampling s = sampling;
  if (!s.weighted()) return s;
  const double mean = linalg::mean_div(s.weight);
  for (double& w : s.weight) w = w / mean;
  return s;
}

// One cell to fit: cohort g at period t against base period `base`, its
// treated units G and comparison units C (non-empty).
struct CellJob {
  std::size_t g, t, base;
  const std::vector<std::size_t>* G;
  const std::vector<std::size_t>* C;
};

// Every (g, t) cell with a comparison group, cohort ascending then period;
// `kept` lists the cohorts with a base period. The cells are independent,
// so they are fitted on the worker pool and then kept in that order; a
// CellFitError is the first one in that order, as when fitted one by one.
std::vector<GroupTimeAtt> fit_cells(const Panel& panel, const Sampling& sampling,
                                    std::span<const std::size_t> kept, bool not_yet_treated,
                                    std::size_t anticipation, bool varying_base, EstMethod method) {
  const std::size_t T = panel.n_periods();
  const double n = static_cast<double>(panel.n_units());
  const bool repeated =
      std::any_of(panel.y.data.begin(), panel.y.data.end(), [](double v) { return std::isnan(v); });
  // Each cohort's units and each distinct comparison set formed once: never
  // treated, the set is every cell's; not yet treated, it depends on the
  // cohort and the later of the two periods only.
  std::vector<std::vector<std::size_t>> cohort_units(kept.size());
  std::map<std::pair<std::size_t, std::size_t>, std::vector<std::size_t>> comparisons;
  std::vector<CellJob> jobs;
  for (std::size_t k = 0; k < kept.size(); ++k) {
    const std::size_t g = kept[k];
    for (std::size_t i = 0; i < panel.n_units(); ++i) {
      if (panel.treat_start[i] == g) cohort_units[k].push_back(i);
    }
    const std::size_t b = g - anticipation - 1;
    for (std::size_t t = 0; t < T; ++t) {
      if (varying_base ? t == 0 : t == b) continue;
      const std::size_t base = varying_base && t <= b ? t - 1 : b;
      const auto key = not_yet_treated ? std::pair<std::size_t, std::size_t>{g, std::max(t, base)}
                                       : std::pair<std::size_t, std::size_t>{0, 0};
      auto [at, fresh] = comparisons.try_emplace(key);
      if (fresh) at->second = comparison_set(panel, not_yet_treated, g, t, base, anticipation);
      if (at->second.empty()) continue;
      jobs.push_back({g, t, base, &cohort_units[k], &at->second});
    }
  }
  std::vector<std::optional<GroupTimeAtt>> fitted(jobs.size());
  std::vector<std::exception_ptr> failed(jobs.size());
  parallel::parallel_for(jobs.size(), [&](std::size_t k) {
    const CellJob& j = jobs[k];
    std::optional<GroupTimeAtt>& cell = fitted[k];
    try {
      if (repeated) {
        QUINTARA_ASSERT(method == EstMethod::Reg, "fit_cells: ipw and dr need a complete panel");
        cell = cells::fit_repeated(panel, sampling, *j.G, *j.C, j.g, j.t, j.base);
      } else if (method != EstMethod::Reg) {
        cell = cells::fit_propensity(panel, sampling, method, *j.G, *j.C, j.g, j.t, j.base);
      } else if (sampling.weighted()) {
        cell = cells::fit_weighted(panel, sampling, *j.G, *j.C, j.g, j.t, j.base);
      } else {
        cell = fit_cell(panel, *j.G, *j.C, j.g, j.t, j.base);
      }
    } catch (const CellFitError&) {
      failed[k] = std::current_exception();
      return;
    }
    if (cell) cell->se = std::sqrt(cells::squared_norm(cell->influence, sampling) / (n * n));
  });
  std::vector<GroupTimeAtt> out;
  for (std::size_t k = 0; k < jobs.size(); ++k) {
    if (failed[k]) std::rethrow_exception(failed[k]);
    if (fitted[k]) out.push_back(std::move(*fitted[k]));
  }
  return out;
}

}  // namespace

namespace cells {

double squared_norm(std::span<const double> psi, const Sampling& sampling) {
  double ss = 0.0;
  if (!sampling.clustered()) {
    for (const double p : psi) ss += p * p;
    return ss;
  }
  std::vector<double> sums(sampling.n_clusters, 0.0);
  for (std::size_t i = 0; i < psi.size(); ++i) sums[sampling.cluster[i]] += psi[i];
  for (const double s : sums) ss += s * s;
  return ss;
}

}  // namespace cells

linalg::Mat influence_covariance(std::span<const AggEffect> aggregates, const Sampling& sampling) {
  const std::size_t E = aggregates.size();
  Mat cov(E, E);
  if (E == 0) return cov;
  const std::size_t N = aggregates.front().influence.size();
  // Clustered, the cluster sums stand in for the units.
  std::vector<std::vector<double>> sums;
  for (const AggEffect& a : aggregates) {
    if (!sampling.clustered()) break;
    std::vector<double>& s = sums.emplace_back(sampling.n_clusters, 0.0);
    for (std::size_t i = 0; i < N; ++i) s[sampling.cluster[i]] += a.influence[i];
  }
  const auto rows = [&](std::size_t a) -> const std::vector<double>& {
    return sampling.clustered() ? sums[a] : aggregates[a].influence;
  };
  const double n2 = static_cast<double>(N) * static_cast<double>(N);
  // Row a against up to kSide rows b <= a in one pass: independent sums,
  // each over the units in order, so each entry is the one-pair loop's.
  constexpr std::size_t kSide = 8;
  parallel::parallel_for(E, [&](std::size_t a) {
    const std::vector<double>& x = rows(a);
    for (std::size_t b0 = 0; b0 <= a; b0 += kSide) {
      const std::size_t nb = std::min(kSide, a + 1 - b0);
      const double* y[kSide];
      for (std::size_t q = 0; q < kSide; ++q) y[q] = rows(q < nb ? b0 + q : a).data();
      double s[kSide] = {};
      for (std::size_t i = 0; i < x.size(); ++i) {
        for (std::size_t q = 0; q < kSide; ++q) s[q] += x[i] * y[q][i];
      }
      for (std::size_t q = 0; q < nb; ++q) {
        cov(a, b0 + q) = s[q] / n2;
        cov(b0 + q, a) = cov(a, b0 + q);
      }
    }
  });
  return cov;
}

namespace {

// The plain mean of several aggregates, its influence the mean of theirs.
std::optional<AggEffect> plain_mean(std::span<const AggEffect* const> parts, const Shares& shares) {
  if (parts.empty()) return std::nullopt;
  const std::size_t N = shares.n_units;
  const double m = 1.0 / static_cast<double>(parts.size());
  AggEffect out;
  out.influence.assign(N, 0.0);
  for (const AggEffect* p : parts) {
    out.estimate += m * p->estimate;
    for (std::size_t i = 0; i < N; ++i) out.influence[i] += m * p->influence[i];
  }
  out.se = std::sqrt(cells::squared_norm(out.influence, shares.sampling)) / static_cast<double>(N);
  return out;
}

}  // namespace

CsResult fit_with_anticipation(const Panel& panel, bool not_yet_treated, std::size_t anticipation,
                               bool varying_base, const Sampling& sampling, EstMethod method,
                               const EventWindow& window, const CsOutputs& outputs) {
  const Sampling relative = relative_weights(sampling);
  const Shares shares(panel, relative);
  if (!not_yet_treated && shares.class_size[0] == 0) {
    panic("Callaway\xE2\x80\x93Sant'Anna (never-treated variant) needs never-treated units");
  }

  std::vector<std::size_t> kept;
  for (const std::size_t g : shares.cohorts) {
    if (g > anticipation) kept.push_back(g);
  }
  const bool streamed =
      !outputs.cellwise && method == EstMethod::Reg && !panel.covariates && !sampling.weighted() &&
      !sampling.clustered() &&
      outputs.complete.value_or(std::none_of(panel.y.data.begin(), panel.y.data.end(),
                                             [](double v) { return std::isnan(v); }));
  if (streamed) {
    return fused::fit(panel, shares, kept, not_yet_treated, anticipation, varying_base, window,
                      outputs.influences);
  }

  CsResult out;
  out.cells = fit_cells(panel, relative, kept, not_yet_treated, anticipation, varying_base, method);

  // Every aggregate over cells is independent of the others: the lists are
  // formed first, then aggregated on the worker pool, each in its own slot.
  const agg::AggLists formed = agg::aggregate_lists(out.cells, kept, window, panel.n_periods());
  const auto& lists = formed.lists;
  const auto& keys = formed.keys;
  std::vector<std::optional<AggEffect>> aggs(lists.size());
  parallel::parallel_for(lists.size(),
                         [&](std::size_t k) { aggs[k] = aggregate(lists[k], shares, keys[k]); });
  std::size_t next = 0;
  const auto take = [&](std::size_t count, std::vector<AggEffect>& into) {
    for (std::size_t k = 0; k < count; ++k, ++next) {
      if (aggs[next]) into.push_back(std::move(*aggs[next]));
    }
  };

  take(formed.n_events, out.event_study);
  std::vector<const AggEffect*> post_events;
  for (const AggEffect& a : out.event_study) {
    if (a.key >= 0) post_events.push_back(&a);
  }
  out.dynamic_overall = plain_mean(post_events, shares);

  if (std::optional<AggEffect>& agg = aggs[next++]) {
    out.overall_influence = std::move(agg->influence);
    out.overall_att = agg->estimate;
    out.overall_se = agg->se;
  }

  take(formed.n_groups, out.groups);
  std::vector<AggInput> group_items;
  for (const AggEffect& a : out.groups) {
    group_items.push_back({static_cast<std::size_t>(a.key), a.estimate, &a.influence, 0});
  }
  if (auto agg = aggregate(group_items, shares, 0)) {
    out.group_overall_att = agg->estimate;
    out.group_overall_se = agg->se;
  }

  take(lists.size() - next, out.calendar);
  std::vector<const AggEffect*> periods;
  for (const AggEffect& a : out.calendar) periods.push_back(&a);
  out.calendar_overall = plain_mean(periods, shares);
  return out;
}

}  // namespace quintara::estimators::did
