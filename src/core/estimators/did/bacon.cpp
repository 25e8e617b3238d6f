#include "core/estimators/did/bacon.hpp"

#include <algorithm>

namespace quintara::estimators::did::bacon {

namespace {

using Units = std::vector<std::size_t>;

// Mean of y(i, t) over the listed units and periods a <= t < b: one running
// sum over units, each unit's periods ascending, then one division.
double window_mean(const Panel& panel, const Units& units, std::size_t a, std::size_t b) {
  double s = 0.0;
  for (const std::size_t i : units) {
    for (std::size_t t = a; t < b; ++t) s += panel.y(i, t);
  }
  return s / static_cast<double>(units.size() * (b - a));
}

// (after - before) for the window pair [a, m) -> [m, b).
double change(const Panel& panel, const Units& units, std::size_t a, std::size_t m, std::size_t b) {
  return window_mean(panel, units, m, b) - window_mean(panel, units, a, m);
}

}  // namespace

BaconDecomposition decompose(const Panel& panel) {
  const std::size_t t_len = panel.n_periods();
  std::vector<std::size_t> cohorts = panel.cohorts();
  std::erase(cohorts, std::size_t{0});
  std::vector<Units> members(cohorts.size());
  for (std::size_t i = 0; i < panel.n_units(); ++i) {
    const auto& s = panel.treat_start[i];
    if (!s || *s == 0) continue;
    const auto k = std::lower_bound(cohorts.begin(), cohorts.end(), *s) - cohorts.begin();
    members[static_cast<std::size_t>(k)].push_back(i);
  }
  const Units never = panel.never_treated_units();
  std::size_t total = never.size();
  for (const Units& m : members) total += m.size();
  const double n = static_cast<double>(total);
  const double td = static_cast<double>(t_len);
  // Share of the panel's periods in which cohort g is treated.
  const auto dbar = [&](std::size_t g) { return static_cast<double>(t_len - g) / td; };

  BaconDecomposition out;
  if (!never.empty()) {
    const double s_u = static_cast<double>(never.size()) / n;
    for (std::size_t k = 0; k < cohorts.size(); ++k) {
      const std::size_t g = cohorts[k];
      BaconComponent c;
      c.treated_cohort = g;
      c.kind = BaconKind::TreatedVsUntreated;
      c.estimate = change(panel, members[k], 0, g, t_len) - change(panel, never, 0, g, t_len);
      const double s_g = static_cast<double>(members[k].size()) / n;
      const double s = s_g + s_u;
      const double r = s_g / s;
      const double d = dbar(g);
      c.weight = s * s * r * (1.0 - r) * d * (1.0 - d);
      out.components.push_back(c);
    }
  }
  for (std::size_t ki = 0; ki < cohorts.size(); ++ki) {
    for (std::size_t li = ki + 1; li < cohorts.size(); ++li) {
      const std::size_t k = cohorts[ki], l = cohorts[li];
      const Units& uk = members[ki];
      const Units& ul = members[li];
      const double nk = static_cast<double>(uk.size()), nl = static_cast<double>(ul.size());
      const double s = (nk + nl) / n;
      const double r = nk / (nk + nl);
      const double dk = dbar(k), dl = dbar(l);

      BaconComponent early;  // k treated, l not yet treated, periods before l
      early.comparison_cohort = l;
      early.treated_cohort = k;
      early.kind = BaconKind::EarlierVsLater;
      early.estimate = change(panel, uk, 0, k, l) - change(panel, ul, 0, k, l);
      const double base = s * (1.0 - dl);
      early.weight =
          base * base * r * (1.0 - r) * ((dk - dl) / (1.0 - dl)) * ((1.0 - dk) / (1.0 - dl));
      out.components.push_back(early);

      BaconComponent late;  // l treated, k already treated, periods from k on
      late.comparison_cohort = k;
      late.treated_cohort = l;
      late.kind = BaconKind::LaterVsEarlier;
      late.estimate = change(panel, ul, k, l, t_len) - change(panel, uk, k, l, t_len);
      const double base_late = s * dk;
      late.weight = base_late * base_late * r * (1.0 - r) * ((dk - dl) / dk) * (dl / dk);
      out.components.push_back(late);
    }
  }

  double raw_total = 0.0;
  for (const BaconComponent& c : out.components) raw_total += c.weight;
  for (BaconComponent& c : out.components) c.weight = raw_total > 0.0 ? c.weight / raw_total : 0.0;
  for (const BaconComponent& c : out.components) {
    out.twfe += c.weight * c.estimate;
    if (c.kind == BaconKind::LaterVsEarlier) out.forbidden_weight += c.weight;
  }
  return out;
}

}  // namespace quintara::estimators::did::bacon
