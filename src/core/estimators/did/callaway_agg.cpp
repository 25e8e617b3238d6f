#include "core/estimators/did/callaway_agg.hpp"

#include <algorithm>

#include "core/panic.hpp"

namespace quintara::estimators::did::agg {

Shares::Shares(const Panel& panel, const Sampling& s)
    : n_units(panel.n_units()), cohorts(panel.cohorts()), class_of(n_units, 0),
      class_size(cohorts.size() + 1, 0), sampling(s) {
  // Adoption periods below kDirect find their class in a table.
  constexpr std::size_t kDirect = 256;
  std::vector<std::size_t> direct(kDirect, 0);
  for (std::size_t k = 0; k < cohorts.size() && cohorts[k] < kDirect; ++k) {
    direct[cohorts[k]] = k + 1;
  }
  for (std::size_t i = 0; i < n_units; ++i) {
    if (const auto& c = panel.treat_start[i]) {
      class_of[i] =
          *c < kDirect
              ? direct[*c]
              : 1 + static_cast<std::size_t>(std::lower_bound(cohorts.begin(), cohorts.end(), *c) -
                                             cohorts.begin());
    }
    ++class_size[class_of[i]];
  }
  class_weight.assign(class_size.begin(), class_size.end());
  if (sampling.weighted()) {
    class_weight.assign(class_size.size(), 0.0);
    for (std::size_t i = 0; i < n_units; ++i) class_weight[class_of[i]] += sampling.weight[i];
  }
}

std::size_t Shares::class_of_cohort(std::size_t g) const {
  const auto it = std::lower_bound(cohorts.begin(), cohorts.end(), g);
  QUINTARA_ASSERT(it != cohorts.end() && *it == g, "aggregated cohort is not a panel cohort");
  return 1 + static_cast<std::size_t>(it - cohorts.begin());
}

std::optional<AggPlan> plan_aggregate(std::span<const AggInput> items, const Shares& shares) {
  if (items.empty()) return std::nullopt;
  const double n = static_cast<double>(shares.n_units);
  AggPlan p;
  p.cls.resize(items.size());
  p.w.resize(items.size());
  for (std::size_t r = 0; r < items.size(); ++r) {
    p.cls[r] = shares.class_of_cohort(items[r].cohort);
    p.w[r] = shares.class_weight[p.cls[r]] / n;
    p.S += p.w[r];
  }
  if (!(p.S > 0.0)) return std::nullopt;
  for (std::size_t r = 0; r < items.size(); ++r) {
    p.theta += (p.w[r] / p.S) * items[r].estimate;
    p.c.push_back(p.w[r] / p.S);
    p.estimate.push_back(items[r].estimate);
  }
  return p;
}

// Second sum (share estimation): a unit's term depends on it only through
// its cohort class k and its weight wi.
double AggPlan::share_term(std::size_t k, double wi) const {
  const double S2 = S * S;
  double D = 0.0;
  for (std::size_t r = 0; r < w.size(); ++r) D += (cls[r] == k ? wi : 0.0) - w[r];
  double s = 0.0;
  for (std::size_t r = 0; r < w.size(); ++r) {
    const double ind = cls[r] == k ? wi : 0.0;
    s += ((ind - w[r]) / S - (w[r] / S2) * D) * estimate[r];
  }
  return s;
}

std::vector<double> AggPlan::by_class(std::size_t n_classes) const {
  std::vector<double> out(n_classes);
  for (std::size_t k = 0; k < n_classes; ++k) out[k] = share_term(k, 1.0);
  return out;
}

namespace {

// The event times the dynamic aggregation reports, ascending, and whether a
// cell enters it.
struct EventSelection {
  std::vector<std::int64_t> events;
  std::optional<std::int64_t> balance_e;
  std::int64_t last_period = 0;

  bool admits(const GroupTimeAtt& c) const {
    return !balance_e || last_period - static_cast<std::int64_t>(c.cohort) >= *balance_e;
  }
};

EventSelection select_events(std::span<const GroupTimeAtt> cells, const EventWindow& window,
                             std::size_t n_periods) {
  EventSelection sel{{}, window.balance_e, static_cast<std::int64_t>(n_periods) - 1};
  for (const GroupTimeAtt& c : cells) {
    if (sel.admits(c)) sel.events.push_back(c.event_time);
  }
  std::sort(sel.events.begin(), sel.events.end());
  sel.events.erase(std::unique(sel.events.begin(), sel.events.end()), sel.events.end());
  const auto drop = [&](auto&& outside) { std::erase_if(sel.events, outside); };
  if (window.balance_e) {
    const std::int64_t b = *window.balance_e;
    drop([&](std::int64_t e) { return e > b || e < b - sel.last_period; });
  }
  if (window.min_e) drop([&](std::int64_t e) { return e < *window.min_e; });
  if (window.max_e) drop([&](std::int64_t e) { return e > *window.max_e; });
  return sel;
}

}  // namespace

AggLists aggregate_lists(std::span<const GroupTimeAtt> cells, std::span<const std::size_t> kept,
                         const EventWindow& window, std::size_t n_periods) {
  AggLists out;
  const auto add = [&](std::int64_t key, auto&& keep) {
    std::vector<AggInput>& items = out.lists.emplace_back();
    for (std::size_t r = 0; r < cells.size(); ++r) {
      const GroupTimeAtt& c = cells[r];
      if (keep(c)) items.push_back({c.cohort, c.att, &c.influence, r});
    }
    out.keys.push_back(key);
  };
  const EventSelection sel = select_events(cells, window, n_periods);
  for (const std::int64_t e : sel.events) {
    add(e, [&](const GroupTimeAtt& c) { return c.event_time == e && sel.admits(c); });
  }
  out.n_events = sel.events.size();
  // Every post-period cell at its cohort's share: cohorts with more
  // post-periods carry more total weight.
  add(0, [](const GroupTimeAtt& c) { return c.event_time >= 0; });
  for (const std::size_t g : kept) {
    add(static_cast<std::int64_t>(g),
        [&](const GroupTimeAtt& c) { return c.cohort == g && c.event_time >= 0; });
  }
  out.n_groups = kept.size();
  // Calendar time: each period from the first adoption on, over the cohorts
  // already treated then.
  for (std::size_t t = kept.empty() ? n_periods : kept.front(); t < n_periods; ++t) {
    add(static_cast<std::int64_t>(t),
        [&](const GroupTimeAtt& c) { return c.period == t && c.event_time >= 0; });
  }
  return out;
}

}  // namespace quintara::estimators::did::agg
